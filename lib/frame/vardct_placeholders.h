// The VarDCT records that the frame decoding state holds, and minimal
// stand-ins for what group decoding (being built) provides: the group
// decoding scratch and the group decoder, which declines every group until
// it exists. The AC-group section decoder calls exactly these two.
#ifndef QOV_LIB_FRAME_VARDCT_PLACEHOLDERS_H_
#define QOV_LIB_FRAME_VARDCT_PLACEHOLDERS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/image.h"
#include "lib/base/status.h"
#include "lib/base/task_pool.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/vardct/ac_image.h"
#include "lib/vardct/block_ctx_map.h"
#include "lib/vardct/chroma_from_luma.h"
#include "lib/vardct/coefficient_order.h"
#include "lib/vardct/dc_smoothing.h"
#include "lib/vardct/dequant_tables.h"
#include "lib/vardct/quantizer.h"
#include "qov/qov.h"

namespace qov {

class FrameDecodingState;
class FrameHeader;
class GroupRenderInput;
namespace jpeg {
class JPEGData;
}  // namespace jpeg

// Per-thread (or per-group) scratch of VarDCT group decoding.
struct alignas(64) GroupDecodeScratch {
  uint64_t passes_sized = 0;

  // Prepares the scratch for a frame of `num_passes` passes and these
  // varblock kinds.
  Status EnsureSized(const QovMemoryManagerStruct* /*manager*/,
                     uint64_t num_passes, uint32_t /*used_kinds*/) {
    if (num_passes > passes_sized) passes_sized = num_passes;
    return OkStatus();
  }
};

// Decodes passes first_pass .. first_pass + num_passes - 1 of AC group
// `group` of a VarDCT frame into `input` (or `jpeg`) and tells through
// `should_draw` whether the group may be handed to the pipeline. Declines
// (Failed) until group decoding exists.
inline Status DecodeVarDctGroup(const FrameHeader& /*header*/,
                                BitReader* const* /*readers*/,
                                size_t /*num_passes*/, uint64_t /*group*/,
                                FrameDecodingState* /*state*/,
                                GroupDecodeScratch* /*scratch*/,
                                uint64_t /*thread*/,
                                GroupRenderInput* /*input*/,
                                jpeg::JPEGData* /*jpeg*/,
                                uint64_t /*first_pass*/, bool /*force_draw*/,
                                bool /*dc_only*/, bool* should_draw) {
  if (should_draw != nullptr) *should_draw = false;
  return FailedStatus();
}

}  // namespace qov

#endif  // QOV_LIB_FRAME_VARDCT_PLACEHOLDERS_H_
