// Direct computations of the resampling stages for the tests.
#include "tests/render/resampling_test_helpers.h"

#include <algorithm>
#include <random>
#include <utility>

namespace qov::test {

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
