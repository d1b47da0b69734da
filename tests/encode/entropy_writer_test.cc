// Entropy-code assembly: golden description layouts, the code-kind choice,
// the token writers, and the option combinations that are rejected.
#include "lib/encode/entropy_writer.h"

#include <random>

#include "gtest/gtest.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/entropy_code.h"
#include "lib/bitstream/symbol_reader.h"
#include "tests/encode/encode_test_helpers.h"

namespace qov {
namespace {

std::vector<std::vector<Token>> OneStream(std::vector<uint32_t> values,
                                          uint32_t contexts = 1) {
  std::vector<std::vector<Token>> tokens(1);
  for (size_t i = 0; i < values.size(); ++i) {
    tokens[0].emplace_back(static_cast<uint32_t>(i % contexts), values[i]);
  }
  return tokens;
}

// Builds with a writer, writes the one stream and returns all bits.
std::string DescriptionAndTokens(const HistogramParams& params,
                                 std::vector<std::vector<Token>> tokens,
                                 size_t contexts, EntropyEncodingData* codes) {
  BitWriter writer(HeapMemoryManager());
  EXPECT_TRUE(BuildAndEncodeHistograms(HeapMemoryManager(), params, contexts,
                                       tokens, codes, &writer,
                                       LayerType::kHeader, nullptr)
                  .ok());
  EXPECT_TRUE(WriteTokens(tokens[0], *codes, 0, &writer, LayerType::kHeader,
                          nullptr)
                  .ok());
  return BitString(writer);
}

TEST(EntropyWriterTest, GoldenPrefixDescription) {
  HistogramParams params;
  params.force_prefix_codes = true;
  params.choose_code_kind = true;
  params.split_config_mode = 1;  // (0, 0, 0)
  EntropyEncodingData codes;
  const std::string bits =
      DescriptionAndTokens(params, OneStream({0, 1}), 1, &codes);
  EXPECT_EQ(std::string("0")      // LZ77 off
                + "1"             // prefix codes; one context: no map
                + "0000"          // split exponent 0 in 4 bits; m, l 0 bits
                + "1" + "0000"    // alphabet size 2: bit 1, k = 0
                + "10" + "10"     // simple code, two symbols
                + "0" + "1"       // symbols 0 and 1 in 1 bit each
                + "0" + "1",      // the tokens
            bits);
}

TEST(EntropyWriterTest, PrefixAlphabetSizeFields) {
  struct Case {
    std::vector<uint32_t> values;
    bool add_all_symbols;
    std::string field;
  };
  const Case kCases[] = {
      {{0, 1}, false, "10000"},                // 2: 1, k = 0
      {{0, 1, 2}, false, "110000"},            // 3: 1, k = 1, 0 in 1 bit
      {{0}, true, "11110" "1111111"},          // 256: 1, k = 7, 127 in 7 bits
      {{0, 0}, false, "0"},                    // 1
  };
  for (const Case& c : kCases) {
    HistogramParams params;
    params.force_prefix_codes = params.choose_code_kind = true;
    params.split_config_mode = 1;  // (0, 0, 0): 4 bits at log size 15
    params.add_all_symbols = c.add_all_symbols;
    EntropyEncodingData codes;
    const std::string bits =
        DescriptionAndTokens(params, OneStream(c.values), 1, &codes);
    EXPECT_EQ("010000", bits.substr(0, 6));
    EXPECT_EQ(c.field, bits.substr(6, c.field.size()))
        << c.values.size();
  }
}

TEST(EntropyWriterTest, GoldenAnsSingleSymbolStream) {
  HistogramParams params;
  params.split_config_mode = 1;  // (0, 0, 0): 5 is token 3 with 2 extra bits
  std::vector<uint32_t> values(120, 5);
  EntropyEncodingData codes;
  const std::string bits =
      DescriptionAndTokens(params, OneStream(values), 1, &codes);
  std::string extras;
  for (int i = 0; i < 120; ++i) extras += "10";  // extra bits 01
  EXPECT_EQ(std::string("0")   // LZ77 off
                + "0"          // ANS
                + Lsb(2, 2)    // log alphabet size 7
                + "000"        // split exponent 0 in 3 bits
                + "1" "0" "1" "100" "1"  // small code: symbol 3
                + Lsb(0x130000, 32)      // a single-symbol code keeps the state
                + extras,
            bits);
}

TEST(EntropyWriterTest, EmptyAnsStreamIsTheFinalState) {
  EntropyEncodingData codes;
  codes.split_configs = {UintSplitConfig(4, 2, 0)};
  codes.context_map = {0};
  codes.symbol_tables.emplace_back(1);
  BitWriter writer(HeapMemoryManager());
  ASSERT_TRUE(WriteTokens({}, codes, 0, &writer, LayerType::kHeader, nullptr).ok());
  EXPECT_EQ(Lsb(0x130000, 32), BitString(writer));
}

TEST(EntropyWriterTest, PrefixTokensCarryTheirExtraBits) {
  EntropyEncodingData codes;
  codes.use_prefix_codes = true;
  codes.split_configs = {UintSplitConfig(4, 2, 0)};
  codes.context_map = {0};
  codes.symbol_tables.emplace_back(24);
  codes.symbol_tables[0][15] = {0, {}, 1, 2, 0b01};
  codes.symbol_tables[0][16] = {0, {}, 1, 2, 0b11};
  AuxOut aux;
  BitWriter writer(HeapMemoryManager());
  ASSERT_TRUE(WriteTokens({Token(0, 15), Token(0, 16), Token(0, 18)}, codes, 0,
                          &writer, LayerType::kAc, &aux)
                  .ok());
  // 15: its code, no extra bits; 16 and 18: token 16 with 2 extra bits.
  EXPECT_EQ("10" "11" "00" "11" "01", BitString(writer));
  EXPECT_EQ(4u, aux.layer(LayerType::kAc).extra_bit_count);
}

TEST(EntropyWriterTest, CodeKindChoice) {
  struct Case {
    const char* name;
    size_t tokens;
    bool single_symbol_contexts;
    uint32_t clustering_mode;
    bool prefix;
  };
  const Case kCases[] = {
      {"99 tokens", 99, false, 2, true},
      {"100 tokens", 100, false, 2, false},
      {"single symbols", 1000, true, 2, true},
      {"fast clustering", 1000, false, 0, true},
  };
  for (const Case& c : kCases) {
    HistogramParams params;
    params.choose_code_kind = true;
    params.clustering_mode = c.clustering_mode;
    std::vector<uint32_t> values(c.tokens);
    for (size_t i = 0; i < c.tokens; ++i) {
      values[i] = c.single_symbol_contexts ? (i % 3) * 5 : (i / 3) % 7;
    }
    std::vector<std::vector<Token>> tokens = OneStream(values, 3);
    EntropyEncodingData codes;
    ASSERT_TRUE(BuildAndEncodeHistograms(HeapMemoryManager(), params, 3, tokens,
                                         &codes, nullptr, LayerType::kHeader,
                                         nullptr)
                    .ok());
    EXPECT_EQ(c.prefix, codes.use_prefix_codes) << c.name;
  }
}

TEST(EntropyWriterTest, Lz77MinSymbolFollowsForcedPrefixCodes) {
  for (bool force : {false, true}) {
    HistogramParams params;
    params.lz77_mode = 1;
    params.force_prefix_codes = params.choose_code_kind = force;
    // A varied stretch, then a long run of one value: the run becomes one
    // copy at distance 1.
    std::vector<uint32_t> values(2000, 3);
    for (size_t i = 0; i < 1000; ++i) values[i] = (i * 7 + i / 5) % 16;
    values[1000] = 3;
    std::vector<std::vector<Token>> tokens = OneStream(values);
    EntropyEncodingData codes;
    ASSERT_TRUE(BuildAndEncodeHistograms(HeapMemoryManager(), params, 1, tokens,
                                         &codes, nullptr, LayerType::kHeader,
                                         nullptr)
                    .ok());
    EXPECT_TRUE(codes.lz77.enabled);
    EXPECT_EQ(force ? 512u : 224u, codes.lz77.min_symbol);
    EXPECT_EQ(1u, codes.lz77.distance_cluster);
    // The streams were replaced; they end with the copy of the run.
    const std::vector<Token>& out = tokens[0];
    ASSERT_GE(out.size(), 3u);
    ASSERT_LT(out.size(), 1010u);
    EXPECT_TRUE(out[out.size() - 2].lz77_length_flag);
    EXPECT_EQ(999u - 3u, out[out.size() - 2].value);
    EXPECT_EQ(0u, out[out.size() - 2].context);
    EXPECT_EQ(1u, out.back().context);
    EXPECT_EQ(0u, out.back().value);
  }
}

TEST(EntropyWriterTest, StatisticsAreCharged) {
  HistogramParams params;
  std::vector<uint32_t> values(500);
  for (size_t i = 0; i < 500; ++i) values[i] = (i * 7) % 13;
  std::vector<std::vector<Token>> tokens = OneStream(values, 4);
  EntropyEncodingData codes;
  AuxOut aux;
  BitWriter writer(HeapMemoryManager());
  ASSERT_TRUE(BuildAndEncodeHistograms(HeapMemoryManager(), params, 4, tokens,
                                       &codes, &writer, LayerType::kDc, &aux)
                  .ok());
  const AuxLayerStats& stats = aux.layer(LayerType::kDc);
  EXPECT_EQ(codes.symbol_tables.size(), stats.cluster_count);
  EXPECT_EQ(writer.BitsWritten(), stats.total_bit_count);
  // The LZ77 bundle and the context map have budgets of their own without
  // the histogram flag; everything else is histogram bits.
  EXPECT_LT(0u, stats.histogram_bit_count);
  EXPECT_GT(writer.BitsWritten(), stats.histogram_bit_count);
  EXPECT_GT(stats.cluster_entropy, 0.0);
}

// Option combinations whose output would not read back are refused.
TEST(EntropyWriterTest, RejectedCombinations) {
  // A varied stretch and a long run (which LZ77 turns into a copy).
  std::vector<uint32_t> values(1800, 7);
  for (size_t i = 0; i < 300; ++i) values[i] = (i * 31) % 200;
  struct Case {
    const char* name;
    HistogramParams params;
    size_t contexts;
    bool with_writer;
  };
  HistogramParams flat;
  flat.add_flat_histogram = true;
  HistogramParams flat_separate = flat;
  flat_separate.separate_histogram_writers = true;
  HistogramParams all_symbols;
  all_symbols.add_all_symbols = true;  // 256 symbols, log alphabet size 7
  // Forced prefix codes without choose_code_kind keep ANS, whose alphabet
  // cannot hold length symbols from 512 on.
  HistogramParams forced_without_choice;
  forced_without_choice.force_prefix_codes = true;
  forced_without_choice.lz77_mode = 1;
  const Case kCases[] = {
      {"forced prefix codes left as ANS", forced_without_choice, 1, false},
      {"flat without separate writers", flat, 3, false},
      {"flat written into the build's writer", flat_separate, 3, true},
      {"flat with one context", flat_separate, 1, false},
      {"all symbols, 7-bit alphabet", all_symbols, 3, false},
      {"all symbols, 7-bit alphabet, written", all_symbols, 3, true},
  };
  for (const Case& c : kCases) {
    std::vector<std::vector<Token>> tokens =
        OneStream(values, static_cast<uint32_t>(c.contexts));
    EntropyEncodingData codes;
    BitWriter writer(HeapMemoryManager());
    EXPECT_FALSE(BuildAndEncodeHistograms(HeapMemoryManager(), c.params,
                                          c.contexts, tokens, &codes,
                                          c.with_writer ? &writer : nullptr,
                                          LayerType::kHeader, nullptr)
                     .ok())
        << c.name;
  }
  // A token whose context is not below the number of contexts.
  {
    std::vector<std::vector<Token>> bad = OneStream({1, 2, 3}, 3);
    EntropyEncodingData codes;
    EXPECT_FALSE(BuildAndEncodeHistograms(HeapMemoryManager(), HistogramParams(),
                                          2, bad, &codes, nullptr,
                                          LayerType::kHeader, nullptr)
                     .ok());
  }
  // A second build on the same code set.
  HistogramParams params;
  std::vector<std::vector<Token>> tokens = OneStream(values, 3);
  EntropyEncodingData codes;
  ASSERT_TRUE(BuildAndEncodeHistograms(HeapMemoryManager(), params, 3, tokens,
                                       &codes, nullptr, LayerType::kHeader,
                                       nullptr)
                  .ok());
  std::vector<std::vector<Token>> again = OneStream(values, 3);
  EXPECT_FALSE(BuildAndEncodeHistograms(HeapMemoryManager(), params, 3, again,
                                        &codes, nullptr, LayerType::kHeader,
                                        nullptr)
                   .ok());
  // Stored descriptions need every code stored apart.
  BitWriter writer(HeapMemoryManager());
  EXPECT_FALSE(EncodeHistograms(codes, &writer, LayerType::kHeader, nullptr).ok());
}

// Reads `tokens` back after EncodeHistograms and WriteTokens.
void ExpectStoredRoundTrip(const HistogramParams& params, size_t contexts,
                           const std::vector<std::vector<Token>>& original) {
  std::vector<std::vector<Token>> tokens = original;
  EntropyEncodingData codes;
  ASSERT_TRUE(BuildAndEncodeHistograms(HeapMemoryManager(), params, contexts,
                                       tokens, &codes, nullptr,
                                       LayerType::kHeader, nullptr)
                  .ok());
  BitWriter writer(HeapMemoryManager());
  ASSERT_TRUE(EncodeHistograms(codes, &writer, LayerType::kHeader, nullptr).ok());
  ASSERT_TRUE(WriteTokens(tokens[0], codes, 0, &writer, LayerType::kHeader,
                          nullptr)
                  .ok());
  const Span span = writer.GetSpan();
  BitReader reader(span);
  EntropyCodeSet set;
  std::vector<uint8_t> map;
  ASSERT_TRUE(ReadEntropyCodeSet(HeapMemoryManager(), reader, contexts, &set,
                                 map, false)
                  .ok());
  auto symbols = SymbolReader::Create(set, reader, 0);
  ASSERT_TRUE(symbols.ok());
  for (const Token& t : original[0]) {
    ASSERT_EQ(t.value, symbols->ReadClusteredUint(map[t.context], reader));
  }
  EXPECT_TRUE(symbols->CheckFinalState());
  EXPECT_FALSE(reader.PastEnd());
}

TEST(EntropyWriterTest, StoredDescriptionsReadBack) {
  std::mt19937 rng(4);
  std::vector<uint32_t> values(3000);
  for (uint32_t& v : values) v = rng() % 3 == 0 ? rng() % 300 : rng() % 9;
  for (bool prefix : {false, true}) {
    for (uint32_t lz77 : {0u, 2u}) {
      HistogramParams params;
      params.separate_histogram_writers = true;
      params.force_prefix_codes = params.choose_code_kind = prefix;
      params.lz77_mode = lz77;
      ExpectStoredRoundTrip(params, 5, OneStream(values, 5));
    }
  }
  // The flat histogram as the only code: every context uses it.
  HistogramParams flat;
  flat.separate_histogram_writers = true;
  flat.add_flat_histogram = true;
  flat.histogram_limit = 0;
  ExpectStoredRoundTrip(flat, 4, OneStream(values, 4));
}

}  // namespace
}  // namespace qov
