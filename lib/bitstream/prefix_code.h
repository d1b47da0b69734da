// Prefix codes of entropy-coded streams (the code description of RFC 7932,
// sections 3.4 and 3.5) and their two-level lookup tables.
#ifndef QOV_LIB_BITSTREAM_PREFIX_CODE_H_
#define QOV_LIB_BITSTREAM_PREFIX_CODE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/bitstream/bit_reader.h"

namespace qov {

// One lookup-table entry. For a table with root size R bits:
//  - a root entry with bits <= R is a leaf: the code is `bits` long (0 for a
//    one-symbol code) and value is the symbol;
//  - a root entry with bits > R points to a second-level table of
//    2^(bits - R) entries starting at (this entry's index + value);
//  - a second-level entry is a leaf of (code length - R) bits.
struct PrefixTableEntry {
  uint8_t bits = 0;
  uint16_t value = 0;
};

inline constexpr uint32_t kPrefixRootBits = 8;
inline constexpr uint32_t kPrefixMaxCodeLength = 15;
inline constexpr uint64_t kPrefixMaxAlphabetSize = 32768;
// Entries of the code-length code's single-level table (root 5 bits).
inline constexpr uint32_t kCodeLengthCodeBits = 5;
inline constexpr uint32_t kCodeLengthCodeSymbols = 18;

// The lookup table of one cluster: 256 root entries, then the second-level
// tables in the order they were created.
class PrefixCode {
 public:
  // Reads one code description and replaces `table` with its lookup table.
  // False for an invalid description; over-reads are not detected here (the
  // caller checks the reader's position).
  static bool Read(PrefixCode& table, uint64_t alphabet_size,
                   BitReader& reader);

  const PrefixTableEntry* data() const { return entries.data(); }
  size_t size() const { return entries.size(); }

  std::vector<PrefixTableEntry> entries;
};

// Reads the code length of every symbol of a complex code, given the
// lengths of the 18-symbol code-length code. False for an invalid or
// incomplete code.
bool ReadPrefixCodeLengths(const uint8_t cl_lengths[kCodeLengthCodeSymbols],
                           int32_t alphabet_size, uint8_t* lengths,
                           BitReader& reader);

// Fills `table` for a code with root size `root_bits`, from the code length
// of each of `n` symbols and the symbol count per length (`count` is
// consumed). Returns the number of entries used, 0 on failure. The caller
// provides PrefixLookupTableSize(...) entries (or more). The code must be
// complete or consist of a single symbol.
uint32_t BuildPrefixLookupTable(PrefixTableEntry* table, uint32_t root_bits,
                                const uint8_t* lengths, uint64_t n,
                                uint16_t count[16]);

// The number of entries BuildPrefixLookupTable uses for a complete code with
// these per-length counts (count[0] ignored); 0 when n > 32768.
uint32_t PrefixLookupTableSize(uint32_t root_bits, const uint16_t count[16]);

// Decodes one symbol with a root of 8 bits. The reader must hold at least
// 15 buffered bits (call Refill first).
inline uint32_t DecodePrefixSymbol(const PrefixTableEntry* table,
                                   BitReader& reader) {
  const uint64_t root = reader.Peek(kPrefixRootBits);
  PrefixTableEntry e = table[root];
  if (e.bits > kPrefixRootBits) {
    reader.Consume(kPrefixRootBits);
    e = table[root + e.value + reader.Peek(e.bits - kPrefixRootBits)];
  }
  reader.Consume(e.bits);
  return e.value;
}

}  // namespace qov

#endif  // QOV_LIB_BITSTREAM_PREFIX_CODE_H_
