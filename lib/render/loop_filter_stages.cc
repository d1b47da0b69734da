// The loop-filter stages over the row kernels of loop_filter_kernels.h.
#include "lib/render/loop_filter_stages.h"

namespace qov {

namespace {

// Whether the row set has channels 0 to 2 with `in_rows` input rows and an
// output row each.
bool HasColourRows(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t in_rows) {
  if (input_rows.size() < 3 || output_rows.size() < 3) return false;
  for (size_t c = 0; c < 3; ++c) {
    if (input_rows[c].size() < in_rows || output_rows[c].empty()) return false;
  }
  return true;
}

}  // namespace

GaborishStage::GaborishStage(const LoopFilter& filter)
    : RenderPipelineStage(StageGeometry{1, 1, 0, 0}) {
  for (size_t c = 0; c < 3; ++c) {
    weights_[c] = MakeGaborishWeights(filter.gab_w1[c], filter.gab_w2[c]);
  }
}

Status GaborishStage::RenderRow(const ChannelRowSet& input_rows,
                                const ChannelRowSet& output_rows,
                                size_t extra_left, size_t extra_right,
                                size_t xsize, size_t /*xpos*/, size_t /*ypos*/,
                                size_t /*thread_id*/) const {
  if (!HasColourRows(input_rows, output_rows, 3)) return FailedStatus();
  for (size_t c = 0; c < 3; ++c) {
    const float* rows[3];
    for (size_t r = 0; r < 3; ++r) {
      rows[r] = input_rows[c][r] + kRowLeadSamples;
    }
    GaborishRow(weights_[c], rows, output_rows[c][0] + kRowLeadSamples,
                extra_left, xsize + extra_right);
  }
  return OkStatus();
}

RowChannelMode GaborishStage::ChannelModeOf(size_t c) const {
  return c < 3 ? RowChannelMode::kSeparateOutput : RowChannelMode::kNotUsed;
}

EpfStage::EpfStage(const LoopFilter& filter, const PlaneF* inverse_sigma,
                   int step)
    : RenderPipelineStage(StageGeometry{static_cast<uint64_t>(3 - step),
                                        static_cast<uint64_t>(3 - step), 0,
                                        0}),
      step_(step),
      inverse_sigma_(inverse_sigma) {
  for (size_t c = 0; c < 3; ++c) {
    channel_weights_[c] = filter.epf_channel_scale[c];
  }
  if (step == 0) {
    interior_ = static_cast<float>(
        static_cast<double>(filter.epf_pass0_sigma_scale) * 1.65);
  } else if (step == 1) {
    interior_ = 1.65f;
  } else {
    interior_ = static_cast<float>(
        static_cast<double>(filter.epf_pass2_sigma_scale) * 1.65);
  }
  edge_ = filter.epf_border_sad_mul * interior_;
}

Status EpfStage::RenderRow(const ChannelRowSet& input_rows,
                           const ChannelRowSet& output_rows, size_t extra_left,
                           size_t extra_right, size_t xsize, size_t xpos,
                           size_t ypos, size_t /*thread_id*/) const {
  const size_t border = static_cast<size_t>(3 - step_);
  if (!HasColourRows(input_rows, output_rows, 2 * border + 1)) {
    return FailedStatus();
  }
  if (xpos % 8 != 0 || inverse_sigma_ == nullptr) return FailedStatus();
  // Every block entry the vector loop touches, from -extra_left rounded down
  // to 8 up to xsize + extra_right rounded up, must lie in the image.
  const size_t first = (extra_left + 7) / 8 * 8;
  const size_t end = xsize + extra_right;
  if (first > xpos + 16) return FailedStatus();
  const size_t first_entry = (xpos + 16 - first) / 8;
  const size_t last_entry = (xpos + 16 + (end + 7) / 8 * 8 - 1) / 8;
  const size_t sigma_row = ypos / 8 + 2;
  if (end == 0 && extra_left == 0) return OkStatus();
  if (sigma_row >= inverse_sigma_->ysize() ||
      last_entry >= inverse_sigma_->xsize() || first_entry > last_entry) {
    return FailedStatus();
  }
  const float* rows[3][7];
  EpfRowArgs args;
  for (size_t c = 0; c < 3; ++c) {
    for (size_t r = 0; r <= 2 * border; ++r) {
      rows[c][r] = input_rows[c][r] + kRowLeadSamples;
    }
    args.rows[c] = rows[c];
    args.out[c] = output_rows[c][0] + kRowLeadSamples;
    args.channel_weights[c] = channel_weights_[c];
  }
  args.sigma_row = inverse_sigma_->ConstRow(sigma_row);
  args.xpos = xpos;
  args.extra_left = extra_left;
  args.end = end;
  const bool edge_row = ypos % 8 == 0 || ypos % 8 == 7;
  for (size_t i = 0; i < 8; ++i) {
    args.multipliers[i] =
        edge_row || i == 0 || i == 7 ? edge_ : interior_;
  }
  EpfRow(step_, args);
  return OkStatus();
}

RowChannelMode EpfStage::ChannelModeOf(size_t c) const {
  return c < 3 ? RowChannelMode::kSeparateOutput : RowChannelMode::kNotUsed;
}

const char* EpfStage::StageName() const {
  static constexpr const char* kNames[3] = {"EPF0", "EPF1", "EPF2"};
  return kNames[step_];
}

std::unique_ptr<RenderPipelineStage> MakeGaborishStage(
    const LoopFilter& filter) {
  if (!filter.gab) return nullptr;
  return std::make_unique<GaborishStage>(filter);
}

std::unique_ptr<RenderPipelineStage> MakeEpfStage(const LoopFilter& filter,
                                                  const PlaneF* inverse_sigma,
                                                  int step) {
  if (filter.epf_iters == 0 || step < 0 || step > 2) return nullptr;
  return std::make_unique<EpfStage>(filter, inverse_sigma, step);
}

std::unique_ptr<RenderPipelineStage> MakeEpfStage(const LoopFilter& filter,
                                                  const PlaneF& inverse_sigma,
                                                  size_t step) {
  if (step > 2) return nullptr;
  return MakeEpfStage(filter, &inverse_sigma, static_cast<int>(step));
}

}  // namespace qov
