// Direct upsampling of whole test planes.
#include "tests/support/direct_upsample.h"

#include <algorithm>
#include <utility>

namespace qov::test {

int64_t MirrorIndex(int64_t x, int64_t n) {
  while (x < 0 || x >= n) x = x < 0 ? -x - 1 : 2 * n - 1 - x;
  return x;
}

float TestPlane::Mirrored(int64_t x, int64_t y) const {
  return at(MirrorIndex(x, static_cast<int64_t>(xsize)),
            MirrorIndex(y, static_cast<int64_t>(ysize)));
}

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

}  // namespace qov::test
