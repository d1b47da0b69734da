// The colour vocabulary shared by the colour-encoding bundle, ICC synthesis,
// the colour maths and the public colour record. The values equal those of
// the public enumerations in qov/qov.h.
#ifndef QOV_LIB_COLOR_COLOR_ENUMS_H_
#define QOV_LIB_COLOR_COLOR_ENUMS_H_

#include <cstdint>

#include "qov/qov.h"

namespace qov {

enum class ColorSpace : uint32_t {
  kRgb = 0,
  kGray = 1,
  kXyb = 2,
  kUnknown = 3,
};

enum class WhitePoint : uint32_t {
  kD65 = 1,
  kCustom = 2,
  kE = 10,
  kDci = 11,
};

enum class Primaries : uint32_t {
  kSrgb = 1,
  kCustom = 2,
  k2100 = 9,
  kP3 = 11,
};

enum class TransferFunction : uint32_t {
  k709 = 1,
  kUnknown = 2,
  kLinear = 8,
  kSrgb = 13,
  kPq = 16,
  kDci = 17,
  kHlg = 18,
};

// The public record's transfer-function value for an explicit gamma.
inline constexpr uint32_t kTransferFunctionGamma = 65535;

enum class RenderingIntent : uint32_t {
  kPerceptual = 0,
  kRelative = 1,
  kSaturation = 2,
  kAbsolute = 3,
};

constexpr uint32_t Raw(ColorSpace v) { return static_cast<uint32_t>(v); }
constexpr uint32_t Raw(WhitePoint v) { return static_cast<uint32_t>(v); }
constexpr uint32_t Raw(Primaries v) { return static_cast<uint32_t>(v); }
constexpr uint32_t Raw(TransferFunction v) { return static_cast<uint32_t>(v); }
constexpr uint32_t Raw(RenderingIntent v) { return static_cast<uint32_t>(v); }

// Whether a coded value belongs to its enumeration's set.
constexpr bool IsValidColorSpace(uint32_t v) { return v <= 3; }
constexpr bool IsValidWhitePoint(uint32_t v) {
  return v == 1 || v == 2 || v == 10 || v == 11;
}
constexpr bool IsValidPrimaries(uint32_t v) {
  return v == 1 || v == 2 || v == 9 || v == 11;
}
constexpr bool IsValidTransferFunction(uint32_t v) {
  return v == 1 || v == 2 || v == 8 || v == 13 || v == 16 || v == 17 ||
         v == 18;
}
constexpr bool IsValidRenderingIntent(uint32_t v) { return v <= 3; }

static_assert(Raw(ColorSpace::kRgb) == QOV_COLOR_SPACE_RGB &&
              Raw(ColorSpace::kGray) == QOV_COLOR_SPACE_GRAY &&
              Raw(ColorSpace::kXyb) == QOV_COLOR_SPACE_XYB &&
              Raw(ColorSpace::kUnknown) == QOV_COLOR_SPACE_UNKNOWN);
static_assert(Raw(WhitePoint::kD65) == QOV_WHITE_POINT_D65 &&
              Raw(WhitePoint::kCustom) == QOV_WHITE_POINT_CUSTOM &&
              Raw(WhitePoint::kE) == QOV_WHITE_POINT_E &&
              Raw(WhitePoint::kDci) == QOV_WHITE_POINT_DCI);
static_assert(Raw(Primaries::kSrgb) == QOV_PRIMARIES_SRGB &&
              Raw(Primaries::kCustom) == QOV_PRIMARIES_CUSTOM &&
              Raw(Primaries::k2100) == QOV_PRIMARIES_2100 &&
              Raw(Primaries::kP3) == QOV_PRIMARIES_P3);
static_assert(Raw(TransferFunction::k709) == QOV_TRANSFER_FUNCTION_709 &&
              Raw(TransferFunction::kUnknown) == QOV_TRANSFER_FUNCTION_UNKNOWN &&
              Raw(TransferFunction::kLinear) == QOV_TRANSFER_FUNCTION_LINEAR &&
              Raw(TransferFunction::kSrgb) == QOV_TRANSFER_FUNCTION_SRGB &&
              Raw(TransferFunction::kPq) == QOV_TRANSFER_FUNCTION_PQ &&
              Raw(TransferFunction::kDci) == QOV_TRANSFER_FUNCTION_DCI &&
              Raw(TransferFunction::kHlg) == QOV_TRANSFER_FUNCTION_HLG &&
              kTransferFunctionGamma == QOV_TRANSFER_FUNCTION_GAMMA);
static_assert(
    Raw(RenderingIntent::kPerceptual) == QOV_RENDERING_INTENT_PERCEPTUAL &&
    Raw(RenderingIntent::kRelative) == QOV_RENDERING_INTENT_RELATIVE &&
    Raw(RenderingIntent::kSaturation) == QOV_RENDERING_INTENT_SATURATION &&
    Raw(RenderingIntent::kAbsolute) == QOV_RENDERING_INTENT_ABSOLUTE);

}  // namespace qov

#endif  // QOV_LIB_COLOR_COLOR_ENUMS_H_
