// Edge strips of finished groups: saved from a group's buffer when it
// finishes, copied back around a ready rectangle of a neighbour's buffer.
#include <algorithm>
#include <cstring>

#include "lib/base/bits.h"
#include "lib/render/low_memory_render_pipeline.h"

namespace qov {
namespace {

// Copies the w x h float rectangle at (sx, sy) of src to (dx, dy) of dst.
// Failed, copying nothing, when either rectangle leaves its plane's current
// size or a corner is negative.
Status CopyFloatRect(const PlaneStorage& src, int64_t sx, int64_t sy, int64_t w,
                     int64_t h, const PlaneStorage& dst, int64_t dx, int64_t dy) {
  if (sx < 0 || sy < 0 || dx < 0 || dy < 0 || w < 0 || h < 0) return FailedStatus();
  if (sx + w > static_cast<int64_t>(src.xsize()) ||
      sy + h > static_cast<int64_t>(src.ysize()) ||
      dx + w > static_cast<int64_t>(dst.xsize()) ||
      dy + h > static_cast<int64_t>(dst.ysize())) {
    return FailedStatus();
  }
  if (w == 0 || h == 0) return OkStatus();
  for (int64_t y = 0; y < h; ++y) {
    const float* from = reinterpret_cast<const float*>(src.RowBytes(sy + y)) + sx;
    float* to = reinterpret_cast<float*>(dst.RowBytes(dy + y)) + dx;
    std::memcpy(to, from, static_cast<size_t>(w) * sizeof(float));
  }
  return OkStatus();
}

}  // namespace

Status LowMemoryRenderPipeline::MakeFloatPlane(uint64_t xsize, uint64_t ysize,
                                               uint64_t headroom,
                                               PlaneStorage* out) const {
  if (xsize > UINT32_MAX || ysize > UINT32_MAX) return FailedStatus();
  PlaneStorage plane(static_cast<uint32_t>(xsize), static_cast<uint32_t>(ysize),
                     sizeof(float));
  QOV_RETURN_IF_ERROR(plane.Allocate(memory_manager, headroom));
  *out = std::move(plane);
  return OkStatus();
}

Status LowMemoryRenderPipeline::AllocateBorderStorage() {
  const size_t channels = layout_.size();
  saved_row_edges_.resize(channels);
  saved_column_edges_.resize(channels);
  const FrameGeometry& g = frame_geometry;
  for (size_t c = 0; c < channels; ++c) {
    if (g.xsize_groups == 0 || g.ysize_groups == 0) return FailedStatus();
    const ChannelLayout& l = layout_[c];
    const uint64_t row_w = DivCeilShift(g.xsize_upsampled_padded, l.shift_x);
    const uint64_t row_h = 2 * (g.ysize_groups - 1) * l.strip_y;
    const uint64_t col_w = 2 * (g.xsize_groups - 1) * l.strip_x;
    const uint64_t col_h = DivCeilShift(g.ysize_upsampled_padded, l.shift_y);
    PlaneStorage& rows = saved_row_edges_[c];
    if (rows.sample_size() != sizeof(float) || rows.xsize() != row_w ||
        rows.ysize() != row_h) {
      QOV_RETURN_IF_ERROR(MakeFloatPlane(row_w, row_h, 0, &rows));
    }
    PlaneStorage& cols = saved_column_edges_[c];
    if (cols.sample_size() != sizeof(float) || cols.xsize() != col_w ||
        cols.ysize() != col_h) {
      QOV_RETURN_IF_ERROR(MakeFloatPlane(col_w, col_h, 0, &cols));
    }
  }
  return OkStatus();
}

LowMemoryRenderPipeline::GroupEdgeFrame LowMemoryRenderPipeline::EdgeFrameOf(
    uint64_t group, size_t c) const {
  const FrameGeometry& g = frame_geometry;
  const ChannelLayout& l = layout_[c];
  const PixelRect part =
      g.GroupRectInChannel(group, upsampling_shift_, l.shift_x, l.shift_y);
  GroupEdgeFrame f;
  f.gx = static_cast<int64_t>(group % std::max<uint64_t>(g.xsize_groups, 1));
  f.gy = static_cast<int64_t>(group / std::max<uint64_t>(g.xsize_groups, 1));
  f.x0 = static_cast<int64_t>(part.x0);
  f.x1 = static_cast<int64_t>(part.x0 + part.xsize);
  f.y0 = static_cast<int64_t>(part.y0);
  f.y1 = static_cast<int64_t>(part.y0 + part.ysize);
  f.mx = static_cast<int64_t>(buffer_margin_x_);
  f.my = static_cast<int64_t>(buffer_margin_y_);
  f.bx = static_cast<int64_t>(l.strip_x);
  f.by = static_cast<int64_t>(l.strip_y);
  return f;
}

Status LowMemoryRenderPipeline::StoreGroupEdges(uint64_t group, size_t c,
                                                const PlaneStorage& buffer) {
  const FrameGeometry& g = frame_geometry;
  const auto [igx, igy, x0, x1, y0, y1, mx, my, bx, by] = EdgeFrameOf(group, c);
  const uint64_t gx = static_cast<uint64_t>(igx);
  const uint64_t gy = static_cast<uint64_t>(igy);
  if (gy > 0) {
    QOV_RETURN_IF_ERROR(CopyFloatRect(buffer, mx, my, x1 - x0, by,
                                      saved_row_edges_[c], x0, (2 * igy - 1) * by));
  }
  if (gy + 1 < g.ysize_groups) {
    QOV_RETURN_IF_ERROR(CopyFloatRect(buffer, mx, my + (y1 - y0) - by, x1 - x0, by,
                                      saved_row_edges_[c], x0, 2 * igy * by));
  }
  if (gx > 0) {
    QOV_RETURN_IF_ERROR(CopyFloatRect(buffer, mx, my, bx, y1 - y0,
                                      saved_column_edges_[c], (2 * igx - 1) * bx, y0));
  }
  if (gx + 1 < g.xsize_groups) {
    QOV_RETURN_IF_ERROR(CopyFloatRect(buffer, mx + (x1 - x0) - bx, my, bx, y1 - y0,
                                      saved_column_edges_[c], 2 * igx * bx, y0));
  }
  return OkStatus();
}

Status LowMemoryRenderPipeline::FetchNeighbourEdges(uint64_t group, size_t c,
                                                    const PixelRect& rect,
                                                    PlaneStorage* buffer) {
  const FrameGeometry& g = frame_geometry;
  const ChannelLayout& l = layout_[c];
  const uint64_t s = upsampling_shift_;
  if (rect.x0 != 0 && (rect.x0 << s) < l.pad_x) return FailedStatus();
  if (rect.y0 != 0 && (rect.y0 << s) < l.pad_y) return FailedStatus();
  const auto [igx, igy, x0, x1, y0, y1, mx, my, bx, by] = EdgeFrameOf(group, c);
  const uint64_t gx = static_cast<uint64_t>(igx);
  const uint64_t gy = static_cast<uint64_t>(igy);
  // Source range in channel samples; never negative for the rectangles that
  // MarkDone returns, refused (by the copies) otherwise.
  const int64_t xs0 = rect.x0 == 0 ? 0
                                   : static_cast<int64_t>(DivCeilShift(rect.x0 << s, l.shift_x)) -
                                         static_cast<int64_t>(l.pad_x);
  const int64_t xs1 = std::min<uint64_t>(
      DivCeilShift((rect.x0 + rect.xsize) << s, l.shift_x) + l.pad_x, l.xsize);
  const int64_t ys0 = rect.y0 == 0 ? 0
                                   : static_cast<int64_t>(DivCeilShift(rect.y0 << s, l.shift_y)) -
                                         static_cast<int64_t>(l.pad_y);
  const int64_t ys1 = std::min<uint64_t>(
      DivCeilShift((rect.y0 + rect.ysize) << s, l.shift_y) + l.pad_y, l.ysize);
  if (xs0 < 0 || ys0 < 0) return FailedStatus();
  if (ys0 < y0) {
    if (gy == 0) return FailedStatus();
    QOV_RETURN_IF_ERROR(CopyFloatRect(saved_row_edges_[c], xs0, (2 * igy - 2) * by,
                                      xs1 - xs0, by, *buffer, mx + xs0 - x0, my - by));
  }
  if (ys1 > y1) {
    if (gy + 1 >= g.ysize_groups) return FailedStatus();
    QOV_RETURN_IF_ERROR(CopyFloatRect(saved_row_edges_[c], xs0, (2 * igy + 1) * by,
                                      xs1 - xs0, by, *buffer, mx + xs0 - x0,
                                      my + y1 - y0));
  }
  if (xs0 < x0) {
    if (gx == 0) return FailedStatus();
    QOV_RETURN_IF_ERROR(CopyFloatRect(saved_column_edges_[c], (2 * igx - 2) * bx, ys0,
                                      bx, ys1 - ys0, *buffer, mx - bx, my + ys0 - y0));
  }
  if (xs1 > x1) {
    if (gx + 1 >= g.xsize_groups) return FailedStatus();
    QOV_RETURN_IF_ERROR(CopyFloatRect(saved_column_edges_[c], (2 * igx + 1) * bx, ys0,
                                      bx, ys1 - ys0, *buffer, mx + x1 - x0,
                                      my + ys0 - y0));
  }
  return OkStatus();
}

}  // namespace qov
