// Per-target inverse transforms of the 27 varblock kinds and the
// low-frequency fill from the DC image. Included (after dct-inl.h) by a file
// that runs highway's foreach_target; the group decoder's per-target body
// calls InverseTransformBlock and DcToLowFrequencies of its own target.
#if defined(QOV_LIB_VARDCT_INVERSE_TRANSFORM_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef QOV_LIB_VARDCT_INVERSE_TRANSFORM_INL_H_
#undef QOV_LIB_VARDCT_INVERSE_TRANSFORM_INL_H_
#else
#define QOV_LIB_VARDCT_INVERSE_TRANSFORM_INL_H_
#endif

#include <cstddef>
#include <cstdint>

#include <hwy/highway.h>

#include "lib/vardct/dct-inl.h"
#include "lib/vardct/dct.h"
#include "lib/vardct/dct_tables.h"
#include "lib/vardct/varblock.h"

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// 2-D inverse DCT of an NH x NV-pixel block (NH across) into out. k holds
// the coefficients contiguously and is used as a work area: with
// rows_horizontal, NH rows (horizontal frequency) of NV; otherwise NV rows
// (vertical frequency) of NH. The horizontal pass always runs first.
// scratch: NH * NV floats, then the column kernels' work area.
template <size_t NH, size_t NV>
HWY_INLINE void InverseDct2D(float* HWY_RESTRICT k, bool rows_horizontal,
                             float* out, size_t out_stride,
                             float* HWY_RESTRICT scratch) {
  float* s = scratch;
  float* work = scratch + NH * NV;
  if (rows_horizontal) {
    CallColumnTransform(&ColumnIdctN<NH>, {NV, k}, {NV, s}, NV, work);
    TransposeTile({NV, s}, {NH, k}, NH, NV);
    CallColumnTransform(&ColumnIdctN<NV>, {NH, k}, {out_stride, out}, NH, work);
  } else {
    TransposeTile({NH, k}, {NV, s}, NV, NH);
    CallColumnTransform(&ColumnIdctN<NH>, {NV, s}, {NV, k}, NV, work);
    TransposeTile({NV, k}, {NH, s}, NH, NV);
    CallColumnTransform(&ColumnIdctN<NV>, {NH, s}, {out_stride, out}, NH, work);
  }
}

// Mean of identity cell (cx, cy) from Q[0], Q[1], Q[8], Q[9].
HWY_INLINE float CellMean(const float* q, size_t cx, size_t cy) {
  const float a = cy == 0 ? q[0] + q[1] : q[0] - q[1];
  const float b = cx == 0 ? a + q[8] : a - q[8];
  return (cx == 0) == (cy == 0) ? b + q[9] : b - q[9];
}

HWY_INLINE void IdentityGridBlock(const float* q, float* out, size_t stride) {
  for (size_t cy = 0; cy < 2; ++cy) {
    for (size_t cx = 0; cx < 2; ++cx) {
      float e = 0.0f;
      for (size_t iy = 0; iy < 4; ++iy) {
        for (size_t ix = 0; ix < 4; ++ix) {
          if (ix == 0 && iy == 0) continue;
          e += q[(cy + 2 * iy) * 8 + cx + 2 * ix];
        }
      }
      const float m = CellMean(q, cx, cy) - e * 0.0625f;
      float* cell = out + 4 * cy * stride + 4 * cx;
      for (size_t iy = 0; iy < 4; ++iy) {
        for (size_t ix = 0; ix < 4; ++ix) {
          float v;
          if (ix == 1 && iy == 1) {
            v = m;
          } else if (ix == 0 && iy == 0) {
            v = q[(cy + 2) * 8 + cx + 2] + m;
          } else {
            v = q[(cy + 2 * iy) * 8 + cx + 2 * ix] + m;
          }
          cell[iy * stride + ix] = v;
        }
      }
    }
  }
}

HWY_INLINE void Dct2GridBlock(const float* q, float* out, size_t stride) {
  float a[64], next[64];
  for (size_t i = 0; i < 64; ++i) a[i] = q[i];
  for (size_t s = 2; s <= 8; s *= 2) {
    const size_t h = s / 2;
    for (size_t i = 0; i < 64; ++i) next[i] = a[i];
    for (size_t y = 0; y < h; ++y) {
      for (size_t x = 0; x < h; ++x) {
        const float c00 = a[y * 8 + x], c01 = a[y * 8 + x + h];
        const float c10 = a[(y + h) * 8 + x], c11 = a[(y + h) * 8 + x + h];
        next[2 * y * 8 + 2 * x] = ((c00 + c01) + c10) + c11;
        next[2 * y * 8 + 2 * x + 1] = ((c00 + c01) - c10) - c11;
        next[(2 * y + 1) * 8 + 2 * x] = ((c00 - c01) + c10) - c11;
        next[(2 * y + 1) * 8 + 2 * x + 1] = ((c00 - c01) - c10) + c11;
      }
    }
    for (size_t i = 0; i < 64; ++i) a[i] = next[i];
  }
  for (size_t y = 0; y < 8; ++y) {
    for (size_t x = 0; x < 8; ++x) out[y * stride + x] = a[y * 8 + x];
  }
}

// The four cells side by side as 16 columns (top cells in columns 0-7,
// bottom cells in 8-15), so that each pass runs over whole vectors and the
// last one writes two output rows of cells at once.
HWY_INLINE void Dct4GridBlock(const float* q, float* out, size_t stride,
                              float* scratch) {
  float* k = scratch;       // 4 rows of 16
  float* s = scratch + 64;  // 4 rows of 16
  float* work = scratch + 128;
  for (size_t cy = 0; cy < 2; ++cy) {
    for (size_t cx = 0; cx < 2; ++cx) {
      const size_t col0 = 8 * cy + 4 * cx;
      for (size_t a = 0; a < 4; ++a) {  // a: horizontal frequency
        for (size_t b = 0; b < 4; ++b) {
          k[a * 16 + col0 + b] = q[(cy + 2 * a) * 8 + cx + 2 * b];
        }
      }
      k[col0] = CellMean(q, cx, cy);
    }
  }
  ColumnIdctN<4>({16, k}, {16, s}, 16, work);
  for (size_t col0 = 0; col0 < 16; col0 += 4) {
    TransposeTile({16, s + col0}, {16, k + col0}, 4, 4);
  }
  ColumnIdctN<4>({16, k}, {stride, out}, 8, work);
  ColumnIdctN<4>({16, k + 8}, {stride, out + 4 * stride}, 8, work);
}

// Half t of the two-halves kinds: K[a][c] = G[2a + t][c], K[0][0] from Q[0]
// and Q[8].
HWY_INLINE void LoadHalf(const float* q, size_t t, float* k) {
  for (size_t a = 0; a < 4; ++a) {
    for (size_t c = 0; c < 8; ++c) k[a * 8 + c] = q[(2 * a + t) * 8 + c];
  }
  k[0] = t == 0 ? q[0] + q[8] : q[0] - q[8];
}

HWY_INLINE void HalvesBlock(bool wide_halves, const float* q, float* out,
                            size_t stride, float* scratch) {
  HWY_ALIGN float k[32];
  for (size_t t = 0; t < 2; ++t) {
    LoadHalf(q, t, k);
    if (wide_halves) {  // 8 x 4 halves, one above the other
      InverseDct2D<8, 4>(k, false, out + 4 * t * stride, stride, scratch);
    } else {  // 4 x 8 halves, side by side
      InverseDct2D<4, 8>(k, true, out + 4 * t, stride, scratch);
    }
  }
}

HWY_INLINE void CornerAdaptiveBlock(size_t corner, const float* q, float* out,
                                    size_t stride, float* scratch) {
  const size_t ax = corner & 1, ay = corner >> 1;
  const float d0 = ((q[0] + q[8]) + q[1]) * 4.0f;
  const float d1 = (q[0] + q[8]) - q[1];
  const float d2 = q[0] - q[8];
  // The corner: a 16 x 16 basis product, mirrored to the outer corner.
  HWY_ALIGN float s[16];
  const hn::CappedTag<float, 4> d;
  for (size_t j = 0; j < 16; j += hn::Lanes(d)) {
    auto acc = hn::Mul(hn::Set(d, d0), hn::LoadU(d, kCornerBasis + j));
    for (size_t i = 1; i < 16; ++i) {
      const float ki = q[16 * (i / 4) + 2 * (i % 4)];
      acc = hn::MulAdd(hn::Set(d, ki), hn::LoadU(d, kCornerBasis + 16 * i + j), acc);
    }
    hn::StoreU(acc, d, s + j);
  }
  for (size_t row = 0; row < 4; ++row) {
    for (size_t col = 0; col < 4; ++col) {
      const size_t x = 4 * ax + (ax == 1 ? 3 - col : col);
      const size_t y = 4 * ay + (ay == 1 ? 3 - row : row);
      out[y * stride + x] = s[4 * row + col];
    }
  }
  // The other 4x4 of the corner rows.
  HWY_ALIGN float k[32];
  for (size_t a = 0; a < 4; ++a) {
    for (size_t b = 0; b < 4; ++b) k[a * 4 + b] = q[2 * a * 8 + 2 * b + 1];
  }
  k[0] = d1;
  InverseDct2D<4, 4>(k, true, out + 4 * ay * stride + 4 * (1 - ax), stride, scratch);
  // The other half.
  for (size_t a = 0; a < 4; ++a) {
    for (size_t c = 0; c < 8; ++c) k[a * 8 + c] = q[(2 * a + 1) * 8 + c];
  }
  k[0] = d2;
  InverseDct2D<8, 4>(k, false, out + 4 * (1 - ay) * stride, stride, scratch);
}

template <size_t W, size_t H>
HWY_INLINE void DctKindBlock(float* q, float* out, size_t stride, float* scratch) {
  InverseDct2D<W, H>(q, W <= H, out, stride, scratch);
}

inline void InverseTransformBlock(uint32_t kind, float* HWY_RESTRICT coefficients,
                                  float* pixels, size_t pixel_stride,
                                  float* HWY_RESTRICT scratch) {
  // The kind enum holds 8 bits: test the range before narrowing, so that
  // 256 and up never alias a real kind.
  if (kind >= kNumVarBlockKinds) return;
  float* q = coefficients;
  switch (static_cast<VarBlockKind>(kind)) {
    case VarBlockKind::Dct8By8: return DctKindBlock<8, 8>(q, pixels, pixel_stride, scratch);
    case VarBlockKind::IdentityGrid: return IdentityGridBlock(q, pixels, pixel_stride);
    case VarBlockKind::Dct2Grid: return Dct2GridBlock(q, pixels, pixel_stride);
    case VarBlockKind::Dct4Grid: return Dct4GridBlock(q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct16By16: return DctKindBlock<16, 16>(q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct32By32: return DctKindBlock<32, 32>(q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct8By16: return DctKindBlock<8, 16>(q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct16By8: return DctKindBlock<16, 8>(q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct8By32: return DctKindBlock<8, 32>(q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct32By8: return DctKindBlock<32, 8>(q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct16By32: return DctKindBlock<16, 32>(q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct32By16: return DctKindBlock<32, 16>(q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct8By4Halves: return HalvesBlock(true, q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct4By8Halves: return HalvesBlock(false, q, pixels, pixel_stride, scratch);
    case VarBlockKind::CornerAdaptive0:
    case VarBlockKind::CornerAdaptive1:
    case VarBlockKind::CornerAdaptive2:
    case VarBlockKind::CornerAdaptive3:
      return CornerAdaptiveBlock(kind - 14, q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct64By64: return DctKindBlock<64, 64>(q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct32By64: return DctKindBlock<32, 64>(q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct64By32: return DctKindBlock<64, 32>(q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct128By128: return DctKindBlock<128, 128>(q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct64By128: return DctKindBlock<64, 128>(q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct128By64: return DctKindBlock<128, 64>(q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct256By256: return DctKindBlock<256, 256>(q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct128By256: return DctKindBlock<128, 256>(q, pixels, pixel_stride, scratch);
    case VarBlockKind::Dct256By128: return DctKindBlock<256, 128>(q, pixels, pixel_stride, scratch);
  }
}

inline void DcToLowFrequencies(uint32_t kind, const float* dc, size_t dc_stride,
                               float* HWY_RESTRICT coefficients,
                               float* HWY_RESTRICT scratch) {
  if (kind >= kNumVarBlockKinds) return;
  const size_t cx = kVarBlockCoveredX[kind], cy = kVarBlockCoveredY[kind];
  if (cx * cy == 1) {
    coefficients[0] = dc[0];
    return;
  }
  const size_t row_len = 8 * (cx > cy ? cx : cy);
  float* d = scratch;                // cy rows of cx, later cx rows of cy
  float* t = scratch + cx * cy;      // the transformed block
  float* work = scratch + 2 * cx * cy;
  for (size_t y = 0; y < cy; ++y) {
    for (size_t x = 0; x < cx; ++x) d[y * cx + x] = dc[y * dc_stride + x];
  }
  CallColumnTransform(DctKernel(cy), {cx, d}, {cx, t}, cx, work);
  TransposeTile({cx, t}, {cy, d}, cy, cx);
  CallColumnTransform(DctKernel(cx), {cy, d}, {cy, t}, cy, work);
  // t[u * cy + v] is C(v, u).
  for (size_t v = 0; v < cy; ++v) {
    for (size_t u = 0; u < cx; ++u) {
      const float c = t[u * cy + v];
      if (cx > cy) {
        coefficients[v * row_len + u] =
            c * LowFrequencyScale(cy, v) * LowFrequencyScale(cx, u);
      } else {
        coefficients[u * row_len + v] =
            c * LowFrequencyScale(cx, u) * LowFrequencyScale(cy, v);
      }
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#endif  // include guard toggle
