// Reference chroma upsampling row kernels, in the documented operation
// order.
#include <cstddef>

#include "lib/render/chroma_upsampling.h"

namespace qov {

void ChromaUpsampleHorizontalRowScalar(const float* in, float* out,
                                       size_t extra_left, size_t extra_right,
                                       size_t xsize) {
  const ptrdiff_t end = static_cast<ptrdiff_t>(xsize + extra_right);
  for (ptrdiff_t x = -static_cast<ptrdiff_t>(extra_left); x < end; ++x) {
    const float centre = 0.75f * in[x];
    out[2 * x] = 0.25f * in[x - 1] + centre;
    out[2 * x + 1] = 0.25f * in[x + 1] + centre;
  }
}

void ChromaUpsampleVerticalRowScalar(const float* up, const float* mid,
                                     const float* down, float* upper,
                                     float* lower, size_t extra_left,
                                     size_t extra_right, size_t xsize) {
  const ptrdiff_t end = static_cast<ptrdiff_t>(xsize + extra_right);
  for (ptrdiff_t x = -static_cast<ptrdiff_t>(extra_left); x < end; ++x) {
    const float centre = 0.75f * mid[x];
    upper[x] = 0.25f * up[x] + centre;
    lower[x] = 0.25f * down[x] + centre;
  }
}

}  // namespace qov
