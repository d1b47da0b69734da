// Block sources of VarDCT group decoding: GetBlock hands out the quantised
// coefficients of one varblock at a time; GetBlockFromBitstream reads them
// from the entropy-coded AC streams of a group, one per pass, and adds each
// pass's values, shifted by the pass's shift, to the caller's storage.
#ifndef QOV_LIB_VARDCT_BLOCK_READER_H_
#define QOV_LIB_VARDCT_BLOCK_READER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/image.h"
#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/entropy_code.h"
#include "lib/bitstream/frame_header.h"
#include "lib/bitstream/symbol_reader.h"
#include "lib/vardct/ac_image.h"
#include "lib/vardct/block_ctx_map.h"
#include "lib/vardct/varblock.h"

namespace qov {

// Contexts of one histogram set per block context: 37 count buckets first
// (for all block contexts), then 458 zero-density contexts per block
// context. Context maps carry this many zero entries more, so that the
// zero-density index of an over-long count stays inside the map.
inline constexpr size_t kNumCountContexts = 37;
inline constexpr size_t kZeroDensityContexts = 458;
inline constexpr size_t kAcContextMapPadding = 16;
// Count samples per channel and pass: one per block of a 32 x 32 group.
inline constexpr size_t kGroupDimInBlocks = 32;

class GetBlock {
 public:
  virtual ~GetBlock() = default;
  // Prepares block row `by` of the group (0 <= by < ysize).
  virtual void BeginBlockRow(size_t by) = 0;
  // Adds the coefficients of the varblock of `kind` whose top-left block is
  // (bx, by) of the group to locations[c] (count entries each, int16_t or
  // int32_t by `width`), for the channels on whose grid it starts.
  virtual Status ReadBlock(size_t bx, size_t by, VarBlockKind kind,
                           size_t count, size_t log2_covered,
                           void* const locations[3], CoefficientWidth width) = 0;
};

// What a bitstream block source reads with, for one call over the passes
// [first pass, first pass + num_passes) of one group. Every pointer starts
// at the call's first pass.
struct BlockSourceParams {
  const uint32_t* pass_shifts = nullptr;
  const uint32_t* orders = nullptr;  // coefficient orders of the first pass
  size_t order_stride = 0;           // entries between passes' orders
  const std::vector<uint8_t>* context_maps = nullptr;  // one per pass
  const EntropyCodeSet* codes = nullptr;               // one per pass
  BitReader* const* readers = nullptr;
  size_t num_passes = 0;  // 0 to 11
  // One 32 x 32 image of non-zero counts per pass, planes X, Y, B, all with
  // the same row stride.
  Image3I* count_images = nullptr;
  const BlockCtxMap* block_ctx_map = nullptr;
  const PlaneI32* raw_quant_field = nullptr;  // one value per block
  const PlaneU8* dc_buckets = nullptr;        // DC bucket per block
  // The group's rectangle in blocks and the channel shifts.
  size_t x0 = 0, y0 = 0, xsize = 0, ysize = 0;
  size_t hshift[3] = {0, 0, 0};
  size_t vshift[3] = {0, 0, 0};
};

class GetBlockFromBitstream final : public GetBlock {
 public:
  explicit GetBlockFromBitstream(const BlockSourceParams& params)
      : p_(params) {}

  // Creates pass i's entropy reader and takes histogram set `selector` of
  // the pass's context map. Failed when the pass's count images do not
  // share one stride or the context map is too short for the set; the
  // reader creation's status otherwise.
  Status InitPass(size_t i, uint32_t selector);

  // True when every pass's entropy reader ended in its initial ANS state.
  bool AllReadersFinal() const;

  void BeginBlockRow(size_t by) override;
  Status ReadBlock(size_t bx, size_t by, VarBlockKind kind, size_t count,
                   size_t log2_covered, void* const locations[3],
                   CoefficientWidth width) override;

 private:
  BlockSourceParams p_;
  SymbolReader readers_[kMaxNumPasses];
  size_t context_offsets_[kMaxNumPasses] = {};
  int32_t* count_rows_[kMaxNumPasses][3] = {};
  int32_t* top_count_rows_[kMaxNumPasses][3] = {};
  size_t count_stride_ = 0;
  const int32_t* qf_row_ = nullptr;
  const uint8_t* dc_bucket_row_ = nullptr;
};

// A block source over coefficients already in memory: per pass, three
// channels of 32-bit values in decoding order, added shifted by the pass's
// shift at a running offset. Only 32-bit locations are served.
class GetBlockFromEncoder final : public GetBlock {
 public:
  // values[p][c] points at pass p's channel c; they outlive the source.
  GetBlockFromEncoder(const int32_t* const (*values)[3], const uint32_t* shifts,
                      size_t num_passes)
      : values_(values), shifts_(shifts), num_passes_(num_passes) {}

  void BeginBlockRow(size_t /*by*/) override {}
  // Failed for 16-bit locations.
  Status ReadBlock(size_t bx, size_t by, VarBlockKind kind, size_t count,
                   size_t log2_covered, void* const locations[3],
                   CoefficientWidth width) override;

 private:
  const int32_t* const (*values_)[3];
  const uint32_t* shifts_;
  size_t num_passes_;
  size_t offset_ = 0;
};

}  // namespace qov

#endif  // QOV_LIB_VARDCT_BLOCK_READER_H_
