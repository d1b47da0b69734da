// SIMD copies of the squeeze kernels. The vertical kernel runs the columns
// of a strip in lanes; the horizontal kernel transposes 8 x 8 tiles so that
// each lane runs one row's chain. Both use the 32-bit form of the tendency,
// which equals the 64-bit rule while every difference stays below 2^30:
// groups whose inputs could reach that use the 64-bit rule instead.
#include "lib/modular/squeeze.h"

#include <algorithm>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/modular/squeeze.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// One pair by the 64-bit rule.
HWY_INLINE void ScalarPair(int64_t average, int64_t next, int64_t before,
                           int64_t residual, int32_t* first_out,
                           int32_t* second_out) {
  const int64_t diff = residual + SqueezeTendency(before, average, next);
  const int64_t first = average + diff / 2;
  *first_out = static_cast<int32_t>(static_cast<uint32_t>(first));
  *second_out = static_cast<int32_t>(static_cast<uint32_t>(first - diff));
}

// Positions [begin, res_width) of one row by the 64-bit rule, then the odd
// last sample.
HWY_INLINE void ScalarRowFrom(const int32_t* a, const int32_t* r, int32_t* o,
                              size_t avg_width, size_t res_width,
                              size_t begin) {
  for (size_t x = begin; x < res_width; ++x) {
    const int64_t next = x + 1 < avg_width ? a[x + 1] : a[x];
    const int64_t before = x > 0 ? o[2 * x - 1] : a[x];
    ScalarPair(a[x], next, before, r[x], &o[2 * x], &o[2 * x + 1]);
  }
  if (avg_width > res_width) o[2 * res_width] = a[avg_width - 1];
}

#if HWY_TARGET != HWY_SCALAR

// Averages and residuals within +-2^27 and a sample before the pair within
// +-2^29 keep every difference of the 32-bit form below 2^30 and the
// outputs within +-2^29, so the next pair qualifies too.
constexpr int32_t kInputLimit = 1 << 27;
constexpr int32_t kBeforeLimit = 1 << 29;

template <class D, class V>
HWY_INLINE auto Within(D d, V v, int32_t limit) {
  // Two comparisons: Abs would keep the smallest value negative.
  return hn::And(hn::Gt(v, hn::Set(d, -limit - 1)),
                 hn::Lt(v, hn::Set(d, limit + 1)));
}

// floor(u / 3) for 0 <= u < 2^31: the high half of u x 0x55555556.
template <class D, class V>
HWY_INLINE V DivideBy3(D d, V u) {
  const hn::RebindToUnsigned<D> du;
  const hn::Repartition<uint64_t, D> d64;
  const auto uu = hn::BitCast(du, u);
  const auto magic = hn::Set(du, 0x55555556u);
  const auto even = hn::MulEven(uu, magic);
  const auto odd = hn::MulEven(
      hn::BitCast(du, hn::ShiftRight<32>(hn::BitCast(d64, uu))), magic);
  const auto high = hn::Or(hn::ShiftRight<32>(even),
                           hn::And(odd, hn::Set(d64, 0xFFFFFFFF00000000ull)));
  return hn::BitCast(d, high);
}

// The tendency in 32-bit lanes: u = |B - a|, v = |B - n|, w = |a - n|;
// d = (floor(u / 3) + v + 2) >> 2, limited by 2u + 1 and 2w as in the
// 64-bit rule, negated when B < n, 0 when not monotonic.
template <class D, class V>
HWY_INLINE V Tendency(D d, V b, V a, V n) {
  const auto u = hn::Abs(hn::Sub(b, a));
  const auto v = hn::Abs(hn::Sub(b, n));
  const auto w = hn::Abs(hn::Sub(a, n));
  const auto one = hn::Set(d, 1);
  auto t = hn::ShiftRight<2>(
      hn::Add(hn::Add(DivideBy3(d, u), v), hn::Set(d, 2)));
  const auto two_u = hn::Add(u, u);
  t = hn::IfThenElse(hn::Gt(hn::Sub(t, hn::And(t, one)), two_u),
                     hn::Add(two_u, one), t);
  const auto two_w = hn::Add(w, w);
  t = hn::IfThenElse(hn::Gt(hn::Add(t, hn::And(t, one)), two_w), two_w, t);
  t = hn::IfThenElse(hn::Lt(b, n), hn::Neg(t), t);
  const auto zero = hn::Zero(d);
  const auto ba = hn::Sub(b, a);
  const auto an = hn::Sub(a, n);
  const auto same_sign =
      hn::Or(hn::And(hn::Gt(ba, zero), hn::Gt(an, zero)),
             hn::And(hn::Lt(ba, zero), hn::Lt(an, zero)));
  const auto monotonic = hn::Or(same_sign, hn::Or(hn::Eq(a, n), hn::Eq(b, a)));
  return hn::IfThenElseZero(monotonic, t);
}

// The pair (first, second) from average a, next n, before b, residual r.
template <class D, class V>
HWY_INLINE void VectorPair(D d, V a, V n, V b, V r, V* first, V* second) {
  const hn::RebindToUnsigned<D> du;
  const auto diff = hn::Add(r, Tendency(d, b, a, n));
  // diff / 2 toward zero: add 1 to negative values before the shift.
  const auto sign = hn::BitCast(d, hn::ShiftRight<31>(hn::BitCast(du, diff)));
  *first = hn::Add(a, hn::ShiftRight<1>(hn::Add(diff, sign)));
  *second = hn::Sub(*first, diff);
}

#endif  // HWY_TARGET != HWY_SCALAR

void SqueezeVerticalStripKernel(const int32_t* avg, size_t avg_stride,
                                const int32_t* res, size_t res_stride,
                                int32_t* out, size_t out_stride,
                                size_t avg_height, size_t res_height,
                                size_t columns) {
#if HWY_TARGET == HWY_SCALAR
  SqueezeVerticalStripScalar(avg, avg_stride, res, res_stride, out, out_stride,
                             avg_height, res_height, columns);
#else
  const hn::ScalableTag<int32_t> d;
  const size_t lanes = hn::Lanes(d);
  for (size_t y = 0; y < res_height; ++y) {
    const int32_t* a = avg + y * avg_stride;
    const int32_t* a_next = y + 1 < avg_height ? a + avg_stride : a;
    const int32_t* r = res + y * res_stride;
    int32_t* o0 = out + 2 * y * out_stride;
    int32_t* o1 = o0 + out_stride;
    const int32_t* before = y > 0 ? o0 - out_stride : a;
    size_t x = 0;
    for (; x + lanes <= columns; x += lanes) {
      const auto va = hn::LoadU(d, a + x);
      const auto vn = hn::LoadU(d, a_next + x);
      const auto vb = hn::LoadU(d, before + x);
      const auto vr = hn::LoadU(d, r + x);
      const auto ok = hn::And(
          hn::And(Within(d, va, kInputLimit), Within(d, vn, kInputLimit)),
          hn::And(Within(d, vr, kInputLimit), Within(d, vb, kBeforeLimit)));
      if (!hn::AllTrue(d, ok)) break;
      hn::Vec<decltype(d)> first, second;
      VectorPair(d, va, vn, vb, vr, &first, &second);
      hn::StoreU(first, d, o0 + x);
      hn::StoreU(second, d, o1 + x);
    }
    // The tail, and the rest of a row whose values left the 32-bit range.
    for (; x < columns; ++x) {
      ScalarPair(a[x], a_next[x], before[x], r[x], &o0[x], &o1[x]);
    }
  }
#endif
}

#if HWY_TARGET != HWY_SCALAR

// Transposes 4 x 4 blocks of 32-bit lanes within each 128-bit block.
template <class D, class V>
HWY_INLINE void Transpose4(D d, V& v0, V& v1, V& v2, V& v3) {
  const hn::Repartition<uint64_t, D> d64;
  const V t0 = hn::InterleaveLower(d, v0, v1);
  const V t1 = hn::InterleaveLower(d, v2, v3);
  const V t2 = hn::InterleaveUpper(d, v0, v1);
  const V t3 = hn::InterleaveUpper(d, v2, v3);
  v0 = hn::BitCast(d, hn::InterleaveLower(d64, hn::BitCast(d64, t0),
                                          hn::BitCast(d64, t1)));
  v1 = hn::BitCast(d, hn::InterleaveUpper(d64, hn::BitCast(d64, t0),
                                          hn::BitCast(d64, t1)));
  v2 = hn::BitCast(d, hn::InterleaveLower(d64, hn::BitCast(d64, t2),
                                          hn::BitCast(d64, t3)));
  v3 = hn::BitCast(d, hn::InterleaveUpper(d64, hn::BitCast(d64, t2),
                                          hn::BitCast(d64, t3)));
}

// Transposes a square of Lanes(d) (4 or 8) vectors in place.
template <class D, class V>
HWY_INLINE void TransposeSquare(D d, V* v) {
  Transpose4(d, v[0], v[1], v[2], v[3]);
  if (hn::Lanes(d) == 8) {
    Transpose4(d, v[4], v[5], v[6], v[7]);
    for (size_t i = 0; i < 4; ++i) {
      const V lo = v[i], hi = v[i + 4];
      v[i] = hn::ConcatLowerLower(d, hi, lo);
      v[i + 4] = hn::ConcatUpperUpper(d, hi, lo);
    }
  }
}

// Loads positions [x0, x0 + 8) of `lanes` rows as 8 column vectors (lane l
// holds row l).
template <class D, class V>
HWY_INLINE void LoadColumns(D d, const int32_t* rows, size_t stride, size_t x0,
                            V* columns) {
  const size_t lanes = hn::Lanes(d);
  for (size_t q = 0; q < 8; q += lanes) {
    for (size_t l = 0; l < lanes; ++l) {
      columns[q + l] = hn::LoadU(d, rows + l * stride + x0 + q);
    }
    TransposeSquare(d, columns + q);
  }
}

// 8 x 8 tiles, each lane running one row's chain; rows == 8 and
// res_width >= 17. With 4 lanes the two groups of 4 rows run side by side,
// so that their chains overlap.
void HorizontalTiles(const int32_t* avg, size_t avg_stride, const int32_t* res,
                     size_t res_stride, int32_t* out, size_t out_stride,
                     size_t avg_width, size_t res_width) {
  const hn::CappedTag<int32_t, 8> d;
  using V = hn::Vec<decltype(d)>;
  const size_t lanes = hn::Lanes(d);
  const size_t groups = 8 / lanes;  // 1 or 2
  // Tiles cover positions [0, 8 tiles); the last 2 to 9 positions of each
  // row are left to the scalar rule.
  const size_t tiles = (res_width - 2) / 8;
  HWY_ALIGN int32_t column[8];
  for (size_t t = 0; t < tiles; ++t) {
    const size_t x0 = 8 * t;
    V a[2][9], r[2][8], o[2][16], before[2];
    bool vector_ok[2] = {false, false};
    for (size_t g = 0; g < groups; ++g) {
      const int32_t* a_rows = avg + g * lanes * avg_stride;
      const int32_t* r_rows = res + g * lanes * res_stride;
      const int32_t* o_rows = out + g * lanes * out_stride;
      LoadColumns(d, a_rows, avg_stride, x0, a[g]);
      LoadColumns(d, r_rows, res_stride, x0, r[g]);
      for (size_t l = 0; l < lanes; ++l) column[l] = a_rows[l * avg_stride + x0 + 8];
      a[g][8] = hn::Load(d, column);
      before[g] = a[g][0];
      if (x0 > 0) {
        for (size_t l = 0; l < lanes; ++l) {
          column[l] = o_rows[l * out_stride + 2 * x0 - 1];
        }
        before[g] = hn::Load(d, column);
      }
      auto ok = hn::And(Within(d, before[g], kBeforeLimit),
                        Within(d, a[g][8], kInputLimit));
      for (size_t i = 0; i < 8; ++i) {
        ok = hn::And(ok, hn::And(Within(d, a[g][i], kInputLimit),
                                 Within(d, r[g][i], kInputLimit)));
      }
      vector_ok[g] = hn::AllTrue(d, ok);
    }
    for (size_t i = 0; i < 8; ++i) {
      for (size_t g = 0; g < groups; ++g) {
        VectorPair(d, a[g][i], a[g][i + 1], before[g], r[g][i], &o[g][2 * i],
                   &o[g][2 * i + 1]);
        before[g] = o[g][2 * i + 1];
      }
    }
    for (size_t g = 0; g < groups; ++g) {
      const int32_t* a_rows = avg + g * lanes * avg_stride;
      const int32_t* r_rows = res + g * lanes * res_stride;
      int32_t* o_rows = out + g * lanes * out_stride;
      if (!vector_ok[g]) {
        // Values that could leave the 32-bit range: the 64-bit rule.
        for (size_t l = 0; l < lanes; ++l) {
          const int32_t* ar = a_rows + l * avg_stride;
          const int32_t* rr = r_rows + l * res_stride;
          int32_t* orow = o_rows + l * out_stride;
          for (size_t x = x0; x < x0 + 8; ++x) {
            ScalarPair(ar[x], ar[x + 1], x > 0 ? orow[2 * x - 1] : ar[x],
                       rr[x], &orow[2 * x], &orow[2 * x + 1]);
          }
        }
        continue;
      }
      for (size_t q = 0; q < 16; q += lanes) {
        TransposeSquare(d, o[g] + q);
        for (size_t l = 0; l < lanes; ++l) {
          hn::StoreU(o[g][q + l], d, o_rows + l * out_stride + 2 * x0 + q);
        }
      }
    }
  }
  for (size_t y = 0; y < 8; ++y) {
    ScalarRowFrom(avg + y * avg_stride, res + y * res_stride,
                  out + y * out_stride, avg_width, res_width, 8 * tiles);
  }
}

#endif  // HWY_TARGET != HWY_SCALAR

void SqueezeHorizontalRowsKernel(const int32_t* avg, size_t avg_stride,
                                 const int32_t* res, size_t res_stride,
                                 int32_t* out, size_t out_stride,
                                 size_t avg_width, size_t res_width,
                                 size_t rows) {
#if HWY_TARGET != HWY_SCALAR
  if (rows == 8 && res_width >= 17) {
    HorizontalTiles(avg, avg_stride, res, res_stride, out, out_stride,
                    avg_width, res_width);
    return;
  }
#endif
  for (size_t y = 0; y < rows; ++y) {
    ScalarRowFrom(avg + y * avg_stride, res + y * res_stride,
                  out + y * out_stride, avg_width, res_width, 0);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(SqueezeHorizontalRowsKernel);
HWY_EXPORT(SqueezeVerticalStripKernel);

void SqueezeHorizontalRows(const int32_t* avg, size_t avg_stride,
                           const int32_t* res, size_t res_stride, int32_t* out,
                           size_t out_stride, size_t avg_width,
                           size_t res_width, size_t rows) {
  if (rows == 0 || avg_width == 0) return;
  HWY_DYNAMIC_DISPATCH(SqueezeHorizontalRowsKernel)
  (avg, avg_stride, res, res_stride, out, out_stride, avg_width, res_width,
   rows);
}

void SqueezeVerticalStrip(const int32_t* avg, size_t avg_stride,
                          const int32_t* res, size_t res_stride, int32_t* out,
                          size_t out_stride, size_t avg_height,
                          size_t res_height, size_t columns) {
  if (columns == 0 || res_height == 0) return;
  HWY_DYNAMIC_DISPATCH(SqueezeVerticalStripKernel)
  (avg, avg_stride, res, res_stride, out, out_stride, avg_height, res_height,
   columns);
}

}  // namespace qov
#endif  // HWY_ONCE
