// Stream building for the VarDCT tests.
#include "tests/vardct/vardct_test_helpers.h"

#include "lib/encode/entropy_writer.h"
#include "lib/encode/write_fields.h"

namespace qov::vardct_test {

constexpr uint64_t kBudget = uint64_t{1} << 24;

void StreamWriter::Bits(size_t n, uint64_t v) {
  if (!writer_
           .WithBitBudget(n, LayerType::kHeader, nullptr,
                          [&]() -> Status {
                            writer_.PutBits(n, v);
                            return OkStatus();
                          })
           .ok()) {
    ok_ = false;
  }
}

void StreamWriter::U32(const U32Coding& coding, uint32_t v) {
  Task([&](BitWriter* w) { return WriteCodedU32(coding, v, w); });
}

void StreamWriter::Half(float v) {
  uint32_t bits = 0;
  if (!FloatToHalfBits(v, &bits)) ok_ = false;
  Bits(16, bits);
}

void StreamWriter::Task(const std::function<Status(BitWriter*)>& task) {
  if (!writer_
           .WithBitBudget(kBudget, LayerType::kHeader, nullptr,
                          [&]() -> Status { return task(&writer_); })
           .ok()) {
    ok_ = false;
  }
}

void StreamWriter::Entropy(size_t num_contexts,
                           std::vector<std::vector<Token>> streams,
                           bool force_prefix, uint32_t lz77_mode) {
  HistogramParams params;
  params.force_prefix_codes = force_prefix;
  params.lz77_mode = lz77_mode;
  EntropyEncodingData codes;
  auto cost = BuildAndEncodeHistograms(HeapMemoryManager(), params,
                                       num_contexts, streams, &codes, &writer_,
                                       LayerType::kHeader, nullptr);
  if (!cost.ok()) {
    ok_ = false;
    return;
  }
  for (const auto& stream : streams) {
    if (!WriteTokens(stream, codes, 0, &writer_, LayerType::kHeader, nullptr)
             .ok()) {
      ok_ = false;
    }
  }
}

std::vector<uint8_t> StreamWriter::Bytes() const {
  const Span span = writer_.GetSpan();
  return std::vector<uint8_t>(span.data, span.data + span.size);
}

}  // namespace qov::vardct_test
