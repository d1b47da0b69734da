// The row driver of the group-by-group pipeline: runs every stage over one
// ready rectangle, row by row, through per-thread rings, mirroring rows and
// columns that fall outside the frame.
#include <algorithm>
#include <cstring>

#include "lib/base/bits.h"
#include "lib/render/low_memory_render_pipeline.h"

namespace qov {
void LowMemoryRenderPipeline::MirrorRowIntoBuffer(RowScratch& sc, size_t stage,
                                                  size_t c, size_t j) {
  const size_t channels = layout_.size();
  const StageGeometry& sg = stages[stage]->geometry();
  const PixelRect& rect = sc.stage_rect[stage];
  const int64_t y0 = static_cast<int64_t>(rect.y0);
  const int64_t hs = static_cast<int64_t>(stage_extent_[stage].ysize);
  int64_t r = sc.stage_row[stage] + static_cast<int64_t>(j) -
              static_cast<int64_t>(sg.border_y);
  if (y0 == 0) {
    r = Mirror(r, hs);
  } else if (y0 + r >= hs) {
    r = 2 * hs - 1 - (y0 + r) - y0;
  }
  const RowSource& source =
      sc.sources[(stage_row_source_[stage][c] + 1) * channels + c];
  float* row = source.Row(r);
  sc.stage_input[stage][c][j] = row;

  const int64_t b = static_cast<int64_t>(sg.border_x);
  if (b == 0) return;
  const int64_t x0 = static_cast<int64_t>(rect.x0);
  const int64_t xs = static_cast<int64_t>(rect.xsize);
  const int64_t ws = static_cast<int64_t>(stage_extent_[stage].xsize);
  float* at = row + kRowLeadSamples;  // column x0
  if (x0 == 0) {
    for (int64_t k = 0; k < b; ++k) at[-1 - k] = at[Mirror(-1 - k, ws)];
  }
  // Also when the extra columns on the right bring the border past the edge.
  if (x0 + xs + stage_column_margin_[stage] + b >= ws) {
    for (int64_t k = 0; k < b; ++k) at[ws - x0 + k] = at[Mirror(ws + k, ws) - x0];
  }
}

PixelRect LowMemoryRenderPipeline::UpsampledArea(const PixelRect& area) const {
  const FrameGeometry& g = frame_geometry;
  const uint64_t s = upsampling_shift_;
  PixelRect up{area.x0 << s, area.y0 << s, area.xsize << s, area.ysize << s};
  if (up.x0 + up.xsize > g.xsize_upsampled) {
    up.xsize = up.x0 < g.xsize_upsampled ? g.xsize_upsampled - up.x0 : 0;
  }
  if (up.y0 + up.ysize > g.ysize_upsampled) {
    up.ysize = up.y0 < g.ysize_upsampled ? g.ysize_upsampled - up.y0 : 0;
  }
  return up;
}

Status LowMemoryRenderPipeline::SetStageRects(RowScratch& sc, const PixelRect& up) {
  const size_t n = stages.size();
  for (size_t i = 0; i < n; ++i) {
    const auto& shift = channel_shifts[i][stage_probe_channel_[i]];
    const uint64_t kx = shift.first;
    const uint64_t ky = shift.second;
    if ((up.x0 & ((uint64_t{1} << kx) - 1)) != 0 || (up.y0 & ((uint64_t{1} << ky) - 1)) != 0) {
      return FailedStatus();
    }
    sc.stage_rect[i] = PixelRect{up.x0 >> kx, up.y0 >> ky, DivCeilShift(up.xsize, kx),
                                 DivCeilShift(up.ysize, ky)};
  }
  const int64_t q = static_cast<int64_t>(up.x0) + frame_position_x_;
  const int64_t h = std::max<int64_t>(q, 0);
  for (size_t i = 0; i < n; ++i) {
    if (i < first_image_space_stage_) {
      sc.process_rect[i] = PixelRect{sc.stage_rect[i].x0, 0, sc.stage_rect[i].xsize,
                                     stage_extent_[i].ysize};
    } else {
      const int64_t right = std::min<int64_t>(static_cast<int64_t>(image_width_),
                                              q + static_cast<int64_t>(up.xsize));
      sc.process_rect[i] = PixelRect{static_cast<uint64_t>(h), 0,
                                     static_cast<uint64_t>(std::max<int64_t>(right - h, 0)),
                                     image_height_};
    }
  }
  return OkStatus();
}

void LowMemoryRenderPipeline::SetRingSources(RowScratch& sc, uint64_t thread, size_t c) {
  const size_t channels = layout_.size();
  for (size_t i = 0; i < stages.size(); ++i) {
    RowSource& src = sc.sources[(i + 1) * channels + c];
    if (stages[i]->ChannelModeOf(c) != RowChannelMode::kSeparateOutput) {
      src = RowSource();
      continue;
    }
    const PlaneStorage& ring = stage_rings_[thread][c][i];
    src.base = reinterpret_cast<float*>(ring.RowBytes(0));
    src.mask = static_cast<int32_t>(ring.ysize()) - 1;
    src.stride = static_cast<int64_t>(ring.bytes_per_row() / sizeof(float));
  }
}

Status LowMemoryRenderPipeline::SetInputSource(RowScratch& sc, size_t c,
                                               const PlaneStorage& buffer,
                                               const PixelRect& data,
                                               uint64_t upsampled_rows) {
  const uint64_t s = upsampling_shift_;
  const ChannelLayout& l = layout_[c];
  const int64_t dx = (static_cast<int64_t>(data.x0) - static_cast<int64_t>(buffer_margin_x_))
                     * (int64_t{1} << s);
  const int64_t dy = (static_cast<int64_t>(data.y0) - static_cast<int64_t>(buffer_margin_y_))
                     * (int64_t{1} << s);
  if (dx % (int64_t{1} << l.shift_x) != 0 || dy % (int64_t{1} << l.shift_y) != 0) {
    return FailedStatus();
  }
  const int64_t ox = dx / (int64_t{1} << l.shift_x);
  const int64_t oy = dy / (int64_t{1} << l.shift_y);
  const PlaneStorage* plane = &buffer;
  if (needs_work_copy_[c]) {
    // Stages change these rows in place: run on a copy of the rows this
    // rectangle reaches, so that the group's other rectangles start again
    // from the decoded samples.
    PlaneStorage& work = sc.work_copy[c];
    if (work.bytes_per_row() != plane->bytes_per_row() || work.ysize() != plane->ysize()) {
      return FailedStatus();
    }
    const int64_t rows = static_cast<int64_t>(plane->ysize());
    const int64_t first = std::clamp<int64_t>(oy, 0, rows);
    const int64_t end = std::clamp<int64_t>(
        oy + static_cast<int64_t>(DivCeilShift(upsampled_rows, l.shift_y) +
                                  2 * buffer_margin_y_),
        0, rows);
    if (end > first) {
      std::memcpy(work.RowBytes(first), plane->RowBytes(first),
                  static_cast<size_t>(end - first) * plane->bytes_per_row());
    }
    plane = &work;
  }
  RowSource& src = sc.sources[c];
  src.stride = static_cast<int64_t>(plane->bytes_per_row() / sizeof(float));
  src.base = reinterpret_cast<float*>(plane->RowBytes(0)) +
             (static_cast<int64_t>(buffer_margin_y_) + oy) * src.stride +
             static_cast<int64_t>(buffer_margin_x_) + ox -
             static_cast<int64_t>(kRowLeadSamples);
  src.mask = -1;
  return OkStatus();
}

Status LowMemoryRenderPipeline::RunRingStage(RowScratch& sc, size_t i, int64_t v,
                                             int64_t lead_max, uint64_t thread) {
  const size_t channels = layout_.size();
  const int64_t lead = stage_lead_rows_[i];
  const int64_t u = v - lead_max + lead;
  const uint64_t k = channel_shifts[i][stage_probe_channel_[i]].second;
  if (u < -lead || (u & ((int64_t{1} << k) - 1)) != 0) return OkStatus();
  const int64_t y = u >> k;
  const PixelRect& p = sc.process_rect[i];
  const int64_t big_y = static_cast<int64_t>(sc.stage_rect[i].y0) + y;
  if (big_y < 0 || big_y >= static_cast<int64_t>(p.ysize)) return OkStatus();
  sc.stage_row[i] = y;
  const RenderPipelineStage& stage = *stages[i];
  const StageGeometry& sg = stage.geometry();
  const size_t window = 2 * sg.border_y + 1;
  for (size_t c = 0; c < channels; ++c) {
    const RowChannelMode mode = stage.ChannelModeOf(c);
    if (mode == RowChannelMode::kNotUsed) continue;
    std::vector<float*>& rows_in = sc.stage_input[i][c];
    if (sc.window_filled[i]) {
      for (size_t j = 1; j < window; ++j) rows_in[j - 1] = rows_in[j];
      MirrorRowIntoBuffer(sc, i, c, window - 1);
    } else {
      for (size_t j = 0; j < window; ++j) MirrorRowIntoBuffer(sc, i, c, j);
    }
    if (mode == RowChannelMode::kSeparateOutput) {
      const RowSource& out = sc.sources[(i + 1) * channels + c];
      for (int64_t l = 0; l < (int64_t{1} << sg.shift_y); ++l) {
        sc.stage_output[i][c][l] = out.Row((y << sg.shift_y) + l);
      }
    }
  }
  sc.window_filled[i] = 1;
  if (p.xsize == 0) return OkStatus();
  const uint64_t margin = static_cast<uint64_t>(stage_column_margin_[i]);
  const uint64_t extra_left = std::min<uint64_t>(p.x0, margin);
  const uint64_t extra_right =
      std::min<uint64_t>(stage_extent_[i].xsize - p.x0 - p.xsize, margin);
  return stage.RenderRow(sc.stage_input[i], sc.stage_output[i], extra_left,
                         extra_right, p.xsize, p.x0, static_cast<size_t>(big_y), thread);
}

Status LowMemoryRenderPipeline::RunTailStages(RowScratch& sc, int64_t w, uint64_t ypos,
                                              int64_t skip, uint64_t thread) {
  const size_t n = stages.size();
  const size_t channels = layout_.size();
  for (size_t c = 0; c < channels; ++c) {
    const int32_t from = stage_row_source_[first_tail_stage_][c] + 1;
    sc.tail_input[c][0] = sc.sources[from * channels + c].Row(w);
  }
  for (size_t i = first_tail_stage_; i < first_image_space_stage_; ++i) {
    const PixelRect& p = sc.process_rect[i];
    if (p.xsize == 0 || ypos >= p.ysize) continue;
    QOV_RETURN_IF_ERROR(stages[i]->RenderRow(sc.tail_input, sc.no_output, 0, 0, p.xsize,
                                             p.x0, ypos, thread));
  }
  if (first_image_space_stage_ >= n) return OkStatus();
  for (size_t c = 0; c < channels; ++c) sc.tail_input[c][0] += skip;
  const int64_t iy = static_cast<int64_t>(ypos) + frame_position_y_;
  if (iy < 0 || iy >= static_cast<int64_t>(image_height_)) return OkStatus();
  for (size_t i = first_image_space_stage_; i < n; ++i) {
    const PixelRect& p = sc.process_rect[i];
    if (p.xsize == 0) continue;
    QOV_RETURN_IF_ERROR(stages[i]->RenderRow(sc.tail_input, sc.no_output, 0, 0, p.xsize,
                                             p.x0, static_cast<size_t>(iy), thread));
  }
  return OkStatus();
}

Status LowMemoryRenderPipeline::RunStagesOverRect(uint64_t thread,
                                                  std::vector<PlaneStorage>& buffers,
                                                  const PixelRect& data,
                                                  const PixelRect& area) {
  const size_t n = stages.size();
  const size_t channels = layout_.size();
  if (thread >= scratch_.size() || thread >= stage_rings_.size() ||
      first_tail_stage_ >= n) {
    return FailedStatus();
  }
  RowScratch& sc = scratch_[thread];

  // The area in upsampled frame samples, cut at the frame's edges.
  const PixelRect up = UpsampledArea(area);
  QOV_RETURN_IF_ERROR(SetStageRects(sc, up));

  if (stage_rings_[thread].size() != buffers.size() ||
      channel_shifts[0].size() != buffers.size() || buffers.size() != channels) {
    return FailedStatus();
  }
  for (size_t c = 0; c < channels; ++c) {
    if (stage_rings_[thread][c].size() != n) return FailedStatus();
  }
  for (size_t c = 0; c < channels; ++c) {
    SetRingSources(sc, thread, c);
    QOV_RETURN_IF_ERROR(SetInputSource(sc, c, buffers[c], data, up.ysize));
  }

  // Step v of the row loop: each stage before the tail, with lead L, is at
  // row v - (largest lead) + L of the upsampled area, L rows ahead of the
  // tail, which runs row v - (largest lead).
  std::fill(sc.window_filled.begin(), sc.window_filled.end(), 0);
  int32_t lead_max = 0;
  for (int32_t lead : stage_lead_rows_) lead_max = std::max(lead_max, lead);
  const int64_t big_l = lead_max;
  const int64_t rows = static_cast<int64_t>(up.ysize);
  // Image-space stages start at the first column of the frame inside the
  // image.
  const int64_t skip =
      std::max<int64_t>(-(static_cast<int64_t>(up.x0) + frame_position_x_), 0);
  for (int64_t v = -big_l; v < rows + big_l; ++v) {
    for (size_t i = 0; i < first_tail_stage_; ++i) {
      QOV_RETURN_IF_ERROR(RunRingStage(sc, i, v, big_l, thread));
    }
    const int64_t w = v - big_l;
    if (w < 0 || w >= rows) continue;
    QOV_RETURN_IF_ERROR(
        RunTailStages(sc, w, up.y0 + static_cast<uint64_t>(w), skip, thread));
  }
  return OkStatus();
}

}  // namespace qov
