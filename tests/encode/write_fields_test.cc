// Bundle writing: field codings and their sizes, the choice of U32
// selectors, half-float conversion, measuring (all-default flags, extension
// sizes) and refusals of unencodable bundles; read back with the readers.
#include "lib/encode/write_fields.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "lib/base/memory.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/fields.h"
#include "lib/bitstream/image_metadata.h"
#include "tests/bitstream/test_bundles.h"

namespace qov {
namespace {

using test::SameOuter;
using test::TestInner;
using test::TestOuter;

TEST(WriteFieldsTest, U64SizesAndRoundTrip) {
  struct Case {
    uint64_t value;
    uint64_t bits;
  };
  const Case cases[] = {
      {0, 2},           {1, 6},
      {16, 6},          {17, 10},
      {272, 10},        {273, 15},
      {4095, 15},       {4096, 24},
      {(1u << 20) - 1, 24},  {1u << 20, 33},
      {(uint64_t{1} << 28) - 1, 33}, {uint64_t{1} << 28, 42},
      {uint64_t{1} << 36, 51},       {uint64_t{1} << 44, 60},
      {(uint64_t{1} << 52) - 1, 60}, {uint64_t{1} << 52, 69},
      {(uint64_t{1} << 60) - 1, 69}, {uint64_t{1} << 60, 73},
      {~uint64_t{0}, 73},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CodedU64Bits(c.value), c.bits) << c.value;
    BitWriter w(HeapMemoryManager());
    ASSERT_TRUE(w.WithBitBudget(c.bits, LayerType::kHeader, nullptr, [&] {
                   return WriteCodedU64(c.value, &w);
                 }).ok())
        << c.value;
    EXPECT_EQ(w.BitsWritten(), c.bits) << c.value;
    BitReader r(w.GetSpan());
    EXPECT_EQ(ReadCodedU64(&r), c.value);
    EXPECT_EQ(r.Position(), c.bits);
  }
}

TEST(WriteFieldsTest, U32SelectorChoice) {
  const U32Coding enum_coding = kEnumCoding;
  // Selectors 0 and 2 cover 5..8 with the same extra bit count.
  const U32Coding tie(BitsOffset(2, 5), Val(100), BitsOffset(2, 5), Bits(8));
  // A literal equal to the value beats a shorter-looking range.
  const U32Coding literal_last(Bits(1), Bits(4), BitsOffset(3, 8), Val(9));
  struct Case {
    const U32Coding* coding;
    uint32_t value;
    bool ok;
    uint32_t selector;
    uint64_t bits;
  };
  const Case cases[] = {
      {&enum_coding, 0, true, 0, 2},    {&enum_coding, 1, true, 1, 2},
      {&enum_coding, 2, true, 2, 6},    {&enum_coding, 17, true, 2, 6},
      {&enum_coding, 18, true, 3, 8},   {&enum_coding, 81, true, 3, 8},
      {&enum_coding, 82, false, 0, 0},  {&tie, 6, true, 0, 4},
      {&tie, 100, true, 1, 2},          {&tie, 200, true, 3, 10},
      {&tie, 256, false, 0, 0},         {&literal_last, 9, true, 3, 2},
      {&literal_last, 1, true, 0, 3},   {&literal_last, 12, true, 2, 5},
      {&literal_last, 3, true, 1, 6},
  };
  for (const Case& c : cases) {
    uint32_t selector = 99;
    uint64_t bits = 0;
    const Status status = ChooseU32Selector(*c.coding, c.value, &selector, &bits);
    ASSERT_EQ(status.ok(), c.ok) << c.value;
    if (!c.ok) continue;
    EXPECT_EQ(selector, c.selector) << c.value;
    EXPECT_EQ(bits, c.bits) << c.value;
    BitWriter w(HeapMemoryManager());
    ASSERT_TRUE(w.WithBitBudget(bits, LayerType::kHeader, nullptr, [&] {
                   return WriteCodedU32(*c.coding, c.value, &w);
                 }).ok());
    BitReader r(w.GetSpan());
    EXPECT_EQ(ReadCodedU32(*c.coding, &r), c.value);
    EXPECT_EQ(r.Position(), bits);
  }
  // 32-bit ranges, including the top of the 32-bit range.
  const U32Coding wide(Val(0), Bits(32), BitsOffset(32, 1), Bits(8));
  for (uint32_t v : {0u, 255u, 256u, 0xFFFFFFFFu}) {
    BitWriter w(HeapMemoryManager());
    ASSERT_TRUE(w.WithBitBudget(34, LayerType::kHeader, nullptr, [&] {
                   return WriteCodedU32(wide, v, &w);
                 }).ok());
    BitReader r(w.GetSpan());
    EXPECT_EQ(ReadCodedU32(wide, &r), v);
  }
}

TEST(WriteFieldsTest, HalfFloatBits) {
  struct Case {
    float value;
    bool ok;
    uint32_t bits;
  };
  const Case cases[] = {
      {65504.0f, true, 0x7BFF},
      {-0.0f, true, 0x0000},  // below 2^-24: 16 zero bits, sign dropped
      {std::ldexp(1.0f, -24), true, 0x0001},
      {std::ldexp(1.0f, -14), true, 0x0400},
      {std::ldexp(1.0f, -25), true, 0x0000},
      {-std::ldexp(3.0f, -24), true, 0x8003},
      {1.0f, true, 0x3C00},
      {-2.0f, true, 0xC000},
      {1.0f + std::ldexp(1.0f, -11), true, 0x3C00},  // truncated, not rounded
      {65535.0f, true, 0x7BFF},  // converts, though the measure refuses it
      {65536.0f, false, 0},
      {std::numeric_limits<float>::infinity(), false, 0},
      {std::numeric_limits<float>::quiet_NaN(), false, 0},
  };
  for (const Case& c : cases) {
    uint32_t bits = 0xDEAD;
    EXPECT_EQ(FloatToHalfBits(c.value, &bits), c.ok) << c.value;
    if (c.ok) {
      EXPECT_EQ(bits, c.bits) << c.value;
    }
  }
  // Every finite half value survives float -> half -> float.
  for (uint32_t h = 0; h < 0x10000; ++h) {
    if (((h >> 10) & 0x1F) == 31) continue;
    float f = 0;
    ASSERT_TRUE(HalfBitsToFloat(h, &f));
    uint32_t back = 0;
    ASSERT_TRUE(FloatToHalfBits(f, &back));
    ASSERT_EQ(back, h == 0x8000 ? 0u : h) << std::hex << h;
  }
}

TEST(WriteFieldsTest, MeasureSetsAllDefaultFlags) {
  TestOuter outer;
  outer.all_default = false;
  outer.pair[0].all_default = false;
  uint64_t ext = 9, total = 0;
  ASSERT_TRUE(Bundle::MeasureEncoding(outer, &ext, &total).ok());
  EXPECT_EQ(total, 1u);
  EXPECT_EQ(ext, 0u);
  EXPECT_TRUE(outer.all_default);

  outer.kind = 1;
  ASSERT_TRUE(Bundle::MeasureEncoding(outer, &ext, &total).ok());
  EXPECT_FALSE(outer.all_default);
  EXPECT_TRUE(outer.pair[0].all_default);  // nested bundles get theirs too
  outer.pair[1].mode = 4;
  ASSERT_TRUE(Bundle::MeasureEncoding(outer, &ext, &total).ok());
  EXPECT_FALSE(outer.pair[1].all_default);

  BitWriter w(HeapMemoryManager());
  ASSERT_TRUE(Bundle::Write(outer, &w, LayerType::kHeader, nullptr).ok());
  EXPECT_EQ(w.BitsWritten(), total);
}

TEST(WriteFieldsTest, ExtensionMaskSizesLayout) {
  // Mask bits 0 and 3: the mask, the extension bit count, one zero size.
  TestInner inner;
  inner.extensions = 1 | 8;
  inner.ext_count = 2;
  inner.ext_words = {0x7FF, 0x001};
  uint64_t ext = 0, total = 0;
  ASSERT_TRUE(Bundle::MeasureEncoding(inner, &ext, &total).ok());
  const uint64_t ext_fields = 5 + 2 * 11;  // count (2 + 3 bits) and two words
  EXPECT_EQ(ext, ext_fields);
  BitWriter w(HeapMemoryManager());
  ASSERT_TRUE(Bundle::Write(inner, &w, LayerType::kHeader, nullptr).ok());
  EXPECT_EQ(w.BitsWritten(), total);

  BitReader r(w.GetSpan());
  EXPECT_EQ(r.Read(1), 0u);                 // all_default
  EXPECT_EQ(ReadCodedU32(kEnumCoding, &r), 0u);
  EXPECT_EQ(ReadCodedU64(&r), 9u);          // mask
  EXPECT_EQ(ReadCodedU64(&r), ext_fields);  // bits of extension 0
  EXPECT_EQ(r.Read(2), 0u);                 // extension 3: size 0
  const uint64_t start = r.Position();
  r.SkipLong(ext_fields);
  EXPECT_EQ(r.Position(), total);
  EXPECT_EQ(start + ext_fields, total);
}

TEST(WriteFieldsTest, UnencodableBundlesWriteNothing) {
  struct Case {
    const char* name;
    void (*change)(TestOuter*);
  };
  const Case cases[] = {
      {"fixed field too wide", [](TestOuter* o) { o->bits5 = 33; }},
      {"u32 not covered", [](TestOuter* o) { o->kind = 200; }},
      {"half above 65504", [](TestOuter* o) { o->gain = 65520.0f; }},
      {"half infinite",
       [](TestOuter* o) { o->gain = std::numeric_limits<float>::infinity(); }},
      {"half NaN",
       [](TestOuter* o) { o->gain = std::numeric_limits<float>::quiet_NaN(); }},
      {"two non-empty extension blocks",
       [](TestOuter* o) {
         o->pair[0].extensions = 2;
         o->extensions = 1;
       }},
      {"enum in a nested bundle",
       [](TestOuter* o) {
         o->has_inner = true;
         o->inner.mode = 1000;
       }},
  };
  for (const Case& c : cases) {
    TestOuter outer;
    outer.tail = 12;
    c.change(&outer);
    BitWriter w(HeapMemoryManager());
    AuxOut aux;
    EXPECT_TRUE(Bundle::Write(outer, &w, LayerType::kHeader, &aux).failed()) << c.name;
    EXPECT_EQ(w.BitsWritten(), 0u) << c.name;
    EXPECT_EQ(w.storage().size(), 0u) << c.name;
    EXPECT_EQ(aux.layer(LayerType::kHeader).total_bit_count, 0u) << c.name;
  }
}

TEST(WriteFieldsTest, WriteChargesItsLayer) {
  TestOuter outer;
  outer.count64 = 300;
  BitWriter w(HeapMemoryManager());
  AuxOut aux;
  ASSERT_TRUE(Bundle::Write(outer, &w, LayerType::kModularGlobal, &aux).ok());
  EXPECT_EQ(aux.layer(LayerType::kModularGlobal).total_bit_count, w.BitsWritten());
  ASSERT_TRUE(Bundle::Write(outer, &w, LayerType::kModularGlobal, &aux).ok());
  EXPECT_EQ(aux.layer(LayerType::kModularGlobal).total_bit_count, w.BitsWritten());
  // Two bundles back to back read back in order.
  BitReader r(w.GetSpan());
  TestOuter a, b;
  ASSERT_TRUE(Bundle::Decode(r, a).ok());
  ASSERT_TRUE(Bundle::Decode(r, b).ok());
  EXPECT_TRUE(SameOuter(a, outer));
  EXPECT_TRUE(SameOuter(b, outer));
}

TEST(WriteFieldsTest, SignatureAndIccSize) {
  BitWriter w(HeapMemoryManager());
  ASSERT_TRUE(WriteCodestreamSignature(&w, nullptr).ok());
  const std::vector<uint8_t> icc(1000, 7);
  AuxOut aux;
  ASSERT_TRUE(WriteICC(Span(icc.data(), icc.size()), &w, LayerType::kHeader, &aux).ok());
  const Span out = w.GetSpan();
  ASSERT_GE(out.size, 2u);
  EXPECT_EQ(out[0], 0xFF);
  EXPECT_EQ(out[1], 0x0A);
  BitReader r(out);
  r.Read(16);
  EXPECT_EQ(ReadCodedU64(&r), 1000u);
  EXPECT_EQ(aux.layer(LayerType::kHeader).total_bit_count, CodedU64Bits(1000));
}

TEST(WriteFieldsTest, CodestreamHeadersReadBack) {
  CodecMetadata written;
  written.size.small = true;
  written.size.ysize_div8_minus_1 = 15;
  written.size.ratio = 0;
  written.size.xsize_div8_minus_1 = 31;
  written.m.xyb_encoded = false;
  BitWriter w(HeapMemoryManager());
  ASSERT_TRUE(WriteCodestreamHeaders(&written, &w, nullptr).ok());
  EXPECT_FALSE(written.transform_data.xyb);  // copied from the metadata

  BitReader r(w.GetSpan());
  EXPECT_EQ(r.Read(16), 0x0AFFu);
  CodecMetadata read;
  ASSERT_TRUE(Bundle::Decode(r, read.size).ok());
  EXPECT_EQ(read.size.Width(), 256u);
  EXPECT_EQ(read.size.Height(), 128u);
  ASSERT_TRUE(Bundle::Decode(r, read.m).ok());
  EXPECT_FALSE(read.m.xyb_encoded);
  read.transform_data.xyb = read.m.xyb_encoded;
  ASSERT_TRUE(Bundle::Decode(r, read.transform_data).ok());
  EXPECT_EQ(r.Position(), w.BitsWritten());
}

}  // namespace
}  // namespace qov
