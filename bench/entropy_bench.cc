// Symbol-decoding throughput of the entropy decoder over streams written by
// the library's own entropy writer: prefix codes (short codes with one table
// load, and skewed values whose rare tokens need second-level tables), ANS,
// and prefix codes with LZ77 copies.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "lib/base/memory.h"
#include "lib/bitstream/entropy_code.h"
#include "lib/bitstream/symbol_reader.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/entropy_writer.h"

namespace qov {
namespace {

constexpr size_t kSymbols = 1 << 20;

enum Kind {
  kPrefixBytes,   // uniform byte values, prefix codes
  kPrefixSkewed,  // wide skewed values, prefix codes longer than 8 bits
  kAnsBytes,      // uniform byte values, ANS
  kAnsSkewed,     // wide skewed values, ANS
  kPrefixLz77,    // repeating stretches, prefix codes with LZ77 copies
};

struct BenchStream {
  std::vector<uint8_t> bytes;
  size_t values = 0;
  uint64_t sum = 0;  // of every value, to check the decode
  bool lz77 = false;
  bool ok = false;
  // Entries of the largest prefix-code table: above 256 when some codes
  // are longer than 8 bits (second-level tables).
  size_t prefix_table_entries = 0;
};

// One context, one stream of kSymbols values, written with the encoder's
// entropy writer.
BenchStream MakeStream(Kind kind) {
  std::mt19937 rng(42);
  std::vector<std::vector<Token>> tokens(1);
  std::vector<Token>& stream = tokens[0];
  stream.reserve(kSymbols);
  BenchStream s;
  while (stream.size() < kSymbols) {
    if (kind == kPrefixLz77 && stream.size() > 64 && rng() % 4 == 0) {
      // Repeat a short stretch from up to 32 values back.
      const size_t distance = 1 + rng() % 32;
      const size_t length = 3 + rng() % 20;
      for (size_t k = 0; k < length && stream.size() < kSymbols; ++k) {
        stream.push_back(stream[stream.size() - distance]);
      }
      continue;
    }
    uint32_t v;
    if (kind == kPrefixSkewed || kind == kAnsSkewed) {
      // Mostly small values with a long tail: many rare tokens.
      v = rng() % 100 < 80 ? rng() % 8 : rng() >> (8 + rng() % 24);
    } else {
      v = rng() % 256;
    }
    stream.emplace_back(0, v);
  }
  for (const Token& t : stream) s.sum += t.value;
  s.values = stream.size();

  HistogramParams params;
  params.force_prefix_codes = params.choose_code_kind =
      kind == kPrefixBytes || kind == kPrefixSkewed || kind == kPrefixLz77;
  params.lz77_mode = kind == kPrefixLz77 ? 2 : 0;
  EntropyEncodingData codes;
  BitWriter writer(HeapMemoryManager());
  if (!BuildAndEncodeHistograms(HeapMemoryManager(), params, 1, tokens, &codes, &writer,
                                LayerType::kHeader, nullptr)
           .ok() ||
      !WriteTokens(tokens[0], codes, 0, &writer, LayerType::kHeader, nullptr)
           .ok()) {
    return s;
  }
  const Span span = writer.GetSpan();
  s.bytes.assign(span.data, span.data + span.size);
  s.lz77 = codes.lz77.enabled;
  BitReader reader(span);
  EntropyCodeSet set;
  std::vector<uint8_t> map;
  if (!ReadEntropyCodeSet(HeapMemoryManager(), reader, 1, &set, map, false).ok()) {
    return s;
  }
  for (const PrefixCode& code : set.prefix_codes) {
    s.prefix_table_entries = std::max(s.prefix_table_entries, code.size());
  }
  s.ok = true;
  return s;
}

// Decodes the whole stream once; false when it did not decode cleanly.
template <bool kGeneralPath>
bool DecodeOnce(const BenchStream& stream, uint64_t* sum) {
  BitReader reader(Span(stream.bytes.data(), stream.bytes.size()));
  EntropyCodeSet set;
  std::vector<uint8_t> map;
  if (!ReadEntropyCodeSet(HeapMemoryManager(), reader, 1, &set, map, false).ok()) {
    return false;
  }
  auto symbols = SymbolReader::Create(set, reader, 0);
  if (!symbols.ok()) return false;
  const uint64_t cluster = map[0];
  uint64_t total = 0;
  if (kGeneralPath || set.lz77.enabled) {
    for (size_t i = 0; i < stream.values; ++i) {
      total += symbols->ReadClusteredUint(cluster, reader);
    }
  } else {
    for (size_t i = 0; i < stream.values; ++i) {
      total += symbols->ReadClusteredUintNoLz77(cluster, reader);
    }
  }
  *sum += total;
  return total == stream.sum && symbols->CheckFinalState() &&
         !reader.PastEnd();
}

template <bool kGeneralPath>
void Decode(benchmark::State& state, Kind kind) {
  const BenchStream stream = MakeStream(kind);
  if (!stream.ok) {
    state.SkipWithError("the entropy writer failed");
    return;
  }
  if (kind == kPrefixSkewed && stream.prefix_table_entries <= 256) {
    state.SkipWithError("no code is longer than 8 bits");
    return;
  }
  if (kind == kPrefixLz77 && !stream.lz77) {
    state.SkipWithError("the writer chose no LZ77 copies");
    return;
  }
  uint64_t sum = 0;
  for (auto _ : state) {
    if (!DecodeOnce<kGeneralPath>(stream, &sum)) {
      state.SkipWithError("stream did not decode cleanly");
      return;
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(stream.values));
  state.counters["bits_per_symbol"] =
      8.0 * static_cast<double>(stream.bytes.size()) /
      static_cast<double>(stream.values);
}

void BM_DecodeSymbols(benchmark::State& state, Kind kind) {
  Decode<false>(state, kind);
}
BENCHMARK_CAPTURE(BM_DecodeSymbols, prefix_bytes, kPrefixBytes)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeSymbols, prefix_skewed, kPrefixSkewed)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeSymbols, ans_bytes, kAnsBytes)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeSymbols, ans_skewed, kAnsSkewed)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeSymbols, prefix_lz77, kPrefixLz77)
    ->Unit(benchmark::kMillisecond);

// The same through the general entry with LZ77 logic on a set without it.
void BM_DecodeSymbolsGeneralPath(benchmark::State& state, Kind kind) {
  Decode<true>(state, kind);
}
BENCHMARK_CAPTURE(BM_DecodeSymbolsGeneralPath, prefix_bytes, kPrefixBytes)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeSymbolsGeneralPath, ans_bytes, kAnsBytes)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qov
