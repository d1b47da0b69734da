// Hybrid-uint configuration search.
#include "lib/encode/split_config.h"

#include <algorithm>
#include <cfloat>
#include <utility>

#include "lib/base/bits.h"
#include "lib/base/image.h"
#include "lib/base/memory.h"
#include "lib/encode/ans_encode.h"
#include "lib/encode/max_of_u32.h"
#include "lib/encode/tokenize_hybrid_uint.h"

namespace qov {

namespace {

constexpr UintSplitConfig kShortCandidates[] = {
    {4, 2, 0}, {4, 1, 2}, {0, 0, 0}, {2, 0, 1}};
constexpr UintSplitConfig kFullCandidates[] = {
    {4, 2, 0}, {4, 1, 0}, {4, 2, 1}, {4, 2, 2}, {4, 1, 2}, {5, 2, 0},
    {5, 1, 0}, {5, 2, 1}, {5, 2, 2}, {5, 1, 2}, {3, 2, 0}, {3, 1, 0},
    {3, 2, 1}, {3, 1, 2}, {4, 1, 3}, {5, 1, 4}, {5, 2, 3}, {6, 1, 5},
    {6, 2, 4}, {6, 0, 0}, {0, 0, 0}, {2, 0, 1}, {7, 0, 0}, {8, 0, 0},
    {9, 0, 0}, {10, 0, 0}, {11, 0, 0}, {12, 0, 0}};

// The largest token values up to `largest` can give, low bits all set.
uint32_t TopToken(uint32_t largest, const UintSplitConfig& c) {
  uint32_t extra;
  const uint32_t t = HybridUintToken(largest, c.split_exponent, c.msb_in_token,
                                     c.lsb_in_token, &extra);
  return t | ((1u << c.lsb_in_token) - 1);
}

size_t RoundUp8(size_t n) { return (n + 7) / 8 * 8; }

// Largest index >= 1 of a non-zero count (0 when none).
uint32_t LargestSymbol(const Histogram& h) {
  for (size_t i = h.counts.size(); i > 1; --i) {
    if (h.counts[i - 1] != 0) return static_cast<uint32_t>(i - 1);
  }
  return 0;
}

}  // namespace

namespace {

// Token values binned by cluster, LZ77 lengths in the bins after the
// clusters: bin b holds values[start[b], start[b + 1]), the largest of them
// max[b].
struct ValueBins {
  std::vector<size_t> start;
  std::vector<uint32_t> values;
  std::vector<uint32_t> max;
  size_t largest = 0;  // entries of the fullest bin
  const uint32_t* Bin(size_t b) const { return values.data() + start[b]; }
  size_t Size(size_t b) const { return start[b + 1] - start[b]; }
};

Status BinTokenValues(const EntropyEncodingData& codes,
                      const std::vector<std::vector<Token>>& tokens,
                      size_t num_clusters, ValueBins* bins) {
  const size_t num_bins = 2 * num_clusters;
  bins->start.assign(num_bins + 1, 0);
  auto bin_of = [&](const Token& t) -> size_t {
    const size_t cluster = codes.context_map[t.context];
    return t.lz77_length_flag ? num_clusters + cluster : cluster;
  };
  for (const auto& stream : tokens) {
    for (const Token& t : stream) {
      QOV_ENSURE(t.context < codes.context_map.size());
      QOV_ENSURE(codes.context_map[t.context] < num_clusters);
      ++bins->start[bin_of(t) + 1];
    }
  }
  bins->largest = 0;
  for (size_t b = 0; b < num_bins; ++b) {
    bins->largest = std::max(bins->largest, bins->start[b + 1]);
    bins->start[b + 1] += bins->start[b];
  }
  // Zero entries after the bins (and after the token buffer) keep the
  // kernels' whole-vector reads and writes inside the arrays.
  const size_t pad = static_cast<size_t>(MaxSimdBytes());
  bins->values.assign(bins->start[num_bins] + pad, 0);
  {
    std::vector<size_t> fill(bins->start.begin(), bins->start.end() - 1);
    for (const auto& stream : tokens) {
      for (const Token& t : stream) bins->values[fill[bin_of(t)]++] = t.value;
    }
  }
  bins->max.resize(num_bins);
  for (size_t b = 0; b < num_bins; ++b) {
    bins->max[b] = MaxOfU32(bins->Bin(b), bins->Size(b));
  }
  return OkStatus();
}

// The cheapest of the candidate configurations for cluster h (estimated
// ANS cost of its tokens plus their extra bits and the configuration's
// own); the cluster's histogram becomes that configuration's.
Status PickClusterConfig(EntropyEncodingData* codes, size_t h,
                         const UintSplitConfig* candidates, size_t num_candidates,
                         const ValueBins& bins, uint32_t* token_buffer,
                         Histogram* cluster) {
  const bool lz77 = codes->lz77.enabled;
  float best = FLT_MAX;
  const uint32_t* bin = bins.Bin(h);
  const size_t bin_size = bins.Size(h);
  for (size_t k = 0; k < num_candidates; ++k) {
    const UintSplitConfig& c = candidates[k];
    const uint32_t top = TopToken(bins.max[h], c);
    if (top > 255 || (lz77 && top >= codes->lz77.min_symbol)) continue;
    Histogram trial;
    trial.counts.assign(RoundUp8(top + 1), 0);
    const uint32_t extra_bits = TokenizeHybridUint(bin, bin_size, c, token_buffer);
    for (size_t i = 0; i < bin_size; ++i) {
      QOV_ENSURE(token_buffer[i] < trial.counts.size());
      ++trial.counts[token_buffer[i]];
    }
    FinalizeHistogramTotals(trial);
    float cost = FLT_MAX;
    if (trial.counts.size() <= 256) {
      QOV_ASSIGN_OR_RETURN(
          AnsNormalizedHistogram normalized,
          ChooseAnsNormalization(trial, HistogramParams::kThreeShifts));
      cost = normalized.cost;
    }
    cost = cost + static_cast<float>(extra_bits);
    cost = cost + static_cast<float>(CeilLog2(c.split_exponent + 1));
    cost = cost + static_cast<float>(
                      CeilLog2(c.split_exponent - c.msb_in_token + 1));
    if (cost < best) {
      codes->split_configs[h] = c;
      std::swap(cluster->counts, trial.counts);
      std::swap(cluster->total, trial.total);
      std::swap(cluster->entropy, trial.entropy);
      best = cost;
    }
  }
  return OkStatus();
}

// Cluster h's LZ77 length symbols (a non-empty bin), from the LZ77
// minimum symbol on.
Status AddLengthSymbols(const EntropyEncodingData& codes, size_t h,
                        size_t num_clusters, const ValueBins& bins,
                        uint32_t* token_buffer, Histogram* cluster) {
  const UintSplitConfig& length_config = codes.lz77.length_config;
  const size_t bin = num_clusters + h;
  const size_t bin_size = bins.Size(bin);
  const uint32_t top = TopToken(bins.max[bin], length_config);
  const uint32_t min_symbol = codes.lz77.min_symbol;
  cluster->counts.resize(RoundUp8(size_t{top} + min_symbol + 1), 0);
  const uint32_t extra =
      TokenizeHybridUint(bins.Bin(bin), bin_size, length_config, token_buffer);
  QOV_ENSURE(extra != kTokenizeUnsupported);
  for (size_t i = 0; i < bin_size; ++i) {
    const size_t symbol = size_t{min_symbol} + token_buffer[i];
    QOV_ENSURE(symbol < cluster->counts.size());
    ++cluster->counts[symbol];
  }
  FinalizeHistogramTotals(*cluster);
  return OkStatus();
}

}  // namespace

Status PickUintSplitConfigs(EntropyEncodingData* codes,
                            const QovMemoryManagerStruct* memory_manager,
                            const HistogramParams& params,
                            const std::vector<std::vector<Token>>& tokens,
                            std::vector<Histogram>* clusters) {
  const size_t num_clusters = clusters->size();
  const bool lz77 = codes->lz77.enabled;
  if (codes->use_prefix_codes) {
    codes->log_alphabet_size = 15;
  } else {
    codes->log_alphabet_size =
        (params.separate_histogram_writers || lz77) ? 8 : 7;
  }
  const uint32_t mode = params.split_config_mode;
  UintSplitConfig fallback(4, 2, 0);
  if (mode == 1) fallback = UintSplitConfig(0, 0, 0);
  if (mode == 3) fallback = UintSplitConfig(2, 0, 1);
  codes->split_configs.assign(num_clusters, fallback);
  if ((mode != 2 && mode != 4) || params.separate_histogram_writers) {
    return OkStatus();
  }

  ValueBins bins;
  QOV_RETURN_IF_ERROR(BinTokenValues(*codes, tokens, num_clusters, &bins));
  const size_t pad = static_cast<size_t>(MaxSimdBytes());
  QOV_ASSIGN_OR_RETURN(
      AlignedBlock token_block,
      AlignedBlock::Create(memory_manager, (bins.largest + pad) * 4));
  uint32_t* token_buffer = token_block.As<uint32_t>();

  const UintSplitConfig* candidates =
      mode == 2 ? kShortCandidates : kFullCandidates;
  const size_t num_candidates = mode == 2 ? 4 : 28;
  for (size_t h = 0; h < num_clusters; ++h) {
    QOV_RETURN_IF_ERROR(PickClusterConfig(codes, h, candidates, num_candidates,
                                          bins, token_buffer, &(*clusters)[h]));
  }

  // LZ77 length symbols, and the largest symbol of all clusters.
  uint32_t largest_symbol = 0;
  for (size_t h = 0; h < num_clusters; ++h) {
    Histogram& cluster = (*clusters)[h];
    if (cluster.total != 0) {
      largest_symbol = std::max(largest_symbol, LargestSymbol(cluster));
    }
    if (bins.Size(num_clusters + h) == 0) continue;
    QOV_RETURN_IF_ERROR(
        AddLengthSymbols(*codes, h, num_clusters, bins, token_buffer, &cluster));
    if (cluster.total != 0) {
      largest_symbol = std::max(largest_symbol, LargestSymbol(cluster));
    }
  }
  uint32_t n = 5;
  while ((uint64_t{1} << n) <= largest_symbol) ++n;
  const uint32_t limit = codes->use_prefix_codes ? 15 : 8;
  QOV_ENSURE(n <= limit);
  codes->log_alphabet_size = codes->use_prefix_codes ? 15 : n;
  return OkStatus();
}

}  // namespace qov
