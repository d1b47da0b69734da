// Which groups of a frame have finished, tracked per corner of the group
// grid, and the rectangles that a finished group makes ready to render: its
// interior at once, each band along an edge or around a corner once every
// group touching it has finished.
#ifndef QOV_LIB_RENDER_GROUP_BORDER_TRACKER_H_
#define QOV_LIB_RENDER_GROUP_BORDER_TRACKER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "lib/base/image.h"
#include "lib/bitstream/frame_header.h"

namespace qov {

// Corner (x, y) is the top-left corner of group (x, y); its four bits say
// which of the groups around it have finished: 1 above-left, 2 above-right,
// 4 below-right, 8 below-left. Groups outside the frame count as finished.
// Corner x of a row lives in word x / 8, bits 4 (x mod 8) to 4 (x mod 8) + 3.
// Init runs alone; Clear and MarkDone may run concurrently for different
// groups (every word changes by sequentially consistent atomic updates).
class GroupBorderTracker {
 public:
  // Resets the tracker for a frame of that geometry.
  void Init(const FrameGeometry& geometry);

  // Removes the group's bits from its four corners.
  void Clear(uint64_t group);

  // Sets the group's bits and writes to rects[0 .. *count) the rectangles
  // (frame samples before upsampling) that this completion makes ready;
  // padx and pady are the half-width and half-height of the bands deferred
  // around each group edge. Over a frame whose groups are each marked once,
  // every sample lies in exactly one returned rectangle.
  void MarkDone(uint64_t group, uint64_t padx, uint64_t pady, PixelRect rects[3],
                uint64_t* count);

  // The four bits of corner (x, y), for tests.
  uint32_t CornerBits(uint64_t x, uint64_t y) const;

 private:
  // Sets `bits` of corner (x, y) and returns the corner's bits as they were.
  uint32_t SetCornerBits(uint64_t x, uint64_t y, uint32_t bits);
  void ClearCornerBits(uint64_t x, uint64_t y, uint32_t bits);

  FrameGeometry geometry_;
  // group rows + 1 arrays of (group columns + 8) / 8 words.
  std::vector<std::unique_ptr<std::atomic<uint32_t>[]>> corner_rows_;
};

}  // namespace qov

#endif  // QOV_LIB_RENDER_GROUP_BORDER_TRACKER_H_
