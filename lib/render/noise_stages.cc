// The noise stages over the row kernels of noise_kernels.h.
#include "lib/render/noise_stages.h"

#include <cmath>

#include "lib/frame/frame_decoding_state.h"
#include "lib/render/noise_kernels.h"

namespace qov {

Status ConvolveNoiseStage::RenderRow(const ChannelRowSet& input_rows,
                                     const ChannelRowSet& output_rows,
                                     size_t extra_left, size_t extra_right,
                                     size_t xsize, size_t /*xpos*/,
                                     size_t /*ypos*/,
                                     size_t /*thread_id*/) const {
  const size_t count = extra_left + xsize + extra_right;
  const size_t offset = kRowLeadSamples - extra_left;
  for (uint64_t c = first_; c < first_ + 3; ++c) {
    if (c >= input_rows.size() || input_rows[c].size() < 5 ||
        c >= output_rows.size() || output_rows[c].empty()) {
      return FailedStatus();
    }
    const float* rows[5];
    for (int r = 0; r < 5; ++r) rows[r] = input_rows[c][r] + offset;
    ConvolveNoiseRow(rows, output_rows[c][0] + offset, count);
  }
  return OkStatus();
}

RowChannelMode ConvolveNoiseStage::ChannelModeOf(size_t c) const {
  return c < first_ ? RowChannelMode::kNotUsed : RowChannelMode::kSeparateOutput;
}

Status AddNoiseStage::RenderRow(const ChannelRowSet& input_rows,
                                const ChannelRowSet& /*output_rows*/,
                                size_t extra_left, size_t extra_right,
                                size_t xsize, size_t /*xpos*/, size_t /*ypos*/,
                                size_t /*thread_id*/) const {
  bool all_zero = true;
  for (float v : table_->lut) all_zero &= std::abs(v) <= 0.001f;
  if (all_zero) return OkStatus();
  if (extra_left != 0 || extra_right != 0) return FailedStatus();
  if (input_rows.size() < first_ + 3) return FailedStatus();
  const float cx = cfl_->base_correlation_x + 0.0f * cfl_->color_scale;
  const float cb = cfl_->base_correlation_b + 0.0f * cfl_->color_scale;
  auto row = [&](uint64_t c) { return input_rows[c][0] + kRowLeadSamples; };
  AddNoiseRow(table_->lut, cx, cb, row(0), row(1), row(2), row(first_),
              row(first_ + 1), row(first_ + 2), xsize);
  return OkStatus();
}

RowChannelMode AddNoiseStage::ChannelModeOf(size_t c) const {
  if (c < 3) return RowChannelMode::kModifyRows;
  return c < first_ ? RowChannelMode::kNotUsed : RowChannelMode::kReadOnly;
}

std::unique_ptr<RenderPipelineStage> MakeConvolveNoiseStage(
    uint64_t first_noise_channel) {
  return std::make_unique<ConvolveNoiseStage>(first_noise_channel);
}

std::unique_ptr<RenderPipelineStage> MakeAddNoiseStage(
    const NoiseStrengthTable& table, const ChromaFromLumaMap& cfl,
    uint64_t first_noise_channel) {
  return std::make_unique<AddNoiseStage>(&table, &cfl, first_noise_channel);
}

}  // namespace qov
