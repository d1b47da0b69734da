// Pipeline building: which stages a frame gets, in which order, with how
// many channels, and what a failed build leaves behind.
#include <algorithm>
#include <memory>
#include <string>
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

struct Fixture {
  CodecMetadata metadata;
  FrameDecodingState state{Heap()};
  FrameHeader header{nullptr};
  ImageBundle decoded;
  std::vector<uint8_t> pixels;

  explicit Fixture(size_t num_extra = 0) {
    metadata.size.xsize = 20;
    metadata.size.ysize = 10;
    metadata.m.xyb_encoded = false;
    metadata.m.extra_channel_info.resize(num_extra);
    header = FrameHeader(&metadata);
    header.encoding = static_cast<uint32_t>(FrameCoding::kModular);
    header.color_transform = static_cast<uint32_t>(ColorTransformKind::kNone);
    header.loop_filter.gab = false;
    header.loop_filter.epf_iters = 0;
    header.ec_upsampling.assign(num_extra, 1);
    header.ec_blending_info.resize(num_extra);
    decoded = ImageBundle(Heap(), &metadata.m);
  }
  void AttachBuffer(uint64_t size_cut = 0) {
    PixelOutputTarget& t = state.main_output;
    t.format.num_channels = 3;
    t.format.data_type = OutputSampleType::kUint8;
    t.bits_per_sample = 8;
    t.stride = 60;
    pixels.assign(600, 0);
    t.buffer = pixels.data();
    t.buffer_size = pixels.size() - size_cut;
    state.output_width = 20;
    state.output_height = 10;
  }
  Status Build(RenderOptions options = RenderOptions()) {
    state.frame_geometry = header.ComputeGeometry();
    return state.BuildRenderPipeline(header, metadata, &decoded, options);
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& stage : state.render_pipeline->stages) {
      names.push_back(stage->StageName());
    }
    return names;
  }
  size_t Channels() const { return state.render_pipeline->channel_shifts[0].size(); }
};

using Names = std::vector<std::string>;

TEST(BuildRenderPipelineTest, WriterByOutput) {
  Fixture f;
  ASSERT_TRUE(f.Build().ok());
  EXPECT_EQ(f.Names(), Names({"WriteIB"}));
  EXPECT_EQ(f.Channels(), 3u);
  f.AttachBuffer();
  ASSERT_TRUE(f.Build().ok());
  EXPECT_EQ(f.Names(), Names({"WritePixelCB"}));
}

TEST(BuildRenderPipelineTest, FeaturesNoiseAndChannelCount) {
  Fixture f(2);
  f.header.flags = FrameFlags::kNoise | FrameFlags::kPatches | FrameFlags::kSplines;
  ASSERT_TRUE(f.Build().ok());
  EXPECT_EQ(f.Names(), Names({"Patches", "Splines", "ConvNoise", "AddNoise", "WriteIB"}));
  EXPECT_EQ(f.Channels(), 8u);
  RenderOptions no_noise;
  no_noise.add_noise = 0;
  ASSERT_TRUE(f.Build(no_noise).ok());
  EXPECT_EQ(f.Names(), Names({"Patches", "Splines", "WriteIB"}));
  EXPECT_EQ(f.Channels(), 5u);
}

TEST(BuildRenderPipelineTest, ReferencesAndDcFrames) {
  {
    Fixture f;
    f.header.is_last = false;  // duration 0: kept for later frames
    f.state.reference_image.name = "old";
    ASSERT_TRUE(f.Build().ok());
    EXPECT_EQ(f.Names(), Names({"WriteIB", "WriteIB"}));
    EXPECT_EQ(f.state.reference_image.name, "");
    RenderOptions no_coalescing;
    no_coalescing.coalesce = 0;
    ASSERT_TRUE(f.Build(no_coalescing).ok());
    EXPECT_EQ(f.Names(), Names({"WriteIB"}));
    f.header.save_before_color_transform = true;
    ASSERT_TRUE(f.Build(no_coalescing).ok());
    EXPECT_EQ(f.Names(), Names({"WriteIB", "WriteIB"}));
  }
  {
    Fixture f;
    f.header.is_last = false;
    f.header.frame_type = static_cast<uint32_t>(FrameKind::kDc);
    f.header.dc_level = 2;
    f.state.reference_image.name = "kept";
    ASSERT_TRUE(f.Build().ok());
    EXPECT_EQ(f.Names(), Names({"WriteI3F", "WriteIB"}));
    EXPECT_EQ(f.state.reference_image.name, "kept");
  }
}

TEST(BuildRenderPipelineTest, LoopFiltersThenUpsamplingPerColourChannel) {
  Fixture f;
  f.header.loop_filter.gab = true;
  f.header.loop_filter.epf_iters = 3;
  f.header.upsampling = 2;
  ASSERT_TRUE(f.Build().ok());
  EXPECT_EQ(f.Names(), Names({"Gab", "EPF0", "EPF1", "EPF2", "Upsample", "Upsample",
                              "Upsample", "WriteIB"}));
}

// Chroma upsampling goes to the channels coded below the frame's resolution
// (those whose mode shifts are smaller than the maxima), never to the full-
// resolution one, and the pipeline's input shifts say the same.
TEST(BuildRenderPipelineTest, ChromaUpsamplingOnlyForSubsampledChannels) {
  struct Case {
    const char* what;
    uint32_t modes[3];  // channel_mode of Cb, Y, Cr
    Names stages;        // "<name> <channel>" in order
    uint64_t shifts[3][2];
  };
  const Case cases[] = {
      {"4:4:4", {0, 0, 0}, {}, {{0, 0}, {0, 0}, {0, 0}}},
      {"4:2:0", {0, 1, 0},
       {"HChromaUps 0", "VChromaUps 0", "HChromaUps 2", "VChromaUps 2"},
       {{1, 1}, {0, 0}, {1, 1}}},
      {"4:2:2", {0, 2, 0}, {"HChromaUps 0", "HChromaUps 2"}, {{1, 0}, {0, 0}, {1, 0}}},
      {"4:4:0", {0, 3, 0}, {"VChromaUps 0", "VChromaUps 2"}, {{0, 1}, {0, 0}, {0, 1}}},
      // Cb halved both ways against a 4:2:2 Y: Cb only needs the vertical step.
      {"mixed", {1, 2, 2}, {"VChromaUps 1", "VChromaUps 2"}, {{0, 0}, {0, 1}, {0, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fixture f;
    f.header.encoding = static_cast<uint32_t>(FrameCoding::kVarDct);
    f.header.color_transform = static_cast<uint32_t>(ColorTransformKind::kYCbCr);
    YCbCrChromaSubsampling& cs = f.header.chroma_subsampling;
    uint8_t max_h = 0, max_v = 0;
    for (size_t ch = 0; ch < 3; ++ch) {
      static constexpr uint8_t kH[4] = {0, 1, 1, 0}, kV[4] = {0, 1, 0, 1};
      cs.channel_mode[ch] = c.modes[ch];
      max_h = std::max(max_h, kH[c.modes[ch]]);
      max_v = std::max(max_v, kV[c.modes[ch]]);
    }
    cs.max_hshift = max_h;
    cs.max_vshift = max_v;
    ASSERT_TRUE(f.Build().ok());
    Names got;
    for (const auto& stage : f.state.render_pipeline->stages) {
      const std::string name = stage->StageName();
      if (name.find("ChromaUps") == std::string::npos) continue;
      for (size_t ch = 0; ch < 3; ++ch) {
        if (stage->ChannelModeOf(ch) == RowChannelMode::kSeparateOutput) {
          got.push_back(name + " " + std::to_string(ch));
        }
      }
    }
    EXPECT_EQ(got, c.stages);
    const ChannelPairs& input = f.state.render_pipeline->channel_shifts[0];
    for (size_t ch = 0; ch < 3; ++ch) {
      EXPECT_EQ(input[ch].first, c.shifts[ch][0]) << "channel " << ch;
      EXPECT_EQ(input[ch].second, c.shifts[ch][1]) << "channel " << ch;
    }
  }
}

TEST(BuildRenderPipelineTest, RefusedTargetInstallsButFails) {
  Fixture f;
  ASSERT_TRUE(f.Build().ok());
  const RenderPipeline* before = f.state.render_pipeline.get();
  // A buffer too small for the frame: the pipeline is installed, but the
  // writer refuses before anything is written.
  f.AttachBuffer(1);
  EXPECT_FALSE(f.Build().ok());
  EXPECT_NE(f.state.render_pipeline.get(), before);
  EXPECT_EQ(f.Names(), Names({"WritePixelCB"}));
}

TEST(RenderOptionsTest, PackedOneOptionPerByte) {
  const RenderOptions o = RenderOptions::FromPacked(0x01000001u | 0xFE00u);
  EXPECT_EQ(o.prefer_simple, 1);
  EXPECT_EQ(o.coalesce, 0);  // only bit 0 of each byte counts
  EXPECT_EQ(o.spot_colors, 0);
  EXPECT_EQ(o.add_noise, 1);
  EXPECT_EQ(o.Packed(), 0x01000001u);
}

}  // namespace
}  // namespace qov
