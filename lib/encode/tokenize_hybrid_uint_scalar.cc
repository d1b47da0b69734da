// Reference copy of the hybrid-uint tokeniser, one value at a time.
#include "lib/encode/tokenize_hybrid_uint.h"

namespace qov {

uint32_t TokenizeHybridUintScalar(const uint32_t* values, size_t count,
                                  UintSplitConfig config, uint32_t* tokens) {
  uint32_t e, m, l;
  if (!TokenizerKernelConfig(config, &e, &m, &l)) return kTokenizeUnsupported;
  uint32_t sum = 0;
  for (size_t i = 0; i < count; ++i) {
    uint32_t extra;
    tokens[i] = HybridUintToken(values[i], e, m, l, &extra);
    sum += extra;
  }
  return sum;
}

}  // namespace qov
