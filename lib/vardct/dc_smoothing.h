// Adaptive smoothing of a VarDCT frame's DC image: each interior sample is
// pulled towards a weighted average of its 3 x 3 neighbourhood, as far as
// the change stays small against each channel's DC quantisation step.
#ifndef QOV_LIB_VARDCT_DC_SMOOTHING_H_
#define QOV_LIB_VARDCT_DC_SMOOTHING_H_

#include <cstddef>

#include "lib/base/image.h"
#include "lib/base/status.h"
#include "lib/base/task_pool.h"
#include "qov/qov.h"

namespace qov {

// Smooths the whole DC image (planes X, Y, B at the size of plane 0) with
// the DC multipliers (X, Y, B) as quantisation steps. Images of fewer than
// three rows or columns stay unchanged. Failed when the scratch image cannot
// be allocated or the pool fails; the DC image is then unchanged.
Status SmoothDcImage(const QovMemoryManagerStruct* memory_manager,
                     const float dc_mul[3], Image3F* dc, const TaskPool* pool);

// One interior row: rows[p][0..2] are the rows above, at and below it of
// plane p (xsize samples each, xsize >= 3); out[p] receives the row, its
// first and last samples copied. Fused multiply-adds where the target has
// them; the scalar version multiplies and adds separately.
void SmoothDcRow(const float* const rows[3][3], size_t xsize,
                 const float dc_mul[3], float* const out[3]);
void SmoothDcRowScalar(const float* const rows[3][3], size_t xsize,
                       const float dc_mul[3], float* const out[3]);

}  // namespace qov

#endif  // QOV_LIB_VARDCT_DC_SMOOTHING_H_
