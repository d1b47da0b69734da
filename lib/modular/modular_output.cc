// SIMD copies of the modular output row kernels, one per compiled target.
// Whole vectors first, then the tail one sample at a time, so no sample
// past `count` is read or written.
#include "lib/modular/modular_output.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/modular/modular_output.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

template <class D>
HWY_INLINE void ScaleSpan(D d, const int32_t* in, float factor, float* out,
                          size_t begin, size_t end) {
  const hn::Rebind<int32_t, D> di;
  const auto f = hn::Set(d, factor);
  for (size_t x = begin; x < end; x += hn::Lanes(d)) {
    hn::StoreU(hn::Mul(hn::ConvertTo(d, hn::LoadU(di, in + x)), f), d,
               out + x);
  }
}

template <class D>
HWY_INLINE void ScaleRgbSpan(D d, const int32_t* in, float factor, float* o0,
                             float* o1, float* o2, size_t begin, size_t end) {
  const hn::Rebind<int32_t, D> di;
  const auto f = hn::Set(d, factor);
  for (size_t x = begin; x < end; x += hn::Lanes(d)) {
    const auto v = hn::Mul(hn::ConvertTo(d, hn::LoadU(di, in + x)), f);
    hn::StoreU(v, d, o0 + x);
    hn::StoreU(v, d, o1 + x);
    hn::StoreU(v, d, o2 + x);
  }
}

template <class D>
HWY_INLINE void ScaleSumSpan(D d, const int32_t* in, const int32_t* in_y,
                             float factor, float* out, size_t begin,
                             size_t end) {
  const hn::Rebind<int32_t, D> di;
  const auto f = hn::Set(d, factor);
  for (size_t x = begin; x < end; x += hn::Lanes(d)) {
    const auto sum = hn::Add(hn::LoadU(di, in + x), hn::LoadU(di, in_y + x));
    hn::StoreU(hn::Mul(hn::ConvertTo(d, sum), f), d, out + x);
  }
}

void ScaleIntRowKernel(size_t count, const int32_t* in, float factor,
                       float* out) {
  const hn::ScalableTag<float> d;
  const size_t whole = count - count % hn::Lanes(d);
  ScaleSpan(d, in, factor, out, 0, whole);
  ScaleSpan(hn::CappedTag<float, 1>(), in, factor, out, whole, count);
}

void ScaleIntRowToRgbKernel(size_t count, const int32_t* in, float factor,
                            float* out0, float* out1, float* out2) {
  const hn::ScalableTag<float> d;
  const size_t whole = count - count % hn::Lanes(d);
  ScaleRgbSpan(d, in, factor, out0, out1, out2, 0, whole);
  ScaleRgbSpan(hn::CappedTag<float, 1>(), in, factor, out0, out1, out2, whole,
               count);
}

void ScaleIntSumRowKernel(size_t count, const int32_t* in, const int32_t* in_y,
                          float factor, float* out) {
  const hn::ScalableTag<float> d;
  const size_t whole = count - count % hn::Lanes(d);
  ScaleSumSpan(d, in, in_y, factor, out, 0, whole);
  ScaleSumSpan(hn::CappedTag<float, 1>(), in, in_y, factor, out, whole, count);
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(ScaleIntRowKernel);
HWY_EXPORT(ScaleIntRowToRgbKernel);
HWY_EXPORT(ScaleIntSumRowKernel);

void ScaleIntRow(size_t count, const int32_t* in, float factor, float* out) {
  if (count == 0) return;
  HWY_DYNAMIC_DISPATCH(ScaleIntRowKernel)(count, in, factor, out);
}

void ScaleIntRowToRgb(size_t count, const int32_t* in, float factor,
                      float* out0, float* out1, float* out2) {
  if (count == 0) return;
  HWY_DYNAMIC_DISPATCH(ScaleIntRowToRgbKernel)
  (count, in, factor, out0, out1, out2);
}

void ScaleIntSumRow(size_t count, const int32_t* in, const int32_t* in_y,
                    float factor, float* out) {
  if (count == 0) return;
  HWY_DYNAMIC_DISPATCH(ScaleIntSumRowKernel)(count, in, in_y, factor, out);
}

}  // namespace qov
#endif  // HWY_ONCE
