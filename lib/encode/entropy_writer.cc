// Entropy-code assembly and token writing.
#include "lib/encode/entropy_writer.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "lib/base/bits.h"
#include "lib/encode/ans_encode.h"
#include "lib/encode/context_map_writer.h"
#include "lib/encode/histogram_clustering.h"
#include "lib/encode/lz77.h"
#include "lib/encode/split_config.h"
#include "lib/encode/write_fields.h"

namespace qov {

namespace {

// 1 + index of the last positive count (0 when none).
size_t AlphabetSize(const Histogram& h) {
  for (size_t i = h.counts.size(); i > 0; --i) {
    if (h.counts[i - 1] > 0) return i;
  }
  return 0;
}

// Bits of a prefix code's alphabet size field.
size_t PrefixAlphabetSizeBits(size_t size) {
  if (size <= 1) return 1;
  return 5 + FloorLog2(size - 1);
}

void WritePrefixAlphabetSize(size_t size, BitWriter* writer) {
  if (size <= 1) {
    writer->PutBits(1, 0);
    return;
  }
  const size_t k = FloorLog2(size - 1);
  writer->PutBits(1, 1);
  writer->PutBits(4, k);
  writer->PutBits(k, size - 1 - (size_t{1} << k));
}

UintSplitConfig CountingConfig(uint32_t split_config_mode) {
  if (split_config_mode == 1) return UintSplitConfig(0, 0, 0);
  if (split_config_mode == 3) return UintSplitConfig(2, 0, 1);
  return UintSplitConfig(4, 2, 0);
}

// Symbol and extra bits of a token under its configuration.
struct SplitToken {
  uint32_t symbol;
  uint32_t extra_count;
  uint32_t extra_bits;
};

inline SplitToken Split(const Token& t, const UintSplitConfig& config,
                        uint32_t min_symbol_if_length) {
  SplitToken s;
  const uint32_t v = t.value;
  const uint32_t e = config.split_exponent;
  if (v < (1u << e)) {
    s.symbol = v;
    s.extra_count = 0;
    s.extra_bits = 0;
  } else {
    const uint32_t m = config.msb_in_token, l = config.lsb_in_token;
    const uint32_t n = 31 - static_cast<uint32_t>(__builtin_clz(v));
    const uint32_t r = v - (1u << n);
    s.symbol = (1u << e) + ((n - e) << (m + l)) + ((r >> (n - m)) << l) +
               (v & ((1u << l) - 1));
    s.extra_count = n - m - l;
    s.extra_bits = (v >> l) & ((1u << s.extra_count) - 1);
  }
  if (t.lz77_length_flag) s.symbol += min_symbol_if_length;
  return s;
}

// The description and codes of one build (the task of the histogram budget).
class HistogramBuildTask {
 public:
  HistogramBuildTask(const QovMemoryManagerStruct* memory_manager,
                     const HistogramParams& params, size_t num_contexts,
                     std::vector<std::vector<Token>>& tokens,
                     std::vector<std::vector<Token>>& lz77_streams,
                     EntropyEncodingData* codes, BitWriter* writer,
                     LayerType layer, AuxOut* aux, size_t* cost)
      : memory_manager_(memory_manager), params_(params),
        num_contexts_(num_contexts), tokens_(tokens),
        lz77_streams_(lz77_streams), codes_(codes), writer_(writer),
        layer_(layer), aux_(aux), cost_(cost) {}

  Status operator()() const { return Run(); }
  Status Run() const;

 private:
  const QovMemoryManagerStruct* memory_manager_;
  const HistogramParams& params_;
  size_t num_contexts_;
  std::vector<std::vector<Token>>& tokens_;
  std::vector<std::vector<Token>>& lz77_streams_;
  EntropyEncodingData* codes_;
  BitWriter* writer_;
  LayerType layer_;
  AuxOut* aux_;
  size_t* cost_;
};

Status HistogramBuildTask::Run() const {
  size_t cost = 0;
  EntropyEncodingData& codes = *codes_;
  if (writer_ != nullptr) {
    QOV_RETURN_IF_ERROR(Bundle::Write(codes.lz77, writer_, layer_, aux_));
  } else {
    uint64_t extension_bits = 0, total_bits = 0;
    QOV_RETURN_IF_ERROR(
        Bundle::MeasureEncoding(codes.lz77, &extension_bits, &total_bits));
    cost += total_bits;
  }
  size_t num_contexts = num_contexts_;
  if (codes.lz77.enabled) {
    if (writer_ != nullptr) {
      WriteUintSplitConfig(codes.lz77.length_config, writer_, 8);
    }
    cost += UintSplitConfigBits(codes.lz77.length_config, 8);
    num_contexts += 1;
    tokens_.swap(lz77_streams_);
  }
  std::vector<Histogram> histograms(num_contexts);
  const UintSplitConfig counting = CountingConfig(params_.split_config_mode);
  size_t num_tokens = 0;
  for (const auto& stream : tokens_) {
    for (const Token& t : stream) {
      QOV_ENSURE(t.context < num_contexts);
      const bool length = codes.lz77.enabled && t.lz77_length_flag;
      const SplitToken s = Split(t, length ? codes.lz77.length_config : counting,
                                 codes.lz77.min_symbol);
      const size_t h =
          (!codes.lz77.enabled && num_contexts == 1) ? 0 : t.context;
      histograms[h].Add(s.symbol);
      ++num_tokens;
    }
  }
  if (params_.add_all_symbols) {
    for (Histogram& h : histograms) {
      for (size_t symbol = 0; symbol < 256; ++symbol) h.Add(symbol);
    }
  }
  if (params_.choose_code_kind) {
    if (params_.force_prefix_codes || num_tokens < 100 ||
        params_.clustering_mode == 0) {
      codes.use_prefix_codes = true;
    } else {
      bool single = true;
      for (Histogram& h : histograms) {
        if (ComputeHistogramEntropy(h) >= 1e-5f) single = false;
      }
      codes.use_prefix_codes = single;
    }
  }
  if (params_.add_flat_histogram) {
    codes.log_alphabet_size = 8;
    codes.symbol_tables.emplace_back(256);
    codes.stored_histograms.emplace_back(memory_manager_);
    BitWriter* flat_writer = &codes.stored_histograms.back();
    Histogram flat;
    flat.counts.assign(256, 16);
    flat.total = 4096;
    const HistogramParams::ANSHistogramStrategy strategy =
        params_.ans_strategy;
    const QovMemoryManagerStruct* memory_manager = memory_manager_;
    QOV_RETURN_IF_ERROR(flat_writer->WithBitBudget(
        6400, LayerType::kHeader, nullptr,
        [&codes, memory_manager, strategy, &flat, flat_writer]() -> Status {
          // HistogramStoreTask
          return codes
              .BuildAndStoreANSEncodingData(memory_manager, strategy, flat,
                                            flat_writer)
              .status();
        },
        false));
  }
  QOV_ASSIGN_OR_RETURN(
      const size_t entropy_cost,
      codes.BuildAndStoreEntropyCodes(memory_manager_, params_, tokens_,
                                      histograms, writer_, layer_, aux_));
  *cost_ = cost + entropy_cost;
  return OkStatus();
}

}  // namespace

size_t UintSplitConfigBits(const UintSplitConfig& config,
                           size_t log_alphabet_size) {
  size_t bits = CeilLog2(log_alphabet_size + 1);
  if (config.split_exponent != log_alphabet_size) {
    bits += CeilLog2(config.split_exponent + 1);
    bits += CeilLog2(config.split_exponent - config.msb_in_token + 1);
  }
  return bits;
}

void WriteUintSplitConfig(const UintSplitConfig& config, BitWriter* writer,
                          size_t log_alphabet_size) {
  writer->PutBits(CeilLog2(log_alphabet_size + 1), config.split_exponent);
  if (config.split_exponent != log_alphabet_size) {
    writer->PutBits(CeilLog2(config.split_exponent + 1), config.msb_in_token);
    writer->PutBits(CeilLog2(config.split_exponent - config.msb_in_token + 1),
                    config.lsb_in_token);
  }
}

StatusOr<size_t> EntropyEncodingData::BuildAndStoreEntropyCodes(
    const QovMemoryManagerStruct* memory_manager, const HistogramParams& params,
    const std::vector<std::vector<Token>>& tokens,
    const std::vector<Histogram>& histograms, BitWriter* writer,
    LayerType layer, AuxOut* aux) {
  const size_t present = symbol_tables.size();
  std::vector<Histogram> clusters;
  for (const std::vector<SymbolEncodingInfo>& table : symbol_tables) {
    Histogram h;
    h.counts.assign((table.size() + 7) / 8 * 8, 0);
    for (size_t i = 0; i < table.size(); ++i) {
      int32_t count;
      if (use_prefix_codes) {
        count = table[i].depth == 0 ? 0 : (1 << (15 - table[i].depth));
      } else {
        count = table[i].frequency;
      }
      h.counts[i] = count;
      h.total += static_cast<uint64_t>(count);
    }
    clusters.push_back(std::move(h));
  }
  const size_t map_offset = context_map.size();
  const size_t num_histograms = histograms.size();
  context_map.resize(map_offset + num_histograms, 0);
  if (num_histograms < 2) {
    QOV_ENSURE(present == 0);
    clusters.push_back(histograms.at(0));
  } else {
    std::vector<Histogram> in = histograms;
    std::vector<uint32_t> assignment;
    QOV_RETURN_IF_ERROR(GroupHistogramsIntoClusters(params, in, 128, &clusters,
                                                    &assignment));
    QOV_ENSURE(clusters.size() <= 256);
    for (size_t i = 0; i < num_histograms; ++i) {
      context_map[map_offset + i] = static_cast<uint8_t>(assignment[i]);
    }
    if (writer != nullptr) {
      QOV_RETURN_IF_ERROR(
          EncodeContextMap(context_map, clusters.size(), writer, layer, aux));
    }
  }
  if (aux != nullptr) {
    for (size_t c = present; c < clusters.size(); ++c) {
      aux->layer(layer).cluster_entropy += ComputeHistogramEntropy(clusters[c]);
    }
  }
  QOV_RETURN_IF_ERROR(
      PickUintSplitConfigs(this, memory_manager, params, tokens, &clusters));
  if (!use_prefix_codes) {
    // Every alphabet must fit the ANS table size; a too small log alphabet
    // size (for instance 7 with every symbol added) would be unreadable.
    for (const Histogram& h : clusters) {
      QOV_ENSURE(AlphabetSize(h) <= (size_t{1} << log_alphabet_size));
    }
  }

  size_t cost = use_prefix_codes ? 1 : 3;
  if (writer != nullptr) {
    writer->PutBits(1, use_prefix_codes ? 1 : 0);
    if (!use_prefix_codes) writer->PutBits(2, log_alphabet_size - 5);
    for (const UintSplitConfig& config : split_configs) {
      WriteUintSplitConfig(config, writer, log_alphabet_size);
    }
  } else {
    for (const UintSplitConfig& config : split_configs) {
      cost += UintSplitConfigBits(config, log_alphabet_size);
    }
  }
  if (use_prefix_codes) {
    for (const Histogram& h : clusters) {
      const size_t size = AlphabetSize(h);
      if (writer != nullptr) {
        WritePrefixAlphabetSize(size, writer);
      } else {
        cost += PrefixAlphabetSizeBits(size);
      }
    }
  }
  for (size_t c = present; c < clusters.size(); ++c) {
    const Histogram& cluster = clusters[c];
    const size_t size = AlphabetSize(cluster);
    symbol_tables.emplace_back(std::max<size_t>(size, 1));
    BitWriter* target = writer;
    if (params.separate_histogram_writers) {
      stored_histograms.emplace_back(memory_manager);
      target = &stored_histograms.back();
    }
    if (target == nullptr) {
      QOV_ASSIGN_OR_RETURN(const size_t c_cost,
                           BuildAndStoreANSEncodingData(
                               memory_manager, params.ans_strategy, cluster,
                               nullptr));
      cost += c_cost;
      continue;
    }
    const HistogramParams::ANSHistogramStrategy strategy = params.ans_strategy;
    QOV_RETURN_IF_ERROR(target->WithBitBudget(
        24 * size + 256, layer, aux,
        [this, memory_manager, strategy, &cluster, target, &cost]() -> Status {
          // EntropyCodesTask
          QOV_ASSIGN_OR_RETURN(const size_t c_cost,
                               BuildAndStoreANSEncodingData(
                                   memory_manager, strategy, cluster, target));
          cost += c_cost;
          return OkStatus();
        },
        true));
    if (params.separate_histogram_writers && writer != nullptr) {
      QOV_RETURN_IF_ERROR(writer->AppendUnaligned(*target));
    }
  }
  return cost;
}

StatusOr<size_t> BuildAndEncodeHistograms(
    const QovMemoryManagerStruct* memory_manager, const HistogramParams& params,
    size_t num_contexts, std::vector<std::vector<Token>>& tokens,
    EntropyEncodingData* codes, BitWriter* writer, LayerType layer,
    AuxOut* aux) {
  QOV_ENSURE(num_contexts >= 1);
  // One build per code set: the description of a second build would lack
  // the codes of the first one.
  QOV_ENSURE(codes->symbol_tables.empty() && codes->context_map.empty() &&
             codes->stored_histograms.empty());
  // The flat histogram's code lives only in stored_histograms: it is
  // written by EncodeHistograms, which needs every code stored apart, and
  // never by a build's own writer.
  if (params.add_flat_histogram) {
    QOV_ENSURE(params.separate_histogram_writers && writer == nullptr);
  }
  codes->lz77.distance_cluster = num_contexts;
  codes->lz77.min_symbol = params.force_prefix_codes ? 512 : 224;
  std::vector<std::vector<Token>> lz77_streams =
      RunLz77OnTokens(params, num_contexts, tokens, codes->lz77);
  codes->lz77.enabled = !lz77_streams.empty();
  size_t cost = 0;
  const HistogramBuildTask task(memory_manager, params, num_contexts, tokens,
                                lz77_streams, codes, writer, layer, aux, &cost);
  if (writer != nullptr) {
    const size_t budget =
        std::min<size_t>(num_contexts, 128) * 96 + num_contexts * 40 + 128;
    QOV_RETURN_IF_ERROR(writer->WithBitBudget(budget, layer, aux, task, true));
  } else {
    QOV_RETURN_IF_ERROR(task.Run());
  }
  if (aux != nullptr) {
    aux->layer(layer).cluster_count += codes->symbol_tables.size();
  }
  return cost;
}

size_t EmitTokens(const std::vector<Token>& tokens,
                  const EntropyEncodingData& codes, size_t context_offset,
                  BitWriter* writer) {
  const uint32_t min_symbol = codes.lz77.min_symbol;
  size_t extra_total = 0;
  if (codes.use_prefix_codes) {
    for (const Token& t : tokens) {
      const size_t h = codes.context_map[context_offset + t.context];
      const UintSplitConfig& config =
          t.lz77_length_flag ? codes.lz77.length_config
                             : codes.split_configs[h];
      const SplitToken s = Split(t, config, min_symbol);
      const SymbolEncodingInfo& info = codes.symbol_tables[h][s.symbol];
      writer->PutBits(info.depth + s.extra_count,
                      (uint64_t{s.extra_bits} << info.depth) | info.code);
      extra_total += s.extra_count;
    }
    return extra_total;
  }
  const bool general = codes.lz77.enabled || codes.context_map.size() >= 2;
  std::vector<uint64_t> chunks;
  std::vector<uint8_t> chunk_bits;
  chunks.reserve(tokens.size());
  chunk_bits.reserve(tokens.size());
  uint64_t a = 0;
  uint32_t k = 0;
  uint32_t x = kAnsSignature;
  for (size_t i = tokens.size(); i-- > 0;) {
    const Token& t = tokens[i];
    const size_t h =
        general ? codes.context_map[context_offset + t.context] : 0;
    const UintSplitConfig& config =
        (general && t.lz77_length_flag) ? codes.lz77.length_config
                                        : codes.split_configs[h];
    const SplitToken s = Split(t, config, general ? min_symbol : 0);
    const SymbolEncodingInfo& info = codes.symbol_tables[h][s.symbol];
    if (s.extra_count > 0) {
      if (k + s.extra_count > 56) {
        chunks.push_back(a);
        chunk_bits.push_back(static_cast<uint8_t>(k));
        a = 0;
        k = 0;
      }
      a = (a << s.extra_count) | s.extra_bits;
      k += s.extra_count;
      extra_total += s.extra_count;
    }
    const uint32_t f = info.frequency;
    if ((x >> 20) >= f) {
      if (k > 40) {
        chunks.push_back(a);
        chunk_bits.push_back(static_cast<uint8_t>(k));
        a = 0;
        k = 0;
      }
      a = (a << 16) | (x & 0xFFFF);
      k += 16;
      x >>= 16;
    }
    const uint32_t q = static_cast<uint32_t>((uint64_t{x} * info.reciprocal) >> 44);
    x = (q << 12) + info.slot_map[x - q * f];
  }
  writer->PutBits(32, x);
  writer->PutBits(k, a);
  for (size_t c = chunks.size(); c-- > 0;) writer->PutBits(chunk_bits[c], chunks[c]);
  return extra_total;
}

Status EncodeHistograms(const EntropyEncodingData& codes, BitWriter* writer,
                        LayerType layer, AuxOut* aux) {
  // Every code must have been stored apart, and ANS codes built for the
  // log alphabet size 8 that this layout states.
  QOV_ENSURE(codes.stored_histograms.size() == codes.symbol_tables.size());
  QOV_ENSURE(codes.split_configs.size() == codes.symbol_tables.size());
  QOV_ENSURE(codes.use_prefix_codes || codes.log_alphabet_size == 8);
  if (codes.context_map.size() >= 2) {
    // The reader rejects a map that leaves a stored code unused.
    std::vector<bool> used(codes.symbol_tables.size(), false);
    for (uint8_t c : codes.context_map) {
      QOV_ENSURE(c < used.size());
      used[c] = true;
    }
    for (bool u : used) QOV_ENSURE(u);
  }
  const size_t budget = 256 + 40 * codes.symbol_tables.size();
  return writer->WithBitBudget(
      budget, layer, aux,
      [&codes, writer, layer, aux]() -> Status {
        // HistogramHeaderWriteTask
        QOV_RETURN_IF_ERROR(Bundle::Write(codes.lz77, writer, layer, aux));
        if (codes.lz77.enabled) {
          WriteUintSplitConfig(codes.lz77.length_config, writer, 8);
        }
        if (codes.context_map.size() >= 2) {
          QOV_RETURN_IF_ERROR(EncodeContextMap(codes.context_map,
                                               codes.symbol_tables.size(),
                                               writer, layer, aux));
        }
        writer->PutBits(1, codes.use_prefix_codes ? 1 : 0);
        const size_t log_size = codes.use_prefix_codes ? 15 : 8;
        if (!codes.use_prefix_codes) writer->PutBits(2, 3);
        for (const UintSplitConfig& config : codes.split_configs) {
          WriteUintSplitConfig(config, writer, log_size);
        }
        if (codes.use_prefix_codes) {
          for (const auto& table : codes.symbol_tables) {
            WritePrefixAlphabetSize(table.size(), writer);
          }
        }
        for (const BitWriter& stored : codes.stored_histograms) {
          QOV_RETURN_IF_ERROR(writer->AppendUnaligned(stored));
        }
        return OkStatus();
      });
}

Status WriteTokens(const std::vector<Token>& tokens,
                   const EntropyEncodingData& codes, size_t context_offset,
                   BitWriter* writer, LayerType layer, AuxOut* aux) {
  // At most 16 renormalisation bits and 31 extra bits per token, plus the
  // final ANS state.
  const size_t budget = 64 + 48 * tokens.size();
  return writer->WithBitBudget(
      budget, layer, aux, [&tokens, &codes, context_offset, writer, layer,
                           aux]() -> Status {
        // TokenWriteTask
        const size_t extra = EmitTokens(tokens, codes, context_offset, writer);
        if (aux != nullptr) aux->layer(layer).extra_bit_count += extra;
        return OkStatus();
      });
}

}  // namespace qov
