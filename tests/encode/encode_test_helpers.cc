// Shared helpers of the encoder tests.
#include "tests/encode/encode_test_helpers.h"

#include "lib/base/memory.h"

namespace qov {

Histogram FromCounts(std::vector<int32_t> counts) {
  Histogram h;
  h.counts = std::move(counts);
  for (int32_t c : h.counts) h.total += static_cast<uint64_t>(c);
  return h;
}

Status WriteInBudget(BitWriter& writer, const std::function<Status()>& task,
                     uint64_t max_bits) {
  return writer.WithBitBudget(max_bits, LayerType::kHeader, nullptr, task,
                              false);
}

std::string BitString(const BitWriter& writer) {
  const Span span = writer.GetSpan();
  std::string bits;
  for (uint64_t i = 0; i < writer.BitsWritten(); ++i) {
    bits.push_back(((span.data[i >> 3] >> (i & 7)) & 1) ? '1' : '0');
  }
  return bits;
}

std::string Lsb(uint64_t value, size_t n) {
  std::string bits;
  for (size_t i = 0; i < n; ++i) bits.push_back(((value >> i) & 1) ? '1' : '0');
  return bits;
}

TestBitSource::TestBitSource(const BitWriter& writer) {
  const Span span = writer.GetSpan();
  bytes_.assign(span.data, span.data + span.size);
}

uint64_t TestBitSource::Read(size_t n) {
  uint64_t value = 0;
  for (size_t i = 0; i < n; ++i, ++position_) {
    const uint64_t byte = position_ >> 3;
    const uint64_t bit =
        byte < bytes_.size() ? (bytes_[byte] >> (position_ & 7)) & 1 : 0;
    value |= bit << i;
  }
  return value;
}

}  // namespace qov
