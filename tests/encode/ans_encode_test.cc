// ANS tables, normalisation, distribution storage and the per-cluster code
// build.
#include "lib/encode/ans_encode.h"

#include <cfloat>
#include <cmath>
#include <random>

#include "gtest/gtest.h"
#include "lib/encode/ans_tables.h"
#include "lib/encode/bit_writer.h"
#include "tests/encode/encode_test_helpers.h"

namespace qov {
namespace {

TEST(AnsTablesTest, FilledBeforeMain) {
  EXPECT_EQ(0u, AnsLog2Table[0]);
  EXPECT_EQ(0u, AnsLog2Table[1]);
  EXPECT_EQ(0x80000000u, AnsLog2Table[4096]);
  EXPECT_EQ(178956971u, AnsLog2Table[2]);  // 2^31 / 12 rounded
  for (uint32_t i = 1; i < 4096; ++i) ASSERT_LT(AnsLog2Table[i], AnsLog2Table[i + 1]);
}

TEST(AnsTablesTest, AllowedCountLists) {
  const size_t kSizes[12] = {13, 14, 18, 28, 50, 96, 190, 376, 736, 1408, 2560, 4096};
  for (uint32_t s = 0; s < 12; ++s) {
    ASSERT_EQ(kSizes[s], AllowedAnsCountListSize(s)) << s;
    const AllowedCountEntry* list = AnsAllowedCounts[s];
    EXPECT_EQ(0u, list[kSizes[s] - 1].count);
    EXPECT_EQ(0x7FFFFFFF, list[kSizes[s] - 1].step_cost);
    EXPECT_EQ(0, list[0].step_cost);
    EXPECT_EQ(0u, list[0].step_log2);
    for (size_t j = 0; j < kSizes[s]; ++j) {
      const uint32_t a = list[j].count;
      EXPECT_EQ(j, AnsAllowedCountIndex[s][a]);
      EXPECT_EQ(a, AllowedAnsCount(a, s));
      if (j > 0 && a > 0) {
        const uint32_t step = list[j - 1].count - a;
        EXPECT_EQ(step, 1u << list[j].step_log2) << "steps are powers of two";
        EXPECT_NEAR(std::log2(double(list[j - 1].count) / a) / 12 * 2147483648.0,
                    list[j].step_cost, 0.5);
      }
    }
  }
  EXPECT_EQ(2048u, AnsAllowedCounts[0][0].count);
  EXPECT_EQ(3072u, AnsAllowedCounts[1][0].count);
  EXPECT_EQ(4095u, AnsAllowedCounts[11][0].count);
}

// Checks the invariants every shift record must hold.
void ExpectValidRecord(const AnsNormalizedHistogram& r, const Histogram& h) {
  if (r.method == 0 || r.num_symbols <= 1) return;
  const uint32_t shift = r.method - 1;
  int64_t sum = 0;
  for (size_t i = 0; i < r.alphabet_size; ++i) {
    const int32_t n = r.normalized_counts[i];
    sum += n;
    if (h.counts[i] > 0) {
      EXPECT_GT(n, 0) << i;
    } else {
      EXPECT_EQ(0, n) << i;
    }
    if (i != r.omitted_symbol) {
      EXPECT_EQ(static_cast<uint32_t>(n), AllowedAnsCount(n, shift)) << i;
    }
    if (i < r.omitted_symbol) {
      EXPECT_LT(n, 2048) << i;
    }
  }
  EXPECT_EQ(4096, sum);
}

std::vector<Histogram> RandomHistograms(uint32_t seed, int n) {
  std::mt19937 rng(seed);
  std::vector<Histogram> out;
  for (int i = 0; i < n; ++i) {
    const size_t size = 1 + rng() % 256;
    std::vector<int32_t> counts((size + 7) / 8 * 8, 0);
    const int kind = i % 4;
    for (size_t s = 0; s < size; ++s) {
      if (kind == 0) counts[s] = rng() % 100;                   // uniform-ish
      if (kind == 1) counts[s] = static_cast<int32_t>(100000 >> std::min<size_t>(s, 20));  // skewed
      if (kind == 2) counts[s] = rng() % 5 == 0 ? 1 + rng() % 3 : 0;  // sparse
      if (kind == 3) counts[s] = s == 0 ? 1000000 : rng() % 2;  // dominant
    }
    out.push_back(FromCounts(counts));
  }
  return out;
}

TEST(ChooseAnsNormalizationTest, RecordsAreValidForEveryStrategy) {
  for (const Histogram& h : RandomHistograms(1, 200)) {
    for (auto strategy : {HistogramParams::kThreeShifts,
                          HistogramParams::kEvenShifts,
                          HistogramParams::kAllShifts}) {
      auto r = ChooseAnsNormalization(h, strategy);
      ASSERT_TRUE(r.ok());
      ExpectValidRecord(*r, h);
      // Every shift trial, not only the winner, keeps the invariants.
      if (r->num_symbols >= 2) {
        for (uint32_t shift = 0; shift < 12; ++shift) {
          AnsNormalizedHistogram candidate = *r, best = *r;
          best.cost = -1.0f;  // never replaced
          ASSERT_TRUE(RescaleCountsForAns(&candidate, h, &best, shift).ok());
          ExpectValidRecord(candidate, h);
        }
      }
    }
  }
}

TEST(ChooseAnsNormalizationTest, SpecialShapes) {
  {
    auto r = ChooseAnsNormalization(FromCounts({0, 0, 0, 0}),
                                    HistogramParams::kAllShifts);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(3.0f, r->cost);
    EXPECT_EQ(1u, r->method);
    EXPECT_EQ(0u, r->alphabet_size);
  }
  {
    auto r = ChooseAnsNormalization(FromCounts({0, 0, 7, 0}),
                                    HistogramParams::kAllShifts);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(1u, r->method);
    EXPECT_EQ(7.0f, r->cost);
    EXPECT_EQ(4096, r->normalized_counts[2]);
  }
  {
    auto r = ChooseAnsNormalization(FromCounts({1000, 1000, 1000, 1000}),
                                    HistogramParams::kAllShifts);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(0u, r->method) << "flat kept: every shift ties with a longer header";
    EXPECT_EQ(1024, r->normalized_counts[3]);
  }
  {
    const Histogram skewed = FromCounts({5000, 10, 3, 1, 1, 0, 0, 0});
    auto r = ChooseAnsNormalization(
        skewed, static_cast<HistogramParams::ANSHistogramStrategy>(3));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(0u, r->method);
    auto shifted = ChooseAnsNormalization(skewed, HistogramParams::kThreeShifts);
    ASSERT_TRUE(shifted.ok());
    EXPECT_NE(0u, shifted->method);
    EXPECT_LT(shifted->cost, r->cost);
  }
  {
    std::vector<int32_t> counts(300, 0);
    for (int i = 0; i < 200; ++i) counts[i] = 1 + i % 3;
    const Histogram h = FromCounts(counts);
    auto cost = AnsHistogramCost(h);
    ASSERT_TRUE(cost.ok());
    EXPECT_EQ(FLT_MAX, *cost);
    auto r = ChooseAnsNormalization(h, HistogramParams::kThreeShifts);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(200u, r->alphabet_size);
  }
  {
    std::vector<int32_t> counts(264, 0);
    for (int i = 0; i < 257; ++i) counts[i] = 1;
    EXPECT_FALSE(ChooseAnsNormalization(FromCounts(counts),
                                        HistogramParams::kThreeShifts)
                     .ok());
  }
}

TEST(AnsHistogramStorageTest, GoldenBitsOfSmallCodes) {
  struct Case {
    std::vector<int32_t> counts;
    std::string bits;
  };
  const Case kCases[] = {
      // Empty: small code, one symbol, V(0).
      {{0, 0, 0, 0}, "100"},
      // One symbol 2: bits 1, 0 and V(2) = 1, 001, 0.
      {{0, 0, 7, 0}, "10" "1" "100" "0"},
      // Two symbols 0 and 3 (small code): 1, 1, V(0), V(3), 12-bit count.
  };
  for (const Case& c : kCases) {
    const Histogram h = FromCounts(c.counts);
    auto r = ChooseAnsNormalization(h, HistogramParams::kAllShifts);
    ASSERT_TRUE(r.ok());
    BitWriter writer(HeapMemoryManager());
    ASSERT_TRUE(WriteInBudget(writer, [&] { return WriteAnsHistogram(*r, &writer); }).ok());
    EXPECT_EQ(c.bits, BitString(writer));
    uint64_t estimate = 0;
    ASSERT_TRUE(EstimateAnsHistogramBits(*r, &estimate).ok());
    EXPECT_EQ(c.bits.size(), estimate);
  }
  // Two symbols: the first symbol's count in 12 bits.
  const Histogram two = FromCounts({3000, 0, 0, 1096});
  auto r = ChooseAnsNormalization(two, HistogramParams::kAllShifts);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(2u, r->num_symbols);
  if (r->method != 0) {
    BitWriter writer(HeapMemoryManager());
    ASSERT_TRUE(WriteInBudget(writer, [&] { return WriteAnsHistogram(*r, &writer); }).ok());
    EXPECT_EQ("11" "0" "1" "100" "1" + Lsb(r->normalized_counts[0], 12),
              BitString(writer));
  }
  // A flat record: 0, 1, V(alphabet size - 1).
  AnsNormalizedHistogram flat;
  flat.method = 0;
  flat.alphabet_size = 5;
  BitWriter writer(HeapMemoryManager());
  ASSERT_TRUE(WriteInBudget(writer, [&] { return WriteAnsHistogram(flat, &writer); }).ok());
  EXPECT_EQ("01" "1" "010" "00", BitString(writer));
  flat.alphabet_size = 0;
  uint64_t bits = 0;
  EXPECT_FALSE(EstimateAnsHistogramBits(flat, &bits).ok());
}

TEST(AnsHistogramStorageTest, WrittenSizeEqualsEstimate) {
  for (const Histogram& h : RandomHistograms(2, 300)) {
    auto r = ChooseAnsNormalization(h, HistogramParams::kAllShifts);
    ASSERT_TRUE(r.ok());
    BitWriter writer(HeapMemoryManager());
    ASSERT_TRUE(WriteInBudget(writer, [&] { return WriteAnsHistogram(*r, &writer); }).ok());
    uint64_t estimate = 0;
    ASSERT_TRUE(EstimateAnsHistogramBits(*r, &estimate).ok());
    EXPECT_EQ(writer.BitsWritten(), estimate);
  }
}

TEST(BuildAndStoreAnsTest, SlotMapsCoverEveryStateOnce) {
  for (const Histogram& h : RandomHistograms(3, 60)) {
    EntropyEncodingData codes;
    codes.log_alphabet_size = 8;
    codes.symbol_tables.emplace_back(256);
    auto cost = codes.BuildAndStoreANSEncodingData(
        HeapMemoryManager(), HistogramParams::kAllShifts, h, nullptr);
    ASSERT_TRUE(cost.ok());
    std::vector<int> seen(4096, 0);
    uint32_t total = 0;
    for (const SymbolEncodingInfo& info : codes.symbol_tables[0]) {
      ASSERT_EQ(info.frequency, info.slot_map.size());
      total += info.frequency;
      for (uint16_t slot : info.slot_map) ++seen[slot];
      if (info.frequency > 0) {
        for (uint64_t x = info.frequency; x < (uint64_t{info.frequency} << 20);
             x += 997) {
          ASSERT_EQ(x / info.frequency, (x * info.reciprocal) >> 44);
        }
      }
    }
    EXPECT_EQ(4096u, total);
    for (int s : seen) ASSERT_EQ(1, s);
  }
  // The empty histogram: symbol 0 owns every slot in order.
  EntropyEncodingData codes;
  codes.log_alphabet_size = 5;
  codes.symbol_tables.emplace_back(1);
  auto cost = codes.BuildAndStoreANSEncodingData(
      HeapMemoryManager(), HistogramParams::kThreeShifts, Histogram(), nullptr);
  ASSERT_TRUE(cost.ok());
  EXPECT_EQ(3u, *cost);
  const SymbolEncodingInfo& info = codes.symbol_tables[0][0];
  ASSERT_EQ(4096u, info.frequency);
  for (uint32_t i = 0; i < 4096; ++i) ASSERT_EQ(i, info.slot_map[i]);
}

TEST(BuildAndStoreAnsTest, PrefixPathCostAndFields) {
  EntropyEncodingData codes;
  codes.use_prefix_codes = true;
  codes.log_alphabet_size = 15;
  codes.symbol_tables.emplace_back(4);
  const Histogram h = FromCounts({8, 4, 2, 1});
  auto cost = codes.BuildAndStoreANSEncodingData(
      HeapMemoryManager(), HistogramParams::kThreeShifts, h, nullptr);
  ASSERT_TRUE(cost.ok());
  // Simple code: 2 + 2 + 4 x 2 symbol bits + 1 tree-select bit = 13 bits,
  // plus 8x1 + 4x2 + 2x3 + 1x3 data bits.
  EXPECT_EQ(13u + 25u, *cost);
  EXPECT_EQ(1, codes.symbol_tables[0][0].depth);
  EXPECT_EQ(3, codes.symbol_tables[0][3].depth);
  // A one-symbol alphabet writes and touches nothing.
  EntropyEncodingData one;
  one.use_prefix_codes = true;
  one.symbol_tables.emplace_back(1);
  auto zero = one.BuildAndStoreANSEncodingData(
      HeapMemoryManager(), HistogramParams::kThreeShifts, FromCounts({5}), nullptr);
  ASSERT_TRUE(zero.ok());
  EXPECT_EQ(0u, *zero);
  // A negative count on the prefix path fails.
  EntropyEncodingData negative;
  negative.use_prefix_codes = true;
  negative.symbol_tables.emplace_back(3);
  Histogram bad = FromCounts({4, -1, 3});
  EXPECT_FALSE(negative
                   .BuildAndStoreANSEncodingData(HeapMemoryManager(),
                                                 HistogramParams::kThreeShifts,
                                                 bad, nullptr)
                   .ok());
}

}  // namespace
}  // namespace qov
