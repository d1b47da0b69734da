// Transform bundles (reading, limits, round trip) and the channel-list step
// of each kind: channel lists, shifts, sizes and meta counts.
#include "lib/modular/transform.h"

#include <cstdint>
#include <vector>

#include "gtest/gtest.h"
#include "lib/modular/modular_image.h"
#include "lib/modular/palette.h"
#include "lib/modular/squeeze.h"
#include "tests/modular/modular_test_helpers.h"
#include "tests/support/bit_sequence.h"
#include "tests/support/counting_manager.h"

namespace qov {
namespace {

using test::BitSequence;
using test::ChannelShape;

const U32Coding kKind(Val(0), Val(1), Val(2), Val(3));
const U32Coding kChannel(Bits(3), BitsOffset(6, 8), BitsOffset(10, 72),
                         BitsOffset(13, 1096));
const U32Coding kSelector(Val(6), Bits(2), BitsOffset(4, 2),
                          BitsOffset(6, 10));
const U32Coding kPaletteChannels(Val(1), Val(3), Val(4), BitsOffset(13, 1));
const U32Coding kColours(Bits(8), BitsOffset(10, 256), BitsOffset(12, 1280),
                         BitsOffset(16, 5376));
const U32Coding kDeltas(Val(0), BitsOffset(8, 1), BitsOffset(10, 257),
                        BitsOffset(16, 1281));
const U32Coding kStepCount(Val(0), BitsOffset(4, 1), BitsOffset(6, 9),
                           BitsOffset(8, 41));
const U32Coding kStepChannels(Val(1), Val(2), Val(3), BitsOffset(4, 4));

TEST(TransformBundleTest, DefaultsAfterConstruction) {
  Transform t;
  EXPECT_EQ(t.kind, TransformKind::Invalid);
  EXPECT_EQ(t.first_channel, 0u);
  EXPECT_EQ(t.rct_selector, 6u);
  EXPECT_EQ(t.channel_count, 3u);
  EXPECT_EQ(t.colour_count, 256u);
  EXPECT_EQ(t.delta_count, 0u);
  EXPECT_EQ(t.palette_predictor, 0u);
  EXPECT_TRUE(t.steps.empty());
  SqueezeParams s;
  EXPECT_FALSE(s.horizontal);
  EXPECT_FALSE(s.in_place);
  EXPECT_EQ(s.first_channel, 0u);
  EXPECT_EQ(s.channel_count, 2u);
}

TEST(TransformBundleTest, ReadsEachKind) {
  {
    // Squeeze without steps: 4 bits.
    Transform t;
    uint64_t bits = 0;
    ASSERT_TRUE(test::DecodeBundle(BitSequence().U32(kKind, 2).U32(kStepCount, 0).Bytes(), &t, &bits).ok());
    EXPECT_EQ(t.kind, TransformKind::Squeeze);
    EXPECT_TRUE(t.steps.empty());
    EXPECT_EQ(bits, 4u);
  }
  {
    // RCT at channel 0 with the default selector: 9 bits.
    Transform t;
    uint64_t bits = 0;
    ASSERT_TRUE(test::DecodeBundle(BitSequence().U32(kKind, 0).U32(kChannel, 0).U32(kSelector, 6).Bytes(), &t, &bits).ok());
    EXPECT_EQ(t.kind, TransformKind::Rct);
    EXPECT_EQ(t.rct_selector, 6u);
    EXPECT_EQ(bits, 9u);
  }
  {
    Transform t;
    const auto bytes = BitSequence()
                           .U32(kKind, 1)
                           .U32(kChannel, 1100)
                           .U32(kPaletteChannels, 4)
                           .U32(kColours, 70911)
                           .U32(kDeltas, 66816)
                           .Bits(4, 13)
                           .Bytes();
    ASSERT_TRUE(test::DecodeBundle(bytes, &t).ok());
    EXPECT_EQ(t.kind, TransformKind::Palette);
    EXPECT_EQ(t.first_channel, 1100u);
    EXPECT_EQ(t.channel_count, 4u);
    EXPECT_EQ(t.colour_count, 70911u);
    EXPECT_EQ(t.delta_count, 66816u);
    EXPECT_EQ(t.palette_predictor, 13u);
  }
  {
    Transform t;
    BitSequence s;
    s.U32(kKind, 2).U32(kStepCount, 2);
    s.Bool(true).Bool(false).U32(kChannel, 3).U32(kStepChannels, 19);
    s.Bool(false).Bool(true).U32(kChannel, 0).U32(kStepChannels, 1);
    ASSERT_TRUE(test::DecodeBundle(s.Bytes(), &t).ok());
    ASSERT_EQ(t.steps.size(), 2u);
    EXPECT_TRUE(t.steps[0].horizontal);
    EXPECT_FALSE(t.steps[0].in_place);
    EXPECT_EQ(t.steps[0].first_channel, 3u);
    EXPECT_EQ(t.steps[0].channel_count, 19u);
    EXPECT_FALSE(t.steps[1].horizontal);
    EXPECT_TRUE(t.steps[1].in_place);
    EXPECT_EQ(t.steps[1].channel_count, 1u);
  }
}

TEST(TransformBundleTest, RejectsOutOfRangeFields) {
  struct Case {
    const char* name;
    BitSequence bits;
    StatusValue expected;
  };
  const Case kCases[] = {
      {"kind 3", BitSequence().U32(kKind, 3), StatusValue::Failed},
      {"selector 41", BitSequence().U32(kKind, 0).U32(kChannel, 0).U32(kSelector, 41), StatusValue::Ok},
      {"selector 42", BitSequence().U32(kKind, 0).U32(kChannel, 0).U32(kSelector, 42), StatusValue::Failed},
      {"predictor 14",
       BitSequence().U32(kKind, 1).U32(kChannel, 0).U32(kPaletteChannels, 1).U32(kColours, 2).U32(kDeltas, 0).Bits(4, 14),
       StatusValue::Failed},
      {"truncated palette", BitSequence().U32(kKind, 1).U32(kChannel, 0), StatusValue::NeedMoreBytes},
  };
  for (const Case& c : kCases) {
    Transform t;
    std::vector<uint8_t> bytes = c.bits.Bytes();
    EXPECT_EQ(test::DecodeBundle(bytes, &t).code(), c.expected) << c.name;
  }
  // A kind 3 fails before any further field: nothing past 2 bits is read.
  Transform t;
  uint64_t bits = 0;
  EXPECT_TRUE(test::DecodeBundle(BitSequence().U32(kKind, 3).Bits(8, 0).Bytes(), &t, &bits).failed());
  EXPECT_EQ(bits, 2u);
}

TEST(TransformBundleTest, WriteReadRoundTrip) {
  Transform t;
  t.kind = TransformKind::Squeeze;
  t.steps.resize(3);
  t.steps[0].horizontal = true;
  t.steps[1].first_channel = 9287;
  t.steps[2].channel_count = 7;
  t.steps[2].in_place = true;
  const std::vector<uint8_t> bytes = test::WriteBundle(t);
  Transform back;
  ASSERT_TRUE(test::DecodeBundle(bytes, &back).ok());
  ASSERT_EQ(back.steps.size(), 3u);
  EXPECT_TRUE(back.steps[0].horizontal);
  EXPECT_EQ(back.steps[1].first_channel, 9287u);
  EXPECT_EQ(back.steps[2].channel_count, 7u);
  EXPECT_TRUE(back.steps[2].in_place);
}

TEST(CheckMatchingChannelsTest, Cases) {
  // Channels: meta 0, then 4x4, 4x4, 4x4 (shift 1), 2x4.
  ModularImage image =
      test::MakeImage({{5, 1, -1, -1}, {4, 4}, {4, 4}, {4, 4, 1, 0}, {2, 4}}, 1);
  struct Case {
    uint32_t first, last;
    bool ok;
  };
  const Case kCases[] = {
      {0, 0, true}, {1, 1, true}, {4, 4, true}, {1, 2, true},
      {0, 1, false},   // straddles the meta channels
      {1, 3, false},   // shifts differ
      {2, 1, false},   // last < first
      {4, 5, false},   // past the list
      {5, 5, false},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(CheckMatchingChannels(image, c.first, c.last).ok(), c.ok)
        << c.first << ".." << c.last;
  }
}

TEST(RctApplyTest, ChannelCheck) {
  struct Case {
    std::vector<ChannelShape> shapes;
    uint64_t meta;
    uint32_t first;
    bool ok;
  };
  const Case kCases[] = {
      {{{4, 4}, {4, 4}, {4, 4}}, 0, 0, true},
      {{{4, 4}, {4, 4}, {4, 4}}, 0, 1, false},         // past the list
      {{{4, 4}, {4, 4}, {4, 3}}, 0, 0, false},         // size differs
      {{{4, 4}, {4, 4}, {4, 4, 0, 1}}, 0, 0, false},   // shift differs
      {{{4, 1}, {4, 4}, {4, 4}, {4, 4}}, 1, 0, false}, // straddles meta
      {{{4, 1}, {4, 4}, {4, 4}, {4, 4}}, 1, 1, true},
      {{{4, 4}, {4, 4}, {4, 4}}, 0, 0xFFFFFFFEu, false},
  };
  for (const Case& c : kCases) {
    ModularImage image = test::MakeImage(c.shapes, c.meta);
    Transform t;
    t.kind = TransformKind::Rct;
    t.first_channel = c.first;
    EXPECT_EQ(t.ApplyToChannelList(image).ok(), c.ok) << c.first;
    EXPECT_EQ(image.channels.size(), c.shapes.size());  // never changes
  }
  ModularImage image = test::MakeImage({{1, 1}, {1, 1}, {1, 1}});
  Transform invalid;
  EXPECT_TRUE(invalid.ApplyToChannelList(image).failed());
}

TEST(PaletteApplyTest, ChannelLists) {
  {
    // Three ordinary channels become the palette and one index channel.
    ModularImage image = test::MakeImage({{6, 5}, {6, 5}, {6, 5}, {3, 3}});
    Transform t;
    t.kind = TransformKind::Palette;
    t.first_channel = 0;
    t.channel_count = 3;
    t.colour_count = 10;
    t.delta_count = 2;
    ASSERT_TRUE(t.ApplyToChannelList(image).ok());
    const std::vector<ChannelShape> want = {{12, 3, -1, -1}, {6, 5}, {3, 3}};
    EXPECT_EQ(test::Shapes(image), want) << test::ShapesString(test::Shapes(image));
    EXPECT_EQ(image.meta_channel_count, 1u);
    EXPECT_EQ(image.channels[1].component, 0);
    EXPECT_EQ(image.channels[2].component, 3);
  }
  {
    // first = last: only the palette (height 1) is inserted.
    ModularImage image = test::MakeImage({{6, 5}, {6, 5}});
    ASSERT_TRUE(PaletteApplyToChannelList(image, 1, 1, 4, 0).ok());
    const std::vector<ChannelShape> want = {{4, 1, -1, -1}, {6, 5}, {6, 5}};
    EXPECT_EQ(test::Shapes(image), want);
    EXPECT_EQ(image.meta_channel_count, 1u);
  }
  {
    // Over meta channels: m + 2 - count.
    ModularImage image =
        test::MakeImage({{6, 1, -1, -1}, {6, 1, -1, -1}, {4, 4}}, 2);
    ASSERT_TRUE(PaletteApplyToChannelList(image, 0, 1, 3, 0).ok());
    EXPECT_EQ(image.meta_channel_count, 2u);
    EXPECT_EQ(image.channels.size(), 3u);
    EXPECT_EQ(image.channels[0].width, 3u);
    EXPECT_EQ(image.channels[0].height, 2u);
  }
}

TEST(PaletteApplyTest, Failures) {
  struct Case {
    const char* name;
    std::vector<ChannelShape> shapes;
    uint64_t meta;
    uint32_t first, count, colours, deltas;
  };
  const Case kCases[] = {
      {"past the list", {{4, 4}, {4, 4}}, 0, 1, 2, 4, 0},
      {"sizes differ", {{4, 4}, {4, 3}}, 0, 0, 2, 4, 0},
      {"straddles meta", {{4, 1, -1, -1}, {4, 4}}, 1, 0, 2, 4, 0},
      {"first far out", {{4, 4}}, 0, 9287, 1, 4, 0},
      {"wraps", {{4, 4}}, 0, 0xFFFFFFFFu, 2, 4, 0},
      // 137727 entries x 9 rows on 9 channels of 1 x 1: 1.2 million
      // samples for 9 pixels.
      {"palette far larger than the image",
       std::vector<ChannelShape>(9, ChannelShape{1, 1}), 0, 0, 9, 70911, 66816},
  };
  for (const Case& c : kCases) {
    test::CountingManager counting;
    ModularImage image = test::MakeImage(c.shapes, c.meta);
    image.memory_manager = &counting.manager;
    Transform t;
    t.kind = TransformKind::Palette;
    t.first_channel = c.first;
    t.channel_count = c.count;
    t.colour_count = c.colours;
    t.delta_count = c.deltas;
    EXPECT_TRUE(t.ApplyToChannelList(image).failed()) << c.name;
    EXPECT_EQ(counting.allocs, 0) << c.name;
  }
}

TEST(PaletteApplyTest, SizeBound) {
  // The largest palette fits a 3-channel image of any size, and a large
  // one fits when the image has that many samples.
  ModularImage small = test::MakeImage({{1, 1}, {1, 1}, {1, 1}});
  EXPECT_TRUE(PaletteApplyToChannelList(small, 0, 2, 70911, 66816).ok());
  std::vector<ChannelShape> many(9, ChannelShape{400, 400});
  ModularImage large = test::MakeImage(many);
  EXPECT_TRUE(PaletteApplyToChannelList(large, 0, 8, 70911, 66816).ok());
  ModularImage just_below = test::MakeImage(std::vector<ChannelShape>(9, {300, 300}));
  EXPECT_TRUE(PaletteApplyToChannelList(just_below, 0, 8, 70911, 66816).failed());
}

}  // namespace
}  // namespace qov
