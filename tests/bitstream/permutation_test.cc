// Lehmer-coded permutations.
#include "lib/bitstream/permutation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "tests/bitstream/entropy_test_streams.h"

namespace qov {
namespace {

using entropy_test::Bits;
using entropy_test::Heap;
using entropy_test::StreamPlan;
using entropy_test::TokenWriter;

// Eight contexts, each its own cluster with a code of a different width, so
// a value read with the wrong context desynchronises the stream.
StreamPlan EightClusterPlan() {
  StreamPlan plan;
  plan.context_map = {0, 1, 2, 3, 4, 5, 6, 7};
  plan.configs.assign(8, UintSplitConfig(4, 16, 2, 0));
  plan.code_bits = {6, 7, 8, 9, 10, 7, 8, 9};
  return plan;
}

uint32_t Context(uint32_t v) { return PermutationContext(v); }

// The permutation of a Lehmer code, by the definition (O(n^2)).
std::vector<uint32_t> Decode(const std::vector<uint32_t>& lehmer) {
  std::vector<uint32_t> free(lehmer.size());
  std::iota(free.begin(), free.end(), 0);
  std::vector<uint32_t> out;
  for (uint32_t v : lehmer) {
    out.push_back(free[v]);
    free.erase(free.begin() + v);
  }
  return out;
}

struct Written {
  std::vector<uint8_t> bytes;
  uint64_t bits;
};

// Writes a stand-alone permutation: description, end, the values.
Written WritePermutation(const StreamPlan& plan, uint64_t size,
                         const std::vector<uint32_t>& values) {
  Bits bits;
  entropy_test::PutDescription(bits, plan);
  TokenWriter t(plan);
  t.Value(Context(static_cast<uint32_t>(size)),
          static_cast<uint32_t>(values.size()));
  uint32_t previous = 0;
  for (uint32_t v : values) {
    t.Value(Context(previous), v);
    previous = v;
  }
  t.Finish(bits);
  return {bits.Bytes(), bits.size()};
}

TEST(PermutationTest, ContextsOfValues) {
  const std::vector<std::pair<uint32_t, uint32_t>> cases = {
      {0, 0}, {1, 1}, {2, 2}, {3, 2}, {5, 3}, {63, 6}, {64, 7}, {1u << 30, 7}};
  for (auto [v, c] : cases) EXPECT_EQ(PermutationContext(v), c) << v;
}

TEST(PermutationTest, WorkedExamples) {
  struct Case {
    const char* name;
    uint64_t skip, size;
    std::vector<uint32_t> values;  // transmitted Lehmer values
    std::vector<uint32_t> expected;  // empty: Failed
  };
  const std::vector<Case> cases = {
      {"end 0 is the identity", 0, 5, {}, {0, 1, 2, 3, 4}},
      {"2, 0, 1, 0", 0, 4, {2, 0, 1, 0}, {2, 0, 3, 1}},
      {"2, 0, 1 (the last 0 implied)", 0, 4, {2, 0, 1}, {2, 0, 3, 1}},
      {"skip 1 keeps position 0", 1, 4, {2, 0}, {0, 3, 1, 2}},
      {"skip 1 and end 3", 1, 4, {0, 1, 0}, {0, 1, 3, 2}},
      {"skip 1 and end 4 is too long", 1, 4, {0, 0, 0, 0}, {}},
      {"value at n - i", 0, 4, {1, 3}, {}},
      {"contexts 0, 3, 7", 0, 100, {5, 70, 1}, {}},  // expected computed
  };
  for (const Case& c : cases) {
    const Written w = WritePermutation(EightClusterPlan(), c.size, c.values);
    std::vector<uint32_t> expected = c.expected;
    bool expect_ok = !expected.empty();
    if (std::string(c.name) == "contexts 0, 3, 7") {
      std::vector<uint32_t> lehmer(c.size, 0);
      std::copy(c.values.begin(), c.values.end(), lehmer.begin());
      expected = Decode(lehmer);
      expect_ok = true;
    }
    std::vector<uint32_t> out(c.size, 12345);
    BitReader reader(Span(w.bytes.data(), w.bytes.size()));
    const Status status =
        ReadPermutationWithCodes(Heap(), c.skip, c.size, out.data(), reader);
    if (!expect_ok) {
      EXPECT_EQ(status, StatusValue::Failed) << c.name;
      continue;
    }
    ASSERT_TRUE(status.ok()) << c.name;
    EXPECT_EQ(out, expected) << c.name;
    EXPECT_EQ(reader.Position(), w.bits) << c.name;
    // Without an output the same bits are consumed.
    BitReader again(Span(w.bytes.data(), w.bytes.size()));
    ASSERT_TRUE(
        ReadPermutationWithCodes(Heap(), c.skip, c.size, nullptr, again).ok());
    EXPECT_EQ(again.Position(), w.bits) << c.name;
  }
}

TEST(PermutationTest, RandomPermutationsRoundTrip) {
  std::mt19937 rng(5);
  StreamPlan plan = EightClusterPlan();
  plan.code_bits.assign(8, 8);
  for (int round = 0; round < 60; ++round) {
    const uint32_t n = 1 + rng() % (round < 40 ? 40 : 3000);
    std::vector<uint32_t> perm(n);
    std::iota(perm.begin(), perm.end(), 0);
    std::shuffle(perm.begin(), perm.end(), rng);
    // Lehmer code of perm.
    std::vector<uint32_t> lehmer;
    std::vector<uint32_t> free(n);
    std::iota(free.begin(), free.end(), 0);
    for (uint32_t p : perm) {
      const auto it = std::find(free.begin(), free.end(), p);
      lehmer.push_back(static_cast<uint32_t>(it - free.begin()));
      free.erase(it);
    }
    while (!lehmer.empty() && lehmer.back() == 0) lehmer.pop_back();
    const Written w = WritePermutation(plan, n, lehmer);
    std::vector<uint32_t> out(n);
    BitReader reader(Span(w.bytes.data(), w.bytes.size()));
    ASSERT_TRUE(ReadPermutationWithCodes(Heap(), 0, n, out.data(), reader).ok())
        << "round " << round;
    ASSERT_EQ(out, perm) << "round " << round;
  }
}

TEST(PermutationTest, WrongFinalAnsStateFails) {
  StreamPlan plan = entropy_test::ByteStreamPlan(8, false, false);
  const std::vector<uint32_t> values = {3, 1, 4, 1, 5, 9, 2, 6};
  Written w = WritePermutation(plan, 20, values);
  std::vector<uint32_t> out(20);
  {
    BitReader reader(Span(w.bytes.data(), w.bytes.size()));
    ASSERT_TRUE(ReadPermutationWithCodes(Heap(), 0, 20, out.data(), reader).ok());
  }
  w.bytes[(w.bits - 1) / 8] ^= static_cast<uint8_t>(1u << ((w.bits - 1) % 8));
  BitReader reader(Span(w.bytes.data(), w.bytes.size()));
  EXPECT_EQ(ReadPermutationWithCodes(Heap(), 0, 20, out.data(), reader),
            StatusValue::Failed);
}

}  // namespace
}  // namespace qov
