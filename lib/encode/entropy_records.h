// The records that the encoder-side entropy coding passes around: tokens,
// histograms, build options and the code set of one entropy-coded stream.
#ifndef QOV_LIB_ENCODE_ENTROPY_RECORDS_H_
#define QOV_LIB_ENCODE_ENTROPY_RECORDS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/entropy_code.h"
#include "lib/encode/bit_writer.h"
#include "qov/qov.h"

namespace qov {

// One coded value. Bit 0 of the first word is the LZ77 length flag, bits
// 1-31 the context.
struct Token {
  Token() : lz77_length_flag(0), context(0), value(0) {}
  Token(uint32_t ctx, uint32_t val, bool is_length = false)
      : lz77_length_flag(is_length ? 1u : 0u), context(ctx), value(val) {}
  uint32_t lz77_length_flag : 1;
  uint32_t context : 31;
  uint32_t value;
};
static_assert(sizeof(Token) == 8, "a token is two 32-bit words");

struct Histogram {
  std::vector<int32_t> counts;
  uint64_t total = 0;
  float entropy = 0.0f;

  // Counts one occurrence; `counts` grows in whole groups of 8 entries.
  void Add(size_t symbol) {
    if (symbol >= counts.size()) counts.resize(symbol / 8 * 8 + 8, 0);
    ++counts[symbol];
    ++total;
  }
};

struct HistogramParams {
  enum ANSHistogramStrategy : uint32_t {
    kThreeShifts = 0,  // shifts 0, 6, 11
    kEvenShifts = 1,   // 0, 2, 4, 6, 8, 10, 11
    kAllShifts = 2,    // 0 .. 11
  };

  uint32_t clustering_mode = 1;    // 0 fast (<= 4 clusters), 2 pairwise merge
  uint32_t split_config_mode = 0;  // see PickUintSplitConfigs
  uint32_t lz77_mode = 0;          // 0 none, 1 runs, 2 greedy, 3 re-parse
  ANSHistogramStrategy ans_strategy = kThreeShifts;
  std::vector<size_t> stream_widths;
  size_t histogram_limit = ~static_cast<size_t>(0);
  bool force_prefix_codes = false;
  bool choose_code_kind = false;
  bool separate_histogram_writers = false;
  bool add_all_symbols = false;
  bool add_flat_histogram = false;
};

// One entry per symbol of a stored code.
struct SymbolEncodingInfo {
  uint16_t frequency = 0;           // ANS: count out of 4096
  std::vector<uint16_t> slot_map;   // ANS: state slot of each remainder
  uint64_t reciprocal = 1;          // ceil(2^44 / frequency)
  uint8_t depth = 0;                // prefix: code length
  uint16_t code = 0;                // prefix: bit-reversed code
};

// Encoder-side code set of one entropy-coded stream. Builds append tables,
// configurations and context-map entries.
struct EntropyEncodingData {
  std::vector<std::vector<SymbolEncodingInfo>> symbol_tables;
  bool use_prefix_codes = false;
  std::vector<UintSplitConfig> split_configs;
  size_t log_alphabet_size = 0;
  LZ77Params lz77;
  std::vector<BitWriter> stored_histograms;
  std::vector<uint8_t> context_map;

  // Clusters, chooses split configurations, writes the context map and the
  // code of every new cluster; returns the estimated cost in bits.
  StatusOr<size_t> BuildAndStoreEntropyCodes(
      const QovMemoryManagerStruct* memory_manager, const HistogramParams& params,
      const std::vector<std::vector<Token>>& tokens,
      const std::vector<Histogram>& histograms, BitWriter* writer,
      LayerType layer, AuxOut* aux);

  // Builds the last table of `symbol_tables` from `histogram` (ANS or prefix
  // code by `use_prefix_codes`) and writes it when `writer` is given.
  StatusOr<size_t> BuildAndStoreANSEncodingData(
      const QovMemoryManagerStruct* memory_manager,
      HistogramParams::ANSHistogramStrategy strategy,
      const Histogram& histogram, BitWriter* writer);
};

// Fast log2 for positive x (rational approximation, single precision).
inline float ApproxLog2(float x) {
  uint32_t b;
  __builtin_memcpy(&b, &x, 4);
  const uint32_t e = b - 0x3F2AAAABu;
  const float k = static_cast<float>(static_cast<int32_t>(e) >> 23);
  const uint32_t mb = b - (e & 0xFF800000u);
  float mf;
  __builtin_memcpy(&mf, &mb, 4);
  const float m = mf - 1.0f;
  float p = 0.74245876f * m;
  p = p + 1.4287161f;
  p = p * m;
  p = p + -1.8503833e-06f;
  float q = 0.17409343f * m;
  q = q + 1.0096718f;
  q = q * m;
  q = q + 0.99032813f;
  return p / q + k;
}

// Trims `counts` after the last group of lanes holding a non-zero count and
// recomputes `total`. Dispatched per target.
void FinalizeHistogramTotals(Histogram& histogram);
// Stores and returns the entropy estimate of the histogram in bits.
float ComputeHistogramEntropy(Histogram& histogram);

// References for `lanes` lanes (the result of the SIMD copy with that width).
void FinalizeHistogramTotalsScalar(Histogram& histogram, size_t lanes);
float ComputeHistogramEntropyScalar(Histogram& histogram, size_t lanes);
// Lane count of the target the dispatcher chose.
size_t HistogramKernelLanes();

}  // namespace qov

#endif  // QOV_LIB_ENCODE_ENTROPY_RECORDS_H_
