// SIMD copies of the spline row drawing: each segment's columns a vector at
// a time, the rest one lane at a time with the same operations.
#include "lib/frame/splines.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/frame/spline_draw.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The error-function approximation of the scalar version.
template <class D>
HWY_INLINE hn::Vec<D> Erf(D d, hn::Vec<D> z) {
  const auto t = hn::Abs(z);
  auto p = hn::MulAdd(hn::Set(d, 0.0777394399f), t, hn::Set(d, 0.000205260018f));
  p = hn::MulAdd(p, t, hn::Set(d, 0.232120216f));
  p = hn::MulAdd(p, t, hn::Set(d, 0.277820796f));
  p = hn::MulAdd(p, t, hn::Set(d, 1.0f));
  const auto r = hn::Div(hn::Set(d, 1.0f), hn::Mul(p, p));
  const auto e = hn::Sub(hn::Set(d, 1.0f), hn::Mul(r, r));
  return hn::IfThenElse(hn::Le(z, hn::Zero(d)), hn::Neg(e), e);
}

template <class D>
HWY_INLINE void DrawSpan(D d, const SplineDrawSegment& seg, float dy,
                         uint64_t from, uint64_t to, uint64_t x_begin,
                         float* row_x, float* row_y, float* row_b) {
  const hn::RebindToSigned<D> di;
  const auto cx = hn::Set(d, seg.centre_x);
  const auto dy2 = hn::Set(d, dy * dy);
  const auto half = hn::Set(d, 0.5f);
  const auto offset = hn::Set(d, 0.353553385f);
  const auto inverse_sigma = hn::Set(d, seg.inverse_sigma);
  const auto intensity = hn::Set(d, seg.intensity);
  const auto color_x = hn::Set(d, seg.color[0]);
  const auto color_y = hn::Set(d, seg.color[1]);
  const auto color_b = hn::Set(d, seg.color[2]);
  for (uint64_t x = from; x < to; x += hn::Lanes(d)) {
    const auto column = hn::ConvertTo(d, hn::Iota(di, static_cast<int32_t>(x)));
    const auto dx = hn::Sub(column, cx);
    const auto h = hn::Mul(hn::Sqrt(hn::MulAdd(dx, dx, dy2)), half);
    const auto e = hn::Sub(Erf(d, hn::Mul(hn::Add(h, offset), inverse_sigma)),
                           Erf(d, hn::Mul(hn::Sub(h, offset), inverse_sigma)));
    const auto v = hn::Mul(hn::Mul(e, e), intensity);
    const size_t i = static_cast<size_t>(x - x_begin);
    hn::StoreU(hn::MulAdd(color_x, v, hn::LoadU(d, row_x + i)), d, row_x + i);
    hn::StoreU(hn::MulAdd(color_y, v, hn::LoadU(d, row_y + i)), d, row_y + i);
    hn::StoreU(hn::MulAdd(color_b, v, hn::LoadU(d, row_b + i)), d, row_b + i);
  }
}

void DrawSplineSegmentsRowKernel(float* row_x, float* row_y, float* row_b,
                                 uint64_t y, uint64_t x_begin, uint64_t x_end,
                                 const SplineDrawSegment* segments,
                                 const uint64_t* indices,
                                 const uint64_t* offsets, uint64_t first_row) {
  const hn::ScalableTag<float> d;
  const uint64_t r = y - first_row;
  const float fy = static_cast<float>(y);
  for (uint64_t i = offsets[r]; i < offsets[r + 1]; ++i) {
    const SplineDrawSegment& seg = segments[indices[i]];
    uint64_t from, to;
    SplineSegmentColumns(seg, x_begin, x_end, &from, &to);
    if (from >= to) continue;
    const float dy = fy - seg.centre_y;
    const uint64_t whole = from + (to - from) / hn::Lanes(d) * hn::Lanes(d);
    DrawSpan(d, seg, dy, from, whole, x_begin, row_x, row_y, row_b);
    DrawSpan(hn::CappedTag<float, 1>(), seg, dy, whole, to, x_begin, row_x,
             row_y, row_b);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(DrawSplineSegmentsRowKernel);

void DrawSplineSegmentsRow(float* row_x, float* row_y, float* row_b, uint64_t y,
                           uint64_t x_begin, uint64_t x_end,
                           const SplineDrawSegment* segments,
                           const uint64_t* indices, const uint64_t* offsets,
                           uint64_t first_row) {
  HWY_DYNAMIC_DISPATCH(DrawSplineSegmentsRowKernel)
  (row_x, row_y, row_b, y, x_begin, x_end, segments, indices, offsets,
   first_row);
}

}  // namespace qov
#endif  // HWY_ONCE
