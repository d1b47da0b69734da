// The upsampling stage: enlarges one channel by 2, 4 or 8 in both
// directions with a 5 x 5 kernel per output phase, clamped to the input
// neighbourhood's range.
#ifndef QOV_LIB_RENDER_UPSAMPLING_STAGE_H_
#define QOV_LIB_RENDER_UPSAMPLING_STAGE_H_

#include <cstddef>
#include <memory>
#include <vector>

#include "lib/base/memory.h"
#include "lib/base/status.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/render/render_stage.h"
#include "qov/qov.h"

namespace qov {

// One class for every SIMD target: the row kernel is dispatched per row.
// Rows: see UpsampleRow (lib/render/upsampling.h) for how far past xsize
// the input is read and the output written.
class UpsamplingStage final : public SingleChannelStage {
 public:
  // shift 1 to 3; the weights for 2^shift come from `weights`.
  UpsamplingStage(const QovMemoryManagerStruct* manager,
                  const CustomTransformData& weights, size_t channel,
                  size_t shift);

  // Fails for any extra columns (writing nothing); needs SetUpForThreads
  // with more than thread_id threads first (fails otherwise).
  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t thread_id) const override;
  // Re-creates the scratch of slots 0 .. num_threads - 1 (none for 0).
  Status SetUpForThreads(size_t num_threads) override;
  const char* StageName() const override { return "Upsample"; }

  // The N * N * 25 weights, ((py * N + px) * 5 + ky) * 5 + kx.
  const float* kernel() const { return &kernel_[0][0][0][0]; }

 private:
  // Per scratch kind (column minima then 5 x 5 maxima; column maxima;
  // 5 x 5 minima) one block per thread slot.
  std::vector<AlignedBlock> scratch_[3];
  float kernel_[8][8][5][5] = {};
  const QovMemoryManagerStruct* manager_;
};

// The stage for channel and factor 2^shift, or null for a shift outside
// 1..3.
std::unique_ptr<RenderPipelineStage> MakeUpsamplingStage(
    const QovMemoryManagerStruct* manager, const CustomTransformData& weights,
    size_t channel, size_t shift);

}  // namespace qov

#endif  // QOV_LIB_RENDER_UPSAMPLING_STAGE_H_
