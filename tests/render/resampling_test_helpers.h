// Direct whole-plane computations of the resampling and spot-colour stages
// for comparison with what the stages and pipelines render.
#ifndef QOV_TESTS_RENDER_RESAMPLING_TEST_HELPERS_H_
#define QOV_TESTS_RENDER_RESAMPLING_TEST_HELPERS_H_

#include <cstddef>
#include <cstdint>

#include "tests/render/render_test_kit_helpers.h"

namespace qov::test {

// Weight (ky, kx) of output phase (px, py) for factor 2^shift, read from
// the upper-triangle weight list of the symmetric matrix.
float DirectUpsamplingWeight(const float* list, size_t shift, size_t py,
                             size_t px, size_t ky, size_t kx);

// The plane enlarged by 2^shift: per input pixel and phase the 5 x 5 sum
// (in double precision) clamped to the neighbourhood; edges mirrored.
TestPlane DirectUpsample(const TestPlane& in, const float* list, size_t shift);

// The chroma interpolations, doubled in one direction, then cut to
// out_size in that direction; edges mirrored.
TestPlane DirectChromaHorizontal(const TestPlane& in, uint64_t out_xsize);
TestPlane DirectChromaVertical(const TestPlane& in, uint64_t out_ysize);

// A deterministic plane of values in [-1, 2).
TestPlane RandomTestPlane(uint64_t xsize, uint64_t ysize, uint32_t seed);

}  // namespace qov::test

#endif  // QOV_TESTS_RENDER_RESAMPLING_TEST_HELPERS_H_
