// Stand-ins for the parts of rendering that do not exist yet: the pipeline
// builder's options, the stages that end the stand-in pipeline, the
// upsampling stage's factory (which makes none) and the EPF sigma fill of
// VarDCT DC groups. The pipeline and stage interfaces themselves come from
// lib/render.
#ifndef QOV_LIB_FRAME_RENDER_PLACEHOLDERS_H_
#define QOV_LIB_FRAME_RENDER_PLACEHOLDERS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/frame_header.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/color/xyb.h"  // PixelRect
#include "lib/render/render_pipeline.h"
#include "lib/render/render_stage.h"
#include "qov/qov.h"

namespace qov {

// The four option bytes of pipeline building.
struct RenderOptions {
  uint8_t prefer_simple = 0;
  uint8_t coalesce = 1;
  uint8_t spot_colors = 1;
  uint8_t add_noise = 1;
};

// The upsampling stage of one channel; none is made yet.
inline std::unique_ptr<RenderPipelineStage> MakeUpsamplingStage(
    const QovMemoryManagerStruct* /*manager*/,
    const CustomTransformData& /*transform_data*/, size_t /*channel*/,
    size_t /*shift*/) {
  return nullptr;
}

// Until the pipeline builder exists, a frame's pipeline is a whole-frame
// pipeline of 3 + (extra channels) channels at the frame's resolution,
// ended by the stages this factory makes (a stage that reads and drops
// every sample when there is no factory or it makes none). Tests end it
// with a capturing stage; the pipeline builder replaces all of this.
using StandInStageFactory =
    std::function<std::vector<std::unique_ptr<RenderPipelineStage>>(
        const FrameHeader& header, size_t num_channels)>;

class FrameDecodingState;

// The EPF sigma image of one DC group's blocks (VarDCT frames). Writes
// nothing until the EPF stages exist; Failed when the frame has no EPF.
inline Status FillEpfInverseSigma(const LoopFilter& loop_filter,
                                  const PixelRect& /*block_rect*/,
                                  FrameDecodingState* /*state*/) {
  return loop_filter.epf_iters == 0 ? FailedStatus() : OkStatus();
}

}  // namespace qov

#endif  // QOV_LIB_FRAME_RENDER_PLACEHOLDERS_H_
