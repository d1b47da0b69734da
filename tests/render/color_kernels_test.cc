// Colour row kernels: every SIMD target against the scalar reference (with
// guard zones), and the transfer curves against their closed formulas.
#include "lib/render/color_kernels.h"

#include <hwy/highway.h>
#include <hwy/tests/hwy_gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace qov {
namespace {

constexpr float kGuard = -12345.0f;
constexpr size_t kGuardSamples = 16;

using RowsFn = std::function<void(float*, float*, float*, size_t)>;

struct KernelCase {
  std::string name;
  RowsFn simd;
  RowsFn scalar;
  float lo, hi;  // input range
};

TransferOp Op(TransferOpKind kind) {
  TransferOp op;
  op.kind = kind;
  op.pq_target_scale = 1000.0f * 0.0001f;
  op.pq_inverse_target_scale = 10000.0f / 1000.0f;
  op.gamma_exponent = 2.2f;
  if (kind == TransferOpKind::kHlg) {
    op.hlg_ootf_exponent = 0.2f;
    op.hlg_apply_ootf = true;
  }
  return op;
}

ToneMapParams PqParams() {
  // A 4000-nit source mapped to 250 nits (fields as the tone curve makes
  // them for that range).
  ToneMapParams p;
  p.pq = true;
  p.gamut = true;
  p.source_max = 4000.0f;
  p.target_max = 250.0f;
  p.pq_min = 0.0f;
  p.pq_range = 0.9025723f;
  p.inv_range = 1.0f / p.pq_range;
  p.min_lum = 0.0f;
  p.max_lum = 0.6765f;
  p.knee_start = 1.5f * p.max_lum - 0.5f;
  p.inv_knee = 1.0f / (1.0f - p.knee_start);
  p.ratio = 16.0f;
  p.inv_target_max = 1.0f / 250.0f;
  return p;
}

std::vector<KernelCase> Cases() {
  std::vector<KernelCase> cases;
  cases.push_back({"YCbCr", YCbCrToRgbRows, YCbCrToRgbRowsScalar, -0.5f, 0.5f});
  cases.push_back({"XybRescale", XybRescaleRows, XybRescaleRowsScalar, -0.1f,
                   0.9f});
  const std::pair<TransferOpKind, const char*> kinds[] = {
      {TransferOpKind::kLinear, "Linear"}, {TransferOpKind::kSrgb, "Srgb"},
      {TransferOpKind::kPq, "Pq"},         {TransferOpKind::kHlg, "Hlg"},
      {TransferOpKind::k709, "709"},       {TransferOpKind::kGamma, "Gamma"},
      {TransferOpKind::kInvalid, "Invalid"}};
  for (const auto& [kind, name] : kinds) {
    const TransferOp op = Op(kind);
    cases.push_back({std::string("ToLinear") + name,
                     [op](float* a, float* b, float* c, size_t n) {
                       ToLinearRows(op, a, b, c, n);
                     },
                     [op](float* a, float* b, float* c, size_t n) {
                       ToLinearRowsScalar(op, a, b, c, n);
                     },
                     -0.3f, 1.2f});
    cases.push_back({std::string("FromLinear") + name,
                     [op](float* a, float* b, float* c, size_t n) {
                       FromLinearRows(op, a, b, c, n);
                     },
                     [op](float* a, float* b, float* c, size_t n) {
                       FromLinearRowsScalar(op, a, b, c, n);
                     },
                     -0.1f, 3.0f});
  }
  ToneMapParams hlg;
  hlg.hlg_apply = true;
  hlg.hlg_exponent = -0.16709f;
  hlg.gamut = true;
  hlg.pre_scale = 1.5f;
  hlg.post_scale = 0.7f;
  const ToneMapParams pq = PqParams();
  for (const auto& [p, name] :
       {std::make_pair(pq, "ToneMapPq"), std::make_pair(hlg, "ToneMapHlg")}) {
    const ToneMapParams params = p;
    cases.push_back({name,
                     [params](float* a, float* b, float* c, size_t n) {
                       ToneMapRows(params, a, b, c, n);
                     },
                     [params](float* a, float* b, float* c, size_t n) {
                       ToneMapRowsScalar(params, a, b, c, n);
                     },
                     -0.05f, 2.0f});
  }
  return cases;
}

class ColorKernelTargetTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(ColorKernelTargetTest);

// SSE2/SSE4 and the emulated targets compute exactly as the reference; the
// AVX2 copy fuses multiply-adds and may differ in the last bits.
TEST_P(ColorKernelTargetTest, MatchesScalarAndKeepsGuards) {
  const bool fused = GetParam() == HWY_AVX2;
  const size_t kWidths[] = {0, 1, 3, 4, 5, 7, 8, 9, 17, 100};
  for (const KernelCase& kc : Cases()) {
    for (size_t n : kWidths) {
      std::mt19937 rng(static_cast<uint32_t>(n * 31 + kc.name.size()));
      std::uniform_real_distribution<float> dist(kc.lo, kc.hi);
      std::vector<float> ref[3], got[3];
      for (int c = 0; c < 3; ++c) {
        ref[c].assign(n + kGuardSamples, kGuard);
        for (size_t i = 0; i < n; ++i) ref[c][i] = dist(rng);
        // Exact zeros and a grey pixel reach the special branches.
        if (n > 2) ref[c][1] = 0.0f;
        if (n > 3) ref[c][2] = 0.25f;
        got[c] = ref[c];
      }
      kc.scalar(ref[0].data(), ref[1].data(), ref[2].data(), n);
      kc.simd(got[0].data(), got[1].data(), got[2].data(), n);
      for (int c = 0; c < 3; ++c) {
        for (size_t i = 0; i < n + kGuardSamples; ++i) {
          if (i >= n) {
            ASSERT_EQ(got[c][i], kGuard) << kc.name << " n=" << n;
            continue;
          }
          ASSERT_TRUE(std::isfinite(got[c][i])) << kc.name << " i=" << i;
          const float tol =
              fused ? 3e-5f * std::max(1.0f, std::fabs(ref[c][i])) : 0.0f;
          ASSERT_NEAR(got[c][i], ref[c][i], tol)
              << kc.name << " n=" << n << " c=" << c << " i=" << i;
        }
      }
    }
  }
}

// Closed forms of the curves, in double precision.
double SrgbDecode(double a) {
  return a <= 0.04045 ? a / 12.92 : std::pow((a + 0.055) / 1.055, 2.4);
}
double SrgbEncode(double a) {
  return a <= 0.0031308 ? a * 12.92 : 1.055 * std::pow(a, 1 / 2.4) - 0.055;
}
constexpr double kM1 = 2610.0 / 16384, kM2 = 2523.0 / 4096 * 128;
constexpr double kC1 = 3424.0 / 4096, kC2 = 2413.0 / 4096 * 32,
                 kC3 = 2392.0 / 4096 * 32;
double PqDecode(double e) {  // 1.0 = 10000 nits
  const double p = std::pow(e, 1 / kM2);
  return std::pow(std::max(p - kC1, 0.0) / (kC2 - kC3 * p), 1 / kM1);
}
double PqEncode(double y) {
  const double p = std::pow(y, kM1);
  return std::pow((kC1 + kC2 * p) / (1 + kC3 * p), kM2);
}
constexpr double kHa = 0.17883277, kHb = 0.28466892, kHc = 0.55991073;
double HlgDecode(double a) {
  return a <= 0.5 ? a * a / 3 : (std::exp((a - kHc) / kHa) + kHb) / 12;
}
double HlgEncode(double a) {
  return a <= 1.0 / 12 ? std::sqrt(3 * a) : kHa * std::log(12 * a - kHb) + kHc;
}
double Bt709Decode(double x) {
  return x < 0.081 ? x / 4.5 : std::pow((x + 0.099) / 1.099, 1 / 0.45);
}
double Bt709Encode(double x) {
  return x <= 0.018 ? x * 4.5 : 1.099 * std::pow(x, 0.45) - 0.099;
}

struct CurveCase {
  const char* name;
  TransferOp op;
  std::function<double(double)> decode;  // coded -> linear
  std::function<double(double)> encode;  // linear -> coded
  double tol;                            // relative, with a 1e-6 floor
};

TransferOp Plain(TransferOpKind kind, float intensity = 1000.0f) {
  TransferOp op;
  op.kind = kind;
  op.pq_target_scale = intensity * 0.0001f;
  op.pq_inverse_target_scale = 10000.0f / intensity;
  return op;
}

// Both directions of every curve on a grid of coded values in (0, 1],
// through the dispatched kernels.
TEST(ColorCurvesTest, MatchClosedForms) {
  TransferOp gamma = Plain(TransferOpKind::kGamma);
  gamma.gamma_exponent = 2.2f;  // decode; 1 / 2.2 to encode
  const double pq_scale = 10000.0 / 1000.0;
  const CurveCase cases[] = {
      {"sRGB", Plain(TransferOpKind::kSrgb), SrgbDecode, SrgbEncode, 2e-4},
      {"PQ", Plain(TransferOpKind::kPq),
       [&](double e) { return PqDecode(e) * pq_scale; },
       [&](double y) { return PqEncode(y / pq_scale); }, 2e-3},
      {"HLG", Plain(TransferOpKind::kHlg), HlgDecode, HlgEncode, 2e-4},
      {"709", Plain(TransferOpKind::k709), Bt709Decode, Bt709Encode, 2e-4},
      {"gamma", gamma, [](double x) { return std::pow(x, 2.2); },
       [](double x) { return std::pow(x, 1 / 2.2); }, 2e-4},
  };
  constexpr size_t kN = 200;
  for (const CurveCase& cc : cases) {
    std::vector<float> coded(kN), rows[3];
    for (size_t i = 0; i < kN; ++i) coded[i] = (i + 1) / float{kN};
    for (auto& r : rows) r = coded;
    ToLinearRows(cc.op, rows[0].data(), rows[1].data(), rows[2].data(), kN);
    std::vector<float> linear = rows[0];
    for (size_t i = 0; i < kN; ++i) {
      const double want = cc.decode(coded[i]);
      ASSERT_NEAR(linear[i], want, cc.tol * std::max(want, 1e-2))
          << cc.name << " decode " << coded[i];
    }
    TransferOp enc = cc.op;
    if (enc.kind == TransferOpKind::kGamma) enc.gamma_exponent = 1 / 2.2f;
    FromLinearRows(enc, rows[0].data(), rows[1].data(), rows[2].data(), kN);
    for (size_t i = 0; i < kN; ++i) {
      // The power law writes 0 at and below 1e-5.
      if (enc.kind == TransferOpKind::kGamma && linear[i] <= 1e-5f) continue;
      const double want = cc.encode(linear[i]);
      ASSERT_NEAR(rows[0][i], want, cc.tol * std::max(want, 1e-2))
          << cc.name << " encode " << linear[i];
      // The round trip gives back the coded value (away from 0, where the
      // PQ decoder's constant term dominates the steep encoder).
      if (coded[i] >= 0.05f) {
        ASSERT_NEAR(rows[1][i], coded[i], 3 * cc.tol) << cc.name;
      }
    }
  }
}

float ToLinear1(const TransferOp& op, float x) {
  float r[1] = {x}, g[1] = {x}, b[1] = {x};
  ToLinearRows(op, r, g, b, 1);
  return r[0];
}
float FromLinear1(const TransferOp& op, float x) {
  float r[1] = {x}, g[1] = {x}, b[1] = {x};
  FromLinearRows(op, r, g, b, 1);
  return r[0];
}

TEST(ColorCurvesTest, EdgeValues) {
  const TransferOp srgb = Plain(TransferOpKind::kSrgb);
  EXPECT_EQ(ToLinear1(srgb, 0.04045f), 0.04045f * 0.07739938f);
  EXPECT_NEAR(ToLinear1(srgb, 1.0f), 1.0f, 1e-4);
  EXPECT_EQ(ToLinear1(srgb, -0.5f), -ToLinear1(srgb, 0.5f));
  EXPECT_NEAR(ToLinear1(srgb, -0.5f), -0.214, 1e-3);
  EXPECT_EQ(FromLinear1(srgb, 0.0031308f), 0.0031308f * 12.92f);
  EXPECT_NEAR(FromLinear1(srgb, -0.214f), -0.5f, 1e-3);

  EXPECT_NEAR(ToLinear1(Plain(TransferOpKind::kPq, 10000.0f), 1.0f), 1.0f,
              2e-3);
  const TransferOp pq = Plain(TransferOpKind::kPq, 1000.0f);
  EXPECT_NEAR(ToLinear1(pq, 1.0f), 10.0f, 2e-2);
  EXPECT_EQ(ToLinear1(pq, -0.6f), -ToLinear1(pq, 0.6f));
  EXPECT_NEAR(FromLinear1(pq, 1.0f), 0.7518f, 1e-3);
  EXPECT_NEAR(FromLinear1(Plain(TransferOpKind::kPq, 10000.0f), 1.0f), 1.0f,
              2e-3);
  // The piece is chosen by the unscaled magnitude: 0.0005 (scaled 0.00005)
  // takes the large piece, close to the closed form either way.
  EXPECT_NEAR(FromLinear1(pq, 0.0005f), PqEncode(0.00005), 2e-3);
  EXPECT_NEAR(FromLinear1(pq, 0.00005f), PqEncode(0.000005), 2e-3);

  const TransferOp hlg = Plain(TransferOpKind::kHlg);
  EXPECT_EQ(ToLinear1(hlg, 0.5f), 0.083333336f);
  EXPECT_NEAR(ToLinear1(hlg, 1.0f), 1.0f, 1e-3);
  EXPECT_NEAR(FromLinear1(hlg, 1.0f / 12), 0.5f, 1e-6);
  EXPECT_NEAR(FromLinear1(hlg, -1.0f / 12), -0.5f, 1e-6);

  const TransferOp bt709 = Plain(TransferOpKind::k709);
  EXPECT_NEAR(ToLinear1(bt709, -0.09f), -0.02f, 1e-6);
  EXPECT_NEAR(ToLinear1(bt709, 0.081f), Bt709Decode(0.081), 1e-5);
  EXPECT_NEAR(FromLinear1(bt709, -0.01f), -0.045f, 1e-7);
  EXPECT_NEAR(FromLinear1(bt709, 0.018f), 0.081f, 1e-7);

  TransferOp gamma = Plain(TransferOpKind::kGamma);
  gamma.gamma_exponent = 2.2f;
  for (float x : {0.0f, -0.3f, 1e-5f}) EXPECT_EQ(ToLinear1(gamma, x), 0.0f);
  EXPECT_NEAR(ToLinear1(gamma, 1.0f), 1.0f, 1e-4);
  gamma.gamma_exponent = 0.4545455f;
  EXPECT_NEAR(FromLinear1(gamma, 1.0f), 1.0f, 1e-4);
  EXPECT_EQ(FromLinear1(gamma, -1.0f), 0.0f);

  const TransferOp invalid = Plain(TransferOpKind::kInvalid);
  EXPECT_EQ(ToLinear1(invalid, 0.37f), 0.37f);
}

// The OOTF approximations are evaluated only inside their domain: zero,
// negative and NaN luminance give finite, bounded factors.
TEST(ColorCurvesTest, HlgOotfAtNonPositiveLuminance) {
  for (float g : {0.2f, -0.16709f}) {
    TransferOp op = Plain(TransferOpKind::kHlg);
    op.hlg_ootf_exponent = g;
    op.hlg_apply_ootf = true;
    // (black), (Y < 0), (Y = 0 with colour), (Y NaN)
    const float pixels[][3] = {{0.0f, 0.0f, 0.0f},
                               {-0.5f, 0.1f, 0.1f},
                               {0.3f, -0.0891f, 0.0f},
                               {NAN, 0.2f, 0.2f}};
    for (const auto& px : pixels) {
      float r[1] = {px[0]}, gr[1] = {px[1]}, b[1] = {px[2]};
      FromLinearRows(op, r, gr, b, 1);
      EXPECT_TRUE(std::isfinite(gr[0])) << g;
      EXPECT_LT(std::fabs(gr[0]), 100.0f) << g << " " << px[0];
      float r2[1] = {px[0]}, g2[1] = {px[1]}, b2[1] = {px[2]};
      ToLinearRows(op, r2, g2, b2, 1);
      EXPECT_TRUE(std::isfinite(g2[0])) << g;
      EXPECT_LT(std::fabs(g2[0]), 100.0f) << g << " " << px[0];
    }
    ToneMapParams p;
    p.hlg_apply = true;
    p.hlg_exponent = g;
    for (const auto& px : pixels) {
      float r[1] = {px[0]}, gr[1] = {px[1]}, b[1] = {px[2]};
      ToneMapRows(p, r, gr, b, 1);
      ToneMapRowsScalar(p, r, gr, b, 0);
      EXPECT_TRUE(std::isfinite(gr[0])) << g;
      EXPECT_LT(std::fabs(gr[0]), 100.0f) << g << " " << px[0];
    }
  }
  // Black stays black, with either sign of the exponent.
  ToneMapParams p;
  p.hlg_apply = true;
  p.hlg_exponent = -0.16709f;
  float r[1] = {0.0f}, g[1] = {0.0f}, b[1] = {0.0f};
  ToneMapRows(p, r, g, b, 1);
  EXPECT_EQ(g[0], 0.0f);
}

TEST(ColorCurvesTest, Approximations) {
  for (float x : {0.001f, 0.3f, 1.0f, 2.0f, 77.0f, 1e6f}) {
    EXPECT_NEAR(ApproxLog2Scalar(x), std::log2(x), 1e-4) << x;
  }
  for (float y : {-20.0f, -1.5f, 0.0f, 0.5f, 10.25f}) {
    EXPECT_NEAR(ApproxExp2Scalar(y), std::exp2(y), 1e-4 * std::exp2(y)) << y;
  }
  // Out of range arguments stay finite.
  EXPECT_TRUE(std::isfinite(ApproxExp2Scalar(1e30f)));
  EXPECT_TRUE(std::isfinite(ApproxExp2Scalar(NAN)));
  EXPECT_GE(ApproxExp2Scalar(-1e30f), 0.0f);
}

}  // namespace
}  // namespace qov
