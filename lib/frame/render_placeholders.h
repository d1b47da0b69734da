// Stand-ins for the parts of rendering that do not exist yet: the pipeline
// builder's options. The upsampling stage's factory is the real one.
// The pipeline and stage interfaces themselves come from lib/render.
#ifndef QOV_LIB_FRAME_RENDER_PLACEHOLDERS_H_
#define QOV_LIB_FRAME_RENDER_PLACEHOLDERS_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "lib/base/status.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/render/render_pipeline.h"
#include "lib/render/render_stage.h"
#include "lib/render/upsampling_stage.h"  // MakeUpsamplingStage
#include "qov/qov.h"

namespace qov {

// The four option bytes of pipeline building.
struct RenderOptions {
  uint8_t prefer_simple = 0;
  uint8_t coalesce = 1;
  uint8_t spot_colors = 1;
  uint8_t add_noise = 1;
};

}  // namespace qov

#endif  // QOV_LIB_FRAME_RENDER_PLACEHOLDERS_H_
