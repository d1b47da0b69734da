// PQ / HLG transfer curves, the BT.2408 tone curve, gamut mapping and the
// fixed and computed lookup-table tag bodies of synthesised ICC profiles.
#include "lib/color/hdr_curves.h"

#include <algorithm>
#include <cmath>

#include "lib/color/color_enums.h"
#include "lib/color/color_math.h"
#include "lib/color/icc_synth.h"

namespace qov {
namespace {

// SMPTE ST 2084.
constexpr double kM1 = 0.1593017578125;
constexpr double kM2 = 78.84375;
constexpr double kC1 = 0.8359375;
constexpr double kC2 = 18.8515625;
constexpr double kC3 = 18.6875;
constexpr double kInvM1 = 6.277394636015326;
constexpr double kInvM2 = 0.012683313515655966;

int64_t RoundHalfAway(double v) {
  return static_cast<int64_t>(v < 0 ? -std::floor(-v + 0.5)
                                    : std::floor(v + 0.5));
}

// |e| to linear with 1.0 standing for 10000 nits, in double precision.
double PqDecodeMagnitude(float e) {
  const double q = std::pow(std::fabs(static_cast<double>(e)), kInvM2);
  return std::pow(std::max(q - kC1, 0.0) / (kC2 - kC3 * q), kInvM1);
}

std::array<uint16_t, 64> CurveTable(float (*curve)(float)) {
  std::array<uint16_t, 64> table;
  for (int i = 0; i < 64; ++i) {
    const float x = static_cast<float>(i) / 63.0f;
    const float y = std::clamp(curve(x), 0.0f, 1.0f);
    const float sample = y * 65535.0f;
    table[i] = static_cast<uint16_t>(RoundHalfAway(sample));
  }
  return table;
}

// The BT.2408 knee (Hermite spline above knee_start towards max_level).
float ApplyKnee(float e, float knee_start, float inverse_knee_width,
                float one_minus_knee_start, float max_level) {
  if (e < knee_start) return e;
  const float t = (e - knee_start) * inverse_knee_width;
  const float t2 = t * t;
  const float t3 = t2 * t;
  return (2 * t3 - 3 * t2 + 1) * knee_start +
         (t3 - 2 * t2 + t) * one_minus_knee_start +
         (-2 * t3 + 3 * t2) * max_level;
}

float Dot3(const float w[3], const float v[3]) {
  return w[0] * v[0] + w[1] * v[1] + w[2] * v[2];
}

// 'para' type 0 with g = 1.
Status AppendIdentityCurves(int count, std::vector<uint8_t>* tags) {
  const float one = 1.0f;
  for (int i = 0; i < count; ++i) {
    QOV_RETURN_IF_ERROR(AppendParametricCurve(&one, 0, tags));
  }
  return OkStatus();
}

void AppendLutHead(const char sig[4], std::vector<uint8_t>* tags) {
  AppendSignature(sig, tags);
  AppendBigEndian32(0, tags);
  tags->push_back(3);  // input channels
  tags->push_back(3);  // output channels
  tags->push_back(0);
  tags->push_back(0);
}

}  // namespace

float PqEncode(float nits) {
  if (nits == 0.0f) return 0.0f;
  const double y = std::fabs(static_cast<double>(nits)) *
                   static_cast<double>(1e-4f);
  const double p = std::pow(y, kM1);
  const float v =
      static_cast<float>(std::pow((kC1 + kC2 * p) / (1.0 + kC3 * p), kM2));
  return nits < 0 ? -v : v;
}

float PqDecode(float e) {
  if (e == 0.0f) return 0.0f;
  const float v = static_cast<float>(PqDecodeMagnitude(e) * 10000.0);
  return e < 0 ? -v : v;
}

float PqDecodeNormalized(float e) {
  if (e == 0.0f) return 0.0f;
  return static_cast<float>(PqDecodeMagnitude(e));
}

float HlgInverseOetf(float x) {
  if (x == 0.0f) return 0.0f;
  const double ax = std::fabs(static_cast<double>(x));
  double v;
  if (ax <= 0.5) {
    v = ax * ax / 3.0;
  } else {
    v = (std::exp((ax - 0.5599107295) * 5.591816309728916) + 0.28466892) /
        12.0;
  }
  return static_cast<float>(std::fabs(v));
}

std::array<uint16_t, 64> PqCurveTable() { return CurveTable(PqDecodeNormalized); }
std::array<uint16_t, 64> HlgCurveTable() { return CurveTable(HlgInverseOetf); }

Bt2408ToneCurve::Bt2408ToneCurve(const float source[2], const float target[2],
                                 const float weights[3]) {
  source_range[0] = source[0];
  source_range[1] = source[1];
  target_range[0] = target[0];
  target_range[1] = target[1];
  for (int i = 0; i < 3; ++i) luminance_weights[i] = weights[i];
  pq_source_min = PqEncode(source_range[0]);
  pq_source_max = PqEncode(source_range[1]);
  pq_source_span = pq_source_max - pq_source_min;
  inverse_pq_source_span = 1.0f / pq_source_span;
  min_level =
      (PqEncode(target_range[0]) - pq_source_min) * inverse_pq_source_span;
  max_level =
      (PqEncode(target_range[1]) - pq_source_min) * inverse_pq_source_span;
  knee_start = 1.5f * max_level - 0.5f;
  inverse_knee_width = 1.0f / std::max(1.0f - knee_start, 1e-6f);
  normaliser = source_range[1] / target_range[1];
  inverse_target_peak = 1.0f / target_range[1];
}

void Bt2408ToneCurve::Apply(float rgb[3]) const {
  const float luminance = Dot3(luminance_weights, rgb) * source_range[1];
  float e = std::min(
      (PqEncode(luminance) - pq_source_min) * inverse_pq_source_span, 1.0f);
  e = ApplyKnee(e, knee_start, inverse_knee_width, 1.0f - knee_start,
                max_level);
  const float one_minus_e = 1.0f - e;
  const float sq = one_minus_e * one_minus_e;
  e = e + min_level * (sq * sq);
  e = e * pq_source_span + pq_source_min;
  const float nits = std::clamp(PqDecode(e), 0.0f, target_range[1]);
  if (luminance <= 1e-6f) {
    const float v = nits * inverse_target_peak;
    rgb[0] = rgb[1] = rgb[2] = v;
    return;
  }
  const float scale = (nits / luminance) * normaliser;
  for (int i = 0; i < 3; ++i) rgb[i] *= scale;
}

void MapIntoGamut(float rgb[3], const float weights[3], float s) {
  const float y = Dot3(weights, rgb);
  float saturation_mix = 0.0f;
  float luminance_mix = 0.0f;
  for (int i = 0; i < 3; ++i) {
    const float d = rgb[i] - y;
    const float v = d == 0.0f ? 1.0f : 1.0f / d;
    const float q = rgb[i] * v;
    if (d < 0.0f) saturation_mix = std::max(saturation_mix, q);
    luminance_mix = std::max(luminance_mix, d <= 0.0f ? saturation_mix : q - v);
  }
  const float mix = std::clamp(
      luminance_mix + s * (saturation_mix - luminance_mix), 0.0f, 1.0f);
  for (int i = 0; i < 3; ++i) rgb[i] += mix * (y - rgb[i]);
  const float peak = std::max({1.0f, rgb[0], rgb[1], rgb[2]});
  for (int i = 0; i < 3; ++i) rgb[i] /= peak;
}

bool NeedsHdrToneMapLut(const QovColorEncoding& c) {
  if (c.color_space != Raw(ColorSpace::kRgb)) return false;
  if (c.transfer_function != Raw(TransferFunction::kPq) &&
      c.transfer_function != Raw(TransferFunction::kHlg)) {
    return false;
  }
  const bool d65 = c.white_point == Raw(WhitePoint::kD65);
  if (c.primaries == Raw(Primaries::kP3) &&
      (d65 || c.white_point == Raw(WhitePoint::kDci))) {
    return true;
  }
  return d65 && c.primaries != Raw(Primaries::kCustom);
}

Status AppendXybLutAToB(std::vector<uint8_t>* tags) {
  AppendLutHead("mAB ", tags);
  // Offsets of B curves, matrix, M curves, CLUT and A curves; the A and B
  // curves share one block of identity curves.
  for (uint32_t off : {32u, 244u, 148u, 80u, 32u}) AppendBigEndian32(off, tags);
  QOV_RETURN_IF_ERROR(AppendIdentityCurves(3, tags));

  // 2x2x2 CLUT with 16-bit entries, first input varying slowest.
  for (int i = 0; i < 3; ++i) tags->push_back(2);
  for (int i = 0; i < 13; ++i) tags->push_back(0);
  tags->push_back(2);  // precision: 16-bit
  for (int i = 0; i < 3; ++i) tags->push_back(0);
  static constexpr float kClut[8][3] = {
      {0.0f, 0.048927184f, 0.0f},
      {0.0f, 0.048927184f, 0.4405727f},
      {0.95107275f, 1.0f, 0.5594273f},
      {0.95107275f, 1.0f, 0.99999994f},
      {0.048927184f, 0.0f, 0.0f},
      {0.048927184f, 0.0f, 0.4405727f},
      {0.99999994f, 0.9510728f, 0.5594273f},
      {0.99999994f, 0.9510728f, 0.99999994f},
  };
  for (const auto& point : kClut) {
    for (float v : point) {
      AppendBigEndian16(static_cast<uint32_t>(RoundHalfAway(v * 65535.0f)),
                        tags);
    }
  }

  // M curves: (a X + b)^3 above d, with b shifted by the cube root of the
  // opsin bias.
  const float k = std::cbrt(-0.0037930734f);
  const float b0 = -0.015386134f - k;
  const float b1 = -0.028100088f - k;
  const float b2 = -0.2777046f - k;
  const float curves[3][5] = {
      {3.0f, 0.8887947f, b0, 0.0f, std::max(0.0f, -1.1251192f * b0)},
      {3.0f, 0.8887947f, b1, 0.0f, std::max(0.0f, -1.1251192f * b1)},
      {3.0f, 1.5110248f, b2, 0.0f, std::max(0.0f, -0.6618025f * b2)},
  };
  for (const auto& params : curves) {
    QOV_RETURN_IF_ERROR(AppendParametricCurve(params, 3, tags));
  }

  static constexpr float kMatrix[9] = {1.5170095f, -1.1065225f, 0.071623f,
                                       -0.050022f, 0.5683655f,  -0.018344f,
                                       -1.387676f, 1.1145555f,  0.6857255f};
  for (float v : kMatrix) QOV_RETURN_IF_ERROR(AppendS15Fixed16(v, tags));
  // Offsets, already in s15Fixed16 units.
  for (float v : {-119.84427f, -124.2913f, -102.566536f}) {
    AppendBigEndian32(static_cast<uint32_t>(static_cast<int32_t>(
                          RoundHalfAway(v))),
                      tags);
  }
  return OkStatus();
}

Status AppendLutBToA(std::vector<uint8_t>* tags) {
  AppendLutHead("mBA ", tags);
  for (uint32_t off : {32u, 0u, 0u, 0u, 0u}) AppendBigEndian32(off, tags);
  return AppendIdentityCurves(3, tags);
}

Status AppendHdrToneMapLut(const QovColorEncoding& c,
                           std::vector<uint8_t>* tags) {
  constexpr int kGrid = 9;
  AppendSignature("mft1", tags);
  AppendBigEndian32(0, tags);
  tags->push_back(3);
  tags->push_back(3);
  tags->push_back(kGrid);
  tags->push_back(0);
  for (int i = 0; i < 9; ++i) {
    QOV_RETURN_IF_ERROR(AppendS15Fixed16(i % 4 == 0 ? 1.0f : 0.0f, tags));
  }
  for (int t = 0; t < 3; ++t) {
    for (int v = 0; v < 256; ++v) tags->push_back(static_cast<uint8_t>(v));
  }

  const float rx = static_cast<float>(c.primaries_red_xy[0]);
  const float ry = static_cast<float>(c.primaries_red_xy[1]);
  const float gx = static_cast<float>(c.primaries_green_xy[0]);
  const float gy = static_cast<float>(c.primaries_green_xy[1]);
  const float bx = static_cast<float>(c.primaries_blue_xy[0]);
  const float by = static_cast<float>(c.primaries_blue_xy[1]);
  const float wx = static_cast<float>(c.white_point_xy[0]);
  const float wy = static_cast<float>(c.white_point_xy[1]);
  const bool pq = c.transfer_function == Raw(TransferFunction::kPq);

  // The matrices depend only on the encoding; computing them once gives the
  // same bytes as computing them per grid point.
  Matrix3x3 to_xyz;
  QOV_RETURN_IF_ERROR(
      PrimariesToXyzMatrix(rx, ry, gx, gy, bx, by, wx, wy, &to_xyz));
  const float w[3] = {to_xyz[3], to_xyz[4], to_xyz[5]};
  Matrix3x3 adapt;
  QOV_RETURN_IF_ERROR(AdaptToD50Matrix(wx, wy, &adapt));
  Matrix3x3 to_d50;
  Mul3x3(adapt, to_xyz, &to_d50);

  // Knee of a 0..10000 nit to 0..250 nit BT.2408 curve.
  constexpr float kKneeStart = 0.40383872f;
  constexpr float kInverseKneeWidth = 1.6773986f;
  constexpr float kOneMinusKneeStart = 0.59616125f;
  constexpr float kMaxLevel = 0.60255915f;

  for (int ri = 0; ri < kGrid; ++ri) {
    for (int gi = 0; gi < kGrid; ++gi) {
      for (int bi = 0; bi < kGrid; ++bi) {
        float rgb[3] = {static_cast<float>(ri) / 8.0f,
                        static_cast<float>(gi) / 8.0f,
                        static_cast<float>(bi) / 8.0f};
        if (pq) {
          for (float& v : rgb) v = PqDecodeNormalized(v);
          const float luminance = Dot3(w, rgb) * 10000.0f;
          float e = std::min(1.0f, PqEncode(luminance));
          e = ApplyKnee(e, kKneeStart, kInverseKneeWidth, kOneMinusKneeStart,
                        kMaxLevel);
          const float nits = std::clamp(PqDecode(e), 0.0f, 250.0f);
          if (luminance <= 1e-6f) {
            for (float& v : rgb) v = nits * 0.004f;
          } else {
            for (float& v : rgb) v *= nits / luminance * 40.0f;
          }
        } else {
          for (float& v : rgb) v = HlgInverseOetf(v);
          const float y = Dot3(w, rgb);
          const float gain = std::min(std::pow(y, -0.18185866f), 1e9f);
          for (float& v : rgb) v *= gain;
        }
        MapIntoGamut(rgb, w, 0.3f);

        float xyz[3];
        for (int i = 0; i < 3; ++i) {
          xyz[i] = static_cast<float>(
              (static_cast<double>(to_d50[3 * i]) * rgb[0] +
               static_cast<double>(to_d50[3 * i + 1]) * rgb[1]) +
              static_cast<double>(to_d50[3 * i + 2]) * rgb[2]);
        }
        auto f = [](float t) {
          return t <= 0.008856452f ? 7.787036f * t + 0.13793103f : std::cbrt(t);
        };
        const float fx = f(xyz[0] / 0.964212f);
        const float fy = f(xyz[1]);
        const float fz = f(xyz[2] / 0.825188f);
        const float l = std::clamp(1.16f * fy - 0.16f, 0.0f, 1.0f) * 255.0f;
        auto ab_byte = [](float v) -> uint8_t {
          if (v < -128.0f) return 0;
          return static_cast<uint8_t>(RoundHalfAway(std::min(v, 127.0f)) + 128);
        };
        tags->push_back(static_cast<uint8_t>(RoundHalfAway(l)));
        tags->push_back(ab_byte(500.0f * (fx - fy)));
        tags->push_back(ab_byte(200.0f * (fy - fz)));
      }
    }
  }
  for (int t = 0; t < 3; ++t) {
    for (int v = 0; v < 256; ++v) tags->push_back(static_cast<uint8_t>(v));
  }
  return OkStatus();
}

}  // namespace qov
