// Row kernels of the chroma upsampling stages: doubling a channel
// horizontally or vertically by interpolating each sample with its nearest
// neighbour, weights 3/4 and 1/4. Dispatched per row, with scalar
// references.
#ifndef QOV_LIB_RENDER_CHROMA_UPSAMPLING_H_
#define QOV_LIB_RENDER_CHROMA_UPSAMPLING_H_

#include <cstddef>

namespace qov {

// Widest vector of the chroma kernels, in floats.
inline constexpr size_t kChromaMaxLanes = 8;

// out[2x] = 0.25 in[x-1] + 0.75 in[x], out[2x+1] = 0.25 in[x+1] + 0.75 in[x]
// for x in [-extra_left, xsize + extra_right); 0.75 in[x] is computed once.
// in and out address column 0. The SIMD copies work in whole vectors of L
// floats (4 or 8) starting at x = -L * ceil(extra_left / L): they read one
// column beyond each end of the vectors and write their outputs, up to
// L - 1 input positions beyond each end of the range. Targets with fused
// multiply-add fuse the neighbour's product with the addition.
void ChromaUpsampleHorizontalRow(const float* in, float* out,
                                 size_t extra_left, size_t extra_right,
                                 size_t xsize);
// Exactly the range, no more.
void ChromaUpsampleHorizontalRowScalar(const float* in, float* out,
                                       size_t extra_left, size_t extra_right,
                                       size_t xsize);

// upper[x] = 0.25 up[x] + 0.75 mid[x], lower[x] = 0.25 down[x] + 0.75 mid[x]
// over the same range and with the same vector rounding as above.
void ChromaUpsampleVerticalRow(const float* up, const float* mid,
                               const float* down, float* upper, float* lower,
                               size_t extra_left, size_t extra_right,
                               size_t xsize);
void ChromaUpsampleVerticalRowScalar(const float* up, const float* mid,
                                     const float* down, float* upper,
                                     float* lower, size_t extra_left,
                                     size_t extra_right, size_t xsize);

}  // namespace qov

#endif  // QOV_LIB_RENDER_CHROMA_UPSAMPLING_H_
