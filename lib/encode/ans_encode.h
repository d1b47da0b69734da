// ANS normalisation of encoder histograms (12-bit precision), the storage
// format of a distribution and the cost estimates built on it.
#ifndef QOV_LIB_ENCODE_ANS_ENCODE_H_
#define QOV_LIB_ENCODE_ANS_ENCODE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/encode/entropy_records.h"

namespace qov {

// The normalisation chosen for one histogram.
struct AnsNormalizedHistogram {
  float cost = 0.0f;     // estimated bits: stored distribution plus data
  uint32_t method = 0;   // 0 flat; 1..12 shift method - 1
  uint64_t omitted_symbol = 0;
  uint64_t alphabet_size = 0;  // 1 + index of the last positive count
  uint64_t num_symbols = 0;    // positive counts below alphabet_size
  uint64_t symbols[2] = {0, 0};
  std::vector<int32_t> normalized_counts;
};

// Clustering cost: FLT_MAX when `counts` has more than 256 entries, else
// the cost of ChooseAnsNormalization with kThreeShifts.
StatusOr<float> AnsHistogramCost(const Histogram& histogram);

// Requires histogram.total == sum of counts.
StatusOr<AnsNormalizedHistogram> ChooseAnsNormalization(
    const Histogram& histogram, HistogramParams::ANSHistogramStrategy strategy);

// One trial at `shift`: normalises into `candidate` and copies it into
// `best` when strictly cheaper.
Status RescaleCountsForAns(AnsNormalizedHistogram* candidate,
                           const Histogram& histogram,
                           AnsNormalizedHistogram* best, uint32_t shift);

// Adds to *bits the exact size of the stored distribution.
Status EstimateAnsHistogramBits(const AnsNormalizedHistogram& record,
                                uint64_t* bits);

// Writes the distribution (inside the caller's budget).
Status WriteAnsHistogram(const AnsNormalizedHistogram& record,
                         BitWriter* writer);

}  // namespace qov

#endif  // QOV_LIB_ENCODE_ANS_ENCODE_H_
