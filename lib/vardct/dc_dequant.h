// DC dequantisation of one DC group: the integer DC of the three channels
// becomes the frame's float DC image (with chroma from luma when no channel
// is subsampled), and every block gets its DC bucket for the block
// contexts.
#ifndef QOV_LIB_VARDCT_DC_DEQUANT_H_
#define QOV_LIB_VARDCT_DC_DEQUANT_H_

#include <cstddef>
#include <cstdint>

#include "lib/base/image.h"
#include "lib/bitstream/frame_header.h"
#include "lib/vardct/block_ctx_map.h"

namespace qov {

// The decoded integer DC of a DC group: channel 0 carries Y, 1 X, 2 B; the
// channel that carries plane p is (xsize >> hs(p)) x (ysize >> vs(p)).
struct DcGroupChannels {
  const int32_t* rows[3] = {nullptr, nullptr, nullptr};  // row 0 per channel
  size_t stride[3] = {0, 0, 0};                          // in samples
};

// Dequantises the rectangle `rect` (in blocks) of the DC image and fills the
// same rectangle of `dc_buckets`. mul: the quantizer's DC multipliers (X, Y,
// B); extra_precision: 2^-n; cfl_dc: the chroma-from-luma DC factors (X at
// 0, B at 2). Inputs are trusted: the rectangle lies inside both planes and
// the channels have the sizes above. Cannot fail.
void DequantizeDcRows(const PixelRect& rect, Image3F* dc, PlaneU8* dc_buckets,
                      const DcGroupChannels& in, const float mul[3],
                      float extra_precision, const float cfl_dc[3],
                      const YCbCrChromaSubsampling& cs,
                      const BlockCtxMap& block_ctx_map);

// One row, no subsampling: y = qy f[1], x = cfl_x y + qx f[0],
// b = cfl_b y + qb f[2]; fused multiply-adds on targets that have them.
// Exactly xsize samples are read and written.
void DequantizeDcRow(const int32_t* qy, const int32_t* qx, const int32_t* qb,
                     size_t xsize, const float f[3], float cfl_x, float cfl_b,
                     float* y, float* x, float* b);
void DequantizeDcRowScalar(const int32_t* qy, const int32_t* qx,
                           const int32_t* qb, size_t xsize, const float f[3],
                           float cfl_x, float cfl_b, float* y, float* x,
                           float* b);
// One row of one plane: out = q * f (identical on every target).
void ScaleDcRow(const int32_t* q, size_t xsize, float f, float* out);
void ScaleDcRowScalar(const int32_t* q, size_t xsize, float f, float* out);

}  // namespace qov

#endif  // QOV_LIB_VARDCT_DC_DEQUANT_H_
