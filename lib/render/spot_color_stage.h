// The spot-colour stage: mixes one spot-colour extra channel into the
// colour channels by its amount times the colour's solidity.
#ifndef QOV_LIB_RENDER_SPOT_COLOR_STAGE_H_
#define QOV_LIB_RENDER_SPOT_COLOR_STAGE_H_

#include <cstddef>
#include <memory>

#include "lib/base/status.h"
#include "lib/render/render_stage.h"

namespace qov {

class SpotColorStage final : public RenderPipelineStage {
 public:
  // spot_color: red, green, blue, solidity (copied).
  SpotColorStage(size_t extra_channel, const float spot_color[4])
      : RenderPipelineStage(StageGeometry{}),
        spot_channel_(extra_channel + 3),
        spot_color_{spot_color[0], spot_color[1], spot_color[2],
                    spot_color[3]} {}

  // C[x] = t * colour + (1 - t) * C[x] with t = S[x] * solidity, for the
  // colour channels 0, 1, 2 in turn; nothing is clamped. Fails for any
  // extra columns (nothing changes).
  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t thread_id) const override;
  RowChannelMode ChannelModeOf(size_t c) const override {
    if (c < 3) return RowChannelMode::kModifyRows;
    return c == spot_channel_ ? RowChannelMode::kReadOnly
                              : RowChannelMode::kNotUsed;
  }
  const char* StageName() const override { return "Spot"; }

 private:
  size_t spot_channel_;
  float spot_color_[4];
};

// The stage mixing extra channel i (pipeline channel i + 3) with its four
// spot-colour values; null only when spot_color is null.
std::unique_ptr<RenderPipelineStage> MakeSpotColorStage(
    size_t extra_channel, const float* spot_color);

}  // namespace qov

#endif  // QOV_LIB_RENDER_SPOT_COLOR_STAGE_H_
