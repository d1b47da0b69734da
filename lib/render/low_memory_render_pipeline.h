// The group-by-group render pipeline: renders each group as soon as its
// samples arrive, deferring the bands along group edges until the groups
// beside them have finished, with group-sized buffers and a few ring rows
// per thread instead of whole-frame planes.
#ifndef QOV_LIB_RENDER_LOW_MEMORY_RENDER_PIPELINE_H_
#define QOV_LIB_RENDER_LOW_MEMORY_RENDER_PIPELINE_H_

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "lib/base/image.h"
#include "lib/base/status.h"
#include "lib/render/group_border_tracker.h"
#include "lib/render/render_pipeline.h"

namespace qov {

// Concurrency: AcquireGroupBuffers and RenderGroup run on several threads at
// once for different groups, each call with its own thread id (and its own
// group when buffers_per_group); they share only the saved edge strips (each
// group writes its own) and the border tracker (atomic). Configure and
// SetUpThreadsImpl run alone. Group buffers keep the decoded samples: rows
// that stages change in place are changed in a per-thread working copy.
class LowMemoryRenderPipeline final : public RenderPipeline {
 public:
  explicit LowMemoryRenderPipeline(const QovMemoryManagerStruct* manager)
      : RenderPipeline(manager) {}
  ~LowMemoryRenderPipeline() override;

  // Forgets that the group finished, so that the bands it shares are
  // rendered again once it is submitted again.
  void ForgetGroup(uint64_t group) override;
  // Per channel: plane c of the buffer set of the group (buffers_per_group)
  // or of the thread, and the rectangle receiving the group's samples.
  std::vector<GroupBuffer> AcquireGroupBuffers(uint64_t group,
                                              uint64_t thread) override;
  // Saves the group's edges, fills the image outside the frame that the
  // group is responsible for and renders every rectangle that became ready.
  Status RenderGroup(uint64_t group, uint64_t thread) override;
  // Grows the buffer sets to the thread (or group) count and rebuilds the
  // per-thread rings, outside-frame rows and row sets.
  Status SetUpThreadsImpl(size_t num_threads, bool buffers_per_group) override;
  // Derives the group layout, edge bands, margins and per-stage tables, sizes
  // the edge storage and gives every stage its input sizes.
  Status Configure() override;

  // Renders an image rectangle that the frame does not cover through the
  // stages in image coordinates (the first of them fills it).
  Status FillOutsideFrameRect(uint64_t thread, const PixelRect& rect);
  // Runs every stage over the ready rectangle `area` (frame samples before
  // upsampling), found at `data` in the group buffers.
  Status RunStagesOverRect(uint64_t thread, std::vector<PlaneStorage>& buffers,
                           const PixelRect& data, const PixelRect& area);

  // Edge storage between groups.
  Status AllocateBorderStorage();
  // Saves the group's edge strips of channel c from its buffer.
  Status StoreGroupEdges(uint64_t group, size_t c, const PlaneStorage& buffer);
  // Copies the neighbours' strips around `rect` into the group's buffer.
  Status FetchNeighbourEdges(uint64_t group, size_t c, const PixelRect& rect,
                             PlaneStorage* buffer);

  // Read access for tests.
  uint64_t edge_band_x() const { return edge_band_x_; }
  uint64_t edge_band_y() const { return edge_band_y_; }
  uint64_t buffer_margin_x() const { return buffer_margin_x_; }
  uint64_t buffer_margin_y() const { return buffer_margin_y_; }
  uint64_t first_tail_stage() const { return first_tail_stage_; }
  uint64_t first_image_space_stage() const { return first_image_space_stage_; }
  const std::vector<int32_t>& stage_lead_rows() const { return stage_lead_rows_; }
  const std::vector<int32_t>& stage_column_margin() const { return stage_column_margin_; }
  size_t num_buffer_sets() const { return group_buffers_.size(); }
  size_t num_ring_threads() const { return stage_rings_.size(); }
  size_t num_outside_rows() const { return outside_rows_.size(); }
  const PlaneStorage& saved_row_edges(size_t c) const { return saved_row_edges_[c]; }
  const PlaneStorage& saved_column_edges(size_t c) const {
    return saved_column_edges_[c];
  }

 private:
  // Derived sizes of one channel (see Configure).
  struct ChannelLayout {
    uint64_t shift_x = 0, shift_y = 0;      // still to upsample at stage 0
    uint64_t pad_x = 0, pad_y = 0;          // input padding of stage 0
    uint64_t group_x = 0, group_y = 0;      // group size in the channel
    uint64_t xsize = 0, ysize = 0;          // channel size
    uint64_t strip_x = 0, strip_y = 0;      // saved edge strip width, height
  };
  // Where row r of a channel's rows lives: base + (r & mask) * stride.
  struct RowSource {
    float* base = nullptr;
    int32_t mask = 0;
    int64_t stride = 0;
    float* Row(int64_t r) const { return base + (r & mask) * stride; }
  };
  // Everything one thread's row driver works with, made once per set-up so
  // that rendering allocates nothing.
  struct RowScratch {
    std::vector<PixelRect> stage_rect;    // S[i]
    std::vector<PixelRect> process_rect;  // P[i]
    std::vector<RowSource> sources;       // (stage count + 1) x channels
    std::vector<ChannelRowSet> stage_input;  // per stage before the tail
    std::vector<uint8_t> window_filled;   // per stage before the tail
    std::vector<int64_t> stage_row;       // current row of each such stage
    // Per stage before the tail: 1 << shift_y output rows for every
    // channel the stage writes anew, none for the others.
    std::vector<ChannelRowSet> stage_output;
    ChannelRowSet tail_input;
    ChannelRowSet no_output;  // one empty entry per channel
    // Working copies of group-buffer channels that stages change in place
    // while earlier stages still read them; empty for other channels.
    std::vector<PlaneStorage> work_copy;
  };

  // Where one group's channel sits for the edge copies: its column and row
  // in the grid, its extent [x0, x1) x [y0, y1) in channel samples, the
  // buffer margins and the saved strips' width and height.
  struct GroupEdgeFrame {
    int64_t gx = 0, gy = 0;
    int64_t x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    int64_t mx = 0, my = 0;
    int64_t bx = 0, by = 0;
  };
  GroupEdgeFrame EdgeFrameOf(uint64_t group, size_t c) const;
  // A float plane of that size, or Failed when a size reaches 2^32.
  Status MakeFloatPlane(uint64_t xsize, uint64_t ysize, uint64_t headroom,
                        PlaneStorage* out) const;
  Status AcceptAllInputSizes();
  // Row count (before rounding to a power of two) of the ring of stage i for
  // channel c; next_border is border_y of the next stage writing c anew.
  uint64_t RingRows(size_t i, size_t c, uint64_t next_border) const;
  void ComputeStageTables();
  void MirrorRowIntoBuffer(RowScratch& scratch, size_t stage, size_t c, size_t j);
  // The phases of RunStagesOverRect. The ready area in upsampled frame
  // samples, cut at the frame's edges.
  PixelRect UpsampledArea(const PixelRect& area) const;
  // Each stage's rectangle S[i] (its own resolution) and the part P[i] it
  // processes (image coordinates from the first image-space stage on).
  Status SetStageRects(RowScratch& scratch, const PixelRect& upsampled);
  // Channel c's rows written by each stage: its ring in that stage's slot,
  // none where the stage does not write the channel anew.
  void SetRingSources(RowScratch& scratch, uint64_t thread, size_t c);
  // Channel c's decoded rows (the group buffer at `data`, or a work copy of
  // the rows the area reaches when stages change them in place).
  Status SetInputSource(RowScratch& scratch, size_t c, const PlaneStorage& buffer,
                        const PixelRect& data, uint64_t upsampled_rows);
  // Stage i (before the tail) at step v of the row loop, when it has a row
  // there: slides its input window and renders the row into its ring.
  Status RunRingStage(RowScratch& scratch, size_t i, int64_t v, int64_t lead_max,
                      uint64_t thread);
  // The tail stages over row w of the area (frame row ypos), then the
  // image-space stages over its image row, `skip` columns in.
  Status RunTailStages(RowScratch& scratch, int64_t w, uint64_t ypos, int64_t skip,
                       uint64_t thread);
  Status RenderOutsideFrame(uint64_t group, uint64_t thread);
  bool HasBufferSet(uint64_t group, uint64_t thread) const {
    return group < frame_geometry.num_groups &&
           (buffers_per_group_ ? group : thread) < group_buffers_.size();
  }
  std::vector<PlaneStorage>& BufferSet(uint64_t group, uint64_t thread) {
    return group_buffers_[buffers_per_group_ ? group : thread];
  }

  bool buffers_per_group_ = false;
  std::vector<PlaneStorage> saved_row_edges_;
  std::vector<PlaneStorage> saved_column_edges_;
  GroupBorderTracker border_tracker_;
  uint64_t edge_band_x_ = 0;
  uint64_t edge_band_y_ = 0;
  uint64_t upsampling_shift_ = 0;
  std::vector<std::vector<PlaneStorage>> group_buffers_;
  uint64_t buffer_margin_x_ = 0;
  uint64_t buffer_margin_y_ = 0;
  std::vector<std::vector<std::vector<PlaneStorage>>> stage_rings_;
  std::vector<PlaneStorage> outside_rows_;
  std::vector<int32_t> stage_probe_channel_;
  std::vector<PixelRect> stage_extent_;
  std::vector<std::vector<int32_t>> stage_row_source_;
  std::vector<int32_t> stage_lead_rows_;
  std::vector<int32_t> stage_column_margin_;
  uint64_t first_tail_stage_ = 0;
  int32_t frame_position_x_ = 0;
  int32_t frame_position_y_ = 0;
  uint64_t image_width_ = 0;
  uint64_t image_height_ = 0;
  uint64_t first_image_space_stage_ = 0;

  std::vector<ChannelLayout> layout_;
  // Per channel: stages change the group buffer's rows in place while stages
  // before the tail read them, so each rectangle runs on a fresh copy.
  std::vector<uint8_t> needs_work_copy_;
  std::vector<RowScratch> scratch_;
};

}  // namespace qov

#endif  // QOV_LIB_RENDER_LOW_MEMORY_RENDER_PIPELINE_H_
