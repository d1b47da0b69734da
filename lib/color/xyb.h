// XYB to linear RGB: the row kernel (SIMD, dispatched per row) with its
// scalar reference, and the whole-image conversion of a rectangle.
#ifndef QOV_LIB_COLOR_XYB_H_
#define QOV_LIB_COLOR_XYB_H_

#include <cstddef>
#include <cstdint>

#include "lib/base/image.h"
#include "lib/base/status.h"
#include "lib/base/task_pool.h"
#include "lib/color/output_color.h"

namespace qov {

// One row of xsize samples: with gr = x + y - c0, gg = y - x - c1,
// gb = b - c2 and m* = g*^3 + bias*, out = M (mr, mg, mb) (each row of M a
// sum m2 mb + (m1 mg + m0 mr)). Reads and writes exactly xsize samples of
// each row; outputs may not alias inputs. No alignment needed. Targets with
// fused multiply-add may differ from the scalar version in the last bits of
// the matrix terms (within 1e-5 x max(1, |result|) for XYB inputs).
void OpsinToLinearRow(const float* x, const float* y, const float* b,
                      size_t xsize, const OpsinParams& params, float* out_r,
                      float* out_g, float* out_b);
void OpsinToLinearRowScalar(const float* x, const float* y, const float* b,
                            size_t xsize, const OpsinParams& params,
                            float* out_r, float* out_g, float* out_b);

// Converts `rect` of the XYB image (planes X, Y, B) into `linear` (planes
// R, G, B), whose size must equal the rectangle's; rows are spread over
// the pool. Failed for a size mismatch, a rectangle outside the input, or a
// failing runner.
Status OpsinToLinearImage(const Image3F& xyb, const PixelRect& rect,
                          const TaskPool* pool, Image3F* linear,
                          const OpsinParams& params);

}  // namespace qov

#endif  // QOV_LIB_COLOR_XYB_H_
