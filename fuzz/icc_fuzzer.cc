// Decodes arbitrary bytes as a compressed ICC stream with the stand-alone
// decoder; a profile that decodes must come back with a plausible size.
#include <cstdint>
#include <cstdlib>

#include "qov/qov.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t* icc = nullptr;
  uint64_t icc_size = 0;
  if (QovDecompressICCProfile(nullptr, data, size, &icc, &icc_size)) {
    if (icc == nullptr && icc_size != 0) std::abort();
    std::free(icc);
  }
  return 0;
}
