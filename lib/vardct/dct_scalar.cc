// Scalar references of the DCT kernels and inverse transforms, written for
// clarity in the documented order of operations (every product and sum
// rounded on its own).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/vardct/dct.h"
#include "lib/vardct/dct_tables.h"
#include "lib/vardct/varblock.h"

namespace qov {
namespace {

// Inverse DCT of n values: even part, odd prefix, odd part, butterflies.
void Idct(const float* x, size_t n, float* out) {
  if (n == 1) {
    out[0] = x[0];
    return;
  }
  if (n == 2) {
    out[0] = x[0] + x[1];
    out[1] = x[0] - x[1];
    return;
  }
  const size_t h = n / 2;
  float even_in[128] = {}, odd_in[128] = {}, even[128], odd[128];
  for (size_t i = 0; i < h; ++i) even_in[i] = x[2 * i];
  Idct(even_in, h, even);
  odd_in[0] = x[1] * kSqrt2;
  for (size_t i = 1; i < h; ++i) odd_in[i] = x[2 * i + 1] + x[2 * i - 1];
  Idct(odd_in, h, odd);
  const float* w = DctMultipliers(n);
  for (size_t i = 0; i < h; ++i) {
    const float p = odd[i] * w[i];
    out[i] = even[i] + p;
    out[n - 1 - i] = even[i] - p;
  }
}

// Unscaled forward DCT of n values.
void Dct(const float* x, size_t n, float* out) {
  if (n == 1) {
    out[0] = x[0];
    return;
  }
  if (n == 2) {
    out[0] = x[0] + x[1];
    out[1] = x[0] - x[1];
    return;
  }
  const size_t h = n / 2;
  float u[16] = {}, w[16] = {}, even[16], odd[16];
  const float* c = DctMultipliers(n);
  for (size_t i = 0; i < h; ++i) {
    u[i] = x[i] + x[n - 1 - i];
    w[i] = (x[i] - x[n - 1 - i]) * c[i];
  }
  Dct(u, h, even);
  Dct(w, h, odd);
  for (size_t k = 0; k < h; ++k) out[2 * k] = even[k];
  out[1] = kSqrt2 * odd[0] + odd[1];
  for (size_t k = 1; k + 1 < h; ++k) out[2 * k + 1] = odd[k] + odd[k + 1];
  out[n - 1] = odd[h - 1];
}

// 2-D inverse DCT of an nh x nv-pixel block, horizontal pass first.
// k(a, b) = k[a * k_stride + b]: a is the horizontal frequency when
// rows_horizontal, else the vertical one.
void InverseDct2D(const float* k, size_t k_stride, bool rows_horizontal,
                  size_t nh, size_t nv, float* out, size_t stride) {
  std::vector<float> t(nh * nv);  // t[x * nv + v]
  float in[256] = {}, res[256];
  for (size_t v = 0; v < nv; ++v) {
    for (size_t u = 0; u < nh; ++u) {
      in[u] = rows_horizontal ? k[u * k_stride + v] : k[v * k_stride + u];
    }
    Idct(in, nh, res);
    for (size_t x = 0; x < nh; ++x) t[x * nv + v] = res[x];
  }
  for (size_t x = 0; x < nh; ++x) {
    Idct(&t[x * nv], nv, res);
    for (size_t y = 0; y < nv; ++y) out[y * stride + x] = res[y];
  }
}

float CellMean(const float* q, size_t cx, size_t cy) {
  const float sx = cx == 0 ? 1.0f : -1.0f;
  const float sy = cy == 0 ? 1.0f : -1.0f;
  return ((q[0] + sy * q[1]) + sx * q[8]) + sx * sy * q[9];
}

void IdentityGrid(const float* q, float* out, size_t stride) {
  for (size_t cy = 0; cy < 2; ++cy) {
    for (size_t cx = 0; cx < 2; ++cx) {
      auto entry = [&](size_t ix, size_t iy) { return q[(cy + 2 * iy) * 8 + cx + 2 * ix]; };
      float e = 0.0f;
      for (size_t iy = 0; iy < 4; ++iy) {
        for (size_t ix = 0; ix < 4; ++ix) {
          if (ix != 0 || iy != 0) e = e + entry(ix, iy);
        }
      }
      const float m = CellMean(q, cx, cy) - e * 0.0625f;
      for (size_t iy = 0; iy < 4; ++iy) {
        for (size_t ix = 0; ix < 4; ++ix) {
          float v = entry(ix, iy) + m;
          if (ix == 0 && iy == 0) v = entry(1, 1) + m;
          if (ix == 1 && iy == 1) v = m;
          out[(4 * cy + iy) * stride + 4 * cx + ix] = v;
        }
      }
    }
  }
}

void Dct2Grid(const float* q, float* out, size_t stride) {
  float a[8][8];
  for (size_t r = 0; r < 8; ++r) {
    for (size_t c = 0; c < 8; ++c) a[r][c] = q[8 * r + c];
  }
  for (size_t s = 2; s <= 8; s *= 2) {
    const size_t h = s / 2;
    float b[8][8];
    for (size_t r = 0; r < 8; ++r) {
      for (size_t c = 0; c < 8; ++c) b[r][c] = a[r][c];
    }
    for (size_t y = 0; y < h; ++y) {
      for (size_t x = 0; x < h; ++x) {
        const float c00 = a[y][x], c01 = a[y][x + h];
        const float c10 = a[y + h][x], c11 = a[y + h][x + h];
        b[2 * y][2 * x] = ((c00 + c01) + c10) + c11;
        b[2 * y][2 * x + 1] = ((c00 + c01) - c10) - c11;
        b[2 * y + 1][2 * x] = ((c00 - c01) + c10) - c11;
        b[2 * y + 1][2 * x + 1] = ((c00 - c01) - c10) + c11;
      }
    }
    for (size_t r = 0; r < 8; ++r) {
      for (size_t c = 0; c < 8; ++c) a[r][c] = b[r][c];
    }
  }
  for (size_t y = 0; y < 8; ++y) {
    for (size_t x = 0; x < 8; ++x) out[y * stride + x] = a[y][x];
  }
}

void Dct4Grid(const float* q, float* out, size_t stride) {
  for (size_t cy = 0; cy < 2; ++cy) {
    for (size_t cx = 0; cx < 2; ++cx) {
      float k[4][4];  // first index horizontal
      for (size_t a = 0; a < 4; ++a) {
        for (size_t b = 0; b < 4; ++b) k[a][b] = q[(cy + 2 * a) * 8 + cx + 2 * b];
      }
      k[0][0] = CellMean(q, cx, cy);
      InverseDct2D(&k[0][0], 4, true, 4, 4, out + 4 * cy * stride + 4 * cx, stride);
    }
  }
}

void Halves(bool wide_halves, const float* q, float* out, size_t stride) {
  for (size_t t = 0; t < 2; ++t) {
    float k[4][8];
    for (size_t a = 0; a < 4; ++a) {
      for (size_t c = 0; c < 8; ++c) k[a][c] = q[(2 * a + t) * 8 + c];
    }
    k[0][0] = t == 0 ? q[0] + q[8] : q[0] - q[8];
    if (wide_halves) {  // a vertical, c horizontal: 8 x 4 pixels
      InverseDct2D(&k[0][0], 8, false, 8, 4, out + 4 * t * stride, stride);
    } else {  // a horizontal, c vertical: 4 x 8 pixels
      InverseDct2D(&k[0][0], 8, true, 4, 8, out + 4 * t, stride);
    }
  }
}

void CornerAdaptive(size_t corner, const float* q, float* out, size_t stride) {
  const size_t ax = corner & 1, ay = corner >> 1;
  const float d0 = ((q[0] + q[8]) + q[1]) * 4.0f;
  const float d1 = (q[0] + q[8]) - q[1];
  const float d2 = q[0] - q[8];
  for (size_t j = 0; j < 16; ++j) {
    float s = d0 * kCornerBasis[j];
    for (size_t i = 1; i < 16; ++i) {
      const float ki = q[16 * (i / 4) + 2 * (i % 4)];
      s = s + ki * kCornerBasis[16 * i + j];
    }
    const size_t row = j / 4, col = j % 4;
    const size_t x = 4 * ax + (ax == 1 ? 3 - col : col);
    const size_t y = 4 * ay + (ay == 1 ? 3 - row : row);
    out[y * stride + x] = s;
  }
  float k4[4][4];  // first index horizontal
  for (size_t a = 0; a < 4; ++a) {
    for (size_t b = 0; b < 4; ++b) k4[a][b] = q[16 * a + 2 * b + 1];
  }
  k4[0][0] = d1;
  InverseDct2D(&k4[0][0], 4, true, 4, 4, out + 4 * ay * stride + 4 * (1 - ax), stride);
  float k8[4][8];  // first index vertical
  for (size_t a = 0; a < 4; ++a) {
    for (size_t c = 0; c < 8; ++c) k8[a][c] = q[(2 * a + 1) * 8 + c];
  }
  k8[0][0] = d2;
  InverseDct2D(&k8[0][0], 8, false, 8, 4, out + 4 * (1 - ay) * stride, stride);
}

}  // namespace

void ColumnIdctScalar(size_t n, const FloatBlockView& from,
                      const FloatBlockView& to, size_t columns) {
  float in[256] = {}, out[256];
  for (size_t x = 0; x < columns; ++x) {
    for (size_t i = 0; i < n; ++i) in[i] = from.data[i * from.stride + x];
    Idct(in, n, out);
    for (size_t i = 0; i < n; ++i) to.data[i * to.stride + x] = out[i];
  }
}

void ColumnDctScalar(size_t n, const FloatBlockView& from,
                     const FloatBlockView& to, size_t columns) {
  float in[32] = {}, out[32];
  for (size_t x = 0; x < columns; ++x) {
    for (size_t i = 0; i < n; ++i) in[i] = from.data[i * from.stride + x];
    Dct(in, n, out);
    for (size_t i = 0; i < n; ++i) to.data[i * to.stride + x] = out[i] * (1.0f / n);
  }
}

void InverseTransformBlockScalar(uint32_t kind, float* coefficients,
                                 float* pixels, size_t pixel_stride) {
  if (kind >= kNumVarBlockKinds) return;
  const VarBlockKind k = static_cast<VarBlockKind>(kind);
  switch (k) {
    case VarBlockKind::IdentityGrid: return IdentityGrid(coefficients, pixels, pixel_stride);
    case VarBlockKind::Dct2Grid: return Dct2Grid(coefficients, pixels, pixel_stride);
    case VarBlockKind::Dct4Grid: return Dct4Grid(coefficients, pixels, pixel_stride);
    case VarBlockKind::Dct8By4Halves: return Halves(true, coefficients, pixels, pixel_stride);
    case VarBlockKind::Dct4By8Halves: return Halves(false, coefficients, pixels, pixel_stride);
    case VarBlockKind::CornerAdaptive0:
    case VarBlockKind::CornerAdaptive1:
    case VarBlockKind::CornerAdaptive2:
    case VarBlockKind::CornerAdaptive3:
      return CornerAdaptive(kind - 14, coefficients, pixels, pixel_stride);
    default: break;
  }
  // DCT kinds: the grid has min(W, H) rows of max(W, H); its rows count the
  // horizontal frequency unless the kind is wide.
  const size_t w = 8 * CoveredBlocksX(k), h = 8 * CoveredBlocksY(k);
  InverseDct2D(coefficients, w > h ? w : h, w <= h, w, h, pixels, pixel_stride);
}

void DcToLowFrequenciesScalar(uint32_t kind, const float* dc, size_t dc_stride,
                              float* coefficients) {
  if (kind >= kNumVarBlockKinds) return;
  const size_t cx = kVarBlockCoveredX[kind], cy = kVarBlockCoveredY[kind];
  const size_t row_len = 8 * (cx > cy ? cx : cy);
  float t[32][32], c[32][32], in[32] = {}, out[32];  // [v][x], [v][u]
  for (size_t x = 0; x < cx; ++x) {  // vertical pass
    for (size_t y = 0; y < cy; ++y) in[y] = dc[y * dc_stride + x];
    Dct(in, cy, out);
    for (size_t v = 0; v < cy; ++v) t[v][x] = out[v] * (1.0f / cy);
  }
  for (size_t v = 0; v < cy; ++v) {  // horizontal pass
    Dct(t[v], cx, out);
    for (size_t u = 0; u < cx; ++u) c[v][u] = out[u] * (1.0f / cx);
  }
  for (size_t v = 0; v < cy; ++v) {
    for (size_t u = 0; u < cx; ++u) {
      if (cx > cy) {
        coefficients[v * row_len + u] =
            c[v][u] * LowFrequencyScale(cy, v) * LowFrequencyScale(cx, u);
      } else {
        coefficients[u * row_len + v] =
            c[v][u] * LowFrequencyScale(cx, u) * LowFrequencyScale(cy, v);
      }
    }
  }
}

}  // namespace qov
