// Colour conversion of the colour channels through a caller's
// colour-management module, one row of interleaved pixels at a time.
#ifndef QOV_LIB_RENDER_CMS_STAGE_H_
#define QOV_LIB_RENDER_CMS_STAGE_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "lib/color/output_color.h"
#include "lib/render/render_stage.h"

namespace qov {

// A live transform of the module; destroys the module's state with it.
struct CmsTransform {
  CmsTransform() = default;
  CmsTransform(const CmsTransform&) = delete;
  CmsTransform& operator=(const CmsTransform&) = delete;
  ~CmsTransform();

  CmsInterface cms;
  void* state = nullptr;
  std::vector<uint8_t> source_icc;
  std::vector<uint8_t> destination_icc;
};

class CmsStage final : public RenderPipelineStage {
 public:
  // linear: the source is the output encoding with a linear transfer
  // function; otherwise the image's own encoding.
  CmsStage(const OutputColorSetup& setup, bool linear);

  // Failed for non-zero extras, a row wider than the accepted width, no
  // transform yet, or a module run that fails (rows then unchanged).
  Status RenderRow(const ChannelRowSet& input_rows,
                   const ChannelRowSet& output_rows, size_t extra_left,
                   size_t extra_right, size_t xsize, size_t xpos, size_t ypos,
                   size_t thread_id) const override;
  RowChannelMode ChannelModeOf(size_t c) const override;
  // Failed for fewer than 3 channels or unequal sizes. A width other than
  // the one the transform was made for (the whole-frame pipeline gives it
  // only after SetUpForThreads) makes the transform again, so the module's
  // buffers always hold one row.
  Status AcceptInputSizes(const ChannelSizes& input_sizes) override;
  // Makes the transform once the row width is known (else at
  // AcceptInputSizes). Failed for a CMYK output or a failed initialisation.
  Status SetUpForThreads(size_t num_threads) override;
  const char* StageName() const override { return "Cms"; }

  // Whether MakeCmsStage keeps this stage.
  bool Wanted() const;

 private:
  Status CreateTransform();

  OutputColorSetup output_setup_;
  uint64_t accepted_xsize_ = 0;
  std::unique_ptr<CmsTransform> transform_;
  ColorEncoding source_encoding_;
  size_t num_threads_ = 0;  // 0 until SetUpForThreads
  uint64_t transform_xsize_ = 0;
};

// Null when no module is installed, the channel layouts cannot be
// converted, or source and output describe the same colours.
std::unique_ptr<RenderPipelineStage> MakeCmsStage(
    const OutputColorSetup& setup, bool linear);

}  // namespace qov

#endif  // QOV_LIB_RENDER_CMS_STAGE_H_
