// Patch and spline stages: the span they hand to the feature routines (with
// extras, and clipped at column 0), their channel modes, and rows no feature
// touches.
#include "lib/render/feature_stages.h"

#include <memory>
#include <vector>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "lib/frame/frame_decoding_state.h"

namespace qov {
namespace {

const QovMemoryManagerStruct* Heap() {
  static const QovMemoryManagerStruct manager = {nullptr, DefaultAllocate,
                                                 DefaultRelease};
  return &manager;
}

constexpr size_t kWidth = 128;

struct StageRows {
  std::vector<std::vector<float>> storage;
  ChannelRowSet set;
  explicit StageRows(size_t channels)
      : storage(channels, std::vector<float>(kRowLeadSamples + kWidth + 32, 0.0f)),
        set(channels) {
    for (size_t c = 0; c < channels; ++c) set[c].push_back(storage[c].data());
  }
  // Sample of frame column x when the span starts at xpos.
  float At(size_t c, size_t xpos, size_t x) const {
    return storage[c][kRowLeadSamples + x - xpos];
  }
};

// A stored frame in slot 0 whose colour sample (c, x, y) is 100 c + x + 1.
struct Slot {
  ReferenceFrameSlot slots[4];
  Slot() {
    for (auto& s : slots) s.frame = std::make_unique<ImageBundle>(Heap());
    auto color = Image3F::Create(Heap(), 16, 4);
    EXPECT_TRUE(color.ok());
    slots[0].frame->color = std::move(color).value();
    for (size_t c = 0; c < 3; ++c) {
      for (size_t y = 0; y < 4; ++y) {
        for (size_t x = 0; x < 16; ++x) {
          slots[0].frame->color.PlaneRow(c, y)[x] = 100.0f * c + x + 1;
        }
      }
    }
    slots[0].saved_before_color_transform = true;
  }
};

TEST(PatchStageTest, SpanIncludesExtrasAndClipsAtZero) {
  Slot slot;
  PatchDictionary dict(Heap());
  dict.SetReferenceSlots(slot.slots);
  // Columns 60..62 (row 5) and 0..3 (row 5), replace.
  ASSERT_TRUE(dict.Assign({{0, 0, 0, 3, 1}, {0, 0, 0, 4, 1}}, {{60, 5, 0}, {0, 5, 1}},
                          {{kReplace, 0, false}, {kReplace, 0, false}}, 1)
                  .ok());
  const std::vector<ExtraChannelInfo> no_extra;
  const auto stage = MakePatchesStage(dict, no_extra);
  EXPECT_STREQ(stage->StageName(), "Patches");
  for (size_t c = 0; c < 6; ++c) {
    EXPECT_EQ(stage->ChannelModeOf(c), c < 3 ? RowChannelMode::kModifyRows
                                             : RowChannelMode::kNotUsed);
  }
  // xpos 64 with extra_left 3: the span starts at 61, which is where the
  // rows point: sample 61 gets source column 1, 62 column 2, 60 untouched.
  StageRows rows(6), unused(0);
  ASSERT_TRUE(stage->RenderRow(rows.set, unused.set, 3, 0, 8, 64, 5, 0).ok());
  auto sample = [&](size_t c, size_t x) {
    return rows.storage[c][kRowLeadSamples - 3 + (x - 61)];
  };
  EXPECT_EQ(sample(0, 61), 2.0f);
  EXPECT_EQ(sample(2, 62), 203.0f);
  EXPECT_EQ(sample(1, 63), 0.0f);
  EXPECT_EQ(rows.storage[0][kRowLeadSamples - 4], 0.0f);  // column 60
  // xpos 0 with extra_left 2: columns -2, -1 are outside the frame.
  StageRows left(6);
  ASSERT_TRUE(stage->RenderRow(left.set, unused.set, 2, 0, 8, 0, 5, 0).ok());
  EXPECT_EQ(left.storage[0][kRowLeadSamples - 1], 0.0f);
  EXPECT_EQ(left.storage[0][kRowLeadSamples], 1.0f);
  EXPECT_EQ(left.storage[1][kRowLeadSamples + 3], 104.0f);
  // A row without patches stays as it was.
  StageRows empty(6);
  ASSERT_TRUE(stage->RenderRow(empty.set, unused.set, 0, 0, 64, 0, 6, 0).ok());
  for (const auto& row : empty.storage) {
    for (float v : row) ASSERT_EQ(v, 0.0f);
  }
}

TEST(SplineStageTest, DrawsLikeTheSplinesOverTheSameSpan) {
  Splines splines(Heap());
  // No splines decoded: the stage changes nothing.
  const auto stage = MakeSplineStage(splines);
  EXPECT_STREQ(stage->StageName(), "Splines");
  EXPECT_EQ(stage->ChannelModeOf(2), RowChannelMode::kModifyRows);
  EXPECT_EQ(stage->ChannelModeOf(3), RowChannelMode::kNotUsed);
  StageRows rows(3), unused(0);
  ASSERT_TRUE(stage->RenderRow(rows.set, unused.set, 3, 5, 16, 64, 0, 0).ok());
  for (const auto& row : rows.storage) {
    for (float v : row) ASSERT_EQ(v, 0.0f);
  }
}

}  // namespace
}  // namespace qov
