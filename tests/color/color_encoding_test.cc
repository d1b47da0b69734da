// The colour-encoding bundle: decoding, validity, round trips, the public
// record, equality, ICC installation and the standard encodings.
#include "lib/color/color_encoding.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "lib/color/icc_synth.h"
#include "tests/support/bit_sequence.h"
#include "tests/color/icc_test_util.h"

namespace qov {
namespace {

using Bits = test::BitSequence;
using test::DecodeBundle;
using test::WriteBundle;

constexpr U32Coding kXyCoding(qov::Bits(19), BitsOffset(19, 524288),
                              BitsOffset(20, 1048576), BitsOffset(21, 2097152));

uint32_t ZigZag(int32_t v) {
  return v < 0 ? 2 * static_cast<uint32_t>(-(v + 1)) + 1
               : 2 * static_cast<uint32_t>(v);
}

// all_default 0, want_icc 0, then the colour space.
Bits Head(uint32_t color_space) {
  Bits b;
  b.Bool(false).Bool(false).Enum(color_space);
  return b;
}

TEST(ColorEncodingTest, ConstructedIsSrgbWithProfile) {
  const ColorEncoding e;
  EXPECT_TRUE(e.all_default);
  EXPECT_FALSE(e.want_icc);
  EXPECT_TRUE(e.have_fields);
  EXPECT_EQ(e.color_space, QOV_COLOR_SPACE_RGB);
  EXPECT_EQ(e.white_point, QOV_WHITE_POINT_D65);
  EXPECT_EQ(e.primaries, QOV_PRIMARIES_SRGB);
  EXPECT_EQ(e.transfer_function, QOV_TRANSFER_FUNCTION_SRGB);
  EXPECT_FALSE(e.have_gamma);
  EXPECT_EQ(e.rendering_intent, QOV_RENDERING_INTENT_RELATIVE);
  EXPECT_TRUE(test::IsWellFormedIcc(e.icc));
  EXPECT_EQ(test::MlucText(test::TagBody(e.icc, "desc")), "sRGB");
}

TEST(ColorEncodingTest, AllDefaultBitGivesSrgb) {
  ColorEncoding e;
  e.color_space = QOV_COLOR_SPACE_GRAY;  // overwritten by the defaults
  e.icc.clear();
  uint64_t position = 0;
  ASSERT_TRUE(DecodeBundle({0x01}, &e, &position).ok());
  EXPECT_EQ(position, 1u);
  EXPECT_EQ(e.color_space, QOV_COLOR_SPACE_RGB);
  EXPECT_EQ(e.rendering_intent, QOV_RENDERING_INTENT_RELATIVE);
  EXPECT_EQ(e.icc, StandardSrgbEncodings(false).icc);
}

TEST(ColorEncodingTest, WantIccReadsNothingMore) {
  ColorEncoding e;
  const std::vector<uint8_t> profile_before = e.icc;
  Bits b;
  b.Bool(false).Bool(true).Enum(QOV_COLOR_SPACE_GRAY).Bits(8, 0xFF);
  uint64_t position = 0;
  ASSERT_TRUE(DecodeBundle(b.Bytes(), &e, &position).ok());
  EXPECT_EQ(position, 4u);  // two flags and the 2-bit selector of value 1
  EXPECT_TRUE(e.want_icc);
  EXPECT_EQ(e.color_space, QOV_COLOR_SPACE_GRAY);
  EXPECT_EQ(e.icc, profile_before);
}

TEST(ColorEncodingTest, WantIccWithoutProfileFailsUnlessDecoding) {
  ColorEncoding e;
  e.all_default = false;
  e.want_icc = true;
  e.icc.clear();
  AllDefaultVisitor all_default;
  EXPECT_TRUE(all_default.VisitBundle(&e).failed());
  Status write_status;
  WriteBundle(e, &write_status);
  EXPECT_FALSE(write_status.ok());
  e.icc = {1, 2, 3};
  const std::vector<uint8_t> written = WriteBundle(e, &write_status);
  EXPECT_TRUE(write_status.ok());
  ColorEncoding decoded;
  ASSERT_TRUE(DecodeBundle(written, &decoded).ok());
  EXPECT_TRUE(decoded.want_icc);
}

TEST(ColorEncodingTest, XybImpliesD65AndGammaThird) {
  ColorEncoding e;
  Bits b = Head(QOV_COLOR_SPACE_XYB);
  b.Enum(QOV_RENDERING_INTENT_PERCEPTUAL);
  uint64_t position = 0;
  ASSERT_TRUE(DecodeBundle(b.Bytes(), &e, &position).ok());
  EXPECT_EQ(position, b.size_bits());
  EXPECT_EQ(e.white_point, QOV_WHITE_POINT_D65);
  EXPECT_TRUE(e.have_gamma);
  EXPECT_EQ(e.gamma, 3333333u);
  const QovColorEncoding pub = e.ToPublic();
  EXPECT_EQ(pub.transfer_function, QOV_TRANSFER_FUNCTION_GAMMA);
  EXPECT_DOUBLE_EQ(pub.gamma, 0.3333333);
  EXPECT_EQ(pub.primaries, 0u);
  EXPECT_EQ(pub.primaries_red_xy[0], 0.0);
  EXPECT_EQ(test::MlucText(test::TagBody(e.icc, "desc")), "XYB_Per");
}

struct DecodeCase {
  const char* name;
  Bits bits;
  StatusValue want;
  std::function<void(const ColorEncoding&)> check;
};

std::vector<DecodeCase> DecodeCases() {
  auto rgb = [](uint32_t white, uint32_t prim) {
    Bits b = Head(QOV_COLOR_SPACE_RGB);
    b.Enum(white).Enum(prim);
    return b;
  };
  auto with_gamma = [&](uint32_t gamma) {
    Bits b = rgb(1, 1);
    b.Bool(true).Bits(24, gamma).Enum(1);
    return b;
  };
  auto with_transfer = [&](uint32_t tf) {
    Bits b = rgb(1, 1);
    b.Bool(false).Enum(tf).Enum(1);
    return b;
  };
  Bits unknown_space = Head(QOV_COLOR_SPACE_UNKNOWN);
  unknown_space.Enum(1).Enum(1).Bool(false).Enum(13).Enum(2);
  Bits xyb_relative = Head(QOV_COLOR_SPACE_XYB);
  xyb_relative.Enum(QOV_RENDERING_INTENT_RELATIVE);
  Bits white_e = rgb(10, 1);
  white_e.Bool(false).Enum(13).Enum(1);
  Bits white_3 = rgb(3, 1);
  Bits grey = Head(QOV_COLOR_SPACE_GRAY);
  grey.Enum(11).Bool(false).Enum(8).Enum(3);
  Bits tf_unknown = with_transfer(2);
  Bits intent_4 = rgb(1, 1);
  intent_4.Bool(false).Enum(13).Enum(4);
  Bits custom = Head(QOV_COLOR_SPACE_RGB);
  custom.Enum(2)
      .U32(kXyCoding, ZigZag(312700))
      .U32(kXyCoding, ZigZag(329000))
      .Enum(2)
      .U32(kXyCoding, ZigZag(-1))
      .U32(kXyCoding, ZigZag(2000000))
      .U32(kXyCoding, ZigZag(-2097152))
      .U32(kXyCoding, ZigZag(0))
      .U32(kXyCoding, ZigZag(150000))
      .U32(kXyCoding, ZigZag(60000))
      .Bool(false)
      .Enum(13)
      .Enum(0);

  return {
      {"gamma 1220", with_gamma(1220), StatusValue::Failed, nullptr},
      {"gamma 1221", with_gamma(1221), StatusValue::Ok,
       [](const ColorEncoding& e) { EXPECT_EQ(e.gamma, 1221u); }},
      {"gamma 10000000", with_gamma(10000000), StatusValue::Ok,
       [](const ColorEncoding& e) {
         EXPECT_EQ(e.ToPublic().gamma, 1.0);
         EXPECT_EQ(e.ToPublic().transfer_function, QOV_TRANSFER_FUNCTION_GAMMA);
       }},
      {"gamma 10000001", with_gamma(10000001), StatusValue::Failed, nullptr},
      {"transfer 14", with_transfer(14), StatusValue::Failed, nullptr},
      {"transfer 15", with_transfer(15), StatusValue::Failed, nullptr},
      {"transfer 0", with_transfer(0), StatusValue::Failed, nullptr},
      {"transfer Unknown", tf_unknown, StatusValue::Failed, nullptr},
      {"transfer HLG", with_transfer(18), StatusValue::Ok,
       [](const ColorEncoding& e) {
         EXPECT_EQ(e.transfer_function, QOV_TRANSFER_FUNCTION_HLG);
       }},
      {"white point 3", white_3, StatusValue::Failed, nullptr},
      {"white point E", white_e, StatusValue::Ok,
       [](const ColorEncoding& e) {
         const QovColorEncoding pub = e.ToPublic();
         EXPECT_EQ(pub.white_point, QOV_WHITE_POINT_E);
         EXPECT_DOUBLE_EQ(pub.white_point_xy[0], 1.0 / 3);
         EXPECT_DOUBLE_EQ(pub.white_point_xy[1], 1.0 / 3);
       }},
      {"primaries 3", rgb(1, 3), StatusValue::Failed, nullptr},
      {"colour space 4", Head(4), StatusValue::Failed, nullptr},
      {"colour space Unknown fails after the intent", unknown_space,
       StatusValue::Failed, nullptr},
      {"XYB relative", xyb_relative, StatusValue::Failed, nullptr},
      {"intent 4", intent_4, StatusValue::Failed, nullptr},
      {"grey DCI white reads no primaries", grey, StatusValue::Ok,
       [](const ColorEncoding& e) {
         EXPECT_EQ(e.white_point, QOV_WHITE_POINT_DCI);
         EXPECT_EQ(e.transfer_function, QOV_TRANSFER_FUNCTION_LINEAR);
         EXPECT_EQ(e.rendering_intent, QOV_RENDERING_INTENT_ABSOLUTE);
         EXPECT_EQ(test::MlucText(test::TagBody(e.icc, "desc")),
                   "Gra_DCI_Abs_Lin");
       }},
      {"custom white and primaries", custom, StatusValue::Ok,
       [](const ColorEncoding& e) {
         EXPECT_EQ(e.white_x, 312700);
         EXPECT_EQ(e.white_y, 329000);
         EXPECT_EQ(e.red_x, -1);
         EXPECT_EQ(e.red_y, 2000000);
         EXPECT_EQ(e.green_x, -2097152);
         EXPECT_EQ(e.green_y, 0);
         EXPECT_EQ(e.blue_x, 150000);
         EXPECT_EQ(e.blue_y, 60000);
         const QovColorEncoding pub = e.ToPublic();
         EXPECT_DOUBLE_EQ(pub.white_point_xy[0], 0.3127);
         EXPECT_DOUBLE_EQ(pub.primaries_red_xy[1], 2.0);
         EXPECT_DOUBLE_EQ(pub.primaries_green_xy[0], -2.097152);
       }},
  };
}

TEST(ColorEncodingTest, DecodeValidity) {
  for (const DecodeCase& c : DecodeCases()) {
    ColorEncoding e;
    uint64_t position = 0;
    const Status s = DecodeBundle(c.bits.Bytes(), &e, &position);
    EXPECT_EQ(s.code(), c.want) << c.name;
    if (c.want == StatusValue::Ok) {
      EXPECT_EQ(position, c.bits.size_bits()) << c.name;
      EXPECT_TRUE(test::IsWellFormedIcc(e.icc)) << c.name;
    }
    if (c.check && s.ok()) {
      SCOPED_TRACE(c.name);
      c.check(e);
    }
  }
}

// The custom chromaticity above is not a valid primaries set: the decode
// succeeds only because the triangle is not degenerate. A collinear one
// cannot get a profile and fails.
TEST(ColorEncodingTest, UnsynthesisablePrimariesFail) {
  Bits b = Head(QOV_COLOR_SPACE_RGB);
  b.Enum(1).Enum(2);
  for (int32_t v : {100000, 100000, 200000, 200000, 300000, 300000}) {
    b.U32(kXyCoding, ZigZag(v));
  }
  b.Bool(false).Enum(13).Enum(1);
  ColorEncoding e;
  EXPECT_TRUE(DecodeBundle(b.Bytes(), &e).failed());
  EXPECT_TRUE(e.icc.empty());
}

// The Unknown check comes after the last field: without the intent's bits
// the decode asks for more input instead of failing.
TEST(ColorEncodingTest, UnknownColourSpaceFailsOnlyAfterTheIntent) {
  Bits b = Head(QOV_COLOR_SPACE_UNKNOWN);
  b.Enum(1).Enum(1).Bool(false).Enum(13).Enum(2);  // intent: 6 bits at 19
  std::vector<uint8_t> bytes = b.Bytes();
  ASSERT_EQ(bytes.size(), 4u);
  ColorEncoding e;
  uint64_t position = 0;
  EXPECT_TRUE(DecodeBundle(bytes, &e, &position).failed());
  EXPECT_EQ(position, b.size_bits());
  EXPECT_EQ(e.rendering_intent, QOV_RENDERING_INTENT_SATURATION);
  bytes.pop_back();
  ColorEncoding cut;
  EXPECT_TRUE(DecodeBundle(bytes, &cut).need_more_bytes());
}

TEST(ColorEncodingTest, ShortInputNeedsMoreBytes) {
  Bits b = Head(QOV_COLOR_SPACE_RGB);
  b.Enum(1).Enum(1).Bool(false).Enum(13).Enum(1);
  const std::vector<uint8_t> bytes = b.Bytes();
  for (size_t n = 0; n < bytes.size(); ++n) {
    ColorEncoding e;
    const std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + n);
    // Every prefix stops inside some field.
    const Status s = DecodeBundle(prefix, &e);
    EXPECT_TRUE(s.need_more_bytes()) << n << " bytes";
  }
}

// Round trips through the bundle writer with every field away from its
// default in at least one case.
TEST(ColorEncodingTest, RoundTrip) {
  struct Case {
    const char* name;
    std::function<void(ColorEncoding*)> set;
  };
  const Case kCases[] = {
      {"custom white and primaries, gamma, absolute",
       [](ColorEncoding* e) {
         e->white_point = QOV_WHITE_POINT_CUSTOM;
         e->white_x = 345669;
         e->white_y = 358496;
         e->primaries = QOV_PRIMARIES_CUSTOM;
         e->red_x = 734699;
         e->red_y = 265301;
         e->green_x = 159597;
         e->green_y = 840403;
         e->blue_x = 36598;
         e->blue_y = -105;
         e->have_gamma = true;
         e->gamma = 5555556;
         e->rendering_intent = QOV_RENDERING_INTENT_ABSOLUTE;
       }},
      {"2100 PQ saturation",
       [](ColorEncoding* e) {
         e->primaries = QOV_PRIMARIES_2100;
         e->transfer_function = QOV_TRANSFER_FUNCTION_PQ;
         e->rendering_intent = QOV_RENDERING_INTENT_SATURATION;
       }},
      {"grey DCI white, DCI transfer, perceptual",
       [](ColorEncoding* e) {
         e->color_space = QOV_COLOR_SPACE_GRAY;
         e->white_point = QOV_WHITE_POINT_DCI;
         e->transfer_function = QOV_TRANSFER_FUNCTION_DCI;
         e->rendering_intent = QOV_RENDERING_INTENT_PERCEPTUAL;
       }},
      {"P3 white E 709",
       [](ColorEncoding* e) {
         e->white_point = QOV_WHITE_POINT_E;
         e->primaries = QOV_PRIMARIES_P3;
         e->transfer_function = QOV_TRANSFER_FUNCTION_709;
       }},
      {"XYB",
       [](ColorEncoding* e) {
         e->color_space = QOV_COLOR_SPACE_XYB;
         e->rendering_intent = QOV_RENDERING_INTENT_PERCEPTUAL;
       }},
      {"ICC grey",
       [](ColorEncoding* e) {
         e->color_space = QOV_COLOR_SPACE_GRAY;
         e->TakeIccProfile({9, 8, 7});
       }},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ColorEncoding original;
    c.set(&original);
    original.all_default = false;
    Status status;
    uint64_t bits = 0;
    const std::vector<uint8_t> bytes = WriteBundle(original, &status, &bits);
    ASSERT_TRUE(status.ok());
    ColorEncoding decoded;
    uint64_t position = 0;
    ASSERT_TRUE(DecodeBundle(bytes, &decoded, &position).ok());
    EXPECT_EQ(position, bits);
    EXPECT_FALSE(decoded.all_default);
    EXPECT_EQ(decoded.want_icc, original.want_icc);
    EXPECT_EQ(decoded.color_space, original.color_space);
    if (original.want_icc) continue;  // the profile follows elsewhere
    EXPECT_TRUE(decoded.SameAs(original));
    EXPECT_EQ(decoded.rendering_intent, original.rendering_intent);
    EXPECT_EQ(decoded.white_x, original.white_x);
    EXPECT_EQ(decoded.blue_y, original.blue_y);
    EXPECT_EQ(decoded.icc, original.icc);  // writing built the same profile
    EXPECT_TRUE(test::IsWellFormedIcc(decoded.icc));
  }
}

TEST(ColorEncodingTest, DefaultEncodingWritesOneBit) {
  ColorEncoding e;
  Status status;
  uint64_t bits = 0;
  WriteBundle(e, &status, &bits);
  ASSERT_TRUE(status.ok());
  EXPECT_EQ(bits, 1u);
}

TEST(ColorEncodingTest, TakeIccProfile) {
  ColorEncoding e;
  std::vector<uint8_t> profile = {1, 2, 3, 4};
  e.TakeIccProfile(std::move(profile));
  EXPECT_EQ(e.icc, (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_FALSE(e.have_fields);
  EXPECT_TRUE(e.want_icc);
  const QovColorEncoding pub = e.ToPublic();
  EXPECT_EQ(pub.color_space, QOV_COLOR_SPACE_UNKNOWN);
  EXPECT_EQ(pub.white_point, QOV_WHITE_POINT_CUSTOM);
  EXPECT_EQ(pub.primaries, QOV_PRIMARIES_CUSTOM);
  EXPECT_EQ(pub.transfer_function, QOV_TRANSFER_FUNCTION_UNKNOWN);
  EXPECT_EQ(pub.white_point_xy[0], 0.0);
  EXPECT_EQ(pub.gamma, 0.0);
  EXPECT_EQ(pub.rendering_intent, 0u);
  // Taking its own bytes keeps them.
  e.TakeIccProfile(std::move(e.icc));
  EXPECT_EQ(e.icc, (std::vector<uint8_t>{1, 2, 3, 4}));
  // No fields: no profile can be built from them.
  EXPECT_TRUE(e.BuildIccFromFields().failed());
  EXPECT_TRUE(e.icc.empty());
}

TEST(ColorEncodingTest, ToPublicNamedValues) {
  struct Case {
    uint32_t primaries;
    double red[2], green[2], blue[2];
  };
  const Case kCases[] = {
      {QOV_PRIMARIES_SRGB, {0.639998686, 0.330010138},
       {0.300003784, 0.600003357}, {0.150002046, 0.059997204}},
      {QOV_PRIMARIES_2100, {0.708, 0.292}, {0.17, 0.797}, {0.131, 0.046}},
      {QOV_PRIMARIES_P3, {0.68, 0.32}, {0.265, 0.69}, {0.15, 0.06}},
  };
  for (const Case& c : kCases) {
    ColorDescription d;
    d.primaries = c.primaries;
    d.white_point = QOV_WHITE_POINT_DCI;
    const QovColorEncoding pub = d.ToPublic();
    EXPECT_EQ(pub.primaries, c.primaries);
    EXPECT_EQ(pub.primaries_red_xy[0], c.red[0]);
    EXPECT_EQ(pub.primaries_red_xy[1], c.red[1]);
    EXPECT_EQ(pub.primaries_green_xy[0], c.green[0]);
    EXPECT_EQ(pub.primaries_green_xy[1], c.green[1]);
    EXPECT_EQ(pub.primaries_blue_xy[0], c.blue[0]);
    EXPECT_EQ(pub.primaries_blue_xy[1], c.blue[1]);
    EXPECT_EQ(pub.white_point_xy[0], 0.314);
    EXPECT_EQ(pub.white_point_xy[1], 0.351);
  }
  // Grey reports no primaries whatever the field holds.
  ColorDescription grey;
  grey.color_space = QOV_COLOR_SPACE_GRAY;
  grey.primaries = QOV_PRIMARIES_P3;
  const QovColorEncoding pub = grey.ToPublic();
  EXPECT_EQ(pub.primaries, 0u);
  EXPECT_EQ(pub.primaries_green_xy[1], 0.0);
}

TEST(ColorEncodingTest, SameAs) {
  struct Case {
    const char* name;
    std::function<void(ColorDescription*)> change;
    bool same;
  };
  const Case kCases[] = {
      {"intent ignored", [](ColorDescription* d) { d->rendering_intent = 0; },
       true},
      {"icc ignored", [](ColorDescription* d) { d->icc = {1}; }, true},
      {"white point", [](ColorDescription* d) { d->white_point = 10; }, false},
      {"primaries", [](ColorDescription* d) { d->primaries = 11; }, false},
      {"transfer", [](ColorDescription* d) { d->transfer_function = 8; },
       false},
      {"gamma instead of transfer",
       [](ColorDescription* d) {
         d->have_gamma = true;
         d->gamma = 4545500;
       },
       false},
      {"cmyk", [](ColorDescription* d) { d->cmyk = true; }, false},
      {"colour space", [](ColorDescription* d) { d->color_space = 1; }, false},
      {"unused custom white values", [](ColorDescription* d) { d->white_x = 5; },
       true},
  };
  for (const Case& c : kCases) {
    ColorDescription a;
    ColorDescription b;
    c.change(&b);
    EXPECT_EQ(a.SameAs(b), c.same) << c.name;
    EXPECT_EQ(b.SameAs(a), c.same) << c.name;
  }

  ColorDescription grey_a, grey_b;
  grey_a.color_space = grey_b.color_space = QOV_COLOR_SPACE_GRAY;
  grey_b.primaries = QOV_PRIMARIES_P3;
  EXPECT_TRUE(grey_a.SameAs(grey_b));

  ColorDescription custom_a, custom_b;
  custom_a.white_point = custom_b.white_point = QOV_WHITE_POINT_CUSTOM;
  custom_a.primaries = custom_b.primaries = QOV_PRIMARIES_CUSTOM;
  EXPECT_TRUE(custom_a.SameAs(custom_b));
  custom_b.green_y = 1;
  EXPECT_FALSE(custom_a.SameAs(custom_b));
  custom_b.green_y = 0;
  custom_b.white_y = 1;
  EXPECT_FALSE(custom_a.SameAs(custom_b));

  ColorDescription gamma_a, gamma_b;
  gamma_a.have_gamma = gamma_b.have_gamma = true;
  gamma_a.gamma = gamma_b.gamma = 4545500;
  gamma_b.transfer_function = QOV_TRANSFER_FUNCTION_PQ;  // unused with gamma
  EXPECT_TRUE(gamma_a.SameAs(gamma_b));
  gamma_b.gamma = 4545501;
  EXPECT_FALSE(gamma_a.SameAs(gamma_b));
}

TEST(ColorEncodingTest, StandardEncodings) {
  struct Case {
    const ColorEncoding* e;
    const char* description;
    uint32_t color_space;
    uint32_t transfer;
  };
  const Case kCases[] = {
      {&StandardSrgbEncodings(false), "sRGB", QOV_COLOR_SPACE_RGB,
       QOV_TRANSFER_FUNCTION_SRGB},
      {&StandardSrgbEncodings(true), "Gra_D65_Rel_SRG", QOV_COLOR_SPACE_GRAY,
       QOV_TRANSFER_FUNCTION_SRGB},
      {&StandardLinearSrgbEncodings(false), "RGB_D65_SRG_Rel_Lin",
       QOV_COLOR_SPACE_RGB, QOV_TRANSFER_FUNCTION_LINEAR},
      {&StandardLinearSrgbEncodings(true), "Gra_D65_Rel_Lin",
       QOV_COLOR_SPACE_GRAY, QOV_TRANSFER_FUNCTION_LINEAR},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(c.e->color_space, c.color_space);
    EXPECT_EQ(c.e->transfer_function, c.transfer);
    EXPECT_FALSE(c.e->have_gamma);
    EXPECT_FALSE(c.e->want_icc);
    EXPECT_EQ(c.e->white_point, QOV_WHITE_POINT_D65);
    EXPECT_EQ(c.e->primaries, QOV_PRIMARIES_SRGB);
    EXPECT_EQ(c.e->rendering_intent, QOV_RENDERING_INTENT_RELATIVE);
    EXPECT_TRUE(test::IsWellFormedIcc(c.e->icc));
    EXPECT_EQ(test::MlucText(test::TagBody(c.e->icc, "desc")), c.description);
  }
  EXPECT_EQ(&StandardSrgbEncodings(false), &StandardSrgbEncodings(false));
  // A freshly built sRGB encoding has exactly the shared profile.
  EXPECT_EQ(ColorEncoding().icc, StandardSrgbEncodings(false).icc);
}

// Arbitrary bytes never crash the decode; whatever decodes as a structured
// description carries a well-formed profile of that description.
TEST(ColorEncodingTest, RandomInputDecodesSafely) {
  std::mt19937 rng(1234);
  int decoded = 0;
  for (int iteration = 0; iteration < 12000; ++iteration) {
    std::vector<uint8_t> bytes(1 + rng() % 12);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    bytes[0] &= 0xFE;  // not all-default
    ColorEncoding e;
    const Status s = DecodeBundle(bytes, &e);
    ASSERT_TRUE(s.ok() || s.failed() || s.need_more_bytes());
    if (!s.ok() || e.want_icc) continue;
    ++decoded;
    ASSERT_TRUE(test::IsWellFormedIcc(e.icc));
    std::vector<uint8_t> again;
    ASSERT_TRUE(SynthesizeIccProfile(e.ToPublic(), &again).ok());
    ASSERT_EQ(again, e.icc);
  }
  EXPECT_GT(decoded, 50);
}

TEST(ColorEncodingTest, CopyAndMoveCarryProfile) {
  ColorEncoding a;
  a.color_space = QOV_COLOR_SPACE_GRAY;
  ASSERT_TRUE(a.BuildIccFromFields().ok());
  ColorEncoding b(a);
  EXPECT_EQ(b.icc, a.icc);
  EXPECT_TRUE(b.SameAs(a));
  ColorEncoding c;
  c = std::move(b);
  EXPECT_EQ(c.icc, a.icc);
  EXPECT_EQ(c.color_space, QOV_COLOR_SPACE_GRAY);
}

// Profiles built one after another, in every order, are each exactly the
// profile synthesised afresh for that description: building remembers the
// last few profiles, and no description may get another one's bytes, however
// little they differ (one enumeration, one custom coordinate, the gamma).
TEST(ColorEncodingTest, BuildsInAnyOrderMatchFreshSynthesis) {
  std::vector<std::pair<std::string, ColorEncoding>> cases;
  auto add = [&cases](const std::string& name,
                      const std::function<void(ColorEncoding&)>& change) {
    ColorEncoding e;
    e.transfer_function = QOV_TRANSFER_FUNCTION_PQ;
    e.primaries = QOV_PRIMARIES_2100;
    change(e);
    cases.emplace_back(name, e);
  };
  add("pq 2100", [](ColorEncoding&) {});
  add("hlg", [](ColorEncoding& e) { e.transfer_function = QOV_TRANSFER_FUNCTION_HLG; });
  add("srgb", [](ColorEncoding& e) { e.transfer_function = QOV_TRANSFER_FUNCTION_SRGB; });
  add("p3", [](ColorEncoding& e) { e.primaries = QOV_PRIMARIES_P3; });
  add("perceptual", [](ColorEncoding& e) { e.rendering_intent = 0; });
  add("grey", [](ColorEncoding& e) { e.color_space = QOV_COLOR_SPACE_GRAY; });
  add("gamma 1/2.2", [](ColorEncoding& e) {
    e.have_gamma = true;
    e.gamma = 4545455;
  });
  add("gamma one step more", [](ColorEncoding& e) {
    e.have_gamma = true;
    e.gamma = 4545456;
  });
  add("custom red", [](ColorEncoding& e) {
    e.primaries = QOV_PRIMARIES_CUSTOM;
    e.red_x = 640000, e.red_y = 330000, e.green_x = 300000, e.green_y = 600000;
    e.blue_x = 150000, e.blue_y = 60000;
  });
  add("custom red one step more", [](ColorEncoding& e) {
    e.primaries = QOV_PRIMARIES_CUSTOM;
    e.red_x = 640001, e.red_y = 330000, e.green_x = 300000, e.green_y = 600000;
    e.blue_x = 150000, e.blue_y = 60000;
  });
  add("custom white", [](ColorEncoding& e) {
    e.white_point = QOV_WHITE_POINT_CUSTOM;
    e.white_x = 345000, e.white_y = 358000;
  });
  add("unknown transfer", [](ColorEncoding& e) {
    e.transfer_function = QOV_TRANSFER_FUNCTION_UNKNOWN;
  });
  std::vector<std::vector<uint8_t>> fresh;
  for (const auto& [name, e] : cases) {
    std::vector<uint8_t> icc;
    const bool ok = SynthesizeIccProfile(e.ToPublic(), &icc).ok();
    EXPECT_EQ(name != "unknown transfer", ok) << name;
    fresh.push_back(ok ? icc : std::vector<uint8_t>());
  }
  // The neighbours differ in their profiles too, so a mix-up would show.
  for (size_t a = 0; a < fresh.size(); ++a) {
    for (size_t b = a + 1; b < fresh.size(); ++b) {
      EXPECT_NE(fresh[a], fresh[b]) << cases[a].first << " / " << cases[b].first;
    }
  }
  for (size_t a = 0; a < cases.size(); ++a) {
    for (size_t b = 0; b < cases.size(); ++b) {
      for (const size_t k : {a, b, b}) {
        ColorEncoding e = cases[k].second;
        e.icc = {9, 9, 9};
        EXPECT_EQ(!fresh[k].empty(), e.BuildIccFromFields().ok()) << cases[k].first;
        EXPECT_EQ(fresh[k], e.icc) << cases[a].first << " then " << cases[k].first;
      }
    }
  }
  // More descriptions in turn than building remembers, round after round:
  // every one is forgotten and built again, or found, never mixed up.
  for (int round = 0; round < 3; ++round) {
    for (size_t k = 0; k < cases.size(); ++k) {
      ColorEncoding e = cases[k].second;
      e.icc = {9, 9, 9};
      EXPECT_EQ(!fresh[k].empty(), e.BuildIccFromFields().ok()) << cases[k].first;
      EXPECT_EQ(fresh[k], e.icc) << "round " << round << ": " << cases[k].first;
    }
  }
}

}  // namespace
}  // namespace qov
