// The upsampling (2x, 8x) and chroma upsampling row kernels on every
// compiled target and the scalar references, at a few row widths.
#include <hwy/highway.h>
#include <hwy/targets.h>

#include <cstddef>
#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "lib/base/memory.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/render/chroma_upsampling.h"
#include "lib/render/upsampling.h"
#include "lib/render/upsampling_stage.h"

namespace qov {
namespace {

// target 0: the scalar reference.
void BM_UpsampleRow(benchmark::State& state, int64_t target, size_t shift) {
  const size_t n = static_cast<size_t>(state.range(0));
  const size_t factor = size_t{1} << shift;
  const UpsamplingStage stage(HeapMemoryManager(), CustomTransformData(), 0,
                              shift);
  std::vector<float> in[5];
  const float* rows[5];
  for (size_t k = 0; k < 5; ++k) {
    in[k].resize(n + 16);
    for (size_t i = 0; i < in[k].size(); ++i) in[k][i] = 0.001f * ((i * 7 + k) % 300);
    rows[k] = in[k].data() + 2;
  }
  std::vector<float> out[8];
  float* out_rows[8];
  for (size_t k = 0; k < factor; ++k) {
    out[k].resize(factor * (n + 8));
    out_rows[k] = out[k].data();
  }
  std::vector<float> blocks[3];
  float* scratch[3];
  for (size_t s = 0; s < 3; ++s) {
    blocks[s].resize(kUpsampleScratchFloats);
    scratch[s] = blocks[s].data();
  }
  if (target != 0) hwy::SetSupportedTargetsForTest(target);
  for (auto _ : state) {
    if (target == 0) {
      UpsampleRowScalar(stage.kernel(), shift, rows, out_rows, n);
    } else {
      UpsampleRow(stage.kernel(), shift, rows, out_rows, n, scratch);
    }
    benchmark::DoNotOptimize(out_rows[0]);
    benchmark::ClobberMemory();
  }
  hwy::SetSupportedTargetsForTest(0);
  // Output samples per second.
  state.SetItemsProcessed(
      static_cast<int64_t>(state.iterations() * n * factor * factor));
}

void BM_ChromaHorizontalRow(benchmark::State& state, int64_t target) {
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<float> in(n + 32, 0.25f), out(2 * n + 64);
  if (target != 0) hwy::SetSupportedTargetsForTest(target);
  for (auto _ : state) {
    if (target == 0) {
      ChromaUpsampleHorizontalRowScalar(in.data() + 16, out.data() + 32, 0, 0, n);
    } else {
      ChromaUpsampleHorizontalRow(in.data() + 16, out.data() + 32, 0, 0, n);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  hwy::SetSupportedTargetsForTest(0);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 2 * n));
}

[[maybe_unused]] const bool kRegistered = [] {
  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  targets.push_back(0);
  for (int64_t target : targets) {
    const std::string suffix =
        target == 0 ? "Scalar" : hwy::TargetName(target);
    for (size_t shift : {1, 3}) {
      const std::string name = "BM_UpsampleRow" +
                               std::to_string(size_t{1} << shift) + "x/" + suffix;
      benchmark::RegisterBenchmark(name.c_str(), BM_UpsampleRow, target, shift)
          ->Arg(256)
          ->Arg(2048);
    }
    benchmark::RegisterBenchmark(("BM_ChromaHorizontalRow/" + suffix).c_str(),
                                 BM_ChromaHorizontalRow, target)
        ->Arg(256)
        ->Arg(2048);
  }
  return true;
}();

}  // namespace
}  // namespace qov
