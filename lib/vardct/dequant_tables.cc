// Computation of the dequantisation tables from their specifications.
#include "lib/vardct/dequant_tables.h"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace qov {
namespace {

constexpr float FloatFromBits(uint32_t bits) { return std::bit_cast<float>(bits); }

// Growth of a band factor: v + 1 for positive v, else 1 / (1 - v).
float BandFactor(float v) { return v > 0.0f ? v + 1.0f : 1.0f / (1.0f - v); }

bool AtLeastMinimum(float v) { return v >= 1e-8; }  // false for NaN

// Weights of the 2x2-grid layout, per row and column block of the table.
void FillDct2GridWeights(const float* params, float* weights) {
  for (size_t c = 0; c < 3; ++c) {
    const float* p = params + 6 * c;
    float* t = weights + 64 * c;
    auto band = [](size_t i) -> size_t { return i == 0 ? 0 : i == 1 ? 1 : i < 4 ? 2 : 3; };
    for (size_t y = 0; y < 8; ++y) {
      for (size_t x = 0; x < 8; ++x) {
        const size_t by = band(y), bx = band(x);
        float v;
        if (by == 0 && bx == 0) {
          v = 2989.0f;
        } else if (by <= 1 && bx <= 1) {
          v = (by == 1 && bx == 1) ? p[1] : p[0];
        } else if (by <= 2 && bx <= 2) {
          v = (by == 2 && bx == 2) ? p[3] : p[2];
        } else {
          v = (by == 3 && bx == 3) ? p[5] : p[4];
        }
        t[8 * y + x] = v;
      }
    }
  }
}

void FillIdentityWeights(const float* params, float* weights) {
  for (size_t c = 0; c < 3; ++c) {
    float* t = weights + 64 * c;
    for (size_t i = 0; i < 64; ++i) t[i] = params[3 * c];
    t[1] = params[3 * c + 1];
    t[8] = params[3 * c + 1];
    t[9] = params[3 * c + 2];
  }
}

// Frequencies of the even positions of the corner-adaptive layout.
constexpr float kCornerFrequencies[16] = {
    2989.0f,   2989.0f,   0.8517779f, 5.3777843f, 2989.0f,    2989.0f,
    4.734748f, 5.4492455f, 1.659827f, 4.0f,       7.275749f,  10.423227f,
    2.6629324f, 7.6306577f, 8.962389f, 12.971662f};

Status FillCornerAdaptiveWeights(const DequantTableSpec& spec, float* weights) {
  float h[3 * 32], g[3 * 16];
  QOV_RETURN_IF_ERROR(EvaluateDistanceBands(4, 8, spec.bands, h));
  QOV_RETURN_IF_ERROR(EvaluateDistanceBands(4, 4, spec.second_bands, g));
  for (size_t c = 0; c < 3; ++c) {
    const float* p = spec.params + 9 * c;
    float* t = weights + 64 * c;
    float levels[4];
    levels[0] = p[5];
    if (!AtLeastMinimum(levels[0])) return FailedStatus();
    for (size_t i = 1; i < 4; ++i) {
      levels[i] = levels[i - 1] * BandFactor(p[5 + i]);
      if (!AtLeastMinimum(levels[i])) return FailedStatus();
    }
    t[0] = 1.0f;
    t[8] = p[0];
    t[1] = p[1];
    t[16] = p[2];
    t[2] = p[3];
    t[18] = p[4];
    for (size_t r = 0; r < 4; ++r) {
      for (size_t q = 0; q < 4; ++q) {
        if (r <= 1 && q <= 1) continue;
        const float pos = ((kCornerFrequencies[4 * r + q] - 0.8517779f) * 3.0f) / 12.1198845f;
        const int i = static_cast<int>(pos);
        const float frac = pos - static_cast<float>(i);
        t[16 * r + 2 * q] = InterpolatedPow(levels[i], levels[i + 1], frac);
      }
    }
    for (size_t r = 0; r < 4; ++r) {
      for (size_t x = 0; x < 8; ++x) {
        if (r == 0 && x == 0) continue;  // T[1][0] keeps P[0]
        t[(2 * r + 1) * 8 + x] = h[32 * c + 8 * r + x];
      }
      for (size_t q = 0; q < 4; ++q) {
        if (r == 0 && q == 0) continue;  // T[0][1] keeps P[1]
        t[16 * r + 2 * q + 1] = g[16 * c + 4 * r + q];
      }
    }
  }
  return OkStatus();
}

// The weights of one table kind, into `w` (3 channel tables of rows x cols).
Status ComputeWeights(const DequantTableSpec& spec, size_t rows, size_t cols,
                      float* w) {
  const size_t size = rows * cols;
  const bool single = size == 64;
  switch (spec.mode) {
    case DequantSpecMode::Library:
      return FailedStatus();
    case DequantSpecMode::Identity:
      if (!single) return FailedStatus();
      FillIdentityWeights(spec.params, w);
      return OkStatus();
    case DequantSpecMode::Dct2Grid:
      if (!single) return FailedStatus();
      FillDct2GridWeights(spec.params, w);
      return OkStatus();
    case DequantSpecMode::Dct4Grid: {
      if (!single) return FailedStatus();
      float g[3 * 16];
      QOV_RETURN_IF_ERROR(EvaluateDistanceBands(4, 4, spec.bands, g));
      for (size_t c = 0; c < 3; ++c) {
        float* t = w + 64 * c;
        for (size_t y = 0; y < 8; ++y) {
          for (size_t x = 0; x < 8; ++x) t[8 * y + x] = g[16 * c + 4 * (y >> 1) + (x >> 1)];
        }
        t[1] /= spec.params[2 * c];
        t[8] /= spec.params[2 * c];
        t[9] /= spec.params[2 * c + 1];
      }
      return OkStatus();
    }
    case DequantSpecMode::DctHalves: {
      if (!single) return FailedStatus();
      float h[3 * 32];
      QOV_RETURN_IF_ERROR(EvaluateDistanceBands(4, 8, spec.bands, h));
      for (size_t c = 0; c < 3; ++c) {
        float* t = w + 64 * c;
        for (size_t y = 0; y < 8; ++y) {
          for (size_t x = 0; x < 8; ++x) t[8 * y + x] = h[32 * c + 8 * (y >> 1) + x];
        }
        t[8] /= spec.params[c];
      }
      return OkStatus();
    }
    case DequantSpecMode::CornerAdaptive:
      return FillCornerAdaptiveWeights(spec, w);
    case DequantSpecMode::DistanceBands:
      return EvaluateDistanceBands(rows, cols, spec.bands, w);
    case DequantSpecMode::Raw:
      if (spec.raw.size() != 3 * size) return FailedStatus();
      for (size_t i = 0; i < 3 * size; ++i) {
        w[i] = 1.0f / (static_cast<float>(spec.raw[i]) * spec.denominator);
      }
      return OkStatus();
  }
  return FailedStatus();
}

}  // namespace

float TableApproxLog2(float x) {
  const uint32_t b = std::bit_cast<uint32_t>(x);
  // Unsigned arithmetic wraps as intended; the shift of e is arithmetic.
  const int32_t e = static_cast<int32_t>(b + 0xC0D55555u);
  const float exponent = static_cast<float>(e >> 23);
  const float m = FloatFromBits(b - (static_cast<uint32_t>(e) & 0xFF800000u));
  const float u = m - 1.0f;
  const float num = (FloatFromBits(0x3F3E11C7u) * u + FloatFromBits(0x3FB6E02Bu)) * u +
                    FloatFromBits(0xB5F85AB0u);
  const float den = (FloatFromBits(0x3E32458Cu) * u + FloatFromBits(0x3F813CEDu)) * u +
                    FloatFromBits(0x3F7D8625u);
  return num / den + exponent;
}

float TableApproxPow2(float y) {
  const float fl = std::floor(y);
  // The exponent is built in unsigned arithmetic: a negative floor shifted
  // left as a signed value is undefined. Out-of-range inputs saturate.
  const float clamped = fl < -1000.0f ? -1000.0f : fl > 1000.0f ? 1000.0f : fl;
  const uint32_t bits = (static_cast<uint32_t>(static_cast<int32_t>(clamped)) << 23) +
                        0x3F800000u;
  const float scale = FloatFromBits(bits);
  const float f = y - fl;
  const float num = ((f + FloatFromBits(0x4122CC6Bu)) * f + FloatFromBits(0x424379A1u)) * f +
                    FloatFromBits(0x42C519F0u);
  const float den = ((FloatFromBits(0x3E5749EEu) * f + FloatFromBits(0xBCB621BEu)) * f +
                     FloatFromBits(0xC19B8831u)) * f +
                    FloatFromBits(0x42C519F1u);
  return num * scale / den;
}

float InterpolatedPow(float a, float b, float t) {
  const float r = b / a;
  const float y = TableApproxLog2(r) * t;
  if (!std::isfinite(y)) return NAN;  // fails the weight check
  return TableApproxPow2(y) * a;
}

namespace {

// Interpolates one channel, entry by entry (the reference order).
void DistanceBandRowsScalar(size_t rows, size_t columns, const float* band, size_t n,
                            float* t) {
  const float base = static_cast<float>(n - 1) / FloatFromBits(0x3FB504FBu);
  const float row_scale = base / static_cast<float>(rows - 1);
  const float col_scale = base / static_cast<float>(columns - 1);
  for (size_t k = 0; k < rows; ++k) {
    const float dy = static_cast<float>(k) * row_scale;
    for (size_t j = 0; j < columns; ++j) {
      const float dx = static_cast<float>(j) * col_scale;
      const float d = std::sqrt(dx * dx + dy * dy);
      // d stays below n - 1 by the scale constant's margin; the clamp only
      // guards the band array against a rounding surprise.
      size_t i = static_cast<size_t>(d);
      if (i > n - 2) i = n - 2;
      const float frac = d - static_cast<float>(i);
      t[k * columns + j] = InterpolatedPow(band[i], band[i + 1], frac);
    }
  }
}

Status EvaluateBands(size_t rows, size_t columns, const DistanceBandList& bands,
                     float* out, bool scalar) {
  const size_t n = bands.count;
  if (n < 1 || n > 16 || rows < 2 || columns < 4 || columns % 4 != 0) {
    return FailedStatus();
  }
  for (size_t c = 0; c < 3; ++c) {
    const float* v = bands.values[c];
    float band[16];
    band[0] = v[0];
    if (!AtLeastMinimum(band[0])) return FailedStatus();
    for (size_t j = 1; j < n; ++j) {
      band[j] = band[j - 1] * BandFactor(v[j]);
      if (!AtLeastMinimum(band[j])) return FailedStatus();
    }
    float* t = out + c * rows * columns;
    if (n == 1) {
      for (size_t i = 0; i < rows * columns; ++i) t[i] = band[0];
    } else if (scalar) {
      DistanceBandRowsScalar(rows, columns, band, n, t);
    } else {
      DistanceBandRowsDispatch(rows, columns, band, n, t);
    }
  }
  return OkStatus();
}

}  // namespace

Status EvaluateDistanceBands(size_t rows, size_t columns,
                             const DistanceBandList& bands, float* out) {
  return EvaluateBands(rows, columns, bands, out, /*scalar=*/false);
}

Status EvaluateDistanceBandsScalar(size_t rows, size_t columns,
                                   const DistanceBandList& bands, float* out) {
  return EvaluateBands(rows, columns, bands, out, /*scalar=*/true);
}

Status FillDequantTable(const DequantTableSpec& spec, float* multipliers,
                        float* weights, DequantTableKind k, size_t* position) {
  const size_t s = static_cast<size_t>(kDequantTableShortSide[static_cast<size_t>(k)]);
  const size_t l = static_cast<size_t>(kDequantTableLongSide[static_cast<size_t>(k)]);
  const size_t rows = 8 * s, cols = 8 * l, size = rows * cols;
  // The weights are built in place in the weight half.
  float* w = weights + *position;
  QOV_RETURN_IF_ERROR(ComputeWeights(spec, rows, cols, w));
  float* m = multipliers + *position;
  for (size_t i = 0; i < 3 * size; ++i) {
    if (!(w[i] >= 1e-8 && w[i] < 1e8)) return FailedStatus();  // NaN fails too
    m[i] = 1.0f / w[i];
  }
  for (size_t c = 0; c < 3; ++c) {
    for (size_t y = 0; y < s; ++y) {
      for (size_t x = 0; x < l; ++x) w[c * size + y * cols + x] = 0.0f;
    }
  }
  *position += 3 * size;
  return OkStatus();
}

Status DequantTableSet::PrepareTables(const QovMemoryManagerStruct* manager,
                                      uint32_t used_kinds) {
  const DequantSpecList& library = LibraryDequantSpecs();
  if (table_ == nullptr) {
    QOV_ASSIGN_OR_RETURN(table_block_,
                         AlignedBlock::Create(manager, 2 * kDequantTableBlockFloats *
                                                           sizeof(float)));
    table_ = table_block_.As<float>();
    weights_ = table_ + kDequantTableBlockFloats;
  }
  uint32_t wanted = 0, done = 0;
  for (size_t kind = 0; kind < kNumVarBlockKinds; ++kind) {
    const uint32_t table_bit = 1u << static_cast<uint32_t>(kVarBlockDequantKind[kind]);
    if ((used_kinds >> kind) & 1) wanted |= table_bit;
    if ((computed_kinds_ >> kind) & 1) done |= table_bit;
  }
  for (size_t k = 0; k < kNumDequantTableKinds; ++k) {
    if (!((wanted >> k) & 1) || ((done >> k) & 1)) continue;
    const DequantTableSpec& own = spec(static_cast<DequantTableKind>(k));
    const DequantTableSpec& chosen =
        own.mode == DequantSpecMode::Library ? library[k] : own;
    size_t position = kDequantTableStart[k];
    QOV_RETURN_IF_ERROR(FillDequantTable(chosen, table_, weights_,
                                         static_cast<DequantTableKind>(k), &position));
    if (position != kDequantTableStart[k + 1]) return FailedStatus();
  }
  computed_kinds_ |= used_kinds & ((1u << kNumVarBlockKinds) - 1);
  return OkStatus();
}

}  // namespace qov
