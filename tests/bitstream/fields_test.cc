// Field-bundle framework: defaults, all-default detection, decoding with
// over-read detection, extension blocks (including blocks at several nesting
// levels in one decode), nesting limit, and round trips through the
// project's own bundle writer.
#include "lib/bitstream/fields.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "lib/base/memory.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/write_fields.h"
#include "tests/bitstream/test_bundles.h"

namespace qov {
namespace {

using test::SameInner;
using test::SameOuter;
using test::TestChain;
using test::TestInner;
using test::TestOuter;

// Bytes in a heap block of exactly their size, so that the address
// sanitizer catches any read beyond them.
struct ExactInput {
  explicit ExactInput(const std::vector<uint8_t>& bytes, size_t size)
      : data(new uint8_t[size ? size : 1]), size(size) {
    if (size) std::memcpy(data.get(), bytes.data(), size);
  }
  explicit ExactInput(const std::vector<uint8_t>& bytes)
      : ExactInput(bytes, bytes.size()) {}
  Span span() const { return Span(data.get(), size); }
  std::unique_ptr<uint8_t[]> data;
  size_t size;
};

struct Encoded {
  std::vector<uint8_t> bytes;
  uint64_t bits = 0;
};

Encoded Encode(const Fields& bundle) {
  BitWriter writer(HeapMemoryManager());
  EXPECT_TRUE(Bundle::Write(bundle, &writer, LayerType::kHeader, nullptr).ok());
  const Span span = writer.GetSpan();
  return {std::vector<uint8_t>(span.data, span.data + span.size),
          writer.BitsWritten()};
}

TestOuter MakeOuter(uint32_t kind, uint64_t count64, float gain, uint32_t bits5,
                    const std::string& name, uint32_t tail) {
  TestOuter o;
  o.kind = kind;
  o.count64 = count64;
  o.gain = gain;
  o.bits5 = bits5;
  o.SetName(name);
  o.tail = tail;
  return o;
}

void SetExtensionWords(TestInner* inner, uint64_t mask, uint32_t count) {
  inner->extensions = mask;
  inner->ext_count = count;
  inner->ext_words.resize(count);
  for (uint32_t i = 0; i < count; ++i) inner->ext_words[i] = (i * 577 + 3) & 0x7FF;
}

TEST(FieldsTest, ConstructionHoldsDefaults) {
  TestOuter outer;
  EXPECT_TRUE(Bundle::HoldsDefaults(outer));
  EXPECT_EQ(outer.bits5, 3u);
  EXPECT_EQ(outer.tail, 7u);
  EXPECT_EQ(outer.gain, 1.0f);
  ASSERT_EQ(outer.pair.size(), 2u);
  EXPECT_TRUE(Bundle::HoldsDefaults(outer.pair[1]));
}

TEST(FieldsTest, HoldsDefaultsComparesEveryVisitedField) {
  struct Case {
    const char* name;
    void (*change)(TestOuter*);
    bool holds_defaults;
  };
  const Case cases[] = {
      {"unchanged", [](TestOuter*) {}, true},
      {"half off by 5e-7", [](TestOuter* o) { o->gain = 1.0f + 5e-7f; }, true},
      {"half off by 1e-5", [](TestOuter* o) { o->gain = 1.00001f; }, false},
      {"enum", [](TestOuter* o) { o->kind = 1; }, false},
      {"u64", [](TestOuter* o) { o->count64 = 1; }, false},
      {"offset field", [](TestOuter* o) { o->bits5 = 4; }, false},
      {"flag", [](TestOuter* o) { o->has_inner = true; }, false},
      {"nested behind gate", [](TestOuter* o) { o->inner.mode = 1; }, true},
      {"nested visible",
       [](TestOuter* o) {
         o->has_inner = true;
         o->inner.mode = 1;
       },
       false},
      {"list element", [](TestOuter* o) { o->pair[1].mode = 3; }, false},
      {"extension mask", [](TestOuter* o) { o->extensions = 2; }, false},
  };
  for (const Case& c : cases) {
    TestOuter outer;
    c.change(&outer);
    EXPECT_EQ(Bundle::HoldsDefaults(outer), c.holds_defaults) << c.name;
  }
}

TEST(FieldsTest, ResetToDefaultsLeavesNestedBundlesAlone) {
  TestOuter outer = MakeOuter(2, 99, 3.0f, 9, "ab", 1);
  outer.inner.mode = 5;
  outer.pair[0].mode = 4;
  Bundle::ResetToDefaults(outer);
  EXPECT_EQ(outer.kind, 0u);
  EXPECT_EQ(outer.count64, 0u);
  EXPECT_EQ(outer.gain, 1.0f);
  EXPECT_EQ(outer.bits5, 3u);
  EXPECT_EQ(outer.tail, 7u);
  EXPECT_EQ(outer.inner.mode, 5u);
  EXPECT_EQ(outer.pair[0].mode, 4u);
}

TEST(FieldsTest, AllDefaultBitConsumesOneBitAndResetsNestedBundles) {
  const std::vector<uint8_t> bytes = {0xFF};  // all_default = 1, then junk
  ExactInput input(bytes);
  BitReader reader(input.span());
  // (A name is resized only while decoding, so the test starts without one.)
  TestOuter outer = MakeOuter(2, 99, 3.0f, 9, "", 1);
  outer.has_inner = true;
  outer.inner.mode = 5;
  outer.pair[1].mode = 4;
  ASSERT_TRUE(Bundle::Decode(reader, outer).ok());
  EXPECT_EQ(reader.Position(), 1u);
  EXPECT_TRUE(outer.all_default);
  EXPECT_TRUE(SameOuter(outer, TestOuter()));
  EXPECT_EQ(outer.name_length, 0u);
}

// Every case is written with the bundle writer and read back; every proper
// prefix of the encoding must answer NeedMoreBytes without reading outside it.
TEST(FieldsTest, RoundTripsAndTruncatedInputsNeedMoreBytes) {
  std::vector<TestOuter> cases;
  cases.push_back(TestOuter());
  cases.push_back(MakeOuter(1, 1, 1.0f, 3, "", 7));
  cases.push_back(MakeOuter(3, 16, -0.25f, 1, "x", 0));
  cases.push_back(MakeOuter(2, 17, 65504.0f, 32, "hello", 255));
  cases.push_back(MakeOuter(0, 272, 6.1035156e-05f, 17, std::string(15, 'q'), 256));
  cases.push_back(MakeOuter(0, 273, -0.0f, 2, std::string(16, 'r'), 65791));
  cases.push_back(MakeOuter(1, 4096, 0.3125f, 31, std::string(47, 's'), 65792));
  cases.push_back(
      MakeOuter(0, ~uint64_t{0}, 2.0f, 5, std::string(200, 'z'), 0xFFFFFFFFu));
  cases.push_back(MakeOuter(0, uint64_t{1} << 60, 1.0f, 3, "", 7));
  {
    TestOuter o = MakeOuter(1, 5, 1.5f, 4, "in", 9);
    o.has_inner = true;
    o.inner.mode = 2;
    o.inner.sharp = false;
    o.inner.strength = 0.75f;
    cases.push_back(o);
  }
  // Extension blocks of several sizes (the one non-empty block of a tree).
  for (uint32_t count : {0u, 1u, 7u, 8u, 40u, 300u}) {
    TestOuter o = MakeOuter(1, 1000, 1.0f, 3, "ext", 12);
    o.has_inner = true;
    o.inner.mode = 3;
    SetExtensionWords(&o.inner, count == 0 ? 2 : 1 | 4 | 32, count);
    cases.push_back(o);
  }
  {
    TestOuter o = MakeOuter(0, 0, 1.0f, 3, "", 7);
    o.pair[1].mode = 20;
    SetExtensionWords(&o.pair[0], 1, 3);
    cases.push_back(o);
  }
  {
    TestOuter o = MakeOuter(0, 3, 1.0f, 3, "", 7);
    o.extensions = 8;  // empty outer block with a non-zero mask
    cases.push_back(o);
  }

  for (size_t i = 0; i < cases.size(); ++i) {
    const Encoded enc = Encode(cases[i]);
    ASSERT_FALSE(enc.bytes.empty());
    {
      ExactInput input(enc.bytes);
      BitReader reader(input.span());
      TestOuter decoded;
      ASSERT_TRUE(Bundle::Decode(reader, decoded).ok()) << "case " << i;
      EXPECT_TRUE(SameOuter(decoded, cases[i])) << "case " << i;
      EXPECT_EQ(reader.Position(), enc.bits) << "case " << i;
      EXPECT_TRUE(reader.Close().ok());
      BitReader again(input.span());
      TestOuter scratch;
      EXPECT_TRUE(Bundle::HasEnoughData(again, scratch)) << "case " << i;
    }
    for (size_t size = 0; size < enc.bytes.size(); ++size) {
      ExactInput input(enc.bytes, size);
      BitReader reader(input.span());
      TestOuter decoded;
      EXPECT_TRUE(Bundle::Decode(reader, decoded).need_more_bytes())
          << "case " << i << " size " << size;
      BitReader again(input.span());
      TestOuter scratch;
      EXPECT_FALSE(Bundle::HasEnoughData(again, scratch))
          << "case " << i << " size " << size;
    }
  }
}

// Bits: all_default 0, kind = selector 2 (4 bits + 2) with the given bits.
std::vector<uint8_t> KindPrefix(uint32_t four_bits) {
  return {static_cast<uint8_t>(0 | (2 << 1) | (four_bits << 3))};
}

TEST(FieldsTest, InvalidValueFailsButCountsAsEnoughData) {
  // kind = 5 + ... : 3 + 2 = 5 > 3 fails validity inside one byte.
  const std::vector<uint8_t> bytes = KindPrefix(3);
  ExactInput input(bytes);
  BitReader reader(input.span());
  TestOuter outer;
  EXPECT_TRUE(Bundle::Decode(reader, outer).failed());
  BitReader again(input.span());
  TestOuter scratch;
  EXPECT_TRUE(Bundle::HasEnoughData(again, scratch));

  // kind = 2 is valid, and the next field does not fit in the byte.
  const std::vector<uint8_t> short_bytes = KindPrefix(0);
  ExactInput short_input(short_bytes);
  BitReader short_reader(short_input.span());
  EXPECT_TRUE(Bundle::Decode(short_reader, outer).need_more_bytes());
  BitReader short_again(short_input.span());
  EXPECT_FALSE(Bundle::HasEnoughData(short_again, scratch));
}

// Writes the bits of a half float into `bytes` at bit `pos`.
void PatchBits(std::vector<uint8_t>* bytes, uint64_t pos, size_t n, uint32_t v) {
  for (size_t i = 0; i < n; ++i, ++pos) {
    uint8_t& b = (*bytes)[pos / 8];
    b = static_cast<uint8_t>((b & ~(1u << (pos % 8))) | (((v >> i) & 1) << (pos % 8)));
  }
}

TEST(FieldsTest, InfiniteHalfFailsOnlyAfterTheWholeListing) {
  const TestOuter original = MakeOuter(0, 0, 2.0f, 3, "later", 4321);
  Encoded enc = Encode(original);
  // all_default (1) + kind selector (2) + count64 selector (2) = bit 5.
  for (uint32_t bad : {0x7C00u, 0xFC00u, 0x7E01u}) {
    std::vector<uint8_t> bytes = enc.bytes;
    PatchBits(&bytes, 5, 16, bad);
    ExactInput input(bytes);
    BitReader reader(input.span());
    TestOuter decoded;
    decoded.gain = -7.0f;
    EXPECT_TRUE(Bundle::Decode(reader, decoded).failed());
    EXPECT_EQ(decoded.gain, -7.0f);  // left unchanged
    EXPECT_EQ(decoded.name, "later");
    EXPECT_EQ(decoded.tail, 4321u);
    EXPECT_EQ(reader.Position(), enc.bits);
    BitReader again(input.span());
    TestOuter scratch;
    EXPECT_TRUE(Bundle::HasEnoughData(again, scratch));
  }
}

// Bit packing for hand-made streams.
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

TEST(FieldsTest, ExtensionSizesAreReadPerMaskBitAndSkipped) {
  struct Case {
    uint64_t size0, size5;
  };
  for (const Case& c : {Case{20, 0}, Case{12, 8}, Case{0, 20}, Case{0, 0}}) {
    BitPacker b;
    b.Put(1, 0);              // all_default
    b.Put(2, 0);              // mode 0
    b.Put(2, 2), b.Put(8, 33 - 17);  // mask: bits 0 and 5
    for (uint64_t size : {c.size0, c.size5}) {
      if (size == 0) {
        b.Put(2, 0);
      } else if (size <= 16) {
        b.Put(2, 1), b.Put(4, size - 1);
      } else {
        b.Put(2, 2), b.Put(8, size - 17);
      }
    }
    const uint64_t start = b.pos;
    b.Put(c.size0 + c.size5, ~uint64_t{0});  // unknown extension bits
    b.Put(8, 0x3C);                          // what follows the bundle
    ExactInput input(b.bytes);
    BitReader reader(input.span());
    TestInner inner;
    inner.knows_extension_fields = false;
    ASSERT_TRUE(Bundle::Decode(reader, inner).ok());
    EXPECT_EQ(inner.extensions, 33u);
    EXPECT_EQ(reader.Position(), start + c.size0 + c.size5);
    EXPECT_EQ(reader.Read(8), 0x3Cu);
  }
}

TEST(FieldsTest, ExtensionBlockBeyondTheInputNeedsMoreBytes) {
  BitPacker b;
  b.Put(1, 0);
  b.Put(2, 0);
  b.Put(2, 1), b.Put(4, 0);       // mask 1
  b.Put(2, 2), b.Put(8, 200);     // 217 extension bits, far beyond the input
  ExactInput input(b.bytes);
  BitReader reader(input.span());
  TestInner inner;
  inner.knows_extension_fields = false;
  EXPECT_TRUE(Bundle::Decode(reader, inner).need_more_bytes());
}

TEST(FieldsTest, ReadingBeyondDeclaredExtensionBitsFails) {
  // The block declares 3 bits but its fields take 2 + 11 bits.
  BitPacker b;
  b.Put(1, 0);
  b.Put(2, 0);
  b.Put(2, 1), b.Put(4, 0);  // mask 1
  b.Put(2, 1), b.Put(4, 2);  // size 3
  b.Put(2, 1), b.Put(3, 1);  // ext_count 1
  b.Put(11, 5);
  ExactInput input(b.bytes);
  BitReader reader(input.span());
  TestInner inner;
  EXPECT_TRUE(Bundle::Decode(reader, inner).failed());
}

TEST(FieldsTest, ExtensionSizesOverflowingFail) {
  BitPacker b;
  b.Put(1, 0);
  b.Put(2, 0);
  b.Put(2, 1), b.Put(4, 2);  // mask 3 (bits 0 and 1)
  for (int k = 0; k < 2; ++k) {  // two sizes of 2^63
    b.Put(2, 3), b.Put(12, 0);
    for (int g = 0; g < 6; ++g) b.Put(1, 1), b.Put(8, g == 5 ? 0 : 0);
    b.Put(1, 1), b.Put(4, 8);
  }
  ExactInput input(b.bytes);
  BitReader reader(input.span());
  TestInner inner;
  inner.knows_extension_fields = false;
  EXPECT_TRUE(Bundle::Decode(reader, inner).failed());
}

// Writes a TestOuter bundle by bundle, so that several of its nested bundles
// may carry non-empty extension blocks (the bundle writer allows one per
// written tree).
Encoded EncodeBundleByBundle(const TestOuter& o) {
  BitWriter w(HeapMemoryManager());
  auto budget = [&](auto&& f) {
    EXPECT_TRUE(w.WithBitBudget(4096, LayerType::kHeader, nullptr, f).ok());
  };
  budget([&]() -> Status {
    w.PutBits(1, 0);
    QOV_RETURN_IF_ERROR(WriteCodedU32(kEnumCoding, o.kind, &w));
    QOV_RETURN_IF_ERROR(WriteCodedU64(o.count64, &w));
    uint32_t half = 0;
    EXPECT_TRUE(FloatToHalfBits(o.gain, &half));
    w.PutBits(16, half);
    w.PutBits(5, o.bits5 - 1);
    w.PutBits(1, o.has_inner);
    return OkStatus();
  });
  if (o.has_inner) {
    EXPECT_TRUE(Bundle::Write(o.inner, &w, LayerType::kHeader, nullptr).ok());
  }
  budget([&]() -> Status {
    QOV_RETURN_IF_ERROR(WriteCodedU32(
        U32Coding(Val(0), Bits(4), BitsOffset(5, 16), BitsOffset(10, 48)),
        o.name_length, &w));
    for (char c : o.name) w.PutBits(8, static_cast<uint8_t>(c));
    return OkStatus();
  });
  for (const TestInner& p : o.pair) {
    EXPECT_TRUE(Bundle::Write(p, &w, LayerType::kHeader, nullptr).ok());
  }
  budget([&]() -> Status {
    QOV_RETURN_IF_ERROR(WriteCodedU32(
        U32Coding(Val(7), Bits(8), BitsOffset(16, 256), Bits(32)), o.tail, &w));
    QOV_RETURN_IF_ERROR(WriteCodedU64(o.extensions, &w));
    return OkStatus();
  });
  const Span span = w.GetSpan();
  return {std::vector<uint8_t>(span.data, span.data + span.size), w.BitsWritten()};
}

// Nested bundles with non-empty extension blocks must not disturb the empty
// (or other) extension blocks of the bundles around or beside them.
TEST(FieldsTest, ExtensionBlocksAtSeveralNestingLevels) {
  struct Case {
    const char* name;
    uint32_t inner_words, pair0_words, pair1_words;
    uint64_t outer_mask;
  };
  const Case cases[] = {
      {"nested block, empty outer block", 5, 0, 0, 0},
      {"two sibling blocks", 0, 3, 9, 0},
      {"three blocks", 2, 1, 30, 0},
  };
  for (const Case& c : cases) {
    TestOuter o = MakeOuter(1, 77, 0.5f, 6, "nest", 4242);
    o.has_inner = true;
    o.inner.mode = 2;
    if (c.inner_words) SetExtensionWords(&o.inner, 1, c.inner_words);
    if (c.pair0_words) SetExtensionWords(&o.pair[0], 1 | 2, c.pair0_words);
    if (c.pair1_words) SetExtensionWords(&o.pair[1], 1 | 16, c.pair1_words);
    o.extensions = c.outer_mask;
    const Encoded enc = EncodeBundleByBundle(o);
    for (bool knows : {true, false}) {
      ExactInput input(enc.bytes);
      BitReader reader(input.span());
      TestOuter decoded;
      decoded.inner.knows_extension_fields = knows;
      for (TestInner& p : decoded.pair) p.knows_extension_fields = knows;
      ASSERT_TRUE(Bundle::Decode(reader, decoded).ok())
          << c.name << (knows ? " (reading extension fields)" : " (skipping)");
      EXPECT_TRUE(SameOuter(decoded, o)) << c.name;
      EXPECT_EQ(decoded.tail, 4242u) << c.name;
      EXPECT_EQ(reader.Position(), enc.bits) << c.name;
    }
  }
}

TEST(FieldsTest, NestingDepthLimit) {
  // The top bundle plus 63 nested levels decode; one more level fails.
  const std::vector<uint8_t> zeros(64, 0);
  for (int links : {62, 63, 64, 70}) {
    ExactInput input(zeros);
    BitReader reader(input.span());
    TestChain chain(links);
    const Status status = Bundle::Decode(reader, chain);
    EXPECT_EQ(status.ok(), links <= 63) << links;
    EXPECT_EQ(status.failed(), links > 63) << links;
    uint64_t ext = 0, total = 0;
    EXPECT_EQ(Bundle::MeasureEncoding(chain, &ext, &total).ok(), links <= 63);
  }
}

TEST(FieldsTest, RequireBits) {
  const std::vector<uint8_t> bytes = {0x00, 0x00};
  ExactInput input(bytes);
  BitReader reader(input.span());
  reader.Read(3);
  ReadVisitor visitor(&reader);
  EXPECT_TRUE(RequireBits(&visitor, 13).ok());
  EXPECT_TRUE(RequireBits(&visitor, 14).need_more_bytes());
  EXPECT_TRUE(RequireBits(&visitor, ~uint64_t{0}).need_more_bytes());
  reader.Read(20);  // past the end
  EXPECT_TRUE(RequireBits(&visitor, 0).need_more_bytes());
  AllDefaultVisitor other;
  EXPECT_TRUE(RequireBits(&other, 0).failed());
  SetDefaultVisitor defaults;
  EXPECT_TRUE(RequireBits(&defaults, 0).failed());
}

// Arbitrary bytes of every small length: the decode answers one of the three
// codes and never reads outside its input (checked by the sanitizer build).
TEST(FieldsTest, ArbitraryInputNeverReadsOutside) {
  std::mt19937 rng(1234);
  for (int iter = 0; iter < 3000; ++iter) {
    const size_t size = rng() % 40;
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    ExactInput input(bytes);
    BitReader reader(input.span());
    TestOuter outer;
    outer.inner.knows_extension_fields = (iter & 1) != 0;
    const Status status = Bundle::Decode(reader, outer);
    EXPECT_TRUE(status.ok() || status.failed() || status.need_more_bytes());
    if (status.ok()) {
      EXPECT_LE(reader.Position(), reader.InputBits());
    }
  }
}

}  // namespace
}  // namespace qov
