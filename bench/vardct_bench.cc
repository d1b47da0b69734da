// VarDCT kernels on every compiled target and the scalar references: the DC
// dequantisation and smoothing rows at a few widths, and varblock
// dequantisation of 8x8 and 32x32 varblocks.
#include <hwy/highway.h>
#include <hwy/targets.h>

#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "lib/vardct/dc_dequant.h"
#include "lib/vardct/dc_smoothing.h"
#include "lib/vardct/varblock_dequant.h"

namespace qov {
namespace {

// target 0: the scalar reference.
void BM_SmoothDcRow(benchmark::State& state, int64_t target) {
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<float> in[3][3], out[3];
  const float* rows[3][3];
  float* outs[3];
  for (size_t p = 0; p < 3; ++p) {
    for (size_t r = 0; r < 3; ++r) {
      in[p][r].resize(n);
      for (size_t i = 0; i < n; ++i) in[p][r][i] = 0.001f * ((i * 7 + r) % 13);
      rows[p][r] = in[p][r].data();
    }
    out[p].resize(n);
    outs[p] = out[p].data();
  }
  const float mul[3] = {1.0f / 256, 1.0f / 64, 1.0f / 32};
  if (target != 0) hwy::SetSupportedTargetsForTest(target);
  for (auto _ : state) {
    if (target == 0) {
      SmoothDcRowScalar(rows, n, mul, outs);
    } else {
      SmoothDcRow(rows, n, mul, outs);
    }
    benchmark::DoNotOptimize(outs[0]);
    benchmark::ClobberMemory();
  }
  hwy::SetSupportedTargetsForTest(0);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void BM_DequantizeDcRow(benchmark::State& state, int64_t target) {
  const size_t n = static_cast<size_t>(state.range(0));
  std::vector<int32_t> q[3];
  std::vector<float> out[3];
  for (size_t c = 0; c < 3; ++c) {
    q[c].resize(n);
    for (size_t i = 0; i < n; ++i) q[c][i] = static_cast<int32_t>(i % 97) - 48;
    out[c].resize(n);
  }
  const float f[3] = {1.0f / 4096, 1.0f / 512, 1.0f / 256};
  if (target != 0) hwy::SetSupportedTargetsForTest(target);
  for (auto _ : state) {
    if (target == 0) {
      DequantizeDcRowScalar(q[1].data(), q[0].data(), q[2].data(), n, f, 0.1f,
                            0.9f, out[1].data(), out[0].data(), out[2].data());
    } else {
      DequantizeDcRow(q[1].data(), q[0].data(), q[2].data(), n, f, 0.1f, 0.9f,
                      out[1].data(), out[0].data(), out[2].data());
    }
    benchmark::DoNotOptimize(out[0].data());
    benchmark::ClobberMemory();
  }
  hwy::SetSupportedTargetsForTest(0);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}

void BM_DequantizeCoefficients(benchmark::State& state, int64_t target) {
  const size_t count = static_cast<size_t>(state.range(0));
  std::vector<int16_t> q[3];
  for (size_t c = 0; c < 3; ++c) {
    q[c].resize(count);
    for (size_t i = 0; i < count; ++i) q[c][i] = static_cast<int16_t>(i % 9) - 4;
  }
  std::vector<float> table_block(3 * count, 0.75f), out(3 * count);
  const float* const table[3] = {table_block.data(), table_block.data() + count,
                                 table_block.data() + 2 * count};
  const void* qp[3] = {q[0].data(), q[1].data(), q[2].data()};
  VarblockDequantParams p;
  p.quant = 5;
  p.x_factor = 0.2f;
  p.b_factor = 0.8f;
  if (target != 0) hwy::SetSupportedTargetsForTest(target);
  for (auto _ : state) {
    if (target == 0) {
      DequantizeCoefficientsScalar(p, count, table, qp,
                                   CoefficientWidth::Bits16, out.data());
    } else {
      DequantizeCoefficients(p, count, table, qp,
                             CoefficientWidth::Bits16, out.data());
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  hwy::SetSupportedTargetsForTest(0);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
}

[[maybe_unused]] const bool kRegistered = [] {
  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  targets.push_back(0);
  for (int64_t target : targets) {
    const std::string suffix =
        target == 0 ? "Scalar" : hwy::TargetName(target);
    benchmark::RegisterBenchmark(("BM_SmoothDcRow/" + suffix).c_str(),
                                 BM_SmoothDcRow, target)
        ->Arg(64)
        ->Arg(512);
    benchmark::RegisterBenchmark(("BM_DequantizeDcRow/" + suffix).c_str(),
                                 BM_DequantizeDcRow, target)
        ->Arg(64)
        ->Arg(512);
    benchmark::RegisterBenchmark(
        ("BM_DequantizeCoefficients/" + suffix).c_str(),
        BM_DequantizeCoefficients, target)
        ->Arg(64)
        ->Arg(1024);
  }
  return true;
}();

}  // namespace
}  // namespace qov
