// Inverse sigma per block of a VarDCT frame.
#include "lib/render/epf_inverse_sigma.h"

#include <algorithm>
#include <cstdint>

#include "lib/frame/frame_decoding_state.h"
#include "lib/vardct/varblock.h"

namespace qov {

namespace {

// Largest sigma (sigma is negative here): smaller magnitudes are raised to
// it, which also keeps a zero sharpness away from a division by zero.
constexpr float kMaxSigma = -0.0001f;

}  // namespace

Status FillEpfInverseSigma(const LoopFilter& filter, const PixelRect& blocks,
                           FrameDecodingState* state) {
  if (filter.epf_iters == 0 || state == nullptr) return FailedStatus();
  if (blocks.xsize == 0 || blocks.ysize == 0) return OkStatus();
  const uint64_t xblocks = state->frame_geometry.xsize_blocks;
  const uint64_t yblocks = state->frame_geometry.ysize_blocks;
  if (blocks.x0 > xblocks || blocks.xsize > xblocks - blocks.x0 ||
      blocks.y0 > yblocks || blocks.ysize > yblocks - blocks.y0) {
    return FailedStatus();
  }
  PlaneF& sigma = state->epf_inverse_sigma;
  const BytePlaneView& kinds = state->varblock_kinds;
  if (sigma.xsize() < xblocks + 4 || sigma.ysize() < yblocks + 4 ||
      kinds.plane.xsize() < xblocks || kinds.plane.ysize() < yblocks ||
      state->raw_quant_field.xsize() < xblocks ||
      state->raw_quant_field.ysize() < yblocks ||
      state->epf_sharpness.xsize() < xblocks ||
      state->epf_sharpness.ysize() < yblocks) {
    return FailedStatus();
  }
  const float scale = state->quantizer.global_scale_fraction;
  // Block (x, y) of the frame, x and y from -1.
  auto entry = [&](int64_t x, int64_t y) -> float& {
    return sigma.Row(static_cast<size_t>(y + 2))[x + 2];
  };
  for (uint64_t y = blocks.y0; y < blocks.y0 + blocks.ysize; ++y) {
    const uint8_t* kind_row = kinds.Row(y);
    for (uint64_t x = blocks.x0; x < blocks.x0 + blocks.xsize; ++x) {
      const uint8_t code = kind_row[x];
      if ((code & 1) == 0) continue;
      const size_t kind = code >> 1;
      if (kind >= kNumVarBlockKinds) return FailedStatus();
      const uint64_t cx = kVarBlockCoveredX[kind];
      const uint64_t cy = kVarBlockCoveredY[kind];
      if (x + cx > xblocks || y + cy > yblocks) return FailedStatus();
      const float quant =
          static_cast<float>(state->raw_quant_field.ConstRow(y)[x]);
      const float q = filter.epf_quant_mul /
                      ((quant * scale) * kEpfInverseSigmaNumerator);
      for (uint64_t iy = 0; iy < cy; ++iy) {
        const uint8_t* sharp_row = state->epf_sharpness.ConstRow(y + iy);
        for (uint64_t ix = 0; ix < cx; ++ix) {
          const uint8_t sharpness = sharp_row[x + ix];
          if (sharpness > 7) return FailedStatus();
          const float s =
              std::min(filter.epf_sharp_lut[sharpness] * q, kMaxSigma);
          entry(x + ix, y + iy) = 1.0f / s;
        }
      }
      const int64_t bx = static_cast<int64_t>(x);
      const int64_t by = static_cast<int64_t>(y);
      const int64_t bcx = static_cast<int64_t>(cx);
      const int64_t bcy = static_cast<int64_t>(cy);
      const bool left = x == 0;
      const bool right = x + cx == xblocks;
      for (int64_t iy = 0; iy < bcy; ++iy) {
        if (left) entry(-1, by + iy) = entry(0, by + iy);
        if (right) entry(bx + bcx, by + iy) = entry(bx + bcx - 1, by + iy);
      }
      const int64_t span_begin = left ? -1 : bx;
      const int64_t span_end = right ? bx + bcx : bx + bcx - 1;  // inclusive
      if (y == 0) {
        for (int64_t ix = span_begin; ix <= span_end; ++ix) {
          entry(ix, -1) = entry(ix, 0);
        }
      }
      if (y + cy == yblocks) {
        for (int64_t ix = span_begin; ix <= span_end; ++ix) {
          entry(ix, by + bcy) = entry(ix, by + bcy - 1);
        }
      }
    }
  }
  return OkStatus();
}

}  // namespace qov
