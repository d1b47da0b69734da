// Corner flags of finished groups and the ready rectangles they yield.
#include "lib/render/group_border_tracker.h"

#include <algorithm>

namespace qov {
namespace {

constexpr uint32_t kAboveLeft = 1;
constexpr uint32_t kAboveRight = 2;
constexpr uint32_t kBelowRight = 4;
constexpr uint32_t kBelowLeft = 8;

bool HasAll(uint32_t bits, uint32_t mask) { return (bits & mask) == mask; }

// (first, end) of the available parts of one strip; (3, 3) when none is.
struct Segment {
  int first = 3;
  int end = 3;
  bool operator==(const Segment& o) const { return first == o.first && end == o.end; }
};

Segment SegmentOf(bool left, bool middle, bool right) {
  const bool parts[3] = {left, middle, right};
  Segment s;
  for (int k = 0; k < 3; ++k) {
    if (!parts[k]) continue;
    if (s.first == 3) s.first = k;
    s.end = k + 1;
  }
  return s;
}

// The stops 0..3 of one axis (see MarkDone); signed so that narrow groups
// give empty, never wrapped, parts.
void AxisStops(uint64_t group_index, bool last, uint64_t group_dim,
               uint64_t blocks, uint64_t frame_size, uint64_t pad,
               int64_t stops[4]) {
  const uint64_t n = group_dim / 8;
  const uint64_t b0 = group_index * group_dim / 8;
  const uint64_t width = b0 + n <= blocks ? n : (blocks > b0 ? blocks - b0 : 0);
  const int64_t b1 = static_cast<int64_t>(b0 + width);
  const int64_t size = static_cast<int64_t>(frame_size);
  const int64_t p = static_cast<int64_t>(pad);
  const int64_t s0 = 8 * static_cast<int64_t>(b0);
  stops[0] = b0 == 0 ? 0 : s0 - p;
  stops[1] = b0 == 0 ? 0 : std::min(s0 + p, size);
  stops[2] = last ? size : 8 * b1 - p;
  stops[3] = std::min(8 * b1 + p, size);
}

}  // namespace

void GroupBorderTracker::Init(const FrameGeometry& geometry) {
  geometry_ = geometry;
  const uint64_t columns = geometry.xsize_groups;
  const uint64_t rows = geometry.ysize_groups;
  const uint64_t words = (columns + 8) / 8;
  corner_rows_.clear();
  corner_rows_.resize(rows + 1);
  for (auto& row : corner_rows_) {
    row = std::make_unique<std::atomic<uint32_t>[]>(words);
    for (uint64_t w = 0; w < words; ++w) row[w].store(0);
  }
  for (uint64_t x = 0; x <= columns; ++x) {
    SetCornerBits(x, 0, kAboveLeft | kAboveRight);
    SetCornerBits(x, rows, kBelowRight | kBelowLeft);
  }
  for (uint64_t y = 0; y <= rows; ++y) {
    SetCornerBits(0, y, kAboveLeft | kBelowLeft);
    SetCornerBits(columns, y, kAboveRight | kBelowRight);
  }
}

uint32_t GroupBorderTracker::SetCornerBits(uint64_t x, uint64_t y, uint32_t bits) {
  const uint32_t shift = 4 * (x % 8);
  const uint32_t old = corner_rows_[y][x / 8].fetch_or(bits << shift);
  return (old >> shift) & 15;
}

void GroupBorderTracker::ClearCornerBits(uint64_t x, uint64_t y, uint32_t bits) {
  const uint32_t shift = 4 * (x % 8);
  corner_rows_[y][x / 8].fetch_and(~(bits << shift));
}

uint32_t GroupBorderTracker::CornerBits(uint64_t x, uint64_t y) const {
  const uint32_t shift = 4 * (x % 8);
  return (corner_rows_[y][x / 8].load() >> shift) & 15;
}

void GroupBorderTracker::Clear(uint64_t group) {
  const uint64_t columns = geometry_.xsize_groups;
  if (group >= geometry_.num_groups || columns == 0) return;
  const uint64_t gx = group % columns;
  const uint64_t gy = group / columns;
  ClearCornerBits(gx, gy, kBelowRight);
  ClearCornerBits(gx + 1, gy, kBelowLeft);
  ClearCornerBits(gx, gy + 1, kAboveRight);
  ClearCornerBits(gx + 1, gy + 1, kAboveLeft);
}

void GroupBorderTracker::MarkDone(uint64_t group, uint64_t padx, uint64_t pady,
                                  PixelRect rects[3], uint64_t* count) {
  *count = 0;
  const uint64_t columns = geometry_.xsize_groups;
  if (group >= geometry_.num_groups || columns == 0) return;
  const uint64_t gx = group % columns;
  const uint64_t gy = group / columns;
  const uint64_t dim = geometry_.group_dim;
  int64_t xs[4];
  int64_t ys[4];
  AxisStops(gx, gx + 1 == columns, dim, geometry_.xsize_blocks, geometry_.xsize,
            padx, xs);
  AxisStops(gy, gy + 1 == geometry_.ysize_groups, dim, geometry_.ysize_blocks,
            geometry_.ysize, pady, ys);

  // The bits of each corner as they were before this group's own bit.
  const uint32_t tl = SetCornerBits(gx, gy, kBelowRight);
  const uint32_t tr = SetCornerBits(gx + 1, gy, kBelowLeft);
  const uint32_t br = SetCornerBits(gx + 1, gy + 1, kAboveLeft);
  const uint32_t bl = SetCornerBits(gx, gy + 1, kAboveRight);

  const bool tl_complete = HasAll(tl, kAboveLeft | kAboveRight | kBelowLeft);
  const bool tr_complete = HasAll(tr, kAboveLeft | kAboveRight | kBelowRight);
  const bool br_complete = HasAll(br, kAboveRight | kBelowRight | kBelowLeft);
  const bool bl_complete = HasAll(bl, kAboveLeft | kBelowRight | kBelowLeft);
  const bool above = (tl & kAboveRight) != 0;
  const bool left = (tl & kBelowLeft) != 0;
  const bool right = (tr & kBelowRight) != 0;
  const bool below = (bl & kBelowRight) != 0;

  const Segment top = SegmentOf(tl_complete, above, tr_complete);
  const Segment middle = SegmentOf(left, true, right);
  const Segment bottom = SegmentOf(bl_complete, below, br_complete);

  auto emit = [&](const Segment& s, int row_begin, int row_end) {
    const int64_t width = xs[s.end] - xs[s.first];
    const int64_t height = ys[row_end] - ys[row_begin];
    if (width <= 0 || height <= 0) return;
    rects[(*count)++] = PixelRect{static_cast<uint64_t>(xs[s.first]),
                                  static_cast<uint64_t>(ys[row_begin]),
                                  static_cast<uint64_t>(width),
                                  static_cast<uint64_t>(height)};
  };
  if (top == middle && middle == bottom) {
    emit(top, 0, 3);
  } else if (top == middle) {
    emit(top, 0, 2);
    emit(bottom, 2, 3);
  } else if (middle == bottom) {
    emit(top, 0, 1);
    emit(middle, 1, 3);
  } else {
    emit(top, 0, 1);
    emit(middle, 1, 2);
    emit(bottom, 2, 3);
  }
}

}  // namespace qov
