// SIMD copies of the noise row kernels. MulAdd is fused where the target has
// fused multiply-add and a separate multiply and add elsewhere, which keeps
// the documented order on both.
#include "lib/render/noise_kernels.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/render/noise_kernels.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

template <class D>
HWY_INLINE void ConvolveSpan(D d, const float* const rows[5], float* out,
                             size_t begin, size_t end) {
  const auto weight = hn::Set(d, 0.16f);
  const auto centre_weight = hn::Set(d, -3.84f);
  for (size_t i = begin; i < end; i += hn::Lanes(d)) {
    const ptrdiff_t x = static_cast<ptrdiff_t>(i);
    auto sum = hn::Zero(d);
    for (ptrdiff_t dx = -2; dx <= 2; ++dx) {
      sum = hn::Add(sum, hn::LoadU(d, rows[0] + x + dx));
      sum = hn::Add(sum, hn::LoadU(d, rows[1] + x + dx));
      sum = hn::Add(sum, hn::LoadU(d, rows[3] + x + dx));
      sum = hn::Add(sum, hn::LoadU(d, rows[4] + x + dx));
    }
    sum = hn::Add(sum, hn::LoadU(d, rows[2] + x - 2));
    sum = hn::Add(sum, hn::LoadU(d, rows[2] + x - 1));
    sum = hn::Add(sum, hn::LoadU(d, rows[2] + x + 1));
    sum = hn::Add(sum, hn::LoadU(d, rows[2] + x + 2));
    const auto centre = hn::Mul(hn::LoadU(d, rows[2] + x), centre_weight);
    hn::StoreU(hn::MulAdd(sum, weight, centre), d, out + i);
  }
}

void ConvolveNoiseRowKernel(const float* const* rows, float* out,
                            size_t count) {
  const hn::ScalableTag<float> d;
  const size_t whole = count - count % hn::Lanes(d);
  ConvolveSpan(d, rows, out, 0, whole);
  ConvolveSpan(hn::CappedTag<float, 1>(), rows, out, whole, count);
}

template <class D>
HWY_INLINE hn::Vec<D> Strength(D d, const float* lut, hn::Vec<D> v) {
  const hn::RebindToSigned<D> di;
  const auto t = hn::Max(hn::Zero(d), hn::Mul(hn::Mul(v, hn::Set(d, 0.5f)),
                                              hn::Set(d, 6.0f)));
  const auto big = hn::Ge(t, hn::Set(d, 7.0f));
  const auto whole = hn::Floor(t);
  const auto index = hn::IfThenElse(big, hn::Set(d, 6.0f), whole);
  const auto f = hn::IfThenElse(big, hn::Set(d, 1.0f), hn::Sub(t, whole));
  auto low = hn::Set(d, lut[0]);
  auto step = hn::Set(d, lut[1] - lut[0]);
  for (int k = 1; k < 7; ++k) {
    const auto here = hn::Eq(index, hn::Set(d, static_cast<float>(k)));
    low = hn::IfThenElse(here, hn::Set(d, lut[k]), low);
    step = hn::IfThenElse(here, hn::Set(d, lut[k + 1] - lut[k]), step);
  }
  const auto s = hn::Min(hn::MulAdd(step, f, low), hn::Set(d, 1.0f));
  const auto negative = hn::RebindMask(d, hn::Lt(hn::BitCast(di, s), hn::Zero(di)));
  return hn::IfThenZeroElse(negative, s);
}

template <class D>
HWY_INLINE void AddNoiseSpan(D d, const float* lut, float cx, float cb,
                             float* x, float* y, float* b, const float* n0,
                             const float* n1, const float* n2, size_t begin,
                             size_t end) {
  const auto amplitude = hn::Set(d, 0.22f);
  const auto own = hn::Set(d, 0.0078125f);
  const auto mixed = hn::Set(d, 0.9921875f);
  const auto vcx = hn::Set(d, cx);
  const auto vcb = hn::Set(d, cb);
  for (size_t i = begin; i < end; i += hn::Lanes(d)) {
    const auto vx = hn::LoadU(d, x + i);
    const auto vy = hn::LoadU(d, y + i);
    const auto vb = hn::LoadU(d, b + i);
    const auto sr = Strength(d, lut, hn::Add(vx, vy));
    const auto sg = Strength(d, lut, hn::Sub(vy, vx));
    const auto shared = hn::Mul(hn::Mul(hn::LoadU(d, n2 + i), amplitude), mixed);
    const auto r = hn::Mul(
        sr, hn::Add(hn::Mul(hn::Mul(hn::LoadU(d, n0 + i), amplitude), own), shared));
    const auto g = hn::Mul(
        sg, hn::Add(hn::Mul(hn::Mul(hn::LoadU(d, n1 + i), amplitude), own), shared));
    const auto sum = hn::Add(r, g);
    hn::StoreU(hn::Add(hn::MulAdd(vcx, sum, hn::Sub(r, g)), vx), d, x + i);
    hn::StoreU(hn::Add(vy, sum), d, y + i);
    hn::StoreU(hn::MulAdd(sum, vcb, vb), d, b + i);
  }
}

void AddNoiseRowKernel(const float* lut, float cx, float cb, float* x,
                       float* y, float* b, const float* n0, const float* n1,
                       const float* n2, size_t count) {
  const hn::ScalableTag<float> d;
  const size_t whole = count - count % hn::Lanes(d);
  AddNoiseSpan(d, lut, cx, cb, x, y, b, n0, n1, n2, 0, whole);
  AddNoiseSpan(hn::CappedTag<float, 1>(), lut, cx, cb, x, y, b, n0, n1, n2,
               whole, count);
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(ConvolveNoiseRowKernel);
HWY_EXPORT(AddNoiseRowKernel);

void ConvolveNoiseRow(const float* const rows[5], float* out, size_t count) {
  if (count == 0) return;
  HWY_DYNAMIC_DISPATCH(ConvolveNoiseRowKernel)(rows, out, count);
}

void AddNoiseRow(const float lut[8], float cx, float cb, float* x, float* y,
                 float* b, const float* n0, const float* n1, const float* n2,
                 size_t count) {
  if (count == 0) return;
  HWY_DYNAMIC_DISPATCH(AddNoiseRowKernel)(lut, cx, cb, x, y, b, n0, n1, n2,
                                          count);
}

}  // namespace qov
#endif  // HWY_ONCE
