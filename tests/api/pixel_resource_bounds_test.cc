// Resource bounds of decodes to pixels: files of a few hundred bytes (or
// a few kilobytes) that claim a huge image, thousands of extra channels or
// thousands of frames, written with the project's own writers and decoded
// to pixels through the internal hook, fail or finish with what the memory
// manager hands out bounded by what the file can really describe. The
// sections are zero bytes, so a decode that gets as far as the first
// section fails there; what is checked is that nothing before it sizes an
// allocation from the claim.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "gtest/gtest.h"
#include "lib/bitstream/image_metadata.h"
#include "qov/qov.h"
#include "tests/api/decoder_test_helpers.h"
#include "tests/api/pixel_decode_helpers.h"

namespace qov {
namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;

// A memory manager that tracks the bytes it has out and their peak.
struct PeakManager {
  std::map<void*, uint64_t> blocks;
  uint64_t current = 0;
  uint64_t peak = 0;
  QovMemoryManager manager{this, &Alloc, &Free};

  static void* Alloc(void* opaque, uint64_t size) {
    auto* m = static_cast<PeakManager*>(opaque);
    void* p = std::malloc(size);
    if (p == nullptr) return nullptr;
    m->blocks[p] = size;
    m->current += size;
    m->peak = std::max(m->peak, m->current);
    return p;
  }
  static void Free(void* opaque, void* p) {
    auto* m = static_cast<PeakManager*>(opaque);
    if (p == nullptr) return;
    m->current -= m->blocks.at(p);
    m->blocks.erase(p);
    std::free(p);
  }
};

// A codestream of `frames` modular frames of the image's size, each one
// section of `section_bytes` zero bytes.
Bytes Codestream(CodestreamWriter& w, size_t frames, size_t section_bytes) {
  for (size_t k = 0; k < frames; ++k) {
    FrameHeader h = w.NewFrame();
    h.is_last = k + 1 == frames;
    w.AddFrame(h, Bytes(section_bytes, 0));
  }
  return w.Write();
}

struct Outcome {
  PixelDecodeResult result;
  uint64_t peak = 0;
  uint64_t left = 0;
};

Outcome Decode(const Bytes& file, size_t chunk) {
  PeakManager m;
  PixelDecodeOptions o;
  o.manager = &m.manager;
  o.chunk = chunk;
  o.type = OutputSampleType::kUint8;
  Outcome out;
  out.result = DecodePixels(file, o);
  out.peak = m.peak;
  out.left = m.current;
  return out;
}

TEST(PixelResourceBoundsTest, HugeImageClaimFailsBeforeAllocating) {
  // 2^30 x 2^30, and the largest image a single-section frame can be.
  for (const uint32_t side : {uint32_t{1} << 30, uint32_t{1} << 20}) {
    SCOPED_TRACE("side " + std::to_string(side));
    CodestreamWriter w;
    w.SetSize(side, side);
    const Bytes file = Codestream(w, 1, 100);
    ASSERT_LT(file.size(), 400u);
    for (const size_t chunk : {size_t{0}, size_t{7}}) {
      const Outcome o = Decode(file, chunk);
      // The decoder refuses the frame itself: the harness never saw a
      // request for a buffer of that size.
      EXPECT_EQ("", o.result.error);
      EXPECT_EQ(QOV_DEC_FAILED, o.result.last);
      EXPECT_LT(o.peak, 16 * kMiB);
      EXPECT_EQ(0u, o.left);
    }
  }
}

TEST(PixelResourceBoundsTest, ThousandsOfExtraChannels) {
  CodestreamWriter w;
  w.SetSize(64, 64);
  w.metadata.m.extra_channel_info.resize(4096);
  const Bytes file = Codestream(w, 1, 100);
  const Outcome o = Decode(file, 0);
  EXPECT_EQ("", o.result.error);
  EXPECT_TRUE(o.result.last == QOV_DEC_FAILED || o.result.last == QOV_DEC_OK);
  // 4096 channels of 64 x 64 samples are 64 MiB as 32-bit samples: the
  // decoder may hold them, a few times over at most.
  EXPECT_LT(o.peak, 4 * 64 * kMiB);
  EXPECT_EQ(0u, o.left);
}

TEST(PixelResourceBoundsTest, ThousandsOfFrames) {
  CodestreamWriter w;
  w.SetSize(64, 64);
  const Bytes file = Codestream(w, 5000, 4);
  const Outcome o = Decode(file, 2048);
  EXPECT_EQ("", o.result.error);
  EXPECT_TRUE(o.result.last == QOV_DEC_FAILED || o.result.last == QOV_DEC_OK);
  // One frame at a time: what a 64 x 64 frame needs, not 5000 of them.
  EXPECT_LT(o.peak, 8 * kMiB);
  EXPECT_EQ(0u, o.left);
}

}  // namespace
}  // namespace qov
