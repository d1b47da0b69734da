// Per-target helpers of the resampling kernels: interleaving whole vectors
// into consecutive outputs. Included inside HWY_NAMESPACE once per target.
#if defined(QOV_LIB_RENDER_RESAMPLE_SIMD_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef QOV_LIB_RENDER_RESAMPLE_SIMD_INL_H_
#undef QOV_LIB_RENDER_RESAMPLE_SIMD_INL_H_
#else
#define QOV_LIB_RENDER_RESAMPLE_SIMD_INL_H_
#endif

#include <cstddef>

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// first, second = a0 b0 a1 b1 ... over the full width (Interleave* works
// per 128-bit block; wider vectors put the blocks back in order).
template <class D, class V>
HWY_INLINE void Zip2(D d, V a, V b, V* first, V* second) {
#if HWY_TARGET == HWY_SCALAR
  (void)d;
  *first = a;
  *second = b;
#else
  const V lo = hn::InterleaveLower(d, a, b);
  const V hi = hn::InterleaveUpper(d, a, b);
  if (hn::Lanes(d) > 4) {
    *first = hn::ConcatLowerLower(d, hi, lo);
    *second = hn::ConcatUpperUpper(d, hi, lo);
  } else {
    *first = lo;
    *second = hi;
  }
#endif
}

// v[0..N-1] hold N streams of one vector each (lane i of stream j belongs
// at position N * i + j); on return v[0..N-1] are those N * lanes outputs in
// order. N is 2, 4 or 8: log2 N rounds zipping stream j with j + M / 2.
template <size_t N, class D>
HWY_INLINE void InterleaveStreams(D d, hn::Vec<D>* v) {
  size_t streams = N;
  size_t length = 1;  // vectors per stream
  while (streams > 1) {
    hn::Vec<D> next[N];
    const size_t half = streams / 2;
    for (size_t s = 0; s < half; ++s) {
      for (size_t k = 0; k < length; ++k) {
        Zip2(d, v[s * length + k], v[(s + half) * length + k],
             &next[s * 2 * length + 2 * k], &next[s * 2 * length + 2 * k + 1]);
      }
    }
    for (size_t j = 0; j < N; ++j) v[j] = next[j];
    streams = half;
    length *= 2;
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#endif  // include guard
