// The seam through which section-decoding tests replace a frame's render
// stages with their own capturing stages, and the render headers the frame
// code reaches through this one.
#ifndef QOV_LIB_FRAME_CAPTURE_PIPELINE_SEAM_H_
#define QOV_LIB_FRAME_CAPTURE_PIPELINE_SEAM_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/frame_header.h"
#include "lib/color/xyb.h"  // PixelRect
#include "lib/render/render_stage.h"
#include "lib/render/epf_inverse_sigma.h"  // FillEpfInverseSigma
#include "lib/render/upsampling_stage.h"   // MakeUpsamplingStage
#include "qov/qov.h"

namespace qov {

// When set on a frame decoding state, the pipeline builder makes a
// whole-frame pipeline of 3 + (extra channels) channels at the frame's
// resolution ended by the stages this factory makes (or by a stage that
// reads and drops every sample when it makes none), instead of the frame's
// real stages. For tests of section decoding that capture the planes.
using StandInStageFactory =
    std::function<std::vector<std::unique_ptr<RenderPipelineStage>>(
        const FrameHeader& header, size_t num_channels)>;

}  // namespace qov

#endif  // QOV_LIB_FRAME_CAPTURE_PIPELINE_SEAM_H_
