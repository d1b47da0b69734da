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

// Converts samples [begin, end) in groups of Lanes(d); end - begin must be a
// multiple of Lanes(d). MulAdd is fused on targets with FMA and a separate
// multiply and add elsewhere, which gives the documented order on both.
template <class D>
HWY_INLINE void OpsinToLinearSpan(D d, const float* HWY_RESTRICT x,
                                  const float* HWY_RESTRICT y,
                                  const float* HWY_RESTRICT b, size_t begin,
                                  size_t end, const OpsinParams& p,
                                  float* HWY_RESTRICT r, float* HWY_RESTRICT g,
                                  float* HWY_RESTRICT bl) {
  const float* m = p.inverse_matrix;  // coefficient i in lane 4i
  const auto m0 = hn::Set(d, m[0]), m1 = hn::Set(d, m[4]), m2 = hn::Set(d, m[8]);
  const auto m3 = hn::Set(d, m[12]), m4 = hn::Set(d, m[16]), m5 = hn::Set(d, m[20]);
  const auto m6 = hn::Set(d, m[24]), m7 = hn::Set(d, m[28]), m8 = hn::Set(d, m[32]);
  const auto bias0 = hn::Set(d, p.opsin_bias[0]);
  const auto bias1 = hn::Set(d, p.opsin_bias[1]);
  const auto bias2 = hn::Set(d, p.opsin_bias[2]);
  const auto cbrt0 = hn::Set(d, p.opsin_bias_cbrt[0]);
  const auto cbrt1 = hn::Set(d, p.opsin_bias_cbrt[1]);
  const auto cbrt2 = hn::Set(d, p.opsin_bias_cbrt[2]);
  for (size_t i = begin; i < end; i += hn::Lanes(d)) {
    const auto vx = hn::LoadU(d, x + i);
    const auto vy = hn::LoadU(d, y + i);
    const auto vb = hn::LoadU(d, b + i);
    const auto gr = hn::Sub(hn::Add(vx, vy), cbrt0);
    const auto gg = hn::Sub(hn::Sub(vy, vx), cbrt1);
    const auto gb = hn::Sub(vb, cbrt2);
    const auto mr = hn::MulAdd(hn::Mul(gr, gr), gr, bias0);
    const auto mg = hn::MulAdd(hn::Mul(gg, gg), gg, bias1);
    const auto mb = hn::MulAdd(hn::Mul(gb, gb), gb, bias2);
    hn::StoreU(hn::MulAdd(m2, mb, hn::MulAdd(m1, mg, hn::Mul(m0, mr))), d, r + i);
    hn::StoreU(hn::MulAdd(m5, mb, hn::MulAdd(m4, mg, hn::Mul(m3, mr))), d, g + i);
    hn::StoreU(hn::MulAdd(m8, mb, hn::MulAdd(m7, mg, hn::Mul(m6, mr))), d, bl + i);
  }
}

void OpsinToLinearRowKernel(const float* HWY_RESTRICT x,
                            const float* HWY_RESTRICT y,
                            const float* HWY_RESTRICT b, size_t xsize,
                            const OpsinParams& params, float* HWY_RESTRICT r,
                            float* HWY_RESTRICT g, float* HWY_RESTRICT bl) {
  const hn::ScalableTag<float> d;
  const size_t whole = xsize - xsize % hn::Lanes(d);
  OpsinToLinearSpan(d, x, y, b, 0, whole, params, r, g, bl);
  // The tail one lane at a time, with the same operations.
  OpsinToLinearSpan(hn::CappedTag<float, 1>(), x, y, b, whole, xsize, params,
                    r, g, bl);
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
