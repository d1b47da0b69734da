// The channel decoding loop: path choice, fast paths and the general
// MA-tree walk, in a form with and a form without LZ77 copy handling.
#include "lib/modular/channel_decoder.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "lib/base/memory.h"
#include "lib/bitstream/prefix_code.h"
#include "lib/modular/predictors.h"

// The sample step of the tree walk goes into each of its loops: as a call
// it reloads its state and spills registers for every sample.
#if defined(__GNUC__) || defined(__clang__)
#define QOV_ALWAYS_INLINE inline __attribute__((always_inline))
#define QOV_NOINLINE __attribute__((noinline))
#else
#define QOV_ALWAYS_INLINE inline
#define QOV_NOINLINE
#endif

namespace qov {
namespace {

inline int32_t* Row(const ModularChannel& c, size_t y) {
  return c.Row(y);
}

template <bool kLz77>
inline uint32_t ReadValue(SymbolReader& s, uint64_t cluster, BitReader& r) {
  if constexpr (kLz77) {
    return s.ReadClusteredUint(cluster, r);
  } else {
    return s.ReadClusteredUintNoLz77(cluster, r);
  }
}

// Low 32 bits of guess + multiplier x residual.
inline int32_t Reconstruct(int64_t guess, uint32_t multiplier,
                           int32_t residual) {
  return static_cast<int32_t>(static_cast<uint64_t>(guess) +
                              static_cast<uint64_t>(int64_t{multiplier} *
                                                    residual));
}

inline int32_t ClampToTable(int32_t v) {
  return std::clamp<int32_t>(v, -8192, 8191);
}

// The symbol the next token of `cluster` must be, when reading it would
// consume no bits and leave the ANS state as it is.
bool NextSymbolIsCertain(const SymbolReader& s, uint32_t cluster,
                         uint32_t* symbol) {
  if (s.use_prefix_codes || s.copies_pending != 0) return false;
  // A state below 2^16 would be refilled with 16 bits.
  if (s.state < (1u << 16)) return false;
  const uint32_t x = s.state & (kAnsTableSize - 1);
  const AliasEntry* table =
      s.alias_tables + (uint64_t{cluster} << s.log_alphabet_size);
  const AliasSlot slot =
      LookupAliasSlot(table, x, s.log_entry_size, s.entry_mask);
  if (slot.frequency != kAnsTableSize || slot.offset != x) return false;
  if (slot.symbol >= s.split_configs[cluster].split_token ||
      slot.symbol >= s.min_symbol) {
    return false;
  }
  *symbol = slot.symbol;
  return true;
}

// Geometry and decoding inputs of one channel.
struct Channel {
  ModularChannel* c;
  size_t w, h;
};

void ConstantFill(SymbolReader& s, uint32_t symbol, const FlatMaTreeNode& leaf,
                  Channel ch) {
  if (s.window != nullptr) {
    const uint64_t n = uint64_t{ch.w} * ch.h;
    const uint64_t window_size = uint64_t{s.window_mask} + 1;
    const uint64_t first = n > window_size ? n - window_size : 0;
    for (uint64_t i = first; i < n; ++i) {
      s.window[(s.decoded_count + i) & s.window_mask] = symbol;
    }
    s.decoded_count += static_cast<uint32_t>(n);
  }
  const int32_t v =
      Reconstruct(leaf.offset(), leaf.multiplier(), UnpackSigned(symbol));
  for (size_t y = 0; y < ch.h; ++y) {
    int32_t* row = Row(*ch.c, y);
    if (v == 0) {
      std::memset(row, 0, ch.w * sizeof(int32_t));
    } else {
      std::fill(row, row + ch.w, v);
    }
  }
}

template <bool kLz77>
void PlainSingle(BitReader& reader, SymbolReader& s, uint32_t cluster,
                 const FlatMaTreeNode& leaf, Channel ch) {
  const int32_t offset = leaf.offset();
  const uint32_t multiplier = leaf.multiplier();
  const bool unit = offset == 0 && multiplier == 1;
  for (size_t y = 0; y < ch.h; ++y) {
    int32_t* row = Row(*ch.c, y);
    for (size_t x = 0; x < ch.w; ++x) {
      const int32_t r = UnpackSigned(ReadValue<kLz77>(s, cluster, reader));
      row[x] = unit ? r : Reconstruct(offset, multiplier, r);
    }
  }
}

// Clamped-gradient prediction for every sample; the cluster comes from
// `lut` indexed by property 9 (its 32-bit value, as the tree sees it), or
// is `cluster` when lut is null.
template <bool kLz77>
void GradientLoop(BitReader& reader, SymbolReader& s, uint32_t cluster,
                  const uint8_t* lut, Channel ch) {
  auto sample = [&](int64_t W, int64_t N, int64_t NW) {
    uint32_t c = cluster;
    if (lut != nullptr) {
      c = lut[8192 + ClampToTable(static_cast<int32_t>(W + N - NW))];
    }
    const int64_t guess = ClampedGradient(W, N, NW);
    return static_cast<int32_t>(
        static_cast<uint64_t>(guess) +
        static_cast<uint64_t>(
            int64_t{UnpackSigned(ReadValue<kLz77>(s, c, reader))}));
  };
  for (size_t y = 0; y < ch.h; ++y) {
    int32_t* row = Row(*ch.c, y);
    if (y == 0) {
      int64_t W = 0;
      for (size_t x = 0; x < ch.w; ++x) {
        row[x] = sample(W, W, W);
        W = row[x];
      }
      continue;
    }
    const int32_t* prev = Row(*ch.c, y - 1);
    row[0] = sample(prev[0], prev[0], prev[0]);
    for (size_t x = 1; x < ch.w; ++x) {
      row[x] = sample(row[x - 1], prev[x], prev[x - 1]);
    }
  }
}

void RunLengthLoop(BitReader& reader, SymbolReader& s, uint32_t cluster,
                   RunLengthState& run, Channel ch) {
  const PrefixTableEntry* code = s.prefix_codes[cluster].data();
  const UintSplitConfig& config = s.split_configs[cluster];
  auto value = [&]() -> uint32_t {
    if (run.remaining > 0) {
      --run.remaining;
      return run.last;
    }
    reader.Refill();
    const uint32_t u = DecodePrefixSymbol(code, reader);
    if (u < s.min_symbol) {
      run.last = SymbolReader::ReadHybridUint(u, config, reader);
      return run.last;
    }
    // As the symbol reader's copy start: the length is taken modulo 2^32
    // and one that wrapped puts the reader past its end and yields 0.
    const uint32_t length =
        SymbolReader::ReadHybridUint(u - s.min_symbol, s.length_config,
                                     reader) +
        s.min_length;
    if (length < s.min_length) {
      reader.SkipLong(~uint64_t{0} >> 1);
      return 0;
    }
    run.remaining = length - 1;
    return run.last;
  };
  for (size_t y = 0; y < ch.h; ++y) {
    int32_t* row = Row(*ch.c, y);
    const int32_t* prev = y > 0 ? Row(*ch.c, y - 1) : nullptr;
    for (size_t x = 0; x < ch.w; ++x) {
      int64_t W, N, NW;
      if (y == 0) {
        W = N = NW = x > 0 ? row[x - 1] : 0;
      } else {
        N = prev[x];
        W = x > 0 ? row[x - 1] : N;
        NW = x > 0 ? prev[x - 1] : N;
      }
      row[x] = static_cast<int32_t>(
          static_cast<uint64_t>(ClampedGradient(W, N, NW)) +
          static_cast<uint64_t>(int64_t{UnpackSigned(value())}));
    }
  }
}

void WeightedTableLoop(BitReader& reader, SymbolReader& s, const uint8_t* lut,
                       WeightedPredictorState& wp, Channel ch) {
  for (size_t y = 0; y < ch.h; ++y) {
    int32_t* row = Row(*ch.c, y);
    const int32_t* prev = y > 0 ? Row(*ch.c, y - 1) : nullptr;
    const int32_t* prev2 = y > 1 ? Row(*ch.c, y - 2) : nullptr;
    for (size_t x = 0; x < ch.w; ++x) {
      const Neighbours n = LoadNeighbours(row, prev, prev2, x, y, ch.w);
      int32_t max_error;
      const int64_t p =
          wp.Predict(x, y, ch.w, n.N, n.W, n.NE, n.NW, n.NN, &max_error);
      const uint32_t c = lut[8192 + ClampToTable(max_error)];
      const int32_t r = UnpackSigned(s.ReadClusteredUintNoLz77(c, reader));
      row[x] = Reconstruct((p + 3) >> 3, 1, r);
      wp.Update(x, y, ch.w, row[x]);
    }
  }
}

// Properties 3 to 8, 13 and 14: computed only for trees that test one.
inline bool TestsSecondaryProperty(int32_t property) {
  return (property >= 3 && property <= 8) || property == 13 || property == 14;
}

// The general walk. `refs` holds `ref_count` values per column.
template <bool kLz77, bool kWeighted>
class TreeWalker {
 public:
  // `tree`: leaves hold their cluster in splitvals[1]. `secondary`: the
  // tree tests one of properties 3 to 8, 13 and 14.
  TreeWalker(const FlatMaTreeNode* tree, int32_t* props, bool secondary,
             WeightedPredictorState* wp)
      : tree_(tree), props_(props), secondary_(secondary), wp_(wp) {}

  // The leaf the properties `p` reach. Each test is a branch: on images
  // neighbouring samples mostly take the same path, so the branches predict
  // well and the next node's loads start before the tests are resolved
  // (select-based forms wait for every load of every step and measured
  // about a quarter slower on photographic content). The branches are kept
  // as branches, not turned into selects, by testing before choosing.
  inline const FlatMaTreeNode* Walk(const int32_t* p) const {
    const FlatMaTreeNode* node = tree_;
    while (node->property0 >= 0) {
      const bool right = p[node->property0] <= node->splitval0;
      const bool a = p[node->properties[0]] <= node->splitvals[0];
      const bool b = p[node->properties[1]] <= node->splitvals[1];
      const FlatMaTreeNode* first = tree_ + node->child_id;
      if (right) {
        if (b) {
          node = first + 3;
        } else {
          node = first + 2;
        }
      } else {
        if (a) {
          node = first + 1;
        } else {
          node = first;
        }
      }
    }
    return node;
  }

  // Decodes sample x of row y given its neighbours.
  QOV_ALWAYS_INLINE int32_t Sample(BitReader& reader, SymbolReader& s,
                                   const Neighbours& n, size_t x, size_t y,
                                   size_t w, const int32_t* refs,
                                   size_t ref_count) {
    int32_t* p = props_;
    const int32_t previous9 = p[9];
    p[9] = static_cast<int32_t>(n.W + n.N - n.NW);
    p[10] = static_cast<int32_t>(n.W - n.NW);
    p[11] = static_cast<int32_t>(n.NW - n.N);
    p[12] = static_cast<int32_t>(n.N - n.NE);
    if (secondary_) {
      p[3] = static_cast<int32_t>(x);
      p[4] = static_cast<int32_t>(Abs64(n.N));
      p[5] = static_cast<int32_t>(Abs64(n.W));
      p[6] = static_cast<int32_t>(n.N);
      p[7] = static_cast<int32_t>(n.W);
      p[8] = static_cast<int32_t>(n.W - previous9);
      p[13] = static_cast<int32_t>(n.N - n.NN);
      p[14] = static_cast<int32_t>(n.W - n.WW);
    }
    int64_t weighted = 0;
    if constexpr (kWeighted) {
      weighted = wp_->Predict(x, y, w, n.N, n.W, n.NE, n.NW, n.NN, &p[15]);
    }
    if (ref_count != 0) {
      std::memcpy(p + 16, refs + x * ref_count, ref_count * sizeof(int32_t));
    }
    const FlatMaTreeNode* node = Walk(p);
    const int32_t predictor = node->predictor();
    int64_t prediction;
    if (kWeighted && static_cast<uint32_t>(predictor - 5) < 2) {
      // Trees with the weighted predictor mix leaves of predictors 5 and 6:
      // a select instead of an unpredictable indirect jump.
      const int64_t gradient = ClampedGradient(n.W, n.N, n.NW);
      const int64_t blended = (weighted + 3) >> 3;
      const int64_t mask = -static_cast<int64_t>(predictor == 6);
      prediction = gradient ^ ((gradient ^ blended) & mask);
    } else {
      prediction = ModularPrediction(predictor, n, weighted);
    }
    const int64_t guess = prediction + node->offset();
    const uint32_t cluster = static_cast<uint32_t>(node->splitvals[1]);
    const int32_t r = UnpackSigned(ReadValue<kLz77>(s, cluster, reader));
    const int32_t v = Reconstruct(guess, node->multiplier(), r);
    if constexpr (kWeighted) wp_->Update(x, y, w, v);
    return v;
  }

 private:
  const FlatMaTreeNode* tree_;
  int32_t* props_;
  bool secondary_;
  WeightedPredictorState* wp_;
};

// Kept out of the path choice: inlined there, the loop shares registers
// with code that no longer runs.
template <bool kLz77, bool kWeighted>
QOV_NOINLINE Status TreeLoop(BitReader& reader, SymbolReader& s,
                const std::vector<uint8_t>& context_map, const FlatMaTree& flat,
                const TreeFacts& facts, const weighted::Header& wp_header,
                int32_t channel_index, int32_t stream_id, ModularImage& image,
                Channel ch) {
  const size_t count = static_cast<size_t>(facts.property_count);
  const size_t ref_count = count - 16;
  // The walker's copy of the tree, the property vector, then the reference
  // properties of one row.
  static_assert(sizeof(FlatMaTreeNode) % sizeof(int32_t) == 0);
  const uint64_t node_words =
      uint64_t{flat.size()} * (sizeof(FlatMaTreeNode) / sizeof(int32_t));
  const uint64_t words = node_words + count + uint64_t{ref_count} * ch.w;
  QOV_ASSIGN_OR_RETURN(
      AlignedBlock block,
      AlignedBlock::Create(image.memory_manager, words * sizeof(int32_t)));
  FlatMaTreeNode* nodes = block.As<FlatMaTreeNode>();
  std::uninitialized_copy(flat.begin(), flat.end(), nodes);
  // A leaf's cluster goes into its unused second split value: one
  // dependent load less between the leaf and its token.
  bool secondary = false;
  for (size_t i = 0; i < flat.size(); ++i) {
    FlatMaTreeNode& node = nodes[i];
    if (node.property0 < 0) {
      node.splitvals[1] = context_map[node.child_id];
    } else {
      secondary |= TestsSecondaryProperty(node.property0) ||
                   TestsSecondaryProperty(node.properties[0]) ||
                   TestsSecondaryProperty(node.properties[1]);
    }
  }
  int32_t* props = block.As<int32_t>() + node_words;
  int32_t* refs = props + count;
  std::memset(props, 0, count * sizeof(int32_t));
  std::vector<WeightedPredictorState> wp;
  if constexpr (kWeighted) wp.emplace_back(wp_header, ch.w);
  TreeWalker<kLz77, kWeighted> walker(nodes, props, secondary,
                                      kWeighted ? wp.data() : nullptr);
  props[0] = channel_index;
  props[1] = stream_id;
  const size_t w = ch.w;
  for (size_t y = 0; y < ch.h; ++y) {
    props[2] = static_cast<int32_t>(y);
    props[9] = 0;
    if (ref_count != 0) {
      ComputeReferenceProperties(image, static_cast<size_t>(channel_index), y,
                                 ref_count, refs);
    }
    int32_t* row = Row(*ch.c, y);
    const int32_t* prev = y > 0 ? Row(*ch.c, y - 1) : nullptr;
    const int32_t* prev2 = y > 1 ? Row(*ch.c, y - 2) : nullptr;
    // Rows from 2 on, when wide enough, take the interior neighbourhood
    // for columns 2 .. w - 3.
    const bool split = y >= 2 && w >= 9;
    const size_t interior_end = split ? w - 2 : 0;
    for (size_t x = 0; x < w;) {
      row[x] = walker.Sample(reader, s,
                             LoadNeighbours(row, prev, prev2, x, y, w), x, y,
                             w, refs, ref_count);
      ++x;
      if (x == 2 && split) {
        for (; x < interior_end; ++x) {
          row[x] = walker.Sample(reader, s,
                                 LoadInteriorNeighbours(row, prev, prev2, x),
                                 x, y, w, refs, ref_count);
        }
      }
    }
  }
  return OkStatus();
}

template <bool kLz77>
Status ChannelPixelLoop(BitReader& reader, SymbolReader& s,
                        const std::vector<uint8_t>& context_map,
                        const MaTree& tree, const weighted::Header& wp_header,
                        int32_t channel_index, int32_t stream_id,
                        uint8_t* lookup, ModularImage& image,
                        RunLengthState& run,
                        const ChannelDecodeOptions& options, Channel ch) {
  // A tree without channel or stream tests was specialised once when read.
  FlatMaTree local;
  TreeFacts local_facts;
  const FlatMaTree* flat = &tree.flat;
  const TreeFacts* facts = &tree.facts;
  TreeSpecializationCache* cache = options.cache;
  if (!tree.prepared || !tree.channel_independent) {
    if (cache != nullptr && tree.prepared && cache->tree == &tree &&
        cache->stream == stream_id &&
        (!tree.tests_channel || cache->channel == channel_index)) {
      flat = &cache->flat;
      facts = &cache->facts;
    } else if (cache != nullptr && tree.prepared) {
      SpecializeTreeForChannel(tree.nodes, channel_index, stream_id,
                               cache->flat, cache->facts);
      cache->tree = &tree;
      cache->channel = channel_index;
      cache->stream = stream_id;
      flat = &cache->flat;
      facts = &cache->facts;
    } else {
      SpecializeTreeForChannel(tree.nodes, channel_index, stream_id, local,
                               local_facts);
      flat = &local;
      facts = &local_facts;
    }
  }
  bool gradient_unit_leaves = tree.gradient_unit_leaves;
  if (!tree.prepared) {
    MaTree copy;
    copy.nodes = tree.nodes;
    copy.Prepare();
    gradient_unit_leaves = copy.gradient_unit_leaves;
  }
  auto report = [&](ChannelPath path) {
    if (options.path_taken != nullptr) *options.path_taken = path;
  };

  const FlatMaTreeNode& root = (*flat)[0];
  const bool single = flat->size() == 1;
  if (!options.force_tree_path) {
    const uint32_t cluster = single ? context_map[root.child_id] : 0;
    const bool unit = single && root.offset() == 0 && root.multiplier() == 1;
    if (kLz77 && single && root.predictor() != 0 && gradient_unit_leaves &&
        s.IsRunLengthOnly()) {
      report(ChannelPath::kRunLength);
      RunLengthLoop(reader, s, cluster, run, ch);
      return OkStatus();
    }
    if (single && root.predictor() == 5 && unit) {
      report(ChannelPath::kGradientSingle);
      GradientLoop<kLz77>(reader, s, cluster, nullptr, ch);
      return OkStatus();
    }
    uint32_t symbol;
    if (single && root.predictor() == 0 &&
        NextSymbolIsCertain(s, cluster, &symbol)) {
      report(ChannelPath::kConstant);
      ConstantFill(s, symbol, root, ch);
      return OkStatus();
    }
    if (single && root.predictor() == 0) {
      report(ChannelPath::kPlainSingle);
      PlainSingle<kLz77>(reader, s, cluster, root, ch);
      return OkStatus();
    }
    if (facts->gradient_only &&
        BuildTreeLookupTable(*flat, context_map.data(), lookup)) {
      report(ChannelPath::kGradientTable);
      GradientLoop<kLz77>(reader, s, 0, lookup, ch);
      return OkStatus();
    }
    if (!kLz77 && facts->weighted_only && ch.w > 8 &&
        BuildTreeLookupTable(*flat, context_map.data(), lookup)) {
      report(ChannelPath::kWeightedTable);
      WeightedPredictorState wp(wp_header, ch.w);
      WeightedTableLoop(reader, s, lookup, wp, ch);
      return OkStatus();
    }
  }
  if (facts->uses_weighted) {
    report(ChannelPath::kWeightedTree);
    return TreeLoop<kLz77, true>(reader, s, context_map, *flat, *facts,
                                 wp_header, channel_index, stream_id, image, ch);
  }
  report(ChannelPath::kTree);
  return TreeLoop<kLz77, false>(reader, s, context_map, *flat, *facts,
                                wp_header, channel_index, stream_id, image, ch);
}

}  // namespace

void ComputeReferenceProperties(const ModularImage& image, size_t i, size_t y,
                                size_t count, int32_t* references) {
  const ModularChannel& target = image.channels[i];
  const size_t w = target.width;
  std::memset(references, 0, count * w * sizeof(int32_t));
  if (i == 0 || count == 0) return;
  size_t offset = 0;
  for (size_t j = i; j-- > 0 && offset < count;) {
    const ModularChannel& c = image.channels[j];
    if (c.width != target.width || c.height != target.height ||
        c.hshift != target.hshift || c.vshift != target.vshift) {
      continue;
    }
    const int32_t* row = Row(c, y);
    const int32_t* prev = y > 0 ? Row(c, y - 1) : nullptr;
    for (size_t x = 0; x < w; ++x) {
      int64_t W, N, NW;
      if (y == 0) {
        W = N = NW = x > 0 ? row[x - 1] : 0;
      } else {
        N = prev[x];
        W = x > 0 ? row[x - 1] : N;
        NW = x > 0 ? prev[x - 1] : N;
      }
      const int64_t v = row[x];
      const int64_t d = v - ClampedGradient(W, N, NW);
      int32_t* out = references + x * count + offset;
      out[0] = static_cast<int32_t>(Abs64(v));
      out[1] = static_cast<int32_t>(v);
      out[2] = static_cast<int32_t>(Abs64(d));
      out[3] = static_cast<int32_t>(d);
    }
    offset += 4;
  }
}

Status ReadChannelPixels(BitReader& reader, SymbolReader& symbols,
                         const std::vector<uint8_t>& context_map,
                         const MaTree& tree, const weighted::Header& wp_header,
                         int32_t channel_index, int32_t stream_id,
                         uint8_t* lookup, ModularImage& image,
                         RunLengthState& run,
                         const ChannelDecodeOptions& options) {
  ModularChannel& c = image.channels[static_cast<size_t>(channel_index)];
  if (options.path_taken != nullptr) *options.path_taken = ChannelPath::kNone;
  if (c.width == 0 || c.height == 0) return OkStatus();
  if (tree.empty()) return FailedStatus();
  const Channel ch{&c, static_cast<size_t>(c.width),
                   static_cast<size_t>(c.height)};
  if (symbols.window != nullptr) {
    return ChannelPixelLoop<true>(reader, symbols, context_map, tree,
                                  wp_header, channel_index, stream_id, lookup,
                                  image, run, options, ch);
  }
  return ChannelPixelLoop<false>(reader, symbols, context_map, tree, wp_header,
                                 channel_index, stream_id, lookup, image, run,
                                 options, ch);
}

}  // namespace qov
