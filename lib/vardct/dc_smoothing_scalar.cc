// Reference row of the adaptive DC smoothing, in the documented order.
#include <cmath>

#include "lib/vardct/dc_smoothing.h"

namespace qov {

void SmoothDcRowScalar(const float* const rows[3][3], size_t xsize,
                       const float dc_mul[3], float* const out[3]) {
  constexpr float kCenter = 0.052262723f;
  constexpr float kSide = 0.2034514f;
  constexpr float kCorner = 0.03348292f;
  for (size_t p = 0; p < 3; ++p) {
    out[p][0] = rows[p][1][0];
    out[p][xsize - 1] = rows[p][1][xsize - 1];
  }
  for (size_t x = 1; x + 1 < xsize; ++x) {
    float s[3], c[3];
    float gap = 0.5f;
    for (size_t p = 0; p < 3; ++p) {
      const float* up = rows[p][0];
      const float* row = rows[p][1];
      const float* down = rows[p][2];
      c[p] = row[x];
      const float side = (row[x - 1] + row[x + 1]) + (up[x] + down[x]);
      const float corner =
          (up[x - 1] + up[x + 1]) + (down[x - 1] + down[x + 1]);
      s[p] = corner * kCorner + (side * kSide + c[p] * kCenter);
      gap = std::fmax(gap, std::fabs((c[p] - s[p]) / dc_mul[p]));
    }
    float factor = 3.0f - 4.0f * gap;
    if (std::signbit(factor)) factor = 0.0f;
    for (size_t p = 0; p < 3; ++p) out[p][x] = (s[p] - c[p]) * factor + c[p];
  }
}

}  // namespace qov
