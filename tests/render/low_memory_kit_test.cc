// The group-by-group pipeline on the shared render test kit: mock chains
// checked against their direct whole-image computation (with stages that
// scribble past their spans), VarDCT and modular geometries of every group
// size, and the k-th allocation refused on several threads.
#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "lib/base/memory.h"
#include "lib/render/low_memory_render_pipeline.h"
#include "tests/render/render_test_kit_helpers.h"

namespace qov {
namespace {

using test::CaptureStage;
using test::MakeTestGeometry;
using test::MockKind;
using test::MockStageDef;
using test::TestPlane;

MockStageDef Spec(MockKind kind, std::vector<size_t> channels, uint64_t param = 0,
              float value = 0.f, bool poison = false) {
  MockStageDef s;
  s.kind = kind;
  s.channels = std::move(channels);
  s.param = param;
  s.value = value;
  s.poison = poison;
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
  std::vector<MockStageDef> specs;
  uint64_t upsampling = 1;
};

std::vector<Chain> Chains() {
  const MockKind box = MockKind::kBox, up = MockKind::kUpsample,
                 add = MockKind::kAddConstant, over = MockKind::kOverreach,
                 coord = MockKind::kCoordinates;
  return {
      {"overreach around filters",
       {Spec(over, {0, 1, 2}, 0, 0.5f), Spec(box, {0, 1, 2}, 2), Spec(over, {0, 1, 2}, 0, 0.25f),
        Spec(box, {0, 1, 2}, 1), Spec(over, {0, 1, 2, 3}, 0, 1.f)}},
      {"coordinates then filters",
       {Spec(coord, {0, 3}), Spec(box, {0, 1}, 3), Spec(add, {1}, 0, 2.f)}},
      {"overreach before poisoned 2x",
       {Spec(over, {0, 1, 2, 3}, 0, 0.5f), Spec(up, {0, 1, 2, 3}, 1, 0.f, true),
        Spec(over, {0, 1}, 0, 0.125f)},
       2},
      {"filter before poisoned 8x",
       {Spec(box, {0, 1, 2}, 1), Spec(up, {0, 1, 2}, 3, 0.f, true), Spec(up, {3}, 3, 0.f, true),
        Spec(coord, {3})},
       8},
      {"half-size channels",
       {Spec(over, {1, 2}, 0, 0.5f), Spec(up, {1, 2}, 1, 0.f, true), Spec(box, {0, 1, 2}, 1)}},
      {"image placement",
       {Spec(box, {0, 1, 2}, 2), Spec(over, {0, 1, 2, 3}, 0, 0.5f), Image(700, 150, -40, -30, 9.f),
        Spec(add, {0, 3}, 0, 1.f)}},
      {"upsampled image placement",
       {Spec(over, {0, 1, 2, 3}, 0, 0.5f), Spec(up, {0, 1, 2, 3}, 1, 0.f, true),
        Image(300, 900, 17, 400, -2.f)},
       2},
  };
}

constexpr size_t kChannels = 4;

struct Result {
  Status status;
  std::vector<TestPlane> planes;
  bool once = false;
};

Result RenderLowMemory(const Chain& chain, const FrameGeometry& geometry,
                       const std::vector<TestPlane>& inputs, size_t threads,
                       uint32_t seed, const QovMemoryManagerStruct* manager) {
  Result r;
  RenderPipelineAssembler assembler(manager, kChannels, false);
  for (const MockStageDef& spec : chain.specs) {
    EXPECT_TRUE(assembler.Append(test::MakeMockStage(spec)).ok());
  }
  auto capture_owned = std::make_unique<CaptureStage>(kChannels);
  CaptureStage* capture = capture_owned.get();
  EXPECT_TRUE(assembler.Append(std::move(capture_owned)).ok());
  auto pipeline = assembler.Assemble(geometry);
  r.status = pipeline.status();
  if (!r.status.ok()) return r;
  RenderPipeline* p = pipeline->get();
  r.status = p->SetUpThreads(threads, false);
  if (!r.status.ok()) return r;
  std::vector<uint64_t> order(geometry.num_groups);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937(seed));
  if (threads == 1) {
    r.status = test::FeedGroups(p, inputs, order);
  } else {
    test::ThreadedRunner runner(threads);
    const TaskPool pool = runner.pool();
    r.status = RunOnPool(&pool, static_cast<uint32_t>(order.size()), nullptr,
                         [&](uint32_t i, size_t t) {
                           return test::WriteGroup(p, inputs, order[i], t).Submit();
                         });
  }
  r.planes = capture->planes;
  r.once = capture->AllWrittenOnce();
  return r;
}

void ExpectEqualPlanes(const std::vector<TestPlane>& want, const std::vector<TestPlane>& got,
                       const std::string& what) {
  ASSERT_EQ(want.size(), got.size()) << what;
  for (size_t c = 0; c < want.size(); ++c) {
    ASSERT_EQ(want[c].xsize, got[c].xsize) << what << " c" << c;
    ASSERT_EQ(want[c].ysize, got[c].ysize) << what << " c" << c;
    for (uint64_t y = 0; y < want[c].ysize; ++y) {
      for (uint64_t x = 0; x < want[c].xsize; ++x) {
        ASSERT_EQ(want[c].at(x, y), got[c].at(x, y))
            << what << " c" << c << " at (" << x << ", " << y << ")";
      }
    }
  }
}

struct Frame {
  uint64_t w, h;
  uint32_t group_shift;
  bool vardct;
};

TEST(LowMemoryKitTest, MatchesWholeImageComputation) {
  const Frame frames[] = {{1, 1, 0, true},     {300, 257, 0, true}, {700, 300, 1, false},
                          {1100, 600, 2, true}, {1500, 300, 3, false}};
  for (const Chain& chain : Chains()) {
    for (const Frame& f : frames) {
      const FrameGeometry geometry =
          MakeTestGeometry(f.w, f.h, chain.upsampling, f.group_shift, f.vardct);
      const auto sizes = test::InputSizes(chain.specs, kChannels, f.w, f.h);
      const auto inputs = test::MakeInputs(sizes, 5);
      const auto want = test::RenderReference(chain.specs, kChannels, inputs, f.w, f.h);
      for (uint32_t seed = 0; seed < 2; ++seed) {
        const std::string what = std::string(chain.name) + " " + std::to_string(f.w) + "x" +
                                 std::to_string(f.h) + " groups " +
                                 std::to_string(128 << f.group_shift) + " seed " +
                                 std::to_string(seed);
        const Result got =
            RenderLowMemory(chain, geometry, inputs, 1, seed, HeapMemoryManager());
        ASSERT_TRUE(got.status.ok()) << what;
        EXPECT_TRUE(got.once) << what;
        ExpectEqualPlanes(want, got.planes, what);
        if (HasFailure()) return;
      }
    }
  }
}

TEST(LowMemoryKitParallelTest, MatchesWholeImageComputation) {
  for (const Chain& chain : Chains()) {
    const uint64_t w = 1100, h = 700;
    const FrameGeometry geometry = MakeTestGeometry(w, h, chain.upsampling, 1, true);
    const auto inputs = test::MakeInputs(test::InputSizes(chain.specs, kChannels, w, h), 9);
    const auto want = test::RenderReference(chain.specs, kChannels, inputs, w, h);
    const Result got = RenderLowMemory(chain, geometry, inputs, 8, 3, HeapMemoryManager());
    ASSERT_TRUE(got.status.ok()) << chain.name;
    EXPECT_TRUE(got.once) << chain.name;
    ExpectEqualPlanes(want, got.planes, chain.name);
  }
}

// Exactly the k-th allocation refused, for every k, with two threads
// rendering: a failure, never a crash, and nothing left allocated.
TEST(LowMemoryKitParallelTest, EachRefusedAllocationFailsCleanly) {
  const Chain chain = Chains()[6];
  const uint64_t w = 600, h = 500;
  const FrameGeometry geometry = MakeTestGeometry(w, h, chain.upsampling, 0, true);
  const auto inputs = test::MakeInputs(test::InputSizes(chain.specs, kChannels, w, h), 2);
  int64_t total = 0;
  {
    test::FailingManager counting(0);
    const Result ok = RenderLowMemory(chain, geometry, inputs, 2, 1, &counting.manager);
    ASSERT_TRUE(ok.status.ok());
    total = counting.attempts.load();
  }
  ASSERT_GT(total, 20);
  for (int64_t k = 1; k <= total; ++k) {
    test::FailingManager mm(k);
    const Result r = RenderLowMemory(chain, geometry, inputs, 2, 1, &mm.manager);
    EXPECT_EQ(r.status, FailedStatus()) << k;
    EXPECT_EQ(mm.live.load(), 0) << k;
  }
}

}  // namespace
}  // namespace qov
