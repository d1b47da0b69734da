// Least-significant-bit-first bit reader over a byte span, and the three
// variable-length field codings of header bundles (U32, U64, 16-bit float).
//
// The reader never fails and never touches memory outside its input: bytes
// missing past the end read as zeros and are counted, so Position() keeps
// growing. Callers compare Position() with InputBits() (or call CheckBounds())
// to turn an over-read into NeedMoreBytes.
#ifndef QOV_LIB_BITSTREAM_BIT_READER_H_
#define QOV_LIB_BITSTREAM_BIT_READER_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lib/base/span.h"
#include "lib/base/status.h"

namespace qov {

class BitReader {
 public:
  // A reader without input: reads zeros and Close() never complains.
  BitReader() = default;
  // The caller keeps `input` alive for the reader's lifetime.
  explicit BitReader(Span input);

  BitReader(const BitReader&) = default;
  BitReader& operator=(const BitReader&) = default;

  // Makes at least 56 bits available in the bit buffer.
  inline void Refill() {
    if (end_ - cursor_ >= 8) {
      buffer_ |= LoadLE64(cursor_) << count_;
      cursor_ += (63 - count_) >> 3;
      count_ |= 56;
    } else {
      RefillSlow();
    }
  }

  // Low n bits of the buffer without consuming them. Requires n <= count
  // (call Refill first); n may be 0.
  inline uint64_t Peek(size_t n) const {
    return buffer_ & LowMask(n);
  }
  // Drops n buffered bits. Requires n <= count.
  inline void Consume(size_t n) {
    buffer_ >>= n;
    count_ -= n;
  }
  // Reads n bits, 0 <= n <= 56.
  inline uint64_t Read(size_t n) {
    Refill();
    const uint64_t value = buffer_ & LowMask(n);
    Consume(n);
    return value;
  }
  // Skips any number of bits; skipping past the end leaves the reader past
  // the end (by at least one byte), which a later position check reports.
  void SkipLong(uint64_t n);

  // Bits consumed so far, including zero bits supplied past the end.
  uint64_t Position() const {
    return (static_cast<uint64_t>(cursor_ - begin_) + past_end_) * 8 - count_;
  }
  // Size of the input in bits.
  uint64_t InputBits() const { return static_cast<uint64_t>(end_ - begin_) * 8; }
  bool PastEnd() const { return Position() > InputBits(); }
  // Bits of the input not yet consumed (0 when past the end).
  uint64_t RemainingBits() const {
    const uint64_t pos = Position(), total = InputBits();
    return pos >= total ? 0 : total - pos;
  }

  // Records Position() as checked and answers NeedMoreBytes when the reader
  // went past the end of its input. The check every field read makes.
  Status CheckBounds() {
    bounds_mark_ = Position();
    return PastEnd() ? NeedMoreBytesStatus() : OkStatus();
  }
  void MarkBounds() { bounds_mark_ = Position(); }

  // Reads the 0..7 bits up to the next byte boundary; Failed if any is 1.
  Status AlignToByte();

  // Marks the reader closed; Failed when it went past the end of its input
  // further than any earlier bounds check saw. A reader that is destroyed
  // without Close() checks nothing.
  Status Close();
  bool closed() const { return closed_; }

  Span input() const {
    return Span(begin_, static_cast<size_t>(end_ - begin_));
  }

 private:
  static inline uint64_t LoadLE64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
  }
  static inline uint64_t LowMask(size_t n) {
    return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
  }
  void RefillSlow();

  uint64_t buffer_ = 0;       // unconsumed bits; bit 0 is the next one
  uint64_t count_ = 0;        // valid bits in buffer_ (0..63)
  const uint8_t* cursor_ = nullptr;  // next byte to load
  // The load limit of an 8-byte refill is end_ - 8; it is kept as the end
  // pointer so that no pointer before the input is ever formed.
  const uint8_t* end_ = nullptr;
  const uint8_t* begin_ = nullptr;
  uint64_t past_end_ = 0;     // zero bytes supplied beyond the input
  bool closed_ = false;
  uint64_t bounds_mark_ = 0;  // Position() at the most recent bounds check
};

// One choice of a U32 coding, as a 32-bit word: bit 31 set means the value
// (word & 0x7FFFFFFF); otherwise bits 0..4 hold n - 1 and bits 5..31 the
// offset o, and the choice reads n bits plus o.
using U32Choice = uint32_t;

// The choice "value v" (v < 2^31).
constexpr U32Choice Val(uint32_t v) { return 0x80000000u | v; }
// The choice "n bits" (1 <= n <= 32).
constexpr U32Choice Bits(uint32_t n) { return n - 1; }
// The choice "n bits + o" (1 <= n <= 32, o < 2^27).
constexpr U32Choice BitsOffset(uint32_t n, uint32_t o) {
  return (o << 5) | (n - 1);
}

constexpr bool ChoiceIsValue(U32Choice c) { return (c & 0x80000000u) != 0; }
constexpr uint32_t ChoiceValue(U32Choice c) { return c & 0x7FFFFFFFu; }
constexpr uint32_t ChoiceBitCount(U32Choice c) { return (c & 31u) + 1; }
constexpr uint32_t ChoiceOffset(U32Choice c) { return c >> 5; }

// Four choices selected by a 2-bit selector.
struct U32Coding {
  U32Choice choice[4];

  constexpr U32Coding(U32Choice c0, U32Choice c1, U32Choice c2, U32Choice c3)
      : choice{c0, c1, c2, c3} {}
  constexpr U32Choice operator[](size_t selector) const {
    return choice[selector];
  }
};

// The coding of every enumeration field.
inline constexpr U32Coding kEnumCoding(Val(0), Val(1), BitsOffset(4, 2),
                                       BitsOffset(6, 18));

// A U32 field: 2-bit selector, then the chosen choice. Cannot fail;
// over-reads show in the reader's position.
uint32_t ReadCodedU32(const U32Coding& coding, BitReader* reader);

// A U64 field: selector 0 -> 0, 1 -> 1 + 4 bits, 2 -> 17 + 8 bits,
// 3 -> 12 bits followed by continuation-bit groups of 8 bits (a last group of
// 4 bits at shift 60). Cannot fail.
uint64_t ReadCodedU64(BitReader* reader);

// A 16-bit IEEE half float. Failed for exponent 31 (infinity, NaN); `out`
// is then unchanged (the 16 bits are consumed either way).
Status ReadHalfFloat(BitReader* reader, float* out);

// Decodes the 16 bits of a half float; false for exponent 31.
bool HalfBitsToFloat(uint32_t h, float* out);

}  // namespace qov

#endif  // QOV_LIB_BITSTREAM_BIT_READER_H_
