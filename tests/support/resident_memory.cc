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

}  // namespace qov::test
