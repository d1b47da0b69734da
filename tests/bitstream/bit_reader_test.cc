// Bit reader: bit order, refills across the end of the input, skipping,
// alignment, over-read accounting and the U32/U64/half-float codings.
#include "lib/bitstream/bit_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

namespace qov {
namespace {

// Bits of `bytes` from `pos` on (LSB first), zeros past the end.
uint64_t NaiveBits(const std::vector<uint8_t>& bytes, uint64_t pos, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t bit = pos + i;
    const uint64_t byte = bit / 8;
    const uint64_t b = byte < bytes.size() ? (bytes[byte] >> (bit % 8)) & 1 : 0;
    v |= b << i;
  }
  return v;
}

// Input whose heap block is exactly `bytes.size()` long, so that the
// address sanitizer reports any load beyond it.
struct ExactInput {
  explicit ExactInput(const std::vector<uint8_t>& bytes)
      : data(new uint8_t[bytes.size() ? bytes.size() : 1]), size(bytes.size()) {
    if (size) std::memcpy(data.get(), bytes.data(), size);
  }
  Span span() const { return Span(size ? data.get() : nullptr, size); }
  std::unique_ptr<uint8_t[]> data;
  size_t size;
};

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

TEST(BitReaderTest, ThreeBytesThenPastTheEnd) {
  const std::vector<uint8_t> bytes = {0x01, 0x02, 0x03};
  ExactInput input(bytes);
  BitReader reader(input.span());
  EXPECT_EQ(reader.Read(24), 0x030201u);
  EXPECT_EQ(reader.Position(), 24u);
  EXPECT_EQ(reader.InputBits(), 24u);
  EXPECT_FALSE(reader.PastEnd());
  EXPECT_EQ(reader.Read(8), 0u);
  EXPECT_EQ(reader.Position(), 32u);
  EXPECT_TRUE(reader.PastEnd());
  EXPECT_TRUE(reader.CheckBounds().need_more_bytes());
}

TEST(BitReaderTest, EmptyInputReadsZerosAndPositionGrows) {
  BitReader reader(Span(nullptr, 0));
  EXPECT_EQ(reader.InputBits(), 0u);
  for (size_t i = 1; i <= 20; ++i) {
    EXPECT_EQ(reader.Read(7), 0u);
    EXPECT_EQ(reader.Position(), 7 * i);
  }
  EXPECT_TRUE(reader.PastEnd());
}

// Random read widths over inputs of many lengths, so that reads cross from
// the 8-byte path into the byte-wise tail and past the end.
TEST(BitReaderTest, ReadsMatchNaiveExtraction) {
  std::mt19937 rng(7);
  for (size_t size : {0, 1, 5, 7, 8, 9, 15, 16, 17, 31, 64, 200}) {
    const std::vector<uint8_t> bytes = RandomBytes(size, 100 + size);
    ExactInput input(bytes);
    BitReader reader(input.span());
    uint64_t pos = 0;
    while (pos < size * 8 + 130) {
      const size_t n = rng() % 57;
      ASSERT_EQ(reader.Read(n), NaiveBits(bytes, pos, n))
          << "size " << size << " pos " << pos << " n " << n;
      pos += n;
      ASSERT_EQ(reader.Position(), pos);
      ASSERT_EQ(reader.PastEnd(), pos > size * 8);
    }
  }
}

TEST(BitReaderTest, PeekAndConsume) {
  const std::vector<uint8_t> bytes = RandomBytes(20, 3);
  ExactInput input(bytes);
  BitReader reader(input.span());
  reader.Refill();
  EXPECT_EQ(reader.Peek(0), 0u);
  EXPECT_EQ(reader.Peek(13), NaiveBits(bytes, 0, 13));
  reader.Consume(5);
  reader.Refill();
  EXPECT_EQ(reader.Peek(40), NaiveBits(bytes, 5, 40));
  EXPECT_EQ(reader.Position(), 5u);
}

TEST(BitReaderTest, SkipLongMatchesReadingWithinInput) {
  struct Case {
    size_t size;
    uint64_t before;  // bits read first
    uint64_t skip;
  };
  const Case cases[] = {
      {64, 0, 0},   {64, 3, 10},   {64, 3, 60},   {64, 0, 64 * 8 - 8},
      {64, 5, 300}, {64, 1, 503},  {12, 2, 40},   {12, 0, 96},
      {9, 7, 50},   {100, 17, 700}, {100, 60, 3},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> bytes = RandomBytes(c.size, 11);
    ExactInput input(bytes);
    BitReader reader(input.span());
    for (uint64_t left = c.before; left > 0;) {
      const uint64_t n = left < 56 ? left : 56;
      reader.Read(n);
      left -= n;
    }
    reader.SkipLong(c.skip);
    const uint64_t pos = c.before + c.skip;
    ASSERT_EQ(reader.Position(), pos) << c.size << " " << c.before << " " << c.skip;
    // The next bits are the input's bits at that position.
    EXPECT_EQ(reader.Read(16), NaiveBits(bytes, pos, 16))
        << c.size << " " << c.before << " " << c.skip;
  }
}

TEST(BitReaderTest, SkipLongPastTheEndIsReported) {
  const std::vector<uint8_t> bytes = RandomBytes(10, 5);
  ExactInput input(bytes);
  for (uint64_t skip : {81, 88, 200, 100000}) {
    BitReader reader(input.span());
    reader.Read(3);
    reader.SkipLong(skip);
    EXPECT_TRUE(reader.PastEnd()) << skip;
    EXPECT_TRUE(reader.CheckBounds().need_more_bytes()) << skip;
    EXPECT_EQ(reader.Read(20), 0u);
  }
  // A skip to exactly the end is not past it.
  BitReader reader(input.span());
  reader.Read(3);
  reader.SkipLong(77);
  EXPECT_EQ(reader.Position(), 80u);
  EXPECT_FALSE(reader.PastEnd());
}

TEST(BitReaderTest, AlignToByte) {
  // After 3 bits the next 5 are checked: all zero passes, any 1 fails.
  for (int bit = -1; bit < 5; ++bit) {
    const uint8_t first = bit < 0 ? 0x05 : static_cast<uint8_t>(0x05 | (8 << bit));
    const std::vector<uint8_t> bytes = {first, 0xAB};
    ExactInput input(bytes);
    BitReader reader(input.span());
    reader.Read(3);
    EXPECT_EQ(reader.AlignToByte().ok(), bit < 0) << bit;
    EXPECT_EQ(reader.Position(), 8u);
    EXPECT_TRUE(reader.AlignToByte().ok());  // already aligned: no read
    EXPECT_EQ(reader.Position(), 8u);
  }
}

TEST(BitReaderTest, CloseReportsOnlyUncheckedOverReads) {
  const std::vector<uint8_t> bytes = {0xFF, 0xFF};
  ExactInput input(bytes);
  {
    BitReader reader(input.span());
    reader.Read(16);
    EXPECT_TRUE(reader.Close().ok());
    EXPECT_TRUE(reader.closed());
  }
  {
    BitReader reader(input.span());
    reader.Read(20);
    EXPECT_TRUE(reader.Close().failed());
  }
  {
    BitReader reader(input.span());
    reader.Read(20);
    EXPECT_TRUE(reader.CheckBounds().need_more_bytes());
    EXPECT_TRUE(reader.Close().ok());  // already seen by a check
    // Reading further after the check is a new, unseen over-read.
  }
  {
    BitReader reader(input.span());
    reader.Read(20);
    reader.MarkBounds();
    reader.Read(1);
    EXPECT_TRUE(reader.Close().failed());
  }
  {
    BitReader reader;  // no input: nothing to report
    reader.Read(30);
    EXPECT_TRUE(reader.Close().ok());
  }
}

// Writes bit fields LSB first into bytes.
struct BitPacker {
  std::vector<uint8_t> bytes;
  uint64_t pos = 0;
  void Put(size_t n, uint64_t v) {
    for (size_t i = 0; i < n; ++i, ++pos) {
      if (pos / 8 >= bytes.size()) bytes.push_back(0);
      bytes[pos / 8] |= ((v >> i) & 1) << (pos % 8);
    }
  }
};

TEST(FieldCodingTest, U32Choices) {
  const U32Coding coding(Val(0), Val(1), BitsOffset(4, 2), BitsOffset(6, 18));
  struct Case {
    uint32_t selector;
    size_t extra_bits;
    uint64_t extra;
    uint32_t expected;
  };
  const Case cases[] = {
      {0, 0, 0, 0}, {1, 0, 0, 1}, {2, 4, 0, 2}, {2, 4, 15, 17},
      {3, 6, 1, 19}, {3, 6, 63, 81},
  };
  for (const Case& c : cases) {
    BitPacker p;
    p.Put(2, c.selector);
    p.Put(c.extra_bits, c.extra);
    p.Put(8, 0xA5);  // sentinel after the field
    ExactInput input(p.bytes);
    BitReader reader(input.span());
    EXPECT_EQ(ReadCodedU32(coding, &reader), c.expected);
    EXPECT_EQ(reader.Position(), 2 + c.extra_bits);
    EXPECT_EQ(reader.Read(8), 0xA5u);
  }
  // 32 bits + offset wraps modulo 2^32; Bits(32) reads a full word.
  const U32Coding wide(Bits(32), BitsOffset(32, 5), Val(7), Bits(1));
  BitPacker p;
  p.Put(2, 1);
  p.Put(32, 0xFFFFFFFE);
  p.Put(2, 0);
  p.Put(32, 0x89ABCDEF);
  ExactInput input(p.bytes);
  BitReader reader(input.span());
  EXPECT_EQ(ReadCodedU32(wide, &reader), 3u);
  EXPECT_EQ(ReadCodedU32(wide, &reader), 0x89ABCDEFu);
}

TEST(FieldCodingTest, U64) {
  struct Case {
    std::vector<std::pair<size_t, uint64_t>> fields;
    uint64_t expected;
    uint64_t bits;
  };
  const Case cases[] = {
      {{{2, 0}}, 0, 2},
      {{{2, 1}, {4, 15}}, 16, 6},
      {{{2, 2}, {8, 0}}, 17, 10},
      {{{2, 3}, {12, 4095}, {1, 0}}, 4095, 15},
      {{{2, 3}, {12, 0x123}, {1, 1}, {8, 0x45}, {1, 0}}, 0x45123, 24},
      // Every group present, and the last 4-bit group without terminator.
      {{{2, 3}, {12, 0xFFF}, {1, 1}, {8, 0xFF}, {1, 1}, {8, 0xFF}, {1, 1},
        {8, 0xFF}, {1, 1}, {8, 0xFF}, {1, 1}, {8, 0xFF}, {1, 1}, {8, 0xFF},
        {1, 1}, {4, 0xF}},
       ~uint64_t{0}, 73},
  };
  for (const Case& c : cases) {
    BitPacker p;
    for (const auto& [n, v] : c.fields) p.Put(n, v);
    p.Put(8, 0x5A);
    ExactInput input(p.bytes);
    BitReader reader(input.span());
    EXPECT_EQ(ReadCodedU64(&reader), c.expected);
    EXPECT_EQ(reader.Position(), c.bits);
    EXPECT_EQ(reader.Read(8), 0x5Au);
  }
}

TEST(FieldCodingTest, HalfFloat) {
  struct Case {
    uint16_t bits;
    bool ok;
    float expected;
  };
  const Case cases[] = {
      {0x3C00, true, 1.0f},
      {0xC000, true, -2.0f},
      {0x0001, true, std::ldexp(1.0f, -24)},
      {0x03FF, true, 1023 * std::ldexp(1.0f, -24)},
      {0x0400, true, std::ldexp(1.0f, -14)},
      {0x7BFF, true, 65504.0f},
      {0x3555, true, 0.333251953125f},
      {0x0000, true, 0.0f},
      {0x7C00, false, 0},
      {0xFC00, false, 0},
      {0x7E00, false, 0},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> bytes = {static_cast<uint8_t>(c.bits & 0xFF),
                                        static_cast<uint8_t>(c.bits >> 8)};
    ExactInput input(bytes);
    BitReader reader(input.span());
    float out = 123.0f;
    const Status status = ReadHalfFloat(&reader, &out);
    EXPECT_EQ(status.ok(), c.ok) << std::hex << c.bits;
    EXPECT_EQ(out, c.ok ? c.expected : 123.0f) << std::hex << c.bits;
    EXPECT_EQ(reader.Position(), 16u);  // consumed either way
  }
  // 0x8000 is negative zero.
  float out = 1;
  ASSERT_TRUE(HalfBitsToFloat(0x8000, &out));
  EXPECT_EQ(out, 0.0f);
  EXPECT_TRUE(std::signbit(out));
}

}  // namespace
}  // namespace qov
