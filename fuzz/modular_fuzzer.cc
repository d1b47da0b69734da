// Drives the modular sub-stream decoder on arbitrary bytes: group header,
// transforms, MA tree, entropy codes and channel data. The input's first
// bytes give the channel list (count and sizes), the stream number and the
// decode options; the rest is the stream. Checks that no input crashes,
// hangs, over-reads or leaks; that the decoder with its fast paths and the
// decoder forced onto the general tree walk agree on status and on every
// sample; and that a successful decode with undone transforms gives back
// the channel list it was given. A variant makes the memory manager fail
// after some allocations.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "lib/base/memory.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/modular/modular_image.h"
#include "lib/modular/modular_stream.h"

namespace {

using namespace qov;

#define Check(condition) QOV_FUZZ_CHECK("modular fuzzer", condition)

using qov_fuzz::FailingAllocator;
using qov_fuzz::FailingAlloc;
using qov_fuzz::FailingFree;

struct Shape {
  uint64_t width, height;
};

struct Outcome {
  StatusValue status = StatusValue::Ok;
  bool built = false;
  std::vector<std::vector<int32_t>> samples;
};

Outcome Run(const QovMemoryManagerStruct* manager,
            const std::vector<Shape>& shapes, const uint8_t* data, size_t size,
            uint64_t stream_id, bool undo, bool allow_truncated, bool force) {
  Outcome out;
  auto image = ModularImage::Create(manager, 1, 1, 8, 0);
  if (!image.ok()) return out;
  for (const Shape& s : shapes) {
    auto c = ModularChannel::Create(manager, s.width, s.height, 0, 0);
    if (!c.ok()) return out;
    // Channels start uninitialised; streams that end inside the group
    // header leave them so.
    for (size_t y = 0; y < s.height; ++y) {
      std::fill(c->Row(y), c->Row(y) + s.width, 0);
    }
    image->channels.push_back(std::move(*c));
  }
  out.built = true;
  ModularSettings settings;
  settings.force_tree_path = force;
  BitReader reader(Span(data, size));
  out.status = DecodeModularStream(reader, *image, nullptr, stream_id, settings,
                                   undo, nullptr, nullptr, nullptr,
                                   allow_truncated)
                   .code();
  if (out.status == StatusValue::Ok && undo) {
    Check(image->channels.size() == shapes.size());
    Check(image->transforms.empty());
    for (size_t k = 0; k < shapes.size(); ++k) {
      Check(image->channels[k].width == shapes[k].width);
      Check(image->channels[k].height == shapes[k].height);
    }
  }
  if (out.status != StatusValue::Failed) {
    for (const ModularChannel& c : image->channels) {
      std::vector<int32_t> v;
      for (size_t y = 0; y < c.height; ++y) {
        v.insert(v.end(), c.Row(y), c.Row(y) + c.width);
      }
      out.samples.push_back(std::move(v));
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t count = 1 + data[0] % 4;
  const uint8_t flags = data[1];
  const uint8_t variant = data[2];
  size_t pos = 3;
  std::vector<Shape> shapes;
  for (size_t k = 0; k < count; ++k) {
    const uint8_t w = pos < size ? data[pos++] : 1;
    const uint8_t h = pos < size ? data[pos++] : 1;
    // Sizes up to 64 keep each run short; 0 is allowed.
    shapes.push_back({uint64_t{w} % 65, uint64_t{h} % 65});
  }
  // Long inputs (sample files in the replay) are cut: the stream decoder
  // reads a bounded amount per pixel anyway.
  const size_t stream_size = std::min<size_t>(size - pos, 1 << 16);
  const uint64_t stream_id = flags >> 3;
  const bool undo = (flags & 1) != 0;
  const bool allow_truncated = (flags & 2) != 0;

  const Outcome fast = Run(HeapMemoryManager(), shapes, data + pos, stream_size,
                           stream_id, undo, allow_truncated, false);
  const Outcome general = Run(HeapMemoryManager(), shapes, data + pos,
                              stream_size, stream_id, undo, allow_truncated,
                              true);
  Check(fast.status == general.status);
  Check(fast.samples == general.samples);

  if ((flags & 4) != 0) {
    FailingAllocator allocator{variant};
    const QovMemoryManagerStruct failing = {&allocator, FailingAlloc,
                                            FailingFree};
    const Outcome limited = Run(&failing, shapes, data + pos, stream_size,
                                stream_id, undo, allow_truncated, false);
    // Running out of memory can only turn success into failure.
    if (limited.built && limited.status != StatusValue::Failed) {
      Check(limited.status == fast.status);
      Check(limited.samples == fast.samples);
    }
  }
  return 0;
}
