// Hybrid-uint tokeniser: turns 32-bit values into tokens under one split
// configuration and counts the raw extra bits those values need.
#ifndef QOV_LIB_ENCODE_TOKENIZE_HYBRID_UINT_H_
#define QOV_LIB_ENCODE_TOKENIZE_HYBRID_UINT_H_

#include <cstddef>
#include <cstdint>

#include "lib/bitstream/entropy_code.h"

namespace qov {

class AlignedBlock;

// Returned when the configuration's split exponent has no kernel (1 or >12).
inline constexpr uint32_t kTokenizeUnsupported = 0xFFFFFFFFu;

// The configuration the kernel really computes for `config`: each supported
// split exponent has a few fixed branches selected by m and l.
bool TokenizerKernelConfig(const UintSplitConfig& config, uint32_t* e,
                           uint32_t* m, uint32_t* l);

// Token of `value` under (e, m, l) and its extra bit count.
inline uint32_t HybridUintToken(uint32_t value, uint32_t e, uint32_t m,
                                uint32_t l, uint32_t* extra_bits) {
  if (value < (1u << e)) {
    *extra_bits = 0;
    return value;
  }
  const uint32_t n = 31 - static_cast<uint32_t>(__builtin_clz(value));
  *extra_bits = n - m - l;
  const uint32_t r = value - (1u << n);
  return (1u << e) + ((n - e) << (m + l)) + ((r >> (n - m)) << l) +
         (value & ((1u << l) - 1));
}

// Writes one token per value into `tokens` and returns the sum of the extra
// bits (modulo 2^32), or kTokenizeUnsupported without writing anything.
// Contract: values are read and tokens written in whole vectors (up to 7
// entries past `count` on either side); the caller pads both arrays by
// MaxSimdBytes() entries. Only lanes below `count` add to the sum.
uint32_t TokenizeHybridUint(const uint32_t* values, size_t count,
                            UintSplitConfig config, uint32_t* tokens);
// Same, into the data of an AlignedBlock.
uint32_t TokenizeHybridUint(const uint32_t* values, size_t count,
                            UintSplitConfig config, AlignedBlock* block);

// Reference: plain per-value loop (writes exactly `count` tokens).
uint32_t TokenizeHybridUintScalar(const uint32_t* values, size_t count,
                                  UintSplitConfig config, uint32_t* tokens);

}  // namespace qov

#endif  // QOV_LIB_ENCODE_TOKENIZE_HYBRID_UINT_H_
