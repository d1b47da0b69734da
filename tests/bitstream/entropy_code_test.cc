// Code descriptions: ANS histograms and alias tables, split configurations,
// context maps and the prefix/ANS choice.
#include "lib/bitstream/entropy_code.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "lib/bitstream/symbol_reader.h"
#include "tests/bitstream/entropy_test_streams.h"

namespace qov {
namespace {

using entropy_test::Bits;
using entropy_test::Heap;

// Counts per symbol as the alias table of cluster c hands out its 4096
// slots; also checks that each symbol's offsets are exactly 0..count-1 and
// its frequency is its count.
std::vector<int32_t> CountsFromAlias(const AliasEntry* table,
                                     uint32_t log_alphabet) {
  std::vector<std::vector<bool>> seen(256, std::vector<bool>(4096, false));
  std::vector<int32_t> counts(256, 0);
  std::vector<uint32_t> freq(256, 0);
  const uint32_t entry_bits = 12 - log_alphabet;
  for (uint32_t x = 0; x < 4096; ++x) {
    const AliasSlot slot =
        LookupAliasSlot(table, x, entry_bits, (1u << entry_bits) - 1);
    const uint32_t symbol = slot.symbol, offset = slot.offset;
    EXPECT_LT(offset, 4096u);
    if (offset < 4096) {
      EXPECT_FALSE(seen[symbol][offset]) << "symbol " << symbol;
      seen[symbol][offset] = true;
    }
    ++counts[symbol];
    freq[symbol] = slot.frequency;
  }
  while (!counts.empty() && counts.back() == 0) counts.pop_back();
  for (size_t s = 0; s < counts.size(); ++s) {
    if (counts[s] == 0) continue;
    EXPECT_EQ(freq[s], static_cast<uint32_t>(counts[s])) << "symbol " << s;
    for (int32_t o = 0; o < counts[s]; ++o) {
      EXPECT_TRUE(seen[s][o]) << "symbol " << s << " offset " << o;
    }
  }
  return counts;
}

// One-context ANS description with log alphabet size A whose cluster uses
// split exponent A (values = tokens), followed by `histogram`.
Bits AnsDescription(uint32_t log_alphabet, const Bits& histogram) {
  Bits bits;
  bits.Put(1, 0).Put(1, 0).Put(2, log_alphabet - 5);
  bits.Put(entropy_test::CeilLog2(log_alphabet + 1), log_alphabet);
  return bits.Append(histogram);
}

Status ReadOneContext(const Bits& bits, EntropyCodeSet* set,
                      uint64_t* position = nullptr, uint64_t contexts = 1,
                      std::vector<uint8_t>* map_out = nullptr) {
  const std::vector<uint8_t> bytes = bits.Bytes();
  BitReader reader(Span(bytes.data(), bytes.size()));
  std::vector<uint8_t> map;
  const Status status =
      ReadEntropyCodeSet(Heap(), reader, contexts, set, map, false);
  if (position != nullptr) *position = reader.Position();
  if (map_out != nullptr) *map_out = map;
  return status;
}

TEST(EntropyCodeTest, VarUint8) {
  const std::vector<std::pair<Bits, uint32_t>> cases = {
      {Bits().Put(1, 0), 0},
      {Bits().Put(1, 1).Put(3, 0), 1},
      {Bits().Put(1, 1).Put(3, 1).Put(1, 1), 3},
      {Bits().Put(1, 1).Put(3, 4).Put(4, 9), 25},
      {Bits().Put(1, 1).Put(3, 7).Put(7, 127), 255},
  };
  for (const auto& [bits, value] : cases) {
    const std::vector<uint8_t> bytes = bits.Bytes();
    BitReader reader(Span(bytes.data(), bytes.size()));
    EXPECT_EQ(ReadVarUint8(reader), value);
    EXPECT_EQ(reader.Position(), bits.size()) << value;
  }
}

TEST(EntropyCodeTest, SplitConfigs) {
  struct Case {
    const char* name;
    uint32_t log_alphabet;
    Bits bits;
    bool ok;
    UintSplitConfig expected;
  };
  const std::vector<Case> cases = {
      {"A 8, exponent 8: nothing more", 8, Bits().Put(4, 8), true,
       UintSplitConfig(8, 256, 0, 0)},
      {"A 8, 4/2/1", 8, Bits().Put(4, 4).Put(3, 2).Put(2, 1), true,
       UintSplitConfig(4, 16, 2, 1)},
      {"A 15, exponent 15", 15, Bits().Put(4, 15), true,
       UintSplitConfig(15, 32768, 0, 0)},
      {"A 5, 0/0/0", 5, Bits().Put(3, 0).Put(0, 0).Put(0, 0), true,
       UintSplitConfig(0, 1, 0, 0)},
      {"msb above exponent", 8, Bits().Put(4, 2).Put(2, 3), false, {}},
      {"msb + lsb above exponent", 8, Bits().Put(4, 4).Put(3, 0).Put(3, 5),
       false, {}},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> bytes = c.bits.Bytes();
    BitReader reader(Span(bytes.data(), bytes.size()));
    UintSplitConfig out;
    const Status status = ReadUintSplitConfig(c.log_alphabet, &out, reader);
    EXPECT_EQ(status.ok(), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(out, c.expected) << c.name;
      EXPECT_EQ(reader.Position(), c.bits.size()) << c.name;
    }
  }
}

TEST(EntropyCodeTest, AnsHistogramsGiveTheirWorkedCounts) {
  struct Case {
    const char* name;
    uint32_t log_alphabet;
    Bits histogram;
    std::vector<int32_t> counts;  // empty: Failed
    int32_t sole_symbol;
  };
  // Log-count codes in read order.
  auto lc = [](uint32_t k) {
    static const char* kCodes[14] = {"10001", "1101", "1111",   "1100",
                                     "1001",  "1110", "001",    "010",
                                     "101",   "011",  "000",    "100001",
                                     "1000000", "1000001"};
    return std::string(kCodes[k]);
  };
  const Bits coded_header = Bits().Put(1, 0).Put(1, 0);
  std::vector<Case> cases = {
      {"small, one symbol 5", 8, Bits().Put(1, 1).Put(1, 0).VarUint8(5),
       {0, 0, 0, 0, 0, 4096}, 5},
      {"small, symbols 0 and 1, x = 0", 8,
       Bits().Put(1, 1).Put(1, 1).VarUint8(0).VarUint8(1).Put(12, 0),
       {0, 4096}, 1},
      {"small, symbols 2 and 0, x = 1000", 8,
       Bits().Put(1, 1).Put(1, 1).VarUint8(2).VarUint8(0).Put(12, 1000),
       {3096, 0, 1000}, -1},
      {"small, equal symbols", 8,
       Bits().Put(1, 1).Put(1, 1).VarUint8(3).VarUint8(3).Put(12, 5), {}, 0},
      {"flat, 3 symbols", 8, Bits().Put(1, 0).Put(1, 1).VarUint8(2),
       {1366, 1365, 1365}, -1},
      // Shift 0: no extra bits; log counts 10, 11, zero, 9.
      {"coded, shift 0", 8,
       Bits().Append(coded_header).Put(1, 0).VarUint8(1)
           .Str(lc(11) + lc(12) + lc(0) + lc(10)),
       {1024, 2560, 0, 512}, -1},
      // Shift 13 (e = 3, v = 14): position 1 (log 10) reads 10 extra bits.
      {"coded, shift 13", 8,
       Bits().Append(coded_header).Str("111").Put(3, 6).VarUint8(0)
           .Str(lc(12) + lc(11) + lc(1)).Put(10, 300),
       {2771, 1324, 1}, -1},
      // Every code of the log-count table once (counts 1, 2, ..., 256).
      {"coded, every log count", 8,
       Bits().Append(coded_header).Put(1, 0).VarUint8(6)
           .Str(lc(1) + lc(2) + lc(3) + lc(4) + lc(5) + lc(6) + lc(7) +
                lc(8) + lc(9)),
       {1, 2, 4, 8, 16, 32, 64, 128, 3841}, -1},
      {"coded, run at position 0 repeats 0", 8,
       Bits().Append(coded_header).Put(1, 0).VarUint8(2)
           .Str(lc(13)).VarUint8(0).Str(lc(12)),
       {0, 0, 0, 0, 4096}, 4},
      {"coded, shift 14 is refused", 8,
       Bits().Append(coded_header).Str("111").Put(3, 7), {}, 0},
      {"coded, run right after the omitted position", 8,
       Bits().Append(coded_header).Put(1, 0).VarUint8(3)
           .Str(lc(12)).Str(lc(13)).VarUint8(0).Str(lc(1)),
       {}, 0},
      {"coded, no nonzero count", 8,
       Bits().Append(coded_header).Put(1, 0).VarUint8(0)
           .Str(lc(0) + lc(0) + lc(0)),
       {}, 0},
      {"coded, omitted count below 1", 8,
       Bits().Append(coded_header).Put(1, 0).VarUint8(0)
           .Str(lc(12) + lc(12) + lc(12)),
       {}, 0},
  };
  // 33 counts with log alphabet size 5 fail even though the last are 0.
  Bits many = Bits().Append(coded_header).Put(1, 0).VarUint8(30).Str(lc(12));
  for (int i = 0; i < 32; ++i) many.Str(lc(0));
  cases.push_back({"coded, 33 counts for 32 buckets", 5, many, {}, 0});

  for (const Case& c : cases) {
    EntropyCodeSet set;
    uint64_t position = 0;
    const Bits bits = AnsDescription(c.log_alphabet, c.histogram);
    const Status status = ReadOneContext(bits, &set, &position);
    if (c.counts.empty()) {
      EXPECT_EQ(status, StatusValue::Failed) << c.name;
      continue;
    }
    ASSERT_TRUE(status.ok()) << c.name;
    EXPECT_EQ(position, bits.size()) << c.name;
    EXPECT_FALSE(set.use_prefix_codes);
    EXPECT_EQ(set.log_alphabet_size, c.log_alphabet);
    EXPECT_EQ(CountsFromAlias(set.alias_tables.As<const AliasEntry>(),
                              c.log_alphabet),
              c.counts)
        << c.name;
    EXPECT_EQ(set.sole_symbols[0], c.sole_symbol) << c.name;
  }
}

TEST(EntropyCodeTest, SingleSymbolTableKeepsTheState) {
  EntropyCodeSet set;
  ASSERT_TRUE(ReadOneContext(AnsDescription(8, Bits().Put(1, 1).Put(1, 0)
                                                   .VarUint8(5)),
                             &set)
                  .ok());
  const AliasEntry* table = set.alias_tables.As<const AliasEntry>();
  for (uint32_t x = 0; x < 4096; ++x) {
    ASSERT_GE(x & 15, table[x >> 4].cutoff);
    const AliasSlot slot = LookupAliasSlot(table, x, 4, 15);
    EXPECT_EQ(slot.symbol, 5u);
    EXPECT_EQ(slot.offset, x);
    EXPECT_EQ(slot.frequency, 4096u);
  }
}

TEST(EntropyCodeTest, AliasTableOfAWorkedExample) {
  // Range 16 over 4 buckets of 4 slots, counts 7, 5, 3, 1.
  AliasEntry table[4];
  ASSERT_TRUE(BuildAliasLookup({7, 5, 3, 1}, 4, 2, table).ok());
  const AliasEntry expected[4] = {
      {0, 0, 7, 0, 0}, {2, 0, 5, 3, 2}, {3, 0, 3, 1, 4}, {1, 1, 1, 1, 4}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(table[i].cutoff, expected[i].cutoff) << i;
    EXPECT_EQ(table[i].right_value, expected[i].right_value) << i;
    EXPECT_EQ(table[i].frequency, expected[i].frequency) << i;
    EXPECT_EQ(table[i].right_offset, expected[i].right_offset) << i;
    EXPECT_EQ(table[i].right_frequency_xor, expected[i].right_frequency_xor)
        << i;
  }
}

TEST(EntropyCodeTest, AliasTablesGiveEverySymbolItsSlots) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    const uint32_t log_alphabet = 5 + round % 4;
    const uint32_t n = 1 + rng() % (1u << log_alphabet);
    std::vector<int32_t> counts(n, 0);
    int32_t left = 4096;
    for (uint32_t i = 0; i + 1 < n && left > 0; ++i) {
      const int32_t c = static_cast<int32_t>(rng() % (left / 2 + 1));
      counts[rng() % n] += c;
      left -= c;
    }
    counts[rng() % n] += left;
    std::vector<AliasEntry> table(1u << log_alphabet);
    ASSERT_TRUE(BuildAliasLookup(counts, 12, log_alphabet, table.data()).ok());
    std::vector<int32_t> got = CountsFromAlias(table.data(), log_alphabet);
    std::vector<int32_t> want = counts;
    while (!want.empty() && want.back() == 0) want.pop_back();
    ASSERT_EQ(got, want) << "round " << round;
  }
}

TEST(EntropyCodeTest, AliasTableRefusals) {
  std::vector<AliasEntry> table(256);
  EXPECT_FALSE(BuildAliasLookup({4000, 95}, 12, 8, table.data()).ok());
  EXPECT_FALSE(BuildAliasLookup(std::vector<int32_t>(33, 124), 12, 5,
                                table.data())
                   .ok());
  EXPECT_FALSE(BuildAliasLookup({4096, 0, 4096}, 12, 8, table.data()).ok());
  EXPECT_FALSE(BuildAliasLookup({5000, -904}, 12, 8, table.data()).ok());
  // No counts at all: one symbol 0 with the whole range.
  ASSERT_TRUE(BuildAliasLookup({}, 12, 8, table.data()).ok());
  EXPECT_EQ(CountsFromAlias(table.data(), 8), std::vector<int32_t>({4096}));
}

TEST(EntropyCodeTest, MoveToFront) {
  const std::vector<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>>
      cases = {{{1, 1, 0, 2}, {1, 0, 0, 2}},
               {{0, 0, 0}, {0, 0, 0}},
               {{5, 0, 5, 1}, {5, 5, 4, 5}},
               {{255, 255}, {255, 254}}};
  for (auto [in, out] : cases) {
    UndoMoveToFront(in.data(), in.size());
    EXPECT_EQ(in, out);
  }
}

// Reads a context map of `contexts` entries from `bits`; *position is where
// the reader stopped.
Status ReadMapFrom(const Bits& bits, size_t contexts, std::vector<uint8_t>* map,
                   uint64_t* clusters, uint64_t* position) {
  const std::vector<uint8_t> bytes = bits.Bytes();
  BitReader reader(Span(bytes.data(), bytes.size()));
  map->assign(contexts, 99);
  const Status status = ReadContextMap(Heap(), *map, clusters, reader);
  *position = reader.Position();
  return status;
}

TEST(EntropyCodeTest, SimpleContextMaps) {
  struct Case {
    const char* name;
    size_t contexts;
    Bits bits;
    std::vector<uint8_t> map;  // empty: Failed
    uint64_t clusters;
  };
  const std::vector<Case> cases = {
      {"w = 0", 5, Bits().Put(1, 1).Put(2, 0), {0, 0, 0, 0, 0}, 1},
      {"w = 2, 1 0 1", 3, Bits().Put(1, 1).Put(2, 2).Put(2, 1).Put(2, 0).Put(2, 1),
       {1, 0, 1}, 2},
      {"w = 2, 0 2 2 skips cluster 1", 3,
       Bits().Put(1, 1).Put(2, 2).Put(2, 0).Put(2, 2).Put(2, 2), {}, 0},
      {"w = 3, 7 ... 0", 8,
       Bits().Put(1, 1).Put(2, 3).Put(3, 7).Put(3, 6).Put(3, 5).Put(3, 4)
           .Put(3, 3).Put(3, 2).Put(3, 1).Put(3, 0),
       {7, 6, 5, 4, 3, 2, 1, 0}, 8},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> map;
    uint64_t clusters = 0, position = 0;
    const Status status = ReadMapFrom(c.bits, c.contexts, &map, &clusters, &position);
    if (c.map.empty()) {
      EXPECT_EQ(status, StatusValue::Failed) << c.name;
      continue;
    }
    ASSERT_TRUE(status.ok()) << c.name;
    EXPECT_EQ(map, c.map) << c.name;
    EXPECT_EQ(clusters, c.clusters) << c.name;
    EXPECT_EQ(position, c.bits.size()) << c.name;
  }
}

// A coded map: its nested description is a one-context byte stream (with
// LZ77 when asked) whose values are written by `write`.
template <typename WriteValues>
Bits CodedMap(bool mtf, bool lz77, uint32_t code_bits, WriteValues write) {
  entropy_test::StreamPlan plan = entropy_test::ByteStreamPlan(1, true, lz77);
  plan.code_bits = {code_bits};
  Bits bits;
  bits.Put(1, 0).Put(1, mtf ? 1 : 0);
  entropy_test::PutDescription(bits, plan);
  entropy_test::TokenWriter tokens(plan);
  write(tokens);
  tokens.Finish(bits);
  return bits;
}

TEST(EntropyCodeTest, CodedContextMaps) {
  struct Case {
    const char* name;
    size_t contexts;
    Bits bits;
    std::vector<uint8_t> map;  // empty: Failed
  };
  const std::vector<Case> cases = {
      {"plain", 4, CodedMap(false, false, 8, [](auto& t) {
         for (uint32_t v : {2, 0, 1, 1}) t.Value(0, v);
       }), {2, 0, 1, 1}},
      {"move-to-front", 4, CodedMap(true, false, 8, [](auto& t) {
         for (uint32_t v : {1, 1, 0, 2}) t.Value(0, v);
       }), {1, 0, 0, 2}},
      {"with LZ77 (five contexts)", 5, CodedMap(false, true, 9, [](auto& t) {
         t.Value(0, 0);
         t.Value(0, 1);
         t.Copy(0, 3, 1);  // distance 2
       }), {0, 1, 0, 1, 0}},
      {"LZ77 refused for two contexts", 2, CodedMap(false, true, 9, [](auto& t) {
         t.Value(0, 1);
         t.Value(0, 0);
       }), {}},
      {"value 256 refused although its byte is 0", 2,
       CodedMap(false, false, 9, [](auto& t) {
         t.Value(0, 0);
         t.Value(0, 256);
       }), {}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> map;
    uint64_t clusters = 0, position = 0;
    const Status status = ReadMapFrom(c.bits, c.contexts, &map, &clusters, &position);
    if (c.map.empty()) {
      EXPECT_EQ(status, StatusValue::Failed) << c.name;
      continue;
    }
    ASSERT_TRUE(status.ok()) << c.name;
    EXPECT_EQ(map, c.map) << c.name;
    EXPECT_EQ(position, c.bits.size()) << c.name;
  }
}

TEST(EntropyCodeTest, Lz77AddsTheDistanceContext) {
  entropy_test::StreamPlan plan = entropy_test::ByteStreamPlan(3, true, true);
  plan.context_map = {0, 0, 0, 1};
  plan.configs.push_back(UintSplitConfig(4, 16, 2, 0));
  plan.code_bits.push_back(3);
  Bits bits;
  entropy_test::PutDescription(bits, plan);
  EntropyCodeSet set;
  std::vector<uint8_t> map;
  uint64_t position = 0;
  ASSERT_TRUE(ReadOneContext(bits, &set, &position, 3, &map).ok());
  EXPECT_EQ(position, bits.size());
  EXPECT_EQ(map, std::vector<uint8_t>({0, 0, 0, 1}));
  EXPECT_TRUE(set.lz77.enabled);
  EXPECT_EQ(set.lz77.min_symbol, 256u);
  EXPECT_EQ(set.lz77.distance_cluster, 1u);
  EXPECT_EQ(set.prefix_codes.size(), 2u);
  EXPECT_EQ(set.split_configs[1], UintSplitConfig(4, 16, 2, 0));

  std::vector<uint8_t> bytes = bits.Bytes();
  BitReader reader(Span(bytes.data(), bytes.size()));
  EntropyCodeSet refused;
  EXPECT_EQ(ReadEntropyCodeSet(Heap(), reader, 3, &refused, map, true),
            StatusValue::Failed);
}

TEST(EntropyCodeTest, PrefixAlphabetLimitAndShortInput) {
  // One context, prefix codes, split exponent 15, alphabet 1 + 2^15 + 32767.
  const Bits too_big =
      Bits().Put(1, 0).Put(1, 1).Put(4, 15).Put(1, 1).Put(4, 15).Put(15, 32767);
  EntropyCodeSet set;
  EXPECT_EQ(ReadOneContext(too_big, &set), StatusValue::Failed);

  // A complete byte-stream description, cut inside its prefix code.
  entropy_test::StreamPlan plan = entropy_test::ByteStreamPlan(1, true, false);
  Bits full;
  entropy_test::PutDescription(full, plan);
  std::vector<uint8_t> bytes = full.Bytes();
  ASSERT_TRUE(ReadOneContext(full, &set).ok());
  bytes.resize(2);
  BitReader reader(Span(bytes.data(), bytes.size()));
  EntropyCodeSet cut;
  std::vector<uint8_t> map;
  EXPECT_EQ(ReadEntropyCodeSet(Heap(), reader, 1, &cut, map, false),
            StatusValue::NeedMoreBytes);
}

TEST(EntropyCodeTest, MaxTokenBits) {
  // Flat ANS over 20 symbols with the default split {4, 16, 2, 0}: token 19
  // stands for values 28..31, five significant bits.
  Bits bits;
  bits.Put(1, 0).Put(1, 0).Put(2, 3).Put(4, 4).Put(3, 2).Put(2, 0);
  bits.Put(1, 0).Put(1, 1).VarUint8(19);
  EntropyCodeSet set;
  ASSERT_TRUE(ReadOneContext(bits, &set).ok());
  EXPECT_EQ(set.split_configs[0], UintSplitConfig(4, 16, 2, 0));
  EXPECT_EQ(set.max_token_bits, 5u);
}

}  // namespace
}  // namespace qov
