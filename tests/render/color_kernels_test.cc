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
      {TransferOpKind::kLinear, "Linear"}, {TransferOpKind::kRgb, "Srgb"},
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

}  // namespace
}  // namespace qov
