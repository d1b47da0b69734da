// The stage factories the pipeline builder calls, and the builder's options.
// Stages of families that exist elsewhere come with their own headers; the
// families declared here are defined by their owners.
#ifndef QOV_LIB_RENDER_STAGE_FACTORIES_H_
#define QOV_LIB_RENDER_STAGE_FACTORIES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "lib/base/image.h"
#include "lib/bitstream/frame_header.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/color/color_encoding.h"
#include "lib/color/output_color.h"
#include "lib/frame/pixel_output.h"
#include "lib/render/render_stage.h"
#include "qov/qov.h"

namespace qov {

class ImageBundle;

// The four option bytes of pipeline building; only bit 0 of each counts.
struct RenderOptions {
  uint8_t prefer_simple = 0;  // whole-frame pipeline instead of low-memory
  uint8_t coalesce = 1;       // blend and keep references after the colour
                              // transform
  uint8_t spot_colors = 1;    // mix spot-colour channels into colour
  uint8_t add_noise = 1;      // render the frame's noise when it has one

  // The options packed one per byte, prefer_simple in the lowest.
  uint32_t Packed() const {
    return static_cast<uint32_t>(prefer_simple) |
           static_cast<uint32_t>(coalesce) << 8 |
           static_cast<uint32_t>(spot_colors) << 16 |
           static_cast<uint32_t>(add_noise) << 24;
  }
  static RenderOptions FromPacked(uint32_t packed) {
    RenderOptions o;
    o.prefer_simple = packed & 1;
    o.coalesce = (packed >> 8) & 1;
    o.spot_colors = (packed >> 16) & 1;
    o.add_noise = (packed >> 24) & 1;
    return o;
  }
};

// Every factory returns an owned stage, or none when it cannot make one
// (which fails the assembler's Append).

// Chroma upsampling of colour channel c, horizontally or vertically.
std::unique_ptr<RenderPipelineStage> MakeChromaUpsamplingStage(size_t channel,
                                                               bool horizontal);
// Loop filters.
std::unique_ptr<RenderPipelineStage> MakeGaborishStage(const LoopFilter& lf);
std::unique_ptr<RenderPipelineStage> MakeEpfStage(const LoopFilter& lf,
                                                  const PlaneF& inverse_sigma,
                                                  size_t step);
// Upsampling of one channel by 2^shift (shift 1..3).
std::unique_ptr<RenderPipelineStage> MakeUpsamplingStage(
    const QovMemoryManagerStruct* manager,
    const CustomTransformData& transform_data, size_t channel, size_t shift);
// Colour transforms.
std::unique_ptr<RenderPipelineStage> MakeXYBStage(
    const OutputColorSetup& output_color);
std::unique_ptr<RenderPipelineStage> MakeYCbCrStage();
// Transfer functions and colour management.
std::unique_ptr<RenderPipelineStage> MakeToLinearStage(
    const OutputColorSetup& output_color);
std::unique_ptr<RenderPipelineStage> MakeFromLinearStage(
    const OutputColorSetup& output_color);
// None when no tone mapping is needed.
std::unique_ptr<RenderPipelineStage> MakeToneMappingStage(
    const OutputColorSetup& output_color);
// None when no colour-management interface is set or nothing is to convert.
std::unique_ptr<RenderPipelineStage> MakeCmsStage(
    const OutputColorSetup& output_color, bool source_is_linear);
// Mixes extra channel `ec_index` (colour r, g, b, solidity) into colour.
std::unique_ptr<RenderPipelineStage> MakeSpotColorStage(size_t ec_index,
                                                        const float spot[4]);

// Writers (write_to_output_stage.cc, image_writer_stages.cc).

// Delivers the rows to the caller's pixel targets (entry k of
// extra_targets serves extra channel k). width and height are the frame's
// size before orientation.
std::unique_ptr<RenderPipelineStage> MakeWriteToOutputStage(
    const PixelOutputTarget& main_target, uint64_t width, uint64_t height,
    bool has_alpha, bool unpremultiply_alpha, uint64_t alpha_channel,
    uint32_t orientation, const std::vector<PixelOutputTarget>& extra_targets,
    const QovMemoryManagerStruct* memory_manager);
// Copies colour and extra channels into `bundle` (not owned) with a copy of
// `encoding`.
std::unique_ptr<RenderPipelineStage> MakeWriteToImageBundleStage(
    ImageBundle* bundle, const ColorEncoding& encoding);
// Copies channels 0..2 into `image` (not owned).
std::unique_ptr<RenderPipelineStage> MakeWriteToImage3FStage(
    const QovMemoryManagerStruct* memory_manager, Image3F* image);

}  // namespace qov

#endif  // QOV_LIB_RENDER_STAGE_FACTORIES_H_
