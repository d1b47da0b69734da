// Reference copies of the histogram kernels, lane by lane as the SIMD copies
// work, for a given lane count.
#include <cstring>

#include "lib/encode/entropy_records.h"

namespace qov {

void FinalizeHistogramTotalsScalar(Histogram& histogram, size_t lanes) {
  std::vector<int32_t>& counts = histogram.counts;
  uint32_t sum = 0;
  int64_t last = -static_cast<int64_t>(lanes);
  for (size_t i = 0; i < counts.size(); ++i) {
    sum += static_cast<uint32_t>(counts[i]);
    if (counts[i] != 0) last = static_cast<int64_t>(i / lanes * lanes);
  }
  counts.resize(static_cast<size_t>(last + static_cast<int64_t>(lanes)), 0);
  histogram.total = static_cast<uint64_t>(
      static_cast<int64_t>(static_cast<int32_t>(sum)));
}

float ComputeHistogramEntropyScalar(Histogram& histogram, size_t lanes) {
  histogram.entropy = 0.0f;
  if (histogram.total == 0) return 0.0f;
  const float t = static_cast<float>(histogram.total);
  const float r = 1.0f / t;
  std::vector<float> lane_sums(lanes, 0.0f);
  for (size_t i = 0; i < histogram.counts.size(); ++i) {
    const float c = static_cast<float>(histogram.counts[i]);
    const float term = c == t ? 0.0f : -(c * ApproxLog2(c * r));
    lane_sums[i % lanes] += term;
  }
  float entropy = 0.0f;
  for (float s : lane_sums) entropy += s;
  histogram.entropy = entropy;
  return entropy;
}

}  // namespace qov
