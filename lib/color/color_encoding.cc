// The colour-encoding bundle's field listing, its conversion to the public
// record, the equality of two descriptions and the standard encodings.
#include "lib/color/color_encoding.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "lib/base/bits.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/color/icc_synth.h"

namespace qov {
namespace {

constexpr U32Coding kCustomxyCoding(Bits(19), BitsOffset(19, 524288),
                                    BitsOffset(20, 1048576),
                                    BitsOffset(21, 2097152));

// One enumeration field: coded value, then the set check.
Status VisitEnum(Visitor* visitor, uint32_t default_value, uint32_t* field,
                 bool (*valid)(uint32_t)) {
  QOV_RETURN_IF_ERROR(visitor->CodedU32(kEnumCoding, default_value, field));
  QOV_ENSURE(valid(*field));
  return OkStatus();
}

// Copies a custom pair into its vehicle bundle, visits it, copies it back.
Status VisitCustomxy(Visitor* visitor, Customxy* vehicle, int32_t* x,
                     int32_t* y) {
  vehicle->x = *x;
  vehicle->y = *y;
  QOV_RETURN_IF_ERROR(visitor->Nested(vehicle));
  *x = vehicle->x;
  *y = vehicle->y;
  return OkStatus();
}

// Chromaticities of the named white points and primaries.
struct Xy {
  double x, y;
};
constexpr Xy kD65{0.3127, 0.329};
constexpr Xy kWhiteE{1.0 / 3, 1.0 / 3};
constexpr Xy kWhiteDci{0.314, 0.351};
constexpr Xy kSrgbPrimaries[3] = {{0.639998686, 0.330010138},
                                  {0.300003784, 0.600003357},
                                  {0.150002046, 0.059997204}};
constexpr Xy k2100Primaries[3] = {{0.708, 0.292}, {0.17, 0.797}, {0.131, 0.046}};
constexpr Xy kP3Primaries[3] = {{0.68, 0.32}, {0.265, 0.69}, {0.15, 0.06}};

}  // namespace

Customxy::Customxy() : x(0), y(0) { Bundle::ResetToDefaults(this); }

Status Customxy::EnumerateFields(Visitor* visitor) {
  uint32_t ux = PackSigned(x);
  QOV_RETURN_IF_ERROR(visitor->CodedU32(kCustomxyCoding, 0, &ux));
  x = UnpackSigned(ux);
  uint32_t uy = PackSigned(y);
  QOV_RETURN_IF_ERROR(visitor->CodedU32(kCustomxyCoding, 0, &uy));
  y = UnpackSigned(uy);
  return OkStatus();
}

CustomTransferFunction::CustomTransferFunction()
    : color_space(Raw(ColorSpace::kRgb)),
      have_gamma(false),
      gamma(10000000),
      transfer_function(Raw(TransferFunction::kSrgb)) {
  Bundle::ResetToDefaults(this);
}

Status CustomTransferFunction::EnumerateFields(Visitor* visitor) {
  // XYB has an implied gamma of 1/3 and codes nothing.
  const bool implicit = color_space == Raw(ColorSpace::kXyb);
  if (implicit) {
    have_gamma = true;
    gamma = 3333333;
    transfer_function = Raw(TransferFunction::kUnknown);
  }
  if (visitor->Gate(!implicit)) {
    QOV_RETURN_IF_ERROR(visitor->Flag(false, &have_gamma));
    if (visitor->Gate(have_gamma)) {
      QOV_RETURN_IF_ERROR(visitor->FixedBits(24, 10000000, &gamma));
      QOV_ENSURE(gamma >= 1221 && gamma <= 10000000);
    }
    if (visitor->Gate(!have_gamma)) {
      QOV_RETURN_IF_ERROR(VisitEnum(visitor, Raw(TransferFunction::kSrgb),
                                    &transfer_function,
                                    IsValidTransferFunction));
    }
  }
  return OkStatus();
}

QovColorEncoding ColorDescription::ToPublic() const {
  QovColorEncoding c = {};
  if (!have_fields) {
    c.color_space = QOV_COLOR_SPACE_UNKNOWN;
    c.white_point = QOV_WHITE_POINT_CUSTOM;
    c.primaries = QOV_PRIMARIES_CUSTOM;
    c.transfer_function = QOV_TRANSFER_FUNCTION_UNKNOWN;
    return c;
  }
  c.color_space = color_space;
  c.white_point = white_point;
  Xy white = {0, 0};
  switch (white_point) {
    case Raw(WhitePoint::kD65): white = kD65; break;
    case Raw(WhitePoint::kCustom): white = {white_x * 1e-6, white_y * 1e-6}; break;
    case Raw(WhitePoint::kE): white = kWhiteE; break;
    case Raw(WhitePoint::kDci): white = kWhiteDci; break;
    default: break;
  }
  c.white_point_xy[0] = white.x;
  c.white_point_xy[1] = white.y;
  if (color_space == Raw(ColorSpace::kRgb) ||
      color_space == Raw(ColorSpace::kUnknown)) {
    c.primaries = primaries;
    Xy p[3] = {};
    const Xy* named = nullptr;
    switch (primaries) {
      case Raw(Primaries::kSrgb): named = kSrgbPrimaries; break;
      case Raw(Primaries::k2100): named = k2100Primaries; break;
      case Raw(Primaries::kP3): named = kP3Primaries; break;
      case Raw(Primaries::kCustom):
        p[0] = {red_x * 1e-6, red_y * 1e-6};
        p[1] = {green_x * 1e-6, green_y * 1e-6};
        p[2] = {blue_x * 1e-6, blue_y * 1e-6};
        break;
      default:
        break;
    }
    if (named != nullptr) std::copy(named, named + 3, p);
    c.primaries_red_xy[0] = p[0].x;
    c.primaries_red_xy[1] = p[0].y;
    c.primaries_green_xy[0] = p[1].x;
    c.primaries_green_xy[1] = p[1].y;
    c.primaries_blue_xy[0] = p[2].x;
    c.primaries_blue_xy[1] = p[2].y;
  }
  if (have_gamma) {
    c.transfer_function = kTransferFunctionGamma;
    c.gamma = gamma * 1e-7;
  } else {
    c.transfer_function = transfer_function;
    c.gamma = 0;
  }
  c.rendering_intent = rendering_intent;
  return c;
}

bool ColorDescription::SameAs(const ColorDescription& other) const {
  if (color_space != other.color_space) return false;
  if (white_point != other.white_point) return false;
  if (white_point == Raw(WhitePoint::kCustom) &&
      (white_x != other.white_x || white_y != other.white_y)) {
    return false;
  }
  if (!IsGray() && !IsXyb()) {
    if (primaries != other.primaries) return false;
    if (primaries == Raw(Primaries::kCustom) &&
        (red_x != other.red_x || red_y != other.red_y ||
         green_x != other.green_x || green_y != other.green_y ||
         blue_x != other.blue_x || blue_y != other.blue_y)) {
      return false;
    }
  }
  if (have_gamma != other.have_gamma) return false;
  if (have_gamma ? gamma != other.gamma
                 : transfer_function != other.transfer_function) {
    return false;
  }
  return !cmyk && !other.cmyk;
}

ColorEncoding::ColorEncoding() : all_default(true), want_icc(false) {
  Bundle::ResetToDefaults(this);
}

Status ColorEncoding::VisitRenderingIntent(Visitor* visitor,
                                           uint32_t default_value,
                                           uint32_t* field) {
  return VisitEnum(visitor, default_value, field, IsValidRenderingIntent);
}

Status ColorEncoding::EnumerateFields(Visitor* visitor) {
  // The defaults listing builds the default profile.
  QOV_VISIT_DEFAULTS_FLAG(visitor, this, &all_default);
  QOV_RETURN_IF_ERROR(visitor->Flag(false, &want_icc));
  QOV_RETURN_IF_ERROR(VisitEnum(visitor, Raw(ColorSpace::kRgb), &color_space,
                                IsValidColorSpace));

  const bool xyb = color_space == Raw(ColorSpace::kXyb);
  if (!want_icc && xyb) white_point = Raw(WhitePoint::kD65);
  if (visitor->Gate(!want_icc && !xyb)) {
    QOV_RETURN_IF_ERROR(VisitEnum(visitor, Raw(WhitePoint::kD65), &white_point,
                                  IsValidWhitePoint));
    if (visitor->Gate(white_point == Raw(WhitePoint::kCustom))) {
      QOV_RETURN_IF_ERROR(VisitCustomxy(visitor, &white, &white_x, &white_y));
    }
  }
  const bool has_primaries = color_space == Raw(ColorSpace::kRgb) ||
                             color_space == Raw(ColorSpace::kUnknown);
  if (visitor->Gate(!want_icc && has_primaries)) {
    QOV_RETURN_IF_ERROR(VisitEnum(visitor, Raw(Primaries::kSrgb), &primaries,
                                  IsValidPrimaries));
    if (visitor->Gate(primaries == Raw(Primaries::kCustom))) {
      QOV_RETURN_IF_ERROR(VisitCustomxy(visitor, &red, &red_x, &red_y));
      QOV_RETURN_IF_ERROR(VisitCustomxy(visitor, &green, &green_x, &green_y));
      QOV_RETURN_IF_ERROR(VisitCustomxy(visitor, &blue, &blue_x, &blue_y));
    }
  }
  if (visitor->Gate(!want_icc)) {
    tf.color_space = color_space;
    tf.have_gamma = have_gamma;
    tf.gamma = gamma;
    tf.transfer_function = transfer_function;
    QOV_RETURN_IF_ERROR(visitor->Nested(&tf));
    have_gamma = tf.have_gamma;
    gamma = tf.gamma;
    transfer_function = tf.transfer_function;
    QOV_RETURN_IF_ERROR(VisitRenderingIntent(
        visitor, Raw(RenderingIntent::kRelative), &rendering_intent));
  }

  if (!want_icc) {
    QOV_ENSURE(color_space != Raw(ColorSpace::kUnknown));
    QOV_ENSURE(have_gamma ||
               transfer_function != Raw(TransferFunction::kUnknown));
    QOV_RETURN_IF_ERROR(BuildIccFromFields());
    QOV_ENSURE(!icc.empty());
  } else {
    // A decoded bundle receives its profile later from the stream.
    QOV_ENSURE(visitor->IsDecoding() || !icc.empty());
  }
  return OkStatus();
}

void ColorEncoding::TakeIccProfile(std::vector<uint8_t>&& profile) {
  if (&profile != &icc) {
    icc = std::move(profile);
    profile.clear();
  }
  have_fields = false;
  want_icc = true;
}

namespace {

// The profiles this thread synthesised last, with the records they came
// from. Every visit of a described encoding builds its profile, and a
// decoder probes its header bundles again with every new piece of input and
// makes default encodings between files: a few descriptions come back many
// times, and synthesis (HDR tables, MD5) costs far more than a copy.
// Synthesis depends on the record alone.
struct Synthesis {
  bool valid = false;
  uint64_t last_use = 0;
  QovColorEncoding record{};
  std::vector<uint8_t> icc;
};

constexpr size_t kRememberedSyntheses = 8;

struct RecentSyntheses {
  Synthesis entries[kRememberedSyntheses];
  uint64_t clock = 0;
};

bool SameDoubles(const double* a, const double* b, size_t n) {
  return std::memcmp(a, b, n * sizeof(double)) == 0;
}

bool SameRecord(const QovColorEncoding& a, const QovColorEncoding& b) {
  return a.color_space == b.color_space && a.white_point == b.white_point &&
         SameDoubles(a.white_point_xy, b.white_point_xy, 2) &&
         a.primaries == b.primaries &&
         SameDoubles(a.primaries_red_xy, b.primaries_red_xy, 2) &&
         SameDoubles(a.primaries_green_xy, b.primaries_green_xy, 2) &&
         SameDoubles(a.primaries_blue_xy, b.primaries_blue_xy, 2) &&
         a.transfer_function == b.transfer_function &&
         SameDoubles(&a.gamma, &b.gamma, 1) &&
         a.rendering_intent == b.rendering_intent;
}

}  // namespace

Status ColorEncoding::BuildIccFromFields() {
  icc.clear();
  const QovColorEncoding c = ToPublic();
  thread_local RecentSyntheses recent;
  ++recent.clock;
  Synthesis* oldest = &recent.entries[0];
  for (Synthesis& entry : recent.entries) {
    if (entry.valid && SameRecord(entry.record, c)) {
      entry.last_use = recent.clock;
      icc = entry.icc;
      return OkStatus();
    }
    if (!entry.valid || (oldest->valid && entry.last_use < oldest->last_use)) {
      oldest = &entry;
    }
  }
  if (!SynthesizeIccProfile(c, &icc).ok()) {
    icc.clear();
    return QOV_FAILURE();
  }
  oldest->valid = false;
  oldest->icc = icc;
  oldest->record = c;
  oldest->last_use = recent.clock;
  oldest->valid = true;
  return OkStatus();
}

void MakeStandardEncodingPair(ColorEncoding pair[2], uint32_t primaries,
                              uint32_t transfer_function) {
  for (int i = 0; i < 2; ++i) {
    ColorEncoding& e = pair[i];
    e.color_space = i == 0 ? Raw(ColorSpace::kRgb) : Raw(ColorSpace::kGray);
    e.white_point = Raw(WhitePoint::kD65);
    e.primaries = primaries;
    e.have_gamma = false;
    e.transfer_function = transfer_function;
    e.rendering_intent = Raw(RenderingIntent::kRelative);
    e.have_fields = true;
    e.want_icc = false;
    e.cmyk = false;
    e.icc.clear();
    if (!SynthesizeIccProfile(e.ToPublic(), &e.icc).ok()) e.icc.clear();
  }
}

namespace {

struct EncodingPair {
  ColorEncoding entry[2];
  EncodingPair(uint32_t primaries, uint32_t transfer_function) {
    MakeStandardEncodingPair(entry, primaries, transfer_function);
  }
};

}  // namespace

const ColorEncoding& StandardSrgbEncodings(bool is_grey) {
  static const EncodingPair pair(Raw(Primaries::kSrgb),
                                 Raw(TransferFunction::kSrgb));
  return pair.entry[is_grey ? 1 : 0];
}

const ColorEncoding& StandardLinearSrgbEncodings(bool is_grey) {
  static const EncodingPair pair(Raw(Primaries::kSrgb),
                                 Raw(TransferFunction::kLinear));
  return pair.entry[is_grey ? 1 : 0];
}

}  // namespace qov
