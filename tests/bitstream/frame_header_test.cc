// Frame-level header bundles: the defaults of a fresh or all-default
// header, round trips with every field away from its default, the checks,
// the preview restrictions and the frame geometry.
#include "lib/bitstream/frame_header.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/base/image.h"
#include "lib/encode/write_fields.h"
#include "tests/support/bit_sequence.h"

namespace qov {
namespace {

using test::BitSequence;
using test::DecodeBundle;
using test::WriteBundle;

constexpr uint32_t kRegular = static_cast<uint32_t>(FrameKind::kRegular);
constexpr uint32_t kDc = static_cast<uint32_t>(FrameKind::kDc);
constexpr uint32_t kReferenceOnly =
    static_cast<uint32_t>(FrameKind::kReferenceOnly);
constexpr uint32_t kSkipProgressive =
    static_cast<uint32_t>(FrameKind::kSkipProgressive);
constexpr uint32_t kVarDct = static_cast<uint32_t>(FrameCoding::kVarDct);
constexpr uint32_t kModular = static_cast<uint32_t>(FrameCoding::kModular);
constexpr uint32_t kXyb = static_cast<uint32_t>(ColorTransformKind::kXyb);
constexpr uint32_t kNone = static_cast<uint32_t>(ColorTransformKind::kNone);
constexpr uint32_t kYCbCr = static_cast<uint32_t>(ColorTransformKind::kYCbCr);

// Image metadata of a width x height image with the given extra-channel
// dim_shifts.
CodecMetadata MakeMetadata(uint32_t width, uint32_t height, bool xyb,
                           const std::vector<uint32_t>& dim_shifts = {}) {
  CodecMetadata metadata;
  metadata.size.xsize = width;
  metadata.size.ysize = height;
  metadata.m.xyb_encoded = xyb;
  metadata.m.num_extra_channels = static_cast<uint32_t>(dim_shifts.size());
  for (uint32_t shift : dim_shifts) {
    ExtraChannelInfo info;
    info.dim_shift = shift;
    metadata.m.extra_channel_info.push_back(info);
  }
  return metadata;
}

void ExpectSame(const BlendingInfo& a, const BlendingInfo& b) {
  EXPECT_EQ(a.mode, b.mode);
  EXPECT_EQ(a.alpha_channel, b.alpha_channel);
  EXPECT_EQ(a.clamp, b.clamp);
  EXPECT_EQ(a.source, b.source);
  EXPECT_EQ(a.num_extra_channels, b.num_extra_channels);
  EXPECT_EQ(a.is_partial_frame, b.is_partial_frame);
}

void ExpectSame(const LoopFilter& a, const LoopFilter& b) {
  EXPECT_EQ(a.all_default, b.all_default);
  EXPECT_EQ(a.gab, b.gab);
  EXPECT_EQ(a.gab_custom, b.gab_custom);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(a.gab_w1[c], b.gab_w1[c]);
    EXPECT_EQ(a.gab_w2[c], b.gab_w2[c]);
  }
  EXPECT_EQ(a.epf_iters, b.epf_iters);
  EXPECT_EQ(a.epf_sharp_custom, b.epf_sharp_custom);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(a.epf_sharp_lut[i], b.epf_sharp_lut[i]);
  EXPECT_EQ(a.epf_weight_custom, b.epf_weight_custom);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(a.epf_channel_scale[c], b.epf_channel_scale[c]);
  }
  EXPECT_EQ(a.epf_pass1_zeroflush, b.epf_pass1_zeroflush);
  EXPECT_EQ(a.epf_pass2_zeroflush, b.epf_pass2_zeroflush);
  EXPECT_EQ(a.epf_sigma_custom, b.epf_sigma_custom);
  EXPECT_EQ(a.epf_quant_mul, b.epf_quant_mul);
  EXPECT_EQ(a.epf_pass0_sigma_scale, b.epf_pass0_sigma_scale);
  EXPECT_EQ(a.epf_pass2_sigma_scale, b.epf_pass2_sigma_scale);
  EXPECT_EQ(a.epf_border_sad_mul, b.epf_border_sad_mul);
  EXPECT_EQ(a.epf_sigma_for_modular, b.epf_sigma_for_modular);
  EXPECT_EQ(a.extensions, b.extensions);
  EXPECT_EQ(a.is_modular, b.is_modular);
}

void ExpectSame(const FrameHeader& a, const FrameHeader& b) {
  EXPECT_EQ(a.all_default, b.all_default);
  EXPECT_EQ(a.encoding, b.encoding);
  EXPECT_EQ(a.frame_type, b.frame_type);
  EXPECT_EQ(a.flags, b.flags);
  EXPECT_EQ(a.color_transform, b.color_transform);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(a.chroma_subsampling.channel_mode[c],
              b.chroma_subsampling.channel_mode[c]);
  }
  EXPECT_EQ(a.chroma_subsampling.max_hshift, b.chroma_subsampling.max_hshift);
  EXPECT_EQ(a.chroma_subsampling.max_vshift, b.chroma_subsampling.max_vshift);
  EXPECT_EQ(a.group_size_shift, b.group_size_shift);
  EXPECT_EQ(a.x_qm_scale, b.x_qm_scale);
  EXPECT_EQ(a.b_qm_scale, b.b_qm_scale);
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.passes.num_passes, b.passes.num_passes);
  EXPECT_EQ(a.passes.num_downsample, b.passes.num_downsample);
  for (uint32_t i = 0; i < kMaxNumPasses; ++i) {
    EXPECT_EQ(a.passes.shift[i], b.passes.shift[i]) << i;
    EXPECT_EQ(a.passes.downsample[i], b.passes.downsample[i]) << i;
    EXPECT_EQ(a.passes.last_pass[i], b.passes.last_pass[i]) << i;
  }
  EXPECT_EQ(a.custom_size_or_origin, b.custom_size_or_origin);
  EXPECT_EQ(a.custom_xsize, b.custom_xsize);
  EXPECT_EQ(a.custom_ysize, b.custom_ysize);
  EXPECT_EQ(a.upsampling, b.upsampling);
  EXPECT_EQ(a.ec_upsampling, b.ec_upsampling);
  EXPECT_EQ(a.x0, b.x0);
  EXPECT_EQ(a.y0, b.y0);
  {
    SCOPED_TRACE("colour blending");
    ExpectSame(a.blending_info, b.blending_info);
  }
  ASSERT_EQ(a.ec_blending_info.size(), b.ec_blending_info.size());
  for (size_t i = 0; i < a.ec_blending_info.size(); ++i) {
    SCOPED_TRACE("extra-channel blending " + std::to_string(i));
    ExpectSame(a.ec_blending_info[i], b.ec_blending_info[i]);
  }
  EXPECT_EQ(a.animation_frame.duration, b.animation_frame.duration);
  EXPECT_EQ(a.animation_frame.timecode, b.animation_frame.timecode);
  EXPECT_EQ(a.is_last, b.is_last);
  EXPECT_EQ(a.save_as_reference, b.save_as_reference);
  EXPECT_EQ(a.save_before_color_transform, b.save_before_color_transform);
  EXPECT_EQ(a.dc_level, b.dc_level);
  EXPECT_EQ(a.metadata, b.metadata);
  {
    SCOPED_TRACE("loop filter");
    ExpectSame(a.loop_filter, b.loop_filter);
  }
  EXPECT_EQ(a.extensions, b.extensions);
}

// Writes `in`, decodes it into a fresh header bound to the same metadata
// and checks every member and the bit count.
void ExpectRoundTrip(const FrameHeader& in) {
  uint64_t written = 0;
  const std::vector<uint8_t> bytes = WriteBundle(in, &written);
  ASSERT_FALSE(bytes.empty());
  FrameHeader out(in.metadata);
  uint64_t position = 0;
  ASSERT_TRUE(DecodeBundle(bytes, &out, &position).ok());
  EXPECT_EQ(position, written);
  ExpectSame(in, out);
}

// ---------------------------------------------------------------------------
// Defaults

struct DefaultsCase {
  const char* name;
  bool has_metadata;
  bool xyb;
  uint32_t color_transform;
  uint32_t x_qm_scale;
  uint32_t b_qm_scale;
};

const DefaultsCase kDefaultsCases[] = {
    {"no metadata", false, true, kXyb, 3, 2},
    {"xyb image", true, true, kXyb, 3, 2},
    {"non-xyb image", true, false, kNone, 2, 2},
};

void ExpectDefaults(const FrameHeader& h, const DefaultsCase& c) {
  EXPECT_TRUE(h.all_default);
  EXPECT_EQ(h.frame_type, kRegular);
  EXPECT_EQ(h.encoding, kVarDct);
  EXPECT_EQ(h.flags, 0u);
  EXPECT_EQ(h.color_transform, c.color_transform);
  EXPECT_TRUE(h.chroma_subsampling.IsFullResolution());
  EXPECT_EQ(h.chroma_subsampling.max_hshift, 0u);
  EXPECT_EQ(h.upsampling, 1u);
  EXPECT_EQ(h.group_size_shift, 1u);
  EXPECT_EQ(h.x_qm_scale, c.x_qm_scale);
  EXPECT_EQ(h.b_qm_scale, c.b_qm_scale);
  EXPECT_EQ(h.passes.num_passes, 1u);
  EXPECT_EQ(h.passes.num_downsample, 0u);
  EXPECT_EQ(h.dc_level, 0u);
  EXPECT_FALSE(h.custom_size_or_origin);
  EXPECT_EQ(h.custom_xsize, 0u);
  EXPECT_EQ(h.custom_ysize, 0u);
  EXPECT_EQ(h.x0, 0);
  EXPECT_EQ(h.y0, 0);
  EXPECT_EQ(h.blending_info.mode, 0u);
  EXPECT_EQ(h.blending_info.source, 0u);
  EXPECT_EQ(h.animation_frame.duration, 0u);
  EXPECT_TRUE(h.is_last);
  EXPECT_EQ(h.save_as_reference, 0u);
  EXPECT_FALSE(h.save_before_color_transform);
  EXPECT_TRUE(h.loop_filter.gab);
  EXPECT_FALSE(h.loop_filter.gab_custom);
  EXPECT_FLOAT_EQ(h.loop_filter.gab_w1[2], 0.115169525f);
  EXPECT_FLOAT_EQ(h.loop_filter.gab_w2[0], 0.061248593f);
  EXPECT_EQ(h.loop_filter.epf_iters, 2u);
  EXPECT_FLOAT_EQ(h.loop_filter.epf_sharp_lut[7], 1.0f);
  EXPECT_FLOAT_EQ(h.loop_filter.epf_channel_scale[0], 40.0f);
  EXPECT_FLOAT_EQ(h.loop_filter.epf_quant_mul, 0.46f);
  EXPECT_FLOAT_EQ(h.loop_filter.epf_sigma_for_modular, 1.0f);
  EXPECT_FLOAT_EQ(h.loop_filter.epf_border_sad_mul, 2.0f / 3.0f);
}

TEST(FrameHeaderDefaultsTest, FreshHeader) {
  for (const DefaultsCase& c : kDefaultsCases) {
    SCOPED_TRACE(c.name);
    const CodecMetadata metadata = MakeMetadata(300, 200, c.xyb);
    const FrameHeader h(c.has_metadata ? &metadata : nullptr);
    ExpectDefaults(h, c);
    EXPECT_TRUE(h.name.empty());
    EXPECT_FALSE(h.is_preview);
    // A default frame covers the whole image at full resolution.
    const FrameGeometry g = h.ComputeGeometry();
    EXPECT_EQ(g.xsize, c.has_metadata ? 300u : 0u);
    EXPECT_EQ(g.ysize, c.has_metadata ? 200u : 0u);
    EXPECT_EQ(g.xsize_upsampled, g.xsize);
  }
}

TEST(FrameHeaderDefaultsTest, WritesAsOneBit) {
  const CodecMetadata metadata = MakeMetadata(300, 200, true, {0, 1});
  FrameHeader h(&metadata);
  EXPECT_TRUE(Bundle::HoldsDefaults(h));
  uint64_t bits = 0;
  const std::vector<uint8_t> bytes = WriteBundle(h, &bits);
  EXPECT_EQ(bits, 1u);
  ASSERT_EQ(bytes.size(), 1u);
  EXPECT_EQ(bytes[0], 1u);
}

// The single bit 1 turns a header that held a DC frame of a YCbCr image
// back into the default frame: the values that the skipped branches assign
// (colour transform, DC level, quantisation scales, is_last) come back too.
// The name is not touched by the defaults. (save_before_color_transform is
// not read for a last frame and keeps its value, so it is left out here.)
TEST(FrameHeaderDefaultsTest, AllDefaultBitRestoresDefaults) {
  for (const DefaultsCase& c : kDefaultsCases) {
    SCOPED_TRACE(c.name);
    const CodecMetadata metadata = MakeMetadata(300, 200, c.xyb, {1});
    FrameHeader h(c.has_metadata ? &metadata : nullptr);
    h.all_default = false;
    h.frame_type = kDc;
    h.dc_level = 3;
    h.encoding = kModular;
    h.color_transform = kYCbCr;
    h.chroma_subsampling.channel_mode[1] = 1;
    h.chroma_subsampling.max_hshift = 1;
    h.chroma_subsampling.max_vshift = 1;
    h.x_qm_scale = 7;
    h.b_qm_scale = 7;
    h.group_size_shift = 3;
    h.upsampling = 4;
    h.passes.num_passes = 3;
    h.is_last = false;
    h.custom_size_or_origin = true;
    h.custom_xsize = 10;
    h.custom_ysize = 10;
    h.x0 = -5;
    h.blending_info.mode = 2;
    h.loop_filter.epf_iters = 0;
    h.loop_filter.gab = false;
    h.name = "kept";
    uint64_t position = 0;
    ASSERT_TRUE(DecodeBundle({0x01}, &h, &position).ok());
    EXPECT_EQ(position, 1u);
    ExpectDefaults(h, c);
    EXPECT_EQ(h.name, "kept");
    const FrameGeometry g = h.ComputeGeometry();
    EXPECT_EQ(g.xsize, c.has_metadata ? 300u : 0u);
    EXPECT_EQ(g.ysize, c.has_metadata ? 200u : 0u);
    EXPECT_EQ(g.group_dim, 256u);
  }
}

// ---------------------------------------------------------------------------
// Round trips

TEST(FrameHeaderRoundTripTest, ModularYCbCrCroppedAnimatedFrame) {
  CodecMetadata metadata = MakeMetadata(4000, 3000, false, {0, 1});
  metadata.m.have_animation = true;
  metadata.m.animation.have_timecodes = true;
  FrameHeader h(&metadata);
  h.frame_type = kRegular;
  h.encoding = kModular;
  h.flags = FrameFlags::kNoise | FrameFlags::kPatches | FrameFlags::kSplines |
            0x4000;
  h.color_transform = kYCbCr;
  h.chroma_subsampling.channel_mode[0] = 2;
  h.chroma_subsampling.channel_mode[1] = 0;
  h.chroma_subsampling.channel_mode[2] = 3;
  h.chroma_subsampling.max_hshift = 1;
  h.chroma_subsampling.max_vshift = 1;
  h.upsampling = 2;
  h.ec_upsampling = {4, 8};
  h.group_size_shift = 3;
  h.x_qm_scale = 2;
  h.b_qm_scale = 2;
  h.passes.num_passes = 4;
  h.passes.num_downsample = 2;
  h.passes.shift[0] = 3;
  h.passes.shift[1] = 2;
  h.passes.shift[2] = 1;
  h.passes.downsample[0] = 4;
  h.passes.downsample[1] = 2;
  h.passes.last_pass[0] = 1;
  h.passes.last_pass[1] = 2;
  h.custom_size_or_origin = true;
  h.x0 = -3;
  h.y0 = 300;
  h.custom_xsize = 1000;
  h.custom_ysize = 20000;
  h.blending_info.mode = static_cast<uint32_t>(BlendKind::kBlend);
  h.blending_info.alpha_channel = 1;
  h.blending_info.clamp = true;
  h.blending_info.source = 3;
  h.ec_blending_info.resize(2);
  h.ec_blending_info[0].mode =
      static_cast<uint32_t>(BlendKind::kAlphaWeightedAdd);
  h.ec_blending_info[0].source = 1;
  h.ec_blending_info[1].mode = static_cast<uint32_t>(BlendKind::kMultiply);
  h.ec_blending_info[1].clamp = true;
  h.ec_blending_info[1].source = 2;
  h.animation_frame.duration = 500;
  h.animation_frame.timecode = 0x12345678;
  h.is_last = false;
  h.save_as_reference = 3;
  h.name = "frame one";
  LoopFilter& lf = h.loop_filter;
  lf.gab_custom = true;
  for (int c = 0; c < 3; ++c) {
    lf.gab_w1[c] = 0.125f * (c + 1);
    lf.gab_w2[c] = -0.0625f * (c + 1);
  }
  lf.epf_iters = 1;
  lf.epf_weight_custom = true;
  lf.epf_channel_scale[0] = 20.0f;
  lf.epf_channel_scale[1] = 2.5f;
  lf.epf_channel_scale[2] = 1.75f;
  lf.epf_pass1_zeroflush = 0.25f;
  lf.epf_pass2_zeroflush = 0.5f;
  lf.epf_sigma_custom = true;
  lf.epf_pass0_sigma_scale = 0.75f;
  lf.epf_pass2_sigma_scale = 4.0f;
  lf.epf_border_sad_mul = 0.5f;
  lf.epf_sigma_for_modular = 2.5f;
  h.extensions = 0x10;
  ExpectRoundTrip(h);
  EXPECT_TRUE(h.IsPartial());
}

TEST(FrameHeaderRoundTripTest, VarDctXybFrameSavedBeforeColorTransform) {
  const CodecMetadata metadata = MakeMetadata(1000, 600, true);
  FrameHeader h(&metadata);
  h.flags = FrameFlags::kSkipAdaptiveDcSmoothing;
  h.upsampling = 4;
  h.x_qm_scale = 7;
  h.b_qm_scale = 0;
  h.passes.num_passes = 2;
  h.passes.num_downsample = 1;
  h.passes.shift[0] = 3;
  h.passes.downsample[0] = 2;
  h.passes.last_pass[0] = 1;
  h.is_last = false;
  h.save_as_reference = 1;
  h.save_before_color_transform = true;
  h.name = std::string(100, 'n');
  LoopFilter& lf = h.loop_filter;
  lf.gab = false;
  lf.epf_iters = 3;
  lf.epf_sharp_custom = true;
  for (int i = 0; i < 8; ++i) lf.epf_sharp_lut[i] = 0.5f * i;
  lf.epf_weight_custom = true;
  // Custom values must be exact half floats (the defaults 0.45, 0.6 and 2/3
  // are not).
  lf.epf_channel_scale[2] = 7.0f;
  lf.epf_pass1_zeroflush = 0.375f;
  lf.epf_pass2_zeroflush = 0.5f;
  lf.epf_sigma_custom = true;
  lf.epf_quant_mul = 0.25f;
  lf.epf_pass0_sigma_scale = 1.5f;
  lf.epf_border_sad_mul = 0.75f;
  ExpectRoundTrip(h);
}

TEST(FrameHeaderRoundTripTest, DcFrame) {
  const CodecMetadata metadata = MakeMetadata(5000, 5000, true);
  FrameHeader h(&metadata);
  h.frame_type = kDc;
  h.encoding = kModular;
  h.group_size_shift = 0;
  h.x_qm_scale = 2;
  h.b_qm_scale = 2;
  h.dc_level = 3;
  h.passes.num_passes = 11;
  h.passes.num_downsample = 4;
  h.passes.downsample[0] = 8;
  h.passes.downsample[1] = 4;
  h.passes.downsample[2] = 2;
  h.passes.downsample[3] = 1;
  h.passes.last_pass[0] = 0;
  h.passes.last_pass[1] = 3;
  h.passes.last_pass[2] = 5;
  h.passes.last_pass[3] = 7;
  h.passes.shift[9] = 3;
  h.is_last = false;
  h.save_before_color_transform = true;
  h.loop_filter.epf_iters = 0;
  ExpectRoundTrip(h);
  const FrameGeometry g = h.ComputeGeometry();
  EXPECT_EQ(g.xsize, 10u);  // ceil(5000 / 512)
  EXPECT_EQ(g.ysize, 10u);
}

TEST(FrameHeaderRoundTripTest, ReferenceOnlyFrameCoveringTheImage) {
  const CodecMetadata metadata = MakeMetadata(640, 480, false, {2});
  FrameHeader h(&metadata);
  h.frame_type = kReferenceOnly;
  h.color_transform = kNone;
  h.x_qm_scale = 2;
  h.b_qm_scale = 2;
  h.ec_upsampling = {4};
  h.custom_size_or_origin = true;
  h.custom_xsize = 640;
  h.custom_ysize = 481;
  h.is_last = false;
  h.save_as_reference = 2;
  h.save_before_color_transform = false;
  ExpectRoundTrip(h);
}

TEST(FrameHeaderRoundTripTest, PartialSkipProgressiveFrameReadsItsSource) {
  const CodecMetadata metadata = MakeMetadata(64, 64, true, {0});
  FrameHeader h(&metadata);
  h.frame_type = kSkipProgressive;
  h.custom_size_or_origin = true;
  h.x0 = 8;
  h.y0 = 7;
  h.custom_xsize = 9;
  h.custom_ysize = 9;
  h.blending_info.source = 2;  // read although the mode is replace
  h.ec_blending_info.resize(1);
  h.ec_blending_info[0].source = 1;
  h.ec_upsampling = {1};
  ExpectRoundTrip(h);
}

TEST(FrameHeaderRoundTripTest, DcFrameFlagOmitsSubsamplingAndUpsampling) {
  const CodecMetadata metadata = MakeMetadata(64, 64, false, {0});
  FrameHeader h(&metadata);
  h.flags = FrameFlags::kUseDcFrame;
  h.color_transform = kYCbCr;
  h.x_qm_scale = 2;
  h.b_qm_scale = 2;
  h.ec_upsampling = {1};
  h.ec_blending_info.resize(1);
  ExpectRoundTrip(h);

  // The same header with a chroma mode and upsampling set: those values are
  // not written, so the decoded header has the defaults.
  h.chroma_subsampling.channel_mode[0] = 1;
  h.upsampling = 2;
  h.ec_upsampling = {2};
  const std::vector<uint8_t> bytes = WriteBundle(h);
  FrameHeader out(&metadata);
  ASSERT_TRUE(DecodeBundle(bytes, &out).ok());
  EXPECT_EQ(out.chroma_subsampling.channel_mode[0], 0u);
  EXPECT_EQ(out.upsampling, 1u);
  EXPECT_EQ(out.ec_upsampling, std::vector<uint32_t>{1});
}

TEST(FrameHeaderRoundTripTest, NameLengthsAtEveryChoice) {
  const CodecMetadata metadata = MakeMetadata(8, 8, true);
  for (size_t length : {0, 1, 15, 16, 47, 48, 1071}) {
    FrameHeader h(&metadata);
    h.name = std::string(length, 'x');
    if (!h.name.empty()) h.name[0] = '\xff';
    ExpectRoundTrip(h);
  }
}

TEST(FrameHeaderRoundTripTest, EveryTruncationNeedsMoreBytes) {
  CodecMetadata metadata = MakeMetadata(4000, 3000, false, {0});
  metadata.m.have_animation = true;
  FrameHeader h(&metadata);
  h.encoding = kModular;
  h.color_transform = kYCbCr;
  h.custom_size_or_origin = true;
  h.x0 = 3;
  h.custom_xsize = 100;
  h.custom_ysize = 100;
  h.blending_info.mode = 1;
  h.animation_frame.duration = 3;
  h.name = "truncated";
  h.loop_filter.gab_custom = true;
  const std::vector<uint8_t> bytes = WriteBundle(h);
  ASSERT_GT(bytes.size(), 8u);
  for (size_t n = 0; n < bytes.size(); ++n) {
    FrameHeader out(&metadata);
    EXPECT_TRUE(
        DecodeBundle(std::vector<uint8_t>(bytes.begin(), bytes.begin() + n),
                     &out)
            .need_more_bytes())
        << n;
  }
}

TEST(FrameHeaderTest, CopyAssignmentIsDeep) {
  const CodecMetadata metadata = MakeMetadata(64, 64, true, {0, 0});
  FrameHeader a(&metadata);
  a.name = "original";
  a.ec_blending_info.resize(2);
  a.ec_blending_info[1].mode = 1;
  a.ec_upsampling = {2, 4};
  FrameHeader b(nullptr);
  b = a;
  ExpectSame(a, b);
  b.name[0] = 'X';
  b.ec_blending_info[1].mode = 2;
  b.ec_upsampling[0] = 8;
  EXPECT_EQ(a.name, "original");
  EXPECT_EQ(a.ec_blending_info[1].mode, 1u);
  EXPECT_EQ(a.ec_upsampling[0], 2u);
}

// Whatever random bytes decode to must write back and decode to the same
// header, for metadata with and without XYB, extra channels and animation.
TEST(FrameHeaderRoundTripTest, RandomInputsRoundTripWhenValid) {
  CodecMetadata plain = MakeMetadata(300, 200, true);
  CodecMetadata rich = MakeMetadata(5000, 40, false, {0, 2, 1});
  rich.m.have_animation = true;
  rich.m.animation.have_timecodes = true;
  uint64_t state = 12345;
  auto next = [&state] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  };
  int decoded = 0;
  for (int iteration = 0; iteration < 30000; ++iteration) {
    const CodecMetadata* metadata = (iteration & 1) ? &rich : &plain;
    std::vector<uint8_t> bytes(next() % 40);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(next());
    if (!bytes.empty()) bytes[0] &= 0xFE;  // not all-default
    FrameHeader h(metadata);
    h.is_preview = (iteration % 7) == 0;
    const Status status = DecodeBundle(bytes, &h);
    ASSERT_TRUE(status.ok() || status.failed() || status.need_more_bytes());
    if (!status.ok()) continue;
    const FrameGeometry g = h.ComputeGeometry();
    EXPECT_GE(g.num_groups, 1u);
    // One non-empty extension block per written tree.
    if (h.extensions != 0 && h.loop_filter.extensions != 0) continue;
    ++decoded;
    SCOPED_TRACE(iteration);
    h.is_preview = false;
    ExpectRoundTrip(h);
  }
  EXPECT_GT(decoded, 300);
}

// ---------------------------------------------------------------------------
// Hand-made streams

// all_default 0, frame type, encoding, flags: the common start of a header.
BitSequence HeaderStart(uint32_t frame_type, bool modular, uint64_t flags) {
  BitSequence s;
  s.Bool(false).Bits(2, frame_type).Bool(modular).U64(flags);
  return s;
}

// The end of a regular last frame of an XYB image after the upsampling
// fields: quantisation scales, one pass, no crop, replace blending for the
// colour and `num_ec` extra channels, is_last, empty name, default loop
// filter, no extensions.
void FinishRegularXybFrame(BitSequence* s, int num_ec) {
  s->Bits(3, 3).Bits(3, 2).Bits(2, 0).Bool(false);
  for (int i = 0; i <= num_ec; ++i) s->Bits(2, 0);
  s->Bool(true).Bits(2, 0).Bool(true).Bits(2, 0);
}

TEST(FrameHeaderTest, ExtraChannelUpsamplingIsShiftedByDimShift) {
  const CodecMetadata metadata = MakeMetadata(64, 64, true, {1});
  // Upsampling 1, extra channel coded as 2 (selector 1).
  BitSequence ok = HeaderStart(kRegular, false, 0);
  ok.Bits(2, 0).Bits(2, 1);
  FinishRegularXybFrame(&ok, 1);
  FrameHeader h(&metadata);
  uint64_t position = 0;
  ASSERT_TRUE(DecodeBundle(ok.Bytes(), &h, &position).ok());
  EXPECT_EQ(position, ok.size_bits());
  EXPECT_EQ(h.ec_upsampling, std::vector<uint32_t>{4});

  // Upsampling 8 (selector 3) with the same channel: 4 < 8 fails.
  BitSequence bad = HeaderStart(kRegular, false, 0);
  bad.Bits(2, 3).Bits(2, 1);
  FinishRegularXybFrame(&bad, 1);
  FrameHeader h2(&metadata);
  EXPECT_TRUE(DecodeBundle(bad.Bytes(), &h2).failed());

  // dim_shift 1 with coded 8 stores 16 > 8: fails.
  BitSequence wide = HeaderStart(kRegular, false, 0);
  wide.Bits(2, 0).Bits(2, 3);
  FinishRegularXybFrame(&wide, 1);
  FrameHeader h3(&metadata);
  EXPECT_TRUE(DecodeBundle(wide.Bytes(), &h3).failed());
}

// A DC frame codes its DC level and nothing about crop, blending, animation,
// is_last or reference saving.
TEST(FrameHeaderTest, DcFrameFields) {
  CodecMetadata metadata = MakeMetadata(64, 64, true, {0});
  metadata.m.have_animation = true;
  BitSequence s = HeaderStart(kDc, true, 0);
  s.Bits(2, 0).Bits(2, 0);  // upsampling 1, extra channel 1
  s.Bits(2, 2);             // group_size_shift
  s.Bits(2, 0);             // one pass
  s.Bits(2, 1);             // dc_level 2
  s.Bits(2, 0).Bool(true).Bits(2, 0);  // name, loop filter, extensions
  FrameHeader h(&metadata);
  uint64_t position = 0;
  ASSERT_TRUE(DecodeBundle(s.Bytes(), &h, &position).ok());
  EXPECT_EQ(position, s.size_bits());
  EXPECT_EQ(h.frame_type, kDc);
  EXPECT_EQ(h.dc_level, 2u);
  EXPECT_EQ(h.group_size_shift, 2u);
  EXPECT_EQ(h.x_qm_scale, 2u);
  EXPECT_FALSE(h.is_last);
  EXPECT_TRUE(h.save_before_color_transform);
  EXPECT_FALSE(h.custom_size_or_origin);
  const FrameGeometry g = h.ComputeGeometry();
  EXPECT_EQ(g.xsize, 1u);  // 64 / 64
  EXPECT_EQ(g.group_dim, 512u);
}

TEST(FrameHeaderTest, OriginIsZigZagAndPartialnessFollowsCoverage) {
  constexpr U32Coding kCrop(Bits(8), BitsOffset(11, 256),
                            BitsOffset(14, 2304), BitsOffset(30, 18688));
  struct Case {
    uint32_t coded_x0, coded_y0;
    uint32_t width, height;
    int32_t x0, y0;
    bool partial;
  };
  // Image 100 x 50.
  const Case cases[] = {
      {3, 0, 102, 50, -2, 0, false},  // starts left, still covers
      {3, 0, 101, 50, -2, 0, true},   // one column short
      {0, 0, 100, 50, 0, 0, false},
      {2, 0, 200, 50, 1, 0, true},    // starts right of the left edge
      {0, 1, 100, 60, 0, -1, false},
      {0, 4, 100, 50, 0, 2, true},
      {0, 0, 99, 50, 0, 0, true},
  };
  const CodecMetadata metadata = MakeMetadata(100, 50, true);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.coded_x0) + "," + std::to_string(c.coded_y0) +
                 " " + std::to_string(c.width) + "x" + std::to_string(c.height));
    BitSequence s = HeaderStart(kRegular, false, 0);
    s.Bits(2, 0).Bits(3, 3).Bits(3, 2).Bits(2, 0);  // upsampling, qm, passes
    s.Bool(true).U32(kCrop, c.coded_x0).U32(kCrop, c.coded_y0);
    s.U32(kCrop, c.width).U32(kCrop, c.height);
    s.Bits(2, 0);                        // blend mode replace
    if (c.partial) s.Bits(2, 1);         // source, read only when partial
    s.Bool(true).Bits(2, 0).Bool(true).Bits(2, 0);
    FrameHeader h(&metadata);
    uint64_t position = 0;
    ASSERT_TRUE(DecodeBundle(s.Bytes(), &h, &position).ok());
    EXPECT_EQ(position, s.size_bits());
    EXPECT_EQ(h.x0, c.x0);
    EXPECT_EQ(h.y0, c.y0);
    EXPECT_EQ(h.IsPartial(), c.partial);
    EXPECT_EQ(h.blending_info.is_partial_frame, c.partial);
    EXPECT_EQ(h.blending_info.source, c.partial ? 1u : 0u);
  }
}

TEST(FrameHeaderTest, Checks) {
  constexpr U32Coding kCrop(Bits(8), BitsOffset(11, 256),
                            BitsOffset(14, 2304), BitsOffset(30, 18688));
  struct Case {
    const char* name;
    BitSequence bits;
    bool ok;
  };
  std::vector<Case> cases;
  {
    BitSequence s = HeaderStart(kRegular, false, 0);
    s.Bits(2, 0).Bits(2, 0).Bits(3, 3).Bits(3, 2).Bits(2, 0);
    s.Bool(true).U32(kCrop, 0).U32(kCrop, 0).U32(kCrop, 0).U32(kCrop, 5);
    cases.push_back({"zero custom width", s, false});
  }
  {
    BitSequence s = HeaderStart(kRegular, false, 0);
    s.Bits(2, 0).Bits(2, 0).Bits(3, 3).Bits(3, 2).Bits(2, 0);
    s.Bool(true).U32(kCrop, 0).U32(kCrop, 0).U32(kCrop, 5).U32(kCrop, 0);
    cases.push_back({"zero custom height", s, false});
  }
  {
    BitSequence s = HeaderStart(kRegular, false, 0);
    s.Bits(2, 0).Bits(2, 0).Bits(3, 3).Bits(3, 2).Bits(2, 0).Bool(false);
    s.Bits(2, 3).Bits(2, 2);  // blend mode 3 + 2 = 5
    cases.push_back({"blend mode 5", s, false});
  }
  {
    // One extra channel: blend (mode 2) with alpha channel 1 is out of range.
    BitSequence s = HeaderStart(kRegular, false, 0);
    s.Bits(2, 0).Bits(2, 0).Bits(3, 3).Bits(3, 2).Bits(2, 0).Bool(false);
    s.Bits(2, 2).Bits(2, 1);
    cases.push_back({"alpha channel out of range", s, false});
  }
  {
    BitSequence s = HeaderStart(kRegular, false, 0);
    s.Bits(2, 0).Bits(2, 0).Bits(3, 3).Bits(3, 2).Bits(2, 0).Bool(false);
    s.Bits(2, 2).Bits(2, 0).Bool(true).Bits(2, 0);  // alpha 0, clamp, source 0
    s.Bits(2, 0);                                 // extra channel: replace
    s.Bool(true).Bits(2, 0).Bool(true).Bits(2, 0);
    cases.push_back({"alpha channel in range", s, true});
  }
  {
    // Reference-only frame saved after the colour transform must cover the
    // image (128 x 128): a 100 x 128 frame does not.
    BitSequence s = HeaderStart(kReferenceOnly, false, 0);
    s.Bits(2, 0).Bits(2, 0).Bits(3, 3).Bits(3, 2);
    s.Bool(true).U32(kCrop, 100).U32(kCrop, 128);
    s.Bits(2, 1).Bool(false);  // save_as_reference 1, not before the transform
    s.Bits(2, 0).Bool(true).Bits(2, 0);
    cases.push_back({"reference frame not covering", s, false});
  }
  {
    BitSequence s = HeaderStart(kReferenceOnly, false, 0);
    s.Bits(2, 0).Bits(2, 0).Bits(3, 3).Bits(3, 2);
    s.Bool(true).U32(kCrop, 128).U32(kCrop, 128);
    s.Bits(2, 1).Bool(false);
    s.Bits(2, 0).Bool(true).Bits(2, 0);
    cases.push_back({"reference frame covering", s, true});
  }
  {
    // A reference-only frame saved before the colour transform may be small.
    BitSequence s = HeaderStart(kReferenceOnly, false, 0);
    s.Bits(2, 0).Bits(2, 0).Bits(3, 3).Bits(3, 2);
    s.Bool(true).U32(kCrop, 100).U32(kCrop, 128);
    s.Bits(2, 1).Bool(true);
    s.Bits(2, 0).Bool(true).Bits(2, 0);
    cases.push_back({"small reference frame before transform", s, true});
  }
  const CodecMetadata metadata = MakeMetadata(128, 128, true, {0});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FrameHeader h(&metadata);
    uint64_t position = 0;
    const Status status = DecodeBundle(c.bits.Bytes(), &h, &position);
    EXPECT_EQ(status.ok(), c.ok);
    if (c.ok) {
      EXPECT_EQ(position, c.bits.size_bits());
    } else {
      EXPECT_TRUE(status.failed());
    }
  }
}

// The preview frame's header is read with is_preview set: only a regular,
// uncropped frame with replace blending is accepted, and its geometry
// follows the preview size.
TEST(FrameHeaderTest, PreviewRestrictions) {
  CodecMetadata metadata = MakeMetadata(1000, 1000, true, {0});
  metadata.m.have_preview = true;
  metadata.m.preview_size.ysize = 64;
  metadata.m.preview_size.xsize = 48;
  struct Case {
    const char* name;
    void (*set)(FrameHeader*);
    bool ok;
  };
  const Case cases[] = {
      {"plain", [](FrameHeader*) {}, true},
      {"modular", [](FrameHeader* h) { h->encoding = kModular; }, true},
      {"reference only",
       [](FrameHeader* h) {
         h->frame_type = kReferenceOnly;
         h->is_last = false;
         h->save_before_color_transform = true;
       },
       false},
      {"skip progressive",
       [](FrameHeader* h) { h->frame_type = kSkipProgressive; }, false},
      {"colour blending", [](FrameHeader* h) { h->blending_info.mode = 1; },
       false},
      {"extra-channel blending",
       [](FrameHeader* h) { h->ec_blending_info[0].mode = 1; }, false},
      {"cropped",
       [](FrameHeader* h) {
         h->custom_size_or_origin = true;
         h->custom_xsize = 48;
         h->custom_ysize = 64;
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FrameHeader in(&metadata);
    in.ec_blending_info.resize(1);
    in.ec_upsampling = {1};
    c.set(&in);
    const std::vector<uint8_t> bytes = WriteBundle(in);
    FrameHeader regular(&metadata);
    EXPECT_TRUE(DecodeBundle(bytes, &regular).ok());
    FrameHeader preview(&metadata);
    preview.is_preview = true;
    EXPECT_EQ(DecodeBundle(bytes, &preview).ok(), c.ok);
    if (c.ok) {
      const FrameGeometry g = preview.ComputeGeometry();
      EXPECT_EQ(g.xsize, 48u);
      EXPECT_EQ(g.ysize, 64u);
    }
  }
}

// ---------------------------------------------------------------------------
// Nested bundles

TEST(PassesTest, Checks) {
  constexpr U32Coding kPassesCoding(Val(1), Val(2), Val(3), BitsOffset(3, 4));
  constexpr U32Coding kDownsampleCountCoding(Val(0), Val(1), Val(2),
                                             BitsOffset(1, 3));
  constexpr U32Coding kDownsampleCoding(Val(1), Val(2), Val(4), Val(8));
  constexpr U32Coding kLastPassCoding(Val(0), Val(1), Val(2), Bits(3));
  struct Case {
    const char* name;
    uint32_t num_passes, num_downsample;
    std::vector<uint32_t> downsample, last_pass;
    bool ok;
  };
  const Case cases[] = {
      {"valid", 3, 2, {4, 2}, {0, 2}, true},
      {"downsample not decreasing", 3, 2, {4, 4}, {0, 1}, false},
      {"last pass not increasing", 3, 2, {4, 2}, {1, 1}, false},
      {"last pass beyond passes", 3, 2, {4, 2}, {1, 3}, false},
      {"more downsamples than passes", 2, 3, {8, 4, 2}, {0, 1, 1}, false},
      {"four downsamples", 11, 4, {8, 4, 2, 1}, {1, 2, 3, 4}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BitSequence s;
    s.U32(kPassesCoding, c.num_passes).U32(kDownsampleCountCoding,
                                           c.num_downsample);
    for (uint32_t i = 0; i + 1 < c.num_passes; ++i) s.Bits(2, i % 4);
    for (uint32_t d : c.downsample) s.U32(kDownsampleCoding, d);
    for (uint32_t p : c.last_pass) s.U32(kLastPassCoding, p);
    Passes passes;
    passes.shift[c.num_passes - 1] = 9;  // must be cleared
    uint64_t position = 0;
    const Status status = DecodeBundle(s.Bytes(), &passes, &position);
    EXPECT_EQ(status.ok(), c.ok);
    if (c.ok) {
      EXPECT_EQ(position, s.size_bits());
      EXPECT_EQ(passes.shift[c.num_passes - 1], 0u);
      EXPECT_EQ(passes.shift[1], 1u);
    }
  }
}

// A pass count of 0 (which no stream can code) or a downsample count above 4
// is refused before any per-pass array is indexed with it.
TEST(PassesTest, WriterRefusesCountsOutsideTheArrays) {
  for (uint32_t num_passes : {0u, 12u}) {
    Passes p;
    p.num_passes = num_passes;
    uint64_t extension_bits = 0, total_bits = 0;
    EXPECT_TRUE(
        Bundle::MeasureEncoding(p, &extension_bits, &total_bits).failed());
  }
  Passes p;
  p.num_passes = 11;
  p.num_downsample = 5;
  uint64_t extension_bits = 0, total_bits = 0;
  EXPECT_TRUE(Bundle::MeasureEncoding(p, &extension_bits, &total_bits).failed());
}

TEST(BlendingInfoTest, FieldsPresentByMode) {
  struct Case {
    uint32_t mode;
    uint64_t num_ec;
    bool partial;
    bool reads_alpha, reads_clamp, reads_source;
  };
  const Case cases[] = {
      {0, 2, false, false, false, false}, {0, 2, true, false, false, true},
      {1, 2, false, false, false, true},  {2, 2, false, true, true, true},
      {3, 1, false, true, true, true},    {2, 0, false, false, false, true},
      {4, 0, false, false, true, true},   {4, 3, true, false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    BlendingInfo in;
    in.mode = c.mode;
    in.num_extra_channels = c.num_ec;
    in.is_partial_frame = c.partial;
    in.alpha_channel = c.reads_alpha ? static_cast<uint32_t>(c.num_ec - 1) : 0;
    in.clamp = c.reads_clamp;
    in.source = c.reads_source ? 3 : 0;
    uint64_t bits = 0;
    const std::vector<uint8_t> bytes = WriteBundle(in, &bits);
    const uint64_t mode_bits = c.mode < 3 ? 2 : 4;
    EXPECT_EQ(bits, mode_bits + (c.reads_alpha ? 2 : 0) +
                        (c.reads_clamp ? 1 : 0) + (c.reads_source ? 2 : 0));
    BlendingInfo out;
    out.num_extra_channels = c.num_ec;
    out.is_partial_frame = c.partial;
    ASSERT_TRUE(DecodeBundle(bytes, &out).ok());
    ExpectSame(in, out);
  }
}

TEST(LoopFilterTest, Checks) {
  struct Case {
    const char* name;
    bool modular;
    BitSequence bits;
    bool ok;
  };
  std::vector<Case> cases;
  {
    BitSequence s;
    s.Bool(false).Bool(true).Bool(true);  // gab, custom weights
    s.F16(-0.25f).F16(0.0f);              // 1 + 4 (w1 + w2) = 0
    cases.push_back({"singular gaborish", false, s, false});
  }
  {
    BitSequence s;
    s.Bool(false).Bool(true).Bool(true);
    for (int c = 0; c < 3; ++c) s.F16(-0.25f).F16(0.0078125f);
    s.Bits(2, 0).U64(0);
    cases.push_back({"near-singular gaborish", false, s, true});
  }
  {
    BitSequence s;
    s.Bool(false).Bool(false).Bits(2, 1).Bool(false).Bool(false);
    s.F16(0.0f);  // sigma for modular
    cases.push_back({"zero modular sigma", true, s, false});
  }
  {
    BitSequence s;
    s.Bool(false).Bool(false).Bits(2, 1).Bool(false).Bool(false);
    s.F16(0.5f).U64(0);
    cases.push_back({"modular sigma", true, s, true});
  }
  {
    // VarDCT: sharpness flag, weight flag, sigma flag, then nothing for
    // modular sigma.
    BitSequence s;
    s.Bool(false).Bool(false).Bits(2, 2).Bool(false).Bool(false).Bool(false);
    s.U64(0);
    cases.push_back({"vardct without custom values", false, s, true});
  }
  {
    // With epf_iters 0 no EPF field is read.
    BitSequence s;
    s.Bool(false).Bool(false).Bits(2, 0).U64(0);
    cases.push_back({"no epf", false, s, true});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopFilter lf;
    lf.is_modular = c.modular;
    uint64_t position = 0;
    const Status status = DecodeBundle(c.bits.Bytes(), &lf, &position);
    EXPECT_EQ(status.ok(), c.ok);
    if (c.ok) {
      EXPECT_EQ(position, c.bits.size_bits());
    }
  }
}

// Every custom loop-filter value, spelled out bit by bit in field order, lands
// in its own member: for a VarDCT frame (sharpness table and quantisation
// multiplier, no modular sigma) and for a modular frame (the reverse).
TEST(LoopFilterTest, CustomValuesInFieldOrder) {
  for (bool modular : {false, true}) {
    SCOPED_TRACE(modular ? "modular" : "vardct");
    BitSequence s;
    s.Bool(false).Bool(true).Bool(true);  // all_default, gab, gab_custom
    for (int c = 0; c < 3; ++c) s.F16(0.125f * (c + 1)).F16(-0.0625f * (c + 1));
    s.Bits(2, 3);                                    // epf_iters
    if (!modular) {
      s.Bool(true);                                  // epf_sharp_custom
      for (int i = 0; i < 8; ++i) s.F16(0.25f * i);  // epf_sharp_lut
    }
    s.Bool(true).F16(10.0f).F16(20.0f).F16(30.0f);  // weights, channel scales
    s.F16(0.25f).F16(0.75f);                         // zero-flush 1, 2
    s.Bool(true);                                    // epf_sigma_custom
    if (!modular) s.F16(0.375f);                     // epf_quant_mul
    s.F16(1.5f).F16(2.5f).F16(3.5f);  // pass 0, pass 2 sigma scale, border
    if (modular) s.F16(4.5f);         // epf_sigma_for_modular
    s.U64(0);
    LoopFilter lf;
    lf.is_modular = modular;
    uint64_t position = 0;
    ASSERT_TRUE(DecodeBundle(s.Bytes(), &lf, &position).ok());
    EXPECT_EQ(position, s.size_bits());
    for (int c = 0; c < 3; ++c) {
      EXPECT_EQ(lf.gab_w1[c], 0.125f * (c + 1)) << c;
      EXPECT_EQ(lf.gab_w2[c], -0.0625f * (c + 1)) << c;
    }
    EXPECT_EQ(lf.epf_iters, 3u);
    EXPECT_EQ(lf.epf_sharp_custom, !modular);
    EXPECT_EQ(lf.epf_sharp_lut[5], modular ? 5.0f / 7.0f : 1.25f);
    EXPECT_EQ(lf.epf_channel_scale[0], 10.0f);
    EXPECT_EQ(lf.epf_channel_scale[2], 30.0f);
    EXPECT_EQ(lf.epf_pass1_zeroflush, 0.25f);
    EXPECT_EQ(lf.epf_pass2_zeroflush, 0.75f);
    EXPECT_EQ(lf.epf_quant_mul, modular ? 0.46f : 0.375f);
    EXPECT_EQ(lf.epf_pass0_sigma_scale, 1.5f);
    EXPECT_EQ(lf.epf_pass2_sigma_scale, 2.5f);
    EXPECT_EQ(lf.epf_border_sad_mul, 3.5f);
    EXPECT_EQ(lf.epf_sigma_for_modular, modular ? 4.5f : 1.0f);
  }
}

// The EPF flags are read only with epf_iters > 0, so their guarded values
// must not be written without it either: a record with stale custom flags
// and epf_iters 0 writes exactly what a reader reads back.
TEST(LoopFilterTest, NoEpfFieldsWrittenWithoutIterations) {
  for (bool modular : {false, true}) {
    LoopFilter in;
    in.is_modular = modular;
    in.epf_iters = 0;
    in.epf_sharp_custom = true;
    in.epf_weight_custom = true;
    in.epf_sigma_custom = true;
    in.epf_sigma_for_modular = 4.0f;
    in.gab = false;
    uint64_t written = 0;
    const std::vector<uint8_t> bytes = WriteBundle(in, &written);
    EXPECT_EQ(written, 1u + 1u + 2u + 2u);  // all_default, gab, iters, ext.
    LoopFilter out;
    out.is_modular = modular;
    uint64_t position = 0;
    ASSERT_TRUE(DecodeBundle(bytes, &out, &position).ok());
    EXPECT_EQ(position, written);
    EXPECT_EQ(out.epf_iters, 0u);
    EXPECT_FALSE(out.gab);
  }
}

TEST(YCbCrChromaSubsamplingTest, ShiftsAndFullResolution) {
  struct Case {
    uint32_t modes[3];
    uint8_t max_h, max_v;
    bool full;
    uint32_t h1, v1;  // shifts of channel 1
  };
  const Case cases[] = {
      {{0, 0, 0}, 0, 0, true, 0, 0},  {{1, 1, 1}, 1, 1, true, 0, 0},
      {{0, 1, 0}, 1, 1, false, 0, 0}, {{1, 0, 0}, 1, 1, false, 1, 1},
      {{2, 0, 2}, 1, 0, false, 1, 0}, {{3, 0, 3}, 0, 1, false, 0, 1},
      {{2, 3, 0}, 1, 1, false, 1, 0},
  };
  for (const Case& c : cases) {
    YCbCrChromaSubsampling in;
    for (int i = 0; i < 3; ++i) in.channel_mode[i] = c.modes[i];
    const std::vector<uint8_t> bytes = WriteBundle(in);
    YCbCrChromaSubsampling out;
    ASSERT_TRUE(DecodeBundle(bytes, &out).ok());
    EXPECT_EQ(out.max_hshift, c.max_h);
    EXPECT_EQ(out.max_vshift, c.max_v);
    EXPECT_EQ(out.IsFullResolution(), c.full);
    EXPECT_EQ(out.HShift(1), c.h1);
    EXPECT_EQ(out.VShift(1), c.v1);
  }
}

// ---------------------------------------------------------------------------
// Geometry

TEST(FrameGeometryTest, Sizes) {
  struct Case {
    const char* name;
    uint32_t image_w, image_h;
    uint32_t encoding, upsampling, group_size_shift, dc_level;
    uint32_t chroma_mode0;  // mode of channel 0, others full
    uint32_t custom_w, custom_h;
    FrameGeometry expected;
  };
  const Case cases[] = {
      {"vardct 1000x600",
       1000, 600, kVarDct, 1, 1, 0, 0, 0, 0,
       {1000, 600, 1000, 600, 1000, 600, 1000, 600, 125, 75, 4, 3, 1, 1, 12,
        1, 256, 2048}},
      {"vardct 1000x600 upsampled 2",
       1000, 600, kVarDct, 2, 1, 0, 0, 0, 0,
       {500, 300, 1000, 600, 1008, 608, 504, 304, 63, 38, 2, 2, 1, 1, 4, 1,
        256, 2048}},
      {"modular keeps its size unpadded",
       1001, 7, kModular, 1, 0, 0, 0, 0, 0,
       {1001, 7, 1001, 7, 1001, 7, 1001, 7, 126, 1, 8, 1, 1, 1, 8, 1, 128,
        1024}},
      {"chroma rounds blocks to pairs",
       17, 9, kVarDct, 1, 1, 0, 1, 0, 0,
       {17, 9, 17, 9, 32, 16, 32, 16, 4, 2, 1, 1, 1, 1, 1, 1, 256, 2048}},
      {"dc level 2",
       5000, 100, kVarDct, 1, 1, 2, 0, 0, 0,
       {79, 2, 79, 2, 80, 8, 80, 8, 10, 1, 1, 1, 1, 1, 1, 1, 256, 2048}},
      {"custom size",
       1000, 600, kModular, 1, 3, 0, 0, 3000, 5,
       {3000, 5, 3000, 5, 3000, 5, 3000, 5, 375, 1, 3, 1, 1, 1, 3, 1, 1024,
        8192}},
      {"many dc groups",
       5000, 3000, kVarDct, 1, 0, 0, 0, 0, 0,
       {5000, 3000, 5000, 3000, 5000, 3000, 5000, 3000, 625, 375, 40, 24, 5,
        3, 960, 15, 128, 1024}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CodecMetadata metadata = MakeMetadata(c.image_w, c.image_h, true);
    FrameHeader h(&metadata);
    h.encoding = c.encoding;
    h.upsampling = c.upsampling;
    h.group_size_shift = c.group_size_shift;
    h.dc_level = c.dc_level;
    h.chroma_subsampling.channel_mode[0] = c.chroma_mode0;
    if (c.chroma_mode0 != 0) {
      h.chroma_subsampling.max_hshift = 1;
      h.chroma_subsampling.max_vshift = 1;
    }
    h.custom_xsize = c.custom_w;
    h.custom_ysize = c.custom_h;
    const FrameGeometry g = h.ComputeGeometry();
    const FrameGeometry& e = c.expected;
    EXPECT_EQ(g.xsize, e.xsize);
    EXPECT_EQ(g.ysize, e.ysize);
    EXPECT_EQ(g.xsize_upsampled, e.xsize_upsampled);
    EXPECT_EQ(g.ysize_upsampled, e.ysize_upsampled);
    EXPECT_EQ(g.xsize_upsampled_padded, e.xsize_upsampled_padded);
    EXPECT_EQ(g.ysize_upsampled_padded, e.ysize_upsampled_padded);
    EXPECT_EQ(g.xsize_padded, e.xsize_padded);
    EXPECT_EQ(g.ysize_padded, e.ysize_padded);
    EXPECT_EQ(g.xsize_blocks, e.xsize_blocks);
    EXPECT_EQ(g.ysize_blocks, e.ysize_blocks);
    EXPECT_EQ(g.xsize_groups, e.xsize_groups);
    EXPECT_EQ(g.ysize_groups, e.ysize_groups);
    EXPECT_EQ(g.xsize_dc_groups, e.xsize_dc_groups);
    EXPECT_EQ(g.ysize_dc_groups, e.ysize_dc_groups);
    EXPECT_EQ(g.num_groups, e.num_groups);
    EXPECT_EQ(g.num_dc_groups, e.num_dc_groups);
    EXPECT_EQ(g.group_dim, e.group_dim);
    EXPECT_EQ(g.dc_group_dim, e.dc_group_dim);
  }
}

// Group and DC-group rectangles: full groups, the partial last column and
// row, indices past the count (empty), upsampled and subsampled channels,
// and a geometry without groups (no division by a zero count).
TEST(FrameGeometryTest, GroupRectangles) {
  auto make = [](uint32_t w, uint32_t h, uint32_t encoding, uint32_t upsampling,
                 uint32_t group_size_shift) {
    const CodecMetadata metadata = MakeMetadata(w, h, true);
    FrameHeader header(&metadata);
    header.encoding = encoding;
    header.upsampling = upsampling;
    header.group_size_shift = group_size_shift;
    return header.ComputeGeometry();
  };
  // 4 x 3 groups of 256 over 125 x 75 blocks, one DC group.
  const FrameGeometry vardct = make(1000, 600, kVarDct, 1, 1);
  // 500 x 300 before upsampling by 2: 2 x 2 groups.
  const FrameGeometry upsampled = make(1000, 600, kVarDct, 2, 1);
  // 17 x 3 groups of 128; 263 x 38 blocks in 3 x 1 DC groups.
  const FrameGeometry modular = make(2100, 300, kModular, 1, 0);
  // No columns of groups: counts as one column wide.
  FrameGeometry no_columns = vardct;
  no_columns.xsize = no_columns.xsize_blocks = no_columns.xsize_upsampled = 0;
  no_columns.xsize_groups = no_columns.num_groups = 0;
  const FrameGeometry empty;

  enum class Kind { kCell, kDcCell, kRect, kBlocks, kDcBlocks, kChannel };
  struct Case {
    const char* name;
    const FrameGeometry* g;
    Kind kind;
    uint64_t index;
    uint64_t up, sx, sy;  // kChannel only
    PixelRect expected;
  };
  const Case cases[] = {
      {"first group", &vardct, Kind::kRect, 0, 0, 0, 0, {0, 0, 256, 256}},
      {"last column", &vardct, Kind::kRect, 3, 0, 0, 0, {768, 0, 232, 256}},
      {"last group", &vardct, Kind::kRect, 11, 0, 0, 0, {768, 512, 232, 88}},
      {"group past the count", &vardct, Kind::kRect, 12, 0, 0, 0, {0, 768, 256, 0}},
      {"cell of the last group", &vardct, Kind::kCell, 11, 0, 0, 0,
       {768, 512, 256, 256}},
      {"blocks of an inner group", &vardct, Kind::kBlocks, 5, 0, 0, 0,
       {32, 32, 32, 32}},
      {"blocks of the last group", &vardct, Kind::kBlocks, 11, 0, 0, 0,
       {96, 64, 29, 11}},
      {"blocks of the one DC group", &vardct, Kind::kDcBlocks, 0, 0, 0, 0,
       {0, 0, 125, 75}},
      {"DC group past the count", &vardct, Kind::kDcBlocks, 1, 0, 0, 0,
       {0, 256, 125, 0}},
      {"DC cell past the frame", &vardct, Kind::kDcCell, 1, 0, 0, 0,
       {0, 2048, 2048, 2048}},
      {"upsampled frame group", &upsampled, Kind::kRect, 3, 0, 0, 0,
       {256, 256, 244, 44}},
      {"upsampled channel", &upsampled, Kind::kChannel, 3, 1, 0, 0,
       {512, 512, 488, 88}},
      {"channel still to upsample", &upsampled, Kind::kChannel, 3, 1, 1, 1,
       {256, 256, 244, 44}},
      {"channel shifted across only", &upsampled, Kind::kChannel, 1, 1, 3, 0,
       {64, 0, 61, 512}},
      {"modular last column", &modular, Kind::kRect, 16, 0, 0, 0,
       {2048, 0, 52, 128}},
      {"modular last group", &modular, Kind::kRect, 50, 0, 0, 0,
       {2048, 256, 52, 44}},
      {"modular blocks of the last column", &modular, Kind::kBlocks, 16, 0, 0, 0,
       {256, 0, 7, 16}},
      {"modular inner DC group", &modular, Kind::kDcBlocks, 1, 0, 0, 0,
       {128, 0, 128, 38}},
      {"modular last DC group", &modular, Kind::kDcBlocks, 2, 0, 0, 0,
       {256, 0, 7, 38}},
      {"modular DC cell", &modular, Kind::kDcCell, 2, 0, 0, 0,
       {2048, 0, 1024, 1024}},
      {"no columns", &no_columns, Kind::kRect, 1, 0, 0, 0, {0, 256, 0, 256}},
      {"no columns, cell", &no_columns, Kind::kCell, 1, 0, 0, 0,
       {0, 256, 256, 256}},
      {"no columns, channel", &no_columns, Kind::kChannel, 1, 0, 0, 0,
       {0, 256, 0, 256}},
      {"empty geometry", &empty, Kind::kRect, 5, 0, 0, 0, {0, 0, 0, 0}},
      {"empty geometry, blocks", &empty, Kind::kDcBlocks, 5, 0, 0, 0, {0, 0, 0, 0}},
      {"empty geometry, channel", &empty, Kind::kChannel, 5, 1, 1, 1, {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PixelRect r;
    switch (c.kind) {
      case Kind::kCell: r = c.g->GroupCell(c.index); break;
      case Kind::kDcCell: r = c.g->DcGroupCell(c.index); break;
      case Kind::kRect: r = c.g->GroupRect(c.index); break;
      case Kind::kBlocks: r = c.g->GroupBlockRect(c.index); break;
      case Kind::kDcBlocks: r = c.g->DcGroupBlockRect(c.index); break;
      case Kind::kChannel:
        r = c.g->GroupRectInChannel(c.index, c.up, c.sx, c.sy);
        break;
    }
    EXPECT_EQ(r.x0, c.expected.x0);
    EXPECT_EQ(r.y0, c.expected.y0);
    EXPECT_EQ(r.xsize, c.expected.xsize);
    EXPECT_EQ(r.ysize, c.expected.ysize);
  }
}

// Every pixel of the frame lies in exactly one group's rectangle, and the
// blocks of the groups tile the block grid the same way.
TEST(FrameGeometryTest, GroupRectanglesTileTheFrame) {
  for (const auto& [w, h] : {std::pair<uint32_t, uint32_t>{1000, 600},
                             {257, 1}, {2100, 300}, {1, 513}}) {
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    const CodecMetadata metadata = MakeMetadata(w, h, true);
    FrameHeader header(&metadata);
    header.encoding = kModular;
    header.group_size_shift = 0;
    const FrameGeometry g = header.ComputeGeometry();
    uint64_t pixels = 0, blocks = 0;
    for (uint64_t k = 0; k < g.num_groups; ++k) {
      const PixelRect r = g.GroupRect(k);
      const PixelRect b = g.GroupBlockRect(k);
      ASSERT_LE(r.x0 + r.xsize, g.xsize);
      ASSERT_LE(r.y0 + r.ysize, g.ysize);
      ASSERT_GT(r.xsize * r.ysize, 0u);
      EXPECT_EQ(b.x0 * 8, r.x0);
      EXPECT_EQ(b.y0 * 8, r.y0);
      EXPECT_EQ(b.xsize, (r.xsize + 7) / 8);
      EXPECT_EQ(b.ysize, (r.ysize + 7) / 8);
      pixels += r.xsize * r.ysize;
      blocks += b.xsize * b.ysize;
    }
    EXPECT_EQ(pixels, g.xsize * g.ysize);
    EXPECT_EQ(blocks, g.xsize_blocks * g.ysize_blocks);
    uint64_t dc_blocks = 0;
    for (uint64_t k = 0; k < g.num_dc_groups; ++k) {
      const PixelRect b = g.DcGroupBlockRect(k);
      dc_blocks += b.xsize * b.ysize;
    }
    EXPECT_EQ(dc_blocks, g.xsize_blocks * g.ysize_blocks);
  }
}

}  // namespace
}  // namespace qov
