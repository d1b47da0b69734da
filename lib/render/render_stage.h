// The contract between a render stage and the pipeline that drives it: what
// a stage declares (geometry, per-channel mode), the rows it receives and the
// operations the pipeline calls.
#ifndef QOV_LIB_RENDER_RENDER_STAGE_H_
#define QOV_LIB_RENDER_RENDER_STAGE_H_

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "lib/base/status.h"

namespace qov {

// Set by the stage's constructor, never changed. All zero for a stage that
// declares no kSeparateOutput channel.
struct StageGeometry {
  uint64_t border_x = 0;  // input columns needed on each side of an output
  uint64_t border_y = 0;  // input rows needed above and below
  uint64_t shift_x = 0;   // log2 horizontal upscaling
  uint64_t shift_y = 0;   // log2 vertical upscaling
};

// What a stage does with one channel.
enum class RowChannelMode : int32_t {
  kNotUsed = 0,         // neither read nor written; rows pass by unchanged
  kModifyRows = 1,      // the current row is read and overwritten in place
  kSeparateOutput = 2,  // a window of input rows is read, separate (possibly
                        // upscaled) output rows are written
  kReadOnly = 3,        // the current row is only read
};

// Row pointers, one vector per channel of the frame. Every pointer addresses
// the sample 32 positions before the span's first sample: sample xpos + i is
// at index kRowLeadSamples + i.
// Input: a used channel has 2 * border_y + 1 rows, entry border_y being the
// current row. Output: a kSeparateOutput channel has 1 << shift_y rows,
// entry k being output row (ypos << shift_y) + k.
using ChannelRowSet = std::vector<std::vector<float*>>;

// Samples of room before the span's first sample in every row handed out.
inline constexpr size_t kRowLeadSamples = 32;

// One (xsize, ysize) pair per channel.
using ChannelSizes = std::vector<std::pair<size_t, size_t>>;

// Base of every render stage. Stages are made on the heap by their factory
// and owned by the assembler, then by the pipeline.
//
// RenderRow may run on several threads at once on one stage object (each
// with its own thread_id); everything else runs on one thread while nothing
// renders. A stage keeps per-call working memory in per-thread scratch made
// in SetUpForThreads, never in its own fields.
class RenderPipelineStage {
 public:
  explicit RenderPipelineStage(const StageGeometry& geometry)
      : geometry_(geometry) {}
  virtual ~RenderPipelineStage() = default;
  RenderPipelineStage(const RenderPipelineStage&) = delete;
  RenderPipelineStage& operator=(const RenderPipelineStage&) = delete;

  // Renders one span of xsize input samples at (xpos, ypos) of the stage's
  // input resolution, plus extra_left and extra_right samples on either side
  // (for kSeparateOutput channels their upscaled outputs are written too).
  // kModifyRows/kReadOnly: samples xpos - extra_left to
  // xpos + xsize + extra_right - 1 of the current row. kSeparateOutput: reads
  // border_x more input samples on each side of that range on every input
  // row and writes outputs (xpos - extra_left) << shift_x up to
  // ((xpos + xsize + extra_right) << shift_x) - 1 on each output row.
  // A stage that cannot render extras fails when either is non-zero.
  // May read and write up to one vector beyond its range (the rows have the
  // room). thread_id is below the count given to SetUpForThreads.
  virtual Status RenderRow(const ChannelRowSet& input_rows,
                           const ChannelRowSet& output_rows, size_t extra_left,
                           size_t extra_right, size_t xsize, size_t xpos,
                           size_t ypos, size_t thread_id) const = 0;

  // The mode of channel c; depends on c only.
  virtual RowChannelMode ChannelModeOf(size_t c) const = 0;

  // Whether the stage can work at all; asked once after assembly.
  virtual Status CheckReady() const { return OkStatus(); }

  // The size of every channel's whole input at this stage, given before the
  // stage renders.
  virtual Status AcceptInputSizes(const ChannelSizes& /*input_sizes*/) {
    return OkStatus();
  }

  // Prepares per-thread scratch for num_threads threads; called again at
  // every pipeline set-up.
  virtual Status SetUpForThreads(size_t /*num_threads*/) { return OkStatus(); }

  // True for the one stage that works on the whole image (blending); it and
  // the stages after it then see image coordinates.
  virtual bool UsesImageCoordinates() const { return false; }

  // The image size and the frame's origin in it (asked of the stage that
  // uses image coordinates).
  virtual void ImageGeometry(size_t* /*image_xsize*/, size_t* /*image_ysize*/,
                             std::pair<int32_t, int32_t>* /*origin*/) const {}

  // Fills samples xpos to xpos + xsize - 1 of image row ypos, outside the
  // frame, in one output row per channel (same 32-sample convention).
  virtual Status RenderPaddingRow(const ChannelRowSet& /*output_rows*/,
                                  size_t /*xsize*/, size_t /*xpos*/,
                                  size_t /*ypos*/) const {
    return OkStatus();
  }

  // Constant short display name ("Upsample", "Blending", ...).
  virtual const char* StageName() const = 0;

  const StageGeometry& geometry() const { return geometry_; }

 private:
  const StageGeometry geometry_;
};

// Base of a stage that writes one channel into separate output rows (an
// upsampler, say) and leaves every other channel alone.
class SingleChannelStage : public RenderPipelineStage {
 public:
  SingleChannelStage(const StageGeometry& geometry, size_t channel)
      : RenderPipelineStage(geometry), channel_(channel) {}
  RowChannelMode ChannelModeOf(size_t c) const override {
    return c == channel_ ? RowChannelMode::kSeparateOutput
                         : RowChannelMode::kNotUsed;
  }
  size_t channel() const { return channel_; }

 protected:
  const size_t channel_;
};

}  // namespace qov

#endif  // QOV_LIB_RENDER_RENDER_STAGE_H_
