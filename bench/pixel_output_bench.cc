// Pixel output: the conversion kernels on 1024-pixel RGBA chunks (dispatched
// and scalar), and the output stage writing a frame into a buffer.
#include <benchmark/benchmark.h>

#include <vector>

#include "lib/base/memory.h"
#include "lib/render/pixel_pack.h"
#include "lib/render/write_to_output_stage.h"

namespace qov {
namespace {

struct Chunk {
  std::vector<float> planes[4];
  const float* rows[4];
  Chunk() {
    for (size_t c = 0; c < 4; ++c) {
      planes[c].resize(1024 + 8);
      for (size_t i = 0; i < planes[c].size(); ++i) {
        planes[c][i] = static_cast<float>((i * 37 + c * 11) % 1000) / 999.0f;
      }
      rows[c] = planes[c].data();
    }
  }
};

void BM_PackUint8(benchmark::State& state) {
  Chunk chunk;
  std::vector<uint8_t> out(4 * 1024 + 64);
  const bool scalar = state.range(0) != 0;
  for (auto _ : state) {
    if (scalar) {
      PackUint8DitheredScalar(chunk.rows, 4, 1024, 255.0f, 5, 7, out.data());
    } else {
      PackUint8Dithered(chunk.rows, 4, 1024, 255.0f, 5, 7, out.data());
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_PackUint8)->Arg(0)->Arg(1);

void BM_PackUint16(benchmark::State& state) {
  Chunk chunk;
  std::vector<uint16_t> out(4 * 1024 + 64);
  const bool scalar = state.range(0) != 0;
  for (auto _ : state) {
    if (scalar) {
      PackUint16Scalar(chunk.rows, 4, 1024, 65535.0f, out.data());
    } else {
      PackUint16(chunk.rows, 4, 1024, 65535.0f, out.data());
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_PackUint16)->Arg(0)->Arg(1);

void BM_PackFloat16(benchmark::State& state) {
  Chunk chunk;
  std::vector<uint16_t> out(4 * 1024 + 64);
  const bool scalar = state.range(0) != 0;
  for (auto _ : state) {
    if (scalar) {
      PackFloat16Scalar(chunk.rows, 4, 1024, out.data());
    } else {
      PackFloat16(chunk.rows, 4, 1024, out.data());
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_PackFloat16)->Arg(0)->Arg(1);

// A 1024 x 256 RGB frame into an RGBA byte buffer, row by row.
void BM_WriteToOutputFrame(benchmark::State& state) {
  static const QovMemoryManagerStruct heap = {nullptr, DefaultAllocate,
                                              DefaultRelease};
  constexpr size_t kW = 1024, kH = 256;
  std::vector<uint8_t> buffer(kW * kH * 4);
  PixelOutputTarget target;
  target.format.num_channels = 4;
  target.format.data_type = OutputSampleType::kUint8;
  target.bits_per_sample = 8;
  target.buffer = buffer.data();
  target.buffer_size = buffer.size();
  target.stride = (state.range(0) >= 5 ? kH : kW) * 4;
  WriteToOutputStage stage(target, kW, kH, false, false, 0,
                           static_cast<uint32_t>(state.range(0)), {}, &heap);
  if (!stage.SetUpForThreads(1).ok()) {
    state.SkipWithError("set-up failed");
    return;
  }
  std::vector<std::vector<float>> rows(3, std::vector<float>(kRowLeadSamples + kW + 16, 0.5f));
  ChannelRowSet set(3);
  for (size_t c = 0; c < 3; ++c) set[c] = {rows[c].data()};
  for (auto _ : state) {
    for (size_t y = 0; y < kH; ++y) {
      benchmark::DoNotOptimize(stage.RenderRow(set, {}, 0, 0, kW, 0, y, 0));
    }
  }
  state.SetItemsProcessed(state.iterations() * kW * kH);
}
BENCHMARK(BM_WriteToOutputFrame)->Arg(1)->Arg(2)->Arg(6);

}  // namespace
}  // namespace qov
