// Capturing and upsampling stages for decoder-fed pipeline tests.
#include "tests/support/pipeline_capture.h"

namespace qov::test {

Status ChannelCaptureStage::RenderRow(const ChannelRowSet& input_rows,
                                      const ChannelRowSet& /*output_rows*/,
                                      size_t /*extra_left*/,
                                      size_t /*extra_right*/, size_t span,
                                      size_t xpos, size_t ypos,
                                      size_t /*thread_id*/) const {
  if (channel_ >= input_rows.size() || input_rows[channel_].empty()) {
    return OkStatus();
  }
  if (ypos >= ysize) return OkStatus();
  const float* row = input_rows[channel_][0] + kRowLeadSamples;
  for (size_t i = 0; i < span && xpos + i < xsize; ++i) {
    samples[ypos * xsize + xpos + i] = row[i];
    ++writes[ypos * xsize + xpos + i];
  }
  return OkStatus();
}

Status ChannelCaptureStage::AcceptInputSizes(const ChannelSizes& input_sizes) {
  if (channel_ < input_sizes.size()) {
    xsize = input_sizes[channel_].first;
    ysize = input_sizes[channel_].second;
  }
  samples.assign(xsize * ysize, 0.0f);
  writes.assign(xsize * ysize, 0);
  return OkStatus();
}

bool ChannelCaptureStage::AllWrittenOnce() const {
  for (uint8_t n : writes) {
    if (n != 1) return false;
  }
  return true;
}

Status NearestUpsampleStage::RenderRow(const ChannelRowSet& input_rows,
                                       const ChannelRowSet& output_rows,
                                       size_t extra_left, size_t extra_right,
                                       size_t span, size_t /*xpos*/,
                                       size_t /*ypos*/,
                                       size_t /*thread_id*/) const {
  const uint64_t shift = geometry().shift_x;
  const float* in = input_rows[channel_][0] + kRowLeadSamples;
  for (size_t k = 0; k < (size_t{1} << shift); ++k) {
    float* out = output_rows[channel_][k] + kRowLeadSamples;
    for (ptrdiff_t i = -static_cast<ptrdiff_t>(extra_left);
         i < static_cast<ptrdiff_t>(span + extra_right); ++i) {
      for (size_t j = 0; j < (size_t{1} << shift); ++j) {
        out[i * (ptrdiff_t{1} << shift) + static_cast<ptrdiff_t>(j)] = in[i];
      }
    }
  }
  return OkStatus();
}

std::vector<std::unique_ptr<RenderPipelineStage>> CaptureStages(
    size_t num_channels, const std::vector<uint64_t>& shifts,
    std::vector<ChannelCaptureStage*>* captures) {
  std::vector<std::unique_ptr<RenderPipelineStage>> stages;
  captures->assign(num_channels, nullptr);
  for (size_t c = 0; c < num_channels; ++c) {
    auto capture = std::make_unique<ChannelCaptureStage>(c);
    (*captures)[c] = capture.get();
    stages.push_back(std::move(capture));
  }
  for (size_t c = 0; c < num_channels && c < shifts.size(); ++c) {
    if (shifts[c] != 0) {
      stages.push_back(std::make_unique<NearestUpsampleStage>(c, shifts[c]));
    }
  }
  stages.push_back(std::make_unique<ChannelCaptureStage>(0));
  return stages;
}

}  // namespace qov::test
