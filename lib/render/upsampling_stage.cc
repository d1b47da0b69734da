// The upsampling stage: kernel construction from the symmetric weight
// matrices, per-thread scratch and the row driver around the kernel.
#include "lib/render/upsampling_stage.h"

#include <cstddef>
#include <memory>
#include <utility>

#include "lib/render/upsampling.h"

namespace qov {

namespace {

// Entry (r, c) of the symmetric n x n matrix whose upper triangle, row by
// row, is `list`.
float SymmetricEntry(const float* list, size_t n, size_t r, size_t c) {
  if (r > c) std::swap(r, c);
  return list[r * n - r * (r - 1) / 2 + (c - r)];
}

const float* WeightList(const CustomTransformData& weights, size_t shift) {
  switch (shift) {
    case 1:
      return weights.upsampling2_weights;
    case 2:
      return weights.upsampling4_weights;
    default:
      return weights.upsampling8_weights;
  }
}

}  // namespace

UpsamplingStage::UpsamplingStage(const QovMemoryManagerStruct* manager,
                                 const CustomTransformData& weights,
                                 size_t channel, size_t shift)
    : SingleChannelStage(StageGeometry{2, 2, shift, shift}, channel),
      manager_(manager) {
  const size_t n = size_t{1} << shift;
  const size_t half = n / 2;
  const size_t matrix = 5 * n / 2;
  const float* list = WeightList(weights, shift);
  float* k = &kernel_[0][0][0][0];
  // Quadrant (qy, qx) of the matrix is the kernel of phase (qy, qx) and,
  // mirrored, of the three phases reflected into the other quadrants.
  for (size_t qy = 0; qy < half; ++qy) {
    for (size_t qx = 0; qx < half; ++qx) {
      for (size_t ky = 0; ky < 5; ++ky) {
        for (size_t kx = 0; kx < 5; ++kx) {
          const float v =
              SymmetricEntry(list, matrix, 5 * qy + ky, 5 * qx + kx);
          const auto at = [&](size_t py, size_t px, size_t y, size_t x) {
            k[((py * n + px) * 5 + y) * 5 + x] = v;
          };
          at(qy, qx, ky, kx);
          at(qy, n - 1 - qx, ky, 4 - kx);
          at(n - 1 - qy, qx, 4 - ky, kx);
          at(n - 1 - qy, n - 1 - qx, 4 - ky, 4 - kx);
        }
      }
    }
  }
}

Status UpsamplingStage::SetUpForThreads(size_t num_threads) {
  for (std::vector<AlignedBlock>& blocks : scratch_) {
    blocks.resize(num_threads);
    for (AlignedBlock& block : blocks) {
      QOV_ASSIGN_OR_RETURN(
          block, AlignedBlock::Create(manager_,
                                      kUpsampleScratchFloats * sizeof(float)));
    }
  }
  return OkStatus();
}

Status UpsamplingStage::RenderRow(const ChannelRowSet& input_rows,
                                  const ChannelRowSet& output_rows,
                                  size_t extra_left, size_t extra_right,
                                  size_t xsize, size_t /*xpos*/,
                                  size_t /*ypos*/, size_t thread_id) const {
  if (extra_left != 0 || extra_right != 0) return FailedStatus();
  if (xsize == 0) return OkStatus();
  const size_t n = size_t{1} << geometry().shift_y;
  if (channel_ >= input_rows.size() || channel_ >= output_rows.size() ||
      input_rows[channel_].size() < 5 || output_rows[channel_].size() < n ||
      thread_id >= scratch_[0].size() || thread_id >= scratch_[1].size() ||
      thread_id >= scratch_[2].size()) {
    return FailedStatus();
  }
  const float* rows[5];
  for (size_t d = 0; d < 5; ++d) {
    rows[d] = input_rows[channel_][d] + kRowLeadSamples;
  }
  float* out[8];
  for (size_t py = 0; py < n; ++py) {
    out[py] = output_rows[channel_][py] + kRowLeadSamples;
  }
  float* scratch[3];
  for (size_t s = 0; s < 3; ++s) {
    // A slot left empty by a failed set-up.
    if (scratch_[s][thread_id].empty()) return FailedStatus();
    scratch[s] = scratch_[s][thread_id].As<float>();
  }
  UpsampleRow(kernel(), geometry().shift_y, rows, out, xsize, scratch);
  return OkStatus();
}

std::unique_ptr<RenderPipelineStage> MakeUpsamplingStage(
    const QovMemoryManagerStruct* manager, const CustomTransformData& weights,
    size_t channel, size_t shift) {
  if (shift < 1 || shift > 3) return nullptr;
  return std::make_unique<UpsamplingStage>(manager, weights, channel, shift);
}

}  // namespace qov
