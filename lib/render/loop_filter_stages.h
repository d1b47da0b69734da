// The loop-filter stages: Gaborish smoothing of the three colour channels
// and the three edge-preserving filter steps, which read one inverse sigma
// per 8 x 8 block from the frame's inverse-sigma image.
#ifndef QOV_LIB_RENDER_LOOP_FILTER_STAGES_H_
#define QOV_LIB_RENDER_LOOP_FILTER_STAGES_H_

#include <cstddef>
#include <memory>

#include "lib/base/image.h"
#include "lib/bitstream/frame_header.h"
#include "lib/render/loop_filter_kernels.h"
#include "lib/render/render_stage.h"

namespace qov {

// Separate output for channels 0 to 2, border 1. Weights are copied and
// normalised when the stage is made.
class GaborishStage final : public RenderPipelineStage {
 public:
  explicit GaborishStage(const LoopFilter& filter);
  // Filters the span and its extras of channels 0 to 2; Failed only for a
  // row set without those channels.
  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t thread_id) const override;
  RowChannelMode ChannelModeOf(size_t c) const override;
  const char* StageName() const override { return "Gab"; }

  const GaborishWeights& weights(size_t c) const { return weights_[c]; }

 private:
  GaborishWeights weights_[3];
};

// One step (0, 1 or 2) of the edge-preserving filter: separate output for
// channels 0 to 2, border 3, 2 or 1. Reads the inverse-sigma image (block
// (bx, by) at column bx + 2, row by + 2) at every row through the pointer;
// the plane must hold its final values before rows are rendered and
// outlive the stage.
class EpfStage final : public RenderPipelineStage {
 public:
  EpfStage(const LoopFilter& filter, const PlaneF* inverse_sigma, int step);
  // Failed when xpos is not a multiple of 8, when the row or its columns
  // reach past the inverse-sigma image, or for a row set without channels
  // 0 to 2; otherwise Ok.
  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t thread_id) const override;
  RowChannelMode ChannelModeOf(size_t c) const override;
  const char* StageName() const override;

  int step() const { return step_; }
  // Block interior and block edge multipliers of the step.
  float interior_multiplier() const { return interior_; }
  float edge_multiplier() const { return edge_; }

 private:
  int step_;
  const PlaneF* inverse_sigma_;
  float channel_weights_[3];
  float interior_;
  float edge_;
};

// A GaborishStage when the filter enables it, else none (not a failure).
std::unique_ptr<RenderPipelineStage> MakeGaborishStage(
    const LoopFilter& filter);

// The stage of filter step `step` (0, 1 or 2) over the frame's
// inverse-sigma image; none when the filter has no steps or the step index
// is out of range. Which steps a frame gets is the caller's choice: 1 step
// is step 1; 2 steps are 1 then 2; 3 steps are 0, 1, 2.
std::unique_ptr<RenderPipelineStage> MakeEpfStage(const LoopFilter& filter,
                                                  const PlaneF* inverse_sigma,
                                                  int step);
// The same for callers holding the image by reference; a step above 2 gives
// none.
std::unique_ptr<RenderPipelineStage> MakeEpfStage(const LoopFilter& filter,
                                                  const PlaneF& inverse_sigma,
                                                  size_t step);

}  // namespace qov

#endif  // QOV_LIB_RENDER_LOOP_FILTER_STAGES_H_
