// The framework: assembly checks, derived paddings and channel shifts,
// group input handles, thread set-up and ownership.
#include "lib/render/render_pipeline.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "lib/base/memory.h"
#include "lib/render/simple_render_pipeline.h"
#include "tests/render/render_test_kit_helpers.h"

namespace qov {
namespace {

using test::MakeTestGeometry;
using test::ProbeStage;
using M = RowChannelMode;

constexpr M kSep = M::kSeparateOutput;
constexpr M kMod = M::kModifyRows;
constexpr M kRead = M::kReadOnly;
constexpr M kNot = M::kNotUsed;

struct StageDecl {
  std::vector<M> modes;
  StageGeometry geometry;
};

struct DerivationCase {
  const char* name;
  size_t channels;
  std::vector<StageDecl> stages;
  std::vector<ChannelPairs> padding;  // per stage
  std::vector<ChannelPairs> shifts;   // per stage
};

const DerivationCase kDerivationCases[] = {
    {"single in-place stage", 2,
     {{{kMod, kMod}, {}}},
     {{{0, 0}, {0, 0}}},
     {{{0, 0}, {0, 0}}}},
    {"filter, 2x upsampler of channel 0, writer", 2,
     {{{kSep, kSep}, {1, 1, 0, 0}},
      {{kSep, kNot}, {2, 2, 1, 1}},
      {{kRead, kRead}, {}}},
     {{{3, 3}, {1, 1}}, {{2, 2}, {0, 0}}, {{0, 0}, {0, 0}}},
     {{{1, 1}, {0, 0}}, {{1, 1}, {0, 0}}, {{0, 0}, {0, 0}}}},
    {"8x upsampler of three channels", 4,
     {{{kSep, kSep, kSep, kNot}, {2, 2, 3, 3}},
      {{kRead, kRead, kRead, kRead}, {}}},
     {{{2, 2}, {2, 2}, {2, 2}, {0, 0}}, {{0, 0}, {0, 0}, {0, 0}, {0, 0}}},
     {{{3, 3}, {3, 3}, {3, 3}, {0, 0}}, {{0, 0}, {0, 0}, {0, 0}, {0, 0}}}},
    {"padding rounds up through a shift", 1,
     {{{kSep}, {2, 2, 1, 1}}, {{kSep}, {3, 3, 0, 0}}, {{kRead}, {}}},
     {{{4, 4}}, {{3, 3}}, {{0, 0}}},
     {{{1, 1}}, {{0, 0}}, {{0, 0}}}},
    {"horizontal-only shift, borders of other modes ignored", 2,
     {{{kSep, kMod}, {1, 0, 1, 0}},
      {{kMod, kMod}, {5, 5, 0, 0}},
      {{kSep, kSep}, {0, 1, 0, 1}},
      {{kRead, kNot}, {}}},
     {{{1, 1}, {0, 1}}, {{0, 1}, {0, 1}}, {{0, 1}, {0, 1}}, {{0, 0}, {0, 0}}},
     {{{1, 1}, {0, 1}}, {{0, 1}, {0, 1}}, {{0, 1}, {0, 1}}, {{0, 0}, {0, 0}}}},
};

TEST(RenderPipelineAssemblerTest, DerivesPaddingsAndShiftsFromDeclarations) {
  for (const DerivationCase& c : kDerivationCases) {
    RenderPipelineAssembler assembler(HeapMemoryManager(), c.channels, true);
    std::vector<std::string> names;
    for (size_t i = 0; i < c.stages.size(); ++i) {
      names.push_back(std::string("S").append(std::to_string(i)));
      ASSERT_TRUE(assembler
                      .Append(std::make_unique<ProbeStage>(
                          names.back(), c.stages[i].modes, c.stages[i].geometry))
                      .ok());
    }
    auto pipeline = assembler.Assemble(MakeTestGeometry(300, 200));
    ASSERT_TRUE(pipeline.ok()) << c.name;
    const RenderPipeline& p = **pipeline;
    EXPECT_TRUE(assembler.stages.empty()) << c.name;
    ASSERT_EQ(p.stages.size(), c.stages.size()) << c.name;
    for (size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(p.stages[i]->StageName(), names[i]) << c.name;
    }
    EXPECT_EQ(p.input_padding, c.padding) << c.name;
    EXPECT_EQ(p.channel_shifts, c.shifts) << c.name;
    EXPECT_EQ(p.group_submissions, std::vector<uint8_t>(2, 0)) << c.name;
    EXPECT_EQ(p.frame_geometry.num_groups, 2u) << c.name;
  }
}

TEST(RenderPipelineAssemblerTest, RefusesBadStageLists) {
  {
    RenderPipelineAssembler assembler(HeapMemoryManager(), 3, true);
    EXPECT_EQ(assembler.Append(nullptr), FailedStatus());
    EXPECT_TRUE(assembler.stages.empty());
    EXPECT_EQ(assembler.Assemble(MakeTestGeometry(8, 8)).status(),
              FailedStatus());
  }
  // The last stage must not write separate output, for any channel.
  for (size_t bad_channel : {0u, 4u}) {
    std::vector<std::string> log;
    {
      RenderPipelineAssembler assembler(HeapMemoryManager(), 5, true);
      std::vector<M> modes(5, kRead);
      modes[bad_channel] = kSep;
      ASSERT_TRUE(assembler
                      .Append(std::make_unique<ProbeStage>(
                          "A", std::vector<M>{kMod}, StageGeometry{}, &log))
                      .ok());
      ASSERT_TRUE(assembler
                      .Append(std::make_unique<ProbeStage>(
                          "B", modes, StageGeometry{1, 1, 0, 0}, &log))
                      .ok());
      EXPECT_EQ(assembler.Assemble(MakeTestGeometry(8, 8)).status(),
                FailedStatus());
      EXPECT_EQ(assembler.stages.size(), 2u);
      EXPECT_TRUE(log.empty());
    }
    // The assembler destroys what it still holds, first to last.
    EXPECT_EQ(log, (std::vector<std::string>{"~A", "~B"}));
  }
}

std::unique_ptr<RenderPipeline> ProbePipeline(std::vector<std::string>* log,
                                              ProbeStage** first = nullptr,
                                              ProbeStage** second = nullptr) {
  RenderPipelineAssembler assembler(HeapMemoryManager(), 2, true);
  auto a = std::make_unique<ProbeStage>("A", std::vector<M>{kMod, kMod},
                                        StageGeometry{}, log);
  auto b = std::make_unique<ProbeStage>("B", std::vector<M>{kRead, kRead},
                                        StageGeometry{}, log);
  if (first != nullptr) *first = a.get();
  if (second != nullptr) *second = b.get();
  EXPECT_TRUE(assembler.Append(std::move(a)).ok());
  EXPECT_TRUE(assembler.Append(std::move(b)).ok());
  auto pipeline = assembler.Assemble(MakeTestGeometry(600, 300));
  EXPECT_TRUE(pipeline.ok());
  return std::move(pipeline).value();
}

TEST(RenderPipelineTest, SetUpThreadsStopsAtTheFirstFailingStage) {
  std::vector<std::string> log;
  ProbeStage* a = nullptr;
  auto pipeline = ProbePipeline(&log, &a);
  auto* simple = static_cast<SimpleRenderPipeline*>(pipeline.get());
  a->fail_set_up = true;
  EXPECT_EQ(pipeline->SetUpThreads(3, false), FailedStatus());
  EXPECT_EQ(log, (std::vector<std::string>{"A.SetUp(3)"}));
  EXPECT_TRUE(simple->channel_planes.empty());  // the pipeline's part not run

  a->fail_set_up = false;
  log.clear();
  EXPECT_TRUE(pipeline->SetUpThreads(2, true).ok());
  EXPECT_EQ(log, (std::vector<std::string>{"A.SetUp(2)", "B.SetUp(2)"}));
  EXPECT_EQ(simple->channel_planes.size(), 2u);
}

TEST(RenderPipelineTest, SubmitChecksTheHandleAndCountsOnce) {
  std::vector<std::string> log;
  ProbeStage* a = nullptr;
  auto pipeline = ProbePipeline(&log, &a);
  ASSERT_TRUE(pipeline->SetUpThreads(1, false).ok());
  ASSERT_EQ(pipeline->frame_geometry.num_groups, 6u);

  GroupRenderInput orphan;
  EXPECT_EQ(orphan.Submit(), FailedStatus());

  GroupRenderInput beyond = pipeline->OpenGroupInput(6, 0);
  EXPECT_EQ(beyond.Submit(), FailedStatus());
  EXPECT_EQ(pipeline->group_submissions, std::vector<uint8_t>(6, 0));

  {
    // Dropped without submitting: nothing counted or rendered.
    GroupRenderInput dropped = pipeline->OpenGroupInput(2, 0);
    EXPECT_EQ(dropped.pipeline, pipeline.get());
    EXPECT_EQ(dropped.group_id, 2u);
    EXPECT_EQ(dropped.buffers.size(), 2u);
  }
  EXPECT_EQ(pipeline->group_submissions, std::vector<uint8_t>(6, 0));

  GroupRenderInput input = pipeline->OpenGroupInput(5, 0);
  EXPECT_TRUE(input.Submit().ok());
  EXPECT_TRUE(input.Submit().ok());
  EXPECT_EQ(pipeline->SubmissionCount(5), 2u);
  // Only the submitted group counts.
  EXPECT_EQ(pipeline->group_submissions,
            (std::vector<uint8_t>{0, 0, 0, 0, 0, 2}));
  EXPECT_EQ(a->rows.load(), 0u);
}

TEST(RenderPipelineTest, DestroysStagesFirstToLast) {
  std::vector<std::string> log;
  ProbePipeline(&log).reset();
  EXPECT_EQ(log, (std::vector<std::string>{"~A", "~B"}));
}

}  // namespace
}  // namespace qov
