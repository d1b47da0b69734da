// SIMD copies of the colour row kernels, one per compiled target. MulAdd is
// a fused multiply-add on targets that have one and a separate multiply and
// add elsewhere, which gives the reference's operation order on both.
#include "lib/render/color_kernels.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/render/color_kernels.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

template <class D, class V>
HWY_INLINE V Rational4(D d, const float p[5], const float q[5], V a) {
  auto num = hn::MulAdd(hn::Set(d, p[0]), a, hn::Set(d, p[1]));
  num = hn::MulAdd(num, a, hn::Set(d, p[2]));
  num = hn::MulAdd(num, a, hn::Set(d, p[3]));
  num = hn::MulAdd(num, a, hn::Set(d, p[4]));
  auto den = hn::MulAdd(hn::Set(d, q[0]), a, hn::Set(d, q[1]));
  den = hn::MulAdd(den, a, hn::Set(d, q[2]));
  den = hn::MulAdd(den, a, hn::Set(d, q[3]));
  den = hn::MulAdd(den, a, hn::Set(d, q[4]));
  return hn::Div(num, den);
}

template <class D, class V>
HWY_INLINE V FastLog2(D d, V x) {
  const hn::RebindToSigned<D> di;
  const auto b = hn::BitCast(di, x);
  const auto e = hn::Sub(b, hn::Set(di, 0x3F2AAAAB));
  const auto k = hn::ConvertTo(d, hn::ShiftRight<23>(e));
  const auto mant_bits =
      hn::Sub(b, hn::And(e, hn::Set(di, static_cast<int32_t>(0xFF800000u))));
  const auto m = hn::Sub(hn::BitCast(d, mant_bits), hn::Set(d, 1.0f));
  auto num = hn::MulAdd(hn::Set(d, 0.74245876f), m, hn::Set(d, 1.4287161f));
  num = hn::MulAdd(num, m, hn::Set(d, -1.8503833e-06f));
  auto den = hn::MulAdd(hn::Set(d, 0.17409343f), m, hn::Set(d, 1.0096718f));
  den = hn::MulAdd(den, m, hn::Set(d, 0.99032813f));
  return hn::Add(hn::Div(num, den), k);
}

template <class D, class V>
HWY_INLINE V FastExp2(D d, V y) {
  const hn::RebindToSigned<D> di;
  // Keeps 2^floor(y) a normal float, its product with the numerator finite
  // and the floor inside int32.
  y = hn::Min(hn::Max(y, hn::Set(d, -126.0f)), hn::Set(d, 120.0f));
  const auto f = hn::Floor(y);
  const auto t = hn::Sub(y, f);
  const auto p = hn::BitCast(
      d, hn::Add(hn::ShiftLeft<23>(hn::ConvertTo(di, f)),
                 hn::Set(di, 0x3F800000)));
  auto num = hn::Add(t, hn::Set(d, 10.174907f));
  num = hn::MulAdd(num, t, hn::Set(d, 48.86878f));
  num = hn::MulAdd(num, t, hn::BitCast(d, hn::Set(di, 0x42C519F0)));
  auto den = hn::MulAdd(hn::Set(d, 0.21024296f), t, hn::Set(d, -0.022232886f));
  den = hn::MulAdd(den, t, hn::Set(d, -19.4415f));
  den = hn::MulAdd(den, t, hn::BitCast(d, hn::Set(di, 0x42C519F1)));
  return hn::Div(hn::Mul(num, p), den);
}

// The HLG OOTF (or inverse OOTF) factor, luminance raised to the domain of
// the logarithm approximation first.
template <class D, class V>
HWY_INLINE V HlgRatio(D d, const float w[3], float exponent, V r, V g, V b) {
  auto y = hn::MulAdd(hn::Set(d, w[0]), r,
                      hn::MulAdd(hn::Set(d, w[1]), g,
                                 hn::Mul(hn::Set(d, w[2]), b)));
  // Max(NaN, m) gives m on every target, as in the reference.
  y = hn::Max(y, hn::Set(d, kHlgMinLuminance));
  const auto ratio = FastExp2(d, hn::Mul(FastLog2(d, y), hn::Set(d, exponent)));
  return hn::Min(ratio, hn::Set(d, 1e9f));
}

template <class D, class V>
HWY_INLINE V GammaVec(D d, V x, float exponent) {
  const auto pw = FastExp2(d, hn::Mul(FastLog2(d, x), hn::Set(d, exponent)));
  return hn::IfThenZeroElse(hn::Le(x, hn::Set(d, 1e-5f)), pw);
}

template <class D, class V>
HWY_INLINE V ToLinearVec(D d, const TransferOp& op, V x) {
  const auto a = hn::Abs(x);
  switch (op.kind) {
    case TransferOpKind::kSrgb: {
      const auto lin = hn::Mul(a, hn::Set(d, 0.07739938f));
      const auto pw = Rational4(d, kSrgbDecodeP, kSrgbDecodeQ, a);
      return hn::CopySign(
          hn::IfThenElse(hn::Le(a, hn::Set(d, 0.04045f)), lin, pw), x);
    }
    case TransferOpKind::kPq: {
      const auto u = hn::MulAdd(a, a, a);
      const auto v = hn::Mul(hn::Set(d, op.pq_inverse_target_scale),
                             Rational4(d, kPqDecodeP, kPqDecodeQ, u));
      return hn::CopySign(v, x);
    }
    case TransferOpKind::kHlg: {
      const auto lo = hn::Mul(hn::Mul(a, hn::Set(d, 0.33333334f)), a);
      const auto hi = hn::MulAdd(FastExp2(d, hn::Mul(a, hn::Set(d, 8.067286f))),
                                 hn::Set(d, 0.003639807f),
                                 hn::Set(d, 0.02372241f));
      return hn::CopySign(hn::IfThenElse(hn::Le(a, hn::Set(d, 0.5f)), lo, hi),
                          x);
    }
    case TransferOpKind::k709: {
      const auto lin = hn::Mul(x, hn::Set(d, 0.22222222f));
      const auto base = hn::MulAdd(x, hn::Set(d, 0.9099181f),
                                   hn::Set(d, 0.09008189f));
      const auto pw = FastExp2(
          d, hn::Mul(FastLog2(d, base), hn::Set(d, 2.2222223f)));
      return hn::IfThenElse(hn::Lt(x, hn::Set(d, 0.081f)), lin, pw);
    }
    case TransferOpKind::kGamma:
      return GammaVec(d, x, op.gamma_exponent);
    case TransferOpKind::kLinear:
    case TransferOpKind::kInvalid:
      break;
  }
  return x;
}

template <class D, class V>
HWY_INLINE V FromLinearVec(D d, const TransferOp& op, V x) {
  const auto a = hn::Abs(x);
  switch (op.kind) {
    case TransferOpKind::kSrgb: {
      const auto lin = hn::Mul(a, hn::Set(d, 12.92f));
      const auto pw = Rational4(d, kSrgbEncodeP, kSrgbEncodeQ, hn::Sqrt(a));
      return hn::CopySign(
          hn::IfThenElse(hn::Le(a, hn::Set(d, 0.0031308f)), lin, pw), x);
    }
    case TransferOpKind::kPq: {
      const auto r =
          hn::Sqrt(hn::Sqrt(hn::Mul(a, hn::Set(d, op.pq_target_scale))));
      const auto small = Rational4(d, kPqEncodeSmallP, kPqEncodeSmallQ, r);
      const auto large = Rational4(d, kPqEncodeLargeP, kPqEncodeLargeQ, r);
      return hn::CopySign(
          hn::IfThenElse(hn::Lt(a, hn::Set(d, 0.0001f)), small, large), x);
    }
    case TransferOpKind::kHlg: {
      const auto lo = hn::Sqrt(hn::Mul(a, hn::Set(d, 3.0f)));
      const auto arg = hn::MulAdd(a, hn::Set(d, 12.0f), hn::Set(d, -0.28466892f));
      const auto hi = hn::MulAdd(FastLog2(d, arg), hn::Set(d, 0.12395743f),
                                 hn::Set(d, 0.5599107f));
      return hn::CopySign(
          hn::IfThenElse(hn::Le(a, hn::Set(d, 0.083333336f)), lo, hi), x);
    }
    case TransferOpKind::k709: {
      const auto lin = hn::Mul(x, hn::Set(d, 4.5f));
      const auto pw = hn::MulAdd(
          FastExp2(d, hn::Mul(FastLog2(d, x), hn::Set(d, 0.45f))),
          hn::Set(d, 1.099f), hn::Set(d, -0.099f));
      return hn::IfThenElse(hn::Le(x, hn::Set(d, 0.018f)), lin, pw);
    }
    case TransferOpKind::kGamma:
      return GammaVec(d, x, op.gamma_exponent);
    case TransferOpKind::kLinear:
    case TransferOpKind::kInvalid:
      break;
  }
  return x;
}

// Runs body(d, i) over [0, n): whole vectors, then the tail lane by lane,
// so that exactly n samples are read and written.
template <class Body>
HWY_INLINE void ForRows(size_t n, const Body& body) {
  const hn::ScalableTag<float> d;
  const size_t lanes = hn::Lanes(d);
  const size_t whole = n - n % lanes;
  size_t i = 0;
  for (; i < whole; i += lanes) body(d, i);
  const hn::CappedTag<float, 1> d1;
  for (; i < n; ++i) body(d1, i);
}

void YCbCrKernel(float* HWY_RESTRICT c0, float* HWY_RESTRICT c1,
                 float* HWY_RESTRICT c2, size_t n) {
  ForRows(n, [&](auto d, size_t i) {
    const auto cb = hn::LoadU(d, c0 + i);
    const auto y = hn::Add(hn::LoadU(d, c1 + i), hn::Set(d, 0.5019608f));
    const auto cr = hn::LoadU(d, c2 + i);
    const auto r = hn::MulAdd(cr, hn::Set(d, 1.402f), y);
    const auto g = hn::MulAdd(cr, hn::Set(d, -0.71413624f),
                              hn::MulAdd(cb, hn::Set(d, -0.34413627f), y));
    const auto b = hn::MulAdd(cb, hn::Set(d, 1.772f), y);
    hn::StoreU(r, d, c0 + i);
    hn::StoreU(g, d, c1 + i);
    hn::StoreU(b, d, c2 + i);
  });
}

void XybRescaleKernel(float* HWY_RESTRICT c0, float* HWY_RESTRICT c1,
                      float* HWY_RESTRICT c2, size_t n) {
  ForRows(n, [&](auto d, size_t i) {
    const auto x = hn::LoadU(d, c0 + i);
    const auto y = hn::LoadU(d, c1 + i);
    const auto b = hn::LoadU(d, c2 + i);
    // Not fused on any target.
    hn::StoreU(hn::Mul(hn::Add(x, hn::Set(d, 0.015386134f)),
                       hn::Set(d, 22.995789f)), d, c0 + i);
    hn::StoreU(hn::Mul(hn::Add(y, hn::Set(d, 0.0f)), hn::Set(d, 1.1830001f)),
               d, c1 + i);
    hn::StoreU(hn::Mul(hn::Add(hn::Sub(b, y), hn::Set(d, 0.2777046f)),
                       hn::Set(d, 1.5021414f)), d, c2 + i);
  });
}

void ToLinearKernel(const TransferOp& op, float* HWY_RESTRICT c0,
                    float* HWY_RESTRICT c1, float* HWY_RESTRICT c2, size_t n) {
  if (op.kind == TransferOpKind::kLinear || op.kind == TransferOpKind::kInvalid)
    return;
  const bool ootf = op.kind == TransferOpKind::kHlg && op.hlg_apply_ootf;
  ForRows(n, [&](auto d, size_t i) {
    auto r = ToLinearVec(d, op, hn::LoadU(d, c0 + i));
    auto g = ToLinearVec(d, op, hn::LoadU(d, c1 + i));
    auto b = ToLinearVec(d, op, hn::LoadU(d, c2 + i));
    if (ootf) {
      const auto ratio =
          HlgRatio(d, op.luminances, op.hlg_ootf_exponent, r, g, b);
      r = hn::Mul(r, ratio);
      g = hn::Mul(g, ratio);
      b = hn::Mul(b, ratio);
    }
    hn::StoreU(r, d, c0 + i);
    hn::StoreU(g, d, c1 + i);
    hn::StoreU(b, d, c2 + i);
  });
}

void FromLinearKernel(const TransferOp& op, float* HWY_RESTRICT c0,
                      float* HWY_RESTRICT c1, float* HWY_RESTRICT c2,
                      size_t n) {
  if (op.kind == TransferOpKind::kLinear || op.kind == TransferOpKind::kInvalid)
    return;
  const bool ootf = op.kind == TransferOpKind::kHlg && op.hlg_apply_ootf;
  ForRows(n, [&](auto d, size_t i) {
    auto r = hn::LoadU(d, c0 + i);
    auto g = hn::LoadU(d, c1 + i);
    auto b = hn::LoadU(d, c2 + i);
    if (ootf) {
      const auto ratio =
          HlgRatio(d, op.luminances, op.hlg_ootf_exponent, r, g, b);
      r = hn::Mul(r, ratio);
      g = hn::Mul(g, ratio);
      b = hn::Mul(b, ratio);
    }
    hn::StoreU(FromLinearVec(d, op, r), d, c0 + i);
    hn::StoreU(FromLinearVec(d, op, g), d, c1 + i);
    hn::StoreU(FromLinearVec(d, op, b), d, c2 + i);
  });
}

template <class D, class V>
HWY_INLINE void PqToneMapVec(D d, const ToneMapParams& p, V& r, V& g, V& b) {
  const auto y = hn::Mul(
      hn::Set(d, p.source_max),
      hn::MulAdd(hn::Set(d, p.pq_weights[0]), r,
                 hn::MulAdd(hn::Set(d, p.pq_weights[1]), g,
                            hn::Mul(hn::Set(d, p.pq_weights[2]), b))));
  const auto a = hn::Abs(y);
  const auto v = hn::Sqrt(hn::Sqrt(hn::Mul(a, hn::Set(d, 1e-4f))));
  const auto small = Rational4(d, kPqEncodeSmallP, kPqEncodeSmallQ, v);
  const auto large = Rational4(d, kPqEncodeLargeP, kPqEncodeLargeQ, v);
  const auto e = hn::CopySign(
      hn::IfThenElse(hn::Lt(a, hn::Set(d, 1e-4f)), small, large), y);
  const auto ks = hn::Set(d, p.knee_start);
  const auto one = hn::Set(d, 1.0f);
  const auto e1 = hn::Min(one, hn::Mul(hn::Sub(e, hn::Set(d, p.pq_min)),
                                       hn::Set(d, p.inv_range)));
  const auto t = hn::Mul(hn::Sub(e1, ks), hn::Set(d, p.inv_knee));
  const auto t2 = hn::Mul(t, t);
  const auto t3 = hn::Mul(t, t2);
  const auto two = hn::Set(d, 2.0f);
  const auto three = hn::Set(d, 3.0f);
  const auto h0 = hn::MulAdd(two, t3, hn::NegMulAdd(three, t2, one));
  const auto h1 = hn::Add(hn::NegMulAdd(two, t2, t), t3);
  const auto h2 = hn::NegMulAdd(two, t3, hn::Mul(three, t2));
  const auto knee = hn::MulAdd(
      h0, ks, hn::MulAdd(h1, hn::Sub(one, ks),
                         hn::Mul(h2, hn::Set(d, p.max_lum))));
  const auto e2 = hn::IfThenElse(hn::Lt(e1, ks), e1, knee);
  const auto om = hn::Sub(one, e2);
  const auto sq = hn::Mul(om, om);
  const auto e3 = hn::MulAdd(hn::Set(d, p.min_lum), hn::Mul(sq, sq), e2);
  const auto e4 = hn::MulAdd(hn::Set(d, p.pq_range), e3, hn::Set(d, p.pq_min));
  const auto w = hn::MulAdd(e4, e4, hn::Abs(e4));
  auto yn = hn::Abs(hn::Mul(hn::Set(d, 10000.0f),
                            Rational4(d, kPqDecodeP, kPqDecodeQ, w)));
  const hn::RebindToSigned<D> di;
  const auto negative = hn::RebindMask(
      d, hn::Lt(hn::BitCast(di, e4), hn::Zero(di)));
  yn = hn::IfThenZeroElse(negative, yn);
  yn = hn::Min(hn::Set(d, p.target_max), yn);
  const auto floor_y = hn::Set(d, 1e-6f);
  const auto ratio = hn::Mul(hn::Set(d, p.ratio),
                             hn::Div(yn, hn::Max(y, floor_y)));
  const auto dark = hn::Le(y, floor_y);
  const auto grey = hn::Mul(yn, hn::Set(d, p.inv_target_max));
  r = hn::IfThenElse(dark, grey, hn::Mul(r, ratio));
  g = hn::IfThenElse(dark, grey, hn::Mul(g, ratio));
  b = hn::IfThenElse(dark, grey, hn::Mul(b, ratio));
}

template <class D, class V>
HWY_INLINE void GamutMapVec(D d, const float wt[3], V& r, V& g, V& b) {
  const auto y = hn::MulAdd(hn::Set(d, wt[0]), r,
                            hn::MulAdd(hn::Set(d, wt[1]), g,
                                       hn::Mul(hn::Set(d, wt[2]), b)));
  const auto zero = hn::Zero(d);
  const auto one = hn::Set(d, 1.0f);
  auto lo = zero;
  auto hi = zero;
  V* channels[3] = {&r, &g, &b};
  for (V* c : channels) {
    const auto gap = hn::Sub(*c, y);
    const auto inv = hn::IfThenElse(hn::Eq(gap, zero), one, hn::Div(one, gap));
    const auto frac = hn::Mul(*c, inv);
    lo = hn::IfThenElse(hn::Lt(gap, zero), hn::Max(lo, frac), lo);
    const auto hi_c = hn::IfThenElse(hn::Gt(gap, zero), hn::Sub(frac, inv), lo);
    hi = hn::Max(hi, hi_c);
  }
  const auto mix = hn::Min(
      one, hn::Max(zero, hn::MulAdd(hn::Sub(lo, hi), hn::Set(d, 0.1f), hi)));
  for (V* c : channels) *c = hn::MulAdd(hn::Sub(y, *c), mix, *c);
  const auto s = hn::Div(one, hn::Max(hn::Max(one, r), hn::Max(g, b)));
  r = hn::Mul(r, s);
  g = hn::Mul(g, s);
  b = hn::Mul(b, s);
}

void ToneMapKernel(const ToneMapParams& p, float* HWY_RESTRICT c0,
                   float* HWY_RESTRICT c1, float* HWY_RESTRICT c2, size_t n) {
  ForRows(n, [&](auto d, size_t i) {
    const auto pre = hn::Set(d, p.pre_scale);
    auto r = hn::Mul(hn::LoadU(d, c0 + i), pre);
    auto g = hn::Mul(hn::LoadU(d, c1 + i), pre);
    auto b = hn::Mul(hn::LoadU(d, c2 + i), pre);
    if (p.pq) {
      PqToneMapVec(d, p, r, g, b);
    } else if (p.hlg_apply) {
      const auto f = HlgRatio(d, p.hlg_weights, p.hlg_exponent, r, g, b);
      r = hn::Mul(r, f);
      g = hn::Mul(g, f);
      b = hn::Mul(b, f);
    }
    if (p.gamut) GamutMapVec(d, p.gamut_weights, r, g, b);
    const auto post = hn::Set(d, p.post_scale);
    hn::StoreU(hn::Mul(r, post), d, c0 + i);
    hn::StoreU(hn::Mul(g, post), d, c1 + i);
    hn::StoreU(hn::Mul(b, post), d, c2 + i);
  });
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(YCbCrKernel);
HWY_EXPORT(XybRescaleKernel);
HWY_EXPORT(ToLinearKernel);
HWY_EXPORT(FromLinearKernel);
HWY_EXPORT(ToneMapKernel);

void YCbCrToRgbRows(float* c0, float* c1, float* c2, size_t n) {
  HWY_DYNAMIC_DISPATCH(YCbCrKernel)(c0, c1, c2, n);
}
void XybRescaleRows(float* c0, float* c1, float* c2, size_t n) {
  HWY_DYNAMIC_DISPATCH(XybRescaleKernel)(c0, c1, c2, n);
}
void ToLinearRows(const TransferOp& op, float* c0, float* c1, float* c2,
                  size_t n) {
  HWY_DYNAMIC_DISPATCH(ToLinearKernel)(op, c0, c1, c2, n);
}
void FromLinearRows(const TransferOp& op, float* c0, float* c1, float* c2,
                    size_t n) {
  HWY_DYNAMIC_DISPATCH(FromLinearKernel)(op, c0, c1, c2, n);
}
void ToneMapRows(const ToneMapParams& p, float* c0, float* c1, float* c2,
                 size_t n) {
  HWY_DYNAMIC_DISPATCH(ToneMapKernel)(p, c0, c1, c2, n);
}

}  // namespace qov
#endif  // HWY_ONCE
