// The patch and spline stages: each hands its span to the feature's own row
// routine.
#include "lib/render/feature_stages.h"

#include "lib/frame/patches.h"
#include "lib/frame/splines.h"

namespace qov {

namespace {

// The span's first frame column at or right of 0, and how many samples of
// the span lie left of column 0.
struct SpanStart {
  size_t column;
  size_t skipped;
};
SpanStart ClipLeft(size_t xpos, size_t extra_left) {
  if (extra_left <= xpos) return {xpos - extra_left, 0};
  return {0, extra_left - xpos};
}

}  // namespace

Status PatchDictionaryStage::RenderRow(const ChannelRowSet& input_rows,
                                       const ChannelRowSet& /*output_rows*/,
                                       size_t extra_left, size_t extra_right,
                                       size_t xsize, size_t xpos, size_t ypos,
                                       size_t /*thread_id*/) const {
  const size_t channels = 3 + extra_info_->size();
  if (input_rows.size() < channels) return FailedStatus();
  const SpanStart start = ClipLeft(xpos, extra_left);
  const size_t width = extra_left + xsize + extra_right;
  if (start.skipped >= width) return OkStatus();
  std::vector<float*> rows(channels);
  for (size_t c = 0; c < channels; ++c) {
    rows[c] = input_rows[c][0] + kRowLeadSamples - extra_left + start.skipped;
  }
  return patches_->BlendRow(rows.data(), ypos, start.column,
                            width - start.skipped, *extra_info_);
}

RowChannelMode PatchDictionaryStage::ChannelModeOf(size_t c) const {
  return c < 3 + extra_info_->size() ? RowChannelMode::kModifyRows
                                     : RowChannelMode::kNotUsed;
}

Status SplineStage::RenderRow(const ChannelRowSet& input_rows,
                              const ChannelRowSet& /*output_rows*/,
                              size_t extra_left, size_t extra_right,
                              size_t xsize, size_t xpos, size_t ypos,
                              size_t /*thread_id*/) const {
  if (input_rows.size() < 3) return FailedStatus();
  const SpanStart start = ClipLeft(xpos, extra_left);
  const size_t end = xpos + xsize + extra_right;
  if (start.column >= end) return OkStatus();
  float* rows[3];
  for (size_t c = 0; c < 3; ++c) {
    rows[c] = input_rows[c][0] + kRowLeadSamples - extra_left + start.skipped;
  }
  splines_->DrawRow(rows[0], rows[1], rows[2], ypos, start.column, end);
  return OkStatus();
}

RowChannelMode SplineStage::ChannelModeOf(size_t c) const {
  return c < 3 ? RowChannelMode::kModifyRows : RowChannelMode::kNotUsed;
}

std::unique_ptr<RenderPipelineStage> MakePatchesStage(
    const PatchDictionary& patches,
    const std::vector<ExtraChannelInfo>& extra_info) {
  return std::make_unique<PatchDictionaryStage>(&patches, &extra_info);
}

std::unique_ptr<RenderPipelineStage> MakeSplineStage(const Splines& splines) {
  return std::make_unique<SplineStage>(&splines);
}

}  // namespace qov
