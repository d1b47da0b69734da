// Pipeline building while the builder does not exist: a whole-frame
// pipeline with one channel per colour and extra channel at the frame's
// resolution, ended by the stages of the state's stand-in factory, or by a
// stage that reads every sample and keeps nothing.
#include "lib/frame/frame_decoding_state.h"

namespace qov {

namespace {

class DropStage : public RenderPipelineStage {
 public:
  explicit DropStage(size_t channels)
      : RenderPipelineStage(StageGeometry{}), channels_(channels) {}
  Status RenderRow(const ChannelRowSet& /*input_rows*/,
                   const ChannelRowSet& /*output_rows*/, size_t /*extra_left*/,
                   size_t /*extra_right*/, size_t /*xsize*/, size_t /*xpos*/,
                   size_t /*ypos*/, size_t /*thread_id*/) const override {
    return OkStatus();
  }
  RowChannelMode ChannelModeOf(size_t c) const override {
    return c < channels_ ? RowChannelMode::kReadOnly : RowChannelMode::kNotUsed;
  }
  const char* StageName() const override { return "Drop"; }

 private:
  size_t channels_;
};

}  // namespace

Status FrameDecodingState::BuildRenderPipeline(
    const FrameHeader& header, const CodecMetadata& metadata,
    ImageBundle* /*decoded*/, const RenderOptions& options) {
  render_pipeline.reset();
  const size_t channels = 3 + metadata.m.extra_channel_info.size();
  // Always the whole-frame pipeline, whatever options.prefer_simple says.
  (void)options;
  RenderPipelineAssembler assembler(memory_manager, channels,
                                    /*simple=*/true);
  std::vector<std::unique_ptr<RenderPipelineStage>> stages;
  if (stand_in_stages) stages = stand_in_stages(header, channels);
  if (stages.empty()) stages.push_back(std::make_unique<DropStage>(channels));
  for (auto& stage : stages) {
    QOV_RETURN_IF_ERROR(assembler.Append(std::move(stage)));
  }
  QOV_ASSIGN_OR_RETURN(render_pipeline,
                       assembler.Assemble(header.ComputeGeometry()));
  return OkStatus();
}

}  // namespace qov
