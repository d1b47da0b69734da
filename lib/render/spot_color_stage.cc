// Mixing of a spot-colour channel into the colour rows.
#include "lib/render/spot_color_stage.h"

#include <cstddef>
#include <memory>

namespace qov {

Status SpotColorStage::RenderRow(const ChannelRowSet& input_rows,
                                 const ChannelRowSet& /*output_rows*/,
                                 size_t extra_left, size_t extra_right,
                                 size_t xsize, size_t /*xpos*/,
                                 size_t /*ypos*/, size_t /*thread_id*/) const {
  if (extra_left != 0 || extra_right != 0) return FailedStatus();
  if (spot_channel_ >= input_rows.size() ||
      input_rows[spot_channel_].empty()) {
    return FailedStatus();
  }
  for (size_t c = 0; c < 3; ++c) {
    if (input_rows[c].empty()) return FailedStatus();
  }
  const float* spot = input_rows[spot_channel_][0] + kRowLeadSamples;
  const float solidity = spot_color_[3];
  for (size_t c = 0; c < 3; ++c) {
    float* row = input_rows[c][0] + kRowLeadSamples;
    const float colour = spot_color_[c];
    for (size_t x = 0; x < xsize; ++x) {
      const float t = spot[x] * solidity;
      row[x] = t * colour + (1.0f - t) * row[x];
    }
  }
  return OkStatus();
}

std::unique_ptr<RenderPipelineStage> MakeSpotColorStage(
    size_t extra_channel, const float* spot_color) {
  if (spot_color == nullptr) return nullptr;
  return std::make_unique<SpotColorStage>(extra_channel, spot_color);
}

}  // namespace qov
