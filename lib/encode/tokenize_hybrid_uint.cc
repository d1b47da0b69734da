// SIMD copies of the hybrid-uint tokeniser, one per compiled target.
#include "lib/encode/tokenize_hybrid_uint.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/encode/tokenize_hybrid_uint.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// One vector of values to tokens; returns the per-lane extra bit counts.
template <class D, class V>
HWY_INLINE V TokenizeVector(D d, V v, uint32_t e, uint32_t m, uint32_t l,
                            V* token) {
  const hn::RebindToSigned<D> di;
  const hn::Rebind<float, D> df;
  // floor(log2 v) from the float exponent; v' < 2^22 converts exactly.
  const auto big = hn::Gt(v, hn::Set(d, 0x3FFFFFu));
  const V shifted = hn::IfThenElse(big, hn::ShiftRight<10>(v), v);
  const auto f = hn::ConvertTo(df, hn::BitCast(di, shifted));
  const V fbits = hn::BitCast(d, f);
  const V n = hn::Add(hn::Sub(hn::ShiftRight<23>(fbits), hn::Set(d, 127u)),
                      hn::IfThenElseZero(big, hn::Set(d, 10u)));
  // The m bits below the leading one are the top of the float mantissa.
  const V msb = hn::And(hn::ShiftRightSame(fbits, static_cast<int>(23 - m)),
                        hn::Set(d, (1u << m) - 1));
  const V lsb = hn::And(v, hn::Set(d, (1u << l) - 1));
  V tok = hn::Add(hn::Set(d, 1u << e),
                  hn::ShiftLeftSame(hn::Sub(n, hn::Set(d, e)),
                                    static_cast<int>(m + l)));
  tok = hn::Add(tok, hn::Add(hn::ShiftLeftSame(msb, static_cast<int>(l)), lsb));
  const auto small = hn::Lt(v, hn::Set(d, 1u << e));
  *token = hn::IfThenElse(small, v, tok);
  return hn::IfThenZeroElse(small, hn::Sub(n, hn::Set(d, m + l)));
}

uint32_t TokenizeKernel(const uint32_t* HWY_RESTRICT values, size_t count,
                        uint32_t e, uint32_t m, uint32_t l,
                        uint32_t* HWY_RESTRICT tokens) {
  const hn::ScalableTag<uint32_t> d;
  const size_t lanes = hn::Lanes(d);
  auto sum = hn::Zero(d);
  size_t i = 0;
  for (; i + lanes <= count; i += lanes) {
    hn::Vec<decltype(d)> tok;
    sum = hn::Add(sum, TokenizeVector(d, hn::LoadU(d, values + i), e, m, l,
                                      &tok));
    hn::StoreU(tok, d, tokens + i);
  }
  if (i < count) {
    // Whole-vector tail: the caller padded both arrays.
    hn::Vec<decltype(d)> tok;
    const auto extra = TokenizeVector(d, hn::LoadU(d, values + i), e, m, l,
                                      &tok);
    sum = hn::Add(sum, hn::IfThenElseZero(hn::FirstN(d, count - i), extra));
    hn::StoreU(tok, d, tokens + i);
  }
  return hn::GetLane(hn::SumOfLanes(d, sum));
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "lib/base/memory.h"

namespace qov {

HWY_EXPORT(TokenizeKernel);

bool TokenizerKernelConfig(const UintSplitConfig& config, uint32_t* e,
                           uint32_t* m, uint32_t* l) {
  const uint32_t ce = config.split_exponent;
  const uint32_t cm = config.msb_in_token;
  const uint32_t cl = config.lsb_in_token;
  *e = ce;
  switch (ce) {
    case 0: *m = 0; *l = 0; return true;
    case 2: *m = 0; *l = 1; return true;
    case 3:
      if (cm == 1) { *m = 1; *l = cl == 0 ? 0 : 2; }
      else { *m = 2; *l = cl == 0 ? 0 : 1; }
      return true;
    case 4:
      if (cm == 1) { *m = 1; *l = cl == 0 ? 0 : (cl == 2 ? 2 : 3); }
      else { *m = 2; *l = cl <= 1 ? cl : 2; }
      return true;
    case 5:
      if (cm == 1) { *m = 1; *l = cl == 0 ? 0 : (cl == 2 ? 2 : 4); }
      else { *m = 2; *l = cl <= 2 ? cl : 3; }
      return true;
    case 6:
      if (cm == 0) { *m = 0; *l = 0; }
      else if (cm == 1) { *m = 1; *l = 5; }
      else { *m = 2; *l = 4; }
      return true;
    default:
      if (ce >= 7 && ce <= 12) { *m = 0; *l = 0; return true; }
      return false;
  }
}

uint32_t TokenizeHybridUint(const uint32_t* values, size_t count,
                            UintSplitConfig config, uint32_t* tokens) {
  uint32_t e, m, l;
  if (!TokenizerKernelConfig(config, &e, &m, &l)) return kTokenizeUnsupported;
  if (count == 0) return 0;
  return HWY_DYNAMIC_DISPATCH(TokenizeKernel)(values, count, e, m, l, tokens);
}

uint32_t TokenizeHybridUint(const uint32_t* values, size_t count,
                            UintSplitConfig config, AlignedBlock* block) {
  return TokenizeHybridUint(values, count, config,
                            reinterpret_cast<uint32_t*>(block->data()));
}

}  // namespace qov
#endif  // HWY_ONCE
