// Least-significant-bit-first bit writer. Every write happens inside a bit
// budget (WithBitBudget) that sizes the storage before the writes, so the
// hot path stores without growing; budgets nest and feed AuxOut statistics.
#ifndef QOV_LIB_ENCODE_BIT_WRITER_H_
#define QOV_LIB_ENCODE_BIT_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>

#include "lib/base/byte_buffer.h"
#include "lib/base/span.h"
#include "lib/base/status.h"
#include "qov/qov.h"

namespace qov {

// Selects the AuxOut entry that a budget's bits are charged to.
enum class LayerType : uint8_t {
  kHeader = 0,  // also the inner scope of AppendUnaligned
  kToc = 1,
  kDictionary = 2,
  kDots = 3,
  kSplines = 4,
  kNoise = 5,
  kQuant = 6,
  kModularTree = 7,
  kModularGlobal = 8,
  kDc = 9,
  kModularDcGroup = 10,
  kControlFields = 11,
  kBlockContextMap = 12,  // the context map of a block context map
  kOrder = 13,
  kAc = 14,
  kAcTokens = 15,
};
inline constexpr size_t kNumLayerTypes = 16;

struct AuxLayerStats {
  uint64_t cluster_count = 0;        // symbol tables built by entropy codes
  uint64_t extra_bit_count = 0;      // hybrid-uint extra bits of tokens
  uint64_t histogram_bit_count = 0;  // bits of budgets flagged as histograms
  uint64_t total_bit_count = 0;      // bits written directly in the layer
  double cluster_entropy = 0.0;      // entropy of newly built clusters
};

// Optional encoder statistics; every operation accepts a null AuxOut.
struct AuxOut {
  AuxLayerStats layers[kNumLayerTypes];

  AuxLayerStats& layer(LayerType type) {
    return layers[static_cast<size_t>(type)];
  }
  const AuxLayerStats& layer(LayerType type) const {
    return layers[static_cast<size_t>(type)];
  }
};

// One open WithBitBudget call, kept in that call's frame.
struct BitBudgetScope {
  uint64_t start_bits = 0;  // moved forward by the bits nested scopes used
  uint64_t max_bits = 0;
  uint64_t histogram_bits = 0;
  bool closed = false;
  // Set when a write would have gone past the budget; that write is dropped.
  bool overrun = false;
  BitBudgetScope* parent = nullptr;
};

class BitWriter {
 public:
  // A task writes into the writer inside a budget; it captures by reference.
  using Task = std::function<Status()>;

  // All storage comes from `manager`, which must outlive the writer.
  explicit BitWriter(const QovMemoryManagerStruct* manager)
      : storage_(manager) {}
  BitWriter(BitWriter&& other) noexcept;
  BitWriter& operator=(BitWriter&& other) noexcept;
  BitWriter(const BitWriter&) = delete;
  BitWriter& operator=(const BitWriter&) = delete;

  // Writes the n (0..56) low bits of value. Only inside a budget: a write
  // outside any budget, beyond the innermost budget or wider than 56 bits
  // writes nothing and makes the enclosing WithBitBudget fail.
  inline void PutBits(size_t n, uint64_t value) {
    if (scope_ == nullptr || n > kMaxBitsPerCall ||
        bits_written_ + n > scope_->start_bits + scope_->max_bits) {
      RejectWrite();
      return;
    }
    const uint64_t p = bits_written_ >> 3;
    const uint64_t s = bits_written_ & 7;
    uint8_t* at = storage_.data() + p;
    uint64_t word = (static_cast<uint64_t>(at[0]) |
                     ((value & ((uint64_t{1} << n) - 1)) << s));
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    std::memcpy(at, &word, 8);
    bits_written_ += n;
  }

  // Zero bits up to the next byte boundary (within the current budget).
  void ZeroPadToByte() { PutBits((8 - (bits_written_ & 7)) & 7, 0); }

  // Runs `task` inside a scope of at most max_bits bits (the storage grows
  // for them first). Failed when the storage cannot grow (task not run) or
  // when the task tried to write more than max_bits (those bits are never
  // stored); otherwise the task's status. Leftover whole bytes are given
  // back; the bits used are charged to aux's `layer` entry and not to any
  // enclosing budget. An empty task throws std::bad_function_call.
  Status WithBitBudget(uint64_t max_bits, LayerType layer, AuxOut* aux,
                       const Task& task, bool histogram = false);

  // Appends all bits of `other` at the current position, in a budget of
  // exactly other.BitsWritten() bits (layer 0, no statistics).
  Status AppendUnaligned(const BitWriter& other);

  uint64_t BitsWritten() const { return bits_written_; }
  // The written bytes; a partial last byte has its unused high bits zero.
  Span GetSpan() const {
    return Span(storage_.data(), static_cast<size_t>((bits_written_ + 7) >> 3));
  }
  const ByteBuffer& storage() const { return storage_; }
  const QovMemoryManagerStruct* memory_manager() const {
    return storage_.manager();
  }
  // False once any write was rejected (outside or beyond a budget).
  bool healthy() const { return !rejected_write_; }

 private:
  static constexpr size_t kMaxBitsPerCall = 56;
  void RejectWrite();

  uint64_t bits_written_ = 0;
  ByteBuffer storage_;              // size = bytes allotted by budgets
  BitBudgetScope* scope_ = nullptr;  // innermost open budget
  bool rejected_write_ = false;
};

}  // namespace qov

#endif  // QOV_LIB_ENCODE_BIT_WRITER_H_
