// Peak resident set from /proc/self/status (VmHWM), reset through
// /proc/self/clear_refs.
#include "tests/support/resident_memory.h"

#include <fstream>
#include <string>

namespace qov::test {

uint64_t PeakResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

void ResetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

uint64_t SanitizerResidentSlack() {
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QOV_RESIDENT_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(QOV_RESIDENT_SANITIZED)
  return uint64_t{384} << 20;
#else
  return 0;
#endif
}

}  // namespace qov::test
