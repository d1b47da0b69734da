// Which highway targets the library was compiled for, so that tests can
// check that they were built for the same set.
#ifndef QOV_LIB_BASE_SIMD_TARGETS_H_
#define QOV_LIB_BASE_SIMD_TARGETS_H_

#include <cstdint>

namespace qov {

// HWY_TARGETS as seen when compiling the library: the targets every
// dispatched kernel has a copy for: AVX2, SSE4 and the portable baseline
// that stands in for the SSE2 level (HWY_EMU128, or HWY_SCALAR with GCC
// before 12.3, whose EMU128 highway marks as broken).
int64_t LibraryCompiledTargets();

// The target that dynamic dispatch chooses on this machine among those.
int64_t LibraryChosenTarget();

}  // namespace qov

#endif  // QOV_LIB_BASE_SIMD_TARGETS_H_
