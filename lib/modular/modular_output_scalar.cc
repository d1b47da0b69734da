// Scalar row conversions of modular output: the references of the SIMD
// kernels, the double-precision path of deep samples and the rebuilding of
// custom floating-point samples.
#include <cstring>

#include "lib/modular/modular_output.h"

namespace qov {

void ScaleIntRowScalar(size_t count, const int32_t* in, float factor,
                       float* out) {
  for (size_t x = 0; x < count; ++x) out[x] = static_cast<float>(in[x]) * factor;
}

void ScaleIntSumRowScalar(size_t count, const int32_t* in, const int32_t* in_y,
                          float factor, float* out) {
  for (size_t x = 0; x < count; ++x) {
    const int32_t sum = static_cast<int32_t>(static_cast<uint32_t>(in[x]) +
                                             static_cast<uint32_t>(in_y[x]));
    out[x] = static_cast<float>(sum) * factor;
  }
}

void ScaleIntRowDouble(size_t count, const int32_t* in, double factor,
                       float* out) {
  for (size_t x = 0; x < count; ++x) {
    out[x] = static_cast<float>(static_cast<double>(in[x]) * factor);
  }
}

Status ConvertIntSampleToFloat(const int32_t* in, float* out, uint64_t count,
                               int32_t bits, int32_t exp_bits) {
  if (bits == 32) {
    if (exp_bits != 8) return FailedStatus();
    if (count != 0) std::memcpy(out, in, count * sizeof(float));
    return OkStatus();
  }
  const int32_t mantissa_bits = bits - exp_bits - 1;
  if (bits < 2 || bits > 32 || exp_bits < 1 || exp_bits > 8 ||
      mantissa_bits < 0 || mantissa_bits > 23) {
    return FailedStatus();
  }
  const uint32_t magnitude_mask = (uint32_t{1} << (bits - 1)) - 1;
  const uint32_t mantissa_mask = (uint32_t{1} << mantissa_bits) - 1;
  const uint32_t exp_all_ones = (uint32_t{1} << exp_bits) - 1;
  const int32_t bias = (1 << (exp_bits - 1)) - 1;
  for (uint64_t i = 0; i < count; ++i) {
    const uint32_t v = static_cast<uint32_t>(in[i]);
    const uint32_t sign = (v >> (bits - 1)) != 0 ? 0x80000000u : 0u;
    const uint32_t a = v & magnitude_mask;
    uint32_t result;
    if (a == 0) {
      result = sign;
    } else {
      int32_t e = static_cast<int32_t>(a >> mantissa_bits);
      uint32_t f = (a & mantissa_mask) << (23 - mantissa_bits);
      if (static_cast<uint32_t>(e) == exp_all_ones) {
        result = sign | (uint32_t{255} << 23) | f;
      } else {
        if (exp_bits <= 7 && e == 0) {
          // Subnormal in the source format: normalise.
          e = 1;
          while ((f & (uint32_t{1} << 23)) == 0) {
            f <<= 1;
            --e;
          }
          f &= ~(uint32_t{1} << 23);
        }
        const int32_t exponent = e - bias;
        if (exponent < -127) return FailedStatus();
        result = sign | (static_cast<uint32_t>(exponent + 127) << 23) | f;
      }
    }
    std::memcpy(&out[i], &result, sizeof(float));
  }
  return OkStatus();
}

}  // namespace qov
