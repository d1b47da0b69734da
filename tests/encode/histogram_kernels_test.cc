// Histogram trimming/totals and entropy kernels on every compiled target.
#include <hwy/highway.h>
#include <hwy/tests/hwy_gtest.h>

#include <cmath>
#include <random>

#include "gtest/gtest.h"
#include "lib/encode/entropy_records.h"
#include "tests/encode/encode_test_helpers.h"

namespace qov {
namespace {

TEST(HistogramAddTest, GrowsInGroupsOfEight) {
  Histogram h;
  h.Add(0);
  EXPECT_EQ(8u, h.counts.size());
  h.Add(8);
  EXPECT_EQ(16u, h.counts.size());
  h.Add(7);
  EXPECT_EQ(16u, h.counts.size());
  EXPECT_EQ(3u, h.total);
  EXPECT_EQ(1, h.counts[8]);
}

class HistogramKernelTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(HistogramKernelTest);

TEST_P(HistogramKernelTest, FinalizeTrimsToWholeLaneGroups) {
  const size_t lanes = HistogramKernelLanes();
  // 4 or 8 lanes on x86 targets; the portable baseline copy may have 1.
  ASSERT_TRUE(lanes == 1 || lanes == 4 || lanes == 8);
  struct Case {
    int last_symbol;  // -1: all zero
    size_t length;
  };
  for (const Case& c : {Case{-1, 16}, Case{0, 8}, Case{3, 16}, Case{5, 8},
                        Case{9, 24}, Case{31, 32}}) {
    std::vector<int32_t> counts(c.length, 0);
    if (c.last_symbol >= 0) {
      counts[c.last_symbol] = 3;
      counts[0] += 1;
    }
    Histogram h = FromCounts(counts);
    h.total = 12345;  // recomputed
    FinalizeHistogramTotals(h);
    const size_t expected =
        c.last_symbol < 0 ? 0 : (c.last_symbol / lanes + 1) * lanes;
    EXPECT_EQ(expected, h.counts.size()) << c.last_symbol;
    EXPECT_EQ(c.last_symbol < 0 ? 0u : 4u, h.total);
  }
  // Symbol 3: 4 entries on a 4-lane target, 8 on the 8-lane one.
  Histogram h = FromCounts({0, 0, 0, 2, 0, 0, 0, 0});
  FinalizeHistogramTotals(h);
  EXPECT_EQ(lanes == 8 ? 8u : 4u, h.counts.size());
}

TEST_P(HistogramKernelTest, FinalizeMatchesScalarOnRandomCounts) {
  std::mt19937 rng(5);
  const size_t lanes = HistogramKernelLanes();
  for (int iter = 0; iter < 200; ++iter) {
    std::vector<int32_t> counts((rng() % 40) * 8, 0);
    for (int32_t& c : counts) c = (rng() % 3 == 0) ? rng() % 1000 : 0;
    Histogram a = FromCounts(counts), b = FromCounts(counts);
    FinalizeHistogramTotals(a);
    FinalizeHistogramTotalsScalar(b, lanes);
    ASSERT_EQ(b.counts, a.counts);
    ASSERT_EQ(b.total, a.total);
  }
  // Wrapping 32-bit sums: the total is the signed 32-bit sum widened.
  Histogram big = FromCounts({0x7FFFFFFF, 1, 0, 0, 0, 0, 0, 0});
  FinalizeHistogramTotals(big);
  EXPECT_EQ(static_cast<uint64_t>(int64_t{INT32_MIN}), big.total);
}

TEST_P(HistogramKernelTest, EntropyEstimate) {
  const size_t lanes = HistogramKernelLanes();
  Histogram empty;
  EXPECT_EQ(0.0f, ComputeHistogramEntropy(empty));
  Histogram single = FromCounts({0, 0, 9, 0, 0, 0, 0, 0});
  EXPECT_EQ(0.0f, ComputeHistogramEntropy(single));
  EXPECT_EQ(0.0f, single.entropy);

  std::mt19937 rng(9);
  for (int iter = 0; iter < 100; ++iter) {
    std::vector<int32_t> counts(8 * (1 + rng() % 8), 0);
    for (int32_t& c : counts) c = rng() % 4 == 0 ? 0 : 1 + rng() % 500;
    Histogram a = FromCounts(counts), b = FromCounts(counts);
    if (a.total == 0) continue;
    const float got = ComputeHistogramEntropy(a);
    EXPECT_EQ(got, a.entropy);
    const float ref = ComputeHistogramEntropyScalar(b, lanes);
    // Exact without fused multiply-adds; AVX2 fuses them.
    EXPECT_NEAR(ref, got, 1e-4 * ref + 1e-3);
    double exact = 0;
    for (int32_t c : counts) {
      if (c > 0) exact -= c * std::log2(static_cast<double>(c) / a.total);
    }
    EXPECT_NEAR(exact, got, 1e-3 * exact + 0.05);
  }
}

}  // namespace
}  // namespace qov
