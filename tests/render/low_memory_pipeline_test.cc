// The group-by-group pipeline against the whole-frame one: identical output
// bit for bit, whatever the frame size, stage mix, channel shifts, frame
// placement, submission order or thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lib/base/memory.h"
#include "lib/base/task_pool.h"
#include "lib/render/low_memory_render_pipeline.h"
#include "tests/render/low_memory_test_stages.h"
#include "tests/support/counting_manager.h"

namespace qov {
namespace {

using lowmem_test::Capture;
using lowmem_test::MakeCaptureStage;
using lowmem_test::MakeCompositeStage;
using lowmem_test::MakeFailingStage;
using lowmem_test::MakeFilterStage;
using lowmem_test::MakeMixStage;
using lowmem_test::MakeShadeStage;

constexpr size_t kChannels = 4;

FrameGeometry MakeGeometry(uint64_t wu, uint64_t hu, uint64_t up, uint64_t dim = 128) {
  FrameGeometry g;
  g.xsize_upsampled = wu;
  g.ysize_upsampled = hu;
  g.xsize = (wu + up - 1) / up;
  g.ysize = (hu + up - 1) / up;
  g.xsize_blocks = (g.xsize + 7) / 8;
  g.ysize_blocks = (g.ysize + 7) / 8;
  g.xsize_padded = g.xsize_blocks * 8;
  g.ysize_padded = g.ysize_blocks * 8;
  g.xsize_upsampled_padded = g.xsize_padded * up;
  g.ysize_upsampled_padded = g.ysize_padded * up;
  g.group_dim = dim;
  g.dc_group_dim = dim * 8;
  g.xsize_groups = (g.xsize + dim - 1) / dim;
  g.ysize_groups = (g.ysize + dim - 1) / dim;
  g.num_groups = g.xsize_groups * g.ysize_groups;
  return g;
}

enum class Mix {
  kPlain,         // one in-place stage, no borders
  kFilters,       // two bordered filters, in-place stages, a read-only mix
  kUpsample2,     // in-place stage before and after a 2x upsampler
  kUpsample8,     // filter then 8x upsampler
  kChroma,        // channels 1 and 2 at half size, horizontal then vertical
  kComposite,     // filter, then a stage that places the frame in the image
  kUpsampleComposite,
};

const char* MixName(Mix m) {
  switch (m) {
    case Mix::kPlain: return "plain";
    case Mix::kFilters: return "filters";
    case Mix::kUpsample2: return "upsample2";
    case Mix::kUpsample8: return "upsample8";
    case Mix::kChroma: return "chroma";
    case Mix::kComposite: return "composite";
    case Mix::kUpsampleComposite: return "upsample-composite";
  }
  return "?";
}

uint64_t UpsamplingOf(Mix m) {
  return m == Mix::kUpsample2 || m == Mix::kUpsampleComposite ? 2
         : m == Mix::kUpsample8                               ? 8
                                                              : 1;
}

bool HasComposite(Mix m) { return m == Mix::kComposite || m == Mix::kUpsampleComposite; }

struct Case {
  uint64_t w, h;  // upsampled frame size
  Mix mix;
  int32_t x0 = 0, y0 = 0;          // frame origin (composite mixes)
  uint64_t image_w = 0, image_h = 0;
};

std::string CaseName(const Case& c) {
  return std::to_string(c.w) + "x" + std::to_string(c.h) + " " + MixName(c.mix) + " at " +
         std::to_string(c.x0) + "," + std::to_string(c.y0);
}

Status BuildMix(const Case& cs, RenderPipelineAssembler* a, Capture* capture) {
  auto add = [&](std::unique_ptr<RenderPipelineStage> s) { return a->Append(std::move(s)); };
  switch (cs.mix) {
    case Mix::kPlain:
      QOV_RETURN_IF_ERROR(add(MakeShadeStage(0xF)));
      break;
    case Mix::kFilters:
      QOV_RETURN_IF_ERROR(add(MakeShadeStage(0x8)));
      QOV_RETURN_IF_ERROR(add(MakeFilterStage(0x7, 3, 3)));
      QOV_RETURN_IF_ERROR(add(MakeShadeStage(0x7)));
      QOV_RETURN_IF_ERROR(add(MakeFilterStage(0x7, 1, 1)));
      QOV_RETURN_IF_ERROR(add(MakeMixStage(0, 3)));
      break;
    case Mix::kUpsample2:
      QOV_RETURN_IF_ERROR(add(MakeShadeStage(0xF)));
      QOV_RETURN_IF_ERROR(add(MakeFilterStage(0xF, 2, 2, 1, 1)));
      QOV_RETURN_IF_ERROR(add(MakeShadeStage(0x5)));
      break;
    case Mix::kUpsample8:
      QOV_RETURN_IF_ERROR(add(MakeFilterStage(0xF, 1, 1)));
      QOV_RETURN_IF_ERROR(add(MakeFilterStage(0xF, 2, 2, 3, 3)));
      break;
    case Mix::kChroma:
      QOV_RETURN_IF_ERROR(add(MakeShadeStage(0x6)));
      QOV_RETURN_IF_ERROR(add(MakeFilterStage(0x6, 1, 0, 1, 0)));
      QOV_RETURN_IF_ERROR(add(MakeFilterStage(0x6, 0, 1, 0, 1)));
      QOV_RETURN_IF_ERROR(add(MakeFilterStage(0x7, 1, 1)));
      QOV_RETURN_IF_ERROR(add(MakeMixStage(0, 3)));
      break;
    case Mix::kComposite:
      QOV_RETURN_IF_ERROR(add(MakeFilterStage(0x7, 2, 2)));
      QOV_RETURN_IF_ERROR(add(MakeShadeStage(0xF)));
      break;
    case Mix::kUpsampleComposite:
      QOV_RETURN_IF_ERROR(add(MakeShadeStage(0xF)));
      QOV_RETURN_IF_ERROR(add(MakeFilterStage(0xF, 2, 2, 1, 1)));
      break;
  }
  if (HasComposite(cs.mix)) {
    QOV_RETURN_IF_ERROR(add(MakeCompositeStage(kChannels, cs.image_w, cs.image_h, cs.x0, cs.y0)));
    QOV_RETURN_IF_ERROR(add(MakeShadeStage(0x3)));
  }
  return add(MakeCaptureStage(kChannels, capture));
}

// The decoded samples of channel c at (x, y) of its own resolution.
float InputSample(size_t c, uint64_t x, uint64_t y) {
  return static_cast<float>((x * 7 + y * 13 + c * 5) % 101) * 0.01f +
         static_cast<float>((x * y) % 7) * 0.003f + 0.1f * static_cast<float>(c);
}

Status SubmitGroup(RenderPipeline* p, uint64_t g, uint64_t thread) {
  GroupRenderInput input = p->OpenGroupInput(g, thread);
  const FrameGeometry& geo = p->frame_geometry;
  const uint64_t up = geo.xsize_upsampled_padded / geo.xsize_padded;
  const uint64_t gx = g % geo.xsize_groups, gy = g / geo.xsize_groups;
  for (size_t c = 0; c < input.buffers.size(); ++c) {
    const auto shift = p->channel_shifts[0][c];
    const uint64_t gw = (geo.group_dim * up) >> shift.first;
    const uint64_t gh = (geo.group_dim * up) >> shift.second;
    const GroupBuffer& b = input.buffers[c];
    for (uint64_t y = 0; y < b.rect.ysize; ++y) {
      float* row = b.Row(y);
      for (uint64_t x = 0; x < b.rect.xsize; ++x) {
        row[x] = InputSample(c, gx * gw + x, gy * gh + y);
      }
    }
  }
  return input.Submit();
}

// Runs items on `threads` std::threads, each taking the next index.
struct TestThreadPool {
  explicit TestThreadPool(int n) : threads(n) {}
  static int32_t Run(void* opaque, void* loop, TaskInitFn init, TaskItemFn item,
                     uint32_t begin, uint32_t end) {
    auto* self = static_cast<TestThreadPool*>(opaque);
    if (init != nullptr && init(loop, self->threads) != 0) return -1;
    std::atomic<uint32_t> next{begin};
    std::vector<std::thread> workers;
    for (int t = 0; t < self->threads; ++t) {
      workers.emplace_back([&, t] {
        for (uint32_t i = next++; i < end; i = next++) item(loop, i, t);
      });
    }
    for (auto& w : workers) w.join();
    return 0;
  }
  TaskPool pool() { return TaskPool{&Run, this}; }
  int threads;
};

enum class Order { kRaster, kReverse, kRandom };

std::vector<uint64_t> MakeOrder(uint64_t n, Order order, uint32_t seed) {
  std::vector<uint64_t> v(n);
  std::iota(v.begin(), v.end(), 0);
  if (order == Order::kReverse) std::reverse(v.begin(), v.end());
  if (order == Order::kRandom) std::shuffle(v.begin(), v.end(), std::mt19937(seed));
  return v;
}

struct Rendered {
  Status status;
  Capture capture;
};

Rendered Render(const Case& cs, bool simple, Order order, uint32_t seed, int threads,
                bool buffers_per_group = false) {
  const bool image = HasComposite(cs.mix);
  Rendered r{OkStatus(), Capture(kChannels, image ? cs.image_w : cs.w,
                                 image ? cs.image_h : cs.h)};
  RenderPipelineAssembler a(HeapMemoryManager(), kChannels, simple);
  r.status = BuildMix(cs, &a, &r.capture);
  if (!r.status.ok()) return r;
  auto p = a.Assemble(MakeGeometry(cs.w, cs.h, UpsamplingOf(cs.mix)));
  r.status = p.status();
  if (!r.status.ok()) return r;
  RenderPipeline* pipeline = p->get();
  r.status = pipeline->SetUpThreads(threads, buffers_per_group);
  if (!r.status.ok()) return r;
  const std::vector<uint64_t> groups =
      MakeOrder(pipeline->frame_geometry.num_groups, order, seed);
  if (threads == 1) {
    for (uint64_t g : groups) {
      r.status = SubmitGroup(pipeline, g, 0);
      if (!r.status.ok()) return r;
    }
  } else {
    TestThreadPool runner(threads);
    const TaskPool pool = runner.pool();
    r.status = RunOnPool(&pool, static_cast<uint32_t>(groups.size()), nullptr,
                         [&](uint32_t i, size_t t) { return SubmitGroup(pipeline, groups[i], t); });
  }
  return r;
}

// Every sample written once, with the same bits in both captures.
void ExpectSame(const Capture& want, const Capture& got, const std::string& what) {
  ASSERT_FALSE(want.bad_write) << what;
  ASSERT_FALSE(got.bad_write) << what;
  for (size_t c = 0; c < want.samples.size(); ++c) {
    size_t mismatches = 0, first = 0;
    for (size_t i = 0; i < want.samples[c].size(); ++i) {
      ASSERT_EQ(want.writes[c][i], 1) << what << " reference c" << c << " at " << i;
      ASSERT_EQ(got.writes[c][i], 1) << what << " c" << c << " at " << i % got.xsize
                                     << "," << i / got.xsize;
      if (std::memcmp(&want.samples[c][i], &got.samples[c][i], sizeof(float)) != 0) {
        if (mismatches++ == 0) first = i;
      }
    }
    EXPECT_EQ(mismatches, 0u) << what << " c" << c << " first at " << first % got.xsize
                              << "," << first / got.xsize << ": "
                              << want.samples[c][first] << " vs " << got.samples[c][first];
  }
}

std::vector<Case> ComparisonCases() {
  std::vector<Case> cases;
  const std::pair<uint64_t, uint64_t> sizes[] = {{1, 1},   {255, 61},  {256, 256},
                                                 {257, 300}, {2049, 70}, {130, 700}};
  for (Mix m : {Mix::kPlain, Mix::kFilters, Mix::kUpsample2, Mix::kUpsample8, Mix::kChroma}) {
    for (const auto& [w, h] : sizes) cases.push_back(Case{w, h, m});
  }
  // Frames placed in a larger or smaller image, at negative and partial origins.
  const Case placed[] = {
      {300, 200, Mix::kComposite, -5, 3, 400, 300},
      {300, 200, Mix::kComposite, 90, 150, 350, 260},
      {600, 300, Mix::kComposite, -260, -140, 300, 200},
      {257, 255, Mix::kComposite, 0, 0, 257, 255},
      {1, 1, Mix::kComposite, 3, 2, 9, 8},
      {514, 300, Mix::kUpsampleComposite, -7, -131, 520, 500},
      {258, 257, Mix::kUpsampleComposite, 33, 1, 200, 300},
  };
  cases.insert(cases.end(), std::begin(placed), std::end(placed));
  return cases;
}

TEST(LowMemoryPipelineTest, MatchesWholeFramePipelineInEveryOrder) {
  for (const Case& cs : ComparisonCases()) {
    const Rendered want = Render(cs, /*simple=*/true, Order::kRaster, 0, 1);
    ASSERT_TRUE(want.status.ok()) << CaseName(cs);
    for (Order order : {Order::kRaster, Order::kReverse, Order::kRandom}) {
      for (uint32_t seed = 0; seed < (order == Order::kRandom ? 3u : 1u); ++seed) {
        const Rendered got = Render(cs, false, order, seed, 1);
        const std::string what =
            CaseName(cs) + " order " + std::to_string(static_cast<int>(order)) + " seed " +
            std::to_string(seed);
        ASSERT_TRUE(got.status.ok()) << what;
        ExpectSame(want.capture, got.capture, what);
        if (HasFailure()) return;
      }
    }
  }
}

TEST(LowMemoryPipelineParallelTest, MatchesWholeFramePipeline) {
  const Case cases[] = {
      {2049, 300, Mix::kFilters},
      {600, 520, Mix::kUpsample2},
      {700, 450, Mix::kChroma},
      {900, 500, Mix::kComposite, -37, -70, 800, 480},
      {520, 514, Mix::kUpsampleComposite, 5, -9, 600, 600},
  };
  for (const Case& cs : cases) {
    const Rendered want = Render(cs, true, Order::kRaster, 0, 1);
    ASSERT_TRUE(want.status.ok()) << CaseName(cs);
    for (bool per_group : {false, true}) {
      for (uint32_t seed = 0; seed < 3; ++seed) {
        const Rendered got = Render(cs, false, Order::kRandom, seed, 4, per_group);
        const std::string what = CaseName(cs) + " seed " + std::to_string(seed) +
                                 (per_group ? " per group" : " per thread");
        ASSERT_TRUE(got.status.ok()) << what;
        ExpectSame(want.capture, got.capture, what);
        if (HasFailure()) return;
      }
    }
  }
}

}  // namespace
}  // namespace qov
