// Whole-frame pipeline: feeding every group of a three-channel frame and
// rendering it through an in-place stage, a 3x3 filter and a reading stage.
#include <benchmark/benchmark.h>

#include <memory>

#include "lib/base/memory.h"
#include "lib/render/render_pipeline.h"

namespace qov {
namespace {

// Adds 1 to channels 0-2 in place.
class BenchAddStage : public RenderPipelineStage {
 public:
  BenchAddStage() : RenderPipelineStage(StageGeometry{}) {}
  Status RenderRow(const ChannelRowSet& in, const ChannelRowSet&, size_t,
                   size_t, size_t xsize, size_t, size_t,
                   size_t) const override {
    for (size_t c = 0; c < 3; ++c) {
      float* row = in[c][0] + kRowLeadSamples;
      for (size_t x = 0; x < xsize; ++x) row[x] += 1.0f;
    }
    return OkStatus();
  }
  RowChannelMode ChannelModeOf(size_t) const override {
    return RowChannelMode::kModifyRows;
  }
  const char* StageName() const override { return "BenchAdd"; }
};

// A 3x3 sum of channel 0 into a separate output.
class BenchFilterStage : public RenderPipelineStage {
 public:
  BenchFilterStage() : RenderPipelineStage(StageGeometry{1, 1, 0, 0}) {}
  Status RenderRow(const ChannelRowSet& in, const ChannelRowSet& out, size_t,
                   size_t, size_t xsize, size_t, size_t,
                   size_t) const override {
    const float* r0 = in[0][0] + kRowLeadSamples;
    const float* r1 = in[0][1] + kRowLeadSamples;
    const float* r2 = in[0][2] + kRowLeadSamples;
    float* o = out[0][0] + kRowLeadSamples;
    for (size_t x = 0; x < xsize; ++x) {
      o[x] = r0[x - 1] + r0[x] + r0[x + 1] + r1[x - 1] + r1[x] + r1[x + 1] +
             r2[x - 1] + r2[x] + r2[x + 1];
    }
    return OkStatus();
  }
  RowChannelMode ChannelModeOf(size_t c) const override {
    return c == 0 ? RowChannelMode::kSeparateOutput : RowChannelMode::kNotUsed;
  }
  const char* StageName() const override { return "BenchFilter"; }
};

class BenchReadStage : public RenderPipelineStage {
 public:
  BenchReadStage() : RenderPipelineStage(StageGeometry{}) {}
  Status RenderRow(const ChannelRowSet& in, const ChannelRowSet&, size_t,
                   size_t, size_t xsize, size_t, size_t,
                   size_t) const override {
    benchmark::DoNotOptimize(in[0][0][kRowLeadSamples + xsize - 1]);
    return OkStatus();
  }
  RowChannelMode ChannelModeOf(size_t) const override {
    return RowChannelMode::kReadOnly;
  }
  const char* StageName() const override { return "BenchRead"; }
};

FrameGeometry Geometry(uint64_t side) {
  FrameGeometry g;
  g.xsize = g.xsize_upsampled = g.ysize = g.ysize_upsampled = side;
  g.xsize_padded = g.xsize_upsampled_padded = (side + 7) / 8 * 8;
  g.ysize_padded = g.ysize_upsampled_padded = (side + 7) / 8 * 8;
  g.xsize_blocks = g.ysize_blocks = (side + 7) / 8;
  g.group_dim = 256;
  g.dc_group_dim = 2048;
  g.xsize_groups = g.ysize_groups = (side + 255) / 256;
  g.xsize_dc_groups = g.ysize_dc_groups = 1;
  g.num_groups = g.xsize_groups * g.ysize_groups;
  g.num_dc_groups = 1;
  return g;
}

void BM_SimplePipelineFrame(benchmark::State& state) {
  const uint64_t side = static_cast<uint64_t>(state.range(0));
  RenderPipelineAssembler assembler(HeapMemoryManager(), 3, true);
  (void)assembler.Append(std::make_unique<BenchAddStage>()).ok();
  (void)assembler.Append(std::make_unique<BenchFilterStage>()).ok();
  (void)assembler.Append(std::make_unique<BenchReadStage>()).ok();
  auto assembled = assembler.Assemble(Geometry(side));
  if (!assembled.ok()) {
    state.SkipWithError("assembly failed");
    return;
  }
  std::unique_ptr<RenderPipeline> pipeline = std::move(assembled).value();
  if (!pipeline->SetUpThreads(1, false).ok()) {
    state.SkipWithError("set-up failed");
    return;
  }
  for (auto _ : state) {
    for (uint64_t g = 0; g < pipeline->frame_geometry.num_groups; ++g) {
      GroupRenderInput input = pipeline->OpenGroupInput(g, 0);
      for (const GroupBuffer& b : input.buffers) {
        for (uint64_t y = 0; y < b.rect.ysize; ++y) {
          float* row = b.Row(y);
          for (uint64_t x = 0; x < b.rect.xsize; ++x) row[x] = 0.5f;
        }
      }
      if (!input.Submit().ok()) state.SkipWithError("render failed");
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(side * side));
}
BENCHMARK(BM_SimplePipelineFrame)->Arg(256)->Arg(1024)->Arg(2049);

}  // namespace
}  // namespace qov
