// SIMD copies of the chroma upsampling row kernels. MulAdd is fused where
// the target has fused multiply-add and a separate multiply and add
// elsewhere.
#include "lib/render/chroma_upsampling.h"

#include <cstddef>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/render/chroma_upsampling.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "lib/render/resample_simd-inl.h"

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using ChromaTag = hn::CappedTag<float, kChromaMaxLanes>;

// First vector start: the multiple of L at or below -extra_left.
HWY_INLINE ptrdiff_t FirstVector(size_t lanes, size_t extra_left) {
  return -static_cast<ptrdiff_t>((extra_left + lanes - 1) / lanes * lanes);
}

void ChromaHorizontalKernel(const float* in, float* out, size_t extra_left,
                            size_t extra_right, size_t xsize) {
  const ChromaTag d;
  const size_t lanes = hn::Lanes(d);
  const auto quarter = hn::Set(d, 0.25f);
  const auto three_quarters = hn::Set(d, 0.75f);
  const ptrdiff_t end = static_cast<ptrdiff_t>(xsize + extra_right);
  for (ptrdiff_t x = FirstVector(lanes, extra_left); x < end;
       x += static_cast<ptrdiff_t>(lanes)) {
    const auto centre = hn::Mul(hn::LoadU(d, in + x), three_quarters);
    const auto left = hn::MulAdd(hn::LoadU(d, in + x - 1), quarter, centre);
    const auto right = hn::MulAdd(hn::LoadU(d, in + x + 1), quarter, centre);
    hn::Vec<ChromaTag> v[2] = {left, right};
    InterleaveStreams<2>(d, v);
    hn::StoreU(v[0], d, out + 2 * x);
    hn::StoreU(v[1], d, out + 2 * x + static_cast<ptrdiff_t>(lanes));
  }
}

void ChromaVerticalKernel(const float* up, const float* mid, const float* down,
                          float* upper, float* lower, size_t extra_left,
                          size_t extra_right, size_t xsize) {
  const ChromaTag d;
  const size_t lanes = hn::Lanes(d);
  const auto quarter = hn::Set(d, 0.25f);
  const auto three_quarters = hn::Set(d, 0.75f);
  const ptrdiff_t end = static_cast<ptrdiff_t>(xsize + extra_right);
  for (ptrdiff_t x = FirstVector(lanes, extra_left); x < end;
       x += static_cast<ptrdiff_t>(lanes)) {
    const auto centre = hn::Mul(hn::LoadU(d, mid + x), three_quarters);
    hn::StoreU(hn::MulAdd(hn::LoadU(d, up + x), quarter, centre), d, upper + x);
    hn::StoreU(hn::MulAdd(hn::LoadU(d, down + x), quarter, centre), d,
               lower + x);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(ChromaHorizontalKernel);
HWY_EXPORT(ChromaVerticalKernel);

void ChromaUpsampleHorizontalRow(const float* in, float* out,
                                 size_t extra_left, size_t extra_right,
                                 size_t xsize) {
  HWY_DYNAMIC_DISPATCH(ChromaHorizontalKernel)(in, out, extra_left,
                                               extra_right, xsize);
}

void ChromaUpsampleVerticalRow(const float* up, const float* mid,
                               const float* down, float* upper, float* lower,
                               size_t extra_left, size_t extra_right,
                               size_t xsize) {
  HWY_DYNAMIC_DISPATCH(ChromaVerticalKernel)(up, mid, down, upper, lower,
                                             extra_left, extra_right, xsize);
}

}  // namespace qov
#endif  // HWY_ONCE
