// Per-target vector copy of ApproxLog2 (fused multiply-adds where the target
// has them). Include inside HWY_NAMESPACE code after hwy/highway.h.
#if defined(QOV_LIB_ENCODE_APPROX_LOG2_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef QOV_LIB_ENCODE_APPROX_LOG2_INL_H_
#undef QOV_LIB_ENCODE_APPROX_LOG2_INL_H_
#else
#define QOV_LIB_ENCODE_APPROX_LOG2_INL_H_
#endif

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {

template <class DF, class V>
HWY_INLINE V ApproxLog2Vec(DF df, V x) {
  namespace hn = hwy::HWY_NAMESPACE;
  const hn::RebindToUnsigned<DF> du;
  const hn::RebindToSigned<DF> di;
  const auto b = hn::BitCast(du, x);
  const auto e = hn::Sub(b, hn::Set(du, 0x3F2AAAABu));
  const auto k =
      hn::ConvertTo(df, hn::ShiftRight<23>(hn::BitCast(di, e)));
  const auto mb = hn::Sub(b, hn::And(e, hn::Set(du, 0xFF800000u)));
  const auto m = hn::Sub(hn::BitCast(df, mb), hn::Set(df, 1.0f));
  auto p = hn::MulAdd(hn::Set(df, 0.74245876f), m, hn::Set(df, 1.4287161f));
  p = hn::MulAdd(p, m, hn::Set(df, -1.8503833e-06f));
  auto q = hn::MulAdd(hn::Set(df, 0.17409343f), m, hn::Set(df, 1.0096718f));
  q = hn::MulAdd(q, m, hn::Set(df, 0.99032813f));
  return hn::Add(hn::Div(p, q), k);
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#endif  // include guard toggle
