// Reference colour row kernels, one sample at a time, in the operation
// order the SIMD copies follow.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "lib/render/color_kernels.h"

namespace qov {
namespace {

float FromBits(uint32_t b) {
  float f;
  std::memcpy(&f, &b, sizeof(f));
  return f;
}
uint32_t ToBits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof(b));
  return b;
}

// P(a) / Q(a), both of degree 4, coefficients from a^4 down.
float Rational(const float p[5], const float q[5], float a) {
  const float num = (((p[0] * a + p[1]) * a + p[2]) * a + p[3]) * a + p[4];
  const float den = (((q[0] * a + q[1]) * a + q[2]) * a + q[3]) * a + q[4];
  return num / den;
}

float Mirrored(float x, float magnitude_result) {
  return std::copysign(magnitude_result, x);
}

float PqEncodeMagnitude(float a) {  // a >= 0, already scaled
  const float r = std::sqrt(std::sqrt(a));
  return r;
}

// The HLG OOTF (or its inverse) factor of one pixel.
float HlgRatio(const float w[3], float exponent, float r, float g, float b) {
  float y = w[0] * r + (w[1] * g + w[2] * b);
  // Raised into the logarithm's domain; a NaN luminance takes the minimum.
  if (!(y >= kHlgMinLuminance)) y = kHlgMinLuminance;
  const float ratio = ApproxExp2Scalar(ApproxLog2Scalar(y) * exponent);
  return std::min(ratio, 1e9f);
}

float GammaSample(float x, float exponent) {
  if (x <= 1e-5f) return 0.0f;
  return ApproxExp2Scalar(ApproxLog2Scalar(x) * exponent);
}

float ToLinearSample(const TransferOp& op, float x) {
  switch (op.kind) {
    case TransferOpKind::kSrgb: {
      const float a = std::fabs(x);
      return Mirrored(x, a <= 0.04045f ? a * 0.07739938f
                                       : Rational(kSrgbDecodeP, kSrgbDecodeQ, a));
    }
    case TransferOpKind::kPq: {
      const float a = std::fabs(x);
      const float u = a * a + a;
      return Mirrored(x, op.pq_inverse_target_scale *
                             Rational(kPqDecodeP, kPqDecodeQ, u));
    }
    case TransferOpKind::kHlg: {
      const float a = std::fabs(x);
      return Mirrored(x, a <= 0.5f ? (a * 0.33333334f) * a
                                   : ApproxExp2Scalar(a * 8.067286f) *
                                             0.003639807f +
                                         0.02372241f);
    }
    case TransferOpKind::k709:
      if (x < 0.081f) return x * 0.22222222f;
      return ApproxExp2Scalar(
          ApproxLog2Scalar(x * 0.9099181f + 0.09008189f) * 2.2222223f);
    case TransferOpKind::kGamma:
      return GammaSample(x, op.gamma_exponent);
    case TransferOpKind::kLinear:
    case TransferOpKind::kInvalid:
      break;
  }
  return x;
}

float FromLinearSample(const TransferOp& op, float x) {
  switch (op.kind) {
    case TransferOpKind::kSrgb: {
      const float a = std::fabs(x);
      const float s = std::sqrt(a);
      return Mirrored(x, a <= 0.0031308f
                             ? a * 12.92f
                             : Rational(kSrgbEncodeP, kSrgbEncodeQ, s));
    }
    case TransferOpKind::kPq: {
      const float a = std::fabs(x);
      const float r = PqEncodeMagnitude(a * op.pq_target_scale);
      return Mirrored(x, a < 0.0001f
                             ? Rational(kPqEncodeSmallP, kPqEncodeSmallQ, r)
                             : Rational(kPqEncodeLargeP, kPqEncodeLargeQ, r));
    }
    case TransferOpKind::kHlg: {
      const float a = std::fabs(x);
      return Mirrored(
          x, a <= 0.083333336f
                 ? std::sqrt(a * 3.0f)
                 : ApproxLog2Scalar(a * 12.0f - 0.28466892f) * 0.12395743f +
                       0.5599107f);
    }
    case TransferOpKind::k709:
      if (x <= 0.018f) return x * 4.5f;
      return ApproxExp2Scalar(ApproxLog2Scalar(x) * 0.45f) * 1.099f - 0.099f;
    case TransferOpKind::kGamma:
      return GammaSample(x, op.gamma_exponent);
    case TransferOpKind::kLinear:
    case TransferOpKind::kInvalid:
      break;
  }
  return x;
}

void PqToneMap(const ToneMapParams& p, float rgb[3]) {
  const float y = p.source_max * (p.pq_weights[0] * rgb[0] +
                                  (p.pq_weights[1] * rgb[1] +
                                   p.pq_weights[2] * rgb[2]));
  const float a = std::fabs(y);
  const float v = PqEncodeMagnitude(a * 1e-4f);
  const float e = std::copysign(
      a < 1e-4f ? Rational(kPqEncodeSmallP, kPqEncodeSmallQ, v)
                : Rational(kPqEncodeLargeP, kPqEncodeLargeQ, v),
      y);
  const float e1 = std::min(1.0f, (e - p.pq_min) * p.inv_range);
  float e2 = e1;
  if (!(e1 < p.knee_start)) {
    const float t = (e1 - p.knee_start) * p.inv_knee;
    const float t2 = t * t;
    const float t3 = t * t2;
    e2 = ((1.0f - 3.0f * t2) + 2.0f * t3) * p.knee_start +
         (((t - 2.0f * t2) + t3) * (1.0f - p.knee_start) +
          (3.0f * t2 - 2.0f * t3) * p.max_lum);
  }
  const float one_minus = 1.0f - e2;
  const float sq = one_minus * one_minus;
  const float e3 = p.min_lum * (sq * sq) + e2;
  const float e4 = p.pq_range * e3 + p.pq_min;
  const float w = e4 * e4 + std::fabs(e4);
  float yn = std::fabs(10000.0f * Rational(kPqDecodeP, kPqDecodeQ, w));
  if (std::signbit(e4)) yn = 0.0f;
  yn = std::min(p.target_max, yn);
  if (y <= 1e-6f) {
    rgb[0] = rgb[1] = rgb[2] = yn * p.inv_target_max;
    return;
  }
  const float ratio = p.ratio * (yn / std::max(y, 1e-6f));
  for (int c = 0; c < 3; ++c) rgb[c] *= ratio;
}

void GamutMap(const float w[3], float rgb[3]) {
  const float y = w[0] * rgb[0] + (w[1] * rgb[1] + w[2] * rgb[2]);
  float lo = 0.0f;
  float hi = 0.0f;
  for (int c = 0; c < 3; ++c) {
    const float gap = rgb[c] - y;
    const float inv = gap == 0.0f ? 1.0f : 1.0f / gap;
    if (gap < 0.0f) lo = std::max(lo, rgb[c] * inv);
    const float hi_c = gap > 0.0f ? rgb[c] * inv - inv : lo;
    hi = std::max(hi, hi_c);
  }
  const float mix = std::min(1.0f, std::max(0.0f, (lo - hi) * 0.1f + hi));
  for (int c = 0; c < 3; ++c) rgb[c] = (y - rgb[c]) * mix + rgb[c];
  const float s =
      1.0f / std::max(std::max(1.0f, rgb[0]), std::max(rgb[1], rgb[2]));
  for (int c = 0; c < 3; ++c) rgb[c] *= s;
}

}  // namespace

float ApproxLog2Scalar(float x) {
  const uint32_t b = ToBits(x);
  const uint32_t e = b - 0x3F2AAAABu;
  const float k = static_cast<float>(static_cast<int32_t>(e) >> 23);
  const float m = FromBits(b - (e & 0xFF800000u)) - 1.0f;
  return ((0.74245876f * m + 1.4287161f) * m - 1.8503833e-06f) /
             ((0.17409343f * m + 1.0096718f) * m + 0.99032813f) +
         k;
}

float ApproxExp2Scalar(float y) {
  // Keeps 2^floor(y) a normal float, its product with the numerator finite
  // and the floor inside int32; NaN takes
  // the lower bound, as in the SIMD copies.
  y = y > 120.0f ? 120.0f : (y >= -126.0f ? y : -126.0f);
  const float f = std::floor(y);
  const float t = y - f;
  const float p = FromBits(
      (static_cast<uint32_t>(static_cast<int32_t>(f)) << 23) + 0x3F800000u);
  const float num = ((t + 10.174907f) * t + 48.86878f) * t + FromBits(0x42C519F0u);
  const float den = ((0.21024296f * t - 0.022232886f) * t - 19.4415f) * t +
                    FromBits(0x42C519F1u);
  return num * p / den;
}

void YCbCrToRgbRowsScalar(float* c0, float* c1, float* c2, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const float cb = c0[i], y = c1[i] + 0.5019608f, cr = c2[i];
    c0[i] = cr * 1.402f + y;
    c1[i] = cr * -0.71413624f + (cb * -0.34413627f + y);
    c2[i] = cb * 1.772f + y;
  }
}

void XybRescaleRowsScalar(float* c0, float* c1, float* c2, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const float x = c0[i], y = c1[i], b = c2[i];
    c0[i] = (x + 0.015386134f) * 22.995789f;
    c1[i] = (y + 0.0f) * 1.1830001f;
    c2[i] = ((b - y) + 0.2777046f) * 1.5021414f;
  }
}

void ToLinearRowsScalar(const TransferOp& op, float* c0, float* c1, float* c2,
                        size_t n) {
  float* rows[3] = {c0, c1, c2};
  for (size_t i = 0; i < n; ++i) {
    for (float* row : rows) row[i] = ToLinearSample(op, row[i]);
    if (op.kind == TransferOpKind::kHlg && op.hlg_apply_ootf) {
      const float ratio = HlgRatio(op.luminances, op.hlg_ootf_exponent, c0[i],
                                   c1[i], c2[i]);
      for (float* row : rows) row[i] *= ratio;
    }
  }
}

void FromLinearRowsScalar(const TransferOp& op, float* c0, float* c1,
                          float* c2, size_t n) {
  float* rows[3] = {c0, c1, c2};
  for (size_t i = 0; i < n; ++i) {
    if (op.kind == TransferOpKind::kHlg && op.hlg_apply_ootf) {
      const float ratio = HlgRatio(op.luminances, op.hlg_ootf_exponent, c0[i],
                                   c1[i], c2[i]);
      for (float* row : rows) row[i] *= ratio;
    }
    for (float* row : rows) row[i] = FromLinearSample(op, row[i]);
  }
}

void ToneMapRowsScalar(const ToneMapParams& p, float* c0, float* c1, float* c2,
                       size_t n) {
  for (size_t i = 0; i < n; ++i) {
    float rgb[3] = {c0[i] * p.pre_scale, c1[i] * p.pre_scale,
                    c2[i] * p.pre_scale};
    if (p.pq) {
      PqToneMap(p, rgb);
    } else if (p.hlg_apply) {
      const float factor =
          HlgRatio(p.hlg_weights, p.hlg_exponent, rgb[0], rgb[1], rgb[2]);
      for (float& v : rgb) v *= factor;
    }
    if (p.gamut) GamutMap(p.gamut_weights, rgb);
    c0[i] = rgb[0] * p.post_scale;
    c1[i] = rgb[1] * p.post_scale;
    c2[i] = rgb[2] * p.post_scale;
  }
}

}  // namespace qov
