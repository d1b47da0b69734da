// Samples per second of the modular channel loop on 1024 x 1024 channels:
// the general MA-tree walk, the clamped-gradient fast paths (one leaf, and
// a property-9 tree as a lookup table) and the weighted predictor (one leaf
// through its table, and the general walk with the weighted predictor).
// Streams come from the library's entropy writer; every leaf context gets
// the same residual histogram, so all contexts share one cluster and the
// tokens decode the same way whichever leaf a sample reaches.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "lib/base/memory.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/entropy_code.h"
#include "lib/bitstream/symbol_reader.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/entropy_writer.h"
#include "lib/modular/channel_decoder.h"
#include "lib/modular/ma_tree.h"
#include "lib/modular/modular_image.h"

namespace qov {
namespace {

constexpr uint32_t kSize = 1024;

struct Node {
  int32_t property;  // -1: leaf
  int32_t value;     // split value, or predictor of a leaf
};

// Breadth-first node list of a tree given as (property, value) pairs in
// breadth-first order.
std::vector<Token> TreeTokens(const std::vector<Node>& nodes) {
  std::vector<Token> t;
  for (const Node& n : nodes) {
    if (n.property >= 0) {
      t.emplace_back(1, static_cast<uint32_t>(n.property) + 1);
      t.emplace_back(0, (static_cast<uint32_t>(n.value) << 1) ^
                            static_cast<uint32_t>(n.value >> 31));
    } else {
      t.emplace_back(1, 0);
      t.emplace_back(2, static_cast<uint32_t>(n.value));
      t.emplace_back(3, 0);
      t.emplace_back(4, 0);
      t.emplace_back(5, 0);
    }
  }
  return t;
}

bool Encode(std::vector<Token> tokens, size_t contexts, BitWriter* writer,
            bool expect_one_cluster) {
  HistogramParams p;
  std::vector<std::vector<Token>> streams{std::move(tokens)};
  EntropyEncodingData codes;
  if (!BuildAndEncodeHistograms(HeapMemoryManager(), p, contexts, streams,
                                &codes, writer, LayerType::kModularTree,
                                nullptr)
           .ok()) {
    return false;
  }
  if (expect_one_cluster) {
    for (uint8_t c : codes.context_map) {
      if (c != codes.context_map[0]) return false;
    }
  }
  return WriteTokens(streams[0], codes, 0, writer, LayerType::kModularTree,
                     nullptr)
      .ok();
}

struct Setup {
  std::vector<uint8_t> bytes;
  bool ok = false;
};

Setup MakeStream(const std::vector<Node>& nodes) {
  Setup s;
  BitWriter writer(HeapMemoryManager());
  size_t leaves = 0;
  for (const Node& n : nodes) leaves += n.property < 0;
  if (!Encode(TreeTokens(nodes), 6, &writer, false)) return s;
  std::mt19937 rng(7);
  std::vector<uint32_t> values(kSize * kSize / leaves + 1);
  for (uint32_t& v : values) v = rng() % 24;
  std::vector<Token> data;
  data.reserve(values.size() * leaves);
  for (uint32_t v : values) {
    for (size_t c = 0; c < leaves; ++c) data.emplace_back(c, v);
  }
  if (!Encode(std::move(data), leaves, &writer, true)) return s;
  const Span span = writer.GetSpan();
  s.bytes.assign(span.data, span.data + span.size);
  s.ok = true;
  return s;
}

void RunChannelLoop(benchmark::State& state, const std::vector<Node>& nodes,
                    ChannelPath expected, bool force_tree_path = false) {
  const Setup setup = MakeStream(nodes);
  auto image = ModularImage::Create(HeapMemoryManager(), kSize, kSize, 8, 1);
  if (!setup.ok || !image.ok()) {
    state.SkipWithError("cannot build the stream");
    return;
  }
  BitReader reader(Span(setup.bytes.data(), setup.bytes.size()));
  MaTree tree;
  EntropyCodeSet codes;
  std::vector<uint8_t> map;
  if (!ReadMaTree(HeapMemoryManager(), reader, tree, 1 << 20).ok() ||
      !ReadEntropyCodeSet(HeapMemoryManager(), reader, (tree.size() + 1) / 2,
                          &codes, map, false)
           .ok()) {
    state.SkipWithError("cannot read the stream");
    return;
  }
  const BitReader data_start = reader;
  std::vector<uint8_t> lookup(kTreeLookupBytes);
  weighted::Header wp;
  ChannelPath path = ChannelPath::kNone;
  ChannelDecodeOptions options;
  options.force_tree_path = force_tree_path;
  options.path_taken = &path;
  for (auto _ : state) {
    BitReader r = data_start;
    auto symbols = SymbolReader::Create(codes, r, kSize);
    RunLengthState run;
    if (!symbols.ok() ||
        !ReadChannelPixels(r, *symbols, map, tree, wp, 0, 0, lookup.data(),
                           *image, run, options)
             .ok()) {
      state.SkipWithError("decode failed");
      return;
    }
    benchmark::DoNotOptimize(image->channels[0].Row(kSize - 1)[kSize - 1]);
  }
  if (path != expected) state.SkipWithError("unexpected channel path");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kSize *
                          kSize);
}

// A tree over several properties with mixed predictors.
const std::vector<Node> kGeneralTree = {
    {9, 0},  {2, 500}, {6, 10},                   // root, its children
    {10, -3}, {-1, 1}, {13, 0}, {-1, 2},          // depth 2
    {-1, 5}, {-1, 4}, {-1, 11}, {-1, 13}};        // depth 3
const std::vector<Node> kGradientTree = {
    {9, 0}, {9, 40}, {9, -40}, {-1, 5}, {-1, 5}, {-1, 5}, {-1, 5}};

void BM_ChannelGeneralTree(benchmark::State& state) {
  RunChannelLoop(state, kGeneralTree, ChannelPath::kTree);
}
void BM_ChannelGradientSingleLeaf(benchmark::State& state) {
  RunChannelLoop(state, {{-1, 5}}, ChannelPath::kGradientSingle);
}
void BM_ChannelGradientTable(benchmark::State& state) {
  RunChannelLoop(state, kGradientTree, ChannelPath::kGradientTable);
}
void BM_ChannelGradientTreeWalk(benchmark::State& state) {
  RunChannelLoop(state, kGradientTree, ChannelPath::kTree, true);
}
void BM_ChannelWeightedTable(benchmark::State& state) {
  RunChannelLoop(state, {{-1, 6}}, ChannelPath::kWeightedTable);
}
void BM_ChannelWeightedTreeWalk(benchmark::State& state) {
  RunChannelLoop(state, {{-1, 6}}, ChannelPath::kWeightedTree, true);
}

BENCHMARK(BM_ChannelGeneralTree)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChannelGradientSingleLeaf)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChannelGradientTable)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChannelGradientTreeWalk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChannelWeightedTable)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChannelWeightedTreeWalk)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qov
