// Reference loop-filter row kernels, in the documented operation order.
#include <cmath>
#include <cstdint>

#include "lib/render/loop_filter_kernels.h"

namespace qov {

GaborishWeights MakeGaborishWeights(float w1, float w2) {
  GaborishWeights w;
  w.centre = 1.0f / ((w1 + w2) * 4.0f + 1.0f);
  w.direct = w1 * w.centre;
  w.diagonal = w2 * w.centre;
  return w;
}

void GaborishRowScalar(const GaborishWeights& w, const float* const rows[3],
                       float* out, size_t extra_left, size_t end) {
  const float* up = rows[0];
  const float* mid = rows[1];
  const float* down = rows[2];
  for (ptrdiff_t x = -static_cast<ptrdiff_t>(extra_left);
       x < static_cast<ptrdiff_t>(end); ++x) {
    const float direct_sum = (up[x] + down[x]) + (mid[x - 1] + mid[x + 1]);
    const float diagonal_sum =
        (down[x - 1] + down[x + 1]) + (up[x - 1] + up[x + 1]);
    out[x] = w.centre * mid[x] + w.direct * direct_sum +
             w.diagonal * diagonal_sum;
  }
}

namespace {

struct Offset {
  int dy;
  int dx;
};

constexpr Offset kStep0Neighbours[12] = {
    {-2, 0}, {-1, -1}, {-1, 0}, {-1, 1}, {0, -2}, {0, -1},
    {0, 1},  {0, 2},   {1, -1}, {1, 0},  {1, 1},  {2, 0}};
constexpr Offset kDirectNeighbours[4] = {{-1, 0}, {0, -1}, {0, 1}, {1, 0}};

}  // namespace

void EpfRowScalar(int step, const EpfRowArgs& a) {
  if (step < 0 || step > 2) return;
  const int border = 3 - step;
  const bool patch = step != 2;
  const Offset* neighbours = step == 0 ? kStep0Neighbours : kDirectNeighbours;
  const size_t count = step == 0 ? 12 : 4;
  const ptrdiff_t xpos = static_cast<ptrdiff_t>(a.xpos);
  auto at = [&](int c, int dy, ptrdiff_t x) {
    return a.rows[c][border + dy][x];
  };
  for (ptrdiff_t x = -static_cast<ptrdiff_t>(a.extra_left);
       x < static_cast<ptrdiff_t>(a.end); ++x) {
    const float k = a.sigma_row[(xpos + x + 16) >> 3];
    if (k < kEpfMinInverseSigma) {
      for (int c = 0; c < 3; ++c) a.out[c][x] = at(c, 0, x);
      continue;
    }
    const float km = k * a.multipliers[(xpos + x) & 7];
    float sums[3] = {at(0, 0, x), at(1, 0, x), at(2, 0, x)};
    float weight_sum = 1.0f;
    for (size_t i = 0; i < count; ++i) {
      const int dy = neighbours[i].dy;
      const ptrdiff_t nx = x + neighbours[i].dx;
      float distance = 0.0f;
      for (int c = 0; c < 3; ++c) {
        float dc = std::fabs(at(c, 0, x) - at(c, dy, nx));
        if (patch) {
          dc += std::fabs(at(c, 0, x - 1) - at(c, dy, nx - 1));
          dc += std::fabs(at(c, 0, x + 1) - at(c, dy, nx + 1));
          dc += std::fabs(at(c, -1, x) - at(c, dy - 1, nx));
          dc += std::fabs(at(c, 1, x) - at(c, dy + 1, nx));
        }
        distance += a.channel_weights[c] * dc;
      }
      float w = distance * km + 1.0f;
      if (std::signbit(w)) w = 0.0f;
      for (int c = 0; c < 3; ++c) sums[c] += w * at(c, dy, nx);
      weight_sum += w;
    }
    const float inv = 1.0f / weight_sum;
    for (int c = 0; c < 3; ++c) a.out[c][x] = sums[c] * inv;
  }
}

}  // namespace qov
