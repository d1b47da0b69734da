// Reference XYB-to-linear row, in the documented operation order.
#include "lib/color/xyb.h"

namespace qov {

void OpsinToLinearRowScalar(const float* x, const float* y, const float* b,
                            size_t xsize, const OpsinParams& params,
                            float* out_r, float* out_g, float* out_b) {
  const float* m = params.inverse_matrix;  // coefficient i in lane 4i
  const float* bias = params.opsin_bias;
  const float* cbrt = params.opsin_bias_cbrt;
  for (size_t i = 0; i < xsize; ++i) {
    const float gr = x[i] + y[i] - cbrt[0];
    const float gg = y[i] - x[i] - cbrt[1];
    const float gb = b[i] - cbrt[2];
    const float mr = (gr * gr) * gr + bias[0];
    const float mg = (gg * gg) * gg + bias[1];
    const float mb = (gb * gb) * gb + bias[2];
    out_r[i] = m[4 * 2] * mb + (m[4 * 1] * mg + m[4 * 0] * mr);
    out_g[i] = m[4 * 5] * mb + (m[4 * 4] * mg + m[4 * 3] * mr);
    out_b[i] = m[4 * 8] * mb + (m[4 * 7] * mg + m[4 * 6] * mr);
  }
}

}  // namespace qov
