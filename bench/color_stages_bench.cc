// The colour stages' row kernels (YCbCr, transfer curves both ways, tone
// mapping) on every compiled target and as scalar references, on rows of
// 2048 samples.
#include <hwy/highway.h>
#include <hwy/targets.h>

#include <functional>
#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "lib/render/color_kernels.h"

namespace qov {
namespace {

using RowsFn = std::function<void(float*, float*, float*, size_t)>;

// target 0: the scalar reference. Rows are refilled outside the timing
// every 64 iterations so that repeated curves stay in range.
void BM_ColorRows(benchmark::State& state, int64_t target, RowsFn simd,
                  RowsFn scalar) {
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<float> rows[3];
  auto fill = [&] {
    for (int c = 0; c < 3; ++c) {
      rows[c].resize(n);
      for (size_t i = 0; i < n; ++i) rows[c][i] = 0.05f + 0.0004f * (i % 2000);
    }
  };
  fill();
  if (target != 0) hwy::SetSupportedTargetsForTest(target);
  size_t k = 0;
  for (auto _ : state) {
    if (++k % 64 == 0) {
      state.PauseTiming();
      fill();
      state.ResumeTiming();
    }
    (target == 0 ? scalar : simd)(rows[0].data(), rows[1].data(),
                                  rows[2].data(), n);
    benchmark::DoNotOptimize(rows[0].data());
    benchmark::ClobberMemory();
  }
  hwy::SetSupportedTargetsForTest(0);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

[[maybe_unused]] const bool kRegistered = [] {
  TransferOp srgb, pq, hlg;
  srgb.kind = TransferOpKind::kSrgb;
  pq.kind = TransferOpKind::kPq;
  pq.pq_target_scale = 0.1f;
  pq.pq_inverse_target_scale = 10.0f;
  hlg.kind = TransferOpKind::kHlg;
  hlg.hlg_ootf_exponent = 0.2f;
  hlg.hlg_apply_ootf = true;
  ToneMapParams hlg_map;
  hlg_map.hlg_apply = true;
  hlg_map.hlg_exponent = -0.16709f;
  hlg_map.gamut = true;
  struct Kernel {
    const char* name;
    RowsFn simd, scalar;
  };
  auto to = [](TransferOp op, bool simd) -> RowsFn {
    return [op, simd](float* a, float* b, float* c, size_t n) {
      simd ? ToLinearRows(op, a, b, c, n) : ToLinearRowsScalar(op, a, b, c, n);
    };
  };
  auto from = [](TransferOp op, bool simd) -> RowsFn {
    return [op, simd](float* a, float* b, float* c, size_t n) {
      simd ? FromLinearRows(op, a, b, c, n)
           : FromLinearRowsScalar(op, a, b, c, n);
    };
  };
  const std::vector<Kernel> kernels = {
      {"YCbCr", YCbCrToRgbRows, YCbCrToRgbRowsScalar},
      {"ToLinearSrgb", to(srgb, true), to(srgb, false)},
      {"ToLinearPq", to(pq, true), to(pq, false)},
      {"ToLinearHlg", to(hlg, true), to(hlg, false)},
      {"FromLinearSrgb", from(srgb, true), from(srgb, false)},
      {"FromLinearPq", from(pq, true), from(pq, false)},
      {"ToneMapHlg",
       [hlg_map](float* a, float* b, float* c, size_t n) {
         ToneMapRows(hlg_map, a, b, c, n);
       },
       [hlg_map](float* a, float* b, float* c, size_t n) {
         ToneMapRowsScalar(hlg_map, a, b, c, n);
       }},
  };
  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  targets.push_back(0);
  for (const Kernel& k : kernels) {
    for (int64_t target : targets) {
      const std::string name =
          std::string("BM_ColorRows/") + k.name + "/" +
          (target == 0 ? "Scalar" : hwy::TargetName(target));
      benchmark::RegisterBenchmark(name.c_str(), BM_ColorRows, target, k.simd,
                                   k.scalar)
          ->Arg(2048);
    }
  }
  return true;
}();

}  // namespace
}  // namespace qov
