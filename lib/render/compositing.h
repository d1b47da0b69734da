// Per-channel compositing of rows: the blend modes shared by frame blending
// and patches, and the plain row kernels behind them.
#ifndef QOV_LIB_RENDER_COMPOSITING_H_
#define QOV_LIB_RENDER_COMPOSITING_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/image_metadata.h"
#include "qov/qov.h"

namespace qov {

// What one channel becomes, from background (bg) and foreground (fg).
enum CompositeMode : uint8_t {
  kKeep = 0,              // bg
  kReplace = 1,           // fg
  kAdd = 2,               // bg + fg
  kMultiply = 3,          // bg x fg
  kOverAbove = 4,         // fg composited over bg with alpha
  kOverBelow = 5,         // bg composited over fg with alpha
  kWeightedAddAbove = 6,  // bg + fg weighted by fg's alpha
  kWeightedAddBelow = 7,  // fg + bg weighted by bg's alpha
};
inline constexpr uint32_t kNumCompositeModes = 8;

// How one channel group is composed.
struct PatchChannelBlend {
  uint8_t mode = kKeep;        // a CompositeMode, below 8
  uint32_t alpha_channel = 0;  // extra channel supplying alpha (modes 4..7)
  bool clamp = false;          // clamp alpha (multiply: fg) to [0, 1]
};

// Composes xsize samples, from column x0 of every row, of 3 + n channels
// (colour then the n extra channels of `extra_info`). `extra_blends` holds
// n records. Output rows may alias background or foreground rows: results
// go to a scratch image first. Failed when xsize or 3 + n does not fit in
// 32 bits or a mode that needs an alpha channel names one outside the list;
// the allocator's status when the scratch cannot be had (outputs unchanged).
Status CompositeRows(const QovMemoryManagerStruct* memory_manager,
                     const float* const* background,
                     const float* const* foreground, float* const* output,
                     size_t x0, size_t xsize, const PatchChannelBlend& color,
                     const PatchChannelBlend* extra_blends,
                     const std::vector<ExtraChannelInfo>& extra_info);

// The row kernels: count samples each. With clamp, alpha (or, to multiply,
// the second factor) is clamped to [0, 1] first. Divisions are a reciprocal
// (0 for a divisor <= 0) and a multiplication.

// out_c = bg_c (1 - fa) + fg_c and out_a = 1 - (1 - ba)(1 - fa) when
// premultiplied; otherwise A = 1 - (1 - ba)(1 - fa),
// out_c = (fg_c fa + (bg_c ba)(1 - fa)) (1 / A) and out_a = A.
void AlphaBlendPlanes(const float* bg_r, const float* bg_g, const float* bg_b,
                      const float* bg_a, const float* fg_r, const float* fg_g,
                      const float* fg_b, const float* fg_a, float* out_r,
                      float* out_g, float* out_b, float* out_a, size_t count,
                      bool premultiplied, bool clamp);
// One channel; when bv is ba and fv is fa (the alpha channel itself) the
// result is the composed alpha.
void AlphaBlendPlane(const float* bv, const float* ba, const float* fv,
                     const float* fa, float* out, size_t count,
                     bool premultiplied, bool clamp);
// out = alpha' x added + base; a copy of base when added is the alpha row.
void AlphaWeightedAddPlanes(const float* base, const float* added,
                            const float* alpha, float* out, size_t count,
                            bool clamp);
// out = first x second'.
void MultiplyPlanes(const float* first, const float* second, float* out,
                    size_t count, bool clamp);

}  // namespace qov

#endif  // QOV_LIB_RENDER_COMPOSITING_H_
