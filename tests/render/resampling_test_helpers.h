// Direct whole-plane computations of the resampling and spot-colour stages
// for comparison with what the stages and pipelines render.
#ifndef QOV_TESTS_RENDER_RESAMPLING_TEST_HELPERS_H_
#define QOV_TESTS_RENDER_RESAMPLING_TEST_HELPERS_H_

#include <cstddef>
#include <cstdint>

#include "tests/render/render_test_kit_helpers.h"

namespace qov::test {

// The chroma interpolations, doubled in one direction, then cut to
// out_size in that direction; edges mirrored.
TestPlane DirectChromaHorizontal(const TestPlane& in, uint64_t out_xsize);
TestPlane DirectChromaVertical(const TestPlane& in, uint64_t out_ysize);

// A deterministic plane of values in [-1, 2).
TestPlane RandomTestPlane(uint64_t xsize, uint64_t ysize, uint32_t seed);

}  // namespace qov::test

#endif  // QOV_TESTS_RENDER_RESAMPLING_TEST_HELPERS_H_
