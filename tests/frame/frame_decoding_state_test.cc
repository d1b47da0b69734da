// Frame decoding state: construction, per-frame set-up (planes, the DC in
// use, multipliers, resets) and the main pixel output.
#include "lib/frame/frame_decoding_state.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>

#include "lib/frame/frame_driver.h"
#include "lib/frame/pixel_output.h"
#include "tests/frame/frame_test_helpers.h"
#include "tests/support/counting_manager.h"

namespace qov {
namespace {

// 300 x 300 frames have 38 x 38 blocks.
constexpr uint32_t kSide = 300;
constexpr uint32_t kBlocks = 38;

Image3F SomeImage(uint64_t xsize, uint64_t ysize) {
  return std::move(Image3F::Create(HeapMemoryManager(), xsize, ysize).value());
}

TEST(FrameDecodingStateTest, StartsEmptyWithItsReferenceSlots) {
  FrameDecodingState state(HeapMemoryManager());
  EXPECT_EQ(state.shared, &state);
  EXPECT_EQ(state.dc, &state.dc_image);
  EXPECT_EQ(state.visible_frame_index, 0u);
  EXPECT_EQ(state.nonvisible_frame_index, 0u);
  EXPECT_EQ(state.used_varblock_kinds.load(), 0u);
  EXPECT_NE(state.coefficients, nullptr);
  EXPECT_EQ(state.render_pipeline, nullptr);
  EXPECT_EQ(state.reference_image.memory_manager, HeapMemoryManager());
  EXPECT_EQ(state.patches.reference_slots(), state.reference_slots);
  EXPECT_EQ(state.cfl_map.color_factor, 84u);
  EXPECT_EQ(state.cfl_map.base_correlation_b, 1.0f);
  for (const ReferenceFrameSlot& slot : state.reference_slots) {
    ASSERT_NE(slot.frame, nullptr);
    EXPECT_EQ(slot.frame->memory_manager, HeapMemoryManager());
    EXPECT_FALSE(slot.frame->HasColor());
    EXPECT_FALSE(slot.saved_before_color_transform);
  }
}

TEST(PrepareSharedFrameStateTest, SizesThePerBlockPlanes) {
  auto metadata = MakeMetadata(kSide, kSide);
  FrameDecodingState state(HeapMemoryManager());
  FrameHeader header(metadata.get());
  ASSERT_TRUE(PrepareSharedFrameState(header, &state, false).ok());
  EXPECT_EQ(state.metadata, metadata.get());
  EXPECT_EQ(state.frame_geometry.xsize_blocks, kBlocks);
  EXPECT_EQ(state.varblock_kinds.plane.xsize(), kBlocks);
  EXPECT_EQ(state.varblock_kinds.first_row, state.varblock_kinds.plane.bytes());
  EXPECT_EQ(state.raw_quant_field.ysize(), kBlocks);
  EXPECT_EQ(state.epf_sharpness.xsize(), kBlocks);
  EXPECT_EQ(state.quant_dc.ysize(), kBlocks);
  EXPECT_EQ(state.dc, &state.dc_image);
  EXPECT_EQ(state.dc_image.xsize(), kBlocks);
  EXPECT_EQ(state.coefficient_orders.stride, 6156u * 64u);
  EXPECT_TRUE(state.coefficient_orders.entries.empty());

  FrameHeader orphan(nullptr);
  EXPECT_EQ(PrepareSharedFrameState(orphan, &state, false), FailedStatus());
}

// Subsampled chroma leaves part of the DC planes unwritten by dequantisation,
// yet smoothing reads them whole: such frames start from a zero DC image.
TEST(PrepareSharedFrameStateTest, SubsampledFramesStartFromZeroDc) {
  auto metadata = MakeMetadata(kSide, kSide);
  test::CountingManager filled(0xAB);
  FrameDecodingState state(&filled.manager);
  FrameHeader header(metadata.get());
  header.chroma_subsampling.channel_mode[1] = 1;  // 4:2:0
  header.chroma_subsampling.max_hshift = 1;
  header.chroma_subsampling.max_vshift = 1;
  ASSERT_TRUE(PrepareSharedFrameState(header, &state, false).ok());
  for (size_t c = 0; c < 3; ++c) {
    for (size_t y = 0; y < state.dc_image.ysize(); ++y) {
      for (size_t x = 0; x < state.dc_image.xsize(); ++x) {
        ASSERT_EQ(state.dc_image.PlaneRow(c, y)[x], 0.0f) << c;
      }
    }
  }
}

TEST(PrepareSharedFrameStateTest, TakesTheDcOfTheDcFrameAbove) {
  auto metadata = MakeMetadata(kSide, kSide);
  struct Case {
    const char* name;
    uint32_t frame_type, dc_level;
    int decoded_dc_frame;  // dc_frames entry filled first, -1 none
    bool for_encoder;
    Status expected;
    int dc_in_use;  // dc_frames entry, -1 the frame's own dc_image
  };
  const Case cases[] = {
      {"regular, no DC frame yet", 0, 0, -1, false, FailedStatus(), 0},
      {"regular, level 1 decoded", 0, 0, 0, false, OkStatus(), 0},
      {"regular, only level 2 decoded", 0, 0, 1, false, FailedStatus(), 0},
      {"DC frame 1 from level 2", 1, 1, 1, false, OkStatus(), 1},
      {"DC frame 3 from level 4", 1, 3, 3, false, OkStatus(), 3},
      {"DC frame 4 has none above", 1, 4, 3, false, FailedStatus(), 0},
      {"encoder makes its own DC", 0, 0, -1, true, OkStatus(), -1},
  };
  for (const Case& c : cases) {
    FrameDecodingState state(HeapMemoryManager());
    FrameHeader header(metadata.get());
    header.flags = FrameFlags::kUseDcFrame;
    header.frame_type = c.frame_type;
    header.dc_level = c.dc_level;
    if (c.decoded_dc_frame >= 0) {
      state.dc_frames[c.decoded_dc_frame] = SomeImage(kBlocks, kBlocks);
    }
    EXPECT_EQ(PrepareSharedFrameState(header, &state, c.for_encoder),
              c.expected)
        << c.name;
    if (!c.expected.ok()) continue;
    if (c.dc_in_use < 0) {
      EXPECT_EQ(state.dc, &state.dc_image) << c.name;
      continue;
    }
    EXPECT_EQ(state.dc, &state.dc_frames[c.dc_in_use]) << c.name;
    EXPECT_FALSE(state.dc_image.xsize() != 0) << c.name;
    for (size_t y = 0; y < state.quant_dc.ysize(); ++y) {
      for (size_t x = 0; x < state.quant_dc.xsize(); ++x) {
        ASSERT_EQ(state.quant_dc.Row(y)[x], 0) << c.name;
      }
    }
  }
}

TEST(PrepareSharedFrameStateTest, EncoderSizesTheOrdersOfEveryPass) {
  auto metadata = MakeMetadata(kSide, kSide);
  FrameDecodingState state(HeapMemoryManager());
  FrameHeader header(metadata.get());
  header.passes.num_passes = 2;
  ASSERT_TRUE(PrepareSharedFrameState(header, &state, true).ok());
  EXPECT_EQ(state.coefficient_orders.entries.size(), 2u * 6156u * 64u);
}

TEST(ResetForFrameTest, DequantMultipliersFollowTheQmScales) {
  auto metadata = MakeMetadata(kSide, kSide);
  struct Case {
    uint32_t x_qm_scale, b_qm_scale;
    float x, b;
  };
  const Case cases[] = {
      {3, 2, 0.8f, 1.0f},
      {2, 2, 1.0f, 1.0f},
      {7, 0, std::pow(0.8f, 5.0f), std::pow(0.8f, -2.0f)},
  };
  for (const Case& c : cases) {
    FrameDecodingState state(HeapMemoryManager());
    FrameHeader header(metadata.get());
    header.x_qm_scale = c.x_qm_scale;
    header.b_qm_scale = c.b_qm_scale;
    ASSERT_TRUE(PrepareSharedFrameState(header, &state, false).ok());
    ASSERT_TRUE(state.ResetForFrame(header).ok());
    EXPECT_FLOAT_EQ(state.x_dequant_multiplier, c.x) << c.x_qm_scale;
    EXPECT_FLOAT_EQ(state.b_dequant_multiplier, c.b) << c.b_qm_scale;
  }
}

TEST(ResetForFrameTest, ClearsTheOutputsOfThePreviousFrame) {
  auto metadata = MakeMetadata(kSide, kSide);
  FrameDecodingState state(HeapMemoryManager());
  int buffer = 0;
  state.main_output.buffer = &buffer;
  state.main_output.callbacks.run = [](void*, size_t, size_t, size_t, size_t,
                                       const void*) {};
  state.extra_outputs.emplace_back();
  state.unpremultiply_alpha = true;
  state.undo_orientation = 6;
  state.used_varblock_kinds = 0x15;
  FrameHeader header(metadata.get());
  ASSERT_TRUE(PrepareSharedFrameState(header, &state, false).ok());
  ASSERT_TRUE(state.ResetForFrame(header).ok());
  EXPECT_EQ(state.main_output.buffer, nullptr);
  EXPECT_EQ(state.main_output.callbacks.run, nullptr);
  EXPECT_TRUE(state.extra_outputs.empty());
  EXPECT_FALSE(state.unpremultiply_alpha);
  EXPECT_EQ(state.undo_orientation, 1);
  EXPECT_EQ(state.used_varblock_kinds.load(), 0u);
}

TEST(ResetForFrameTest, EpfPlaneHasTwoBlocksOfMarginWhenTheFrameFilters) {
  auto metadata = MakeMetadata(kSide, kSide);
  for (uint32_t iters : {0u, 1u, 3u}) {
    FrameDecodingState state(HeapMemoryManager());
    FrameHeader header(metadata.get());
    header.loop_filter.epf_iters = iters;
    ASSERT_TRUE(PrepareSharedFrameState(header, &state, false).ok());
    ASSERT_TRUE(state.ResetForFrame(header).ok());
    const uint32_t side = iters > 0 ? kBlocks + 4 : 0;
    EXPECT_EQ(state.epf_inverse_sigma.xsize(), side) << iters;
    EXPECT_EQ(state.epf_inverse_sigma.ysize(), side) << iters;
  }
}

TEST(OutputRowStrideTest, RowBytesRoundedToTheAlignment) {
  struct Case {
    const char* name;
    uint32_t channels;
    OutputSampleType type;
    uint64_t alignment, xsize;
    bool ok;
    uint64_t stride;
  };
  const Case cases[] = {
      {"float RGB aligned 16", 3, OutputSampleType::kFloat32, 16, 5, true, 64},
      {"float RGB alignment 0", 3, OutputSampleType::kFloat32, 0, 5, true, 60},
      {"float RGB alignment 1", 3, OutputSampleType::kFloat32, 1, 5, true, 60},
      {"no channels", 0, OutputSampleType::kFloat32, 16, 5, true, 0},
      {"no columns", 4, OutputSampleType::kUint8, 64, 0, true, 0},
      {"bytes RGBA", 4, OutputSampleType::kUint8, 0, 3, true, 12},
      {"uint16 grey alpha", 2, OutputSampleType::kUint16, 0, 3, true, 12},
      {"half grey", 1, OutputSampleType::kFloat16, 8, 3, true, 8},
      {"unknown type counts 2 bytes", 1, static_cast<OutputSampleType>(1), 0, 3,
       true, 6},
      {"product overflows", 4, OutputSampleType::kFloat32, 0, uint64_t{1} << 60,
       false, 0},
      {"rounding overflows", 1, OutputSampleType::kUint8, uint64_t{1} << 63,
       (uint64_t{1} << 63) + 1, false, 0},
  };
  for (const Case& c : cases) {
    OutputPixelFormat format;
    format.num_channels = c.channels;
    format.data_type = c.type;
    format.row_alignment = c.alignment;
    const StatusOr<uint64_t> stride = OutputRowStride(format, c.xsize);
    ASSERT_EQ(stride.ok(), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(*stride, c.stride) << c.name;
    }
  }
}

// A driver whose decoded bundle points at `metadata`.
struct OutputFixture {
  explicit OutputFixture(std::unique_ptr<CodecMetadata> m)
      : metadata(std::move(m)),
        state(HeapMemoryManager()),
        bundle(HeapMemoryManager(), &metadata->m),
        driver(&state, nullptr, metadata.get()) {
    driver.decoded = &bundle;
  }
  Status Attach(uint64_t xsize, uint64_t ysize, bool unpremultiply,
                bool undo_orientation) {
    OutputPixelFormat format;
    format.num_channels = 4;
    format.data_type = OutputSampleType::kUint8;
    PixelRowCallbacks callbacks;
    return driver.AttachPixelOutput(callbacks, &buffer, sizeof(buffer), xsize,
                                    ysize, format, 8, unpremultiply,
                                    undo_orientation);
  }
  std::unique_ptr<CodecMetadata> metadata;
  FrameDecodingState state;
  ImageBundle bundle;
  FrameDriver driver;
  uint8_t buffer[64] = {};
};

TEST(AttachPixelOutputTest, FillsTheMainOutput) {
  OutputFixture f(MakeMetadata(kSide, kSide));
  f.state.extra_outputs.emplace_back();
  ASSERT_TRUE(f.Attach(10, 20, false, false).ok());
  const PixelOutputTarget& out = f.state.main_output;
  EXPECT_EQ(out.buffer, f.buffer);
  EXPECT_EQ(out.buffer_size, sizeof(f.buffer));
  EXPECT_EQ(out.bits_per_sample, 8u);
  EXPECT_EQ(out.format.num_channels, 4u);
  EXPECT_EQ(out.stride, 40u);
  EXPECT_TRUE(f.state.extra_outputs.empty());
}

TEST(AttachPixelOutputTest, UndoesTransposingOrientations) {
  struct Case {
    uint32_t orientation;
    bool undo;
    int32_t undo_orientation;
    uint64_t width, height;
  };
  const Case cases[] = {
      {6, true, 6, 20, 10}, {5, true, 5, 20, 10},  {8, true, 8, 20, 10},
      {4, true, 4, 10, 20}, {6, false, 1, 10, 20},
  };
  for (const Case& c : cases) {
    auto metadata = MakeMetadata(kSide, kSide);
    metadata->m.orientation = c.orientation;
    OutputFixture f(std::move(metadata));
    ASSERT_TRUE(f.Attach(10, 20, false, c.undo).ok());
    EXPECT_EQ(f.state.undo_orientation, c.undo_orientation) << c.orientation;
    EXPECT_EQ(f.state.output_width, c.width) << c.orientation;
    EXPECT_EQ(f.state.output_height, c.height) << c.orientation;
  }
}

TEST(AttachPixelOutputTest, UnpremultipliesOnlyAfterTheFirstAlphaChannel) {
  struct Channel {
    ExtraChannelKind kind;
    bool premultiplied;
  };
  struct Case {
    const char* name;
    std::vector<Channel> channels;
    bool requested;
    bool unpremultiply;
  };
  const Case cases[] = {
      {"premultiplied alpha", {{ExtraChannelKind::kAlpha, true}}, true, true},
      {"not requested", {{ExtraChannelKind::kAlpha, true}}, false, false},
      {"first alpha straight, second premultiplied",
       {{ExtraChannelKind::kAlpha, false}, {ExtraChannelKind::kAlpha, true}},
       true,
       false},
      {"depth before the alpha",
       {{ExtraChannelKind::kDepth, true}, {ExtraChannelKind::kAlpha, true}},
       true,
       true},
      {"no alpha", {{ExtraChannelKind::kDepth, true}}, true, false},
  };
  for (const Case& c : cases) {
    auto metadata = MakeMetadata(kSide, kSide);
    metadata->m.num_extra_channels = static_cast<uint32_t>(c.channels.size());
    metadata->m.extra_channel_info.resize(c.channels.size());
    for (size_t i = 0; i < c.channels.size(); ++i) {
      metadata->m.extra_channel_info[i].type =
          static_cast<uint32_t>(c.channels[i].kind);
      metadata->m.extra_channel_info[i].alpha_associated =
          c.channels[i].premultiplied;
    }
    OutputFixture f(std::move(metadata));
    ASSERT_TRUE(f.Attach(4, 4, c.requested, false).ok()) << c.name;
    EXPECT_EQ(f.state.unpremultiply_alpha, c.unpremultiply) << c.name;
  }
}

TEST(AttachPixelOutputTest, FailsWhenTheStrideOverflows) {
  OutputFixture f(MakeMetadata(kSide, kSide));
  EXPECT_EQ(f.Attach(uint64_t{1} << 62, 1, false, false), FailedStatus());
}

}  // namespace
}  // namespace qov
