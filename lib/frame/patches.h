// Patches: rectangles of stored reference frames drawn onto the current
// frame. The dictionary decodes their description, indexes the rows they
// cover and blends them into rows for the render stage.
#ifndef QOV_LIB_FRAME_PATCHES_H_
#define QOV_LIB_FRAME_PATCHES_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/render/compositing.h"
#include "qov/qov.h"

namespace qov {

struct ReferenceFrameSlot;

// A rectangle of the frame stored in reference slot `slot`.
struct PatchSource {
  uint64_t slot = 0;
  uint64_t x0 = 0;
  uint64_t y0 = 0;
  uint64_t xsize = 0;  // >= 1
  uint64_t ysize = 0;  // >= 1
};

// One drawing of a source: its top-left corner lands at (x, y).
struct PatchPlacement {
  uint64_t x = 0;
  uint64_t y = 0;
  uint64_t source = 0;  // index into the source list
};

// A node of the row index: an interval tree over the placements' row ranges
// [y, y + ysize). A node holds the placements containing its centre row.
struct PatchRowNode {
  int64_t left = -1;   // placements ending at or before the centre
  int64_t right = -1;  // placements starting after the centre
  uint64_t centre = 0;
  uint64_t start = 0;  // of the node's entries in both lists
  uint64_t count = 0;
};

// A row coordinate with the placement it belongs to.
struct PatchRowEntry {
  uint64_t row = 0;
  uint64_t placement = 0;
};

class PatchDictionary {
 public:
  explicit PatchDictionary(const QovMemoryManagerStruct* manager)
      : memory_manager_(manager) {}

  // The four reference slots that sources name (set for every frame).
  void SetReferenceSlots(const ReferenceFrameSlot* slots) { slots_ = slots; }
  const ReferenceFrameSlot* reference_slots() const { return slots_; }
  const QovMemoryManagerStruct* memory_manager() const {
    return memory_manager_;
  }

  // Reads the patch description of a frame of width x height (padded) in an
  // image with `num_extra_channels`, then builds the row index. Every source
  // must name a non-empty slot stored before the colour transform and lie
  // inside it; every placement must lie inside the frame. Counts are capped
  // with L = W H / 4 + 1024: at most L sources, 4L placements, 16L blend
  // records reserved; and the placements cover at most 16 W H + 2^20
  // pixels in all (the decoder's own bound on the drawing work). Failed on
  // any violation, a wrong final ANS state or input that ended early; the
  // entropy code reader's status is passed on.
  Status Decode(const QovMemoryManagerStruct* manager, BitReader& reader,
                uint64_t width, uint64_t height, uint64_t num_extra_channels);

  // Empties sources, placements, blends and the row index.
  void Clear();
  // Replaces the contents and rebuilds the row index (for callers that
  // build a dictionary themselves). Failed when `blends` does not hold
  // `channels` records per placement or a placement names no source.
  Status Assign(std::vector<PatchSource> sources,
                std::vector<PatchPlacement> placements,
                std::vector<PatchChannelBlend> blends, uint64_t channels);
  // Rebuilds the row index from the placements; O(P log^2 P) time and O(P)
  // memory for P placements, whatever their heights.
  void BuildRowIndex();

  // OR of 1 << slot over the sources; 0 without sources.
  uint32_t ReferencedSlots() const;

  // The placements whose row range contains row y, in ascending order.
  std::vector<uint64_t> PatchesOnRow(uint64_t y) const;
  void PatchesOnRow(uint64_t y, std::vector<uint64_t>* out) const;

  // Blends every placement covering row y into `rows` over frame columns
  // [x0, x0 + width). `rows` holds one row per channel (colour, then one per
  // entry of `extra_info`), each pointing at column x0. Failed when the
  // list needs more blend records than each placement has, when a stored
  // frame lacks a plane the blend reads, or as CompositeRows fails.
  Status BlendRow(float* const* rows, uint64_t y, uint64_t x0, uint64_t width,
                  const std::vector<ExtraChannelInfo>& extra_info) const;

  const std::vector<PatchSource>& sources() const { return sources_; }
  const std::vector<PatchPlacement>& placements() const { return placements_; }
  // Placement-major: `channels()` records per placement, colour first.
  const std::vector<PatchChannelBlend>& blends() const { return blends_; }
  uint64_t channels() const { return channels_; }
  const std::vector<PatchRowNode>& row_nodes() const { return nodes_; }

 private:
  Status DecodeSources(BitReader& reader, uint64_t width, uint64_t height,
                       uint64_t num_extra_channels);

  const QovMemoryManagerStruct* memory_manager_;
  const ReferenceFrameSlot* slots_ = nullptr;
  std::vector<PatchPlacement> placements_;
  std::vector<PatchSource> sources_;
  std::vector<PatchChannelBlend> blends_;
  uint64_t channels_ = 1;
  std::vector<PatchRowNode> nodes_;
  std::vector<PatchRowEntry> by_start_;  // per node: ascending top row
  std::vector<PatchRowEntry> by_end_;    // per node: descending bottom edge
  // Rows [first_row_, end_row_) hold every placement: other rows cost one
  // comparison.
  uint64_t first_row_ = 0;
  uint64_t end_row_ = 0;
};

}  // namespace qov

#endif  // QOV_LIB_FRAME_PATCHES_H_
