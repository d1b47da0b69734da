// The last stage of a pipeline with pixel output: picks the colour and
// alpha rows, optionally un-premultiplies, applies the orientation, converts
// to the target's sample type and hands chunks of at most 1024 pixels to the
// caller's row callback or copies them into the caller's buffer.
#ifndef QOV_LIB_RENDER_WRITE_TO_OUTPUT_STAGE_H_
#define QOV_LIB_RENDER_WRITE_TO_OUTPUT_STAGE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/memory.h"
#include "lib/frame/pixel_output.h"
#include "lib/render/render_stage.h"
#include "qov/qov.h"

namespace qov {

// Pixels per delivery (and per-thread buffer row).
inline constexpr size_t kOutputChunkPixels = 1024;

// The stage's working copy of one target.
struct OutputSink {
  PixelRowCallbacks callbacks;
  void* run_opaque = nullptr;  // from init; null for a buffer output
  uint8_t* buffer = nullptr;
  uint64_t buffer_size = 0;
  uint64_t stride = 0;
  uint64_t num_channels = 0;
  bool swap_endianness = false;
  OutputSampleType sample_type = OutputSampleType::kFloat32;
  uint64_t bits_per_sample = 0;
  uint64_t channel = 0;  // pipeline channel of an extra-channel sink
};

// Whether `target` can be written for an output of `width` x `height`
// pixels (after orientation): a supported sample type, 1..4 channels,
// integer bits in 1..8 (uint8) or 1..16 (uint16), a run callback or a
// buffer, and a buffer large enough for (height - 1) * stride +
// width * bytes per pixel bytes with a stride of at least one row.
Status CheckPixelOutputTarget(const PixelOutputTarget& target, uint64_t width,
                              uint64_t height);

class WriteToOutputStage : public RenderPipelineStage {
 public:
  WriteToOutputStage(const PixelOutputTarget& main_target, uint64_t width,
                     uint64_t height, bool has_alpha, bool unpremultiply_alpha,
                     uint64_t alpha_channel, uint32_t orientation,
                     const std::vector<PixelOutputTarget>& extra_targets,
                     const QovMemoryManagerStruct* memory_manager);
  ~WriteToOutputStage() override;

  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t thread_id) const override;
  RowChannelMode ChannelModeOf(size_t c) const override;
  // Refuses targets the stage cannot write safely (CheckPixelOutputTarget,
  // extra targets of one channel).
  Status CheckReady() const override;
  Status SetUpForThreads(size_t num_threads) override;
  const char* StageName() const override { return "WritePixelCB"; }

  // Converts and delivers one chunk of n <= 1024 pixels of one sink;
  // rows holds one row pointer per output channel.
  Status WriteOutputRow(const OutputSink& sink, size_t thread_id, size_t y,
                        size_t x, size_t n, const float** rows) const;

  const std::vector<OutputSink>& extra_outputs() const {
    return extra_outputs_;
  }

 private:
  Status SetUpSink(OutputSink& sink, size_t num_threads);

  uint64_t width_, height_;
  OutputSink main_output_;
  uint64_t num_color_channels_;
  bool want_alpha_;
  bool has_alpha_;
  bool unpremultiply_alpha_;
  uint64_t alpha_channel_;
  bool flip_x_ = false, flip_y_ = false, transpose_ = false;
  std::vector<OutputSink> extra_outputs_;
  std::vector<float> opaque_row_;
  const QovMemoryManagerStruct* memory_manager_;
  std::vector<AlignedBlock> temp_rows_;
  std::vector<AlignedBlock> output_buffers_;
  // Sizes of the targets as given, for the readiness check.
  std::vector<PixelOutputTarget> extra_targets_;
  PixelOutputTarget main_target_;
};

}  // namespace qov

#endif  // QOV_LIB_RENDER_WRITE_TO_OUTPUT_STAGE_H_
