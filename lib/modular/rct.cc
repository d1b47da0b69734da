// SIMD copies of the RCT row, one per compiled target.
#include "lib/modular/rct.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/modular/rct.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Positions [begin, end) in groups of Lanes(d): all inputs of a group are
// loaded before any output is stored (the out rows are the in rows).
template <uint32_t kKind, class D>
HWY_INLINE void RctSpan(D d, const int32_t* in0, const int32_t* in1,
                        const int32_t* in2, int32_t* out0, int32_t* out1,
                        int32_t* out2, size_t begin, size_t end) {
  for (size_t x = begin; x < end; x += hn::Lanes(d)) {
    const auto a = hn::LoadU(d, in0 + x);
    const auto b = hn::LoadU(d, in1 + x);
    const auto c = hn::LoadU(d, in2 + x);
    auto r0 = a, r1 = b, r2 = c;
    if constexpr (kKind == 1) {
      r2 = hn::Add(c, a);
    } else if constexpr (kKind == 2) {
      r1 = hn::Add(b, a);
    } else if constexpr (kKind == 3) {
      r1 = hn::Add(b, a);
      r2 = hn::Add(c, a);
    } else if constexpr (kKind == 4) {
      r1 = hn::Add(b, hn::ShiftRight<1>(hn::Add(a, c)));
    } else if constexpr (kKind == 5) {
      r2 = hn::Add(c, a);
      r1 = hn::Add(b, hn::ShiftRight<1>(hn::Add(a, r2)));
    } else if constexpr (kKind == 6) {
      const auto t = hn::Sub(a, hn::ShiftRight<1>(c));
      r1 = hn::Add(c, t);
      r2 = hn::Sub(t, hn::ShiftRight<1>(b));
      r0 = hn::Add(r2, b);
    }
    hn::StoreU(r0, d, out0 + x);
    hn::StoreU(r1, d, out1 + x);
    hn::StoreU(r2, d, out2 + x);
  }
}

template <uint32_t kKind>
HWY_INLINE void RctRow(const int32_t* in0, const int32_t* in1,
                       const int32_t* in2, int32_t* out0, int32_t* out1,
                       int32_t* out2, size_t width) {
  const hn::ScalableTag<int32_t> d;
  const size_t whole = width - width % hn::Lanes(d);
  RctSpan<kKind>(d, in0, in1, in2, out0, out1, out2, 0, whole);
  RctSpan<kKind>(hn::CappedTag<int32_t, 1>(), in0, in1, in2, out0, out1, out2,
                 whole, width);
}

void RctUndoRowKernel(uint32_t kind, const int32_t* in0, const int32_t* in1,
                      const int32_t* in2, int32_t* out0, int32_t* out1,
                      int32_t* out2, size_t width) {
  switch (kind) {
    case 1: return RctRow<1>(in0, in1, in2, out0, out1, out2, width);
    case 2: return RctRow<2>(in0, in1, in2, out0, out1, out2, width);
    case 3: return RctRow<3>(in0, in1, in2, out0, out1, out2, width);
    case 4: return RctRow<4>(in0, in1, in2, out0, out1, out2, width);
    case 5: return RctRow<5>(in0, in1, in2, out0, out1, out2, width);
    case 6: return RctRow<6>(in0, in1, in2, out0, out1, out2, width);
    default: return RctRow<0>(in0, in1, in2, out0, out1, out2, width);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(RctUndoRowKernel);

void RctUndoRow(uint32_t kind, const int32_t* in0, const int32_t* in1,
                const int32_t* in2, int32_t* out0, int32_t* out1,
                int32_t* out2, size_t width) {
  if (width == 0) return;
  HWY_DYNAMIC_DISPATCH(RctUndoRowKernel)
  (kind, in0, in1, in2, out0, out1, out2, width);
}

}  // namespace qov
#endif  // HWY_ONCE
