// Palette: implicit values (built-in deltas, colour cubes), plain and delta
// expansion with every kind of prediction, the meta-channel bookkeeping of
// the undo, and the guarded arithmetic on extreme indices and sums.
#include "lib/modular/palette.h"

#include <cstdint>
#include <limits>
#include <map>
#include <vector>

#include "gtest/gtest.h"
#include "lib/modular/modular_image.h"
#include "lib/modular/predictors.h"
#include "lib/modular/transform.h"
#include "lib/modular/weighted_predictor.h"
#include "tests/modular/modular_test_helpers.h"
#include "tests/support/counting_manager.h"

namespace qov {
namespace {

using test::ChannelShape;

constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

// Expands the given index channel (w x h) with a palette of `rows` rows of
// S entries, over ordinary channels (meta count 1: the palette only).
ModularImage Expand(const std::vector<std::vector<int32_t>>& palette,
                    uint64_t w, uint64_t h, const std::vector<int32_t>& indices,
                    int32_t bit_depth, uint32_t delta_count,
                    uint32_t predictor, Status* status,
                    const weighted::Header& wp = weighted::Header()) {
  const uint64_t s = palette.empty() ? 0 : palette[0].size();
  ModularImage image = test::MakeImage(
      {{s, palette.size(), -1, -1}, {w, h}}, 1);
  image.bit_depth = bit_depth;
  std::vector<int32_t> flat;
  for (const auto& row : palette) flat.insert(flat.end(), row.begin(), row.end());
  test::Fill(image, 0, flat);
  test::Fill(image, 1, indices);
  *status = UndoPalette(image, 0, static_cast<uint32_t>(s), delta_count,
                        predictor, wp, nullptr);
  return image;
}

struct ValueCase {
  int32_t index;
  int32_t bit_depth;
  int32_t want[4];
};

// Palette of S = 4 entries on four rows; row c of entry i holds 1000c + i.
TEST(PaletteTest, ImplicitValues) {
  const ValueCase kCases[] = {
      {5, 8, {95, 32, 32, 0}},         // small cube, S + 1
      {68, 8, {0, 0, 0, 0}},           // large cube starts at S + 64
      {99, 8, {63, 63, 63, 0}},
      {-1, 8, {0, 0, 0, 0}},           // built-in row 0
      {-2, 8, {4, 4, 4, 0}},           // +row 1
      {-3, 8, {-4, -4, -4, 0}},        // -row 1
      {-4, 8, {11, 0, 0, 0}},          // +row 2
      {-144, 8, {0, 0, 0, 0}},         // repeats every 143
      {-145, 8, {4, 4, 4, 0}},
      {-2, 10, {16, 16, 16, 0}},       // scaled by 2^(d - 8)
      {-3, 10, {-16, -16, -16, 0}},    // negative deltas scaled too
      {5, 10, {383, 128, 128, 0}},
      {-2, 30, {4 << 16, 4 << 16, 4 << 16, 0}},  // depth limited to 24
      {2, 8, {2, 1002, 2002, 3002}},   // an explicit entry
  };
  const std::vector<std::vector<int32_t>> palette = {
      {0, 1, 2, 3}, {1000, 1001, 1002, 1003}, {2000, 2001, 2002, 2003},
      {3000, 3001, 3002, 3003}};
  for (const ValueCase& c : kCases) {
    Status status;
    ModularImage image = Expand(palette, 1, 1, {c.index}, c.bit_depth, 0, 0, &status);
    ASSERT_TRUE(status.ok());
    ASSERT_EQ(image.channels.size(), 4u);
    for (int ch = 0; ch < 4; ++ch) {
      EXPECT_EQ(image.channels[ch].Row(0)[0], c.want[ch])
          << "index " << c.index << " depth " << c.bit_depth << " ch " << ch;
    }
  }
}

// The smallest index: -i - 1 would overflow 32 bits. (2^31 - 1) mod 143 =
// 23 (odd): +row 12, (0, -32, -32).
TEST(PaletteTest, SmallestIndex) {
  const std::vector<std::vector<int32_t>> palette = {{0}, {0}, {0}};
  Status status;
  ModularImage image = Expand(palette, 1, 1, {kMin}, 8, 0, 0, &status);
  ASSERT_TRUE(status.ok());
  EXPECT_EQ(image.channels[0].Row(0)[0], 0);
  EXPECT_EQ(image.channels[1].Row(0)[0], -32);
  EXPECT_EQ(image.channels[2].Row(0)[0], -32);
  // The delta path too (with a prediction added).
  ModularImage delta = Expand(palette, 1, 1, {kMin}, 12, 1, 1, &status);
  ASSERT_TRUE(status.ok());
  EXPECT_EQ(delta.channels[1].Row(0)[0], -32 * 16);
}

TEST(PaletteTest, OneChannelClampsIndices) {
  const std::vector<std::vector<int32_t>> palette = {{7, 8, 9}};
  Status status;
  ModularImage image =
      Expand(palette, 5, 1, {-7, 0, 2, 3, kMax}, 8, 0, 0, &status);
  ASSERT_TRUE(status.ok());
  ASSERT_EQ(image.channels.size(), 1u);
  EXPECT_EQ(test::Samples(image, 0), (std::vector<int32_t>{7, 7, 9, 9, 9}));
  EXPECT_EQ(image.meta_channel_count, 0u);
  // An empty palette: every index ends on an implicit value.
  ModularImage empty = Expand({{}}, 2, 1, {-1, 4}, 8, 0, 0, &status);
  ASSERT_TRUE(status.ok());
  EXPECT_EQ(test::Samples(empty, 0), (std::vector<int32_t>{32, 0}));
}

TEST(PaletteTest, DeltaEntriesWithLeftPrediction) {
  // delta_count 2, predictor 1 (W): indices (0, 2, 1), palette (10, 20, 30).
  Status status;
  ModularImage image = Expand({{10, 20, 30}}, 3, 1, {0, 2, 1}, 8, 2, 1, &status);
  ASSERT_TRUE(status.ok());
  EXPECT_EQ(test::Samples(image, 0), (std::vector<int32_t>{10, 30, 50}));
  // Negative indices add the prediction even with delta_count 0.
  ModularImage negative = Expand({{10}}, 3, 1, {0, -2, -1}, 8, 0, 1, &status);
  ASSERT_TRUE(status.ok());
  EXPECT_EQ(test::Samples(negative, 0), (std::vector<int32_t>{10, 14, 14}));
}

// e + prediction beyond 32 bits keeps the low 32 bits.
TEST(PaletteTest, DeltaSumWraps) {
  Status status;
  ModularImage image = Expand({{kMax}}, 2, 1, {0, 0}, 8, 1, 1, &status);
  ASSERT_TRUE(status.ok());
  EXPECT_EQ(test::Samples(image, 0), (std::vector<int32_t>{kMax, -2}));
}

// Every predictor against a test-side reconstruction on a 2-D index image
// with delta entries, negative indices and plain colours mixed.
TEST(PaletteTest, EveryPredictorMatchesReference) {
  const uint64_t w = 7, h = 5;
  const std::vector<std::vector<int32_t>> palette = {
      {3, -5, 40, 50, 60}, {-2, 7, 41, 51, 61}, {1, 1, 42, 52, 62}};
  std::vector<int32_t> indices(w * h);
  for (size_t i = 0; i < indices.size(); ++i) {
    indices[i] = static_cast<int32_t>((i * 7 + 3) % 9) - 2;  // -2 .. 6
  }
  weighted::Header wp;
  wp.all_default = false;
  wp.sub1_error_scale = 9;
  wp.sub_weight[2] = 3;
  for (uint32_t predictor = 0; predictor < 14; ++predictor) {
    Status status;
    ModularImage image = Expand(palette, w, h, indices, 8, 2, predictor,
                                &status, wp);
    ASSERT_TRUE(status.ok());
    ASSERT_EQ(image.channels.size(), 3u);
    for (uint32_t c = 0; c < 3; ++c) {
      std::vector<int32_t> want(w * h);
      WeightedPredictorState state(wp, w);
      std::vector<const int32_t*> rows;
      for (const auto& r : palette) rows.push_back(r.data());
      for (uint64_t y = 0; y < h; ++y) {
        for (uint64_t x = 0; x < w; ++x) {
          const int32_t i = indices[y * w + x];
          const int64_t e = PaletteValue(i, c, rows.data(), 3, 5, 8);
          const Neighbours n = LoadNeighbours(
              &want[y * w], y > 0 ? &want[(y - 1) * w] : nullptr,
              y > 1 ? &want[(y - 2) * w] : nullptr, x, y, w);
          const int64_t p = state.Predict(x, y, w, n.N, n.W, n.NE, n.NW, n.NN);
          const int64_t pred = ModularPrediction(static_cast<int32_t>(predictor), n, p);
          want[y * w + x] = static_cast<int32_t>(i < 2 ? e + pred : e);
          state.Update(x, y, w, want[y * w + x]);
        }
      }
      EXPECT_EQ(test::Samples(image, c), want) << "predictor " << predictor
                                               << " channel " << c;
    }
  }
}

TEST(PaletteTest, ForwardPaletteRoundTrip) {
  // Four channels with a handful of colours, the palette over channels 1..3,
  // a meta count and a trailing channel to see the bookkeeping.
  const uint64_t w = 9, h = 6;
  ModularImage original = test::MakeImage({{w, h}, {w, h}, {w, h}, {w, h}, {4, 4}});
  const int32_t colours[4][3] = {{0, 0, 0}, {255, 10, 3}, {-4, 99, 1000}, {7, 7, 7}};
  std::vector<int32_t> chosen(w * h);
  for (size_t i = 0; i < chosen.size(); ++i) chosen[i] = static_cast<int32_t>((i * 5) % 4);
  for (int c = 0; c < 3; ++c) {
    std::vector<int32_t> v(w * h);
    for (size_t i = 0; i < v.size(); ++i) v[i] = colours[chosen[i]][c];
    test::Fill(original, 1 + c, v);
  }
  test::FillRandom(original, 0, 3, -10, 10);
  test::FillRandom(original, 4, 4, -10, 10);

  Transform t;
  t.kind = TransformKind::Palette;
  t.first_channel = 1;
  t.channel_count = 3;
  t.colour_count = 4;
  t.delta_count = 0;
  ModularImage coded = std::move(original.Clone()).value();
  ASSERT_TRUE(t.ApplyToChannelList(coded).ok());
  ASSERT_EQ(coded.channels.size(), 4u);
  EXPECT_EQ(coded.meta_channel_count, 1u);
  std::vector<int32_t> flat;
  for (int c = 0; c < 3; ++c) {
    for (int k = 0; k < 4; ++k) flat.push_back(colours[k][c]);
  }
  test::Fill(coded, 0, flat);
  test::Fill(coded, 1, test::Samples(original, 0));
  test::Fill(coded, 2, chosen);
  test::Fill(coded, 3, test::Samples(original, 4));
  coded.transforms.push_back(t);
  coded.RevertTransforms(weighted::Header(), nullptr);
  ASSERT_FALSE(coded.error);
  EXPECT_TRUE(coded.transforms.empty());
  ASSERT_EQ(test::Shapes(coded), test::Shapes(original));
  EXPECT_EQ(coded.meta_channel_count, 0u);
  for (size_t c = 0; c < 5; ++c) {
    EXPECT_EQ(test::Samples(coded, c), test::Samples(original, c)) << c;
  }
}

TEST(PaletteTest, UndoFailures) {
  const weighted::Header wp;
  {
    ModularImage image = test::MakeImage({{3, 1, -1, -1}, {2, 2}}, 0);
    EXPECT_TRUE(UndoPalette(image, 0, 3, 0, 0, wp, nullptr).failed());
  }
  {
    ModularImage image = test::MakeImage({{3, 0, -1, -1}, {2, 2}}, 1);
    EXPECT_TRUE(UndoPalette(image, 0, 3, 0, 0, wp, nullptr).failed());
  }
  {
    ModularImage image = test::MakeImage({{3, 1, -1, -1}, {2, 2}}, 1);
    EXPECT_TRUE(UndoPalette(image, 1, 3, 0, 0, wp, nullptr).failed());
    EXPECT_TRUE(UndoPalette(image, 0xFFFFFFFFu, 3, 0, 0, wp, nullptr).failed());
  }
  {
    // A failing runner.
    test::ThreadedRunner runner;
    runner.fail = true;
    const TaskPool pool = runner.pool();
    ModularImage image = test::MakeImage({{3, 2, -1, -1}, {2, 2}}, 1);
    EXPECT_TRUE(UndoPalette(image, 0, 3, 0, 0, wp, &pool).failed());
    ModularImage delta = test::MakeImage({{3, 2, -1, -1}, {2, 2}}, 1);
    EXPECT_TRUE(UndoPalette(delta, 0, 3, 1, 5, wp, &pool).failed());
  }
}

TEST(PaletteTest, EmptyIndexChannelAndMetaPalette) {
  const weighted::Header wp;
  {
    // Width 0: only the channel list and meta count change.
    ModularImage image = test::MakeImage({{3, 3, -1, -1}, {0, 4}}, 1);
    ASSERT_TRUE(UndoPalette(image, 0, 3, 0, 0, wp, nullptr).ok());
    const std::vector<ChannelShape> want = {{0, 4}, {0, 4}, {0, 4}};
    EXPECT_EQ(test::Shapes(image), want);
    EXPECT_EQ(image.meta_channel_count, 0u);
  }
  {
    // A palette over meta channels: m + nb - 2.
    ModularImage image =
        test::MakeImage({{2, 2, -1, -1}, {3, 1, -1, -1}, {5, 5}}, 2);
    test::Fill(image, 0, {5, 6, 7, 8});
    test::Fill(image, 1, {1, 0, 1});
    ASSERT_TRUE(UndoPalette(image, 0, 2, 0, 0, wp, nullptr).ok());
    ASSERT_EQ(image.channels.size(), 3u);
    EXPECT_EQ(image.meta_channel_count, 2u);
    EXPECT_EQ(test::Samples(image, 0), (std::vector<int32_t>{6, 5, 6}));
    EXPECT_EQ(test::Samples(image, 1), (std::vector<int32_t>{8, 7, 8}));
    EXPECT_EQ(image.channels[1].hshift, -1);
  }
}

TEST(PaletteTest, RunsOnThreads) {
  test::ThreadedRunner runner;
  const TaskPool pool = runner.pool();
  const weighted::Header wp;
  for (uint32_t deltas : {0u, 3u}) {
    ModularImage a = test::MakeImage({{6, 3, -1, -1}, {40, 33}}, 1);
    test::FillRandom(a, 0, 1, -50, 50);
    test::FillRandom(a, 1, 2, -20, 90);
    ModularImage b = std::move(a.Clone()).value();
    ASSERT_TRUE(UndoPalette(a, 0, 6, deltas, deltas ? 5 : 0, wp, nullptr).ok());
    ASSERT_TRUE(UndoPalette(b, 0, 6, deltas, deltas ? 5 : 0, wp, &pool).ok());
    for (size_t c = 0; c < 3; ++c) {
      EXPECT_EQ(test::Samples(a, c), test::Samples(b, c)) << deltas << " " << c;
    }
  }
  EXPECT_EQ(runner.loops, 2);
}

}  // namespace
}  // namespace qov
