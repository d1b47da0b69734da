// Image-level header bundles: round trips through the bundle writer with
// every field away from its default, hand-made streams for the checks, and
// the derived sizes.
#include "lib/bitstream/image_metadata.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "lib/color/color_enums.h"
#include "tests/support/bit_sequence.h"

namespace qov {
namespace {

using test::BitSequence;
using test::DecodeBundle;
using test::WriteBundle;

// Equality of every stored member, as EXPECTs naming the member.
void ExpectSame(const SizeHeader& a, const SizeHeader& b) {
  EXPECT_EQ(a.small, b.small);
  EXPECT_EQ(a.ysize_div8_minus_1, b.ysize_div8_minus_1);
  EXPECT_EQ(a.ysize, b.ysize);
  EXPECT_EQ(a.ratio, b.ratio);
  EXPECT_EQ(a.xsize_div8_minus_1, b.xsize_div8_minus_1);
  EXPECT_EQ(a.xsize, b.xsize);
}

void ExpectSame(const PreviewHeader& a, const PreviewHeader& b) {
  EXPECT_EQ(a.div8, b.div8);
  EXPECT_EQ(a.ysize_div8, b.ysize_div8);
  EXPECT_EQ(a.ysize, b.ysize);
  EXPECT_EQ(a.ratio, b.ratio);
  EXPECT_EQ(a.xsize_div8, b.xsize_div8);
  EXPECT_EQ(a.xsize, b.xsize);
}

void ExpectSame(const AnimationHeader& a, const AnimationHeader& b) {
  EXPECT_EQ(a.tps_numerator, b.tps_numerator);
  EXPECT_EQ(a.tps_denominator, b.tps_denominator);
  EXPECT_EQ(a.num_loops, b.num_loops);
  EXPECT_EQ(a.have_timecodes, b.have_timecodes);
}

void ExpectSame(const BitDepth& a, const BitDepth& b) {
  EXPECT_EQ(a.floating_point_sample, b.floating_point_sample);
  EXPECT_EQ(a.bits_per_sample, b.bits_per_sample);
  EXPECT_EQ(a.exponent_bits_per_sample, b.exponent_bits_per_sample);
}

void ExpectSame(const ExtraChannelInfo& a, const ExtraChannelInfo& b) {
  EXPECT_EQ(a.all_default, b.all_default);
  EXPECT_EQ(a.type, b.type);
  ExpectSame(a.bit_depth, b.bit_depth);
  EXPECT_EQ(a.dim_shift, b.dim_shift);
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.alpha_associated, b.alpha_associated);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(a.spot_color[i], b.spot_color[i]);
  EXPECT_EQ(a.cfa_channel, b.cfa_channel);
}

void ExpectSame(const ToneMapping& a, const ToneMapping& b) {
  EXPECT_EQ(a.all_default, b.all_default);
  EXPECT_EQ(a.intensity_target, b.intensity_target);
  EXPECT_EQ(a.min_nits, b.min_nits);
  EXPECT_EQ(a.relative_to_max_display, b.relative_to_max_display);
  EXPECT_EQ(a.linear_below, b.linear_below);
}

void ExpectSame(const OpsinInverseMatrix& a, const OpsinInverseMatrix& b) {
  EXPECT_EQ(a.all_default, b.all_default);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(a.inverse_matrix[i], b.inverse_matrix[i]);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(a.opsin_biases[i], b.opsin_biases[i]);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(a.quant_biases[i], b.quant_biases[i]);
}

void ExpectSame(const CustomTransformData& a, const CustomTransformData& b) {
  EXPECT_EQ(a.all_default, b.all_default);
  ExpectSame(a.opsin_inverse_matrix, b.opsin_inverse_matrix);
  EXPECT_EQ(a.custom_weights_mask, b.custom_weights_mask);
  for (size_t i = 0; i < kUpsampling2WeightCount; ++i) {
    EXPECT_EQ(a.upsampling2_weights[i], b.upsampling2_weights[i]) << i;
  }
  for (size_t i = 0; i < kUpsampling4WeightCount; ++i) {
    EXPECT_EQ(a.upsampling4_weights[i], b.upsampling4_weights[i]) << i;
  }
  for (size_t i = 0; i < kUpsampling8WeightCount; ++i) {
    EXPECT_EQ(a.upsampling8_weights[i], b.upsampling8_weights[i]) << i;
  }
}

void ExpectSameDescription(const ColorEncoding& a, const ColorEncoding& b) {
  EXPECT_EQ(a.want_icc, b.want_icc);
  EXPECT_EQ(a.color_space, b.color_space);
  EXPECT_EQ(a.white_point, b.white_point);
  EXPECT_EQ(a.primaries, b.primaries);
  EXPECT_EQ(a.have_gamma, b.have_gamma);
  if (a.have_gamma) {
    EXPECT_EQ(a.gamma, b.gamma);
  }
  EXPECT_EQ(a.transfer_function, b.transfer_function);
  EXPECT_EQ(a.rendering_intent, b.rendering_intent);
  EXPECT_EQ(a.white_x, b.white_x);
  EXPECT_EQ(a.white_y, b.white_y);
  EXPECT_EQ(a.red_x, b.red_x);
  EXPECT_EQ(a.red_y, b.red_y);
  EXPECT_EQ(a.green_x, b.green_x);
  EXPECT_EQ(a.green_y, b.green_y);
  EXPECT_EQ(a.blue_x, b.blue_x);
  EXPECT_EQ(a.blue_y, b.blue_y);
}

void ExpectSame(const ImageMetadata& a, const ImageMetadata& b) {
  EXPECT_EQ(a.all_default, b.all_default);
  ExpectSame(a.bit_depth, b.bit_depth);
  EXPECT_EQ(a.modular_16_bit_buffer_sufficient,
            b.modular_16_bit_buffer_sufficient);
  EXPECT_EQ(a.xyb_encoded, b.xyb_encoded);
  ExpectSameDescription(a.color_encoding, b.color_encoding);
  EXPECT_EQ(a.orientation, b.orientation);
  EXPECT_EQ(a.have_preview, b.have_preview);
  EXPECT_EQ(a.have_animation, b.have_animation);
  EXPECT_EQ(a.have_intrinsic_size, b.have_intrinsic_size);
  ExpectSame(a.intrinsic_size, b.intrinsic_size);
  ExpectSame(a.tone_mapping, b.tone_mapping);
  EXPECT_EQ(a.num_extra_channels, b.num_extra_channels);
  ASSERT_EQ(a.extra_channel_info.size(), b.extra_channel_info.size());
  for (size_t i = 0; i < a.extra_channel_info.size(); ++i) {
    SCOPED_TRACE("extra channel " + std::to_string(i));
    ExpectSame(a.extra_channel_info[i], b.extra_channel_info[i]);
  }
  ExpectSame(a.preview_size, b.preview_size);
  ExpectSame(a.animation, b.animation);
  EXPECT_EQ(a.extensions, b.extensions);
}

// Writes `in`, decodes into `out` and checks that the reader stopped exactly
// where the writer did.
template <typename T>
void RoundTrip(const T& in, T* out) {
  uint64_t written = 0;
  const std::vector<uint8_t> bytes = WriteBundle(in, &written);
  ASSERT_FALSE(bytes.empty());
  uint64_t position = 0;
  ASSERT_TRUE(DecodeBundle(bytes, out, &position).ok());
  EXPECT_EQ(position, written);
}

ExtraChannelInfo MakeChannel(ExtraChannelKind kind, const std::string& name) {
  ExtraChannelInfo info;
  info.type = static_cast<uint32_t>(kind);
  info.name = name;
  return info;
}

// A metadata record in which every field holds a value other than its
// default (nested bundles included).
ImageMetadata MakeBusyMetadata() {
  ImageMetadata m;
  m.orientation = 6;
  m.have_intrinsic_size = true;
  m.intrinsic_size.small = false;
  m.intrinsic_size.ysize = 1080;
  m.intrinsic_size.ratio = 0;
  m.intrinsic_size.xsize = 1921;
  m.have_preview = true;
  m.preview_size.div8 = true;
  m.preview_size.ysize_div8 = 40;
  m.preview_size.ratio = 0;
  m.preview_size.xsize_div8 = 300;
  m.have_animation = true;
  m.animation.tps_numerator = 30000;
  m.animation.tps_denominator = 1001;
  m.animation.num_loops = 70000;
  m.animation.have_timecodes = true;
  m.bit_depth.floating_point_sample = true;
  m.bit_depth.bits_per_sample = 16;
  m.bit_depth.exponent_bits_per_sample = 5;
  m.modular_16_bit_buffer_sufficient = false;

  ExtraChannelInfo alpha = MakeChannel(ExtraChannelKind::kAlpha, "alpha");
  alpha.alpha_associated = true;
  alpha.bit_depth.bits_per_sample = 12;
  ExtraChannelInfo spot = MakeChannel(ExtraChannelKind::kSpotColor,
                                      std::string(60, 's'));
  spot.spot_color[0] = 0.25f;
  spot.spot_color[1] = -1.5f;
  spot.spot_color[2] = 100.0f;
  spot.spot_color[3] = 0.75f;
  spot.dim_shift = 3;
  ExtraChannelInfo cfa = MakeChannel(ExtraChannelKind::kCfa, "");
  cfa.cfa_channel = 200;
  cfa.dim_shift = 1;
  cfa.bit_depth.bits_per_sample = 20;
  ExtraChannelInfo optional = MakeChannel(ExtraChannelKind::kOptional, "opt");
  optional.bit_depth.floating_point_sample = true;
  optional.bit_depth.bits_per_sample = 24;
  optional.bit_depth.exponent_bits_per_sample = 7;
  m.extra_channel_info = {alpha, spot, cfa, optional};
  m.num_extra_channels = 4;

  m.xyb_encoded = false;
  ColorEncoding& c = m.color_encoding;
  c.color_space = Raw(ColorSpace::kRgb);
  c.white_point = Raw(WhitePoint::kCustom);
  c.white_x = 312700;
  c.white_y = 329000;
  c.primaries = Raw(Primaries::kCustom);
  c.red_x = 700000;
  c.red_y = 290000;
  c.green_x = 170000;
  c.green_y = 797000;
  c.blue_x = 131000;
  c.blue_y = 46000;
  c.have_gamma = true;
  c.gamma = 4545500;
  c.rendering_intent = Raw(RenderingIntent::kAbsolute);
  EXPECT_TRUE(c.BuildIccFromFields().ok());

  m.tone_mapping.intensity_target = 4000.0f;
  m.tone_mapping.min_nits = 0.5f;
  m.tone_mapping.relative_to_max_display = true;
  m.tone_mapping.linear_below = 0.25f;
  return m;
}

TEST(ImageMetadataTest, RoundTripsEveryField) {
  const ImageMetadata in = MakeBusyMetadata();
  ImageMetadata out;
  RoundTrip(in, &out);
  ExpectSame(in, out);
  EXPECT_FALSE(out.all_default);
  EXPECT_FALSE(out.tone_mapping.all_default);
  EXPECT_FALSE(out.extra_channel_info[0].all_default);
}

TEST(ImageMetadataTest, RoundTripsAnExtensionMask) {
  ImageMetadata in;
  in.extensions = 0x21;
  in.xyb_encoded = false;
  ImageMetadata out;
  RoundTrip(in, &out);
  EXPECT_EQ(out.extensions, 0x21u);
  EXPECT_FALSE(out.xyb_encoded);
}

// extra_fields is not stored: the writer derives it, and each of its
// reasons alone must bring the guarded fields through.
TEST(ImageMetadataTest, RoundTripsEachReasonForExtraFields) {
  struct Case {
    const char* name;
    void (*set)(ImageMetadata*);
  };
  const Case cases[] = {
      {"orientation", [](ImageMetadata* m) { m->orientation = 8; }},
      {"intrinsic size",
       [](ImageMetadata* m) {
         m->have_intrinsic_size = true;
         m->intrinsic_size.small = true;
         m->intrinsic_size.ysize_div8_minus_1 = 3;
         m->intrinsic_size.ratio = 5;
       }},
      {"preview",
       [](ImageMetadata* m) {
         m->have_preview = true;
         m->preview_size.ysize = 100;
         m->preview_size.ratio = 3;
       }},
      {"animation",
       [](ImageMetadata* m) {
         m->have_animation = true;
         m->animation.tps_numerator = 1;
       }},
      {"tone mapping",
       [](ImageMetadata* m) { m->tone_mapping.intensity_target = 1000; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ImageMetadata in;
    c.set(&in);
    ImageMetadata out;
    RoundTrip(in, &out);
    ExpectSame(in, out);
  }
}

TEST(ImageMetadataTest, DefaultsAreOneBit) {
  ImageMetadata fresh;
  EXPECT_TRUE(Bundle::HoldsDefaults(fresh));
  uint64_t bits = 0;
  const std::vector<uint8_t> bytes = WriteBundle(fresh, &bits);
  EXPECT_EQ(bits, 1u);
  ASSERT_EQ(bytes.size(), 1u);
  EXPECT_EQ(bytes[0], 1u);
}

// The single bit 1 resets a metadata record that held other values.
TEST(ImageMetadataTest, AllDefaultBitResetsEveryField) {
  ImageMetadata m = MakeBusyMetadata();
  m.num_extra_channels = 0;
  m.extra_channel_info.clear();
  uint64_t position = 0;
  ASSERT_TRUE(DecodeBundle({0x01}, &m, &position).ok());
  EXPECT_EQ(position, 1u);
  EXPECT_TRUE(m.all_default);
  EXPECT_EQ(m.orientation, 1u);
  EXPECT_FALSE(m.have_intrinsic_size);
  EXPECT_FALSE(m.have_preview);
  EXPECT_FALSE(m.have_animation);
  EXPECT_FALSE(m.bit_depth.floating_point_sample);
  EXPECT_EQ(m.bit_depth.bits_per_sample, 8u);
  EXPECT_EQ(m.bit_depth.exponent_bits_per_sample, 0u);
  EXPECT_TRUE(m.modular_16_bit_buffer_sufficient);
  EXPECT_EQ(m.num_extra_channels, 0u);
  EXPECT_TRUE(m.xyb_encoded);
  EXPECT_EQ(m.color_encoding.color_space, Raw(ColorSpace::kRgb));
  EXPECT_EQ(m.color_encoding.white_point, Raw(WhitePoint::kD65));
  EXPECT_EQ(m.color_encoding.primaries, Raw(Primaries::kSrgb));
  EXPECT_FALSE(m.color_encoding.have_gamma);
  EXPECT_EQ(m.color_encoding.transfer_function, Raw(TransferFunction::kSrgb));
  EXPECT_FALSE(m.color_encoding.icc.empty());
  EXPECT_EQ(m.tone_mapping.intensity_target, 255.0f);
  EXPECT_EQ(m.tone_mapping.min_nits, 0.0f);
  EXPECT_FALSE(m.tone_mapping.relative_to_max_display);
  EXPECT_EQ(m.intrinsic_size.ysize, 1u);
  EXPECT_EQ(m.animation.tps_numerator, 1u);
  EXPECT_EQ(m.preview_size.xsize, 1u);
}

// Every strict prefix of a full encoding asks for more bytes; none fails or
// succeeds, and HasEnoughData agrees.
TEST(ImageMetadataTest, EveryTruncationNeedsMoreBytes) {
  const std::vector<uint8_t> bytes = WriteBundle(MakeBusyMetadata());
  ASSERT_GT(bytes.size(), 10u);
  for (size_t n = 0; n < bytes.size(); ++n) {
    const std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + n);
    ImageMetadata m;
    EXPECT_TRUE(DecodeBundle(prefix, &m).need_more_bytes()) << n;
    ImageMetadata scratch;
    BitReader reader(Span(prefix.data(), prefix.size()));
    EXPECT_FALSE(Bundle::HasEnoughData(reader, scratch)) << n;
  }
}

TEST(ImageMetadataTest, InfiniteToneMappingFailsAfterTheListing) {
  // all_default 0, extra_fields 1, orientation 0, no intrinsic size, preview
  // or animation; integer 8 bits; 16-bit buffers; no extra channels; xyb;
  // default colour encoding; tone mapping with an infinite intensity target.
  BitSequence s;
  s.Bool(false).Bool(true).Bits(3, 0).Bool(false).Bool(false).Bool(false);
  s.Bool(false).Bits(2, 0);  // bit depth: integer, selector 0 (8 bits)
  s.Bool(true).Bits(2, 0).Bool(true).Bool(true);
  s.Bool(false).F16Bits(0x7C00).F16(0.0f).Bool(false).F16(0.0f);
  s.U64(0);
  ImageMetadata m;
  uint64_t position = 0;
  EXPECT_TRUE(DecodeBundle(s.Bytes(), &m, &position).failed());
  EXPECT_EQ(position, s.size_bits());  // the whole listing was read
}

TEST(ImageMetadataTest, MoveKeepsChannelsAndProfile) {
  ImageMetadata source = MakeBusyMetadata();
  const std::vector<uint8_t> profile = source.color_encoding.icc;
  ASSERT_FALSE(profile.empty());
  ImageMetadata target;
  target = std::move(source);
  ASSERT_EQ(target.extra_channel_info.size(), 4u);
  EXPECT_EQ(target.extra_channel_info[1].name, std::string(60, 's'));
  EXPECT_EQ(target.color_encoding.icc, profile);
  EXPECT_EQ(target.orientation, 6u);

  ImageMetadata& alias = target;
  target = std::move(alias);
  EXPECT_EQ(target.extra_channel_info.size(), 4u);
  EXPECT_EQ(target.color_encoding.icc, profile);
}

// Whatever random bytes decode to must write back and decode to the same
// record: the listing reads and writes symmetrically on every path. No input
// may crash or hang the decoder.
TEST(ImageMetadataTest, RandomInputsRoundTripWhenValid) {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  };
  int decoded = 0;
  for (int iteration = 0; iteration < 10000; ++iteration) {
    std::vector<uint8_t> bytes(next() % 48);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(next());
    if (!bytes.empty()) bytes[0] &= 0xFE;  // not all-default
    ImageMetadata m;
    const Status status = DecodeBundle(bytes, &m);
    ASSERT_TRUE(status.ok() || status.failed() || status.need_more_bytes());
    if (!status.ok()) continue;
    ++decoded;
    SCOPED_TRACE(iteration);
    ImageMetadata again;
    RoundTrip(m, &again);
    ExpectSame(m, again);
  }
  EXPECT_GT(decoded, 150);
}

// ---------------------------------------------------------------------------

TEST(SizeHeaderTest, DerivedSizes) {
  struct Case {
    bool small;
    uint32_t ysize_field;  // ysize_div8_minus_1 when small, else ysize
    uint32_t ratio;
    uint32_t xsize_field;
    uint32_t width, height;
  };
  const Case cases[] = {
      {true, 0, 1, 0, 8, 8},
      {false, 1080, 5, 0, 1920, 1080},
      {true, 0, 2, 0, 9, 8},  // 96 / 10 truncated
      {false, 3, 3, 0, 4, 3},
      {false, 10, 4, 0, 15, 10},
      {false, 100, 6, 0, 125, 100},
      {false, 7, 7, 0, 14, 7},
      {true, 31, 0, 0, 8, 256},
      {true, 5, 0, 20, 168, 48},
      {false, 1u << 30, 0, 123, 123, 1u << 30},
      // The product is formed in 64 bits before the division.
      {false, 1u << 30, 5, 0, 1908874353u, 1u << 30},
  };
  for (const Case& c : cases) {
    SizeHeader s;
    s.small = c.small;
    (c.small ? s.ysize_div8_minus_1 : s.ysize) = c.ysize_field;
    s.ratio = c.ratio;
    // The width fields are coded only without a ratio.
    if (c.ratio == 0) (c.small ? s.xsize_div8_minus_1 : s.xsize) = c.xsize_field;
    EXPECT_EQ(s.Height(), c.height);
    EXPECT_EQ(s.Width(), c.width) << c.ratio;
    SizeHeader out;
    RoundTrip(s, &out);
    ExpectSame(s, out);
  }
}

TEST(SizeHeaderTest, LargeSizesRoundTrip) {
  const uint32_t sizes[] = {1, 512, 513, 8704, 8705, 270848, 270849,
                            1u << 30};
  for (uint32_t size : sizes) {
    SizeHeader s;
    s.ysize = size;
    s.xsize = size;
    SizeHeader out;
    RoundTrip(s, &out);
    EXPECT_EQ(out.Width(), size);
    EXPECT_EQ(out.Height(), size);
  }
}

TEST(PreviewHeaderTest, DerivedSizesAndRoundTrips) {
  struct Case {
    bool div8;
    uint32_t ysize_field, ratio, xsize_field;
    uint32_t width, height;
  };
  const Case cases[] = {
      {true, 16, 0, 32, 256, 128},
      {true, 544, 0, 33, 264, 4352},
      {false, 64, 0, 65, 65, 64},
      {false, 4440, 0, 321, 321, 4440},
      {false, 90, 5, 0, 160, 90},
      {true, 1, 7, 0, 16, 8},
  };
  for (const Case& c : cases) {
    PreviewHeader p;
    p.div8 = c.div8;
    (c.div8 ? p.ysize_div8 : p.ysize) = c.ysize_field;
    p.ratio = c.ratio;
    if (c.ratio == 0) (c.div8 ? p.xsize_div8 : p.xsize) = c.xsize_field;
    EXPECT_EQ(p.Width(), c.width);
    EXPECT_EQ(p.Height(), c.height);
    PreviewHeader out;
    RoundTrip(p, &out);
    ExpectSame(p, out);
  }
}

// Preview and animation headers read from bits spelled out field by field
// with each field's own coding (no real file carries a preview or time codes).
TEST(PreviewHeaderTest, ReadsHandMadeFields) {
  constexpr U32Coding kDiv8(Val(16), Val(32), BitsOffset(5, 1),
                            BitsOffset(9, 33));
  constexpr U32Coding kSize(BitsOffset(6, 1), BitsOffset(8, 65),
                            BitsOffset(10, 321), BitsOffset(12, 1345));
  struct Case {
    BitSequence bits;
    uint32_t width, height;
  };
  std::vector<Case> cases;
  {
    BitSequence s;
    s.Bool(true).U32(kDiv8, 20).Bits(3, 0).U32(kDiv8, 100);
    cases.push_back({s, 800, 160});
  }
  {
    BitSequence s;
    s.Bool(false).U32(kSize, 2000).Bits(3, 4);  // 3:2, no width field
    cases.push_back({s, 3000, 2000});
  }
  {
    BitSequence s;
    s.Bool(false).U32(kSize, 64).Bits(3, 0).U32(kSize, 321);
    cases.push_back({s, 321, 64});
  }
  for (const Case& c : cases) {
    PreviewHeader p;
    uint64_t position = 0;
    ASSERT_TRUE(DecodeBundle(c.bits.Bytes(), &p, &position).ok());
    EXPECT_EQ(position, c.bits.size_bits());
    EXPECT_EQ(p.Width(), c.width);
    EXPECT_EQ(p.Height(), c.height);
  }
}

TEST(AnimationHeaderTest, ReadsHandMadeFields) {
  BitSequence s;
  s.U32(U32Coding(Val(100), Val(1000), BitsOffset(10, 1), BitsOffset(30, 1)),
        24);
  s.U32(U32Coding(Val(1), Val(1001), BitsOffset(8, 1), BitsOffset(10, 1)),
        1000);
  s.U32(U32Coding(Val(0), Bits(3), Bits(16), Bits(32)), 5);
  s.Bool(true);
  AnimationHeader a;
  uint64_t position = 0;
  ASSERT_TRUE(DecodeBundle(s.Bytes(), &a, &position).ok());
  EXPECT_EQ(position, 2u + 10u + 2u + 10u + 2u + 3u + 1u);
  EXPECT_EQ(a.tps_numerator, 24u);
  EXPECT_EQ(a.tps_denominator, 1000u);
  EXPECT_EQ(a.num_loops, 5u);
  EXPECT_TRUE(a.have_timecodes);
}

TEST(AnimationHeaderTest, RoundTripsEveryChoice) {
  struct Case {
    uint32_t num, den, loops;
    bool timecodes;
  };
  const Case cases[] = {{100, 1, 0, false},
                        {1000, 1001, 7, true},
                        {1024, 256, 65535, false},
                        {1u << 30, 1024, 0xFFFFFFFFu, true}};
  for (const Case& c : cases) {
    AnimationHeader a;
    a.tps_numerator = c.num;
    a.tps_denominator = c.den;
    a.num_loops = c.loops;
    a.have_timecodes = c.timecodes;
    AnimationHeader out;
    RoundTrip(a, &out);
    ExpectSame(a, out);
  }
}

// ---------------------------------------------------------------------------

TEST(BitDepthTest, Checks) {
  struct Case {
    bool is_float;
    uint32_t bits, exponent;
    bool ok;
  };
  const Case cases[] = {
      {true, 32, 8, true},   {true, 16, 5, true},   {true, 24, 7, true},
      {true, 16, 13, false},  // exponent above 8
      {true, 4, 2, false},    // mantissa 1
      {true, 5, 2, true},     // mantissa 2
      {true, 33, 8, false},   // mantissa 24
      {true, 32, 1, false},   // exponent below 2
      {false, 31, 0, true},  {false, 32, 0, false}, {false, 1, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + "/" + std::to_string(c.exponent));
    BitSequence s;
    s.Bool(c.is_float);
    if (c.is_float) {
      s.U32(U32Coding(Val(32), Val(16), Val(24), BitsOffset(6, 1)), c.bits);
      s.Bits(4, c.exponent - 1);
    } else {
      s.U32(U32Coding(Val(8), Val(10), Val(12), BitsOffset(6, 1)), c.bits);
    }
    BitDepth d;
    const Status status = DecodeBundle(s.Bytes(), &d);
    EXPECT_EQ(status.ok(), c.ok);
    if (c.ok) {
      EXPECT_EQ(d.bits_per_sample, c.bits);
      EXPECT_EQ(d.exponent_bits_per_sample, c.is_float ? c.exponent : 0);
    }
  }
}

// Reading an integer depth into a record that held a float depth clears
// the exponent bits.
TEST(BitDepthTest, IntegerDepthClearsExponent) {
  BitDepth d;
  d.floating_point_sample = true;
  d.bits_per_sample = 32;
  d.exponent_bits_per_sample = 8;
  BitSequence s;
  s.Bool(false).U32(U32Coding(Val(8), Val(10), Val(12), BitsOffset(6, 1)), 10);
  ASSERT_TRUE(DecodeBundle(s.Bytes(), &d).ok());
  EXPECT_FALSE(d.floating_point_sample);
  EXPECT_EQ(d.bits_per_sample, 10u);
  EXPECT_EQ(d.exponent_bits_per_sample, 0u);
}

// ---------------------------------------------------------------------------

constexpr U32Coding kTypeCoding = kEnumCoding;
constexpr U32Coding kDimShiftCoding(Val(0), Val(3), Val(4), BitsOffset(3, 1));
constexpr U32Coding kNameCoding(Val(0), Bits(4), BitsOffset(5, 16),
                                BitsOffset(10, 48));

// An extra channel of the given type and dim_shift, integer 8 bits, named
// `name`, with the type-specific fields that follow the name.
BitSequence ChannelBits(uint32_t type, uint32_t dim_shift,
                        const std::string& name) {
  BitSequence s;
  s.Bool(false).U32(kTypeCoding, type);
  s.Bool(false).Bits(2, 0);  // bit depth: integer, 8 bits
  s.U32(kDimShiftCoding, dim_shift);
  s.U32(kNameCoding, static_cast<uint32_t>(name.size()));
  for (char ch : name) s.Bits(8, static_cast<uint8_t>(ch));
  if (type == 0) s.Bool(true);
  if (type == 2) s.F16(1.0f).F16(0.5f).F16(0.25f).F16(1.0f);
  if (type == 5) s.U32(U32Coding(Val(1), Bits(2), BitsOffset(4, 3),
                                 BitsOffset(8, 19)), 5);
  return s;
}

TEST(ExtraChannelInfoTest, TypeAndDimShiftChecks) {
  struct Case {
    uint32_t type, dim_shift;
    bool ok;
    // Bits read before the failure: 3 (flag and type selector) plus the
    // type's extra bits for an immediate failure, all bits otherwise.
    bool fails_at_type;
  };
  const Case cases[] = {
      {0, 0, true, false},  {1, 3, true, false},  {2, 0, true, false},
      {5, 1, true, false},  {6, 2, true, false},  {16, 0, true, false},
      {7, 0, false, true},  {14, 0, false, true}, {17, 0, false, true},
      {15, 0, false, false},  // refused only after the whole bundle
      {1, 4, false, false},   // dim_shift 4
      {1, 8, false, false},   // dim_shift 8 (3 bits + 1)
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("type " + std::to_string(c.type) + " dim_shift " +
                 std::to_string(c.dim_shift));
    const BitSequence s = ChannelBits(c.type, c.dim_shift, "name");
    ExtraChannelInfo info;
    uint64_t position = 0;
    const Status status = DecodeBundle(s.Bytes(), &info, &position);
    EXPECT_EQ(status.ok(), c.ok);
    if (c.ok) {
      EXPECT_EQ(position, s.size_bits());
      EXPECT_EQ(info.type, c.type);
      EXPECT_EQ(info.dim_shift, c.dim_shift);
      EXPECT_EQ(info.name, "name");
    } else {
      EXPECT_TRUE(status.failed());
      if (c.fails_at_type) {
        EXPECT_LT(position, 12u);
      } else if (c.dim_shift < 4) {
        EXPECT_EQ(position, s.size_bits());
        EXPECT_EQ(info.name, "name");
      }
    }
  }
}

TEST(ExtraChannelInfoTest, RoundTripsEachKind) {
  ExtraChannelInfo alpha = MakeChannel(ExtraChannelKind::kAlpha, "a");
  alpha.alpha_associated = true;
  ExtraChannelInfo depth = MakeChannel(ExtraChannelKind::kDepth, "Depth");
  depth.dim_shift = 2;
  depth.bit_depth.bits_per_sample = 64 - 33;
  ExtraChannelInfo spot = MakeChannel(ExtraChannelKind::kSpotColor, "spot");
  spot.spot_color[0] = 1.0f;
  spot.spot_color[1] = 0.5f;
  spot.spot_color[2] = 0.125f;
  spot.spot_color[3] = 0.875f;
  ExtraChannelInfo cfa = MakeChannel(ExtraChannelKind::kCfa, "");
  cfa.cfa_channel = 18;
  ExtraChannelInfo thermal = MakeChannel(ExtraChannelKind::kThermal,
                                         std::string(1071, 't'));
  for (const ExtraChannelInfo& in : {alpha, depth, spot, cfa, thermal}) {
    SCOPED_TRACE(in.type);
    ExtraChannelInfo out;
    RoundTrip(in, &out);
    ExpectSame(in, out);
  }
}

// A channel holding only defaults is one bit; decoding it into a used
// record restores the defaults but keeps the name, which only a decode
// of the name field changes.
TEST(ExtraChannelInfoTest, AllDefaultBit) {
  ExtraChannelInfo fresh;
  uint64_t bits = 0;
  WriteBundle(fresh, &bits);
  EXPECT_EQ(bits, 1u);

  ExtraChannelInfo used = MakeChannel(ExtraChannelKind::kCfa, "kept");
  used.cfa_channel = 9;
  used.dim_shift = 2;
  used.bit_depth.bits_per_sample = 16;
  ASSERT_TRUE(DecodeBundle({0x01}, &used).ok());
  EXPECT_TRUE(used.all_default);
  EXPECT_EQ(used.type, 0u);
  EXPECT_EQ(used.dim_shift, 0u);
  EXPECT_EQ(used.cfa_channel, 1u);
  EXPECT_EQ(used.bit_depth.bits_per_sample, 8u);
  EXPECT_EQ(used.name, "kept");
}

TEST(ExtraChannelInfoTest, ShortInputNeedsMoreBytesInvalidInputIsEnough) {
  // One byte whose bits ask for a 60-byte name.
  const std::vector<uint8_t> name_too_long =
      ChannelBits(1, 0, std::string(60, 'x')).Bytes();
  const std::vector<uint8_t> one_byte(name_too_long.begin(),
                                      name_too_long.begin() + 1);
  ExtraChannelInfo info;
  EXPECT_TRUE(DecodeBundle(one_byte, &info).need_more_bytes());
  {
    ExtraChannelInfo scratch;
    BitReader reader(Span(one_byte.data(), one_byte.size()));
    EXPECT_FALSE(Bundle::HasEnoughData(reader, scratch));
  }
  // A reserved type fails within the first byte: the data is "there".
  const std::vector<uint8_t> reserved = ChannelBits(7, 0, "").Bytes();
  const std::vector<uint8_t> reserved_byte(reserved.begin(),
                                           reserved.begin() + 1);
  EXPECT_TRUE(DecodeBundle(reserved_byte, &info).failed());
  ExtraChannelInfo scratch;
  BitReader reader(Span(reserved_byte.data(), reserved_byte.size()));
  EXPECT_TRUE(Bundle::HasEnoughData(reader, scratch));
}

// ---------------------------------------------------------------------------

TEST(ToneMappingTest, Checks) {
  struct Case {
    float intensity, min_nits;
    bool relative;
    float linear_below;
    bool ok;
  };
  const Case cases[] = {
      {1000.0f, 0.5f, false, 0.0f, true},
      {255.0f, 255.0f, false, 0.0f, true},   // min_nits may equal the target
      {255.0f, 256.0f, false, 0.0f, false},  // min_nits above the target
      {0.0f, 0.0f, false, 0.0f, false},      // target must be positive
      {-100.0f, 0.0f, false, 0.0f, false},
      {255.0f, -1.0f, false, 0.0f, false},
      {255.0f, 0.0f, true, 1.5f, false},
      {255.0f, 0.0f, false, 1.5f, true},
      {255.0f, 0.0f, true, 1.0f, true},
      {255.0f, 0.0f, false, -0.5f, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.intensity) + " " +
                 std::to_string(c.min_nits) + " " +
                 std::to_string(c.linear_below));
    BitSequence s;
    s.Bool(false).F16(c.intensity).F16(c.min_nits).Bool(c.relative);
    s.F16(c.linear_below);
    ToneMapping t;
    EXPECT_EQ(DecodeBundle(s.Bytes(), &t).ok(), c.ok);
  }
}

TEST(ToneMappingTest, RoundTrips) {
  ToneMapping in;
  in.intensity_target = 10000.0f;
  in.min_nits = 0.0625f;
  in.relative_to_max_display = true;
  in.linear_below = 0.5f;
  ToneMapping out;
  RoundTrip(in, &out);
  ExpectSame(in, out);
}

// ---------------------------------------------------------------------------

TEST(CustomTransformDataTest, DefaultsHoldTheStandardTables) {
  CustomTransformData t;
  EXPECT_TRUE(t.all_default);
  EXPECT_FALSE(t.xyb);
  EXPECT_EQ(t.custom_weights_mask, 0u);
  EXPECT_FLOAT_EQ(t.upsampling2_weights[0], -0.017162f);
  EXPECT_FLOAT_EQ(t.upsampling2_weights[14], -0.00213539f);
  EXPECT_FLOAT_EQ(t.upsampling4_weights[0], -0.02419067f);
  EXPECT_FLOAT_EQ(t.upsampling4_weights[53], -0.01667999f);
  EXPECT_FLOAT_EQ(t.upsampling4_weights[54], -0.00384443f);
  EXPECT_FLOAT_EQ(t.upsampling8_weights[4], -0.00447632f);
  EXPECT_FLOAT_EQ(t.upsampling8_weights[209], -0.00458223f);
  EXPECT_FLOAT_EQ(t.opsin_inverse_matrix.inverse_matrix[0], 11.031567f);
  EXPECT_FLOAT_EQ(t.opsin_inverse_matrix.inverse_matrix[8], 1.9459282f);
  EXPECT_FLOAT_EQ(t.opsin_inverse_matrix.opsin_biases[2], -0.0037930734f);
  EXPECT_FLOAT_EQ(t.opsin_inverse_matrix.quant_biases[3], 0.145f);
}

// The tables are upper triangles stored row by row: the diagonal entry of
// row r of an n x n matrix sits at r * n - r * (r - 1) / 2.
TEST(CustomTransformDataTest, DefaultTablesHaveTriangleLayout) {
  struct Case {
    const float* table;
    size_t n;
    float first_diagonal, last_diagonal;
  };
  const Case cases[] = {
      {kDefaultUpsampling2Weights, 5, -0.017162f, -0.00213539f},
      {kDefaultUpsampling4Weights, 10, -0.02419067f, -0.00384443f},
      {kDefaultUpsampling8Weights, 20, -0.02928613f, -0.00458223f},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.table[0], c.first_diagonal);
    const size_t r = c.n - 1;
    EXPECT_EQ(c.table[r * c.n - r * (r - 1) / 2], c.last_diagonal);
  }
  // Diagonal entries of rows 2 and 10 of the 8x table.
  EXPECT_EQ(kDefaultUpsampling8Weights[2 * 20 - 1], 0.4272005f);
  EXPECT_EQ(kDefaultUpsampling8Weights[10 * 20 - 45], -0.01374149f);
}

// Every 5 x 5 kernel cut from a default table sums to 1: the block of rows
// 5qy..5qy+4 and columns 5qx..5qx+4 of the symmetric n x n matrix, for each
// quadrant position (qy, qx). Every stored value lies in some block, so a
// mistyped or misplaced entry shows up as a sum away from 1.
TEST(CustomTransformDataTest, DefaultKernelsSumToOne) {
  struct Case {
    const float* table;
    size_t factor;
  };
  const Case cases[] = {{kDefaultUpsampling2Weights, 2},
                        {kDefaultUpsampling4Weights, 4},
                        {kDefaultUpsampling8Weights, 8}};
  for (const Case& c : cases) {
    const size_t n = 5 * c.factor / 2;
    auto w = [&](size_t r, size_t col) {
      if (r > col) std::swap(r, col);
      return c.table[r * n - r * (r - 1) / 2 + (col - r)];
    };
    for (size_t qy = 0; qy < c.factor / 2; ++qy) {
      for (size_t qx = 0; qx < c.factor / 2; ++qx) {
        double sum = 0;
        for (size_t ky = 0; ky < 5; ++ky) {
          for (size_t kx = 0; kx < 5; ++kx) sum += w(5 * qy + ky, 5 * qx + kx);
        }
        EXPECT_NEAR(sum, 1.0, 2e-6) << c.factor << "x, block " << qy << ","
                                    << qx;
      }
    }
  }
}

TEST(CustomTransformDataTest, OpsinMatrixOnlyForXyb) {
  // all_default 0, (no matrix without xyb), mask 0b101, then 15 + 210 halves.
  BitSequence s;
  s.Bool(false).Bits(3, 5);
  for (int i = 0; i < 15; ++i) s.F16(0.5f);
  for (int i = 0; i < 210; ++i) s.F16(-0.25f);
  CustomTransformData t;
  uint64_t position = 0;
  ASSERT_TRUE(DecodeBundle(s.Bytes(), &t, &position).ok());
  EXPECT_EQ(position, 1u + 3u + 225u * 16u);
  EXPECT_EQ(t.upsampling2_weights[14], 0.5f);
  EXPECT_EQ(t.upsampling4_weights[0], kDefaultUpsampling4Weights[0]);
  EXPECT_EQ(t.upsampling8_weights[209], -0.25f);
  EXPECT_TRUE(t.opsin_inverse_matrix.all_default);

}

// The opsin matrix is read only with the xyb flag: the same five bits are a
// complete bundle with the flag (matrix all_default 1, mask 0) and, without
// it, a mask of 1 that asks for 15 weights.
TEST(CustomTransformDataTest, XybFlagDecidesTheMatrix) {
  BitSequence s;
  s.Bool(false).Bool(true).Bits(3, 0);
  CustomTransformData with_xyb;
  with_xyb.xyb = true;
  uint64_t position = 0;
  ASSERT_TRUE(DecodeBundle(s.Bytes(), &with_xyb, &position).ok());
  EXPECT_EQ(position, 5u);
  EXPECT_EQ(with_xyb.custom_weights_mask, 0u);

  CustomTransformData without_xyb;
  EXPECT_TRUE(DecodeBundle(s.Bytes(), &without_xyb).need_more_bytes());
  EXPECT_EQ(without_xyb.custom_weights_mask, 1u);
}

TEST(CustomTransformDataTest, RoundTripsEveryField) {
  CustomTransformData in;
  in.xyb = true;
  OpsinInverseMatrix& o = in.opsin_inverse_matrix;
  for (int i = 0; i < 9; ++i) o.inverse_matrix[i] = 0.5f * (i + 1);
  for (int i = 0; i < 3; ++i) o.opsin_biases[i] = -0.125f * (i + 1);
  for (int i = 0; i < 4; ++i) o.quant_biases[i] = 0.25f * (i + 1);
  in.custom_weights_mask = 7;
  for (size_t i = 0; i < kUpsampling2WeightCount; ++i) {
    in.upsampling2_weights[i] = 0.5f;
  }
  for (size_t i = 0; i < kUpsampling4WeightCount; ++i) {
    in.upsampling4_weights[i] = -0.0625f * static_cast<float>(i % 7);
  }
  for (size_t i = 0; i < kUpsampling8WeightCount; ++i) {
    in.upsampling8_weights[i] = 0.03125f * static_cast<float>(i % 9);
  }
  CustomTransformData out;
  out.xyb = true;
  RoundTrip(in, &out);
  ExpectSame(in, out);
}

}  // namespace
}  // namespace qov
