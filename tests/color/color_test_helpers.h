// Helpers of the colour tests: hand-made bit streams and bundle round trips
// through the project's BitWriter.
#ifndef QOV_TESTS_COLOR_COLOR_TEST_HELPERS_H_
#define QOV_TESTS_COLOR_COLOR_TEST_HELPERS_H_

#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/fields.h"
#include "qov/qov.h"

namespace qov::test {

const QovMemoryManagerStruct* ColorTestMemoryManager();

// Fields written in order, least-significant bit first; spells out streams
// that the bundle writer would refuse.
class Bits {
 public:
  Bits& Raw(uint32_t n, uint32_t value);
  Bits& Bool(bool value) { return Raw(1, value ? 1 : 0); }
  Bits& U32(const U32Coding& coding, uint32_t value);
  Bits& Enum(uint32_t value) { return U32(kEnumCoding, value); }

  uint64_t size_bits() const { return size_bits_; }
  std::vector<uint8_t> Bytes() const;

 private:
  struct Op {
    bool coded;
    uint32_t n;
    uint32_t value;
    U32Coding coding;
  };
  std::vector<Op> ops_;
  uint64_t size_bits_ = 0;
};

// Bundle::Write; *status receives the write's status.
std::vector<uint8_t> WriteBundle(const Fields& bundle, Status* status,
                                 uint64_t* bits = nullptr);

// Bundle::Decode over `bytes`; *position receives the reader's position.
Status DecodeBundle(const std::vector<uint8_t>& bytes, Fields* bundle,
                    uint64_t* position = nullptr);

}  // namespace qov::test

#endif  // QOV_TESTS_COLOR_COLOR_TEST_HELPERS_H_
