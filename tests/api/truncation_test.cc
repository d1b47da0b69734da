// Files cut short: every prefix of a set of varied real files (containers
// with 'jxlp' parts, 'brob' and 'jbrd' boxes, ICC profiles, animations, bare
// codestreams) ends cleanly. Driven the way qovinfo drives the decoder (the
// same events, box output for every box), a prefix ends with QOV_DEC_FAILED,
// or with QOV_DEC_OK exactly when the prefix is itself a complete file as far
// as the decoder reads it; the events before the end are those of the whole
// file, and no box is reported complete with other contents than it has.
#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "qov/qov.h"
#include "tests/api/decoder_test_helpers.h"

namespace qov {
namespace {

Bytes Sample(const std::string& name) {
  return ReadFileBytes(std::string(QOV_TESTDATA_DIR) + "/files/" + name);
}

uint64_t LoadBE(const Bytes& b, uint64_t at, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | b[at + static_cast<uint64_t>(i)];
  return v;
}

// Where a prefix is a complete file for the decoder.
struct Layout {
  bool container = false;
  // Container: the end of every box, and the end of the box that holds the
  // last codestream bytes.
  std::vector<uint64_t> box_ends;
  uint64_t codestream_end = 0;
  // Box starts and content starts, where cuts near by are worth trying.
  std::vector<uint64_t> marks;
};

// A plain walk over the container's box headers, independent of the decoder.
Layout WalkBoxes(const Bytes& file) {
  Layout layout;
  layout.container = file.size() >= 12 && file[0] == 0;
  if (!layout.container) return layout;
  uint64_t at = 0;
  while (at + 8 <= file.size()) {
    uint64_t size = LoadBE(file, at, 4);
    const std::string type(file.begin() + static_cast<ptrdiff_t>(at + 4),
                           file.begin() + static_cast<ptrdiff_t>(at + 8));
    uint64_t header = 8;
    if (size == 1) {
      size = LoadBE(file, at + 8, 8);
      header = 16;
    }
    if (size == 0) size = file.size() - at;
    EXPECT_GE(size, header);
    layout.marks.push_back(at);
    layout.marks.push_back(at + header);
    at += size;
    layout.box_ends.push_back(at);
    if (type == "jxlc" || type == "jxlp") layout.codestream_end = at;
  }
  EXPECT_EQ(file.size(), at) << "the sample's boxes do not tile the file";
  return layout;
}

DriveOptions ToolLikeOptions(size_t chunk) {
  DriveOptions o;
  o.keep_orientation = true;
  o.coalescing = false;
  o.box_buffers = true;
  o.chunk = chunk;
  o.max_advances = 10000000;
  return o;
}

// The log without its last line (the final status).
std::vector<std::string> Events(const DriveResult& r) {
  std::vector<std::string> events = r.log;
  if (!events.empty()) events.pop_back();
  return events;
}

bool IsPrefix(const std::vector<std::string>& part,
              const std::vector<std::string>& whole) {
  return part.size() <= whole.size() &&
         std::equal(part.begin(), part.end(), whole.begin());
}

// The box-complete lines, or all other events. A box's completion comes
// before or after the codestream events of its bytes depending on how the
// input was chunked, so each kind is compared on its own.
std::vector<std::string> Only(const std::vector<std::string>& events,
                              bool box_complete) {
  std::vector<std::string> out;
  for (const std::string& e : events) {
    if ((e.rfind("box complete", 0) == 0) == box_complete) out.push_back(e);
  }
  return out;
}

size_t CountFrames(const std::vector<std::string>& events) {
  return static_cast<size_t>(std::count_if(
      events.begin(), events.end(),
      [](const std::string& e) { return e.rfind("frame ", 0) == 0; }));
}

// Bytes of a bare codestream that the decoder reads: it stops after the last
// frame's header and table of contents and leaves that frame's data unread.
uint64_t BytesReadOfBareCodestream(const Bytes& file) {
  QovDecoder dec = QovDecoderCreate(nullptr);
  EXPECT_EQ(QOV_DEC_OK, QovDecoderSubscribeEvents(
                            dec, QOV_DEC_HEADER_INFO | QOV_DEC_COLOR_INFO |
                                     QOV_DEC_FRAME_START | QOV_DEC_BOX_START));
  EXPECT_EQ(QOV_DEC_OK, QovDecoderProvideInput(dec, file.data(), file.size()));
  QovDecoderEndInput(dec);
  QovDecoderStatus s;
  do {
    s = QovDecoderAdvance(dec);
  } while (s != QOV_DEC_OK && s != QOV_DEC_FAILED);
  EXPECT_EQ(QOV_DEC_OK, s);
  const uint64_t unread = QovDecoderReclaimInput(dec);
  QovDecoderDelete(dec);
  return file.size() - unread;
}

struct TruncationCase {
  const char* name;
  // 1: every prefix; n > 1: every n-th prefix plus every prefix near a box
  // boundary, near the end of what the decoder reads, and in the headers.
  size_t stride;
};

const TruncationCase kCases[] = {
    // 'jxll', three 'jxlp' parts, an unknown box, a 'brob' box; ICC profile;
    // three frames.
    {"alistair7__jxltk__contrib__jxlazy__testfiles__generated.jxl", 1},
    // 'jbrd' and two 'brob' boxes between the two 'jxlp' parts.
    {"Isotr0py__pillow-jpegxl-plugin__test__images__metadata__1x1_exif_xmp.jpg.jxl", 1},
    // Three 'jxlp' parts around a 'brob' box; two frames.
    {"KDE__kimageformats__autotests__read__jxl__bug_496350.jxl", 3},
    // 'brob' Exif between the parts, an oriented image.
    {"andrinbr__xl-view__tests__fixtures__oriented.jxl", 1},
    // Bare codestreams: animations of 3, 5, 9 and 11 frames.
    {"OxideAV__oxideav-jpegxl__tests__fixtures__animation_3frame.jxl", 1},
    {"Traneptora__jxlatte__samples__wb-rainbow.jxl", 1},
    {"tirr-c__jxl-oxide-testdata__issue_24__input.jxl", 1},
    {"alistair7__jxltk__doc__10_seconds_countdown.gif.jxl", 3},
    // 'jxlc' followed by two 'brob' boxes; ICC profile.
    {"KDE__kimageformats__autotests__read__jxl__gimp_exif.jxl", 13},
    // 'jxll', 'jxlp', 'xml ', 'jxlp'; ICC profile; extra channel.
    {"KDE__kimageformats__autotests__read__jxl__testcard_rgba_fp16.jxl", 13},
    // Bare codestream of 16 frames with an ICC profile.
    {"KDE__kimageformats__autotests__read__jxl__framenumbers.jxl", 37},
    // Large 'jxlp' parts around two 'brob' boxes; ICC profile.
    {"KDE__kimageformats__autotests__read__jxl__compressed_metadata.jxl", 127},
};

// The prefixes of one case: all, or a strided set plus the neighbourhoods
// of the places where a cut changes what the decoder has to say.
std::set<uint64_t> PrefixLengths(const TruncationCase& c, uint64_t size,
                                 const Layout& layout, uint64_t read_end) {
  std::set<uint64_t> lengths;
  if (c.stride <= 1) {
    for (uint64_t n = 0; n < size; ++n) lengths.insert(n);
    return lengths;
  }
  for (uint64_t n = 0; n < size; n += c.stride) lengths.insert(n);
  // The headers with the ICC profile.
  for (uint64_t n = 0; n < std::min<uint64_t>(size, 600); ++n) lengths.insert(n);
  std::vector<uint64_t> marks = layout.marks;
  marks.insert(marks.end(), layout.box_ends.begin(), layout.box_ends.end());
  marks.push_back(read_end);
  marks.push_back(size);
  for (const uint64_t m : marks) {
    for (uint64_t n = m >= 20 ? m - 20 : 0; n <= m + 20 && n < size; ++n) {
      lengths.insert(n);
    }
  }
  return lengths;
}

TEST(TruncationTest, EveryPrefixEndsCleanly) {
  for (const TruncationCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const Bytes file = Sample(c.name);
    ASSERT_FALSE(file.empty());
    const DriveResult full = Drive(file, ToolLikeOptions(0));
    ASSERT_EQ(QOV_DEC_OK, full.last);
    const std::vector<std::string> full_events = Events(full);
    const size_t full_frames = CountFrames(full_events);
    ASSERT_GT(full_frames + full_events.size(), 0u);

    const Layout layout = WalkBoxes(file);
    const uint64_t read_end =
        layout.container ? layout.codestream_end : BytesReadOfBareCodestream(file);
    ASSERT_LE(read_end, file.size());

    for (const uint64_t length : PrefixLengths(c, file.size(), layout, read_end)) {
      // Chunking as qovinfo does it, the whole prefix at once, and small
      // uneven chunks that cut every header and box at odd places.
      const size_t kChunks[] = {2048, 0, 1 + length % 61, 7};
      const size_t chunk = kChunks[length % 4];
      const Bytes prefix(file.begin(), file.begin() + static_cast<ptrdiff_t>(length));
      const DriveResult r = Drive(prefix, ToolLikeOptions(chunk));
      const std::vector<std::string> events = Events(r);
      SCOPED_TRACE("prefix " + std::to_string(length) + " chunk " +
                   std::to_string(chunk) + ": " + r.log.back());

      ASSERT_TRUE(r.last == QOV_DEC_OK || r.last == QOV_DEC_FAILED);
      EXPECT_TRUE(IsPrefix(Only(events, false), Only(full_events, false)));
      EXPECT_TRUE(IsPrefix(Only(events, true), Only(full_events, true)));

      // A complete file: the codestream as far as the decoder reads it and,
      // in a container, whole boxes only.
      const bool complete =
          length >= read_end &&
          (!layout.container ||
           std::find(layout.box_ends.begin(), layout.box_ends.end(), length) !=
               layout.box_ends.end());
      if (complete) {
        EXPECT_EQ(QOV_DEC_OK, r.last);
        EXPECT_EQ(full_frames, CountFrames(events));
      } else {
        EXPECT_EQ(QOV_DEC_FAILED, r.last);
      }
      if (::testing::Test::HasFailure()) return;  // one report per fault
    }
  }
}

}  // namespace
}  // namespace qov
