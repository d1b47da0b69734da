// The per-block inverse sigma of the edge-preserving filter for VarDCT
// frames, from each block's quantisation and sharpness.
#ifndef QOV_LIB_RENDER_EPF_INVERSE_SIGMA_H_
#define QOV_LIB_RENDER_EPF_INVERSE_SIGMA_H_

#include "lib/base/image.h"
#include "lib/base/status.h"
#include "lib/bitstream/frame_header.h"

namespace qov {

class FrameDecodingState;

// -1.1715729 / sigma for a sigma of 1; a modular frame's value is this over
// its sigma.
inline constexpr float kEpfInverseSigmaNumerator = -1.1715729f;

// Fills state->epf_inverse_sigma (block (X, Y) at column X + 2, row Y + 2)
// for every varblock whose top-left block lies in `blocks` (a rectangle in
// 8 x 8 blocks): each covered block gets 1 / min(sharpness_lut[its
// sharpness] x q, -0.0001), q = quant_mul / ((quant of the varblock x global
// scale / 65536) x -1.1715729); varblocks at the frame's edges also fill the
// mirrored ring just outside it, corners included. Failed when the filter
// has no steps (nothing written), and for input that would reach outside
// the planes: a rectangle beyond the frame, planes smaller than the frame, a
// placed kind outside the kind table, a varblock past the frame's edge or a
// sharpness above 7.
Status FillEpfInverseSigma(const LoopFilter& filter, const PixelRect& blocks,
                           FrameDecodingState* state);

}  // namespace qov

#endif  // QOV_LIB_RENDER_EPF_INVERSE_SIGMA_H_
