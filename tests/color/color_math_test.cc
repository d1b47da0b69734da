// Matrix product and inverse, primaries-to-XYZ and Bradford adaptation.
#include "lib/color/color_math.h"

#include <gtest/gtest.h>

#include <limits>

namespace qov {
namespace {

void ExpectNear(const Matrix3x3& got, const Matrix3x3& want, float tolerance) {
  for (int i = 0; i < 9; ++i) {
    EXPECT_NEAR(got[i], want[i], tolerance) << "element " << i;
  }
}

constexpr Matrix3x3 kIdentity = {1, 0, 0, 0, 1, 0, 0, 0, 1};

TEST(ColorMathTest, Mul3x3RowTimesColumn) {
  const Matrix3x3 a = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const Matrix3x3 b = {9, 8, 7, 6, 5, 4, 3, 2, 1};
  Matrix3x3 out;
  Mul3x3(a, b, &out);
  const Matrix3x3 want = {30, 24, 18, 84, 69, 54, 138, 114, 90};
  EXPECT_EQ(out, want);
}

TEST(ColorMathTest, Invert3x3GivesInverse) {
  const Matrix3x3 a = {2, 0, 1, 1, 3, 2, 1, 1, 2};
  Matrix3x3 inv = a;
  ASSERT_TRUE(Invert3x3(&inv).ok());
  Matrix3x3 product;
  Mul3x3(a, inv, &product);
  ExpectNear(product, kIdentity, 1e-6f);
}

TEST(ColorMathTest, Invert3x3RefusesSingularAndLeavesMatrix) {
  const Matrix3x3 singular = {1, 2, 3, 2, 4, 6, 0, 1, 1};  // row 2 = 2 row 1
  Matrix3x3 m = singular;
  EXPECT_TRUE(Invert3x3(&m).failed());
  EXPECT_EQ(m, singular);
  // A tiny but regular matrix (det 1e-12) counts as singular too.
  Matrix3x3 tiny = {1e-4f, 0, 0, 0, 1e-4f, 0, 0, 0, 1e-4f};
  EXPECT_TRUE(Invert3x3(&tiny).failed());
  Matrix3x3 nan = kIdentity;
  nan[4] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(Invert3x3(&nan).failed());
}

TEST(ColorMathTest, SrgbPrimariesGiveKnownLuminanceWeights) {
  Matrix3x3 m;
  ASSERT_TRUE(PrimariesToXyzMatrix(0.64f, 0.33f, 0.30f, 0.60f, 0.15f, 0.06f,
                                   0.3127f, 0.329f, &m)
                  .ok());
  EXPECT_NEAR(m[3], 0.2126f, 2e-4f);
  EXPECT_NEAR(m[4], 0.7152f, 2e-4f);
  EXPECT_NEAR(m[5], 0.0722f, 2e-4f);
  EXPECT_NEAR(m[3] + m[4] + m[5], 1.0f, 1e-6f);
  // The white (1, 1, 1) maps to the white point's XYZ.
  EXPECT_NEAR(m[0] + m[1] + m[2], 0.3127f / 0.329f, 1e-5f);
  EXPECT_NEAR(m[6] + m[7] + m[8], (1 - 0.3127f - 0.329f) / 0.329f, 1e-5f);
}

TEST(ColorMathTest, PrimariesToXyzRefusals) {
  struct Case {
    const char* name;
    float rx, ry, gx, gy, bx, by, wx, wy;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const Case kCases[] = {
      {"collinear primaries", 0.1f, 0.1f, 0.2f, 0.2f, 0.3f, 0.3f, 0.3127f, 0.329f},
      {"white y 0", 0.64f, 0.33f, 0.3f, 0.6f, 0.15f, 0.06f, 0.3f, 0.0f},
      {"white y above 1", 0.64f, 0.33f, 0.3f, 0.6f, 0.15f, 0.06f, 0.3f, 1.01f},
      {"white x negative", 0.64f, 0.33f, 0.3f, 0.6f, 0.15f, 0.06f, -0.01f, 0.3f},
      {"white x above 1", 0.64f, 0.33f, 0.3f, 0.6f, 0.15f, 0.06f, 1.01f, 0.3f},
      {"white x NaN", 0.64f, 0.33f, 0.3f, 0.6f, 0.15f, 0.06f, nan, 0.3f},
      {"tiny white y overflows X", 0.64f, 0.33f, 0.3f, 0.6f, 0.15f, 0.06f, 1.0f,
       1e-45f},
  };
  for (const Case& c : kCases) {
    Matrix3x3 m;
    EXPECT_TRUE(PrimariesToXyzMatrix(c.rx, c.ry, c.gx, c.gy, c.bx, c.by, c.wx,
                                     c.wy, &m)
                    .failed())
        << c.name;
  }
}

TEST(ColorMathTest, AdaptD65ToD50IsBradford) {
  Matrix3x3 m;
  ASSERT_TRUE(AdaptToD50Matrix(0.3127f, 0.329f, &m).ok());
  const Matrix3x3 want = {1.0478f,  0.0229f,  -0.0501f, 0.0295f, 0.9905f,
                          -0.0171f, -0.0092f, 0.0150f,  0.7521f};
  ExpectNear(m, want, 1e-3f);
}

TEST(ColorMathTest, AdaptD50IsNearIdentity) {
  Matrix3x3 m;
  ASSERT_TRUE(AdaptToD50Matrix(0.3457f, 0.3585f, &m).ok());
  ExpectNear(m, kIdentity, 2e-3f);
}

TEST(ColorMathTest, AdaptRefusals) {
  struct Case {
    const char* name;
    float wx, wy;
  };
  const Case kCases[] = {
      {"y 0", 0.3f, 0.0f},          {"y above 1", 0.3f, 1.5f},
      {"x below 0", -0.1f, 0.3f},   {"x above 1", 1.1f, 0.3f},
      {"y negative", 0.3f, -0.3f},  {"tiny y overflows X", 1.0f, 1e-45f},
  };
  for (const Case& c : kCases) {
    Matrix3x3 m;
    EXPECT_TRUE(AdaptToD50Matrix(c.wx, c.wy, &m).failed()) << c.name;
  }
}

}  // namespace
}  // namespace qov
