// Reversible colour transform: undoing it on three equally sized channels,
// and its row kernel (SIMD, dispatched per row) with the scalar reference.
#ifndef QOV_LIB_MODULAR_RCT_H_
#define QOV_LIB_MODULAR_RCT_H_

#include <cstddef>
#include <cstdint>

#include "lib/base/status.h"
#include "lib/base/task_pool.h"

namespace qov {

class ModularImage;

// Recombines channels b, b+1, b+2 in place: selector = permutation x 7 +
// colour kind. Failed when the three channels do not exist or do not match
// (checked even for selector 0), for a permutation above 5, or when the
// runner fails.
Status UndoRct(ModularImage& image, uint32_t first_channel,
               uint32_t rct_selector, const TaskPool* pool);

// One row of colour kind `kind` (1..6; 0 copies): reads in0/in1/in2[x] for
// x < width and writes out0/out1/out2[x]. Each position's inputs are read
// before its outputs are written, so the out rows may be the in rows in any
// order. Sums wrap modulo 2^32; shifts are arithmetic. No alignment needed;
// nothing past `width` is read or written. RctUndoRowScalar is the reference
// for tests only; UndoRct, which shares its file, is the decoder's entry
// point and runs RctUndoRow.
void RctUndoRow(uint32_t kind, const int32_t* in0, const int32_t* in1,
                const int32_t* in2, int32_t* out0, int32_t* out1,
                int32_t* out2, size_t width);
void RctUndoRowScalar(uint32_t kind, const int32_t* in0, const int32_t* in1,
                      const int32_t* in2, int32_t* out0, int32_t* out1,
                      int32_t* out2, size_t width);

}  // namespace qov

#endif  // QOV_LIB_MODULAR_RCT_H_
