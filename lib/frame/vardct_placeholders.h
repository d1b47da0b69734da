// The VarDCT records that the frame decoding state holds, and a minimal
// stand-in for the one still being built (the group decoding scratch). The
// section content seam declines VarDCT sections until group decoding exists.
#ifndef QOV_LIB_FRAME_VARDCT_PLACEHOLDERS_H_
#define QOV_LIB_FRAME_VARDCT_PLACEHOLDERS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/image.h"
#include "lib/base/status.h"
#include "lib/base/task_pool.h"
#include "lib/vardct/ac_image.h"
#include "lib/vardct/block_ctx_map.h"
#include "lib/vardct/chroma_from_luma.h"
#include "lib/vardct/coefficient_order.h"
#include "lib/vardct/dc_smoothing.h"
#include "lib/vardct/dequant_tables.h"
#include "lib/vardct/quantizer.h"
#include "qov/qov.h"

namespace qov {

// Per-thread (or per-group) scratch of VarDCT group decoding.
struct alignas(64) GroupDecodeScratch {
  uint64_t passes_sized = 0;
};

}  // namespace qov

#endif  // QOV_LIB_FRAME_VARDCT_PLACEHOLDERS_H_
