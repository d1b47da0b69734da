// Per-target DCT column kernels and block transposes. Included by a file
// that runs highway's foreach_target; everything lives in HWY_NAMESPACE.
//
// A column kernel works on one group of Lanes(d) adjacent columns at a time;
// each vector holds one row of the group. The N-point inverse transform
// copies its inputs into its work area (even rows, then odd rows), transforms
// both halves there in place with the N/2-point transform, whose own work
// area follows, and writes the butterflies to the output: (2N - 4) vectors of
// scratch for the whole recursion.
#if defined(QOV_LIB_VARDCT_DCT_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef QOV_LIB_VARDCT_DCT_INL_H_
#undef QOV_LIB_VARDCT_DCT_INL_H_
#else
#define QOV_LIB_VARDCT_DCT_INL_H_
#endif

#include <cstddef>

#include <hwy/highway.h>

#include "lib/vardct/dct.h"
#include "lib/vardct/dct_tables.h"

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Inverse DCT of N vectors held in registers, in place; the same operations
// in the same order as the scratch-based levels below.
template <size_t N, class D, class V>
HWY_INLINE void IdctRegisters(D d, V* x) {
  if constexpr (N == 2) {
    const V a = x[0], b = x[1];
    x[0] = hn::Add(a, b);
    x[1] = hn::Sub(a, b);
  } else if constexpr (N > 2) {
    constexpr size_t h = N / 2;
    V even[h], odd[h];
    for (size_t i = 0; i < h; ++i) even[i] = x[2 * i];
    odd[0] = hn::Mul(x[1], hn::Set(d, kSqrt2));
    for (size_t i = 1; i < h; ++i) odd[i] = hn::Add(x[2 * i + 1], x[2 * i - 1]);
    IdctRegisters<h>(d, even);
    IdctRegisters<h>(d, odd);
    const float* w = DctMultipliers(N);
    for (size_t i = 0; i < h; ++i) {
      const V m = hn::Set(d, w[i]);
      x[i] = hn::MulAdd(odd[i], m, even[i]);
      x[N - 1 - i] = hn::NegMulAdd(odd[i], m, even[i]);
    }
  }
}

// Inverse DCT of N vectors in[i * in_stride] to out[i * out_stride]; in and
// out may be the same area. tmp: (2N - 4) vectors. Up to 16 points the work
// stays in registers; larger levels split into halves in the scratch area.
template <size_t N, class D>
HWY_INLINE void IdctVectors(D d, const float* in, size_t in_stride, float* out,
                            size_t out_stride, float* HWY_RESTRICT tmp) {
  if constexpr (N >= 4 && N <= 16) {
    hn::Vec<D> x[N];
    for (size_t i = 0; i < N; ++i) x[i] = hn::LoadU(d, in + i * in_stride);
    IdctRegisters<N>(d, x);
    for (size_t i = 0; i < N; ++i) hn::StoreU(x[i], d, out + i * out_stride);
  } else if constexpr (N == 1) {
    hn::StoreU(hn::LoadU(d, in), d, out);
  } else if constexpr (N == 2) {
    const auto x0 = hn::LoadU(d, in);
    const auto x1 = hn::LoadU(d, in + in_stride);
    hn::StoreU(hn::Add(x0, x1), d, out);
    hn::StoreU(hn::Sub(x0, x1), d, out + out_stride);
  } else if constexpr (N == 32) {
    // Both 16-point halves in registers; only the even results are parked.
    constexpr size_t h = 16;
    const size_t L = hn::Lanes(d);
    hn::Vec<D> v[h];
    for (size_t i = 0; i < h; ++i) v[i] = hn::LoadU(d, in + 2 * i * in_stride);
    IdctRegisters<h>(d, v);
    for (size_t i = 0; i < h; ++i) hn::StoreU(v[i], d, tmp + i * L);
    v[0] = hn::Mul(hn::LoadU(d, in + in_stride), hn::Set(d, kSqrt2));
    for (size_t i = 1; i < h; ++i) {
      v[i] = hn::Add(hn::LoadU(d, in + (2 * i + 1) * in_stride),
                     hn::LoadU(d, in + (2 * i - 1) * in_stride));
    }
    IdctRegisters<h>(d, v);
    const float* w = DctMultipliers(N);
    for (size_t i = 0; i < h; ++i) {
      const auto e = hn::LoadU(d, tmp + i * L);
      const auto m = hn::Set(d, w[i]);
      hn::StoreU(hn::MulAdd(v[i], m, e), d, out + i * out_stride);
      hn::StoreU(hn::NegMulAdd(v[i], m, e), d, out + (N - 1 - i) * out_stride);
    }
  } else {
    constexpr size_t h = N / 2;
    const size_t L = hn::Lanes(d);
    float* even = tmp;
    float* odd = tmp + h * L;
    for (size_t i = 0; i < h; ++i) {
      hn::StoreU(hn::LoadU(d, in + 2 * i * in_stride), d, even + i * L);
      hn::StoreU(hn::LoadU(d, in + (2 * i + 1) * in_stride), d, odd + i * L);
    }
    IdctVectors<h>(d, even, L, even, L, tmp + N * L);
    // Odd prefix, from the top down so that each sum reads original inputs.
    for (size_t i = h - 1; i >= 1; --i) {
      hn::StoreU(hn::Add(hn::LoadU(d, odd + i * L), hn::LoadU(d, odd + (i - 1) * L)),
                 d, odd + i * L);
    }
    hn::StoreU(hn::Mul(hn::LoadU(d, odd), hn::Set(d, kSqrt2)), d, odd);
    IdctVectors<h>(d, odd, L, odd, L, tmp + N * L);
    const float* w = DctMultipliers(N);
    for (size_t i = 0; i < h; ++i) {
      const auto e = hn::LoadU(d, even + i * L);
      const auto o = hn::LoadU(d, odd + i * L);
      const auto m = hn::Set(d, w[i]);
      hn::StoreU(hn::MulAdd(o, m, e), d, out + i * out_stride);
      hn::StoreU(hn::NegMulAdd(o, m, e), d, out + (N - 1 - i) * out_stride);
    }
  }
}

// Unscaled forward DCT of N vectors, same conventions as IdctVectors.
template <size_t N, class D>
HWY_INLINE void DctVectors(D d, const float* in, size_t in_stride, float* out,
                           size_t out_stride, float* HWY_RESTRICT tmp) {
  if constexpr (N == 1) {
    hn::StoreU(hn::LoadU(d, in), d, out);
  } else if constexpr (N == 2) {
    const auto x0 = hn::LoadU(d, in);
    const auto x1 = hn::LoadU(d, in + in_stride);
    hn::StoreU(hn::Add(x0, x1), d, out);
    hn::StoreU(hn::Sub(x0, x1), d, out + out_stride);
  } else {
    constexpr size_t h = N / 2;
    const size_t L = hn::Lanes(d);
    float* even = tmp;
    float* odd = tmp + h * L;
    const float* c = DctMultipliers(N);
    for (size_t i = 0; i < h; ++i) {
      const auto a = hn::LoadU(d, in + i * in_stride);
      const auto b = hn::LoadU(d, in + (N - 1 - i) * in_stride);
      hn::StoreU(hn::Add(a, b), d, even + i * L);
      hn::StoreU(hn::Mul(hn::Sub(a, b), hn::Set(d, c[i])), d, odd + i * L);
    }
    DctVectors<h>(d, even, L, even, L, tmp + N * L);
    DctVectors<h>(d, odd, L, odd, L, tmp + N * L);
    for (size_t k = 0; k < h; ++k) {
      hn::StoreU(hn::LoadU(d, even + k * L), d, out + 2 * k * out_stride);
    }
    hn::StoreU(hn::MulAdd(hn::Set(d, kSqrt2), hn::LoadU(d, odd),
                          hn::LoadU(d, odd + L)),
               d, out + out_stride);
    for (size_t k = 1; k + 1 < h; ++k) {
      hn::StoreU(hn::Add(hn::LoadU(d, odd + k * L), hn::LoadU(d, odd + (k + 1) * L)),
                 d, out + (2 * k + 1) * out_stride);
    }
    hn::StoreU(hn::LoadU(d, odd + (h - 1) * L), d, out + (N - 1) * out_stride);
  }
}

// Single columns [begin, end); kept out of line, as it is rare and its
// inlined copies only confuse the compiler's loop analysis.
template <class Fn>
HWY_NOINLINE void ForSingleColumns(size_t begin, size_t end, const Fn& group) {
  const hn::CappedTag<float, 1> d1;
  for (size_t x = begin; x < end; ++x) group(d1, x);
}

// Runs `group(d, first_column)` over [0, columns): whole vectors, then a
// 4-lane group where vectors are wider, then single lanes.
template <class Fn>
HWY_INLINE void ForColumnGroups(size_t columns, const Fn& group) {
  const hn::ScalableTag<float> d;
  const hn::CappedTag<float, 4> d4;
  size_t x = 0;
  for (; x + hn::Lanes(d) <= columns; x += hn::Lanes(d)) group(d, x);
  if (hn::Lanes(d4) < hn::Lanes(d)) {
    for (; x + hn::Lanes(d4) <= columns; x += hn::Lanes(d4)) group(d4, x);
  }
  if (x < columns) ForSingleColumns(x, columns, group);
}

template <size_t N>
HWY_INLINE void ColumnIdctN(const FloatBlockView& from, const FloatBlockView& to,
                            size_t columns, float* HWY_RESTRICT scratch) {
  ForColumnGroups(columns, [&](auto d, size_t x) {
    IdctVectors<N>(d, from.data + x, from.stride, to.data + x, to.stride, scratch);
  });
}

// The scaled forward transform: the unscaled one, then every output x 1/N.
template <size_t N>
HWY_INLINE void ColumnDctN(const FloatBlockView& from, const FloatBlockView& to,
                           size_t columns, float* HWY_RESTRICT scratch) {
  ForColumnGroups(columns, [&](auto d, size_t x) {
    float* out = to.data + x;
    DctVectors<N>(d, from.data + x, from.stride, out, to.stride, scratch);
    const auto scale = hn::Set(d, 1.0f / N);
    for (size_t k = 0; k < N; ++k) {
      hn::StoreU(hn::Mul(hn::LoadU(d, out + k * to.stride), scale), d,
                 out + k * to.stride);
    }
  });
}

using ColumnTransformFn = void (*)(const FloatBlockView&, const FloatBlockView&,
                                   size_t, float*);

HWY_INLINE ColumnTransformFn IdctKernel(size_t n) {
  switch (n) {
    case 4: return &ColumnIdctN<4>;
    case 8: return &ColumnIdctN<8>;
    case 16: return &ColumnIdctN<16>;
    case 32: return &ColumnIdctN<32>;
    case 64: return &ColumnIdctN<64>;
    case 128: return &ColumnIdctN<128>;
    case 256: return &ColumnIdctN<256>;
    default: return nullptr;
  }
}

HWY_INLINE ColumnTransformFn DctKernel(size_t n) {
  switch (n) {
    case 1: return &ColumnDctN<1>;
    case 2: return &ColumnDctN<2>;
    case 4: return &ColumnDctN<4>;
    case 8: return &ColumnDctN<8>;
    case 16: return &ColumnDctN<16>;
    case 32: return &ColumnDctN<32>;
    default: return nullptr;
  }
}

HWY_INLINE void CallColumnTransform(ColumnTransformFn kernel,
                                    const FloatBlockView& from,
                                    const FloatBlockView& to, size_t columns,
                                    float* scratch) {
  kernel(from, to, columns, scratch);
}

// to(j, i) = from(i, j): 4x4 register tiles where rows and columns allow,
// single values otherwise.
HWY_INLINE void TransposeTile(const FloatBlockView& from, const FloatBlockView& to,
                              size_t rows, size_t columns) {
#if HWY_TARGET != HWY_SCALAR
  if (rows % 4 == 0 && columns % 4 == 0) {
    const hn::Full128<float> d;
    for (size_t i = 0; i < rows; i += 4) {
      for (size_t j = 0; j < columns; j += 4) {
        const float* src = from.data + i * from.stride + j;
        const auto r0 = hn::LoadU(d, src);
        const auto r1 = hn::LoadU(d, src + from.stride);
        const auto r2 = hn::LoadU(d, src + 2 * from.stride);
        const auto r3 = hn::LoadU(d, src + 3 * from.stride);
        const auto t0 = hn::InterleaveLower(d, r0, r2);
        const auto t1 = hn::InterleaveLower(d, r1, r3);
        const auto t2 = hn::InterleaveUpper(d, r0, r2);
        const auto t3 = hn::InterleaveUpper(d, r1, r3);
        float* dst = to.data + j * to.stride + i;
        hn::StoreU(hn::InterleaveLower(d, t0, t1), d, dst);
        hn::StoreU(hn::InterleaveUpper(d, t0, t1), d, dst + to.stride);
        hn::StoreU(hn::InterleaveLower(d, t2, t3), d, dst + 2 * to.stride);
        hn::StoreU(hn::InterleaveUpper(d, t2, t3), d, dst + 3 * to.stride);
      }
    }
    return;
  }
#endif
  for (size_t i = 0; i < rows; ++i) {
    for (size_t j = 0; j < columns; ++j) {
      to.data[j * to.stride + i] = from.data[i * from.stride + j];
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#endif  // include guard toggle
