// Small hand-made modular images for the transform tests: channels filled
// from value lists, read back as value lists, and shape summaries.
#ifndef QOV_TESTS_MODULAR_MODULAR_TEST_HELPERS_H_
#define QOV_TESTS_MODULAR_MODULAR_TEST_HELPERS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "lib/modular/modular_image.h"

namespace qov::test {

struct ChannelShape {
  uint64_t width;
  uint64_t height;
  int32_t hshift = 0;
  int32_t vshift = 0;
  bool operator==(const ChannelShape& o) const {
    return width == o.width && height == o.height && hshift == o.hshift &&
           vshift == o.vshift;
  }
};

// An image (error clear, bit depth 8) with one channel per shape, samples 0.
ModularImage MakeImage(const std::vector<ChannelShape>& shapes,
                       uint64_t meta_channel_count = 0);

// Writes `values` (row-major, width x height of the channel) into channel c.
void Fill(ModularImage& image, size_t c, const std::vector<int32_t>& values);
// Fills channel c with seeded values in [lo, hi].
void FillRandom(ModularImage& image, size_t c, uint32_t seed, int32_t lo,
                int32_t hi);
// The samples of channel c, row-major.
std::vector<int32_t> Samples(const ModularImage& image, size_t c);

// A task runner over four threads that take items from a shared counter;
// `fail` makes it report failure after running every item.
struct ThreadedRunner {
  bool fail = false;
  int loops = 0;
  static int32_t Run(void* runner_opaque, void* loop_opaque, TaskInitFn init,
                     TaskItemFn item, uint32_t begin, uint32_t end);
  TaskPool pool() { return TaskPool{&ThreadedRunner::Run, this}; }
};

std::vector<ChannelShape> Shapes(const ModularImage& image);
std::string ShapesString(const std::vector<ChannelShape>& shapes);

}  // namespace qov::test

#endif  // QOV_TESTS_MODULAR_MODULAR_TEST_HELPERS_H_
