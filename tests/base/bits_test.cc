// Integer logarithms, rounded-up shifts, zig-zag coding and index mirroring.
#include "lib/base/bits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace qov {
namespace {

constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();

// Usable where sizes are fixed at compile time.
static_assert(CeilLog2(8) == 3 && FloorLog2(8) == 3 && DivCeilShift(9, 3) == 2 &&
              UnpackSigned(PackSigned(-5)) == -5 && Mirror(-1, 4) == 0);

TEST(BitsTest, Logarithms) {
  struct Case {
    uint64_t v;
    uint32_t ceil_log2;
    uint32_t floor_log2;
  };
  const Case kCases[] = {
      {0, 0, 0},
      {1, 0, 0},
      {1000, 10, 9},
      {(uint64_t{1} << 40) + 12345, 41, 40},
      {kMax64, 64, 63},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(CeilLog2(c.v), c.ceil_log2) << c.v;
    EXPECT_EQ(FloorLog2(c.v), c.floor_log2) << c.v;
  }
  // Every power of two and its neighbours.
  for (uint32_t b = 1; b < 64; ++b) {
    const uint64_t p = uint64_t{1} << b;
    EXPECT_EQ(CeilLog2(p - 1), b == 1 ? 0u : b) << b;
    EXPECT_EQ(FloorLog2(p - 1), b - 1) << b;
    EXPECT_EQ(CeilLog2(p), b) << b;
    EXPECT_EQ(FloorLog2(p), b) << b;
    EXPECT_EQ(CeilLog2(p + 1), b + 1) << b;
    EXPECT_EQ(FloorLog2(p + 1), b) << b;
  }
}

TEST(BitsTest, DivCeilShiftRoundsUpWithoutOverflow) {
  struct Case {
    uint64_t value;
    uint64_t shift;
    uint64_t expected;
  };
  const Case kCases[] = {
      {0, 0, 0},
      {0, 3, 0},
      {7, 0, 7},
      {1, 3, 1},
      {8, 3, 1},
      {9, 3, 2},
      {16, 3, 2},
      {17, 1, 9},
      // The sum value + 2^shift - 1 would wrap here.
      {kMax64, 1, uint64_t{1} << 63},
      {kMax64, 3, uint64_t{1} << 61},
      {kMax64, 63, 2},
      {uint64_t{1} << 63, 63, 1},
      // Shifts of the whole width and beyond.
      {kMax64, 64, 1},
      {1, 64, 1},
      {0, 64, 0},
      {5, 200, 1},
      {0, kMax64, 0},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(DivCeilShift(c.value, c.shift), c.expected)
        << c.value << " >> " << c.shift;
  }
}

TEST(BitsTest, ZigZagCoding) {
  struct Case {
    int32_t value;
    uint32_t packed;
  };
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  const Case kCases[] = {
      {0, 0},          {-1, 1},          {1, 2},          {-2, 3},
      {2, 4},          {-64, 127},       {64, 128},       {kMax, 0xFFFFFFFEu},
      {kMin, 0xFFFFFFFFu}, {kMin + 1, 0xFFFFFFFDu},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(PackSigned(c.value), c.packed) << c.value;
    EXPECT_EQ(UnpackSigned(c.packed), c.value) << c.packed;
  }
  for (int64_t v = -70000; v <= 70000; v += 7) {
    EXPECT_EQ(UnpackSigned(PackSigned(static_cast<int32_t>(v))), v);
  }
}

TEST(BitsTest, MirrorRepeatsTheEdgeSample) {
  // Period 2n: 0 .. n-1 forwards, then n-1 .. 0 backwards.
  for (int64_t n = 1; n <= 5; ++n) {
    for (int64_t x = -3 * n; x < 4 * n; ++x) {
      const int64_t m = ((x % (2 * n)) + 2 * n) % (2 * n);
      EXPECT_EQ(Mirror(x, n), m < n ? m : 2 * n - 1 - m) << x << " in " << n;
    }
  }
  struct Case {
    int64_t x;
    int64_t n;
    int64_t expected;
  };
  const Case kCases[] = {
      {-1, 1, 0}, {1, 1, 0}, {-1, 4, 0}, {-2, 4, 1}, {4, 4, 3},
      {5, 4, 2},  {-5, 4, 3}, {8, 4, 0}, {-9, 4, 0},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(Mirror(c.x, c.n), c.expected) << c.x << " in " << c.n;
  }
}

}  // namespace
}  // namespace qov
