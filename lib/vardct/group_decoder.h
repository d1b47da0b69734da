// Decoding of one VarDCT AC group: the quantised coefficients of every pass
// are read varblock by varblock (and added up in the frame's AC store when
// the frame has several passes); when the group is drawn, each varblock is
// dequantised, completed from the DC image and inverse-transformed into the
// group's render input planes, or, when a JPEG file is rebuilt, written as
// quantised 8x8 blocks into the JPEG components. A group for which no pass
// was read can be drawn from its DC samples alone, enlarged 8 times.
#ifndef QOV_LIB_VARDCT_GROUP_DECODER_H_
#define QOV_LIB_VARDCT_GROUP_DECODER_H_

#include <cstddef>
#include <cstdint>

#include "lib/base/image.h"
#include "lib/base/memory.h"
#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/frame_header.h"
#include "lib/vardct/block_reader.h"
#include "qov/qov.h"

namespace qov {

class FrameDecodingState;
class GroupRenderInput;
namespace jpeg {
class JPEGData;
}  // namespace jpeg

// Every buffer one worker needs to decode VarDCT groups; reused for every
// group the worker decodes, so that a group allocates nothing once the
// scratch has reached the frame's largest varblock.
struct alignas(64) GroupDecodeScratch {
  // Width and height of the DC border plane of the DC-only path.
  static constexpr uint32_t kDcBorderWidth = 96;
  static constexpr uint32_t kDcBorderHeight = 36;

  GroupDecodeScratch() = default;
  GroupDecodeScratch(GroupDecodeScratch&&) noexcept = default;
  GroupDecodeScratch& operator=(GroupDecodeScratch&&) noexcept = default;
  ~GroupDecodeScratch() = default;

  // Allocates the count images of pass slots below num_passes that have
  // none, and grows the coefficient blocks to the largest varblock of
  // used_kinds (bit k: VarBlockKind k). Failed on an allocation failure
  // (capacity unchanged) or num_passes above the pass limit.
  Status EnsureSized(const QovMemoryManagerStruct* manager, size_t num_passes,
                     uint32_t used_kinds);
  // Allocates the 96 x 36 DC border plane on first use.
  Status EnsureDcBorderBuffer(const QovMemoryManagerStruct* manager);

  // Dequantised coefficients: channel c at c * (varblock count).
  float* dequantized = nullptr;
  // Quantised coefficients when the frame keeps no AC store.
  int32_t* quantized32 = nullptr;
  int16_t* quantized16 = nullptr;
  // Work area of dequantisation, low frequencies and inverse transforms:
  // 4 * capacity floats.
  float* transform_scratch = nullptr;
  // Per pass slot: non-zero counts of the group's blocks, per channel.
  Image3I nonzero_counts[kMaxNumPasses];
  PlaneF dc_border;
  AlignedBlock float_block;  // 28 bytes per coefficient
  AlignedBlock block32;      // 12 bytes per coefficient
  AlignedBlock block16;      // 6 bytes per coefficient
  // Coefficients per channel the blocks provide for; only grows.
  size_t capacity = 0;
};

// Decodes AC group `group_index` for the passes [first_pass, first_pass +
// num_passes), readers[i] reading pass first_pass + i from its section
// start. The group is drawn (written to `input`'s planes, or to `jpeg_data`'s
// components when not null) when first_pass + num_passes is the frame's
// pass count or force_draw is set; the decision goes to *should_draw (when
// not null) before anything can fail. With first_pass = 0, num_passes = 0
// and a draw, the group is drawn from the DC image through the state's 8x
// upsampler. draw_only: read nothing (num_passes must be 0) and draw what
// the AC store holds. `scratch` must have been sized by EnsureSized for the
// frame. Failed (no text) for malformed data: a histogram selector out of
// range, a stream that does not end in its final state, coefficient counts
// the reader rejects, a group or varblock outside the frame's records, a
// store-only call without an AC store; the reader's and the upsampler's
// statuses are returned as they are. Nothing is rolled back.
Status DecodeVarDctGroup(const FrameHeader& header, BitReader* const* readers,
                         size_t num_passes, size_t group_index,
                         FrameDecodingState* state, GroupDecodeScratch* scratch,
                         size_t thread_id, GroupRenderInput* input,
                         jpeg::JPEGData* jpeg_data, size_t first_pass, bool force_draw,
                         bool draw_only, bool* should_draw);

// The block loop of DecodeVarDctGroup over an already prepared block
// source: reads every varblock of the group and, unless store_only, draws
// it (pixels into `input`, or JPEG blocks into `jpeg_data`).
Status DecodeVarDctGroupBody(const FrameHeader& header, GetBlock* source,
                             GroupDecodeScratch* scratch,
                             FrameDecodingState* state, size_t thread_id,
                             size_t group_index, GroupRenderInput* input,
                             jpeg::JPEGData* jpeg_data, bool store_only);

}  // namespace qov

#endif  // QOV_LIB_VARDCT_GROUP_DECODER_H_
