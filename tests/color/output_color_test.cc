// Output colour set-up: choice of output encoding, adapted and scaled XYB
// inverse matrix, luminance weights, transfer exponent and failures.
#include "lib/color/output_color.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "lib/color/color_math.h"

namespace qov {
namespace {

constexpr float kSentinel = -777.0f;

ColorEncoding Encoding(uint32_t cs, uint32_t wp, uint32_t prim, uint32_t tf) {
  ColorEncoding e;
  e.all_default = false;
  e.color_space = cs;
  e.white_point = wp;
  e.primaries = prim;
  e.transfer_function = tf;
  return e;
}

ColorEncoding IccOnly(uint32_t cs) {
  ColorEncoding e = Encoding(cs, QOV_WHITE_POINT_D65, QOV_PRIMARIES_SRGB,
                             QOV_TRANSFER_FUNCTION_SRGB);
  e.TakeIccProfile({1, 2, 3});
  return e;
}

CodecMetadata Metadata(const ColorEncoding& e, bool xyb,
                       float intensity = 255.0f) {
  CodecMetadata m;
  m.m.xyb_encoded = xyb;
  m.m.color_encoding = e;
  m.m.tone_mapping.intensity_target = intensity;
  m.transform_data.xyb = xyb;
  return m;
}

OutputColorSetup WithSentinels() {
  OutputColorSetup s;
  for (float& v : s.scaled_inverse_matrix) v = kSentinel;
  s.opsin_is_default = true;
  return s;
}

TEST(OutputColorTest, NonXybKeepsItsOwnEncoding) {
  const ColorEncoding kEncodings[] = {
      Encoding(0, 1, 11, 16),
      Encoding(0, 1, 1, QOV_TRANSFER_FUNCTION_UNKNOWN),
      Encoding(1, 11, 1, 13),
      IccOnly(QOV_COLOR_SPACE_RGB),
  };
  for (const ColorEncoding& e : kEncodings) {
    OutputColorSetup s = WithSentinels();
    ASSERT_TRUE(s.InitFromMetadata(Metadata(e, false)).ok());
    EXPECT_TRUE(s.output_encoding.SameAs(e));
    EXPECT_EQ(s.output_encoding.icc, e.icc);
    EXPECT_TRUE(s.output_is_source);
    EXPECT_FALSE(s.image_is_xyb);
    EXPECT_EQ(s.scaled_inverse_matrix[0], kSentinel);
    EXPECT_EQ(s.scaled_inverse_matrix[35], kSentinel);
    EXPECT_TRUE(s.opsin_is_default);  // untouched
  }
}

TEST(OutputColorTest, XybSrgbUsesTheDefaultMatrix) {
  OutputColorSetup s;
  ASSERT_TRUE(s.InitFromMetadata(Metadata(ColorEncoding(), true)).ok());
  EXPECT_TRUE(s.output_is_source);
  EXPECT_TRUE(s.output_encoding.SameAs(StandardSrgbEncodings(false)));
  EXPECT_EQ(s.output_linear_encoding.transfer_function,
            QOV_TRANSFER_FUNCTION_LINEAR);
  EXPECT_FALSE(s.output_linear_encoding.have_gamma);
  EXPECT_TRUE(s.opsin_is_default);
  EXPECT_FLOAT_EQ(s.source_inverse_matrix[0], 11.031567f);
  for (int i = 0; i < 9; ++i) {
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(s.scaled_inverse_matrix[4 * i + k], s.source_inverse_matrix[i]);
    }
  }
  EXPECT_FLOAT_EQ(s.opsin_bias[0], -0.0037930734f);
  EXPECT_EQ(s.opsin_bias[3], 1.0f);
  EXPECT_FLOAT_EQ(s.opsin_bias_cbrt[1], std::cbrt(-0.0037930734f));
  EXPECT_EQ(s.opsin_bias_cbrt[3], 1.0f);
  EXPECT_FLOAT_EQ(s.quant_bias[3], 0.145f);
  EXPECT_EQ(s.luminance_weights[1], 0.7152f);
  EXPECT_EQ(s.output_gamma, 1.0f);
  EXPECT_EQ(s.target_intensity, 255.0f);

  const OpsinParams p = s.GetOpsinParams();
  EXPECT_EQ(p.inverse_matrix[5], s.scaled_inverse_matrix[5]);
  EXPECT_EQ(p.opsin_bias_cbrt[2], s.opsin_bias_cbrt[2]);
}

// Display-P3-like output: the matrix becomes (sRGB -> P3) x default.
TEST(OutputColorTest, XybDisplayP3AdaptsTheMatrix) {
  const ColorEncoding p3 = Encoding(0, 1, 11, 13);
  OutputColorSetup s;
  ASSERT_TRUE(s.InitFromMetadata(Metadata(p3, true)).ok());
  EXPECT_TRUE(s.output_encoding.SameAs(p3));
  EXPECT_TRUE(s.output_is_source);
  EXPECT_FALSE(s.opsin_is_default);
  EXPECT_NEAR(s.luminance_weights[0], 0.2290f, 1e-3f);
  EXPECT_NEAR(s.luminance_weights[1], 0.6917f, 1e-3f);
  EXPECT_NEAR(s.luminance_weights[2], 0.0793f, 1e-3f);

  Matrix3x3 source, adapted, source_inverse, conversion;
  for (int i = 0; i < 9; ++i) {
    source[i] = s.source_inverse_matrix[i];
    adapted[i] = s.scaled_inverse_matrix[4 * i];
  }
  source_inverse = source;
  ASSERT_TRUE(Invert3x3(&source_inverse).ok());
  Mul3x3(adapted, source_inverse, &conversion);
  const Matrix3x3 srgb_to_p3 = {0.8225f, 0.1774f, 0.0f,    0.0332f, 0.9669f,
                                0.0f,    0.0171f, 0.0724f, 0.9108f};
  for (int i = 0; i < 9; ++i) {
    EXPECT_NEAR(conversion[i], srgb_to_p3[i], 2e-3f) << i;
  }
}

TEST(OutputColorTest, XybFallsBackToLinearSrgb) {
  struct Case {
    const char* name;
    ColorEncoding source;
    bool grey;
  };
  ColorEncoding unknown_tf = Encoding(0, 1, 1, QOV_TRANSFER_FUNCTION_UNKNOWN);
  const Case kCases[] = {
      {"transfer Unknown", unknown_tf, false},
      {"ICC-only colour", IccOnly(QOV_COLOR_SPACE_RGB), false},
      {"ICC-only grey", IccOnly(QOV_COLOR_SPACE_GRAY), true},
      {"grey DCI white", Encoding(1, 11, 1, 13), true},
      {"grey white E", Encoding(1, 10, 1, 8), true},
  };
  for (const Case& c : kCases) {
    OutputColorSetup s;
    ASSERT_TRUE(s.InitFromMetadata(Metadata(c.source, true)).ok()) << c.name;
    EXPECT_TRUE(s.output_encoding.SameAs(StandardLinearSrgbEncodings(c.grey)))
        << c.name;
    EXPECT_EQ(s.output_encoding.icc, StandardLinearSrgbEncodings(c.grey).icc)
        << c.name;
    EXPECT_FALSE(s.output_is_source) << c.name;
  }
}

TEST(OutputColorTest, XybKeepsRenderableEncodings) {
  ColorEncoding gamma = Encoding(0, 1, 1, 13);
  gamma.have_gamma = true;
  gamma.gamma = 4545500;
  const ColorEncoding kKept[] = {gamma, Encoding(1, 1, 1, 13),
                                 Encoding(0, 1, 9, 16), Encoding(0, 1, 9, 18),
                                 Encoding(0, 10, 1, 1), Encoding(0, 11, 11, 17)};
  for (const ColorEncoding& e : kKept) {
    OutputColorSetup s;
    ASSERT_TRUE(s.InitFromMetadata(Metadata(e, true)).ok());
    EXPECT_TRUE(s.output_is_source);
    EXPECT_TRUE(s.output_encoding.SameAs(e));
  }
}

TEST(OutputColorTest, OpsinIsDefaultNeedsIntensity255AndDefaultMatrix) {
  struct Case {
    float intensity;
    bool custom_matrix;
    bool want;
  };
  const Case kCases[] = {{255.0f, false, true},   {255.05f, false, true},
                         {254.95f, false, true},  {255.2f, false, false},
                         {1000.0f, false, false}, {255.0f, true, false}};
  for (const Case& c : kCases) {
    CodecMetadata m = Metadata(ColorEncoding(), true, c.intensity);
    if (c.custom_matrix) {
      m.transform_data.opsin_inverse_matrix.all_default = false;
    }
    OutputColorSetup s;
    ASSERT_TRUE(s.InitFromMetadata(m).ok());
    EXPECT_EQ(s.opsin_is_default, c.want) << c.intensity;
    EXPECT_EQ(s.source_intensity_target, c.intensity);
    EXPECT_EQ(s.target_intensity, c.intensity);
    EXPECT_FLOAT_EQ(s.scaled_inverse_matrix[0],
                    s.source_inverse_matrix[0] * (255.0f / c.intensity));
  }
}

TEST(OutputColorTest, GreyOutputCollapsesRowsToLuminance) {
  OutputColorSetup s;
  ASSERT_TRUE(s.InitFromMetadata(Metadata(Encoding(1, 1, 1, 13), true)).ok());
  EXPECT_TRUE(s.output_is_source);
  const float* m = s.source_inverse_matrix;
  for (int col = 0; col < 3; ++col) {
    const float want = 0.2126f * m[col] + 0.7152f * m[3 + col] +
                       0.0722f * m[6 + col];
    for (int row = 0; row < 3; ++row) {
      EXPECT_NEAR(s.scaled_inverse_matrix[4 * (3 * row + col)], want, 1e-5f);
    }
  }
}

TEST(OutputColorTest, OutputGamma) {
  ColorEncoding gamma = Encoding(0, 1, 1, 13);
  gamma.have_gamma = true;
  gamma.gamma = 4500000;
  struct Case {
    ColorEncoding e;
    float want;
  };
  const Case kCases[] = {{Encoding(0, 1, 1, 17), 0.38461539f},
                         {gamma, 0.45f},
                         {Encoding(0, 1, 9, 16), 1.0f},
                         {Encoding(0, 1, 1, 13), 1.0f}};
  for (const Case& c : kCases) {
    OutputColorSetup s;
    ASSERT_TRUE(s.InitFromMetadata(Metadata(c.e, false)).ok());
    EXPECT_EQ(s.output_gamma, c.want);
  }
}

TEST(OutputColorTest, SetOutputEncodingFailures) {
  struct Case {
    const char* name;
    bool xyb_image;
    std::function<ColorEncoding()> wanted;
  };
  const Case kCases[] = {
      {"ICC-only with P3 fields", false,
       [] {
         ColorEncoding e = Encoding(0, 1, 11, 13);
         e.TakeIccProfile({1});
         return e;
       }},
      {"XYB with P3 primaries", true,
       [] { return Encoding(2, 1, 11, 13); }},
      {"collinear custom primaries", false,
       [] {
         ColorEncoding e = Encoding(0, 1, 2, 13);
         e.red_x = e.red_y = 100000;
         e.green_x = e.green_y = 200000;
         e.blue_x = e.blue_y = 300000;
         return e;
       }},
      {"custom white with y 0", true,
       [] {
         ColorEncoding e = Encoding(0, 2, 1, 13);
         e.white_x = 300000;
         return e;
       }},
  };
  for (const Case& c : kCases) {
    OutputColorSetup s;
    ASSERT_TRUE(s.InitFromMetadata(Metadata(ColorEncoding(), c.xyb_image)).ok());
    EXPECT_TRUE(s.SetOutputEncoding(c.wanted()).failed()) << c.name;
  }
}

TEST(OutputColorTest, WhitePointXy) {
  struct Case {
    ColorEncoding e;
    double x, y;
  };
  ColorEncoding custom = Encoding(0, 2, 1, 13);
  custom.white_x = 345669;
  custom.white_y = 358496;
  ColorEncoding icc_dci = Encoding(0, 11, 1, 13);
  icc_dci.TakeIccProfile({1});
  const Case kCases[] = {
      {Encoding(0, 1, 1, 13), 0.3127, 0.329},
      {custom, 0.345669, 0.358496},
      {Encoding(0, 10, 1, 13), 1.0 / 3, 1.0 / 3},
      {Encoding(0, 11, 1, 13), 0.314, 0.351},
      {Encoding(0, 5, 1, 13), 0, 0},
      {icc_dci, 0, 0},
  };
  for (const Case& c : kCases) {
    const auto xy = WhitePointXy(c.e);
    EXPECT_DOUBLE_EQ(xy.first, c.x);
    EXPECT_DOUBLE_EQ(xy.second, c.y);
  }
}

TEST(OutputColorTest, CopySharesCallbacksAndCopiesProfiles) {
  OutputColorSetup s;
  ASSERT_TRUE(s.InitFromMetadata(Metadata(Encoding(0, 1, 9, 16), true)).ok());
  int opaque = 0;
  s.cms.transform_data = &opaque;
  OutputColorSetup copy(s);
  EXPECT_EQ(copy.cms.transform_data, &opaque);
  EXPECT_EQ(copy.output_encoding.icc, s.output_encoding.icc);
  EXPECT_NE(copy.output_encoding.icc.data(), s.output_encoding.icc.data());
  EXPECT_EQ(copy.scaled_inverse_matrix[7], s.scaled_inverse_matrix[7]);
}

}  // namespace
}  // namespace qov
