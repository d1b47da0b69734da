// Direct computations of the resampling stages for the tests.
#include "tests/render/resampling_test_helpers.h"

#include <algorithm>
#include <random>
#include <utility>

namespace qov::test {

namespace {

float MatrixEntry(const float* list, size_t n, size_t r, size_t c) {
  if (r > c) std::swap(r, c);
  size_t index = 0;
  for (size_t i = 0; i < r; ++i) index += n - i;
  return list[index + c - r];
}

}  // namespace

float DirectUpsamplingWeight(const float* list, size_t shift, size_t py,
                             size_t px, size_t ky, size_t kx) {
  const size_t n = size_t{1} << shift;
  const size_t qy = py < n / 2 ? py : n - 1 - py;
  const size_t qx = px < n / 2 ? px : n - 1 - px;
  const size_t y = py < n / 2 ? ky : 4 - ky;
  const size_t x = px < n / 2 ? kx : 4 - kx;
  return MatrixEntry(list, 5 * n / 2, 5 * qy + y, 5 * qx + x);
}

TestPlane DirectUpsample(const TestPlane& in, const float* list, size_t shift) {
  const size_t n = size_t{1} << shift;
  TestPlane out(in.xsize * n, in.ysize * n);
  for (int64_t y = 0; y < static_cast<int64_t>(in.ysize); ++y) {
    for (int64_t x = 0; x < static_cast<int64_t>(in.xsize); ++x) {
      float lo = in.Mirrored(x, y), hi = lo;
      for (int64_t dy = -2; dy <= 2; ++dy) {
        for (int64_t dx = -2; dx <= 2; ++dx) {
          lo = std::min(lo, in.Mirrored(x + dx, y + dy));
          hi = std::max(hi, in.Mirrored(x + dx, y + dy));
        }
      }
      for (size_t py = 0; py < n; ++py) {
        for (size_t px = 0; px < n; ++px) {
          double s = 0.0;
          for (size_t ky = 0; ky < 5; ++ky) {
            for (size_t kx = 0; kx < 5; ++kx) {
              s += double{DirectUpsamplingWeight(list, shift, py, px, ky, kx)} *
                   in.Mirrored(x + static_cast<int64_t>(kx) - 2,
                               y + static_cast<int64_t>(ky) - 2);
            }
          }
          out.at(x * n + px, y * n + py) =
              std::min(std::max(static_cast<float>(s), lo), hi);
        }
      }
    }
  }
  return out;
}

TestPlane DirectChromaHorizontal(const TestPlane& in, uint64_t out_xsize) {
  TestPlane out(out_xsize, in.ysize);
  for (int64_t y = 0; y < static_cast<int64_t>(in.ysize); ++y) {
    for (int64_t o = 0; o < static_cast<int64_t>(out_xsize); ++o) {
      const int64_t x = o / 2;
      const float centre = 0.75f * in.Mirrored(x, y);
      out.at(o, y) = 0.25f * in.Mirrored(o % 2 ? x + 1 : x - 1, y) + centre;
    }
  }
  return out;
}

TestPlane DirectChromaVertical(const TestPlane& in, uint64_t out_ysize) {
  TestPlane out(in.xsize, out_ysize);
  for (int64_t o = 0; o < static_cast<int64_t>(out_ysize); ++o) {
    const int64_t y = o / 2;
    for (int64_t x = 0; x < static_cast<int64_t>(in.xsize); ++x) {
      const float centre = 0.75f * in.Mirrored(x, y);
      out.at(x, o) = 0.25f * in.Mirrored(x, o % 2 ? y + 1 : y - 1) + centre;
    }
  }
  return out;
}

TestPlane RandomTestPlane(uint64_t xsize, uint64_t ysize, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 2.0f);
  TestPlane p(xsize, ysize);
  for (float& v : p.samples) v = dist(rng);
  return p;
}

}  // namespace qov::test
