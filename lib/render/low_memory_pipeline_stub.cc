// Stands in for the low-memory pipeline until it exists: none is made, so
// assembling a low-memory pipeline fails. The file that defines the real
// MakeLowMemoryRenderPipeline replaces this one.
#include "lib/render/render_pipeline.h"

namespace qov {

std::unique_ptr<RenderPipeline> MakeLowMemoryRenderPipeline(
    const QovMemoryManagerStruct* /*manager*/) {
  return nullptr;
}

}  // namespace qov
