// Loop-filter stages: the row kernels against their scalar references on
// every compiled target (with guard zones), the stages in both pipelines
// against direct whole-image computations, and the per-block inverse sigma
// against hand-computed values.
#include <gtest/gtest.h>
#include <hwy/highway.h>
#include <hwy/tests/hwy_gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "lib/base/memory.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/render/epf_inverse_sigma.h"
#include "lib/render/loop_filter_kernels.h"
#include "lib/render/loop_filter_stages.h"
#include "lib/render/render_pipeline.h"
#include "lib/vardct/varblock.h"
#include "tests/render/render_test_kit_helpers.h"

namespace qov {
namespace {

using test::CaptureStage;
using test::TestPlane;

constexpr float kGuard = -12345.0f;
constexpr size_t kLead = 32;

// A row with kLead samples of room on either side; column 0 at index kLead.
struct Row {
  std::vector<float> v;
  explicit Row(size_t n, float fill = kGuard) : v(n + 2 * kLead, fill) {}
  float* at0() { return v.data() + kLead; }
};

bool SameOrClose(float a, float b, bool exact) {
  if (exact) return std::memcmp(&a, &b, sizeof(a)) == 0;
  return std::fabs(a - b) <= 1e-5f * std::max(1.0f, std::fabs(b));
}

// The three targets differ only where the target fuses multiply-adds.
bool TargetFuses(uint32_t target) { return target == HWY_AVX2; }

class LoopFilterKernelTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(LoopFilterKernelTest);

TEST_P(LoopFilterKernelTest, GaborishMatchesScalarWithinGuards) {
  const bool exact = !TargetFuses(GetParam());
  const GaborishWeights w = MakeGaborishWeights(0.115169525f, 0.061248593f);
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  struct Span {
    size_t extra_left, end;
  };
  for (const Span span : {Span{0, 1}, Span{0, 8}, Span{1, 13}, Span{5, 100},
                          Span{8, 31}, Span{3, 0}}) {
    const size_t n = span.end + 16;
    std::vector<Row> in(3, Row(n));
    for (Row& r : in) {
      for (float& s : r.v) s = dist(rng);
    }
    const float* rows[3] = {in[0].at0(), in[1].at0(), in[2].at0()};
    Row simd(n), scalar(n);
    GaborishRow(w, rows, simd.at0(), span.extra_left, span.end);
    GaborishRowScalar(w, rows, scalar.at0(), span.extra_left, span.end);
    for (ptrdiff_t x = -static_cast<ptrdiff_t>(kLead);
         x < static_cast<ptrdiff_t>(n + kLead); ++x) {
      const float got = simd.at0()[x];
      const bool inside = x >= -static_cast<ptrdiff_t>(span.extra_left) &&
                          x < static_cast<ptrdiff_t>(span.end);
      const bool overrun = x >= -static_cast<ptrdiff_t>(span.extra_left) - 7 &&
                           x < static_cast<ptrdiff_t>(span.end) + 7;
      if (inside) {
        EXPECT_TRUE(SameOrClose(got, scalar.at0()[x], exact))
            << "x " << x << ": " << got << " vs " << scalar.at0()[x];
        EXPECT_EQ(scalar.at0()[x] == kGuard, false);
      } else {
        EXPECT_EQ(scalar.at0()[x], kGuard) << "scalar wrote x " << x;
        if (!overrun) {
          EXPECT_EQ(got, kGuard) << "SIMD wrote x " << x;
        }
      }
    }
  }
}

// Rows of smooth data with a sharp edge and fine noise, so that weights
// cover the whole range from 1 to clamped.
std::vector<Row> EpfRows(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
  std::vector<Row> rows(21, Row(n));
  for (size_t c = 0; c < 3; ++c) {
    const float amplitude = c == 0 ? 0.003f : 0.03f;
    for (size_t r = 0; r < 7; ++r) {
      std::vector<float>& v = rows[c * 7 + r].v;
      for (size_t i = 0; i < v.size(); ++i) {
        const float edge = i % 29 < 11 ? 0.4f : 0.0f;
        v[i] = 0.2f + 0.001f * static_cast<float>(i) + edge * (c == 1) +
               amplitude * noise(rng);
      }
    }
  }
  return rows;
}

TEST_P(LoopFilterKernelTest, EpfMatchesScalarWithinGuards) {
  const bool exact = !TargetFuses(GetParam());
  struct Span {
    size_t xpos, extra_left, end;
    bool edge_row;
  };
  for (int step = 0; step < 3; ++step) {
    for (const Span span : {Span{0, 0, 61, false}, Span{8, 3, 40, true},
                            Span{64, 12, 77, false}, Span{16, 16, 8, false}}) {
      const size_t n = span.end + 16;
      std::vector<Row> in = EpfRows(n, 11 + step);
      // Blocks alternate between strong, weak and skipped smoothing.
      std::vector<float> sigma(64);
      for (size_t i = 0; i < sigma.size(); ++i) {
        sigma[i] = i % 4 == 0 ? -5.0f : i % 4 == 1 ? -0.6f : i % 4 == 2 ? -1.17f : -3.0f;
      }
      EpfRowArgs args;
      const float* rows[3][7];
      std::vector<Row> simd(3, Row(n)), scalar(3, Row(n));
      for (size_t c = 0; c < 3; ++c) {
        for (size_t r = 0; r < 7; ++r) rows[c][r] = in[c * 7 + r].at0();
        // Steps with a smaller border take the middle rows.
        args.rows[c] = rows[c] + step;
        args.channel_weights[c] = (c == 0 ? 40.0f : c == 1 ? 5.0f : 3.5f);
      }
      args.sigma_row = sigma.data();
      args.xpos = span.xpos;
      args.extra_left = span.extra_left;
      args.end = span.end;
      for (size_t i = 0; i < 8; ++i) {
        args.multipliers[i] = span.edge_row || i == 0 || i == 7 ? 1.1f : 1.65f;
      }
      for (size_t c = 0; c < 3; ++c) args.out[c] = simd[c].at0();
      EpfRow(step, args);
      for (size_t c = 0; c < 3; ++c) args.out[c] = scalar[c].at0();
      EpfRowScalar(step, args);
      for (size_t c = 0; c < 3; ++c) {
        for (ptrdiff_t x = -static_cast<ptrdiff_t>(kLead);
             x < static_cast<ptrdiff_t>(n + kLead); ++x) {
          const float got = simd[c].at0()[x];
          const ptrdiff_t lo = -static_cast<ptrdiff_t>(span.extra_left);
          const ptrdiff_t hi = static_cast<ptrdiff_t>(span.end);
          if (x >= lo && x < hi) {
            EXPECT_TRUE(SameOrClose(got, scalar[c].at0()[x], exact))
                << "step " << step << " c " << c << " x " << x << ": " << got
                << " vs " << scalar[c].at0()[x];
          } else {
            EXPECT_EQ(scalar[c].at0()[x], kGuard);
            if (x < lo - 7 || x >= hi + 7) {
              EXPECT_EQ(got, kGuard) << "step " << step << " wrote x " << x;
            }
          }
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Stage parameters and factories.

TEST(LoopFilterStagesTest, FactoriesAndDefaultParameters) {
  LoopFilter filter;
  EXPECT_FLOAT_EQ(filter.gab_w1[0], 0.115169525f);  // defaults in place
  auto gab = MakeGaborishStage(filter);
  ASSERT_NE(gab, nullptr);
  EXPECT_STREQ(gab->StageName(), "Gab");
  EXPECT_EQ(gab->geometry().border_x, 1u);
  EXPECT_EQ(gab->geometry().border_y, 1u);
  const auto& w = static_cast<GaborishStage*>(gab.get())->weights(1);
  EXPECT_EQ(w.centre, 0.58627903f);
  EXPECT_EQ(w.direct, 0.067521475f);
  EXPECT_EQ(w.diagonal, 0.035908766f);
  EXPECT_EQ(gab->ChannelModeOf(2), RowChannelMode::kSeparateOutput);
  EXPECT_EQ(gab->ChannelModeOf(3), RowChannelMode::kNotUsed);

  struct Expected {
    const char* name;
    uint64_t border;
    float interior, edge;
  };
  const Expected expected[3] = {{"EPF0", 3, 1.485f, 0.99f},
                                {"EPF1", 2, 1.65f, 1.1f},
                                {"EPF2", 1, 10.725f, 7.1500006f}};
  PlaneF sigma;
  for (int step = 0; step < 3; ++step) {
    auto stage = MakeEpfStage(filter, &sigma, step);
    ASSERT_NE(stage, nullptr);
    const auto* epf = static_cast<EpfStage*>(stage.get());
    EXPECT_STREQ(stage->StageName(), expected[step].name);
    EXPECT_EQ(stage->geometry().border_x, expected[step].border);
    EXPECT_EQ(stage->geometry().border_y, expected[step].border);
    EXPECT_FLOAT_EQ(epf->interior_multiplier(), expected[step].interior);
    EXPECT_FLOAT_EQ(epf->edge_multiplier(), expected[step].edge);
    EXPECT_EQ(stage->ChannelModeOf(0), RowChannelMode::kSeparateOutput);
    EXPECT_EQ(stage->ChannelModeOf(3), RowChannelMode::kNotUsed);
  }
  EXPECT_EQ(MakeEpfStage(filter, &sigma, 3), nullptr);
  EXPECT_EQ(MakeEpfStage(filter, &sigma, -1), nullptr);
  EXPECT_EQ(MakeEpfStage(filter, sigma, size_t{3}), nullptr);
  auto by_reference = MakeEpfStage(filter, sigma, size_t{2});
  ASSERT_NE(by_reference, nullptr);
  EXPECT_STREQ(by_reference->StageName(), "EPF2");
  filter.epf_iters = 0;
  EXPECT_EQ(MakeEpfStage(filter, &sigma, 1), nullptr);
  filter.gab = false;
  EXPECT_EQ(MakeGaborishStage(filter), nullptr);
}

// Zero custom weights turn Gaborish into an exact copy.
TEST(LoopFilterStagesTest, ZeroGaborishWeightsCopy) {
  const GaborishWeights w = MakeGaborishWeights(0.0f, 0.0f);
  EXPECT_EQ(w.centre, 1.0f);
  EXPECT_EQ(w.direct, 0.0f);
  EXPECT_EQ(w.diagonal, 0.0f);
}

// Rows that would read past the inverse-sigma image, or a misaligned xpos,
// are refused instead of read.
TEST(LoopFilterStagesTest, EpfRowRefusesReadsOutsideSigmaImage) {
  auto sigma = PlaneF::Create(HeapMemoryManager(), 4 + 4, 2 + 4);  // 32 x 16
  ASSERT_TRUE(sigma.ok());
  PlaneF plane = std::move(sigma).value();
  for (size_t y = 0; y < plane.ysize(); ++y) {
    std::fill(plane.Row(y), plane.Row(y) + plane.xsize(), -1.0f);
  }
  LoopFilter filter;
  auto stage = MakeEpfStage(filter, &plane, 2);
  std::vector<std::vector<float>> storage(6, std::vector<float>(128, 0.5f));
  ChannelRowSet in(3), out(3);
  for (size_t c = 0; c < 3; ++c) {
    for (size_t r = 0; r < 3; ++r) in[c].push_back(storage[c].data());
    out[c].push_back(storage[3 + c].data());
  }
  struct Case {
    size_t extra_left, extra_right, xsize, xpos, ypos;
    bool ok;
  };
  const Case cases[] = {
      {0, 0, 32, 0, 15, true},   // the whole frame's last row
      {0, 0, 8, 24, 0, true},    // last block; overrun reads the ring
      {0, 0, 32, 0, 32, false},  // a block row below the image
      {0, 0, 56, 0, 0, false},   // columns past the image
      {0, 0, 8, 4, 0, false},    // xpos not a multiple of 8
      {30, 0, 8, 8, 0, false},   // extras reaching before the image
  };
  for (const Case& c : cases) {
    EXPECT_EQ(stage->RenderRow(in, out, c.extra_left, c.extra_right, c.xsize,
                               c.xpos, c.ypos, 0)
                  .ok(),
              c.ok)
        << c.xpos << " " << c.ypos << " " << c.xsize;
  }
}

// ---------------------------------------------------------------------------
// The stages in both pipelines against direct computations.

// Channels 0 to 2 filtered, channel 3 passed along.
constexpr size_t kChannels = 4;

std::vector<TestPlane> FilterInputs(uint64_t w, uint64_t h, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
  std::vector<TestPlane> planes;
  for (size_t c = 0; c < kChannels; ++c) {
    TestPlane p(w, h);
    const float amplitude = c == 0 ? 0.004f : 0.04f;
    for (uint64_t y = 0; y < h; ++y) {
      for (uint64_t x = 0; x < w; ++x) {
        // A diagonal edge, a gradient and noise.
        const float edge = (x + 2 * y) % 97 < 40 ? 0.3f : 0.0f;
        p.at(x, y) = 0.1f + 0.002f * static_cast<float>(x % 50) + edge +
                     amplitude * noise(rng);
      }
    }
    planes.push_back(std::move(p));
  }
  return planes;
}

// 3 x 3 convolution of channels 0 to 2 with the normalised kernel of the
// frame's weights, mirrored at the frame edges.
std::vector<TestPlane> DirectGaborish(const std::vector<TestPlane>& in,
                                      const LoopFilter& filter) {
  std::vector<TestPlane> out = in;
  for (size_t c = 0; c < 3; ++c) {
    const double w1 = filter.gab_w1[c], w2 = filter.gab_w2[c];
    const double norm = 1.0 + 4.0 * (w1 + w2);
    const double kernel[3][3] = {{w2 / norm, w1 / norm, w2 / norm},
                                 {w1 / norm, 1.0 / norm, w1 / norm},
                                 {w2 / norm, w1 / norm, w2 / norm}};
    const TestPlane& p = in[c];
    for (int64_t y = 0; y < static_cast<int64_t>(p.ysize); ++y) {
      for (int64_t x = 0; x < static_cast<int64_t>(p.xsize); ++x) {
        double sum = 0.0;
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dx = -1; dx <= 1; ++dx) {
            sum += kernel[dy + 1][dx + 1] * p.Mirrored(x + dx, y + dy);
          }
        }
        out[c].at(x, y) = static_cast<float>(sum);
      }
    }
  }
  return out;
}

// One filter step on whole channels, computed sample by sample from the
// description: weights max(0, 1 + distance x K x multiplier), the centre
// weighted 1, blocks with K below the limit copied.
std::vector<TestPlane> DirectEpf(int step, const std::vector<TestPlane>& in,
                                 const PlaneF& sigma, const LoopFilter& f) {
  float interior = 1.65f;
  if (step == 0) {
    interior = static_cast<float>(double{f.epf_pass0_sigma_scale} * 1.65);
  } else if (step == 2) {
    interior = static_cast<float>(double{f.epf_pass2_sigma_scale} * 1.65);
  }
  const float edge = f.epf_border_sad_mul * interior;
  struct Offset {
    int dy, dx;
  };
  std::vector<Offset> neighbours;
  for (int dy = -2; dy <= 2; ++dy) {
    for (int dx = -2; dx <= 2; ++dx) {
      const int d = std::abs(dy) + std::abs(dx);
      if (step == 0 ? (d == 1 || d == 2) : d == 1) neighbours.push_back({dy, dx});
    }
  }
  const Offset plus[5] = {{0, 0}, {0, -1}, {0, 1}, {-1, 0}, {1, 0}};
  std::vector<TestPlane> out = in;
  const int64_t w = static_cast<int64_t>(in[0].xsize);
  const int64_t h = static_cast<int64_t>(in[0].ysize);
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      const float k = sigma.ConstRow(y / 8 + 2)[x / 8 + 2];
      if (k < -3.905243f) continue;  // copied
      const bool on_edge = y % 8 == 0 || y % 8 == 7 || x % 8 == 0 || x % 8 == 7;
      const float km = k * (on_edge ? edge : interior);
      float sums[3], weight_sum = 1.0f;
      for (size_t c = 0; c < 3; ++c) sums[c] = in[c].at(x, y);
      for (const Offset& n : neighbours) {
        float distance = 0.0f;
        for (size_t c = 0; c < 3; ++c) {
          float dc = 0.0f;
          for (const Offset& p : plus) {
            if (step == 2 && (p.dy != 0 || p.dx != 0)) continue;
            dc += std::fabs(in[c].Mirrored(x + p.dx, y + p.dy) -
                            in[c].Mirrored(x + n.dx + p.dx, y + n.dy + p.dy));
          }
          distance += f.epf_channel_scale[c] * dc;
        }
        const float weight = std::max(0.0f, distance * km + 1.0f);
        for (size_t c = 0; c < 3; ++c) {
          sums[c] += weight * in[c].Mirrored(x + n.dx, y + n.dy);
        }
        weight_sum += weight;
      }
      for (size_t c = 0; c < 3; ++c) out[c].at(x, y) = sums[c] / weight_sum;
    }
  }
  return out;
}

// Renders `inputs` through the stages and a capture; empty on failure.
std::vector<TestPlane> RenderThrough(
    bool simple, std::vector<std::unique_ptr<RenderPipelineStage>> stages,
    const std::vector<TestPlane>& inputs, uint64_t w, uint64_t h) {
  RenderPipelineAssembler assembler(HeapMemoryManager(), kChannels, simple);
  for (auto& stage : stages) {
    if (!assembler.Append(std::move(stage)).ok()) return {};
  }
  auto capture = std::make_unique<CaptureStage>(kChannels);
  CaptureStage* captured = capture.get();
  if (!assembler.Append(std::move(capture)).ok()) return {};
  auto assembled = assembler.Assemble(test::MakeTestGeometry(w, h, 1, 0));
  if (!assembled.ok()) return {};
  std::unique_ptr<RenderPipeline> pipeline = std::move(assembled).value();
  if (!pipeline->SetUpThreads(1, false).ok()) return {};
  std::vector<uint64_t> order;  // groups in reverse order
  for (uint64_t g = pipeline->frame_geometry.num_groups; g-- > 0;) {
    order.push_back(g);
  }
  if (!test::FeedGroups(pipeline.get(), inputs, order).ok()) return {};
  EXPECT_TRUE(captured->AllWrittenOnce());
  return captured->planes;
}

void ExpectClose(const std::vector<TestPlane>& got,
                 const std::vector<TestPlane>& want, float tolerance,
                 const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t c = 0; c < want.size(); ++c) {
    ASSERT_EQ(got[c].xsize, want[c].xsize) << what;
    ASSERT_EQ(got[c].ysize, want[c].ysize) << what;
    size_t bad = 0;
    for (size_t i = 0; i < want[c].samples.size(); ++i) {
      if (!(std::fabs(got[c].samples[i] - want[c].samples[i]) <= tolerance)) {
        if (bad++ < 3) {
          ADD_FAILURE() << what << " c " << c << " at " << i % want[c].xsize
                        << "," << i / want[c].xsize << ": "
                        << got[c].samples[i] << " vs " << want[c].samples[i];
        }
      }
    }
    EXPECT_EQ(bad, 0u) << what << " channel " << c;
  }
}

void ExpectIdentical(const std::vector<TestPlane>& a,
                     const std::vector<TestPlane>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t c = 0; c < a.size(); ++c) {
    ASSERT_EQ(a[c].samples.size(), b[c].samples.size());
    EXPECT_EQ(std::memcmp(a[c].samples.data(), b[c].samples.data(),
                          a[c].samples.size() * sizeof(float)),
              0)
        << "channel " << c;
  }
}

TEST(LoopFilterPipelineTest, GaborishIsTheFramesConvolution) {
  const uint64_t w = 301, h = 270;
  LoopFilter filter;
  filter.gab_custom = true;
  const float w1[3] = {0.115169525f, 0.2f, 0.0f};
  const float w2[3] = {0.061248593f, -0.03f, 0.0f};
  for (size_t c = 0; c < 3; ++c) {
    filter.gab_w1[c] = w1[c];
    filter.gab_w2[c] = w2[c];
  }
  const auto inputs = FilterInputs(w, h, 3);
  const auto want = DirectGaborish(inputs, filter);
  std::vector<TestPlane> results[2];
  for (bool simple : {true, false}) {
    std::vector<std::unique_ptr<RenderPipelineStage>> stages;
    stages.push_back(MakeGaborishStage(filter));
    results[simple] = RenderThrough(simple, std::move(stages), inputs, w, h);
    ExpectClose(results[simple], want, 2e-6f, simple ? "simple" : "low-memory");
  }
  ExpectIdentical(results[0], results[1]);
  // Channel 3 passes untouched; channel 2 (zero weights) is copied.
  ExpectIdentical({results[1][3], results[1][2]}, {inputs[3], inputs[2]});
}

// An inverse-sigma image for a w x h frame: blocks cycle through skipped,
// weak, modular-default and strong smoothing; the margins get values too.
PlaneF MakeSigma(uint64_t w, uint64_t h) {
  const uint64_t bx = (w + 7) / 8, by = (h + 7) / 8;
  auto created = PlaneF::Create(HeapMemoryManager(), bx + 4, by + 4);
  EXPECT_TRUE(created.ok());
  PlaneF plane = std::move(created).value();
  const float values[5] = {-4.0f, -2.5f, -1.1715729f, -0.4f, -3.905243f};
  for (uint64_t y = 0; y < by + 4; ++y) {
    for (uint64_t x = 0; x < bx + 4; ++x) {
      plane.Row(y)[x] = values[(x * 3 + y) % 5];
    }
  }
  return plane;
}

TEST(LoopFilterPipelineTest, EpfStepsMatchDirectComputation) {
  const uint64_t w = 300, h = 263;
  const PlaneF sigma = MakeSigma(w, h);
  LoopFilter filter;
  const auto inputs = FilterInputs(w, h, 7);
  for (int step = 0; step < 3; ++step) {
    const auto want = DirectEpf(step, inputs, sigma, filter);
    std::vector<TestPlane> results[2];
    for (bool simple : {true, false}) {
      std::vector<std::unique_ptr<RenderPipelineStage>> stages;
      stages.push_back(MakeEpfStage(filter, &sigma, step));
      results[simple] = RenderThrough(simple, std::move(stages), inputs, w, h);
      ExpectClose(results[simple], want, 1e-5f,
                  std::string(simple ? "simple" : "low-memory") + " step " +
                      std::to_string(step));
    }
    ExpectIdentical(results[0], results[1]);
  }
}

// The full chain of a frame with 3 steps: Gaborish, EPF0, EPF1, EPF2.
TEST(LoopFilterPipelineTest, FullChainMatchesAndPipelinesAgree) {
  const uint64_t w = 270, h = 300;
  const PlaneF sigma = MakeSigma(w, h);
  LoopFilter filter;
  filter.epf_iters = 3;
  filter.epf_channel_scale[0] = 30.0f;  // custom weights reach the distance
  const auto inputs = FilterInputs(w, h, 9);
  std::vector<TestPlane> want = DirectGaborish(inputs, filter);
  for (int step = 0; step < 3; ++step) {
    want = DirectEpf(step, want, sigma, filter);
  }
  std::vector<TestPlane> results[2];
  for (bool simple : {true, false}) {
    std::vector<std::unique_ptr<RenderPipelineStage>> stages;
    stages.push_back(MakeGaborishStage(filter));
    for (int step = 0; step < 3; ++step) {
      stages.push_back(MakeEpfStage(filter, &sigma, step));
    }
    results[simple] = RenderThrough(simple, std::move(stages), inputs, w, h);
    ExpectClose(results[simple], want, 2e-5f, simple ? "simple" : "low-memory");
  }
  ExpectIdentical(results[0], results[1]);
}

// Single-row cases of one step, against values known without the filter:
// flat input is kept, far neighbours leave the centre, skipped blocks copy.
TEST(LoopFilterPipelineTest, EpfLimitCases) {
  const uint64_t w = 40, h = 24;
  LoopFilter filter;
  struct Case {
    const char* name;
    float k;
    bool flat;
  };
  const Case cases[] = {{"flat area is kept", -1.1715729f, true},
                        {"skipped block at an edge", -3.9053f, false},
                        {"far neighbours weigh 0", -3.9f, false}};
  for (const Case& c : cases) {
    auto created = PlaneF::Create(HeapMemoryManager(), 9, 7);
    ASSERT_TRUE(created.ok());
    PlaneF sigma = std::move(created).value();
    for (size_t y = 0; y < 7; ++y) std::fill(sigma.Row(y), sigma.Row(y) + 9, c.k);
    std::vector<TestPlane> inputs(kChannels, TestPlane(w, h, 0.25f));
    if (!c.flat) {
      // A checkerboard of 0 and 1 in channel 0: every distance is large.
      for (uint64_t y = 0; y < h; ++y) {
        for (uint64_t x = 0; x < w; ++x) inputs[0].at(x, y) = (x + y) % 2;
      }
    }
    for (int step = 0; step < 3; ++step) {
      std::vector<std::unique_ptr<RenderPipelineStage>> stages;
      stages.push_back(MakeEpfStage(filter, &sigma, step));
      const auto got = RenderThrough(false, std::move(stages), inputs, w, h);
      ASSERT_EQ(got.size(), kChannels);
      if (c.flat) {
        ExpectClose(got, inputs, 1e-7f, c.name);
      } else {
        ExpectIdentical(got, inputs);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Inverse sigma per block.

struct SigmaFixture {
  explicit SigmaFixture(uint64_t bx, uint64_t by)
      : state(HeapMemoryManager()), xblocks(bx), yblocks(by) {
    const QovMemoryManagerStruct* m = HeapMemoryManager();
    state.frame_geometry.xsize_blocks = bx;
    state.frame_geometry.ysize_blocks = by;
    state.varblock_kinds = CreateBytePlane(m, bx, by).value();
    state.raw_quant_field = PlaneI32::Create(m, bx, by).value();
    state.epf_sharpness = PlaneU8::Create(m, bx, by).value();
    state.epf_inverse_sigma = PlaneF::Create(m, bx + 4, by + 4).value();
    for (uint64_t y = 0; y < by + 4; ++y) {
      std::fill(state.epf_inverse_sigma.Row(y),
                state.epf_inverse_sigma.Row(y) + bx + 4, kUnset);
    }
    for (uint64_t y = 0; y < by; ++y) {
      for (uint64_t x = 0; x < bx; ++x) {
        state.varblock_kinds.Row(y)[x] = 0xFF;
        state.raw_quant_field.Row(y)[x] = 2;
        state.epf_sharpness.Row(y)[x] = 7;
      }
    }
    state.quantizer.global_scale_fraction = 0.015625f;  // 1024 / 65536
    filter.epf_iters = 1;
    filter.epf_quant_mul = 0.5f;
    const float lut[8] = {0.0f, 0.125f, 0.25f, 0.375f, 0.5f, 0.625f, 0.75f, 1.0f};
    std::copy(lut, lut + 8, filter.epf_sharp_lut);
  }
  // Places a varblock of `kind` at block (x, y).
  void Place(uint64_t x, uint64_t y, size_t kind) {
    const auto k = static_cast<VarBlockKind>(kind);
    for (uint64_t iy = 0; iy < CoveredBlocksY(k); ++iy) {
      for (uint64_t ix = 0; ix < CoveredBlocksX(k); ++ix) {
        state.varblock_kinds.Row(y + iy)[x + ix] =
            static_cast<uint8_t>(kind << 1 | (ix == 0 && iy == 0));
      }
    }
  }
  // Block (x, y) of the frame, from -2.
  float At(int64_t x, int64_t y) const {
    return state.epf_inverse_sigma.ConstRow(y + 2)[x + 2];
  }
  Status Fill(PixelRect rect) { return FillEpfInverseSigma(filter, rect, &state); }
  PixelRect Whole() const { return PixelRect{0, 0, xblocks, yblocks}; }

  static constexpr float kUnset = 123.0f;
  FrameDecodingState state;
  LoopFilter filter;
  uint64_t xblocks, yblocks;
};

// With quant 2 and global scale 1024: quant x scale / 65536 = 1/32, so
// q = 0.5 / (-1.1715729 / 32) = -13.656854 and 1 / (lut x q) =
// -0.07322330 / lut.
constexpr float kInverseForLutOne = -0.07322330f;

TEST(EpfInverseSigmaTest, SingleBlockFrameFillsItsRing) {
  SigmaFixture f(1, 1);
  f.Place(0, 0, 0);
  ASSERT_TRUE(f.Fill(f.Whole()).ok());
  for (int64_t y = -1; y <= 1; ++y) {
    for (int64_t x = -1; x <= 1; ++x) {
      EXPECT_NEAR(f.At(x, y), kInverseForLutOne, 1e-7f) << x << "," << y;
    }
  }
  // The outermost ring is never written.
  EXPECT_EQ(f.At(-2, -2), SigmaFixture::kUnset);
  EXPECT_EQ(f.At(2, 0), SigmaFixture::kUnset);
}

TEST(EpfInverseSigmaTest, VarblockSharesQuantButNotSharpness) {
  SigmaFixture f(6, 5);
  for (uint64_t y = 0; y < 5; ++y) {
    for (uint64_t x = 0; x < 6; ++x) f.Place(x, y, 0);
  }
  f.Place(1, 1, 5);  // 32 x 32: blocks 1..4 of rows 1..4
  for (uint64_t iy = 0; iy < 4; ++iy) {
    for (uint64_t ix = 0; ix < 4; ++ix) {
      f.state.epf_sharpness.Row(1 + iy)[1 + ix] = static_cast<uint8_t>((ix + iy) % 8);
      // Only the top-left block's quant counts.
      f.state.raw_quant_field.Row(1 + iy)[1 + ix] = ix + iy == 0 ? 4 : 99;
    }
  }
  ASSERT_TRUE(f.Fill(f.Whole()).ok());
  const float lut[8] = {0.0f, 0.125f, 0.25f, 0.375f, 0.5f, 0.625f, 0.75f, 1.0f};
  for (uint64_t iy = 0; iy < 4; ++iy) {
    for (uint64_t ix = 0; ix < 4; ++ix) {
      const float l = lut[(ix + iy) % 8];
      // Quant 4 halves q; lut 0 is raised to the sigma limit.
      const float want = l == 0.0f ? -10000.0f : 2.0f * kInverseForLutOne / l;
      EXPECT_NEAR(f.At(1 + ix, 1 + iy), want, std::fabs(want) * 2e-6f)
          << ix << "," << iy;
    }
  }
  // The bottom row of the varblock reaches the frame edge: mirrored below.
  for (int64_t x = 1; x <= 4; ++x) EXPECT_EQ(f.At(x, 5), f.At(x, 4));
  // Neighbouring 8 x 8 blocks keep their own values.
  EXPECT_NEAR(f.At(0, 0), kInverseForLutOne, 1e-7f);
  EXPECT_NEAR(f.At(5, 4), kInverseForLutOne, 1e-7f);
  // The right column mirrors into the ring, the corner through the row copy.
  EXPECT_EQ(f.At(6, 4), f.At(5, 4));
  EXPECT_EQ(f.At(6, 5), f.At(5, 4));
  EXPECT_EQ(f.At(-1, -1), f.At(0, 0));
}

TEST(EpfInverseSigmaTest, RectangleLimitsTheWork) {
  SigmaFixture f(4, 4);
  for (uint64_t y = 0; y < 4; ++y) {
    for (uint64_t x = 0; x < 4; ++x) f.Place(x, y, 0);
  }
  ASSERT_TRUE(f.Fill(PixelRect{2, 0, 2, 2}).ok());
  EXPECT_EQ(f.At(1, 0), SigmaFixture::kUnset);
  EXPECT_EQ(f.At(2, 2), SigmaFixture::kUnset);
  EXPECT_NEAR(f.At(3, 1), kInverseForLutOne, 1e-7f);
  EXPECT_EQ(f.At(4, -1), f.At(3, 0));  // corner of the ring
  EXPECT_EQ(f.At(-1, 0), SigmaFixture::kUnset);
  EXPECT_TRUE(f.Fill(PixelRect{1, 1, 0, 0}).ok());  // empty
}

// Bad calls fail and write nothing they should not.
TEST(EpfInverseSigmaTest, RefusedCalls) {
  struct Case {
    const char* name;
    void (*spoil)(SigmaFixture&);
    PixelRect rect;
  };
  const Case cases[] = {
      {"no steps", [](SigmaFixture& f) { f.filter.epf_iters = 0; }, {0, 0, 3, 3}},
      {"rectangle past the frame", [](SigmaFixture&) {}, {2, 0, 2, 3}},
      {"sharpness above 7",
       [](SigmaFixture& f) { f.state.epf_sharpness.Row(1)[1] = 8; }, {0, 0, 3, 3}},
      {"block never placed",
       [](SigmaFixture& f) { f.state.varblock_kinds.Row(2)[2] = 0xFF; }, {0, 0, 3, 3}},
      {"varblock past the frame",
       [](SigmaFixture& f) { f.state.varblock_kinds.Row(2)[2] = 5 << 1 | 1; },
       {0, 0, 3, 3}},
      {"sigma image too small",
       [](SigmaFixture& f) {
         f.state.epf_inverse_sigma = PlaneF::Create(HeapMemoryManager(), 3, 3).value();
       },
       {0, 0, 3, 3}},
  };
  for (const Case& c : cases) {
    SigmaFixture f(3, 3);
    for (uint64_t y = 0; y < 3; ++y) {
      for (uint64_t x = 0; x < 3; ++x) f.Place(x, y, 0);
    }
    c.spoil(f);
    EXPECT_FALSE(f.Fill(c.rect).ok()) << c.name;
  }
  SigmaFixture f(3, 3);
  f.filter.epf_iters = 0;
  EXPECT_FALSE(f.Fill(f.Whole()).ok());
  EXPECT_EQ(f.At(0, 0), SigmaFixture::kUnset);
}

}  // namespace
}  // namespace qov
