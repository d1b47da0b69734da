// Parses arbitrary bytes as the contents of a gain-map box and, when that
// succeeds, decompresses the ICC profile it carries. Checks that every
// pointer of the record lies inside the input and nothing over-reads.
#include <cstdint>
#include <cstdlib>

#include "qov/qov.h"

namespace {

bool Inside(const uint8_t* p, uint64_t n, const uint8_t* data, size_t size) {
  if (n == 0) return true;
  return p >= data && p <= data + size && n <= static_cast<uint64_t>(data + size - p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QovGainMapRecord record;
  uint64_t consumed = 0;
  if (!QovGainMapParse(&record, data, size, &consumed)) return 0;
  if (consumed != size) std::abort();
  if (!Inside(record.metadata, record.metadata_size, data, size) ||
      !Inside(record.compressed_icc, record.compressed_icc_size, data, size) ||
      !Inside(record.gain_map, record.gain_map_size, data, size)) {
    std::abort();
  }
  if (record.compressed_icc_size != 0) {
    uint8_t* icc = nullptr;
    uint64_t icc_size = 0;
    if (QovDecompressICCProfile(nullptr, record.compressed_icc,
                                record.compressed_icc_size, &icc, &icc_size)) {
      std::free(icc);
    }
  }
  return 0;
}
