// The whole-frame pipeline against a direct whole-image computation of the
// same mock chains, its render scheduling, its plane layout, the image
// coordinate switch and its behaviour under failing allocations.
#include "lib/render/simple_render_pipeline.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "lib/base/memory.h"
#include "tests/render/render_test_kit_helpers.h"

namespace qov {
namespace {

using test::CaptureStage;
using test::MakeTestGeometry;
using test::MockKind;
using test::MockStageDef;
using test::TestPlane;

struct Built {
  std::unique_ptr<RenderPipeline> pipeline;
  CaptureStage* capture = nullptr;
  Status status;
};

// The chain followed by a capturing stage, as a simple pipeline.
Built Build(const std::vector<MockStageDef>& defs, size_t channels,
            const FrameGeometry& geometry,
            const QovMemoryManagerStruct* manager = HeapMemoryManager()) {
  Built built;
  RenderPipelineAssembler assembler(manager, channels, true);
  for (const MockStageDef& def : defs) {
    EXPECT_TRUE(assembler.Append(test::MakeMockStage(def)).ok());
  }
  auto capture = std::make_unique<CaptureStage>(channels);
  built.capture = capture.get();
  EXPECT_TRUE(assembler.Append(std::move(capture)).ok());
  auto pipeline = assembler.Assemble(geometry);
  built.status = pipeline.status();
  if (pipeline.ok()) built.pipeline = std::move(pipeline).value();
  return built;
}

// Compares every channel exactly; names the first difference.
void ExpectPlanesEqual(const std::vector<TestPlane>& expected,
                       const std::vector<TestPlane>& got,
                       const std::string& what) {
  ASSERT_EQ(expected.size(), got.size()) << what;
  for (size_t c = 0; c < expected.size(); ++c) {
    ASSERT_EQ(expected[c].xsize, got[c].xsize) << what << " channel " << c;
    ASSERT_EQ(expected[c].ysize, got[c].ysize) << what << " channel " << c;
    for (uint64_t y = 0; y < expected[c].ysize; ++y) {
      for (uint64_t x = 0; x < expected[c].xsize; ++x) {
        ASSERT_EQ(expected[c].at(x, y), got[c].at(x, y))
            << what << " channel " << c << " at (" << x << ", " << y << ")";
      }
    }
  }
}

MockStageDef Box(std::vector<size_t> channels, uint64_t border) {
  MockStageDef s;
  s.kind = MockKind::kBox;
  s.channels = std::move(channels);
  s.param = border;
  return s;
}
MockStageDef Upsample(std::vector<size_t> channels, uint64_t shift,
                  bool poison = true) {
  MockStageDef s;
  s.kind = MockKind::kUpsample;
  s.channels = std::move(channels);
  s.param = shift;
  s.poison = poison;
  return s;
}
MockStageDef Add(std::vector<size_t> channels, float value,
             MockKind kind = MockKind::kAddConstant) {
  MockStageDef s;
  s.kind = kind;
  s.channels = std::move(channels);
  s.value = value;
  return s;
}
MockStageDef Coordinates(std::vector<size_t> channels) {
  MockStageDef s;
  s.kind = MockKind::kCoordinates;
  s.channels = std::move(channels);
  return s;
}
MockStageDef Image(uint64_t w, uint64_t h, int32_t x0, int32_t y0, float pad) {
  MockStageDef s;
  s.kind = MockKind::kImage;
  s.image_xsize = w;
  s.image_ysize = h;
  s.x0 = x0;
  s.y0 = y0;
  s.value = pad;
  return s;
}

struct Chain {
  const char* name;
  size_t channels;
  uint64_t upsampling;  // of the frame geometry
  std::vector<MockStageDef> defs;
};

const std::vector<Chain>& Chains() {
  static const std::vector<Chain> chains = {
      {"box 1 then add", 3, 1,
       {Box({0, 1, 2}, 1), Add({1}, 0.5f)}},
      {"box 2 twice, overreaching stage", 2, 1,
       {Box({0}, 2), Add({0, 1}, 1.0f, MockKind::kOverreach), Box({0, 1}, 2)}},
      {"2x of channel 1 (chroma-like shift)", 3, 1,
       {Upsample({1}, 1), Box({0, 1, 2}, 1)}},
      {"8x of colour, coordinates of channel 3", 4, 8,
       {Box({0, 1, 2}, 1), Upsample({0, 1, 2}, 3), Coordinates({3}),
        Add({0, 3}, -2.0f)}},
      {"2x then 2x", 1, 1, {Upsample({0}, 1), Upsample({0}, 1)}},
      // The first stage spans the full-size channel 0, so it is asked for
      // rows and columns beyond the half-size channel 1.
      {"stage over channels of different sizes", 2, 1,
       {Add({0, 1}, 1.0f), Upsample({1}, 1), Box({0, 1}, 1)}},
  };
  return chains;
}

struct Size {
  uint64_t xsize, ysize;
};
constexpr Size kSizes[] = {{1, 1}, {255, 3}, {256, 256}, {257, 9},
                           {2049, 5}, {5, 300}};

TEST(SimpleRenderPipelineTest, MatchesWholeImageComputation) {
  for (const Chain& chain : Chains()) {
    for (const Size& size : kSizes) {
      const std::string what = std::string(chain.name) + " at " +
                               std::to_string(size.xsize) + "x" +
                               std::to_string(size.ysize);
      const FrameGeometry geometry =
          MakeTestGeometry(size.xsize, size.ysize, chain.upsampling);
      Built built = Build(chain.defs, chain.channels, geometry);
      ASSERT_TRUE(built.status.ok()) << what;
      ASSERT_TRUE(built.pipeline->SetUpThreads(1, false).ok()) << what;
      const auto inputs = test::MakeInputs(
          test::InputSizes(chain.defs, chain.channels, size.xsize, size.ysize),
          7);
      ASSERT_TRUE(test::FeedGroups(built.pipeline.get(), inputs).ok()) << what;
      const auto expected = test::RenderReference(
          chain.defs, chain.channels, inputs, size.xsize, size.ysize);
      EXPECT_EQ(built.capture->accept_calls, 1u) << what;
      ExpectPlanesEqual(expected, built.capture->planes, what);
      EXPECT_TRUE(built.capture->AllWrittenOnce()) << what;
    }
  }
}

TEST(SimpleRenderPipelineTest, GroupRectanglesLieInWholeFramePlanes) {
  // 600 x 300 upsampled 8x: 75 x 38 frame samples, one 256-group holding
  // 2048 upsampled samples; channels 0-2 are upsampled 8x by the chain,
  // channel 3 is not and so has a group size of 2048.
  {
    Built built = Build({Upsample({0, 1, 2}, 3)}, 4,
                        MakeTestGeometry(600, 300, 8));
    ASSERT_TRUE(built.status.ok());
    ASSERT_TRUE(built.pipeline->SetUpThreads(2, false).ok());
    const auto buffers = built.pipeline->AcquireGroupBuffers(0, 1);
    ASSERT_EQ(buffers.size(), 4u);
    for (size_t c = 0; c < 3; ++c) {
      EXPECT_EQ(buffers[c].rect.x0, 32u);
      EXPECT_EQ(buffers[c].rect.xsize, 75u);
      EXPECT_EQ(buffers[c].rect.ysize, 38u);
      EXPECT_EQ(buffers[c].plane->xsize(), 75u + 64);
      EXPECT_EQ(buffers[c].plane->ysize(), 38u + 64);
    }
    EXPECT_EQ(buffers[3].rect.xsize, 600u);
    EXPECT_EQ(buffers[3].rect.ysize, 300u);
  }
  // 600 x 300 with 256-groups and channel 1 halved: the last column of
  // groups is narrower; the same id gives the same planes on any thread.
  {
    Built built = Build({Upsample({1}, 1)}, 2, MakeTestGeometry(600, 300));
    ASSERT_TRUE(built.status.ok());
    ASSERT_TRUE(built.pipeline->SetUpThreads(1, false).ok());
    struct Expect {
      uint64_t group;
      PixelRect rects[2];
    };
    const Expect cases[] = {
        {0, {{32, 32, 256, 256}, {32, 32, 128, 128}}},
        {2, {{32 + 512, 32, 88, 256}, {32 + 256, 32, 44, 128}}},
        {5, {{32 + 512, 32 + 256, 88, 44}, {32 + 256, 32 + 128, 44, 22}}},
    };
    for (const Expect& e : cases) {
      const auto a = built.pipeline->AcquireGroupBuffers(e.group, 0);
      const auto b = built.pipeline->AcquireGroupBuffers(e.group, 7);
      for (size_t c = 0; c < 2; ++c) {
        EXPECT_EQ(a[c].plane, b[c].plane);
        EXPECT_EQ(a[c].rect.x0, e.rects[c].x0) << e.group << " " << c;
        EXPECT_EQ(a[c].rect.y0, e.rects[c].y0) << e.group << " " << c;
        EXPECT_EQ(a[c].rect.xsize, e.rects[c].xsize) << e.group << " " << c;
        EXPECT_EQ(a[c].rect.ysize, e.rects[c].ysize) << e.group << " " << c;
      }
    }
  }
}

TEST(SimpleRenderPipelineTest, RendersWhenEveryGroupHasBeenSubmittedAgain) {
  const std::vector<MockStageDef> defs = {Box({0}, 1)};
  Built built = Build(defs, 1, MakeTestGeometry(600, 300));  // 3 x 2 groups
  ASSERT_TRUE(built.status.ok());
  RenderPipeline* p = built.pipeline.get();
  auto* simple = static_cast<SimpleRenderPipeline*>(p);
  ASSERT_TRUE(p->SetUpThreads(1, false).ok());
  const auto inputs = test::MakeInputs({{600, 300}}, 3);
  // Group 1 twice, then the rest: one render, after the last group.
  ASSERT_TRUE(test::FeedGroups(p, inputs, {1, 1, 0, 2, 3, 4}).ok());
  EXPECT_EQ(simple->renders_done(), 0u);
  ASSERT_TRUE(test::FeedGroups(p, inputs, {5}).ok());
  EXPECT_EQ(simple->renders_done(), 1u);
  // A second round renders again only after its last group (1 is ahead).
  ASSERT_TRUE(test::FeedGroups(p, inputs, {0, 2, 3, 4}).ok());
  EXPECT_EQ(simple->renders_done(), 1u);
  ASSERT_TRUE(test::FeedGroups(p, inputs, {5}).ok());
  EXPECT_EQ(simple->renders_done(), 2u);
  EXPECT_EQ(built.capture->accept_calls, 2u);
  ExpectPlanesEqual(test::RenderReference(defs, 1, inputs, 600, 300),
                    built.capture->planes, "second render");
}

// Submission counters wrap at 256; rounds keep rendering past that.
TEST(SimpleRenderPipelineTest, RendersEveryRoundPastTheCounterWrap) {
  Built built = Build({Add({0}, 1.0f)}, 1, MakeTestGeometry(300, 4));
  ASSERT_TRUE(built.status.ok());
  RenderPipeline* p = built.pipeline.get();
  ASSERT_EQ(p->frame_geometry.num_groups, 2u);
  ASSERT_TRUE(p->SetUpThreads(1, false).ok());
  for (uint64_t round = 1; round <= 300; ++round) {
    ASSERT_TRUE(p->OpenGroupInput(1, 0).Submit().ok());
    ASSERT_EQ(static_cast<SimpleRenderPipeline*>(p)->renders_done(), round - 1);
    ASSERT_TRUE(p->OpenGroupInput(0, 0).Submit().ok());
    ASSERT_EQ(static_cast<SimpleRenderPipeline*>(p)->renders_done(), round);
  }
  EXPECT_EQ(built.capture->accept_calls, 300u);
}

// A second render of a progressive frame starts from the decoded samples,
// not from planes that the first render upsampled, filtered or replaced.
TEST(SimpleRenderPipelineTest, ReRenderStartsFromTheDecodedPlanes) {
  const std::vector<MockStageDef> defs = {Add({0, 1}, 1.0f), Upsample({0}, 1),
                                       Box({0, 1}, 1),
                                       Image(300, 200, -3, 5, 0.25f)};
  const FrameGeometry geometry = MakeTestGeometry(270, 190);
  test::FailingManager counting;  // refuses nothing
  Built built = Build(defs, 2, geometry, &counting.manager);
  ASSERT_TRUE(built.status.ok());
  RenderPipeline* p = built.pipeline.get();
  ASSERT_TRUE(p->SetUpThreads(1, false).ok());
  const auto inputs = test::MakeInputs(test::InputSizes(defs, 2, 270, 190), 11);
  const auto expected = test::RenderReference(defs, 2, inputs, 270, 190);
  ASSERT_TRUE(test::FeedGroups(p, inputs).ok());
  ExpectPlanesEqual(expected, built.capture->planes, "first render");

  // The group planes still hold the decoded samples, in the frame layout.
  auto* simple = static_cast<SimpleRenderPipeline*>(p);
  ASSERT_EQ(simple->channel_planes.size(), 2u);
  for (size_t c = 0; c < 2; ++c) {
    const PlaneF& plane = simple->channel_planes[c];
    EXPECT_EQ(plane.xsize(), inputs[c].xsize + 64);
    for (uint64_t y = 0; y < inputs[c].ysize; ++y) {
      for (uint64_t x = 0; x < inputs[c].xsize; ++x) {
        ASSERT_EQ(plane.Row(y + 32)[x + 32], inputs[c].at(x, y)) << c;
      }
    }
  }
  // The next pass submits every group again without new samples; its
  // render reuses the working planes of the first.
  const int64_t allocations = counting.attempts.load();
  for (uint64_t g = 0; g < p->frame_geometry.num_groups; ++g) {
    GroupRenderInput input = p->OpenGroupInput(g, 0);
    ASSERT_TRUE(input.Submit().ok());
  }
  EXPECT_EQ(built.capture->accept_calls, 2u);
  ExpectPlanesEqual(expected, built.capture->planes, "second render");
  EXPECT_EQ(counting.attempts.load(), allocations);
}

struct ImageCase {
  const char* name;
  uint64_t image_x, image_y;
  int32_t x0, y0;
};

TEST(SimpleRenderPipelineTest, ComposesTheFrameIntoTheImage) {
  const ImageCase cases[] = {
      {"left cut, moved down", 100, 40, -5, 3},
      {"right edge cut", 100, 30, 90, 0},
      {"bottom cut", 30, 30, 4, 20},
      {"frame larger than image", 10, 10, -2, -2},
      {"no overlap: padding only", 50, 50, 60, 0},
      {"no overlap above", 50, 50, 0, -40},
  };
  for (const ImageCase& c : cases) {
    const std::vector<MockStageDef> defs = {Box({0}, 1),
                                         Image(c.image_x, c.image_y, c.x0, c.y0, 7.5f),
                                         Coordinates({1}), Add({0}, 1.0f)};
    Built built = Build(defs, 2, MakeTestGeometry(20, 30));
    ASSERT_TRUE(built.status.ok()) << c.name;
    ASSERT_TRUE(built.pipeline->SetUpThreads(1, false).ok()) << c.name;
    const auto inputs = test::MakeInputs({{20, 30}, {20, 30}}, 5);
    ASSERT_TRUE(test::FeedGroups(built.pipeline.get(), inputs).ok()) << c.name;
    ExpectPlanesEqual(test::RenderReference(defs, 2, inputs, 20, 30),
                      built.capture->planes, c.name);
    // The switch lasts for the render only: groups keep the frame layout.
    const auto buffers = built.pipeline->AcquireGroupBuffers(0, 0);
    EXPECT_EQ(buffers[0].rect.xsize, 20u) << c.name;
    EXPECT_EQ(buffers[0].rect.ysize, 30u) << c.name;
  }
}

TEST(SimpleRenderPipelineTest, FailuresEndTheRenderAndAreNotRetried) {
  using M = RowChannelMode;
  std::vector<std::string> log;
  struct FailCase {
    const char* name;
    std::vector<M> modes;
    bool fail_accept;
    int64_t fail_row;
    StageGeometry geometry;
  };
  const FailCase cases[] = {
      {"stage using no channel", {M::kNotUsed, M::kNotUsed}, false, -1, {}},
      {"input sizes refused", {M::kModifyRows}, true, -1, {}},
      {"row fails", {M::kModifyRows}, false, 17, {}},
      {"border beyond the plane margin", {M::kSeparateOutput}, false, -1,
       {33, 1, 0, 0}},
      {"shift beyond 8x", {M::kSeparateOutput}, false, -1, {1, 1, 0, 4}},
      // Channel 1 is upscaled over the extent of the full-size channel 0.
      {"upscaled extent beyond the frame",
       {M::kReadOnly, M::kSeparateOutput}, false, -1, {0, 0, 1, 1}},
  };
  for (const FailCase& c : cases) {
    RenderPipelineAssembler assembler(HeapMemoryManager(), 2, true);
    auto probe = std::make_unique<test::ProbeStage>("P", c.modes, c.geometry,
                                                    &log);
    test::ProbeStage* stage = probe.get();
    stage->fail_accept = c.fail_accept;
    stage->fail_row = c.fail_row;
    auto after = std::make_unique<test::ProbeStage>(
        "Q", std::vector<M>{M::kReadOnly}, StageGeometry{}, &log);
    test::ProbeStage* later = after.get();
    ASSERT_TRUE(assembler.Append(std::move(probe)).ok());
    ASSERT_TRUE(assembler.Append(std::move(after)).ok());
    auto assembled = assembler.Assemble(MakeTestGeometry(600, 30));
    ASSERT_TRUE(assembled.ok());
    std::unique_ptr<RenderPipeline> p = std::move(assembled).value();
    ASSERT_EQ(p->frame_geometry.num_groups, 3u);
    ASSERT_TRUE(p->SetUpThreads(1, false).ok());
    EXPECT_TRUE(p->OpenGroupInput(0, 0).Submit().ok()) << c.name;
    EXPECT_TRUE(p->OpenGroupInput(1, 0).Submit().ok()) << c.name;
    EXPECT_EQ(p->OpenGroupInput(2, 0).Submit(), FailedStatus()) << c.name;
    EXPECT_EQ(later->rows.load(), 0u) << c.name;
    EXPECT_EQ(static_cast<SimpleRenderPipeline*>(p.get())->renders_done(), 1u);
    // The failed render counts: later submissions of the round do not
    // render it again.
    const uint64_t rows = stage->rows.load();
    EXPECT_TRUE(p->OpenGroupInput(2, 0).Submit().ok()) << c.name;
    EXPECT_EQ(stage->rows.load(), rows) << c.name;
  }
}

TEST(SimpleRenderPipelineTest, RefusesToRenderBeforeSetUp) {
  Built built = Build({Add({0}, 1.0f)}, 1, MakeTestGeometry(8, 8));
  ASSERT_TRUE(built.status.ok());
  const auto buffers = built.pipeline->AcquireGroupBuffers(0, 0);
  ASSERT_EQ(buffers.size(), 1u);
  EXPECT_EQ(buffers[0].rect.xsize, 0u);
  GroupRenderInput input = built.pipeline->OpenGroupInput(0, 0);
  EXPECT_EQ(input.Submit(), FailedStatus());
}

// Group tasks on several threads; every round of submissions renders the
// frame exactly once, on whichever thread submitted last.
TEST(SimpleRenderPipelineParallelTest, SubmissionsFromManyThreadsRenderOnce) {
  const std::vector<MockStageDef> defs = {Box({0, 1}, 1), Upsample({1}, 1),
                                       Add({0}, 3.0f)};
  // 128-wide groups: 9 x 5 groups.
  const FrameGeometry geometry = MakeTestGeometry(1100, 520, 1, 0);
  test::ThreadedRunner runner(6);
  const TaskPool pool = runner.pool();
  for (int attempt = 0; attempt < 4; ++attempt) {
    Built built = Build(defs, 2, geometry);
    ASSERT_TRUE(built.status.ok());
    RenderPipeline* p = built.pipeline.get();
    ASSERT_GE(geometry.num_groups, 40u);
    ASSERT_TRUE(p->SetUpThreads(runner.threads(), false).ok());
    const auto inputs =
        test::MakeInputs(test::InputSizes(defs, 2, 1100, 520), 13 + attempt);
    const auto expected = test::RenderReference(defs, 2, inputs, 1100, 520);
    for (int round = 1; round <= 3; ++round) {
      ASSERT_TRUE(RunOnPool(
                      &pool, static_cast<uint32_t>(geometry.num_groups), nullptr,
                      [&](uint32_t g, size_t thread) -> Status {
                        GroupRenderInput input =
                            test::WriteGroup(p, inputs, g, thread);
                        return input.Submit();
                      })
                      .ok());
      EXPECT_EQ(static_cast<SimpleRenderPipeline*>(p)->renders_done(),
                static_cast<uint64_t>(round));
      EXPECT_EQ(built.capture->accept_calls, static_cast<uint64_t>(round));
      ExpectPlanesEqual(expected, built.capture->planes, "parallel render");
      EXPECT_TRUE(built.capture->AllWrittenOnce());
    }
  }
}

// Every allocation of set-up and render refused in turn: each attempt fails
// cleanly, leaks nothing, and the run without refusal renders correctly.
TEST(SimpleRenderPipelineTest, FailingEachAllocationFailsCleanly) {
  const std::vector<MockStageDef> defs = {Box({0, 1}, 1), Upsample({0}, 3),
                                       Image(90, 70, 2, -4, 1.0f),
                                       Add({1}, 2.0f)};
  const FrameGeometry geometry = MakeTestGeometry(80, 60, 8, 0);
  const auto inputs = test::MakeInputs(test::InputSizes(defs, 2, 80, 60), 17);
  const auto expected = test::RenderReference(defs, 2, inputs, 80, 60);
  bool completed = false;
  int refusals = 0;
  for (int64_t k = 1; k < 200 && !completed; ++k) {
    test::FailingManager failing(k);
    {
      Built built = Build(defs, 2, geometry, &failing.manager);
      ASSERT_TRUE(built.status.ok());
      RenderPipeline* p = built.pipeline.get();
      Status status = p->SetUpThreads(1, false);
      if (status.ok()) status = test::FeedGroups(p, inputs);
      if (failing.refused.load()) {
        ++refusals;
        EXPECT_EQ(status, FailedStatus()) << "allocation " << k;
      } else {
        ASSERT_TRUE(status.ok()) << "allocation " << k;
        ExpectPlanesEqual(expected, built.capture->planes, "unrefused run");
        completed = true;
      }
    }
    EXPECT_EQ(failing.live.load(), 0) << "allocation " << k;
  }
  EXPECT_TRUE(completed);
  // Two group planes, two working copies, two filter outputs and two image
  // planes (the 8x output reuses a plane the filter replaced).
  EXPECT_GE(refusals, 8);
}

// A set-up that failed part-way leaves no partial plane set behind: the
// next set-up makes every plane and rendering works.
TEST(SimpleRenderPipelineTest, SetUpAfterAFailedSetUpMakesEveryPlane) {
  const std::vector<MockStageDef> defs = {Add({0, 1, 2}, 1.0f)};
  test::FailingManager failing(2);  // the second channel's plane
  Built built = Build(defs, 3, MakeTestGeometry(40, 20), &failing.manager);
  ASSERT_TRUE(built.status.ok());
  RenderPipeline* p = built.pipeline.get();
  EXPECT_EQ(p->SetUpThreads(1, false), FailedStatus());
  EXPECT_TRUE(static_cast<SimpleRenderPipeline*>(p)->channel_planes.empty());
  EXPECT_EQ(failing.live.load(), 0);
  ASSERT_TRUE(p->SetUpThreads(1, false).ok());
  const auto inputs = test::MakeInputs({{40, 20}, {40, 20}, {40, 20}}, 19);
  ASSERT_TRUE(test::FeedGroups(p, inputs).ok());
  ExpectPlanesEqual(test::RenderReference(defs, 3, inputs, 40, 20),
                    built.capture->planes, "after retry");
}

}  // namespace
}  // namespace qov
