// The fourteen modular predictors and the neighbourhood they read, with the
// edge rules of the channel loop. Shared by the channel decoder and the
// palette's delta entries.
#ifndef QOV_LIB_MODULAR_PREDICTORS_H_
#define QOV_LIB_MODULAR_PREDICTORS_H_

#include <cstddef>
#include <cstdint>

namespace qov {

inline constexpr int32_t kNumPredictors = 14;

// Neighbours of one sample, widened to 64 bits.
struct Neighbours {
  int64_t W = 0, N = 0, NW = 0, NE = 0, WW = 0, NN = 0, NEE = 0;
};

// Neighbours of (x, y) in a channel of width w; `row` is row y, `prev` row
// y - 1 and `prev2` row y - 2 (only read where those rows exist).
inline Neighbours LoadNeighbours(const int32_t* row, const int32_t* prev,
                                 const int32_t* prev2, size_t x, size_t y,
                                 size_t w) {
  Neighbours n;
  if (y == 0) {
    n.W = x > 0 ? row[x - 1] : 0;
    n.N = n.W;
    n.NW = n.W;
    n.NE = n.W;
    n.WW = x > 1 ? row[x - 2] : n.W;
    n.NN = n.N;
    n.NEE = n.W;
    return n;
  }
  n.N = prev[x];
  n.W = x > 0 ? row[x - 1] : n.N;
  n.NW = x > 0 ? prev[x - 1] : n.N;
  n.NE = x + 1 < w ? prev[x + 1] : n.N;
  n.WW = x > 1 ? row[x - 2] : n.W;
  n.NN = y > 1 ? prev2[x] : n.N;
  n.NEE = x + 2 < w ? prev[x + 2] : n.NE;
  return n;
}

// The same for 2 <= x < w - 2 and y >= 2: no edge tests.
inline Neighbours LoadInteriorNeighbours(const int32_t* row,
                                         const int32_t* prev,
                                         const int32_t* prev2, size_t x) {
  Neighbours n;
  n.N = prev[x];
  n.W = row[x - 1];
  n.NW = prev[x - 1];
  n.NE = prev[x + 1];
  n.WW = row[x - 2];
  n.NN = prev2[x];
  n.NEE = prev[x + 2];
  return n;
}

// Clamped gradient: W + N - NW limited to [min(W, N), max(W, N)].
// NW above max(W, N) gives min(W, N) and NW below min(W, N) gives
// max(W, N), which is what clamping W + N - NW gives (without branches).
inline int64_t ClampedGradient(int64_t W, int64_t N, int64_t NW) {
  const int64_t lo = W < N ? W : N;
  const int64_t hi = W < N ? N : W;
  const int64_t g = W + N - NW;
  return g < lo ? lo : (g > hi ? hi : g);
}

inline int64_t Abs64(int64_t v) { return v < 0 ? -v : v; }

// Prediction of predictor 0..13; `weighted` is the weighted predictor's
// blended value p (scaled by 8), used by predictor 6 only. Divisions
// truncate toward zero.
inline int64_t ModularPrediction(int32_t predictor, const Neighbours& n,
                                 int64_t weighted) {
  switch (predictor) {
    case 0: return 0;
    case 1: return n.W;
    case 2: return n.N;
    case 3: return (n.W + n.N) / 2;
    case 4: return Abs64(n.N - n.NW) < Abs64(n.W - n.NW) ? n.W : n.N;
    case 5: return ClampedGradient(n.W, n.N, n.NW);
    case 6: return (weighted + 3) >> 3;
    case 7: return n.NE;
    case 8: return n.NW;
    case 9: return n.WW;
    case 10: return (n.W + n.NW) / 2;
    case 11: return (n.N + n.NW) / 2;
    case 12: return (n.N + n.NE) / 2;
    case 13:
      return (6 * n.N - 2 * n.NN + 7 * n.W + n.WW + n.NEE + 3 * n.NE + 8) / 16;
    default: return 0;
  }
}

}  // namespace qov

#endif  // QOV_LIB_MODULAR_PREDICTORS_H_
