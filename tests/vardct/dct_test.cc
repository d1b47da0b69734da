// DCT column kernels, transposes, the inverse transforms of the 27 varblock
// kinds and the low-frequency fill: scalar references against direct
// double-precision formulas, and every compiled target against the scalar
// references (bit for bit where no multiply-add is fused), with guard zones.
#include "lib/vardct/dct.h"

#include <hwy/highway.h>
#include <hwy/tests/hwy_gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "gtest/gtest.h"
#include "lib/vardct/dct_tables.h"
#include "lib/vardct/varblock.h"

namespace qov {
namespace {

constexpr float kGuard = -7777.0f;
constexpr double kPi = 3.14159265358979323846;

// b_N(k, n) of the inverse transforms.
double Basis(size_t n_points, size_t k, size_t n) {
  if (k == 0) return 1.0;
  return std::sqrt(2.0) * std::cos((2.0 * n + 1.0) * k * kPi / (2.0 * n_points));
}

std::vector<float> RandomFloats(size_t n, uint32_t seed, float range = 1.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-range, range);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

double L1(const float* v, size_t n) {
  double s = 0;
  for (size_t i = 0; i < n; ++i) s += std::fabs(v[i]);
  return s;
}

double L2(const float* v, size_t n) {
  double s = 0;
  for (size_t i = 0; i < n; ++i) s += double{v[i]} * v[i];
  return std::sqrt(s);
}

// Targets that fuse a product with the following addition.
bool TargetFuses(int64_t target) {
  return (target & (HWY_AVX2 | HWY_AVX3 | HWY_AVX3_DL)) != 0;
}

// Aligned float storage for scratch areas (the kernels may use aligned
// vector accesses there), with guard floats after the requested size.
struct Scratch {
  explicit Scratch(size_t n) : storage(n + 64 + 16, kGuard), size(n) {}
  float* data() {
    auto p = reinterpret_cast<uintptr_t>(storage.data());
    return reinterpret_cast<float*>((p + 63) & ~uintptr_t{63});
  }
  bool GuardIntact() {
    for (size_t i = size; i < size + 16; ++i) {
      if (data()[i] != kGuard) return false;
    }
    return true;
  }
  std::vector<float> storage;
  size_t size;
};

// An output plane with a guard margin of `m` floats on every side.
struct GuardedPlane {
  GuardedPlane(size_t w, size_t h, size_t m = 9)
      : width(w), height(h), margin(m), stride(w + 2 * m + 3),
        data((h + 2 * m) * (w + 2 * m + 3), kGuard) {}
  float* origin() { return data.data() + margin * stride + margin; }
  float at(size_t x, size_t y) { return origin()[y * stride + x]; }
  // True when nothing outside the w x h rectangle was written.
  bool GuardIntact() const {
    for (size_t y = 0; y < height + 2 * margin; ++y) {
      for (size_t x = 0; x < stride; ++x) {
        const bool inside = y >= margin && y < margin + height && x >= margin &&
                            x < margin + width;
        if (!inside && data[y * stride + x] != kGuard) return false;
      }
    }
    return true;
  }
  size_t width, height, margin, stride;
  std::vector<float> data;
};

size_t KindWidth(uint32_t kind) { return 8 * size_t{kVarBlockCoveredX[kind]}; }
size_t KindHeight(uint32_t kind) { return 8 * size_t{kVarBlockCoveredY[kind]}; }
bool IsDctKind(uint32_t kind) {
  return kind == 0 || (kind >= 4 && kind <= 11) || kind >= 18;
}

// ---------------------------------------------------------------------------
// One-dimensional kernels.

TEST(ColumnIdctScalarTest, MatchesDirectFormula) {
  for (size_t n = 4; n <= 256; n *= 2) {
    const size_t columns = 3;
    std::vector<float> in = RandomFloats(n * columns, static_cast<uint32_t>(n));
    std::vector<float> out(n * columns);
    ColumnIdctScalar(n, {columns, in.data()}, {columns, out.data()}, columns);
    for (size_t x = 0; x < columns; ++x) {
      double l1 = 0;
      for (size_t k = 0; k < n; ++k) l1 += std::fabs(in[k * columns + x]);
      for (size_t m = 0; m < n; ++m) {
        double want = 0;
        for (size_t k = 0; k < n; ++k) want += in[k * columns + x] * Basis(n, k, m);
        ASSERT_NEAR(out[m * columns + x], want, 2e-6 * l1 * std::log2(n))
            << "n " << n << " column " << x << " output " << m;
      }
    }
  }
}

TEST(ColumnIdctScalarTest, KnownValues) {
  for (size_t n = 4; n <= 256; n *= 2) {  // DC only: flat
    std::vector<float> in(n, 0.0f), out(n);
    in[0] = 0.75f;
    ColumnIdctScalar(n, {1, in.data()}, {1, out.data()}, 1);
    for (float v : out) ASSERT_EQ(v, 0.75f) << n;
  }
  float in4[4] = {0, 1, 0, 0}, out4[4];
  ColumnIdctScalar(4, {1, in4}, {1, out4}, 1);
  const float want4[4] = {1.306563f, 0.5411961f, -0.5411961f, -1.306563f};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(out4[i], want4[i], 1e-6f);
  float in8[8] = {0, 1}, out8[8];
  ColumnIdctScalar(8, {1, in8}, {1, out8}, 1);
  EXPECT_NEAR(out8[0], 1.3870398f, 1e-6f);
  EXPECT_NEAR(out8[7], -1.3870398f, 1e-6f);
}

TEST(ColumnDctScalarTest, MatchesDirectFormulaAndInvertsIdct) {
  for (size_t n = 1; n <= 32; n *= 2) {
    std::vector<float> in = RandomFloats(n, static_cast<uint32_t>(n) + 7);
    std::vector<float> out(n);
    ColumnDctScalar(n, {1, in.data()}, {1, out.data()}, 1);
    for (size_t k = 0; k < n; ++k) {
      double want = 0;
      for (size_t i = 0; i < n; ++i) want += in[i] * Basis(n, k, i);
      ASSERT_NEAR(out[k], want / n, 1e-6 * std::max<size_t>(n, 4)) << n << " " << k;
    }
    if (n >= 4) {  // forward then inverse gives the input back
      std::vector<float> back(n);
      ColumnIdctScalar(n, {1, out.data()}, {1, back.data()}, 1);
      for (size_t i = 0; i < n; ++i) ASSERT_NEAR(back[i], in[i], 1e-5) << n;
    }
  }
}

class DctKernelTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(DctKernelTest);

TEST_P(DctKernelTest, ColumnIdctMatchesScalar) {
  const bool exact = !TargetFuses(GetParam());
  for (size_t n = 4; n <= 256; n *= 2) {
    for (size_t columns : {0, 1, 3, 4, 8, 12, 16, 20}) {
      const size_t stride = 24;  // columns past `columns` are guards
      std::vector<float> in = RandomFloats(n * stride, static_cast<uint32_t>(n + columns));
      std::vector<float> ref((n + 2) * stride, kGuard), got((n + 2) * stride, kGuard);
      Scratch scratch(ColumnIdctScratchFloats(n));
      ColumnIdctScalar(n, {stride, in.data()}, {stride, ref.data() + stride}, columns);
      ColumnIdct(n, {stride, in.data()}, {stride, got.data() + stride}, columns,
                 scratch.data());
      ASSERT_TRUE(scratch.GuardIntact()) << n;
      for (size_t i = 0; i < got.size(); ++i) {
        const size_t row = i / stride, col = i % stride;
        if (row == 0 || row > n || col >= columns) {
          ASSERT_EQ(got[i], kGuard) << "n " << n << " wrote outside at " << i;
        } else if (exact) {
          ASSERT_EQ(got[i], ref[i]) << "n " << n << " columns " << columns;
        } else {
          ASSERT_NEAR(got[i], ref[i], 1e-5 * std::log2(n) * (1 + std::fabs(ref[i])));
        }
      }
    }
  }
}

TEST_P(DctKernelTest, ColumnDctMatchesScalar) {
  const bool exact = !TargetFuses(GetParam());
  for (size_t n = 1; n <= 32; n *= 2) {
    for (size_t columns : {1, 2, 4, 5, 8, 16, 32}) {
      std::vector<float> in = RandomFloats(n * 32, static_cast<uint32_t>(n * 31 + columns));
      std::vector<float> ref(n * 32, kGuard), got(n * 32, kGuard);
      Scratch scratch(ColumnIdctScratchFloats(32));
      ColumnDctScalar(n, {32, in.data()}, {32, ref.data()}, columns);
      ColumnDct(n, {32, in.data()}, {32, got.data()}, columns, scratch.data());
      for (size_t i = 0; i < got.size(); ++i) {
        if (exact || i % 32 >= columns) {
          ASSERT_EQ(got[i], ref[i]) << n << " " << columns << " " << i;
        } else {
          ASSERT_NEAR(got[i], ref[i], 1e-6f);
        }
      }
    }
  }
}

TEST_P(DctKernelTest, TransposeMovesEveryValue) {
  const size_t shapes[][2] = {{4, 4}, {8, 16}, {16, 8}, {8, 32}, {32, 256}, {3, 5}, {1, 8}};
  for (const auto& shape : shapes) {
    const size_t rows = shape[0], columns = shape[1];
    std::vector<float> in = RandomFloats(rows * (columns + 1), 5);
    std::vector<float> t((columns + 1) * (rows + 2), kGuard);
    TransposeFloatTile({columns + 1, in.data()}, {rows + 2, t.data()}, rows, columns);
    for (size_t j = 0; j < columns + 1; ++j) {
      for (size_t i = 0; i < rows + 2; ++i) {
        const float want = (j < columns && i < rows) ? in[i * (columns + 1) + j] : kGuard;
        ASSERT_EQ(t[j * (rows + 2) + i], want) << rows << "x" << columns;
      }
    }
    std::vector<float> back(rows * (columns + 1), kGuard);
    TransposeFloatTile({rows + 2, t.data()}, {columns + 1, back.data()}, columns, rows);
    for (size_t i = 0; i < rows; ++i) {
      for (size_t j = 0; j < columns; ++j) {
        ASSERT_EQ(back[i * (columns + 1) + j], in[i * (columns + 1) + j]);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Inverse transforms of the varblock kinds.

// Double-precision pixels of a DCT kind: the product of the two bases.
std::vector<double> DctKindPixels(uint32_t kind, const std::vector<float>& q) {
  const size_t w = KindWidth(kind), h = KindHeight(kind);
  const size_t len = std::max(w, h);
  const bool wide = w > h;
  // Separable: first sum over the horizontal frequency.
  std::vector<double> t(w * h, 0.0);  // t[x * h + v]
  for (size_t r = 0; r < std::min(w, h); ++r) {
    for (size_t c = 0; c < len; ++c) {
      const double g = q[r * len + c];
      if (g == 0) continue;
      const size_t u = wide ? c : r, v = wide ? r : c;
      for (size_t x = 0; x < w; ++x) t[x * h + v] += g * Basis(w, u, x);
    }
  }
  std::vector<double> p(w * h, 0.0);
  for (size_t x = 0; x < w; ++x) {
    for (size_t v = 0; v < h; ++v) {
      for (size_t y = 0; y < h; ++y) p[y * w + x] += t[x * h + v] * Basis(h, v, y);
    }
  }
  return p;
}

// Double-precision pixels of the separable sub-blocks of the special kinds:
// k(a, b) with a the horizontal frequency of an nh x nv-pixel block.
void AddBlock(const std::vector<double>& k, size_t nh, size_t nv, size_t x0,
              size_t y0, std::vector<double>* p) {
  for (size_t y = 0; y < nv; ++y) {
    for (size_t x = 0; x < nh; ++x) {
      double s = 0;
      for (size_t a = 0; a < nh; ++a) {
        for (size_t b = 0; b < nv; ++b) s += k[a * nv + b] * Basis(nh, a, x) * Basis(nv, b, y);
      }
      (*p)[(y0 + y) * 8 + x0 + x] = s;
    }
  }
}

double CellMeanD(const std::vector<float>& q, size_t cx, size_t cy) {
  const double sx = cx ? -1 : 1, sy = cy ? -1 : 1;
  return q[0] + sy * q[1] + sx * q[8] + sx * sy * q[9];
}

// The special kinds in their plain mathematical form.
std::vector<double> SpecialKindPixels(uint32_t kind, const std::vector<float>& q) {
  std::vector<double> p(64, 0.0);
  auto g = [&](size_t r, size_t c) { return static_cast<double>(q[8 * r + c]); };
  if (kind == 1) {
    for (size_t cy = 0; cy < 2; ++cy) {
      for (size_t cx = 0; cx < 2; ++cx) {
        double e = 0;
        for (size_t i = 1; i < 16; ++i) e += g(cy + 2 * (i / 4), cx + 2 * (i % 4));
        const double m = CellMeanD(q, cx, cy) - e / 16;
        for (size_t iy = 0; iy < 4; ++iy) {
          for (size_t ix = 0; ix < 4; ++ix) {
            double v = g(cy + 2 * iy, cx + 2 * ix) + m;
            if (ix == 0 && iy == 0) v = g(cy + 2, cx + 2) + m;
            if (ix == 1 && iy == 1) v = m;
            p[(4 * cy + iy) * 8 + 4 * cx + ix] = v;
          }
        }
      }
    }
  } else if (kind == 2) {
    // Each step is a 2x2 Hadamard of the S/2-spaced entries.
    std::vector<double> a(q.begin(), q.end());
    for (size_t s = 2; s <= 8; s *= 2) {
      std::vector<double> b = a;
      const size_t h = s / 2;
      for (size_t y = 0; y < h; ++y) {
        for (size_t x = 0; x < h; ++x) {
          for (size_t dy = 0; dy < 2; ++dy) {
            for (size_t dx = 0; dx < 2; ++dx) {
              double v = 0;
              for (size_t j = 0; j < 2; ++j) {
                for (size_t i = 0; i < 2; ++i) {
                  // Column offsets split the output rows, row offsets the columns.
                  const double sign = ((dx & j) ^ (dy & i)) ? -1 : 1;
                  v += sign * a[(y + j * h) * 8 + x + i * h];
                }
              }
              b[(2 * y + dy) * 8 + 2 * x + dx] = v;
            }
          }
        }
      }
      a = b;
    }
    p = a;
  } else if (kind == 3) {
    for (size_t cy = 0; cy < 2; ++cy) {
      for (size_t cx = 0; cx < 2; ++cx) {
        std::vector<double> k(16);
        for (size_t a = 0; a < 4; ++a) {
          for (size_t b = 0; b < 4; ++b) k[a * 4 + b] = g(cy + 2 * a, cx + 2 * b);
        }
        k[0] = CellMeanD(q, cx, cy);
        AddBlock(k, 4, 4, 4 * cx, 4 * cy, &p);
      }
    }
  } else if (kind == 12 || kind == 13) {
    for (size_t t = 0; t < 2; ++t) {
      std::vector<double> k(32);  // k[a][c]
      for (size_t a = 0; a < 4; ++a) {
        for (size_t c = 0; c < 8; ++c) k[a * 8 + c] = g(2 * a + t, c);
      }
      k[0] = t == 0 ? g(0, 0) + g(1, 0) : g(0, 0) - g(1, 0);
      if (kind == 13) {
        AddBlock(k, 4, 8, 4 * t, 0, &p);
      } else {  // the first index is vertical: transpose into (c, a)
        std::vector<double> kt(32);
        for (size_t a = 0; a < 4; ++a) {
          for (size_t c = 0; c < 8; ++c) kt[c * 4 + a] = k[a * 8 + c];
        }
        AddBlock(kt, 8, 4, 0, 4 * t, &p);
      }
    }
  } else {
    const size_t corner = kind - 14, ax = corner & 1, ay = corner >> 1;
    const double d0 = (g(0, 0) + g(1, 0) + g(0, 1)) * 4;
    for (size_t j = 0; j < 16; ++j) {
      double s = d0 * 0.25;
      for (size_t i = 1; i < 16; ++i) {
        s += g(2 * (i / 4), 2 * (i % 4)) * kCornerBasis[16 * i + j];
      }
      const size_t row = j / 4, col = j % 4;
      p[(4 * ay + (ay ? 3 - row : row)) * 8 + 4 * ax + (ax ? 3 - col : col)] = s;
    }
    std::vector<double> k4(16);
    for (size_t a = 0; a < 4; ++a) {
      for (size_t b = 0; b < 4; ++b) k4[a * 4 + b] = g(2 * a, 2 * b + 1);
    }
    k4[0] = g(0, 0) + g(1, 0) - g(0, 1);
    AddBlock(k4, 4, 4, 4 * (1 - ax), 4 * ay, &p);
    std::vector<double> kt(32);
    for (size_t a = 0; a < 4; ++a) {
      for (size_t c = 0; c < 8; ++c) kt[c * 4 + a] = g(2 * a + 1, c);
    }
    kt[0] = g(0, 0) - g(1, 0);
    AddBlock(kt, 8, 4, 0, 4 * (1 - ay), &p);
  }
  return p;
}

std::vector<double> KindPixels(uint32_t kind, const std::vector<float>& q) {
  return IsDctKind(kind) ? DctKindPixels(kind, q) : SpecialKindPixels(kind, q);
}

TEST(InverseTransformScalarTest, RandomBlocksMatchTheFormulas) {
  for (uint32_t kind = 0; kind < kNumVarBlockKinds; ++kind) {
    const size_t w = KindWidth(kind), h = KindHeight(kind);
    if (w * h > 128 * 128) continue;  // the double model is cubic; 256 below
    std::vector<float> q = RandomFloats(w * h, kind + 100);
    const std::vector<double> want = KindPixels(kind, q);
    std::vector<float> coeffs = q;
    GuardedPlane out(w, h);
    InverseTransformBlockScalar(kind, coeffs.data(), out.origin(), out.stride);
    ASSERT_TRUE(out.GuardIntact()) << kind;
    const double tol = 4e-7 * L1(q.data(), q.size()) + 1e-5;
    for (size_t y = 0; y < h; ++y) {
      for (size_t x = 0; x < w; ++x) {
        ASSERT_NEAR(out.at(x, y), want[y * w + x], tol)
            << "kind " << kind << " pixel " << x << "," << y;
      }
    }
  }
}

// One coefficient at a time, every position of the low 8x8 corner and a few
// beyond, against the formulas (this pins orientation and indexing).
TEST(InverseTransformScalarTest, SingleCoefficientBlocks) {
  for (uint32_t kind = 0; kind < kNumVarBlockKinds; ++kind) {
    const size_t w = KindWidth(kind), h = KindHeight(kind);
    const size_t len = std::max(w, h);
    std::vector<size_t> positions;
    for (size_t r = 0; r < 8; ++r) {
      for (size_t c = 0; c < 8; ++c) positions.push_back(r * len + c);
    }
    positions.push_back(w * h - 1);
    positions.push_back(len - 1);
    for (size_t pos : positions) {
      std::vector<float> q(w * h, 0.0f);
      q[pos] = 1.0f;
      std::vector<double> want(w * h);
      if (IsDctKind(kind)) {  // one product of the two bases
        const size_t r = pos / len, c = pos % len;
        const size_t u = w > h ? c : r, v = w > h ? r : c;
        for (size_t y = 0; y < h; ++y) {
          for (size_t x = 0; x < w; ++x) want[y * w + x] = Basis(w, u, x) * Basis(h, v, y);
        }
      } else {
        want = SpecialKindPixels(kind, q);
      }
      GuardedPlane out(w, h);
      InverseTransformBlockScalar(kind, q.data(), out.origin(), out.stride);
      for (size_t y = 0; y < h; ++y) {
        for (size_t x = 0; x < w; ++x) {
          ASSERT_NEAR(out.at(x, y), want[y * w + x], 1e-4)
              << "kind " << kind << " coefficient " << pos << " pixel " << x << "," << y;
        }
      }
    }
  }
}

TEST(InverseTransformScalarTest, KnownPatterns) {
  struct Case {
    uint32_t kind;
    size_t coefficient;
    // Expected sign pattern per quadrant row/column: +1, -1 or 0.
    int top_left, top_right, bottom_left, bottom_right;
  };
  const Case kCases[] = {
      {1, 8, 1, -1, 1, -1},  {2, 8, 1, -1, 1, -1},  {3, 8, 1, -1, 1, -1},
      {13, 8, 1, -1, 1, -1}, {12, 8, 1, 1, -1, -1}, {14, 8, 1, 1, -1, -1},
      {1, 1, 1, 1, -1, -1},  {2, 1, 1, 1, -1, -1},  {14, 1, 1, -1, 0, 0},
      {17, 1, 0, 0, -1, 1},
  };
  for (const Case& c : kCases) {
    std::vector<float> q(64, 0.0f);
    q[c.coefficient] = 1.0f;
    GuardedPlane out(8, 8);
    InverseTransformBlockScalar(c.kind, q.data(), out.origin(), out.stride);
    const int want[2][2] = {{c.top_left, c.top_right}, {c.bottom_left, c.bottom_right}};
    for (size_t y = 0; y < 8; ++y) {
      for (size_t x = 0; x < 8; ++x) {
        EXPECT_NEAR(out.at(x, y), want[y / 4][x / 4], 1e-6)
            << "kind " << c.kind << " Q[" << c.coefficient << "] at " << x << "," << y;
      }
    }
  }
  // Dct16By8 with only Q[1]: the 16-point basis along every row.
  std::vector<float> q(128, 0.0f);
  q[1] = 1.0f;
  GuardedPlane wide(16, 8);
  InverseTransformBlockScalar(7, q.data(), wide.origin(), wide.stride);
  EXPECT_NEAR(wide.at(0, 5), 1.4074f, 1e-4f);
  EXPECT_NEAR(wide.at(2, 7), 1.2472f, 1e-4f);
  // The corner basis shows through, mirrored for the opposite corner.
  std::vector<float> c2(64, 0.0f);
  c2[2] = 1.0f;
  GuardedPlane corner(8, 8);
  InverseTransformBlockScalar(17, c2.data(), corner.origin(), corner.stride);
  EXPECT_FLOAT_EQ(corner.at(7, 7), 0.87690294f);
  EXPECT_FLOAT_EQ(corner.at(6, 7), 0.2206518f);
  EXPECT_FLOAT_EQ(corner.at(0, 0), 0.0f);
  // Identity cell entry (1, 1) moves to sample (0, 0).
  std::vector<float> id(64, 0.0f);
  id[18] = 1.0f;
  GuardedPlane ident(8, 8);
  InverseTransformBlockScalar(1, id.data(), ident.origin(), ident.stride);
  EXPECT_FLOAT_EQ(ident.at(0, 0), 0.9375f);
  EXPECT_FLOAT_EQ(ident.at(1, 1), -0.0625f);
  EXPECT_FLOAT_EQ(ident.at(4, 0), 0.0f);
}

TEST(InverseTransformScalarTest, CornerBasisRowsAverageOut) {
  for (size_t i = 0; i < 16; ++i) {
    double sum = 0;
    for (size_t j = 0; j < 16; ++j) sum += kCornerBasis[16 * i + j];
    EXPECT_NEAR(sum, i == 0 ? 4.0 : 0.0, 1e-6) << i;
  }
}

class InverseTransformTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(InverseTransformTest);

TEST_P(InverseTransformTest, DcOnlyGivesFlatBlockForEveryKind) {
  for (uint32_t kind = 0; kind < kNumVarBlockKinds; ++kind) {
    const size_t w = KindWidth(kind), h = KindHeight(kind);
    for (float d : {1.0f, -0.375f, 1000.5f}) {
      std::vector<float> q(w * h, 0.0f), q2;
      q[0] = d;
      q2 = q;
      GuardedPlane got(w, h), ref(w, h);
      Scratch scratch(InverseTransformScratchFloats(kind));
      InverseTransformBlock(kind, q.data(), got.origin(), got.stride, scratch.data());
      InverseTransformBlockScalar(kind, q2.data(), ref.origin(), ref.stride);
      ASSERT_TRUE(got.GuardIntact()) << kind;
      ASSERT_TRUE(scratch.GuardIntact()) << kind;
      for (size_t y = 0; y < h; ++y) {
        for (size_t x = 0; x < w; ++x) {
          ASSERT_EQ(got.at(x, y), d) << "kind " << kind;
          ASSERT_EQ(ref.at(x, y), d) << "kind " << kind;
        }
      }
    }
  }
}

TEST_P(InverseTransformTest, MatchesScalarForEveryKind) {
  const bool exact = !TargetFuses(GetParam());
  for (uint32_t kind = 0; kind < kNumVarBlockKinds; ++kind) {
    const size_t w = KindWidth(kind), h = KindHeight(kind);
    for (uint32_t seed = 0; seed < 3; ++seed) {
      const std::vector<float> q = RandomFloats(w * h, kind * 7 + seed, 100.0f);
      std::vector<float> qg = q, qr = q;
      GuardedPlane got(w, h), ref(w, h);
      Scratch scratch(InverseTransformScratchFloats(kind));
      InverseTransformBlock(kind, qg.data(), got.origin(), got.stride, scratch.data());
      InverseTransformBlockScalar(kind, qr.data(), ref.origin(), ref.stride);
      ASSERT_TRUE(got.GuardIntact()) << kind;
      ASSERT_TRUE(scratch.GuardIntact()) << kind;
      if (!IsDctKind(kind)) {
        ASSERT_EQ(qg, q) << "special kind changed its coefficients";
      }
      // Fused rounding moves results by a few ulps of the intermediates,
      // whose size follows the coefficients' L2 norm.
      const double tol = 1e-4 * L2(q.data(), q.size());
      for (size_t y = 0; y < h; ++y) {
        for (size_t x = 0; x < w; ++x) {
          if (exact) {
            EXPECT_EQ(got.at(x, y), ref.at(x, y)) << "kind " << kind << " " << x << "," << y;
          } else {
            ASSERT_NEAR(got.at(x, y), ref.at(x, y), tol) << "kind " << kind;
          }
        }
      }
    }
  }
}

TEST_P(InverseTransformTest, LargestKindMatchesTheFormulaAtSamples) {
  // Dct256By256 and its halves: a few coefficients, checked at every pixel.
  for (uint32_t kind : {24u, 25u, 26u}) {
    const size_t w = KindWidth(kind), h = KindHeight(kind), len = std::max(w, h);
    std::vector<float> q(w * h, 0.0f);
    q[0] = 0.5f;
    q[3] = -1.0f;
    q[5 * len + 17] = 0.25f;
    q[(std::min(w, h) - 1) * len + len - 1] = 2.0f;
    const std::vector<double> want = DctKindPixels(kind, q);
    GuardedPlane got(w, h);
    Scratch scratch(InverseTransformScratchFloats(kind));
    InverseTransformBlock(kind, q.data(), got.origin(), got.stride, scratch.data());
    ASSERT_TRUE(got.GuardIntact());
    for (size_t y = 0; y < h; ++y) {
      for (size_t x = 0; x < w; ++x) {
        ASSERT_NEAR(got.at(x, y), want[y * w + x], 1e-4) << kind << " " << x << "," << y;
      }
    }
  }
}

TEST_P(InverseTransformTest, UnknownKindsTouchNothing) {
  // 256 and 257 would alias kinds 0 and 1 if narrowed to 8 bits.
  for (uint32_t kind : {27u, 200u, 255u, 256u, 257u, 0xFFFFFFFFu}) {
    std::vector<float> q(64, 1.0f);
    GuardedPlane out(8, 8, 0);
    Scratch scratch(256);
    InverseTransformBlock(kind, q.data(), out.origin(), out.stride, scratch.data());
    InverseTransformBlockScalar(kind, q.data(), out.origin(), out.stride);
    for (float v : out.data) ASSERT_EQ(v, kGuard) << kind;
    for (float v : scratch.storage) ASSERT_EQ(v, kGuard) << kind;
    for (float v : q) ASSERT_EQ(v, 1.0f) << kind;
    EXPECT_EQ(InverseTransformScratchFloats(kind), 0u);
  }
  // The group decoder's 4 W H scratch covers every kind.
  for (uint32_t kind = 0; kind < kNumVarBlockKinds; ++kind) {
    EXPECT_LE(InverseTransformScratchFloats(kind), 4 * KindWidth(kind) * KindHeight(kind));
    EXPECT_LE(LowFrequencyScratchFloats(kind), 4 * KindWidth(kind) * KindHeight(kind));
  }
}

// ---------------------------------------------------------------------------
// Low frequencies from DC.

// C(v, u) with its scales, in double precision, at its corner index.
std::vector<std::pair<size_t, double>> LowFrequencies(uint32_t kind,
                                                      const std::vector<float>& dc,
                                                      size_t stride) {
  const size_t cx = kVarBlockCoveredX[kind], cy = kVarBlockCoveredY[kind];
  const size_t len = 8 * std::max(cx, cy);
  auto scale = [](size_t n, size_t k) {
    return k == 0 ? 1.0 : 8 * std::sin(k * kPi / (16.0 * n)) / std::sin(k * kPi / (2.0 * n));
  };
  std::vector<std::pair<size_t, double>> out;
  for (size_t v = 0; v < cy; ++v) {
    for (size_t u = 0; u < cx; ++u) {
      double c = 0;
      for (size_t y = 0; y < cy; ++y) {
        for (size_t x = 0; x < cx; ++x) {
          c += dc[y * stride + x] * Basis(cy, v, y) * Basis(cx, u, x);
        }
      }
      c = c / (cx * cy) * scale(cx, u) * scale(cy, v);
      out.push_back({cx > cy ? v * len + u : u * len + v, c});
    }
  }
  return out;
}

class LowFrequencyTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(LowFrequencyTest);

TEST_P(LowFrequencyTest, MatchesFormulaAndScalarWritingOnlyTheCorner) {
  const bool exact = !TargetFuses(GetParam());
  const size_t stride = 37;
  for (uint32_t kind = 0; kind < kNumVarBlockKinds + 2; ++kind) {
    const std::vector<float> dc = RandomFloats(32 * stride, kind + 3);
    const size_t n = kind < kNumVarBlockKinds ? KindWidth(kind) * KindHeight(kind) : 64;
    std::vector<float> got(n, kGuard), ref(n, kGuard);
    Scratch scratch(LowFrequencyScratchFloats(kind));
    DcToLowFrequencies(kind, dc.data(), stride, got.data(), scratch.data());
    DcToLowFrequenciesScalar(kind, dc.data(), stride, ref.data());
    ASSERT_TRUE(scratch.GuardIntact());
    std::vector<bool> corner(n, false);
    if (kind < kNumVarBlockKinds) {
      for (const auto& [pos, want] : LowFrequencies(kind, dc, stride)) {
        corner[pos] = true;
        ASSERT_NEAR(ref[pos], want, 1e-5) << "kind " << kind << " position " << pos;
      }
    }
    for (size_t i = 0; i < n; ++i) {
      if (!corner[i]) {
        EXPECT_EQ(got[i], kGuard) << "kind " << kind << " wrote " << i;
        EXPECT_EQ(ref[i], kGuard) << "kind " << kind << " wrote " << i;
      } else if (exact) {
        ASSERT_EQ(got[i], ref[i]) << "kind " << kind << " position " << i;
      } else {
        ASSERT_NEAR(got[i], ref[i], 1e-6) << "kind " << kind;
      }
    }
  }
}

TEST_P(LowFrequencyTest, KnownValues) {
  Scratch scratch(LowFrequencyScratchFloats(24));
  // Equal samples: exactly the value, then exact zeros.
  for (uint32_t kind = 0; kind < kNumVarBlockKinds; ++kind) {
    const std::vector<float> dc(32 * 32, 0.3f);
    std::vector<float> q(KindWidth(kind) * KindHeight(kind), kGuard);
    DcToLowFrequencies(kind, dc.data(), 32, q.data(), scratch.data());
    EXPECT_EQ(q[0], 0.3f) << kind;
    for (const auto& [pos, want] : LowFrequencies(kind, dc, 32)) {
      if (pos != 0) {
        EXPECT_EQ(q[pos], 0.0f) << kind << " " << pos;
      }
    }
  }
  // Two blocks side by side or stacked give the same two numbers.
  const float a = 1.0f, b = 0.5f;
  for (uint32_t kind : {6u, 7u}) {
    const float dc[4] = {a, b, b, 0};  // kind 7 reads (a, b), kind 6 (a; b)
    std::vector<float> q(128, kGuard);
    DcToLowFrequencies(kind, dc, kind == 7 ? 4 : 1, q.data(), scratch.data());
    EXPECT_FLOAT_EQ(q[0], (a + b) / 2);
    EXPECT_FLOAT_EQ(q[1], (a - b) / 2 * 1.1089374f);
    EXPECT_EQ(q[2], kGuard);
  }
  const float dc16[4] = {1.0f, 2.0f, 3.0f, 5.0f};  // a b / c d
  std::vector<float> q(256, kGuard);
  DcToLowFrequencies(4, dc16, 2, q.data(), scratch.data());
  EXPECT_FLOAT_EQ(q[0], 11.0f / 4);
  EXPECT_FLOAT_EQ(q[1], (3.0f - 8.0f) / 4 * 1.1089374f);
  EXPECT_FLOAT_EQ(q[16], (4.0f - 7.0f) / 4 * 1.1089374f);
  EXPECT_FLOAT_EQ(q[17], (-2.0f + 3.0f) / 4 * 1.1089374f * 1.1089374f);
}

}  // namespace
}  // namespace qov
