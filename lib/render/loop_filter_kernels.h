// Row kernels of the loop-filter stages: the 3 x 3 Gaborish smoothing and
// the three edge-preserving filter steps. Dispatched per row, with scalar
// references in the documented operation order.
//
// Column 0 of every row pointer is the first sample of the span. The SIMD
// copies work in whole vectors of at most 8 lanes from column -extra_left
// rounded down to a multiple of the lane count, up to `end` rounded up: they
// write up to 7 samples beyond both ends and read the filter's border
// beyond that. The scalar copies write exactly [-extra_left, end).
//
// GaborishRowScalar and EpfRowScalar serve tests only; MakeGaborishWeights,
// in the same scalar file, is called by the Gaborish stage.
#ifndef QOV_LIB_RENDER_LOOP_FILTER_KERNELS_H_
#define QOV_LIB_RENDER_LOOP_FILTER_KERNELS_H_

#include <cstddef>

namespace qov {

// Normalised weights of one channel.
struct GaborishWeights {
  float centre = 1.0f;
  float direct = 0.0f;
  float diagonal = 0.0f;
};

// Normalises w1 (direct neighbours) and w2 (diagonal neighbours).
GaborishWeights MakeGaborishWeights(float w1, float w2);

// rows[0..2]: rows -1, 0, +1. out[x] = centre in[0][x] + direct ((up + down)
// + (left + right)) + diagonal ((down-left + down-right) + (up-left +
// up-right)); targets with fused multiply-add fuse the last two products.
void GaborishRow(const GaborishWeights& w, const float* const rows[3],
                 float* out, size_t extra_left, size_t end);
void GaborishRowScalar(const GaborishWeights& w, const float* const rows[3],
                       float* out, size_t extra_left, size_t end);

// Inverse sigmas below this are blocks the filter leaves unchanged.
inline constexpr float kEpfMinInverseSigma = -3.905243f;

// One row of one filter step over the three colour channels.
struct EpfRowArgs {
  // Per channel, 2 * border + 1 input rows (border 3, 2, 1 for steps 0, 1,
  // 2), entry `border` being the current row.
  const float* const* rows[3] = {};
  float* out[3] = {};
  // The inverse-sigma row of the current block row; column x of the span
  // uses entry (xpos + x + 16) / 8.
  const float* sigma_row = nullptr;
  size_t xpos = 0;  // frame column of column 0; a multiple of 8
  size_t extra_left = 0;
  size_t end = 0;  // xsize + extra_right
  // Step multiplier per column of a block ((xpos + x) mod 8): the edge
  // multiplier everywhere in a block's first and last row, else in its
  // first and last column only.
  float multipliers[8] = {};
  float channel_weights[3] = {};
};

// step 0: 12 neighbours within distance 2, plus-patch distance; step 1: the
// 4 direct neighbours, plus-patch distance; step 2: the 4 direct
// neighbours, sample distance. Targets with fused multiply-add fuse the
// distance weighting and the weighted sums.
void EpfRow(int step, const EpfRowArgs& args);
void EpfRowScalar(int step, const EpfRowArgs& args);

}  // namespace qov

#endif  // QOV_LIB_RENDER_LOOP_FILTER_KERNELS_H_
