// Dequantisation of one varblock's quantised coefficients (three channels)
// into float coefficients: a bias towards zero for the values -1, 0 and 1,
// the kind's dequantisation table, the block's quantisation step, the X and
// B multipliers and chroma from luma.
#ifndef QOV_LIB_VARDCT_VARBLOCK_DEQUANT_H_
#define QOV_LIB_VARDCT_VARBLOCK_DEQUANT_H_

#include <cstddef>
#include <cstdint>

#include "lib/vardct/ac_image.h"
#include "lib/vardct/dequant_tables.h"
#include "lib/vardct/varblock.h"

namespace qov {

// What one varblock's dequantisation needs besides its coefficients.
struct VarblockDequantParams {
  float inv_global_scale = 64.0f;  // 65536 / global scale
  int32_t quant = 1;               // raw quant field value, >= 1
  float x_mul = 1.0f;              // X and B dequantisation multipliers
  float b_mul = 1.0f;
  float x_factor = 0.0f;  // chroma-from-luma factors of the block's tile
  float b_factor = 0.0f;
  // Quantisation biases X, Y, B and the numerator of the |q| >= 2 branch.
  float biases[4] = {0.94534993f, 0.92994547f, 0.9500649f, 0.145f};
};

// count (a multiple of 64) coefficients per channel: q[c] points at count
// int16_t or int32_t values (by `width`); table holds the kind's X, Y and B
// tables one after the other (count floats each); out receives X, Y, B at
// 0, count and 2 count. With s = inv_global_scale / quant and a(q) = q * bias
// for |q| <= 1, else q - numerator * rcp(q) (the processor's approximate
// reciprocal):
//   Y = a(qY) * (TY * s), X = x_factor * Y + a(qX) * (TX * (x_mul * s)),
//   B = b_factor * Y + a(qB) * (TB * (b_mul * s)),
// with fused multiply-adds on targets that have them.
void DequantizeCoefficients(const VarblockDequantParams& params, size_t count,
                            const float* const table[3],
                            const void* const q[3], CoefficientWidth width,
                            float* out);
// The reference, with an exact division for the reciprocal: results agree
// with the SIMD copies within the reciprocal's precision (relative 1.5 *
// 2^-12 of the numerator term) and the rounding of fused operations.
void DequantizeCoefficientsScalar(const VarblockDequantParams& params,
                                  size_t count, const float* const table[3],
                                  const void* const q[3],
                                  CoefficientWidth width, float* out);

// A whole varblock ready for its inverse transform: DequantizeCoefficients
// with the kind's tables of `tables` (prepared for the kind), then the
// lowest frequencies of each channel c from the DC image at dc_rows[c] +
// block_x[c] (also for a channel on whose grid the block does not lie).
// out: 3 x CoefficientCount(kind) floats; scratch:
// LowFrequencyScratchFloats(kind) floats, 32-byte aligned.
void DequantizeVarblock(const VarblockDequantParams& params, VarBlockKind kind,
                        const DequantTableSet& tables, const void* const q[3],
                        CoefficientWidth width, const size_t block_x[3],
                        const float* const dc_rows[3], size_t dc_stride,
                        float* out, float* scratch);

}  // namespace qov

#endif  // QOV_LIB_VARDCT_VARBLOCK_DEQUANT_H_
