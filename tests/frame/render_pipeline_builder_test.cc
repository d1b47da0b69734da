// Pipeline building: which stages a frame gets, in which order, with how
// many channels, and what a failed build leaves behind.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "lib/color/color_enums.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/render/low_memory_render_pipeline.h"
#include "tests/support/cms_test_module.h"

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
  // Names, with "<channel>/<shift>" after each upsampling stage.
  std::vector<std::string> NamesWithUpsampling() const {
    std::vector<std::string> names;
    for (const auto& stage : state.render_pipeline->stages) {
      std::string name = stage->StageName();
      if (name == "Upsample") {
        for (size_t c = 0; c < Channels(); ++c) {
          if (stage->ChannelModeOf(c) == RowChannelMode::kSeparateOutput) {
            name += ' ';
            name += std::to_string(c);
            name += '/';
            name += std::to_string(stage->geometry().shift_x);
          }
        }
      }
      names.push_back(name);
    }
    return names;
  }
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

// Extra channels upsampled with the colour channels when they share the
// frame's factor (after the features), else on their own before them. Built
// as whole-frame pipelines: in the cases with a colour factor above 1 and
// an early extra channel the patch stage sees its channels at two
// resolutions, which the low-memory pipeline refuses; the decoder never
// gets that far with such a frame, as it refuses patches there.
TEST(BuildRenderPipelineTest, ExtraChannelUpsamplingEarlyOrLate) {
  struct Case {
    const char* what;
    uint32_t upsampling;
    std::vector<uint32_t> ec_upsampling;
    Names stages;
  };
  const Case cases[] = {
      {"late: same factor", 2, {2},
       {"Patches", "Splines", "Upsample 0/1", "Upsample 1/1", "Upsample 2/1",
        "Upsample 3/1", "WriteIB"}},
      {"early: larger factor", 2, {4},
       {"Upsample 3/2", "Patches", "Splines", "Upsample 0/1", "Upsample 1/1",
        "Upsample 2/1", "WriteIB"}},
      {"early: colour not upsampled", 1, {2},
       {"Upsample 3/1", "Patches", "Splines", "WriteIB"}},
      {"late for both, early for none", 4, {4, 4},
       {"Patches", "Splines", "Upsample 0/2", "Upsample 1/2", "Upsample 2/2",
        "Upsample 3/2", "Upsample 4/2", "WriteIB"}},
      {"one differs: both early", 2, {2, 8},
       {"Upsample 3/1", "Upsample 4/3", "Patches", "Splines", "Upsample 0/1",
        "Upsample 1/1", "Upsample 2/1", "WriteIB"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fixture f(c.ec_upsampling.size());
    f.header.flags = FrameFlags::kPatches | FrameFlags::kSplines;
    f.header.upsampling = c.upsampling;
    f.header.ec_upsampling = c.ec_upsampling;
    RenderOptions simple;
    simple.prefer_simple = 1;
    ASSERT_TRUE(f.Build(simple).ok());
    EXPECT_EQ(f.NamesWithUpsampling(), c.stages);
  }
}

// Every frame the decoder accepts, by colour and extra-channel upsampling,
// features and filters, gets the group-by-group pipeline (the only one the
// frame driver asks for) and its buffers. Patches with an extra channel
// upsampled otherwise than a colour factor above 1 are refused while the
// frame's features are read, so they never come here.
TEST(BuildRenderPipelineTest, AcceptedUpsamplingMixesBuildTheLowMemoryPipeline) {
  for (uint32_t up = 1; up <= 8; up *= 2) {
    for (uint32_t ec0 = up; ec0 <= 8; ec0 *= 2) {
      for (const uint32_t ec1 : {up, 8u}) {
        for (const bool features : {false, true}) {
          for (const bool vardct : {false, true}) {
            if (features && up != 1 && (ec0 != up || ec1 != up)) continue;
            SCOPED_TRACE("upsampling " + std::to_string(up) + ", extra channels " +
                         std::to_string(ec0) + " and " + std::to_string(ec1) +
                         (features ? ", patches, splines, noise" : "") +
                         (vardct ? ", VarDCT 4:2:0 with every loop filter" : ""));
            Fixture f(2);
            // Several groups across and down at every factor.
            f.metadata.size.xsize = 2100;
            f.metadata.size.ysize = 1100;
            f.header.group_size_shift = 0;
            f.header.upsampling = up;
            f.header.ec_upsampling = {ec0, ec1};
            if (features) {
              f.header.flags =
                  FrameFlags::kPatches | FrameFlags::kSplines | FrameFlags::kNoise;
            }
            if (vardct) {
              f.header.encoding = static_cast<uint32_t>(FrameCoding::kVarDct);
              f.header.color_transform = static_cast<uint32_t>(ColorTransformKind::kYCbCr);
              f.header.chroma_subsampling.channel_mode[0] = 0;
              f.header.chroma_subsampling.channel_mode[1] = 1;
              f.header.chroma_subsampling.channel_mode[2] = 0;
              f.header.chroma_subsampling.max_hshift = 1;
              f.header.chroma_subsampling.max_vshift = 1;
              f.header.loop_filter.gab = true;
              f.header.loop_filter.epf_iters = 3;
            }
            ASSERT_TRUE(f.Build().ok());
            RenderPipeline* pipeline = f.state.render_pipeline.get();
            EXPECT_NE(dynamic_cast<LowMemoryRenderPipeline*>(pipeline), nullptr);
            EXPECT_TRUE(pipeline->SetUpThreads(2, false).ok());
          }
        }
      }
    }
  }
}

// The image's own colour encoding in the colour-stage cases.
enum class Own { kSrgb, kLinearSrgb, kIccOnly, kPq };

void SetOwnEncoding(Own own, ColorEncoding* e) {
  switch (own) {
    case Own::kSrgb:
      break;
    case Own::kLinearSrgb:
      e->transfer_function = Raw(TransferFunction::kLinear);
      break;
    case Own::kIccOnly: {
      std::vector<uint8_t> profile = StandardSrgbEncodings(false).icc;
      e->TakeIccProfile(std::move(profile));
      break;
    }
    case Own::kPq:
      e->primaries = Raw(Primaries::k2100);
      e->transfer_function = Raw(TransferFunction::kPq);
      break;
  }
}

// Display P3 primaries and D65 with the given curve, with its profile.
ColorEncoding P3Encoding(uint32_t transfer_function) {
  ColorEncoding e;
  e.primaries = Raw(Primaries::kP3);
  e.transfer_function = transfer_function;
  EXPECT_TRUE(e.BuildIccFromFields().ok());
  return e;
}

// The colour stages between the colour transform and the writer, by colour
// transform, the image's encoding, the wanted output, blending, tone mapping
// and whether a colour-management module is installed.
TEST(BuildRenderPipelineTest, ColourStagesByTransformAndOutput) {
  using CT = ColorTransformKind;
  struct Case {
    const char* what;
    CT transform;
    Own own;
    bool p3_output;  // the output set to Display P3 instead of the default
    bool module;     // a colour-management module is installed
    bool blend;      // the frame does not cover the image
    float desired;   // desired intensity target (nits); 0: the image's
    Names stages;
  };
  const Case cases[] = {
      {"XYB to sRGB", CT::kXyb, Own::kSrgb, false, false, false, 0,
       {"XYB", "FromLinear", "WriteIB"}},
      {"XYB to linear sRGB", CT::kXyb, Own::kLinearSrgb, false, false, false, 0,
       {"XYB", "FromLinear", "WriteIB"}},
      // An ICC-only image is delivered in linear sRGB: encoded without a
      // module, left linear by one (the twin is the output itself).
      {"XYB, ICC profile", CT::kXyb, Own::kIccOnly, false, false, false, 0,
       {"XYB", "FromLinear", "WriteIB"}},
      {"XYB, ICC profile, module", CT::kXyb, Own::kIccOnly, false, true, false,
       0, {"XYB", "WriteIB"}},
      {"XYB to P3 with a module", CT::kXyb, Own::kSrgb, true, true, false, 0,
       {"XYB", "Cms", "WriteIB"}},
      {"XYB to P3 without a module", CT::kXyb, Own::kSrgb, true, false, false,
       0, {"XYB", "FromLinear", "WriteIB"}},
      {"YCbCr", CT::kYCbCr, Own::kSrgb, false, false, false, 0,
       {"YCbCr", "WriteIB"}},
      {"YCbCr to P3 with a module", CT::kYCbCr, Own::kSrgb, true, true, false,
       0, {"YCbCr", "Cms", "WriteIB"}},
      // Blending works on encoded samples.
      {"XYB blended", CT::kXyb, Own::kSrgb, false, false, true, 0,
       {"XYB", "FromLinear", "Blending", "WriteIB"}},
      {"YCbCr blended", CT::kYCbCr, Own::kSrgb, false, false, true, 0,
       {"YCbCr", "Blending", "WriteIB"}},
      // Tone mapping works on linear samples.
      {"YCbCr PQ tone-mapped", CT::kYCbCr, Own::kPq, false, false, false, 250,
       {"YCbCr", "ToLinear", "ToneMapping", "FromLinear", "WriteIB"}},
      {"XYB PQ tone-mapped", CT::kXyb, Own::kPq, false, false, false, 250,
       {"XYB", "ToneMapping", "FromLinear", "WriteIB"}},
      {"XYB PQ blended, tone-mapped", CT::kXyb, Own::kPq, false, false, true,
       250,
       {"XYB", "FromLinear", "Blending", "ToLinear", "ToneMapping",
        "FromLinear", "WriteIB"}},
      {"PQ brightened: no tone mapping", CT::kNone, Own::kPq, false, false,
       false, 8000, {"WriteIB"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Before the fixture: the pipeline's stages call the module when the
    // fixture's state releases them.
    test::CmsTestModule module;
    Fixture f;
    f.metadata.m.xyb_encoded = c.transform == CT::kXyb;
    f.metadata.m.tone_mapping.intensity_target =
        c.own == Own::kPq ? 4000.0f : 255.0f;
    SetOwnEncoding(c.own, &f.metadata.m.color_encoding);
    f.header.color_transform = static_cast<uint32_t>(c.transform);
    f.header.custom_size_or_origin = c.blend;
    OutputColorSetup& out = f.state.output_color;
    ASSERT_TRUE(out.InitFromMetadata(f.metadata).ok());
    if (c.p3_output) {
      ASSERT_TRUE(
          out.SetOutputEncoding(P3Encoding(Raw(TransferFunction::kSrgb))).ok());
    }
    if (c.desired != 0) out.target_intensity = c.desired;
    if (c.module) {
      out.cms_present = true;
      out.cms = module.Interface();
    }
    ASSERT_TRUE(f.Build().ok());
    EXPECT_EQ(f.Names(), c.stages);
  }
}

// From linear samples the module converts from the output's linear twin:
// it is given that encoding's own profile, not the output's.
TEST(BuildRenderPipelineTest, ModuleGetsTheLinearTwinsProfile) {
  test::CmsTestModule module;  // outlives the fixture's pipeline
  Fixture f;
  f.metadata.m.xyb_encoded = true;
  f.header.color_transform = static_cast<uint32_t>(ColorTransformKind::kXyb);
  OutputColorSetup& out = f.state.output_color;
  ASSERT_TRUE(out.InitFromMetadata(f.metadata).ok());
  const ColorEncoding p3 = P3Encoding(Raw(TransferFunction::kSrgb));
  ASSERT_TRUE(out.SetOutputEncoding(p3).ok());
  out.cms_present = true;
  out.cms = module.Interface();
  ASSERT_TRUE(f.Build().ok());  // the low-memory pipeline: sizes known
  ASSERT_EQ(f.Names(), Names({"XYB", "Cms", "WriteIB"}));
  ASSERT_TRUE(f.state.render_pipeline->SetUpThreads(1, false).ok());
  ASSERT_EQ(module.created, 1);

  const ColorEncoding linear_p3 = P3Encoding(Raw(TransferFunction::kLinear));
  ASSERT_TRUE(linear_p3.icc != p3.icc);
  // Compared whole, not printed: the profiles are long.
  EXPECT_TRUE(module.source.icc == linear_p3.icc)
      << "the source profile is not the linear twin's";
  EXPECT_EQ(module.source.encoding.transfer_function, QOV_TRANSFER_FUNCTION_LINEAR);
  EXPECT_EQ(module.source.encoding.primaries, QOV_PRIMARIES_P3);
  EXPECT_EQ(module.source.channels, 3u);
  EXPECT_TRUE(module.destination.icc == p3.icc);
  // The state's own set-up is left as it was.
  EXPECT_TRUE(out.output_encoding.icc == p3.icc);
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
