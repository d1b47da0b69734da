// Resource bounds of whole decodes to pixels whose frames really decode:
// codestreams of modular frames written here, with patches drawn from a
// stored frame, or thousands of frames, decoded through the internal pixel
// hook. Each finishes (or, past the decoder's limits, fails) with bounded
// work (pixels blended, counted by the decoder) and a bounded peak resident
// set.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "lib/base/work_counts.h"
#include "lib/bitstream/frame_header.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/write_fields.h"
#include "tests/modular/modular_frame_writer_helpers.h"
#include "tests/support/feature_streams.h"
#include "tests/support/hook_decode.h"
#include "tests/support/resident_memory.h"

namespace qov {
namespace {

using modular_test::Leaf;
using modular_test::ModularFrameSpec;
using modular_test::TestChannel;

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint32_t kSide = 256;

CodecMetadata Metadata() {
  return modular_test::PlainMetadata(kSide, kSide);
}

struct FrameOptions {
  uint32_t side = kSide;
  uint32_t frame_type = 0;  // 0 regular, 2 reference only
  uint32_t save_as_reference = 0;
  bool is_last = true;
  int32_t value = 0;  // every sample
  // Patch tokens (contexts of the patch stream); the frame has patches
  // when not empty.
  std::vector<Token> patches;
};

// The frame as the modular writer writes it: 8-bit RGB, one value
// everywhere, colour transform none, stored before it.
std::vector<uint8_t> WriteFrame(const CodecMetadata& metadata, const FrameOptions& o) {
  ModularFrameSpec spec(&metadata);
  FrameHeader& h = spec.header;
  h.all_default = false;
  h.encoding = static_cast<uint32_t>(FrameCoding::kModular);
  h.color_transform = static_cast<uint32_t>(ColorTransformKind::kNone);
  h.loop_filter.gab = false;
  h.loop_filter.epf_iters = 0;
  h.custom_size_or_origin = o.side != kSide;
  h.custom_xsize = o.side;
  h.custom_ysize = o.side;
  h.frame_type = o.frame_type;
  h.is_last = o.is_last;
  h.save_as_reference = o.save_as_reference;
  h.save_before_color_transform = o.save_as_reference != 0;
  if (!o.patches.empty()) {
    h.flags |= FrameFlags::kPatches;
    spec.features = [&](BitWriter* writer) {
      return feature_test::WriteStreamTo(writer, 10, o.patches);
    };
  }
  for (size_t c = 0; c < 3; ++c) {
    TestChannel ch;
    ch.width = o.side;
    ch.height = o.side;
    ch.samples.assign(static_cast<size_t>(o.side) * o.side, o.value);
    spec.channels.push_back(ch);
  }
  spec.tree = modular_test::Flatten(Leaf(0));
  std::vector<uint8_t> frame;
  EXPECT_TRUE(modular_test::WriteModularFrame(spec, &frame).ok());
  return frame;
}

std::vector<uint8_t> WriteCodestream(const std::vector<FrameOptions>& frames) {
  const CodecMetadata metadata = Metadata();
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(modular_test::WriteImageHeader(metadata, &bytes).ok());
  for (const FrameOptions& o : frames) {
    const std::vector<uint8_t> frame = WriteFrame(metadata, o);
    bytes.insert(bytes.end(), frame.begin(), frame.end());
  }
  return bytes;
}

struct Outcome {
  HookDecodeResult result;
  uint64_t peak_growth = 0;  // peak resident set above what it was before
  uint64_t composited = 0;   // pixels blended, frames and patches alike
};

Outcome Decode(const std::vector<uint8_t>& file) {
  test::ResetPeakResident();
  const uint64_t before = test::PeakResidentBytes();
  // No task runner: the decoder works on this thread only.
  const uint64_t composited_before = WorkDone(Work::kCompositedPixels);
  Outcome out;
  HookDecodeOptions options;
  options.chunk = 4096;
  options.type = OutputSampleType::kUint8;
  out.result = HookDecode(file, options);
  out.composited = WorkDone(Work::kCompositedPixels) - composited_before;
  const uint64_t after = test::PeakResidentBytes();
  out.peak_growth = after > before ? after - before : 0;
  return out;
}

// Patch tokens: `sources` sources of slot 1, each `size` x `size` at
// (0, 0) of the stored frame, each placed `placements` times at
// (x, 0) for the source's index x modulo the room left, added.
std::vector<Token> PatchTokens(uint32_t sources, uint32_t size, uint32_t placements) {
  std::vector<Token> t;
  t.emplace_back(0, sources);
  for (uint32_t i = 0; i < sources; ++i) {
    t.emplace_back(1, 1);         // slot
    t.emplace_back(3, 0);         // x0
    t.emplace_back(3, 0);         // y0
    t.emplace_back(2, size - 1);  // xsize - 1
    t.emplace_back(2, size - 1);  // ysize - 1
    t.emplace_back(7, placements - 1);
    for (uint32_t j = 0; j < placements; ++j) {
      if (j == 0) {
        t.emplace_back(4, i % (kSide - size + 1));
        t.emplace_back(4, 0);
      } else {
        t.emplace_back(6, 0);  // the same place again
        t.emplace_back(6, 0);
      }
      t.emplace_back(5, 2);  // add
    }
  }
  return t;
}

TEST(FeatureResourceBoundsTest, PatchesDrawBoundedWorkOrFail) {
  // L = 256 * 256 / 4 + 1024 = 17408 sources, 4L placements; the decoder's
  // own bound lets placements cover 16 * 256^2 + 2^20 = 2^21 pixels.
  constexpr uint64_t kPlacedAreaBound = 16 * kSide * kSide + (uint64_t{1} << 20);
  struct Case {
    const char* what;
    uint32_t sources, size, placements;
    bool decodes;
  };
  const Case cases[] = {
      {"L sources of one pixel", 17408, 1, 1, true},
      {"the whole stored frame 32 times (the area bound)", 1, kSide, 32, true},
      {"the whole stored frame 33 times", 1, kSide, 33, false},
      // 4L placements of the whole frame: 2^32 pixels to blend before the
      // area bound.
      {"the whole stored frame 4L times", 1, kSide, 4 * 17408, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FrameOptions stored;
    stored.frame_type = 2;
    stored.save_as_reference = 1;
    stored.is_last = false;
    stored.value = 1;
    FrameOptions drawn;
    drawn.patches = PatchTokens(c.sources, c.size, c.placements);
    const std::vector<uint8_t> file = WriteCodestream({stored, drawn});
    ASSERT_LT(file.size(), 64 * 1024u);
    const Outcome o = Decode(file);
    EXPECT_EQ(c.decodes, o.result.ok) << o.result.error;
    if (c.decodes) {
      ASSERT_EQ(1u, o.result.frames.size());
      // Every placement adds 1 (of 255) where it lies: the first pixel is
      // under the placements of the sources placed at x = 0.
      const uint32_t at_zero = (c.sources + kSide - c.size) / (kSide - c.size + 1);
      EXPECT_EQ(std::min<uint32_t>(255, at_zero * c.placements), o.result.frames[0][0]);
    }
    // Nothing is blended but the placements, which fail before drawing
    // where they would pass the bound.
    EXPECT_LE(o.composited, kPlacedAreaBound);
    EXPECT_LT(o.peak_growth, 256 * kMiB + test::SanitizerResidentSlack());
  }
}

TEST(FeatureResourceBoundsTest, ThousandsOfDecodedFrames) {
  // 2000 frames of 64 x 64 pixels that really decode, each drawn over the
  // ones before (replace blending, the default): one displayed image, with
  // the memory of one frame at a time.
  std::vector<FrameOptions> frames(2000);
  for (size_t k = 0; k < frames.size(); ++k) {
    frames[k].side = 64;
    frames[k].value = static_cast<int32_t>(k % 251);
    frames[k].is_last = k + 1 == frames.size();
  }
  const std::vector<uint8_t> file = WriteCodestream(frames);
  const Outcome o = Decode(file);
  ASSERT_TRUE(o.result.ok) << o.result.error;
  ASSERT_EQ(1u, o.result.frames.size());
  // The last frame covers the top-left corner.
  EXPECT_EQ((frames.size() - 1) % 251, o.result.frames[0][0]);
  // Each frame is blended once, onto what the ones before left: work in
  // proportion to the frames, not to their square.
  EXPECT_LE(o.composited, frames.size() * 64 * 64 + kSide * kSide);
  EXPECT_LT(o.peak_growth, 64 * kMiB + test::SanitizerResidentSlack());
}

}  // namespace
}  // namespace qov
