// The code description that opens every entropy-coded stream: LZ77
// parameters, the context map, hybrid-integer split configurations and one
// prefix code or ANS distribution (as an alias table) per cluster.
#ifndef QOV_LIB_BITSTREAM_ENTROPY_CODE_H_
#define QOV_LIB_BITSTREAM_ENTROPY_CODE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/memory.h"
#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/fields.h"
#include "lib/bitstream/prefix_code.h"
#include "qov/qov.h"

namespace qov {

// ANS distributions have 12-bit precision: their counts sum to 4096.
inline constexpr uint32_t kAnsLogTableSize = 12;
inline constexpr uint32_t kAnsTableSize = 1u << kAnsLogTableSize;
// The ANS state every stream starts from and must end in.
inline constexpr uint32_t kAnsSignature = 0x130000;

// How a token becomes an integer: tokens below split_token (2^split_exponent)
// are the value itself; above, the token carries msb_in_token bits below the
// leading 1 and lsb_in_token low bits, the rest is read from the stream.
struct UintSplitConfig {
  uint32_t split_exponent = 4;
  uint32_t split_token = 16;
  uint32_t msb_in_token = 2;
  uint32_t lsb_in_token = 0;

  constexpr UintSplitConfig() = default;
  constexpr UintSplitConfig(uint32_t e, uint32_t msb, uint32_t lsb)
      : split_exponent(e),
        split_token(e >= 32 ? 0u : 1u << e),
        msb_in_token(msb),
        lsb_in_token(lsb) {}
  constexpr UintSplitConfig(uint32_t e, uint32_t token, uint32_t msb,
                            uint32_t lsb)
      : split_exponent(e),
        split_token(token),
        msb_in_token(msb),
        lsb_in_token(lsb) {}

  constexpr bool operator==(const UintSplitConfig&) const = default;
};

// LZ77 parameters of a stream (a field bundle).
class LZ77Params : public Fields {
 public:
  LZ77Params();
  ~LZ77Params() override = default;
  LZ77Params(const LZ77Params&) = default;
  LZ77Params& operator=(const LZ77Params&) = default;

  Status EnumerateFields(Visitor* visitor) override;

  bool enabled = false;
  uint32_t min_symbol = 224;
  uint32_t min_length = 3;
  // Split of copy-length tokens; not a bundle field.
  UintSplitConfig length_config{0, 1, 0, 0};
  // Cluster of distance tokens; set by ReadEntropyCodeSet.
  uint64_t distance_cluster = 0;
};

// One bucket of an alias table (8 bytes, loaded as one word per symbol).
struct AliasEntry {
  uint8_t cutoff;               // positions below it belong to the bucket
  uint8_t right_value;          // symbol of the positions at/above cutoff
  uint16_t frequency;           // count of the bucket's own symbol
  uint16_t right_offset;        // offset of right_value's slots, less cutoff
  uint16_t right_frequency_xor; // count of right_value XOR frequency
};
static_assert(sizeof(AliasEntry) == 8, "an alias bucket is 8 bytes");

// What one position of the ANS range decodes to: the symbol, the position's
// index among that symbol's slots, and the symbol's count.
struct AliasSlot {
  uint32_t symbol;
  uint32_t offset;
  uint32_t frequency;
};

// Looks up position x (below 2^12) in the alias table of one cluster, whose
// buckets cover 2^log_bucket_size positions each (bucket_mask is that size
// less one).
inline AliasSlot LookupAliasSlot(const AliasEntry* table, uint32_t x,
                                 uint32_t log_bucket_size,
                                 uint32_t bucket_mask) {
  const uint32_t i = x >> log_bucket_size;
  const uint32_t p = x & bucket_mask;
  const AliasEntry e = table[i];
  if (p < e.cutoff) return {i, p, e.frequency};
  return {e.right_value, (e.right_offset + p) & 0xFFFFu,
          static_cast<uint32_t>(e.frequency ^ e.right_frequency_xor)};
}

// The codes of one entropy-coded stream. Read once, then only read (several
// SymbolReaders may share it; it must outlive them).
class EntropyCodeSet {
 public:
  EntropyCodeSet() = default;
  EntropyCodeSet(EntropyCodeSet&&) = default;
  EntropyCodeSet& operator=(EntropyCodeSet&&) = default;

  // clusters x 2^log_alphabet_size entries (ANS only).
  AlignedBlock alias_tables;
  // One per cluster (prefix codes only).
  std::vector<PrefixCode> prefix_codes;
  std::vector<UintSplitConfig> split_configs;
  // Per cluster: the only symbol it can produce, -1 when it has several.
  std::vector<int32_t> sole_symbols;
  bool use_prefix_codes = false;
  // 15 with prefix codes, 5 to 8 with ANS.
  uint8_t log_alphabet_size = 0;
  LZ77Params lz77;
  // Largest number of significant bits any decodable value can have.
  uint64_t max_token_bits = 0;
  const QovMemoryManagerStruct* memory_manager = nullptr;
};

// Reads a stream's code description for `contexts` contexts (>= 1). On
// success `context_map` has one cluster per context, plus one for LZ77
// distances when LZ77 is enabled. NeedMoreBytes from the LZ77 bundle or a
// prefix code read past the end; Failed otherwise. After a failure the set
// must not be used.
Status ReadEntropyCodeSet(const QovMemoryManagerStruct* memory_manager,
                          BitReader& reader, uint64_t contexts,
                          EntropyCodeSet* set,
                          std::vector<uint8_t>& context_map,
                          bool disallow_lz77);

// The per-cluster codes (the last step of ReadEntropyCodeSet).
Status ReadSymbolCodes(const QovMemoryManagerStruct* memory_manager,
                       uint64_t clusters, uint64_t max_alphabet_size,
                       BitReader& reader, EntropyCodeSet* set);

Status ReadUintSplitConfig(uint32_t log_alphabet_size, UintSplitConfig* out,
                           BitReader& reader);

// 0 to 255: bit 0 -> 0; else 3 bits n: 0 -> 1, else 2^n + n bits.
uint32_t ReadVarUint8(BitReader& reader);

// Builds the alias table of one distribution over 2^log_range (the decoder
// uses 12) for 2^log_alphabet_size buckets. `counts` is taken over (trailing
// zeros are dropped). Failed when the counts do not sum to the range, are
// too many for the table, or name a symbol above 255.
Status BuildAliasLookup(std::vector<int32_t> counts, uint32_t log_range,
                        uint32_t log_alphabet_size, AliasEntry* out);

// Fills every entry of `context_map` (its size is the number of contexts)
// and sets the number of clusters.
Status ReadContextMap(const QovMemoryManagerStruct* memory_manager,
                      std::vector<uint8_t>& context_map, uint64_t* clusters,
                      BitReader& reader);

// Inverse move-to-front transform, in place.
void UndoMoveToFront(uint8_t* bytes, size_t length);

}  // namespace qov

#endif  // QOV_LIB_BITSTREAM_ENTROPY_CODE_H_
