// Splines read from streams written with the project's encoder: values as
// written, every rejection, truncation, dequantisation, and drawing of a
// dot and of a straight line against sums computed here.
#include "lib/frame/splines.h"

#include <cmath>
#include <vector>

#include <hwy/highway.h>
#include <hwy/tests/hwy_gtest.h>

#include <random>

#include "gtest/gtest.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/render/feature_stages.h"
#include "tests/support/feature_streams.h"

namespace qov {
namespace {

using feature_test::Heap;
using feature_test::PackSigned;
using feature_test::WriteStream;

struct TestSpline {
  int64_t x, y;
  std::vector<EncodedSpline::Delta> deltas;
  int64_t coefficients[4][32] = {};
};

std::vector<Token> SplineTokens(const std::vector<TestSpline>& splines,
                                int64_t quant_adjustment,
                                uint64_t claimed = 0) {
  std::vector<Token> t;
  auto put = [&](uint32_t ctx, uint64_t v) {
    t.emplace_back(ctx, static_cast<uint32_t>(v));
  };
  put(2, (claimed != 0 ? claimed : splines.size()) - 1);
  for (size_t i = 0; i < splines.size(); ++i) {
    if (i == 0) {
      put(1, static_cast<uint64_t>(splines[0].x));
      put(1, static_cast<uint64_t>(splines[0].y));
    } else {
      put(1, PackSigned(splines[i].x - splines[i - 1].x));
      put(1, PackSigned(splines[i].y - splines[i - 1].y));
    }
  }
  put(0, PackSigned(quant_adjustment));
  for (const TestSpline& s : splines) {
    put(3, s.deltas.size());
    for (const auto& d : s.deltas) {
      put(4, PackSigned(d.dx));
      put(4, PackSigned(d.dy));
    }
    for (const auto& series : s.coefficients) {
      for (int64_t c : series) put(5, PackSigned(c));
    }
  }
  return t;
}

Status DecodeBytes(Splines* splines, const std::vector<uint8_t>& bytes,
                   uint64_t pixels) {
  BitReader reader(Span(bytes.data(), bytes.size()));
  return splines->Decode(Heap(), reader, pixels);
}

TestSpline Line(int64_t x, int64_t y, std::vector<EncodedSpline::Delta> deltas) {
  TestSpline s{x, y, std::move(deltas)};
  s.coefficients[1][0] = 40;  // Y
  s.coefficients[3][0] = 6;   // sigma
  return s;
}

TEST(SplinesDecodeTest, DecodesWhatWasWritten) {
  std::vector<TestSpline> splines = {Line(5, 6, {{3, 0}, {-1, 2}}),
                                     Line(2, 40, {}), Line(30, 1, {{0, 7}})};
  for (int i = 0; i < 32; ++i) {
    splines[0].coefficients[0][i] = i - 16;
    splines[1].coefficients[2][i] = 1000 * i;
    splines[2].coefficients[3][i] = -i;
  }
  splines[1].coefficients[0][3] = -(int64_t{1} << 31) + 1;
  for (bool lz77 : {false, true}) {
    Splines decoded(Heap());
    ASSERT_TRUE(DecodeBytes(&decoded, WriteStream(6, SplineTokens(splines, -3), lz77),
                            64 * 64).ok());
    EXPECT_EQ(decoded.quant_adjustment(), -3);
    ASSERT_EQ(decoded.splines().size(), splines.size());
    for (size_t i = 0; i < splines.size(); ++i) {
      EXPECT_EQ(decoded.starting_points()[i].x, splines[i].x);
      EXPECT_EQ(decoded.starting_points()[i].y, splines[i].y);
      const EncodedSpline& got = decoded.splines()[i];
      ASSERT_EQ(got.control_point_differences.size(), splines[i].deltas.size());
      for (size_t k = 0; k < splines[i].deltas.size(); ++k) {
        EXPECT_EQ(got.control_point_differences[k].dx, splines[i].deltas[k].dx);
        EXPECT_EQ(got.control_point_differences[k].dy, splines[i].deltas[k].dy);
      }
      for (int c = 0; c < 4; ++c) {
        for (int k = 0; k < 32; ++k) {
          EXPECT_EQ(got.coefficients[c][k], splines[i].coefficients[c][k]);
        }
      }
    }
  }
}

TEST(SplinesDecodeTest, RejectsViolations) {
  struct Case {
    const char* name;
    std::vector<TestSpline> splines;
    uint64_t pixels = 64 * 64;
    uint64_t claimed = 0;
  };
  const int64_t big = int64_t{1} << 23;
  std::vector<Case> cases = {
      {"one pixel: no spline allowed", {Line(0, 0, {})}, 1},
      {"more splines than pixels / 2", {Line(0, 0, {})}, 20, 11},
      {"starting point at 2^23", {Line(big, 0, {})}},
      {"second starting point below -(2^23 - 1)", {Line(0, 0, {}), Line(-big, 0, {})}},
      {"more control points than M in total",
       {Line(0, 0, {{1, 0}, {1, 0}, {1, 0}}), Line(0, 0, {{1, 0}})}, 10},
      {"difference of 2^30", {Line(0, 0, {{int64_t{1} << 30, 0}})}},
  };
  TestSpline min_coefficient = Line(0, 0, {});
  min_coefficient.coefficients[2][5] = -(int64_t{1} << 31);
  cases.push_back({"coefficient -2^31", {min_coefficient}});
  for (const Case& c : cases) {
    Splines splines(Heap());
    const auto bytes = WriteStream(6, SplineTokens(c.splines, 0, c.claimed));
    ASSERT_FALSE(bytes.empty()) << c.name;
    EXPECT_EQ(DecodeBytes(&splines, bytes, c.pixels).code(), StatusValue::Failed)
        << c.name;
  }
}

TEST(SplinesDecodeTest, TruncatedInputFails) {
  std::vector<TestSpline> splines = {Line(5, 6, {{3, 0}, {1, 2}}), Line(9, 9, {{2, 2}})};
  for (bool prefix : {false, true}) {
    const auto bytes = WriteStream(6, SplineTokens(splines, 1), false, prefix);
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
      Splines decoded(Heap());
      const std::vector<uint8_t> part(bytes.begin(), bytes.begin() + cut);
      EXPECT_FALSE(DecodeBytes(&decoded, part, 64 * 64).ok())
          << "prefix " << prefix << " cut " << cut;
    }
  }
}

TEST(SplinesDequantizeTest, ControlPointsAndCoefficients) {
  EncodedSpline spline;
  spline.control_point_differences = {{2, 1}, {1, -1}, {-4, 0}};
  for (int c = 0; c < 4; ++c) {
    for (int k = 0; k < 32; ++k) spline.coefficients[c][k] = (k + 1) * (c + 1);
  }
  struct Case {
    int32_t q;
    float f;
  };
  for (const Case& c : {Case{0, 1.0f}, Case{-8, 2.0f}, Case{8, 0.5f}}) {
    SplineCurve curve;
    uint64_t area = 0;
    ASSERT_TRUE(Splines::DequantizeSpline(spline, {2.5f, -3.5f}, c.q, 0.5f, 2.0f,
                                          64 * 64, &area, &curve).ok());
    // Rounded half away from zero, then second differences.
    const std::vector<std::pair<float, float>> points = {
        {3, -4}, {5, -3}, {8, -3}, {7, -3}};
    ASSERT_EQ(curve.control_points.size(), points.size());
    for (size_t i = 0; i < points.size(); ++i) {
      EXPECT_EQ(curve.control_points[i].x, points[i].first) << i;
      EXPECT_EQ(curve.control_points[i].y, points[i].second) << i;
    }
    const float weights[4] = {0.0042f, 0.075f, 0.07f, 0.3333f};
    for (int k = 0; k < 32; ++k) {
      auto base = [&](int c2) {
        const float v = static_cast<float>((k + 1) * (c2 + 1));
        return (k == 0 ? v * 0.70710677f : v) * weights[c2] * c.f;
      };
      EXPECT_FLOAT_EQ(curve.color[1][k], base(1)) << k;
      EXPECT_FLOAT_EQ(curve.color[0][k], base(0) + 0.5f * base(1)) << k;
      EXPECT_FLOAT_EQ(curve.color[2][k], base(2) + 2.0f * base(1)) << k;
      EXPECT_FLOAT_EQ(curve.sigma[k], base(3)) << k;
    }
    EXPECT_GT(area, 0u);
  }
  // The starting point at 2^23 after rounding fails.
  SplineCurve curve;
  uint64_t area = 0;
  EXPECT_FALSE(Splines::DequantizeSpline(spline, {8388607.5f, 0}, 0, 0, 0, 64,
                                         &area, &curve).ok());
}

TEST(SplinesPrepareTest, RepeatedControlPointFails) {
  struct Case {
    std::vector<EncodedSpline::Delta> deltas;
    bool ok;
  };
  // (1, 0) then (-1, 0): the current difference returns to (0, 0).
  for (const Case& c : {Case{{{1, 0}, {-1, 0}}, false}, Case{{{1, 0}, {0, 0}}, true}}) {
    Splines splines(Heap());
    ASSERT_TRUE(DecodeBytes(&splines, WriteStream(6, SplineTokens({Line(4, 4, c.deltas)}, 0)),
                            64 * 64).ok());
    EXPECT_EQ(splines.PrepareDrawing(64, 64, 0.0f, 1.0f).ok(), c.ok);
  }
}

// The control polygons of a frame may be 16 W H + 2^20 long in all: on a
// 64 x 64 frame 1,114,112. Lines with a zero width series there and back
// along row 5, so nothing is drawn and only the length counts; split over
// two splines the total is what counts.
TEST(SplinesPrepareTest, PathLengthIsBounded) {
  constexpr int64_t kCap = 16 * 64 * 64 + (1 << 20);
  auto there_and_back = [](int64_t half) {
    TestSpline s = Line(0, 5, {{half, 0}, {-2 * half, 0}});
    s.coefficients[3][0] = 0;
    return s;
  };
  struct Case {
    const char* what;
    std::vector<TestSpline> splines;
    bool ok;
  };
  const Case cases[] = {
      {"one spline at the bound", {there_and_back(kCap / 2)}, true},
      {"one spline a unit past it", {there_and_back(kCap / 2), Line(0, 9, {{1, 0}})}, false},
      {"two splines past it together",
       {there_and_back(kCap / 4 + 1), there_and_back(kCap / 4)}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Splines splines(Heap());
    ASSERT_TRUE(
        DecodeBytes(&splines, WriteStream(6, SplineTokens(c.splines, 0)), 64 * 64).ok());
    EXPECT_EQ(c.ok, splines.PrepareDrawing(64, 64, 0.0f, 1.0f).ok());
  }
}

// The drawing formula written out here.
float Erf(float z) {
  const float t = std::abs(z);
  const float p =
      (((0.0777394399f * t + 0.000205260018f) * t + 0.232120216f) * t +
       0.277820796f) * t + 1.0f;
  const float r = 1.0f / (p * p);
  return z <= 0 ? -(1.0f - r * r) : 1.0f - r * r;
}
float Contribution(const SplineDrawSegment& s, float x, float y) {
  const float h = std::sqrt((x - s.centre_x) * (x - s.centre_x) +
                            (y - s.centre_y) * (y - s.centre_y)) * 0.5f;
  const float e = Erf((h + 0.353553385f) * s.inverse_sigma) -
                  Erf((h - 0.353553385f) * s.inverse_sigma);
  return e * e * s.intensity;
}

TEST(SplinesDrawTest, ADotMatchesTheFormula) {
  // One segment at (6.3, 4.6) with reach 2.2: rows 2..7, columns 4..9.
  const SplineDrawSegment dot{6.3f, 4.6f, 2.2f, 1.0f / 1.5f, 0.8f, {0.5f, 1.0f, -2.0f}};
  const uint64_t indices[1] = {0};
  for (uint64_t y = 2; y < 7; ++y) {
    const uint64_t offsets[2] = {0, 1};
    // Columns 5 .. 8 of a span that starts at 5: the dot is cut on the left.
    std::vector<float> rows[3];
    for (auto& r : rows) r.assign(4, 0.25f);
    DrawSplineSegmentsRow(rows[0].data(), rows[1].data(), rows[2].data(), y, 5, 9,
                          &dot, indices, offsets, y);
    for (uint64_t x = 5; x < 9; ++x) {
      const float v = Contribution(dot, static_cast<float>(x), static_cast<float>(y));
      // Fused multiply-adds of some targets change the last bits.
      EXPECT_NEAR(rows[0][x - 5], 0.25f + 0.5f * v, 1e-6f) << x << " " << y;
      EXPECT_NEAR(rows[1][x - 5], 0.25f + 1.0f * v, 1e-6f) << x << " " << y;
      EXPECT_NEAR(rows[2][x - 5], 0.25f + -2.0f * v, 1e-6f) << x << " " << y;
    }
    // A span that starts at the dot's last column (N(8.5) = 8) gets it only
    // there; one that starts past it gets nothing.
    std::vector<float> one[3];
    for (auto& r : one) r.assign(3, 0.0f);
    DrawSplineSegmentsRow(one[0].data(), one[1].data(), one[2].data(), y, 8, 11,
                          &dot, indices, offsets, y);
    EXPECT_NE(one[1][0], 0.0f);
    EXPECT_EQ(one[1][1], 0.0f);
    std::vector<float> none(3, 0.0f);
    DrawSplineSegmentsRow(none.data(), none.data(), none.data(), y, 9, 12, &dot,
                          indices, offsets, y);
    EXPECT_EQ(none, std::vector<float>(3, 0.0f));
  }
}

TEST(SplinesDrawTest, StraightLineAddsItsSegments) {
  // A horizontal line from (10, 12) to (30, 12) of constant colour and width.
  Splines splines(Heap());
  ASSERT_TRUE(DecodeBytes(&splines, WriteStream(6, SplineTokens({Line(10, 12, {{20, 0}})}, 0)),
                          64 * 64).ok());
  ASSERT_TRUE(splines.PrepareDrawing(64, 40, 0.0f, 1.0f).ok());
  const auto& segments = splines.segments();
  // One dot per unit of length, on the line, with the series' constant
  // values: sigma = 6 x 0.3333, Y = 40 x 0.075, B = Y (correlation 1). The
  // walk ends on the last point again, with the length left over (~0).
  ASSERT_GE(segments.size(), 20u);
  ASSERT_LE(segments.size(), 22u);
  const float sigma = 6 * 0.70710677f * 0.3333f * 1.41421354f;
  const float y_value = 40 * 0.70710677f * 0.075f * 1.41421354f;
  for (size_t i = 0; i < segments.size(); ++i) {
    EXPECT_EQ(segments[i].centre_y, 12.0f);
    EXPECT_NEAR(segments[i].centre_x, std::min(10.0f + i, 30.0f), 1e-3f);
    EXPECT_NEAR(segments[i].inverse_sigma, 1.0f / sigma, 1e-3f);
    EXPECT_NEAR(segments[i].color[1], y_value, 1e-3f);
    EXPECT_NEAR(segments[i].color[2], y_value, 1e-3f);
    EXPECT_NEAR(segments[i].color[0], 0.0f, 1e-6f);
  }
  for (uint64_t y = 0; y < 40; ++y) {
    std::vector<float> rows[3];
    for (auto& r : rows) r.assign(64, 0.0f);
    splines.DrawRow(rows[0].data(), rows[1].data(), rows[2].data(), y, 0, 64);
    for (uint64_t x = 0; x < 64; ++x) {
      float want = 0.0f;
      for (const SplineDrawSegment& s : segments) {
        if (y + 0.0f < std::nearbyint(s.centre_y - s.max_distance) ||
            y + 0.0f > std::nearbyint(s.centre_y + s.max_distance) ||
            x + 0.0f < std::nearbyint(s.centre_x - s.max_distance) ||
            x + 0.0f > std::nearbyint(s.centre_x + s.max_distance)) {
          continue;
        }
        want += s.color[1] * Contribution(s, static_cast<float>(x), static_cast<float>(y));
      }
      EXPECT_NEAR(rows[1][x], want, 1e-5f * (1 + std::abs(want))) << x << " " << y;
    }
  }
  // The line is brightest on its own row.
  std::vector<float> on(64), off(64), unused(64);
  splines.DrawRow(unused.data(), on.data(), unused.data(), 12, 0, 64);
  splines.DrawRow(unused.data(), off.data(), unused.data(), 16, 0, 64);
  EXPECT_GT(on[20], off[20]);
  // Rows past the prepared height hold nothing.
  EXPECT_TRUE(splines.SegmentsOnRow(40).empty());
  // A single control point draws nothing; a clear frame has no segments.
  Splines dot(Heap());
  ASSERT_TRUE(DecodeBytes(&dot, WriteStream(6, SplineTokens({Line(10, 12, {})}, 0)),
                          64 * 64).ok());
  ASSERT_TRUE(dot.PrepareDrawing(64, 40, 0.0f, 1.0f).ok());
  EXPECT_TRUE(dot.segments().empty());
  splines.Clear();
  EXPECT_TRUE(splines.segments().empty());
  EXPECT_TRUE(splines.SegmentsOnRow(12).empty());
}

// The render stage draws what DrawRow draws over xpos - extra_left ..
// xpos + xsize + extra_right.
TEST(SplinesDrawTest, StageDrawsTheSpanWithExtras) {
  Splines splines(Heap());
  ASSERT_TRUE(DecodeBytes(&splines, WriteStream(6, SplineTokens({Line(10, 12, {{20, 0}})}, 0)),
                          64 * 64).ok());
  ASSERT_TRUE(splines.PrepareDrawing(64, 40, 0.0f, 1.0f).ok());
  const auto stage = MakeSplineStage(splines);
  std::vector<std::vector<float>> storage(3, std::vector<float>(kRowLeadSamples + 64, 0.0f));
  ChannelRowSet rows(3), unused;
  for (int c = 0; c < 3; ++c) rows[c].push_back(storage[c].data());
  // xpos 16, extra_left 3, xsize 8, extra_right 2: columns 13 .. 25.
  ASSERT_TRUE(stage->RenderRow(rows, unused, 3, 2, 8, 16, 13, 0).ok());
  std::vector<float> want[3];
  for (auto& w : want) w.assign(13, 0.0f);
  splines.DrawRow(want[0].data(), want[1].data(), want[2].data(), 13, 13, 26);
  for (int c = 0; c < 3; ++c) {
    for (size_t i = 0; i < 13; ++i) {
      EXPECT_EQ(storage[c][kRowLeadSamples - 3 + i], want[c][i]) << c << " " << i;
    }
    EXPECT_EQ(storage[c][kRowLeadSamples - 4], 0.0f);
    EXPECT_EQ(storage[c][kRowLeadSamples + 10], 0.0f);
  }
  EXPECT_NE(want[1][5], 0.0f);
}

// A long stroke far below the image gives no segment; one crossing the
// image keeps only the dots that reach it from the left edge on.
TEST(SplinesPrepareTest, OnlyDotsReachingTheImageAreKept) {
  Splines far(Heap());
  ASSERT_TRUE(DecodeBytes(&far, WriteStream(6, SplineTokens({Line(0, 5000, {{200000, 0}})}, 0)),
                          64 * 64).ok());
  ASSERT_TRUE(far.PrepareDrawing(64, 64, 0.0f, 1.0f).ok());
  EXPECT_TRUE(far.segments().empty());

  Splines crossing(Heap());
  ASSERT_TRUE(DecodeBytes(&crossing,
                          WriteStream(6, SplineTokens({Line(1000, 30, {{-1100, 0}})}, 0)),
                          64 * 64).ok());
  ASSERT_TRUE(crossing.PrepareDrawing(64, 64, 0.0f, 1.0f).ok());
  // 1101 dots from x = 1000 to -100; the hundred or so left of the image go.
  EXPECT_GT(crossing.segments().size(), 950u);
  EXPECT_LT(crossing.segments().size(), 1050u);
  for (const SplineDrawSegment& s : crossing.segments()) {
    EXPECT_GE(s.centre_x + s.max_distance, -0.5f);
  }
}

class SplineDrawTargetTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(SplineDrawTargetTest);

// Random dots over spans of several widths, with guard samples around the
// span: every target against the scalar version.
TEST_P(SplineDrawTargetTest, MatchesScalar) {
  const bool exact = GetParam() != HWY_AVX2;
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> pos(-4.0f, 40.0f), unit(0.2f, 3.0f);
  std::vector<SplineDrawSegment> segments;
  for (int i = 0; i < 40; ++i) {
    segments.push_back({pos(rng), 5.0f + unit(rng), 2.0f * unit(rng),
                        1.0f / unit(rng), unit(rng), {unit(rng), -unit(rng), unit(rng)}});
  }
  std::vector<uint64_t> indices(segments.size());
  for (size_t i = 0; i < indices.size(); ++i) indices[i] = i;
  const uint64_t offsets[2] = {0, indices.size()};
  constexpr size_t kGuard = 8;
  for (uint64_t begin : {0u, 3u, 17u}) {
    for (uint64_t width : {1u, 4u, 7u, 8u, 9u, 23u, 37u}) {
      std::vector<float> want[3], got[3];
      for (int c = 0; c < 3; ++c) {
        want[c].assign(width + 2 * kGuard, 9.0f);
        got[c] = want[c];
      }
      DrawSplineSegmentsRowScalar(want[0].data() + kGuard, want[1].data() + kGuard,
                                  want[2].data() + kGuard, 6, begin, begin + width,
                                  segments.data(), indices.data(), offsets, 6);
      DrawSplineSegmentsRow(got[0].data() + kGuard, got[1].data() + kGuard,
                            got[2].data() + kGuard, 6, begin, begin + width,
                            segments.data(), indices.data(), offsets, 6);
      for (int c = 0; c < 3; ++c) {
        for (size_t i = 0; i < want[c].size(); ++i) {
          if (exact || i < kGuard || i >= kGuard + width) {
            ASSERT_EQ(want[c][i], got[c][i]) << begin << " " << width << " " << i;
          } else {
            ASSERT_NEAR(want[c][i], got[c][i], 1e-5f * (1 + std::abs(want[c][i])));
          }
        }
      }
    }
  }
}

TEST(SplinesDrawTest, CosineSeriesFollowsTheCosine) {
  float coefficients[32] = {};
  for (int k = 0; k < 32; ++k) coefficients[k] = 1.0f / (1 + k);
  for (float s = 0; s <= 31; s += 0.75f) {
    double want = 0;
    for (int k = 0; k < 32; ++k) {
      want += coefficients[k] * std::cos(k * M_PI / 32 * (s + 0.5)) * std::sqrt(2.0);
    }
    EXPECT_NEAR(EvaluateCosineSeries(coefficients, s), want, 5e-3) << s;
  }
}

}  // namespace
}  // namespace qov
