// Streams with transforms: the group header carries them, channels are
// read at their coded shapes and the transforms are undone with the
// image's own list (squeeze keeps its default steps there). Expected images
// come from undoing the same transforms on the coded samples directly, and
// for RCT and a plain palette also from their formulas.
#include <gtest/gtest.h>

#include <string>

#include "lib/base/memory.h"
#include "lib/encode/bit_writer.h"
#include "lib/modular/modular_stream.h"
#include "tests/modular/modular_stream_writer_helpers.h"
#include "tests/modular/modular_test_helpers.h"

namespace qov {
namespace {

using modular_test::Flatten;
using modular_test::Leaf;
using modular_test::Split;
using modular_test::TestChannel;

Transform Rct(uint32_t first, uint32_t selector) {
  Transform t;
  t.kind = TransformKind::Rct;
  t.first_channel = first;
  t.rct_selector = selector;
  return t;
}

Transform Palette(uint32_t first, uint32_t count, uint32_t colours,
                  uint32_t deltas, uint32_t predictor) {
  Transform t;
  t.kind = TransformKind::Palette;
  t.first_channel = first;
  t.channel_count = count;
  t.colour_count = colours;
  t.delta_count = deltas;
  t.palette_predictor = predictor;
  return t;
}

Transform Squeeze(std::vector<SqueezeParams> steps = {}) {
  Transform t;
  t.kind = TransformKind::Squeeze;
  t.steps = std::move(steps);
  return t;
}

SqueezeParams Step(bool horizontal, bool in_place, uint32_t first,
                   uint32_t count) {
  SqueezeParams s;
  s.horizontal = horizontal;
  s.in_place = in_place;
  s.first_channel = first;
  s.channel_count = count;
  return s;
}

struct Outcome {
  std::vector<std::vector<int32_t>> samples;
  std::vector<test::ChannelShape> shapes;
};

Outcome Collect(const ModularImage& image) {
  Outcome o;
  for (size_t k = 0; k < image.channels.size(); ++k) {
    o.samples.push_back(test::Samples(image, k));
  }
  o.shapes = test::Shapes(image);
  return o;
}

// Builds coded channels for `shapes` under `header`, writes the stream,
// decodes it (fast and forced general) and compares with the direct undo.
// Returns the decoded outcome.
Outcome RoundTrip(const GroupHeader& header,
                  const std::vector<test::ChannelShape>& shapes,
                  const std::string& name, int32_t lo, int32_t hi,
                  uint32_t seed = 1) {
  ModularImage reference = test::MakeImage(shapes);
  reference.transforms = header.transforms;
  for (Transform& t : reference.transforms) {
    EXPECT_TRUE(t.ApplyToChannelList(reference).ok()) << name;
  }
  std::vector<TestChannel> coded;
  for (size_t k = 0; k < reference.channels.size(); ++k) {
    test::FillRandom(reference, k, seed + static_cast<uint32_t>(k), lo, hi);
    const ModularChannel& c = reference.channels[k];
    TestChannel t;
    t.width = static_cast<uint32_t>(c.width);
    t.height = static_cast<uint32_t>(c.height);
    t.hshift = c.hshift;
    t.vshift = c.vshift;
    t.samples = test::Samples(reference, k);
    coded.push_back(std::move(t));
  }
  modular_test::StreamSpec spec;
  spec.header = header;
  spec.tree = Flatten(Split(9, 0, Leaf(5), Split(2, 1, Leaf(6), Leaf(1))));
  spec.meta_channel_count = reference.meta_channel_count;
  BitWriter writer(HeapMemoryManager());
  EXPECT_TRUE(modular_test::WriteModularStream(spec, coded, &writer).ok())
      << name;
  reference.RevertTransforms(header.wp_header, nullptr);
  EXPECT_FALSE(reference.error) << name;
  const Outcome expected = Collect(reference);

  const std::vector<uint8_t> bytes = modular_test::WrittenBytes(writer);
  Outcome got;
  for (bool force : {false, true}) {
    ModularImage image = test::MakeImage(shapes);
    ModularSettings settings;
    settings.force_tree_path = force;
    BitReader reader(Span(bytes.data(), bytes.size()));
    GroupHeader read;
    EXPECT_TRUE(DecodeModularStream(reader, image, &read, 0, settings, true,
                                    nullptr, nullptr, nullptr, false)
                    .ok())
        << name;
    EXPECT_EQ(read.transforms.size(), header.transforms.size()) << name;
    EXPECT_TRUE(image.transforms.empty()) << name;
    got = Collect(image);
    EXPECT_TRUE(got.shapes == expected.shapes) << name;
    EXPECT_TRUE(got.samples == expected.samples) << name;
  }
  return got;
}

GroupHeader WithTransforms(std::vector<Transform> transforms) {
  GroupHeader h;
  h.transforms = std::move(transforms);
  return h;
}

TEST(ModularStreamTransformTest, RctSelectors) {
  const std::vector<test::ChannelShape> shapes = {{9, 5}, {9, 5}, {9, 5}, {9, 5}};
  for (uint32_t selector : {0u, 1u, 5u, 6u, 7u, 20u, 34u, 41u}) {
    RoundTrip(WithTransforms({Rct(1, selector)}), shapes,
              "rct " + std::to_string(selector), -200, 200);
  }
  // Kind 6 (permutation 0) by its formula: t = Y - (Cg >> 1), G = Cg + t,
  // B = t - (Co >> 1), R = B + Co.
  GroupHeader header = WithTransforms({Rct(0, 6)});
  ModularImage coded = test::MakeImage({{4, 2}, {4, 2}, {4, 2}});
  const Outcome o = RoundTrip(header, {{4, 2}, {4, 2}, {4, 2}}, "ycocg", -50, 50, 9);
  for (size_t k = 0; k < 3; ++k) test::FillRandom(coded, k, 9 + static_cast<uint32_t>(k), -50, 50);
  const auto y = test::Samples(coded, 0), co = test::Samples(coded, 1),
             cg = test::Samples(coded, 2);
  for (size_t i = 0; i < y.size(); ++i) {
    const int32_t t = y[i] - (cg[i] >> 1);
    const int32_t b = t - (co[i] >> 1);
    EXPECT_EQ(o.samples[1][i], cg[i] + t);
    EXPECT_EQ(o.samples[2][i], b);
    EXPECT_EQ(o.samples[0][i], b + co[i]);
  }
}

TEST(ModularStreamTransformTest, PalettePlainColours) {
  // Three channels of 6 x 4 replaced by one index channel and a 3 x 5
  // palette: the decoded channels are the palette's colours.
  const std::vector<test::ChannelShape> shapes = {{6, 4}, {6, 4}, {6, 4}};
  const GroupHeader header = WithTransforms({Palette(0, 3, 5, 0, 0)});
  const Outcome o = RoundTrip(header, shapes, "plain palette", 0, 4, 3);
  ModularImage coded = test::MakeImage({{5, 3, -1, -1}, {6, 4}}, 1);
  test::FillRandom(coded, 0, 3, 0, 4);
  test::FillRandom(coded, 1, 4, 0, 4);
  const auto palette = test::Samples(coded, 0);
  const auto index = test::Samples(coded, 1);
  for (size_t c = 0; c < 3; ++c) {
    for (size_t i = 0; i < index.size(); ++i) {
      EXPECT_EQ(o.samples[c][i], palette[c * 5 + static_cast<size_t>(index[i])]);
    }
  }
}

TEST(ModularStreamTransformTest, PaletteDeltasAndImplicitColours) {
  const std::vector<test::ChannelShape> shapes = {{11, 7}, {11, 7}, {11, 7}, {11, 7}};
  for (uint32_t predictor : {0u, 5u, 6u, 13u}) {
    // Indices from -3 (built-in deltas) past the palette (implicit colours).
    RoundTrip(WithTransforms({Palette(1, 3, 4, 2, predictor)}), shapes,
              "delta palette " + std::to_string(predictor), -3, 40);
  }
  RoundTrip(WithTransforms({Palette(0, 1, 3, 0, 0)}), {{12, 3}}, "one channel",
            -2, 300);
}

TEST(ModularStreamTransformTest, SqueezeDefaultAndExplicitSteps) {
  const std::vector<test::ChannelShape> shapes = {{13, 9}, {13, 9}, {13, 9}};
  RoundTrip(WithTransforms({Squeeze()}), shapes, "default squeeze", -100, 100);
  RoundTrip(WithTransforms({Squeeze()}), {{1, 1}, {2, 1}, {1, 2}},
            "default squeeze, tiny", -100, 100);
  RoundTrip(WithTransforms({Squeeze({Step(true, false, 0, 2),
                                      Step(false, true, 1, 2),
                                      Step(true, true, 0, 1)})}),
            shapes, "explicit squeeze", -100, 100);
}

TEST(ModularStreamTransformTest, Chains) {
  const std::vector<test::ChannelShape> shapes = {{16, 10}, {16, 10}, {16, 10}, {16, 10}};
  RoundTrip(WithTransforms({Rct(0, 6), Squeeze()}), shapes, "rct squeeze", -60, 60);
  RoundTrip(WithTransforms({Palette(0, 3, 8, 1, 5), Squeeze()}), shapes,
            "palette squeeze", -1, 12);
  RoundTrip(WithTransforms({Rct(1, 13), Palette(1, 2, 6, 0, 0), Rct(1, 2)}),
            shapes, "rct palette rct", 0, 9);
  RoundTrip(WithTransforms({Squeeze({Step(false, false, 0, 4)}), Rct(0, 3)}),
            shapes, "squeeze rct", -60, 60);
}

TEST(ModularStreamTransformTest, GlobalTreeIsSharedAcrossStreams) {
  // Two streams decoded with one global tree and code set.
  auto a = modular_test::RandomChannels({{10, 6}, {10, 6}}, 1, -30, 30);
  modular_test::StreamSpec spec;
  spec.header.use_global_tree = true;
  spec.tree = Flatten(Split(1, 0, Leaf(5), Split(9, 3, Leaf(1), Leaf(2))));
  BitWriter global(HeapMemoryManager()), stream(HeapMemoryManager());
  ASSERT_TRUE(modular_test::WriteModularStream(spec, a, &stream, &global).ok());
  const std::vector<uint8_t> g = modular_test::WrittenBytes(global);
  const std::vector<uint8_t> s = modular_test::WrittenBytes(stream);
  BitReader greader(Span(g.data(), g.size()));
  MaTree tree;
  ASSERT_TRUE(ReadMaTree(HeapMemoryManager(), greader, tree, 1000).ok());
  EntropyCodeSet codes;
  std::vector<uint8_t> map;
  ASSERT_TRUE(ReadEntropyCodeSet(HeapMemoryManager(), greader,
                                 (tree.size() + 1) / 2, &codes, map, false)
                  .ok());
  ModularImage image = test::MakeImage({{10, 6}, {10, 6}});
  BitReader reader(Span(s.data(), s.size()));
  ASSERT_TRUE(DecodeModularStream(reader, image, nullptr, 0, ModularSettings(),
                                  true, &tree, &codes, &map, false)
                  .ok());
  EXPECT_EQ(test::Samples(image, 0), a[0].samples);
  EXPECT_EQ(test::Samples(image, 1), a[1].samples);
  // The same bytes without the global tree fail.
  BitReader again(Span(s.data(), s.size()));
  EXPECT_EQ(DecodeModularStream(again, image, nullptr, 0, ModularSettings(),
                                true, nullptr, nullptr, nullptr, false)
                .code(),
            StatusValue::Failed);
}

}  // namespace
}  // namespace qov
