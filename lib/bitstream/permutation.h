// Permutations stored as entropy-coded Lehmer codes (the table of contents
// and the coefficient orders).
#ifndef QOV_LIB_BITSTREAM_PERMUTATION_H_
#define QOV_LIB_BITSTREAM_PERMUTATION_H_

#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/symbol_reader.h"
#include "qov/qov.h"

namespace qov {

inline constexpr uint64_t kPermutationContexts = 8;

// Context of a Lehmer value: min(7, significant bits of x).
inline uint32_t PermutationContext(uint32_t x) {
  uint32_t bits = 0;
  while (x != 0 && bits < 7) {
    ++bits;
    x >>= 1;
  }
  return bits;
}

// Reads a permutation of `size` elements with its own code description;
// positions before `skip` keep their order. `permutation` (size entries) may
// be null to only move past it. Failed for an invalid Lehmer code or a
// wrong final ANS state; code-description failures are passed on.
Status ReadPermutationWithCodes(const QovMemoryManagerStruct* memory_manager,
                                uint64_t skip, uint64_t size,
                                uint32_t* permutation, BitReader& reader);

// Reads the Lehmer code with an existing reader whose context map has at
// least 8 contexts. Does not check the final ANS state.
Status ReadLehmerPermutation(uint64_t skip, uint64_t size,
                             uint32_t* permutation, BitReader& reader,
                             SymbolReader& symbols,
                             const std::vector<uint8_t>& context_map);

}  // namespace qov

#endif  // QOV_LIB_BITSTREAM_PERMUTATION_H_
