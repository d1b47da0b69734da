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

// A memory manager that fails the allocation with index `fail_at` (counting
// from 0) and, in the sticky mode, every one after it; it counts what it
// hands out, so that a leak of a managed block shows as live blocks after
// deletion (LeakSanitizer catches leaks of the ordinary heap).
struct FailingBudget {
  uint64_t fail_at = UINT64_MAX;
  bool sticky = true;
  uint64_t calls = 0;
  int64_t live = 0;
  bool failed_one = false;
};

QovMemoryManager FailingManager(FailingBudget* budget) {
  QovMemoryManager m{};
  m.opaque = budget;
  m.alloc = [](void* opaque, uint64_t size) -> void* {
    auto* b = static_cast<FailingBudget*>(opaque);
    const uint64_t index = b->calls++;
    if (index == b->fail_at || (b->sticky && index > b->fail_at)) {
      b->failed_one = true;
      return nullptr;
    }
    ++b->live;
    return std::malloc(size);
  };
  m.free = [](void* opaque, void* p) {
    if (p != nullptr) --static_cast<FailingBudget*>(opaque)->live;
    std::free(p);
  };
  return m;
}

// Codestream parts in the order 0, 2, 1: part 2 is buffered until part 1
// has been read.
Bytes EarlyPartFile() {
  CodestreamWriter w;
  FrameHeader first = w.NewFrame();
  first.is_last = false;
  first.name = "first";
  w.AddFrame(first, Bytes(3000, 0x5A));
  FrameHeader second = w.NewFrame();
  w.AddFrame(second, Bytes(40, 0xA5));
  const Bytes cs = w.Write();
  const size_t a = 7, b = cs.size() - 1000;
  return Concat({SignatureBox(), FtypBox(1), PartBox(0, false, Bytes(cs.begin(), cs.begin() + a)),
                 PartBox(2, true, Bytes(cs.begin() + b, cs.end())),
                 PartBox(1, false, Bytes(cs.begin() + a, cs.begin() + b))});
}

// Allocation failures anywhere give QOV_DEC_FAILED (or no handle at all),
// never a crash or a leak: for every allocation k of a full run, failing k
// alone and failing k and everything after it. A failure that the decoder
// swallowed would show as a run that ends otherwise.
TEST(RobustnessTest, AllocationFailures) {
  struct Case {
    std::string name;
    Bytes file;
    size_t chunk;
  };
  const Case cases[] = {
      // 'jxlp' parts, 'brob', ICC profile, three frames.
      {kSamples[0], Sample(kSamples[0]), 100},
      // 'jbrd' and 'brob' boxes between parts; small inputs, so that the
      // headers straddle inputs and go through the copy buffer.
      {kSamples[2], Sample(kSamples[2]), 7},
      // Bare animation of 16 frames with an ICC profile, read in the tool's
      // chunks (frames passed over across inputs).
      {"framenumbers", Sample("KDE__kimageformats__autotests__read__jxl__framenumbers.jxl"), 2048},
      // A 'brob' box and the ICC profile after the codestream, whole input.
      {"gimp_exif", Sample("KDE__kimageformats__autotests__read__jxl__gimp_exif.jxl"), 0},
      // Large ICC profile; 'brob' boxes between large parts.
      {"compressed_metadata",
       Sample("KDE__kimageformats__autotests__read__jxl__compressed_metadata.jxl"), 2048},
      // An early part held back in a buffered part.
      {"early part", EarlyPartFile(), 500},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.file.empty());
    DriveOptions o;
    o.box_buffers = true;
    o.chunk = c.chunk;
    FailingBudget counting;
    const QovMemoryManager counting_manager = FailingManager(&counting);
    o.manager = &counting_manager;
    const DriveResult reference = Drive(c.file, o);
    ASSERT_EQ(QOV_DEC_OK, reference.last);
    ASSERT_EQ(0, counting.live);
    const uint64_t total = counting.calls;
    ASSERT_GT(total, 1u);
    for (const bool sticky : {true, false}) {
      for (uint64_t k = 0; k < total; ++k) {
        FailingBudget b;
        b.fail_at = k;
        b.sticky = sticky;
        const QovMemoryManager m = FailingManager(&b);
        o.manager = &m;
        const DriveResult r = Drive(c.file, o);
        SCOPED_TRACE("failing allocation " + std::to_string(k) +
                     (sticky ? " and later ones" : " alone"));
        EXPECT_EQ(0, b.live);
        EXPECT_TRUE(b.failed_one);
        EXPECT_EQ(QOV_DEC_FAILED, r.last) << r.log.back();
        if (::testing::Test::HasFailure()) return;  // one report per fault
      }
    }
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
