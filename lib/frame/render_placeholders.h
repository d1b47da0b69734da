// Minimal stand-ins for the render pipeline as the frame driver and the
// frame decoding state see it. The render pipeline replaces this file; an
// inert pipeline renders nothing, and no frame reaches it while the section
// content seam declines.
#ifndef QOV_LIB_FRAME_RENDER_PLACEHOLDERS_H_
#define QOV_LIB_FRAME_RENDER_PLACEHOLDERS_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "lib/base/status.h"
#include "lib/bitstream/image_metadata.h"
#include "qov/qov.h"

namespace qov {

// The four option bytes of pipeline building.
struct RenderOptions {
  uint8_t prefer_simple = 0;
  uint8_t coalesce = 1;
  uint8_t spot_colors = 1;
  uint8_t add_noise = 1;
};

class RenderPipelineStage {
 public:
  virtual ~RenderPipelineStage() = default;
  virtual Status SetUpForThreads(size_t /*num_threads*/) { return OkStatus(); }
};

class RenderPipeline {
 public:
  virtual ~RenderPipeline() = default;
  // Forgets what was rendered of a group before it is decoded again.
  virtual void ForgetGroup(uint64_t /*group*/) {}
  // Sets the stages and buffers up for that many threads (or groups).
  virtual Status SetUpThreads(size_t /*num_threads*/, bool /*use_group_ids*/) {
    return OkStatus();
  }
};

// The upsampling stage of one channel; none is made yet.
inline std::unique_ptr<RenderPipelineStage> MakeUpsamplingStage(
    const QovMemoryManagerStruct* /*manager*/,
    const CustomTransformData& /*transform_data*/, size_t /*channel*/,
    size_t /*shift*/) {
  return nullptr;
}

}  // namespace qov

#endif  // QOV_LIB_FRAME_RENDER_PLACEHOLDERS_H_
