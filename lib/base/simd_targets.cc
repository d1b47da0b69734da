// Compiled and chosen highway targets of the library.
#include "lib/base/simd_targets.h"

#include <hwy/highway.h>
#include <hwy/targets.h>

namespace qov {

int64_t LibraryCompiledTargets() { return HWY_TARGETS; }

int64_t LibraryChosenTarget() {
  const int64_t usable = hwy::SupportedTargets() & HWY_TARGETS;
  // Lowest set bit = best target (highway orders better targets lower).
  return usable & -usable;
}

}  // namespace qov
