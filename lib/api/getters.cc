// Information getters: basic information, extra channels, colour encoding
// and ICC profile, the current frame's header and name, with the orientation
// handling that turns stored sizes into displayed ones.
#include <cstring>

#include "lib/api/decoder_state.h"
#include "lib/bitstream/frame_header.h"
#include "lib/frame/frame_decoding_state.h"

namespace qov {

bool DecoderState::CurrentFrameIsPreview() const {
  return frame_header != nullptr && frame_header->is_preview;
}

void DecoderState::OrientedFrameSize(uint64_t* width, uint64_t* height) const {
  const ImageMetadata& m = metadata.m;
  const bool swap = m.orientation >= 5 && !keep_orientation;
  uint64_t w, h;
  if (CurrentFrameIsPreview()) {
    w = m.preview_size.Width();
    h = m.preview_size.Height();
  } else if (coalescing || frame_header == nullptr) {
    w = metadata.size.Width();
    h = metadata.size.Height();
  } else {
    const FrameGeometry geometry = frame_header->ComputeGeometry();
    w = geometry.xsize_upsampled;
    h = geometry.ysize_upsampled;
  }
  if (swap) std::swap(w, h);
  *width = w;
  *height = h;
}

const ColorEncoding& DecoderState::ChosenEncoding(QovColorSource source) const {
  if (source == QOV_COLOR_SOURCE_OUTPUT && metadata.m.xyb_encoded &&
      frame_state != nullptr) {
    return frame_state->output_color.output_encoding;
  }
  return metadata.m.color_encoding;
}

}  // namespace qov

using qov::ColorEncoding;
using qov::ExtraChannelInfo;
using qov::ImageMetadata;

QovDecoderStatus QovDecoderGetBasicInfo(QovDecoder dec, QovBasicInfo* info) {
  if (dec == nullptr) return QOV_DEC_FAILED;
  if (!dec->got_basic_info) return QOV_DEC_WANT_INPUT;
  if (info == nullptr) return QOV_DEC_OK;
  const ImageMetadata& m = dec->metadata.m;
  std::memset(info, 0, sizeof(*info));
  info->have_container = dec->have_container;
  info->xsize = dec->metadata.size.Width();
  info->ysize = dec->metadata.size.Height();
  info->uses_original_profile = !m.xyb_encoded;
  info->bits_per_sample = m.bit_depth.bits_per_sample;
  info->exponent_bits_per_sample = m.bit_depth.exponent_bits_per_sample;
  info->have_preview = m.have_preview;
  info->have_animation = m.have_animation;
  info->orientation = m.orientation;
  if (!dec->keep_orientation) {
    if (m.orientation >= 5) std::swap(info->xsize, info->ysize);
    info->orientation = 1;
  }
  info->intensity_target = m.tone_mapping.intensity_target;
  if (dec->desired_intensity_target > 0) {
    info->intensity_target = dec->desired_intensity_target;
  }
  info->min_nits = m.tone_mapping.min_nits;
  info->relative_to_max_display = m.tone_mapping.relative_to_max_display;
  info->linear_below = m.tone_mapping.linear_below;
  for (const ExtraChannelInfo& ec : m.extra_channel_info) {
    if (ec.type == 0) {
      info->alpha_bits = ec.bit_depth.bits_per_sample;
      info->alpha_exponent_bits = ec.bit_depth.exponent_bits_per_sample;
      info->alpha_premultiplied = ec.alpha_associated;
      break;
    }
  }
  info->num_color_channels = m.color_encoding.IsGray() ? 1 : 3;
  info->num_extra_channels = m.num_extra_channels;
  if (m.have_preview) {
    info->preview.xsize = m.preview_size.Width();
    info->preview.ysize = m.preview_size.Height();
  }
  if (m.have_animation) {
    info->animation.tps_numerator = m.animation.tps_numerator;
    info->animation.tps_denominator = m.animation.tps_denominator;
    info->animation.num_loops = m.animation.num_loops;
    info->animation.have_timecodes = m.animation.have_timecodes;
  }
  if (m.have_intrinsic_size) {
    info->intrinsic_xsize = m.intrinsic_size.Width();
    info->intrinsic_ysize = m.intrinsic_size.Height();
  } else {
    info->intrinsic_xsize = info->xsize;
    info->intrinsic_ysize = info->ysize;
  }
  return QOV_DEC_OK;
}

QovDecoderStatus QovDecoderGetExtraChannelInfo(QovDecoder dec, uint64_t index,
                                               QovExtraChannelInfo* info) {
  if (dec == nullptr) return QOV_DEC_FAILED;
  if (!dec->got_basic_info) return QOV_DEC_WANT_INPUT;
  const ImageMetadata& m = dec->metadata.m;
  if (index >= m.extra_channel_info.size() || info == nullptr) {
    return QOV_DEC_FAILED;
  }
  const ExtraChannelInfo& ec = m.extra_channel_info[index];
  std::memset(info, 0, sizeof(*info));
  info->type = ec.type;
  info->bits_per_sample = ec.bit_depth.bits_per_sample;
  info->exponent_bits_per_sample =
      ec.bit_depth.floating_point_sample ? ec.bit_depth.exponent_bits_per_sample : 0;
  info->dim_shift = ec.dim_shift;
  info->name_length = static_cast<uint32_t>(ec.name.size());
  info->alpha_premultiplied = ec.alpha_associated;
  for (int i = 0; i < 4; ++i) info->spot_color[i] = ec.spot_color[i];
  info->cfa_channel = ec.cfa_channel;
  return QOV_DEC_OK;
}

QovDecoderStatus QovDecoderGetExtraChannelName(QovDecoder dec, uint64_t index,
                                               char* name, uint64_t size) {
  if (dec == nullptr) return QOV_DEC_FAILED;
  if (!dec->got_basic_info) return QOV_DEC_WANT_INPUT;
  const ImageMetadata& m = dec->metadata.m;
  if (index >= m.extra_channel_info.size() || name == nullptr) {
    return QOV_DEC_FAILED;
  }
  const std::string& text = m.extra_channel_info[index].name;
  if (size < text.size() + 1) return QOV_DEC_FAILED;
  std::memcpy(name, text.data(), text.size());
  name[text.size()] = '\0';
  return QOV_DEC_OK;
}

QovDecoderStatus QovDecoderGetColorAsFields(QovDecoder dec, QovColorSource source,
                                            QovColorEncoding* color_encoding) {
  if (dec == nullptr) return QOV_DEC_FAILED;
  if (!dec->got_color_encoding) return QOV_DEC_WANT_INPUT;
  const ColorEncoding& chosen = dec->ChosenEncoding(source);
  if (chosen.want_icc) return QOV_DEC_FAILED;
  if (color_encoding != nullptr) *color_encoding = chosen.ToPublic();
  return QOV_DEC_OK;
}

namespace {

// The ICC profile of the chosen encoding, or null when it cannot be given:
// an ICC encoding that declares colour space XYB or Unknown.
const std::vector<uint8_t>* ChosenProfile(QovDecoder dec, QovColorSource source) {
  const ColorEncoding& chosen = dec->ChosenEncoding(source);
  const ColorEncoding& declared = dec->metadata.m.color_encoding;
  if (chosen.want_icc && (declared.IsXyb() ||
                          declared.color_space == qov::Raw(qov::ColorSpace::kUnknown))) {
    return nullptr;
  }
  return &chosen.icc;
}

}  // namespace

QovDecoderStatus QovDecoderGetICCProfileSize(QovDecoder dec, QovColorSource source,
                                             uint64_t* size) {
  if (dec == nullptr) return QOV_DEC_FAILED;
  if (!dec->got_color_encoding) return QOV_DEC_WANT_INPUT;
  const std::vector<uint8_t>* profile = ChosenProfile(dec, source);
  if (profile == nullptr) return QOV_DEC_FAILED;
  if (size != nullptr) *size = profile->size();
  return QOV_DEC_OK;
}

QovDecoderStatus QovDecoderGetColorAsICCProfile(QovDecoder dec, QovColorSource source,
                                                uint8_t* icc_profile, uint64_t size) {
  if (dec == nullptr) return QOV_DEC_FAILED;
  if (!dec->got_color_encoding) return QOV_DEC_WANT_INPUT;
  const std::vector<uint8_t>* profile = ChosenProfile(dec, source);
  if (profile == nullptr || size < profile->size() ||
      (icc_profile == nullptr && !profile->empty())) {
    return QOV_DEC_FAILED;
  }
  if (!profile->empty()) std::memcpy(icc_profile, profile->data(), profile->size());
  return QOV_DEC_OK;
}

namespace {

bool FrameIsCurrent(QovDecoder dec) {
  return dec->frame_header != nullptr && dec->frame_stage != qov::kFrameHeaderStage;
}

}  // namespace

QovDecoderStatus QovDecoderGetFrameHeader(QovDecoder dec, QovFrameHeader* header) {
  if (dec == nullptr || header == nullptr || !FrameIsCurrent(dec)) {
    return QOV_DEC_FAILED;
  }
  const qov::FrameHeader& fh = *dec->frame_header;
  const ImageMetadata& m = dec->metadata.m;
  std::memset(header, 0, sizeof(*header));
  if (m.have_animation) {
    header->duration = fh.animation_frame.duration;
    if (m.animation.have_timecodes) header->timecode = fh.animation_frame.timecode;
  }
  header->name_length = static_cast<uint32_t>(fh.name.size());
  header->is_last = fh.is_last;
  uint64_t w, h;
  dec->OrientedFrameSize(&w, &h);
  header->layer_info.xsize = static_cast<uint32_t>(w);
  header->layer_info.ysize = static_cast<uint32_t>(h);
  if (!dec->coalescing && fh.custom_size_or_origin) {
    header->layer_info.crop_x0 = fh.x0;
    header->layer_info.crop_y0 = fh.y0;
    header->layer_info.have_crop = 1;
  }
  if (!dec->coalescing && !dec->keep_orientation) {
    // Re-orient the crop origin; W, H the stored image size.
    const uint32_t o = m.orientation;
    const int64_t image_w = dec->metadata.size.Width();
    const int64_t image_h = dec->metadata.size.Height();
    const int64_t lw = header->layer_info.xsize, lh = header->layer_info.ysize;
    const bool mirror_x = (o & 2) != 0;
    const bool mirror_y = ((o + 3) & 2) != 0;
    int64_t x0 = header->layer_info.crop_x0, y0 = header->layer_info.crop_y0;
    if (o <= 4) {
      if (mirror_x) x0 = image_w - (lw + x0);
      if (mirror_y) y0 = image_h - (lh + y0);
    } else {
      std::swap(x0, y0);
      if (mirror_x) x0 = image_h - (lw + x0);
      if (mirror_y) y0 = image_w - (lh + y0);
    }
    header->layer_info.crop_x0 = static_cast<int32_t>(x0);
    header->layer_info.crop_y0 = static_cast<int32_t>(y0);
  }
  if (!dec->coalescing) {
    header->layer_info.blend_info.blendmode = fh.blending_info.mode;
    header->layer_info.blend_info.source = fh.blending_info.source;
    header->layer_info.blend_info.alpha = fh.blending_info.alpha_channel;
    header->layer_info.blend_info.clamp = fh.blending_info.clamp;
    header->layer_info.save_as_reference = fh.save_as_reference;
  }
  return QOV_DEC_OK;
}

QovDecoderStatus QovDecoderGetFrameName(QovDecoder dec, char* name, uint64_t size) {
  if (dec == nullptr || name == nullptr || !FrameIsCurrent(dec)) {
    return QOV_DEC_FAILED;
  }
  const auto& text = dec->frame_header->name;
  if (size < text.size() + 1) return QOV_DEC_FAILED;
  std::memcpy(name, text.data(), text.size());
  name[text.size()] = '\0';
  return QOV_DEC_OK;
}
