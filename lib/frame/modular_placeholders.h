// Minimal stand-in for the modular side of a frame, as the frame driver
// calls it. Modular decoding replaces this file; until then the reader holds
// the frame geometry and no image.
#ifndef QOV_LIB_FRAME_MODULAR_PLACEHOLDERS_H_
#define QOV_LIB_FRAME_MODULAR_PLACEHOLDERS_H_

#include "lib/base/status.h"
#include "lib/base/task_pool.h"
#include "lib/bitstream/frame_header.h"

namespace qov {

class FrameDecodingState;

class ModularFrameReader {
 public:
  void SetGeometry(const FrameGeometry& geometry) { geometry_ = geometry; }
  const FrameGeometry& geometry() const { return geometry_; }

  // Whether the frame's modular image is kept whole until the frame ends.
  bool UsesFullImage() const { return false; }
  // Drops the modular image when nothing will be read into it any more.
  void ReleaseUnusedImage() {}
  // Hands what the modular image holds to the render pipeline; there is no
  // modular image yet, so there is nothing to hand over.
  Status FlushToPipeline(const FrameHeader& /*header*/,
                         FrameDecodingState* /*state*/,
                         const TaskPool* /*pool*/, bool /*in_place*/) {
    return OkStatus();
  }

 private:
  FrameGeometry geometry_;
};

}  // namespace qov

#endif  // QOV_LIB_FRAME_MODULAR_PLACEHOLDERS_H_
