// Symbol reader: hybrid integers, ANS state, LZ77 copies and distances.
#include "lib/bitstream/symbol_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "tests/bitstream/entropy_test_streams.h"

namespace qov {
namespace {

using entropy_test::Bits;
using entropy_test::Heap;
using entropy_test::StreamPlan;
using entropy_test::TokenWriter;

// A stream: description, then tokens; read back with a reader over it.
struct Stream {
  std::vector<uint8_t> bytes;
  uint64_t bits = 0;
};

template <typename Write>
Stream MakeStream(const StreamPlan& plan, Write write) {
  Bits bits;
  entropy_test::PutDescription(bits, plan);
  TokenWriter tokens(plan);
  write(tokens);
  tokens.Finish(bits);
  return {bits.Bytes(), bits.size()};
}

// Reads `count` values of context 0 with the given multiplier.
std::vector<uint32_t> ReadValues(const Stream& stream, size_t contexts,
                                 size_t count, uint64_t multiplier = 0,
                                 bool* final_state_ok = nullptr,
                                 uint64_t* position = nullptr) {
  BitReader reader(Span(stream.bytes.data(), stream.bytes.size()));
  EntropyCodeSet set;
  std::vector<uint8_t> map;
  EXPECT_TRUE(ReadEntropyCodeSet(Heap(), reader, contexts, &set, map, false).ok());
  auto symbols = SymbolReader::Create(set, reader, multiplier);
  EXPECT_TRUE(symbols.ok());
  std::vector<uint32_t> values;
  for (size_t i = 0; i < count; ++i) {
    values.push_back(symbols->ReadClusteredUint(map[0], reader));
  }
  if (final_state_ok != nullptr) *final_state_ok = symbols->CheckFinalState();
  if (position != nullptr) *position = reader.Position();
  return values;
}

TEST(SymbolReaderTest, HybridIntegersOfTheDefaultSplit) {
  // {4, 16, 2, 0}: token -> (first value, extra bits).
  const UintSplitConfig config;
  struct Case {
    uint32_t token, extra_bits, extra_value, value;
  };
  const std::vector<Case> cases = {
      {0, 0, 0, 0},    {15, 0, 0, 15},  {16, 2, 0, 16},  {16, 2, 3, 19},
      {17, 2, 1, 21},  {18, 2, 0, 24},  {19, 2, 3, 31},  {20, 3, 0, 32},
      {20, 3, 7, 39},  {23, 3, 7, 63},  {24, 4, 0, 64},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> bytes =
        Bits().Put(c.extra_bits, c.extra_value).Put(8, 0xA5).Bytes();
    BitReader reader(Span(bytes.data(), bytes.size()));
    reader.Refill();
    EXPECT_EQ(SymbolReader::ReadHybridUint(c.token, config, reader), c.value)
        << "token " << c.token;
    EXPECT_EQ(reader.Position(), c.extra_bits) << "token " << c.token;
  }
  // Split 0 with no token bits: token 32 reads 31 bits.
  const std::vector<uint8_t> bytes = Bits().Put(31, 0x7FFFFFFF).Bytes();
  BitReader reader(Span(bytes.data(), bytes.size()));
  reader.Refill();
  EXPECT_EQ(SymbolReader::ReadHybridUint(32, UintSplitConfig(0, 1, 0, 0), reader),
            0xFFFFFFFFu);
}

TEST(SymbolReaderTest, HybridRoundTripOverConfigs) {
  std::mt19937 rng(3);
  for (uint32_t e = 0; e <= 8; ++e) {
    for (uint32_t m = 0; m <= e; ++m) {
      for (uint32_t l = 0; m + l <= e; ++l) {
        const UintSplitConfig config(e, 1u << e, m, l);
        for (int i = 0; i < 50; ++i) {
          const uint32_t v = i < 20 ? static_cast<uint32_t>(i) : rng() >> (rng() % 32);
          const auto h = entropy_test::EncodeHybrid(v, config);
          const std::vector<uint8_t> bytes = Bits().Put(h.nbits, h.bits).Bytes();
          BitReader reader(Span(bytes.data(), bytes.size()));
          reader.Refill();
          ASSERT_EQ(SymbolReader::ReadHybridUint(h.token, config, reader), v)
              << e << " " << m << " " << l;
          ASSERT_EQ(reader.Position(), h.nbits);
        }
      }
    }
  }
}

TEST(SymbolReaderTest, PrefixAndAnsStreamsRoundTrip) {
  std::mt19937 rng(11);
  std::vector<uint32_t> values(3000);
  for (uint32_t& v : values) v = rng() % 256;
  for (bool prefix : {true, false}) {
    const StreamPlan plan = entropy_test::ByteStreamPlan(1, prefix, false);
    const Stream stream = MakeStream(plan, [&](TokenWriter& t) {
      for (uint32_t v : values) t.Value(0, v);
    });
    bool final_ok = false;
    uint64_t position = 0;
    EXPECT_EQ(ReadValues(stream, 1, values.size(), 0, &final_ok, &position),
              values)
        << (prefix ? "prefix" : "ANS");
    EXPECT_TRUE(final_ok);
    EXPECT_EQ(position, stream.bits);
  }
}

TEST(SymbolReaderTest, AnsEndStateDetectsCorruption) {
  const StreamPlan plan = entropy_test::ByteStreamPlan(1, false, false);
  Stream stream = MakeStream(plan, [](TokenWriter& t) {
    for (uint32_t v = 0; v < 200; ++v) t.Value(0, v);
  });
  // Flip the top bit of the last 16 bits the state took in: the end state
  // must differ (a flat distribution forgets earlier bits).
  const size_t bit = stream.bits - 1;
  stream.bytes[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
  bool final_ok = true;
  ReadValues(stream, 1, 200, 0, &final_ok);
  EXPECT_FALSE(final_ok);
}

TEST(SymbolReaderTest, SingleSymbolAnsLeavesTheStateAndReadsNothing) {
  // ANS, one cluster with the small histogram of symbol 7; the initial
  // state is the end state.
  Bits bits;
  bits.Put(1, 0).Put(1, 0).Put(2, 3).Put(4, 8);
  bits.Put(1, 1).Put(1, 0).VarUint8(7);
  const size_t description = bits.size();
  bits.Put(32, kAnsSignature);
  const std::vector<uint8_t> bytes = bits.Bytes();
  BitReader reader(Span(bytes.data(), bytes.size()));
  EntropyCodeSet set;
  std::vector<uint8_t> map;
  ASSERT_TRUE(ReadEntropyCodeSet(Heap(), reader, 1, &set, map, false).ok());
  ASSERT_EQ(reader.Position(), description);
  EXPECT_EQ(set.sole_symbols[0], 7);
  auto symbols = SymbolReader::Create(set, reader, 0);
  ASSERT_TRUE(symbols.ok());
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(symbols->ReadClusteredUint(0, reader), 7u);
  }
  EXPECT_EQ(reader.Position(), description + 32);
  EXPECT_TRUE(symbols->CheckFinalState());
}

TEST(SymbolReaderTest, PrefixStateStaysAtTheSignature) {
  const StreamPlan plan = entropy_test::ByteStreamPlan(1, true, false);
  const Stream stream = MakeStream(plan, [](TokenWriter& t) {
    for (uint32_t v = 0; v < 10; ++v) t.Value(0, v);
  });
  BitReader reader(Span(stream.bytes.data(), stream.bytes.size()));
  EntropyCodeSet set;
  std::vector<uint8_t> map;
  ASSERT_TRUE(ReadEntropyCodeSet(Heap(), reader, 1, &set, map, false).ok());
  auto symbols = SymbolReader::Create(set, reader, 0);
  ASSERT_TRUE(symbols.ok());
  EXPECT_EQ(symbols->state, kAnsSignature);
  EXPECT_EQ(symbols->window, nullptr);
  for (int i = 0; i < 10; ++i) symbols->ReadClusteredUintNoLz77(0, reader);
  EXPECT_EQ(symbols->state, kAnsSignature);
}

// LZ77 with prefix codes: tokens 0..255 literal, 256.. copies of length
// token - 256 + 3; distance tokens are the distance values.
StreamPlan Lz77Plan(UintSplitConfig distance_config = UintSplitConfig(15, 32768, 0, 0)) {
  StreamPlan plan = entropy_test::ByteStreamPlan(1, true, true);
  plan.context_map = {0, 1};
  plan.configs.push_back(distance_config);
  plan.code_bits.push_back(7);
  return plan;
}

TEST(SymbolReaderTest, Lz77CopiesAndDistances) {
  struct Case {
    const char* name;
    uint64_t multiplier;
    std::vector<uint32_t> literals;
    uint32_t length, distance_value;
    std::vector<uint32_t> expected;  // literals, then the copy
  };
  const std::vector<Case> cases = {
      {"copy at the start gives zeros", 0, {}, 4, 0, {0, 0, 0, 0}},
      {"multiplier 0: value 0 is distance 1", 0, {9, 8, 7}, 3, 0,
       {9, 8, 7, 7, 7, 7}},
      {"multiplier 0: value 2 is distance 3", 0, {9, 8, 7}, 5, 2,
       {9, 8, 7, 9, 8, 7, 9, 8}},
      {"distance beyond the decoded values copies from the first", 0,
       {5, 6}, 3, 40, {5, 6, 5, 6, 5}},
      {"multiplier 2: value 0 is (0, 1), distance 2", 2, {1, 2, 3}, 3, 0,
       {1, 2, 3, 2, 3, 2}},
      {"multiplier 2: value 1 is (1, 0), distance 1", 2, {1, 2, 3}, 3, 1,
       {1, 2, 3, 3, 3, 3}},
      {"multiplier 1: (-1, 1) would be 0 and becomes 1", 1, {4, 5}, 3, 3,
       {4, 5, 5, 5, 5}},
      {"multiplier 3: value 120 is distance 1", 3, {4, 5}, 3, 120,
       {4, 5, 5, 5, 5}},
      {"multiplier 3: value 121 is distance 2", 3, {4, 5}, 3, 121,
       {4, 5, 4, 5, 4}},
  };
  for (const Case& c : cases) {
    const StreamPlan plan = Lz77Plan();
    const Stream stream = MakeStream(plan, [&](TokenWriter& t) {
      for (uint32_t v : c.literals) t.Value(0, v);
      t.Copy(0, c.length, c.distance_value);
      t.Value(0, 77);
    });
    std::vector<uint32_t> expected = c.expected;
    expected.push_back(77);
    uint64_t position = 0;
    EXPECT_EQ(ReadValues(stream, 1, expected.size(), c.multiplier, nullptr,
                         &position),
              expected)
        << c.name;
    EXPECT_EQ(position, stream.bits) << c.name;
  }
}

TEST(SymbolReaderTest, HugeDistanceValueDoesNotWrap) {
  // Distance value 2^32 - 1 with multiplier 0 is distance 2^32 (beyond
  // everything decoded), not 0: the copy starts at the first value.
  const StreamPlan plan = Lz77Plan(UintSplitConfig(0, 1, 0, 0));
  const Stream stream = MakeStream(plan, [](TokenWriter& t) {
    t.Value(0, 11);
    t.Value(0, 12);
    t.Value(0, 13);
    t.Copy(0, 5, 0xFFFFFFFFu);
  });
  EXPECT_EQ(ReadValues(stream, 1, 8),
            std::vector<uint32_t>({11, 12, 13, 11, 12, 13, 11, 12}));
}

// The special-distance table is shared by the reader and the encoder's match
// finder, so a wrong entry would round-trip unnoticed: pin entries of the
// format's table and its shape.
TEST(SymbolReaderTest, SpecialDistanceTableEntries) {
  struct Entry {
    uint32_t index;
    int dx, dy;
  };
  const Entry kEntries[] = {
      {0, 0, 1},   {1, 1, 0},   {2, 1, 1},    {3, -1, 1},   {4, 0, 2},
      {5, 2, 0},   {11, -2, 2}, {12, 0, 3},   {23, 4, 0},   {35, 3, 4},
      {39, 5, 0},  {47, -5, 2}, {48, 4, 4},   {59, -6, 1},  {71, -6, 3},
      {76, 5, 5},  {83, -6, 4}, {95, -6, 5},  {96, 8, 0},   {101, 8, 1},
      {102, 8, 2}, {103, 6, 6}, {107, -5, 7}, {110, 8, 4},  {115, 8, 5},
      {116, 7, 7}, {117, -7, 7}, {118, 8, 6}, {119, 8, 7}};
  for (const Entry& e : kEntries) {
    EXPECT_EQ(kLz77SpecialDistances[e.index][0], e.dx) << e.index;
    EXPECT_EQ(kLz77SpecialDistances[e.index][1], e.dy) << e.index;
  }
  // 120 distinct pairs with dy in 0..7 and |dx| <= 8; dy = 0 only for
  // dx > 0 (a pair must point backwards).
  std::set<std::pair<int, int>> seen;
  for (uint32_t i = 0; i < kNumSpecialDistances; ++i) {
    const int dx = kLz77SpecialDistances[i][0];
    const int dy = kLz77SpecialDistances[i][1];
    EXPECT_TRUE(dy >= 0 && dy <= 7 && dx >= -8 && dx <= 8) << i;
    EXPECT_TRUE(dy > 0 || dx > 0) << i;
    EXPECT_TRUE(seen.insert({dx, dy}).second) << i;
  }
  // Distances for a row width: max(1, dx + w dy) with signed wrapping.
  EXPECT_EQ(Lz77SpecialDistance(0, 100), 100);
  EXPECT_EQ(Lz77SpecialDistance(3, 100), 99);
  EXPECT_EQ(Lz77SpecialDistance(3, 1), 1);
  EXPECT_EQ(Lz77SpecialDistance(117, 100), 693);
  EXPECT_EQ(Lz77SpecialDistance(119, 0), 8);
  EXPECT_EQ(Lz77SpecialDistance(4, uint64_t{1} << 30), 1);  // wraps negative
}

// A manager whose allocations start filled with 0xA5 bytes, so that a read
// of a window entry never written shows as 0xA5A5A5A5 instead of a lucky 0.
struct DirtyManager {
  static void* Alloc(void*, uint64_t size) {
    void* p = std::malloc(size);
    if (p != nullptr) std::memset(p, 0xA5, size);
    return p;
  }
  static void Free(void*, void* address) { std::free(address); }
  QovMemoryManagerStruct manager{nullptr, &Alloc, &Free};
};

TEST(SymbolReaderTest, CopiesNeverReadUnwrittenWindowEntries) {
  struct Case {
    const char* name;
    std::vector<uint32_t> literals;
    uint32_t length, distance_value;
    std::vector<uint32_t> expected;
  };
  const std::vector<Case> cases = {
      {"copy before any value: zeros", {}, 5, 0, {0, 0, 0, 0, 0}},
      {"copy before any value, far distance: zeros", {}, 3, 1000, {0, 0, 0}},
      // Distance value 2^32 - 1 must not wrap to distance 0 (which would
      // copy the entries about to be written).
      {"distance 2^32 copies from the first value", {11, 12, 13}, 4,
       0xFFFFFFFFu, {11, 12, 13, 11, 12, 13, 11}},
  };
  for (const Case& c : cases) {
    const StreamPlan plan = Lz77Plan(UintSplitConfig(0, 1, 0, 0));
    const Stream stream = MakeStream(plan, [&](TokenWriter& t) {
      for (uint32_t v : c.literals) t.Value(0, v);
      t.Copy(0, c.length, c.distance_value);
    });
    DirtyManager dirty;
    BitReader reader(Span(stream.bytes.data(), stream.bytes.size()));
    EntropyCodeSet set;
    std::vector<uint8_t> map;
    ASSERT_TRUE(
        ReadEntropyCodeSet(&dirty.manager, reader, 1, &set, map, false).ok());
    auto symbols = SymbolReader::Create(set, reader, 0);
    ASSERT_TRUE(symbols.ok());
    std::vector<uint32_t> values;
    for (size_t i = 0; i < c.expected.size(); ++i) {
      values.push_back(symbols->ReadClusteredUint(map[0], reader));
    }
    EXPECT_EQ(values, c.expected) << c.name;
    EXPECT_FALSE(reader.PastEnd()) << c.name;
  }
}

// A stream of known length gets a window just large enough for it; it must
// give what the full window gives, including copies that start before any
// value (zeros longer than the small window) and copies from far back.
TEST(SymbolReaderTest, WindowSizedToTheStreamGivesTheSameValues) {
  struct Case {
    const char* name;
    uint32_t literals;  // value i % 251 for i below this
    uint32_t length, distance_value;
    uint32_t expected_window;  // entries of the window sized to the stream
  };
  const std::vector<Case> cases = {
      {"copy of 10^5 zeros before any value", 0, 100000, 0, 4096},
      {"far copy over a stream of 1024 values", 1000, 24, 5000000, 1024},
      {"copy of the last 600 values", 1500, 700, 599, 4096},
      {"stream of 2^20 - 1 values", kLz77WindowSize - 10, 9, 12345, kLz77WindowSize},
  };
  for (const Case& c : cases) {
    StreamPlan plan = Lz77Plan(UintSplitConfig(0, 1, 0, 0));
    plan.length_config = UintSplitConfig(0, 1, 0, 0);  // long copies
    const Stream stream = MakeStream(plan, [&](TokenWriter& t) {
      for (uint32_t i = 0; i < c.literals; ++i) t.Value(0, i % 251);
      t.Copy(0, c.length, c.distance_value);
    });
    // Values read: all of the short streams, the first 4000 of the long copy.
    const uint64_t count = std::min<uint64_t>(uint64_t{c.literals} + c.length,
                                              c.literals == 0 ? 4000 : ~0u);
    std::vector<uint32_t> full, sized;
    for (uint64_t max_values : {uint64_t{kLz77WindowSize}, count}) {
      DirtyManager dirty;
      BitReader reader(Span(stream.bytes.data(), stream.bytes.size()));
      EntropyCodeSet set;
      std::vector<uint8_t> map;
      ASSERT_TRUE(
          ReadEntropyCodeSet(&dirty.manager, reader, 1, &set, map, false).ok());
      auto symbols = SymbolReader::Create(set, reader, 0, max_values);
      ASSERT_TRUE(symbols.ok()) << c.name;
      std::vector<uint32_t>& values = max_values == count ? sized : full;
      for (uint64_t i = 0; i < count; ++i) {
        values.push_back(symbols->ReadClusteredUint(map[0], reader));
      }
      EXPECT_FALSE(reader.PastEnd()) << c.name;
      if (max_values == count) {
        EXPECT_EQ(symbols->window_mask + 1, c.expected_window) << c.name;
      }
    }
    EXPECT_EQ(sized, full) << c.name;
    if (c.literals == 0) {
      EXPECT_EQ(sized, std::vector<uint32_t>(count, 0)) << c.name;
    }
  }
}

TEST(SymbolReaderTest, MinSymbolSplitsLiteralsFromCopies) {
  // Min symbol 224, prefix codes of 8 bits: token 223 is a literal, token
  // 224 a copy of length hybrid(0) + min length.
  StreamPlan plan = entropy_test::ByteStreamPlan(1, true, true);
  plan.min_symbol = 224;
  plan.min_length = 4;
  plan.code_bits = {8};
  plan.context_map = {0, 1};
  plan.configs.push_back(UintSplitConfig(15, 32768, 0, 0));
  plan.code_bits.push_back(4);
  const Stream stream = MakeStream(plan, [](TokenWriter& t) {
    t.Token(0, 223);
    t.Token(0, 224);  // length 0 + 4
    t.Token(1, 0);    // distance 1
  });
  EXPECT_EQ(ReadValues(stream, 1, 5),
            std::vector<uint32_t>({223, 223, 223, 223, 223}));
}

TEST(SymbolReaderTest, WrappedCopyLengthPutsTheReaderPastTheEnd) {
  // Length config {0, 1, 0, 0}: token 32 reads 31 bits, so the length is
  // up to 2^32 - 1; plus min length 3 it wraps.
  StreamPlan plan = Lz77Plan();
  plan.length_config = UintSplitConfig(0, 1, 0, 0);
  const Stream stream = MakeStream(plan, [](TokenWriter& t) {
    t.Value(0, 1);
    t.Token(0, 256 + 32);
    t.Raw(31, 0x7FFFFFFF);
    t.Token(1, 0);
  });
  BitReader reader(Span(stream.bytes.data(), stream.bytes.size()));
  EntropyCodeSet set;
  std::vector<uint8_t> map;
  ASSERT_TRUE(ReadEntropyCodeSet(Heap(), reader, 1, &set, map, false).ok());
  auto symbols = SymbolReader::Create(set, reader, 0);
  ASSERT_TRUE(symbols.ok());
  EXPECT_EQ(symbols->ReadClusteredUint(0, reader), 1u);
  EXPECT_FALSE(reader.PastEnd());
  EXPECT_EQ(symbols->ReadClusteredUint(0, reader), 0u);
  EXPECT_TRUE(reader.PastEnd());
  EXPECT_EQ(symbols->copies_pending, 0u);
}

TEST(SymbolReaderTest, WindowWrapsAfterTwoToTheTwentyValues) {
  // 2^20 + 3 literals (value i mod 251), then a copy with a distance value
  // far beyond the window: it starts at the oldest value kept.
  const uint32_t n = kLz77WindowSize + 3;
  const StreamPlan plan = Lz77Plan(UintSplitConfig(0, 1, 0, 0));
  const Stream stream = MakeStream(plan, [&](TokenWriter& t) {
    for (uint32_t i = 0; i < n; ++i) t.Value(0, i % 251);
    t.Copy(0, 4, 5000000);
  });
  const std::vector<uint32_t> values = ReadValues(stream, 1, n + 4);
  for (uint32_t k = 0; k < 4; ++k) {
    // Oldest kept: value number n - 2^20 = 3.
    EXPECT_EQ(values[n + k], (3 + k) % 251) << k;
  }
}

TEST(SymbolReaderTest, RunLengthOnlyDetection) {
  // Distance cluster: a one-symbol code of symbol 1 (simple code) with
  // split token 1 -> every distance value is 1, which is distance 1 only
  // with a multiplier (special distance (1, 0)); with multiplier 0 it is
  // distance 2.
  struct Case {
    bool one_symbol;
    uint64_t multiplier;
    bool expected;
  };
  for (const Case& c : {Case{true, 5, true}, Case{false, 5, false},
                        Case{true, 1, true}, Case{true, 0, false}}) {
    const bool one_symbol = c.one_symbol;
    Bits bits;
    bits.Put(1, 1).Put(2, 0).Put(2, 0).Put(4, 8);  // LZ77, 224, 3, {8,..}
    bits.Put(1, 1).Put(2, 1).Put(1, 0).Put(1, 1);  // map w = 1: 0, 1
    bits.Put(1, 1);                                // prefix codes
    bits.Put(4, 15);                               // cluster 0: e = 15
    bits.Put(4, 0).Put(0, 0).Put(0, 0);            // cluster 1: e = 0
    bits.Put(1, 1).Put(4, 7).Put(7, 127);          // alphabet 256
    bits.Put(1, 1).Put(4, 0).Put(0, 0);            // alphabet 2
    bits.Put(2, 1).Put(2, 0).Put(8, 5);            // cluster 0: symbol 5
    if (one_symbol) {
      bits.Put(2, 1).Put(2, 0).Put(1, 1);          // cluster 1: symbol 1
    } else {
      bits.Put(2, 1).Put(2, 1).Put(1, 0).Put(1, 1);  // symbols 0, 1
    }
    const std::vector<uint8_t> bytes = bits.Bytes();
    BitReader reader(Span(bytes.data(), bytes.size()));
    EntropyCodeSet set;
    std::vector<uint8_t> map;
    ASSERT_TRUE(ReadEntropyCodeSet(Heap(), reader, 1, &set, map, false).ok());
    auto symbols = SymbolReader::Create(set, reader, c.multiplier);
    ASSERT_TRUE(symbols.ok());
    EXPECT_EQ(symbols->IsRunLengthOnly(), c.expected)
        << one_symbol << " " << c.multiplier;
  }
}

TEST(SymbolReaderTest, TruncatedAndRandomStreamsStayInBounds) {
  // Whatever the bytes, reading a fixed number of values never touches
  // memory outside the input (checked under the sanitizers).
  std::mt19937 rng(99);
  const StreamPlan plan = Lz77Plan();
  const Stream good = MakeStream(plan, [](TokenWriter& t) {
    for (uint32_t v = 0; v < 100; ++v) t.Value(0, v);
    t.Copy(0, 50, 10);
  });
  for (size_t cut = 0; cut <= good.bytes.size(); cut += 3) {
    std::vector<uint8_t> bytes(good.bytes.begin(), good.bytes.begin() + cut);
    BitReader reader(Span(bytes.data(), bytes.size()));
    EntropyCodeSet set;
    std::vector<uint8_t> map;
    if (!ReadEntropyCodeSet(Heap(), reader, 1, &set, map, false).ok()) continue;
    auto symbols = SymbolReader::Create(set, reader, 0);
    ASSERT_TRUE(symbols.ok());
    for (int i = 0; i < 200; ++i) symbols->ReadClusteredUint(map[0], reader);
    EXPECT_TRUE(reader.PastEnd() || cut == good.bytes.size());
  }
  // Valid streams of several kinds with a few bits flipped.
  std::vector<Stream> valid = {good};
  for (bool prefix : {true, false}) {
    valid.push_back(MakeStream(entropy_test::ByteStreamPlan(3, prefix, false),
                               [](TokenWriter& t) {
                                 for (uint32_t v = 0; v < 300; ++v) t.Value(v % 3, v & 255);
                               }));
  }
  for (int round = 0; round < 600; ++round) {
    std::vector<uint8_t> bytes = valid[round % valid.size()].bytes;
    for (int k = 0; k < 1 + round % 4; ++k) {
      bytes[rng() % bytes.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
    }
    BitReader reader(Span(bytes.data(), bytes.size()));
    EntropyCodeSet set;
    std::vector<uint8_t> map;
    const uint64_t contexts = round % valid.size() == 0 ? 1 : 3;
    if (!ReadEntropyCodeSet(Heap(), reader, contexts, &set, map, false).ok()) {
      continue;
    }
    auto symbols = SymbolReader::Create(set, reader, round % 2);
    ASSERT_TRUE(symbols.ok());
    for (int i = 0; i < 400; ++i) {
      symbols->ReadClusteredUint(map[i % map.size()], reader);
    }
  }
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> bytes(1 + rng() % 300);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    BitReader reader(Span(bytes.data(), bytes.size()));
    EntropyCodeSet set;
    std::vector<uint8_t> map;
    const uint64_t contexts = 1 + rng() % 50;
    if (!ReadEntropyCodeSet(Heap(), reader, contexts, &set, map, false).ok()) {
      continue;
    }
    auto symbols = SymbolReader::Create(set, reader, rng() % 3);
    if (!symbols.ok()) continue;
    for (int i = 0; i < 500; ++i) {
      symbols->ReadClusteredUint(map[rng() % map.size()], reader);
    }
  }
}

}  // namespace
}  // namespace qov
