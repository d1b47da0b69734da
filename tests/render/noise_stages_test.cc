// Noise stages: the row kernels on every target against the scalar
// reference (with guard zones), the documented values of the filter and the
// strength interpolation, and the stages' modes and refusals.
#include "lib/render/noise_stages.h"

#include <hwy/highway.h>
#include <hwy/tests/hwy_gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "gtest/gtest.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/render/noise_kernels.h"

namespace qov {
namespace {

constexpr size_t kGuard = 8;
constexpr float kGuardValue = 12345.0f;

std::vector<float> Random(size_t n, uint32_t seed, float lo, float hi) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> out(n);
  for (float& v : out) v = dist(rng);
  return out;
}

// Exact on targets without fused multiply-add, close on the others.
void ExpectMatches(const std::vector<float>& want, const std::vector<float>& got,
                   bool exact, const char* what, size_t width) {
  ASSERT_EQ(want.size(), got.size());
  for (size_t i = 0; i < want.size(); ++i) {
    if (exact) {
      ASSERT_EQ(want[i], got[i]) << what << " width " << width << " at " << i;
    } else {
      ASSERT_NEAR(want[i], got[i], 1e-5f * (1 + std::abs(want[i])))
          << what << " width " << width << " at " << i;
    }
  }
}

class NoiseKernelTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(NoiseKernelTest);

TEST_P(NoiseKernelTest, MatchesScalar) {
  const bool exact = GetParam() != HWY_AVX2;
  const float lut[8] = {0.0f, 0.1f, 0.3f, 0.25f, 0.6f, 0.9f, 0.95f, 0.99f};
  for (size_t width : {1, 3, 4, 5, 7, 8, 9, 17, 64, 67}) {
    // Convolution: five input rows with two samples of border on each side.
    std::vector<std::vector<float>> in(5);
    const float* rows[5];
    for (int r = 0; r < 5; ++r) {
      in[r] = Random(width + 4, 11 + r, 1.0f, 2.0f);
      rows[r] = in[r].data() + 2;
    }
    std::vector<float> want(width + 2 * kGuard, kGuardValue), got = want;
    ConvolveNoiseRowScalar(rows, want.data() + kGuard, width);
    ConvolveNoiseRow(rows, got.data() + kGuard, width);
    ExpectMatches(want, got, exact, "convolve", width);

    // Addition: X, Y, B across the strength table's range, with guards.
    const std::vector<float> n0 = Random(width, 1, -1, 1), n1 = Random(width, 2, -1, 1),
                             n2 = Random(width, 3, -1, 1);
    std::vector<float> planes[2][3];
    for (auto& set : planes) {
      for (int c = 0; c < 3; ++c) {
        set[c].assign(width + 2 * kGuard, kGuardValue);
        const auto values = Random(width, 20 + c, -0.5f, 1.8f);
        std::copy(values.begin(), values.end(), set[c].begin() + kGuard);
      }
    }
    auto at = [&](int s, int c) { return planes[s][c].data() + kGuard; };
    AddNoiseRowScalar(lut, 0.25f, 0.9f, at(0, 0), at(0, 1), at(0, 2), n0.data(),
                      n1.data(), n2.data(), width);
    AddNoiseRow(lut, 0.25f, 0.9f, at(1, 0), at(1, 1), at(1, 2), n0.data(),
                n1.data(), n2.data(), width);
    for (int c = 0; c < 3; ++c) {
      ExpectMatches(planes[0][c], planes[1][c], exact, "add", width);
    }
  }
}

TEST(NoiseFormulaTest, FilterOfAnImpulseAndOfAConstant) {
  std::vector<std::vector<float>> impulse(5, std::vector<float>(9, 0.0f));
  impulse[2][4] = 1.0f;
  const float* rows[5];
  for (int r = 0; r < 5; ++r) rows[r] = impulse[r].data() + 2;
  float out[5];
  ConvolveNoiseRowScalar(rows, out, 5);
  // Output x sees the impulse at column 2 of the plane + x offset.
  EXPECT_FLOAT_EQ(out[2], -3.84f);
  for (int x : {0, 1, 3, 4}) EXPECT_FLOAT_EQ(out[x], 0.16f) << x;

  std::vector<std::vector<float>> flat(5, std::vector<float>(12, 1.5f));
  for (int r = 0; r < 5; ++r) rows[r] = flat[r].data() + 2;
  float flat_out[8];
  ConvolveNoiseRow(rows, flat_out, 8);
  for (float v : flat_out) EXPECT_NEAR(v, 0.0f, 1e-5f);
}

TEST(NoiseFormulaTest, StrengthInterpolation) {
  const float lut[8] = {0.05f, 0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f};
  struct Case {
    const char* name;
    float x, y, strength_r, strength_g;
  };
  // r uses X + Y, g uses Y - X.
  const Case cases[] = {
      {"X + Y = 2.5: lut[7]", 1.25f, 1.25f, 0.7f, 0.05f},
      {"X + Y = 1: lut[3]", 0.0f, 1.0f, 0.3f, 0.3f},
      {"X + Y < 0: lut[0]", -0.25f, -0.5f, 0.05f, 0.05f},
      {"X = 0.1, Y = 0.5", 0.1f, 0.5f, 0.1f + 0.8f * 0.1f, 0.1f + 0.2f * 0.1f},
  };
  for (const Case& c : cases) {
    // Only n0 (r) or only n1 (g) set: Y gains exactly strength x noise.
    for (int which = 0; which < 2; ++which) {
      float x = c.x, y = c.y, b = 0.0f;
      const float one = 1.0f, zero = 0.0f;
      AddNoiseRowScalar(lut, 0.0f, 1.0f, &x, &y, &b, which == 0 ? &one : &zero,
                        which == 1 ? &one : &zero, &zero, 1);
      const float s = which == 0 ? c.strength_r : c.strength_g;
      const float noise = s * (0.22f * 0.0078125f);
      EXPECT_NEAR(y - c.y, noise, 1e-7f) << c.name << " " << which;
      EXPECT_NEAR(b, noise, 1e-7f) << c.name;
      // cx = 0: X gains r - g.
      EXPECT_NEAR(x - c.x, which == 0 ? noise : -noise, 1e-7f) << c.name;
    }
  }
  // Zero noise leaves the rows unchanged.
  float x = 0.3f, y = 0.4f, b = 0.5f, zero = 0.0f;
  AddNoiseRow(lut, 0.5f, 1.0f, &x, &y, &b, &zero, &zero, &zero, 1);
  EXPECT_EQ(x, 0.3f);
  EXPECT_EQ(y, 0.4f);
  EXPECT_EQ(b, 0.5f);
}

// Rows with 32 samples of lead room, as the pipeline hands them out.
struct StageRows {
  std::vector<std::vector<float>> storage;
  ChannelRowSet set;
  StageRows(size_t channels, size_t rows_per_channel, size_t width, float value)
      : storage(channels * rows_per_channel,
                std::vector<float>(kRowLeadSamples + width + 40, value)),
        set(channels) {
    for (size_t c = 0; c < channels; ++c) {
      for (size_t r = 0; r < rows_per_channel; ++r) {
        set[c].push_back(storage[c * rows_per_channel + r].data());
      }
    }
  }
};

TEST(NoiseStageTest, ModesAndRefusals) {
  ChromaFromLumaMap cfl;
  NoiseStrengthTable table;
  const auto add = MakeAddNoiseStage(table, cfl, 5);
  const auto conv = MakeConvolveNoiseStage(5);
  EXPECT_STREQ(add->StageName(), "AddNoise");
  EXPECT_STREQ(conv->StageName(), "ConvNoise");
  EXPECT_EQ(conv->geometry().border_x, 2u);
  EXPECT_EQ(conv->geometry().border_y, 2u);
  const RowChannelMode add_modes[] = {
      RowChannelMode::kModifyRows, RowChannelMode::kModifyRows,
      RowChannelMode::kModifyRows, RowChannelMode::kNotUsed,
      RowChannelMode::kNotUsed,    RowChannelMode::kReadOnly,
      RowChannelMode::kReadOnly,   RowChannelMode::kReadOnly};
  for (size_t c = 0; c < 8; ++c) {
    EXPECT_EQ(add->ChannelModeOf(c), add_modes[c]) << c;
    EXPECT_EQ(conv->ChannelModeOf(c), c < 5 ? RowChannelMode::kNotUsed
                                            : RowChannelMode::kSeparateOutput);
  }
  // An all-zero table (within 0.001) touches nothing, even with extras.
  for (float& v : table.lut) v = 0.0009f;
  StageRows rows(8, 1, 16, 1.0f), none(8, 0, 16, 0.0f);
  const auto before = rows.storage;
  EXPECT_TRUE(add->RenderRow(rows.set, none.set, 2, 2, 16, 0, 0, 0).ok());
  EXPECT_EQ(rows.storage, before);
  // A real table refuses extras, and adds without them.
  table.lut[3] = 0.5f;
  EXPECT_FALSE(add->RenderRow(rows.set, none.set, 1, 0, 16, 0, 0, 0).ok());
  EXPECT_TRUE(add->RenderRow(rows.set, none.set, 0, 0, 16, 0, 0, 0).ok());
  EXPECT_NE(rows.storage[1][kRowLeadSamples], 1.0f);
  EXPECT_EQ(rows.storage[1][kRowLeadSamples + 16], 1.0f);  // past the span
  EXPECT_EQ(rows.storage[3], before[3]);                    // extra channel
}

}  // namespace
}  // namespace qov
