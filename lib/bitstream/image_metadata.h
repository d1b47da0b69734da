// Image-level header bundles of a codestream: the image size, the image
// metadata with its nested sample depth, extra channels, preview, animation
// and tone-mapping bundles, and the custom XYB / upsampling transform data.
#ifndef QOV_LIB_BITSTREAM_IMAGE_METADATA_H_
#define QOV_LIB_BITSTREAM_IMAGE_METADATA_H_

#include <cstdint>
#include <string>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/fields.h"
#include "lib/color/color_encoding.h"

namespace qov {

// One listing step for a name: its length (U32: 0, 4 bits, 5 bits + 16,
// 10 bits + 48, so at most 1071 bytes), then its bytes. The name is resized
// only when decoding, so applying the defaults leaves it alone.
Status VisitName(Visitor* visitor, std::string* name);

// Image size: small sizes in multiples of 8, an optional aspect ratio that
// derives the width from the height.
class SizeHeader : public Fields {
 public:
  SizeHeader();
  Status EnumerateFields(Visitor* visitor) override;

  uint32_t Height() const;
  // With a ratio: Height() x numerator / denominator (64-bit product,
  // integer division, taken modulo 2^32).
  uint32_t Width() const;

  bool small = false;
  uint32_t ysize_div8_minus_1 = 0;
  uint32_t ysize = 1;
  uint32_t ratio = 0;  // 0: width coded; 1..7: an aspect ratio
  uint32_t xsize_div8_minus_1 = 0;
  uint32_t xsize = 1;
};

// Preview size, coded like SizeHeader with other ranges.
class PreviewHeader : public Fields {
 public:
  PreviewHeader();
  Status EnumerateFields(Visitor* visitor) override;

  uint32_t Height() const;
  uint32_t Width() const;

  bool div8 = false;
  uint32_t ysize_div8 = 1;
  uint32_t ysize = 1;
  uint32_t ratio = 0;
  uint32_t xsize_div8 = 1;
  uint32_t xsize = 1;
};

// Ticks per second (tps_numerator / tps_denominator), loop count and whether
// frames carry time codes.
class AnimationHeader : public Fields {
 public:
  AnimationHeader();
  Status EnumerateFields(Visitor* visitor) override;

  uint32_t tps_numerator = 1;
  uint32_t tps_denominator = 1;
  uint32_t num_loops = 0;
  bool have_timecodes = false;
};

// Sample depth: integer bits (exponent_bits_per_sample 0) or a float layout.
class BitDepth : public Fields {
 public:
  BitDepth();
  Status EnumerateFields(Visitor* visitor) override;

  bool floating_point_sample = false;
  uint32_t bits_per_sample = 8;
  uint32_t exponent_bits_per_sample = 0;
};

// Coded values of ExtraChannelInfo::type.
enum class ExtraChannelKind : uint32_t {
  kAlpha = 0,
  kDepth = 1,
  kSpotColor = 2,
  kSelectionMask = 3,
  kBlack = 4,
  kCfa = 5,
  kThermal = 6,
  kReserved0 = 7,
  kReserved1 = 8,
  kReserved2 = 9,
  kReserved3 = 10,
  kReserved4 = 11,
  kReserved5 = 12,
  kReserved6 = 13,
  kReserved7 = 14,
  kUnknown = 15,
  kOptional = 16,
};

class ExtraChannelInfo : public Fields {
 public:
  ExtraChannelInfo();
  Status EnumerateFields(Visitor* visitor) override;

  bool all_default = true;
  uint32_t type = 0;  // ExtraChannelKind
  BitDepth bit_depth;
  uint32_t dim_shift = 0;  // the channel is stored at 1 / 2^dim_shift resolution
  std::string name;
  bool alpha_associated = false;  // premultiplied alpha (type alpha only)
  float spot_color[4] = {};  // red, green, blue, solidity (type spot colour)
  uint32_t cfa_channel = 1; // type CFA
};

class ToneMapping : public Fields {
 public:
  ToneMapping();
  Status EnumerateFields(Visitor* visitor) override;

  bool all_default = true;
  float intensity_target = 255.0f;  // nits
  float min_nits = 0.0f;
  bool relative_to_max_display = false;
  float linear_below = 0.0f;
};

// The XYB inverse matrix, opsin biases and quantisation biases.
class OpsinInverseMatrix : public Fields {
 public:
  OpsinInverseMatrix();
  Status EnumerateFields(Visitor* visitor) override;

  bool all_default = true;
  float inverse_matrix[9] = {};  // row-major 3 x 3
  float opsin_biases[3] = {};
  float quant_biases[4] = {};
};

inline constexpr size_t kUpsampling2WeightCount = 15;
inline constexpr size_t kUpsampling4WeightCount = 55;
inline constexpr size_t kUpsampling8WeightCount = 210;

// The standard's default upsampling weights: the upper triangle, row by row
// with the diagonal, of a symmetric 5 x 5, 10 x 10 and 20 x 20 matrix.
extern const float kDefaultUpsampling2Weights[kUpsampling2WeightCount];
extern const float kDefaultUpsampling4Weights[kUpsampling4WeightCount];
extern const float kDefaultUpsampling8Weights[kUpsampling8WeightCount];

class CustomTransformData : public Fields {
 public:
  CustomTransformData();
  Status EnumerateFields(Visitor* visitor) override;

  // Not part of the stream: the owner copies ImageMetadata::xyb_encoded here
  // before every visit (the opsin matrix is coded only for XYB images).
  bool xyb = false;
  bool all_default = true;
  OpsinInverseMatrix opsin_inverse_matrix;
  uint32_t custom_weights_mask = 0;  // bit k: the 2^(k+1)x weights are coded
  float upsampling2_weights[kUpsampling2WeightCount] = {};
  float upsampling4_weights[kUpsampling4WeightCount] = {};
  float upsampling8_weights[kUpsampling8WeightCount] = {};
};

class ImageMetadata : public Fields {
 public:
  ImageMetadata();
  ImageMetadata(const ImageMetadata&) = default;
  ImageMetadata& operator=(const ImageMetadata&) = default;
  ImageMetadata(ImageMetadata&&) = default;
  // Moving a record onto itself keeps it whole.
  ImageMetadata& operator=(ImageMetadata&& other) noexcept;
  ~ImageMetadata() override = default;

  Status EnumerateFields(Visitor* visitor) override;

  bool all_default = true;
  BitDepth bit_depth;
  bool modular_16_bit_buffer_sufficient = true;
  bool xyb_encoded = true;
  ColorEncoding color_encoding;
  uint32_t orientation = 1;  // 1..8
  bool have_preview = false;
  bool have_animation = false;
  bool have_intrinsic_size = false;
  SizeHeader intrinsic_size;
  ToneMapping tone_mapping;
  uint32_t num_extra_channels = 0;
  // Resized to num_extra_channels when decoding.
  std::vector<ExtraChannelInfo> extra_channel_info;
  PreviewHeader preview_size;
  AnimationHeader animation;
  uint64_t extensions = 0;
};

// The image-level headers of one codestream. Frame headers point at it.
struct CodecMetadata {
  ImageMetadata m;
  SizeHeader size;
  CustomTransformData transform_data;
};

}  // namespace qov

#endif  // QOV_LIB_BITSTREAM_IMAGE_METADATA_H_
