// Encoder side of the modular test streams.
#include "tests/modular/modular_stream_writer_helpers.h"

#include <algorithm>
#include <deque>
#include <random>

#include "lib/base/memory.h"
#include "lib/encode/entropy_writer.h"
#include "lib/encode/write_fields.h"

namespace qov::modular_test {

Tree Leaf(int32_t predictor, int64_t offset, uint32_t multiplier) {
  auto n = std::make_shared<TreeNode>();
  n->predictor = predictor;
  n->offset = offset;
  n->multiplier = multiplier;
  return n;
}

Tree Split(int32_t property, int32_t splitval, Tree left, Tree right) {
  auto n = std::make_shared<TreeNode>();
  n->property = property;
  n->splitval = splitval;
  n->left = std::move(left);
  n->right = std::move(right);
  return n;
}

std::vector<MaTreeNode> Flatten(const Tree& tree) {
  std::vector<const TreeNode*> order;
  std::deque<const TreeNode*> queue{tree.get()};
  while (!queue.empty()) {
    const TreeNode* n = queue.front();
    queue.pop_front();
    order.push_back(n);
    if (n->property >= 0) {
      queue.push_back(n->left.get());
      queue.push_back(n->right.get());
    }
  }
  std::vector<MaTreeNode> out;
  uint32_t next_child = 1, leaves = 0;
  for (const TreeNode* n : order) {
    MaTreeNode m;
    if (n->property >= 0) {
      m.property = static_cast<int16_t>(n->property);
      m.splitval = n->splitval;
      m.lchild = next_child;
      m.rchild = next_child + 1;
      next_child += 2;
    } else {
      m.predictor = n->predictor;
      m.predictor_offset = n->offset;
      m.multiplier = n->multiplier;
      m.lchild = leaves++;
    }
    out.push_back(m);
  }
  return out;
}

std::vector<Token> TreeTokens(const std::vector<MaTreeNode>& nodes) {
  std::vector<Token> t;
  for (const MaTreeNode& n : nodes) {
    if (n.property >= 0) {
      t.emplace_back(1, static_cast<uint32_t>(n.property) + 1);
      t.emplace_back(0, PackSigned(n.splitval));
      continue;
    }
    t.emplace_back(1, 0);
    t.emplace_back(2, static_cast<uint32_t>(n.predictor));
    t.emplace_back(3, PackSigned(static_cast<int32_t>(n.predictor_offset)));
    const uint32_t shift = static_cast<uint32_t>(__builtin_ctz(n.multiplier));
    t.emplace_back(4, shift);
    t.emplace_back(5, (n.multiplier >> shift) - 1);
  }
  return t;
}

namespace {

struct Hood {
  int64_t W, N, NW, NE, WW, NN, NEE;
};

Hood Neighbourhood(const TestChannel& c, size_t x, size_t y) {
  Hood h;
  const size_t w = c.width;
  h.W = x > 0 ? c.at(x - 1, y) : (y > 0 ? c.at(x, y - 1) : 0);
  h.N = y > 0 ? c.at(x, y - 1) : h.W;
  h.NW = (x > 0 && y > 0) ? c.at(x - 1, y - 1) : (y > 0 ? h.N : h.W);
  h.NE = y == 0 ? h.W : (x + 1 < w ? c.at(x + 1, y - 1) : h.N);
  h.WW = x >= 2 ? c.at(x - 2, y) : h.W;
  h.NN = y >= 2 ? c.at(x, y - 2) : h.N;
  h.NEE = y == 0 ? h.W : (x + 2 < w ? c.at(x + 2, y - 1) : h.NE);
  return h;
}

int64_t Gradient(int64_t W, int64_t N, int64_t NW) {
  const int64_t lo = std::min(W, N), hi = std::max(W, N);
  return std::clamp(W + N - NW, lo, hi);
}

int64_t PredictPlain(int32_t predictor, const Hood& h, int64_t wp) {
  auto half = [](int64_t v) { return v / 2; };
  switch (predictor) {
    case 0: return 0;
    case 1: return h.W;
    case 2: return h.N;
    case 3: return half(h.W + h.N);
    case 4:
      return std::abs(h.N - h.NW) < std::abs(h.W - h.NW) ? h.W : h.N;
    case 5: return Gradient(h.W, h.N, h.NW);
    case 6: return (wp + 3) >> 3;
    case 7: return h.NE;
    case 8: return h.NW;
    case 9: return h.WW;
    case 10: return half(h.W + h.NW);
    case 11: return half(h.N + h.NW);
    case 12: return half(h.N + h.NE);
    default:
      return (6 * h.N - 2 * h.NN + 7 * h.W + h.WW + h.NEE + 3 * h.NE + 8) /
             16;
  }
}

}  // namespace

int64_t ReferenceGradient(const TestChannel& c, size_t x, size_t y) {
  const Hood h = Neighbourhood(c, x, y);
  return Gradient(h.W, h.N, h.NW);
}

std::vector<Token> ChannelTokens(const std::vector<MaTreeNode>& tree,
                                 std::vector<TestChannel>& channels,
                                 size_t first, size_t end, int32_t stream_id,
                                 const weighted::Header& wp,
                                 bool samples_are_residuals) {
  int32_t max_property = 15;
  for (const MaTreeNode& n : tree) max_property = std::max<int32_t>(max_property, n.property);
  std::vector<Token> tokens;
  for (size_t i = first; i < end; ++i) {
    TestChannel& c = channels[i];
    if (c.width == 0 || c.height == 0) continue;
    WeightedPredictorState state(wp, c.width);
    std::vector<int64_t> p(static_cast<size_t>(max_property) + 1, 0);
    for (size_t y = 0; y < c.height; ++y) {
      int64_t prev9 = 0;
      for (size_t x = 0; x < c.width; ++x) {
        const Hood h = Neighbourhood(c, x, y);
        auto s32 = [](int64_t v) { return int64_t{static_cast<int32_t>(v)}; };
        p[0] = static_cast<int64_t>(i);
        p[1] = stream_id;
        p[2] = static_cast<int64_t>(y);
        p[3] = static_cast<int64_t>(x);
        p[4] = s32(std::abs(h.N));
        p[5] = s32(std::abs(h.W));
        p[6] = h.N;
        p[7] = h.W;
        p[8] = s32(h.W - prev9);
        p[9] = s32(h.W + h.N - h.NW);
        prev9 = p[9];
        p[10] = s32(h.W - h.NW);
        p[11] = s32(h.NW - h.N);
        p[12] = s32(h.N - h.NE);
        p[13] = s32(h.N - h.NN);
        p[14] = s32(h.W - h.WW);
        int32_t max_error = 0;
        const int64_t wp_pred =
            state.Predict(x, y, c.width, h.N, h.W, h.NE, h.NW, h.NN, &max_error);
        p[15] = max_error;
        for (size_t k = 16; k < p.size(); ++k) p[k] = 0;
        size_t slot = 16;
        for (size_t j = i; j-- > 0 && slot < p.size();) {
          const TestChannel& r = channels[j];
          if (r.width != c.width || r.height != c.height ||
              r.hshift != c.hshift || r.vshift != c.vshift) {
            continue;
          }
          const int64_t v = r.at(x, y);
          const int64_t d = v - ReferenceGradient(r, x, y);
          const int64_t vals[4] = {s32(std::abs(v)), v, s32(std::abs(d)), s32(d)};
          for (int q = 0; q < 4 && slot < p.size(); ++q) p[slot++] = vals[q];
        }
        size_t n = 0;
        while (tree[n].property >= 0) {
          n = p[static_cast<size_t>(tree[n].property)] > tree[n].splitval
                  ? tree[n].lchild
                  : tree[n].rchild;
        }
        const MaTreeNode& leaf = tree[n];
        const int64_t guess =
            PredictPlain(leaf.predictor, h, wp_pred) + leaf.predictor_offset;
        int32_t r;
        if (samples_are_residuals) {
          r = c.at(x, y);
          c.at(x, y) = static_cast<int32_t>(
              static_cast<uint64_t>(guess) +
              static_cast<uint64_t>(int64_t{leaf.multiplier} * r));
        } else {
          const int64_t diff = static_cast<int64_t>(c.at(x, y)) - guess;
          r = leaf.multiplier == 1
                  ? static_cast<int32_t>(diff)
                  : static_cast<int32_t>(diff / int64_t{leaf.multiplier});
        }
        tokens.emplace_back(leaf.lchild, PackSigned(r));
        state.Update(x, y, c.width, c.at(x, y));
      }
    }
  }
  return tokens;
}

Status WriteEntropyCoded(std::vector<Token> tokens, size_t num_contexts,
                         const CodeOptions& options, BitWriter* writer) {
  HistogramParams p;
  p.force_prefix_codes = options.prefix_codes;
  p.choose_code_kind = options.prefix_codes;
  p.lz77_mode = options.lz77_mode;
  p.clustering_mode = options.clustering_mode;
  p.split_config_mode = options.split_config_mode;
  if (options.stream_width != 0) p.stream_widths.push_back(options.stream_width);
  std::vector<std::vector<Token>> streams{std::move(tokens)};
  EntropyEncodingData codes;
  QOV_ASSIGN_OR_RETURN(
      size_t cost,
      BuildAndEncodeHistograms(writer->memory_manager(), p, num_contexts,
                               streams, &codes, writer,
                               LayerType::kModularTree, nullptr));
  (void)cost;
  return WriteTokens(streams[0], codes, 0, writer, LayerType::kModularTree,
                     nullptr);
}

Status WriteTree(const std::vector<MaTreeNode>& nodes,
                 const CodeOptions& options, BitWriter* writer) {
  return WriteEntropyCoded(TreeTokens(nodes), 6, options, writer);
}


std::vector<uint8_t> WrittenBytes(const BitWriter& writer) {
  const Span s = writer.GetSpan();
  return std::vector<uint8_t>(s.data, s.data + s.size);
}

std::vector<TestChannel> RandomChannels(
    const std::vector<std::pair<uint32_t, uint32_t>>& sizes, uint32_t seed,
    int32_t lo, int32_t hi) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int64_t> dist(lo, hi);
  std::vector<TestChannel> out;
  for (const auto& [w, h] : sizes) {
    TestChannel c;
    c.width = w;
    c.height = h;
    c.samples.resize(size_t{w} * h);
    for (int32_t& v : c.samples) v = static_cast<int32_t>(dist(rng));
    out.push_back(std::move(c));
  }
  return out;
}

Status WriteModularStream(const StreamSpec& spec,
                          std::vector<TestChannel>& coded, BitWriter* writer,
                          BitWriter* global) {
  QOV_RETURN_IF_ERROR(
      Bundle::Write(spec.header, writer, LayerType::kModularGlobal, nullptr));
  size_t end = 0;
  uint32_t max_width = 0;
  bool any = false;
  for (; end < coded.size(); ++end) {
    const TestChannel& c = coded[end];
    if (end >= spec.meta_channel_count &&
        (c.width > spec.channel_size_limit ||
         c.height > spec.channel_size_limit)) {
      break;
    }
    if (c.width == 0 || c.height == 0) continue;
    any = true;
    max_width = std::max(max_width, c.width);
  }
  if (!any) return OkStatus();
  BitWriter* tree_writer = spec.header.use_global_tree ? global : writer;
  if (tree_writer == nullptr) return FailedStatus();
  QOV_RETURN_IF_ERROR(WriteTree(spec.tree, spec.tree_code, tree_writer));
  std::vector<Token> tokens =
      ChannelTokens(spec.tree, coded, 0, end, spec.stream_id,
                    spec.header.wp_header, spec.samples_are_residuals);
  CodeOptions data = spec.data_code;
  data.stream_width = max_width;
  const size_t contexts = (spec.tree.size() + 1) / 2;
  if (!spec.header.use_global_tree) {
    return WriteEntropyCoded(std::move(tokens), contexts, data, writer);
  }
  // Global codes: the description goes with the tree, the tokens here.
  HistogramParams p;
  p.force_prefix_codes = data.prefix_codes;
  p.choose_code_kind = data.prefix_codes;
  p.lz77_mode = data.lz77_mode;
  p.clustering_mode = data.clustering_mode;
  p.split_config_mode = data.split_config_mode;
  p.stream_widths.push_back(max_width);
  std::vector<std::vector<Token>> streams{std::move(tokens)};
  EntropyEncodingData codes;
  QOV_ASSIGN_OR_RETURN(
      size_t cost,
      BuildAndEncodeHistograms(writer->memory_manager(), p, contexts, streams,
                               &codes, global, LayerType::kModularTree,
                               nullptr));
  (void)cost;
  return WriteTokens(streams[0], codes, 0, writer, LayerType::kModularTree,
                     nullptr);
}

}  // namespace qov::modular_test
