// The spot-colour stage against its mixing formula, its refusal of extra
// columns and its declared modes.
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "lib/render/render_stage.h"
#include "lib/render/spot_color_stage.h"

namespace qov {
namespace {

struct Rows {
  std::vector<std::vector<float>> data;
  ChannelRowSet set;
  Rows(size_t channels, size_t xsize) : data(channels), set(channels) {
    for (size_t c = 0; c < channels; ++c) {
      data[c].assign(kRowLeadSamples + xsize + 8, 0.0f);
      set[c] = {data[c].data()};
    }
  }
  float& at(size_t c, size_t x) { return data[c][kRowLeadSamples + x]; }
};

TEST(SpotColorStageTest, MixesByAmountTimesSolidity) {
  struct Case {
    float spot, solidity, colour, value, want;
  };
  const Case kCases[] = {
      {0.7f, 0.0f, 0.9f, 0.3f, 0.3f},   // solidity 0: unchanged
      {1.0f, 1.0f, 0.9f, 0.3f, 0.9f},   // full amount: the spot colour
      {0.5f, 1.0f, 1.0f, 0.2f, 0.6f},
      {2.0f, 1.0f, 0.5f, 0.2f, 0.8f},   // no clamping: 2 r - R
      {0.5f, 0.5f, 1.0f, 0.0f, 0.25f},
  };
  for (const Case& c : kCases) {
    // Extra channel 1: pipeline channel 4; channel 3 must not be read.
    const float colour[4] = {c.colour, c.colour * 0.5f, -c.colour, c.solidity};
    auto stage = MakeSpotColorStage(1, colour);
    ASSERT_NE(stage, nullptr);
    Rows rows(5, 3);
    for (size_t x = 0; x < 3; ++x) {
      for (size_t ch = 0; ch < 3; ++ch) rows.at(ch, x) = c.value;
      rows.at(3, x) = 100.0f;
      rows.at(4, x) = c.spot;
    }
    ASSERT_TRUE(stage->RenderRow(rows.set, {}, 0, 0, 3, 0, 0, 0).ok());
    for (size_t x = 0; x < 3; ++x) {
      for (size_t ch = 0; ch < 3; ++ch) {
        const float t = c.spot * c.solidity;
        EXPECT_EQ(rows.at(ch, x), t * colour[ch] + (1.0f - t) * c.value)
            << "channel " << ch;
      }
      EXPECT_FLOAT_EQ(rows.at(0, x), c.want);
      EXPECT_EQ(rows.at(4, x), c.spot);  // read only
    }
    // Nothing after the span.
    EXPECT_EQ(rows.at(0, 3), 0.0f);
  }
}

TEST(SpotColorStageTest, TwoStagesApplyInOrder) {
  const float first[4] = {1.0f, 1.0f, 1.0f, 1.0f};
  const float second[4] = {0.0f, 0.0f, 0.0f, 1.0f};
  auto a = MakeSpotColorStage(0, first);
  auto b = MakeSpotColorStage(1, second);
  Rows rows(5, 1);
  rows.at(0, 0) = 0.2f;
  rows.at(3, 0) = 0.5f;  // towards 1: 0.6
  rows.at(4, 0) = 0.5f;  // then towards 0: 0.3
  ASSERT_TRUE(a->RenderRow(rows.set, {}, 0, 0, 1, 0, 0, 0).ok());
  ASSERT_TRUE(b->RenderRow(rows.set, {}, 0, 0, 1, 0, 0, 0).ok());
  EXPECT_FLOAT_EQ(rows.at(0, 0), 0.3f);
}

TEST(SpotColorStageTest, RefusesExtrasAndDeclaresModes) {
  const float colour[4] = {1.0f, 0.0f, 0.0f, 1.0f};
  auto stage = MakeSpotColorStage(0, colour);
  EXPECT_EQ(MakeSpotColorStage(0, nullptr), nullptr);
  Rows rows(4, 4);
  for (size_t x = 0; x < 4; ++x) rows.at(3, x) = 1.0f;
  EXPECT_FALSE(stage->RenderRow(rows.set, {}, 1, 0, 4, 0, 0, 0).ok());
  EXPECT_FALSE(stage->RenderRow(rows.set, {}, 0, 1, 4, 0, 0, 0).ok());
  for (size_t x = 0; x < 4; ++x) EXPECT_EQ(rows.at(0, x), 0.0f);
  // Without the spot channel's rows.
  Rows three(3, 4);
  EXPECT_FALSE(stage->RenderRow(three.set, {}, 0, 0, 4, 0, 0, 0).ok());
  EXPECT_STREQ(stage->StageName(), "Spot");
  const StageGeometry& g = stage->geometry();
  EXPECT_EQ(g.border_x + g.border_y + g.shift_x + g.shift_y, 0u);
  for (size_t c = 0; c < 3; ++c) {
    EXPECT_EQ(stage->ChannelModeOf(c), RowChannelMode::kModifyRows);
  }
  EXPECT_EQ(stage->ChannelModeOf(3), RowChannelMode::kReadOnly);
  EXPECT_EQ(stage->ChannelModeOf(4), RowChannelMode::kNotUsed);
}

}  // namespace
}  // namespace qov
