// Row conversions of modular output: integer samples scaled to float (one
// SIMD copy per target), and samples of a custom floating-point format
// rebuilt bit-exactly as binary32.
#ifndef QOV_LIB_MODULAR_MODULAR_OUTPUT_H_
#define QOV_LIB_MODULAR_MODULAR_OUTPUT_H_

#include <cstddef>
#include <cstdint>

#include "lib/base/status.h"

namespace qov {

// out[x] = float(in[x]) * factor for x < count.
void ScaleIntRow(size_t count, const int32_t* in, float factor, float* out);
// The same value written to three rows.
void ScaleIntRowToRgb(size_t count, const int32_t* in, float factor,
                      float* out0, float* out1, float* out2);
// out[x] = float(in[x] + in_y[x]) * factor, the 32-bit sum formed first
// (wrapping).
void ScaleIntSumRow(size_t count, const int32_t* in, const int32_t* in_y,
                    float factor, float* out);

// Scalar references of the kernels above (same results), for tests only:
// the decoder calls the dispatched copies.
void ScaleIntRowScalar(size_t count, const int32_t* in, float factor,
                       float* out);
void ScaleIntSumRowScalar(size_t count, const int32_t* in, const int32_t* in_y,
                          float factor, float* out);

// The decoder's scalar code, beside those references in the scalar file.
// The deep-sample path: out[x] = float(double(in[x]) * factor).
void ScaleIntRowDouble(size_t count, const int32_t* in, double factor,
                       float* out);

// Rebuilds `count` samples of `bits` bits (sign, exp_bits exponent bits,
// the rest mantissa, in the low bits of each sample) as binary32. bits 32
// needs exp_bits 8 and copies the bit patterns. Failed for bits 32 with
// another exponent width, for formats outside 2 <= bits <= 32,
// 1 <= exp_bits <= 8, 0 <= mantissa bits <= 23, and for a value whose
// exponent falls below the binary32 range.
Status ConvertIntSampleToFloat(const int32_t* in, float* out, uint64_t count,
                               int32_t bits, int32_t exp_bits);

}  // namespace qov

#endif  // QOV_LIB_MODULAR_MODULAR_OUTPUT_H_
