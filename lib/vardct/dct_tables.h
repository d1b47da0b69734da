// Constant tables shared by the DCT kernels of every target and their
// scalar references.
#ifndef QOV_LIB_VARDCT_DCT_TABLES_H_
#define QOV_LIB_VARDCT_DCT_TABLES_H_

#include <cstddef>

namespace qov {

// Butterfly multipliers W_N(i) of the N-point transforms, N = 4 .. 256; those
// of N points start at index N / 2 - 2.
inline constexpr size_t kDctMultiplierCount = 254;
extern const float kDctMultipliers[kDctMultiplierCount];
inline const float* DctMultipliers(size_t n) {
  return kDctMultipliers + (n / 2 - 2);
}
inline constexpr float kSqrt2 = 1.4142135f;

// Resampling scale of frequency k for a dimension of n blocks (n <= 32).
extern const float kLowFrequencyScales32[32];
inline float LowFrequencyScale(size_t n, size_t k) {
  return kLowFrequencyScales32[k * (32 / n)];
}

// The corner-adaptive basis: B[i][j] at 16 * i + j.
extern const float kCornerBasis[16 * 16];

}  // namespace qov

#endif  // QOV_LIB_VARDCT_DCT_TABLES_H_
