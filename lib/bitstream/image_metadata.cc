// Field listings of the image-level header bundles.
#include "lib/bitstream/image_metadata.h"

#include <utility>

namespace qov {

namespace {

// Aspect ratios of SizeHeader::ratio and PreviewHeader::ratio 1..7.
constexpr uint32_t kRatioNumerator[8] = {0, 1, 12, 4, 3, 16, 5, 2};
constexpr uint32_t kRatioDenominator[8] = {1, 1, 10, 3, 2, 9, 4, 1};

uint32_t WidthFromRatio(uint32_t ratio, uint32_t height) {
  const uint64_t product = uint64_t{height} * kRatioNumerator[ratio & 7];
  return static_cast<uint32_t>(product / kRatioDenominator[ratio & 7]);
}

constexpr float kDefaultInverseMatrix[9] = {
    11.031567f, -9.866944f,  -0.16462299f,  //
    -3.2541473f, 4.4187703f, -0.16462299f,  //
    -3.6588514f, 2.712923f,  1.9459282f};
constexpr float kDefaultOpsinBias = -0.0037930734f;
constexpr float kDefaultQuantBiases[4] = {0.94534993f, 0.92994547f, 0.9500649f,
                                          0.145f};

constexpr U32Coding kNameLengthCoding(Val(0), Bits(4), BitsOffset(5, 16),
                                      BitsOffset(10, 48));

}  // namespace

Status VisitName(Visitor* visitor, std::string* name) {
  uint32_t name_len = static_cast<uint32_t>(name->size());
  QOV_RETURN_IF_ERROR(visitor->CodedU32(kNameLengthCoding, 0, &name_len));
  if (visitor->IsDecoding()) {
    // The whole name must be there: a shortfall then tells the reader how
    // far the bundle reaches at least.
    QOV_RETURN_IF_ERROR(RequireBits(visitor, uint64_t{name_len} * 8));
    name->resize(name_len);
  }
  const size_t count = name_len < name->size() ? name_len : name->size();
  for (size_t i = 0; i < count; ++i) {
    uint32_t byte = static_cast<uint8_t>((*name)[i]);
    QOV_RETURN_IF_ERROR(visitor->FixedBits(8, 0, &byte));
    (*name)[i] = static_cast<char>(byte);
  }
  return OkStatus();
}

// ---------------------------------------------------------------------------

SizeHeader::SizeHeader() { Bundle::ResetToDefaults(this); }

Status SizeHeader::EnumerateFields(Visitor* visitor) {
  constexpr U32Coding kSizeCoding(BitsOffset(9, 1), BitsOffset(13, 1),
                                  BitsOffset(18, 1), BitsOffset(30, 1));
  QOV_RETURN_IF_ERROR(visitor->Flag(false, &small));
  if (visitor->Gate(small)) {
    QOV_RETURN_IF_ERROR(visitor->FixedBits(5, 0, &ysize_div8_minus_1));
  }
  if (visitor->Gate(!small)) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(kSizeCoding, 1, &ysize));
  }
  QOV_RETURN_IF_ERROR(visitor->FixedBits(3, 0, &ratio));
  if (visitor->Gate(ratio == 0 && small)) {
    QOV_RETURN_IF_ERROR(visitor->FixedBits(5, 0, &xsize_div8_minus_1));
  }
  if (visitor->Gate(ratio == 0 && !small)) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(kSizeCoding, 1, &xsize));
  }
  return OkStatus();
}

uint32_t SizeHeader::Height() const {
  return small ? (ysize_div8_minus_1 + 1) * 8 : ysize;
}

uint32_t SizeHeader::Width() const {
  if (ratio != 0) return WidthFromRatio(ratio, Height());
  return small ? (xsize_div8_minus_1 + 1) * 8 : xsize;
}

// ---------------------------------------------------------------------------

PreviewHeader::PreviewHeader() { Bundle::ResetToDefaults(this); }

Status PreviewHeader::EnumerateFields(Visitor* visitor) {
  constexpr U32Coding kDiv8Coding(Val(16), Val(32), BitsOffset(5, 1),
                                  BitsOffset(9, 33));
  constexpr U32Coding kSizeCoding(BitsOffset(6, 1), BitsOffset(8, 65),
                                  BitsOffset(10, 321), BitsOffset(12, 1345));
  QOV_RETURN_IF_ERROR(visitor->Flag(false, &div8));
  if (visitor->Gate(div8)) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(kDiv8Coding, 1, &ysize_div8));
  }
  if (visitor->Gate(!div8)) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(kSizeCoding, 1, &ysize));
  }
  QOV_RETURN_IF_ERROR(visitor->FixedBits(3, 0, &ratio));
  if (visitor->Gate(ratio == 0 && div8)) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(kDiv8Coding, 1, &xsize_div8));
  }
  if (visitor->Gate(ratio == 0 && !div8)) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(kSizeCoding, 1, &xsize));
  }
  return OkStatus();
}

uint32_t PreviewHeader::Height() const {
  return div8 ? ysize_div8 * 8 : ysize;
}

uint32_t PreviewHeader::Width() const {
  if (ratio != 0) return WidthFromRatio(ratio, Height());
  return div8 ? xsize_div8 * 8 : xsize;
}

// ---------------------------------------------------------------------------

AnimationHeader::AnimationHeader() { Bundle::ResetToDefaults(this); }

Status AnimationHeader::EnumerateFields(Visitor* visitor) {
  QOV_RETURN_IF_ERROR(visitor->CodedU32(
      U32Coding(Val(100), Val(1000), BitsOffset(10, 1), BitsOffset(30, 1)), 1,
      &tps_numerator));
  QOV_RETURN_IF_ERROR(visitor->CodedU32(
      U32Coding(Val(1), Val(1001), BitsOffset(8, 1), BitsOffset(10, 1)), 1,
      &tps_denominator));
  QOV_RETURN_IF_ERROR(visitor->CodedU32(
      U32Coding(Val(0), Bits(3), Bits(16), Bits(32)), 0, &num_loops));
  return visitor->Flag(false, &have_timecodes);
}

// ---------------------------------------------------------------------------

BitDepth::BitDepth() { Bundle::ResetToDefaults(this); }

Status BitDepth::EnumerateFields(Visitor* visitor) {
  QOV_RETURN_IF_ERROR(visitor->Flag(false, &floating_point_sample));
  // The defaults visitors enter both branches; the integer branch comes last,
  // so the defaults are integer, 8 bits, no exponent.
  if (visitor->Gate(floating_point_sample)) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(
        U32Coding(Val(32), Val(16), Val(24), BitsOffset(6, 1)), 32,
        &bits_per_sample));
    uint32_t exponent_minus_1 = exponent_bits_per_sample - 1;
    QOV_RETURN_IF_ERROR(visitor->FixedBits(4, 7, &exponent_minus_1));
    exponent_bits_per_sample = exponent_minus_1 + 1;
  }
  if (visitor->Gate(!floating_point_sample)) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(
        U32Coding(Val(8), Val(10), Val(12), BitsOffset(6, 1)), 8,
        &bits_per_sample));
    exponent_bits_per_sample = 0;
  }
  if (floating_point_sample) {
    QOV_ENSURE(exponent_bits_per_sample >= 2 && exponent_bits_per_sample <= 8);
    // Mantissa bits, computed without wrapping.
    const int64_t mantissa = int64_t{bits_per_sample} -
                             int64_t{exponent_bits_per_sample} - 1;
    QOV_ENSURE(mantissa >= 2 && mantissa <= 23);
  } else {
    QOV_ENSURE(bits_per_sample <= 31);
  }
  return OkStatus();
}

// ---------------------------------------------------------------------------

ExtraChannelInfo::ExtraChannelInfo() { Bundle::ResetToDefaults(this); }

Status ExtraChannelInfo::EnumerateFields(Visitor* visitor) {
  QOV_VISIT_DEFAULTS_FLAG(visitor, this, &all_default);
  QOV_RETURN_IF_ERROR(visitor->CodedU32(kEnumCoding, 0, &type));
  // Reserved kinds fail at once; Unknown (15) only after the whole bundle.
  QOV_ENSURE(type <= 6 || type == 15 || type == 16);
  QOV_RETURN_IF_ERROR(visitor->Nested(&bit_depth));
  QOV_RETURN_IF_ERROR(visitor->CodedU32(
      U32Coding(Val(0), Val(3), Val(4), BitsOffset(3, 1)), 0, &dim_shift));
  QOV_ENSURE(dim_shift < 4);
  QOV_RETURN_IF_ERROR(VisitName(visitor, &name));
  if (visitor->Gate(type == static_cast<uint32_t>(ExtraChannelKind::kAlpha))) {
    QOV_RETURN_IF_ERROR(visitor->Flag(false, &alpha_associated));
  }
  if (visitor->Gate(type ==
                    static_cast<uint32_t>(ExtraChannelKind::kSpotColor))) {
    for (float& component : spot_color) {
      QOV_RETURN_IF_ERROR(visitor->Half(0.0f, &component));
    }
  }
  if (visitor->Gate(type == static_cast<uint32_t>(ExtraChannelKind::kCfa))) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(
        U32Coding(Val(1), Bits(2), BitsOffset(4, 3), BitsOffset(8, 19)), 1,
        &cfa_channel));
  }
  QOV_ENSURE(type < 7 || type > 15);
  return OkStatus();
}

// ---------------------------------------------------------------------------

ToneMapping::ToneMapping() { Bundle::ResetToDefaults(this); }

Status ToneMapping::EnumerateFields(Visitor* visitor) {
  QOV_VISIT_DEFAULTS_FLAG(visitor, this, &all_default);
  QOV_RETURN_IF_ERROR(visitor->Half(255.0f, &intensity_target));
  QOV_ENSURE(intensity_target > 0.0f);
  QOV_RETURN_IF_ERROR(visitor->Half(0.0f, &min_nits));
  QOV_ENSURE(min_nits >= 0.0f && min_nits <= intensity_target);
  QOV_RETURN_IF_ERROR(visitor->Flag(false, &relative_to_max_display));
  QOV_RETURN_IF_ERROR(visitor->Half(0.0f, &linear_below));
  QOV_ENSURE(linear_below >= 0.0f);
  QOV_ENSURE(!relative_to_max_display || linear_below <= 1.0f);
  return OkStatus();
}

// ---------------------------------------------------------------------------

OpsinInverseMatrix::OpsinInverseMatrix() { Bundle::ResetToDefaults(this); }

Status OpsinInverseMatrix::EnumerateFields(Visitor* visitor) {
  QOV_VISIT_DEFAULTS_FLAG(visitor, this, &all_default);
  for (size_t i = 0; i < 9; ++i) {
    QOV_RETURN_IF_ERROR(
        visitor->Half(kDefaultInverseMatrix[i], &inverse_matrix[i]));
  }
  for (float& bias : opsin_biases) {
    QOV_RETURN_IF_ERROR(visitor->Half(kDefaultOpsinBias, &bias));
  }
  for (size_t i = 0; i < 4; ++i) {
    QOV_RETURN_IF_ERROR(
        visitor->Half(kDefaultQuantBiases[i], &quant_biases[i]));
  }
  return OkStatus();
}

// ---------------------------------------------------------------------------

CustomTransformData::CustomTransformData() {
  xyb = false;
  Bundle::ResetToDefaults(this);
}

Status CustomTransformData::EnumerateFields(Visitor* visitor) {
  QOV_VISIT_DEFAULTS_FLAG(visitor, this, &all_default);
  if (visitor->Gate(xyb)) {
    QOV_RETURN_IF_ERROR(visitor->Nested(&opsin_inverse_matrix));
  }
  QOV_RETURN_IF_ERROR(visitor->FixedBits(3, 0, &custom_weights_mask));
  if (visitor->Gate((custom_weights_mask & 1) != 0)) {
    for (size_t i = 0; i < kUpsampling2WeightCount; ++i) {
      QOV_RETURN_IF_ERROR(visitor->Half(kDefaultUpsampling2Weights[i],
                                        &upsampling2_weights[i]));
    }
  }
  if (visitor->Gate((custom_weights_mask & 2) != 0)) {
    for (size_t i = 0; i < kUpsampling4WeightCount; ++i) {
      QOV_RETURN_IF_ERROR(visitor->Half(kDefaultUpsampling4Weights[i],
                                        &upsampling4_weights[i]));
    }
  }
  if (visitor->Gate((custom_weights_mask & 4) != 0)) {
    for (size_t i = 0; i < kUpsampling8WeightCount; ++i) {
      QOV_RETURN_IF_ERROR(visitor->Half(kDefaultUpsampling8Weights[i],
                                        &upsampling8_weights[i]));
    }
  }
  return OkStatus();
}

// ---------------------------------------------------------------------------

ImageMetadata::ImageMetadata() { Bundle::ResetToDefaults(this); }

ImageMetadata& ImageMetadata::operator=(ImageMetadata&& other) noexcept {
  // A self-move through the members' own move assignments would empty the
  // extra-channel list and the profile bytes.
  if (this == &other) return *this;
  all_default = other.all_default;
  bit_depth = other.bit_depth;
  modular_16_bit_buffer_sufficient = other.modular_16_bit_buffer_sufficient;
  xyb_encoded = other.xyb_encoded;
  color_encoding = std::move(other.color_encoding);
  orientation = other.orientation;
  have_preview = other.have_preview;
  have_animation = other.have_animation;
  have_intrinsic_size = other.have_intrinsic_size;
  intrinsic_size = other.intrinsic_size;
  tone_mapping = other.tone_mapping;
  num_extra_channels = other.num_extra_channels;
  extra_channel_info = std::move(other.extra_channel_info);
  preview_size = other.preview_size;
  animation = other.animation;
  extensions = other.extensions;
  return *this;
}

Status ImageMetadata::EnumerateFields(Visitor* visitor) {
  QOV_VISIT_DEFAULTS_FLAG(visitor, this, &all_default);

  // extra_fields is not stored: a writer derives it from the values.
  bool extra_fields = false;
  if (!visitor->IsDecoding()) {
    extra_fields = orientation != 1 || have_preview || have_animation ||
                   have_intrinsic_size || !Bundle::HoldsDefaults(tone_mapping);
  }
  QOV_RETURN_IF_ERROR(visitor->Flag(false, &extra_fields));

  // The defaults of the guarded fields equal the values they take without
  // extra_fields, so the defaults visitors may enter this branch.
  if (visitor->Gate(extra_fields)) {
    uint32_t orientation_minus_1 = orientation - 1;
    QOV_RETURN_IF_ERROR(visitor->FixedBits(3, 0, &orientation_minus_1));
    orientation = orientation_minus_1 + 1;

    QOV_RETURN_IF_ERROR(visitor->Flag(false, &have_intrinsic_size));
    if (visitor->Gate(have_intrinsic_size)) {
      QOV_RETURN_IF_ERROR(visitor->Nested(&intrinsic_size));
    }
    QOV_RETURN_IF_ERROR(visitor->Flag(false, &have_preview));
    if (visitor->Gate(have_preview)) {
      QOV_RETURN_IF_ERROR(visitor->Nested(&preview_size));
    }
    QOV_RETURN_IF_ERROR(visitor->Flag(false, &have_animation));
    if (visitor->Gate(have_animation)) {
      QOV_RETURN_IF_ERROR(visitor->Nested(&animation));
    }
  } else {
    orientation = 1;
    have_intrinsic_size = false;
    have_preview = false;
    have_animation = false;
  }

  QOV_RETURN_IF_ERROR(visitor->Nested(&bit_depth));
  QOV_RETURN_IF_ERROR(
      visitor->Flag(true, &modular_16_bit_buffer_sufficient));

  QOV_RETURN_IF_ERROR(visitor->CodedU32(
      U32Coding(Val(0), Val(1), BitsOffset(4, 2), BitsOffset(12, 1)), 0,
      &num_extra_channels));
  // A decoded count replaces the whole list, also when it is 0.
  if (visitor->IsDecoding()) extra_channel_info.resize(num_extra_channels);
  if (visitor->Gate(num_extra_channels > 0)) {
    // A writer whose list is shorter than the count cannot write it.
    QOV_ENSURE(visitor->IsDecoding() ||
               extra_channel_info.size() >= num_extra_channels);
    const size_t count = num_extra_channels < extra_channel_info.size()
                             ? num_extra_channels
                             : extra_channel_info.size();
    for (size_t i = 0; i < count; ++i) {
      QOV_RETURN_IF_ERROR(visitor->Nested(&extra_channel_info[i]));
    }
  }

  QOV_RETURN_IF_ERROR(visitor->Flag(true, &xyb_encoded));
  QOV_RETURN_IF_ERROR(visitor->Nested(&color_encoding));
  if (visitor->Gate(extra_fields)) {
    QOV_RETURN_IF_ERROR(visitor->Nested(&tone_mapping));
  }
  QOV_RETURN_IF_ERROR(visitor->OpenExtensions(&extensions));
  return visitor->CloseExtensions();
}

}  // namespace qov
