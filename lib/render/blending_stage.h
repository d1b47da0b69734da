// The blending stage: composes each rendered frame row onto the frame kept
// in a reference slot, in image coordinates, channel by channel.
#ifndef QOV_LIB_RENDER_BLENDING_STAGE_H_
#define QOV_LIB_RENDER_BLENDING_STAGE_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "lib/bitstream/frame_header.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/color/color_encoding.h"
#include "lib/render/compositing.h"
#include "lib/render/render_stage.h"

namespace qov {

struct FrameSharedState;
class FrameDecodingState;
class ImageBundle;

// Whether a frame needs the stage: a regular or skip-progressive frame whose
// colour or some extra-channel blend mode is not replace, or that has a
// custom size or origin.
bool BlendingRequired(const FrameHeader& header);

// The composition mode a frame-level blend mode stands for (kKeep for an
// unknown one).
CompositeMode CompositeModeOfBlend(uint32_t blend_kind);

class BlendingStage final : public RenderPipelineStage {
 public:
  // Reads the header, the reference slots and the output colour set-up; all
  // must outlive the stage and stay unchanged while it renders. Not ready
  // when the background was stored before its colour transform, a
  // non-empty background is smaller than the image, lacks a plane or has a
  // non-zero origin, or an XYB image is rendered to another encoding.
  BlendingStage(const FrameHeader& header, const FrameDecodingState& state);

  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t thread_id) const override;
  RowChannelMode ChannelModeOf(size_t) const override {
    return RowChannelMode::kModifyRows;
  }
  Status CheckReady() const override { return ready_; }
  bool UsesImageCoordinates() const override { return true; }
  void ImageGeometry(size_t* image_xsize, size_t* image_ysize,
                     std::pair<int32_t, int32_t>* origin) const override;
  // The background (or zeros where its slot is empty) for image rows the
  // frame does not cover. Failed when the stage is not ready.
  Status RenderPaddingRow(const ChannelRowSet& output_rows, size_t xsize,
                          size_t xpos, size_t ypos) const override;
  const char* StageName() const override { return "Blending"; }

 private:
  // The image behind extra channel i, or null when its slot is empty.
  const ImageBundle* ExtraBackground(size_t i) const;

  const FrameHeader* frame_header_;
  const FrameSharedState* shared_state_;
  BlendingInfo color_blending_;
  const ImageBundle* background_ = nullptr;  // null when empty
  Status ready_ = OkStatus();
  uint64_t image_xsize_ = 0;
  uint64_t image_ysize_ = 0;
  std::vector<PatchChannelBlend> channel_blends_;
  const std::vector<ExtraChannelInfo>* extra_channel_info_ = nullptr;
  std::vector<float> zero_row_;
};

// Never fails to make the stage; its readiness says whether it can run.
// The output encoding is not used.
std::unique_ptr<RenderPipelineStage> MakeBlendingStage(
    const FrameHeader& header, const FrameDecodingState& state,
    const ColorEncoding& output_encoding);

}  // namespace qov

#endif  // QOV_LIB_RENDER_BLENDING_STAGE_H_
