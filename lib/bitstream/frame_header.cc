// Field listings of the frame-level header bundles and the frame geometry.
#include "lib/bitstream/frame_header.h"

#include <algorithm>
#include <cmath>

#include "lib/base/bits.h"
#include "lib/base/image.h"

namespace qov {

namespace {

constexpr uint32_t kHShiftByMode[4] = {0, 1, 1, 0};
constexpr uint32_t kVShiftByMode[4] = {0, 1, 0, 1};

constexpr float kDefaultGabW1 = 0.115169525f;
constexpr float kDefaultGabW2 = 0.061248593f;
constexpr float kDefaultEpfChannelScale[3] = {40.0f, 5.0f, 3.5f};

uint64_t DivCeil(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// Cell `index` of a grid `across` cells wide (at least one) of xdim x ydim
// cells, cut at xlimit x ylimit: empty from the limit on, never wrapped.
PixelRect GridRect(uint64_t index, uint64_t across, uint64_t xdim, uint64_t ydim,
                   uint64_t xlimit, uint64_t ylimit) {
  across = std::max<uint64_t>(across, 1);
  const uint64_t column = index % across;
  const uint64_t row = index / across;
  PixelRect rect;
  rect.x0 = column * xdim;
  rect.y0 = row * ydim;
  const bool inside_x = xdim != 0 && column < DivCeil(xlimit, xdim);
  const bool inside_y = ydim != 0 && row < DivCeil(ylimit, ydim);
  rect.xsize = inside_x ? std::min(xdim, xlimit - rect.x0) : 0;
  rect.ysize = inside_y ? std::min(ydim, ylimit - rect.y0) : 0;
  return rect;
}

bool IsRegularOrSkipProgressive(uint32_t frame_type) {
  return frame_type == static_cast<uint32_t>(FrameKind::kRegular) ||
         frame_type == static_cast<uint32_t>(FrameKind::kSkipProgressive);
}

}  // namespace

// ---------------------------------------------------------------------------

YCbCrChromaSubsampling::YCbCrChromaSubsampling() {
  Bundle::ResetToDefaults(this);
}

Status YCbCrChromaSubsampling::EnumerateFields(Visitor* visitor) {
  for (uint32_t& mode : channel_mode) {
    QOV_RETURN_IF_ERROR(visitor->FixedBits(2, 0, &mode));
  }
  max_hshift = 0;
  max_vshift = 0;
  for (uint32_t mode : channel_mode) {
    max_hshift = static_cast<uint8_t>(
        kHShiftByMode[mode & 3] > max_hshift ? kHShiftByMode[mode & 3]
                                             : max_hshift);
    max_vshift = static_cast<uint8_t>(
        kVShiftByMode[mode & 3] > max_vshift ? kVShiftByMode[mode & 3]
                                             : max_vshift);
  }
  return OkStatus();
}

bool YCbCrChromaSubsampling::IsFullResolution() const {
  for (uint32_t mode : channel_mode) {
    if (kHShiftByMode[mode & 3] != max_hshift) return false;
    if (kVShiftByMode[mode & 3] != max_vshift) return false;
  }
  return true;
}

uint32_t YCbCrChromaSubsampling::HShift(size_t c) const {
  return max_hshift - kHShiftByMode[channel_mode[c] & 3];
}

uint32_t YCbCrChromaSubsampling::VShift(size_t c) const {
  return max_vshift - kVShiftByMode[channel_mode[c] & 3];
}

// ---------------------------------------------------------------------------

Passes::Passes() { Bundle::ResetToDefaults(this); }

Status Passes::EnumerateFields(Visitor* visitor) {
  QOV_RETURN_IF_ERROR(visitor->CodedU32(
      U32Coding(Val(1), Val(2), Val(3), BitsOffset(3, 4)), 1, &num_passes));
  // 0 cannot be coded; refusing it keeps shift[num_passes - 1] in range.
  QOV_ENSURE(num_passes >= 1 && num_passes <= kMaxNumPasses);
  if (visitor->Gate(num_passes != 1)) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(
        U32Coding(Val(0), Val(1), Val(2), BitsOffset(1, 3)), 0,
        &num_downsample));
    QOV_ENSURE(num_downsample <= kMaxNumDownsample &&
               num_downsample <= num_passes);
    for (uint32_t i = 0; i + 1 < num_passes; ++i) {
      QOV_RETURN_IF_ERROR(visitor->FixedBits(2, 0, &shift[i]));
    }
    shift[num_passes - 1] = 0;
    if (visitor->Gate(num_downsample > 0)) {
      for (uint32_t i = 0; i < num_downsample; ++i) {
        QOV_RETURN_IF_ERROR(visitor->CodedU32(
            U32Coding(Val(1), Val(2), Val(4), Val(8)), 1, &downsample[i]));
        if (i > 0) QOV_ENSURE(downsample[i] < downsample[i - 1]);
      }
      for (uint32_t i = 0; i < num_downsample; ++i) {
        QOV_RETURN_IF_ERROR(visitor->CodedU32(
            U32Coding(Val(0), Val(1), Val(2), Bits(3)), 0, &last_pass[i]));
        if (i > 0) QOV_ENSURE(last_pass[i] > last_pass[i - 1]);
        QOV_ENSURE(last_pass[i] < num_passes);
      }
    }
  }
  return OkStatus();
}

// ---------------------------------------------------------------------------

BlendingInfo::BlendingInfo() { Bundle::ResetToDefaults(this); }

Status BlendingInfo::EnumerateFields(Visitor* visitor) {
  QOV_RETURN_IF_ERROR(visitor->CodedU32(
      U32Coding(Val(0), Val(1), Val(2), BitsOffset(2, 3)), 0, &mode));
  QOV_ENSURE(mode < 5);
  const bool uses_alpha =
      (mode == static_cast<uint32_t>(BlendKind::kBlend) ||
       mode == static_cast<uint32_t>(BlendKind::kAlphaWeightedAdd)) &&
      num_extra_channels > 0;
  if (visitor->Gate(uses_alpha)) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(
        U32Coding(Val(0), Val(1), Val(2), BitsOffset(3, 3)), 0,
        &alpha_channel));
    if (visitor->IsDecoding()) {
      QOV_ENSURE(alpha_channel < num_extra_channels);
    }
  }
  if (visitor->Gate(uses_alpha ||
                    mode == static_cast<uint32_t>(BlendKind::kMultiply))) {
    QOV_RETURN_IF_ERROR(visitor->Flag(false, &clamp));
  }
  if (visitor->Gate(mode != 0 || is_partial_frame)) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(
        U32Coding(Val(0), Val(1), Val(2), Val(3)), 0, &source));
  }
  return OkStatus();
}

// ---------------------------------------------------------------------------

AnimationFrame::AnimationFrame(const CodecMetadata* metadata)
    : metadata(metadata) {
  Bundle::ResetToDefaults(this);
}

Status AnimationFrame::EnumerateFields(Visitor* visitor) {
  if (visitor->Gate(metadata != nullptr && metadata->m.have_animation)) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(
        U32Coding(Val(0), Val(1), Bits(8), Bits(32)), 0, &duration));
  }
  if (visitor->Gate(metadata != nullptr &&
                    metadata->m.animation.have_timecodes)) {
    QOV_RETURN_IF_ERROR(visitor->FixedBits(32, 0, &timecode));
  }
  return OkStatus();
}

// ---------------------------------------------------------------------------

LoopFilter::LoopFilter() { Bundle::ResetToDefaults(this); }

Status LoopFilter::EnumerateFields(Visitor* visitor) {
  QOV_VISIT_DEFAULTS_FLAG(visitor, this, &all_default);
  QOV_RETURN_IF_ERROR(visitor->Flag(true, &gab));
  if (visitor->Gate(gab)) {
    QOV_RETURN_IF_ERROR(visitor->Flag(false, &gab_custom));
  }
  if (visitor->Gate(gab && gab_custom)) {
    for (size_t c = 0; c < 3; ++c) {
      QOV_RETURN_IF_ERROR(visitor->Half(kDefaultGabW1, &gab_w1[c]));
      QOV_RETURN_IF_ERROR(visitor->Half(kDefaultGabW2, &gab_w2[c]));
      // The smoothing kernel is normalised by this sum.
      QOV_ENSURE(std::fabs(1.0f + 4.0f * (gab_w1[c] + gab_w2[c])) >= 1e-8f);
    }
  }

  QOV_RETURN_IF_ERROR(visitor->FixedBits(2, 2, &epf_iters));
  // The flags below are read only with epf_iters > 0; their guarded fields
  // repeat that condition so that a writer never emits what a reader skips.
  const bool epf = epf_iters > 0;
  if (visitor->Gate(epf && !is_modular)) {
    QOV_RETURN_IF_ERROR(visitor->Flag(false, &epf_sharp_custom));
  }
  if (visitor->Gate(epf && !is_modular && epf_sharp_custom)) {
    for (size_t i = 0; i < 8; ++i) {
      QOV_RETURN_IF_ERROR(visitor->Half(static_cast<float>(i) / 7.0f,
                                        &epf_sharp_lut[i]));
    }
  }
  if (visitor->Gate(epf)) {
    QOV_RETURN_IF_ERROR(visitor->Flag(false, &epf_weight_custom));
  }
  if (visitor->Gate(epf && epf_weight_custom)) {
    for (size_t c = 0; c < 3; ++c) {
      QOV_RETURN_IF_ERROR(visitor->Half(kDefaultEpfChannelScale[c],
                                        &epf_channel_scale[c]));
    }
    QOV_RETURN_IF_ERROR(visitor->Half(0.45f, &epf_pass1_zeroflush));
    QOV_RETURN_IF_ERROR(visitor->Half(0.6f, &epf_pass2_zeroflush));
  }
  if (visitor->Gate(epf)) {
    QOV_RETURN_IF_ERROR(visitor->Flag(false, &epf_sigma_custom));
  }
  if (visitor->Gate(epf && epf_sigma_custom && !is_modular)) {
    QOV_RETURN_IF_ERROR(visitor->Half(0.46f, &epf_quant_mul));
  }
  if (visitor->Gate(epf && epf_sigma_custom)) {
    QOV_RETURN_IF_ERROR(visitor->Half(0.9f, &epf_pass0_sigma_scale));
    QOV_RETURN_IF_ERROR(visitor->Half(6.5f, &epf_pass2_sigma_scale));
    QOV_RETURN_IF_ERROR(visitor->Half(0.6666667f, &epf_border_sad_mul));
  }
  if (visitor->Gate(epf && is_modular)) {
    QOV_RETURN_IF_ERROR(visitor->Half(1.0f, &epf_sigma_for_modular));
    QOV_ENSURE(epf_sigma_for_modular >= 1e-8f);
  }
  QOV_RETURN_IF_ERROR(visitor->OpenExtensions(&extensions));
  return visitor->CloseExtensions();
}

// ---------------------------------------------------------------------------

Status VisitFrameName(Visitor* visitor, std::string* name) {
  return VisitName(visitor, name);
}

FrameHeader::FrameHeader(const CodecMetadata* metadata)
    : animation_frame(metadata), metadata(metadata) {
  is_preview = false;
  Bundle::ResetToDefaults(this);
}

uint64_t FrameHeader::DefaultWidth() const {
  if (metadata == nullptr) return 0;
  return is_preview ? metadata->m.preview_size.Width() : metadata->size.Width();
}

uint64_t FrameHeader::DefaultHeight() const {
  if (metadata == nullptr) return 0;
  return is_preview ? metadata->m.preview_size.Height()
                    : metadata->size.Height();
}

bool FrameHeader::IsPartial() const {
  if (!custom_size_or_origin || !IsRegularOrSkipProgressive(frame_type)) {
    return false;
  }
  // 64-bit arithmetic: the sums of 32-bit origins and sizes cannot wrap.
  const int64_t image_w = static_cast<int64_t>(DefaultWidth());
  const int64_t image_h = static_cast<int64_t>(DefaultHeight());
  return x0 > 0 || y0 > 0 || int64_t{x0} + custom_xsize < image_w ||
         int64_t{y0} + custom_ysize < image_h;
}

Status FrameHeader::EnumerateFields(Visitor* visitor) {
  QOV_VISIT_DEFAULTS_FLAG(visitor, this, &all_default);
  const bool decoding_preview = visitor->IsDecoding() && is_preview;
  const uint64_t num_ec = metadata ? metadata->m.num_extra_channels : 0;

  QOV_RETURN_IF_ERROR(visitor->CodedU32(
      U32Coding(Val(0), Val(1), Val(2), Val(3)), 0, &frame_type));
  if (decoding_preview) QOV_ENSURE(frame_type == 0);
  const bool shown_kind = IsRegularOrSkipProgressive(frame_type);

  bool is_modular = encoding == static_cast<uint32_t>(FrameCoding::kModular);
  QOV_RETURN_IF_ERROR(visitor->Flag(false, &is_modular));
  encoding = static_cast<uint32_t>(is_modular ? FrameCoding::kModular
                                              : FrameCoding::kVarDct);
  QOV_RETURN_IF_ERROR(visitor->CodedU64(0, &flags));

  // Plain branches from here on where the value without the field is not
  // the field's default (colour transform, quantisation scales, DC level,
  // is_last): a Gate would make the defaults visitors enter them.
  bool do_ycbcr =
      color_transform == static_cast<uint32_t>(ColorTransformKind::kYCbCr);
  if (metadata != nullptr && !metadata->m.xyb_encoded) {
    QOV_RETURN_IF_ERROR(visitor->Flag(false, &do_ycbcr));
    color_transform = static_cast<uint32_t>(
        do_ycbcr ? ColorTransformKind::kYCbCr : ColorTransformKind::kNone);
  } else {
    do_ycbcr = false;
    color_transform = static_cast<uint32_t>(ColorTransformKind::kXyb);
  }

  const bool uses_dc_frame = (flags & FrameFlags::kUseDcFrame) != 0;
  if (visitor->Gate(!uses_dc_frame && do_ycbcr)) {
    QOV_RETURN_IF_ERROR(visitor->Nested(&chroma_subsampling));
  }
  if (visitor->Gate(!uses_dc_frame)) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(
        U32Coding(Val(1), Val(2), Val(4), Val(8)), 1, &upsampling));
  }

  // Extra-channel upsampling: the list follows the metadata under every
  // visitor; the coded value is the stored one without the channel's
  // dim_shift.
  ec_upsampling.resize(num_ec, 1);
  if (visitor->Gate(!uses_dc_frame && num_ec > 0)) {
    for (size_t i = 0; i < num_ec; ++i) {
      const uint32_t dim_shift =
          i < metadata->m.extra_channel_info.size()
              ? metadata->m.extra_channel_info[i].dim_shift
              : 0;
      QOV_ENSURE(dim_shift < 4);  // decoded channels never exceed 3
      uint32_t coded = ec_upsampling[i] >> dim_shift;
      QOV_RETURN_IF_ERROR(visitor->CodedU32(
          U32Coding(Val(1), Val(2), Val(4), Val(8)), 1, &coded));
      ec_upsampling[i] = coded << dim_shift;
      QOV_ENSURE(ec_upsampling[i] >= upsampling && ec_upsampling[i] <= 8);
    }
  }

  if (visitor->Gate(is_modular)) {
    QOV_RETURN_IF_ERROR(visitor->FixedBits(2, 1, &group_size_shift));
  }

  if (color_transform == static_cast<uint32_t>(ColorTransformKind::kXyb) &&
      !is_modular) {
    QOV_RETURN_IF_ERROR(visitor->FixedBits(3, 3, &x_qm_scale));
    QOV_RETURN_IF_ERROR(visitor->FixedBits(3, 2, &b_qm_scale));
  } else {
    x_qm_scale = 2;
    b_qm_scale = 2;
  }

  if (visitor->Gate(frame_type !=
                    static_cast<uint32_t>(FrameKind::kReferenceOnly))) {
    QOV_RETURN_IF_ERROR(visitor->Nested(&passes));
  }

  if (frame_type == static_cast<uint32_t>(FrameKind::kDc)) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(
        U32Coding(Val(1), Val(2), Val(3), Val(4)), 1, &dc_level));
  } else {
    dc_level = 0;
  }

  if (visitor->Gate(frame_type != static_cast<uint32_t>(FrameKind::kDc))) {
    QOV_RETURN_IF_ERROR(visitor->Flag(false, &custom_size_or_origin));
  }
  constexpr U32Coding kCropCoding(Bits(8), BitsOffset(11, 256),
                                  BitsOffset(14, 2304), BitsOffset(30, 18688));
  if (visitor->Gate(custom_size_or_origin && shown_kind)) {
    uint32_t coded_x0 = PackSigned(x0);
    QOV_RETURN_IF_ERROR(visitor->CodedU32(kCropCoding, 0, &coded_x0));
    x0 = UnpackSigned(coded_x0);
    uint32_t coded_y0 = PackSigned(y0);
    QOV_RETURN_IF_ERROR(visitor->CodedU32(kCropCoding, 0, &coded_y0));
    y0 = UnpackSigned(coded_y0);
  }
  if (visitor->Gate(custom_size_or_origin)) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(kCropCoding, 0, &custom_xsize));
    QOV_RETURN_IF_ERROR(visitor->CodedU32(kCropCoding, 0, &custom_ysize));
    // The defaults visitors get here with custom_size_or_origin false.
    if (custom_size_or_origin) {
      QOV_ENSURE(custom_xsize != 0 && custom_ysize != 0);
    }
  }

  const bool is_partial = IsPartial();
  ec_blending_info.resize(num_ec);
  if (visitor->Gate(shown_kind)) {
    blending_info.num_extra_channels = num_ec;
    blending_info.is_partial_frame = is_partial;
    QOV_RETURN_IF_ERROR(visitor->Nested(&blending_info));
    for (BlendingInfo& info : ec_blending_info) {
      info.num_extra_channels = num_ec;
      info.is_partial_frame = is_partial;
      QOV_RETURN_IF_ERROR(visitor->Nested(&info));
    }
    if (decoding_preview) {
      QOV_ENSURE(!custom_size_or_origin && blending_info.mode == 0);
      for (const BlendingInfo& info : ec_blending_info) {
        QOV_ENSURE(info.mode == 0);
      }
    }
  }

  animation_frame.metadata = metadata;
  if (visitor->Gate(shown_kind && metadata != nullptr &&
                    metadata->m.have_animation)) {
    QOV_RETURN_IF_ERROR(visitor->Nested(&animation_frame));
  }

  if (shown_kind) {
    QOV_RETURN_IF_ERROR(visitor->Flag(true, &is_last));
  } else {
    is_last = false;
  }

  if (visitor->Gate(frame_type != static_cast<uint32_t>(FrameKind::kDc) &&
                    !is_last)) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(
        U32Coding(Val(0), Val(1), Val(2), Val(3)), 0, &save_as_reference));
  }

  if (frame_type == static_cast<uint32_t>(FrameKind::kDc)) {
    save_before_color_transform = true;
  } else if (shown_kind && !is_partial && !is_last &&
             blending_info.mode == 0 &&
             !(animation_frame.duration > 0 && save_as_reference == 0)) {
    QOV_RETURN_IF_ERROR(visitor->Flag(false, &save_before_color_transform));
  } else if (frame_type == static_cast<uint32_t>(FrameKind::kReferenceOnly)) {
    QOV_RETURN_IF_ERROR(visitor->Flag(true, &save_before_color_transform));
    if (!save_before_color_transform) {
      // Saved after the colour transform, the frame must cover the image.
      const uint64_t w = custom_size_or_origin ? custom_xsize : DefaultWidth();
      const uint64_t h = custom_size_or_origin ? custom_ysize : DefaultHeight();
      QOV_ENSURE(w >= DefaultWidth() && h >= DefaultHeight() && x0 == 0 &&
                 y0 == 0);
    }
  }

  QOV_RETURN_IF_ERROR(VisitFrameName(visitor, &name));

  loop_filter.is_modular = is_modular;
  QOV_RETURN_IF_ERROR(visitor->Nested(&loop_filter));

  QOV_RETURN_IF_ERROR(visitor->OpenExtensions(&extensions));
  return visitor->CloseExtensions();
}

FrameGeometry FrameHeader::ComputeGeometry() const {
  FrameGeometry g;
  uint64_t w = custom_xsize != 0 ? custom_xsize : DefaultWidth();
  uint64_t h = custom_ysize != 0 ? custom_ysize : DefaultHeight();
  if (dc_level > 0) {
    const uint64_t scale = uint64_t{1} << (3 * (dc_level < 4 ? dc_level : 4));
    w = DivCeil(w, scale);
    h = DivCeil(h, scale);
  }
  g.xsize_upsampled = w;
  g.ysize_upsampled = h;
  const uint64_t up = upsampling != 0 ? upsampling : 1;
  g.xsize = DivCeil(w, up);
  g.ysize = DivCeil(h, up);

  const uint64_t hs = chroma_subsampling.max_hshift;
  const uint64_t vs = chroma_subsampling.max_vshift;
  g.xsize_blocks = DivCeil(g.xsize, uint64_t{8} << hs) << hs;
  g.ysize_blocks = DivCeil(g.ysize, uint64_t{8} << vs) << vs;
  if (encoding == static_cast<uint32_t>(FrameCoding::kModular)) {
    g.xsize_padded = g.xsize;
    g.ysize_padded = g.ysize;
  } else {
    g.xsize_padded = g.xsize_blocks * 8;
    g.ysize_padded = g.ysize_blocks * 8;
  }
  g.xsize_upsampled_padded = up * g.xsize_padded;
  g.ysize_upsampled_padded = up * g.ysize_padded;

  g.group_dim = uint64_t{128} << (group_size_shift & 3);
  g.dc_group_dim = g.group_dim * 8;
  g.xsize_groups = DivCeil(g.xsize, g.group_dim);
  g.ysize_groups = DivCeil(g.ysize, g.group_dim);
  g.xsize_dc_groups = DivCeil(g.xsize_blocks, g.group_dim);
  g.ysize_dc_groups = DivCeil(g.ysize_blocks, g.group_dim);
  g.num_groups = g.xsize_groups * g.ysize_groups;
  g.num_dc_groups = g.xsize_dc_groups * g.ysize_dc_groups;
  return g;
}

PixelRect FrameGeometry::GroupCell(uint64_t group) const {
  const uint64_t across = std::max<uint64_t>(xsize_groups, 1);
  return PixelRect{group % across * group_dim, group / across * group_dim,
                   group_dim, group_dim};
}

PixelRect FrameGeometry::DcGroupCell(uint64_t dc_group) const {
  const uint64_t across = std::max<uint64_t>(xsize_dc_groups, 1);
  return PixelRect{dc_group % across * dc_group_dim,
                   dc_group / across * dc_group_dim, dc_group_dim, dc_group_dim};
}

PixelRect FrameGeometry::GroupRect(uint64_t group) const {
  return GridRect(group, xsize_groups, group_dim, group_dim, xsize, ysize);
}

PixelRect FrameGeometry::GroupBlockRect(uint64_t group) const {
  return GridRect(group, xsize_groups, group_dim / 8, group_dim / 8,
                  xsize_blocks, ysize_blocks);
}

PixelRect FrameGeometry::DcGroupBlockRect(uint64_t dc_group) const {
  return GridRect(dc_group, xsize_dc_groups, group_dim, group_dim, xsize_blocks,
                  ysize_blocks);
}

PixelRect FrameGeometry::GroupRectInChannel(uint64_t group,
                                            uint64_t upsampling_shift,
                                            uint64_t shift_x,
                                            uint64_t shift_y) const {
  const uint64_t dim = group_dim << upsampling_shift;
  return GridRect(group, xsize_groups, dim >> shift_x, dim >> shift_y,
                  DivCeilShift(xsize_upsampled, shift_x),
                  DivCeilShift(ysize_upsampled, shift_y));
}

}  // namespace qov
