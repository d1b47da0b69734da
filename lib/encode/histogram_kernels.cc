// SIMD copies of the histogram kernels (trim and total, entropy estimate).
#include "lib/encode/entropy_records.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/encode/histogram_kernels.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "lib/encode/approx_log2-inl.h"

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void FinalizeTotalsKernel(Histogram* histogram) {
  const hn::ScalableTag<int32_t> d;
  const size_t lanes = hn::Lanes(d);
  std::vector<int32_t>& counts = histogram->counts;
  const size_t size = counts.size();
  // Wrapping sums in unsigned lanes (signed overflow would be undefined).
  const hn::RebindToUnsigned<decltype(d)> du;
  auto sum = hn::Zero(du);
  int64_t last = -static_cast<int64_t>(lanes);
  for (size_t i = 0; i < size; i += lanes) {
    const auto v = i + lanes <= size
                       ? hn::LoadU(d, counts.data() + i)
                       : hn::IfThenElseZero(hn::FirstN(d, size - i),
                                            hn::LoadU(d, counts.data() + i));
    sum = hn::Add(sum, hn::BitCast(du, v));
    if (!hn::AllTrue(d, hn::Eq(v, hn::Zero(d)))) last = static_cast<int64_t>(i);
  }
  counts.resize(static_cast<size_t>(last + static_cast<int64_t>(lanes)), 0);
  const int32_t total =
      static_cast<int32_t>(hn::GetLane(hn::SumOfLanes(du, sum)));
  histogram->total = static_cast<uint64_t>(static_cast<int64_t>(total));
}

float EntropyKernel(Histogram* histogram) {
  histogram->entropy = 0.0f;
  if (histogram->total == 0) return 0.0f;
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  const size_t lanes = hn::Lanes(df);
  const std::vector<int32_t>& counts = histogram->counts;
  const size_t size = counts.size();
  const float t = static_cast<float>(histogram->total);
  const auto vt = hn::Set(df, t);
  const auto vr = hn::Set(df, 1.0f / t);
  auto sum = hn::Zero(df);
  for (size_t i = 0; i < size; i += lanes) {
    const auto ci = i + lanes <= size
                        ? hn::LoadU(di, counts.data() + i)
                        : hn::IfThenElseZero(hn::FirstN(di, size - i),
                                             hn::LoadU(di, counts.data() + i));
    const auto c = hn::ConvertTo(df, ci);
    const auto term =
        hn::Neg(hn::Mul(c, ApproxLog2Vec(df, hn::Mul(c, vr))));
    sum = hn::Add(sum, hn::IfThenZeroElse(hn::Eq(c, vt), term));
  }
  // Per-lane sums, added across the lanes in order at the end.
  HWY_ALIGN float lane_sums[hn::MaxLanes(df)];
  hn::Store(sum, df, lane_sums);
  float entropy = 0.0f;
  for (size_t k = 0; k < lanes; ++k) entropy += lane_sums[k];
  histogram->entropy = entropy;
  return entropy;
}

size_t KernelLanes() { return hn::Lanes(hn::ScalableTag<int32_t>()); }

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(FinalizeTotalsKernel);
HWY_EXPORT(EntropyKernel);
HWY_EXPORT(KernelLanes);

void FinalizeHistogramTotals(Histogram& histogram) {
  HWY_DYNAMIC_DISPATCH(FinalizeTotalsKernel)(&histogram);
}

float ComputeHistogramEntropy(Histogram& histogram) {
  return HWY_DYNAMIC_DISPATCH(EntropyKernel)(&histogram);
}

size_t HistogramKernelLanes() { return HWY_DYNAMIC_DISPATCH(KernelLanes)(); }

}  // namespace qov
#endif  // HWY_ONCE
