// SIMD copies of the upsampling row kernel. MulAdd is fused where the
// target has fused multiply-add and a separate multiply and add elsewhere.
#include "lib/render/upsampling.h"

#include <cstddef>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/render/upsampling.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "lib/render/resample_simd-inl.h"

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Per column from x0 - 2 on: the minimum and maximum of the five rows; then
// per pixel of the chunk the extremes of its 5 x 5 neighbourhood: minima to
// lo, maxima over the column minima (read ahead of the writes).
template <class D>
HWY_INLINE void NeighbourhoodRange(D d, const float* const rows[5],
                                   ptrdiff_t x0, size_t len, float* col_min,
                                   float* col_max, float* lo) {
  const size_t lanes = hn::Lanes(d);
  const size_t columns = (len + 4 + lanes - 1) / lanes * lanes;
  for (size_t i = 0; i < columns; i += lanes) {
    const ptrdiff_t c = x0 - 2 + static_cast<ptrdiff_t>(i);
    const auto v0 = hn::LoadU(d, rows[0] + c);
    const auto v1 = hn::LoadU(d, rows[1] + c);
    const auto v2 = hn::LoadU(d, rows[2] + c);
    const auto v3 = hn::LoadU(d, rows[3] + c);
    const auto v4 = hn::LoadU(d, rows[4] + c);
    hn::StoreU(hn::Min(hn::Min(hn::Min(v0, v1), hn::Min(v2, v3)), v4), d,
               col_min + i);
    hn::StoreU(hn::Max(hn::Max(hn::Max(v0, v1), hn::Max(v2, v3)), v4), d,
               col_max + i);
  }
  const size_t whole = (len + lanes - 1) / lanes * lanes;
  for (size_t i = 0; i < whole; i += lanes) {
    auto mn = hn::LoadU(d, col_min + i);
    auto mx = hn::LoadU(d, col_max + i);
    for (size_t k = 1; k < 5; ++k) {
      mn = hn::Min(mn, hn::LoadU(d, col_min + i + k));
      mx = hn::Max(mx, hn::LoadU(d, col_max + i + k));
    }
    hn::StoreU(mn, d, lo + i);
    hn::StoreU(mx, d, col_min + i);
  }
}

// The sum of one phase for the pixels at x: per kernel row the five
// products in order, then the row sums in order.
template <class D>
HWY_INLINE hn::Vec<D> PhaseSum(D d, const float* k, const float* const rows[5],
                               ptrdiff_t x) {
  hn::Vec<D> row_sums[5];
  for (size_t ky = 0; ky < 5; ++ky) {
    const float* r = rows[ky] + x - 2;
    auto p = hn::Mul(hn::Set(d, k[5 * ky]), hn::LoadU(d, r));
    for (size_t kx = 1; kx < 5; ++kx) {
      p = hn::MulAdd(hn::Set(d, k[5 * ky + kx]), hn::LoadU(d, r + kx), p);
    }
    row_sums[ky] = p;
  }
  return hn::Add(
      hn::Add(hn::Add(hn::Add(row_sums[0], row_sums[1]), row_sums[2]),
              row_sums[3]),
      row_sums[4]);
}

template <size_t N, class D>
HWY_INLINE void UpsampleChunk(D d, const float* kernel,
                              const float* const rows[5], float* const* out,
                              size_t x0, size_t len, float* const scratch[3]) {
  const size_t lanes = hn::Lanes(d);
  const ptrdiff_t sx0 = static_cast<ptrdiff_t>(x0);
  NeighbourhoodRange(d, rows, sx0, len, scratch[0], scratch[1], scratch[2]);
  const float* hi_row = scratch[0];
  const float* lo_row = scratch[2];
  const size_t whole = (len + lanes - 1) / lanes * lanes;
  for (size_t py = 0; py < N; ++py) {
    float* dst = out[py] + N * x0;
    for (size_t i = 0; i < whole; i += lanes) {
      const auto lo = hn::LoadU(d, lo_row + i);
      const auto hi = hn::LoadU(d, hi_row + i);
      hn::Vec<D> phases[N];
      for (size_t px = 0; px < N; ++px) {
        const auto s = PhaseSum(d, kernel + (py * N + px) * 25, rows,
                                sx0 + static_cast<ptrdiff_t>(i));
        phases[px] = hn::Min(hn::Max(s, lo), hi);
      }
      InterleaveStreams<N>(d, phases);
      for (size_t j = 0; j < N; ++j) {
        hn::StoreU(phases[j], d, dst + N * i + j * lanes);
      }
    }
  }
}

template <size_t N>
HWY_NOINLINE void UpsampleChunks(const float* kernel, const float* const* rows,
                                 float* const* out, size_t xsize,
                                 float* const* scratch) {
  const hn::ScalableTag<float> d;
  for (size_t x0 = 0; x0 < xsize; x0 += kUpsampleChunk) {
    const size_t len = xsize - x0 < kUpsampleChunk ? xsize - x0 : kUpsampleChunk;
    UpsampleChunk<N>(d, kernel, rows, out, x0, len, scratch);
  }
}

void UpsampleRowKernel(const float* kernel, size_t shift,
                       const float* const* rows, float* const* out,
                       size_t xsize, float* const* scratch) {
  switch (shift) {
    case 1:
      return UpsampleChunks<2>(kernel, rows, out, xsize, scratch);
    case 2:
      return UpsampleChunks<4>(kernel, rows, out, xsize, scratch);
    case 3:
      return UpsampleChunks<8>(kernel, rows, out, xsize, scratch);
    default:
      return;
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(UpsampleRowKernel);

void UpsampleRow(const float* kernel, size_t shift, const float* const rows[5],
                 float* const* out, size_t xsize, float* const scratch[3]) {
  if (xsize == 0) return;
  HWY_DYNAMIC_DISPATCH(UpsampleRowKernel)(kernel, shift, rows, out, xsize,
                                          scratch);
}

}  // namespace qov
#endif  // HWY_ONCE
