// LZ77 on token streams: replaces repeated stretches of token values with
// (length token, distance token) copies when that is estimated cheaper.
#ifndef QOV_LIB_ENCODE_LZ77_H_
#define QOV_LIB_ENCODE_LZ77_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/encode/entropy_records.h"

namespace qov {

// Per-context symbol costs learned from token histograms.
struct Lz77CostModel {
  size_t alphabet_size = 0;        // longest counts among the contexts
  std::vector<float> symbol_bits;  // contexts x alphabet_size
  std::vector<float> context_penalty;

  // Bits of `symbol` in `context`; a symbol outside the table (or a context
  // without a row) costs 12 bits, the cost of an absent symbol.
  float Bits(size_t context, size_t symbol) const {
    if (symbol >= alphabet_size ||
        context >= context_penalty.size()) {
      return 12.0f;
    }
    return symbol_bits[context * alphabet_size + symbol];
  }
};

// Symbol and extra bits of a value under a split configuration.
uint32_t SplitValue(uint32_t value, const UintSplitConfig& config,
                    uint32_t* extra_bits);

Lz77CostModel TokenHistogramsForLz77(
    size_t num_contexts, bool whole_bits,
    const std::vector<std::vector<Token>>& streams, const LZ77Params& lz77);

// The method of params.lz77_mode; an empty result means no LZ77. Distance
// tokens use context lz77.distance_cluster (the number of contexts).
std::vector<std::vector<Token>> RunLz77OnTokens(
    const HistogramParams& params, size_t num_contexts,
    const std::vector<std::vector<Token>>& streams, const LZ77Params& lz77);

std::vector<std::vector<Token>> GreedyLz77(
    const HistogramParams& params, size_t num_contexts,
    const std::vector<std::vector<Token>>& streams, const LZ77Params& lz77);

}  // namespace qov

#endif  // QOV_LIB_ENCODE_LZ77_H_
