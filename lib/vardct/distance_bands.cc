// Interpolation of distance-band weights, one copy per compiled target: four
// columns at a time, with vector copies of the log2 and 2^x approximations.
#include <bit>
#include <cstddef>
#include <cstdint>

#include "lib/vardct/dequant_tables.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/vardct/distance_bands.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

template <class D>
HWY_INLINE hn::Vec<D> Const(D d, uint32_t bits) {
  return hn::BitCast(d, hn::Set(hn::RebindToUnsigned<D>(), bits));
}

// The same steps as TableApproxLog2; MulAdd fuses where the target has FMA.
template <class D>
HWY_INLINE hn::Vec<D> ApproxLog2V(D d, hn::Vec<D> x) {
  const hn::RebindToSigned<D> di;
  const auto b = hn::BitCast(di, x);
  const auto e = hn::Add(b, hn::BitCast(di, hn::Set(hn::RebindToUnsigned<D>(), 0xC0D55555u)));
  const auto exponent = hn::ConvertTo(d, hn::ShiftRight<23>(e));
  const auto high = hn::And(e, hn::BitCast(di, hn::Set(hn::RebindToUnsigned<D>(), 0xFF800000u)));
  const auto u = hn::Sub(hn::BitCast(d, hn::Sub(b, high)), hn::Set(d, 1.0f));
  const auto num = hn::MulAdd(hn::MulAdd(Const(d, 0x3F3E11C7u), u, Const(d, 0x3FB6E02Bu)), u,
                              Const(d, 0xB5F85AB0u));
  const auto den = hn::MulAdd(hn::MulAdd(Const(d, 0x3E32458Cu), u, Const(d, 0x3F813CEDu)), u,
                              Const(d, 0x3F7D8625u));
  return hn::Add(hn::Div(num, den), exponent);
}

template <class D>
HWY_INLINE hn::Vec<D> ApproxPow2V(D d, hn::Vec<D> y) {
  const hn::RebindToSigned<D> di;
  const auto fl = hn::Floor(y);
  const auto clamped = hn::Min(hn::Max(fl, hn::Set(d, -1000.0f)), hn::Set(d, 1000.0f));
  const auto bits = hn::Add(hn::ShiftLeft<23>(hn::ConvertTo(di, clamped)),
                            hn::Set(di, 0x3F800000));
  const auto scale = hn::BitCast(d, bits);
  const auto f = hn::Sub(y, fl);
  const auto num = hn::MulAdd(hn::MulAdd(hn::Add(f, Const(d, 0x4122CC6Bu)), f,
                                         Const(d, 0x424379A1u)),
                              f, Const(d, 0x42C519F0u));
  const auto den = hn::MulAdd(
      hn::MulAdd(hn::MulAdd(Const(d, 0x3E5749EEu), f, Const(d, 0xBCB621BEu)), f,
                 Const(d, 0xC19B8831u)),
      f, Const(d, 0x42C519F1u));
  return hn::Div(hn::Mul(num, scale), den);
}

// One channel table of rows x columns from bands[0 .. n), n >= 2.
void DistanceBandRows(size_t rows, size_t columns, const float* bands, size_t n,
                      float* out) {
  const hn::CappedTag<float, 4> d;
  const size_t L = hn::Lanes(d);
  const float base = static_cast<float>(n - 1) / std::bit_cast<float>(0x3FB504FBu);
  const float row_scale = base / static_cast<float>(rows - 1);
  const float col_scale = base / static_cast<float>(columns - 1);
  HWY_ALIGN float column[4], dist[4], lo[4], hi[4];
  for (size_t k = 0; k < rows; ++k) {
    const auto dy = hn::Set(d, static_cast<float>(k) * row_scale);
    for (size_t j = 0; j < columns; j += L) {
      for (size_t l = 0; l < L; ++l) column[l] = static_cast<float>(j + l);
      const auto dx = hn::Mul(hn::Load(d, column), hn::Set(d, col_scale));
      const auto dist_v = hn::Sqrt(hn::MulAdd(dx, dx, hn::Mul(dy, dy)));
      hn::Store(dist_v, d, dist);
      for (size_t l = 0; l < L; ++l) {
        size_t i = static_cast<size_t>(dist[l]);
        if (i > n - 2) i = n - 2;
        lo[l] = bands[i];
        hi[l] = bands[i + 1];
        column[l] = dist[l] - static_cast<float>(i);
      }
      const auto a = hn::Load(d, lo);
      const auto y = hn::Mul(ApproxLog2V(d, hn::Div(hn::Load(d, hi), a)), hn::Load(d, column));
      hn::StoreU(hn::Mul(ApproxPow2V(d, y), a), d, out + k * columns + j);
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(DistanceBandRows);

void DistanceBandRowsDispatch(size_t rows, size_t columns, const float* bands,
                              size_t n, float* out) {
  HWY_DYNAMIC_DISPATCH(DistanceBandRows)(rows, columns, bands, n, out);
}

}  // namespace qov
#endif  // HWY_ONCE
