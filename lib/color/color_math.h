// Small colour maths shared by ICC synthesis and the output colour set-up:
// 3x3 matrix product and inverse, RGB-to-XYZ from primaries, and the
// Bradford adaptation to D50. Single-precision values, no infinities.
#ifndef QOV_LIB_COLOR_COLOR_MATH_H_
#define QOV_LIB_COLOR_COLOR_MATH_H_

#include <array>

#include "lib/base/status.h"

namespace qov {

// Row-major: element (i, j) at 3i + j.
using Matrix3x3 = std::array<float, 9>;

// out = a x b; each element summed in double precision and rounded once.
// out must not alias a or b.
void Mul3x3(const Matrix3x3& a, const Matrix3x3& b, Matrix3x3* out);

// Replaces *m by its inverse. Failed (m unchanged) when |det| < 1e-10.
Status Invert3x3(Matrix3x3* m);

// Linear RGB with the given primaries and white point to XYZ with the
// white's Y = 1. Its second row holds the primaries' luminance weights.
Status PrimariesToXyzMatrix(float rx, float ry, float gx, float gy, float bx,
                            float by, float wx, float wy, Matrix3x3* out);

// Bradford chromatic adaptation from the white point (wx, wy) to D50.
Status AdaptToD50Matrix(float wx, float wy, Matrix3x3* out);

}  // namespace qov

#endif  // QOV_LIB_COLOR_COLOR_MATH_H_
