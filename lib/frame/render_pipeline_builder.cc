// Chooses, orders and makes the render stages of one frame, assembles them
// into the frame's pipeline and checks that every stage can run.
#include <memory>
#include <utility>

#include "lib/base/bits.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/render/blending_stage.h"
#include "lib/render/feature_stages.h"
#include "lib/render/noise_stages.h"
#include "lib/render/stage_factories.h"

namespace qov {

namespace {

// Reads every sample of the first `channels` channels and keeps nothing.
class DropStage : public RenderPipelineStage {
 public:
  explicit DropStage(size_t channels)
      : RenderPipelineStage(StageGeometry{}), channels_(channels) {}
  Status RenderRow(const ChannelRowSet& /*input_rows*/,
                   const ChannelRowSet& /*output_rows*/, size_t /*extra_left*/,
                   size_t /*extra_right*/, size_t /*xsize*/, size_t /*xpos*/,
                   size_t /*ypos*/, size_t /*thread_id*/) const override {
    return OkStatus();
  }
  RowChannelMode ChannelModeOf(size_t c) const override {
    return c < channels_ ? RowChannelMode::kReadOnly : RowChannelMode::kNotUsed;
  }
  const char* StageName() const override { return "Drop"; }

 private:
  size_t channels_;
};

}  // namespace

Status FrameDecodingState::BuildRenderPipeline(const FrameHeader& header,
                                               const CodecMetadata& metadata,
                                               ImageBundle* decoded,
                                               const RenderOptions& options) {
  const ImageMetadata& image = metadata.m;
  const std::vector<ExtraChannelInfo>& extra = image.extra_channel_info;
  const size_t n = extra.size();

  if (stand_in_stages) {
    // The capture pipeline of section-decoding tests.
    render_pipeline.reset();
    RenderPipelineAssembler assembler(memory_manager, 3 + n, /*simple=*/true);
    std::vector<std::unique_ptr<RenderPipelineStage>> stages =
        stand_in_stages(header, 3 + n);
    if (stages.empty()) stages.push_back(std::make_unique<DropStage>(3 + n));
    for (auto& stage : stages) {
      QOV_RETURN_IF_ERROR(assembler.Append(std::move(stage)));
    }
    QOV_ASSIGN_OR_RETURN(render_pipeline,
                         assembler.Assemble(header.ComputeGeometry()));
    return OkStatus();
  }
  const bool referenceable =
      !header.is_last && header.frame_type != static_cast<uint32_t>(FrameKind::kDc) &&
      (header.animation_frame.duration == 0 || header.save_as_reference != 0);
  bool has_alpha = false;
  uint64_t alpha_channel = 0;
  for (size_t i = 0; i < n; ++i) {
    if (extra[i].type == static_cast<uint32_t>(ExtraChannelKind::kAlpha)) {
      has_alpha = true;
      alpha_channel = 3 + i;
      break;
    }
  }
  bool late_ec_upsampling = header.upsampling != 1;
  for (size_t i = 0; i < n && late_ec_upsampling; ++i) {
    const uint32_t u = i < header.ec_upsampling.size() ? header.ec_upsampling[i]
                                                       : 1;
    if (u != header.upsampling) late_ec_upsampling = false;
  }
  const bool render_noise =
      (header.flags & FrameFlags::kNoise) != 0 && (options.add_noise & 1) != 0;
  const uint64_t first_noise_channel = 3 + n;

  // 0. A fresh reference bundle for a frame that later frames may use.
  if (referenceable) reference_image = ImageBundle(memory_manager, &image);

  // 1.
  RenderPipelineAssembler assembler(memory_manager,
                                    3 + n + (render_noise ? 3 : 0),
                                    (options.prefer_simple & 1) != 0);

  // 2. Chroma upsampling of the channels below the frame's resolution.
  const YCbCrChromaSubsampling& cs = header.chroma_subsampling;
  for (size_t c = 0; c < 3; ++c) {
    if (cs.HShift(c) != 0) {
      QOV_RETURN_IF_ERROR(assembler.Append(MakeChromaUpsamplingStage(c, true)));
    }
    if (cs.VShift(c) != 0) {
      QOV_RETURN_IF_ERROR(
          assembler.Append(MakeChromaUpsamplingStage(c, false)));
    }
  }

  // 3. Loop filters.
  const LoopFilter& lf = header.loop_filter;
  if (lf.gab) QOV_RETURN_IF_ERROR(assembler.Append(MakeGaborishStage(lf)));
  const uint32_t epf_steps = lf.epf_iters;
  if (epf_steps >= 3) {
    QOV_RETURN_IF_ERROR(
        assembler.Append(MakeEpfStage(lf, epf_inverse_sigma, 0)));
  }
  if (epf_steps >= 1) {
    QOV_RETURN_IF_ERROR(
        assembler.Append(MakeEpfStage(lf, epf_inverse_sigma, 1)));
  }
  if (epf_steps >= 2) {
    QOV_RETURN_IF_ERROR(
        assembler.Append(MakeEpfStage(lf, epf_inverse_sigma, 2)));
  }

  // 4. Extra channels upsampled on their own.
  if (!late_ec_upsampling) {
    for (size_t i = 0; i < n; ++i) {
      const uint32_t u =
          i < header.ec_upsampling.size() ? header.ec_upsampling[i] : 1;
      if (u == 1) continue;
      QOV_RETURN_IF_ERROR(assembler.Append(MakeUpsamplingStage(
          memory_manager, metadata.transform_data, 3 + i, CeilLog2(u))));
    }
  }

  // 5. Features.
  if ((header.flags & FrameFlags::kPatches) != 0) {
    QOV_RETURN_IF_ERROR(assembler.Append(MakePatchesStage(patches, extra)));
  }
  if ((header.flags & FrameFlags::kSplines) != 0) {
    QOV_RETURN_IF_ERROR(assembler.Append(MakeSplineStage(splines)));
  }

  // 6. Upsampling.
  if (header.upsampling != 1) {
    const size_t shift = CeilLog2(header.upsampling);
    const size_t channels = late_ec_upsampling ? 3 + n : 3;
    for (size_t c = 0; c < channels; ++c) {
      QOV_RETURN_IF_ERROR(assembler.Append(MakeUpsamplingStage(
          memory_manager, metadata.transform_data, c, shift)));
    }
  }

  // 7. Noise.
  if (render_noise) {
    QOV_RETURN_IF_ERROR(
        assembler.Append(MakeConvolveNoiseStage(first_noise_channel)));
    QOV_RETURN_IF_ERROR(assembler.Append(
        MakeAddNoiseStage(noise, cfl_map, first_noise_channel)));
  }

  // 8. DC frame.
  if (header.dc_level != 0) {
    if (header.dc_level > kNumDcFrameLevels) return FailedStatus();
    QOV_RETURN_IF_ERROR(assembler.Append(MakeWriteToImage3FStage(
        memory_manager, &dc_frames[header.dc_level - 1])));
  }

  // 9. Reference kept before the colour transform.
  if (referenceable && header.save_before_color_transform) {
    QOV_RETURN_IF_ERROR(assembler.Append(
        MakeWriteToImageBundleStage(&reference_image, image.color_encoding)));
  }

  // 10. Colour transform.
  bool linear = false;
  if (header.color_transform == static_cast<uint32_t>(ColorTransformKind::kXyb)) {
    QOV_RETURN_IF_ERROR(assembler.Append(MakeXYBStage(output_color)));
    linear = !output_color.output_encoding.IsXyb();
  } else if (header.color_transform == static_cast<uint32_t>(ColorTransformKind::kYCbCr)) {
    QOV_RETURN_IF_ERROR(assembler.Append(MakeYCbCrStage()));
  }

  // 11. Blending and the reference kept after the colour transform.
  if ((options.coalesce & 1) != 0) {
    if (BlendingRequired(header)) {
      if (linear) {
        QOV_RETURN_IF_ERROR(
            assembler.Append(MakeFromLinearStage(output_color)));
      }
      QOV_RETURN_IF_ERROR(assembler.Append(
          MakeBlendingStage(header, *this, output_color.output_encoding)));
      linear = false;
    }
    if (referenceable && !header.save_before_color_transform) {
      if (linear) {
        QOV_RETURN_IF_ERROR(
            assembler.Append(MakeFromLinearStage(output_color)));
      }
      QOV_RETURN_IF_ERROR(assembler.Append(
          MakeWriteToImageBundleStage(&reference_image, image.color_encoding)));
      linear = false;
    }
  }

  // 12. Spot colours.
  if ((options.spot_colors & 1) != 0) {
    for (size_t i = 0; i < n; ++i) {
      if (extra[i].type != static_cast<uint32_t>(ExtraChannelKind::kSpotColor))
        continue;
      QOV_RETURN_IF_ERROR(
          assembler.Append(MakeSpotColorStage(i, extra[i].spot_color)));
    }
  }

  // 13. Tone mapping, on linear samples.
  std::unique_ptr<RenderPipelineStage> tone_mapping =
      MakeToneMappingStage(output_color);
  if (tone_mapping != nullptr) {
    if (!linear) {
      QOV_RETURN_IF_ERROR(assembler.Append(MakeToLinearStage(output_color)));
    }
    QOV_RETURN_IF_ERROR(assembler.Append(std::move(tone_mapping)));
    linear = true;
  }

  // 14. Conversion to the output encoding.
  const ColorEncoding& out_enc = output_color.output_encoding;
  const ColorEncoding& own_enc = image.color_encoding;
  if (linear) {
    if (out_enc.SameAs(own_enc) || own_enc.cmyk ||
        out_enc.IsGray() != own_enc.IsGray() || !output_color.cms_present) {
      QOV_RETURN_IF_ERROR(assembler.Append(MakeFromLinearStage(output_color)));
    } else {
      ColorEncoding linear_twin = output_color.output_linear_encoding;
      if (!linear_twin.BuildIccFromFields().ok()) return FailedStatus();
      std::unique_ptr<RenderPipelineStage> cms =
          MakeCmsStage(output_color, true);
      if (cms != nullptr) QOV_RETURN_IF_ERROR(assembler.Append(std::move(cms)));
    }
  } else {
    std::unique_ptr<RenderPipelineStage> cms =
        MakeCmsStage(output_color, false);
    if (cms != nullptr) QOV_RETURN_IF_ERROR(assembler.Append(std::move(cms)));
  }

  // 15. Writer.
  if (main_output.InUse()) {
    QOV_RETURN_IF_ERROR(assembler.Append(MakeWriteToOutputStage(
        main_output, output_width, output_height, has_alpha,
        unpremultiply_alpha, alpha_channel,
        static_cast<uint32_t>(undo_orientation), extra_outputs,
        memory_manager)));
  } else {
    QOV_RETURN_IF_ERROR(
        assembler.Append(MakeWriteToImageBundleStage(decoded, out_enc)));
  }

  // 16.
  QOV_ASSIGN_OR_RETURN(std::unique_ptr<RenderPipeline> pipeline,
                       assembler.Assemble(FrameGeometry(frame_geometry)));
  render_pipeline = std::move(pipeline);

  // 17.
  for (const std::unique_ptr<RenderPipelineStage>& stage :
       render_pipeline->stages) {
    QOV_RETURN_IF_ERROR(stage->CheckReady());
  }
  return OkStatus();
}

}  // namespace qov
