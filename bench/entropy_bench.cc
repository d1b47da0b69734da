// Symbol-decoding throughput of the entropy decoder: prefix codes with one
// and two table loads, ANS, and prefix codes with LZ77 copies.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "lib/bitstream/entropy_code.h"
#include "lib/bitstream/symbol_reader.h"
#include "tests/bitstream/entropy_test_streams.h"

namespace qov {
namespace {

constexpr size_t kSymbols = 1 << 20;

struct BenchStream {
  std::vector<uint8_t> bytes;
  size_t values = 0;
};

// Kind 0: prefix, 8-bit codes; 1: prefix, 12-bit codes (second-level
// tables); 2: ANS, flat 256 symbols; 3: prefix with LZ77 copies.
BenchStream MakeStream(int kind) {
  entropy_test::StreamPlan plan =
      entropy_test::ByteStreamPlan(1, kind != 2, kind == 3);
  if (kind == 1) plan.code_bits = {12};
  std::mt19937 rng(42);
  entropy_test::Bits bits;
  entropy_test::PutDescription(bits, plan);
  entropy_test::TokenWriter t(plan);
  BenchStream s;
  while (s.values < kSymbols) {
    if (kind == 3 && s.values > 64 && rng() % 4 == 0) {
      const uint32_t length = 3 + rng() % 20;
      t.Copy(0, length, rng() % 32);
      s.values += length;
    } else {
      t.Value(0, kind == 1 ? rng() % 4096 : rng() % 256);
      ++s.values;
    }
  }
  t.Finish(bits);
  s.bytes = bits.Bytes();
  return s;
}

void BM_DecodeSymbols(benchmark::State& state, int kind) {
  const BenchStream stream = MakeStream(kind);
  uint64_t sum = 0;
  for (auto _ : state) {
    BitReader reader(Span(stream.bytes.data(), stream.bytes.size()));
    EntropyCodeSet set;
    std::vector<uint8_t> map;
    if (!ReadEntropyCodeSet(entropy_test::Heap(), reader, 1, &set, map, false)
             .ok()) {
      state.SkipWithError("bad stream");
      return;
    }
    auto symbols = SymbolReader::Create(set, reader, 0);
    if (!symbols.ok()) {
      state.SkipWithError("no window");
      return;
    }
    const uint64_t cluster = map[0];
    if (set.lz77.enabled) {
      for (size_t i = 0; i < stream.values; ++i) {
        sum += symbols->ReadClusteredUint(cluster, reader);
      }
    } else {
      for (size_t i = 0; i < stream.values; ++i) {
        sum += symbols->ReadClusteredUintNoLz77(cluster, reader);
      }
    }
    if (!symbols->CheckFinalState() || reader.PastEnd()) {
      state.SkipWithError("stream did not end cleanly");
      return;
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(stream.values));
}
BENCHMARK_CAPTURE(BM_DecodeSymbols, prefix_8bit, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeSymbols, prefix_12bit, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeSymbols, ans, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeSymbols, prefix_lz77, 3)->Unit(benchmark::kMillisecond);

// The same through the general entry with LZ77 logic on a set without it.
void BM_DecodeSymbolsGeneralPath(benchmark::State& state, int kind) {
  const BenchStream stream = MakeStream(kind);
  uint64_t sum = 0;
  for (auto _ : state) {
    BitReader reader(Span(stream.bytes.data(), stream.bytes.size()));
    EntropyCodeSet set;
    std::vector<uint8_t> map;
    (void)ReadEntropyCodeSet(entropy_test::Heap(), reader, 1, &set, map, false);
    auto symbols = SymbolReader::Create(set, reader, 0);
    for (size_t i = 0; i < stream.values; ++i) {
      sum += symbols->ReadClusteredUint(map[0], reader);
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(stream.values));
}
BENCHMARK_CAPTURE(BM_DecodeSymbolsGeneralPath, prefix_8bit, 0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeSymbolsGeneralPath, ans, 2)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qov
