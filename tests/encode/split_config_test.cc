// Choice of hybrid-uint split configurations and of the log alphabet size.
#include "lib/encode/split_config.h"

#include <random>

#include "gtest/gtest.h"
#include "lib/encode/tokenize_hybrid_uint.h"
#include "tests/encode/encode_test_helpers.h"

namespace qov {
namespace {

struct SplitFixture {
  EntropyEncodingData codes;
  std::vector<std::vector<Token>> tokens{1};
  std::vector<Histogram> clusters;
};

// One cluster per context; `values[c]` are the values of context c.
SplitFixture MakeSetup(const std::vector<std::vector<uint32_t>>& values,
                const UintSplitConfig& counting = UintSplitConfig(4, 2, 0)) {
  SplitFixture s;
  for (size_t c = 0; c < values.size(); ++c) {
    s.codes.context_map.push_back(static_cast<uint8_t>(c));
    Histogram h;
    for (uint32_t v : values[c]) {
      s.tokens[0].emplace_back(static_cast<uint32_t>(c), v);
      uint32_t extra;
      h.Add(HybridUintToken(v, counting.split_exponent, counting.msb_in_token,
                            counting.lsb_in_token, &extra));
    }
    s.clusters.push_back(h);
  }
  return s;
}

Status Pick(SplitFixture& s, uint32_t mode, bool separate = false) {
  HistogramParams params;
  params.split_config_mode = mode;
  params.separate_histogram_writers = separate;
  return PickUintSplitConfigs(&s.codes, HeapMemoryManager(), params, s.tokens,
                              &s.clusters);
}

TEST(SplitConfigTest, ModesWithoutSearchUseTheirDefault) {
  struct Case {
    uint32_t mode;
    bool separate;
    bool prefix;
    UintSplitConfig config;
    size_t log_alphabet_size;
  };
  const Case kCases[] = {
      {0, false, false, {4, 2, 0}, 7}, {1, false, false, {0, 0, 0}, 7},
      {3, false, true, {2, 0, 1}, 15}, {5, false, false, {4, 2, 0}, 7},
      {2, true, false, {4, 2, 0}, 8},  {4, true, true, {4, 2, 0}, 15},
  };
  for (const Case& c : kCases) {
    SplitFixture s = MakeSetup({{1, 2, 3}, {400, 5}});
    s.codes.use_prefix_codes = c.prefix;
    ASSERT_TRUE(Pick(s, c.mode, c.separate).ok());
    ASSERT_EQ(2u, s.codes.split_configs.size());
    EXPECT_EQ(c.config, s.codes.split_configs[1]) << c.mode;
    EXPECT_EQ(c.log_alphabet_size, s.codes.log_alphabet_size) << c.mode;
  }
}

TEST(SplitConfigTest, SearchPicksCheapConfigurations) {
  std::mt19937 rng(1);
  std::vector<uint32_t> small(500), wide(500);
  for (uint32_t& v : small) v = rng() % 2;
  for (uint32_t& v : wide) v = rng();
  wide[0] = 0xFFFFFFFFu;
  for (uint32_t mode : {2u, 4u}) {
    SplitFixture s = MakeSetup({small, {}, wide});
    ASSERT_TRUE(Pick(s, mode).ok());
    EXPECT_EQ(UintSplitConfig(0, 0, 0), s.codes.split_configs[0]) << "0s and 1s";
    EXPECT_EQ(UintSplitConfig(0, 0, 0), s.codes.split_configs[1]) << "no tokens";
    // The chosen configuration's histogram replaced the cluster's, and every
    // token of the widest values stays below 256.
    const UintSplitConfig chosen = s.codes.split_configs[2];
    std::vector<uint32_t> padded = wide, tokens(wide.size() + 32);
    padded.resize(wide.size() + 32, 0);
    TokenizeHybridUintScalar(padded.data(), wide.size(), chosen, tokens.data());
    Histogram expected;
    for (size_t i = 0; i < wide.size(); ++i) {
      ASSERT_LT(tokens[i], 256u);
      expected.Add(tokens[i]);
    }
    FinalizeHistogramTotals(expected);
    EXPECT_EQ(expected.counts, s.clusters[2].counts) << mode;
    EXPECT_EQ(500u, s.clusters[2].total);
    EXPECT_GE(s.codes.log_alphabet_size, 5u);
    EXPECT_LE(s.codes.log_alphabet_size, 8u);
  }
}

TEST(SplitConfigTest, NoClusters) {
  for (bool prefix : {false, true}) {
    SplitFixture s;
    s.codes.use_prefix_codes = prefix;
    ASSERT_TRUE(Pick(s, 2).ok());
    EXPECT_EQ(prefix ? 15u : 5u, s.codes.log_alphabet_size);
  }
}

TEST(SplitConfigTest, Lz77LengthsStartAtTheMinimumSymbol) {
  SplitFixture s = MakeSetup({{1, 2, 3, 100}, {4, 5}});
  s.codes.lz77.enabled = true;
  s.codes.lz77.min_symbol = 224;
  s.tokens[0].emplace_back(0, 5, true);  // length value 5: token 3
  s.tokens[0].emplace_back(1, 0, true);  // token 0
  ASSERT_TRUE(Pick(s, 4).ok());
  EXPECT_EQ(8u, s.codes.log_alphabet_size);
  EXPECT_EQ(1, s.clusters[0].counts[224 + 3]);
  EXPECT_EQ(1, s.clusters[1].counts[224]);
  for (const UintSplitConfig& c : s.codes.split_configs) {
    uint32_t extra;
    EXPECT_LT(HybridUintToken(100, c.split_exponent, c.msb_in_token,
                              c.lsb_in_token, &extra) |
                  ((1u << c.lsb_in_token) - 1),
              224u);
  }
}

TEST(SplitConfigTest, TooLargeSymbolsFail) {
  // Length symbols from 224 on cannot fit 8 bits when they pass 255.
  SplitFixture s = MakeSetup({{1}});
  s.codes.lz77.enabled = true;
  s.codes.lz77.min_symbol = 224;
  s.tokens[0].emplace_back(0, 0xFFFFFFFFu, true);  // token 32 -> symbol 256
  EXPECT_FALSE(Pick(s, 2).ok());
}

}  // namespace
}  // namespace qov
