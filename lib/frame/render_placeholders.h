// Stand-ins for the parts of rendering that do not exist yet: the EPF sigma
// fill of VarDCT DC groups, and the capture pipeline that section-decoding
// tests end their frames with.
#ifndef QOV_LIB_FRAME_RENDER_PLACEHOLDERS_H_
#define QOV_LIB_FRAME_RENDER_PLACEHOLDERS_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/frame_header.h"
#include "lib/color/xyb.h"  // PixelRect
#include "lib/render/render_stage.h"

namespace qov {

// When set on a frame decoding state, the pipeline builder makes a
// whole-frame pipeline of 3 + (extra channels) channels at the frame's
// resolution ended by the stages this factory makes (or by a stage that
// reads and drops every sample when it makes none), instead of the frame's
// real stages. For tests of section decoding that capture the planes.
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
