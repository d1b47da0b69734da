// Context-map and block-context-map writing.
#include "lib/encode/context_map_writer.h"

#include <algorithm>

#include "lib/base/bits.h"
#include "lib/encode/entropy_writer.h"
#include "lib/encode/write_fields.h"

namespace qov {

namespace {

constexpr uint8_t kDefaultBlockCtxMap[39] = {
    0, 1, 2, 2, 3, 3, 4, 5, 6, 6, 6, 6, 6,
    7, 8, 9, 9, 10, 11, 12, 13, 14, 14, 14, 14, 14,
    7, 8, 9, 9, 10, 11, 12, 13, 14, 14, 14, 14, 14};

constexpr U32Coding kDcThresholdCoding(Bits(4), BitsOffset(8, 16),
                                       BitsOffset(16, 272),
                                       BitsOffset(32, 65808));
constexpr U32Coding kQfThresholdCoding(Bits(2), BitsOffset(3, 4),
                                       BitsOffset(5, 12), BitsOffset(8, 44));

std::vector<std::vector<Token>> MapTokens(const std::vector<uint8_t>& values) {
  std::vector<std::vector<Token>> tokens(1);
  tokens[0].reserve(values.size());
  for (uint8_t v : values) tokens[0].emplace_back(0, v);
  return tokens;
}

}  // namespace

HistogramParams ContextMapHistogramParams() {
  HistogramParams params;
  params.clustering_mode = 2;
  params.split_config_mode = 3;
  params.lz77_mode = 1;
  params.ans_strategy = HistogramParams::kAllShifts;
  params.histogram_limit = ~static_cast<size_t>(0);
  params.force_prefix_codes = false;
  params.choose_code_kind = true;
  params.separate_histogram_writers = false;
  params.add_all_symbols = false;
  params.add_flat_histogram = false;
  return params;
}

std::vector<uint8_t> MoveToFrontTransform(const std::vector<uint8_t>& entries) {
  uint8_t largest = 0;
  for (uint8_t e : entries) largest = std::max(largest, e);
  std::vector<uint8_t> list(size_t{largest} + 1);
  for (size_t i = 0; i < list.size(); ++i) list[i] = static_cast<uint8_t>(i);
  std::vector<uint8_t> out;
  out.reserve(entries.size());
  for (uint8_t e : entries) {
    const size_t pos = static_cast<size_t>(
        std::find(list.begin(), list.end(), e) - list.begin());
    out.push_back(static_cast<uint8_t>(pos));
    std::rotate(list.begin(), list.begin() + pos, list.begin() + pos + 1);
  }
  return out;
}

Status EncodeContextMap(const std::vector<uint8_t>& context_map,
                        size_t num_histograms, BitWriter* writer,
                        LayerType layer, AuxOut* aux) {
  // An entry outside the histograms could not be read back as written.
  QOV_ENSURE(num_histograms >= 1 && num_histograms <= 256);
  for (uint8_t entry : context_map) QOV_ENSURE(entry < num_histograms);
  if (num_histograms == 1) {
    writer->PutBits(1, 1);
    writer->PutBits(2, 0);
    return OkStatus();
  }
  const QovMemoryManagerStruct* memory_manager = writer->memory_manager();
  const HistogramParams params = ContextMapHistogramParams();
  const std::vector<uint8_t> mtf = MoveToFrontTransform(context_map);
  size_t plain_cost, mtf_cost;
  {
    std::vector<std::vector<Token>> tokens = MapTokens(context_map);
    EntropyEncodingData codes;
    QOV_ASSIGN_OR_RETURN(plain_cost,
                         BuildAndEncodeHistograms(memory_manager, params, 1,
                                                  tokens, &codes, nullptr,
                                                  LayerType::kHeader, nullptr));
  }
  {
    std::vector<std::vector<Token>> tokens = MapTokens(mtf);
    EntropyEncodingData codes;
    QOV_ASSIGN_OR_RETURN(mtf_cost,
                         BuildAndEncodeHistograms(memory_manager, params, 1,
                                                  tokens, &codes, nullptr,
                                                  LayerType::kHeader, nullptr));
  }
  const bool use_mtf = mtf_cost < plain_cost;
  std::vector<std::vector<Token>> tokens =
      MapTokens(use_mtf ? mtf : context_map);
  const size_t entry_bits = CeilLog2(num_histograms);
  const size_t simple_cost = entry_bits * context_map.size();
  if (simple_cost < mtf_cost && entry_bits <= 3 && simple_cost < plain_cost) {
    return writer->WithBitBudget(
        simple_cost + 3, layer, aux,
        [writer, entry_bits, &context_map]() -> Status {
          // SimpleContextMapWriteTask
          writer->PutBits(1, 1);
          writer->PutBits(2, entry_bits);
          for (uint8_t entry : context_map) writer->PutBits(entry_bits, entry);
          return OkStatus();
        });
  }
  return writer->WithBitBudget(
      24 * context_map.size() + 2, layer, aux,
      [writer, use_mtf, memory_manager, &params, &tokens, layer,
       aux]() -> Status {
        // CodedContextMapWriteTask
        writer->PutBits(1, 0);
        writer->PutBits(1, use_mtf ? 1 : 0);
        EntropyEncodingData codes;
        QOV_RETURN_IF_ERROR(BuildAndEncodeHistograms(memory_manager, params, 1,
                                                     tokens, &codes, writer,
                                                     layer, aux)
                                .status());
        EmitTokens(tokens[0], codes, 0, writer);
        return OkStatus();
      });
}

Status EncodeBlockCtxMap(const std::vector<int32_t> (&dc_thresholds)[3],
                         const std::vector<uint32_t>& qf_thresholds,
                         const std::vector<uint8_t>& context_map,
                         size_t num_contexts, BitWriter* writer, AuxOut* aux) {
  // What the reader accepts: at most 15 thresholds per list, at most 64
  // buckets, 39 entries per bucket and at most 16 contexts.
  size_t buckets = qf_thresholds.size() + 1;
  for (const auto& list : dc_thresholds) {
    QOV_ENSURE(list.size() <= 15);
    buckets *= list.size() + 1;
  }
  QOV_ENSURE(qf_thresholds.size() <= 15 && buckets <= 64);
  QOV_ENSURE(context_map.size() == 39 * buckets && num_contexts <= 16);
  size_t budget = 1 + 3 * (4 + 15 * 34) + 4 + 15 * 10 + 3;
  return writer->WithBitBudget(
      budget, LayerType::kHeader, aux,
      [&dc_thresholds, &qf_thresholds, &context_map, num_contexts, writer,
       aux]() -> Status {
        // BlockCtxMapWriteTask
        const bool no_thresholds =
            dc_thresholds[0].empty() && dc_thresholds[1].empty() &&
            dc_thresholds[2].empty() && qf_thresholds.empty();
        if (no_thresholds && context_map.size() == 39 &&
            std::equal(context_map.begin(), context_map.end(),
                       kDefaultBlockCtxMap)) {
          writer->PutBits(1, 1);
          return OkStatus();
        }
        writer->PutBits(1, 0);
        for (const auto& list : dc_thresholds) {
          writer->PutBits(4, list.size());
          for (int32_t t : list) {
            QOV_RETURN_IF_ERROR(
                WriteCodedU32(kDcThresholdCoding, PackSigned(t), writer));
          }
        }
        writer->PutBits(4, qf_thresholds.size());
        for (uint32_t q : qf_thresholds) {
          QOV_ENSURE(q >= 1);
          QOV_RETURN_IF_ERROR(WriteCodedU32(kQfThresholdCoding, q - 1, writer));
        }
        return EncodeContextMap(context_map, num_contexts, writer,
                                LayerType::kBlockContextMap, aux);
      });
}

}  // namespace qov
