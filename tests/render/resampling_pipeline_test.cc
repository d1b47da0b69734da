// The resampling and spot-colour stages rendered through the whole-frame
// and the low-memory pipeline, against the direct whole-plane computation
// and against each other (bit for bit).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/base/memory.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/render/chroma_upsampling_stage.h"
#include "lib/render/render_pipeline.h"
#include "lib/render/spot_color_stage.h"
#include "lib/render/upsampling_stage.h"
#include "tests/render/render_test_kit_helpers.h"
#include "tests/render/resampling_test_helpers.h"

namespace qov {
namespace {

using test::TestPlane;

enum class Op { kUpsample, kHorizontal, kVertical, kSpot, kBox, kAdd };

struct Step {
  Op op;
  std::vector<size_t> channels;  // one for the resampling stages
  size_t param = 0;              // shift; box border; spot extra channel
  float value = 0.0f;            // added constant
};

struct Case {
  const char* name;
  size_t channels;
  uint64_t xsize, ysize, upsampling;
  std::vector<Step> steps;
  // The low-memory pipeline refuses the stage list (see where the case is
  // listed); the whole-frame pipeline must still render it.
  bool low_memory_refuses = false;
};

const float kSpotColour[4] = {0.9f, 0.1f, -0.2f, 0.8f};

CustomTransformData Weights() {
  CustomTransformData w;
  // Custom 2x weights; defaults for 4x and 8x.
  for (size_t i = 0; i < kUpsampling2WeightCount; ++i) {
    w.upsampling2_weights[i] = 0.05f * static_cast<float>(i % 7) - 0.08f;
  }
  return w;
}

std::unique_ptr<RenderPipelineStage> MakeStage(const Step& s) {
  switch (s.op) {
    case Op::kUpsample:
      return MakeUpsamplingStage(HeapMemoryManager(), Weights(), s.channels[0],
                                 s.param);
    case Op::kHorizontal:
      return MakeChromaUpsamplingStage(s.channels[0], true);
    case Op::kVertical:
      return MakeChromaUpsamplingStage(s.channels[0], false);
    case Op::kSpot:
      return MakeSpotColorStage(s.param, kSpotColour);
    case Op::kBox:
    case Op::kAdd: {
      test::MockStageDef def;
      def.kind = s.op == Op::kBox ? test::MockKind::kBox : test::MockKind::kAddConstant;
      def.channels = s.channels;
      def.param = s.param;
      def.value = s.value;
      return test::MakeMockStage(def);
    }
  }
  return nullptr;
}

// Remaining (x, y) shifts of every channel before each step and at the end.
std::vector<std::vector<std::pair<size_t, size_t>>> Shifts(const Case& c) {
  std::vector<std::vector<std::pair<size_t, size_t>>> shifts(
      c.steps.size() + 1, std::vector<std::pair<size_t, size_t>>(c.channels));
  for (size_t i = c.steps.size(); i-- > 0;) {
    shifts[i] = shifts[i + 1];
    const Step& s = c.steps[i];
    if (s.op == Op::kUpsample) {
      shifts[i][s.channels[0]].first += s.param;
      shifts[i][s.channels[0]].second += s.param;
    }
    if (s.op == Op::kHorizontal) shifts[i][s.channels[0]].first += 1;
    if (s.op == Op::kVertical) shifts[i][s.channels[0]].second += 1;
  }
  return shifts;
}

uint64_t SizeAt(uint64_t full, size_t shift) {
  return (full + (uint64_t{1} << shift) - 1) >> shift;
}

TestPlane Trim(const TestPlane& p, uint64_t w, uint64_t h) {
  TestPlane out(w, h);
  for (uint64_t y = 0; y < h; ++y) {
    for (uint64_t x = 0; x < w; ++x) out.at(x, y) = p.at(x, y);
  }
  return out;
}

TestPlane Box(const TestPlane& p, int64_t b) {
  TestPlane out(p.xsize, p.ysize);
  const float count = static_cast<float>((2 * b + 1) * (2 * b + 1));
  for (int64_t y = 0; y < static_cast<int64_t>(p.ysize); ++y) {
    for (int64_t x = 0; x < static_cast<int64_t>(p.xsize); ++x) {
      float sum = 0.0f;
      for (int64_t dy = -b; dy <= b; ++dy) {
        for (int64_t dx = -b; dx <= b; ++dx) sum += p.Mirrored(x + dx, y + dy);
      }
      out.at(x, y) = sum / count;
    }
  }
  return out;
}

std::vector<TestPlane> Reference(const Case& c, std::vector<TestPlane> planes) {
  const auto shifts = Shifts(c);
  const CustomTransformData weights = Weights();
  for (size_t i = 0; i < c.steps.size(); ++i) {
    const Step& s = c.steps[i];
    const size_t ch = s.channels.empty() ? 0 : s.channels[0];
    const uint64_t w = SizeAt(c.xsize, shifts[i + 1][ch].first);
    const uint64_t h = SizeAt(c.ysize, shifts[i + 1][ch].second);
    switch (s.op) {
      case Op::kUpsample: {
        const float* list = s.param == 1   ? weights.upsampling2_weights
                            : s.param == 2 ? weights.upsampling4_weights
                                           : weights.upsampling8_weights;
        planes[ch] = Trim(test::DirectUpsample(planes[ch], list, s.param), w, h);
        break;
      }
      case Op::kHorizontal:
        planes[ch] = test::DirectChromaHorizontal(planes[ch], w);
        break;
      case Op::kVertical:
        planes[ch] = test::DirectChromaVertical(planes[ch], h);
        break;
      case Op::kSpot: {
        const TestPlane& spot = planes[3 + s.param];
        for (size_t k = 0; k < 3; ++k) {
          for (size_t j = 0; j < spot.samples.size(); ++j) {
            const float t = spot.samples[j] * kSpotColour[3];
            planes[k].samples[j] =
                t * kSpotColour[k] + (1.0f - t) * planes[k].samples[j];
          }
        }
        break;
      }
      case Op::kBox:
        for (size_t k : s.channels) planes[k] = Box(planes[k], static_cast<int64_t>(s.param));
        break;
      case Op::kAdd:
        for (size_t k : s.channels) {
          for (float& v : planes[k].samples) v += s.value;
        }
        break;
    }
  }
  return planes;
}

Step Up(size_t channel, size_t shift) { return {Op::kUpsample, {channel}, shift}; }
Step H(size_t channel) { return {Op::kHorizontal, {channel}}; }
Step V(size_t channel) { return {Op::kVertical, {channel}}; }

std::vector<Case> Cases() {
  return {
      {"2x colour, custom weights", 3, 301, 263, 2, {Up(0, 1), Up(1, 1), Up(2, 1)}},
      {"4x", 1, 517, 130, 4, {Up(0, 2)}},
      {"8x of two channels", 2, 1030, 70, 8, {Up(0, 3), Up(1, 3)}},
      // 4:2:0 with Y in channel 1, then a filter on all colour channels
      // (which gives the chroma stages extra columns on the low-memory
      // pipeline) and a spot colour.
      {"4:2:0, box, spot", 4, 300, 270, 1,
       {H(0), V(0), H(2), V(2), {Op::kBox, {0, 1, 2}, 3}, {Op::kSpot, {}, 0}}},
      {"4:2:2 then 2x", 3, 263, 141, 2,
       {H(0), H(2), Up(0, 1), Up(1, 1), Up(2, 1)}},
      {"4:4:0, odd sizes", 2, 257, 259, 1, {V(0), {Op::kBox, {0, 1}, 2}}},
      {"4:2:0 with wide filter", 3, 400, 300, 1,
       {H(1), V(1), {Op::kBox, {0, 1, 2}, 7}, {Op::kBox, {0, 1, 2}, 9}}},
      {"one pixel, 4:2:0 and 8x", 1, 1, 1, 8, {H(0), V(0), Up(0, 3)}},
      // A stage reading channels 0 and 1 while one of them is still at half
      // size. The low-memory row driver runs a stage over one rectangle for
      // all its channels, which would leave a finer channel partly
      // unprocessed and read a coarser one past its rows, so it refuses
      // such a stage list in Configure.
      {"stage on channels of two resolutions, finer first", 2, 300, 200, 1,
       {{Op::kAdd, {0, 1}, 0, 0.25f}, H(1), V(1), {Op::kBox, {0, 1}, 1}},
       /*low_memory_refuses=*/true},
      {"stage on channels of two resolutions, coarser first", 2, 300, 200, 1,
       {{Op::kAdd, {0, 1}, 0, 0.25f}, H(0), V(0), {Op::kBox, {0, 1}, 1}},
       /*low_memory_refuses=*/true},
      // Only the horizontal resolution differs.
      {"stage on channels of two widths", 2, 130, 70, 1,
       {{Op::kAdd, {0, 1}, 0, 0.25f}, H(0), {Op::kBox, {0, 1}, 1}},
       /*low_memory_refuses=*/true},
  };
}

struct Rendered {
  std::vector<TestPlane> planes;
  bool written_once = false;
};

// Renders the case through one pipeline; failures are reported and the
// result left empty.
Rendered Render(const Case& c, bool simple, const std::vector<TestPlane>& inputs) {
  Rendered r;
  RenderPipelineAssembler assembler(HeapMemoryManager(), c.channels, simple);
  for (const Step& s : c.steps) {
    EXPECT_TRUE(assembler.Append(MakeStage(s)).ok()) << c.name;
  }
  auto capture = std::make_unique<test::CaptureStage>(c.channels);
  test::CaptureStage* captured = capture.get();
  EXPECT_TRUE(assembler.Append(std::move(capture)).ok());
  auto assembled = assembler.Assemble(
      test::MakeTestGeometry(c.xsize, c.ysize, c.upsampling, 0));
  if (!assembled.ok()) {
    ADD_FAILURE() << c.name << ": assembly failed";
    return r;
  }
  std::unique_ptr<RenderPipeline> pipeline = std::move(assembled).value();
  if (!pipeline->SetUpThreads(2, false).ok()) {
    ADD_FAILURE() << c.name << ": set-up failed";
    return r;
  }
  std::vector<uint64_t> order;
  for (uint64_t g = pipeline->frame_geometry.num_groups; g-- > 0;) order.push_back(g);
  if (!test::FeedGroups(pipeline.get(), inputs, order, 1).ok()) {
    ADD_FAILURE() << c.name << ": rendering failed";
    return r;
  }
  r.planes = captured->planes;
  r.written_once = captured->AllWrittenOnce();
  return r;
}

TEST(ResamplingPipelineTest, BothPipelinesMatchTheDirectComputation) {
  const bool have_low_memory =
      MakeLowMemoryRenderPipeline(HeapMemoryManager()) != nullptr;
  for (const Case& c : Cases()) {
    const auto shifts = Shifts(c);
    std::vector<TestPlane> inputs;
    for (size_t ch = 0; ch < c.channels; ++ch) {
      inputs.push_back(test::RandomTestPlane(SizeAt(c.xsize, shifts[0][ch].first),
                                             SizeAt(c.ysize, shifts[0][ch].second),
                                             static_cast<uint32_t>(31 + ch)));
    }
    const std::vector<TestPlane> want = Reference(c, inputs);
    const Rendered simple = Render(c, true, inputs);
    ASSERT_EQ(simple.planes.size(), c.channels) << c.name;
    EXPECT_TRUE(simple.written_once) << c.name;
    for (size_t ch = 0; ch < c.channels; ++ch) {
      ASSERT_EQ(simple.planes[ch].xsize, c.xsize) << c.name;
      ASSERT_EQ(simple.planes[ch].ysize, c.ysize) << c.name;
      size_t bad = 0;
      for (size_t i = 0; i < want[ch].samples.size(); ++i) {
        bad += !(std::fabs(simple.planes[ch].samples[i] - want[ch].samples[i]) <=
                 2e-5f);
      }
      EXPECT_EQ(bad, 0u) << c.name << " channel " << ch;
    }
    if (!have_low_memory) continue;
    if (c.low_memory_refuses) {
      RenderPipelineAssembler assembler(HeapMemoryManager(), c.channels, false);
      for (const Step& s : c.steps) ASSERT_TRUE(assembler.Append(MakeStage(s)).ok());
      ASSERT_TRUE(
          assembler.Append(std::make_unique<test::CaptureStage>(c.channels)).ok());
      EXPECT_EQ(assembler
                    .Assemble(test::MakeTestGeometry(c.xsize, c.ysize,
                                                     c.upsampling, 0))
                    .status(),
                FailedStatus())
          << c.name;
      continue;
    }
    const Rendered low = Render(c, false, inputs);
    ASSERT_EQ(low.planes.size(), c.channels) << c.name;
    EXPECT_TRUE(low.written_once) << c.name;
    for (size_t ch = 0; ch < c.channels; ++ch) {
      size_t bad = 0;
      for (size_t i = 0; i < want[ch].samples.size(); ++i) {
        bad += low.planes[ch].samples[i] != simple.planes[ch].samples[i];
      }
      EXPECT_EQ(bad, 0u) << c.name << " low-memory channel " << ch;
    }
  }
}

}  // namespace
}  // namespace qov
