// The upsampling stage against a direct computation of its weighted,
// clamped 5 x 5 sums (kernels derived here from the weight matrices, edges
// mirrored), the SIMD copies against the scalar reference, and the stage's
// refusals.
#include <gtest/gtest.h>
#include <hwy/highway.h>
#include <hwy/tests/hwy_gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <random>
#include <vector>

#include "lib/base/memory.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/frame/capture_pipeline_seam.h"
#include "lib/render/upsampling.h"
#include "lib/render/upsampling_stage.h"
#include "tests/render/render_test_kit_helpers.h"
#include "tests/render/resampling_test_helpers.h"

namespace qov {
namespace {

using test::TestPlane;

const float* WeightsFor(const CustomTransformData& w, size_t shift) {
  return shift == 1 ? w.upsampling2_weights
                    : shift == 2 ? w.upsampling4_weights : w.upsampling8_weights;
}

float DirectWeight(const float* list, size_t shift, size_t py, size_t px,
                   size_t ky, size_t kx) {
  return test::DirectUpsamplingWeight(list, shift, py, px, ky, kx);
}

// Runs the stage row by row over the whole plane with mirrored rows (what a
// pipeline supplies), rows padded generously on both sides.
TestPlane RenderWithStage(const RenderPipelineStage& stage, size_t channel,
                          const TestPlane& in, size_t shift) {
  const size_t n = size_t{1} << shift;
  const int64_t w = static_cast<int64_t>(in.xsize);
  const size_t in_stride = kRowLeadSamples + in.xsize + 40;
  const size_t out_stride = kRowLeadSamples + n * (in.xsize + 8) + 40;
  std::vector<std::vector<float>> window(5, std::vector<float>(in_stride));
  std::vector<std::vector<float>> outs(n, std::vector<float>(out_stride));
  ChannelRowSet input(channel + 1), output(channel + 1);
  for (size_t k = 0; k < 5; ++k) input[channel].push_back(window[k].data());
  for (size_t k = 0; k < n; ++k) output[channel].push_back(outs[k].data());
  TestPlane out(in.xsize * n, in.ysize * n);
  for (int64_t y = 0; y < static_cast<int64_t>(in.ysize); ++y) {
    for (int64_t k = 0; k < 5; ++k) {
      for (int64_t x = -2; x < w + 2; ++x) {
        window[k][kRowLeadSamples + x] = in.Mirrored(x, y + k - 2);
      }
    }
    EXPECT_TRUE(stage.RenderRow(input, output, 0, 0, in.xsize, 0, y, 0).ok());
    for (size_t py = 0; py < n; ++py) {
      for (size_t x = 0; x < in.xsize * n; ++x) {
        out.at(x, y * n + py) = outs[py][kRowLeadSamples + x];
      }
    }
  }
  return out;
}

CustomTransformData CustomWeights(uint32_t seed) {
  CustomTransformData w;
  std::mt19937 rng(seed);
  // Kernels that do not sum to 1: only the clamp keeps outputs in range.
  std::uniform_real_distribution<float> dist(-0.3f, 0.6f);
  for (float& v : w.upsampling2_weights) v = dist(rng);
  for (float& v : w.upsampling4_weights) v = dist(rng);
  for (float& v : w.upsampling8_weights) v = dist(rng);
  return w;
}

TEST(UpsamplingStageTest, DefaultKernelsSumToOne) {
  const CustomTransformData defaults;
  for (size_t shift = 1; shift <= 3; ++shift) {
    UpsamplingStage stage(HeapMemoryManager(), defaults, 0, shift);
    const size_t n = size_t{1} << shift;
    for (size_t phase = 0; phase < n * n; ++phase) {
      double sum = 0.0;
      for (size_t i = 0; i < 25; ++i) sum += stage.kernel()[phase * 25 + i];
      EXPECT_NEAR(sum, 1.0, 1e-5) << "shift " << shift << " phase " << phase;
    }
  }
  // kernel[3][1][0][4] of 4x is W[4][9].
  UpsamplingStage four(HeapMemoryManager(), defaults, 0, 2);
  EXPECT_EQ(four.kernel()[((3 * 4 + 1) * 5 + 0) * 5 + 4], -0.00191622f);
}

TEST(UpsamplingStageTest, KernelsMatchTheWeightMatrix) {
  const CustomTransformData weights = CustomWeights(5);
  for (size_t shift = 1; shift <= 3; ++shift) {
    UpsamplingStage stage(HeapMemoryManager(), weights, 0, shift);
    const size_t n = size_t{1} << shift;
    const float* list = WeightsFor(weights, shift);
    for (size_t py = 0; py < n; ++py) {
      for (size_t px = 0; px < n; ++px) {
        for (size_t ky = 0; ky < 5; ++ky) {
          for (size_t kx = 0; kx < 5; ++kx) {
            const float* k = stage.kernel() + (py * n + px) * 25;
            ASSERT_EQ(k[ky * 5 + kx], DirectWeight(list, shift, py, px, ky, kx));
            // Transposed phases have transposed kernels.
            const float* t = stage.kernel() + (px * n + py) * 25;
            ASSERT_EQ(k[ky * 5 + kx], t[kx * 5 + ky]);
          }
        }
      }
    }
  }
}

TEST(UpsamplingStageTest, EachFactorReadsItsOwnWeights) {
  CustomTransformData a;
  CustomTransformData b = a;
  for (float& v : b.upsampling2_weights) v = 0.5f;
  for (float& v : b.upsampling4_weights) v = 0.25f;
  UpsamplingStage eight_a(HeapMemoryManager(), a, 0, 3);
  UpsamplingStage eight_b(HeapMemoryManager(), b, 0, 3);
  EXPECT_TRUE(std::equal(eight_a.kernel(), eight_a.kernel() + 64 * 25,
                         eight_b.kernel()));
  UpsamplingStage two_b(HeapMemoryManager(), b, 0, 1);
  EXPECT_EQ(two_b.kernel()[0], 0.5f);
}

struct UpsampleCase {
  size_t shift;
  bool custom;
  size_t xsize, ysize;
};

class UpsamplingRowTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(UpsamplingRowTest);

// Every factor and kernel set, widths around the vector sizes and across a
// chunk boundary, against the direct computation.
TEST_P(UpsamplingRowTest, StageMatchesDirectComputation) {
  const UpsampleCase kCases[] = {
      {1, false, 1, 1},  {1, false, 7, 5},   {1, true, 9, 6},
      {2, false, 3, 4},  {2, true, 8, 3},    {3, false, 17, 3},
      {3, true, 5, 7},   {1, false, 1030, 3}, {3, true, 1025, 2},
      {2, false, 2, 9},
  };
  for (const UpsampleCase& c : kCases) {
    const CustomTransformData weights =
        c.custom ? CustomWeights(static_cast<uint32_t>(c.xsize)) : CustomTransformData();
    auto stage = MakeUpsamplingStage(HeapMemoryManager(), weights, 1, c.shift);
    ASSERT_NE(stage, nullptr);
    ASSERT_TRUE(stage->SetUpForThreads(1).ok());
    const TestPlane in = test::RandomTestPlane(c.xsize, c.ysize, 7 + c.shift);
    const TestPlane got = RenderWithStage(*stage, 1, in, c.shift);
    const TestPlane want = test::DirectUpsample(in, WeightsFor(weights, c.shift), c.shift);
    size_t bad = 0;
    for (size_t i = 0; i < want.samples.size(); ++i) {
      bad += !(std::fabs(got.samples[i] - want.samples[i]) <= 2e-6f);
    }
    EXPECT_EQ(bad, 0u) << "shift " << c.shift << " custom " << c.custom
                       << " width " << c.xsize;
  }
}

TEST_P(UpsamplingRowTest, MatchesScalarWithinTheWrittenRange) {
  const size_t kWidths[] = {1, 3, 4, 5, 7, 8, 9, 31, 1023, 1024, 1025, 2100};
  const CustomTransformData weights = CustomWeights(11);
  constexpr float kGuard = -12345.0f;
  std::vector<float> blocks[3];
  float* scratch[3];
  for (size_t s = 0; s < 3; ++s) {
    blocks[s].assign(kUpsampleScratchFloats, 0.0f);
    scratch[s] = blocks[s].data();
  }
  for (size_t shift = 1; shift <= 3; ++shift) {
    UpsamplingStage stage(HeapMemoryManager(), weights, 0, shift);
    const size_t n = size_t{1} << shift;
    for (size_t xsize : kWidths) {
      // Columns -2 .. xsize + 8 readable; only -2 .. xsize + 1 matter.
      const TestPlane in = test::RandomTestPlane(xsize + 16, 5, static_cast<uint32_t>(xsize));
      const float* rows[5];
      for (size_t k = 0; k < 5; ++k) rows[k] = &in.samples[k * in.xsize] + 2;
      const size_t written = n * ((xsize + 7) / 8 * 8);
      std::vector<std::vector<float>> ref(n), got(n);
      float* ref_rows[8];
      float* got_rows[8];
      for (size_t py = 0; py < n; ++py) {
        ref[py].assign(written + 64, kGuard);
        got[py].assign(written + 64, kGuard);
        ref_rows[py] = ref[py].data();
        got_rows[py] = got[py].data();
      }
      UpsampleRowScalar(stage.kernel(), shift, rows, ref_rows, xsize);
      UpsampleRow(stage.kernel(), shift, rows, got_rows, xsize, scratch);
      for (size_t py = 0; py < n; ++py) {
        for (size_t i = 0; i < n * xsize; ++i) {
          ASSERT_NEAR(got[py][i], ref[py][i], 2e-6f)
              << "shift " << shift << " width " << xsize << " row " << py
              << " sample " << i;
        }
        for (size_t i = written; i < got[py].size(); ++i) {
          ASSERT_EQ(got[py][i], kGuard) << "wrote past the vectors: shift "
                                        << shift << " width " << xsize;
        }
      }
    }
  }
}

TEST(UpsamplingStageTest, ConstantNeighbourhoodStaysExact) {
  const CustomTransformData weights = CustomWeights(3);
  for (size_t shift = 1; shift <= 3; ++shift) {
    auto stage = MakeUpsamplingStage(HeapMemoryManager(), weights, 0, shift);
    ASSERT_TRUE(stage->SetUpForThreads(2).ok());
    const TestPlane in(12, 6, 0.3f);
    const TestPlane out = RenderWithStage(*stage, 0, in, shift);
    for (float v : out.samples) ASSERT_EQ(v, 0.3f) << "shift " << shift;
  }
}

TEST(UpsamplingStageTest, DeclaresGeometryAndModes) {
  const CustomTransformData weights;
  EXPECT_EQ(MakeUpsamplingStage(HeapMemoryManager(), weights, 0, 0), nullptr);
  EXPECT_EQ(MakeUpsamplingStage(HeapMemoryManager(), weights, 0, 4), nullptr);
  auto stage = MakeUpsamplingStage(HeapMemoryManager(), weights, 2, 3);
  ASSERT_NE(stage, nullptr);
  EXPECT_STREQ(stage->StageName(), "Upsample");
  EXPECT_EQ(stage->geometry().border_x, 2u);
  EXPECT_EQ(stage->geometry().border_y, 2u);
  EXPECT_EQ(stage->geometry().shift_x, 3u);
  EXPECT_EQ(stage->geometry().shift_y, 3u);
  EXPECT_EQ(stage->ChannelModeOf(2), RowChannelMode::kSeparateOutput);
  EXPECT_EQ(stage->ChannelModeOf(0), RowChannelMode::kNotUsed);
  EXPECT_EQ(stage->ChannelModeOf(3), RowChannelMode::kNotUsed);
}

TEST(UpsamplingStageTest, RefusesExtrasAndMissingScratch) {
  auto stage = MakeUpsamplingStage(HeapMemoryManager(), CustomTransformData(), 0, 1);
  std::vector<float> in(64 + 32, 1.0f), out0(64 + 32, -1.0f), out1(64 + 32, -1.0f);
  ChannelRowSet input = {{in.data(), in.data(), in.data(), in.data(), in.data()}};
  ChannelRowSet output = {{out0.data(), out1.data()}};
  // No scratch yet.
  EXPECT_FALSE(stage->RenderRow(input, output, 0, 0, 8, 0, 0, 0).ok());
  ASSERT_TRUE(stage->SetUpForThreads(1).ok());
  EXPECT_FALSE(stage->RenderRow(input, output, 1, 0, 8, 0, 0, 0).ok());
  EXPECT_FALSE(stage->RenderRow(input, output, 0, 2, 8, 0, 0, 0).ok());
  EXPECT_FALSE(stage->RenderRow(input, output, 0, 0, 8, 0, 0, 1).ok());
  EXPECT_TRUE(stage->RenderRow(input, output, 0, 0, 0, 0, 0, 0).ok());
  for (float v : out0) ASSERT_EQ(v, -1.0f);  // nothing written so far
  EXPECT_TRUE(stage->RenderRow(input, output, 0, 0, 8, 0, 0, 0).ok());
  EXPECT_EQ(out0[32], 1.0f);
  EXPECT_EQ(out1[32 + 15], 1.0f);
  // Down to no threads: no scratch again.
  ASSERT_TRUE(stage->SetUpForThreads(0).ok());
  EXPECT_FALSE(stage->RenderRow(input, output, 0, 0, 8, 0, 0, 0).ok());
}

TEST(UpsamplingStageTest, ScratchAllocationFailureIsReported) {
  for (int64_t fail_at = 1; fail_at <= 6; ++fail_at) {
    test::FailingManager failing(fail_at);
    {
      auto stage = MakeUpsamplingStage(&failing.manager, CustomTransformData(), 0, 2);
      EXPECT_FALSE(stage->SetUpForThreads(2).ok()) << fail_at;
      // A later set-up with a working allocator recovers.
      failing.fail_at = 0;
      EXPECT_TRUE(stage->SetUpForThreads(2).ok()) << fail_at;
      EXPECT_EQ(failing.live.load(), 6);
    }
    EXPECT_EQ(failing.live.load(), 0) << fail_at;
  }
}

TEST(UpsamplingStageTest, FrameCodeGetsTheRealFactory) {
  // The frame decoding state makes its stand-alone 8x stage through the
  // frame's render header.
  auto stage = qov::MakeUpsamplingStage(HeapMemoryManager(), CustomTransformData(), 0, 3);
  ASSERT_NE(stage, nullptr);
  EXPECT_EQ(stage->geometry().shift_x, 3u);
}

}  // namespace
}  // namespace qov
