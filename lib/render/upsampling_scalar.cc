// Reference upsampling row kernel, written for clarity in the documented
// operation order.
#include <algorithm>
#include <cstddef>

#include "lib/render/upsampling.h"

namespace qov {

void UpsampleRowScalar(const float* kernel, size_t shift,
                       const float* const rows[5], float* const* out,
                       size_t xsize) {
  const size_t n = size_t{1} << shift;
  for (size_t x = 0; x < xsize; ++x) {
    const ptrdiff_t cx = static_cast<ptrdiff_t>(x);
    float lo = rows[0][cx - 2];
    float hi = lo;
    for (size_t ky = 0; ky < 5; ++ky) {
      for (ptrdiff_t dx = -2; dx <= 2; ++dx) {
        lo = std::min(lo, rows[ky][cx + dx]);
        hi = std::max(hi, rows[ky][cx + dx]);
      }
    }
    for (size_t py = 0; py < n; ++py) {
      for (size_t px = 0; px < n; ++px) {
        const float* k = kernel + (py * n + px) * 25;
        float s = 0.0f;
        for (size_t ky = 0; ky < 5; ++ky) {
          const float* r = rows[ky] + cx - 2;
          float p = k[5 * ky] * r[0];
          for (size_t kx = 1; kx < 5; ++kx) p = p + k[5 * ky + kx] * r[kx];
          s = ky == 0 ? p : s + p;
        }
        out[py][n * x + px] = std::min(std::max(s, lo), hi);
      }
    }
  }
}

}  // namespace qov
