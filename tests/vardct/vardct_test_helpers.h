// Stream building for the VarDCT tests: a bit writer with one generous
// budget per write, and entropy-coded token streams written with the
// project's encoder.
#ifndef QOV_TESTS_VARDCT_VARDCT_TEST_HELPERS_H_
#define QOV_TESTS_VARDCT_VARDCT_TEST_HELPERS_H_

#include <cstdint>
#include <functional>
#include <vector>

#include "lib/base/memory.h"
#include "lib/base/span.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/entropy_records.h"

namespace qov::vardct_test {

// Collects a stream; every Put runs in its own budget.
class StreamWriter {
 public:
  StreamWriter() : writer_(HeapMemoryManager()) {}

  void Bits(size_t n, uint64_t v);
  void U32(const U32Coding& coding, uint32_t v);
  void Half(float v);
  // Runs a writer task (e.g. an encoder function) with a large budget.
  void Task(const std::function<Status(BitWriter*)>& task);
  // Writes the code description for `streams` (num_contexts contexts) and
  // then every stream's tokens, in order.
  void Entropy(size_t num_contexts, std::vector<std::vector<Token>> streams,
               bool force_prefix = false, uint32_t lz77_mode = 0);

  bool ok() const { return ok_ && writer_.healthy(); }
  std::vector<uint8_t> Bytes() const;

 private:
  BitWriter writer_;
  bool ok_ = true;
};

// A reader that owns its bytes.
struct OwnedReader {
  explicit OwnedReader(std::vector<uint8_t> b)
      : bytes(std::move(b)), reader(Span(bytes.data(), bytes.size())) {}
  std::vector<uint8_t> bytes;
  BitReader reader;
};

}  // namespace qov::vardct_test

#endif  // QOV_TESTS_VARDCT_VARDCT_TEST_HELPERS_H_
