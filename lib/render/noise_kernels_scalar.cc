// Reference noise row kernels, in the documented operation order.
#include <algorithm>
#include <cmath>

#include "lib/render/noise_kernels.h"

namespace qov {

namespace {

float Strength(const float lut[8], float v) {
  const float t = std::max(0.0f, (v * 0.5f) * 6.0f);
  int i;
  float f;
  if (t >= 7.0f) {
    i = 6;
    f = 1.0f;
  } else {
    const float whole = std::floor(t);
    i = static_cast<int>(whole);
    f = t - whole;
  }
  float s = lut[i] + (lut[i + 1] - lut[i]) * f;
  s = std::min(s, 1.0f);
  return std::signbit(s) ? 0.0f : s;
}

}  // namespace

void ConvolveNoiseRowScalar(const float* const rows[5], float* out,
                            size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const ptrdiff_t x = static_cast<ptrdiff_t>(i);
    float sum = 0.0f;
    for (ptrdiff_t dx = -2; dx <= 2; ++dx) {
      for (int r : {0, 1, 3, 4}) sum += rows[r][x + dx];
    }
    for (ptrdiff_t dx : {-2, -1, 1, 2}) sum += rows[2][x + dx];
    out[i] = sum * 0.16f + rows[2][x] * -3.84f;
  }
}

void AddNoiseRowScalar(const float lut[8], float cx, float cb, float* x,
                       float* y, float* b, const float* n0, const float* n1,
                       const float* n2, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const float sr = Strength(lut, x[i] + y[i]);
    const float sg = Strength(lut, y[i] - x[i]);
    const float shared = (n2[i] * 0.22f) * 0.9921875f;
    const float r = sr * ((n0[i] * 0.22f) * 0.0078125f + shared);
    const float g = sg * ((n1[i] * 0.22f) * 0.0078125f + shared);
    x[i] = (cx * (r + g) + (r - g)) + x[i];
    y[i] = y[i] + (r + g);
    b[i] = (r + g) * cb + b[i];
  }
}

}  // namespace qov
