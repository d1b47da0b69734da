// SIMD copies of the pixel output conversions, one per compiled target.
// Whole vectors first, then the tail one lane at a time with the same
// operations, so every target gives the scalar reference's bytes.
#include "lib/render/pixel_pack.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/render/pixel_pack.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// v clamped to [0, scale] with NaN giving 0, as integers rounded to even.
template <class D>
HWY_INLINE hn::Vec<hn::RebindToSigned<D>> ClampRoundVec(D d, hn::Vec<D> s,
                                                        hn::Vec<D> scale) {
  s = hn::IfThenElseZero(hn::Eq(s, s), s);
  s = hn::Min(hn::Max(s, hn::Zero(d)), scale);
  return hn::NearestInt(s);
}

template <class D, class DO, class VO>
HWY_INLINE void StoreChannels(DO dout, size_t nc, const VO* v,
                              hn::TFromD<DO>* out) {
  switch (nc) {
    case 1:
      hn::StoreU(v[0], dout, out);
      break;
    case 2:
      hn::StoreInterleaved2(v[0], v[1], dout, out);
      break;
    case 3:
      hn::StoreInterleaved3(v[0], v[1], v[2], dout, out);
      break;
    default:
      hn::StoreInterleaved4(v[0], v[1], v[2], v[3], dout, out);
      break;
  }
}

template <class D>
HWY_INLINE void Uint8Span(D d, const float* const* rows, size_t nc,
                          size_t begin, size_t end, float scale_f, size_t x,
                          size_t y, uint8_t* out) {
  static constexpr size_t kRowOffset[4] = {0, 13, 26, 7};
  static constexpr size_t kColumnOffset[4] = {0, 23, 14, 5};
  const hn::Rebind<uint8_t, D> du8;
  const auto scale = hn::Set(d, scale_f);
  const float* dither = OrderedDitherMatrix();
  for (size_t i = begin; i < end; i += hn::Lanes(d)) {
    hn::Vec<decltype(du8)> v[4];
    for (size_t c = 0; c < nc; ++c) {
      const float* drow =
          dither + ((y + kRowOffset[c]) % 32) * kDitherStride;
      const auto dv = hn::LoadU(d, drow + (x + i + kColumnOffset[c]) % 32);
      const auto p = hn::Mul(hn::LoadU(d, rows[c] + i), scale);
      v[c] = hn::DemoteTo(du8, ClampRoundVec(d, hn::Add(p, dv), scale));
    }
    StoreChannels<D>(du8, nc, v, out + i * nc);
  }
}

template <class D>
HWY_INLINE void Uint16Span(D d, const float* const* rows, size_t nc,
                           size_t begin, size_t end, float scale_f,
                           uint16_t* out) {
  const hn::Rebind<uint16_t, D> du16;
  const auto scale = hn::Set(d, scale_f);
  for (size_t i = begin; i < end; i += hn::Lanes(d)) {
    hn::Vec<decltype(du16)> v[4];
    for (size_t c = 0; c < nc; ++c) {
      const auto p = hn::Mul(hn::LoadU(d, rows[c] + i), scale);
      v[c] = hn::DemoteTo(du16, ClampRoundVec(d, p, scale));
    }
    StoreChannels<D>(du16, nc, v, out + i * nc);
  }
}

// The binary16 bits of v (see FloatToHalfScalar), as int32 lanes.
template <class D>
HWY_INLINE hn::Vec<hn::RebindToSigned<D>> HalfBits(D d, hn::Vec<D> v) {
  const hn::RebindToSigned<D> di;
  const auto b = hn::BitCast(di, v);
  const auto e = hn::And(hn::ShiftRight<23>(b), hn::Set(di, 0xFF));
  const auto k = hn::Max(hn::Min(hn::Add(e, hn::Set(di, 13)), hn::Set(di, 255)),
                         hn::Set(di, 126));
  const auto sign = hn::And(b, hn::Set(di, static_cast<int32_t>(0x80000000u)));
  const auto m = hn::BitCast(d, hn::Or(sign, hn::ShiftLeft<23>(k)));
  const auto r = hn::Add(v, m);
  const auto rb = hn::BitCast(di, r);
  const auto sum =
      hn::Add(k, hn::And(hn::ShiftRight<10>(rb), hn::Set(di, 0xFF)));
  const auto limit = hn::Set(di, 157);
  const auto exponent = hn::Sub(hn::Min(sum, limit), hn::Set(di, 126));
  auto mantissa = hn::And(rb, hn::Set(di, 0x3FF));
  mantissa = hn::IfThenZeroElse(hn::Gt(sum, hn::Set(di, 156)), mantissa);
  mantissa = hn::IfThenElse(hn::RebindMask(di, hn::IsNaN(r)),
                            hn::Set(di, 0x3FF), mantissa);
  const auto top = hn::And(hn::ShiftRight<16>(rb), hn::Set(di, 0x8000));
  return hn::Or(top, hn::Or(hn::ShiftLeft<10>(exponent), mantissa));
}

template <class D>
HWY_INLINE void Float16Span(D d, const float* const* rows, size_t nc,
                            size_t begin, size_t end, uint16_t* out) {
  const hn::Rebind<uint16_t, D> du16;
  for (size_t i = begin; i < end; i += hn::Lanes(d)) {
    hn::Vec<decltype(du16)> v[4];
    for (size_t c = 0; c < nc; ++c) {
      v[c] = hn::DemoteTo(du16, HalfBits(d, hn::LoadU(d, rows[c] + i)));
    }
    StoreChannels<D>(du16, nc, v, out + i * nc);
  }
}

void PackUint8Kernel(const float* const* rows, size_t nc, size_t count,
                     float scale, size_t x, size_t y, uint8_t* out) {
  const hn::ScalableTag<float> d;
  const size_t whole = count - count % hn::Lanes(d);
  Uint8Span(d, rows, nc, 0, whole, scale, x, y, out);
  Uint8Span(hn::CappedTag<float, 1>(), rows, nc, whole, count, scale, x, y,
            out);
}

void PackUint16Kernel(const float* const* rows, size_t nc, size_t count,
                      float scale, uint16_t* out) {
  const hn::ScalableTag<float> d;
  const size_t whole = count - count % hn::Lanes(d);
  Uint16Span(d, rows, nc, 0, whole, scale, out);
  Uint16Span(hn::CappedTag<float, 1>(), rows, nc, whole, count, scale, out);
}

void PackFloat16Kernel(const float* const* rows, size_t nc, size_t count,
                       uint16_t* out) {
  const hn::ScalableTag<float> d;
  const size_t whole = count - count % hn::Lanes(d);
  Float16Span(d, rows, nc, 0, whole, out);
  Float16Span(hn::CappedTag<float, 1>(), rows, nc, whole, count, out);
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(PackUint8Kernel);
HWY_EXPORT(PackUint16Kernel);
HWY_EXPORT(PackFloat16Kernel);

void PackUint8Dithered(const float* const* rows, size_t num_channels,
                       size_t count, float scale, size_t x, size_t y,
                       uint8_t* out) {
  HWY_DYNAMIC_DISPATCH(PackUint8Kernel)
  (rows, num_channels, count, scale, x, y, out);
}

void PackUint16(const float* const* rows, size_t num_channels, size_t count,
                float scale, uint16_t* out) {
  HWY_DYNAMIC_DISPATCH(PackUint16Kernel)(rows, num_channels, count, scale, out);
}

void PackFloat16(const float* const* rows, size_t num_channels, size_t count,
                 uint16_t* out) {
  HWY_DYNAMIC_DISPATCH(PackFloat16Kernel)(rows, num_channels, count, out);
}

}  // namespace qov
#endif  // HWY_ONCE
