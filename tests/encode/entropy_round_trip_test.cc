// Token streams written by the encoder read back exactly through the
// decoder's entropy-code reader and symbol reader: prefix and ANS codes,
// every LZ77 method, clustering and split-configuration mode, over random,
// skewed and repetitive streams with many contexts.
#include <random>
#include <vector>

#include "gtest/gtest.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/entropy_code.h"
#include "lib/bitstream/symbol_reader.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/entropy_writer.h"
#include "tests/encode/encode_test_helpers.h"

namespace qov {
namespace {

enum class Shape { kRandom, kSkewed, kRepetitive, kRuns, kSingleSymbol, kWide };

std::vector<std::vector<Token>> MakeStreams(Shape shape, size_t num_contexts,
                                            size_t num_streams, size_t length,
                                            uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::vector<Token>> streams(num_streams);
  for (auto& stream : streams) {
    const size_t n = length == 0 ? 0 : 1 + rng() % length;
    for (size_t i = 0; i < n; ++i) {
      const uint32_t ctx = rng() % num_contexts;
      uint32_t v = 0;
      switch (shape) {
        case Shape::kRandom: v = rng() % (1u << (1 + rng() % 12)); break;
        case Shape::kSkewed: {
          const uint32_t r = rng() % 1000;
          v = r < 700 ? ctx % 3 : (r < 950 ? 3 + rng() % 10 : rng() % 5000);
          break;
        }
        case Shape::kRepetitive:
          // A short motif repeated with a few changes: LZ77 copies pay.
          v = (i % 37) * 3 + (rng() % 50 == 0 ? rng() % 7 : 0);
          break;
        case Shape::kRuns: v = (i / (1 + rng() % 40)) % 5 == 0 ? 0 : (i / 64) % 9; break;
        case Shape::kSingleSymbol: v = ctx % 2 == 0 ? 7 : 7 + ctx; break;
        case Shape::kWide: v = rng() >> (rng() % 32); break;
      }
      stream.emplace_back(ctx, v);
    }
  }
  return streams;
}

struct RoundTripCase {
  const char* name;
  HistogramParams params;
};

HistogramParams Params(uint32_t clustering, uint32_t split, uint32_t lz77,
                       bool force_prefix, bool choose_kind,
                       HistogramParams::ANSHistogramStrategy ans =
                           HistogramParams::kThreeShifts) {
  HistogramParams p;
  p.clustering_mode = clustering;
  p.split_config_mode = split;
  p.lz77_mode = lz77;
  p.force_prefix_codes = force_prefix;
  p.choose_code_kind = choose_kind;
  p.ans_strategy = ans;
  return p;
}

// What the round trips exercised, so that a test cannot pass by never
// reaching a path.
struct Coverage {
  int lz77 = 0;
  int ans = 0;
  int prefix = 0;
  int context_maps = 0;
};
Coverage coverage;

// Writes description and streams, reads them back, compares values.
void RoundTrip(const HistogramParams& params, size_t num_contexts,
               const std::vector<std::vector<Token>>& original,
               const std::string& label, bool expect_ok = true) {
  std::vector<std::vector<Token>> tokens = original;
  EntropyEncodingData codes;
  BitWriter writer(HeapMemoryManager());
  auto cost = BuildAndEncodeHistograms(HeapMemoryManager(), params,
                                       num_contexts, tokens, &codes, &writer,
                                       LayerType::kHeader, nullptr);
  if (!expect_ok) {
    EXPECT_FALSE(cost.ok()) << label;
    return;
  }
  ASSERT_TRUE(cost.ok()) << label;
  for (const auto& stream : tokens) {
    ASSERT_TRUE(WriteTokens(stream, codes, 0, &writer, LayerType::kHeader,
                            nullptr)
                    .ok())
        << label;
  }
  const Span span = writer.GetSpan();
  BitReader reader(span);
  EntropyCodeSet set;
  std::vector<uint8_t> context_map;
  ASSERT_TRUE(ReadEntropyCodeSet(HeapMemoryManager(), reader, num_contexts,
                                 &set, context_map, false)
                  .ok())
      << label;
  ASSERT_EQ(codes.lz77.enabled, set.lz77.enabled) << label;
  coverage.lz77 += codes.lz77.enabled;
  coverage.ans += !codes.use_prefix_codes;
  coverage.prefix += codes.use_prefix_codes;
  coverage.context_maps += codes.symbol_tables.size() > 1;
  for (size_t s = 0; s < original.size(); ++s) {
    const uint64_t width =
        s < params.stream_widths.size() ? params.stream_widths[s] : 0;
    auto symbols = SymbolReader::Create(set, reader, width);
    ASSERT_TRUE(symbols.ok()) << label;
    for (size_t i = 0; i < original[s].size(); ++i) {
      const Token& t = original[s][i];
      const uint32_t v = symbols->ReadClusteredUint(context_map[t.context], reader);
      ASSERT_EQ(t.value, v) << label << " stream " << s << " token " << i;
    }
    ASSERT_TRUE(symbols->CheckFinalState()) << label << " stream " << s;
  }
  EXPECT_FALSE(reader.PastEnd()) << label;
  EXPECT_LE(writer.BitsWritten() - 7, reader.Position()) << label;
}

TEST(EntropyRoundTripTest, EveryOptionCombination) {
  const RoundTripCase kCases[] = {
      {"ans", Params(1, 0, 0, false, false)},
      {"prefix forced", Params(1, 0, 0, true, true)},
      {"choose kind", Params(2, 2, 0, false, true)},
      {"fast clustering", Params(0, 0, 0, false, false)},
      {"merge clustering", Params(2, 4, 0, false, false, HistogramParams::kAllShifts)},
      {"split search short", Params(1, 2, 0, false, false, HistogramParams::kEvenShifts)},
      {"split search full prefix", Params(2, 4, 0, true, true)},
      {"split mode 1", Params(1, 1, 0, false, false)},
      {"split mode 3", Params(1, 3, 0, false, false)},
      {"lz77 runs", Params(1, 0, 1, false, false)},
      {"lz77 runs prefix", Params(1, 0, 1, true, true)},
      {"lz77 greedy", Params(2, 2, 2, false, false)},
      {"lz77 greedy prefix", Params(1, 0, 2, true, true)},
      {"lz77 reparse", Params(2, 4, 3, false, false, HistogramParams::kAllShifts)},
      {"lz77 reparse prefix", Params(1, 1, 3, true, true)},
      {"flat strategy", Params(1, 0, 0, false, false,
                               static_cast<HistogramParams::ANSHistogramStrategy>(3))},
  };
  const Shape kShapes[] = {Shape::kRandom, Shape::kSkewed, Shape::kRepetitive,
                           Shape::kRuns, Shape::kSingleSymbol};
  uint32_t seed = 1;
  coverage = Coverage();
  for (const RoundTripCase& c : kCases) {
    for (Shape shape : kShapes) {
      for (size_t num_contexts : {1, 2, 7, 40}) {
        const auto streams = MakeStreams(shape, num_contexts, 1 + seed % 3,
                                         seed % 5 == 0 ? 80 : 3000, seed);
        RoundTrip(c.params, num_contexts, streams,
                  std::string(c.name) + " shape " +
                      std::to_string(static_cast<int>(shape)) + " contexts " +
                      std::to_string(num_contexts) + " seed " +
                      std::to_string(seed));
        ++seed;
        if (HasFatalFailure()) return;
      }
    }
  }
  EXPECT_GT(coverage.lz77, 25);
  EXPECT_GT(coverage.ans, 100);
  EXPECT_GT(coverage.prefix, 60);
  EXPECT_GT(coverage.context_maps, 100);
}

TEST(EntropyRoundTripTest, RandomOptionsAndStreams) {
  std::mt19937 rng(2024);
  const Shape kShapes[] = {Shape::kRandom, Shape::kSkewed, Shape::kRepetitive,
                           Shape::kRuns, Shape::kSingleSymbol, Shape::kWide};
  for (int iter = 0; iter < 150; ++iter) {
    HistogramParams p;
    p.clustering_mode = rng() % 3;
    p.split_config_mode = rng() % 6;
    p.lz77_mode = rng() % 4;
    p.ans_strategy = static_cast<HistogramParams::ANSHistogramStrategy>(rng() % 4);
    p.force_prefix_codes = rng() % 3 == 0;
    p.choose_code_kind = p.force_prefix_codes || rng() % 2 == 0;
    p.separate_histogram_writers = rng() % 4 == 0;
    // Every symbol needs an 8-bit ANS alphabet: a search mode or separate
    // writers give one.
    p.add_all_symbols = rng() % 5 == 0 &&
                        (p.split_config_mode == 2 || p.split_config_mode == 4 ||
                         p.separate_histogram_writers);
    p.histogram_limit = rng() % 3 == 0 ? 1 + rng() % 5 : ~size_t{0};
    const size_t contexts = 1 + rng() % 30;
    const size_t num_streams = 1 + rng() % 3;
    if (rng() % 3 == 0) {
      for (size_t s = 0; s < num_streams; ++s) p.stream_widths.push_back(rng() % 40);
    }
    const Shape shape = kShapes[rng() % 6];
    const auto streams = MakeStreams(shape, contexts, num_streams,
                                     rng() % 2 ? 100 : 4000, rng());
    RoundTrip(p, contexts, streams, "random options " + std::to_string(iter));
    if (HasFatalFailure()) return;
  }
}

TEST(EntropyRoundTripTest, WideValuesUseSplitConfigsThatFit) {
  // Values up to 2^32 - 1: tokens stay within the alphabet of every mode.
  for (uint32_t split : {0u, 2u, 4u}) {
    for (bool prefix : {false, true}) {
      const auto streams = MakeStreams(Shape::kWide, 3, 2, 2000, split + 10);
      RoundTrip(Params(1, split, 0, prefix, prefix), 3, streams,
                "wide split " + std::to_string(split));
    }
  }
}

TEST(EntropyRoundTripTest, RowWidthsGiveTwoDimensionalDistances) {
  HistogramParams params = Params(1, 0, 3, false, false);
  coverage = Coverage();
  for (size_t width : {1, 2, 17, 64}) {
    params.stream_widths = {width, width + 1};
    std::vector<std::vector<Token>> streams(2);
    std::mt19937 rng(static_cast<uint32_t>(width));
    for (auto& s : streams) {
      // Rows that repeat the row above with small changes.
      std::vector<uint32_t> row(width);
      for (uint32_t& v : row) v = rng() % 20;
      for (int y = 0; y < 60; ++y) {
        for (size_t x = 0; x < width; ++x) {
          if (rng() % 30 == 0) row[x] = rng() % 20;
          s.emplace_back(static_cast<uint32_t>(x % 2), row[x]);
        }
      }
    }
    RoundTrip(params, 2, streams, "width " + std::to_string(width));
  }
  EXPECT_EQ(4, coverage.lz77);
  params.lz77_mode = 1;
  RoundTrip(params, 2, MakeStreams(Shape::kRuns, 2, 2, 3000, 5), "runs width");
}

TEST(EntropyRoundTripTest, EmptyAndTinyStreams) {
  for (bool prefix : {false, true}) {
    const HistogramParams params = Params(1, 0, 0, prefix, prefix);
    RoundTrip(params, 1, {{}}, "empty");
    RoundTrip(params, 3, {{}, {Token(2, 5)}}, "one token");
    RoundTrip(params, 2, {{Token(0, 0), Token(1, 0)}}, "zeros");
  }
}

TEST(EntropyRoundTripTest, AddAllSymbols) {
  HistogramParams params = Params(1, 2, 0, false, false);
  params.add_all_symbols = true;
  RoundTrip(params, 4, MakeStreams(Shape::kSkewed, 4, 2, 500, 3), "all symbols");
  params.force_prefix_codes = params.choose_code_kind = true;
  RoundTrip(params, 4, MakeStreams(Shape::kSkewed, 4, 2, 500, 4),
            "all symbols prefix");
}

}  // namespace
}  // namespace qov
