// Loop-filter row kernels: Gaborish and each edge-preserving filter step
// over one row of three channels (items are pixels).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "lib/render/loop_filter_kernels.h"

namespace qov {
namespace {

constexpr size_t kWidth = 1024;
constexpr size_t kLead = 32;

struct Rows {
  Rows() : data(21, std::vector<float>(kWidth + 2 * kLead)),
           out(3, std::vector<float>(kWidth + 2 * kLead)) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> dist(0.2f, 0.22f);
    for (auto& row : data) {
      for (float& v : row) v = dist(rng);
    }
  }
  const float* Row(size_t c, size_t r) const { return data[c * 7 + r].data() + kLead; }
  std::vector<std::vector<float>> data;
  std::vector<std::vector<float>> out;
};

void BM_GaborishRow(benchmark::State& state) {
  Rows rows;
  const GaborishWeights w = MakeGaborishWeights(0.115169525f, 0.061248593f);
  for (auto _ : state) {
    for (size_t c = 0; c < 3; ++c) {
      const float* in[3] = {rows.Row(c, 2), rows.Row(c, 3), rows.Row(c, 4)};
      GaborishRow(w, in, rows.out[c].data() + kLead, 0, kWidth);
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kWidth);
}
BENCHMARK(BM_GaborishRow);

// Arg: the step; every block smooths (no block is skipped).
void BM_EpfRow(benchmark::State& state) {
  const int step = static_cast<int>(state.range(0));
  Rows rows;
  std::vector<float> sigma(kWidth / 8 + 8, -1.1715729f);
  const float* ptrs[3][7];
  EpfRowArgs args;
  for (size_t c = 0; c < 3; ++c) {
    for (size_t r = 0; r < 7; ++r) ptrs[c][r] = rows.Row(c, r);
    args.rows[c] = ptrs[c] + step;
    args.out[c] = rows.out[c].data() + kLead;
  }
  const float weights[3] = {40.0f, 5.0f, 3.5f};
  for (size_t c = 0; c < 3; ++c) args.channel_weights[c] = weights[c];
  for (size_t i = 0; i < 8; ++i) args.multipliers[i] = i % 7 == 0 ? 1.1f : 1.65f;
  args.sigma_row = sigma.data();
  args.end = kWidth;
  for (auto _ : state) {
    EpfRow(step, args);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kWidth);
}
BENCHMARK(BM_EpfRow)->Arg(0)->Arg(1)->Arg(2);

}  // namespace
}  // namespace qov
