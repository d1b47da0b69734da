// Reference varblock dequantisation, in the documented operation order.
#include <cmath>

#include "lib/vardct/varblock_dequant.h"

namespace qov {
namespace {

float Adjust(float q, float bias, float numerator) {
  if (std::fabs(q) < 1.125f) return q * bias;
  return q - numerator * (1.0f / q);
}

template <typename T>
void Dequantize(const VarblockDequantParams& p, size_t count,
                const float* const table[3], const T* const q[3], float* out) {
  const float s = p.inv_global_scale / static_cast<float>(p.quant);
  const float sx = p.x_mul * s;
  const float sb = p.b_mul * s;
  const float* tx = table[0];
  const float* ty = table[1];
  const float* tb = table[2];
  for (size_t i = 0; i < count; ++i) {
    const float y = Adjust(static_cast<float>(q[1][i]), p.biases[1],
                           p.biases[3]) * (ty[i] * s);
    const float x = Adjust(static_cast<float>(q[0][i]), p.biases[0],
                           p.biases[3]) * (tx[i] * sx);
    const float b = Adjust(static_cast<float>(q[2][i]), p.biases[2],
                           p.biases[3]) * (tb[i] * sb);
    out[i] = p.x_factor * y + x;
    out[count + i] = y;
    out[2 * count + i] = p.b_factor * y + b;
  }
}

}  // namespace

void DequantizeCoefficientsScalar(const VarblockDequantParams& params,
                                  size_t count, const float* const table[3],
                                  const void* const q[3],
                                  CoefficientWidth width, float* out) {
  if (width == CoefficientWidth::Bits16) {
    const int16_t* const q16[3] = {static_cast<const int16_t*>(q[0]),
                                   static_cast<const int16_t*>(q[1]),
                                   static_cast<const int16_t*>(q[2])};
    Dequantize(params, count, table, q16, out);
  } else {
    const int32_t* const q32[3] = {static_cast<const int32_t*>(q[0]),
                                   static_cast<const int32_t*>(q[1]),
                                   static_cast<const int32_t*>(q[2])};
    Dequantize(params, count, table, q32, out);
  }
}

}  // namespace qov
