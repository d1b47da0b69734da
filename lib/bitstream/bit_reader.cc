// Bit reader refills, skipping, alignment and the field codings.
#include "lib/bitstream/bit_reader.h"

namespace qov {

BitReader::BitReader(Span input)
    : cursor_(input.data), end_(input.data + input.size), begin_(input.data) {
  if (input.size >= 8) {
    buffer_ = LoadLE64(cursor_);
    cursor_ += 7;
    count_ = 56;
  } else {
    RefillSlow();
  }
}

void BitReader::RefillSlow() {
  while (count_ <= 55 && cursor_ < end_) {
    buffer_ |= static_cast<uint64_t>(*cursor_) << count_;
    count_ += 8;
    ++cursor_;
  }
  // Whatever is still missing is supplied as zero bytes and counted.
  past_end_ += (63 - count_) >> 3;
  count_ = (count_ & 7) + 56;
}

void BitReader::SkipLong(uint64_t n) {
  if (n <= count_) {
    Consume(n);
    return;
  }
  const uint64_t r = n - count_;
  buffer_ = 0;
  count_ = 0;
  const uint64_t whole = r >> 3;
  uint64_t rest = r & 7;
  if (whole > static_cast<uint64_t>(end_ - cursor_)) {
    cursor_ = end_;
    RefillSlow();
    rest += 8;
  } else {
    cursor_ += whole;
    if (end_ - cursor_ < 8) {
      RefillSlow();
    } else {
      buffer_ = LoadLE64(cursor_);
      cursor_ += 7;
      count_ = 56;
    }
  }
  count_ -= rest;
  buffer_ >>= rest;
}

Status BitReader::AlignToByte() {
  const uint64_t misalign = Position() & 7;
  if (misalign == 0) return OkStatus();
  return Read(8 - misalign) == 0 ? OkStatus() : FailedStatus();
}

Status BitReader::Close() {
  closed_ = true;
  if (begin_ != nullptr) {
    const uint64_t pos = Position();
    if (pos > bounds_mark_ && pos > InputBits()) return FailedStatus();
  }
  return OkStatus();
}

uint32_t ReadCodedU32(const U32Coding& coding, BitReader* reader) {
  const U32Choice choice = coding[reader->Read(2)];
  if (ChoiceIsValue(choice)) return ChoiceValue(choice);
  const uint32_t bits =
      static_cast<uint32_t>(reader->Read(ChoiceBitCount(choice)));
  return bits + ChoiceOffset(choice);  // modulo 2^32
}

uint64_t ReadCodedU64(BitReader* reader) {
  switch (reader->Read(2)) {
    case 0:
      return 0;
    case 1:
      return 1 + reader->Read(4);
    case 2:
      return 17 + reader->Read(8);
    default:
      break;
  }
  uint64_t result = reader->Read(12);
  uint32_t shift = 12;
  while (reader->Read(1) != 0) {
    if (shift == 60) {
      result |= reader->Read(4) << 60;
      break;
    }
    result |= reader->Read(8) << shift;
    shift += 8;
  }
  return result;
}

bool HalfBitsToFloat(uint32_t h, float* out) {
  const uint32_t sign = (h & 0x8000u) << 16;
  const uint32_t exponent = (h >> 10) & 0x1F;
  if (exponent == 31) return false;
  if (exponent == 0) {
    const float magnitude =
        static_cast<float>(h & 0x3FF) * (1.0f / 16777216.0f);  // 2^-24
    *out = sign ? -magnitude : magnitude;
    return true;
  }
  const uint32_t bits = (((h & 0x7FFFu) << 13) + 0x38000000u) | sign;
  std::memcpy(out, &bits, 4);
  return true;
}

Status ReadHalfFloat(BitReader* reader, float* out) {
  const uint32_t h = static_cast<uint32_t>(reader->Read(16));
  return HalfBitsToFloat(h, out) ? OkStatus() : FailedStatus();
}

}  // namespace qov
