// Prefix-code construction and storage: golden layouts of small codes, the
// length limit, run-length coding of depths, and codes read back by the
// prefix-code reader.
#include "lib/encode/prefix_code_builder.h"

#include <random>
#include <vector>

#include "gtest/gtest.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/prefix_code.h"
#include "lib/encode/bit_writer.h"
#include "tests/encode/encode_test_helpers.h"

namespace qov {
namespace {

struct Written {
  std::vector<uint8_t> depths;
  std::vector<uint16_t> codes;
  std::string bits;
};

Written Write(const std::vector<uint32_t>& counts) {
  Written w;
  w.depths.assign(counts.size(), 0);
  w.codes.assign(counts.size(), 0);
  BitWriter writer(HeapMemoryManager());
  EXPECT_TRUE(WriteInBudget(writer, [&] {
                return WritePrefixCodeForHistogram(counts.data(), counts.size(),
                                                   w.depths.data(),
                                                   w.codes.data(), &writer);
              }).ok());
  w.bits = BitString(writer);
  return w;
}

TEST(PrefixCodeBuilderTest, GoldenSimpleCodes) {
  {  // One used symbol, 5 of 8: 1 (2 bits), 0 (2 bits), 5 (3 bits).
    const Written w = Write({0, 0, 0, 0, 0, 3, 0, 0});
    EXPECT_EQ(Lsb(1, 2) + Lsb(0, 2) + Lsb(5, 3), w.bits);
    EXPECT_EQ(0, w.depths[5]);
  }
  {  // Two symbols: depths 1, 1; codes 0, 1; lower symbol first.
    const Written w = Write({0, 9, 0, 2});
    EXPECT_EQ(Lsb(1, 2) + Lsb(1, 2) + Lsb(1, 2) + Lsb(3, 2), w.bits);
    EXPECT_EQ(1, w.depths[1]);
    EXPECT_EQ(1, w.depths[3]);
    EXPECT_EQ(0, w.codes[1]);
    EXPECT_EQ(1, w.codes[3]);
  }
  {  // 8, 4, 2, 1: depths 1, 2, 3, 3, order 0..3, tree-select 1.
    const Written w = Write({8, 4, 2, 1});
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 3}), w.depths);
    EXPECT_EQ(Lsb(1, 2) + Lsb(3, 2) + Lsb(0, 2) + Lsb(1, 2) + Lsb(2, 2) +
                  Lsb(3, 2) + "1",
              w.bits);
  }
  {  // 1, 1, 1, 1: all depths 2, tree-select 0.
    const Written w = Write({1, 1, 1, 1});
    EXPECT_EQ((std::vector<uint8_t>{2, 2, 2, 2}), w.depths);
    EXPECT_EQ('0', w.bits.back());
  }
}

TEST(PrefixCodeBuilderTest, TiesPutTheHigherSymbolFirst) {
  // Equal counts: the higher symbol sorts first, merges first and ends up
  // deeper than the lower one.
  uint8_t depths[3] = {0, 0, 0};
  const uint32_t counts[3] = {1, 1, 2};
  BuildLengthLimitedTree(counts, 3, 15, depths);
  EXPECT_EQ(2, depths[0]);
  EXPECT_EQ(2, depths[1]);
  EXPECT_EQ(1, depths[2]);
  HuffmanNode a{5, -1, 1}, b{5, -1, 2};
  EXPECT_TRUE(CompareHuffmanNodes(b, a));
  EXPECT_FALSE(CompareHuffmanNodes(a, b));
}

TEST(PrefixCodeBuilderTest, LengthLimitIsMetWithACompleteCode) {
  std::vector<uint32_t> counts(20);
  uint32_t a = 1, b = 1;
  for (uint32_t& c : counts) {
    c = a;
    const uint32_t next = a + b;
    a = b;
    b = next;
  }
  std::vector<uint8_t> unlimited(20, 0), limited(20, 0);
  BuildLengthLimitedTree(counts.data(), 20, 32, unlimited.data());
  EXPECT_GT(*std::max_element(unlimited.begin(), unlimited.end()), 15);
  BuildLengthLimitedTree(counts.data(), 20, 15, limited.data());
  double kraft = 0;
  for (uint8_t d : limited) {
    ASSERT_GE(d, 1);
    ASSERT_LE(d, 15);
    kraft += std::ldexp(1.0, -d);
  }
  EXPECT_EQ(1.0, kraft);
}

TEST(PrefixCodeBuilderTest, RunLengthCodingOfDepths) {
  size_t count = 0;
  std::vector<uint8_t> symbols(64), extras(64);
  {  // 8, 8, 8, 8 after the initial previous value 8: 16 with extra 1.
    // Runs of four 8s between single zeros make run-length coding pay.
    std::vector<uint8_t> depths(64, 0);
    for (int i = 0; i < 60; ++i) depths[i] = i % 5 == 4 ? 0 : 8;
    RunLengthCodeDepths(depths.data(), 64, &count, symbols.data(), extras.data());
    ASSERT_GE(count, 1u);
    EXPECT_EQ(16, symbols[0]);
    EXPECT_EQ(1, extras[0]);
  }
  {  // Eleven zeros: a literal 0 and 17 with extra 7.
    count = 0;
    WriteDepthRepetitions(8, 8, 4, &count, symbols.data(), extras.data());
    EXPECT_EQ(1u, count);
    EXPECT_EQ(16, symbols[0]);
    EXPECT_EQ(1, extras[0]);
    std::vector<uint8_t> depths(60, 0);
    depths[0] = 3;
    depths[12] = 3;
    for (int i = 20; i < 60; i += 4) depths[i] = 3;
    RunLengthCodeDepths(depths.data(), 60, &count, symbols.data(), extras.data());
    EXPECT_EQ(3, symbols[0]);
    EXPECT_EQ(0, symbols[1]);
    EXPECT_EQ(17, symbols[2]);
    EXPECT_EQ(7, extras[2]);
  }
  {  // Fewer than 51 symbols: no repeat codes.
    std::vector<uint8_t> depths(50, 4);
    RunLengthCodeDepths(depths.data(), 50, &count, symbols.data(), extras.data());
    EXPECT_EQ(50u, count);
    for (size_t i = 0; i < count; ++i) EXPECT_EQ(4, symbols[i]);
  }
}

TEST(PrefixCodeBuilderTest, CanonicalCodesAreBitReversed) {
  const uint8_t depths[5] = {2, 1, 3, 3, 0};
  uint16_t codes[5] = {};
  DepthsToCanonicalCodes(depths, 5, codes);
  // Canonical: 1 -> 0, 0 -> 10, 2 -> 110, 3 -> 111, written first bit first.
  EXPECT_EQ(0, codes[1]);
  EXPECT_EQ(0b01, codes[0]);
  EXPECT_EQ(0b011, codes[2]);
  EXPECT_EQ(0b111, codes[3]);
}

// Writes the code and a symbol sequence with it, then reads both back with
// the prefix-code reader.
void ExpectReadBack(const std::vector<uint32_t>& counts, uint32_t seed) {
  const size_t n = counts.size();
  std::vector<uint8_t> depths(n, 0);
  std::vector<uint16_t> codes(n, 0);
  std::vector<uint32_t> message;
  std::mt19937 rng(seed);
  for (size_t i = 0; i < n; ++i) {
    if (counts[i] > 0) message.push_back(static_cast<uint32_t>(i));
  }
  std::shuffle(message.begin(), message.end(), rng);
  BitWriter writer(HeapMemoryManager());
  ASSERT_TRUE(WriteInBudget(writer, [&] {
                QOV_RETURN_IF_ERROR(WritePrefixCodeForHistogram(
                    counts.data(), n, depths.data(), codes.data(), &writer));
                for (uint32_t s : message) writer.PutBits(depths[s], codes[s]);
                return OkStatus();
              }).ok());
  const Span span = writer.GetSpan();
  BitReader reader(span);
  PrefixCode table;
  ASSERT_TRUE(PrefixCode::Read(table, n, reader)) << "seed " << seed;
  for (uint32_t s : message) {
    reader.Refill();
    ASSERT_EQ(s, DecodePrefixSymbol(table.data(), reader)) << "seed " << seed;
  }
  EXPECT_EQ(writer.BitsWritten(), reader.Position());
}

TEST(PrefixCodeBuilderTest, ReadBackByTheReader) {
  std::mt19937 rng(17);
  for (uint32_t iter = 0; iter < 300; ++iter) {
    const size_t n = 2 + rng() % 300;
    std::vector<uint32_t> counts(n, 0);
    const int kind = iter % 4;
    for (size_t i = 0; i < n; ++i) {
      if (kind == 0) counts[i] = rng() % 50;
      if (kind == 1) counts[i] = rng() % 7 == 0 ? 1 + (rng() % 1000) : 0;
      if (kind == 2) counts[i] = i < 40 ? (1u << std::min<size_t>(i, 20)) : 0;
      if (kind == 3) counts[i] = 5;  // one distinct depth: one code-length symbol
    }
    counts[rng() % n] += 1;
    ExpectReadBack(counts, iter);
  }
}

}  // namespace
}  // namespace qov
