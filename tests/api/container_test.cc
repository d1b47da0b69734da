// The container: box headers, 'ftyp', the joining of 'jxlp' parts in any
// order, 'brob' boxes, box output through the caller's buffer, and the stop
// at a second image.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "qov/qov.h"
#include "lib/api/decoder_state.h"
#include "tests/api/decoder_test_helpers.h"

namespace qov {
namespace {

// Two frames, the first one large enough that parts can end inside it.
Bytes TwoFrameCodestream() {
  CodestreamWriter w;
  FrameHeader first = w.NewFrame();
  first.is_last = false;
  first.name = "first";
  w.AddFrame(first, Bytes(300, 0x5A));
  FrameHeader second = w.NewFrame();
  second.name = "second";
  w.AddFrame(second, Bytes(40, 0xA5));
  return w.Write();
}

DriveOptions FrameEvents(size_t chunk = 0) {
  DriveOptions o;
  o.events = QOV_DEC_HEADER_INFO | QOV_DEC_COLOR_INFO | QOV_DEC_FRAME_START;
  o.coalescing = false;
  o.chunk = chunk;
  return o;
}

// The log of the codestream events alone: box lines dropped, and the
// container flag of the basic information left out.
std::vector<std::string> CodestreamLog(const DriveResult& r) {
  std::vector<std::string> out;
  for (const std::string& line : r.log) {
    if (line.rfind("box ", 0) == 0) continue;
    out.push_back(line.substr(0, line.find(" container=")));
  }
  return out;
}

TEST(ContainerBoxTest, HeaderForms) {
  const Bytes cs = TwoFrameCodestream();
  const std::vector<std::string> reference = CodestreamLog(Drive(cs, FrameEvents()));
  ASSERT_EQ(5u, reference.size());  // basic, colour, two frames, the end
  struct Case {
    const char* name;
    Bytes file;
    QovDecoderStatus last;
    std::vector<std::string> boxes;
  };
  const Case cases[] = {
      {"jxlc", Concat({SignatureBox(), FtypBox(0), Box("jxlc", cs)}), QOV_DEC_OK,
       {"box 'JXL ' inner 'JXL ' size=12 contents=4",
        "box 'ftyp' inner 'ftyp' size=20 contents=12",
        "box 'jxlc' inner 'jxlc' size=" + std::to_string(cs.size() + 8) +
            " contents=" + std::to_string(cs.size())}},
      {"64-bit jxlc", Concat({SignatureBox(), FtypBox(0), Box64("jxlc", cs)}), QOV_DEC_OK,
       {"box 'JXL ' inner 'JXL ' size=12 contents=4",
        "box 'ftyp' inner 'ftyp' size=20 contents=12",
        "box 'jxlc' inner 'jxlc' size=" + std::to_string(cs.size() + 16) +
            " contents=" + std::to_string(cs.size())}},
      {"jxlc to the end", Concat({SignatureBox(), FtypBox(0), BoxToEnd("jxlc", cs)}),
       QOV_DEC_OK,
       {"box 'JXL ' inner 'JXL ' size=12 contents=4",
        "box 'ftyp' inner 'ftyp' size=20 contents=12",
        "box 'jxlc' inner 'jxlc' size=0 contents=0"}},
      {"unknown box to the end after the codestream",
       Concat({SignatureBox(), FtypBox(0), Box("jxlc", cs), BoxToEnd("abcd", Bytes(7, 1))}),
       QOV_DEC_OK,
       {"box 'JXL ' inner 'JXL ' size=12 contents=4",
        "box 'ftyp' inner 'ftyp' size=20 contents=12",
        "box 'jxlc' inner 'jxlc' size=" + std::to_string(cs.size() + 8) +
            " contents=" + std::to_string(cs.size()),
        "box 'abcd' inner 'abcd' size=0 contents=0"}},
  };
  for (const Case& c : cases) {
    for (const size_t chunk : {size_t{0}, size_t{1}, size_t{5}}) {
      DriveOptions o = FrameEvents(chunk);
      o.events |= QOV_DEC_BOX_START;
      const DriveResult r = Drive(c.file, o);
      EXPECT_EQ(reference, CodestreamLog(r)) << c.name << " chunk " << chunk;
      std::vector<std::string> boxes;
      for (const std::string& line : r.log) {
        if (line.rfind("box ", 0) == 0) boxes.push_back(line);
      }
      EXPECT_EQ(c.boxes, boxes) << c.name;
      EXPECT_EQ(c.last, r.last) << c.name;
    }
  }
}

TEST(ContainerBoxTest, MalformedBoxesFail) {
  const Bytes cs = TwoFrameCodestream();
  const Bytes head = Concat({SignatureBox(), FtypBox(0)});
  Bytes ftyp_brand = FtypBox(0);
  ftyp_brand[8] = 'J';
  Bytes ftyp_short = Box("ftyp", StringBytes("jxl \0\0\0"));
  Bytes huge;
  AppendBE(1, 4, &huge);
  for (const char c : {'j', 'x', 'l', 'c'}) huge.push_back(static_cast<uint8_t>(c));
  AppendBE(~uint64_t{0} - 4, 8, &huge);
  const struct {
    const char* name;
    Bytes file;
  } cases[] = {
      {"size below the header", Concat({head, Bytes{0, 0, 0, 4, 'a', 'b', 'c', 'd'}})},
      {"64-bit size below the header",
       Concat({head, Bytes{0, 0, 0, 1, 'a', 'b', 'c', 'd', 0, 0, 0, 0, 0, 0, 0, 15}})},
      {"size overflowing the file position", Concat({head, huge})},
      {"second box not ftyp", Concat({SignatureBox(), Box("jxlc", cs)})},
      {"ftyp twice", Concat({head, FtypBox(0), Box("jxlc", cs)})},
      {"ftyp brand", Concat({SignatureBox(), ftyp_brand, Box("jxlc", cs)})},
      {"ftyp minor version 2", Concat({SignatureBox(), FtypBox(2), Box("jxlc", cs)})},
      {"ftyp too short", Concat({SignatureBox(), ftyp_short, Box("jxlc", cs)})},
      {"ftyp to the end", Concat({SignatureBox(), BoxToEnd("ftyp", Bytes(20, 0))})},
      {"jxlc twice", Concat({head, Box("jxlc", cs), Box("jxlc", cs)})},
      {"jxlp after jxlc", Concat({head, Box("jxlc", cs), PartBox(0, true, {})})},
      {"jxlp without index", Concat({head, Box("jxlp", Bytes{0, 0, 0}), Box("jxlc", cs)})},
      {"two parts with index 0",
       Concat({head, PartBox(0, false, Bytes(cs.begin(), cs.begin() + 10)),
               PartBox(0, true, Bytes(cs.begin() + 10, cs.end()))})},
      {"brob shorter than its inner type",
       Concat({head, Box("brob", Bytes{'E', 'x', 'i'}), Box("Exif", Bytes(8, 0)),
               Box("jxlc", cs)})},
      {"no codestream", Concat({head, Box("Exif", Bytes(8, 0))})},
  };
  for (const auto& c : cases) {
    for (const size_t chunk : {size_t{0}, size_t{1}}) {
      DriveOptions o = FrameEvents(chunk);
      o.events |= QOV_DEC_BOX_START;
      EXPECT_EQ(QOV_DEC_FAILED, Drive(c.file, o).last) << c.name << " chunk " << chunk;
    }
  }
}

// After a failure the handle stays failed, whatever is asked of it.
TEST(ContainerBoxTest, FailureIsFinal) {
  const Bytes cs = TwoFrameCodestream();
  const Bytes file = Concat({SignatureBox(), FtypBox(0), Box("brob", Bytes{'E', 'x'}),
                             Box("jxlc", cs)});
  QovDecoder dec = QovDecoderCreate(nullptr);
  ASSERT_EQ(QOV_DEC_OK, QovDecoderSubscribeEvents(dec, QOV_DEC_BOX_START |
                                                           QOV_DEC_FRAME_START));
  ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(dec, file.data(), file.size()));
  EXPECT_EQ(QOV_DEC_BOX_START, QovDecoderAdvance(dec));
  EXPECT_EQ(QOV_DEC_BOX_START, QovDecoderAdvance(dec));
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderAdvance(dec));
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderAdvance(dec));
  QovDecoderReclaimInput(dec);
  ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(dec, cs.data(), cs.size()));
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderAdvance(dec));
  QovDecoderDelete(dec);
}

// 'jxlp' parts in index order and out of it, with ftyp minor versions 1 and
// 0 (early parts need version 1).
TEST(ContainerPartsTest, Orders) {
  const Bytes cs = TwoFrameCodestream();
  const std::vector<std::string> reference = CodestreamLog(Drive(cs, FrameEvents()));
  // Cuts: inside the headers, and inside the first frame's section.
  const size_t a = 7, b = cs.size() - 200;
  const Bytes p0(cs.begin(), cs.begin() + a), p1(cs.begin() + a, cs.begin() + b),
      p2(cs.begin() + b, cs.end());
  struct Case {
    const char* name;
    uint32_t minor;
    std::vector<Bytes> parts;
    bool ok;
  };
  const Case cases[] = {
      {"0,1,2 minor 0", 0, {PartBox(0, false, p0), PartBox(1, false, p1), PartBox(2, true, p2)}, true},
      {"0,1,2 minor 1", 1, {PartBox(0, false, p0), PartBox(1, false, p1), PartBox(2, true, p2)}, true},
      {"0,2,1 minor 1", 1, {PartBox(0, false, p0), PartBox(2, true, p2), PartBox(1, false, p1)}, true},
      {"2,1,0 minor 1", 1, {PartBox(2, true, p2), PartBox(1, false, p1), PartBox(0, false, p0)}, true},
      {"0,2,1 minor 0", 0, {PartBox(0, false, p0), PartBox(2, true, p2), PartBox(1, false, p1)}, false},
      {"an empty part between", 0,
       {PartBox(0, false, p0), PartBox(1, false, {}), PartBox(2, false, p1), PartBox(3, true, p2)},
       true},
      {"a metadata box between parts", 0,
       {PartBox(0, false, p0), Box("Exif", Bytes(10, 3)), PartBox(1, false, p1),
        PartBox(2, true, p2)},
       true},
      {"a part after the last", 1,
       {PartBox(0, false, p0), PartBox(1, true, p1), PartBox(2, true, p2)}, false},
  };
  for (const Case& c : cases) {
    Bytes file = Concat({SignatureBox(), FtypBox(c.minor)});
    for (const Bytes& p : c.parts) file = Concat({file, p});
    for (const size_t chunk : {size_t{0}, size_t{1}, size_t{13}}) {
      for (const bool box_events : {false, true}) {
        DriveOptions o = FrameEvents(chunk);
        if (box_events) o.events |= QOV_DEC_BOX_START;
        const DriveResult r = Drive(file, o);
        if (c.ok) {
          EXPECT_EQ(reference, CodestreamLog(r))
              << c.name << " chunk " << chunk << " box events " << box_events;
        } else {
          EXPECT_EQ(QOV_DEC_FAILED, r.last) << c.name << " chunk " << chunk;
        }
      }
    }
  }
}

// A frame passed over from the end of one part into a buffered early part
// that is shorter than what is left of the frame: the skip continues into
// the parts after it.
TEST(ContainerPartsTest, SkipLongerThanBufferedPart) {
  const Bytes cs = TwoFrameCodestream();
  const std::vector<std::string> reference = CodestreamLog(Drive(cs, FrameEvents()));
  // The part with index 0 ends 20 bytes into the first frame's 300-byte
  // section; the part with index 1 (buffered: it comes first in the file)
  // holds only 30 of the 280 bytes still to pass over.
  const Bytes section(300, 0x5A);
  const size_t start =
      std::search(cs.begin(), cs.end(), section.begin(), section.end()) - cs.begin();
  ASSERT_LT(start, cs.size());
  const size_t a = start + 20, b = a + 30;
  const Bytes p0(cs.begin(), cs.begin() + a), p1(cs.begin() + a, cs.begin() + b),
      p2(cs.begin() + b, cs.end());
  const Bytes file = Concat({SignatureBox(), FtypBox(1), PartBox(1, false, p1),
                             PartBox(0, false, p0), PartBox(2, true, p2)});
  for (const size_t chunk : {size_t{0}, size_t{1}, size_t{64}}) {
    const DriveResult r = Drive(file, FrameEvents(chunk));
    EXPECT_EQ(reference, CodestreamLog(r)) << "chunk " << chunk;
  }
}

TEST(ContainerBrobTest, TypesAndRawOutput) {
  const Bytes cs = TwoFrameCodestream();
  const Bytes payload = StringBytes("Exif payload bytes");
  const Bytes brob_contents = Concat({StringBytes("Exif"), BrotliStored(payload)});
  const Bytes file = Concat({SignatureBox(), FtypBox(0), Box("brob", brob_contents),
                             Box("jxlc", cs)});
  Decoder d;
  ASSERT_EQ(QOV_DEC_OK, QovDecoderSubscribeEvents(
                            d.dec, QOV_DEC_BOX_START | QOV_DEC_BOX_COMPLETE));
  ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(d.dec, file.data(), file.size()));
  QovDecoderEndInput(d.dec);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(QOV_DEC_BOX_START, QovDecoderAdvance(d.dec));
  ASSERT_EQ(QOV_DEC_BOX_START, QovDecoderAdvance(d.dec));
  QovBoxType type;
  ASSERT_EQ(QOV_DEC_OK, QovDecoderQueryBoxType(d.dec, type, 0));
  EXPECT_EQ("brob", std::string(type, 4));
  ASSERT_EQ(QOV_DEC_OK, QovDecoderQueryBoxType(d.dec, type, 1));
  EXPECT_EQ("Exif", std::string(type, 4));
  Bytes out(100, 0);
  ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideBoxBuffer(d.dec, out.data(), out.size()));
  ASSERT_EQ(QOV_DEC_BOX_COMPLETE, QovDecoderAdvance(d.dec));
  EXPECT_EQ(out.size() - brob_contents.size(), QovDecoderReclaimBoxBuffer(d.dec));
  EXPECT_EQ(brob_contents, Bytes(out.begin(), out.begin() + brob_contents.size()));
  ASSERT_EQ(QOV_DEC_BOX_START, QovDecoderAdvance(d.dec));  // jxlc
  EXPECT_EQ(QOV_DEC_OK, QovDecoderAdvance(d.dec));
}

TEST(ContainerBoxBufferTest, Protocol) {
  const Bytes cs = TwoFrameCodestream();
  Bytes contents(25);
  for (size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<uint8_t>(i);
  const Bytes file = Concat({SignatureBox(), FtypBox(0), Box("Exif", contents),
                             Box("jxlc", cs)});
  Decoder d;
  uint8_t early[4];
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderProvideBoxBuffer(d.dec, early, 4));  // no box yet
  ASSERT_EQ(QOV_DEC_OK, QovDecoderSubscribeEvents(
                            d.dec, QOV_DEC_BOX_START | QOV_DEC_BOX_COMPLETE));
  ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(d.dec, file.data(), file.size()));
  QovDecoderEndInput(d.dec);
  ASSERT_EQ(QOV_DEC_BOX_START, QovDecoderAdvance(d.dec));  // JXL
  ASSERT_EQ(QOV_DEC_BOX_START, QovDecoderAdvance(d.dec));  // ftyp
  ASSERT_EQ(QOV_DEC_BOX_START, QovDecoderAdvance(d.dec));  // Exif
  Bytes first(10), second(100);
  ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideBoxBuffer(d.dec, first.data(), first.size()));
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderProvideBoxBuffer(d.dec, second.data(), 5));  // twice
  ASSERT_EQ(QOV_DEC_WANT_BOX_OUTPUT, QovDecoderAdvance(d.dec));
  EXPECT_EQ(0u, QovDecoderReclaimBoxBuffer(d.dec));
  EXPECT_EQ(Bytes(contents.begin(), contents.begin() + 10), first);
  ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideBoxBuffer(d.dec, second.data(), second.size()));
  ASSERT_EQ(QOV_DEC_BOX_COMPLETE, QovDecoderAdvance(d.dec));
  // Complete again while the buffer stays attached; nothing more is written.
  ASSERT_EQ(QOV_DEC_BOX_COMPLETE, QovDecoderAdvance(d.dec));
  EXPECT_EQ(100u - 15u, QovDecoderReclaimBoxBuffer(d.dec));
  EXPECT_EQ(Bytes(contents.begin() + 10, contents.end()),
            Bytes(second.begin(), second.begin() + 15));
  EXPECT_EQ(0u, QovDecoderReclaimBoxBuffer(d.dec));
  uint64_t size = 0;
  EXPECT_EQ(QOV_DEC_OK, QovDecoderQueryBoxSize(d.dec, &size));  // still current
  ASSERT_EQ(QOV_DEC_BOX_START, QovDecoderAdvance(d.dec));  // jxlc, no buffer
  EXPECT_EQ(QOV_DEC_OK, QovDecoderQueryBoxSize(d.dec, nullptr));
  EXPECT_EQ(QOV_DEC_OK, QovDecoderAdvance(d.dec));
  // The box is no longer current: queries and buffers are refused.
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderQueryBoxSize(d.dec, &size));
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderProvideBoxBuffer(d.dec, first.data(), 1));
}

// A box that runs to the end of the file is complete only when the input
// has ended and every byte is out, however the bytes arrive.
TEST(ContainerBoxBufferTest, UnboundedBoxCompleteOnlyAtTheEnd) {
  const Bytes cs = TwoFrameCodestream();
  Bytes tail(3000);
  for (size_t i = 0; i < tail.size(); ++i) tail[i] = static_cast<uint8_t>(i * 7);
  const Bytes file = Concat({SignatureBox(), FtypBox(0), Box("jxlc", cs),
                             BoxToEnd("Exif", tail)});
  DriveOptions o;
  o.events = QOV_DEC_BOX_START | QOV_DEC_BOX_COMPLETE;
  o.box_buffers = true;
  std::vector<std::string> reference;
  for (const size_t chunk : {size_t{0}, size_t{1}, size_t{100}, size_t{2048}}) {
    o.chunk = chunk;
    const DriveResult r = Drive(file, o);
    ASSERT_GE(r.log.size(), 2u);
    EXPECT_EQ(0u, r.log[r.log.size() - 2].rfind("box complete 3000 bytes", 0))
        << "chunk " << chunk << ": " << r.log[r.log.size() - 2];
    EXPECT_EQ(QOV_DEC_OK, r.last);
    if (chunk == 0) reference = r.log;
    EXPECT_EQ(reference, r.log) << "chunk " << chunk;
  }
}

// After the codestream, a second image: another signature box or a bare
// codestream ends the walk with QOV_DEC_OK; the box is counted, not reported.
TEST(ContainerSecondImageTest, StopsThere) {
  const Bytes cs = TwoFrameCodestream();
  const Bytes first = Concat({SignatureBox(), FtypBox(0), Box("jxlc", cs)});
  const struct {
    const char* name;
    Bytes file;
    size_t boxes;
  } cases[] = {
      {"signature box", Concat({first, SignatureBox(), FtypBox(0), Box("jxlc", cs)}), 3},
      {"bare codestream", Concat({first, cs}), 3},
      {"metadata then signature",
       Concat({first, Box("xml ", Bytes(5, 'x')), SignatureBox(), Bytes(3, 0)}), 4},
  };
  for (const auto& c : cases) {
    for (const size_t chunk : {size_t{0}, size_t{1}}) {
      DriveOptions o;
      o.events = QOV_DEC_BOX_START;
      o.chunk = chunk;
      const DriveResult r = Drive(c.file, o);
      EXPECT_EQ(QOV_DEC_OK, r.last) << c.name;
      EXPECT_EQ(c.boxes + 1, r.log.size()) << c.name;
    }
  }
}

// Subscribing to JPEG reconstruction data: 'Exif' and 'xml ' boxes are
// captured on the way without changing the result; a 'jbrd' box is read and
// reported once, and the walk goes on to the end of the file.
TEST(ContainerJpegDataTest, CaptureAndReconstructionBox) {
  const std::string dir = std::string(QOV_TESTDATA_DIR) + "/files/";
  const struct {
    const char* file;
    bool has_jbrd;
  } cases[] = {
      {"KDE__kimageformats__autotests__read__jxl__compressed_metadata.jxl", false},
      {"KDE__kimageformats__autotests__read__jxl__gimp_exif.jxl", false},
      {"andrinbr__xl-view__tests__fixtures__exif-common.jxl", true},
      {"alistair7__jxltk__contrib__jxlazy__testfiles__jpeg.jpg.jxl", true},
  };
  for (const auto& c : cases) {
    const Bytes file = ReadFileBytes(dir + c.file);
    ASSERT_FALSE(file.empty()) << c.file;
    for (const size_t chunk : {size_t{0}, size_t{1}}) {
      DriveOptions o;
      o.events = QOV_DEC_JPEG_DATA | QOV_DEC_FRAME_START | QOV_DEC_BOX_START;
      o.chunk = chunk;
      const DriveResult r = Drive(file, o);
      EXPECT_EQ(QOV_DEC_OK, r.last) << c.file << " chunk " << chunk;
      EXPECT_EQ(c.has_jbrd ? 1 : 0,
                std::count(r.log.begin(), r.log.end(), "JPEG reconstruction data"))
          << c.file << " chunk " << chunk;
    }
  }
}

// The captured boxes hold the decompressed contents: the payload sizes of
// the file's facts plus the 4-byte offset field that opens an 'Exif' box.
TEST(ContainerJpegDataTest, CapturedContents) {
  const struct {
    const char* file;
    size_t exif, xml;
  } cases[] = {
      {"KDE__kimageformats__autotests__read__jxl__gimp_exif.jxl", 232 + 4, 807},
      {"KDE__kimageformats__autotests__read__jxl__compressed_metadata.jxl", 4918 + 4, 4047},
  };
  for (const auto& c : cases) {
    const Bytes file = ReadFileBytes(std::string(QOV_TESTDATA_DIR) + "/files/" + c.file);
    ASSERT_FALSE(file.empty());
    QovDecoder dec = QovDecoderCreate(nullptr);
    ASSERT_EQ(QOV_DEC_OK, QovDecoderSubscribeEvents(dec, QOV_DEC_JPEG_DATA | QOV_DEC_BOX_START));
    ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(dec, file.data(), file.size()));
    QovDecoderEndInput(dec);
    QovDecoderStatus s;
    while ((s = QovDecoderAdvance(dec)) == QOV_DEC_BOX_START) {
    }
    EXPECT_EQ(QOV_DEC_OK, s) << c.file;
    EXPECT_EQ(2u, dec->exif_state) << c.file;
    EXPECT_EQ(2u, dec->xmp_state) << c.file;
    EXPECT_EQ(c.exif, dec->exif_capture.size()) << c.file;
    EXPECT_EQ(c.xml, dec->xmp_capture.size()) << c.file;
    if (dec->xmp_capture.size() > 5) {
      EXPECT_EQ(0, std::memcmp(dec->xmp_capture.data(), "<?xpa", 5)) << c.file;
    }
    QovDecoderDelete(dec);
  }
}

}  // namespace
}  // namespace qov
