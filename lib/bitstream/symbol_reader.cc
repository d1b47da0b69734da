// Symbol reader set-up, LZ77 copy starts and the run-length test.
#include "lib/bitstream/symbol_reader.h"

#include <cstring>

namespace qov {

SymbolReader::SymbolReader(const EntropyCodeSet& set, BitReader& reader,
                           uint64_t distance_multiplier,
                           AlignedBlock block, uint32_t window_entries)
    : alias_tables(set.alias_tables.As<const AliasEntry>()),
      prefix_codes(set.prefix_codes.data()),
      use_prefix_codes(set.use_prefix_codes),
      split_configs(set.split_configs.data()),
      window_block(std::move(block)) {
  if (!use_prefix_codes) {
    state = static_cast<uint32_t>(reader.Read(32));
    log_alphabet_size = set.log_alphabet_size;
    log_entry_size = static_cast<uint8_t>(kAnsLogTableSize - log_alphabet_size);
    entry_mask = (1u << log_entry_size) - 1;
  }
  if (set.lz77.enabled) {
    window = window_block.As<uint32_t>();
    window_mask = window_entries - 1;
    distance_cluster = static_cast<uint32_t>(set.lz77.distance_cluster);
    length_config = set.lz77.length_config;
    min_symbol = set.lz77.min_symbol;
    min_length = set.lz77.min_length;
    special_count = distance_multiplier != 0 ? kNumSpecialDistances : 0;
    for (uint32_t i = 0; i < kNumSpecialDistances; ++i) {
      special_distances[i] = Lz77SpecialDistance(i, distance_multiplier);
    }
  }
}

StatusOr<SymbolReader> SymbolReader::Create(const EntropyCodeSet& set,
                                            BitReader& reader,
                                            uint64_t distance_multiplier,
                                            uint64_t max_values) {
  AlignedBlock block;
  uint32_t entries = kLz77WindowSize;
  if (set.lz77.enabled) {
    if (max_values < kLz77WindowSize) {
      entries = kMinLz77WindowSize;
      while (entries < max_values) entries *= 2;
    }
    QOV_ASSIGN_OR_RETURN(
        block, AlignedBlock::Create(set.memory_manager, uint64_t{entries} * 4, 0));
  }
  return SymbolReader(set, reader, distance_multiplier, std::move(block), entries);
}

bool SymbolReader::StartCopy(uint32_t t, BitReader& reader) {
  copies_pending = ReadHybridUint(t - min_symbol, length_config, reader) +
                   min_length;  // modulo 2^32, checked below
  reader.Refill();
  const uint32_t d = ReadToken(distance_cluster, reader);
  const uint32_t v =
      ReadHybridUint(d, split_configs[distance_cluster], reader);
  // 64-bit: v - special_count + 1 must not wrap to 0.
  const uint64_t distance =
      v < special_count ? static_cast<uint64_t>(special_distances[v])
                        : uint64_t{v} - special_count + 1;
  const uint64_t m = std::min<uint64_t>(distance, decoded_count);
  const uint32_t window_size = window_mask + 1;
  copy_position = decoded_count -
                  static_cast<uint32_t>(std::min<uint64_t>(m, window_size));
  if (m == 0) {
    // Nothing decoded yet: the copy yields zeros, never unwritten entries.
    const uint32_t n = std::min(copies_pending, window_size);
    std::memset(window, 0, size_t{n} * sizeof(uint32_t));
  }
  if (copies_pending < min_length) {
    copies_pending = 0;
    reader.SkipLong(~uint64_t{0} >> 1);
    return false;
  }
  return true;
}

bool SymbolReader::IsRunLengthOnly() const {
  // Without special distances (multiplier 0) the distance value 1 means
  // distance 2, so copies would not repeat the previous value.
  if (window == nullptr || !use_prefix_codes || special_count == 0) {
    return false;
  }
  const PrefixCode& code = prefix_codes[distance_cluster];
  if (code.size() < 8) return false;
  for (size_t i = 0; i < 8; ++i) {
    if (code.entries[i].bits != 0 || code.entries[i].value != 1) return false;
  }
  return split_configs[distance_cluster].split_token < 2;
}

}  // namespace qov
