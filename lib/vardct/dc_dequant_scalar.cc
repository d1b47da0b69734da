// Reference DC dequantisation rows, in the documented operation order.
#include "lib/vardct/dc_dequant.h"

namespace qov {

void DequantizeDcRowScalar(const int32_t* qy, const int32_t* qx,
                           const int32_t* qb, size_t xsize, const float f[3],
                           float cfl_x, float cfl_b, float* y, float* x,
                           float* b) {
  for (size_t i = 0; i < xsize; ++i) {
    const float vy = static_cast<float>(qy[i]) * f[1];
    y[i] = vy;
    x[i] = cfl_x * vy + static_cast<float>(qx[i]) * f[0];
    b[i] = cfl_b * vy + static_cast<float>(qb[i]) * f[2];
  }
}

void ScaleDcRowScalar(const int32_t* q, size_t xsize, float f, float* out) {
  for (size_t i = 0; i < xsize; ++i) out[i] = static_cast<float>(q[i]) * f;
}

}  // namespace qov
