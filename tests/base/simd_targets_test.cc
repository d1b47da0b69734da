// The library and the tests must be built for the same SIMD targets: a
// kernel test that compares every target only covers what the library has.
#include "lib/base/simd_targets.h"

#include <gtest/gtest.h>

#include <hwy/highway.h>
#include <hwy/targets.h>

namespace qov {
namespace {

TEST(SimdTargetsTest, LibraryAndTestsShareTargets) {
  EXPECT_EQ(LibraryCompiledTargets(), static_cast<int64_t>(HWY_TARGETS));
  // AVX2, SSE4 and the portable baseline copy are built.
  EXPECT_NE(LibraryCompiledTargets() & HWY_AVX2, 0);
  EXPECT_NE(LibraryCompiledTargets() & HWY_SSE4, 0);
  // The baseline: EMU128, or SCALAR where the compiler's EMU128 is broken.
  EXPECT_NE(LibraryCompiledTargets() & (HWY_EMU128 | HWY_SCALAR), 0);
  EXPECT_EQ(LibraryCompiledTargets() & (HWY_AVX3 | HWY_SSSE3), 0);
}

TEST(SimdTargetsTest, ChosenTargetIsCompiledAndSupported) {
  const int64_t chosen = LibraryChosenTarget();
  ASSERT_NE(chosen, 0);
  EXPECT_EQ(chosen & (chosen - 1), 0);  // exactly one target
  EXPECT_NE(chosen & LibraryCompiledTargets(), 0);
  EXPECT_NE(chosen & hwy::SupportedTargets(), 0);
}

}  // namespace
}  // namespace qov
