// The group-by-group pipeline against the whole-frame one: identical output
// bit for bit, whatever the frame size, stage mix, channel shifts, frame
// placement, submission order or thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
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

// Heap allocations made by this process while `g_count_allocations` is set.
// The thread sanitizer's runtime defines operator new itself: there nothing
// is replaced and the allocation count is not checked.
#if defined(__SANITIZE_THREAD__)
#define QOV_TEST_OWN_OPERATOR_NEW 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QOV_TEST_OWN_OPERATOR_NEW 0
#endif
#endif
#ifndef QOV_TEST_OWN_OPERATOR_NEW
#define QOV_TEST_OWN_OPERATOR_NEW 1
#endif

std::atomic<bool> g_count_allocations{false};
std::atomic<int64_t> g_allocations{0};

#if QOV_TEST_OWN_OPERATOR_NEW

// Out of line, so that the compiler does not pair the malloc and free
// inside them with the new and delete expressions of other code.
[[gnu::noinline]] void* operator new(size_t size) {
  if (g_count_allocations.load(std::memory_order_relaxed)) ++g_allocations;
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept { std::free(p); }
#endif

namespace qov {
namespace {

using lowmem_test::Capture;
using lowmem_test::MakeCaptureStage;
using lowmem_test::MakeCompositeStage;
using lowmem_test::MakeCrossStage;
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
  kWidening,      // a narrow filter feeding a wide one
  kUnevenChains,  // a stage reading a filtered channel and one filtered later
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
    case Mix::kWidening: return "widening";
    case Mix::kUnevenChains: return "uneven-chains";
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
    case Mix::kWidening:
      QOV_RETURN_IF_ERROR(add(MakeFilterStage(0xF, 1, 1)));
      QOV_RETURN_IF_ERROR(add(MakeFilterStage(0xF, 3, 3)));
      break;
    case Mix::kUnevenChains:
      QOV_RETURN_IF_ERROR(add(MakeFilterStage(0x1, 1, 1)));
      QOV_RETURN_IF_ERROR(add(MakeMixStage(0, 3)));
      QOV_RETURN_IF_ERROR(add(MakeFilterStage(0x8, 3, 3)));
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
                                                 {257, 300}, {2049, 70}, {130, 700},
                                                 {147, 146}};
  for (Mix m : {Mix::kPlain, Mix::kFilters, Mix::kWidening, Mix::kUnevenChains, Mix::kUpsample2, Mix::kUpsample8, Mix::kChroma}) {
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


// Assembles `stages` (taken) into a low-memory pipeline for a frame.
StatusOr<std::unique_ptr<RenderPipeline>> AssembleLowMemory(
    std::vector<std::unique_ptr<RenderPipelineStage>> stages, const FrameGeometry& g,
    const QovMemoryManagerStruct* manager = HeapMemoryManager()) {
  RenderPipelineAssembler a(manager, kChannels, false);
  for (auto& s : stages) QOV_RETURN_IF_ERROR(a.Append(std::move(s)));
  return a.Assemble(g);
}

template <typename... S>
std::vector<std::unique_ptr<RenderPipelineStage>> Stages(S&&... s) {
  std::vector<std::unique_ptr<RenderPipelineStage>> v;
  (v.push_back(std::forward<S>(s)), ...);
  return v;
}

// A filter and a 2x upsampler for channels 0-2 of a 2x upsampled frame.
TEST(LowMemoryPipelineTest, ConfigureDerivesBandsMarginsAndLeads) {
  Capture cap(kChannels, 600, 400);
  auto p = AssembleLowMemory(Stages(MakeFilterStage(0x7, 1, 1), MakeFilterStage(0x7, 2, 2, 1, 1),
                                    MakeCaptureStage(3, &cap)),
                             MakeGeometry(600, 400, 2));
  ASSERT_TRUE(p.ok());
  const auto* lm = static_cast<const LowMemoryRenderPipeline*>(p->get());
  // Padding at stage 0: ceil(0 / 2) + 2 + 1 = 3 at half size -> 3 frame samples.
  EXPECT_EQ(lm->edge_band_x(), 16u);
  EXPECT_EQ(lm->edge_band_y(), 3u);
  EXPECT_EQ(lm->buffer_margin_x(), 32u);  // 16 + 3 = 19, rounded up
  EXPECT_EQ(lm->buffer_margin_y(), 6u);   // 3 + 3
  EXPECT_EQ(lm->first_tail_stage(), 2u);
  EXPECT_EQ(lm->first_image_space_stage(), 3u);
  EXPECT_EQ(lm->stage_lead_rows(), (std::vector<int32_t>{4, 0, 0}));
  EXPECT_EQ(lm->stage_column_margin(), (std::vector<int32_t>{2, 0, 0}));
  // Row-edge plane: half the padded width by 2 (group rows - 1) strips.
  EXPECT_EQ(lm->saved_row_edges(0).xsize(), 304u);
  EXPECT_EQ(lm->saved_row_edges(0).ysize(), 2u * 1 * 6);
  EXPECT_EQ(lm->saved_column_edges(0).xsize(), 2u * 2 * 19);
  // Channel 3 is not upsampled by any stage: full-size strips.
  EXPECT_EQ(lm->saved_row_edges(3).xsize(), 608u);
}

TEST(LowMemoryPipelineTest, ConfigureRefusesMisplacedImageStages) {
  Capture cap(kChannels, 300, 300);
  const FrameGeometry g = MakeGeometry(300, 300, 1);
  // Image coordinates before the last bordered stage.
  auto early = AssembleLowMemory(
      Stages(MakeCompositeStage(kChannels, 300, 300, 0, 0), MakeFilterStage(0x7, 1, 1),
             MakeCaptureStage(kChannels, &cap)),
      g);
  EXPECT_EQ(early.status(), FailedStatus());
  auto twice = AssembleLowMemory(
      Stages(MakeFilterStage(0x7, 1, 1), MakeCompositeStage(kChannels, 300, 300, 0, 0),
             MakeCompositeStage(kChannels, 300, 300, 0, 0), MakeCaptureStage(kChannels, &cap)),
      g);
  EXPECT_EQ(twice.status(), FailedStatus());
  // A frame with no groups has nothing to store edges for.
  auto empty = AssembleLowMemory(Stages(MakeCaptureStage(kChannels, &cap)), MakeGeometry(0, 0, 1));
  EXPECT_EQ(empty.status(), FailedStatus());
}

TEST(LowMemoryPipelineTest, BufferSetsGrowRingsFollowThreadCount) {
  Capture cap(kChannels, 400, 300);
  auto p = AssembleLowMemory(
      Stages(MakeFilterStage(0x7, 1, 1), MakeCompositeStage(kChannels, 400, 300, 0, 0),
             MakeCaptureStage(kChannels, &cap)),
      MakeGeometry(300, 200, 1));
  ASSERT_TRUE(p.ok());
  auto* lm = static_cast<LowMemoryRenderPipeline*>(p->get());
  ASSERT_TRUE(lm->SetUpThreads(4, false).ok());
  ASSERT_TRUE(lm->SetUpThreads(2, false).ok());
  EXPECT_EQ(lm->num_buffer_sets(), 4u);
  EXPECT_EQ(lm->num_ring_threads(), 2u);
  EXPECT_EQ(lm->num_outside_rows(), 2u);
  // Per thread: the thread picks the set; the last group column is narrower.
  const auto a = lm->AcquireGroupBuffers(5, 1);
  EXPECT_EQ(a[0].rect.x0, lm->buffer_margin_x());
  EXPECT_EQ(a[0].rect.y0, lm->buffer_margin_y());
  EXPECT_EQ(a[0].rect.xsize, 300u - 256u);
  EXPECT_EQ(a[0].rect.ysize, 200u - 128u);
  EXPECT_EQ(lm->AcquireGroupBuffers(0, 1)[0].plane, a[0].plane);
  // Per group: the group picks the set, whatever the thread.
  ASSERT_TRUE(lm->SetUpThreads(2, true).ok());
  EXPECT_EQ(lm->num_buffer_sets(), 6u);
  EXPECT_EQ(lm->AcquireGroupBuffers(4, 0)[2].plane, lm->AcquireGroupBuffers(4, 1)[2].plane);
  EXPECT_NE(lm->AcquireGroupBuffers(4, 0)[2].plane, lm->AcquireGroupBuffers(3, 0)[2].plane);
}

TEST(LowMemoryPipelineTest, OneGroupKeepsNoEdges) {
  Capture cap(kChannels, 100, 90);
  auto p = AssembleLowMemory(Stages(MakeFilterStage(0xF, 2, 2), MakeCaptureStage(kChannels, &cap)),
                             MakeGeometry(100, 90, 1));
  ASSERT_TRUE(p.ok());
  const auto* lm = static_cast<const LowMemoryRenderPipeline*>(p->get());
  for (size_t c = 0; c < kChannels; ++c) {
    EXPECT_EQ(lm->saved_row_edges(c).ysize(), 0u);
    EXPECT_EQ(lm->saved_column_edges(c).xsize(), 0u);
  }
}

TEST(LowMemoryPipelineTest, FetchRefusesRectanglesInsideThePadding) {
  Capture cap(kChannels, 300, 300);
  auto p = AssembleLowMemory(Stages(MakeFilterStage(0xF, 3, 3), MakeCaptureStage(kChannels, &cap)),
                             MakeGeometry(300, 300, 1));
  ASSERT_TRUE(p.ok());
  auto* lm = static_cast<LowMemoryRenderPipeline*>(p->get());
  ASSERT_TRUE(lm->SetUpThreads(1, false).ok());
  PlaneStorage* plane = lm->AcquireGroupBuffers(0, 0)[0].plane;
  EXPECT_EQ(lm->FetchNeighbourEdges(0, 0, PixelRect{2, 0, 8, 8}, plane), FailedStatus());
  EXPECT_EQ(lm->FetchNeighbourEdges(0, 0, PixelRect{0, 1, 8, 8}, plane), FailedStatus());
  // The corner band of the centre group (bands: 16 columns, 3 rows).
  EXPECT_EQ(lm->FetchNeighbourEdges(4, 0, PixelRect{112, 125, 32, 6}, plane), OkStatus());
  // A rectangle far outside the group's own area.
  EXPECT_EQ(lm->FetchNeighbourEdges(7, 0, PixelRect{112, 250, 32, 50}, plane), FailedStatus());
}

// A frame that shares nothing with the image: group 0 fills the whole image
// with what the compositing stage supplies, nothing else is written.
TEST(LowMemoryPipelineTest, FrameOutsideImageFillsImageOnce) {
  const Case cs{300, 200, Mix::kComposite, 500, 20, 120, 90};
  const Rendered got = Render(cs, false, Order::kReverse, 0, 1);
  ASSERT_TRUE(got.status.ok());
  ASSERT_FALSE(got.capture.bad_write);
  for (size_t i = 0; i < 120 * 90; ++i) {
    ASSERT_EQ(got.capture.writes[2][i], 1) << i;
    const size_t x = i % 120, y = i / 120;
    const float pad = -1.0f - 0.01f * static_cast<float>(x % 13) -
                      0.001f * static_cast<float>(y % 11);
    ASSERT_EQ(got.capture.samples[2][i], pad) << x << "," << y;
  }
}

// A further pass: every group forgotten and submitted again renders the
// same frame again (the group buffers still hold the decoded samples).
TEST(LowMemoryPipelineTest, ForgottenGroupsRenderAgain) {
  const Case cs{600, 520, Mix::kUpsample2};
  const Rendered want = Render(cs, true, Order::kRaster, 0, 1);
  ASSERT_TRUE(want.status.ok());
  for (bool per_group : {false, true}) {
    Capture cap(kChannels, cs.w, cs.h);
    RenderPipelineAssembler a(HeapMemoryManager(), kChannels, false);
    ASSERT_TRUE(BuildMix(cs, &a, &cap).ok());
    auto p = a.Assemble(MakeGeometry(cs.w, cs.h, 2));
    ASSERT_TRUE(p.ok());
    RenderPipeline* pipeline = p->get();
    ASSERT_TRUE(pipeline->SetUpThreads(1, per_group).ok());
    const uint64_t n = pipeline->frame_geometry.num_groups;
    for (uint64_t g : MakeOrder(n, Order::kRandom, 7)) ASSERT_TRUE(SubmitGroup(pipeline, g, 0).ok());
    for (uint64_t g = 0; g < n; ++g) pipeline->ForgetGroup(g);
    for (uint64_t g : MakeOrder(n, Order::kRandom, 8)) {
      if (per_group) {
        // Resubmitted as they are: nothing written anew into the buffers.
        ASSERT_TRUE(pipeline->OpenGroupInput(g, 0).Submit().ok());
      } else {
        ASSERT_TRUE(SubmitGroup(pipeline, g, 0).ok());
      }
    }
    for (size_t c = 0; c < kChannels; ++c) {
      for (size_t i = 0; i < cap.writes[c].size(); ++i) {
        ASSERT_EQ(cap.writes[c][i], 2) << c << " " << i;
        ASSERT_EQ(cap.samples[c][i], want.capture.samples[c][i]) << c << " " << i;
      }
    }
  }
}

TEST(LowMemoryPipelineTest, StageFailureStopsTheGroup) {
  Capture cap(kChannels, 300, 300);
  auto p = AssembleLowMemory(Stages(MakeFilterStage(0xF, 1, 1), MakeFailingStage(40),
                                    MakeCaptureStage(kChannels, &cap)),
                             MakeGeometry(300, 300, 1));
  ASSERT_TRUE(p.ok());
  ASSERT_TRUE((*p)->SetUpThreads(1, false).ok());
  EXPECT_EQ(SubmitGroup(p->get(), 0, 0), FailedStatus());
}

// Refusing the k-th allocation, for every k: a clean failure somewhere on the
// way (assembly, set-up or rendering), nothing left allocated afterwards.
TEST(LowMemoryPipelineTest, EveryAllocationFailureIsClean) {
  const Case cs{520, 300, Mix::kUpsampleComposite, -9, 4, 530, 310};
  int k = 0;
  for (;; ++k) {
    test::CountingManager mm;
    mm.refuse_from = k;
    Status status = OkStatus();
    {
      Capture cap(kChannels, cs.image_w, cs.image_h);
      RenderPipelineAssembler a(&mm.manager, kChannels, false);
      ASSERT_TRUE(BuildMix(cs, &a, &cap).ok());
      auto p = a.Assemble(MakeGeometry(cs.w, cs.h, 2));
      status = p.status();
      if (status.ok()) status = (*p)->SetUpThreads(2, false);
      if (status.ok()) {
        for (uint64_t g = 0; g < (*p)->frame_geometry.num_groups && status.ok(); ++g) {
          status = SubmitGroup(p->get(), g, g % 2);
        }
      }
    }
    EXPECT_EQ(mm.live, 0) << k;
    if (status.ok()) break;
    EXPECT_EQ(status, FailedStatus()) << k;
  }
  EXPECT_GT(k, 20);  // edges, buffers, rings, outside rows, working copies
}


// Rendering allocates nothing: once set up, a pass over every group makes
// only the handles' buffer lists (one per group) and takes nothing from the
// memory manager.
TEST(LowMemoryPipelineTest, RenderingAllocatesNothing) {
  if (!QOV_TEST_OWN_OPERATOR_NEW) GTEST_SKIP() << "operator new belongs to the sanitizer";
  for (Mix mix : {Mix::kFilters, Mix::kUpsample2, Mix::kChroma, Mix::kUpsampleComposite}) {
    const Case cs{600, 520, mix, -3, 5, 610, 500};
    test::CountingManager mm;
    Capture cap(kChannels, HasComposite(mix) ? cs.image_w : cs.w,
                HasComposite(mix) ? cs.image_h : cs.h);
    RenderPipelineAssembler a(&mm.manager, kChannels, false);
    ASSERT_TRUE(BuildMix(cs, &a, &cap).ok());
    auto p = a.Assemble(MakeGeometry(cs.w, cs.h, UpsamplingOf(mix)));
    ASSERT_TRUE(p.ok());
    RenderPipeline* pipeline = p->get();
    ASSERT_TRUE(pipeline->SetUpThreads(1, false).ok());
    const uint64_t n = pipeline->frame_geometry.num_groups;
    for (uint64_t g = 0; g < n; ++g) ASSERT_TRUE(SubmitGroup(pipeline, g, 0).ok());
    for (uint64_t g = 0; g < n; ++g) pipeline->ForgetGroup(g);
    const int managed = mm.allocs;
    const std::vector<uint64_t> order = MakeOrder(n, Order::kRandom, 1);
    g_allocations = 0;
    g_count_allocations = true;
    Status status = OkStatus();
    for (uint64_t g : order) {
      status = SubmitGroup(pipeline, g, 0);
      if (!status.ok()) break;
    }
    g_count_allocations = false;
    ASSERT_TRUE(status.ok()) << MixName(mix);
    EXPECT_EQ(g_allocations.load(), static_cast<int64_t>(n)) << MixName(mix);
    EXPECT_EQ(mm.allocs, managed) << MixName(mix);
  }
}


// A stage that writes two channels with different chains after it drives
// the first channel's filter further ahead than that channel's padding
// covers: the samples near band edges are then not defined by the stage
// declarations, but every read stays inside the buffers and every sample is
// still written once.
TEST(LowMemoryPipelineTest, CrossChannelStagesStayInsideTheBuffers) {
  for (Order order : {Order::kRaster, Order::kReverse, Order::kRandom}) {
    Capture cap(kChannels, 300, 290);
    auto p = AssembleLowMemory(Stages(MakeFilterStage(0x1, 1, 1), MakeCrossStage(0, 3),
                                      MakeFilterStage(0x8, 3, 3), MakeCaptureStage(kChannels, &cap)),
                               MakeGeometry(300, 290, 1));
    ASSERT_TRUE(p.ok());
    const auto* lm = static_cast<const LowMemoryRenderPipeline*>(p->get());
    EXPECT_EQ(lm->stage_lead_rows(), (std::vector<int32_t>{3, 3, 0, 0}));
    EXPECT_GE(lm->buffer_margin_y(), 3u + 3u + 1u);  // band, lead, border
    ASSERT_TRUE((*p)->SetUpThreads(1, false).ok());
    for (uint64_t g : MakeOrder((*p)->frame_geometry.num_groups, order, 4)) {
      ASSERT_TRUE(SubmitGroup(p->get(), g, 0).ok());
    }
    ASSERT_FALSE(cap.bad_write);
    for (size_t c = 0; c < kChannels; ++c) {
      for (uint8_t w : cap.writes[c]) ASSERT_EQ(w, 1);
    }
  }
}

}  // namespace
}  // namespace qov
