// Weighted-predictor header listing and state set-up.
#include "lib/modular/weighted_predictor.h"

#include <cstring>

namespace qov {
namespace weighted {

Header::Header() { Bundle::ResetToDefaults(*this); }

Status Header::EnumerateFields(Visitor* visitor) {
  QOV_VISIT_DEFAULTS_FLAG(visitor, this, &all_default);
  QOV_RETURN_IF_ERROR(visitor->FixedBits(5, 16, &sub1_error_scale));
  QOV_RETURN_IF_ERROR(visitor->FixedBits(5, 10, &sub2_error_scale));
  QOV_RETURN_IF_ERROR(visitor->FixedBits(5, 7, &sub3_nw_error_scale));
  QOV_RETURN_IF_ERROR(visitor->FixedBits(5, 7, &sub3_n_error_scale));
  QOV_RETURN_IF_ERROR(visitor->FixedBits(5, 7, &sub3_ne_error_scale));
  QOV_RETURN_IF_ERROR(visitor->FixedBits(5, 0, &sub3_nn_n_scale));
  QOV_RETURN_IF_ERROR(visitor->FixedBits(5, 0, &sub3_nw_w_scale));
  QOV_RETURN_IF_ERROR(visitor->FixedBits(4, 13, &sub_weight[0]));
  QOV_RETURN_IF_ERROR(visitor->FixedBits(4, 12, &sub_weight[1]));
  QOV_RETURN_IF_ERROR(visitor->FixedBits(4, 12, &sub_weight[2]));
  return visitor->FixedBits(4, 12, &sub_weight[3]);
}

}  // namespace weighted

WeightedPredictorState::WeightedPredictorState(const weighted::Header& h,
                                               uint64_t width)
    : header(&h) {
  const size_t n = static_cast<size_t>(2 * (width + 2));
  for (auto& e : sub_error) e.assign(n, 0);
  true_error.assign(n, 0);
  std::memcpy(sub_weight, h.sub_weight, sizeof(sub_weight));
  std::memcpy(reciprocal, kWeightedReciprocals.value, sizeof(reciprocal));
}

}  // namespace qov
