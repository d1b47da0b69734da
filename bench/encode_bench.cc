// Encoding throughput of the entropy coder: building a code set from token
// streams (clustering, split search, LZ77) and writing the tokens.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "lib/base/memory.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/entropy_writer.h"
#include "lib/encode/tokenize_hybrid_uint.h"

namespace qov {
namespace {

// Residual-like values: mostly small, skewed per context, with repeats.
std::vector<std::vector<Token>> Streams(size_t count, size_t contexts) {
  std::mt19937 rng(1);
  std::vector<std::vector<Token>> streams(1);
  streams[0].reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t ctx = static_cast<uint32_t>(rng() % contexts);
    const uint32_t r = rng() % 100;
    uint32_t v = r < 60 ? ctx % 4 : (r < 90 ? rng() % 32 : rng() % 4096);
    if (i % 500 < 40) v = 0;  // runs
    streams[0].emplace_back(ctx, v);
  }
  return streams;
}

// Arguments: tokens, contexts, LZ77 mode, forced prefix codes, split mode.
void BM_EncodeTokens(benchmark::State& state) {
  const size_t count = static_cast<size_t>(state.range(0));
  const size_t contexts = static_cast<size_t>(state.range(1));
  HistogramParams params;
  params.lz77_mode = static_cast<uint32_t>(state.range(2));
  params.force_prefix_codes = params.choose_code_kind = state.range(3) != 0;
  params.split_config_mode = static_cast<uint32_t>(state.range(4));
  params.clustering_mode = 2;
  const auto input = Streams(count, contexts);
  size_t bytes = 0;
  for (auto _ : state) {
    std::vector<std::vector<Token>> tokens = input;
    EntropyEncodingData codes;
    BitWriter writer(HeapMemoryManager());
    if (!BuildAndEncodeHistograms(HeapMemoryManager(), params, contexts, tokens, &codes,
                                  &writer, LayerType::kHeader, nullptr)
             .ok() ||
        !WriteTokens(tokens[0], codes, 0, &writer, LayerType::kHeader, nullptr)
             .ok()) {
      state.SkipWithError("encoding failed");
      return;
    }
    bytes = writer.GetSpan().size;
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
  state.counters["bytes_out"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EncodeTokens)
    ->ArgNames({"tokens", "contexts", "lz77", "prefix", "split"})
    ->Args({1 << 20, 16, 0, 0, 0})
    ->Args({1 << 20, 16, 0, 1, 0})
    ->Args({1 << 20, 16, 0, 0, 4})
    ->Args({1 << 20, 16, 1, 0, 0})
    ->Args({1 << 20, 16, 2, 0, 0})
    ->Args({1 << 20, 16, 3, 0, 0})
    ->Args({1 << 16, 200, 0, 0, 2})
    ->Unit(benchmark::kMillisecond);

// The tokeniser kernel alone, on the dispatched target.
void BM_TokenizeHybridUint(benchmark::State& state) {
  const size_t count = static_cast<size_t>(state.range(0));
  std::mt19937 rng(2);
  std::vector<uint32_t> values(count + 32, 0), tokens(count + 32);
  for (size_t i = 0; i < count; ++i) values[i] = rng() >> (rng() % 32);
  for (auto _ : state) {
    benchmark::DoNotOptimize(TokenizeHybridUint(
        values.data(), count, UintSplitConfig(4, 2, 0), tokens.data()));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
}
BENCHMARK(BM_TokenizeHybridUint)->Arg(1 << 16);

}  // namespace
}  // namespace qov
