// Reads the values of one entropy-coded stream: tokens by prefix code or
// ANS, expanded as hybrid integers, with LZ77 copies out of a window.
#ifndef QOV_LIB_BITSTREAM_SYMBOL_READER_H_
#define QOV_LIB_BITSTREAM_SYMBOL_READER_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "lib/base/memory.h"
#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/entropy_code.h"
#include "lib/bitstream/lz77_special_distances.h"
#include "lib/bitstream/prefix_code.h"

namespace qov {

inline constexpr uint32_t kLz77WindowLog = 20;
inline constexpr uint32_t kLz77WindowSize = 1u << kLz77WindowLog;
inline constexpr uint32_t kLz77WindowMask = kLz77WindowSize - 1;
// The smallest window Create makes for a stream of known length.
inline constexpr uint32_t kMinLz77WindowSize = 1u << 10;
// min_symbol of a reader without LZ77: no token reaches it.
inline constexpr uint32_t kNoLz77MinSymbol = 0x100000;

// The reader keeps pointers into its EntropyCodeSet, which must outlive it.
// Reads never fail: input past the end reads as zero bits (callers check the
// reader's position), and after the last value the caller checks
// CheckFinalState().
class SymbolReader {
 public:
  // A reader before creation: state kAnsSignature, no window.
  SymbolReader() = default;
  // Reads the initial ANS state (32 bits) when the set uses ANS.
  SymbolReader(const EntropyCodeSet& set, BitReader& reader,
               uint64_t distance_multiplier, AlignedBlock window_block,
               uint32_t window_entries = kLz77WindowSize);
  SymbolReader(SymbolReader&&) = default;
  SymbolReader& operator=(SymbolReader&&) = default;

  // Allocates the LZ77 window when the set enables LZ77, then constructs;
  // Failed only when the window cannot be allocated. The window holds
  // kLz77WindowSize values (4 MiB), or, for a stream known to produce at
  // most `max_values` values, the smallest power of two (at least
  // kMinLz77WindowSize) that holds them all: no copy can then reach further
  // back than the window, and a short stream does not pay for touching and
  // clearing a 4 MiB block. Reading more values than `max_values` stays
  // within the window but repeats the wrong ones.
  static StatusOr<SymbolReader> Create(const EntropyCodeSet& set,
                                       BitReader& reader,
                                       uint64_t distance_multiplier,
                                       uint64_t max_values = kLz77WindowSize);

  // The next value of the stream, for a context that maps to `cluster`.
  inline uint32_t ReadClusteredUint(uint64_t cluster, BitReader& reader);
  // The same for sets without LZ77 (no window logic at all).
  inline uint32_t ReadClusteredUintNoLz77(uint64_t cluster, BitReader& reader) {
    reader.Refill();
    const uint32_t token = ReadToken(cluster, reader);
    return ReadHybridUint(token, split_configs[cluster], reader);
  }

  // True when every LZ77 copy can only repeat the previous value.
  bool IsRunLengthOnly() const;
  // True when the ANS state is back at its initial value (always with
  // prefix codes): the end-of-stream check.
  bool CheckFinalState() const { return state == kAnsSignature; }

  // Expands token t with a split configuration, taking the extra bits from
  // those already buffered (at most 31; the caller refilled before the token).
  static inline uint32_t ReadHybridUint(uint32_t t,
                                        const UintSplitConfig& config,
                                        BitReader& reader) {
    if (t < config.split_token) return t;
    const uint32_t ml = config.msb_in_token + config.lsb_in_token;
    const uint32_t n =
        (config.split_exponent - ml + ((t - config.split_token) >> ml)) & 31;
    const uint32_t low = t & ((1u << config.lsb_in_token) - 1);
    const uint32_t high = (1u << config.msb_in_token) |
                          ((t >> config.lsb_in_token) &
                           ((1u << config.msb_in_token) - 1));
    const uint32_t bits = static_cast<uint32_t>(reader.Peek(n));
    reader.Consume(n);
    return (((high << n) | bits) << config.lsb_in_token) | low;
  }

  const AliasEntry* alias_tables = nullptr;
  const PrefixCode* prefix_codes = nullptr;
  bool use_prefix_codes = false;
  uint32_t state = kAnsSignature;
  const UintSplitConfig* split_configs = nullptr;
  uint8_t log_alphabet_size = 0;
  uint8_t log_entry_size = 0;
  uint32_t entry_mask = 0;
  AlignedBlock window_block;
  uint32_t* window = nullptr;  // window_mask + 1 values, or null
  uint32_t window_mask = kLz77WindowMask;  // a power of two less one
  uint32_t decoded_count = 0;  // values produced (modulo 2^32)
  uint32_t copies_pending = 0;
  uint32_t copy_position = 0;  // window index (taken modulo the window size)
  uint32_t distance_cluster = 0;
  uint32_t min_length = 0;
  uint32_t min_symbol = kNoLz77MinSymbol;
  UintSplitConfig length_config;
  int32_t special_distances[kNumSpecialDistances] = {};
  uint32_t special_count = 0;

 private:
  // One token of cluster c; the reader holds at least 16 buffered bits.
  inline uint32_t ReadToken(uint64_t c, BitReader& reader) {
    if (use_prefix_codes) {
      return DecodePrefixSymbol(prefix_codes[c].data(), reader);
    }
    const AliasSlot slot = LookupAliasSlot(
        alias_tables + (c << log_alphabet_size), state & (kAnsTableSize - 1),
        log_entry_size, entry_mask);
    state = slot.offset + slot.frequency * (state >> kAnsLogTableSize);
    if (state < (1u << 16)) {
      state = (state << 16) | static_cast<uint32_t>(reader.Peek(16));
      reader.Consume(16);
    }
    return slot.symbol;
  }

  // Starts a copy for token t (t >= min_symbol); false when its length
  // wrapped around 2^32 (the reader is then put past its end).
  bool StartCopy(uint32_t t, BitReader& reader);
};

inline uint32_t SymbolReader::ReadClusteredUint(uint64_t cluster,
                                                BitReader& reader) {
  if (copies_pending == 0) {
    reader.Refill();
    const uint32_t token = ReadToken(cluster, reader);
    if (token < min_symbol) {
      const uint32_t value =
          ReadHybridUint(token, split_configs[cluster], reader);
      if (window != nullptr) {
        window[decoded_count & window_mask] = value;
        ++decoded_count;
      }
      return value;
    }
    if (!StartCopy(token, reader)) return 0;
  }
  --copies_pending;
  const uint32_t value = window[copy_position & window_mask];
  ++copy_position;
  window[decoded_count & window_mask] = value;
  ++decoded_count;
  return value;
}

}  // namespace qov

#endif  // QOV_LIB_BITSTREAM_SYMBOL_READER_H_
