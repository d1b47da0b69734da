// Transform lists undone last to first on hand-made images: chains of RCT,
// palette and squeeze against test-side forward transforms, the channel
// lists between the steps, and failures in the middle of a list.
#include <cstdint>
#include <vector>

#include "gtest/gtest.h"
#include "lib/modular/modular_image.h"
#include "lib/modular/transform.h"
#include "lib/modular/weighted_predictor.h"
#include "tests/modular/forward_transforms_helpers.h"
#include "tests/modular/modular_test_helpers.h"

namespace qov {
namespace {

using test::ChannelShape;

Transform Rct(uint32_t first, uint32_t selector) {
  Transform t;
  t.kind = TransformKind::Rct;
  t.first_channel = first;
  t.rct_selector = selector;
  return t;
}

Transform Palette(uint32_t first, uint32_t count, uint32_t colours) {
  Transform t;
  t.kind = TransformKind::Palette;
  t.first_channel = first;
  t.channel_count = count;
  t.colour_count = colours;
  t.delta_count = 0;
  return t;
}

Transform Squeeze(std::vector<SqueezeParams> steps = {}) {
  Transform t;
  t.kind = TransformKind::Squeeze;
  t.steps = std::move(steps);
  return t;
}

// RCT over three channels, then a palette over the three coded channels,
// then the default squeeze over the index channel. The forward runs in list
// order on the test side; the decoder applies the list to the channel shapes
// and undoes it from the last transform.
TEST(TransformChainTest, RctPaletteSqueeze) {
  const uint64_t w = 23, h = 17;
  ModularImage original = test::MakeImage({{w, h}, {w, h}, {w, h}});
  original.bit_depth = 10;
  const int32_t colours[5][3] = {
      {0, 0, 0}, {1023, 512, 7}, {300, 300, 300}, {12, 900, 450}, {5, 6, 7}};
  std::vector<int32_t> chosen(w * h);
  for (size_t i = 0; i < chosen.size(); ++i) {
    chosen[i] = static_cast<int32_t>((i * i + 3 * i) % 5);
  }
  for (int c = 0; c < 3; ++c) {
    std::vector<int32_t> v(w * h);
    for (size_t i = 0; i < v.size(); ++i) v[i] = colours[chosen[i]][c];
    test::Fill(original, c, v);
  }

  // Forward RCT (YCoCg-R, identity order).
  int32_t coded_colours[5][3];
  for (int k = 0; k < 5; ++k) {
    int64_t out[3] = {colours[k][0], colours[k][1], colours[k][2]}, in[3];
    test::ForwardRctKind(6, out, in);
    for (int c = 0; c < 3; ++c) coded_colours[k][c] = static_cast<int32_t>(in[c]);
  }
  // Forward palette: one index channel (the chosen colour) and the palette.
  std::vector<test::Plain> plain;
  std::vector<int32_t> palette_flat;
  for (int c = 0; c < 3; ++c) {
    for (int k = 0; k < 5; ++k) palette_flat.push_back(coded_colours[k][c]);
  }
  plain.push_back({{5, 3, -1, -1}, -1, palette_flat});
  plain.push_back({{w, h, 0, 0}, 0, chosen});
  uint64_t meta = 1;
  // Forward squeeze with the default steps the decoder will derive.
  Transform squeeze = Squeeze();
  {
    ModularImage shapes_only = test::FromPlain(plain, meta);
    ASSERT_TRUE(squeeze.ApplyToChannelList(shapes_only).ok());
  }
  ASSERT_FALSE(squeeze.steps.empty());
  test::ForwardSqueeze(plain, meta, squeeze.steps);

  // Decoder side: shapes from the list, in list order.
  ModularImage image = test::MakeImage({{w, h}, {w, h}, {w, h}});
  image.bit_depth = 10;
  image.transforms = {Rct(0, 6), Palette(0, 3, 5), Squeeze()};
  for (Transform& t : image.transforms) {
    ASSERT_TRUE(t.ApplyToChannelList(image).ok());
  }
  // The image's own copy of the squeeze transform keeps the default steps.
  EXPECT_EQ(image.transforms[2].steps.size(), squeeze.steps.size());
  ModularImage coded = test::FromPlain(plain, meta);
  ASSERT_EQ(test::Shapes(image), test::Shapes(coded))
      << test::ShapesString(test::Shapes(image));
  EXPECT_EQ(image.meta_channel_count, meta);
  for (size_t c = 0; c < coded.channels.size(); ++c) {
    test::Fill(image, c, test::Samples(coded, c));
  }

  image.RevertTransforms(weighted::Header(), nullptr);
  ASSERT_FALSE(image.error);
  EXPECT_TRUE(image.transforms.empty());
  ASSERT_EQ(test::Shapes(image), test::Shapes(original));
  EXPECT_EQ(image.meta_channel_count, 0u);
  for (size_t c = 0; c < 3; ++c) {
    EXPECT_EQ(test::Samples(image, c), test::Samples(original, c)) << c;
  }
}

// Two squeeze transforms and an RCT: shapes after each channel-list step,
// then the undo of the whole list on threads.
TEST(TransformChainTest, SqueezeTwiceThenRct) {
  const uint64_t w = 19, h = 12;
  ModularImage original = test::MakeImage({{w, h}, {w, h}, {w, h}});
  for (size_t c = 0; c < 3; ++c) test::FillRandom(original, c, 40 + c, -300, 300);
  const std::vector<SqueezeParams> first = {
      [] { SqueezeParams s; s.horizontal = true; s.in_place = true; s.first_channel = 0; s.channel_count = 3; return s; }()};
  const std::vector<SqueezeParams> second = {
      [] { SqueezeParams s; s.horizontal = false; s.in_place = false; s.first_channel = 0; s.channel_count = 3; return s; }()};

  std::vector<test::Plain> plain = test::ToPlain(original);
  uint64_t meta = 0;
  test::ForwardSqueeze(plain, meta, first);
  test::ForwardSqueeze(plain, meta, second);
  // Forward RCT (kind 1, permutation 2) over the three averages.
  const uint32_t selector = 2 * 7 + 1;
  const uint32_t p = 2;
  const uint32_t perm[3] = {p % 3, (p + p / 3 + 1) % 3, (p + 2 - p / 3) % 3};
  std::vector<test::Plain> rct = plain;
  for (size_t i = 0; i < plain[0].v.size(); ++i) {
    int64_t out[3], in[3];
    for (int j = 0; j < 3; ++j) out[j] = plain[perm[j]].v[i];
    test::ForwardRctKind(1, out, in);
    for (int j = 0; j < 3; ++j) rct[j].v[i] = static_cast<int32_t>(in[j]);
  }

  ModularImage image = test::MakeImage({{w, h}, {w, h}, {w, h}});
  image.transforms = {Squeeze(first), Squeeze(second), Rct(0, selector)};
  const std::vector<std::vector<ChannelShape>> kAfter = {
      {{10, 12, 1, 0}, {10, 12, 1, 0}, {10, 12, 1, 0},
       {9, 12, 1, 0}, {9, 12, 1, 0}, {9, 12, 1, 0}},
      {{10, 6, 1, 1}, {10, 6, 1, 1}, {10, 6, 1, 1},
       {9, 12, 1, 0}, {9, 12, 1, 0}, {9, 12, 1, 0},
       {10, 6, 1, 1}, {10, 6, 1, 1}, {10, 6, 1, 1}},
  };
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(image.transforms[i].ApplyToChannelList(image).ok());
    if (i < 2) {
      EXPECT_EQ(test::Shapes(image), kAfter[i])
          << i << ": " << test::ShapesString(test::Shapes(image));
    }
  }
  ModularImage coded = test::FromPlain(rct, meta);
  ASSERT_EQ(test::Shapes(image), test::Shapes(coded));
  for (size_t c = 0; c < coded.channels.size(); ++c) {
    test::Fill(image, c, test::Samples(coded, c));
  }
  test::ThreadedRunner runner;
  const TaskPool pool = runner.pool();
  image.RevertTransforms(weighted::Header(), &pool);
  ASSERT_FALSE(image.error);
  for (size_t c = 0; c < 3; ++c) {
    EXPECT_EQ(test::Samples(image, c), test::Samples(original, c)) << c;
  }
}

// A failing undo stops the loop: the failed transform and the earlier ones
// stay in the list, and the image is marked.
TEST(TransformChainTest, FailureKeepsTheRest) {
  ModularImage image = test::MakeImage({{4, 4}, {4, 4}, {4, 4}});
  image.transforms = {Rct(0, 6), Rct(1, 6), Rct(0, 1)};
  image.RevertTransforms(weighted::Header(), nullptr);
  EXPECT_TRUE(image.error);
  ASSERT_EQ(image.transforms.size(), 2u);
  EXPECT_EQ(image.transforms.back().first_channel, 1u);

  ModularImage invalid = test::MakeImage({{4, 4}});
  invalid.transforms.emplace_back();  // kind Invalid
  invalid.RevertTransforms(weighted::Header(), nullptr);
  EXPECT_TRUE(invalid.error);
  EXPECT_EQ(invalid.transforms.size(), 1u);
}

}  // namespace
}  // namespace qov
