// The group-by-group render pipeline on a 4096 x 4096 frame through four
// float stages (a 3 x 3 filter, a 5-tap cross filter, an in-place gain and
// a read-only sink), on 1 and 8 threads: megapixels per second, and the peak
// memory the pipeline holds through its memory manager (total and per group
// of the frame).
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "benchmark/benchmark.h"
#include "lib/base/task_pool.h"
#include "lib/render/render_pipeline.h"

namespace qov {
namespace {

constexpr uint64_t kFrameSize = 4096;
constexpr size_t kChannels = 3;

// A memory manager that tracks the live and the peak number of bytes.
struct PeakManager {
  QovMemoryManagerStruct manager{this, &Alloc, &Free};
  std::atomic<uint64_t> live{0};
  std::atomic<uint64_t> peak{0};

  static void* Alloc(void* opaque, uint64_t size) {
    auto* self = static_cast<PeakManager*>(opaque);
    auto* p = static_cast<uint64_t*>(std::malloc(size + 16));
    if (p == nullptr) return nullptr;
    p[0] = size;
    const uint64_t now = self->live.fetch_add(size) + size;
    uint64_t seen = self->peak.load();
    while (now > seen && !self->peak.compare_exchange_weak(seen, now)) {
    }
    return p + 2;
  }
  static void Free(void* opaque, void* address) {
    auto* self = static_cast<PeakManager*>(opaque);
    uint64_t* p = static_cast<uint64_t*>(address) - 2;
    self->live.fetch_sub(p[0]);
    std::free(p);
  }
};

float* At(float* row, int64_t i) { return row + kRowLeadSamples + i; }

// 3 x 3 weighted filter of every channel.
class Filter3Stage : public RenderPipelineStage {
 public:
  Filter3Stage() : RenderPipelineStage(StageGeometry{1, 1, 0, 0}) {}
  Status RenderRow(const ChannelRowSet& in, const ChannelRowSet& out, size_t el,
                   size_t er, size_t xsize, size_t, size_t, size_t) const override {
    const int64_t end = static_cast<int64_t>(xsize + er);
    for (size_t c = 0; c < kChannels; ++c) {
      const float* r0 = At(in[c][0], 0);
      const float* r1 = At(in[c][1], 0);
      const float* r2 = At(in[c][2], 0);
      float* o = At(out[c][0], 0);
      for (int64_t x = -static_cast<int64_t>(el); x < end; ++x) {
        const float edges = r0[x] + r2[x] + r1[x - 1] + r1[x + 1];
        const float corners = r0[x - 1] + r0[x + 1] + r2[x - 1] + r2[x + 1];
        o[x] = 0.6f * r1[x] + 0.08f * edges + 0.02f * corners;
      }
    }
    return OkStatus();
  }
  RowChannelMode ChannelModeOf(size_t c) const override {
    return c < kChannels ? RowChannelMode::kSeparateOutput : RowChannelMode::kNotUsed;
  }
  const char* StageName() const override { return "BenchFilter3"; }
};

// A cross of radius 2 of every channel.
class Cross5Stage : public RenderPipelineStage {
 public:
  Cross5Stage() : RenderPipelineStage(StageGeometry{2, 2, 0, 0}) {}
  Status RenderRow(const ChannelRowSet& in, const ChannelRowSet& out, size_t el,
                   size_t er, size_t xsize, size_t, size_t, size_t) const override {
    const int64_t end = static_cast<int64_t>(xsize + er);
    for (size_t c = 0; c < kChannels; ++c) {
      const float* m = At(in[c][2], 0);
      float* o = At(out[c][0], 0);
      for (int64_t x = -static_cast<int64_t>(el); x < end; ++x) {
        const float near = m[x - 1] + m[x + 1] + At(in[c][1], x)[0] + At(in[c][3], x)[0];
        const float far = m[x - 2] + m[x + 2] + At(in[c][0], x)[0] + At(in[c][4], x)[0];
        o[x] = 0.5f * m[x] + 0.1f * near + 0.025f * far;
      }
    }
    return OkStatus();
  }
  RowChannelMode ChannelModeOf(size_t c) const override {
    return c < kChannels ? RowChannelMode::kSeparateOutput : RowChannelMode::kNotUsed;
  }
  const char* StageName() const override { return "BenchCross5"; }
};

class GainStage : public RenderPipelineStage {
 public:
  GainStage() : RenderPipelineStage(StageGeometry{}) {}
  Status RenderRow(const ChannelRowSet& in, const ChannelRowSet&, size_t el, size_t er,
                   size_t xsize, size_t, size_t, size_t) const override {
    const int64_t end = static_cast<int64_t>(xsize + er);
    for (size_t c = 0; c < kChannels; ++c) {
      float* r = At(in[c][0], 0);
      for (int64_t x = -static_cast<int64_t>(el); x < end; ++x) r[x] = r[x] * 1.25f + 0.01f;
    }
    return OkStatus();
  }
  RowChannelMode ChannelModeOf(size_t c) const override {
    return c < kChannels ? RowChannelMode::kModifyRows : RowChannelMode::kNotUsed;
  }
  const char* StageName() const override { return "BenchGain"; }
};

// Sums every sample into the calling thread's accumulator.
class SinkStage : public RenderPipelineStage {
 public:
  SinkStage() : RenderPipelineStage(StageGeometry{}) {}
  Status SetUpForThreads(size_t n) override {
    sums_.assign(n * 16, 0.f);  // one cache line per thread
    return OkStatus();
  }
  Status RenderRow(const ChannelRowSet& in, const ChannelRowSet&, size_t, size_t,
                   size_t xsize, size_t, size_t, size_t thread) const override {
    float sum = 0.f;
    for (size_t c = 0; c < kChannels; ++c) {
      const float* r = At(in[c][0], 0);
      for (size_t x = 0; x < xsize; ++x) sum += r[x];
    }
    sums_[thread * 16] += sum;
    return OkStatus();
  }
  RowChannelMode ChannelModeOf(size_t c) const override {
    return c < kChannels ? RowChannelMode::kReadOnly : RowChannelMode::kNotUsed;
  }
  const char* StageName() const override { return "BenchSink"; }

 private:
  mutable std::vector<float> sums_;
};

FrameGeometry Geometry(uint64_t size) {
  FrameGeometry g;
  g.xsize = g.ysize = g.xsize_upsampled = g.ysize_upsampled = size;
  g.xsize_padded = g.ysize_padded = g.xsize_upsampled_padded = g.ysize_upsampled_padded =
      (size + 7) / 8 * 8;
  g.xsize_blocks = g.ysize_blocks = (size + 7) / 8;
  g.group_dim = 128;
  g.dc_group_dim = 1024;
  g.xsize_groups = g.ysize_groups = (size + 127) / 128;
  g.num_groups = g.xsize_groups * g.ysize_groups;
  return g;
}

struct Runner {
  static int32_t Run(void* opaque, void* loop, TaskInitFn init, TaskItemFn item,
                     uint32_t begin, uint32_t end) {
    const int threads = *static_cast<int*>(opaque);
    if (init != nullptr && init(loop, threads) != 0) return -1;
    std::atomic<uint32_t> next{begin};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        for (uint32_t i = next++; i < end; i = next++) item(loop, i, t);
      });
    }
    for (auto& w : workers) w.join();
    return 0;
  }
};

Status SubmitGroup(RenderPipeline* p, uint64_t g, uint64_t thread) {
  GroupRenderInput input = p->OpenGroupInput(g, thread);
  for (size_t c = 0; c < input.buffers.size(); ++c) {
    const GroupBuffer& b = input.buffers[c];
    for (uint64_t y = 0; y < b.rect.ysize; ++y) {
      float* row = b.Row(y);
      for (uint64_t x = 0; x < b.rect.xsize; ++x) row[x] = 0.001f * static_cast<float>((x + y + g) & 255);
    }
  }
  return input.Submit();
}

void BM_LowMemoryPipeline4096(benchmark::State& state) {
  int threads = static_cast<int>(state.range(0));
  PeakManager mm;
  const FrameGeometry geometry = Geometry(kFrameSize);
  std::unique_ptr<RenderPipeline> pipeline;
  {
    RenderPipelineAssembler a(&mm.manager, kChannels, false);
    if (!a.Append(std::make_unique<Filter3Stage>()).ok() ||
        !a.Append(std::make_unique<Cross5Stage>()).ok() ||
        !a.Append(std::make_unique<GainStage>()).ok() ||
        !a.Append(std::make_unique<SinkStage>()).ok()) {
      state.SkipWithError("append failed");
      return;
    }
    auto assembled = a.Assemble(geometry);
    if (!assembled.ok()) {
      state.SkipWithError("assembly failed");
      return;
    }
    pipeline = std::move(assembled).value();
  }
  if (!pipeline->SetUpThreads(threads, false).ok()) {
    state.SkipWithError("set-up failed");
    return;
  }
  const TaskPool pool{&Runner::Run, &threads};
  RenderPipeline* p = pipeline.get();
  const uint32_t groups = static_cast<uint32_t>(geometry.num_groups);
  for (auto _ : state) {
    for (uint64_t g = 0; g < groups; ++g) p->ForgetGroup(g);
    const Status status = RunOnPool(threads > 1 ? &pool : nullptr, groups, nullptr,
                                    [&](uint32_t i, size_t t) { return SubmitGroup(p, i, t); });
    if (!status.ok()) {
      state.SkipWithError("render failed");
      return;
    }
  }
  const double megapixels = static_cast<double>(kFrameSize * kFrameSize) / 1e6;
  state.counters["MP/s"] = benchmark::Counter(megapixels * static_cast<double>(state.iterations()),
                                              benchmark::Counter::kIsRate);
  state.counters["peak_MB"] = static_cast<double>(mm.peak.load()) / (1024.0 * 1024.0);
  state.counters["peak_KB_per_group"] =
      static_cast<double>(mm.peak.load()) / 1024.0 / static_cast<double>(groups);
}
BENCHMARK(BM_LowMemoryPipeline4096)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace qov
