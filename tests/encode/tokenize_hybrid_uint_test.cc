// Tokeniser and MaxOfU32 kernels against their references on every compiled
// target, the token rule against the reader's inverse, and the edge values.
#include "lib/encode/tokenize_hybrid_uint.h"

#include <hwy/highway.h>
#include <hwy/tests/hwy_gtest.h>

#include <random>
#include <vector>

#include "gtest/gtest.h"
#include "lib/encode/max_of_u32.h"

namespace qov {
namespace {

constexpr UintSplitConfig kCandidates[] = {
    {4, 2, 0}, {4, 1, 0}, {4, 2, 1}, {4, 2, 2}, {4, 1, 2}, {5, 2, 0},
    {5, 1, 0}, {5, 2, 1}, {5, 2, 2}, {5, 1, 2}, {3, 2, 0}, {3, 1, 0},
    {3, 2, 1}, {3, 1, 2}, {4, 1, 3}, {5, 1, 4}, {5, 2, 3}, {6, 1, 5},
    {6, 2, 4}, {6, 0, 0}, {0, 0, 0}, {2, 0, 1}, {7, 0, 0}, {8, 0, 0},
    {9, 0, 0}, {10, 0, 0}, {11, 0, 0}, {12, 0, 0}};

constexpr uint32_t kGuard = 0xDEADBEEF;
constexpr size_t kPad = 32;

std::vector<uint32_t> TestValues(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint32_t> values(count + kPad, 0xFFFFFFFFu);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t bits = rng() % 33;
    values[i] = bits == 32 ? rng() : (rng() & ((uint64_t{1} << bits) - 1));
  }
  return values;
}

// The reader's rule: token plus extra bits back to the value.
uint32_t Detokenize(uint32_t token, uint32_t extra, const UintSplitConfig& c) {
  const uint32_t e = c.split_exponent, m = c.msb_in_token, l = c.lsb_in_token;
  if (token < (1u << e)) return token;
  const uint32_t n = e - m - l + ((token - (1u << e)) >> (m + l));
  const uint32_t low = token & ((1u << l) - 1);
  const uint32_t high = (1u << m) | ((token >> l) & ((1u << m) - 1));
  return static_cast<uint32_t>(
      ((((uint64_t{high} << n) | extra) << l) | low) & 0xFFFFFFFFu);
}

TEST(HybridUintTokenTest, InvertedByTheReaderRule) {
  const std::vector<uint32_t> values = TestValues(4000, 7);
  for (const UintSplitConfig& c : kCandidates) {
    for (size_t i = 0; i < 4000; ++i) {
      const uint32_t v = values[i];
      uint32_t extra_count;
      const uint32_t token = HybridUintToken(v, c.split_exponent,
                                             c.msb_in_token, c.lsb_in_token,
                                             &extra_count);
      const uint32_t extra =
          extra_count == 0 ? 0
                           : static_cast<uint32_t>((v >> c.lsb_in_token) &
                                                   ((uint64_t{1} << extra_count) - 1));
      ASSERT_EQ(v, Detokenize(token, extra, c))
          << "value " << v << " config " << c.split_exponent << ","
          << c.msb_in_token << "," << c.lsb_in_token;
    }
  }
}

struct EdgeCase {
  UintSplitConfig config;
  uint32_t value;
  uint32_t token;
  uint32_t extra_bits;
};

TEST(HybridUintTokenTest, EdgeValues) {
  const EdgeCase kCases[] = {
      {{0, 0, 0}, 0, 0, 0},           {{0, 0, 0}, 1, 1, 0},
      {{0, 0, 0}, 2, 2, 1},           {{0, 0, 0}, 3, 2, 1},
      {{0, 0, 0}, 0xFFFFFFFF, 32, 31}, {{4, 2, 0}, 15, 15, 0},
      {{4, 2, 0}, 16, 16, 2},         {{4, 2, 0}, 31, 19, 2},
      {{4, 2, 0}, 32, 20, 3},         {{4, 2, 0}, 48, 22, 3},
      {{2, 0, 1}, 3, 3, 0},           {{2, 0, 1}, 4, 4, 1},
      {{2, 0, 1}, 5, 5, 1},           {{2, 0, 1}, 6, 4, 1},
      {{2, 0, 1}, 7, 5, 1},           {{2, 0, 1}, 8, 6, 2},
      {{12, 0, 0}, 4095, 4095, 0},    {{12, 0, 0}, 4096, 4096, 12},
      {{12, 0, 0}, 0xFFFFFFFF, 4115, 31},
      {{0, 0, 0}, 0x3FFFFF, 22, 21},  {{0, 0, 0}, 0x400000, 23, 22},
  };
  for (const EdgeCase& c : kCases) {
    std::vector<uint32_t> values(kPad, 0), tokens(kPad, 0);
    values[0] = c.value;
    EXPECT_EQ(c.extra_bits, TokenizeHybridUint(values.data(), 1, c.config,
                                               tokens.data()))
        << c.value;
    EXPECT_EQ(c.token, tokens[0]) << c.value;
  }
}

class TokenizeKernelTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(TokenizeKernelTest);

TEST_P(TokenizeKernelTest, MatchesScalar) {
  for (size_t count : {0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 33, 257}) {
    const std::vector<uint32_t> values = TestValues(count, 11 + count);
    for (const UintSplitConfig& c : kCandidates) {
      std::vector<uint32_t> ref(count + kPad, kGuard), got(count + kPad, kGuard);
      const uint32_t ref_sum =
          TokenizeHybridUintScalar(values.data(), count, c, ref.data());
      const uint32_t got_sum =
          TokenizeHybridUint(values.data(), count, c, got.data());
      EXPECT_EQ(ref_sum, got_sum) << count;
      for (size_t i = 0; i < count; ++i) ASSERT_EQ(ref[i], got[i]) << i;
      // Whole-vector stores reach at most 7 entries past the count.
      for (size_t i = count + (count == 0 ? 0 : 8); i < got.size(); ++i) {
        ASSERT_EQ(kGuard, got[i]) << "written past the vector at " << i;
      }
    }
  }
}

TEST(TokenizeHybridUintTest, UnsupportedExponentWritesNothing) {
  for (uint32_t e : {1u, 13u, 20u}) {
    std::vector<uint32_t> values(kPad, 100), tokens(kPad, kGuard);
    EXPECT_EQ(kTokenizeUnsupported,
              TokenizeHybridUint(values.data(), 5, UintSplitConfig(e, 0, 0),
                                 tokens.data()));
    for (uint32_t t : tokens) EXPECT_EQ(kGuard, t);
  }
}

// Only the lanes below the count add to the sum, whatever follows the data.
TEST_P(TokenizeKernelTest, TailLanesDoNotCount) {
  std::vector<uint32_t> values(kPad, 0xFFFFFFFFu), tokens(kPad, 0);
  for (size_t i = 0; i < 5; ++i) values[i] = 16;  // 2 extra bits each
  EXPECT_EQ(10u, TokenizeHybridUint(values.data(), 5, UintSplitConfig(4, 2, 0),
                                    tokens.data()));
}

class MaxOfU32KernelTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(MaxOfU32KernelTest);

TEST_P(MaxOfU32KernelTest, MatchesScalarAndIgnoresPadding) {
  std::mt19937 rng(3);
  for (size_t count = 0; count < 80; ++count) {
    std::vector<uint32_t> values(count + kPad, 0xFFFFFFFFu);
    for (size_t i = 0; i < count; ++i) values[i] = rng() >> (rng() % 32);
    EXPECT_EQ(MaxOfU32Scalar(values.data(), count),
              MaxOfU32(values.data(), count))
        << count;
  }
  const uint32_t unsigned_case[] = {5, 0xFFFFFFFFu, 7, 0, 0, 0, 0, 0,
                                    0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(0xFFFFFFFFu, MaxOfU32(unsigned_case, 3));
  EXPECT_EQ(0u, MaxOfU32(unsigned_case, 0));
}

}  // namespace
}  // namespace qov
