// The group-by-group pipeline: configuration, buffers and the per-group
// flow. The row driver is in low_memory_row_driver.cc, the edge strips in
// low_memory_edges.cc.
#include "lib/render/low_memory_render_pipeline.h"

#include <algorithm>

#include "lib/base/bits.h"

namespace qov {
namespace {

uint64_t RoundUpTo(uint64_t value, uint64_t multiple) {
  return (value + multiple - 1) / multiple * multiple;
}

}  // namespace

LowMemoryRenderPipeline::~LowMemoryRenderPipeline() = default;

void LowMemoryRenderPipeline::ForgetGroup(uint64_t group) {
  border_tracker_.Clear(group);
}

Status LowMemoryRenderPipeline::Configure() {
  const FrameGeometry& g = frame_geometry;
  const size_t n = stages.size();
  const size_t channels = n == 0 ? 0 : channel_shifts[0].size();
  edge_band_x_ = 0;
  edge_band_y_ = 0;
  if (g.xsize_padded == 0 || g.ysize_padded == 0) return FailedStatus();
  upsampling_shift_ = CeilLog2(g.xsize_upsampled_padded / g.xsize_padded);
  const uint64_t s = upsampling_shift_;
  if (s > 3) return FailedStatus();
  // Output rows are handed out 8 at most per channel.
  for (const auto& stage : stages) {
    if (stage->geometry().shift_x > 3 || stage->geometry().shift_y > 3) return FailedStatus();
  }
  // The row driver runs a stage over one rectangle and one row position for
  // all the channels it uses, so they must all be at the same resolution
  // there; anything else is left to the whole-frame pipeline.
  for (size_t i = 0; i < n; ++i) {
    const std::pair<uint64_t, uint64_t>* common = nullptr;
    for (size_t c = 0; c < channels; ++c) {
      if (stages[i]->ChannelModeOf(c) == RowChannelMode::kNotUsed) continue;
      if (common != nullptr && channel_shifts[i][c] != *common) return FailedStatus();
      common = &channel_shifts[i][c];
    }
  }

  layout_.assign(channels, ChannelLayout());
  for (size_t c = 0; c < channels; ++c) {
    ChannelLayout& l = layout_[c];
    l.shift_x = channel_shifts[0][c].first;
    l.shift_y = channel_shifts[0][c].second;
    l.pad_x = input_padding[0][c].first;
    l.pad_y = input_padding[0][c].second;
    if (l.shift_x > 3 + s || l.shift_y > 3 + s) return FailedStatus();
    edge_band_x_ = std::max(edge_band_x_, DivCeilShift(l.pad_x << l.shift_x, s));
    edge_band_y_ = std::max(edge_band_y_, DivCeilShift(l.pad_y << l.shift_y, s));
  }
  for (const ChannelLayout& l : layout_) {
    if (l.shift_x >= s) edge_band_x_ = RoundUpTo(edge_band_x_, uint64_t{1} << (l.shift_x - s));
    if (l.shift_y >= s) edge_band_y_ = RoundUpTo(edge_band_y_, uint64_t{1} << (l.shift_y - s));
  }
  edge_band_x_ = RoundUpTo(edge_band_x_, 16);
  // Bands wider than half a group would overlap each other.
  if (2 * edge_band_x_ > g.group_dim || 2 * edge_band_y_ > g.group_dim) {
    return FailedStatus();
  }

  buffer_margin_x_ = 0;
  buffer_margin_y_ = 0;
  for (size_t c = 0; c < channels; ++c) {
    ChannelLayout& l = layout_[c];
    l.group_x = (g.group_dim << s) >> l.shift_x;
    l.group_y = (g.group_dim << s) >> l.shift_y;
    l.xsize = DivCeilShift(g.xsize_upsampled, l.shift_x);
    l.ysize = DivCeilShift(g.ysize_upsampled, l.shift_y);
    l.strip_x = DivCeilShift(edge_band_x_ << s, l.shift_x) + l.pad_x;
    l.strip_y = DivCeilShift(edge_band_y_ << s, l.shift_y) + l.pad_y;
    buffer_margin_x_ = std::max(buffer_margin_x_, l.strip_x);
    buffer_margin_y_ = std::max(buffer_margin_y_, l.strip_y);
  }
  buffer_margin_x_ = RoundUpTo(buffer_margin_x_, 16);

  QOV_RETURN_IF_ERROR(AllocateBorderStorage());
  border_tracker_.Init(g);

  first_tail_stage_ = n;
  while (first_tail_stage_ > 0) {
    bool separate = false;
    for (size_t c = 0; c < channels; ++c) {
      separate |= stages[first_tail_stage_ - 1]->ChannelModeOf(c) ==
                  RowChannelMode::kSeparateOutput;
    }
    if (separate) break;
    --first_tail_stage_;
  }

  QOV_RETURN_IF_ERROR(AcceptAllInputSizes());
  ComputeStageTables();
  return OkStatus();
}

Status LowMemoryRenderPipeline::AcceptAllInputSizes() {
  const FrameGeometry& g = frame_geometry;
  const size_t n = stages.size();
  const size_t channels = layout_.size();
  first_image_space_stage_ = n;
  ChannelSizes sizes(channels);
  size_t i = 0;
  for (; i < n; ++i) {
    for (size_t c = 0; c < channels; ++c) {
      sizes[c] = {DivCeilShift(g.xsize_upsampled, channel_shifts[i][c].first),
                  DivCeilShift(g.ysize_upsampled, channel_shifts[i][c].second)};
    }
    QOV_RETURN_IF_ERROR(stages[i]->AcceptInputSizes(sizes));
    if (stages[i]->UsesImageCoordinates()) {
      if (i < first_tail_stage_) return FailedStatus();
      first_image_space_stage_ = i + 1;
      std::pair<int32_t, int32_t> origin{0, 0};
      size_t width = 0;
      size_t height = 0;
      stages[i]->ImageGeometry(&width, &height, &origin);
      image_width_ = width;
      image_height_ = height;
      frame_position_x_ = origin.first;
      frame_position_y_ = origin.second;
      break;
    }
  }
  for (i = first_image_space_stage_; i < n; ++i) {
    if (stages[i]->UsesImageCoordinates()) return FailedStatus();
    for (size_t c = 0; c < channels; ++c) sizes[c] = {image_width_, image_height_};
    QOV_RETURN_IF_ERROR(stages[i]->AcceptInputSizes(sizes));
  }
  return OkStatus();
}

void LowMemoryRenderPipeline::ComputeStageTables() {
  const FrameGeometry& g = frame_geometry;
  const size_t n = stages.size();
  const size_t channels = layout_.size();
  stage_probe_channel_.assign(n, 0);
  for (size_t i = 0; i < n; ++i) {
    for (size_t c = 0; c < channels; ++c) {
      if (stages[i]->ChannelModeOf(c) != RowChannelMode::kNotUsed) {
        stage_probe_channel_[i] = static_cast<int32_t>(c);
      }
    }
  }
  stage_row_source_.assign(n, std::vector<int32_t>(channels, -1));
  for (size_t c = 0; c < channels; ++c) {
    int32_t last = -1;
    for (size_t i = 0; i < n; ++i) {
      stage_row_source_[i][c] = last;
      if (stages[i]->ChannelModeOf(c) == RowChannelMode::kSeparateOutput) {
        last = static_cast<int32_t>(i);
      }
    }
  }
  stage_extent_.assign(n, PixelRect());
  for (size_t i = 0; i < n; ++i) {
    const auto& shift = channel_shifts[i][stage_probe_channel_[i]];
    stage_extent_[i] = PixelRect{0, 0, DivCeilShift(g.xsize_upsampled, shift.first),
                                 DivCeilShift(g.ysize_upsampled, shift.second)};
  }
  stage_lead_rows_.assign(n, 0);
  stage_column_margin_.assign(n, 0);
  // A stage runs ahead for the channels it writes. It then runs as far ahead
  // as its most demanding channel asks, and the stages feeding the other
  // channels it uses must keep up, so the walk repeats until nothing grows.
  // When every stage asks the same of all its channels, one walk is enough
  // and nothing differs from a single pass. (Extra columns cannot be passed
  // on likewise: the input padding of a channel covers only the borders of
  // the stages that write that channel anew.)
  for (bool grew = true; grew;) {
    grew = false;
    for (size_t c = 0; c < channels; ++c) {
      int32_t lead = 0;
      int32_t margin = 0;
      for (size_t k = n; k-- > 0;) {
        const int32_t z = int32_t{1} << channel_shifts[k][c].second;
        int32_t r = (lead + z - 1) / z * z;
        const RowChannelMode mode = stages[k]->ChannelModeOf(c);
        if (mode != RowChannelMode::kNotUsed) {
          if (stage_lead_rows_[k] > r) {
            lead = stage_lead_rows_[k];
            r = (lead + z - 1) / z * z;
          }
          if (mode != RowChannelMode::kReadOnly) {
            grew |= r > stage_lead_rows_[k];
            stage_lead_rows_[k] = std::max(stage_lead_rows_[k], r);
          }
          stage_column_margin_[k] = std::max(stage_column_margin_[k], margin);
        }
        if (mode == RowChannelMode::kSeparateOutput) {
          const StageGeometry& sg = stages[k]->geometry();
          lead = r + z * static_cast<int32_t>(sg.border_y);
          const int32_t shift = static_cast<int32_t>(sg.shift_x);
          margin = ((margin + (1 << shift) - 1) >> shift) + static_cast<int32_t>(sg.border_x);
        }
      }
    }
  }
  // Rows read straight from the group buffers, around a rectangle that may
  // start or end a band away from the group's own rows, stay in the margin.
  for (size_t c = 0; c < channels; ++c) {
    const ChannelLayout& l = layout_[c];
    uint64_t reach = 0;
    for (size_t i = 0; i < first_tail_stage_; ++i) {
      if (stage_row_source_[i][c] != -1 ||
          stages[i]->ChannelModeOf(c) == RowChannelMode::kNotUsed) {
        continue;
      }
      reach = std::max(reach, DivCeilShift(stage_lead_rows_[i], l.shift_y) +
                                  stages[i]->geometry().border_y);
    }
    const uint64_t band = DivCeilShift(edge_band_y_ << upsampling_shift_, l.shift_y);
    buffer_margin_y_ = std::max(buffer_margin_y_, band + reach);
  }
  // A channel whose group-buffer rows a stage changes in place, while a stage
  // before the tail reads those rows too, would see a later rectangle of the
  // same group re-read (and re-change) what an earlier one already changed.
  needs_work_copy_.assign(channels, 0);
  if (first_tail_stage_ > 0) {
    for (size_t c = 0; c < channels; ++c) {
      bool modified = false;
      bool read_before_tail = false;
      for (size_t i = 0; i < n; ++i) {
        if (stage_row_source_[i][c] != -1) continue;
        const RowChannelMode mode = stages[i]->ChannelModeOf(c);
        if (mode == RowChannelMode::kModifyRows) modified = true;
        if (i < first_tail_stage_ && mode != RowChannelMode::kNotUsed) {
          read_before_tail = true;
        }
      }
      needs_work_copy_[c] = modified && read_before_tail;
    }
  }
}

uint64_t LowMemoryRenderPipeline::RingRows(size_t i, size_t c,
                                           uint64_t next_border) const {
  const uint64_t out_rows = uint64_t{1} << stages[i]->geometry().shift_y;
  uint64_t rows = out_rows + 2 * next_border;
  // A reader that runs fewer rows ahead than this stage (because the stage
  // also feeds a longer chain of another channel) needs the difference too.
  for (size_t k = i + 1; k < stages.size(); ++k) {
    const RowChannelMode mode = stages[k]->ChannelModeOf(c);
    if (stage_row_source_[k][c] != static_cast<int32_t>(i) ||
        mode == RowChannelMode::kNotUsed) {
      continue;
    }
    const uint64_t window =
        mode == RowChannelMode::kSeparateOutput ? stages[k]->geometry().border_y : 0;
    const int64_t ahead = stage_lead_rows_[i] - stage_lead_rows_[k];
    const uint64_t behind =
        ahead > 0 ? DivCeilShift(static_cast<uint64_t>(ahead), channel_shifts[k][c].second) : 0;
    rows = std::max(rows, out_rows + behind + window);
  }
  return rows;
}

Status LowMemoryRenderPipeline::SetUpThreadsImpl(size_t num_threads,
                                                 bool buffers_per_group) {
  const FrameGeometry& g = frame_geometry;
  const size_t n = stages.size();
  const size_t channels = layout_.size();
  const uint64_t s = upsampling_shift_;
  buffers_per_group_ = buffers_per_group;
  const uint64_t sets = buffers_per_group ? g.num_groups : num_threads;
  while (group_buffers_.size() < sets) {
    std::vector<PlaneStorage> set(channels);
    for (size_t c = 0; c < channels; ++c) {
      QOV_RETURN_IF_ERROR(MakeFloatPlane(
          layout_[c].group_x + 2 * buffer_margin_x_,
          layout_[c].group_y + 2 * buffer_margin_y_, 32, &set[c]));
    }
    group_buffers_.push_back(std::move(set));
  }

  const uint64_t ring_width = (g.group_dim << s) + ((2 * buffer_margin_x_) << s) + 64;
  stage_rings_.resize(num_threads);
  for (auto& thread_rings : stage_rings_) {
    thread_rings.resize(channels);
    for (size_t c = 0; c < channels; ++c) {
      thread_rings[c].resize(n);
      uint64_t next_border = 0;
      for (size_t i = n; i-- > 0;) {
        if (stages[i]->ChannelModeOf(c) != RowChannelMode::kSeparateOutput) continue;
        const StageGeometry& sg = stages[i]->geometry();
        const uint64_t exponent = CeilLog2(RingRows(i, c, next_border));
        if (exponent >= 31) return FailedStatus();
        QOV_RETURN_IF_ERROR(MakeFloatPlane(ring_width,
                                           uint64_t{1} << exponent, 0,
                                           &thread_rings[c][i]));
        next_border = sg.border_y;
      }
    }
  }

  if (first_image_space_stage_ < n) {
    const int64_t fx0 = std::max<int64_t>(frame_position_x_, 0);
    const int64_t fx1 = std::min<int64_t>(
        int64_t{frame_position_x_} + static_cast<int64_t>(g.xsize_upsampled),
        static_cast<int64_t>(image_width_));
    const int64_t fy0 = std::max<int64_t>(frame_position_y_, 0);
    const int64_t fy1 = std::min<int64_t>(
        int64_t{frame_position_y_} + static_cast<int64_t>(g.ysize_upsampled),
        static_cast<int64_t>(image_height_));
    // An empty intersection counts as the empty rectangle at (0, 0).
    const bool overlap = fx1 > fx0 && fy1 > fy0;
    const uint64_t left = overlap ? static_cast<uint64_t>(fx0) : 0;
    const uint64_t right = image_width_ - (overlap ? static_cast<uint64_t>(fx1) : 0);
    const uint64_t widest = std::max({left, g.group_dim << s, right});
    outside_rows_.resize(num_threads);
    for (auto& rows : outside_rows_) {
      QOV_RETURN_IF_ERROR(MakeFloatPlane(((2 * buffer_margin_x_) << s) + 64 + widest,
                                         channels, 0, &rows));
    }
  }

  // Row sets and working copies, made here once per thread.
  scratch_.resize(num_threads);
  for (RowScratch& sc : scratch_) {
    sc.stage_rect.assign(n, PixelRect());
    sc.process_rect.assign(n, PixelRect());
    sc.sources.assign((n + 1) * channels, RowSource());
    sc.stage_input.assign(first_tail_stage_, ChannelRowSet(channels));
    sc.stage_output.assign(first_tail_stage_, ChannelRowSet(channels));
    for (size_t i = 0; i < first_tail_stage_; ++i) {
      const StageGeometry& sg = stages[i]->geometry();
      for (size_t c = 0; c < channels; ++c) {
        const RowChannelMode mode = stages[i]->ChannelModeOf(c);
        if (mode != RowChannelMode::kNotUsed) {
          sc.stage_input[i][c].assign(2 * sg.border_y + 1, nullptr);
        }
        if (mode == RowChannelMode::kSeparateOutput) {
          sc.stage_output[i][c].assign(size_t{1} << sg.shift_y, nullptr);
        }
      }
    }
    sc.window_filled.assign(first_tail_stage_, 0);
    sc.stage_row.assign(first_tail_stage_, 0);
    sc.tail_input.assign(channels, std::vector<float*>(1, nullptr));
    sc.no_output.assign(channels, std::vector<float*>());
    sc.work_copy.resize(channels);
    for (size_t c = 0; c < channels; ++c) {
      if (!needs_work_copy_[c] || sc.work_copy[c].allocated()) continue;
      QOV_RETURN_IF_ERROR(MakeFloatPlane(
          layout_[c].group_x + 2 * buffer_margin_x_,
          layout_[c].group_y + 2 * buffer_margin_y_, 32, &sc.work_copy[c]));
    }
  }
  return OkStatus();
}

std::vector<GroupBuffer> LowMemoryRenderPipeline::AcquireGroupBuffers(
    uint64_t group, uint64_t thread) {
  const FrameGeometry& g = frame_geometry;
  std::vector<GroupBuffer> result(layout_.size());
  // Before set-up, or for ids beyond it: no planes, nothing to write.
  if (!HasBufferSet(group, thread)) return result;
  std::vector<PlaneStorage>& set = BufferSet(group, thread);
  for (size_t c = 0; c < layout_.size(); ++c) {
    const ChannelLayout& l = layout_[c];
    const PixelRect part =
        g.GroupRectInChannel(group, upsampling_shift_, l.shift_x, l.shift_y);
    result[c] = GroupBuffer{
        &set[c], PixelRect{buffer_margin_x_, buffer_margin_y_, part.xsize, part.ysize}};
  }
  return result;
}

Status LowMemoryRenderPipeline::RenderGroup(uint64_t group, uint64_t thread) {
  const FrameGeometry& g = frame_geometry;
  if (!HasBufferSet(group, thread) || thread >= scratch_.size()) return FailedStatus();
  std::vector<PlaneStorage>& buffers = BufferSet(group, thread);
  for (size_t c = 0; c < layout_.size(); ++c) {
    QOV_RETURN_IF_ERROR(StoreGroupEdges(group, c, buffers[c]));
  }
  if (first_image_space_stage_ < stages.size()) {
    QOV_RETURN_IF_ERROR(RenderOutsideFrame(group, thread));
  }
  PixelRect rects[3];
  uint64_t count = 0;
  border_tracker_.MarkDone(group, edge_band_x_, edge_band_y_, rects, &count);
  const PixelRect cell = g.GroupCell(group);
  for (uint64_t k = 0; k < count; ++k) {
    const PixelRect& r = rects[k];
    for (size_t c = 0; c < layout_.size(); ++c) {
      QOV_RETURN_IF_ERROR(FetchNeighbourEdges(group, c, r, &buffers[c]));
    }
    const PixelRect data{buffer_margin_x_ + r.x0 - cell.x0,
                         buffer_margin_y_ + r.y0 - cell.y0, r.xsize, r.ysize};
    QOV_RETURN_IF_ERROR(RunStagesOverRect(thread, buffers, data, r));
  }
  return OkStatus();
}

Status LowMemoryRenderPipeline::RenderOutsideFrame(uint64_t group, uint64_t thread) {
  const FrameGeometry& g = frame_geometry;
  const int64_t iw = static_cast<int64_t>(image_width_);
  const int64_t ih = static_cast<int64_t>(image_height_);
  const int64_t px = frame_position_x_;
  const int64_t py = frame_position_y_;
  // The frame's area in the image (A) and the group's part of it (B).
  const int64_t ax0 = std::max<int64_t>(px, 0);
  const int64_t ax1 = std::min<int64_t>(px + static_cast<int64_t>(g.xsize_upsampled), iw);
  const int64_t ay0 = std::max<int64_t>(py, 0);
  const int64_t ay1 = std::min<int64_t>(py + static_cast<int64_t>(g.ysize_upsampled), ih);
  const PixelRect part = g.GroupRectInChannel(group, upsampling_shift_, 0, 0);
  if (group == 0 && (ax1 <= ax0 || ay1 <= ay0)) {
    QOV_RETURN_IF_ERROR(FillOutsideFrameRect(
        thread, PixelRect{0, 0, image_width_, image_height_}));
  }
  const int64_t part_x1 = static_cast<int64_t>(part.x0 + part.xsize);
  const int64_t part_y1 = static_cast<int64_t>(part.y0 + part.ysize);
  const int64_t bx0 = std::max<int64_t>(static_cast<int64_t>(part.x0) + px, ax0);
  const int64_t bx1 = std::min<int64_t>(part_x1 + px, ax1);
  const int64_t by0 = std::max<int64_t>(static_cast<int64_t>(part.y0) + py, ay0);
  const int64_t by1 = std::min<int64_t>(part_y1 + py, ay1);
  if (bx1 <= bx0 || by1 <= by0) return OkStatus();
  // The group's part ends where the frame does only in the last column or
  // row of groups.
  const bool first_col = part.x0 == 0;
  const bool first_row = part.y0 == 0;
  const bool last_col = static_cast<uint64_t>(part_x1) == g.xsize_upsampled;
  const bool last_row = static_cast<uint64_t>(part_y1) == g.ysize_upsampled;
  auto fill = [&](bool cond, int64_t x0, int64_t y0, int64_t xs, int64_t ys) -> Status {
    if (!cond || xs <= 0 || ys <= 0) return OkStatus();
    return FillOutsideFrameRect(thread, PixelRect{static_cast<uint64_t>(x0),
                                                  static_cast<uint64_t>(y0),
                                                  static_cast<uint64_t>(xs),
                                                  static_cast<uint64_t>(ys)});
  };
  const int64_t bw = bx1 - bx0;
  const int64_t bh = by1 - by0;
  QOV_RETURN_IF_ERROR(fill(first_col && first_row, 0, 0, bx0, by0));
  QOV_RETURN_IF_ERROR(fill(first_row, bx0, 0, bw, by0));
  QOV_RETURN_IF_ERROR(fill(first_col, 0, by0, bx0, bh));
  QOV_RETURN_IF_ERROR(fill(first_col && last_row, 0, by1, bx0, ih - by1));
  QOV_RETURN_IF_ERROR(fill(last_row, bx0, by1, bw, ih - by1));
  QOV_RETURN_IF_ERROR(fill(first_row && last_col, bx1, 0, iw - bx1, by0));
  QOV_RETURN_IF_ERROR(fill(last_col, bx1, by0, iw - bx1, bh));
  QOV_RETURN_IF_ERROR(fill(last_col && last_row, bx1, by1, iw - bx1, ih - by1));
  return OkStatus();
}

Status LowMemoryRenderPipeline::FillOutsideFrameRect(uint64_t thread,
                                                     const PixelRect& rect) {
  if (rect.xsize == 0) return OkStatus();
  const size_t n = stages.size();
  const size_t channels = layout_.size();
  if (first_image_space_stage_ == 0 || first_image_space_stage_ >= n ||
      thread >= outside_rows_.size() || thread >= scratch_.size()) {
    return FailedStatus();
  }
  const PlaneStorage& rows = outside_rows_[thread];
  if (rect.xsize + 64 > rows.xsize() || rows.ysize() < channels) return FailedStatus();
  RowScratch& sc = scratch_[thread];
  for (size_t c = 0; c < channels; ++c) {
    sc.tail_input[c][0] = reinterpret_cast<float*>(rows.RowBytes(c));
  }
  for (uint64_t y = 0; y < rect.ysize; ++y) {
    QOV_RETURN_IF_ERROR(stages[first_image_space_stage_ - 1]->RenderPaddingRow(
        sc.tail_input, rect.xsize, rect.x0, rect.y0 + y));
    for (size_t i = first_image_space_stage_; i < n; ++i) {
      QOV_RETURN_IF_ERROR(stages[i]->RenderRow(sc.tail_input, sc.no_output, 0, 0,
                                               rect.xsize, rect.x0, rect.y0 + y,
                                               thread));
    }
  }
  return OkStatus();
}

std::unique_ptr<RenderPipeline> MakeLowMemoryRenderPipeline(
    const QovMemoryManagerStruct* manager) {
  return std::make_unique<LowMemoryRenderPipeline>(manager);
}

}  // namespace qov
