// Files cut short, decoded to pixels: the varied files of the header-level
// truncation test plus a lossless, a VarDCT, an animated and a 'jbrd' file,
// cut at every box boundary, every frame header and section end (found by
// feeding the file a byte at a time and watching where the decoder moves on)
// and at a strided set of lengths, fed whole, in 2048-byte, 7-byte and
// 1-byte chunks. A cut file never decodes as complete: without the end of
// input marked the decoder wants input, with it the decode fails; every
// frame finished before the cut has the pixels of the complete file, and the
// complete file gives the same pixels fed every way. The 'jbrd' files are
// also decoded with JPEG output attached: the rebuilt JPEG file of the
// complete file is the known one, and a cut file never yields another.
#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "gtest/gtest.h"
#include "lib/api/decoder_state.h"
#include "qov/qov.h"
#include "tests/api/decoder_test_helpers.h"
#include "tests/api/pixel_decode_helpers.h"

namespace qov {
namespace {

struct PixelTruncationCase {
  const char* name;
  // Strided cuts per file (besides the boundaries); 0 cuts at boundaries only.
  int strided_cuts;
  // Whether the sanitizer build runs the file (large renders are left to the
  // optimised build).
  bool sanitized;
  // Decoded with JPEG output attached: the complete file rebuilds the JPEG
  // file of renders/<name>.jpg.
  bool jpeg = false;
};

const PixelTruncationCase kCases[] = {
    // The files of the header-level truncation test but one: five frames
    // of 2048 x 1152 (Traneptora__jxlatte__samples__wb-rainbow.jxl) take
    // seconds to render whole.
    {"alistair7__jxltk__contrib__jxlazy__testfiles__generated.jxl", 24, false},
    {"Isotr0py__pillow-jpegxl-plugin__test__images__metadata__1x1_exif_xmp.jpg.jxl", 24, true},
    {"KDE__kimageformats__autotests__read__jxl__bug_496350.jxl", 16, false},
    {"andrinbr__xl-view__tests__fixtures__oriented.jxl", 24, true},
    {"OxideAV__oxideav-jpegxl__tests__fixtures__animation_3frame.jxl", 24, true},
    {"tirr-c__jxl-oxide-testdata__issue_24__input.jxl", 24, false},
    {"alistair7__jxltk__doc__10_seconds_countdown.gif.jxl", 4, false},
    {"KDE__kimageformats__autotests__read__jxl__gimp_exif.jxl", 16, false},
    {"KDE__kimageformats__autotests__read__jxl__testcard_rgba_fp16.jxl", 16, false},
    {"KDE__kimageformats__autotests__read__jxl__framenumbers.jxl", 16, false},
    {"KDE__kimageformats__autotests__read__jxl__compressed_metadata.jxl", 12, false},
    // Lossless 16-bit modular, 96 x 96.
    {"KDE__kimageformats__autotests__write__format__jxl__Format_RGB16.jxl", 24, false},
    // VarDCT, 256 x 256.
    {"OxideAV__oxideav-jpegxl__tests__fixtures__vardct_256x256_d1.jxl", 24, false},
    // Animation of two frames.
    {"andrinbr__xl-view__tests__fixtures__animation.jxl", 24, false},
    // VarDCT with a 'jbrd' box and restart markers.
    {"OxideAV__oxideav-jpegxl__tests__fixtures__r448_rst444.jxl", 24, true},
    // The same rebuilt as JPEG, and a second 'jbrd' file (4:2:0, no restart
    // markers) rebuilt as JPEG.
    {"OxideAV__oxideav-jpegxl__tests__fixtures__r448_rst444.jxl", 24, true, true},
    {"alistair7__jxltk__contrib__jxlazy__testfiles__jpeg.jpg.jxl", 24, true, true},
};

uint64_t LoadBE(const Bytes& b, uint64_t at, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | b[at + static_cast<uint64_t>(i)];
  return v;
}

// Box starts, content starts and ends of a container file.
std::set<uint64_t> BoxBoundaries(const Bytes& file) {
  std::set<uint64_t> marks;
  if (file.size() < 12 || file[0] != 0) return marks;
  uint64_t at = 0;
  while (at + 8 <= file.size()) {
    uint64_t size = LoadBE(file, at, 4);
    uint64_t header = 8;
    if (size == 1 && at + 16 <= file.size()) {
      size = LoadBE(file, at + 8, 8);
      header = 16;
    }
    if (size == 0) size = file.size() - at;
    if (size < header) break;
    marks.insert(at);
    marks.insert(at + header);
    at += size;
  }
  marks.insert(at);
  return marks;
}

// Where the decoder moves on from one frame header, table of contents or
// section to the next, as lengths of the file: fed a byte at a time, the
// length at which the frame count, the frame stage or the first undecoded
// section changed.
struct ProgressWatch {
  std::tuple<uint64_t, uint32_t, uint64_t> key{0, 0, 0};
  uint64_t last_given = 0;
  std::set<uint64_t> marks;

  static void OnInput(void* opaque, QovDecoder dec, uint64_t given) {
    auto* w = static_cast<ProgressWatch*>(opaque);
    const auto key = std::make_tuple(dec->internal_frame_count, dec->frame_stage,
                                     dec->first_unprocessed_section);
    if (key != w->key) w->marks.insert(w->last_given);
    w->key = key;
    w->last_given = given;
  }
};

struct Way {
  const char* name;
  size_t chunk;
};
const Way kWays[] = {{"whole", 0}, {"2048-byte chunks", 2048}, {"7-byte chunks", 7},
                     {"1-byte chunks", 1}};

TEST(PixelTruncationTest, CutFilesFailOrWantInputAndKeepFinishedFrames) {
  for (const PixelTruncationCase& c : kCases) {
#ifdef QOV_TEST_SANITIZED
    if (!c.sanitized) continue;
#endif
    SCOPED_TRACE(std::string(c.name) + (c.jpeg ? " as JPEG" : ""));
    const Bytes file = ReadSample(c.name);
    ASSERT_FALSE(file.empty());

    // The complete file, fed every way: the same pixels. The byte-at-a-time
    // run, the reference, also finds the frame and section boundaries and
    // how much of the file the decoder needs.
    ProgressWatch watch;
    PixelDecodeOptions by_byte;
    by_byte.chunk = 1;
    by_byte.on_input = &ProgressWatch::OnInput;
    by_byte.on_input_opaque = &watch;
    by_byte.jpeg_output = c.jpeg;
    const PixelDecodeResult reference = DecodePixels(file, by_byte);
    ASSERT_EQ("", reference.error);
    ASSERT_EQ(QOV_DEC_OK, reference.last);
    ASSERT_FALSE(reference.frames.empty());
    if (c.jpeg) {
      const Bytes known = ReadFileBytes(std::string(QOV_TESTDATA_DIR) + "/renders/" +
                                        c.name + ".jpg");
      ASSERT_FALSE(known.empty());
      ASSERT_EQ(1u, reference.jpeg_frames);
      ASSERT_TRUE(reference.frames[0] == known) << "the rebuilt JPEG file differs";
    }
    for (const Way& way : kWays) {
      if (way.chunk == 1) continue;
      SCOPED_TRACE(way.name);
      PixelDecodeOptions o;
      o.chunk = way.chunk;
      o.jpeg_output = c.jpeg;
      o.jpeg_space = 256;  // the decoder asks for more and writes it again
      const PixelDecodeResult r = DecodePixels(file, o);
      ASSERT_EQ("", r.error);
      ASSERT_EQ(QOV_DEC_OK, r.last);
      ASSERT_EQ(reference.frames.size(), r.frames.size());
      for (size_t k = 0; k < r.frames.size(); ++k) {
        ASSERT_TRUE(r.frames[k] == reference.frames[k]) << "frame " << k;
      }
    }
    ASSERT_FALSE(watch.marks.empty());

    // The cuts: next to every boundary, and strided.
    std::set<uint64_t> cuts;
    std::set<uint64_t> marks = BoxBoundaries(file);
    marks.insert(watch.marks.begin(), watch.marks.end());
    for (const uint64_t m : marks) {
      for (uint64_t n = m == 0 ? 0 : m - 1; n <= m; ++n) cuts.insert(n);
    }
    for (int k = 0; k < c.strided_cuts; ++k) {
      cuts.insert(file.size() * static_cast<uint64_t>(k) /
                  static_cast<uint64_t>(c.strided_cuts));
    }
    // What the decoder needs ends where it finished the last frame; trailing
    // boxes after that may be cut without harm.
    const uint64_t needed = reference.given_at_frame_done.back();
    cuts.insert(needed - 1);
    cuts.insert(needed);

    size_t turn = 0;
    for (const uint64_t length : cuts) {
      if (length >= file.size()) continue;
      const Way& way = kWays[turn++ % 4];
      const Bytes prefix(file.begin(), file.begin() + static_cast<ptrdiff_t>(length));
      // Each cut once with the end of input marked and once without; the
      // larger files take turns.
      const bool both = file.size() < 4096;
      for (const bool end_input : {false, true}) {
        if (!both && end_input != ((turn / 4) % 2 == 1)) continue;
        SCOPED_TRACE("cut at " + std::to_string(length) + ", " + way.name +
                     (end_input ? ", end marked" : ", end not marked"));
        PixelDecodeOptions o;
        o.chunk = way.chunk;
        o.end_input = end_input;
        o.jpeg_output = c.jpeg;
        o.jpeg_space = turn % 2 == 0 ? 256 : 0;
        const PixelDecodeResult r = DecodePixels(prefix, o);
        ASSERT_EQ("", r.error);
        if (length < needed) {
          EXPECT_EQ(end_input ? QOV_DEC_FAILED : QOV_DEC_WANT_INPUT, r.last);
        } else {
          // Every frame is there; only trailing boxes were cut.
          EXPECT_TRUE(r.last == QOV_DEC_OK || r.last == QOV_DEC_FAILED ||
                      r.last == QOV_DEC_WANT_INPUT);
          EXPECT_EQ(reference.frames.size(), r.frames.size());
        }
        ASSERT_LE(r.frames.size(), reference.frames.size());
        for (size_t k = 0; k < r.frames.size(); ++k) {
          ASSERT_TRUE(r.frames[k] == reference.frames[k]) << "frame " << k;
        }
        if (::testing::Test::HasFailure()) return;  // one report per fault
      }
    }
  }
}

}  // namespace
}  // namespace qov
