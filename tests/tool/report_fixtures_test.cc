// qovinfo's report on small files written here, for what the real corpus
// does not show: box kinds and box sizes, gain-map boxes, time codes, a
// preview, extra-channel kinds, colour encodings, layers and file lengths
// that are multiples of the read size.
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "lib/bitstream/frame_header.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/color/color_enums.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/write_fields.h"
#include "lib/base/memory.h"
#include "tests/tool/jxl_writer_helpers.h"
#include "tests/tool/tool_run_helpers.h"

namespace qov {
namespace {

const char kSrgbLines[] =
    "Color space: RGB\n"
    "White point: D65\n"
    "Primaries: sRGB\n"
    "Transfer function: sRGB\n"
    "Rendering intent: Relative\n";
const char kContainerLine[] = "JPEG XL file format container (ISO/IEC 18181-2)\n";
const char kBasicLine[] = "JPEG XL image, 64x64, (possibly) lossless, 8-bit RGB\n";

// Runs the tool on `bytes` written to a file of the temporary folder.
struct FixtureRun {
  TempDir dir;
  std::string path;
  ToolResult result;
  FixtureRun(const Bytes& bytes, bool verbose = false) {
    path = dir.Write("fixture.jxl", bytes);
    result = verbose ? RunTool({"-v", path}) : RunTool({path});
  }
};

// A 64 x 64 sRGB still image with one unnamed frame.
Bytes PlainCodestream() {
  CodestreamWriter writer;
  writer.AddFrame(writer.NewFrame(), Bytes(20, 0));
  StatusOr<Bytes> bytes = writer.Write();
  EXPECT_TRUE(bytes.ok());
  return bytes.ok() ? std::move(bytes).value() : Bytes();
}

Bytes WriteOrFail(const CodestreamWriter& writer) {
  StatusOr<Bytes> bytes = writer.Write();
  EXPECT_TRUE(bytes.ok()) << "the fixture's bundles do not write";
  return bytes.ok() ? std::move(bytes).value() : Bytes();
}

TEST(ReportFixturesTest, BareCodestreamStillImage) {
  const FixtureRun run(PlainCodestream());
  EXPECT_EQ(std::string(kBasicLine) + kSrgbLines, run.result.out);
  EXPECT_EQ("", run.result.err);
  EXPECT_EQ(0, run.result.exit_code);
}

// Every kind of box line, with 32-bit, 64-bit and to-the-end sizes.
TEST(ReportFixturesTest, BoxLines) {
  const Bytes codestream = PlainCodestream();
  const Bytes file = Concat({ContainerHead(), Box("jxll", {10}), Box("jxlc", codestream),
                             Box("jumb", Bytes(100, 1)), Box("jxli", Bytes(7, 0)),
                             Box64("Exif", Bytes(30, 2)), Box("jbrd", Bytes(5, 0)),
                             Box("brob", Concat({StringBytes("xml "), Bytes(9, 3)})),
                             Box("abcd", Bytes(3, 0)), BoxToEnd("xml ", Bytes(40, 4))});
  const FixtureRun run(file);
  EXPECT_EQ(std::string(kContainerLine) + kBasicLine + kSrgbLines +
                "Uncompressed jumb metadata: 108 bytes\n"
                "Frame index box present\n"
                "Uncompressed Exif metadata: 46 bytes\n"
                "JPEG bitstream reconstruction data available\n"
                "Brotli-compressed xml  metadata: 21 compressed bytes\n"
                "Unknown box:\n  type: \"abcd\"\n  size: 11\n"
                "Uncompressed xml  metadata: 0 bytes\n",
            run.result.out);
  EXPECT_EQ("", run.result.err);
  EXPECT_EQ(0, run.result.exit_code);
}

TEST(ReportFixturesTest, VerboseBoxHeaders) {
  const Bytes file = Concat({ContainerHead(), Box("jxlc", PlainCodestream()),
                             Box64("brob", Concat({StringBytes("Exif"), Bytes(4, 0)})),
                             BoxToEnd("jumb", Bytes(3, 0))});
  const FixtureRun run(file, /*verbose=*/true);
  const std::string jxlc_size = std::to_string(8 + PlainCodestream().size());
  const std::string jxlc_contents = std::to_string(PlainCodestream().size());
  EXPECT_EQ(std::string("Box:\n  type: \"JXL \"\n  size: 12\n  contents size: 4\n") +
                kContainerLine +
                "Box:\n  type: \"ftyp\"\n  size: 20\n  contents size: 12\n"
                "Box:\n  type: \"jxlc\"\n  size: " + jxlc_size +
                "\n  contents size: " + jxlc_contents + "\n" + kBasicLine +
                "Number of color channels: 3\n"
                "Number of extra channels: 0\n"
                "Have preview: 0\n"
                "Have animation: 0\n"
                "Intrinsic dimensions: 64x64\n"
                "Orientation: 1 (Normal)\n" +
                kSrgbLines +
                "Box:\n  type: \"brob\"\n  size: 24\n  contents size: 8\n"
                "Brotli-compressed Exif metadata: 24 compressed bytes\n"
                "Box:\n  type: \"jumb\"\n  size: 0\n  contents size: 0\n"
                "Uncompressed jumb metadata: 0 bytes\n",
            run.result.out);
  EXPECT_EQ("", run.result.err);
}

// The contents of a 'jhgm' box.
Bytes GainMapBox(uint8_t version, const Bytes& metadata, const Bytes& color_encoding,
                 const Bytes& compressed_icc, size_t gain_map_size) {
  Bytes box = {version};
  AppendBE(metadata.size(), 2, &box);
  box.insert(box.end(), metadata.begin(), metadata.end());
  box.push_back(static_cast<uint8_t>(color_encoding.size()));
  box.insert(box.end(), color_encoding.begin(), color_encoding.end());
  AppendBE(compressed_icc.size(), 4, &box);
  box.insert(box.end(), compressed_icc.begin(), compressed_icc.end());
  box.resize(box.size() + gain_map_size, 0xA5);
  return box;
}

// Display P3 as a colour-encoding bundle, byte-padded.
Bytes P3EncodingBytes() {
  static const QovMemoryManagerStruct manager = {nullptr, DefaultAllocate, DefaultRelease};
  ColorEncoding encoding;
  encoding.all_default = false;
  encoding.primaries = Raw(Primaries::kP3);
  encoding.rendering_intent = Raw(RenderingIntent::kPerceptual);
  BitWriter writer(&manager);
  EXPECT_TRUE(Bundle::Write(encoding, &writer, LayerType::kHeader, nullptr).ok());
  EXPECT_TRUE(writer
                  .WithBitBudget(8, LayerType::kHeader, nullptr,
                                 [&]() {
                                   writer.ZeroPadToByte();
                                   return OkStatus();
                                 })
                  .ok());
  const Span span = writer.GetSpan();
  return Bytes(span.data, span.data + span.size);
}

// Gain-map boxes larger than one box-buffer round, before and after the
// codestream; with and without a colour encoding; boxes that do not parse.
TEST(ReportFixturesTest, GainMapBoxes) {
  const Bytes plain = GainMapBox(1, Bytes(10, 7), {}, {}, 3000);
  const Bytes with_color = GainMapBox(2, Bytes(300, 7), P3EncodingBytes(), {}, 5000);
  const Bytes bad_icc = GainMapBox(3, {}, {}, {0xFF, 0xFF, 0xFF}, 2);
  const Bytes cut = {4, 0, 50};  // metadata size beyond the box
  const Bytes file = Concat({ContainerHead(), Box("jhgm", plain), Box("jxlc", PlainCodestream()),
                             Box("jhgm", with_color), Box("jhgm", bad_icc),
                             Box("jhgm", cut), Box("jhgm", GainMapBox(5, {}, {}, {}, 0))});
  const FixtureRun run(file);
  EXPECT_EQ(std::string(kContainerLine) +
                "Gain map (jhgm) box: version = 1  3000-byte gain map, 10-byte metadata\n" +
                kBasicLine + kSrgbLines +
                "Gain map (jhgm) box: version = 2  5000-byte gain map, 300-byte metadata\n"
                "  Color space: RGB\n"
                "  White point: D65\n"
                "  Primaries: P3\n"
                "  Transfer function: sRGB\n"
                "  Rendering intent: Perceptual\n"
                "Gain map (jhgm) box: version = 3  2-byte gain map, 0-byte metadata\n"
                "Gain map (jhgm) box: version = 5  0-byte gain map, 0-byte metadata\n",
            run.result.out);
  EXPECT_EQ("Invalid gain map box found (ICC profile does not decompress)\n"
            "Invalid gain map box found\n",
            run.result.err);
  EXPECT_EQ(0, run.result.exit_code);
}

// Time codes, durations, crops, names and a loop count of 3.
TEST(ReportFixturesTest, AnimationWithTimeCodes) {
  CodestreamWriter writer;
  writer.metadata.m.have_animation = true;
  writer.metadata.m.animation.tps_numerator = 30;
  writer.metadata.m.animation.tps_denominator = 1;
  writer.metadata.m.animation.num_loops = 3;
  writer.metadata.m.animation.have_timecodes = true;
  FrameHeader first = writer.NewFrame();
  first.is_last = false;
  first.animation_frame.duration = 2;
  first.animation_frame.timecode = 0x01020304;
  first.name = "first";
  writer.AddFrame(first, Bytes(10, 0));
  FrameHeader layer = writer.NewFrame();
  layer.is_last = false;
  layer.custom_size_or_origin = true;
  layer.custom_xsize = 10;
  layer.custom_ysize = 12;
  layer.x0 = 5;
  layer.y0 = -3;
  layer.blending_info.mode = static_cast<uint32_t>(BlendKind::kAdd);
  writer.AddFrame(layer, Bytes(10, 0));
  FrameHeader last = writer.NewFrame();
  last.animation_frame.duration = 3;
  last.animation_frame.timecode = 0xABCDEF;
  writer.AddFrame(last, Bytes(10, 0));
  const Bytes file = WriteOrFail(writer);

  const std::string frames =
      "Frame: Full image size, duration: 66.7 ms, time code: 1020304, name: \"first\"\n"
      "Layer: 10x12 at position (5,-3), duration: 0.0 ms, time code: 0\n"
      "Frame: Full image size, duration: 100.0 ms, time code: ABCDEF\n"
      "Animation length: 0.500 seconds\n";
  {
    const FixtureRun run(file);
    EXPECT_EQ("JPEG XL animation, 64x64, (possibly) lossless, 8-bit RGB\n" +
                  std::string(kSrgbLines) + frames,
              run.result.out);
    EXPECT_EQ("", run.result.err);
  }
  {
    const FixtureRun run(file, /*verbose=*/true);
    EXPECT_EQ("JPEG XL animation, 64x64, (possibly) lossless, 8-bit RGB\n"
              "Number of color channels: 3\n"
              "Number of extra channels: 0\n"
              "Have preview: 0\n"
              "Have animation: 1\n"
              "Ticks per second (numerator / denominator): 30 / 1\n"
              "Num loops: 3\n"
              "Have timecodes: 1\n"
              "Intrinsic dimensions: 64x64\n"
              "Orientation: 1 (Normal)\n" +
                  std::string(kSrgbLines) + frames,
              run.result.out);
  }
}

TEST(ReportFixturesTest, AnimationLoopCounts) {
  struct Case {
    uint32_t loops;
    const char* length_line;
  } const cases[] = {
      {0, "Animation length: 0.250 seconds (looping)\n"},
      {1, "Animation length: 0.250 seconds\n"},
      {2, "Animation length: 0.500 seconds\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.loops);
    CodestreamWriter writer;
    writer.metadata.m.have_animation = true;
    writer.metadata.m.animation.tps_numerator = 1000;
    writer.metadata.m.animation.tps_denominator = 1;
    writer.metadata.m.animation.num_loops = c.loops;
    FrameHeader frame = writer.NewFrame();
    frame.animation_frame.duration = 250;
    writer.AddFrame(frame, Bytes(4, 0));
    const FixtureRun run(WriteOrFail(writer));
    EXPECT_EQ("JPEG XL animation, 64x64, (possibly) lossless, 8-bit RGB\n" +
                  std::string(kSrgbLines) + "Frame: Full image size, duration: 250.0 ms\n" +
                  c.length_line,
              run.result.out);
  }
}

// Still images: the only unnamed frame prints nothing; named or several
// layers print a line each; reference-only frames are not layers.
TEST(ReportFixturesTest, LayersOfStillImages) {
  struct FrameSpec {
    const char* name;
    bool crop;
    uint32_t frame_type;
  };
  struct Case {
    const char* label;
    std::vector<FrameSpec> frames;
    std::string lines;
  } const cases[] = {
      {"one unnamed frame", {{"", false, 0}}, ""},
      {"one named frame", {{"only", false, 0}}, "Layer: Full image size, name: \"only\"\n"},
      {"two layers",
       {{"bg", false, 0}, {"", true, 0}},
       "Layer: Full image size, name: \"bg\"\nLayer: 32x16 at position (16,8)\n"},
      {"reference frame, then the image", {{"", false, 2}, {"", false, 0}}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    CodestreamWriter writer;
    for (size_t i = 0; i < c.frames.size(); ++i) {
      FrameHeader frame = writer.NewFrame();
      frame.name = c.frames[i].name;
      frame.frame_type = c.frames[i].frame_type;
      if (frame.frame_type == static_cast<uint32_t>(FrameKind::kReferenceOnly)) {
        frame.save_as_reference = 1;
      }
      frame.is_last = i + 1 == c.frames.size();
      if (c.frames[i].crop) {
        frame.custom_size_or_origin = true;
        frame.custom_xsize = 32;
        frame.custom_ysize = 16;
        frame.x0 = 16;
        frame.y0 = 8;
      }
      writer.AddFrame(frame, Bytes(6, 0));
    }
    const FixtureRun run(WriteOrFail(writer));
    EXPECT_EQ(std::string(kBasicLine) + kSrgbLines + c.lines, run.result.out);
    EXPECT_EQ("", run.result.err);
  }
}

TEST(ReportFixturesTest, PreviewIntrinsicSizeOrientationToneMapping) {
  CodestreamWriter writer;
  writer.SetSize(40, 30);
  ImageMetadata& m = writer.metadata.m;
  m.have_preview = true;
  m.preview_size.div8 = false;
  m.preview_size.ysize = 8;
  m.preview_size.xsize = 16;
  m.have_intrinsic_size = true;
  m.intrinsic_size.ysize = 60;
  m.intrinsic_size.xsize = 80;
  m.orientation = 8;
  m.tone_mapping.all_default = false;
  m.tone_mapping.intensity_target = 4000.0f;
  m.tone_mapping.min_nits = 0.5f;
  m.tone_mapping.relative_to_max_display = true;
  m.tone_mapping.linear_below = 0.25f;
  FrameHeader preview = writer.NewFrame();
  preview.is_preview = true;
  preview.is_last = true;
  writer.AddFrame(preview, Bytes(5, 0));
  writer.AddFrame(writer.NewFrame(), Bytes(5, 0));
  const FixtureRun run(WriteOrFail(writer));
  EXPECT_EQ("JPEG XL image, 40x30, (possibly) lossless, 8-bit RGB\n"
            "Intensity target: 4000.000000 nits\n"
            "Min nits: 0.500000\n"
            "Relative to max display: 1\n"
            "Linear below: 0.250000\n"
            "Preview image: 16x8\n"
            "Intrinsic dimensions: 80x60\n"
            "Orientation: 8 (90 degrees counter-clockwise)\n" +
                std::string(kSrgbLines),
            run.result.out);
  EXPECT_EQ("", run.result.err);
}

// Every extra-channel kind a header can hold, in the colour model and in the
// verbose listing.
TEST(ReportFixturesTest, ExtraChannelKinds) {
  CodestreamWriter writer;
  ImageMetadata& m = writer.metadata.m;
  auto add = [&m](ExtraChannelKind kind) -> ExtraChannelInfo& {
    ExtraChannelInfo info;
    info.all_default = false;
    info.type = static_cast<uint32_t>(kind);
    m.extra_channel_info.push_back(info);
    m.num_extra_channels = static_cast<uint32_t>(m.extra_channel_info.size());
    return m.extra_channel_info.back();
  };
  ExtraChannelInfo& alpha = add(ExtraChannelKind::kAlpha);
  alpha.alpha_associated = true;
  alpha.bit_depth.floating_point_sample = true;
  alpha.bit_depth.bits_per_sample = 16;
  alpha.bit_depth.exponent_bits_per_sample = 5;
  ExtraChannelInfo& spot = add(ExtraChannelKind::kSpotColor);
  spot.name = "gold";
  spot.spot_color[0] = 1.0f;
  spot.spot_color[1] = 0.5f;
  spot.spot_color[2] = 0.25f;
  spot.spot_color[3] = 0.75f;
  add(ExtraChannelKind::kDepth).dim_shift = 1;
  add(ExtraChannelKind::kCfa).cfa_channel = 2;
  add(ExtraChannelKind::kBlack);
  add(ExtraChannelKind::kSelectionMask);
  add(ExtraChannelKind::kThermal);
  add(ExtraChannelKind::kOptional);
  writer.AddFrame(writer.NewFrame(), Bytes(5, 0));
  const Bytes file = WriteOrFail(writer);
  const std::string basic =
      "JPEG XL image, 64x64, (possibly) lossless, 8-bit "
      "CMY+Alpha+Spotcolor+Depth+CFA+Black+Selection+Thermal+Optional\n";
  {
    const FixtureRun run(file);
    EXPECT_EQ(basic + kSrgbLines, run.result.out);
    EXPECT_EQ("", run.result.err);
  }
  {
    const FixtureRun run(file, /*verbose=*/true);
    EXPECT_EQ(basic +
                  "Number of color channels: 3\n"
                  "Number of extra channels: 8\n"
                  "Extra channel 0:\n  type: Alpha\n  bits per sample: 16\n"
                  "  float, with exponent_bits_per_sample: 5\n"
                  "  alpha premultiplied: 1 (Premultiplied)\n"
                  "Extra channel 1:\n  type: Spotcolor\n  bits per sample: 8\n"
                  "  name: gold\n"
                  "  spot color: (1.000000, 0.500000, 0.250000) with opacity 0.750000\n"
                  "Extra channel 2:\n  type: Depth\n  bits per sample: 8\n  upsampled 2x\n"
                  "Extra channel 3:\n  type: CFA\n  bits per sample: 8\n  cfa_channel: 2\n"
                  "Extra channel 4:\n  type: Black\n  bits per sample: 8\n"
                  "Extra channel 5:\n  type: Selection\n  bits per sample: 8\n"
                  "Extra channel 6:\n  type: Thermal\n  bits per sample: 8\n"
                  "Extra channel 7:\n  type: Optional\n  bits per sample: 8\n"
                  "Have preview: 0\n"
                  "Have animation: 0\n"
                  "Intrinsic dimensions: 64x64\n"
                  "Orientation: 1 (Normal)\n" +
                  kSrgbLines,
              run.result.out);
  }
}

// Grey images and the named and custom colour descriptions.
TEST(ReportFixturesTest, ColourEncodings) {
  struct Case {
    const char* label;
    bool grey;
    uint32_t white_point;
    uint32_t primaries;
    uint32_t transfer;  // kTransferFunctionGamma: gamma 0.5
    uint32_t intent;
    std::string basic_model;
    std::string lines;
  } const cases[] = {
      {"grey with a gamma", true, Raw(WhitePoint::kD65), Raw(Primaries::kSrgb),
       kTransferFunctionGamma, Raw(RenderingIntent::kAbsolute), "Grayscale",
       "Color space: Grayscale\nWhite point: D65\nTransfer function: gamma(0.500000)\n"
       "Rendering intent: Absolute\n"},
      {"custom white point and primaries", false, Raw(WhitePoint::kCustom),
       Raw(Primaries::kCustom), Raw(TransferFunction::k709), Raw(RenderingIntent::kSaturation),
       "RGB",
       "Color space: RGB\nWhite point: Custom (x=0.310000,y=0.320000)\n"
       "Primaries: Custom - red(x=0.700000,y=0.290000), green(x=0.170000,y=0.790000), "
       "blue(x=0.130000,y=0.040000)\nTransfer function: 709\nRendering intent: Saturation\n"},
      {"DCI white point, P3 primaries, DCI transfer", false, Raw(WhitePoint::kDci),
       Raw(Primaries::kP3), Raw(TransferFunction::kDci), Raw(RenderingIntent::kPerceptual), "RGB",
       "Color space: RGB\nWhite point: P3\nPrimaries: P3\nTransfer function: DCI\n"
       "Rendering intent: Perceptual\n"},
      {"E white point, Rec.2100 with HLG", false, Raw(WhitePoint::kE),
       Raw(Primaries::k2100), Raw(TransferFunction::kHlg), Raw(RenderingIntent::kRelative),
       "RGB",
       "Color space: RGB\nWhite point: E\nPrimaries: Rec.2100\nTransfer function: HLG\n"
       "Rendering intent: Relative\n"},
      {"linear PQ", false, Raw(WhitePoint::kD65), Raw(Primaries::k2100),
       Raw(TransferFunction::kPq), Raw(RenderingIntent::kRelative), "RGB",
       "Color space: RGB\nWhite point: D65\nPrimaries: Rec.2100\nTransfer function: PQ\n"
       "Rendering intent: Relative\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    CodestreamWriter writer;
    ColorEncoding& e = writer.metadata.m.color_encoding;
    e.all_default = false;
    e.color_space = Raw(c.grey ? ColorSpace::kGray : ColorSpace::kRgb);
    e.white_point = c.white_point;
    e.white_x = 310000;
    e.white_y = 320000;
    e.primaries = c.primaries;
    e.red_x = 700000;
    e.red_y = 290000;
    e.green_x = 170000;
    e.green_y = 790000;
    e.blue_x = 130000;
    e.blue_y = 40000;
    if (c.transfer == kTransferFunctionGamma) {
      e.have_gamma = true;
      e.gamma = 5000000;
    } else {
      e.transfer_function = c.transfer;
    }
    e.rendering_intent = c.intent;
    writer.AddFrame(writer.NewFrame(), Bytes(5, 0));
    const FixtureRun run(WriteOrFail(writer));
    EXPECT_EQ("JPEG XL image, 64x64, (possibly) lossless, 8-bit " + c.basic_model + "\n" +
                  c.lines,
              run.result.out);
    EXPECT_EQ("", run.result.err);
  }
}

// Colour given as an ICC profile: the report reads its header; a profile of
// 131 bytes or fewer is too small for that (and leaves the line open).
TEST(ReportFixturesTest, IccProfiles) {
  struct Case {
    size_t size;
    uint32_t color_space;
    std::string out;
    std::string err;
  } const cases[] = {
      {131, Raw(ColorSpace::kRgb), "JPEG XL image, 64x64, (possibly) lossless, 8-bit RGB\n131-byte ICC profile, ",
       "ICC profile too small\n"},
      {132, Raw(ColorSpace::kRgb),
       "JPEG XL image, 64x64, (possibly) lossless, 8-bit RGB\n132-byte ICC profile, "
       "CMM type: \"qovt\", Color space: \"RGB \", Rendering intent: 2\n",
       ""},
      {700, Raw(ColorSpace::kGray),
       "JPEG XL image, 64x64, (possibly) lossless, 8-bit Grayscale\n700-byte ICC profile, "
       "CMM type: \"qovt\", Color space: \"GRAY\", Rendering intent: 2\n",
       ""},
      // The library gives no profile for a colour space it cannot tell.
      {300, Raw(ColorSpace::kUnknown),
       "JPEG XL image, 64x64, (possibly) lossless, 8-bit RGB\n",
       "QovDecoderGetICCProfileSize failed\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    CodestreamWriter writer;
    const bool grey = c.color_space == Raw(ColorSpace::kGray);
    writer.metadata.m.color_encoding.color_space = c.color_space;
    writer.SetIccProfile(MakeIccProfile(c.size, grey ? "GRAY" : "RGB ", 2));
    writer.AddFrame(writer.NewFrame(), Bytes(5, 0));
    const FixtureRun run(WriteOrFail(writer));
    EXPECT_EQ(c.out, run.result.out);
    EXPECT_EQ(c.err, run.result.err);
  }
}

// A gain map that carries a compressed ICC profile.
TEST(ReportFixturesTest, GainMapWithIccProfile) {
  StatusOr<Bytes> icc = WriteCompressedIcc(MakeIccProfile(300, "RGB ", 0));
  ASSERT_TRUE(icc.ok());
  const Bytes gain_map = GainMapBox(6, Bytes(2, 0), {}, icc.value(), 2100);
  const FixtureRun run(
      Concat({ContainerHead(), Box("jxlc", PlainCodestream()), Box("jhgm", gain_map)}));
  EXPECT_EQ(std::string(kContainerLine) + kBasicLine + kSrgbLines +
                "Gain map (jhgm) box: version = 6  300-byte ICC profile\n"
                "  2100-byte gain map, 2-byte metadata\n",
            run.result.out);
  EXPECT_EQ("", run.result.err);
}

// A file whose length is a multiple of the 2048-byte read size is read to
// its end and reported in full; a truncated one still fails.
TEST(ReportFixturesTest, FileLengthMultipleOfReadSize) {
  const Bytes codestream = PlainCodestream();
  const Bytes head = Concat({ContainerHead(), Box("jxlc", codestream)});
  for (size_t length : {size_t{2048}, size_t{4096}}) {
    SCOPED_TRACE(length);
    const Bytes file = Concat({head, Box("free", Bytes(length - head.size() - 8, 0))});
    ASSERT_EQ(length, file.size());
    const FixtureRun run(file);
    EXPECT_EQ(std::string(kContainerLine) + kBasicLine + kSrgbLines +
                  "Unknown box:\n  type: \"free\"\n  size: " +
                  std::to_string(length - head.size()) + "\n",
              run.result.out);
    EXPECT_EQ("", run.result.err);
    EXPECT_EQ(0, run.result.exit_code);
  }
  {
    // A bare codestream of exactly 2048 bytes.
    CodestreamWriter writer;
    const size_t header_size = WriteOrFail(writer).size();
    writer.AddFrame(writer.NewFrame(), Bytes(2048 - header_size - 8, 0));
    Bytes file = WriteOrFail(writer);
    // The frame's section size decides the header's length: fit it once more.
    if (file.size() != 2048) {
      CodestreamWriter again;
      again.AddFrame(again.NewFrame(), Bytes(2048 - header_size - 8 - (file.size() - 2048), 0));
      file = WriteOrFail(again);
    }
    ASSERT_EQ(2048u, file.size());
    const FixtureRun run(file);
    EXPECT_EQ(std::string(kBasicLine) + kSrgbLines, run.result.out);
    EXPECT_EQ("", run.result.err);
  }
  {
    // The last box announces more bytes than the 2048 the file has.
    Bytes file = Concat({head, Box("free", Bytes(2048 - head.size(), 0))});
    file.resize(2048);
    const FixtureRun run(file);
    EXPECT_EQ(std::string(kContainerLine) + kBasicLine + kSrgbLines +
                  "Unknown box:\n  type: \"free\"\n  size: " +
                  std::to_string(2048 - head.size() + 8) + "\n",
              run.result.out);
    EXPECT_EQ("Decoder error\n", run.result.err);
    EXPECT_EQ(0, run.result.exit_code);
  }
}

}  // namespace
}  // namespace qov
