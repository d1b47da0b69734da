// PQ and HLG curves, curve tables, the BT.2408 tone curve, gamut mapping
// and the lookup-table tag bodies.
#include "lib/color/hdr_curves.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/color/icc_test_util.h"

namespace qov {
namespace {

using test::BigEndian32;
using test::Description;

int32_t Signed32(const std::vector<uint8_t>& b, size_t pos) {
  return static_cast<int32_t>(BigEndian32(b, pos));
}
uint32_t BigEndian16(const std::vector<uint8_t>& b, size_t pos) {
  return (static_cast<uint32_t>(b[pos]) << 8) | b[pos + 1];
}

TEST(HdrCurvesTest, PqRoundTripsAndKnownPoints) {
  EXPECT_EQ(PqEncode(0.0f), 0.0f);
  EXPECT_EQ(PqDecode(0.0f), 0.0f);
  EXPECT_NEAR(PqEncode(10000.0f), 1.0f, 1e-6f);
  EXPECT_NEAR(PqDecode(1.0f), 10000.0f, 0.05f);
  EXPECT_NEAR(PqDecodeNormalized(1.0f), 1.0f, 1e-6f);
  EXPECT_NEAR(PqEncode(100.0f), 0.5080784f, 1e-5f);  // 100 nits, SDR white
  for (float nits : {0.01f, 1.0f, 100.0f, 1000.0f, 4000.0f}) {
    EXPECT_NEAR(PqDecode(PqEncode(nits)), nits, nits * 1e-4f) << nits;
    EXPECT_EQ(PqEncode(-nits), -PqEncode(nits)) << nits;
  }
  EXPECT_EQ(PqDecode(-0.5f), -PqDecode(0.5f));
  EXPECT_EQ(PqDecodeNormalized(-0.5f), PqDecodeNormalized(0.5f));
}

TEST(HdrCurvesTest, HlgInverseOetf) {
  EXPECT_EQ(HlgInverseOetf(0.0f), 0.0f);
  EXPECT_NEAR(HlgInverseOetf(0.25f), 0.0625f / 3, 1e-7f);
  EXPECT_NEAR(HlgInverseOetf(0.5f), 1.0f / 12, 1e-7f);
  // The two segments meet at 0.5 and the curve reaches 1 at 1.
  EXPECT_NEAR(HlgInverseOetf(0.5000001f), 1.0f / 12, 1e-6f);
  EXPECT_NEAR(HlgInverseOetf(1.0f), 1.0f, 1e-4f);
}

TEST(HdrCurvesTest, CurveTablesMonotoneFromZeroToFull) {
  for (const auto& table : {PqCurveTable(), HlgCurveTable()}) {
    EXPECT_EQ(table[0], 0);
    EXPECT_EQ(table[63], 65535);
    for (int i = 1; i < 64; ++i) EXPECT_LE(table[i - 1], table[i]) << i;
  }
  // Sample 21 of HLG: x = 1/3, x^2/3 = 1/27.
  EXPECT_EQ(HlgCurveTable()[21], 2427);
}

// Every sample of both tables, computed independently from the curve
// definitions (x = i / 63, normalised PQ decode or HLG inverse OETF, times
// 65535, rounded half away from zero).
TEST(HdrCurvesTest, CurveTablesMatchTheCurves) {
  const uint16_t kPq[64] = {
      0,     0,     0,     0,     1,     1,     2,     3,     4,     6,
      8,     10,    14,    18,    23,    28,    36,    44,    55,    67,
      82,    99,    120,   144,   172,   205,   244,   289,   342,   404,
      475,   558,   654,   766,   895,   1045,  1217,  1417,  1648,  1915,
      2223,  2578,  2989,  3463,  4010,  4642,  5371,  6214,  7188,  8314,
      9616,  11122, 12865, 14885, 17225, 19940, 23091, 26752, 31010, 35965,
      41738, 48473, 56338, 65535};
  const uint16_t kHlg[64] = {
      0,     6,     22,    50,    88,    138,   198,   270,   352,   446,
      550,   666,   793,   930,   1079,  1238,  1409,  1591,  1783,  1987,
      2202,  2427,  2664,  2912,  3170,  3440,  3721,  4012,  4315,  4629,
      4954,  5289,  5639,  6018,  6432,  6885,  7379,  7920,  8511,  9156,
      9862,  10633, 11475, 12396, 13403, 14502, 15704, 17017, 18453, 20021,
      21735, 23608, 25655, 27892, 30337, 33008, 35927, 39118, 42604, 46414,
      50578, 55128, 60101, 65535};
  const std::array<uint16_t, 64> pq = PqCurveTable();
  const std::array<uint16_t, 64> hlg = HlgCurveTable();
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(pq[i], kPq[i]) << "PQ sample " << i;
    EXPECT_EQ(hlg[i], kHlg[i]) << "HLG sample " << i;
  }
}

TEST(HdrCurvesTest, Bt2408EqualRangesIsIdentity) {
  const float range[2] = {0.0f, 1000.0f};
  const float weights[3] = {0.2627f, 0.678f, 0.0593f};
  const Bt2408ToneCurve curve(range, range, weights);
  EXPECT_NEAR(curve.knee_start, 1.0f, 1e-6f);
  EXPECT_NEAR(curve.max_level, 1.0f, 1e-6f);
  EXPECT_EQ(curve.min_level, 0.0f);
  const float inputs[][3] = {{0.2f, 0.3f, 0.1f}, {0.9f, 0.5f, 0.7f},
                             {0.01f, 0.02f, 0.03f}};
  for (const auto& in : inputs) {
    float rgb[3] = {in[0], in[1], in[2]};
    curve.Apply(rgb);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(rgb[i], in[i], in[i] * 1e-3f);
  }
  float black[3] = {0, 0, 0};
  curve.Apply(black);
  EXPECT_EQ(black[0], 0.0f);
  EXPECT_EQ(black[2], 0.0f);
}

TEST(HdrCurvesTest, Bt2408CompressesToTarget) {
  const float source[2] = {0.0f, 4000.0f};
  const float target[2] = {0.0f, 250.0f};
  const float weights[3] = {0.2627f, 0.678f, 0.0593f};
  const Bt2408ToneCurve curve(source, target, weights);
  EXPECT_LT(curve.knee_start, curve.max_level);
  // Source peak white becomes target peak white.
  float peak[3] = {1, 1, 1};
  curve.Apply(peak);
  for (float v : peak) EXPECT_NEAR(v, 1.0f, 1e-3f);
  // 40 nits lies below the knee and keeps its luminance: 40/250 of the target.
  float dark[3] = {0.01f, 0.01f, 0.01f};
  curve.Apply(dark);
  for (float v : dark) EXPECT_NEAR(v, 0.16f, 1e-3f);
  // Hue is kept: channel ratios are unchanged.
  float colour[3] = {0.5f, 0.25f, 0.125f};
  curve.Apply(colour);
  EXPECT_NEAR(colour[0] / colour[1], 2.0f, 1e-5f);
  EXPECT_NEAR(colour[1] / colour[2], 2.0f, 1e-5f);
  // Its luminance fits the target (channels may not: gamut mapping follows).
  EXPECT_LE(weights[0] * colour[0] + weights[1] * colour[1] +
                weights[2] * colour[2],
            1.0f);
}

TEST(HdrCurvesTest, MapIntoGamut) {
  const float w[3] = {0.2126f, 0.7152f, 0.0722f};
  auto luminance = [&](const float* c) {
    return w[0] * c[0] + w[1] * c[1] + w[2] * c[2];
  };
  // In gamut: unchanged.
  for (const auto& in : {std::vector<float>{0.2f, 0.5f, 0.8f},
                         std::vector<float>{0.5f, 0.5f, 0.5f},
                         std::vector<float>{0.0f, 1.0f, 0.0f}}) {
    float rgb[3] = {in[0], in[1], in[2]};
    MapIntoGamut(rgb, w, 0.3f);
    for (int i = 0; i < 3; ++i) EXPECT_FLOAT_EQ(rgb[i], in[i]);
  }
  // A negative channel is lifted to 0 along the line to grey, luminance kept.
  float negative[3] = {-0.1f, 0.5f, 0.5f};
  const float y = luminance(negative);
  MapIntoGamut(negative, w, 0.3f);
  EXPECT_NEAR(negative[0], 0.0f, 1e-6f);
  EXPECT_NEAR(luminance(negative), y, 1e-6f);
  // Too bright: ends with its maximum at 1.
  float bright[3] = {2.0f, 0.5f, 0.5f};
  MapIntoGamut(bright, w, 0.3f);
  EXPECT_NEAR(std::max({bright[0], bright[1], bright[2]}), 1.0f, 1e-6f);
  EXPECT_GT(bright[0], bright[1]);
  EXPECT_GE(bright[1], 0.0f);
}

Description Rgb(uint32_t wp, uint32_t prim, uint32_t tf) {
  Description d;
  d.white_point = wp;
  d.primaries = prim;
  d.transfer_function = tf;
  return d;
}

TEST(HdrCurvesTest, NeedsHdrToneMapLut) {
  struct Case {
    const char* name;
    Description d;
    bool want;
  };
  Description grey = Rgb(1, 1, 16);
  grey.color_space = QOV_COLOR_SPACE_GRAY;
  Description xyb = Rgb(1, 1, 16);
  xyb.color_space = QOV_COLOR_SPACE_XYB;
  Description gamma = Rgb(1, 9, 16);
  gamma.gamma = 4000000;
  const Case kCases[] = {
      {"2100 D65 PQ", Rgb(1, 9, 16), true},
      {"2100 D65 HLG", Rgb(1, 9, 18), true},
      {"sRGB primaries D65 PQ", Rgb(1, 1, 16), true},
      {"P3 DCI white PQ", Rgb(11, 11, 16), true},
      {"P3 D65 HLG", Rgb(1, 11, 18), true},
      {"P3 white E PQ", Rgb(10, 11, 16), false},
      {"2100 DCI white PQ", Rgb(11, 9, 16), false},
      {"custom primaries PQ", Rgb(1, 2, 16), false},
      {"D65 sRGB transfer", Rgb(1, 1, 13), false},
      {"grey PQ", grey, false},
      {"XYB", xyb, false},
      {"explicit gamma", gamma, false},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(NeedsHdrToneMapLut(c.d.ToPublic()), c.want) << c.name;
  }
}

TEST(HdrCurvesTest, XybLutAToBBody) {
  std::vector<uint8_t> body;
  ASSERT_TRUE(AppendXybLutAToB(&body).ok());
  ASSERT_EQ(body.size(), 292u);
  EXPECT_EQ(test::Sig(body, 0), "mAB ");
  EXPECT_EQ(body[8], 3);
  EXPECT_EQ(body[9], 3);
  const uint32_t offsets[5] = {32, 244, 148, 80, 32};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(BigEndian32(body, 12 + 4 * i), offsets[i]);
  EXPECT_EQ(body[15], 32);
  EXPECT_EQ(body[31], 32);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(test::Sig(body, 32 + 16 * i), "para");
    EXPECT_EQ(BigEndian32(body, 32 + 16 * i + 12), 65536u);  // g = 1
  }
  EXPECT_EQ(body[80], 2);
  EXPECT_EQ(body[82], 2);
  EXPECT_EQ(body[96], 2);  // 16-bit precision
  const uint32_t clut[24] = {0,     3206,  0,     0,     3206,  28873,
                             62329, 65535, 36662, 62329, 65535, 65535,
                             3206,  0,     0,     3206,  0,     28873,
                             65535, 62329, 36662, 65535, 62329, 65535};
  for (int i = 0; i < 24; ++i) {
    EXPECT_EQ(BigEndian16(body, 100 + 2 * i), clut[i]) << "CLUT " << i;
  }
  // M curves: type 3 with g = 3; b and d as documented.
  const double b[3] = {0.14056806, 0.12785411, -0.1217504};
  const double d[3] = {0, 0, 0.080574714};
  for (int i = 0; i < 3; ++i) {
    const size_t at = 148 + 32 * i;
    EXPECT_EQ(test::Sig(body, at), "para");
    EXPECT_EQ(BigEndian16(body, at + 8), 3u);
    EXPECT_EQ(BigEndian32(body, at + 12), 3u * 65536);
    EXPECT_NEAR(Signed32(body, at + 20), b[i] * 65536, 1.0) << i;
    EXPECT_NEAR(Signed32(body, at + 32 - 4), d[i] * 65536, 1.0) << i;
  }
  EXPECT_NEAR(Signed32(body, 244), 1.5170095 * 65536, 0.5);
  EXPECT_NEAR(Signed32(body, 244 + 4 * 8), 0.6857255 * 65536, 0.5);
  EXPECT_EQ(Signed32(body, 280), -120);
  EXPECT_EQ(Signed32(body, 284), -124);
  EXPECT_EQ(Signed32(body, 288), -103);
}

TEST(HdrCurvesTest, LutBToABody) {
  std::vector<uint8_t> body = {0xAA};  // appends after existing data
  ASSERT_TRUE(AppendLutBToA(&body).ok());
  ASSERT_EQ(body.size(), 81u);
  body.erase(body.begin());
  std::vector<uint8_t> want = {'m', 'B', 'A', ' ', 0, 0, 0, 0, 3, 3, 0, 0,
                               0,   0,   0,   32,  0, 0, 0, 0, 0, 0, 0, 0,
                               0,   0,   0,   0,   0, 0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    const uint8_t curve[16] = {'p', 'a', 'r', 'a', 0, 0, 0, 0,
                               0,   0,   0,   0,   0, 1, 0, 0};
    want.insert(want.end(), curve, curve + 16);
  }
  EXPECT_EQ(body, want);
}

TEST(HdrCurvesTest, HdrToneMapLut) {
  for (uint32_t tf : {QOV_TRANSFER_FUNCTION_PQ, QOV_TRANSFER_FUNCTION_HLG}) {
    SCOPED_TRACE(tf);
    std::vector<uint8_t> body;
    ASSERT_TRUE(AppendHdrToneMapLut(Rgb(1, 9, tf).ToPublic(), &body).ok());
    ASSERT_EQ(body.size(), 3771u);
    EXPECT_EQ(test::Sig(body, 0), "mft1");
    EXPECT_EQ(body[8], 3);
    EXPECT_EQ(body[9], 3);
    EXPECT_EQ(body[10], 9);
    EXPECT_EQ(BigEndian32(body, 12), 65536u);
    EXPECT_EQ(BigEndian32(body, 16), 0u);
    EXPECT_EQ(BigEndian32(body, 28), 65536u);
    EXPECT_EQ(BigEndian32(body, 44), 65536u);
    for (int i = 0; i < 256; ++i) {
      EXPECT_EQ(body[48 + i], i);
      EXPECT_EQ(body[48 + 512 + i], i);
      EXPECT_EQ(body[3003 + 256 + i], i);
    }
    const size_t clut = 48 + 768;
    // Black: L 0, neutral a and b.
    EXPECT_EQ(body[clut], 0);
    EXPECT_EQ(body[clut + 1], 128);
    EXPECT_EQ(body[clut + 2], 128);
    // The grey diagonal stays neutral and grows in lightness to white.
    int previous_l = -1;
    for (int k = 0; k < 9; ++k) {
      const size_t at = clut + 3 * (k * 81 + k * 9 + k);
      EXPECT_GT(body[at], previous_l) << k;
      previous_l = body[at];
      EXPECT_NEAR(body[at + 1], 128, 1) << k;
      EXPECT_NEAR(body[at + 2], 128, 1) << k;
    }
    EXPECT_GE(previous_l, 254);
    // Pure red has a positive a*.
    EXPECT_GT(body[clut + 3 * (8 * 81)], 0);
    EXPECT_GT(body[clut + 3 * (8 * 81) + 1], 150);
  }
}

// Grid points of the Rec.2100 D65 tables, worked out independently from the
// tone-mapping, gamut-mapping and CIELAB steps: grey, the three primaries at
// full code value, a mixed colour, a near-white yellow and a dark grey.
TEST(HdrCurvesTest, HdrToneMapLutGridPoints) {
  struct Point {
    int r, g, b;
    uint8_t pq[3];
    uint8_t hlg[3];
  };
  const Point kPoints[] = {
      {4, 4, 4, {161, 128, 128}, {109, 128, 128}},
      {8, 0, 0, {201, 185, 148}, {163, 232, 187}},
      {0, 8, 0, {242, 89, 148}, {223, 1, 203}},
      {0, 0, 8, {118, 165, 38}, {81, 189, 12}},
      {2, 5, 7, {154, 138, 61}, {127, 111, 62}},
      {8, 8, 1, {254, 124, 150}, {251, 115, 217}},
      {1, 1, 1, {5, 128, 128}, {30, 128, 128}},
  };
  std::vector<uint8_t> pq, hlg;
  ASSERT_TRUE(AppendHdrToneMapLut(Rgb(1, 9, QOV_TRANSFER_FUNCTION_PQ).ToPublic(),
                                  &pq)
                  .ok());
  ASSERT_TRUE(
      AppendHdrToneMapLut(Rgb(1, 9, QOV_TRANSFER_FUNCTION_HLG).ToPublic(), &hlg)
          .ok());
  for (const Point& p : kPoints) {
    const size_t at = 48 + 768 + 3 * (p.r * 81 + p.g * 9 + p.b);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(pq[at + i], p.pq[i]) << p.r << p.g << p.b << " PQ byte " << i;
      EXPECT_EQ(hlg[at + i], p.hlg[i]) << p.r << p.g << p.b << " HLG byte " << i;
    }
  }
}

TEST(HdrCurvesTest, HdrToneMapLutRefusesBadWhite) {
  QovColorEncoding c = Rgb(1, 9, 16).ToPublic();
  c.white_point_xy[1] = 0;
  std::vector<uint8_t> body;
  EXPECT_TRUE(AppendHdrToneMapLut(c, &body).failed());
}

}  // namespace
}  // namespace qov
