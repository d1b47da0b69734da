// LZ77 methods on token streams: run-length, greedy, greedy plus re-parse.
#include "lib/encode/lz77.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "lib/base/bits.h"
#include "lib/encode/lz77_match_finder.h"
#include "lib/encode/tokenize_hybrid_uint.h"

namespace qov {

namespace {

constexpr float kLengthTokenCost[17] = {
    2.7976673, 3.2131777, 2.570601,  2.4083924, 2.8296492, 3.3923087,
    4.0292673, 4.415577,  4.5093575, 9.214815,  10.02059,  11.858671,
    12.458533, 11.713106, 12.561996, 13.775477, 13.174027};

constexpr float kDistanceTokenCost[139] = {
    6.368283,  5.6807933, 8.3474045, 7.641619,  6.9143286, 7.9598083,
    8.700232,  8.713785,  9.379132,  9.110473,  9.15903,   9.430937,
    7.278284,  7.8278513, 10.026641, 9.976049,  9.643517,  9.563404,
    10.171474, 10.459501, 9.994814,  10.322525, 8.465809,  8.756254,
    10.160931, 10.24733,  10.040904, 10.129398, 9.342312,  9.07608,
    10.104799, 10.378079, 10.165829, 10.337595, 7.9405575, 10.575665,
    11.023344, 10.736145, 11.118277, 7.468468,  10.738305, 10.9069805,
    10.163468, 10.178058, 11.167284, 11.14705,  10.517921, 10.651765,
    10.170745, 11.217637, 11.261631, 11.403141, 10.892472, 11.185961,
    8.017347,  7.8951435, 11.036577, 11.170562, 10.326989, 10.408722,
    11.213498, 11.305806, 10.672273, 10.768069, 11.145257, 11.646683,
    10.593156, 11.2074995, 10.767518, 10.82663, 10.737764, 10.620045,
    10.191316, 8.468384,  11.731296, 11.82462,  10.415189, 10.163105,
    10.539424, 10.495136, 10.469112, 11.720577, 10.910326, 11.3789215,
    11.847759, 11.920716, 10.810628, 11.008601, 11.910326, 11.949212,
    11.2986145, 11.611604, 10.47293, 11.835565, 11.523268, 12.010558,
    8.41303,   11.895784, 11.984679, 11.2206545, 11.716311, 10.610367,
    10.8984995, 10.203763, 10.9975605, 11.484218, 11.792836, 12.243105,
    11.464858, 12.212747, 11.425595, 11.572048, 12.742094, 11.381874,
    12.191871, 11.683157, 11.152442, 11.903037, 11.653293, 11.938616,
    16.970642, 16.853601, 17.262407, 16.644655, 17.143108, 16.910936,
    17.505678, 17.2135,   2.416231,  3.4945872, 3.52586,   3.4959807,
    3.0983908, 3.3434546, 3.5888474, 4.1461477, 5.152949,  7.4336967,
    9.716311};

const UintSplitConfig kCostConfig(4, 2, 0);

size_t RowWidth(const HistogramParams& params, size_t stream) {
  return stream < params.stream_widths.size() ? params.stream_widths[stream]
                                              : 0;
}

// Symbol used for costs: the length configuration plus min_symbol for
// length tokens, the fixed configuration otherwise.
uint32_t CostSymbol(const Token& t, const LZ77Params& lz77) {
  uint32_t extra;
  if (t.lz77_length_flag) {
    return SplitValue(t.value, lz77.length_config, &extra) + lz77.min_symbol;
  }
  return SplitValue(t.value, kCostConfig, &extra);
}

// P[k]: literal cost of the first k tokens (fixed configuration).
std::vector<float> LiteralCostPrefix(const std::vector<Token>& stream,
                                     const Lz77CostModel& model) {
  std::vector<float> prefix(stream.size() + 1, 0.0f);
  for (size_t k = 0; k < stream.size(); ++k) {
    uint32_t extra;
    const uint32_t symbol = SplitValue(stream[k].value, kCostConfig, &extra);
    prefix[k + 1] = prefix[k] + (static_cast<float>(extra) +
                                 model.Bits(stream[k].context, symbol));
  }
  return prefix;
}

std::vector<uint32_t> Values(const std::vector<Token>& stream) {
  std::vector<uint32_t> values(stream.size());
  for (size_t i = 0; i < stream.size(); ++i) values[i] = stream[i].value;
  return values;
}

bool Accepted(double saved_bits, size_t num_tokens) {
  return saved_bits > 0.2 * static_cast<double>(num_tokens) + 16.0;
}

std::vector<std::vector<Token>> RunLengthLz77(
    const HistogramParams& params, size_t num_contexts,
    const std::vector<std::vector<Token>>& streams, const LZ77Params& lz77) {
  const Lz77CostModel model =
      TokenHistogramsForLz77(num_contexts, false, streams, lz77);
  std::vector<std::vector<Token>> out(streams.size());
  double saved = 0.0;
  size_t num_tokens = 0;
  const size_t min_length = lz77.min_length;
  const uint32_t distance_context =
      static_cast<uint32_t>(lz77.distance_cluster);
  for (size_t i = 0; i < streams.size(); ++i) {
    const std::vector<Token>& in = streams[i];
    std::vector<Token>& result = out[i];
    result.reserve(in.size());
    num_tokens += in.size();
    const std::vector<float> prefix = LiteralCostPrefix(in, model);
    const uint32_t distance_symbol = RowWidth(params, i) != 0 ? 1 : 0;
    for (size_t p = 0; p < in.size();) {
      size_t r = 0;
      if (p > 0) {
        while (p + r < in.size() && in[p + r].value == in[p - 1].value) ++r;
      }
      if (r == 0) {
        result.push_back(in[p]);
        ++p;
        continue;
      }
      const float literal = prefix[p + r] - prefix[p];
      bool take = r >= min_length;
      float copy_cost = 0.0f;
      if (take) {
        copy_cost = std::ceil(std::log2(
                        static_cast<float>(r - min_length + 1))) + 1.0f;
        take = copy_cost < literal;
      }
      if (take) {
        result.emplace_back(in[p].context,
                            static_cast<uint32_t>(r - min_length), true);
        result.emplace_back(distance_context, distance_symbol);
        saved += literal - copy_cost;
      } else {
        result.insert(result.end(), in.begin() + p, in.begin() + p + r);
      }
      p += r;
    }
  }
  if (!Accepted(saved, num_tokens)) return {};
  return out;
}

}  // namespace

uint32_t SplitValue(uint32_t value, const UintSplitConfig& config,
                    uint32_t* extra_bits) {
  return HybridUintToken(value, config.split_exponent, config.msb_in_token,
                         config.lsb_in_token, extra_bits);
}

Lz77CostModel TokenHistogramsForLz77(
    size_t num_contexts, bool whole_bits,
    const std::vector<std::vector<Token>>& streams, const LZ77Params& lz77) {
  std::vector<Histogram> histograms(num_contexts);
  for (const auto& stream : streams) {
    for (const Token& t : stream) {
      if (t.context >= num_contexts) continue;  // no row for it
      histograms[t.context].Add(CostSymbol(t, lz77));
    }
  }
  Lz77CostModel model;
  for (const Histogram& h : histograms) {
    model.alphabet_size = std::max(model.alphabet_size, h.counts.size());
  }
  model.symbol_bits.assign(num_contexts * model.alphabet_size, 0.0f);
  model.context_penalty.assign(num_contexts, 0.0f);
  for (size_t c = 0; c < num_contexts; ++c) {
    const Histogram& h = histograms[c];
    const float inv = 1.0f / (static_cast<float>(h.total) + 1e-8f);
    float sum = 0.0f;
    for (size_t j = 0; j < h.counts.size(); ++j) {
      const int32_t count = h.counts[j];
      float bits;
      if (count == 0) {
        bits = 12.0f;
      } else if (static_cast<uint64_t>(count) == h.total) {
        bits = 0.0f;
      } else {
        bits = -ApproxLog2(static_cast<float>(count) * inv);
        if (whole_bits) bits = std::ceil(bits);
      }
      model.symbol_bits[c * model.alphabet_size + j] = bits;
      sum += static_cast<float>(count) * bits;
    }
    model.context_penalty[c] = std::max(0.0f, 6.0f - sum * inv);
  }
  return model;
}

std::vector<std::vector<Token>> GreedyLz77(
    const HistogramParams& params, size_t num_contexts,
    const std::vector<std::vector<Token>>& streams, const LZ77Params& lz77) {
  const Lz77CostModel model = TokenHistogramsForLz77(
      num_contexts, params.force_prefix_codes, streams, lz77);
  std::vector<std::vector<Token>> out(streams.size());
  double saved = 0.0;
  size_t num_tokens = 0;
  const size_t min_length = lz77.min_length;
  const uint32_t distance_context =
      static_cast<uint32_t>(lz77.distance_cluster);
  for (size_t i = 0; i < streams.size(); ++i) {
    const std::vector<Token>& in = streams[i];
    const size_t n = in.size();
    std::vector<Token>& result = out[i];
    result.reserve(n);
    num_tokens += n;
    const std::vector<float> prefix = LiteralCostPrefix(in, model);
    const std::vector<uint32_t> values = Values(in);
    Lz77MatchFinder finder(values.data(), n, Lz77MatchFinder::WindowSizeFor(n),
                           min_length, n, RowWidth(params, i));
    for (size_t p = 0; p < n;) {
      result.push_back(in[p]);
      finder.Insert(p);
      uint32_t s;
      size_t len;
      finder.FindMatch(p, &s, &len);
      if (len < min_length) {
        ++p;
        continue;
      }
      bool lazy = false;
      if (len < 256 && p + 1 < n) {
        finder.Insert(p + 1);
        uint32_t s2;
        size_t len2;
        finder.FindMatch(p + 1, &s2, &len2);
        lazy = len2 <= len;
        if (len2 > len) {
          result.push_back(in[p + 1]);
          ++p;
          s = s2;
          len = len2;
        }
      }
      const uint32_t v = static_cast<uint32_t>(len - min_length);
      uint32_t length_symbol = v, length_extra = 0;
      if (v >= 2) {
        length_extra = FloorLog2(v);
        length_symbol = std::min<uint32_t>(length_extra + 1, 16);
      }
      uint32_t distance_class = s, distance_extra = 0;
      if (s >= 128) {
        distance_extra = FloorLog2(s);
        distance_class = std::min<uint32_t>(distance_extra + 121, 138);
      }
      const float penalty = in[p].context < model.context_penalty.size()
                                ? model.context_penalty[in[p].context]
                                : 6.0f;
      const float copy_cost = static_cast<float>(length_extra) +
                              kLengthTokenCost[length_symbol] +
                              static_cast<float>(distance_extra) +
                              kDistanceTokenCost[distance_class] + penalty;
      const float literal = prefix[p + len] - prefix[p];
      if (copy_cost <= literal) {
        Token& last = result.back();
        last.value = v;
        last.lz77_length_flag = 1;
        result.emplace_back(distance_context, s);
        saved += literal - copy_cost;
      } else {
        result.insert(result.end(), in.begin() + p + 1, in.begin() + p + len);
      }
      for (size_t k = p + (lazy ? 2 : 1); k < p + len; ++k) finder.Insert(k);
      p += len;
    }
  }
  if (!Accepted(saved, num_tokens)) return {};
  return out;
}

namespace {

struct ReparseNode {
  uint32_t length = 1;
  uint32_t distance_plus_one = 0;
  uint32_t context = 0;
  float cost = FLT_MAX;
};

std::vector<std::vector<Token>> OptimalLz77(
    const HistogramParams& params, size_t num_contexts,
    const std::vector<std::vector<Token>>& streams, const LZ77Params& lz77) {
  const std::vector<std::vector<Token>> greedy =
      GreedyLz77(params, num_contexts, streams, lz77);
  if (greedy.empty()) return {};
  const Lz77CostModel model = TokenHistogramsForLz77(
      num_contexts + 1, params.force_prefix_codes, greedy, lz77);
  const size_t min_length = lz77.min_length;
  const size_t distance_context = lz77.distance_cluster;
  std::vector<std::vector<Token>> out(streams.size());
  for (size_t i = 0; i < streams.size(); ++i) {
    const std::vector<Token>& in = streams[i];
    const size_t n = in.size();
    const size_t width = RowWidth(params, i);
    const std::vector<float> prefix = LiteralCostPrefix(in, model);
    const std::vector<uint32_t> values = Values(in);
    Lz77MatchFinder finder(values.data(), n, Lz77MatchFinder::WindowSizeFor(n),
                           min_length, n, width);
    std::vector<ReparseNode> nodes(n + 1);
    nodes[0].cost = 0.0f;
    size_t skip = 0;
    size_t streak = 0;
    for (size_t p = 0; p < n; ++p) {
      finder.Insert(p);
      const float literal = nodes[p].cost + (prefix[p + 1] - prefix[p]);
      if (nodes[p + 1].cost > literal) {
        nodes[p + 1] = {1, 0, in[p].context, literal};
      }
      if (skip > 0) {
        --skip;
        continue;
      }
      std::vector<uint32_t> matches = finder.FindAllMatches(p);
      if (matches.size() <= min_length) continue;
      for (size_t len = matches.size() - 1; len-- > min_length;) {
        matches[len] = std::min(matches[len], matches[len + 1]);
      }
      for (size_t len = min_length; len < matches.size(); ++len) {
        const uint32_t s = matches[len];
        uint32_t length_extra, distance_extra;
        const uint32_t length_symbol =
            SplitValue(static_cast<uint32_t>(len - min_length),
                       lz77.length_config, &length_extra) +
            lz77.min_symbol;
        const uint32_t distance_symbol =
            SplitValue(s, kCostConfig, &distance_extra);
        const float cost =
            nodes[p].cost +
            (static_cast<float>(length_extra) +
             model.Bits(in[p].context, length_symbol)) +
            (static_cast<float>(distance_extra) +
             model.Bits(distance_context, distance_symbol));
        if (nodes[p + len].cost > cost) {
          nodes[p + len] = {static_cast<uint32_t>(len), s + 1, in[p].context,
                            cost};
        }
      }
      const uint32_t top = matches.back();
      if ((top == 0 && width == 0) || (top == 1 && width != 0)) {
        if (streak + 1 >= 8 && matches.size() >= 10) {
          skip = matches.size() - 10;
          streak = 0;
        } else {
          ++streak;
          skip = 0;
        }
      } else {
        streak = 0;
        skip = 0;
      }
    }
    std::vector<Token>& result = out[i];
    for (size_t k = n; k > 0;) {
      const ReparseNode& node = nodes[k];
      if (node.distance_plus_one != 0) {
        // Reversed below: distance first, then length.
        result.emplace_back(static_cast<uint32_t>(distance_context),
                            node.distance_plus_one - 1);
        result.emplace_back(node.context,
                            static_cast<uint32_t>(node.length - min_length),
                            true);
      } else {
        result.push_back(in[k - 1]);
      }
      k -= node.length;
    }
    std::reverse(result.begin(), result.end());
  }
  return out;
}

}  // namespace

std::vector<std::vector<Token>> RunLz77OnTokens(
    const HistogramParams& params, size_t num_contexts,
    const std::vector<std::vector<Token>>& streams, const LZ77Params& lz77) {
  switch (params.lz77_mode) {
    case 1: return RunLengthLz77(params, num_contexts, streams, lz77);
    case 2: return GreedyLz77(params, num_contexts, streams, lz77);
    case 3: return OptimalLz77(params, num_contexts, streams, lz77);
    default: return {};
  }
}

}  // namespace qov
