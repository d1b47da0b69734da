// ICC 4.4 profile synthesis: fixed header, description, white point,
// adaptation, code points, colorants and tone curves (or lookup tables),
// and the MD5 profile identifier.
#include "lib/color/icc_synth.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "lib/color/color_enums.h"
#include "lib/color/hdr_curves.h"
#include "lib/color/md5.h"

namespace qov {
namespace {

constexpr uint32_t kRgb = Raw(ColorSpace::kRgb);
constexpr uint32_t kGray = Raw(ColorSpace::kGray);
constexpr uint32_t kXyb = Raw(ColorSpace::kXyb);

// Round half away from zero of a value known to fit.
int64_t RoundHalfAway(double v) {
  return static_cast<int64_t>(v < 0 ? -std::floor(-v + 0.5)
                                    : std::floor(v + 0.5));
}

bool Near(double a, double b) { return std::fabs(a - b) < 3e-5; }

bool PrimariesNear(const QovColorEncoding& c, double rx, double ry, double gx,
                   double gy, double bx, double by) {
  return Near(c.primaries_red_xy[0], rx) && Near(c.primaries_red_xy[1], ry) &&
         Near(c.primaries_green_xy[0], gx) &&
         Near(c.primaries_green_xy[1], gy) &&
         Near(c.primaries_blue_xy[0], bx) && Near(c.primaries_blue_xy[1], by);
}

// A well-known profile name for RGB encodings, or nullptr.
const char* WellKnownName(const QovColorEncoding& c) {
  const bool d65 = c.white_point == Raw(WhitePoint::kD65);
  const bool custom_primaries = c.primaries == Raw(Primaries::kCustom);
  const bool gamma = c.transfer_function == kTransferFunctionGamma;
  if (d65 && c.transfer_function == Raw(TransferFunction::kSrgb)) {
    if (c.primaries == Raw(Primaries::kP3)) return "DisplayP3";
    if (c.primaries == Raw(Primaries::kSrgb)) return "sRGB";
  }
  if (d65 && c.transfer_function != Raw(TransferFunction::kSrgb)) {
    if (custom_primaries && gamma &&
        PrimariesNear(c, 0.64, 0.33, 0.21, 0.71, 0.15, 0.06) &&
        Near(c.gamma, 0.4547069271758437)) {
      return "Adobe98";
    }
    if (c.primaries == Raw(Primaries::k2100)) {
      if (c.transfer_function == Raw(TransferFunction::kHlg)) {
        return "Rec2100HLG";
      }
      if (c.transfer_function == Raw(TransferFunction::kPq)) {
        return "Rec2100PQ";
      }
    }
  }
  if (c.white_point == Raw(WhitePoint::kCustom) &&
      Near(c.white_point_xy[0], 0.345669) &&
      Near(c.white_point_xy[1], 0.358496) && custom_primaries &&
      PrimariesNear(c, 0.734699, 0.265301, 0.159597, 0.840403, 0.036598,
                    0.000105) &&
      gamma && Near(c.gamma, 0.5555555555555556)) {
    return "ProPhoto";
  }
  return nullptr;
}

std::string FormatG(double v) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%g", v);
  return buf;
}

std::string JoinG(const double* values, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) {
    if (i > 0) s += ';';
    s += FormatG(values[i]);
  }
  return s;
}

void AppendRaw(const char* text, std::vector<uint8_t>* bytes) {
  bytes->insert(bytes->end(), text, text + std::strlen(text));
}

// Chromaticities of the encoding as single-precision values.
struct FloatXy {
  float rx, ry, gx, gy, bx, by, wx, wy;
};
FloatXy ToFloatXy(const QovColorEncoding& c) {
  return {static_cast<float>(c.primaries_red_xy[0]),
          static_cast<float>(c.primaries_red_xy[1]),
          static_cast<float>(c.primaries_green_xy[0]),
          static_cast<float>(c.primaries_green_xy[1]),
          static_cast<float>(c.primaries_blue_xy[0]),
          static_cast<float>(c.primaries_blue_xy[1]),
          static_cast<float>(c.white_point_xy[0]),
          static_cast<float>(c.white_point_xy[1])};
}

void WriteHeader(const QovColorEncoding& c, bool hdr_lut,
                 std::vector<uint8_t>* header) {
  header->assign(128, 0);
  auto put = [header](size_t pos, const char* sig) {
    std::memcpy(header->data() + pos, sig, 4);
  };
  put(4, "qov ");
  WriteBigEndian32At(0x04400000u, 8, header);
  put(12, c.color_space == kXyb ? "scnr" : "mntr");
  put(16, c.color_space == kGray ? "GRAY" : "RGB ");
  put(20, hdr_lut ? "Lab " : "XYZ ");
  // 2019-12-01 00:00:00.
  const uint8_t date[12] = {0x07, 0xE3, 0x00, 0x0C, 0x00, 0x01,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  std::memcpy(header->data() + 24, date, 12);
  put(36, "acsp");
  put(40, "APPL");
  WriteBigEndian32At(c.rendering_intent, 64, header);
  // D50 illuminant: 0.9642, 1.0, 0.8249.
  WriteBigEndian32At(0x0000F6D6u, 68, header);
  WriteBigEndian32At(0x00010000u, 72, header);
  WriteBigEndian32At(0x0000D32Du, 76, header);
  put(80, "qov ");
}

// The tone curve of a matrix/TRC profile.
Status AppendToneCurve(const QovColorEncoding& c, std::vector<uint8_t>* tags) {
  switch (c.transfer_function) {
    case Raw(TransferFunction::k709): {
      const float p[5] = {static_cast<float>(1.0 / 0.45),
                          static_cast<float>(1.0 / 1.099),
                          static_cast<float>(0.099 / 1.099),
                          static_cast<float>(1.0 / 4.5), 0.081f};
      return AppendParametricCurve(p, 3, tags);
    }
    case Raw(TransferFunction::kLinear): {
      const float p[5] = {1.0f, 1.0f, 0.0f, 1.0f, 0.0f};
      return AppendParametricCurve(p, 3, tags);
    }
    case Raw(TransferFunction::kSrgb): {
      const float p[5] = {2.4f, static_cast<float>(1.0 / 1.055),
                          static_cast<float>(0.055 / 1.055),
                          static_cast<float>(1.0 / 12.92), 0.04045f};
      return AppendParametricCurve(p, 3, tags);
    }
    case Raw(TransferFunction::kPq): {
      const std::array<uint16_t, 64> table = PqCurveTable();
      AppendCurveTable(table.data(), table.size(), tags);
      return OkStatus();
    }
    case Raw(TransferFunction::kDci): {
      const float p[5] = {2.6f, 1.0f, 0.0f, 1.0f, 0.0f};
      return AppendParametricCurve(p, 3, tags);
    }
    case Raw(TransferFunction::kHlg): {
      const std::array<uint16_t, 64> table = HlgCurveTable();
      AppendCurveTable(table.data(), table.size(), tags);
      return OkStatus();
    }
    case kTransferFunctionGamma: {
      const float p[1] = {static_cast<float>(1.0 / c.gamma)};
      return AppendParametricCurve(p, 0, tags);
    }
    default:
      return QOV_FAILURE();
  }
}

// The growing table and tag data of one profile; Finish pads the body just
// appended and gives it a table entry.
struct TagWriter {
  std::vector<uint8_t> table = std::vector<uint8_t>(4, 0);
  std::vector<uint8_t> data;
  std::vector<uint32_t> offsets;
  uint32_t last_offset = 0;
  uint32_t last_size = 0;

  void Finish(const char sig[4]) {
    PadAndLocateTag(&data, &last_offset, &last_size);
    AppendTagTableEntry(sig, last_offset, last_size, &table, &offsets);
  }
};

}  // namespace

Status ToS15Fixed16(float v, int32_t* out) {
  // The largest float below 32768; written so that NaN fails too.
  if (!(std::fabs(v) <= 32767.994140625f)) return QOV_FAILURE();
  *out = static_cast<int32_t>(RoundHalfAway(static_cast<double>(v) * 65536.0));
  return OkStatus();
}

void AppendBigEndian16(uint32_t v, std::vector<uint8_t>* bytes) {
  bytes->push_back(static_cast<uint8_t>(v >> 8));
  bytes->push_back(static_cast<uint8_t>(v));
}

void AppendBigEndian32(uint32_t v, std::vector<uint8_t>* bytes) {
  bytes->push_back(static_cast<uint8_t>(v >> 24));
  bytes->push_back(static_cast<uint8_t>(v >> 16));
  bytes->push_back(static_cast<uint8_t>(v >> 8));
  bytes->push_back(static_cast<uint8_t>(v));
}

void AppendSignature(const char sig[4], std::vector<uint8_t>* bytes) {
  bytes->insert(bytes->end(), sig, sig + 4);
}

Status AppendS15Fixed16(float v, std::vector<uint8_t>* bytes) {
  int32_t fixed;
  QOV_RETURN_IF_ERROR(ToS15Fixed16(v, &fixed));
  AppendBigEndian32(static_cast<uint32_t>(fixed), bytes);
  return OkStatus();
}

void AppendMlucTag(const std::string& text, std::vector<uint8_t>* tags) {
  AppendSignature("mluc", tags);
  AppendBigEndian32(0, tags);
  AppendBigEndian32(1, tags);   // record count
  AppendBigEndian32(12, tags);  // record size
  AppendRaw("enUS", tags);
  AppendBigEndian32(static_cast<uint32_t>(2 * text.size()), tags);
  AppendBigEndian32(28, tags);  // string offset
  for (char ch : text) {
    tags->push_back(0);
    tags->push_back(static_cast<uint8_t>(ch));
  }
}

Status AppendXyzTag(float x, float y, float z, std::vector<uint8_t>* tags) {
  AppendSignature("XYZ ", tags);
  AppendBigEndian32(0, tags);
  QOV_RETURN_IF_ERROR(AppendS15Fixed16(x, tags));
  QOV_RETURN_IF_ERROR(AppendS15Fixed16(y, tags));
  return AppendS15Fixed16(z, tags);
}

Status AppendSf32Tag(const Matrix3x3& m, std::vector<uint8_t>* tags) {
  AppendSignature("sf32", tags);
  AppendBigEndian32(0, tags);
  for (float v : m) QOV_RETURN_IF_ERROR(AppendS15Fixed16(v, tags));
  return OkStatus();
}

Status AppendParametricCurve(const float* params, uint32_t function_type,
                             std::vector<uint8_t>* tags) {
  AppendSignature("para", tags);
  AppendBigEndian32(0, tags);
  AppendBigEndian16(function_type, tags);
  AppendBigEndian16(0, tags);
  const int count = function_type == 0 ? 1 : function_type == 3 ? 5 : 0;
  if (count == 0) return QOV_FAILURE();
  for (int i = 0; i < count; ++i) {
    QOV_RETURN_IF_ERROR(AppendS15Fixed16(params[i], tags));
  }
  return OkStatus();
}

void AppendCurveTable(const uint16_t* samples, size_t count,
                      std::vector<uint8_t>* tags) {
  AppendSignature("curv", tags);
  AppendBigEndian32(0, tags);
  AppendBigEndian32(static_cast<uint32_t>(count), tags);
  for (size_t i = 0; i < count; ++i) AppendBigEndian16(samples[i], tags);
}

void WriteBigEndian32At(uint32_t v, size_t pos, std::vector<uint8_t>* bytes) {
  if (bytes->size() < pos + 4) bytes->resize(pos + 4, 0);
  (*bytes)[pos] = static_cast<uint8_t>(v >> 24);
  (*bytes)[pos + 1] = static_cast<uint8_t>(v >> 16);
  (*bytes)[pos + 2] = static_cast<uint8_t>(v >> 8);
  (*bytes)[pos + 3] = static_cast<uint8_t>(v);
}

void PadAndLocateTag(std::vector<uint8_t>* tags, uint32_t* last_offset,
                     uint32_t* last_size) {
  while (tags->size() % 4 != 0) tags->push_back(0);
  *last_offset += *last_size;
  *last_size = static_cast<uint32_t>(tags->size()) - *last_offset;
}

void AppendTagTableEntry(const char sig[4], uint32_t offset, uint32_t size,
                         std::vector<uint8_t>* table,
                         std::vector<uint32_t>* offsets) {
  AppendSignature(sig, table);
  AppendBigEndian32(offset, table);
  AppendBigEndian32(size, table);
  offsets->push_back(offset);
}

void AppendCicpTag(const QovColorEncoding& c, std::vector<uint8_t>* tags,
                   std::vector<uint8_t>* table, std::vector<uint32_t>* offsets,
                   uint32_t* last_offset, uint32_t* last_size) {
  if (c.color_space != kRgb || c.primaries == Raw(Primaries::kCustom) ||
      c.transfer_function == Raw(TransferFunction::kUnknown) ||
      c.transfer_function == kTransferFunctionGamma) {
    return;
  }
  uint8_t primaries_code;
  if (c.primaries == Raw(Primaries::kP3)) {
    if (c.white_point == Raw(WhitePoint::kD65)) {
      primaries_code = 12;
    } else if (c.white_point == Raw(WhitePoint::kDci)) {
      primaries_code = 11;
    } else {
      return;
    }
  } else if ((c.primaries == Raw(Primaries::kSrgb) ||
              c.primaries == Raw(Primaries::k2100)) &&
             c.white_point == Raw(WhitePoint::kD65)) {
    primaries_code = static_cast<uint8_t>(c.primaries);
  } else {
    return;
  }
  AppendSignature("cicp", tags);
  AppendBigEndian32(0, tags);
  tags->push_back(primaries_code);
  tags->push_back(static_cast<uint8_t>(c.transfer_function));
  tags->push_back(0);  // matrix coefficients: identity
  tags->push_back(1);  // full range
  PadAndLocateTag(tags, last_offset, last_size);
  AppendTagTableEntry("cicp", *last_offset, *last_size, table, offsets);
}

StatusOr<Matrix3x3> ComputeChadMatrix(double wx, double wy) {
  if (wy == 0.0) return QOV_FAILURE();
  Matrix3x3 m;
  QOV_RETURN_IF_ERROR(
      AdaptToD50Matrix(static_cast<float>(wx), static_cast<float>(wy), &m));
  return m;
}

StatusOr<Matrix3x3> ComputeColorants(const QovColorEncoding& c) {
  const FloatXy f = ToFloatXy(c);
  Matrix3x3 primaries;
  QOV_RETURN_IF_ERROR(PrimariesToXyzMatrix(f.rx, f.ry, f.gx, f.gy, f.bx, f.by,
                                           f.wx, f.wy, &primaries));
  Matrix3x3 adapt;
  QOV_RETURN_IF_ERROR(AdaptToD50Matrix(f.wx, f.wy, &adapt));
  Matrix3x3 out;
  Mul3x3(adapt, primaries, &out);
  return out;
}

std::string IccDescription(const QovColorEncoding& c) {
  if (c.color_space == kRgb) {
    const char* name = WellKnownName(c);
    if (name != nullptr) return name;
  }
  std::string d = c.color_space == kRgb    ? "RGB"
                  : c.color_space == kGray ? "Gra"
                  : c.color_space == kXyb  ? "XYB"
                                           : "Invalid";
  const bool xyb = c.color_space == kXyb;
  if (!xyb) {
    d += '_';
    switch (c.white_point) {
      case Raw(WhitePoint::kD65): d += "D65"; break;
      case Raw(WhitePoint::kE): d += "EER"; break;
      case Raw(WhitePoint::kDci): d += "DCI"; break;
      case Raw(WhitePoint::kCustom): d += JoinG(c.white_point_xy, 2); break;
      default: d += "Invalid"; break;
    }
  }
  if (c.color_space == kRgb) {
    d += '_';
    switch (c.primaries) {
      case Raw(Primaries::kSrgb): d += "SRG"; break;
      case Raw(Primaries::k2100): d += "202"; break;
      case Raw(Primaries::kP3): d += "DCI"; break;
      case Raw(Primaries::kCustom): {
        const double v[6] = {c.primaries_red_xy[0],   c.primaries_red_xy[1],
                             c.primaries_green_xy[0], c.primaries_green_xy[1],
                             c.primaries_blue_xy[0],  c.primaries_blue_xy[1]};
        d += JoinG(v, 6);
        break;
      }
      default: d += "Invalid"; break;
    }
  }
  d += '_';
  static const char* const kIntents[4] = {"Per", "Rel", "Sat", "Abs"};
  d += c.rendering_intent < 4 ? kIntents[c.rendering_intent] : "Invalid";
  if (!xyb) {
    d += '_';
    switch (c.transfer_function) {
      case Raw(TransferFunction::k709): d += "709"; break;
      case Raw(TransferFunction::kLinear): d += "Lin"; break;
      case Raw(TransferFunction::kSrgb): d += "SRG"; break;
      case Raw(TransferFunction::kPq): d += "PeQ"; break;
      case Raw(TransferFunction::kDci): d += "DCI"; break;
      case Raw(TransferFunction::kHlg): d += "HLG"; break;
      case kTransferFunctionGamma:
        d += 'g';
        d += FormatG(c.gamma);
        break;
      default: d += "Invalid"; break;
    }
  }
  return d;
}

Status SynthesizeIccProfile(const QovColorEncoding& c,
                            std::vector<uint8_t>* profile) {
  // 1. Refusals.
  if (c.color_space > kXyb) return QOV_FAILURE();
  if (c.transfer_function == Raw(TransferFunction::kUnknown)) {
    return QOV_FAILURE();
  }
  if (c.color_space == kXyb &&
      c.rendering_intent != Raw(RenderingIntent::kPerceptual)) {
    return QOV_FAILURE();
  }
  const bool hdr_lut = NeedsHdrToneMapLut(c);

  // 2. Header.
  std::vector<uint8_t> header;
  WriteHeader(c, hdr_lut, &header);

  // 3-4. Description and copyright.
  TagWriter w;
  AppendMlucTag(IccDescription(c), &w.data);
  w.Finish("desc");
  AppendMlucTag("CC0", &w.data);
  w.Finish("cprt");

  // 5. Media white point.
  if (c.color_space == kGray) {
    const double x = c.white_point_xy[0];
    const double y = c.white_point_xy[1];
    if (std::fabs(y) < 1e-12) return QOV_FAILURE();
    const float r = static_cast<float>(1.0 / y);
    QOV_RETURN_IF_ERROR(
        AppendXyzTag(static_cast<float>(x * r), 1.0f,
                     static_cast<float>((1.0 - x - y) * r), &w.data));
  } else {
    QOV_RETURN_IF_ERROR(AppendXyzTag(0.964203f, 1.0f, 0.824905f, &w.data));
  }
  w.Finish("wtpt");

  bool needs_trc = true;
  if (c.color_space != kGray) {
    // 7. Chromatic adaptation.
    QOV_ASSIGN_OR_RETURN(const Matrix3x3 chad,
                         ComputeChadMatrix(c.white_point_xy[0],
                                           c.white_point_xy[1]));
    QOV_RETURN_IF_ERROR(AppendSf32Tag(chad, &w.data));
    w.Finish("chad");
  }
  if (c.color_space == kXyb) {
    // 8. XYB lookup pipeline.
    QOV_RETURN_IF_ERROR(AppendXybLutAToB(&w.data));
    w.Finish("A2B0");
    QOV_RETURN_IF_ERROR(AppendLutBToA(&w.data));
    w.Finish("B2A0");
    needs_trc = false;
  } else if (c.color_space == kRgb) {
    // 9. Code points and colorants.
    AppendCicpTag(c, &w.data, &w.table, &w.offsets, &w.last_offset,
                  &w.last_size);
    QOV_ASSIGN_OR_RETURN(const Matrix3x3 colorants, ComputeColorants(c));
    static const char* const kColorantTags[3] = {"rXYZ", "gXYZ", "bXYZ"};
    for (int col = 0; col < 3; ++col) {
      QOV_RETURN_IF_ERROR(AppendXyzTag(colorants[col], colorants[3 + col],
                                       colorants[6 + col], &w.data));
      w.Finish(kColorantTags[col]);
    }
    // 10. Tone-mappable HDR: lookup tables instead of tone curves.
    if (hdr_lut) {
      QOV_RETURN_IF_ERROR(AppendHdrToneMapLut(c, &w.data));
      w.Finish("A2B0");
      QOV_RETURN_IF_ERROR(AppendLutBToA(&w.data));
      w.Finish("B2A0");
      needs_trc = false;
    }
  }
  if (needs_trc) {
    // 11. One shared tone curve.
    QOV_RETURN_IF_ERROR(AppendToneCurve(c, &w.data));
    PadAndLocateTag(&w.data, &w.last_offset, &w.last_size);
    if (c.color_space == kGray) {
      AppendTagTableEntry("kTRC", w.last_offset, w.last_size, &w.table,
                          &w.offsets);
    } else {
      for (const char* sig : {"rTRC", "gTRC", "bTRC"}) {
        AppendTagTableEntry(sig, w.last_offset, w.last_size, &w.table,
                            &w.offsets);
      }
    }
  }

  // 12. Tag count, absolute offsets, total size, identifier.
  const uint32_t count = static_cast<uint32_t>(w.offsets.size());
  WriteBigEndian32At(count, 0, &w.table);
  const uint32_t data_start = 128 + static_cast<uint32_t>(w.table.size());
  for (uint32_t i = 0; i < count; ++i) {
    WriteBigEndian32At(w.offsets[i] + data_start, 4 + 12 * i + 4, &w.table);
  }
  const size_t total = header.size() + w.table.size() + w.data.size();
  WriteBigEndian32At(static_cast<uint32_t>(total), 0, &header);
  std::vector<uint8_t> result;
  result.reserve(total);
  result.insert(result.end(), header.begin(), header.end());
  result.insert(result.end(), w.table.begin(), w.table.end());
  result.insert(result.end(), w.data.begin(), w.data.end());

  std::vector<uint8_t> copy = result;
  for (size_t i = 44; i < 48; ++i) copy[i] = 0;
  for (size_t i = 64; i < 68; ++i) copy[i] = 0;
  const std::array<uint8_t, 16> id = Md5Digest(copy.data(), copy.size());
  std::memcpy(result.data() + 84, id.data(), id.size());
  *profile = std::move(result);
  return OkStatus();
}

}  // namespace qov
