// Hand-made modular images for the transform tests.
#include "tests/modular/modular_test_helpers.h"

#include <atomic>
#include <random>
#include <thread>
#include <sstream>

#include "gtest/gtest.h"
#include "lib/base/memory.h"

namespace qov::test {

ModularImage MakeImage(const std::vector<ChannelShape>& shapes,
                       uint64_t meta_channel_count) {
  ModularImage image(HeapMemoryManager());
  image.error = false;
  image.bit_depth = 8;
  for (size_t i = 0; i < shapes.size(); ++i) {
    const ChannelShape& s = shapes[i];
    StatusOr<ModularChannel> ch = ModularChannel::Create(
        HeapMemoryManager(), s.width, s.height, s.hshift, s.vshift);
    EXPECT_TRUE(ch.ok());
    if (!ch.ok()) continue;
    ch->component = static_cast<int32_t>(i);
    for (uint64_t y = 0; y < s.height; ++y) {
      for (uint64_t x = 0; x < s.width; ++x) ch->Row(y)[x] = 0;
    }
    image.channels.push_back(std::move(ch).value());
  }
  if (!shapes.empty()) {
    image.width = shapes.back().width;
    image.height = shapes.back().height;
  }
  image.meta_channel_count = meta_channel_count;
  return image;
}

void Fill(ModularImage& image, size_t c, const std::vector<int32_t>& values) {
  ModularChannel& ch = image.channels[c];
  ASSERT_EQ(values.size(), ch.width * ch.height) << "channel " << c;
  for (uint64_t y = 0; y < ch.height; ++y) {
    for (uint64_t x = 0; x < ch.width; ++x) {
      ch.Row(y)[x] = values[y * ch.width + x];
    }
  }
}

void FillRandom(ModularImage& image, size_t c, uint32_t seed, int32_t lo,
                int32_t hi) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int32_t> dist(lo, hi);
  ModularChannel& ch = image.channels[c];
  for (uint64_t y = 0; y < ch.height; ++y) {
    for (uint64_t x = 0; x < ch.width; ++x) ch.Row(y)[x] = dist(rng);
  }
}

std::vector<int32_t> Samples(const ModularImage& image, size_t c) {
  const ModularChannel& ch = image.channels[c];
  std::vector<int32_t> out;
  out.reserve(ch.width * ch.height);
  for (uint64_t y = 0; y < ch.height; ++y) {
    for (uint64_t x = 0; x < ch.width; ++x) out.push_back(ch.Row(y)[x]);
  }
  return out;
}

int32_t ThreadedRunner::Run(void* runner_opaque, void* loop_opaque,
                            TaskInitFn init, TaskItemFn item, uint32_t begin,
                            uint32_t end) {
  ThreadedRunner* self = static_cast<ThreadedRunner*>(runner_opaque);
  ++self->loops;
  constexpr uint64_t kThreads = 4;
  if (init != nullptr && init(loop_opaque, kThreads) != 0) return -1;
  std::atomic<uint32_t> next{begin};
  std::vector<std::thread> threads;
  for (uint64_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (uint32_t i = next++; i < end; i = next++) item(loop_opaque, i, t);
    });
  }
  for (std::thread& t : threads) t.join();
  return self->fail ? -1 : 0;
}

std::vector<ChannelShape> Shapes(const ModularImage& image) {
  std::vector<ChannelShape> out;
  for (const ModularChannel& ch : image.channels) {
    out.push_back({ch.width, ch.height, ch.hshift, ch.vshift});
  }
  return out;
}

std::string ShapesString(const std::vector<ChannelShape>& shapes) {
  std::ostringstream s;
  for (const ChannelShape& c : shapes) {
    s << c.width << "x" << c.height << "(" << c.hshift << "," << c.vshift
      << ") ";
  }
  return s.str();
}

}  // namespace qov::test
