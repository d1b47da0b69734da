// Reading prefix-code descriptions and building their lookup tables.
#include "lib/bitstream/prefix_code.h"

#include <algorithm>
#include <cstring>

namespace qov {
namespace {

// Order in which the code lengths of the code-length code are sent.
constexpr uint8_t kCodeLengthOrder[kCodeLengthCodeSymbols] = {
    1, 2, 3, 4, 0, 5, 17, 6, 16, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// Fixed code of one code-length-code length (values 0..5), indexed by the
// next 4 bits (first bit read = lowest index bit): {length, value}.
constexpr uint8_t kCodeLengthLengthTable[16][2] = {
    {2, 0}, {2, 4}, {2, 3}, {3, 2}, {2, 0}, {2, 4}, {2, 3}, {4, 1},
    {2, 0}, {2, 4}, {2, 3}, {3, 2}, {2, 0}, {2, 4}, {2, 3}, {4, 5}};

// Number of significant bits of the largest symbol of an alphabet.
uint32_t SymbolBits(uint64_t alphabet_size) {
  if (alphabet_size < 2) return 0;
  uint32_t bits = 0;
  for (uint64_t v = alphabet_size - 1; v != 0; v >>= 1) ++bits;
  return bits;
}

// The bit-reversed increment of an R-bit key for a code of length len.
inline uint32_t NextKey(uint32_t key, uint32_t len) {
  uint32_t t = 1u << (len - 1);
  while (key & t) t >>= 1;
  return (key & (t - 1)) + t;
}

// Index bits of the second-level table that starts with a code of length len.
inline uint32_t NextTableBits(const uint16_t count[16], uint32_t len,
                              uint32_t root_bits) {
  int64_t left = int64_t{1} << (len - root_bits);
  while (len < kPrefixMaxCodeLength) {
    left -= count[len];
    if (left <= 0) break;
    ++len;
    left <<= 1;
  }
  return len - root_bits;
}

// Replicates the first k entries of a table until it has `total` entries.
void ReplicateEntries(PrefixTableEntry* table, uint32_t k, uint32_t total) {
  while (k < total) {
    std::memcpy(table + k, table, k * sizeof(PrefixTableEntry));
    k *= 2;
  }
}

bool ReadSimpleCode(PrefixCode& table, uint64_t alphabet_size,
                    BitReader& reader) {
  table.entries.assign(1u << kPrefixRootBits, PrefixTableEntry{});
  const uint32_t nbits = SymbolBits(alphabet_size);
  const uint32_t nsym = static_cast<uint32_t>(reader.Read(2)) + 1;
  uint16_t s[4] = {0, 0, 0, 0};
  for (uint32_t i = 0; i < nsym; ++i) {
    const uint64_t symbol = reader.Read(nbits);
    if (symbol >= alphabet_size) return false;
    s[i] = static_cast<uint16_t>(symbol);
  }
  for (uint32_t i = 0; i < nsym; ++i) {
    for (uint32_t j = i + 1; j < nsym; ++j) {
      if (s[i] == s[j]) return false;
    }
  }
  PrefixTableEntry* t = table.entries.data();
  uint32_t k = 0;
  switch (nsym) {
    case 1:
      t[0] = {0, s[0]};
      k = 1;
      break;
    case 2:
      t[0] = {1, std::min(s[0], s[1])};
      t[1] = {1, std::max(s[0], s[1])};
      k = 2;
      break;
    case 3:
      t[0] = {1, s[0]};
      t[1] = {2, std::min(s[1], s[2])};
      t[2] = {1, s[0]};
      t[3] = {2, std::max(s[1], s[2])};
      k = 4;
      break;
    default: {
      if (reader.Read(1) == 0) {
        uint16_t sorted[4] = {s[0], s[1], s[2], s[3]};
        std::sort(sorted, sorted + 4);
        t[0] = {2, sorted[0]};
        t[1] = {2, sorted[2]};
        t[2] = {2, sorted[1]};
        t[3] = {2, sorted[3]};
        k = 4;
      } else {
        const uint16_t lo = std::min(s[2], s[3]), hi = std::max(s[2], s[3]);
        t[0] = {1, s[0]};
        t[1] = {2, s[1]};
        t[2] = {1, s[0]};
        t[3] = {3, lo};
        t[4] = {1, s[0]};
        t[5] = {2, s[1]};
        t[6] = {1, s[0]};
        t[7] = {3, hi};
        k = 8;
      }
      break;
    }
  }
  ReplicateEntries(t, k, 1u << kPrefixRootBits);
  return true;
}

bool ReadComplexCode(PrefixCode& table, uint64_t alphabet_size, uint32_t hskip,
                     BitReader& reader) {
  uint8_t cl_lengths[kCodeLengthCodeSymbols] = {};
  int32_t space = 32;
  uint32_t nonzero = 0;
  for (uint32_t i = hskip; i < kCodeLengthCodeSymbols && space > 0; ++i) {
    reader.Refill();
    const uint64_t index = reader.Peek(4);
    reader.Consume(kCodeLengthLengthTable[index][0]);
    const uint8_t v = kCodeLengthLengthTable[index][1];
    cl_lengths[kCodeLengthOrder[i]] = v;
    if (v != 0) {
      space -= 32 >> v;
      ++nonzero;
    }
  }
  if (nonzero != 1 && space != 0) return false;

  std::vector<uint8_t> lengths(alphabet_size);
  if (!ReadPrefixCodeLengths(cl_lengths, static_cast<int32_t>(alphabet_size),
                             lengths.data(), reader)) {
    return false;
  }
  uint16_t count[16] = {};
  for (uint8_t len : lengths) ++count[len];
  // Sized exactly: the common bound of (alphabet size + 376) entries is not
  // guaranteed for every complete code of a large alphabet.
  const uint32_t needed = PrefixLookupTableSize(kPrefixRootBits, count);
  if (needed == 0) return false;
  table.entries.assign(needed, PrefixTableEntry{});
  const uint32_t used =
      BuildPrefixLookupTable(table.entries.data(), kPrefixRootBits,
                             lengths.data(), alphabet_size, count);
  if (used == 0) return false;
  table.entries.resize(used);
  return true;
}

}  // namespace

bool PrefixCode::Read(PrefixCode& table, uint64_t alphabet_size,
                      BitReader& reader) {
  if (alphabet_size > kPrefixMaxAlphabetSize) return false;
  const uint32_t hskip = static_cast<uint32_t>(reader.Read(2));
  if (hskip == 1) return ReadSimpleCode(table, alphabet_size, reader);
  if (alphabet_size == 0) return false;
  return ReadComplexCode(table, alphabet_size, hskip, reader);
}

bool ReadPrefixCodeLengths(const uint8_t cl_lengths[kCodeLengthCodeSymbols],
                           int32_t alphabet_size, uint8_t* lengths,
                           BitReader& reader) {
  if (alphabet_size <= 0) return false;
  PrefixTableEntry table[1u << kCodeLengthCodeBits];
  uint16_t count[16] = {};
  for (uint32_t i = 0; i < kCodeLengthCodeSymbols; ++i) ++count[cl_lengths[i]];
  if (BuildPrefixLookupTable(table, kCodeLengthCodeBits, cl_lengths,
                             kCodeLengthCodeSymbols, count) == 0) {
    return false;
  }
  const int64_t n = alphabet_size;
  int64_t i = 0;
  uint32_t previous = 8;
  int64_t repeat = 0;
  uint32_t repeat_length = 0;
  int64_t space = 32768;
  while (true) {
    reader.Refill();
    const PrefixTableEntry e = table[reader.Peek(kCodeLengthCodeBits)];
    reader.Consume(e.bits);
    const uint32_t c = e.value;
    if (c <= 15) {
      lengths[i++] = static_cast<uint8_t>(c);
      repeat = 0;
      if (c != 0) {
        previous = c;
        space -= 32768 >> c;
      }
    } else {
      const uint32_t new_length = c == 16 ? previous : 0;
      const uint32_t extra = c == 16 ? 2 : 3;
      const int64_t old = repeat_length == new_length ? repeat : 0;
      repeat = (old > 0 ? (old - 2) << extra : 0) +
               static_cast<int64_t>(reader.Read(extra)) + 3;
      const int64_t delta = repeat - old;
      if (i + delta > n) return false;
      std::memset(lengths + i, static_cast<int>(new_length),
                  static_cast<size_t>(delta));
      i += delta;
      repeat_length = new_length;
      if (new_length != 0) space -= delta << (15 - new_length);
    }
    if (i >= n || space <= 0) {
      if (space != 0) return false;
      if (i < n) std::memset(lengths + i, 0, static_cast<size_t>(n - i));
      return true;
    }
  }
}

uint32_t PrefixLookupTableSize(uint32_t root_bits, const uint16_t count_in[16]) {
  uint16_t count[16];
  std::memcpy(count, count_in, sizeof(count));
  uint64_t n = 0;
  uint32_t max_length = 1;
  for (uint32_t len = 1; len <= kPrefixMaxCodeLength; ++len) {
    n += count[len];
    if (count[len] != 0) max_length = len;
  }
  if (n > kPrefixMaxAlphabetSize) return 0;
  const uint32_t root_size = 1u << root_bits;
  if (n <= 1) return root_size;
  uint32_t key = 0;
  for (uint32_t len = 1; len <= std::min(max_length, root_bits); ++len) {
    for (uint32_t k = 0; k < count[len]; ++k) key = NextKey(key, len);
  }
  uint32_t total = root_size;
  uint32_t low = ~0u;
  const uint32_t mask = root_size - 1;
  for (uint32_t len = root_bits + 1; len <= max_length; ++len) {
    while (count[len] != 0) {
      if ((key & mask) != low) {
        total += 1u << NextTableBits(count, len, root_bits);
        low = key & mask;
      }
      --count[len];
      key = NextKey(key, len);
    }
  }
  return total;
}

uint32_t BuildPrefixLookupTable(PrefixTableEntry* table, uint32_t root_bits,
                                const uint8_t* lengths, uint64_t n,
                                uint16_t count[16]) {
  if (n > kPrefixMaxAlphabetSize) return 0;
  // Symbols with a nonzero length, by length and then by index.
  uint32_t offset[17] = {};
  for (uint32_t len = 1; len <= kPrefixMaxCodeLength; ++len) {
    offset[len + 1] = offset[len] + count[len];
  }
  const uint32_t coded = offset[kPrefixMaxCodeLength + 1];
  std::vector<uint16_t> sorted(coded == 0 ? 1 : coded);
  {
    uint32_t next[16];
    std::memcpy(next, offset, sizeof(next));
    for (uint64_t s = 0; s < n; ++s) {
      if (lengths[s] != 0) sorted[next[lengths[s]]++] = static_cast<uint16_t>(s);
    }
  }
  uint32_t max_length = 1;
  for (uint32_t len = kPrefixMaxCodeLength; len >= 1; --len) {
    if (count[len] != 0) {
      max_length = len;
      break;
    }
  }
  const uint32_t root_size = 1u << root_bits;
  if (coded == 1) {
    for (uint32_t i = 0; i < root_size; ++i) table[i] = {0, sorted[0]};
    return root_size;
  }

  uint32_t key = 0;
  uint32_t symbol = 0;
  const uint32_t root_lengths = std::min(max_length, root_bits);
  const uint32_t filled = 1u << root_lengths;
  for (uint32_t len = 1; len <= root_lengths; ++len) {
    const uint32_t step = 1u << len;
    for (uint32_t k = 0; k < count[len]; ++k, ++symbol) {
      for (uint32_t pos = key; pos < filled; pos += step) {
        table[pos] = {static_cast<uint8_t>(len), sorted[symbol]};
      }
      key = NextKey(key, len);
    }
  }
  ReplicateEntries(table, filled, root_size);

  uint32_t total = root_size;
  const uint32_t mask = root_size - 1;
  uint32_t low = ~0u;
  PrefixTableEntry* current = table;
  uint32_t current_size = root_size;
  uint32_t step = 2;
  for (uint32_t len = root_bits + 1; len <= max_length; ++len, step <<= 1) {
    while (count[len] != 0) {
      if ((key & mask) != low) {
        current += current_size;
        const uint32_t bits = NextTableBits(count, len, root_bits);
        current_size = 1u << bits;
        low = key & mask;
        table[low] = {static_cast<uint8_t>(root_bits + bits),
                      static_cast<uint16_t>(total - low)};
        total += current_size;
      }
      for (uint32_t pos = key >> root_bits; pos < current_size; pos += step) {
        current[pos] = {static_cast<uint8_t>(len - root_bits),
                        sorted[symbol]};
      }
      ++symbol;
      --count[len];
      key = NextKey(key, len);
    }
  }
  return total;
}

}  // namespace qov
