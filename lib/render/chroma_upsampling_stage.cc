// Row drivers of the chroma upsampling stages around their kernels.
#include "lib/render/chroma_upsampling_stage.h"

#include <cstddef>
#include <memory>

#include "lib/render/chroma_upsampling.h"

namespace qov {

Status HorizontalChromaUpsamplingStage::RenderRow(
    const ChannelRowSet& input_rows, const ChannelRowSet& output_rows,
    size_t extra_left, size_t extra_right, size_t xsize, size_t /*xpos*/,
    size_t /*ypos*/, size_t /*thread_id*/) const {
  if (channel_ >= input_rows.size() || channel_ >= output_rows.size() ||
      input_rows[channel_].empty() || output_rows[channel_].empty()) {
    return FailedStatus();
  }
  ChromaUpsampleHorizontalRow(input_rows[channel_][0] + kRowLeadSamples,
                              output_rows[channel_][0] + kRowLeadSamples,
                              extra_left, extra_right, xsize);
  return OkStatus();
}

Status VerticalChromaUpsamplingStage::RenderRow(
    const ChannelRowSet& input_rows, const ChannelRowSet& output_rows,
    size_t extra_left, size_t extra_right, size_t xsize, size_t /*xpos*/,
    size_t /*ypos*/, size_t /*thread_id*/) const {
  if (channel_ >= input_rows.size() || channel_ >= output_rows.size() ||
      input_rows[channel_].size() < 3 || output_rows[channel_].size() < 2) {
    return FailedStatus();
  }
  const auto& in = input_rows[channel_];
  const auto& out = output_rows[channel_];
  ChromaUpsampleVerticalRow(in[0] + kRowLeadSamples, in[1] + kRowLeadSamples,
                            in[2] + kRowLeadSamples, out[0] + kRowLeadSamples,
                            out[1] + kRowLeadSamples, extra_left, extra_right,
                            xsize);
  return OkStatus();
}

std::unique_ptr<RenderPipelineStage> MakeChromaUpsamplingStage(
    size_t channel, bool horizontal) {
  if (horizontal) {
    return std::make_unique<HorizontalChromaUpsamplingStage>(channel);
  }
  return std::make_unique<VerticalChromaUpsamplingStage>(channel);
}

}  // namespace qov
