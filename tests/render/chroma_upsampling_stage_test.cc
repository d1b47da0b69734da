// The chroma upsampling stages against their interpolation formulas, with
// extra columns, the SIMD copies against the scalar references, and their
// declared modes and geometry.
#include <gtest/gtest.h>
#include <hwy/highway.h>
#include <hwy/tests/hwy_gtest.h>

#include <cmath>
#include <cstddef>
#include <memory>
#include <random>
#include <vector>

#include "lib/render/chroma_upsampling.h"
#include "lib/render/chroma_upsampling_stage.h"
#include "lib/render/render_stage.h"

namespace qov {
namespace {

constexpr float kGuard = -777.0f;
// Room on either side of the rows: the lead and more than a vector.
constexpr size_t kPad = 64;

std::vector<float> RandomRow(size_t xsize, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> row(xsize + 2 * kPad);
  for (float& v : row) v = dist(rng);
  return row;
}

struct ExtraCase {
  size_t xsize, extra_left, extra_right;
};

const ExtraCase kExtraCases[] = {
    {1, 0, 0},  {3, 0, 0},  {8, 0, 0},  {9, 0, 0},  {37, 0, 0}, {20, 3, 2},
    {20, 4, 4}, {20, 5, 1}, {5, 8, 8},  {33, 9, 7}, {40, 16, 16}, {0, 0, 0},
    {0, 2, 3},
};

class ChromaUpsamplingRowTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(ChromaUpsamplingRowTest);

// Horizontal stage: out[2x] and out[2x+1] over [-extra_left, xsize +
// extra_right), the other SIMD positions within one vector of the range,
// nothing beyond; the scalar reference agrees to the last bit or two.
TEST_P(ChromaUpsamplingRowTest, HorizontalFormulaWithExtras) {
  auto stage = MakeChromaUpsamplingStage(1, true);
  for (const ExtraCase& c : kExtraCases) {
    const std::vector<float> in = RandomRow(c.xsize, static_cast<uint32_t>(c.xsize + 3));
    // Output rows lead by 2 * kPad so that any rounding of the start fits.
    std::vector<float> out(2 * (c.xsize + 2 * kPad), kGuard);
    std::vector<float> ref(out.size(), kGuard);
    ChannelRowSet input(2), output(2);
    input[1] = {const_cast<float*>(in.data()) + kPad - kRowLeadSamples};
    output[1] = {out.data() + 2 * kPad - kRowLeadSamples};
    ASSERT_TRUE(stage->RenderRow(input, output, c.extra_left, c.extra_right,
                                 c.xsize, 100, 7, 0)
                    .ok());
    ChromaUpsampleHorizontalRowScalar(in.data() + kPad, ref.data() + 2 * kPad,
                                      c.extra_left, c.extra_right, c.xsize);
    const float* x0 = in.data() + kPad;
    const ptrdiff_t begin = -static_cast<ptrdiff_t>(c.extra_left);
    const ptrdiff_t end = static_cast<ptrdiff_t>(c.xsize + c.extra_right);
    for (ptrdiff_t o = -2 * static_cast<ptrdiff_t>(kPad);
         o < static_cast<ptrdiff_t>(out.size()) - 2 * static_cast<ptrdiff_t>(kPad); ++o) {
      const ptrdiff_t x = o >= 0 ? o / 2 : -((-o + 1) / 2);
      const float got = out[2 * kPad + o];
      if (x >= begin && x < end) {
        const float centre = 0.75f * x0[x];
        const float want = 0.25f * x0[(o & 1) ? x + 1 : x - 1] + centre;
        ASSERT_NEAR(got, want, 1e-6f) << "output " << o << " width " << c.xsize;
        ASSERT_NEAR(ref[2 * kPad + o], want, 0.0f) << "reference " << o;
      } else if (x < begin - static_cast<ptrdiff_t>(kChromaMaxLanes) + 1 ||
                 x >= end + static_cast<ptrdiff_t>(kChromaMaxLanes) - 1) {
        ASSERT_EQ(got, kGuard) << "wrote output " << o << " width " << c.xsize
                               << " extras " << c.extra_left << ", " << c.extra_right;
      }
    }
  }
}

TEST_P(ChromaUpsamplingRowTest, VerticalFormulaWithExtras) {
  auto stage = MakeChromaUpsamplingStage(0, false);
  for (const ExtraCase& c : kExtraCases) {
    std::vector<float> rows[3];
    for (uint32_t k = 0; k < 3; ++k) rows[k] = RandomRow(c.xsize, k * 100 + c.xsize);
    std::vector<float> upper(c.xsize + 2 * kPad, kGuard), lower = upper;
    ChannelRowSet input(1), output(1);
    for (auto& r : rows) input[0].push_back(r.data() + kPad - kRowLeadSamples);
    output[0] = {upper.data() + kPad - kRowLeadSamples,
                 lower.data() + kPad - kRowLeadSamples};
    ASSERT_TRUE(stage->RenderRow(input, output, c.extra_left, c.extra_right,
                                 c.xsize, 0, 0, 0)
                    .ok());
    std::vector<float> ref_upper(upper.size(), kGuard), ref_lower = ref_upper;
    ChromaUpsampleVerticalRowScalar(rows[0].data() + kPad, rows[1].data() + kPad,
                                    rows[2].data() + kPad, ref_upper.data() + kPad,
                                    ref_lower.data() + kPad, c.extra_left,
                                    c.extra_right, c.xsize);
    const ptrdiff_t begin = -static_cast<ptrdiff_t>(c.extra_left);
    const ptrdiff_t end = static_cast<ptrdiff_t>(c.xsize + c.extra_right);
    for (ptrdiff_t x = -static_cast<ptrdiff_t>(kPad);
         x < static_cast<ptrdiff_t>(c.xsize + kPad); ++x) {
      const size_t i = static_cast<size_t>(x + static_cast<ptrdiff_t>(kPad));
      if (x >= begin && x < end) {
        const float centre = 0.75f * rows[1][i];
        ASSERT_NEAR(upper[i], 0.25f * rows[0][i] + centre, 1e-6f) << x;
        ASSERT_NEAR(lower[i], 0.25f * rows[2][i] + centre, 1e-6f) << x;
        ASSERT_EQ(ref_upper[i], 0.25f * rows[0][i] + centre) << x;
        ASSERT_EQ(ref_lower[i], 0.25f * rows[2][i] + centre) << x;
      } else if (x < begin - static_cast<ptrdiff_t>(kChromaMaxLanes) + 1 ||
                 x >= end + static_cast<ptrdiff_t>(kChromaMaxLanes) - 1) {
        ASSERT_EQ(upper[i], kGuard) << x;
        ASSERT_EQ(lower[i], kGuard) << x;
      }
    }
  }
}

// The rendered range starts at the multiple of the vector width at or
// before -extra_left, never further out: the pipelines' row leads have
// exactly that much room.
TEST_P(ChromaUpsamplingRowTest, FirstVectorStartsAtRoundedExtra) {
  for (size_t extra_left : {0, 1, 4, 8, 9, 16}) {
    std::vector<float> in(200, 1.0f), out(400, kGuard);
    ChromaUpsampleHorizontalRow(in.data() + 100, out.data() + 200, extra_left, 0, 8);
    const size_t rounded = (extra_left + 7) / 8 * 8;
    for (size_t o = 0; o + 2 * rounded < 200; ++o) {
      ASSERT_EQ(out[o], kGuard) << "extra " << extra_left << " output " << o;
    }
  }
}

TEST(ChromaUpsamplingStageTest, ImpulseSpreadsAsQuarters) {
  // Horizontal: the six outputs around a single 1 among zeros.
  std::vector<float> in(2 * kPad + 8, 0.0f), out(4 * kPad + 16, -1.0f);
  in[kPad + 4] = 1.0f;
  ChromaUpsampleHorizontalRow(in.data() + kPad, out.data() + 2 * kPad, 0, 0, 8);
  const float kSix[] = {0.0f, 0.25f, 0.75f, 0.75f, 0.25f, 0.0f};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(out[2 * kPad + 6 + i], kSix[i]) << i;
  // Vertical: rows above, at and below the 1.
  std::vector<float> zero(2 * kPad + 8, 0.0f), one(2 * kPad + 8, 1.0f);
  std::vector<float> upper(2 * kPad + 8), lower(2 * kPad + 8);
  const auto run = [&](const std::vector<float>& u, const std::vector<float>& m,
                       const std::vector<float>& d) {
    ChromaUpsampleVerticalRow(u.data() + kPad, m.data() + kPad, d.data() + kPad,
                              upper.data() + kPad, lower.data() + kPad, 0, 0, 8);
  };
  run(zero, zero, one);  // the row above
  EXPECT_EQ(upper[kPad + 3], 0.0f);
  EXPECT_EQ(lower[kPad + 3], 0.25f);
  run(zero, one, zero);
  EXPECT_EQ(upper[kPad + 3], 0.75f);
  EXPECT_EQ(lower[kPad + 3], 0.75f);
  run(one, zero, zero);  // the row below
  EXPECT_EQ(upper[kPad + 3], 0.25f);
  EXPECT_EQ(lower[kPad + 3], 0.0f);
}

TEST(ChromaUpsamplingStageTest, DeclaresGeometryModesAndNames) {
  auto h = MakeChromaUpsamplingStage(1, true);
  auto v = MakeChromaUpsamplingStage(1, false);
  ASSERT_NE(h, nullptr);
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(h->StageName(), "HChromaUps");
  EXPECT_STREQ(v->StageName(), "VChromaUps");
  const StageGeometry& gh = h->geometry();
  const StageGeometry& gv = v->geometry();
  EXPECT_EQ((std::vector<uint64_t>{gh.border_x, gh.border_y, gh.shift_x, gh.shift_y}),
            (std::vector<uint64_t>{1, 0, 1, 0}));
  EXPECT_EQ((std::vector<uint64_t>{gv.border_x, gv.border_y, gv.shift_x, gv.shift_y}),
            (std::vector<uint64_t>{0, 1, 0, 1}));
  for (RenderPipelineStage* stage : {h.get(), v.get()}) {
    for (size_t c : {0, 2, 3}) {
      EXPECT_EQ(stage->ChannelModeOf(c), RowChannelMode::kNotUsed) << c;
    }
    EXPECT_EQ(stage->ChannelModeOf(1), RowChannelMode::kSeparateOutput);
    EXPECT_TRUE(stage->SetUpForThreads(4).ok());
    EXPECT_FALSE(stage->UsesImageCoordinates());
  }
  // Rows missing for the stage's channel.
  ChannelRowSet none(1);
  EXPECT_FALSE(h->RenderRow(none, none, 0, 0, 4, 0, 0, 0).ok());
  EXPECT_FALSE(v->RenderRow(none, none, 0, 0, 4, 0, 0, 0).ok());
}

TEST(ChromaUpsamplingStageTest, ConstantRowStaysConstant) {
  std::vector<float> in(2 * kPad + 50, 1.0f), out(4 * kPad + 100, 0.0f);
  ChromaUpsampleHorizontalRow(in.data() + kPad, out.data() + 2 * kPad, 3, 5, 50);
  for (size_t o = 2 * kPad - 6; o < 2 * kPad + 110; ++o) ASSERT_EQ(out[o], 1.0f);
}

}  // namespace
}  // namespace qov
