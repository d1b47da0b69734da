// LZ77 on token streams and its match finder: distance symbols, match
// choice, every method's output expanding back to its input, the cost model
// and the acceptance rules.
#include "lib/encode/lz77.h"

#include <cmath>
#include <random>

#include "gtest/gtest.h"
#include "lib/encode/lz77_match_finder.h"

namespace qov {
namespace {

LZ77Params Lz77For(size_t num_contexts) {
  LZ77Params lz77;
  lz77.min_symbol = 224;
  lz77.distance_cluster = num_contexts;
  return lz77;
}

// Expands copies as the symbol reader does (distance symbols with the row
// width's special distances).
std::vector<uint32_t> Expand(const std::vector<Token>& tokens,
                             const LZ77Params& lz77, size_t width) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const Token& t = tokens[i];
    if (!t.lz77_length_flag) {
      EXPECT_NE(lz77.distance_cluster, t.context) << "distance without length";
      out.push_back(t.value);
      continue;
    }
    EXPECT_LT(i + 1, tokens.size());
    const Token& d = tokens[++i];
    EXPECT_EQ(lz77.distance_cluster, d.context);
    EXPECT_FALSE(d.lz77_length_flag);
    int64_t distance;
    if (width != 0 && d.value < 120) {
      distance = std::max<int64_t>(
          1, kLz77SpecialDistances[d.value][0] +
                 int64_t(width) * kLz77SpecialDistances[d.value][1]);
    } else {
      distance = int64_t(d.value) - (width != 0 ? 120 : 0) + 1;
    }
    const size_t length = t.value + lz77.min_length;
    for (size_t k = 0; k < length; ++k) {
      EXPECT_LE(distance, int64_t(out.size()));
      if (distance > int64_t(out.size())) return out;
      out.push_back(out[out.size() - distance]);
    }
  }
  return out;
}

std::vector<uint32_t> Values(const std::vector<Token>& tokens) {
  std::vector<uint32_t> v;
  for (const Token& t : tokens) v.push_back(t.value);
  return v;
}

TEST(Lz77MatchFinderTest, DistanceSymbols) {
  const uint32_t values[4] = {0, 0, 0, 0};
  const Lz77MatchFinder plain(values, 4, 4, 3, 4, 0);
  EXPECT_EQ(0u, plain.DistanceSymbol(1));
  EXPECT_EQ(41u, plain.DistanceSymbol(42));
  const Lz77MatchFinder wide(values, 4, 4, 3, 4, 10);
  EXPECT_EQ(1u, wide.DistanceSymbol(1));    // (1, 0)
  EXPECT_EQ(0u, wide.DistanceSymbol(10));   // (0, 1)
  EXPECT_EQ(2u, wide.DistanceSymbol(11));   // (1, 1)
  EXPECT_EQ(1000u + 119u, wide.DistanceSymbol(1000));
  // Width 1: (0, 1) comes first for distance 1; (-1, 1) gives 0, read as 1.
  const Lz77MatchFinder narrow(values, 4, 4, 3, 4, 1);
  EXPECT_EQ(0u, narrow.DistanceSymbol(1));
  EXPECT_EQ(2u, narrow.DistanceSymbol(2));  // (1, 1) before (0, 2)
}

// The finder's distance symbols invert the reader's special distances for
// every row width, including widths whose dy multiples leave the signed
// 32-bit range (they wrap exactly as the reader computes them).
TEST(Lz77MatchFinderTest, DistanceSymbolsInvertTheReadersSpecialDistances) {
  const uint32_t values[4] = {0, 0, 0, 0};
  for (uint64_t width : {uint64_t{1}, uint64_t{2}, uint64_t{7}, uint64_t{1000},
                         uint64_t{1} << 28, uint64_t{1} << 30,
                         (uint64_t{1} << 31) + 3, (uint64_t{1} << 32) + 5}) {
    const Lz77MatchFinder finder(values, 4, 4, 3, 4, width);
    for (uint32_t s = 0; s < kNumSpecialDistances; ++s) {
      const int32_t d = Lz77SpecialDistance(s, width);
      ASSERT_GE(d, 1);
      const uint32_t symbol = finder.DistanceSymbol(static_cast<uint32_t>(d));
      ASSERT_LT(symbol, kNumSpecialDistances) << width << " " << s;
      // The lowest index that gives this distance.
      EXPECT_LE(symbol, s) << width << " " << s;
      EXPECT_EQ(Lz77SpecialDistance(symbol, width), d) << width << " " << s;
    }
  }
  // Width 2^30: (0, 2) wraps to a negative distance, read as 1; distance 1
  // keeps the lowest such index, (1, 0).
  EXPECT_EQ(Lz77SpecialDistance(4, uint64_t{1} << 30), 1);
  const Lz77MatchFinder wrapped(values, 4, 4, 3, 4, uint64_t{1} << 30);
  EXPECT_EQ(1u, wrapped.DistanceSymbol(1));
}

TEST(Lz77MatchFinderTest, FindsTheLongestAndThenTheClosestMatch) {
  // abcdX abcdY abcd: from position 12 both earlier copies match 4 values.
  const std::vector<uint32_t> v = {1, 2, 3, 4, 9, 1, 2, 3, 4, 8, 1, 2, 3, 4};
  Lz77MatchFinder finder(v.data(), v.size(), 16, 3, v.size(), 0);
  for (size_t p = 0; p <= 10; ++p) finder.Insert(p);
  uint32_t symbol;
  size_t length;
  finder.FindMatch(10, &symbol, &length);
  EXPECT_EQ(4u, length);
  EXPECT_EQ(4u, symbol);  // distance 5
  const std::vector<uint32_t> all = finder.FindAllMatches(10);
  ASSERT_EQ(5u, all.size());
  EXPECT_EQ(4u, all[4]);
  // No earlier candidate: length 1, empty list.
  finder.FindMatch(4, &symbol, &length);
  EXPECT_EQ(1u, length);
  EXPECT_TRUE(finder.FindAllMatches(4).empty());
}

TEST(Lz77MatchFinderTest, LongZeroRuns) {
  std::vector<uint32_t> v(5000, 0);
  for (size_t i = 0; i < 5000; i += 1000) v[i] = 7;
  Lz77MatchFinder finder(v.data(), v.size(),
                         Lz77MatchFinder::WindowSizeFor(v.size()), 3, v.size(),
                         0);
  for (size_t p = 0; p < 1500; ++p) finder.Insert(p);
  uint32_t symbol;
  size_t length;
  finder.FindMatch(1499, &symbol, &length);
  EXPECT_GE(length, 3u);
  EXPECT_EQ(1u, Lz77MatchFinder::WindowSizeFor(0));
  EXPECT_EQ(1u, Lz77MatchFinder::WindowSizeFor(1));
  EXPECT_EQ(8u, Lz77MatchFinder::WindowSizeFor(5));
  EXPECT_EQ(size_t{1} << 20, Lz77MatchFinder::WindowSizeFor(3u << 20));
}

std::vector<std::vector<Token>> RandomStreams(uint32_t seed, size_t contexts) {
  std::mt19937 rng(seed);
  std::vector<std::vector<Token>> streams(1 + seed % 3);
  for (auto& s : streams) {
    const size_t n = 1 + rng() % 4000;
    std::vector<uint32_t> motif(1 + rng() % 50);
    for (uint32_t& m : motif) m = rng() % (seed % 2 ? 4 : 300);
    for (size_t i = 0; i < n; ++i) {
      uint32_t v;
      switch (rng() % 4) {
        case 0: v = rng() % 20; break;
        case 1: v = 0; break;
        default: v = motif[i % motif.size()];
      }
      s.emplace_back(rng() % contexts, v);
    }
  }
  return streams;
}

TEST(Lz77Test, EveryMethodExpandsBackToItsInput) {
  int accepted[4] = {0, 0, 0, 0};
  for (uint32_t seed = 0; seed < 60; ++seed) {
    const size_t contexts = 1 + seed % 5;
    const auto streams = RandomStreams(seed, contexts);
    for (uint32_t mode : {1u, 2u, 3u}) {
      for (size_t width : {0, 1, 13}) {
        HistogramParams params;
        params.lz77_mode = mode;
        params.force_prefix_codes = seed % 4 == 0;
        params.stream_widths.assign(streams.size(), width);
        const LZ77Params lz77 = Lz77For(contexts);
        const auto out = RunLz77OnTokens(params, contexts, streams, lz77);
        if (out.empty()) continue;
        ++accepted[mode];
        ASSERT_EQ(streams.size(), out.size());
        for (size_t s = 0; s < streams.size(); ++s) {
          ASSERT_EQ(Values(streams[s]), Expand(out[s], lz77, width))
              << "mode " << mode << " seed " << seed << " width " << width;
          // Literals keep their context and value.
          for (const Token& t : out[s]) ASSERT_LE(t.context, contexts);
        }
      }
    }
  }
  EXPECT_GT(accepted[1], 3);
  EXPECT_GT(accepted[2], 10);
  EXPECT_GT(accepted[3], 10);
}

TEST(Lz77Test, NoMethodOrNoSavingGivesNothing) {
  const auto streams = RandomStreams(5, 2);
  for (uint32_t mode : {0u, 4u, 99u}) {
    HistogramParams params;
    params.lz77_mode = mode;
    EXPECT_TRUE(RunLz77OnTokens(params, 2, streams, Lz77For(2)).empty());
  }
  // Short runs below min_length are never copies; too little saving is
  // rejected whole.
  std::vector<std::vector<Token>> tiny = {{Token(0, 1), Token(0, 1), Token(0, 1),
                                           Token(0, 2)}};
  for (uint32_t mode : {1u, 2u, 3u}) {
    HistogramParams params;
    params.lz77_mode = mode;
    EXPECT_TRUE(RunLz77OnTokens(params, 1, tiny, Lz77For(1)).empty());
  }
}

TEST(Lz77Test, RunLengthCopiesSpanContextsAndUseDistanceOne) {
  std::vector<std::vector<Token>> streams(1);
  for (int i = 0; i < 300; ++i) streams[0].emplace_back(i % 3, i % 17);
  for (int i = 0; i < 500; ++i) streams[0].emplace_back(i % 2, 5);
  for (size_t width : {0, 8}) {
    HistogramParams params;
    params.lz77_mode = 1;
    params.stream_widths = {width};
    const auto out = RunLz77OnTokens(params, 3, streams, Lz77For(3));
    ASSERT_FALSE(out.empty());
    const std::vector<Token>& s = out[0];
    ASSERT_TRUE(s[s.size() - 2].lz77_length_flag);
    EXPECT_EQ(width ? 1u : 0u, s.back().value);
    // The copy takes the context of its first token (token 301, context 1).
    EXPECT_EQ(1u, s[s.size() - 2].context);
    EXPECT_EQ(499u - 3u, s[s.size() - 2].value);
  }
}

TEST(Lz77Test, CostModel) {
  std::vector<std::vector<Token>> streams = {
      {Token(0, 1), Token(0, 1), Token(0, 2), Token(0, 3), Token(1, 4),
       Token(1, 4)}};
  const Lz77CostModel model = TokenHistogramsForLz77(3, false, streams, Lz77For(3));
  EXPECT_EQ(8u, model.alphabet_size);
  EXPECT_NEAR(1.0f, model.Bits(0, 1), 0.01);
  EXPECT_NEAR(2.0f, model.Bits(0, 2), 0.01);
  EXPECT_EQ(12.0f, model.Bits(0, 7));   // absent symbol
  EXPECT_EQ(0.0f, model.Bits(1, 4));    // the only symbol of its context
  EXPECT_EQ(6.0f, model.context_penalty[2]);  // empty context
  EXPECT_NEAR(4.5f, model.context_penalty[0], 0.01);  // 6 - 1.5 bits average
  // Outside the table (a symbol or context it has no entry for): 12 bits,
  // never a read past its end.
  EXPECT_EQ(12.0f, model.Bits(0, 8));
  EXPECT_EQ(12.0f, model.Bits(0, 100000));
  EXPECT_EQ(12.0f, model.Bits(3, 0));
  const Lz77CostModel whole = TokenHistogramsForLz77(3, true, streams, Lz77For(3));
  EXPECT_EQ(std::ceil(model.Bits(0, 3)), whole.Bits(0, 3));
}

TEST(Lz77Test, ReparseWithCopiesLongerThanTheGreedyOnes) {
  // The greedy result holds only short copies, so the re-parse meets length
  // symbols beyond the cost table; they are costed, not read out of bounds.
  std::mt19937 rng(12);
  std::vector<std::vector<Token>> streams(1);
  std::vector<uint32_t> block(3000);
  for (uint32_t& v : block) v = rng() % 64;
  for (int rep = 0; rep < 3; ++rep) {
    for (uint32_t v : block) streams[0].emplace_back(0, v);
  }
  HistogramParams params;
  params.lz77_mode = 3;
  const LZ77Params lz77 = Lz77For(1);
  const auto out = RunLz77OnTokens(params, 1, streams, lz77);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(Values(streams[0]), Expand(out[0], lz77, 0));
  EXPECT_LT(out[0].size(), 3100u);
}

}  // namespace
}  // namespace qov
