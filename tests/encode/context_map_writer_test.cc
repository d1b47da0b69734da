// Context-map and block-context-map writing: the three forms, the choice
// between them, move-to-front, thresholds, and maps read back by the
// context-map reader.
#include "lib/encode/context_map_writer.h"

#include <random>

#include "gtest/gtest.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/entropy_code.h"
#include "tests/encode/encode_test_helpers.h"

namespace qov {
namespace {

std::string Written(const std::vector<uint8_t>& map, size_t histograms) {
  BitWriter writer(HeapMemoryManager());
  EXPECT_TRUE(WriteInBudget(writer, [&] {
                return EncodeContextMap(map, histograms, &writer,
                                        LayerType::kHeader, nullptr);
              }).ok());
  return BitString(writer);
}

TEST(ContextMapWriterTest, SingleHistogramIsThreeBits) {
  EXPECT_EQ("100", Written(std::vector<uint8_t>(1000, 0), 1));
  EXPECT_EQ("100", Written({0}, 1));
}

TEST(ContextMapWriterTest, ShortMapOfTwoHistogramsIsSimple) {
  EXPECT_EQ(std::string("1") + Lsb(1, 2) + "0110", Written({0, 1, 1, 0}, 2));
  EXPECT_EQ(std::string("1") + Lsb(3, 2) + Lsb(5, 3) + Lsb(0, 3) + Lsb(7, 3),
            Written({5, 0, 7, 1, 2, 3, 4, 6}, 8)
                .substr(0, 3 + 9));
}

TEST(ContextMapWriterTest, NineHistogramsAreNeverSimple) {
  std::vector<uint8_t> map(9);
  for (size_t i = 0; i < 9; ++i) map[i] = static_cast<uint8_t>(i);
  EXPECT_EQ('0', Written(map, 9)[0]);
}

TEST(ContextMapWriterTest, EntriesOutsideTheHistogramsFail) {
  struct Case {
    std::vector<uint8_t> map;
    size_t histograms;
  };
  for (const Case& c : {Case{{0, 1, 2}, 2}, Case{{1}, 1}, Case{{0}, 0}}) {
    BitWriter writer(HeapMemoryManager());
    EXPECT_FALSE(WriteInBudget(writer, [&] {
                   return EncodeContextMap(c.map, c.histograms, &writer,
                                           LayerType::kHeader, nullptr);
                 }).ok())
        << c.histograms;
  }
}

TEST(ContextMapWriterTest, MoveToFront) {
  EXPECT_EQ((std::vector<uint8_t>{5, 0, 0, 0}), MoveToFrontTransform({5, 5, 5, 5}));
  EXPECT_EQ((std::vector<uint8_t>{1, 1, 0, 2}), MoveToFrontTransform({1, 0, 0, 2}));
  std::vector<uint8_t> round = MoveToFrontTransform({3, 1, 4, 1, 5, 9, 2, 6});
  UndoMoveToFront(round.data(), round.size());
  EXPECT_EQ((std::vector<uint8_t>{3, 1, 4, 1, 5, 9, 2, 6}), round);
}

// Writes the map and reads it back with the decoder's context-map reader.
void ExpectReadBack(const std::vector<uint8_t>& map, size_t histograms,
                    const std::string& label) {
  BitWriter writer(HeapMemoryManager());
  ASSERT_TRUE(WriteInBudget(writer, [&] {
                return EncodeContextMap(map, histograms, &writer,
                                        LayerType::kHeader, nullptr);
              }).ok())
      << label;
  const Span span = writer.GetSpan();
  BitReader reader(span);
  std::vector<uint8_t> read(map.size(), 0);
  uint64_t clusters = 0;
  ASSERT_TRUE(ReadContextMap(HeapMemoryManager(), read, &clusters, reader).ok())
      << label;
  EXPECT_EQ(map, read) << label;
  EXPECT_EQ(histograms, clusters) << label;
  EXPECT_EQ(writer.BitsWritten(), reader.Position()) << label;
}

TEST(ContextMapWriterTest, ReadBackByTheReader) {
  std::mt19937 rng(8);
  for (int iter = 0; iter < 150; ++iter) {
    const size_t histograms = 2 + rng() % (iter % 3 == 0 ? 6 : 200);
    const size_t size = histograms + rng() % 600;
    std::vector<uint8_t> map(size);
    for (size_t i = 0; i < size; ++i) {
      switch (iter % 4) {
        case 0: map[i] = rng() % histograms; break;
        case 1: map[i] = (i / 17) % histograms; break;       // runs: LZ77
        case 2: map[i] = rng() % 5 ? map[i ? i - 1 : 0] : rng() % histograms;
                break;                                         // move-to-front
        case 3: map[i] = i % histograms; break;                // periodic
      }
    }
    for (size_t h = 0; h < histograms; ++h) map[rng() % size] = h;
    // Every index must occur for the reader.
    std::vector<bool> used(histograms, false);
    for (uint8_t e : map) used[e] = true;
    for (size_t h = 0; h < histograms; ++h) {
      if (!used[h]) map.push_back(static_cast<uint8_t>(h));
    }
    ExpectReadBack(map, histograms, "iteration " + std::to_string(iter));
  }
  ExpectReadBack({1, 0}, 2, "two entries");
  ExpectReadBack(std::vector<uint8_t>(300, 0), 1, "one histogram");
}

TEST(BlockCtxMapWriterTest, DefaultIsOneBit) {
  const std::vector<int32_t> none[3];
  const std::vector<uint8_t> map = {
      0, 1, 2, 2, 3, 3, 4, 5, 6, 6, 6, 6, 6, 7, 8, 9, 9, 10, 11, 12,
      13, 14, 14, 14, 14, 14, 7, 8, 9, 9, 10, 11, 12, 13, 14, 14, 14, 14, 14};
  BitWriter writer(HeapMemoryManager());
  ASSERT_TRUE(EncodeBlockCtxMap(none, {}, map, 15, &writer, nullptr).ok());
  EXPECT_EQ("1", BitString(writer));
}

TEST(BlockCtxMapWriterTest, ThresholdsAndReadBack) {
  const std::vector<int32_t> dc[3] = {{-1}, {20}, {}};
  const std::vector<uint32_t> qf = {1};
  std::vector<uint8_t> map(39 * 2 * 2 * 2);
  for (size_t i = 0; i < map.size(); ++i) map[i] = i % 3;
  BitWriter writer(HeapMemoryManager());
  AuxOut aux;
  ASSERT_TRUE(EncodeBlockCtxMap(dc, qf, map, 3, &writer, &aux).ok());
  const std::string bits = BitString(writer);
  // 0, then per channel the count and each packed threshold as a U32
  // (-1 -> 1 and 20 -> 40 with selectors 0 and 2), then the quant-field
  // count and 1 - 1 = 0 with selector 0.
  const std::string expected = std::string("0") + Lsb(1, 4) + Lsb(0, 2) +
                               Lsb(1, 4) + Lsb(1, 4) + Lsb(1, 2) +
                               Lsb(40 - 16, 8) + Lsb(0, 4) + Lsb(1, 4) +
                               Lsb(0, 2) + Lsb(0, 2);
  EXPECT_EQ(expected, bits.substr(0, expected.size()));
  EXPECT_GT(aux.layer(LayerType::kBlockContextMap).total_bit_count, 0u);
  // The context map that follows reads back.
  const Span span = writer.GetSpan();
  BitReader reader(span);
  reader.SkipLong(expected.size());
  std::vector<uint8_t> read(map.size());
  uint64_t clusters = 0;
  ASSERT_TRUE(ReadContextMap(HeapMemoryManager(), read, &clusters, reader).ok());
  EXPECT_EQ(map, read);
}

TEST(BlockCtxMapWriterTest, QuantFieldThresholdsOutOfRangeFail) {
  const std::vector<int32_t> none[3];
  const std::vector<uint8_t> map(39 * 2, 0);
  for (uint32_t q : {0u, 301u}) {
    BitWriter writer(HeapMemoryManager());
    EXPECT_FALSE(EncodeBlockCtxMap(none, {q}, map, 1, &writer, nullptr).ok()) << q;
  }
  BitWriter writer(HeapMemoryManager());
  EXPECT_TRUE(EncodeBlockCtxMap(none, {300}, map, 1, &writer, nullptr).ok());
}

TEST(BlockCtxMapWriterTest, MapsTheReaderWouldRejectFail) {
  struct Case {
    const char* name;
    std::vector<int32_t> dc[3];
    std::vector<uint32_t> qf;
    size_t map_size;
    size_t contexts;
  };
  const Case kCases[] = {
      {"16 thresholds", {std::vector<int32_t>(16, 1), {}, {}}, {}, 39 * 17, 1},
      {"more than 64 buckets", {{1, 2, 3}, {1, 2, 3}, {1, 2, 3}}, {5}, 39 * 128, 1},
      {"map of the wrong size", {{1}, {}, {}}, {}, 39, 1},
      {"17 contexts", {{}, {}, {}}, {}, 39, 17},
  };
  for (const Case& c : kCases) {
    std::vector<uint8_t> map(c.map_size, 0);
    for (size_t i = 0; i < map.size(); ++i) map[i] = i % c.contexts;
    BitWriter writer(HeapMemoryManager());
    EXPECT_FALSE(EncodeBlockCtxMap(c.dc, c.qf, map, c.contexts, &writer, nullptr).ok())
        << c.name;
  }
}

}  // namespace
}  // namespace qov
