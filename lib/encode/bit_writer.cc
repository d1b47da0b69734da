// Bit budgets and unaligned appends of the bit writer.
#include "lib/encode/bit_writer.h"

#include <limits>
#include <utility>
#include <vector>

namespace qov {

BitWriter::BitWriter(BitWriter&& other) noexcept
    : bits_written_(other.bits_written_),
      storage_(std::move(other.storage_)),
      scope_(other.scope_),
      rejected_write_(other.rejected_write_) {
  other.bits_written_ = 0;
  other.scope_ = nullptr;
}

BitWriter& BitWriter::operator=(BitWriter&& other) noexcept {
  if (this == &other) return *this;
  bits_written_ = other.bits_written_;
  storage_ = std::move(other.storage_);
  scope_ = other.scope_;
  rejected_write_ = other.rejected_write_;
  other.bits_written_ = 0;
  other.scope_ = nullptr;
  return *this;
}

void BitWriter::RejectWrite() {
  rejected_write_ = true;
  if (scope_ != nullptr) scope_->overrun = true;
}

Status BitWriter::WithBitBudget(uint64_t max_bits, LayerType layer,
                                AuxOut* aux, const Task& task, bool histogram) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  const uint64_t budget_bytes = max_bits / 8 + ((max_bits & 7) != 0 ? 1 : 0);
  if (budget_bytes > kMax - storage_.size()) return FailedStatus();
  const uint64_t new_size = storage_.size() + budget_bytes;
  // A writer without storage reserves even for an empty budget, so that a
  // 0-bit write always has its bytes.
  if (new_size > storage_.capacity() || storage_.data() == nullptr) {
    const uint64_t capacity = storage_.capacity();
    if (capacity / 2 > kMax - capacity) return FailedStatus();
    uint64_t proposed = capacity + capacity / 2;
    if (proposed < new_size) proposed = new_size;
    if (!storage_.Reserve(proposed).ok()) return FailedStatus();
  }
  storage_.SetSize(new_size);

  BitBudgetScope scope;
  scope.start_bits = bits_written_;
  scope.max_bits = max_bits;
  scope.parent = scope_;
  scope_ = &scope;

  const Status status = task();

  if (histogram && status.ok()) {
    scope.histogram_bits = bits_written_ - scope.start_bits;
  }
  const uint64_t used = bits_written_ - scope.start_bits;
  scope.closed = true;
  scope_ = scope.parent;
  // Writes are refused beyond the budget, so used <= max_bits here unless
  // the scope saw an overrun.
  if (scope.overrun || used > max_bits) return FailedStatus();
  const uint64_t leftover_bytes = (max_bits - used) / 8;
  if (storage_.size() < leftover_bytes) return FailedStatus();
  storage_.SetSize(storage_.size() - leftover_bytes);

  for (BitBudgetScope* s = scope.parent; s != nullptr; s = s->parent) {
    s->start_bits += used;
  }
  if (aux != nullptr) {
    AuxLayerStats& stats = aux->layer(layer);
    stats.total_bit_count += used;
    stats.histogram_bit_count += scope.histogram_bits;
  }
  return status;
}

Status BitWriter::AppendUnaligned(const BitWriter& other) {
  const uint64_t other_bits = other.bits_written_;
  const uint64_t whole_bytes = other_bits >> 3;
  const uint64_t rest = other_bits & 7;
  // Appending a writer to itself reads a snapshot of its bytes.
  std::vector<uint8_t> snapshot;
  const uint8_t* source = other.storage_.data();
  if (&other == this && other_bits != 0) {
    snapshot.assign(source, source + whole_bytes + (rest != 0 ? 1 : 0));
    source = snapshot.data();
  }
  const Task task = [&]() -> Status {
    for (uint64_t i = 0; i < whole_bytes; ++i) PutBits(8, source[i]);
    if (rest != 0) {
      PutBits(rest, source[whole_bytes] & ((1u << rest) - 1));
    }
    return OkStatus();
  };
  return WithBitBudget(other_bits, LayerType::kHeader, nullptr, task, false);
}

}  // namespace qov
