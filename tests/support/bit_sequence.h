// Test support shared by the bundle tests: hand-made bit sequences and bundle
// round trips, both written with the project's BitWriter.
#ifndef QOV_TESTS_SUPPORT_BIT_SEQUENCE_H_
#define QOV_TESTS_SUPPORT_BIT_SEQUENCE_H_

#include <cstdint>
#include <vector>

#include "lib/base/memory.h"
#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/fields.h"
#include "qov/qov.h"

namespace qov::test {

// A sequence of fields written in order, least-significant bit first.
// Lets a test spell out streams the bundle writer would refuse.
class BitSequence {
 public:
  BitSequence& Bits(uint32_t n, uint64_t value);  // n <= 56
  BitSequence& Bool(bool value) { return Bits(1, value ? 1 : 0); }
  BitSequence& U32(const U32Coding& coding, uint32_t value);
  BitSequence& Enum(uint32_t value) { return U32(kEnumCoding, value); }
  BitSequence& U64(uint64_t value);
  BitSequence& F16(float value);
  // Raw 16 bits of a half float (for infinities and NaN).
  BitSequence& F16Bits(uint32_t bits) { return Bits(16, bits); }

  uint64_t size_bits() const { return size_bits_; }
  std::vector<uint8_t> Bytes() const;

 private:
  enum class Kind { kBits, kU32, kU64 };
  struct Op {
    Kind kind;
    uint32_t n;
    uint64_t value;
    U32Coding coding;
  };
  std::vector<Op> ops_;
  uint64_t size_bits_ = 0;
};

// Writes `bundle` with Bundle::Write; *bits receives the bits written.
// Records a test failure (and returns no bytes) when the write fails.
std::vector<uint8_t> WriteBundle(const Fields& bundle, uint64_t* bits = nullptr);

// Bundle::Write; *status receives the write's status (no test failure).
std::vector<uint8_t> WriteBundle(const Fields& bundle, Status* status,
                                 uint64_t* bits = nullptr);

// Bundle::Decode over `bytes`; *position receives the reader's position.
Status DecodeBundle(const std::vector<uint8_t>& bytes, Fields* bundle,
                    uint64_t* position = nullptr);

}  // namespace qov::test

#endif  // QOV_TESTS_SUPPORT_BIT_SEQUENCE_H_
