// Render stages that draw the frame features decoded with the frame: the
// patch stage (blends placed patches into colour and extra channels) and
// the spline stage (adds splines into the colour channels).
#ifndef QOV_LIB_RENDER_FEATURE_STAGES_H_
#define QOV_LIB_RENDER_FEATURE_STAGES_H_

#include <memory>
#include <vector>

#include "lib/bitstream/image_metadata.h"
#include "lib/render/render_stage.h"

namespace qov {

class PatchDictionary;
class Splines;

// Both stages modify rows in place and never own what they point at; the
// dictionary, splines and extra-channel list must outlive them.
class PatchDictionaryStage final : public RenderPipelineStage {
 public:
  PatchDictionaryStage(const PatchDictionary* patches,
                       const std::vector<ExtraChannelInfo>* extra_info)
      : RenderPipelineStage(StageGeometry{}),
        patches_(patches),
        extra_info_(extra_info) {}

  // The dictionary's status for the span xpos - extra_left .. xpos + xsize
  // + extra_right - 1 of row ypos (columns left of 0 are outside the frame
  // and left alone).
  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t thread_id) const override;
  // Colour and every extra channel; the noise planes are not used.
  RowChannelMode ChannelModeOf(size_t c) const override;
  const char* StageName() const override { return "Patches"; }

 private:
  const PatchDictionary* patches_;
  const std::vector<ExtraChannelInfo>* extra_info_;
};

class SplineStage final : public RenderPipelineStage {
 public:
  explicit SplineStage(const Splines* splines)
      : RenderPipelineStage(StageGeometry{}), splines_(splines) {}

  // Adds the splines over the same span as the patch stage; always Ok.
  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t thread_id) const override;
  // Channels 0, 1, 2 only.
  RowChannelMode ChannelModeOf(size_t c) const override;
  const char* StageName() const override { return "Splines"; }

 private:
  const Splines* splines_;
};

// Never fail (the stages need no set-up).
std::unique_ptr<RenderPipelineStage> MakePatchesStage(
    const PatchDictionary& patches,
    const std::vector<ExtraChannelInfo>& extra_info);
std::unique_ptr<RenderPipelineStage> MakeSplineStage(const Splines& splines);

}  // namespace qov

#endif  // QOV_LIB_RENDER_FEATURE_STAGES_H_
