// Shared helpers of the encoder tests: a default memory manager, writing
// inside a generous budget, and reading written bits back.
#ifndef QOV_TESTS_ENCODE_ENCODE_TEST_HELPERS_H_
#define QOV_TESTS_ENCODE_ENCODE_TEST_HELPERS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "lib/base/status.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/entropy_records.h"
#include "qov/qov.h"

namespace qov {

// A histogram with the given counts and their total.
Histogram FromCounts(std::vector<int32_t> counts);

// Runs `task` on `writer` inside a budget of `max_bits` (layer 0).
Status WriteInBudget(BitWriter& writer, const std::function<Status()>& task,
                     uint64_t max_bits = 1 << 24);

// The written bits in write order as '0'/'1' characters.
std::string BitString(const BitWriter& writer);
// Bits of `value` least significant first, `n` of them ("1011" style).
std::string Lsb(uint64_t value, size_t n);

// A minimal least-significant-bit-first reader over a writer's bytes.
class TestBitSource {
 public:
  explicit TestBitSource(const BitWriter& writer);
  uint64_t Read(size_t n);
  uint64_t position() const { return position_; }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t position_ = 0;
};

}  // namespace qov

#endif  // QOV_TESTS_ENCODE_ENCODE_TEST_HELPERS_H_
