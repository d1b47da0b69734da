// The colour-management stage: profile records for the module, the
// transform's lifetime and the interleaving of rows.
#include "lib/render/cms_stage.h"

#include <cstring>

namespace qov {
namespace {

uint64_t ChannelCount(const ColorDescription& c) {
  if (c.cmyk) return 4;
  return c.IsGray() ? 1 : 3;
}

CmsColorProfile MakeProfile(const std::vector<uint8_t>& icc,
                            const ColorDescription& c) {
  CmsColorProfile p{};
  p.icc_data = icc.data();
  p.icc_size = icc.size();
  p.encoding = c.ToPublic();
  p.channel_count = ChannelCount(c);
  return p;
}

}  // namespace

CmsTransform::~CmsTransform() {
  if (state != nullptr && cms.destroy_transform != nullptr) {
    cms.destroy_transform(state);
  }
}

CmsStage::CmsStage(const OutputColorSetup& setup, bool linear)
    : RenderPipelineStage(StageGeometry{}),
      output_setup_(setup),
      source_encoding_(linear ? setup.output_linear_encoding
                              : setup.source_encoding) {}

bool CmsStage::Wanted() const {
  const ColorEncoding& out = output_setup_.output_encoding;
  const bool compatible = source_encoding_.cmyk
                              ? !out.IsGray()
                              : source_encoding_.IsGray() == out.IsGray();
  return output_setup_.cms_present && compatible &&
         !source_encoding_.SameAs(out);
}

RowChannelMode CmsStage::ChannelModeOf(size_t c) const {
  if (c < 3 || (c == 3 && source_encoding_.cmyk)) {
    return RowChannelMode::kModifyRows;
  }
  return RowChannelMode::kNotUsed;
}

Status CmsStage::AcceptInputSizes(const ChannelSizes& input_sizes) {
  if (input_sizes.size() < 3) return FailedStatus();
  for (const auto& size : input_sizes) {
    if (size != input_sizes[0]) return FailedStatus();
  }
  accepted_xsize_ = input_sizes[0].first;
  if (num_threads_ != 0 &&
      (transform_ == nullptr || transform_xsize_ != accepted_xsize_)) {
    return CreateTransform();
  }
  return OkStatus();
}

Status CmsStage::SetUpForThreads(size_t num_threads) {
  num_threads_ = num_threads;
  if (accepted_xsize_ == 0) {
    // The width comes later (whole-frame pipeline): the transform is made
    // by AcceptInputSizes, never with buffers sized for no pixels.
    transform_.reset();
    return OkStatus();
  }
  return CreateTransform();
}

Status CmsStage::CreateTransform() {
  transform_.reset();
  auto t = std::make_unique<CmsTransform>();
  t->cms = output_setup_.cms;
  const ColorEncoding& out = output_setup_.output_encoding;
  t->source_icc = source_encoding_.icc;
  t->destination_icc = out.icc;
  if (out.cmyk) return FailedStatus();
  const CmsColorProfile source = MakeProfile(t->source_icc, source_encoding_);
  const CmsColorProfile destination = MakeProfile(t->destination_icc, out);
  if (t->cms.create_transform == nullptr) return FailedStatus();
  t->state = t->cms.create_transform(t->cms.transform_data, num_threads_,
                                     accepted_xsize_, &source, &destination,
                                     output_setup_.target_intensity);
  if (t->state == nullptr) return FailedStatus();
  transform_ = std::move(t);
  transform_xsize_ = accepted_xsize_;
  return OkStatus();
}

Status CmsStage::RenderRow(const ChannelRowSet& input_rows,
                           const ChannelRowSet& /*output_rows*/,
                           size_t extra_left, size_t extra_right, size_t xsize,
                           size_t /*xpos*/, size_t /*ypos*/,
                           size_t thread_id) const {
  if (extra_left != 0 || extra_right != 0 || xsize > accepted_xsize_ ||
      transform_ == nullptr || xsize > transform_xsize_) {
    return FailedStatus();
  }
  const size_t in_channels = source_encoding_.cmyk ? 4 : 3;
  if (input_rows.size() < in_channels) return FailedStatus();
  float* rows[4] = {};
  for (size_t c = 0; c < in_channels; ++c) {
    if (input_rows[c].empty()) return FailedStatus();
    rows[c] = input_rows[c][0] + kRowLeadSamples;
  }
  const CmsInterface& cms = transform_->cms;
  if (cms.input_buffer == nullptr || cms.output_buffer == nullptr ||
      cms.run_transform == nullptr) {
    return FailedStatus();
  }
  float* src = cms.input_buffer(transform_->state, thread_id);
  float* dst = cms.output_buffer(transform_->state, thread_id);
  if (src == nullptr || dst == nullptr) return FailedStatus();
  if (source_encoding_.IsGray() && !source_encoding_.cmyk) {
    std::memcpy(src, rows[0], xsize * sizeof(float));
  } else {
    for (size_t x = 0; x < xsize; ++x) {
      for (size_t c = 0; c < in_channels; ++c) {
        src[x * in_channels + c] = rows[c][x];
      }
    }
  }
  if (!cms.run_transform(transform_->state, thread_id, src, dst, xsize)) {
    return FailedStatus();
  }
  if (output_setup_.output_encoding.IsGray()) {
    for (size_t c = 0; c < 3; ++c) {
      std::memcpy(rows[c], dst, xsize * sizeof(float));
    }
  } else {
    for (size_t x = 0; x < xsize; ++x) {
      for (size_t c = 0; c < 3; ++c) rows[c][x] = dst[x * 3 + c];
    }
  }
  return OkStatus();
}

std::unique_ptr<RenderPipelineStage> MakeCmsStage(
    const OutputColorSetup& setup, bool linear) {
  auto stage = std::make_unique<CmsStage>(setup, linear);
  if (!stage->Wanted()) return nullptr;
  return stage;
}

}  // namespace qov
