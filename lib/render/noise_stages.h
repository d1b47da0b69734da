// The two noise stages: a 5 x 5 high-pass filter of the three noise planes,
// then the addition of the filtered noise to X, Y and B, scaled by the
// frame's strength table.
#ifndef QOV_LIB_RENDER_NOISE_STAGES_H_
#define QOV_LIB_RENDER_NOISE_STAGES_H_

#include <cstdint>
#include <memory>

#include "lib/render/render_stage.h"

namespace qov {

struct NoiseStrengthTable;
class ChromaFromLumaMap;

// Noise planes are channels first, first + 1, first + 2.
class ConvolveNoiseStage final : public RenderPipelineStage {
 public:
  explicit ConvolveNoiseStage(uint64_t first_noise_channel)
      : RenderPipelineStage(StageGeometry{2, 2, 0, 0}),
        first_(first_noise_channel) {}
  // Filters the span and its extras of each noise plane; always Ok.
  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t thread_id) const override;
  RowChannelMode ChannelModeOf(size_t c) const override;
  const char* StageName() const override { return "ConvNoise"; }

 private:
  uint64_t first_;
};

// Reads the table and the map's correlation at every row; both must
// outlive the stage.
class AddNoiseStage final : public RenderPipelineStage {
 public:
  AddNoiseStage(const NoiseStrengthTable* table, const ChromaFromLumaMap* cfl,
                uint64_t first_noise_channel)
      : RenderPipelineStage(StageGeometry{}),
        table_(table),
        cfl_(cfl),
        first_(first_noise_channel) {}
  // Ok and nothing changed when every strength is within 0.001 of 0;
  // otherwise Failed for non-zero extras.
  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t thread_id) const override;
  RowChannelMode ChannelModeOf(size_t c) const override;
  const char* StageName() const override { return "AddNoise"; }

 private:
  const NoiseStrengthTable* table_;
  const ChromaFromLumaMap* cfl_;
  uint64_t first_;
};

// Never fail.
std::unique_ptr<RenderPipelineStage> MakeConvolveNoiseStage(
    uint64_t first_noise_channel);
std::unique_ptr<RenderPipelineStage> MakeAddNoiseStage(
    const NoiseStrengthTable& table, const ChromaFromLumaMap& cfl,
    uint64_t first_noise_channel);

}  // namespace qov

#endif  // QOV_LIB_RENDER_NOISE_STAGES_H_
