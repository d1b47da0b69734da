// The colour-encoding bundle: either "an ICC profile follows" or a structured
// description (colour space, white point, primaries, transfer function,
// rendering intent) that always carries an ICC profile synthesised from it.
#ifndef QOV_LIB_COLOR_COLOR_ENCODING_H_
#define QOV_LIB_COLOR_COLOR_ENCODING_H_

#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/fields.h"
#include "lib/color/color_enums.h"
#include "qov/qov.h"

namespace qov {

// A chromaticity pair in millionths, coded as zig-zag U32 values.
class Customxy : public Fields {
 public:
  Customxy();
  Status EnumerateFields(Visitor* visitor) override;

  int32_t x;
  int32_t y;
};

// A gamma in units of 1e-7 or an enumerated transfer function. Nothing is
// coded for XYB. color_space is not part of the stream: the owner sets it
// before every visit.
class CustomTransferFunction : public Fields {
 public:
  CustomTransferFunction();
  Status EnumerateFields(Visitor* visitor) override;

  uint32_t color_space;  // ColorSpace
  bool have_gamma;
  uint32_t gamma;              // 1e-7 units
  uint32_t transfer_function;  // TransferFunction
};

// The structured part of a colour encoding, with its ICC bytes. Enumerated
// members hold the raw coded values of the enumerations in color_enums.h.
struct ColorDescription {
  uint32_t white_point = Raw(WhitePoint::kD65);
  uint32_t primaries = Raw(Primaries::kSrgb);
  uint32_t rendering_intent = Raw(RenderingIntent::kRelative);
  // False when the encoding is only an ICC profile taken from the stream.
  bool have_fields = true;
  std::vector<uint8_t> icc;
  uint32_t color_space = Raw(ColorSpace::kRgb);
  bool cmyk = false;
  bool have_gamma = false;
  uint32_t gamma = 0;  // 1e-7 units, meaningful with have_gamma
  uint32_t transfer_function = Raw(TransferFunction::kSrgb);
  int32_t white_x = 0, white_y = 0;  // millionths, for a Custom white point
  int32_t red_x = 0, red_y = 0;      // millionths, for Custom primaries
  int32_t green_x = 0, green_y = 0;
  int32_t blue_x = 0, blue_y = 0;

  bool IsGray() const { return color_space == Raw(ColorSpace::kGray); }
  bool IsXyb() const { return color_space == Raw(ColorSpace::kXyb); }

  // The public record of this description (cannot fail).
  QovColorEncoding ToPublic() const;
  // Same colour space, white point, primaries (where they apply) and transfer;
  // the rendering intent and ICC bytes are not compared; CMYK never matches.
  bool SameAs(const ColorDescription& other) const;
};

class ColorEncoding : public Fields, public ColorDescription {
 public:
  // sRGB, D65, Relative, with the synthesised sRGB profile in icc.
  ColorEncoding();
  ColorEncoding(const ColorEncoding&) = default;
  ColorEncoding& operator=(const ColorEncoding&) = default;
  ColorEncoding(ColorEncoding&&) = default;
  ColorEncoding& operator=(ColorEncoding&&) = default;
  ~ColorEncoding() override = default;

  Status EnumerateFields(Visitor* visitor) override;

  // Installs the profile decoded from the stream: icc = profile,
  // have_fields false, want_icc true.
  void TakeIccProfile(std::vector<uint8_t>&& profile);

  // Replaces icc by the profile synthesised from the fields; on failure icc
  // is left empty and the result is Failed.
  Status BuildIccFromFields();

  // The rendering-intent field as one listing step (Failed above 3).
  static Status VisitRenderingIntent(Visitor* visitor, uint32_t default_value,
                                     uint32_t* field);

  bool all_default;
  bool want_icc;

  // Vehicles through which the custom values are visited; the values proper
  // live in the description.
  Customxy white;
  CustomTransferFunction tf;
  Customxy red;
  Customxy green;
  Customxy blue;
};

// Fills pair[0] (RGB) and pair[1] (Grayscale) with D65, the given primaries
// and transfer function without gamma, intent Relative, and their profiles
// (a failed synthesis leaves that entry's icc empty).
void MakeStandardEncodingPair(ColorEncoding pair[2], uint32_t primaries,
                              uint32_t transfer_function);

// Process-wide sRGB and linear-sRGB encodings, made on first use.
const ColorEncoding& StandardSrgbEncodings(bool is_grey);
const ColorEncoding& StandardLinearSrgbEncodings(bool is_grey);

}  // namespace qov

#endif  // QOV_LIB_COLOR_COLOR_ENCODING_H_
