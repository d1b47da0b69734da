// Pipeline building while the render pipeline does not exist: an inert
// pipeline that renders nothing. Reached only by frames whose sections were
// decoded, which the declining section content decoder never allows.
#include "lib/frame/frame_decoding_state.h"

namespace qov {

Status FrameDecodingState::BuildRenderPipeline(
    const FrameHeader& /*header*/, const CodecMetadata& /*metadata*/,
    ImageBundle* /*decoded*/, const RenderOptions& /*options*/) {
  render_pipeline = std::make_unique<RenderPipeline>();
  return OkStatus();
}

}  // namespace qov
