// Entropy-coded test streams for the frame feature fixtures.
#include "tests/support/feature_streams.h"

#include "lib/base/memory.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/entropy_writer.h"

namespace qov::feature_test {

const QovMemoryManagerStruct* Heap() {
  static const QovMemoryManagerStruct manager = {nullptr, DefaultAllocate,
                                                 DefaultRelease};
  return &manager;
}

uint32_t PackSigned(int64_t v) {
  return v >= 0 ? static_cast<uint32_t>(2 * v)
                : static_cast<uint32_t>(-2 * v - 1);
}

Status WriteStreamTo(BitWriter* writer, size_t num_contexts,
                     const std::vector<Token>& tokens, bool lz77, bool prefix) {
  HistogramParams params;
  params.lz77_mode = lz77 ? 2 : 0;
  params.force_prefix_codes = prefix;
  std::vector<std::vector<Token>> streams = {tokens};
  EntropyEncodingData codes;
  QOV_ASSIGN_OR_RETURN(size_t cost,
                       BuildAndEncodeHistograms(Heap(), params, num_contexts, streams,
                                                &codes, writer, LayerType::kHeader,
                                                nullptr));
  (void)cost;
  return WriteTokens(streams[0], codes, 0, writer, LayerType::kHeader, nullptr);
}

std::vector<uint8_t> WriteStream(size_t num_contexts,
                                 const std::vector<Token>& tokens, bool lz77,
                                 bool prefix) {
  BitWriter writer(Heap());
  if (!WriteStreamTo(&writer, num_contexts, tokens, lz77, prefix).ok()) return {};
  const Span span = writer.GetSpan();
  return std::vector<uint8_t>(span.begin(), span.end());
}

}  // namespace qov::feature_test
