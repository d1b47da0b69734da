// Bit arithmetic shared by the readers, the renderers and the encoder:
// integer logarithms, shifts rounded up, zig-zag signed coding and edge
// mirroring of indices.
#ifndef QOV_LIB_BASE_BITS_H_
#define QOV_LIB_BASE_BITS_H_

#include <cstdint>

namespace qov {

// Smallest b with 2^b >= v: the bits needed for the values 0 .. v - 1.
// 0 for v = 0 and v = 1; 64 for every v above 2^63.
constexpr uint32_t CeilLog2(uint64_t v) {
  return v <= 1 ? 0 : 64 - static_cast<uint32_t>(__builtin_clzll(v - 1));
}

// Largest b with 2^b <= v; 0 for v = 0 as for v = 1.
constexpr uint32_t FloorLog2(uint64_t v) {
  return 63 - static_cast<uint32_t>(__builtin_clzll(v | 1));
}

// value / 2^shift rounded up, without overflow, for any shift (from 64 on:
// 1 for a non-zero value, else 0).
constexpr uint64_t DivCeilShift(uint64_t value, uint64_t shift) {
  if (shift >= 64) return value != 0 ? 1 : 0;
  return (value >> shift) + ((value & ((uint64_t{1} << shift) - 1)) != 0);
}

// Zig-zag coding of signed values: 0, -1, 1, -2, 2 <-> 0, 1, 2, 3, 4; the
// two are inverse over all 32-bit values.
constexpr uint32_t PackSigned(int32_t v) {
  return (static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31);
}
constexpr int32_t UnpackSigned(uint32_t u) {
  return static_cast<int32_t>((u >> 1) ^ (0u - (u & 1)));
}

// x mirrored into [0, n) with the edge sample repeated (-1 -> 0, n -> n - 1,
// period 2n). n >= 1; steps of n, so meant for x within a few n of the range.
constexpr int64_t Mirror(int64_t x, int64_t n) {
  while (x < 0 || x >= n) x = x < 0 ? -x - 1 : 2 * n - 1 - x;
  return x;
}

}  // namespace qov

#endif  // QOV_LIB_BASE_BITS_H_
