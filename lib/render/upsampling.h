// Row kernel of the upsampling stage: every input sample becomes an N x N
// square (N = 2, 4, 8), each output a 5 x 5 weighted sum of the input
// neighbourhood clamped to that neighbourhood's range. Dispatched per row,
// with a scalar reference.
#ifndef QOV_LIB_RENDER_UPSAMPLING_H_
#define QOV_LIB_RENDER_UPSAMPLING_H_

#include <cstddef>

namespace qov {

// Input pixels handled per pass over the scratch blocks.
inline constexpr size_t kUpsampleChunk = 1024;
// Floats in each of the three scratch blocks: one chunk plus the column
// slack of the widest vector.
inline constexpr size_t kUpsampleScratchFloats = 1032;

// kernel: N * N * 25 weights, ((py * N + px) * 5 + ky) * 5 + kx for output
// phase (px, py) and input offset (kx - 2, ky - 2); N = 1 << shift, shift
// 1 to 3. rows[d]: column 0 of input row d - 2; columns -2 .. xsize + 1 are
// valid, the SIMD copies read up to column xsize + 8 (never influencing the
// row's outputs). out[py]: column 0 of output row py, written for
// N * xsize samples rounded up to N whole vectors of 4 or 8 input pixels
// (up to 7 * N samples past the end). scratch: three blocks of
// kUpsampleScratchFloats floats, overwritten.
// Each sum adds, per kernel row ky, the five products of kx = 0..4 in order,
// then the five row sums in order; targets with fused multiply-add fuse
// each product with its addition and may differ in the last bits.
void UpsampleRow(const float* kernel, size_t shift, const float* const rows[5],
                 float* const* out, size_t xsize, float* const scratch[3]);
// Writes exactly N * xsize samples per output row; no scratch.
void UpsampleRowScalar(const float* kernel, size_t shift,
                       const float* const rows[5], float* const* out,
                       size_t xsize);

}  // namespace qov

#endif  // QOV_LIB_RENDER_UPSAMPLING_H_
