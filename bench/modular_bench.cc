// Modular transform kernels on every compiled target (and the scalar
// references) at a few widths: the RCT row (YCoCg-R), the horizontal
// squeeze over 8 rows and the vertical squeeze over a 64-column strip.
#include <hwy/highway.h>
#include <hwy/targets.h>

#include <cstdint>
#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "lib/modular/rct.h"
#include "lib/modular/squeeze.h"

namespace qov {
namespace {

std::vector<int32_t> Samples(size_t n, uint32_t seed) {
  std::vector<int32_t> v(n);
  uint32_t s = seed;
  for (size_t i = 0; i < n; ++i) {
    s = s * 1664525u + 1013904223u;
    v[i] = static_cast<int32_t>((s >> 16) % 512) - 256;
  }
  return v;
}

// target 0: the scalar reference.
void BM_RctUndoRow(benchmark::State& state, int64_t target) {
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<int32_t> in0 = Samples(n, 1), in1 = Samples(n, 2),
                       in2 = Samples(n, 3);
  std::vector<int32_t> out0(n), out1(n), out2(n);
  if (target != 0) hwy::SetSupportedTargetsForTest(target);
  for (auto _ : state) {
    if (target == 0) {
      RctUndoRowScalar(6, in0.data(), in1.data(), in2.data(), out0.data(),
                       out1.data(), out2.data(), n);
    } else {
      RctUndoRow(6, in0.data(), in1.data(), in2.data(), out0.data(),
                 out1.data(), out2.data(), n);
    }
    benchmark::DoNotOptimize(out0.data());
    benchmark::ClobberMemory();
  }
  hwy::SetSupportedTargetsForTest(0);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

// 8 rows of `width` output samples from averages and residuals.
void BM_SqueezeHorizontalRows(benchmark::State& state, int64_t target) {
  const size_t width = static_cast<size_t>(state.range(0));
  const size_t aw = (width + 1) / 2, rw = width / 2;
  std::vector<int32_t> avg = Samples(aw * 8, 4), res = Samples(rw * 8, 5);
  std::vector<int32_t> out(width * 8);
  if (target != 0) hwy::SetSupportedTargetsForTest(target);
  for (auto _ : state) {
    if (target == 0) {
      SqueezeHorizontalRowsScalar(avg.data(), aw, res.data(), rw, out.data(),
                                  width, aw, rw, 8);
    } else {
      SqueezeHorizontalRows(avg.data(), aw, res.data(), rw, out.data(), width,
                            aw, rw, 8);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  hwy::SetSupportedTargetsForTest(0);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * width * 8));
}

// A 64-column strip of `height` output rows.
void BM_SqueezeVerticalStrip(benchmark::State& state, int64_t target) {
  const size_t height = static_cast<size_t>(state.range(0));
  const size_t ah = (height + 1) / 2, rh = height / 2;
  std::vector<int32_t> avg = Samples(ah * 64, 6), res = Samples(rh * 64, 7);
  std::vector<int32_t> out(height * 64);
  if (target != 0) hwy::SetSupportedTargetsForTest(target);
  for (auto _ : state) {
    if (target == 0) {
      SqueezeVerticalStripScalar(avg.data(), 64, res.data(), 64, out.data(),
                                 64, ah, rh, 64);
    } else {
      SqueezeVerticalStrip(avg.data(), 64, res.data(), 64, out.data(), 64, ah,
                           rh, 64);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  hwy::SetSupportedTargetsForTest(0);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * height * 64));
}

[[maybe_unused]] const bool kRegistered = [] {
  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  targets.push_back(0);
  for (int64_t target : targets) {
    const std::string suffix =
        std::string("/") + (target == 0 ? "Scalar" : hwy::TargetName(target));
    benchmark::RegisterBenchmark(("BM_RctUndoRow" + suffix).c_str(),
                                 BM_RctUndoRow, target)
        ->Arg(64)
        ->Arg(2048);
    benchmark::RegisterBenchmark(("BM_SqueezeHorizontalRows" + suffix).c_str(),
                                 BM_SqueezeHorizontalRows, target)
        ->Arg(64)
        ->Arg(2048);
    benchmark::RegisterBenchmark(("BM_SqueezeVerticalStrip" + suffix).c_str(),
                                 BM_SqueezeVerticalStrip, target)
        ->Arg(64)
        ->Arg(1024);
  }
  return true;
}();

}  // namespace
}  // namespace qov
