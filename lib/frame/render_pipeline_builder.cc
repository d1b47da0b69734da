// Chooses, orders and makes the render stages of one frame, assembles them
// into the frame's pipeline and checks that every stage can run.
#include <memory>
#include <utility>

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

// ceil(log2 u) for the upsampling factors 2, 4 and 8.
size_t UpsamplingShift(uint32_t u) {
  size_t shift = 0;
  while ((uint64_t{1} << shift) < u) ++shift;
  return shift;
}

// What the builder derives once from the frame header, the image metadata
// and the options.
struct FramePlan {
  size_t num_extra = 0;
  // Later frames may use this one: not the last, not a DC frame, and either
  // shown for no time (the next frame builds on it) or saved to a slot.
  bool referenceable = false;
  bool has_alpha = false;
  uint64_t alpha_channel = 0;  // 3 + the first alpha channel, else 0
  // Every extra channel shares the frame's upsampling factor (not 1), so it
  // is upsampled with the colour channels.
  bool late_ec_upsampling = false;
  bool render_noise = false;
};

uint32_t EcUpsampling(const FrameHeader& header, size_t i) {
  return i < header.ec_upsampling.size() ? header.ec_upsampling[i] : 1;
}

FramePlan PlanFrame(const FrameHeader& header, const ImageMetadata& image,
                    const RenderOptions& options) {
  const std::vector<ExtraChannelInfo>& extra = image.extra_channel_info;
  FramePlan plan;
  plan.num_extra = extra.size();
  plan.referenceable =
      !header.is_last &&
      header.frame_type != static_cast<uint32_t>(FrameKind::kDc) &&
      (header.animation_frame.duration == 0 || header.save_as_reference != 0);
  for (size_t i = 0; i < plan.num_extra; ++i) {
    if (extra[i].type == static_cast<uint32_t>(ExtraChannelKind::kAlpha)) {
      plan.has_alpha = true;
      plan.alpha_channel = 3 + i;
      break;
    }
  }
  plan.late_ec_upsampling = header.upsampling != 1;
  for (size_t i = 0; i < plan.num_extra && plan.late_ec_upsampling; ++i) {
    if (EcUpsampling(header, i) != header.upsampling) {
      plan.late_ec_upsampling = false;
    }
  }
  plan.render_noise = (header.flags & FrameFlags::kNoise) != 0 &&
                      (options.add_noise & 1) != 0;
  return plan;
}

// The capture pipeline of section-decoding tests: the factory's stages (or
// one that drops every sample) over the frame's channels, unscaled.
Status BuildCapturePipeline(FrameDecodingState& state,
                            const FrameHeader& header, size_t num_channels) {
  state.render_pipeline.reset();
  RenderPipelineAssembler assembler(state.memory_manager, num_channels,
                                    /*simple=*/true);
  std::vector<std::unique_ptr<RenderPipelineStage>> stages =
      state.stand_in_stages(header, num_channels);
  if (stages.empty()) {
    stages.push_back(std::make_unique<DropStage>(num_channels));
  }
  for (auto& stage : stages) {
    QOV_RETURN_IF_ERROR(assembler.Append(std::move(stage)));
  }
  QOV_ASSIGN_OR_RETURN(state.render_pipeline,
                       assembler.Assemble(header.ComputeGeometry()));
  return OkStatus();
}

// Chroma upsampling of the channels below the frame's resolution, then the
// loop filters.
Status AppendFilterStages(const FrameDecodingState& state,
                          const FrameHeader& header,
                          RenderPipelineAssembler& assembler) {
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

  const LoopFilter& lf = header.loop_filter;
  if (lf.gab) QOV_RETURN_IF_ERROR(assembler.Append(MakeGaborishStage(lf)));
  const uint32_t epf_steps = lf.epf_iters;
  const PlaneF& sigma = state.epf_inverse_sigma;
  if (epf_steps >= 3) {
    QOV_RETURN_IF_ERROR(assembler.Append(MakeEpfStage(lf, sigma, 0)));
  }
  if (epf_steps >= 1) {
    QOV_RETURN_IF_ERROR(assembler.Append(MakeEpfStage(lf, sigma, 1)));
  }
  if (epf_steps >= 2) {
    QOV_RETURN_IF_ERROR(assembler.Append(MakeEpfStage(lf, sigma, 2)));
  }
  return OkStatus();
}

// Extra channels upsampled on their own, the features, the frame's
// upsampling and its noise.
Status AppendFeatureStages(const FrameDecodingState& state,
                           const FrameHeader& header,
                           const CodecMetadata& metadata, const FramePlan& plan,
                           RenderPipelineAssembler& assembler) {
  const QovMemoryManagerStruct* manager = state.memory_manager;
  if (!plan.late_ec_upsampling) {
    for (size_t i = 0; i < plan.num_extra; ++i) {
      const uint32_t u = EcUpsampling(header, i);
      if (u == 1) continue;
      QOV_RETURN_IF_ERROR(assembler.Append(MakeUpsamplingStage(
          manager, metadata.transform_data, 3 + i, UpsamplingShift(u))));
    }
  }

  if ((header.flags & FrameFlags::kPatches) != 0) {
    QOV_RETURN_IF_ERROR(assembler.Append(
        MakePatchesStage(state.patches, metadata.m.extra_channel_info)));
  }
  if ((header.flags & FrameFlags::kSplines) != 0) {
    QOV_RETURN_IF_ERROR(assembler.Append(MakeSplineStage(state.splines)));
  }

  if (header.upsampling != 1) {
    const size_t shift = UpsamplingShift(header.upsampling);
    const size_t channels = plan.late_ec_upsampling ? 3 + plan.num_extra : 3;
    for (size_t c = 0; c < channels; ++c) {
      QOV_RETURN_IF_ERROR(assembler.Append(MakeUpsamplingStage(
          manager, metadata.transform_data, c, shift)));
    }
  }

  if (plan.render_noise) {
    const uint64_t first_noise_channel = 3 + plan.num_extra;
    QOV_RETURN_IF_ERROR(
        assembler.Append(MakeConvolveNoiseStage(first_noise_channel)));
    QOV_RETURN_IF_ERROR(assembler.Append(
        MakeAddNoiseStage(state.noise, state.cfl_map, first_noise_channel)));
  }
  return OkStatus();
}

// The stores that keep the frame for later frames before its colour
// transform: a DC frame's image, and a reference saved that early.
Status AppendEarlyStoreStages(FrameDecodingState& state,
                              const FrameHeader& header,
                              const ImageMetadata& image, const FramePlan& plan,
                              RenderPipelineAssembler& assembler) {
  if (header.dc_level != 0) {
    if (header.dc_level > kNumDcFrameLevels) return FailedStatus();
    QOV_RETURN_IF_ERROR(assembler.Append(MakeWriteToImage3FStage(
        state.memory_manager, &state.dc_frames[header.dc_level - 1])));
  }
  if (plan.referenceable && header.save_before_color_transform) {
    QOV_RETURN_IF_ERROR(assembler.Append(MakeWriteToImageBundleStage(
        &state.reference_image, image.color_encoding)));
  }
  return OkStatus();
}

// The colour transform, blending and the reference kept after the colour
// transform, and the spot colours. *linear tells whether the samples at the
// end are linear light in the output primaries.
Status AppendColourStages(FrameDecodingState& state, const FrameHeader& header,
                          const ImageMetadata& image, const FramePlan& plan,
                          const RenderOptions& options,
                          RenderPipelineAssembler& assembler, bool* linear) {
  const OutputColorSetup& output_color = state.output_color;
  *linear = false;
  if (header.color_transform == static_cast<uint32_t>(ColorTransformKind::kXyb)) {
    QOV_RETURN_IF_ERROR(assembler.Append(MakeXYBStage(output_color)));
    *linear = !output_color.output_encoding.IsXyb();
  } else if (header.color_transform == static_cast<uint32_t>(ColorTransformKind::kYCbCr)) {
    QOV_RETURN_IF_ERROR(assembler.Append(MakeYCbCrStage()));
  }

  // Blending and stored references work on encoded samples.
  if ((options.coalesce & 1) != 0) {
    if (BlendingRequired(header)) {
      if (*linear) {
        QOV_RETURN_IF_ERROR(
            assembler.Append(MakeFromLinearStage(output_color)));
      }
      QOV_RETURN_IF_ERROR(assembler.Append(
          MakeBlendingStage(header, state, output_color.output_encoding)));
      *linear = false;
    }
    if (plan.referenceable && !header.save_before_color_transform) {
      if (*linear) {
        QOV_RETURN_IF_ERROR(
            assembler.Append(MakeFromLinearStage(output_color)));
      }
      QOV_RETURN_IF_ERROR(assembler.Append(MakeWriteToImageBundleStage(
          &state.reference_image, image.color_encoding)));
      *linear = false;
    }
  }

  if ((options.spot_colors & 1) != 0) {
    const std::vector<ExtraChannelInfo>& extra = image.extra_channel_info;
    for (size_t i = 0; i < plan.num_extra; ++i) {
      if (extra[i].type != static_cast<uint32_t>(ExtraChannelKind::kSpotColor))
        continue;
      QOV_RETURN_IF_ERROR(
          assembler.Append(MakeSpotColorStage(i, extra[i].spot_color)));
    }
  }
  return OkStatus();
}

// Tone mapping, on linear samples, then the conversion to the output
// encoding: a from-linear stage, or the colour module's stage when one is
// installed and the encodings call for it.
Status AppendOutputConversion(const FrameDecodingState& state,
                              const ImageMetadata& image, bool linear,
                              RenderPipelineAssembler& assembler) {
  const OutputColorSetup& output_color = state.output_color;
  std::unique_ptr<RenderPipelineStage> tone_mapping =
      MakeToneMappingStage(output_color);
  if (tone_mapping != nullptr) {
    if (!linear) {
      QOV_RETURN_IF_ERROR(assembler.Append(MakeToLinearStage(output_color)));
    }
    QOV_RETURN_IF_ERROR(assembler.Append(std::move(tone_mapping)));
    linear = true;
  }

  const ColorEncoding& out_enc = output_color.output_encoding;
  const ColorEncoding& own_enc = image.color_encoding;
  if (!linear) {
    std::unique_ptr<RenderPipelineStage> cms =
        MakeCmsStage(output_color, false);
    if (cms != nullptr) QOV_RETURN_IF_ERROR(assembler.Append(std::move(cms)));
    return OkStatus();
  }
  if (out_enc.SameAs(own_enc) || own_enc.cmyk ||
      out_enc.IsGray() != own_enc.IsGray() || !output_color.cms_present) {
    return assembler.Append(MakeFromLinearStage(output_color));
  }
  // The module converts from the output's linear twin, so it must get the
  // twin's own profile; the set-up's twin still carries the output's bytes.
  OutputColorSetup from_twin = output_color;
  if (!from_twin.output_linear_encoding.BuildIccFromFields().ok()) {
    return FailedStatus();
  }
  std::unique_ptr<RenderPipelineStage> cms = MakeCmsStage(from_twin, true);
  if (cms != nullptr) QOV_RETURN_IF_ERROR(assembler.Append(std::move(cms)));
  return OkStatus();
}

// The writer: to the caller's pixel target when one is attached, else into
// the image bundle in the output encoding.
Status AppendWriter(FrameDecodingState& state, const FramePlan& plan,
                    ImageBundle* decoded, RenderPipelineAssembler& assembler) {
  if (state.main_output.InUse()) {
    return assembler.Append(MakeWriteToOutputStage(
        state.main_output, state.output_width, state.output_height,
        plan.has_alpha, state.unpremultiply_alpha, plan.alpha_channel,
        static_cast<uint32_t>(state.undo_orientation), state.extra_outputs,
        state.memory_manager));
  }
  return assembler.Append(MakeWriteToImageBundleStage(
      decoded, state.output_color.output_encoding));
}

}  // namespace

Status FrameDecodingState::BuildRenderPipeline(const FrameHeader& header,
                                               const CodecMetadata& metadata,
                                               ImageBundle* decoded,
                                               const RenderOptions& options) {
  const ImageMetadata& image = metadata.m;
  if (stand_in_stages) {
    return BuildCapturePipeline(*this, header,
                                3 + image.extra_channel_info.size());
  }
  const FramePlan plan = PlanFrame(header, image, options);

  // A fresh reference bundle for a frame that later frames may use, kept
  // even when building fails.
  if (plan.referenceable) reference_image = ImageBundle(memory_manager, &image);

  RenderPipelineAssembler assembler(
      memory_manager, 3 + plan.num_extra + (plan.render_noise ? 3 : 0),
      (options.prefer_simple & 1) != 0);
  QOV_RETURN_IF_ERROR(AppendFilterStages(*this, header, assembler));
  QOV_RETURN_IF_ERROR(
      AppendFeatureStages(*this, header, metadata, plan, assembler));
  QOV_RETURN_IF_ERROR(
      AppendEarlyStoreStages(*this, header, image, plan, assembler));
  bool linear = false;
  QOV_RETURN_IF_ERROR(AppendColourStages(*this, header, image, plan, options,
                                         assembler, &linear));
  QOV_RETURN_IF_ERROR(AppendOutputConversion(*this, image, linear, assembler));
  QOV_RETURN_IF_ERROR(AppendWriter(*this, plan, decoded, assembler));

  // The new pipeline replaces the old one only once assembled; a stage that
  // is not ready fails the build but stays installed.
  QOV_ASSIGN_OR_RETURN(std::unique_ptr<RenderPipeline> pipeline,
                       assembler.Assemble(FrameGeometry(frame_geometry)));
  render_pipeline = std::move(pipeline);
  for (const std::unique_ptr<RenderPipelineStage>& stage :
       render_pipeline->stages) {
    QOV_RETURN_IF_ERROR(stage->CheckReady());
  }
  return OkStatus();
}

}  // namespace qov
