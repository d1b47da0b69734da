// Reference copy of MaxOfU32.
#include "lib/encode/max_of_u32.h"

namespace qov {

uint32_t MaxOfU32Scalar(const uint32_t* values, size_t count) {
  uint32_t best = 0;
  for (size_t i = 0; i < count; ++i) best = values[i] > best ? values[i] : best;
  return best;
}

}  // namespace qov
