// Render stages for tests that feed a real pipeline from the decoder: a
// stage that records one channel exactly as it reaches it, a nearest-
// neighbour upsampler for subsampled channels, and the stage list that ends
// the frame decoding state's stand-in pipeline with them.
#ifndef QOV_TESTS_SUPPORT_PIPELINE_CAPTURE_H_
#define QOV_TESTS_SUPPORT_PIPELINE_CAPTURE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "lib/bitstream/frame_header.h"
#include "lib/render/render_stage.h"

namespace qov::test {

// Records channel `channel` (kReadOnly) at the resolution it has where the
// stage sits; sizes come from AcceptInputSizes, which clears the record.
class ChannelCaptureStage : public RenderPipelineStage {
 public:
  explicit ChannelCaptureStage(size_t channel)
      : RenderPipelineStage(StageGeometry{}), channel_(channel) {}
  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t thread_id) const override;
  RowChannelMode ChannelModeOf(size_t c) const override {
    return c == channel_ ? RowChannelMode::kReadOnly : RowChannelMode::kNotUsed;
  }
  Status AcceptInputSizes(const ChannelSizes& input_sizes) override;
  const char* StageName() const override { return "ChannelCapture"; }

  float at(size_t x, size_t y) const { return samples[y * xsize + x]; }
  // Every sample written exactly once since the sizes were given.
  bool AllWrittenOnce() const;

  size_t xsize = 0, ysize = 0;
  // Written by RenderRow on disjoint rows of many threads.
  mutable std::vector<float> samples;
  mutable std::vector<uint8_t> writes;

 private:
  size_t channel_;
};

// Enlarges channel `channel` 2^shift times in both directions by repeating
// samples.
class NearestUpsampleStage : public SingleChannelStage {
 public:
  NearestUpsampleStage(size_t channel, uint64_t shift)
      : SingleChannelStage(StageGeometry{0, 0, shift, shift}, channel) {}
  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t thread_id) const override;
  RowChannelMode ChannelModeOf(size_t c) const override {
    return c == channel_ ? RowChannelMode::kSeparateOutput
                         : RowChannelMode::kNotUsed;
  }
  const char* StageName() const override { return "NearestUpsample"; }
};

// Stages for a frame's stand-in pipeline: one capture stage per channel
// (recording the pipeline's input), then an upsampler for every channel
// whose shift (log2 of its subsampling, from `shifts`, 0 when missing) is
// not 0, then a last capture of channel 0. `captures` receives the capture
// stages by channel (owned by the pipeline).
std::vector<std::unique_ptr<RenderPipelineStage>> CaptureStages(
    size_t num_channels, const std::vector<uint64_t>& shifts,
    std::vector<ChannelCaptureStage*>* captures);

}  // namespace qov::test

#endif  // QOV_TESTS_SUPPORT_PIPELINE_CAPTURE_H_
