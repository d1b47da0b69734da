// The colour stages of the render pipeline: YCbCr and XYB to RGB, tone
// mapping, and decoding to / encoding from linear light. All work in place
// on channels 0 to 2, leave other channels alone, fail for non-zero extras
// and hold only constants once made (rows may render on many threads).
//
// Linear light: 1.0 stands for the image's intensity target everywhere
// (XYB output, ToLinear/FromLinear PQ). Tone mapping keeps that scale: its
// PQ knee reads input relative to the image's target and, for a PQ output,
// scales its result (relative to the desired target) back to the image's
// target so that the PQ encoder writes the desired luminance.
#ifndef QOV_LIB_RENDER_COLOR_STAGES_H_
#define QOV_LIB_RENDER_COLOR_STAGES_H_

#include <memory>

#include "lib/color/output_color.h"
#include "lib/render/color_kernels.h"
#include "lib/render/render_stage.h"

namespace qov {

// kModifyRows for channels 0 to 2, kNotUsed for every other.
RowChannelMode ColorChannelsModifyMode(size_t c);

// Base of the colour stages: hands the three colour rows of the span to
// `RenderColorRows`, in place; refuses extra columns and rows sets without
// the colour channels.
class ColorRowStage : public RenderPipelineStage {
 public:
  ColorRowStage() : RenderPipelineStage(StageGeometry{}) {}
  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t thread_id) const final;
  RowChannelMode ChannelModeOf(size_t c) const final {
    return ColorChannelsModifyMode(c);
  }

 protected:
  virtual void RenderColorRows(float* const rows[3], size_t xsize) const = 0;
};

class YCbCrStage final : public ColorRowStage {
 public:
  const char* StageName() const override { return "YCbCr"; }

 private:
  void RenderColorRows(float* const rows[3], size_t xsize) const override;
};

class XYBStage final : public ColorRowStage {
 public:
  explicit XYBStage(const OutputColorSetup& setup);
  const char* StageName() const override { return "XYB"; }

  const OpsinParams& opsin() const { return opsin_; }

 private:
  void RenderColorRows(float* const rows[3], size_t xsize) const override;

  OpsinParams opsin_;
  bool output_is_xyb_;
};

class ToneMappingStage final : public ColorRowStage {
 public:
  ToneMappingStage(const OutputColorSetup& setup, const ToneMapParams& params)
      : setup_(setup), params_(params) {}
  const char* StageName() const override { return "ToneMapping"; }

  const ToneMapParams& params() const { return params_; }

 private:
  void RenderColorRows(float* const rows[3], size_t xsize) const override;

  OutputColorSetup setup_;
  ToneMapParams params_;
};

// Decodes coded samples to linear light.
class ToLinearStage final : public ColorRowStage {
 public:
  explicit ToLinearStage(const TransferOp& op) : op_(op) {}
  const char* StageName() const override { return "ToLinear"; }

  const TransferOp& op() const { return op_; }

 private:
  void RenderColorRows(float* const rows[3], size_t xsize) const override;

  TransferOp op_;
};

// Encodes linear samples with the output transfer function.
class FromLinearStage final : public ColorRowStage {
 public:
  explicit FromLinearStage(const TransferOp& op) : op_(op) {}
  const char* StageName() const override { return "FromLinear"; }

  const TransferOp& op() const { return op_; }

 private:
  void RenderColorRows(float* const rows[3], size_t xsize) const override;

  TransferOp op_;
};

// The operator that decodes the output encoding's samples (kInvalid for a
// transfer function no curve covers), and the one that encodes them (none:
// false).
TransferOp ToLinearOpFor(const OutputColorSetup& setup);
bool FromLinearOpFor(const OutputColorSetup& setup, TransferOp* op);

// Never null.
std::unique_ptr<RenderPipelineStage> MakeYCbCrStage();
// Copies the opsin parameters and the output's XYB-ness now. Never null.
std::unique_ptr<RenderPipelineStage> MakeXYBStage(const OutputColorSetup& setup);
// Null when no tone mapping is needed (not a failure).
std::unique_ptr<RenderPipelineStage> MakeToneMappingStage(
    const OutputColorSetup& setup);
// Never null.
std::unique_ptr<RenderPipelineStage> MakeToLinearStage(
    const OutputColorSetup& setup);
// Null when the output transfer function has no encoder.
std::unique_ptr<RenderPipelineStage> MakeFromLinearStage(
    const OutputColorSetup& setup);

}  // namespace qov

#endif  // QOV_LIB_RENDER_COLOR_STAGES_H_
