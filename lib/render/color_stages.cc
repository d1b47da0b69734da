// Colour stages: construction from the output colour set-up and the row
// operations, which hand the three colour rows to the dispatched kernels.
#include "lib/render/color_stages.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "lib/color/color_enums.h"
#include "lib/color/hdr_curves.h"
#include "lib/color/xyb.h"

namespace qov {
namespace {

constexpr uint32_t TfCode(TransferFunction tf) {
  return static_cast<uint32_t>(tf);
}

bool HasTf(const ColorDescription& c, TransferFunction tf) {
  return !c.have_gamma && c.transfer_function == TfCode(tf);
}

// The current rows of channels 0 to 2 (sample 0 of the span first), or
// false when the row set lacks them.
bool ColorRows(const ChannelRowSet& rows, float* out[3]) {
  if (rows.size() < 3) return false;
  for (size_t c = 0; c < 3; ++c) {
    if (rows[c].empty() || rows[c][0] == nullptr) return false;
    out[c] = rows[c][0] + kRowLeadSamples;
  }
  return true;
}

}  // namespace

RowChannelMode ColorChannelsModifyMode(size_t c) {
  return c < 3 ? RowChannelMode::kModifyRows : RowChannelMode::kNotUsed;
}

Status ColorRowStage::RenderRow(const ChannelRowSet& input_rows,
                                const ChannelRowSet& /*output_rows*/,
                                size_t extra_left, size_t extra_right,
                                size_t xsize, size_t /*xpos*/, size_t /*ypos*/,
                                size_t /*thread_id*/) const {
  float* rows[3];
  if (extra_left != 0 || extra_right != 0 || !ColorRows(input_rows, rows)) {
    return FailedStatus();
  }
  RenderColorRows(rows, xsize);
  return OkStatus();
}

void YCbCrStage::RenderColorRows(float* const rows[3], size_t xsize) const {
  YCbCrToRgbRows(rows[0], rows[1], rows[2], xsize);
}

XYBStage::XYBStage(const OutputColorSetup& setup)
    : opsin_(setup.GetOpsinParams()),
      output_is_xyb_(setup.output_encoding.IsXyb()) {}

void XYBStage::RenderColorRows(float* const rows[3], size_t xsize) const {
  if (output_is_xyb_) {
    XybRescaleRows(rows[0], rows[1], rows[2], xsize);
    return;
  }
  // The conversion kernel may not write over its inputs: chunks of the row
  // are copied to the stack first.
  constexpr size_t kChunk = 256;
  float in[3][kChunk];
  for (size_t x = 0; x < xsize; x += kChunk) {
    const size_t n = std::min(kChunk, xsize - x);
    for (size_t c = 0; c < 3; ++c) {
      std::memcpy(in[c], rows[c] + x, n * sizeof(float));
    }
    OpsinToLinearRow(in[0], in[1], in[2], n, opsin_, rows[0] + x, rows[1] + x,
                     rows[2] + x);
  }
}

void ToneMappingStage::RenderColorRows(float* const rows[3],
                                       size_t xsize) const {
  ToneMapRows(params_, rows[0], rows[1], rows[2], xsize);
}

void ToLinearStage::RenderColorRows(float* const rows[3], size_t xsize) const {
  ToLinearRows(op_, rows[0], rows[1], rows[2], xsize);
}

void FromLinearStage::RenderColorRows(float* const rows[3],
                                      size_t xsize) const {
  FromLinearRows(op_, rows[0], rows[1], rows[2], xsize);
}

namespace {

// The operator of the output encoding; hlg_exponent is filled by the caller.
TransferOp BaseOp(const OutputColorSetup& setup) {
  const ColorEncoding& out = setup.output_encoding;
  TransferOp op;
  for (int i = 0; i < 3; ++i) op.luminances[i] = setup.luminance_weights[i];
  const float target = setup.source_intensity_target;
  op.pq_target_scale = target * 0.0001f;
  op.pq_inverse_target_scale = 10000.0f / target;
  if (HasTf(out, TransferFunction::kLinear)) {
    op.kind = TransferOpKind::kLinear;
  } else if (HasTf(out, TransferFunction::kSrgb)) {
    op.kind = TransferOpKind::kSrgb;
  } else if (HasTf(out, TransferFunction::kPq)) {
    op.kind = TransferOpKind::kPq;
  } else if (HasTf(out, TransferFunction::kHlg)) {
    op.kind = TransferOpKind::kHlg;
  } else if (HasTf(out, TransferFunction::k709)) {
    op.kind = TransferOpKind::k709;
  } else if (out.have_gamma ||
             out.transfer_function == TfCode(TransferFunction::kDci)) {
    op.kind = TransferOpKind::kGamma;
  } else {
    op.kind = TransferOpKind::kInvalid;
  }
  return op;
}

}  // namespace

TransferOp ToLinearOpFor(const OutputColorSetup& setup) {
  TransferOp op = BaseOp(setup);
  if (op.kind == TransferOpKind::kHlg) {
    const float l = setup.source_intensity_target / 1000.0f;
    op.hlg_ootf_exponent = 1.2f * powf(1.111f, log2f(l)) - 1.0f;
    op.hlg_apply_ootf = std::fabs(op.hlg_ootf_exponent) > 0.01f;
  } else if (op.kind == TransferOpKind::kGamma) {
    op.gamma_exponent = 1.0f / setup.output_gamma;
  }
  return op;
}

bool FromLinearOpFor(const OutputColorSetup& setup, TransferOp* op) {
  *op = BaseOp(setup);
  if (op->kind == TransferOpKind::kInvalid) return false;
  if (op->kind == TransferOpKind::kHlg) {
    const float l = setup.target_intensity / 1000.0f;
    op->hlg_ootf_exponent = 0.8333333f * powf(1.111f, -log2f(l)) - 1.0f;
    op->hlg_apply_ootf = std::fabs(op->hlg_ootf_exponent) > 0.01f;
  } else if (op->kind == TransferOpKind::kGamma) {
    op->gamma_exponent = setup.output_gamma;
  }
  return true;
}

std::unique_ptr<RenderPipelineStage> MakeYCbCrStage() {
  return std::make_unique<YCbCrStage>();
}

std::unique_ptr<RenderPipelineStage> MakeXYBStage(
    const OutputColorSetup& setup) {
  return std::make_unique<XYBStage>(setup);
}

std::unique_ptr<RenderPipelineStage> MakeToneMappingStage(
    const OutputColorSetup& setup) {
  const float source = setup.source_intensity_target;
  const float desired = setup.target_intensity;
  if (source == desired) return nullptr;  // a NaN counts as different
  ToneMapParams p;
  for (int i = 0; i < 3; ++i) {
    p.pq_weights[i] = p.hlg_weights[i] = p.gamut_weights[i] =
        setup.luminance_weights[i];
  }
  const ColorEncoding& image = setup.source_encoding;
  const ColorEncoding& out = setup.output_encoding;
  if (HasTf(image, TransferFunction::kPq)) {
    if (!(source > desired)) return nullptr;
    const float source_range[2] = {0.0f, source};
    const float target_range[2] = {0.0f, desired};
    const Bt2408ToneCurve curve(source_range, target_range,
                                setup.luminance_weights);
    p.pq = true;
    p.gamut = true;
    p.source_max = curve.source_range[1];
    p.target_max = curve.target_range[1];
    for (int i = 0; i < 3; ++i) p.pq_weights[i] = curve.luminance_weights[i];
    p.pq_min = curve.pq_source_min;
    p.pq_range = curve.pq_source_span;
    p.inv_range = curve.inverse_pq_source_span;
    p.min_lum = curve.min_level;
    p.max_lum = curve.max_level;
    p.knee_start = curve.knee_start;
    p.inv_knee = curve.inverse_knee_width;
    p.ratio = curve.normaliser;
    p.inv_target_max = curve.inverse_target_peak;
  } else if (HasTf(image, TransferFunction::kHlg) &&
             !HasTf(out, TransferFunction::kHlg)) {
    const float g = powf(1.111f, log2f(desired / source)) - 1.0f;
    p.hlg_exponent = g;
    p.hlg_apply = std::fabs(g) > 0.01f;
    p.gamut = p.hlg_apply && g < 0.0f;
  } else {
    return nullptr;
  }
  if (HasTf(out, TransferFunction::kPq)) {
    // Linear samples stand for the image's target at 1.0 on both sides;
    // the mapped ones stand for the desired target, brought back here so
    // that the PQ encoder (scaled by the image's target) writes the
    // desired luminance.
    p.pre_scale = 1.0f;
    p.post_scale = desired / source;
  }
  return std::make_unique<ToneMappingStage>(setup, p);
}

std::unique_ptr<RenderPipelineStage> MakeToLinearStage(
    const OutputColorSetup& setup) {
  return std::make_unique<ToLinearStage>(ToLinearOpFor(setup));
}

std::unique_ptr<RenderPipelineStage> MakeFromLinearStage(
    const OutputColorSetup& setup) {
  TransferOp op;
  if (!FromLinearOpFor(setup, &op)) return nullptr;
  return std::make_unique<FromLinearStage>(op);
}

}  // namespace qov
