// The chroma upsampling stages: each doubles one colour channel in one
// direction (horizontal or vertical) by 3/4-1/4 interpolation.
#ifndef QOV_LIB_RENDER_CHROMA_UPSAMPLING_STAGE_H_
#define QOV_LIB_RENDER_CHROMA_UPSAMPLING_STAGE_H_

#include <cstddef>
#include <memory>

#include "lib/base/status.h"
#include "lib/render/render_stage.h"

namespace qov {

// Both classes render extra columns too: the SIMD copies start at the
// multiple of their vector width (4 or 8) at or before -extra_left and
// write whole vectors (see lib/render/chroma_upsampling.h), so rows need
// room for 2 * extra_left rounded up to 16 output samples before the span
// (horizontal) and up to 7 input positions past its end.
class HorizontalChromaUpsamplingStage final : public SingleChannelStage {
 public:
  explicit HorizontalChromaUpsamplingStage(size_t channel)
      : SingleChannelStage(StageGeometry{1, 0, 1, 0}, channel) {}
  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t thread_id) const override;
  const char* StageName() const override { return "HChromaUps"; }
};

class VerticalChromaUpsamplingStage final : public SingleChannelStage {
 public:
  explicit VerticalChromaUpsamplingStage(size_t channel)
      : SingleChannelStage(StageGeometry{0, 1, 0, 1}, channel) {}
  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t thread_id) const override;
  const char* StageName() const override { return "VChromaUps"; }
};

// The horizontal (horizontal = true) or vertical stage for the channel.
// Never null.
std::unique_ptr<RenderPipelineStage> MakeChromaUpsamplingStage(
    size_t channel, bool horizontal);

}  // namespace qov

#endif  // QOV_LIB_RENDER_CHROMA_UPSAMPLING_STAGE_H_
