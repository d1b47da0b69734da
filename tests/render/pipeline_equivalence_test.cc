// Both pipeline implementations render the mock chains exactly as the
// direct whole-image computation does, group order and threads aside.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "lib/base/memory.h"
#include "lib/render/render_pipeline.h"
#include "tests/render/render_test_kit_helpers.h"

namespace qov {
namespace {

using test::CaptureStage;
using test::MockKind;
using test::MockStageDef;

MockStageDef Def(MockKind kind, std::vector<size_t> channels, uint64_t param = 0,
              float value = 0.0f) {
  MockStageDef s;
  s.kind = kind;
  s.channels = std::move(channels);
  s.param = param;
  s.value = value;
  s.poison = kind == MockKind::kUpsample;
  return s;
}

MockStageDef ImageDef(uint64_t w, uint64_t h, int32_t x0, int32_t y0) {
  MockStageDef s;
  s.kind = MockKind::kImage;
  s.image_xsize = w;
  s.image_ysize = h;
  s.x0 = x0;
  s.y0 = y0;
  s.value = -1.0f;
  return s;
}

struct Case {
  const char* name;
  size_t channels;
  uint64_t xsize, ysize, upsampling;
  uint32_t group_size_shift;
  std::vector<MockStageDef> defs;
};

std::vector<Case> Cases() {
  return {
      {"box 2 then add, several groups", 3, 300, 270, 1, 0,
       {Def(MockKind::kBox, {0, 1, 2}, 2), Def(MockKind::kAddConstant, {1}, 0, 0.5f)}},
      // Every stage sees its channels at one resolution, as the builder's
      // chains do (channel 2 is upsampled alone).
      {"filter, 2x, overreach, filter", 3, 257, 140, 1, 0,
       {Def(MockKind::kBox, {0, 1}, 1), Def(MockKind::kUpsample, {0, 1}, 1),
        Def(MockKind::kUpsample, {2}, 1),
        Def(MockKind::kOverreach, {0, 1, 2}, 0, 1.0f),
        Def(MockKind::kBox, {0, 2}, 1)}},
      {"8x of colour, coordinates", 4, 600, 330, 8, 0,
       {Def(MockKind::kUpsample, {0, 1, 2}, 3), Def(MockKind::kCoordinates, {3})}},
      {"one sample", 1, 1, 1, 1, 1, {Def(MockKind::kBox, {0}, 2)}},
      {"frame inside a larger image", 2, 200, 150, 1, 0,
       {Def(MockKind::kBox, {0, 1}, 1), ImageDef(260, 180, 30, -10),
        Def(MockKind::kCoordinates, {1})}},
  };
}

class PipelineEquivalenceTest : public ::testing::TestWithParam<bool> {};

TEST_P(PipelineEquivalenceTest, MatchesWholeImageComputation) {
  const bool simple = GetParam();
  if (!simple && MakeLowMemoryRenderPipeline(HeapMemoryManager()) == nullptr) {
    GTEST_SKIP() << "no low-memory pipeline in this build";
  }
  for (const Case& c : Cases()) {
    RenderPipelineAssembler assembler(HeapMemoryManager(), c.channels, simple);
    for (const MockStageDef& def : c.defs) {
      ASSERT_TRUE(assembler.Append(test::MakeMockStage(def)).ok());
    }
    auto capture = std::make_unique<CaptureStage>(c.channels);
    CaptureStage* captured = capture.get();
    ASSERT_TRUE(assembler.Append(std::move(capture)).ok());
    auto assembled = assembler.Assemble(test::MakeTestGeometry(
        c.xsize, c.ysize, c.upsampling, c.group_size_shift));
    ASSERT_TRUE(assembled.ok()) << c.name;
    std::unique_ptr<RenderPipeline> pipeline = std::move(assembled).value();
    ASSERT_TRUE(pipeline->SetUpThreads(1, false).ok()) << c.name;
    const auto inputs = test::MakeInputs(
        test::InputSizes(c.defs, c.channels, c.xsize, c.ysize), 23);
    // Groups in reverse order.
    std::vector<uint64_t> order;
    for (uint64_t g = pipeline->frame_geometry.num_groups; g-- > 0;) {
      order.push_back(g);
    }
    ASSERT_TRUE(test::FeedGroups(pipeline.get(), inputs, order).ok()) << c.name;
    const auto expected = test::RenderReference(c.defs, c.channels, inputs,
                                                c.xsize, c.ysize);
    ASSERT_EQ(captured->planes.size(), expected.size());
    for (size_t ch = 0; ch < expected.size(); ++ch) {
      ASSERT_EQ(captured->planes[ch].xsize, expected[ch].xsize) << c.name;
      ASSERT_EQ(captured->planes[ch].ysize, expected[ch].ysize) << c.name;
      size_t mismatches = 0;
      for (size_t i = 0; i < expected[ch].samples.size(); ++i) {
        mismatches += captured->planes[ch].samples[i] != expected[ch].samples[i];
      }
      EXPECT_EQ(mismatches, 0u) << c.name << " channel " << ch;
    }
    EXPECT_TRUE(captured->AllWrittenOnce()) << c.name;
  }
}

// Group tasks on several threads, several rounds: each round renders every
// sample once, as the whole-image computation does.
class PipelineEquivalenceParallelTest : public ::testing::TestWithParam<bool> {};

TEST_P(PipelineEquivalenceParallelTest, GroupTasksOnManyThreads) {
  const bool simple = GetParam();
  if (!simple && MakeLowMemoryRenderPipeline(HeapMemoryManager()) == nullptr) {
    GTEST_SKIP() << "no low-memory pipeline in this build";
  }
  const std::vector<MockStageDef> defs = {
      Def(MockKind::kBox, {0, 1}, 2), Def(MockKind::kUpsample, {0, 1}, 1),
      Def(MockKind::kAddConstant, {0, 1}, 0, 2.0f), Def(MockKind::kBox, {0}, 1)};
  const uint64_t xsize = 900, ysize = 650;
  test::ThreadedRunner runner(5);
  const TaskPool pool = runner.pool();
  RenderPipelineAssembler assembler(HeapMemoryManager(), 2, simple);
  for (const MockStageDef& def : defs) {
    ASSERT_TRUE(assembler.Append(test::MakeMockStage(def)).ok());
  }
  auto capture = std::make_unique<CaptureStage>(2);
  CaptureStage* captured = capture.get();
  ASSERT_TRUE(assembler.Append(std::move(capture)).ok());
  auto assembled =
      assembler.Assemble(test::MakeTestGeometry(xsize, ysize, 1, 0));
  ASSERT_TRUE(assembled.ok());
  std::unique_ptr<RenderPipeline> pipeline = std::move(assembled).value();
  const uint64_t groups = pipeline->frame_geometry.num_groups;
  ASSERT_GE(groups, 30u);
  ASSERT_TRUE(pipeline->SetUpThreads(runner.threads(), false).ok());
  const auto inputs =
      test::MakeInputs(test::InputSizes(defs, 2, xsize, ysize), 29);
  const auto expected = test::RenderReference(defs, 2, inputs, xsize, ysize);
  for (int round = 0; round < 2; ++round) {
    // The capture's record is cleared only when a pipeline gives sizes
    // again; clear the counts for every round here.
    for (auto& w : captured->writes) std::fill(w.begin(), w.end(), 0);
    for (uint64_t g = 0; g < groups; ++g) pipeline->ForgetGroup(g);
    ASSERT_TRUE(RunOnPool(&pool, static_cast<uint32_t>(groups), nullptr,
                          [&](uint32_t g, size_t thread) -> Status {
                            GroupRenderInput input = test::WriteGroup(
                                pipeline.get(), inputs, g, thread);
                            return input.Submit();
                          })
                    .ok());
    for (size_t ch = 0; ch < 2; ++ch) {
      size_t mismatches = 0;
      for (size_t i = 0; i < expected[ch].samples.size(); ++i) {
        mismatches += captured->planes[ch].samples[i] != expected[ch].samples[i];
      }
      EXPECT_EQ(mismatches, 0u) << "round " << round << " channel " << ch;
    }
    EXPECT_TRUE(captured->AllWrittenOnce()) << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(BothPipelines, PipelineEquivalenceParallelTest,
                         ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Simple"
                                                         : "LowMemory");
                         });

INSTANTIATE_TEST_SUITE_P(BothPipelines, PipelineEquivalenceTest,
                         ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Simple"
                                                         : "LowMemory");
                         });

}  // namespace
}  // namespace qov
