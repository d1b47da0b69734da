// Blending stage: when a frame needs it, when it is ready, and what a row
// becomes in image coordinates (offset frames, rows outside the image,
// empty slots), plus the padding rows.
#include "lib/render/blending_stage.h"

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

constexpr uint32_t kImageX = 15, kImageY = 10;

struct Fixture {
  CodecMetadata metadata;
  FrameDecodingState state{Heap()};
  FrameHeader header{nullptr};
  explicit Fixture(size_t num_extra = 0) {
    metadata.size.xsize = kImageX;
    metadata.size.ysize = kImageY;
    metadata.m.xyb_encoded = false;
    metadata.m.extra_channel_info.resize(num_extra);
    header = FrameHeader(&metadata);
    header.ec_blending_info.resize(num_extra);
  }
  // Slot `s` holds an xsize x ysize frame with sample (c, x, y) = Value.
  void Store(size_t s, uint32_t xsize, uint32_t ysize, size_t num_extra = 0) {
    ImageBundle& frame = *state.reference_slots[s].frame;
    auto color = Image3F::Create(Heap(), xsize, ysize);
    ASSERT_TRUE(color.ok());
    frame.color = std::move(color).value();
    frame.extra_channels.clear();
    for (size_t e = 0; e < num_extra; ++e) {
      auto plane = PlaneF::Create(Heap(), xsize, ysize);
      ASSERT_TRUE(plane.ok());
      frame.extra_channels.push_back(std::move(plane).value());
    }
    for (size_t c = 0; c < 3 + num_extra; ++c) {
      for (uint32_t y = 0; y < ysize; ++y) {
        float* row = c < 3 ? frame.color.PlaneRow(c, y) : frame.extra_channels[c - 3].Row(y);
        for (uint32_t x = 0; x < xsize; ++x) row[x] = Value(c, x, y);
      }
    }
  }
  static float Value(size_t c, size_t x, size_t y) {
    return 1000.0f * c + 10.0f * y + x;
  }
};

struct StageRows {
  std::vector<std::vector<float>> storage;
  ChannelRowSet set;
  StageRows(size_t channels, size_t width, float value)
      : storage(channels, std::vector<float>(kRowLeadSamples + width + 16, value)),
        set(channels) {
    for (size_t c = 0; c < channels; ++c) set[c].push_back(storage[c].data());
  }
  float At(size_t c, size_t x) const { return storage[c][kRowLeadSamples + x]; }
};

TEST(BlendingRequiredTest, ByFrameKindModesAndPlacement) {
  struct Case {
    const char* name;
    FrameKind kind;
    BlendKind color, extra;
    bool custom;
    bool required;
  };
  const Case cases[] = {
      {"all replace", FrameKind::kRegular, BlendKind::kReplace, BlendKind::kReplace, false, false},
      {"colour add", FrameKind::kRegular, BlendKind::kAdd, BlendKind::kReplace, false, true},
      {"extra blend", FrameKind::kRegular, BlendKind::kReplace, BlendKind::kBlend, false, true},
      {"custom origin", FrameKind::kRegular, BlendKind::kReplace, BlendKind::kReplace, true, true},
      {"skip-progressive add", FrameKind::kSkipProgressive, BlendKind::kAdd, BlendKind::kReplace, false, true},
      {"DC frame", FrameKind::kDc, BlendKind::kAdd, BlendKind::kAdd, true, false},
      {"reference only", FrameKind::kReferenceOnly, BlendKind::kMultiply, BlendKind::kAdd, true, false},
  };
  for (const Case& c : cases) {
    Fixture f(1);
    f.header.frame_type = static_cast<uint32_t>(c.kind);
    f.header.blending_info.mode = static_cast<uint32_t>(c.color);
    f.header.ec_blending_info[0].mode = static_cast<uint32_t>(c.extra);
    f.header.custom_size_or_origin = c.custom;
    EXPECT_EQ(BlendingRequired(f.header), c.required) << c.name;
  }
  EXPECT_EQ(CompositeModeOfBlend(2), kOverAbove);
  EXPECT_EQ(CompositeModeOfBlend(3), kWeightedAddAbove);
  EXPECT_EQ(CompositeModeOfBlend(4), kMultiply);
  EXPECT_EQ(CompositeModeOfBlend(9), kKeep);
}

TEST(BlendingStageTest, Readiness) {
  struct Case {
    const char* name;
    uint32_t xsize, ysize;  // 0: empty slot
    int32_t origin_x;
    bool before_transform;
    bool xyb_elsewhere;
    bool ready;
  };
  const Case cases[] = {
      {"empty slot", 0, 0, 0, false, false, true},
      {"larger background", 30, 20, 0, false, false, true},
      {"exactly the image", kImageX, kImageY, 0, false, false, true},
      {"one row short", kImageX, kImageY - 1, 0, false, false, false},
      {"origin (1, 0)", kImageX, kImageY, 1, false, false, false},
      {"stored before the colour transform", kImageX, kImageY, 0, true, false, false},
      {"XYB image to another encoding", kImageX, kImageY, 0, false, true, false},
  };
  for (const Case& c : cases) {
    Fixture f;
    f.header.blending_info.source = 2;
    if (c.xsize != 0) f.Store(2, c.xsize, c.ysize);
    f.state.reference_slots[2].frame->origin_x0 = c.origin_x;
    f.state.reference_slots[2].saved_before_color_transform = c.before_transform;
    if (c.xyb_elsewhere) {
      f.metadata.m.xyb_encoded = true;
      f.state.output_color.output_is_source = false;
    }
    const auto stage = MakeBlendingStage(f.header, f.state, ColorEncoding());
    EXPECT_EQ(stage->CheckReady().ok(), c.ready) << c.name;
    StageRows rows(3, 8, 1.0f), unused(0, 0, 0);
    EXPECT_EQ(stage->RenderRow(rows.set, unused.set, 0, 0, 8, 0, 0, 0).ok(), c.ready)
        << c.name;
  }
}

TEST(BlendingStageTest, RowsInImageCoordinates) {
  Fixture f;
  f.Store(0, kImageX, kImageY);
  f.header.blending_info.mode = static_cast<uint32_t>(BlendKind::kAdd);
  f.header.x0 = -10;
  f.header.y0 = 2;
  const auto stage = MakeBlendingStage(f.header, f.state, ColorEncoding());
  ASSERT_TRUE(stage->CheckReady().ok());
  EXPECT_TRUE(stage->UsesImageCoordinates());
  size_t xs = 0, ys = 0;
  std::pair<int32_t, int32_t> origin;
  stage->ImageGeometry(&xs, &ys, &origin);
  EXPECT_EQ(xs, kImageX);
  EXPECT_EQ(ys, kImageY);
  EXPECT_EQ(origin, std::make_pair(-10, 2));

  // A row of 30 samples from frame column 0 at x0 = -10 in an image of
  // width 15: samples 10 .. 24 are added to image columns 0 .. 14.
  StageRows rows(3, 30, 0.5f), unused(0, 0, 0);
  ASSERT_TRUE(stage->RenderRow(rows.set, unused.set, 0, 0, 30, 0, 3, 0).ok());
  for (size_t c = 0; c < 3; ++c) {
    for (size_t x = 0; x < 30; ++x) {
      const bool inside = x >= 10 && x < 25;
      const float want = inside ? 0.5f + Fixture::Value(c, x - 10, 5) : 0.5f;
      ASSERT_EQ(rows.At(c, x), want) << c << " " << x;
    }
  }
  // Rows above or below the image, and extras.
  for (size_t ypos : {size_t{8}, size_t{100}}) {
    StageRows outside(3, 30, 0.5f);
    ASSERT_TRUE(stage->RenderRow(outside.set, unused.set, 0, 0, 30, 0, ypos, 0).ok());
    EXPECT_EQ(outside.At(0, 15), 0.5f);
  }
  EXPECT_FALSE(stage->RenderRow(rows.set, unused.set, 1, 0, 30, 0, 3, 0).ok());

  // A frame starting at the image's right edge changes nothing.
  f.header.x0 = kImageX;
  StageRows right(3, 4, 0.5f);
  ASSERT_TRUE(stage->RenderRow(right.set, unused.set, 0, 0, 4, 0, 0, 0).ok());
  EXPECT_EQ(right.At(1, 0), 0.5f);
}

TEST(BlendingStageTest, EmptySlotsBlendOntoZero) {
  // Colour from slot 1 (empty), extra channel from slot 3 (filled).
  Fixture f(1);
  f.Store(3, kImageX, kImageY, 1);
  f.header.blending_info = BlendingInfo();
  f.header.blending_info.mode = static_cast<uint32_t>(BlendKind::kMultiply);
  f.header.blending_info.source = 1;
  f.header.ec_blending_info[0].mode = static_cast<uint32_t>(BlendKind::kAdd);
  f.header.ec_blending_info[0].source = 3;
  const auto stage = MakeBlendingStage(f.header, f.state, ColorEncoding());
  ASSERT_TRUE(stage->CheckReady().ok());
  StageRows rows(4, kImageX, 2.0f), unused(0, 0, 0);
  ASSERT_TRUE(stage->RenderRow(rows.set, unused.set, 0, 0, kImageX, 0, 4, 0).ok());
  for (size_t x = 0; x < kImageX; ++x) {
    EXPECT_EQ(rows.At(0, x), 0.0f);  // 0 x 2
    EXPECT_EQ(rows.At(3, x), 2.0f + Fixture::Value(3, x, 4));
  }
  // Padding rows: zeros for the empty colour slot, the stored extra channel.
  StageRows pad(4, 5, -1.0f);
  ASSERT_TRUE(stage->RenderPaddingRow(pad.set, 5, 3, 7).ok());
  for (size_t x = 0; x < 5; ++x) {
    EXPECT_EQ(pad.At(2, x), 0.0f);
    EXPECT_EQ(pad.At(3, x), Fixture::Value(3, 3 + x, 7));
  }
  EXPECT_FALSE(stage->RenderPaddingRow(pad.set, 5, kImageX - 2, 7).ok());
}

}  // namespace
}  // namespace qov
