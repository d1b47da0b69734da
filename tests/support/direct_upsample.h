// A whole plane held by a test, and the upsampling of one computed
// directly from the weight lists, for comparison with what the upsampling
// stage and the pipelines render.
#ifndef QOV_TESTS_SUPPORT_DIRECT_UPSAMPLE_H_
#define QOV_TESTS_SUPPORT_DIRECT_UPSAMPLE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qov::test {

// A whole channel held by the test.
struct TestPlane {
  uint64_t xsize = 0;
  uint64_t ysize = 0;
  std::vector<float> samples;

  TestPlane() = default;
  TestPlane(uint64_t w, uint64_t h, float fill = 0.0f)
      : xsize(w), ysize(h), samples(w * h, fill) {}
  float& at(uint64_t x, uint64_t y) { return samples[y * xsize + x]; }
  float at(uint64_t x, uint64_t y) const { return samples[y * xsize + x]; }
  // The sample at (x, y) with both mirrored into the plane.
  float Mirrored(int64_t x, int64_t y) const;
};

// Mirrors x into [0, n), n >= 1: -1 -> 0, n -> n - 1, repeated.
int64_t MirrorIndex(int64_t x, int64_t n);

// Weight (ky, kx) of output phase (px, py) for factor 2^shift, read from
// the upper-triangle weight list of the symmetric matrix.
float DirectUpsamplingWeight(const float* list, size_t shift, size_t py,
                             size_t px, size_t ky, size_t kx);

// The plane enlarged by 2^shift: per input pixel and phase the 5 x 5 sum
// (in double precision) clamped to the neighbourhood; edges mirrored.
TestPlane DirectUpsample(const TestPlane& in, const float* list, size_t shift);

}  // namespace qov::test

#endif  // QOV_TESTS_SUPPORT_DIRECT_UPSAMPLE_H_
