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

  // Values binned by cluster, LZ77 lengths in the bins after the clusters.
  const size_t num_bins = 2 * num_clusters;
  std::vector<size_t> bin_start(num_bins + 1, 0);
  auto bin_of = [&](const Token& t) -> size_t {
    const size_t cluster = codes->context_map[t.context];
    return t.lz77_length_flag ? num_clusters + cluster : cluster;
  };
  for (const auto& stream : tokens) {
    for (const Token& t : stream) {
      QOV_ENSURE(t.context < codes->context_map.size());
      QOV_ENSURE(codes->context_map[t.context] < num_clusters);
      ++bin_start[bin_of(t) + 1];
    }
  }
  size_t largest_bin = 0;
  for (size_t b = 0; b < num_bins; ++b) {
    largest_bin = std::max(largest_bin, bin_start[b + 1]);
    bin_start[b + 1] += bin_start[b];
  }
  // Zero entries after the bins (and after the token buffer) keep the
  // kernels' whole-vector reads and writes inside the arrays.
  const size_t pad = static_cast<size_t>(MaxSimdBytes());
  std::vector<uint32_t> values(bin_start[num_bins] + pad, 0);
  {
    std::vector<size_t> fill(bin_start.begin(), bin_start.end() - 1);
    for (const auto& stream : tokens) {
      for (const Token& t : stream) values[fill[bin_of(t)]++] = t.value;
    }
  }
  std::vector<uint32_t> bin_max(num_bins);
  for (size_t b = 0; b < num_bins; ++b) {
    bin_max[b] = MaxOfU32(values.data() + bin_start[b],
                          bin_start[b + 1] - bin_start[b]);
  }
  QOV_ASSIGN_OR_RETURN(
      AlignedBlock token_block,
      AlignedBlock::Create(memory_manager, (largest_bin + pad) * 4));
  uint32_t* token_buffer = token_block.As<uint32_t>();

  const UintSplitConfig* candidates =
      mode == 2 ? kShortCandidates : kFullCandidates;
  const size_t num_candidates = mode == 2 ? 4 : 28;
  for (size_t h = 0; h < num_clusters; ++h) {
    float best = FLT_MAX;
    const uint32_t* bin = values.data() + bin_start[h];
    const size_t bin_size = bin_start[h + 1] - bin_start[h];
    for (size_t k = 0; k < num_candidates; ++k) {
      const UintSplitConfig& c = candidates[k];
      const uint32_t top = TopToken(bin_max[h], c);
      if (top > 255 || (lz77 && top >= codes->lz77.min_symbol)) continue;
      Histogram trial;
      trial.counts.assign(RoundUp8(top + 1), 0);
      const uint32_t extra_bits =
          TokenizeHybridUint(bin, bin_size, c, token_buffer);
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
        Histogram& cluster = (*clusters)[h];
        std::swap(cluster.counts, trial.counts);
        std::swap(cluster.total, trial.total);
        std::swap(cluster.entropy, trial.entropy);
        best = cost;
      }
    }
  }

  // LZ77 length symbols, and the largest symbol of all clusters.
  uint32_t largest_symbol = 0;
  const UintSplitConfig& length_config = codes->lz77.length_config;
  for (size_t h = 0; h < num_clusters; ++h) {
    Histogram& cluster = (*clusters)[h];
    if (cluster.total != 0) {
      largest_symbol = std::max(largest_symbol, LargestSymbol(cluster));
    }
    const size_t bin = num_clusters + h;
    const size_t bin_size = bin_start[bin + 1] - bin_start[bin];
    if (bin_size == 0) continue;
    const uint32_t top = TopToken(bin_max[bin], length_config);
    const uint32_t min_symbol = codes->lz77.min_symbol;
    cluster.counts.resize(RoundUp8(size_t{top} + min_symbol + 1), 0);
    const uint32_t extra = TokenizeHybridUint(
        values.data() + bin_start[bin], bin_size, length_config, token_buffer);
    QOV_ENSURE(extra != kTokenizeUnsupported);
    for (size_t i = 0; i < bin_size; ++i) {
      const size_t symbol = size_t{min_symbol} + token_buffer[i];
      QOV_ENSURE(symbol < cluster.counts.size());
      ++cluster.counts[symbol];
    }
    FinalizeHistogramTotals(cluster);
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
