// Stand-ins for stage families not yet in the library. Each makes a stage
// that fails every row ("not supported yet"): the pipeline of a frame that
// needs the family still builds (so the frame's sections decode), but
// rendering it fails instead of delivering wrong pixels. Tone mapping and
// colour management make none when not needed, so their stand-ins add
// nothing. Each family's own code replaces its block here.
#include "lib/render/stage_factories.h"

namespace qov {

namespace {

class NotSupportedYetStage : public RenderPipelineStage {
 public:
  NotSupportedYetStage() : RenderPipelineStage(StageGeometry()) {}
  Status RenderRow(const ChannelRowSet& /*input*/,
                   const ChannelRowSet& /*output*/, size_t /*extra_left*/,
                   size_t /*extra_right*/, size_t /*xsize*/, size_t /*xpos*/,
                   size_t /*ypos*/, size_t /*thread_id*/) const override {
    return FailedStatus();
  }
  RowChannelMode ChannelModeOf(size_t /*c*/) const override {
    return RowChannelMode::kModifyRows;
  }
  const char* StageName() const override { return "NotSupportedYet"; }
};

std::unique_ptr<RenderPipelineStage> NotSupportedYet() {
  return std::make_unique<NotSupportedYetStage>();
}

}  // namespace

// Chroma upsampling, upsampling and spot colours.
std::unique_ptr<RenderPipelineStage> MakeChromaUpsamplingStage(
    size_t /*channel*/, bool /*horizontal*/) {
  return NotSupportedYet();
}
std::unique_ptr<RenderPipelineStage> MakeUpsamplingStage(
    const QovMemoryManagerStruct* /*manager*/,
    const CustomTransformData& /*transform_data*/, size_t /*channel*/,
    size_t /*shift*/) {
  return NotSupportedYet();
}
std::unique_ptr<RenderPipelineStage> MakeSpotColorStage(
    size_t /*ec_index*/, const float* /*spot*/) {
  return NotSupportedYet();
}

// Loop filters.
std::unique_ptr<RenderPipelineStage> MakeGaborishStage(
    const LoopFilter& /*lf*/) {
  return NotSupportedYet();
}
std::unique_ptr<RenderPipelineStage> MakeEpfStage(
    const LoopFilter& /*lf*/, const PlaneF& /*inverse_sigma*/,
    size_t /*step*/) {
  return NotSupportedYet();
}

// Colour stages.
std::unique_ptr<RenderPipelineStage> MakeXYBStage(
    const OutputColorSetup& /*output_color*/) {
  return NotSupportedYet();
}
std::unique_ptr<RenderPipelineStage> MakeYCbCrStage() { return NotSupportedYet(); }
std::unique_ptr<RenderPipelineStage> MakeToLinearStage(
    const OutputColorSetup& /*output_color*/) {
  return NotSupportedYet();
}
std::unique_ptr<RenderPipelineStage> MakeFromLinearStage(
    const OutputColorSetup& /*output_color*/) {
  return NotSupportedYet();
}
std::unique_ptr<RenderPipelineStage> MakeToneMappingStage(
    const OutputColorSetup& /*output_color*/) {
  return nullptr;
}
std::unique_ptr<RenderPipelineStage> MakeCmsStage(
    const OutputColorSetup& /*output_color*/, bool /*source_is_linear*/) {
  return nullptr;
}

}  // namespace qov
