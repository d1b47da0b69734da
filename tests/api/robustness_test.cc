// Robustness: damaged files never crash, hang or over-read (run under the
// sanitizers), and the state that seeds frame features does not depend on
// how the input is chunked.
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "lib/api/decoder_state.h"
#include "lib/frame/frame_decoding_state.h"
#include "qov/qov.h"
#include "tests/api/decoder_test_helpers.h"

namespace qov {
namespace {

Bytes Sample(const char* name) {
  return ReadFileBytes(std::string(QOV_TESTDATA_DIR) + "/files/" + name);
}

// Small files of different kinds: container with 'jxlp' parts, 'brob' boxes
// and an ICC profile, bare codestreams with several frames and crops.
const char* const kSamples[] = {
    "alistair7__jxltk__contrib__jxlazy__testfiles__generated.jxl",
    "exiftool__exiftool__t__images__JXL2.jxl",
    "Isotr0py__pillow-jpegxl-plugin__test__images__metadata__1x1_exif_xmp.jpg.jxl",
    "alistair7__jxltk__testfiles__crop__frame3_blend.jxl",
    "OxideAV__oxideav-jpegxl__tests__fixtures__animation_3frame.jxl",
    "andrinbr__xl-view__tests__fixtures__xmp-rating.jxl",
};

TEST(RobustnessTest, DamagedFilesEndCleanly) {
  std::mt19937 rng(12345);
  for (const char* name : kSamples) {
    const Bytes original = Sample(name);
    ASSERT_FALSE(original.empty()) << name;
    for (int round = 0; round < 400; ++round) {
      Bytes file = original;
      const int kind = round % 4;
      if (kind == 0) {  // flip a few bytes
        for (int i = 0; i < 3; ++i) file[rng() % file.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      } else if (kind == 1) {  // truncate
        file.resize(rng() % file.size());
      } else if (kind == 2) {  // large values into a (possible) size field
        const size_t at = rng() % file.size();
        for (size_t i = at; i < file.size() && i < at + 4; ++i) file[i] = 0xFF;
      } else {  // drop a run of bytes
        const size_t at = rng() % file.size();
        const size_t n = std::min<size_t>(1 + rng() % 16, file.size() - at);
        file.erase(file.begin() + static_cast<ptrdiff_t>(at),
                   file.begin() + static_cast<ptrdiff_t>(at + n));
      }
      DriveOptions o;
      o.keep_orientation = round % 2 == 0;
      o.coalescing = round % 3 == 0;
      o.box_buffers = round % 5 != 0;
      o.chunk = 1 + rng() % 64;
      o.max_advances = 1000000;
      const DriveResult r = Drive(file, o);
      EXPECT_TRUE(r.last == QOV_DEC_OK || r.last == QOV_DEC_FAILED)
          << name << " round " << round << ": " << r.log.back();
    }
  }
}

// Allocation failures anywhere give QOV_DEC_FAILED (or no handle at all),
// never a crash or a leak; with enough memory the result is the usual one.
TEST(RobustnessTest, AllocationFailures) {
  struct Budget {
    int left = 0;
    int live = 0;
  };
  QovMemoryManager m{};
  m.alloc = [](void* opaque, uint64_t size) -> void* {
    auto* b = static_cast<Budget*>(opaque);
    if (b->left == 0) return nullptr;
    --b->left;
    ++b->live;
    return std::malloc(size);
  };
  m.free = [](void* opaque, void* p) {
    if (p != nullptr) --static_cast<Budget*>(opaque)->live;
    std::free(p);
  };
  for (const char* name : {kSamples[0], kSamples[2]}) {
    const Bytes file = Sample(name);
    DriveOptions o;
    o.box_buffers = true;
    o.chunk = 100;
    const DriveResult reference = Drive(file, o);
    ASSERT_EQ(QOV_DEC_OK, reference.last) << name;
    bool reached_reference = false;
    for (int budget = 0; budget < 400 && !reached_reference; ++budget) {
      Budget b;
      b.left = budget;
      m.opaque = &b;
      o.manager = &m;
      const DriveResult r = Drive(file, o);
      EXPECT_EQ(0, b.live) << name << " budget " << budget;
      if (r.log == reference.log) {
        reached_reference = true;
      } else {
        EXPECT_EQ(QOV_DEC_FAILED, r.last) << name << " budget " << budget;
      }
    }
    EXPECT_TRUE(reached_reference) << name;
  }
}

// Frame counters (they seed the noise of later frames) advance once per
// frame header, however often a cut-off header and TOC are read again.
TEST(RobustnessTest, FrameCountersIgnoreChunking) {
  const Bytes file = Sample("KDE__kimageformats__autotests__read__jxl__framenumbers.jxl");
  ASSERT_FALSE(file.empty());
  uint64_t reference = 0;
  for (const size_t chunk : {size_t{0}, size_t{1}, size_t{3}, size_t{100}}) {
    QovDecoder dec = QovDecoderCreate(nullptr);
    ASSERT_EQ(QOV_DEC_OK, QovDecoderSubscribeEvents(dec, QOV_DEC_FRAME_START));
    size_t offset = 0, frames = 0;
    Bytes input;
    for (;;) {
      const QovDecoderStatus s = QovDecoderAdvance(dec);
      if (s == QOV_DEC_FRAME_START) {
        ++frames;
        continue;
      }
      if (s != QOV_DEC_WANT_INPUT) {
        EXPECT_EQ(QOV_DEC_OK, s);
        break;
      }
      const uint64_t tail = QovDecoderReclaimInput(dec);
      input.erase(input.begin(), input.end() - static_cast<ptrdiff_t>(tail));
      const size_t step = chunk == 0 ? file.size() : std::min(chunk, file.size() - offset);
      input.insert(input.end(), file.begin() + static_cast<ptrdiff_t>(offset),
                   file.begin() + static_cast<ptrdiff_t>(offset + step));
      offset += step;
      ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(dec, input.data(), input.size()));
      if (offset == file.size()) QovDecoderEndInput(dec);
    }
    EXPECT_EQ(16u, frames);
    ASSERT_NE(nullptr, dec->frame_state);
    const uint64_t visible = dec->frame_state->visible_frame_index;
    if (chunk == 0) reference = visible;
    EXPECT_EQ(16u, visible) << "chunk " << chunk;
    EXPECT_EQ(reference, visible) << "chunk " << chunk;
    QovDecoderDelete(dec);
  }
}

}  // namespace
}  // namespace qov
