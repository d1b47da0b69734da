// Varblock dequantisation: the SIMD copies against the scalar reference on
// every compiled target (with guard zones), and the documented values.
#include "lib/vardct/varblock_dequant.h"

#include <hwy/highway.h>
#include <hwy/tests/hwy_gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "lib/vardct/dct.h"

namespace qov {
namespace {

constexpr float kGuard = -12345.0f;
constexpr size_t kGuardSamples = 16;

struct Inputs {
  std::vector<int32_t> q32[3];
  std::vector<int16_t> q16[3];
  std::vector<float> table;
};

Inputs MakeInputs(size_t count, uint32_t seed, int32_t range) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int32_t> small(-3, 3);
  std::uniform_int_distribution<int32_t> wide(-range, range);
  std::uniform_real_distribution<float> t(0.01f, 4.0f);
  Inputs in;
  for (size_t c = 0; c < 3; ++c) {
    for (size_t i = 0; i < count; ++i) {
      const int32_t v = (i % 3 == 0) ? wide(rng) : small(rng);
      in.q32[c].push_back(v);
      in.q16[c].push_back(static_cast<int16_t>(std::clamp(v, -32768, 32767)));
    }
  }
  for (size_t i = 0; i < 3 * count; ++i) in.table.push_back(t(rng));
  return in;
}

// Within the reciprocal's precision and one fused rounding.
void ExpectClose(const std::vector<float>& got, const std::vector<float>& ref,
                 size_t n, float scale, const char* label) {
  for (size_t i = 0; i < n; ++i) {
    const float tol = 2e-4f * scale + 1e-5f * std::fabs(ref[i]);
    EXPECT_NEAR(got[i], ref[i], tol) << label << " " << i;
  }
  for (size_t i = n; i < got.size(); ++i) EXPECT_EQ(got[i], kGuard) << label;
}

class VarblockDequantTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(VarblockDequantTest);

TEST_P(VarblockDequantTest, MatchesScalar) {
  const struct {
    size_t count;
    int32_t range;
    float x_factor, b_factor;
  } cases[] = {{64, 40, 0.0f, 1.0f},
               {128, 2000, -0.5f, 0.25f},
               {1024, 30000, 1.5f, -2.0f},
               {4096, 1 << 20, 0.1f, 0.9f}};
  for (const auto& c : cases) {
    const Inputs in = MakeInputs(c.count, static_cast<uint32_t>(c.count), c.range);
    VarblockDequantParams p;
    p.inv_global_scale = 64.0f;
    p.quant = 7;
    p.x_mul = 0.8f;
    p.b_mul = 1.25f;
    p.x_factor = c.x_factor;
    p.b_factor = c.b_factor;
    for (CoefficientWidth w : {CoefficientWidth::Bits16, CoefficientWidth::Bits32}) {
      const void* q[3];
      for (size_t ch = 0; ch < 3; ++ch) {
        q[ch] = w == CoefficientWidth::Bits16
                    ? static_cast<const void*>(in.q16[ch].data())
                    : static_cast<const void*>(in.q32[ch].data());
      }
      std::vector<float> ref(3 * c.count + kGuardSamples, kGuard), got = ref;
      const float* const table[3] = {in.table.data(), in.table.data() + c.count,
                                     in.table.data() + 2 * c.count};
      DequantizeCoefficientsScalar(p, c.count, table, q, w, ref.data());
      DequantizeCoefficients(p, c.count, table, q, w, got.data());
      // Scale of a coefficient: table (<= 4) x step (64 / 7 x 1.25) x the
      // numerator term; products with Y widen it by the factors.
      ExpectClose(got, ref, 3 * c.count, 4.0f * 64 / 7 * 1.25f * 3.0f,
                  w == CoefficientWidth::Bits16 ? "16" : "32");
    }
  }
}

TEST(VarblockDequantValuesTest, Documented) {
  const size_t count = 64;
  std::vector<float> table(3 * count);
  for (size_t i = 0; i < 3 * count; ++i) table[i] = 0.5f + static_cast<float>(i % 5);
  VarblockDequantParams p;
  p.inv_global_scale = 64.0f;
  p.quant = 4;
  p.x_mul = 2.0f;
  p.b_mul = 0.5f;
  const float s = 64.0f / 4.0f;
  std::vector<int32_t> q[3];
  for (size_t c = 0; c < 3; ++c) q[c].assign(count, 0);
  q[1][1] = 1;
  q[1][2] = -1;
  q[1][3] = 2;
  q[0][1] = 1;
  q[2][5] = -1;
  q[1][6] = std::numeric_limits<int32_t>::max();
  q[1][7] = std::numeric_limits<int32_t>::min();
  const void* qp[3] = {q[0].data(), q[1].data(), q[2].data()};
  for (float x_factor : {0.0f, 0.5f}) {
    p.x_factor = x_factor;
    p.b_factor = 1.0f;
    std::vector<float> out(3 * count);
    const float* const tables[3] = {table.data(), table.data() + count,
                                    table.data() + 2 * count};
    DequantizeCoefficients(p, count, tables, qp, CoefficientWidth::Bits32,
                           out.data());
    const float* x = out.data();
    const float* y = out.data() + count;
    const float* b = out.data() + 2 * count;
    EXPECT_EQ(y[0], 0.0f);
    EXPECT_EQ(x[0], 0.0f);
    EXPECT_FLOAT_EQ(y[1], 0.92994547f * (table[count + 1] * s));
    EXPECT_FLOAT_EQ(y[2], -0.92994547f * (table[count + 2] * s));
    EXPECT_NEAR(y[3], (2.0f - 0.145f / 2) * table[count + 3] * s,
                0.145f / 2 * 1.5f / 4096 * table[count + 3] * s + 1e-4f);
    EXPECT_NEAR(y[6], 2147483647.0f * table[count + 6] * s, 1e4f * table[count + 6] * s);
    EXPECT_NEAR(y[7], -2147483648.0f * table[count + 7] * s, 1e4f * table[count + 7] * s);
    const float x_alone = 0.94534993f * (table[1] * (2.0f * s));
    EXPECT_NEAR(x[1], x_factor * y[1] + x_alone, 1e-4f);
    EXPECT_NEAR(x[3], x_factor * y[3], 1e-4f);
    EXPECT_NEAR(b[3], y[3], 1e-4f);
    EXPECT_NEAR(b[5], y[5] - 0.9500649f * (table[2 * count + 5] * (0.5f * s)), 1e-4f);
  }
}

// The whole varblock: the kind's tables of the set, then the lowest
// frequencies from the DC image at each channel's block position.
TEST(DequantizeVarblockTest, TablesAndLowFrequencies) {
  DequantTableSet set;
  const uint32_t kinds = (1u << static_cast<uint32_t>(VarBlockKind::Dct8By8)) |
                         (1u << static_cast<uint32_t>(VarBlockKind::Dct16By16));
  ASSERT_TRUE(set.PrepareTables(HeapMemoryManager(), kinds).ok());
  // A DC image of 6 x 4 samples per channel, distinct values.
  std::vector<float> dc[3];
  for (size_t c = 0; c < 3; ++c) {
    for (size_t i = 0; i < 24; ++i) dc[c].push_back(0.01f * (i + 1) + c);
  }
  const float* const dc_rows[3] = {dc[0].data(), dc[1].data(), dc[2].data()};
  std::vector<float> scratch(
      LowFrequencyScratchFloats(static_cast<uint32_t>(VarBlockKind::Dct16By16)) +
      64);
  float* aligned = reinterpret_cast<float*>(
      (reinterpret_cast<uintptr_t>(scratch.data()) + 31) & ~uintptr_t{31});
  for (VarBlockKind kind : {VarBlockKind::Dct8By8, VarBlockKind::Dct16By16}) {
    const size_t count = CoefficientCount(kind);
    std::vector<int32_t> q[3];
    for (size_t c = 0; c < 3; ++c) {
      for (size_t i = 0; i < count; ++i) q[c].push_back(static_cast<int32_t>(i % 5) - 2);
    }
    const void* qp[3] = {q[0].data(), q[1].data(), q[2].data()};
    VarblockDequantParams p;
    p.quant = 3;
    p.x_factor = 0.25f;
    p.b_factor = 0.75f;
    const size_t block_x[3] = {2, 1, 3};
    std::vector<float> got(3 * count), plain(3 * count);
    DequantizeVarblock(p, kind, set, qp, CoefficientWidth::Bits32, block_x,
                       dc_rows, 6, got.data(), aligned);
    const float* const tables[3] = {set.Table(kind, 0), set.Table(kind, 1),
                                    set.Table(kind, 2)};
    DequantizeCoefficients(p, count, tables, qp, CoefficientWidth::Bits32,
                           plain.data());
    const size_t side = CoveredBlocksX(kind);
    for (size_t c = 0; c < 3; ++c) {
      for (size_t i = 0; i < count; ++i) {
        const bool corner = i / (8 * side) < side && i % (8 * side) < side;
        if (!corner) {
          EXPECT_EQ(got[c * count + i], plain[c * count + i]) << c << " " << i;
        }
      }
      if (kind == VarBlockKind::Dct8By8) {
        EXPECT_EQ(got[c * count], dc[c][block_x[c]]);
      } else {
        // The 2 x 2 corner comes from the 2 x 2 DC samples at the block.
        std::vector<float> lf(count, 0.0f);
        DcToLowFrequenciesScalar(static_cast<uint32_t>(kind),
                                 dc[c].data() + block_x[c], 6, lf.data());
        for (size_t i : {size_t{0}, size_t{1}, size_t{16}, size_t{17}}) {
          EXPECT_NEAR(got[c * count + i], lf[i], 1e-5f) << c << " " << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace qov
