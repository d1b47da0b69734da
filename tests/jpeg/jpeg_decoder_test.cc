// JPEG reconstruction through the decoder loop: when the 'jbrd' box is
// missing, late, malformed or repeated, when the codestream does not fit
// it, when the 'Exif' / 'xml ' boxes it needs are missing or move, when the
// output space is short, and a box that runs to the end of the file cut in
// any way. Fixtures are real corpus files with their boxes rearranged.
#include <brotli/decode.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "lib/api/internal_pixel_hook.h"
#include "tests/jpeg/jpeg_decode_loop_helpers.h"

namespace qov::test {
namespace {

namespace fs = std::filesystem;
using Boxes = std::vector<ContainerBox>;

const char kGray[] = "alistair7__jxltk__contrib__jxlazy__testfiles__jpeg.jpg.jxl";
const char kExifXmp[] =
    "Isotr0py__pillow-jpegxl-plugin__test__images__metadata__1x1_exif_xmp.jpg.jxl";
const char kExifOnly[] = "andrinbr__xl-view__tests__fixtures__exif-common.jxl";

Bytes CorpusFile(const std::string& name) {
  return ReadTestFile((fs::path(QOV_TESTDATA_DIR) / "files" / name).string());
}
Bytes CorpusJpeg(const std::string& name) {
  return ReadTestFile(
      (fs::path(QOV_TESTDATA_DIR) / "renders" / (name + ".jpg")).string());
}

// Moves box `from` to position `to` (after removal).
Boxes Moved(Boxes boxes, int from, size_t to) {
  ContainerBox box = boxes[from];
  boxes.erase(boxes.begin() + from);
  boxes.insert(boxes.begin() + std::min(to, boxes.size()), box);
  return boxes;
}

Boxes Without(Boxes boxes, int index) {
  boxes.erase(boxes.begin() + index);
  return boxes;
}

// The content of a box with an 8-byte header.
Bytes Content(const ContainerBox& box) {
  return Bytes(box.bytes.begin() + 8, box.bytes.end());
}

// The first 'brob' box whose inner type is `inner`.
int FindBrob(const Boxes& boxes, const std::string& inner) {
  for (size_t i = 0; i < boxes.size(); ++i) {
    if (boxes[i].type == "brob" &&
        std::string(boxes[i].bytes.begin() + 8, boxes[i].bytes.begin() + 12) ==
            inner) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

// The contents of a 'brob' box, decompressed.
Bytes Unwrapped(const ContainerBox& box) {
  Bytes out(1 << 20);
  size_t size = out.size();
  const Bytes c = Content(box);
  if (c.size() < 4 ||
      BrotliDecoderDecompress(c.size() - 4, c.data() + 4, &size, out.data()) !=
          BROTLI_DECODER_RESULT_SUCCESS) {
    return {};
  }
  out.resize(size);
  return out;
}

struct Case {
  const char* name;
  const char* file;
  std::function<Bytes(const Boxes&)> make;
  int32_t last;            // the status that ends the loop
  bool rebuilds;           // the rebuilt file equals the corpus JPEG
  bool saw_jpeg_data;      // QOV_DEC_JPEG_DATA was reported
  JpegLoopOptions options = JpegLoopOptions();
};

std::vector<Case> Cases() {
  std::vector<Case> cases;
  const auto jbrd = [](const Boxes& b) { return FindBox(b, "jbrd"); };
  cases.push_back({"as stored", kGray, [](const Boxes& b) { return JoinBoxes(b); },
                   QOV_DEC_OK, true, true});
  cases.push_back({"no jbrd box: the frame asks for pixels", kGray,
                   [&](const Boxes& b) { return JoinBoxes(Without(b, jbrd(b))); },
                   QOV_DEC_WANT_IMAGE_BUFFER, false, false});
  cases.push_back({"jbrd box after the codestream: too late for the frame", kGray,
                   [&](const Boxes& b) {
                     return JoinBoxes(Moved(b, jbrd(b), b.size()));
                   },
                   QOV_DEC_WANT_IMAGE_BUFFER, false, false});
  cases.push_back({"jbrd box cut by one byte", kGray,
                   [&](const Boxes& b) {
                     Boxes out = b;
                     Bytes c = Content(b[jbrd(b)]);
                     c.pop_back();
                     out[jbrd(b)] = MakeBox("jbrd", c);
                     return JoinBoxes(out);
                   },
                   QOV_DEC_FAILED, false, false});
  cases.push_back({"jbrd box with a byte after the brotli stream", kGray,
                   [&](const Boxes& b) {
                     Boxes out = b;
                     Bytes c = Content(b[jbrd(b)]);
                     c.push_back(0);
                     out[jbrd(b)] = MakeBox("jbrd", c);
                     return JoinBoxes(out);
                   },
                   QOV_DEC_FAILED, false, false});
  cases.push_back({"jbrd box of no bytes", kGray,
                   [&](const Boxes& b) {
                     Boxes out = b;
                     out[jbrd(b)] = MakeBox("jbrd", {});
                     return JoinBoxes(out);
                   },
                   QOV_DEC_FAILED, false, false});
  cases.push_back({"second jbrd box after the event", kGray,
                   [&](const Boxes& b) {
                     Boxes out = b;
                     out.insert(out.begin() + jbrd(b) + 1, b[jbrd(b)]);
                     return JoinBoxes(out);
                   },
                   QOV_DEC_FAILED, false, true});
  {
    Case c{"jbrd box not subscribed: skipped", kGray,
           [](const Boxes& b) { return JoinBoxes(b); },
           QOV_DEC_WANT_IMAGE_BUFFER, false, false};
    c.options.events = QOV_DEC_IMAGE_DONE;
    cases.push_back(c);
  }
  {
    Case c{"no JPEG output space: the frame asks for pixels", kGray,
           [](const Boxes& b) { return JoinBoxes(b); },
           QOV_DEC_WANT_IMAGE_BUFFER, false, true};
    c.options.attach = false;
    cases.push_back(c);
  }
  // The codestream of another file: a modular image, an XYB image.
  for (const char* other : {"OxideAV__oxideav-jpegxl__tests__fixtures__pixel_1x1.jxl",
                            "alistair7__jxltk__contrib__jxlazy__testfiles__lossy.jxl"}) {
    cases.push_back({other, kGray,
                     [&, other](const Boxes& b) {
                       Boxes out(b.begin(), b.begin() + 2);
                       out.push_back(b[jbrd(b)]);
                       out.push_back(MakeBox("jxlc", CorpusFile(other)));
                       return JoinBoxes(out);
                     },
                     QOV_DEC_FAILED, false, true});
  }
  // The 'Exif' and 'xml ' boxes that the reconstruction data expects.
  cases.push_back({"Exif box missing", kExifXmp,
                   [](const Boxes& b) { return JoinBoxes(Without(b, FindBrob(b, "Exif"))); },
                   QOV_DEC_FAILED, false, true});
  cases.push_back({"XMP box missing", kExifXmp,
                   [](const Boxes& b) { return JoinBoxes(Without(b, FindBrob(b, "xml "))); },
                   QOV_DEC_FAILED, false, true});
  cases.push_back({"Exif and XMP boxes after the codestream", kExifXmp,
                   [](const Boxes& b) {
                     Boxes out = Moved(b, FindBrob(b, "Exif"), b.size());
                     return JoinBoxes(Moved(out, FindBrob(out, "xml "), out.size()));
                   },
                   QOV_DEC_OK, true, true});
  cases.push_back({"Exif box ahead of the jbrd box", kExifOnly,
                   [](const Boxes& b) {
                     return JoinBoxes(Moved(b, FindBrob(b, "Exif"), 2));
                   },
                   QOV_DEC_OK, true, true});
  cases.push_back({"Exif box stored plainly", kExifOnly,
                   [](const Boxes& b) {
                     Boxes out = b;
                     const int at = FindBrob(b, "Exif");
                     out[at] = MakeBox("Exif", Unwrapped(b[at]));
                     return JoinBoxes(out);
                   },
                   QOV_DEC_OK, true, true});
  cases.push_back({"Exif box one byte too long", kExifOnly,
                   [](const Boxes& b) {
                     Boxes out = b;
                     const int at = FindBrob(b, "Exif");
                     Bytes exif = Unwrapped(b[at]);
                     exif.push_back(0);
                     out[at] = MakeBox("Exif", exif);
                     return JoinBoxes(out);
                   },
                   QOV_DEC_FAILED, false, true});
  cases.push_back({"XMP box one byte short", kExifXmp,
                   [](const Boxes& b) {
                     Boxes out = b;
                     const int at = FindBrob(b, "xml ");
                     Bytes xmp = Unwrapped(b[at]);
                     xmp.pop_back();
                     out[at] = MakeBox("xml ", xmp);
                     return JoinBoxes(out);
                   },
                   QOV_DEC_FAILED, false, true});
  return cases;
}

TEST(JpegDecoderTest, ReconstructionBoxAndCodestreamCombinations) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    const std::vector<ContainerBox> boxes = SplitBoxes(CorpusFile(c.file));
    ASSERT_GE(FindBox(boxes, "jbrd"), 0);
    const Bytes file = c.make(boxes);
    for (uint64_t chunk : {uint64_t{0}, uint64_t{5}}) {
      JpegLoopOptions options = c.options;
      options.chunk = chunk;
      const JpegLoopResult r = RunJpegLoop(file, options);
      EXPECT_EQ(r.Last(), c.last) << "chunk " << chunk;
      EXPECT_EQ(r.Saw(QOV_DEC_JPEG_DATA), c.saw_jpeg_data) << "chunk " << chunk;
      EXPECT_EQ(r.Saw(QOV_DEC_IMAGE_DONE), c.rebuilds) << "chunk " << chunk;
      if (c.rebuilds) {
        EXPECT_TRUE(r.jpeg == CorpusJpeg(c.file)) << "chunk " << chunk;
      }
    }
  }
}

// The output space: exactly the file's size is enough; one byte less asks
// for more space and counts nothing of the partial write.
TEST(JpegDecoderTest, OutputSpaceExactAndShort) {
  const Bytes file = CorpusFile(kGray);
  const Bytes want = CorpusJpeg(kGray);
  JpegLoopOptions exact;
  exact.output_space = want.size();
  const JpegLoopResult r = RunJpegLoop(file, exact);
  EXPECT_EQ(r.Last(), QOV_DEC_OK);
  EXPECT_FALSE(r.Saw(QOV_DEC_WANT_JPEG_OUTPUT));
  EXPECT_EQ(r.space_left, 0u);
  EXPECT_TRUE(r.jpeg == want);

  JpegLoopOptions short_space;
  short_space.output_space = want.size() - 1;
  short_space.grow_output = false;
  const JpegLoopResult s = RunJpegLoop(file, short_space);
  EXPECT_EQ(s.Last(), QOV_DEC_WANT_JPEG_OUTPUT);
  EXPECT_EQ(s.space_left, want.size() - 1);
}

// A 'jbrd' box that runs to the end of the file (the last box) gives the
// same events however the input is cut: it is parsed once the input is
// closed, never from whatever part has arrived.
TEST(JpegDecoderTest, ReconstructionBoxToTheEndOfTheFile) {
  Boxes boxes = SplitBoxes(CorpusFile(kGray));
  const int at = FindBox(boxes, "jbrd");
  const Bytes content = Content(boxes[at]);
  boxes.erase(boxes.begin() + at);
  boxes.push_back(MakeBox("jbrd", content, /*unbounded=*/true));
  const Bytes file = JoinBoxes(boxes);
  std::vector<int32_t> first;
  for (uint64_t chunk : {uint64_t{0}, uint64_t{1}, uint64_t{7}, uint64_t{64},
                         uint64_t{file.size() - 1}}) {
    JpegLoopOptions options;
    options.chunk = chunk;
    options.events = QOV_DEC_JPEG_DATA | QOV_DEC_BOX_START;
    const JpegLoopResult r = RunJpegLoop(file, options);
    EXPECT_TRUE(r.Saw(QOV_DEC_JPEG_DATA)) << "chunk " << chunk;
    EXPECT_EQ(r.Last(), QOV_DEC_OK) << "chunk " << chunk;
    if (first.empty()) first = r.events;
    EXPECT_EQ(r.events, first) << "chunk " << chunk;
  }
  // The same box cut short fails once the input is closed.
  Bytes cut = file;
  cut.pop_back();
  JpegLoopOptions options;
  options.chunk = 3;
  options.events = QOV_DEC_JPEG_DATA | QOV_DEC_BOX_START;
  EXPECT_EQ(RunJpegLoop(cut, options).Last(), QOV_DEC_FAILED);
}

TEST(JpegDecoderTest, AttachAndReleaseOutputSpace) {
  QovDecoder dec = QovDecoderCreate(nullptr);
  ASSERT_NE(dec, nullptr);
  uint8_t space[16];
  EXPECT_EQ(QovInternalReleaseJpegOutput(dec), 0u);
  EXPECT_EQ(QovInternalAttachJpegOutput(dec, nullptr, 16), QOV_DEC_FAILED);
  EXPECT_EQ(QovInternalAttachJpegOutput(dec, space, 16), QOV_DEC_OK);
  EXPECT_EQ(QovInternalAttachJpegOutput(dec, space, 16), QOV_DEC_FAILED);
  EXPECT_EQ(QovInternalReleaseJpegOutput(dec), 16u);
  EXPECT_EQ(QovInternalReleaseJpegOutput(dec), 0u);
  EXPECT_EQ(QovInternalAttachJpegOutput(nullptr, space, 16), QOV_DEC_FAILED);
  QovDecoderDelete(dec);
}

}  // namespace
}  // namespace qov::test
