// Whole-frame rendering: group planes in, every stage over the whole frame
// on working copies, the image-coordinate switch for a compositing stage.
#include "lib/render/simple_render_pipeline.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "lib/base/bits.h"

namespace qov {

namespace {

constexpr uint64_t kMargin = SimpleRenderPipeline::kPlaneMargin;
// Columns of room after a working row's right margin: output rows of an
// upscaling stage may be written up to 7 << 3 samples past their end, and a
// stage spanning a wider channel reads a vector beyond that.
constexpr uint64_t kRowSlack = 128;
// Rows of room below: an upscaled odd-sized channel may exceed the frame's
// size by up to 7 rows before it is trimmed.
constexpr uint64_t kRowsSlack = 8;
// Borders beyond the plane margin, and shifts beyond 8x, are refused.
constexpr uint64_t kMaxBorder = kMargin;
constexpr uint64_t kMaxShift = 3;

float* PlaneRow(const PlaneF& plane, uint64_t row) { return plane.Row(row); }

// A working plane able to hold any channel of a frame whose largest sizes
// are max_x x max_y, with margins and row slack.
StatusOr<PlaneF> MakeWorkPlane(const QovMemoryManagerStruct* manager,
                               uint64_t max_x, uint64_t max_y) {
  const uint64_t xs = max_x + 2 * kMargin + kRowSlack;
  const uint64_t ys = max_y + 2 * kMargin + kRowsSlack;
  if (xs > UINT32_MAX || ys > UINT32_MAX) return FailedStatus();
  return PlaneF::Create(manager, xs, ys);
}

Status SetChannelSize(PlaneF* plane, uint64_t w, uint64_t h) {
  const uint64_t xs = w + 2 * kMargin, ys = h + 2 * kMargin;
  if (xs > plane->created_xsize() || ys > plane->created_ysize()) {
    return FailedStatus();
  }
  return plane->SetLogicalSize(static_cast<uint32_t>(xs),
                               static_cast<uint32_t>(ys));
}

uint64_t ChannelWidth(const PlaneStorage& plane) {
  return plane.xsize() - 2 * kMargin;
}
uint64_t ChannelHeight(const PlaneStorage& plane) {
  return plane.ysize() - 2 * kMargin;
}

// Fills the border columns and rows of a w x h channel by mirroring.
void MirrorBorders(const PlaneF& plane, uint64_t w, uint64_t h, uint64_t bx,
                   uint64_t by) {
  if (w == 0 || h == 0) return;
  const int64_t n = static_cast<int64_t>(w);
  for (uint64_t y = 0; y < h; ++y) {
    float* row = PlaneRow(plane, y + kMargin) + kMargin;
    for (int64_t i = 0; i < static_cast<int64_t>(bx); ++i) {
      row[-1 - i] = row[Mirror(-1 - i, n)];
      row[n + i] = row[Mirror(n + i, n)];
    }
  }
  const int64_t m = static_cast<int64_t>(h);
  const size_t bytes = (w + 2 * bx) * sizeof(float);
  auto copy_row = [&](int64_t to, int64_t from) {
    std::memcpy(PlaneRow(plane, to + kMargin) + kMargin - bx,
                PlaneRow(plane, from + kMargin) + kMargin - bx, bytes);
  };
  for (int64_t i = 0; i < static_cast<int64_t>(by); ++i) {
    copy_row(-1 - i, Mirror(-1 - i, m));
  }
  for (int64_t i = 0; i < static_cast<int64_t>(by); ++i) {
    copy_row(m + i, Mirror(m + i, m));
  }
}

// The geometry of a plain W x H frame, used once a stage has composed the
// frame onto the whole image.
FrameGeometry ImageFrameGeometry(uint64_t w, uint64_t h) {
  FrameGeometry g;
  g.xsize = g.xsize_upsampled = w;
  g.ysize = g.ysize_upsampled = h;
  g.xsize_padded = g.xsize_upsampled_padded = (w + 7) / 8 * 8;
  g.ysize_padded = g.ysize_upsampled_padded = (h + 7) / 8 * 8;
  g.xsize_blocks = (w + 7) / 8;
  g.ysize_blocks = (h + 7) / 8;
  g.xsize_groups = (w + 127) / 128;
  g.ysize_groups = (h + 127) / 128;
  g.xsize_dc_groups = (g.xsize_blocks + 127) / 128;
  g.ysize_dc_groups = (g.ysize_blocks + 127) / 128;
  g.num_groups = g.xsize_groups * g.ysize_groups;
  g.num_dc_groups = g.xsize_dc_groups * g.ysize_dc_groups;
  g.group_dim = 128;
  g.dc_group_dim = 1024;
  return g;
}

// The destination start, source start and length of a frame span of `size`
// at `origin` clipped to [0, limit); length 0 when nothing overlaps.
struct ClippedSpan {
  uint64_t dst = 0, src = 0, size = 0;
};
ClippedSpan Clip(int64_t origin, uint64_t size, uint64_t limit) {
  ClippedSpan span;
  const int64_t start = std::max<int64_t>(origin, 0);
  const int64_t end = std::min<int64_t>(origin + static_cast<int64_t>(size),
                                        static_cast<int64_t>(limit));
  if (end <= start) return span;
  span.dst = static_cast<uint64_t>(start);
  span.src = static_cast<uint64_t>(start - origin);
  span.size = static_cast<uint64_t>(end - start);
  return span;
}

}  // namespace

StatusOr<PlaneF> SimpleRenderPipeline::TakePlane(uint64_t max_x,
                                                 uint64_t max_y) {
  const uint64_t xs = max_x + 2 * kMargin + kRowSlack;
  const uint64_t ys = max_y + 2 * kMargin + kRowsSlack;
  for (size_t i = 0; i < spare_planes_.size(); ++i) {
    if (spare_planes_[i].created_xsize() == xs &&
        spare_planes_[i].created_ysize() == ys) {
      PlaneF plane = std::move(spare_planes_[i]);
      spare_planes_[i] = std::move(spare_planes_.back());
      spare_planes_.pop_back();
      return StatusOr<PlaneF>(std::move(plane));
    }
  }
  return MakeWorkPlane(memory_manager, max_x, max_y);
}

void SimpleRenderPipeline::GivePlane(PlaneF&& plane) {
  if (plane.allocated()) spare_planes_.push_back(std::move(plane));
}

std::unique_ptr<RenderPipeline> MakeSimpleRenderPipeline(
    const QovMemoryManagerStruct* manager) {
  return std::make_unique<SimpleRenderPipeline>(manager);
}

SimpleRenderPipeline::~SimpleRenderPipeline() {
  spare_planes_ = std::vector<PlaneF>();
  channel_planes = std::vector<PlaneF>();
}

Status SimpleRenderPipeline::SetUpThreadsImpl(size_t /*num_threads*/,
                                              bool /*use_group_ids*/) {
  const size_t channels = channel_shifts.empty() ? 0 : channel_shifts[0].size();
  // Row sets reserved for the widest window and deepest output of any stage,
  // so that rendering never grows them.
  size_t max_in = 1, max_out = 1;
  for (const auto& stage : stages) {
    const StageGeometry& g = stage->geometry();
    if (g.border_y <= kMaxBorder) max_in = std::max<size_t>(max_in, 2 * g.border_y + 1);
    if (g.shift_y <= kMaxShift) max_out = std::max<size_t>(max_out, size_t{1} << g.shift_y);
  }
  input_rows_.resize(channels);
  output_rows_.resize(channels);
  for (size_t c = 0; c < channels; ++c) {
    input_rows_[c].reserve(max_in);
    output_rows_[c].reserve(max_out);
  }

  if (!channel_planes.empty()) return OkStatus();
  // Built aside so that a failure leaves no partial set behind.
  std::vector<PlaneF> planes;
  planes.reserve(channels);
  for (size_t c = 0; c < channels; ++c) {
    const auto [sx, sy] = channel_shifts[0][c];
    const uint64_t w = DivCeilShift(frame_geometry.xsize_upsampled, sx);
    const uint64_t h = DivCeilShift(frame_geometry.ysize_upsampled, sy);
    QOV_ASSIGN_OR_RETURN(
        PlaneF plane,
        PlaneF::Create(memory_manager, w + 2 * kMargin, h + 2 * kMargin));
    planes.push_back(std::move(plane));
  }
  channel_planes = std::move(planes);
  return OkStatus();
}

std::vector<GroupBuffer> SimpleRenderPipeline::AcquireGroupBuffers(
    uint64_t group_id, uint64_t /*thread_id*/) {
  const size_t channels = channel_shifts.empty() ? 0 : channel_shifts[0].size();
  std::vector<GroupBuffer> buffers(channels);
  const FrameGeometry& geo = frame_geometry;
  if (channel_planes.size() != channels || geo.xsize_groups == 0 ||
      group_id >= geo.num_groups) {
    for (size_t c = 0; c < buffers.size() && c < channel_planes.size(); ++c) {
      buffers[c].plane = &channel_planes[c];
    }
    return buffers;
  }
  const uint64_t upsampling =
      geo.xsize_padded == 0 ? 1 : geo.xsize_upsampled_padded / geo.xsize_padded;
  const uint64_t up_shift = CeilLog2(upsampling);
  for (size_t c = 0; c < channels; ++c) {
    const auto [sx, sy] = channel_shifts[0][c];
    GroupBuffer& b = buffers[c];
    b.plane = &channel_planes[c];
    b.rect = geo.GroupRectInChannel(group_id, up_shift, sx, sy);
    b.rect.x0 += kMargin;
    b.rect.y0 += kMargin;
  }
  return buffers;
}

Status SimpleRenderPipeline::RenderGroup(uint64_t /*group_id*/,
                                         uint64_t thread_id) {
  // Claim the render: among concurrent submissions that see it due, exactly
  // one moves renders_done past its old value. A claimed render counts even
  // when it fails.
  uint64_t done = renders_done_.load();
  do {
    if (!RoundComplete(done)) return OkStatus();
  } while (!renders_done_.compare_exchange_weak(done, done + 1));
  return RenderFrame(thread_id);
}

bool SimpleRenderPipeline::RoundComplete(uint64_t done) const {
  // Counters wrap at 256: a group still at the count of `done` renders has
  // not been submitted for the next round.
  const uint8_t last_round = static_cast<uint8_t>(done);
  if (group_submissions.empty()) return false;
  for (uint64_t g = 0; g < group_submissions.size(); ++g) {
    if (SubmissionCount(g) == last_round) return false;
  }
  return true;
}

Status SimpleRenderPipeline::CopyDecodedPlanes(uint64_t max_x, uint64_t max_y,
                                               std::vector<PlaneF>* work) {
  const size_t channels = channel_planes.size();
  work->reserve(channels);
  for (size_t c = 0; c < channels; ++c) {
    const PlaneF& source = channel_planes[c];
    const uint64_t w = ChannelWidth(source), h = ChannelHeight(source);
    QOV_ASSIGN_OR_RETURN(PlaneF plane, TakePlane(max_x, max_y));
    QOV_RETURN_IF_ERROR(SetChannelSize(&plane, w, h));
    for (uint64_t y = 0; y < h; ++y) {
      std::memcpy(plane.Row(y + kMargin) + kMargin,
                  source.Row(y + kMargin) + kMargin, w * sizeof(float));
    }
    work->push_back(std::move(plane));
  }
  return OkStatus();
}

Status SimpleRenderPipeline::RunStage(size_t s, const FrameGeometry& geo,
                                      uint64_t max_x, uint64_t max_y,
                                      uint64_t thread_id, std::vector<PlaneF>& work,
                                      uint64_t* stage_xsize, uint64_t* stage_ysize) {
  const size_t channels = channel_planes.size();
  const size_t n = stages.size();
  RenderPipelineStage& stage = *stages[s];
  const StageGeometry& g = stage.geometry();
  if (g.border_x > kMaxBorder || g.border_y > kMaxBorder ||
      g.shift_x > kMaxShift || g.shift_y > kMaxShift) {
    return FailedStatus();
  }
  std::vector<RowChannelMode> modes(channels);
  ChannelSizes sizes(channels);
  std::vector<PlaneF> outputs(channels);
  uint64_t xsize = 0, ysize = 0;
  for (size_t c = 0; c < channels; ++c) {
    modes[c] = stage.ChannelModeOf(c);
    sizes[c] = {ChannelWidth(work[c]), ChannelHeight(work[c])};
    if (modes[c] != RowChannelMode::kNotUsed) {
      xsize = std::max<uint64_t>(xsize, sizes[c].first);
      ysize = std::max<uint64_t>(ysize, sizes[c].second);
    }
  }
  // Output rows span the stage's whole extent, upscaled: it must stay
  // within the working planes (it exceeds the frame only by rounding).
  const bool separate = std::find(modes.begin(), modes.end(),
                                  RowChannelMode::kSeparateOutput) != modes.end();
  if (separate && ((xsize << g.shift_x) > max_x + kRowsSlack ||
                   (ysize << g.shift_y) > max_y + kRowsSlack)) {
    return FailedStatus();
  }
  for (size_t c = 0; c < channels; ++c) {
    if (modes[c] != RowChannelMode::kSeparateOutput) continue;
    const auto [w, h] = sizes[c];
    QOV_ASSIGN_OR_RETURN(outputs[c], TakePlane(max_x, max_y));
    QOV_RETURN_IF_ERROR(
        SetChannelSize(&outputs[c], w << g.shift_x, h << g.shift_y));
    MirrorBorders(work[c], w, h, g.border_x, g.border_y);
  }
  if (xsize == 0 || ysize == 0) return FailedStatus();
  QOV_RETURN_IF_ERROR(stage.AcceptInputSizes(sizes));

  for (size_t c = 0; c < channels; ++c) {
    const bool used = modes[c] != RowChannelMode::kNotUsed;
    const bool separate = modes[c] == RowChannelMode::kSeparateOutput;
    input_rows_[c].resize(used ? 2 * g.border_y + 1 : 0);
    output_rows_[c].resize(separate ? size_t{1} << g.shift_y : 0);
  }
  for (uint64_t y = 0; y < ysize; ++y) {
    for (size_t c = 0; c < channels; ++c) {
      std::vector<float*>& in = input_rows_[c];
      for (size_t k = 0; k < in.size(); ++k) {
        in[k] = work[c].Row(y + kMargin + k - g.border_y);
      }
      std::vector<float*>& out = output_rows_[c];
      for (size_t k = 0; k < out.size(); ++k) {
        out[k] = outputs[c].Row((y << g.shift_y) + k + kMargin);
      }
    }
    QOV_RETURN_IF_ERROR(stage.RenderRow(input_rows_, output_rows_, 0, 0,
                                        xsize, 0, y, thread_id));
  }

  const size_t t = std::min(s + 1, n - 1);
  for (size_t c = 0; c < channels; ++c) {
    if (modes[c] == RowChannelMode::kSeparateOutput) {
      GivePlane(std::move(work[c]));
      work[c] = std::move(outputs[c]);
      outputs[c] = PlaneF();
    }
    const auto [sx, sy] = channel_shifts[t][c];
    QOV_RETURN_IF_ERROR(SetChannelSize(&work[c],
                                       DivCeilShift(geo.xsize_upsampled, sx),
                                       DivCeilShift(geo.ysize_upsampled, sy)));
  }
  *stage_xsize = xsize;
  *stage_ysize = ysize;
  return OkStatus();
}

Status SimpleRenderPipeline::PlaceInImage(const RenderPipelineStage& stage,
                                          uint64_t xsize, uint64_t ysize,
                                          std::vector<PlaneF>& work,
                                          FrameGeometry* geo, uint64_t* max_x,
                                          uint64_t* max_y) {
  const size_t channels = channel_planes.size();
  size_t image_w = 0, image_h = 0;
  std::pair<int32_t, int32_t> origin{0, 0};
  stage.ImageGeometry(&image_w, &image_h, &origin);
  *geo = ImageFrameGeometry(image_w, image_h);
  *max_x = geo->xsize_upsampled_padded;
  *max_y = geo->ysize_upsampled_padded;
  std::vector<PlaneF> image(channels);
  for (size_t c = 0; c < channels; ++c) {
    QOV_ASSIGN_OR_RETURN(image[c], TakePlane(*max_x, *max_y));
    QOV_RETURN_IF_ERROR(SetChannelSize(&image[c], image_w, image_h));
    output_rows_[c].resize(1);
  }
  for (uint64_t y = 0; y < image_h; ++y) {
    for (size_t c = 0; c < channels; ++c) {
      output_rows_[c][0] = image[c].Row(y + kMargin);
    }
    QOV_RETURN_IF_ERROR(stage.RenderPaddingRow(output_rows_, image_w, 0, y));
  }
  // A frame that shares no row or column with the image copies nothing.
  const ClippedSpan cx = Clip(origin.first, xsize, image_w);
  const ClippedSpan cy = Clip(origin.second, ysize, image_h);
  for (size_t c = 0; c < channels && cx.size != 0 && cy.size != 0; ++c) {
    if (cx.src + cx.size > ChannelWidth(work[c]) ||
        cy.src + cy.size > ChannelHeight(work[c])) {
      return FailedStatus();
    }
    for (uint64_t y = 0; y < cy.size; ++y) {
      std::memcpy(image[c].Row(cy.dst + y + kMargin) + kMargin + cx.dst,
                  work[c].Row(cy.src + y + kMargin) + kMargin + cx.src,
                  cx.size * sizeof(float));
    }
  }
  for (PlaneF& plane : work) GivePlane(std::move(plane));
  work = std::move(image);
  return OkStatus();
}

Status SimpleRenderPipeline::RenderFrame(uint64_t thread_id) {
  const size_t channels = channel_planes.size();
  if (channels == 0 || stages.empty() || input_rows_.size() != channels ||
      channel_shifts.size() != stages.size()) {
    return FailedStatus();
  }
  FrameGeometry geo = frame_geometry;
  // Largest channel extent at any stage: every working plane can hold it.
  uint64_t max_x = std::max(geo.xsize_upsampled, geo.xsize_upsampled_padded);
  uint64_t max_y = std::max(geo.ysize_upsampled, geo.ysize_upsampled_padded);

  std::vector<PlaneF> work;
  QOV_RETURN_IF_ERROR(CopyDecodedPlanes(max_x, max_y, &work));
  for (size_t s = 0; s < stages.size(); ++s) {
    uint64_t xsize = 0, ysize = 0;
    QOV_RETURN_IF_ERROR(
        RunStage(s, geo, max_x, max_y, thread_id, work, &xsize, &ysize));
    // From here on the frame is part of the whole image.
    if (stages[s]->UsesImageCoordinates()) {
      QOV_RETURN_IF_ERROR(
          PlaceInImage(*stages[s], xsize, ysize, work, &geo, &max_x, &max_y));
    }
  }
  for (PlaneF& plane : work) GivePlane(std::move(plane));
  return OkStatus();
}

}  // namespace qov
