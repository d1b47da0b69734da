// The decoder handle: signatures, setters, the input protocol, the
// subscription variants and the frame-reporting rule, on small codestreams
// written in the test.
#include <cstring>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/fields.h"
#include "qov/qov.h"
#include "tests/api/decoder_test_helpers.h"

namespace qov {
namespace {

Bytes OneFrameCodestream() {
  CodestreamWriter w;
  w.AddFrame(w.NewFrame(), Bytes(16, 0xAB));
  return w.Write();
}

TEST(DecoderCreateTest, MemoryManagerRules) {
  QovMemoryManager half{};
  half.alloc = [](void*, uint64_t size) { return std::malloc(size); };
  EXPECT_EQ(nullptr, QovDecoderCreate(&half));
  QovMemoryManager failing{};
  failing.alloc = [](void*, uint64_t) -> void* { return nullptr; };
  failing.free = [](void*, void* p) { std::free(p); };
  EXPECT_EQ(nullptr, QovDecoderCreate(&failing));
  QovDecoderDelete(nullptr);  // ignored
}

TEST(DecoderCreateTest, CustomManagerServesTheHandle) {
  struct Counter {
    int allocs = 0, frees = 0;
  } counter;
  QovMemoryManager m{};
  m.opaque = &counter;
  m.alloc = [](void* o, uint64_t size) {
    ++static_cast<Counter*>(o)->allocs;
    return std::malloc(size);
  };
  m.free = [](void* o, void* p) {
    ++static_cast<Counter*>(o)->frees;
    std::free(p);
  };
  QovDecoder dec = QovDecoderCreate(&m);
  ASSERT_NE(nullptr, dec);
  const Bytes file = OneFrameCodestream();
  ASSERT_EQ(QOV_DEC_OK, QovDecoderSubscribeEvents(dec, QOV_DEC_FRAME_START));
  ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(dec, file.data(), 6));
  EXPECT_EQ(QOV_DEC_WANT_INPUT, QovDecoderAdvance(dec));  // fills the copy buffer
  QovDecoderDelete(dec);
  EXPECT_GE(counter.allocs, 2);
  EXPECT_EQ(counter.allocs, counter.frees);
}

struct SignatureCase {
  const char* name;
  Bytes bytes;
  bool close;
  QovDecoderStatus expected;
};

TEST(DecoderSignatureTest, Table) {
  const Bytes sig = SignatureBox();
  const SignatureCase cases[] = {
      {"lone FF waits", {0xFF}, false, QOV_DEC_WANT_INPUT},
      {"lone FF then end", {0xFF}, true, QOV_DEC_FAILED},
      {"short container start waits", {0x00, 0x00, 0x00, 0x0C, 'J'}, false,
       QOV_DEC_WANT_INPUT},
      {"short container start then end", {0x00, 0x00, 0x00}, true, QOV_DEC_FAILED},
      {"signature box alone then end", sig, true, QOV_DEC_FAILED},
      {"FF 0B", {0xFF, 0x0B}, false, QOV_DEC_FAILED},
      {"first byte 01", {0x01, 0x0A}, false, QOV_DEC_FAILED},
      {"wrong box type", {0, 0, 0, 0x0C, 'J', 'X', 'L', 'X', 0x0D, 0x0A, 0x87, 0x0A},
       false, QOV_DEC_FAILED},
      {"wrong box size", {0, 0, 0, 0x0D, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A},
       false, QOV_DEC_FAILED},
      {"nothing then end", {}, true, QOV_DEC_FAILED},
  };
  for (const SignatureCase& c : cases) {
    Decoder d;
    ASSERT_EQ(QOV_DEC_OK, QovDecoderSubscribeEvents(d.dec, QOV_DEC_HEADER_INFO));
    if (!c.bytes.empty()) {
      ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(d.dec, c.bytes.data(), c.bytes.size()));
    }
    if (c.close) QovDecoderEndInput(d.dec);
    EXPECT_EQ(c.expected, QovDecoderAdvance(d.dec)) << c.name;
    if (c.expected == QOV_DEC_WANT_INPUT) {
      // Undecided: nothing is consumed, the bytes come back whole.
      EXPECT_EQ(c.bytes.size(), QovDecoderReclaimInput(d.dec)) << c.name;
    }
    if (c.expected == QOV_DEC_FAILED && !c.close) {
      // Nothing is consumed: every later advance fails the same way.
      EXPECT_EQ(QOV_DEC_FAILED, QovDecoderAdvance(d.dec)) << c.name;
      EXPECT_EQ(c.bytes.size(), QovDecoderReclaimInput(d.dec)) << c.name;
    }
  }
}

TEST(DecoderSetterTest, FailOnceStartedOrWithLowBits) {
  Decoder d;
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderSubscribeEvents(d.dec, 0x41));
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderSubscribeEvents(d.dec, 0x1));
  EXPECT_EQ(QOV_DEC_OK, QovDecoderSubscribeEvents(d.dec, QOV_DEC_HEADER_INFO));
  EXPECT_EQ(QOV_DEC_OK, QovDecoderKeepOrientation(d.dec, 1));
  EXPECT_EQ(QOV_DEC_OK, QovDecoderEnableCoalescing(d.dec, 0));
  EXPECT_EQ(QOV_DEC_WANT_INPUT, QovDecoderAdvance(d.dec));
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderSubscribeEvents(d.dec, QOV_DEC_HEADER_INFO));
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderKeepOrientation(d.dec, 0));
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderEnableCoalescing(d.dec, 1));
}

TEST(DecoderInputTest, ProvideReclaimProtocol) {
  Decoder d;
  const uint8_t bytes[4] = {0xFF, 0x0A, 0, 0};
  EXPECT_EQ(0u, QovDecoderReclaimInput(d.dec));
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderProvideInput(d.dec, nullptr, 5));
  EXPECT_EQ(QOV_DEC_OK, QovDecoderProvideInput(d.dec, bytes, 4));
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderProvideInput(d.dec, bytes, 4));  // twice
  EXPECT_EQ(4u, QovDecoderReclaimInput(d.dec));
  EXPECT_EQ(0u, QovDecoderReclaimInput(d.dec));
  QovDecoderEndInput(d.dec);
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderProvideInput(d.dec, bytes, 4));  // after end
  EXPECT_EQ(0u, QovDecoderReclaimInput(d.dec));
}

TEST(DecoderInputTest, NullInputIsNeverRead) {
  Decoder d;
  ASSERT_EQ(QOV_DEC_OK, QovDecoderSubscribeEvents(d.dec, QOV_DEC_HEADER_INFO));
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderProvideInput(d.dec, nullptr, 1 << 20));
  EXPECT_EQ(QOV_DEC_WANT_INPUT, QovDecoderAdvance(d.dec));
  // Nothing was attached: real bytes can be provided now.
  const Bytes file = OneFrameCodestream();
  EXPECT_EQ(QOV_DEC_OK, QovDecoderProvideInput(d.dec, file.data(), file.size()));
  EXPECT_EQ(QOV_DEC_HEADER_INFO, QovDecoderAdvance(d.dec));
}

TEST(DecoderInputTest, SignatureRecognisedMeansEverythingIsTaken) {
  const Bytes file = OneFrameCodestream();
  Decoder d;
  ASSERT_EQ(QOV_DEC_OK, QovDecoderSubscribeEvents(d.dec, QOV_DEC_FRAME_START));
  ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(d.dec, file.data(), 5));
  EXPECT_EQ(QOV_DEC_WANT_INPUT, QovDecoderAdvance(d.dec));
  EXPECT_EQ(0u, QovDecoderReclaimInput(d.dec));  // in the copy buffer
  ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(d.dec, file.data() + 5, file.size() - 5));
  QovDecoderEndInput(d.dec);
  EXPECT_EQ(QOV_DEC_FRAME_START, QovDecoderAdvance(d.dec));
  EXPECT_EQ(QOV_DEC_OK, QovDecoderAdvance(d.dec));
}

// A skipped frame whose bytes reach past the input: later inputs are passed
// over until the skip is used up, and the next frame is found after it.
TEST(DecoderInputTest, SkipCarriesAcrossInputs) {
  CodestreamWriter w;
  FrameHeader first = w.NewFrame();
  first.is_last = false;
  first.name = "first";
  w.AddFrame(first, Bytes(5000, 0x11));
  FrameHeader second = w.NewFrame();
  second.name = "second";
  w.AddFrame(second, Bytes(10, 0x22));
  const Bytes file = w.Write();
  Decoder d;
  ASSERT_EQ(QOV_DEC_OK, QovDecoderEnableCoalescing(d.dec, 0));
  ASSERT_EQ(QOV_DEC_OK, QovDecoderSubscribeEvents(d.dec, QOV_DEC_FRAME_START));
  const size_t cut = file.size() - 3000;
  ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(d.dec, file.data(), cut));
  ASSERT_EQ(QOV_DEC_FRAME_START, QovDecoderAdvance(d.dec));
  EXPECT_NE(std::string::npos, DescribeFrame(d.dec).find("name=\"first\""));
  EXPECT_EQ(QOV_DEC_WANT_INPUT, QovDecoderAdvance(d.dec));
  EXPECT_EQ(0u, QovDecoderReclaimInput(d.dec));
  // The frame is passed over: its header getter no longer answers.
  QovFrameHeader h;
  EXPECT_EQ(QOV_DEC_FAILED, QovDecoderGetFrameHeader(d.dec, &h));
  ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(d.dec, file.data() + cut, 1000));
  EXPECT_EQ(QOV_DEC_WANT_INPUT, QovDecoderAdvance(d.dec));
  EXPECT_EQ(0u, QovDecoderReclaimInput(d.dec));
  ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(d.dec, file.data() + cut + 1000,
                                               file.size() - cut - 1000));
  QovDecoderEndInput(d.dec);
  ASSERT_EQ(QOV_DEC_FRAME_START, QovDecoderAdvance(d.dec));
  EXPECT_NE(std::string::npos, DescribeFrame(d.dec).find("name=\"second\""));
  EXPECT_EQ(QOV_DEC_OK, QovDecoderAdvance(d.dec));
}

TEST(DecoderSubscriptionTest, Variants) {
  CodestreamWriter w;
  FrameHeader f = w.NewFrame();
  w.AddFrame(f, Bytes(8, 0));
  const Bytes bare = w.Write();
  const Bytes container =
      Concat({SignatureBox(), FtypBox(0), Box("jxlc", bare), Box("Exif", Bytes(6, 1))});
  // Trailing garbage after the codestream box: read only when box events are
  // subscribed.
  const Bytes garbage = Concat({container, Bytes{0, 0, 0, 4, 'x', 'x', 'x', 'x'}});
  struct Case {
    const char* name;
    const Bytes* file;
    int32_t events;
    std::vector<std::string> expected_prefixes;  // of the log lines
  };
  const Case cases[] = {
      {"header only, bare", &bare, QOV_DEC_HEADER_INFO, {"basic ", "status 0"}},
      {"header only, container", &container, QOV_DEC_HEADER_INFO, {"basic ", "status 0"}},
      {"nothing", &bare, 0, {"status 0"}},
      {"a bit above the events", &bare, 0x100000, {"status 0"}},
      {"header and colour ignore later boxes", &garbage,
       QOV_DEC_HEADER_INFO | QOV_DEC_COLOR_INFO, {"basic ", "color ", "status 0"}},
      {"box events read later boxes", &garbage, QOV_DEC_BOX_START,
       {"box 'JXL '", "box 'ftyp'", "box 'jxlc'", "box 'Exif'", "status 1"}},
      {"frames only", &container, QOV_DEC_FRAME_START, {"frame ", "status 0"}},
  };
  for (const Case& c : cases) {
    DriveOptions o;
    o.events = c.events;
    const DriveResult r = Drive(*c.file, o);
    ASSERT_EQ(c.expected_prefixes.size(), r.log.size()) << c.name;
    for (size_t i = 0; i < r.log.size(); ++i) {
      EXPECT_EQ(0u, r.log[i].rfind(c.expected_prefixes[i], 0)) << c.name << ": " << r.log[i];
    }
  }
}

// Which frames are reported, by duration, kind, last flag and coalescing.
TEST(DecoderFrameRuleTest, ReportedFrames) {
  CodestreamWriter w;
  w.metadata.m.have_animation = true;
  w.metadata.m.animation.tps_numerator = 10;
  FrameHeader layer = w.NewFrame();  // duration 0, not last
  layer.is_last = false;
  layer.name = "layer";
  FrameHeader shown = w.NewFrame();
  shown.is_last = false;
  shown.animation_frame.duration = 3;
  shown.name = "shown";
  FrameHeader reference = w.NewFrame();
  reference.frame_type = 2;  // reference only
  reference.is_last = false;
  reference.save_as_reference = 1;
  FrameHeader dc = w.NewFrame();  // a DC frame is never reported
  dc.frame_type = 1;
  dc.dc_level = 1;
  dc.is_last = false;
  FrameHeader last = w.NewFrame();
  last.name = "last";
  for (const FrameHeader& f : {layer, dc, shown, reference, last}) w.AddFrame(f, Bytes(9, 7));
  const Bytes file = w.Write();
  for (const bool coalescing : {true, false}) {
    DriveOptions o;
    o.events = QOV_DEC_FRAME_START;
    o.coalescing = coalescing;
    const DriveResult r = Drive(file, o);
    std::vector<std::string> names;
    for (const std::string& line : r.log) {
      const size_t at = line.find("name=\"");
      if (at != std::string::npos) names.push_back(line.substr(at + 6, line.size() - at - 7));
    }
    const std::vector<std::string> expected =
        coalescing ? std::vector<std::string>{"shown", "last"}
                   : std::vector<std::string>{"layer", "shown", "last"};
    EXPECT_EQ(expected, names) << "coalescing " << coalescing;
    EXPECT_EQ(QOV_DEC_OK, r.last);
  }
}

// With the image-done event wanted and no output target the first displayed
// frame stops the decoder, after its frame event, on every advance.
TEST(DecoderFrameRuleTest, PixelsWantedWithoutTarget) {
  const Bytes file = OneFrameCodestream();
  Decoder d;
  ASSERT_EQ(QOV_DEC_OK,
            QovDecoderSubscribeEvents(d.dec, QOV_DEC_FRAME_START | QOV_DEC_IMAGE_DONE));
  ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(d.dec, file.data(), file.size()));
  QovDecoderEndInput(d.dec);
  EXPECT_EQ(QOV_DEC_FRAME_START, QovDecoderAdvance(d.dec));
  EXPECT_EQ(QOV_DEC_WANT_IMAGE_BUFFER, QovDecoderAdvance(d.dec));
  EXPECT_EQ(QOV_DEC_WANT_IMAGE_BUFFER, QovDecoderAdvance(d.dec));
}

// A preview announced by the metadata is passed over silently when its event
// is not wanted.
TEST(DecoderFrameRuleTest, PreviewPassedOver) {
  CodestreamWriter w;
  w.metadata.m.have_preview = true;
  w.metadata.m.preview_size.xsize = 16;
  w.metadata.m.preview_size.ysize = 8;
  FrameHeader preview = w.NewFrame();
  preview.is_preview = true;
  preview.name = "";
  w.AddFrame(preview, Bytes(30, 5));
  FrameHeader main = w.NewFrame();
  main.name = "main";
  w.AddFrame(main, Bytes(12, 6));
  const Bytes file = w.Write();
  DriveOptions o;
  o.events = QOV_DEC_HEADER_INFO | QOV_DEC_FRAME_START;
  for (const size_t chunk : {size_t{0}, size_t{1}}) {
    o.chunk = chunk;
    const DriveResult r = Drive(file, o);
    ASSERT_EQ(3u, r.log.size());
    EXPECT_NE(std::string::npos, r.log[0].find("preview=1(16x8)")) << r.log[0];
    EXPECT_NE(std::string::npos, r.log[1].find("name=\"main\"")) << r.log[1];
    EXPECT_EQ("status 0", r.log[2]);
  }
}

// Cut inside the image metadata: more input lets the headers be read again.
TEST(DecoderHeaderTest, CutInsideMetadata) {
  CodestreamWriter w;
  ExtraChannelInfo ec;
  ec.all_default = false;
  ec.name = "a long enough channel name to cut into";
  w.metadata.m.extra_channel_info.push_back(ec);
  w.AddFrame(w.NewFrame(), Bytes(4, 0));
  const Bytes file = w.Write();
  Decoder d;
  ASSERT_EQ(QOV_DEC_OK, QovDecoderSubscribeEvents(d.dec, QOV_DEC_HEADER_INFO));
  ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(d.dec, file.data(), 12));
  EXPECT_EQ(QOV_DEC_WANT_INPUT, QovDecoderAdvance(d.dec));
  QovBasicInfo info;
  EXPECT_EQ(QOV_DEC_WANT_INPUT, QovDecoderGetBasicInfo(d.dec, &info));
  EXPECT_EQ(QOV_DEC_WANT_INPUT, QovDecoderGetBasicInfo(d.dec, nullptr));
  EXPECT_EQ(0u, QovDecoderReclaimInput(d.dec));
  ASSERT_EQ(QOV_DEC_OK, QovDecoderProvideInput(d.dec, file.data() + 12, file.size() - 12));
  EXPECT_EQ(QOV_DEC_HEADER_INFO, QovDecoderAdvance(d.dec));
  EXPECT_EQ(QOV_DEC_OK, QovDecoderGetBasicInfo(d.dec, nullptr));
  char name[64] = {};
  EXPECT_EQ(QOV_DEC_OK, QovDecoderGetExtraChannelName(d.dec, 0, name, sizeof(name)));
  EXPECT_STREQ("a long enough channel name to cut into", name);
}

// The bits between the colour information and the first frame must be 0.
TEST(DecoderHeaderTest, NonZeroPaddingAfterColourFails) {
  Bytes file;
  uint64_t padding_bit = 0;
  // Find headers that do not end on a byte boundary.
  for (uint32_t name_len = 0; name_len < 8 && file.empty(); ++name_len) {
    CodestreamWriter w;
    ExtraChannelInfo ec;
    ec.all_default = false;
    ec.name = std::string(name_len, 'n');
    w.metadata.m.extra_channel_info.push_back(ec);
    w.AddFrame(w.NewFrame(), Bytes(4, 0));
    Bytes candidate = w.Write();
    BitReader reader(Span(candidate.data(), candidate.size()));
    reader.SkipLong(16);
    CodecMetadata m;
    ASSERT_TRUE(Bundle::Decode(reader, m.size).ok());
    ASSERT_TRUE(Bundle::Decode(reader, m.m).ok());
    m.transform_data.xyb = m.m.xyb_encoded;
    ASSERT_TRUE(Bundle::Decode(reader, m.transform_data).ok());
    if (reader.Position() % 8 != 0) {
      padding_bit = reader.Position();
      file = candidate;
    }
  }
  ASSERT_FALSE(file.empty());
  file[padding_bit / 8] |= static_cast<uint8_t>(1u << (padding_bit % 8));
  DriveOptions o;
  o.events = QOV_DEC_HEADER_INFO;
  EXPECT_EQ(QOV_DEC_OK, Drive(file, o).last);  // the padding is never read
  o.events = QOV_DEC_HEADER_INFO | QOV_DEC_COLOR_INFO;
  const DriveResult r = Drive(file, o);
  EXPECT_EQ(QOV_DEC_FAILED, r.last);
  EXPECT_EQ(2u, r.log.size());  // the header event, then the failure
}

// Truncations of a valid file never crash: each cut gives WANT_INPUT while
// the input is open and FAILED once it is closed.
TEST(DecoderHeaderTest, EveryTruncationFailsCleanly) {
  CodestreamWriter w;
  FrameHeader a = w.NewFrame();
  a.is_last = false;
  a.name = "a";
  w.AddFrame(a, Bytes(20, 1));
  w.AddFrame(w.NewFrame(), Bytes(20, 2));
  const Bytes bare = w.Write();
  const Bytes container = Concat({SignatureBox(), FtypBox(0), Box("jxlc", bare)});
  // The bytes of the last frame are never read: a bare codestream cut inside
  // them still finishes; a container box cut short does not.
  const size_t last_frame_bytes = 20;
  for (const Bytes* file : {&bare, &container}) {
    const size_t must_fail =
        file == &bare ? file->size() - last_frame_bytes : file->size();
    for (size_t cut = 0; cut < file->size(); ++cut) {
      Bytes part(file->begin(), file->begin() + cut);
      DriveOptions o;
      o.coalescing = false;
      const DriveResult r = Drive(part, o);
      if (cut < must_fail) {
        EXPECT_EQ(QOV_DEC_FAILED, r.last) << "cut " << cut;
      } else {
        EXPECT_EQ(QOV_DEC_OK, r.last) << "cut " << cut;
      }
    }
  }
}

}  // namespace
}  // namespace qov
