// Row kernels of the noise stages: the 5 x 5 high-pass filter of a noise
// plane and the intensity-dependent addition of filtered noise to X, Y, B.
// Dispatched per row, with scalar references.
#ifndef QOV_LIB_RENDER_NOISE_KERNELS_H_
#define QOV_LIB_RENDER_NOISE_KERNELS_H_

#include <cstddef>

namespace qov {

// out[x] = sum x 0.16 + rows[2][x] x -3.84 for x in [0, count), sum adding
// the 24 neighbours of rows[0..4] column by column (x - 2 .. x + 2, rows 0,
// 1, 3, 4), then row 2 at x - 2, x - 1, x + 1, x + 2. Reads two samples
// before and after the span; writes exactly count samples. Targets with
// fused multiply-add fuse the last step and may differ in the last bit.
void ConvolveNoiseRow(const float* const rows[5], float* out, size_t count);
void ConvolveNoiseRowScalar(const float* const rows[5], float* out,
                            size_t count);

// Adds noise n0, n1, n2 (filtered) to x, y, b over count samples, scaled by
// the strengths lut[0..7] interpolated at (x + y) and (y - x), and spread
// with correlation factors cx and cb. Reads and writes exactly count
// samples. Targets with fused multiply-add fuse the interpolation and the X
// and B updates and may differ in the last bits.
void AddNoiseRow(const float lut[8], float cx, float cb, float* x, float* y,
                 float* b, const float* n0, const float* n1, const float* n2,
                 size_t count);
void AddNoiseRowScalar(const float lut[8], float cx, float cb, float* x,
                       float* y, float* b, const float* n0, const float* n1,
                       const float* n2, size_t count);

}  // namespace qov

#endif  // QOV_LIB_RENDER_NOISE_KERNELS_H_
