// Reading a stream's code description: LZ77 parameters, context map,
// split configurations, prefix codes and ANS histograms with alias tables.
#include "lib/bitstream/entropy_code.h"

#include <algorithm>
#include <cstring>

#include "lib/base/bits.h"
#include "lib/bitstream/symbol_reader.h"

namespace qov {
namespace {

constexpr U32Coding kMinSymbolCoding(Val(224), Val(512), Val(4096),
                                     BitsOffset(15, 8));
constexpr U32Coding kMinLengthCoding(Val(3), Val(4), BitsOffset(2, 5),
                                     BitsOffset(8, 9));

// Log-count code of coded histograms, indexed by the next 7 bits (first bit
// read = lowest index bit): {code length, value}.
struct LogCountTable {
  uint8_t length[128];
  uint8_t value[128];
};

constexpr LogCountTable MakeLogCountTable() {
  // Codes written as bit strings in read order.
  struct Code {
    uint8_t value;
    const char* bits;
  };
  constexpr Code kCodes[14] = {
      {10, "000"},  {6, "001"},    {7, "010"},     {9, "011"},
      {8, "101"},   {4, "1001"},   {3, "1100"},    {1, "1101"},
      {5, "1110"},  {2, "1111"},   {0, "10001"},   {11, "100001"},
      {12, "1000000"}, {13, "1000001"}};
  LogCountTable t{};
  for (const Code& c : kCodes) {
    uint32_t len = 0, code = 0;
    for (const char* p = c.bits; *p != '\0'; ++p, ++len) {
      if (*p == '1') code |= 1u << len;
    }
    for (uint32_t i = 0; i < 128; ++i) {
      if ((i & ((1u << len) - 1)) == code) {
        t.length[i] = static_cast<uint8_t>(len);
        t.value[i] = c.value;
      }
    }
  }
  return t;
}

constexpr LogCountTable kLogCountTable = MakeLogCountTable();
constexpr uint32_t kLogCountRun = 13;

// Reads the counts of one ANS distribution (sum 4096 when valid).
Status ReadHistogram(BitReader& reader, std::vector<int32_t>* counts) {
  counts->clear();
  if (reader.Read(1) == 1) {
    // Small histogram: one or two symbols.
    const uint32_t nsym = static_cast<uint32_t>(reader.Read(1)) + 1;
    uint32_t symbols[2] = {0, 0};
    for (uint32_t i = 0; i < nsym; ++i) symbols[i] = ReadVarUint8(reader);
    const uint32_t largest = std::max(symbols[0], symbols[1]);
    counts->assign(largest + 1, 0);
    if (nsym == 1) {
      (*counts)[symbols[0]] = kAnsTableSize;
      return OkStatus();
    }
    if (symbols[0] == symbols[1]) return FailedStatus();
    const int32_t x = static_cast<int32_t>(reader.Read(12));
    (*counts)[symbols[0]] = x;
    (*counts)[symbols[1]] = static_cast<int32_t>(kAnsTableSize) - x;
    return OkStatus();
  }
  if (reader.Read(1) == 1) {
    // Flat histogram.
    const uint32_t n = ReadVarUint8(reader) + 1;
    counts->assign(n, static_cast<int32_t>(kAnsTableSize / n));
    for (uint32_t i = 0; i < kAnsTableSize % n; ++i) ++(*counts)[i];
    return OkStatus();
  }
  // Coded histogram.
  uint32_t e = 0;
  if (reader.Read(1) == 1) {
    e = reader.Read(1) == 0 ? 1 : 2 + static_cast<uint32_t>(reader.Read(1));
  }
  const uint32_t v = (1u << e) + static_cast<uint32_t>(reader.Read(e));
  if (v > 14) return FailedStatus();
  const int32_t shift = static_cast<int32_t>(v) - 1;
  const uint32_t length = ReadVarUint8(reader) + 3;
  counts->assign(length, 0);

  // Per position: log count (-1 for a zero count) or a run marker.
  constexpr int32_t kRunPosition = -2;
  int32_t log_counts[258 + 4];
  bool run_start_after[258 + 4] = {};
  int32_t omitted = -1;
  int32_t omitted_log = -1;
  for (uint32_t p = 0; p < length;) {
    reader.Refill();
    const uint64_t index = reader.Peek(7);
    reader.Consume(kLogCountTable.length[index]);
    const uint32_t k = kLogCountTable.value[index];
    if (k == kLogCountRun) {
      const uint32_t r = ReadVarUint8(reader);
      if (p > 0) run_start_after[p - 1] = true;
      const uint32_t end = std::min(length, p + r + 4);
      for (uint32_t q = p; q < end; ++q) log_counts[q] = kRunPosition;
      p += r + 4;
    } else {
      log_counts[p] = static_cast<int32_t>(k) - 1;
      if (log_counts[p] > omitted_log) {
        omitted_log = log_counts[p];
        omitted = static_cast<int32_t>(p);
      }
      ++p;
    }
  }
  if (omitted < 0) return FailedStatus();
  if (run_start_after[omitted]) return FailedStatus();

  int64_t total = 0;
  for (uint32_t p = 0; p < length; ++p) {
    int32_t count = 0;
    const int32_t log = log_counts[p];
    if (log == kRunPosition) {
      count = p == 0 ? 0 : (*counts)[p - 1];
    } else if (static_cast<int32_t>(p) != omitted && log >= 0) {
      const int32_t b =
          std::min(log, std::max(0, shift - ((12 - log) >> 1)));
      count = (1 << log) +
              (static_cast<int32_t>(reader.Read(static_cast<size_t>(b)))
               << (log - b));
    }
    (*counts)[p] = count;
    total += count;
  }
  const int64_t rest = int64_t{kAnsTableSize} - total;
  if (rest < 1) return FailedStatus();
  (*counts)[omitted] = static_cast<int32_t>(rest);
  return OkStatus();
}

// Significant bits of the values that symbol s of cluster c can produce.
void UpdateMaxTokenBits(EntropyCodeSet* set, size_t c, uint32_t s) {
  UintSplitConfig config = set->split_configs[c];
  if (set->lz77.enabled && c != set->lz77.distance_cluster &&
      s >= set->lz77.min_symbol) {
    config = set->lz77.length_config;
    s -= set->lz77.min_symbol;
  }
  uint32_t bits;
  if (s < config.split_token) {
    bits = config.split_exponent;
  } else {
    const uint32_t ml = config.msb_in_token + config.lsb_in_token;
    bits = ml + 1 +
           (config.split_exponent - ml +
            ((s - config.split_token) >> std::min<uint32_t>(ml, 31)));
  }
  set->max_token_bits = std::max<uint64_t>(set->max_token_bits, bits);
}

Status ReadPrefixCodes(uint64_t clusters, uint64_t max_alphabet_size,
                       BitReader& reader, EntropyCodeSet* set) {
  if (max_alphabet_size > kPrefixMaxAlphabetSize) return FailedStatus();
  set->prefix_codes.resize(clusters);
  std::vector<uint32_t> alphabet_sizes(clusters);
  for (uint64_t c = 0; c < clusters; ++c) {
    uint64_t size = 1;
    if (reader.Read(1) == 1) {
      const uint32_t n = static_cast<uint32_t>(reader.Read(4));
      size = 1 + (uint64_t{1} << n) + reader.Read(n);
    }
    if (size > max_alphabet_size) return FailedStatus();
    alphabet_sizes[c] = static_cast<uint32_t>(size);
  }
  for (uint64_t c = 0; c < clusters; ++c) {
    PrefixCode& code = set->prefix_codes[c];
    if (alphabet_sizes[c] == 1) {
      code.entries.assign(1u << kPrefixRootBits, PrefixTableEntry{0, 0});
    } else if (!PrefixCode::Read(code, alphabet_sizes[c], reader)) {
      reader.MarkBounds();
      return reader.PastEnd() ? NeedMoreBytesStatus() : FailedStatus();
    }
    for (const PrefixTableEntry& e : code.entries) {
      if (e.bits <= kPrefixRootBits) UpdateMaxTokenBits(set, c, e.value);
    }
  }
  return OkStatus();
}

Status ReadAnsCodes(uint64_t clusters, uint64_t max_alphabet_size,
                    BitReader& reader, EntropyCodeSet* set) {
  if (max_alphabet_size > 256) return FailedStatus();
  QOV_ASSIGN_OR_RETURN(
      set->alias_tables,
      AlignedBlock::Create(set->memory_manager,
                           clusters * max_alphabet_size * sizeof(AliasEntry),
                           0));
  const uint32_t log_alphabet_size = CeilLog2(max_alphabet_size);
  AliasEntry* tables = set->alias_tables.As<AliasEntry>();
  std::vector<int32_t> counts;
  for (uint64_t c = 0; c < clusters; ++c) {
    QOV_RETURN_IF_ERROR(ReadHistogram(reader, &counts));
    if (counts.size() > max_alphabet_size) return FailedStatus();
    while (!counts.empty() && counts.back() == 0) counts.pop_back();
    int32_t sole = 0;
    if (!counts.empty()) {
      sole = static_cast<int32_t>(counts.size()) - 1;
      for (size_t s = 0; s + 1 < counts.size(); ++s) {
        if (counts[s] != 0) sole = -1;
      }
    }
    set->sole_symbols[c] = sole;
    for (size_t s = 0; s < counts.size(); ++s) {
      if (counts[s] != 0) UpdateMaxTokenBits(set, c, static_cast<uint32_t>(s));
    }
    QOV_RETURN_IF_ERROR(BuildAliasLookup(counts, kAnsLogTableSize,
                                         log_alphabet_size,
                                         tables + c * max_alphabet_size));
  }
  return OkStatus();
}

}  // namespace

LZ77Params::LZ77Params() { Bundle::ResetToDefaults(*this); }

Status LZ77Params::EnumerateFields(Visitor* visitor) {
  QOV_RETURN_IF_ERROR(visitor->Flag(false, &enabled));
  if (!visitor->Gate(enabled)) return OkStatus();
  QOV_RETURN_IF_ERROR(visitor->CodedU32(kMinSymbolCoding, 224, &min_symbol));
  return visitor->CodedU32(kMinLengthCoding, 3, &min_length);
}

uint32_t ReadVarUint8(BitReader& reader) {
  if (reader.Read(1) == 0) return 0;
  const uint32_t n = static_cast<uint32_t>(reader.Read(3));
  if (n == 0) return 1;
  return (1u << n) + static_cast<uint32_t>(reader.Read(n));
}

Status ReadUintSplitConfig(uint32_t log_alphabet_size, UintSplitConfig* out,
                           BitReader& reader) {
  const uint32_t e =
      static_cast<uint32_t>(reader.Read(CeilLog2(log_alphabet_size + 1)));
  if (e == log_alphabet_size) {
    *out = UintSplitConfig(e, 1u << e, 0, 0);
    return OkStatus();
  }
  const uint32_t msb = static_cast<uint32_t>(reader.Read(CeilLog2(e + 1)));
  if (msb > e) return FailedStatus();
  const uint32_t lsb =
      static_cast<uint32_t>(reader.Read(CeilLog2(e - msb + 1)));
  if (msb + lsb > e) return FailedStatus();
  *out = UintSplitConfig(e, 1u << e, msb, lsb);
  return OkStatus();
}

Status ReadSymbolCodes(const QovMemoryManagerStruct* memory_manager,
                       uint64_t clusters, uint64_t max_alphabet_size,
                       BitReader& reader, EntropyCodeSet* set) {
  set->memory_manager = memory_manager;
  set->sole_symbols.assign(clusters, -1);
  if (set->use_prefix_codes) {
    return ReadPrefixCodes(clusters, max_alphabet_size, reader, set);
  }
  return ReadAnsCodes(clusters, max_alphabet_size, reader, set);
}

Status ReadEntropyCodeSet(const QovMemoryManagerStruct* memory_manager,
                          BitReader& reader, uint64_t contexts,
                          EntropyCodeSet* set,
                          std::vector<uint8_t>& context_map,
                          bool disallow_lz77) {
  if (contexts == 0) return FailedStatus();  // callers pass at least one
  QOV_RETURN_IF_ERROR(Bundle::Decode(reader, set->lz77));
  if (set->lz77.enabled) {
    QOV_RETURN_IF_ERROR(
        ReadUintSplitConfig(8, &set->lz77.length_config, reader));
    contexts += 1;
    if (disallow_lz77) return FailedStatus();
  }
  context_map.assign(contexts, 0);
  uint64_t clusters = 1;
  if (contexts > 1) {
    QOV_RETURN_IF_ERROR(
        ReadContextMap(memory_manager, context_map, &clusters, reader));
  }
  set->lz77.distance_cluster = context_map.back();
  set->use_prefix_codes = reader.Read(1) == 1;
  set->log_alphabet_size =
      set->use_prefix_codes ? 15 : static_cast<uint8_t>(5 + reader.Read(2));
  set->split_configs.assign(clusters, UintSplitConfig());
  for (uint64_t c = 0; c < clusters; ++c) {
    QOV_RETURN_IF_ERROR(ReadUintSplitConfig(set->log_alphabet_size,
                                            &set->split_configs[c], reader));
  }
  return ReadSymbolCodes(memory_manager, clusters,
                         uint64_t{1} << set->log_alphabet_size, reader, set);
}

Status BuildAliasLookup(std::vector<int32_t> counts, uint32_t log_range,
                        uint32_t log_alphabet_size, AliasEntry* out) {
  // Buckets hold at most 256 symbols and cutoffs below 256.
  if (log_range > 16 || log_alphabet_size > 8 ||
      log_range > log_alphabet_size + 8) {
    return FailedStatus();
  }
  const int32_t range = 1 << log_range;
  const uint32_t table_size = 1u << log_alphabet_size;
  if (range < static_cast<int32_t>(table_size)) return FailedStatus();
  while (!counts.empty() && counts.back() == 0) counts.pop_back();
  if (counts.empty()) counts.push_back(range);
  if (counts.size() > table_size) return FailedStatus();
  const int32_t entry_size = range >> log_alphabet_size;

  int64_t sum = 0;
  int32_t full = -1;
  for (size_t s = 0; s < counts.size(); ++s) {
    if (counts[s] < 0) return FailedStatus();
    sum += counts[s];
    if (counts[s] == range) {
      if (full >= 0) return FailedStatus();
      full = static_cast<int32_t>(s);
    }
  }
  if (sum != range) return FailedStatus();

  if (full >= 0) {
    if (full > 255) return FailedStatus();
    for (uint32_t i = 0; i < table_size; ++i) {
      out[i].cutoff = 0;
      out[i].right_value = static_cast<uint8_t>(full);
      out[i].frequency = 0;
      out[i].right_offset = static_cast<uint16_t>(i * entry_size);
      out[i].right_frequency_xor = static_cast<uint16_t>(range);
    }
    return OkStatus();
  }

  int32_t cutoff[256];
  uint32_t right_value[256];
  int32_t right_offset[256];
  uint32_t overfull[256], underfull[256];
  size_t n_over = 0, n_under = 0;
  for (uint32_t k = 0; k < table_size; ++k) {
    cutoff[k] = k < counts.size() ? counts[k] : 0;
    right_value[k] = k;
    right_offset[k] = 0;
  }
  for (uint32_t k = 0; k < counts.size(); ++k) {
    if (cutoff[k] > entry_size) overfull[n_over++] = k;
    if (cutoff[k] < entry_size) underfull[n_under++] = k;
  }
  for (uint32_t k = static_cast<uint32_t>(counts.size()); k < table_size; ++k) {
    underfull[n_under++] = k;
  }
  while (n_over != 0) {
    const uint32_t o = overfull[--n_over];
    if (n_under == 0) return FailedStatus();
    const uint32_t u = underfull[--n_under];
    cutoff[o] -= entry_size - cutoff[u];
    right_value[u] = o;
    right_offset[u] = cutoff[o];
    if (cutoff[o] < entry_size) {
      underfull[n_under++] = o;
    } else if (cutoff[o] > entry_size) {
      overfull[n_over++] = o;
    }
  }
  for (uint32_t k = 0; k < table_size; ++k) {
    if (cutoff[k] == entry_size) {
      right_value[k] = k;
      right_offset[k] = 0;
      cutoff[k] = 0;
    } else {
      right_offset[k] -= cutoff[k];
    }
    const int32_t frequency = k < counts.size() ? counts[k] : 0;
    const int32_t right_count =
        right_value[k] < counts.size() ? counts[right_value[k]] : 0;
    out[k].cutoff = static_cast<uint8_t>(cutoff[k]);
    out[k].right_value = static_cast<uint8_t>(right_value[k]);
    out[k].frequency = static_cast<uint16_t>(frequency);
    // Stored modulo 2^16; readers add the position modulo 2^16.
    out[k].right_offset = static_cast<uint16_t>(right_offset[k]);
    out[k].right_frequency_xor =
        static_cast<uint16_t>(right_count ^ frequency);
  }
  return OkStatus();
}

void UndoMoveToFront(uint8_t* bytes, size_t length) {
  uint8_t list[256];
  for (int i = 0; i < 256; ++i) list[i] = static_cast<uint8_t>(i);
  for (size_t k = 0; k < length; ++k) {
    const uint8_t i = bytes[k];
    const uint8_t value = list[i];
    bytes[k] = value;
    if (i > 0) {
      std::memmove(list + 1, list, i);
      list[0] = value;
    }
  }
}

Status ReadContextMap(const QovMemoryManagerStruct* memory_manager,
                      std::vector<uint8_t>& context_map, uint64_t* clusters,
                      BitReader& reader) {
  const bool is_simple = reader.Read(1) == 1;
  if (is_simple) {
    const uint32_t w = static_cast<uint32_t>(reader.Read(2));
    for (uint8_t& entry : context_map) {
      entry = w == 0 ? 0 : static_cast<uint8_t>(reader.Read(w));
    }
  } else {
    const bool use_mtf = reader.Read(1) == 1;
    EntropyCodeSet nested;
    std::vector<uint8_t> nested_map;
    QOV_RETURN_IF_ERROR(ReadEntropyCodeSet(memory_manager, reader, 1, &nested,
                                           nested_map,
                                           context_map.size() < 3));
    // One value per context: a window of that many.
    QOV_ASSIGN_OR_RETURN(SymbolReader symbols,
                         SymbolReader::Create(nested, reader, 0, context_map.size()));
    const uint64_t cluster = nested_map[0];
    uint32_t largest = 0;
    for (uint8_t& entry : context_map) {
      const uint32_t value = symbols.ReadClusteredUint(cluster, reader);
      entry = static_cast<uint8_t>(value);
      largest = std::max(largest, value);
    }
    if (largest > 255) return FailedStatus();
    if (!symbols.CheckFinalState()) return FailedStatus();
    if (use_mtf) UndoMoveToFront(context_map.data(), context_map.size());
  }
  bool seen[256] = {};
  uint32_t largest = 0;
  for (uint8_t entry : context_map) {
    seen[entry] = true;
    largest = std::max<uint32_t>(largest, entry);
  }
  for (uint32_t i = 0; i <= largest; ++i) {
    if (!seen[i]) return FailedStatus();
  }
  *clusters = largest + 1;
  return OkStatus();
}

}  // namespace qov
