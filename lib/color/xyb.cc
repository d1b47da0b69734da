// SIMD copies of the XYB-to-linear row, one per compiled target, and the
// whole-image conversion that runs it row by row.
#include "lib/color/xyb.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/color/xyb.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// One group of lanes. MulAdd is fused on targets with FMA and a separate
// multiply and add elsewhere, which gives the documented order on both.
template <class D>
HWY_INLINE void OpsinToLinearLanes(D d, const float* HWY_RESTRICT x,
                                   const float* HWY_RESTRICT y,
                                   const float* HWY_RESTRICT b,
                                   const OpsinParams& p, float* HWY_RESTRICT r,
                                   float* HWY_RESTRICT g,
                                   float* HWY_RESTRICT bl) {
  const auto vx = hn::LoadU(d, x);
  const auto vy = hn::LoadU(d, y);
  const auto vb = hn::LoadU(d, b);
  const auto gr = hn::Sub(hn::Add(vx, vy), hn::Set(d, p.opsin_bias_cbrt[0]));
  const auto gg = hn::Sub(hn::Sub(vy, vx), hn::Set(d, p.opsin_bias_cbrt[1]));
  const auto gb = hn::Sub(vb, hn::Set(d, p.opsin_bias_cbrt[2]));
  const auto mr = hn::MulAdd(hn::Mul(gr, gr), gr, hn::Set(d, p.opsin_bias[0]));
  const auto mg = hn::MulAdd(hn::Mul(gg, gg), gg, hn::Set(d, p.opsin_bias[1]));
  const auto mb = hn::MulAdd(hn::Mul(gb, gb), gb, hn::Set(d, p.opsin_bias[2]));
  const float* m = p.inverse_matrix;
  float* outs[3] = {r, g, bl};
  for (int row = 0; row < 3; ++row) {
    const auto m0 = hn::Set(d, m[4 * (3 * row)]);
    const auto m1 = hn::Set(d, m[4 * (3 * row + 1)]);
    const auto m2 = hn::Set(d, m[4 * (3 * row + 2)]);
    const auto sum = hn::MulAdd(m2, mb, hn::MulAdd(m1, mg, hn::Mul(m0, mr)));
    hn::StoreU(sum, d, outs[row]);
  }
}

void OpsinToLinearRowKernel(const float* HWY_RESTRICT x,
                            const float* HWY_RESTRICT y,
                            const float* HWY_RESTRICT b, size_t xsize,
                            const OpsinParams& params, float* HWY_RESTRICT r,
                            float* HWY_RESTRICT g, float* HWY_RESTRICT bl) {
  const hn::ScalableTag<float> d;
  const size_t lanes = hn::Lanes(d);
  size_t i = 0;
  for (; i + lanes <= xsize; i += lanes) {
    OpsinToLinearLanes(d, x + i, y + i, b + i, params, r + i, g + i, bl + i);
  }
  // Tail one lane at a time with the same operations.
  const hn::CappedTag<float, 1> d1;
  for (; i < xsize; ++i) {
    OpsinToLinearLanes(d1, x + i, y + i, b + i, params, r + i, g + i, bl + i);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(OpsinToLinearRowKernel);

void OpsinToLinearRow(const float* x, const float* y, const float* b,
                      size_t xsize, const OpsinParams& params, float* out_r,
                      float* out_g, float* out_b) {
  if (xsize == 0) return;
  HWY_DYNAMIC_DISPATCH(OpsinToLinearRowKernel)
  (x, y, b, xsize, params, out_r, out_g, out_b);
}

Status OpsinToLinearImage(const Image3F& xyb, const PixelRect& rect,
                          const TaskPool* pool, Image3F* linear,
                          const OpsinParams& params) {
  QOV_ENSURE(linear->xsize() == rect.xsize && linear->ysize() == rect.ysize);
  if (rect.ysize == 0) return OkStatus();
  // The rectangle must lie inside the input: rows are read without checks.
  QOV_ENSURE(rect.x0 <= xyb.xsize() && rect.xsize <= xyb.xsize() - rect.x0);
  QOV_ENSURE(rect.y0 <= xyb.ysize() && rect.ysize <= xyb.ysize() - rect.y0);
  const size_t xsize = static_cast<size_t>(rect.xsize);
  return RunOnPool(
      pool, static_cast<uint32_t>(rect.ysize), nullptr,
      [&](uint32_t y, size_t /*thread*/) -> Status {
        if (xsize == 0) return OkStatus();
        const size_t in_y = static_cast<size_t>(rect.y0) + y;
        const size_t x0 = static_cast<size_t>(rect.x0);
        OpsinToLinearRow(xyb.PlaneRow(0, in_y) + x0, xyb.PlaneRow(1, in_y) + x0,
                         xyb.PlaneRow(2, in_y) + x0, xsize, params,
                         linear->PlaneRow(0, y), linear->PlaneRow(1, y),
                         linear->PlaneRow(2, y));
        return OkStatus();
      });
}

}  // namespace qov
#endif  // HWY_ONCE
