// Malformed, hand-crafted and truncated modular streams: run-length copies
// whose length is huge or wraps, a wrong final ANS state, bad trees and
// transform parameters, missing global trees, input that ends early. Each
// fails with the expected status (the fast paths exactly as the general
// walk), never reads out of bounds, and leaves no stale samples.
#include <gtest/gtest.h>

#include <string>

#include "lib/base/bits.h"
#include "lib/base/memory.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/write_fields.h"
#include "lib/modular/modular_stream.h"
#include "tests/bitstream/entropy_test_streams.h"
#include "tests/modular/modular_stream_writer_helpers.h"
#include "tests/modular/modular_test_helpers.h"
#include "tests/support/counting_manager.h"

namespace qov {
namespace {

using entropy_test::Bits;
using entropy_test::StreamPlan;
using entropy_test::TokenWriter;
using modular_test::Flatten;
using modular_test::Leaf;
using modular_test::Split;

// Appends the bits a BitWriter wrote.
void AppendWriter(Bits& bits, const BitWriter& writer) {
  const Span s = writer.GetSpan();
  for (uint64_t i = 0; i < writer.BitsWritten(); ++i) {
    bits.Put(1, (s.data[i / 8] >> (i % 8)) & 1);
  }
}

// Group header and tree written by the project's writers.
Bits HeaderAndTree(const std::vector<MaTreeNode>& tree,
                   const GroupHeader& header = GroupHeader()) {
  BitWriter writer(HeapMemoryManager());
  EXPECT_TRUE(
      Bundle::Write(header, &writer, LayerType::kModularGlobal, nullptr).ok());
  EXPECT_TRUE(modular_test::WriteTree(tree, {}, &writer).ok());
  Bits bits;
  AppendWriter(bits, writer);
  return bits;
}

// One literal cluster with a uniform 9-bit prefix code and an LZ77
// distance cluster whose only symbol is 1 with no bits: every copy repeats
// the previous value (a run-length stream).
StreamPlan RunLengthPlan() {
  StreamPlan plan;
  plan.context_map = {0, 1};
  plan.configs = {UintSplitConfig(4, 2, 0), UintSplitConfig(0, 1, 0, 0)};
  plan.use_prefix = true;
  plan.code_bits = {9, 0};
  plan.lz77 = true;
  plan.length_config = UintSplitConfig(0, 1, 0, 0);
  return plan;
}

void PutRunLengthDescription(Bits& w, const StreamPlan& plan) {
  w.Put(1, 1).Put(2, 0).Put(2, 0);  // LZ77, min symbol 224, min length 3
  entropy_test::PutSplitConfig(w, 8, plan.length_config);
  w.Put(1, 1).Put(2, 1).Put(1, 0).Put(1, 1);  // simple context map {0, 1}
  w.Put(1, 1);                                // prefix codes
  for (const UintSplitConfig& c : plan.configs) {
    entropy_test::PutSplitConfig(w, 15, c);
  }
  w.Put(1, 1).Put(4, 8).Put(8, 255);  // 512 literal symbols
  w.Put(1, 1).Put(4, 0);              // 2 distance symbols
  static constexpr uint8_t kOrder[18] = {1, 2, 3, 4, 0, 5, 17, 6, 16,
                                         7, 8, 9, 10, 11, 12, 13, 14, 15};
  w.Put(2, 0);
  for (uint8_t symbol : kOrder) w.Str(symbol == 9 ? "01" : "00");
  w.Put(2, 1).Put(2, 0).Put(1, 1);  // simple code: the one symbol 1
}

struct Result {
  Status status = OkStatus();
  std::vector<std::vector<int32_t>> samples;
  std::vector<ChannelPath> paths;
  uint64_t position = 0;
};

Result DecodeBytes(const std::vector<uint8_t>& bytes,
                   const std::vector<test::ChannelShape>& shapes, bool force,
                   bool allow_truncated = false, bool undo = true) {
  ModularImage image = test::MakeImage(shapes);
  for (size_t k = 0; k < image.channels.size(); ++k) {
    test::FillRandom(image, k, 7, 50, 60);
  }
  ModularSettings settings;
  settings.force_tree_path = force;
  Result r;
  settings.paths_taken = &r.paths;
  BitReader reader(Span(bytes.data(), bytes.size()));
  r.status = DecodeModularStream(reader, image, nullptr, 0, settings, undo,
                                 nullptr, nullptr, nullptr, allow_truncated);
  r.position = reader.Position();
  for (size_t k = 0; k < image.channels.size(); ++k) {
    r.samples.push_back(test::Samples(image, k));
  }
  return r;
}

void ExpectSameOutcome(const Result& a, const Result& b,
                       const std::string& name) {
  EXPECT_EQ(a.status.code(), b.status.code()) << name;
  EXPECT_TRUE(a.samples == b.samples) << name;
}

TEST(ModularRunLengthTest, HugeAndWrappedCopyLengthsMatchTheGeneralPath) {
  struct Case {
    const char* name;
    uint32_t length_value;  // hybrid value of the copy (length - 3)
    StatusValue expected;
  };
  const Case cases[] = {
      {"short copy", 4, StatusValue::Ok},
      // 2^31 + 2 + 3 - 1 does not fit a signed 32-bit count: the copy still
      // covers every later sample.
      {"copy beyond 2^31", 0x80000002u, StatusValue::Ok},
      {"copy of 2^32 - 1", 0xFFFFFFFCu, StatusValue::Ok},
      // 2^32 - 1 + 3 wraps: the symbol reader rejects it (reader past end).
      {"wrapped length", 0xFFFFFFFFu, StatusValue::Failed},
      {"wrapped length by one", 0xFFFFFFFDu, StatusValue::Failed},
  };
  const std::vector<test::ChannelShape> shapes = {{9, 4}, {5, 3}};
  for (const Case& c : cases) {
    const StreamPlan plan = RunLengthPlan();
    Bits bits = HeaderAndTree(Flatten(Leaf(5)));
    PutRunLengthDescription(bits, plan);
    TokenWriter tokens(plan);
    tokens.Value(0, 6);
    tokens.Value(0, 9);
    tokens.Copy(0, c.length_value + 3, 1);  // the writer subtracts 3
    for (int i = 0; i < 60; ++i) tokens.Value(0, 2);
    tokens.Finish(bits);
    const std::vector<uint8_t> bytes = bits.Bytes();
    const Result fast = DecodeBytes(bytes, shapes, false);
    const Result general = DecodeBytes(bytes, shapes, true);
    EXPECT_EQ(fast.status.code(), c.expected) << c.name;
    ExpectSameOutcome(fast, general, c.name);
    if (c.expected == StatusValue::Ok) {
      ASSERT_EQ(fast.paths.size(), 2u);
      EXPECT_EQ(fast.paths[0], ChannelPath::kRunLength) << c.name;
      EXPECT_EQ(fast.position, general.position) << c.name;
    }
    const Result fast_t = DecodeBytes(bytes, shapes, false, true);
    const Result general_t = DecodeBytes(bytes, shapes, true, true);
    ExpectSameOutcome(fast_t, general_t, std::string(c.name) + " truncated");
  }
}

TEST(ModularRunLengthTest, RunContinuesIntoTheNextChannel) {
  const StreamPlan plan = RunLengthPlan();
  Bits bits = HeaderAndTree(Flatten(Leaf(5)));
  PutRunLengthDescription(bits, plan);
  TokenWriter tokens(plan);
  for (int i = 0; i < 5; ++i) tokens.Value(0, 2);  // residual 1
  tokens.Copy(0, 4, 1);  // the last sample of channel 0 and three more
  tokens.Value(0, 0);
  tokens.Value(0, 0);
  tokens.Finish(bits);
  const std::vector<test::ChannelShape> shapes = {{3, 2}, {5, 1}};
  const Result fast = DecodeBytes(bits.Bytes(), shapes, false);
  const Result general = DecodeBytes(bits.Bytes(), shapes, true);
  ASSERT_TRUE(fast.status.ok());
  ExpectSameOutcome(fast, general, "cross");
  // Clamped gradient plus residual 1 throughout channel 0.
  EXPECT_EQ(fast.samples[0], (std::vector<int32_t>{1, 2, 3, 2, 3, 4}));
  EXPECT_EQ(fast.samples[1], (std::vector<int32_t>{1, 2, 3, 3, 3}));
}

TEST(ModularStreamFaultTest, WrongFinalAnsStateFails) {
  StreamPlan plan = entropy_test::ByteStreamPlan(1, false, false);
  for (uint32_t end_state : {kAnsSignature, kAnsSignature + 1}) {
    Bits bits = HeaderAndTree(Flatten(Leaf(1)));
    entropy_test::PutDescription(bits, plan);
    TokenWriter tokens(plan);
    tokens.end_state = end_state;
    for (int i = 0; i < 12; ++i) tokens.Value(0, static_cast<uint32_t>(i));
    tokens.Finish(bits);
    for (bool force : {false, true}) {
      const Result r = DecodeBytes(bits.Bytes(), {{4, 3}}, force);
      EXPECT_EQ(r.status.code(), end_state == kAnsSignature
                                     ? StatusValue::Ok
                                     : StatusValue::Failed);
    }
  }
}

// A single-symbol ANS code whose initial state is below 2^16: the first
// token refills 16 bits even though the symbol is certain. The constant
// fill must not skip that refill (the final state would then be wrong).
TEST(ModularStreamFaultTest, CertainSymbolWithLowInitialState) {
  StreamPlan plan = entropy_test::ByteStreamPlan(1, false, false);
  plan.flat_symbols = {1};
  Bits bits = HeaderAndTree(Flatten(Leaf(0, 4, 1)));
  entropy_test::PutDescription(bits, plan);
  TokenWriter tokens(plan);
  tokens.end_state = kAnsSignature >> 16;  // no refill on the way back
  for (int i = 0; i < 6; ++i) tokens.Value(0, 0);
  tokens.Finish(bits);
  bits.Put(16, 0);  // the refill: the state becomes 0x130000
  const std::vector<uint8_t> bytes = bits.Bytes();
  const Result fast = DecodeBytes(bytes, {{3, 2}}, false);
  const Result general = DecodeBytes(bytes, {{3, 2}}, true);
  EXPECT_TRUE(general.status.ok());
  ExpectSameOutcome(fast, general, "low state");
  EXPECT_EQ(fast.position, general.position);
  EXPECT_EQ(fast.samples[0], std::vector<int32_t>(6, 4));
  // With a normal state the same channel reads no bits at all.
  Bits normal = HeaderAndTree(Flatten(Leaf(0, 4, 1)));
  entropy_test::PutDescription(normal, plan);
  TokenWriter plain(plan);
  for (int i = 0; i < 6; ++i) plain.Value(0, 0);
  plain.Finish(normal);
  const Result constant = DecodeBytes(normal.Bytes(), {{3, 2}}, false);
  ASSERT_TRUE(constant.status.ok());
  ASSERT_EQ(constant.paths.size(), 1u);
  EXPECT_EQ(constant.paths[0], ChannelPath::kConstant);
  EXPECT_EQ(constant.samples[0], std::vector<int32_t>(6, 4));
}

// The gradient table reads property 9 as the tree sees it, a 32-bit value:
// at sample (1, 1) W + N - NW = 2^31 wraps to -2^31, which goes right at
// the root (split 0); clamping the 64-bit sum would go left. The two
// leaves' clusters use codes of different lengths, so a wrong choice shows.
TEST(ModularStreamFaultTest, GradientTableSeesTheWrappedProperty) {
  StreamPlan plan;
  plan.context_map = {0, 1};
  plan.configs = {UintSplitConfig(4, 0, 0), UintSplitConfig(4, 0, 0)};
  plan.use_prefix = true;
  plan.code_bits = {6, 7};
  Bits bits = HeaderAndTree(Flatten(Split(9, 0, Leaf(5), Leaf(5))));
  entropy_test::PutDescription(bits, plan);
  TokenWriter tokens(plan);
  // Samples 0, 1 / INT32_MAX, 5; every sample takes the right leaf.
  tokens.Value(1, PackSigned(0));
  tokens.Value(1, PackSigned(1));
  tokens.Value(1, PackSigned(INT32_MAX));
  tokens.Value(1, PackSigned(5 - INT32_MAX));
  tokens.Finish(bits);
  const std::vector<uint8_t> bytes = bits.Bytes();
  const Result fast = DecodeBytes(bytes, {{2, 2}}, false);
  const Result general = DecodeBytes(bytes, {{2, 2}}, true);
  ASSERT_TRUE(general.status.ok());
  EXPECT_EQ(general.samples[0], (std::vector<int32_t>{0, 1, INT32_MAX, 5}));
  ExpectSameOutcome(fast, general, "wrapped property 9");
  ASSERT_EQ(fast.paths.size(), 1u);
  EXPECT_EQ(fast.paths[0], ChannelPath::kGradientTable);
}

std::vector<uint8_t> SimpleStream(const GroupHeader& header,
                                  std::vector<modular_test::TestChannel>& c,
                                  const std::vector<MaTreeNode>& tree) {
  modular_test::StreamSpec spec;
  spec.header = header;
  spec.tree = tree;
  BitWriter writer(HeapMemoryManager());
  EXPECT_TRUE(modular_test::WriteModularStream(spec, c, &writer).ok());
  return modular_test::WrittenBytes(writer);
}

TEST(ModularStreamFaultTest, TruncatedStreamsFailAndZeroFill) {
  auto channels = modular_test::RandomChannels({{17, 9}, {17, 9}, {4, 4}}, 2, -99, 99);
  GroupHeader header;
  const auto original = channels;
  const std::vector<uint8_t> bytes =
      SimpleStream(header, channels, Flatten(Split(9, 0, Leaf(5), Leaf(1))));
  const std::vector<test::ChannelShape> shapes = {{17, 9}, {17, 9}, {4, 4}};
  const Result whole = DecodeBytes(bytes, shapes, false);
  ASSERT_TRUE(whole.status.ok());
  for (size_t n = 0; n < bytes.size(); ++n) {
    const std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + n);
    const Result r = DecodeBytes(cut, shapes, false);
    ASSERT_FALSE(r.status.ok()) << n;
    if (r.status.code() == StatusValue::NeedMoreBytes) {
      // Only inside the group header, which here is its first 4 bits.
      EXPECT_EQ(n, 0u);
      continue;
    }
    // Channels not decoded hold zeros, never the caller's old samples.
    for (size_t k = 0; k < r.samples.size(); ++k) {
      for (int32_t v : r.samples[k]) {
        ASSERT_TRUE(v < 50 || v > 60 || whole.samples[k] == r.samples[k]) << n;
      }
    }
    // Allowed truncation: the tree and codes must still be whole (their
    // over-reads fail); inside the channel data the answer is "more".
    const Result t = DecodeBytes(cut, shapes, false, true);
    EXPECT_FALSE(t.status.ok()) << n;
    if (n + 8 >= bytes.size()) {
      EXPECT_EQ(t.status.code(), StatusValue::NeedMoreBytes) << n;
    }
  }
}

// Allowed truncation with a squeeze: the channels the squeeze creates are
// new planes; whatever the allocator left in them must not reach the
// output (they are zero-filled when the input ends before them).
TEST(ModularStreamFaultTest, TruncationWithTransformsIsDeterministic) {
  const std::vector<test::ChannelShape> shapes = {{14, 9}, {14, 9}};
  ModularImage coded_shapes = test::MakeImage(shapes);
  Transform squeeze;
  squeeze.kind = TransformKind::Squeeze;
  coded_shapes.transforms = {squeeze};
  ASSERT_TRUE(coded_shapes.transforms[0].ApplyToChannelList(coded_shapes).ok());
  std::vector<modular_test::TestChannel> coded;
  for (const auto& s : test::Shapes(coded_shapes)) {
    modular_test::TestChannel c;
    c.width = static_cast<uint32_t>(s.width);
    c.height = static_cast<uint32_t>(s.height);
    c.hshift = s.hshift;
    c.vshift = s.vshift;
    c.samples.assign(size_t{c.width} * c.height, 3);
    coded.push_back(c);
  }
  GroupHeader header;
  header.transforms = {squeeze};
  const std::vector<uint8_t> bytes =
      SimpleStream(header, coded, Flatten(Split(2, 2, Leaf(5), Leaf(1))));
  for (size_t n = 1; n < bytes.size(); ++n) {
    std::vector<std::vector<int32_t>> results[2];
    StatusValue codes[2];
    for (int i = 0; i < 2; ++i) {
      test::CountingManager manager(i == 0 ? 0x11 : 0x77);
      ModularImage image = test::MakeImage(shapes);
      image.memory_manager = &manager.manager;
      const std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + n);
      BitReader reader(Span(cut.data(), cut.size()));
      codes[i] = DecodeModularStream(reader, image, nullptr, 0,
                                     ModularSettings(), true, nullptr, nullptr,
                                     nullptr, true)
                     .code();
      for (size_t k = 0; k < image.channels.size(); ++k) {
        results[i].push_back(test::Samples(image, k));
      }
    }
    EXPECT_EQ(codes[0], codes[1]) << n;
    EXPECT_TRUE(results[0] == results[1]) << n;
  }
}

TEST(ModularStreamFaultTest, MalformedPartsFail) {
  auto channels = modular_test::RandomChannels({{6, 5}, {6, 5}, {6, 5}}, 2, -9, 9);
  const std::vector<test::ChannelShape> shapes = {{6, 5}, {6, 5}, {6, 5}};
  struct Case {
    const char* name;
    GroupHeader header;
  };
  std::vector<Case> cases;
  {
    Case c{"rct over missing channels", GroupHeader()};
    c.header.transforms.resize(1);
    c.header.transforms[0].kind = TransformKind::Rct;
    c.header.transforms[0].first_channel = 1;
    cases.push_back(c);
  }
  {
    Case c{"palette over missing channels", GroupHeader()};
    c.header.transforms.resize(1);
    c.header.transforms[0].kind = TransformKind::Palette;
    c.header.transforms[0].first_channel = 2;
    c.header.transforms[0].channel_count = 3;
    cases.push_back(c);
  }
  {
    Case c{"squeeze over missing channels", GroupHeader()};
    c.header.transforms.resize(1);
    c.header.transforms[0].kind = TransformKind::Squeeze;
    c.header.transforms[0].steps.resize(1);
    c.header.transforms[0].steps[0].first_channel = 2;
    c.header.transforms[0].steps[0].channel_count = 5;
    cases.push_back(c);
  }
  {
    Case c{"global tree without one", GroupHeader()};
    c.header.use_global_tree = true;
    cases.push_back(c);
  }
  for (const Case& c : cases) {
    BitWriter writer(HeapMemoryManager());
    ASSERT_TRUE(Bundle::Write(c.header, &writer, LayerType::kModularGlobal,
                              nullptr)
                    .ok());
    // Room for a tree that is never read.
    writer.WithBitBudget(64, LayerType::kModularGlobal, nullptr, [&] {
      writer.PutBits(56, 0);
      return OkStatus();
    }).IgnoreError();
    const Result r = DecodeBytes(modular_test::WrittenBytes(writer), shapes, false);
    EXPECT_EQ(r.status.code(), StatusValue::Failed) << c.name;
  }
  // Out-of-range transform fields cannot be written: corrupt their bits.
  // RCT selector 42: kind 0, first channel 0, selector 6 bits + 10 = 32.
  Bits rct;
  rct.Put(1, 0).Put(1, 1).Put(2, 1);          // tree flag, wp default, 1 transform
  rct.Put(2, 0).Put(2, 0).Put(3, 0);          // RCT, first channel 0
  rct.Put(2, 3).Put(6, 32);                   // selector 42
  EXPECT_EQ(DecodeBytes(rct.Bytes(), shapes, false).status.code(),
            StatusValue::Failed);
  Bits kind3;
  kind3.Put(1, 0).Put(1, 1).Put(2, 1).Put(2, 3);
  EXPECT_EQ(DecodeBytes(kind3.Bytes(), shapes, false).status.code(),
            StatusValue::Failed);
  // A bad tree: predictor 14.
  Bits bad_tree;
  bad_tree.Put(1, 0).Put(1, 1).Put(2, 0);
  BitWriter tw(HeapMemoryManager());
  ASSERT_TRUE(modular_test::WriteEntropyCoded(
                  {Token(1, 0), Token(2, 14), Token(3, 0), Token(4, 0), Token(5, 0)},
                  6, {}, &tw)
                  .ok());
  AppendWriter(bad_tree, tw);
  for (int i = 0; i < 64; ++i) bad_tree.Put(1, 0);
  EXPECT_EQ(DecodeBytes(bad_tree.Bytes(), shapes, false).status.code(),
            StatusValue::Failed);
}

TEST(ModularStreamFaultTest, ChannelSizesAgainstTheGroupDimension) {
  ModularSettings settings;
  settings.group_dimension = 64;
  struct Case {
    test::ChannelShape shape;
    bool ok;
  };
  const Case cases[] = {
      {{64, 64, 9, 9}, true},    // fits in a group: not tested
      {{100, 5, 7, 7}, true},    // DC channel: 512 >> 7 = 4
      {{100, 5, 9, 10}, false},  // 512 >> 10 = 0
      {{100, 5, 6, 0}, true},    // 64 >> 6 = 1
      {{100, 5, 0, 7}, false},   // 64 >> 7 = 0
      {{100, 0, 0, 7}, true},    // empty channels are not tested
  };
  for (const Case& c : cases) {
    ModularImage image = test::MakeImage({{3, 3}, c.shape});
    EXPECT_EQ(ValidateChannelSizes(image, settings).ok(), c.ok)
        << c.shape.hshift << " " << c.shape.vshift;
  }
}

TEST(ModularStreamFaultTest, EmptyImagesAndSizeLimits) {
  // No channels: nothing is read, not even the header.
  {
    ModularImage image(HeapMemoryManager());
    image.error = false;
    const uint8_t junk[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    BitReader reader(Span(junk, 4));
    EXPECT_TRUE(DecodeModularStream(reader, image, nullptr, 0, ModularSettings(),
                                    true, nullptr, nullptr, nullptr, false)
                    .ok());
    EXPECT_EQ(reader.Position(), 0u);
  }
  // Channels of zero size: the group header only (4 bits).
  {
    Bits b;
    b.Put(1, 0).Put(1, 1).Put(2, 0).Put(28, 0xFFFFFFF);
    const std::vector<uint8_t> bytes = b.Bytes();
    const Result r = DecodeBytes(bytes, {{0, 5}, {7, 0}}, false);
    EXPECT_TRUE(r.status.ok());
    EXPECT_EQ(r.position, 4u);
  }
  // Channels above the size limit are neither decoded nor zero-filled.
  {
    auto channels = modular_test::RandomChannels({{6, 5}, {40, 2}}, 4, -9, 9);
    modular_test::StreamSpec spec;
    spec.tree = Flatten(Leaf(1));
    spec.channel_size_limit = 32;
    BitWriter writer(HeapMemoryManager());
    ASSERT_TRUE(modular_test::WriteModularStream(spec, channels, &writer).ok());
    ModularImage image = test::MakeImage({{6, 5}, {40, 2}});
    test::FillRandom(image, 1, 7, 50, 60);
    const std::vector<int32_t> before = test::Samples(image, 1);
    ModularSettings settings;
    settings.channel_size_limit = 32;
    const std::vector<uint8_t> bytes = modular_test::WrittenBytes(writer);
    BitReader reader(Span(bytes.data(), bytes.size()));
    ASSERT_TRUE(DecodeModularStream(reader, image, nullptr, 0, settings, true,
                                    nullptr, nullptr, nullptr, false)
                    .ok());
    EXPECT_EQ(test::Samples(image, 0), channels[0].samples);
    EXPECT_EQ(test::Samples(image, 1), before);
  }
}

}  // namespace
}  // namespace qov
