// MA-tree reading, validation, specialisation and lookup tables.
#include "lib/modular/ma_tree.h"

#include <algorithm>

#include "lib/bitstream/entropy_code.h"
#include "lib/bitstream/symbol_reader.h"
#include "lib/modular/predictors.h"

namespace qov {
namespace {

enum TreeContext : uint32_t {
  kSplitValContext = 0,
  kPropertyContext = 1,
  kPredictorContext = 2,
  kOffsetContext = 3,
  kMultiplierLogContext = 4,
  kMultiplierBitsContext = 5,
  kNumTreeContexts = 6,
};

// Follows splits on the static properties 0 and 1 down to the first node
// that tests anything else.
inline uint32_t Resolve(const std::vector<MaTreeNode>& nodes, uint32_t n,
                        const int32_t statics[2]) {
  while (nodes[n].property == 0 || nodes[n].property == 1) {
    const MaTreeNode& node = nodes[n];
    n = statics[node.property] > node.splitval ? node.lchild : node.rchild;
  }
  return n;
}

}  // namespace

Status ReadMaTree(const QovMemoryManagerStruct* memory_manager,
                  BitReader& reader, MaTree& tree, uint64_t node_limit) {
  tree = MaTree();
  EntropyCodeSet codes;
  std::vector<uint8_t> context_map;
  QOV_RETURN_IF_ERROR(ReadEntropyCodeSet(memory_manager, reader,
                                         kNumTreeContexts, &codes, context_map,
                                         /*disallow_lz77=*/false));
  // A property cluster that can only give non-zero tokens never ends.
  if (codes.sole_symbols[context_map[kPropertyContext]] >= 1) {
    return FailedStatus();
  }
  QOV_ASSIGN_OR_RETURN(SymbolReader symbols,
                       SymbolReader::Create(codes, reader, 0));
  const uint64_t limit = std::min(node_limit, kMaxTreeNodes);
  auto read = [&](TreeContext c) {
    return symbols.ReadClusteredUint(context_map[c], reader);
  };
  std::vector<MaTreeNode>& nodes = tree.nodes;
  uint64_t pending = 1;
  uint32_t leaves = 0;
  while (pending > 0) {
    if (reader.CheckBounds().code() != StatusValue::Ok ||
        nodes.size() > limit) {
      return FailedStatus();
    }
    const uint32_t t = read(kPropertyContext);
    if (t >= 257) return FailedStatus();
    MaTreeNode node;
    if (t > 0) {
      node.property = static_cast<int16_t>(t - 1);
      node.splitval = UnpackSigned(read(kSplitValContext));
      node.lchild = static_cast<uint32_t>(nodes.size() + pending);
      node.rchild = node.lchild + 1;
      ++pending;
    } else {
      node.predictor = static_cast<int32_t>(read(kPredictorContext));
      if (node.predictor >= kNumPredictors || node.predictor < 0) {
        return FailedStatus();
      }
      node.predictor_offset = UnpackSigned(read(kOffsetContext));
      const uint32_t shift = read(kMultiplierLogContext);
      if (shift > 30) return FailedStatus();
      const uint32_t bits = read(kMultiplierBitsContext);
      if (!(bits < ((1u << 31) >> shift) - 1)) return FailedStatus();
      node.multiplier = (bits + 1) << shift;
      node.lchild = leaves++;
      --pending;
    }
    nodes.push_back(node);
  }
  QOV_RETURN_IF_ERROR(ValidateMaTree(nodes));
  if (!symbols.CheckFinalState()) return FailedStatus();
  tree.Prepare();
  return OkStatus();
}

Status ValidateMaTree(const std::vector<MaTreeNode>& nodes) {
  if (nodes.empty()) return FailedStatus();
  int32_t max_property = -1;
  for (const MaTreeNode& n : nodes) max_property = std::max<int32_t>(max_property, n.property);
  struct Range {
    int64_t low = INT32_MIN;
    int64_t high = INT32_MAX;
  };
  std::vector<Range> ranges(static_cast<size_t>(max_property + 1));
  struct Entry {
    uint32_t node;
    int64_t saved;
    uint8_t state;
  };
  std::vector<Entry> stack;
  stack.push_back({0, 0, 0});
  while (!stack.empty()) {
    if (stack.size() > kMaxTreeDepth) return FailedStatus();
    Entry& e = stack.back();
    const MaTreeNode& node = nodes[e.node];
    if (node.property < 0) {
      stack.pop_back();
      continue;
    }
    Range& r = ranges[static_cast<size_t>(node.property)];
    if (e.state == 0) {
      if (!(r.low <= node.splitval && node.splitval < r.high)) {
        return FailedStatus();
      }
      e.saved = r.low;
      r.low = int64_t{node.splitval} + 1;
      e.state = 1;
      stack.push_back({node.lchild, 0, 0});
    } else if (e.state == 1) {
      r.low = e.saved;
      e.saved = r.high;
      r.high = node.splitval;
      e.state = 2;
      stack.push_back({node.rchild, 0, 0});
    } else {
      r.high = e.saved;
      stack.pop_back();
    }
  }
  return OkStatus();
}

void SpecializeTreeForChannel(const std::vector<MaTreeNode>& nodes,
                              int32_t channel, int32_t stream,
                              FlatMaTree& out, TreeFacts& facts) {
  const int32_t statics[2] = {channel, stream};
  out.clear();
  uint64_t property_count = 0;
  bool gradient_only = true, has_weighted = false, has_other = false;
  std::vector<uint32_t> queue;
  size_t head = 0;
  queue.push_back(0);
  auto mark = [&](int32_t property) {
    if (property == 15) {
      has_weighted = true;
      gradient_only = false;
    } else if (property > 1) {
      has_other = true;
      if (property != 9) gradient_only = false;
    }
  };
  while (head < queue.size()) {
    const MaTreeNode& c = nodes[Resolve(nodes, queue[head++], statics)];
    FlatMaTreeNode f;
    if (c.property < 0) {
      f.property0 = -1;
      f.splitval0 = c.predictor;
      f.splitvals[0] = static_cast<int32_t>(c.multiplier);
      f.child_id = c.lchild;
      f.SetOffset(static_cast<int32_t>(static_cast<uint64_t>(c.predictor_offset)));
      if (c.predictor != 5) gradient_only = false;
      if (c.predictor == 6) has_weighted = true;
      if (c.predictor != 6) has_other = true;
      out.push_back(f);
      continue;
    }
    f.property0 = c.property;
    f.splitval0 = c.splitval;
    f.child_id = static_cast<uint32_t>(out.size() + (queue.size() - head) + 1);
    property_count = std::max<uint64_t>(property_count, c.property + 1);
    const uint32_t sides[2] = {c.lchild, c.rchild};
    for (int i = 0; i < 2; ++i) {
      const uint32_t d = Resolve(nodes, sides[i], statics);
      if (nodes[d].property < 0) {
        queue.push_back(d);
        queue.push_back(d);
        f.properties[i] = 0;
        f.splitvals[i] = 0;
      } else {
        queue.push_back(nodes[d].lchild);
        queue.push_back(nodes[d].rchild);
        f.properties[i] = nodes[d].property;
        f.splitvals[i] = nodes[d].splitval;
        property_count =
            std::max<uint64_t>(property_count, nodes[d].property + 1);
      }
    }
    mark(f.properties[0]);
    mark(f.properties[1]);
    mark(f.property0);
    out.push_back(f);
  }
  facts.property_count =
      property_count <= 16 ? 16 : 16 + ((property_count - 16 + 3) & ~uint64_t{3});
  facts.gradient_only = gradient_only;
  facts.uses_weighted = has_weighted;
  facts.weighted_only = has_weighted && !has_other;
}

void MaTree::Prepare() {
  channel_independent = true;
  tests_channel = false;
  gradient_unit_leaves = true;
  for (const MaTreeNode& n : nodes) {
    if (n.property == 0 || n.property == 1) {
      channel_independent = false;
      tests_channel |= n.property == 0;
    } else if (n.property >= 0 || n.predictor != 5 ||
               n.predictor_offset != 0 || n.multiplier != 1) {
      gradient_unit_leaves = false;
    }
  }
  flat.clear();
  if (channel_independent && !nodes.empty()) {
    SpecializeTreeForChannel(nodes, 0, 0, flat, facts);
  }
  prepared = true;
}

bool BuildTreeLookupTable(const FlatMaTree& tree, const uint8_t* context_map,
                          uint8_t* lut) {
  struct Entry {
    int32_t low;   // excluded
    int32_t high;  // included
    uint32_t node;
  };
  std::vector<Entry> work;
  work.push_back({-8193, 8191, 0});
  while (!work.empty()) {
    const Entry e = work.back();
    work.pop_back();
    // Values below -8192 are read as -8192, so no split may separate them
    // from it: a range may start at -8193 only as the initial one.
    if (e.low < -8193 || e.low >= 8191 || e.high > 8191 || e.high < -8192 ||
        e.low > e.high) {
      return false;
    }
    const FlatMaTreeNode& n = tree[e.node];
    if (n.property0 < 0) {
      if (n.offset() != 0 || n.multiplier() != 1) return false;
      const uint8_t cluster = context_map[n.child_id];
      std::memset(lut + 8192 + e.low + 1, cluster,
                  static_cast<size_t>(e.high - e.low));
      continue;
    }
    const int32_t s0 = n.splitval0, sa = n.splitvals[0], sb = n.splitvals[1];
    const uint32_t c = n.child_id;
    if (n.properties[0] < 2) {
      work.push_back({s0, e.high, c});
    } else {
      work.push_back({sa, e.high, c});
      work.push_back({s0, sa, c + 1});
    }
    if (n.properties[1] < 2) {
      work.push_back({e.low, s0, c + 2});
    } else {
      work.push_back({sb, s0, c + 2});
      work.push_back({e.low, sb, c + 3});
    }
  }
  return true;
}

}  // namespace qov
