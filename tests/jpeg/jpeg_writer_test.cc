// The JPEG writer: exact bytes for small hand-built descriptions, and round
// trips through an independent test-side decoder for sequential and
// progressive scripts, restart markers, padding bits and chunked output.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "lib/jpeg/jpeg_writer.h"
#include "tests/jpeg/jpeg_test_helpers.h"

namespace qov::test {
namespace {

using jpeg::JPEGData;
using jpeg::JpegHuffmanSpec;
using jpeg::JpegScanSpec;

// Bytes of a bit string ("0101...") with 0xFF 0x00 stuffing; a partial last
// byte is padded with 1-bits.
Bytes StuffedBits(std::string bits) {
  while (bits.size() % 8 != 0) bits += '1';
  Bytes out;
  for (size_t i = 0; i < bits.size(); i += 8) {
    const uint8_t b = static_cast<uint8_t>(std::stoi(bits.substr(i, 8), nullptr, 2));
    out.push_back(b);
    if (b == 0xFF) out.push_back(0);
  }
  return out;
}

// The entropy-coded bytes of the n-th scan of a written file.
Bytes ScanData(const Bytes& file, int n) {
  const ParsedJpeg parsed = ParseJpeg(file);
  int seen = 0;
  for (const JpegMarkerSegment& s : parsed.segments) {
    if (s.marker == 0xDA && seen++ == n) return s.entropy;
  }
  return {};
}

JpegHuffmanSpec SmallSpec(bool is_ac, uint32_t id, std::vector<uint32_t> counts,
                          std::vector<uint32_t> symbols, bool is_last) {
  JpegHuffmanSpec t;
  t.slot_id = (is_ac ? 16 : 0) | id;
  t.is_last = is_last;
  for (size_t i = 0; i < counts.size(); ++i) t.counts[i] = counts[i];
  for (size_t i = 0; i < symbols.size(); ++i) t.symbols[i] = symbols[i];
  return t;
}

// One gray 8x8 block, DC table {0: "0", 1: "10"}, AC table as given.
JPEGData OneBlock(JpegHuffmanSpec ac) {
  JPEGData d;
  d.width = d.height = 8;
  d.quant_tables.resize(1);
  d.huffman_tables = {SmallSpec(false, 0, {0, 1, 2}, {0, 1, 256}, false), ac};
  jpeg::JpegComponentData c;
  c.id = 1;
  c.width_in_blocks = c.height_in_blocks = 1;
  c.coefficients.assign(64, 0);
  d.component_list.push_back(c);
  d.scans.push_back(ScanOf({0}, 0, 63, 0, 0));
  d.marker_sequence = {0xC4, 0xC0, 0xDA, 0xD9};
  return d;
}

TEST(JpegWriterTest, HandComputedSequentialBlock) {
  // AC table: EOB "0", 0x01 "10".
  JPEGData d = OneBlock(SmallSpec(true, 0, {0, 1, 2}, {0x00, 0x01, 256}, true));
  d.component_list[0].coefficients[0] = 1;   // DC diff +1: "10" "1"
  d.component_list[0].coefficients[1] = -1;  // zig-zag 1: "10" "0"
  int status = 0;
  Bytes file = WriteJpeg(d, ~uint64_t{0}, &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(ScanData(file, 0), StuffedBits("101" "100" "0"));  // pad 1
  // DHT written with the longest count reduced by one, sentinel dropped.
  Bytes dht = {0xFF, 0xC4, 0x00, 0x28};
  for (uint8_t slot : {0x00, 0x10}) {
    dht.insert(dht.end(), {slot, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                           0, 0x00, 0x01});
  }
  EXPECT_TRUE(std::equal(dht.begin(), dht.end(), file.begin() + 2));
  const Bytes sos = {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00};
  EXPECT_NE(std::search(file.begin(), file.end(), sos.begin(), sos.end()),
            file.end());
  // Stored padding bits replace the 1-bits.
  d.has_padding_bits = true;
  d.padding_bit_values = {0};
  file = WriteJpeg(d, ~uint64_t{0}, &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(ScanData(file, 0), Bytes{0xB0});
  // Three stored bits but one padding position: written, then failure.
  d.padding_bit_values = {0, 1, 1};
  file = WriteJpeg(d, ~uint64_t{0}, &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(file.back(), 0xD9);
  // A value other than 0 or 1 fails the scan.
  d.padding_bit_values = {2};
  WriteJpeg(d, ~uint64_t{0}, &status);
  EXPECT_EQ(status, 1);
  // Bits run on across scans; a second scan finds none left.
  d.scans.push_back(d.scans[0]);
  d.marker_sequence = {0xC4, 0xC0, 0xDA, 0xDA, 0xD9};
  d.padding_bit_values = {0, 1};
  file = WriteJpeg(d, ~uint64_t{0}, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ScanData(file, 1), Bytes{0xB1});
  d.padding_bit_values = {0};
  WriteJpeg(d, ~uint64_t{0}, &status);
  EXPECT_EQ(status, 1);
}

TEST(JpegWriterTest, ExtraZeroRunsRestoreZrlSymbols) {
  // AC table: EOB "00", ZRL "01", 0x01 "10"; DC 0 is "0".
  JPEGData d = OneBlock(
      SmallSpec(true, 0, {0, 0, 4}, {0x00, 0xF0, 0x01, 256}, true));
  int16_t* block = d.component_list[0].coefficients.data();
  for (int k = 1; k <= 47; ++k) block[jpeg::kJpegZigZag[k]] = 1;
  std::string body = "0";
  for (int k = 1; k <= 47; ++k) body += "101";
  int status = 0;
  EXPECT_EQ(ScanData(WriteJpeg(d, ~uint64_t{0}, &status), 0),
            StuffedBits(body + "00"));
  d.scans[0].extra_zero_runs = {{0, 1}};  // 16 trailing zeros: ZRL, no EOB
  EXPECT_EQ(ScanData(WriteJpeg(d, ~uint64_t{0}, &status), 0),
            StuffedBits(body + "01"));
  block[jpeg::kJpegZigZag[47]] = 0;  // 17 trailing zeros: ZRL and EOB
  body.resize(body.size() - 3);
  EXPECT_EQ(ScanData(WriteJpeg(d, ~uint64_t{0}, &status), 0),
            StuffedBits(body + "01" "00"));
  // A run of 40 before a coefficient: two ZRLs, then run 8 (symbol 0x81).
  JPEGData r = OneBlock(
      SmallSpec(true, 0, {0, 0, 4}, {0x00, 0xF0, 0x81, 256}, true));
  r.component_list[0].coefficients[jpeg::kJpegZigZag[41]] = 1;
  EXPECT_EQ(ScanData(WriteJpeg(r, ~uint64_t{0}, &status), 0),
            StuffedBits("0" "01" "01" "10" "1" "00"));
  EXPECT_EQ(status, 0);
}

TEST(JpegWriterTest, MarkerSegmentsAsStored) {
  JPEGData d;
  d.marker_sequence = {0xD9};
  d.trailing_bytes = {1, 2, 3};
  int status = 0;
  EXPECT_EQ(WriteJpeg(d, ~uint64_t{0}, &status),
            (Bytes{0xFF, 0xD8, 0xFF, 0xD9, 1, 2, 3}));
  EXPECT_EQ(status, 0);

  // APP written with its own marker byte; COM; inter-marker bytes; DRI.
  d.marker_sequence = {0xE0, 0xFE, 0xFF, 0xDD, 0xD9};
  d.app_segments = {{0xE1, 0x00, 0x03, 0xAA}};
  d.com_segments = {{0xFE, 0x00, 0x02}};
  d.inter_marker_segments = {{0x11, 0x22}};
  d.restart_interval = 0x1234;
  EXPECT_EQ(WriteJpeg(d, 3, &status),
            (Bytes{0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x03, 0xAA, 0xFF, 0xFE, 0x00,
                   0x02, 0x11, 0x22, 0xFF, 0xDD, 0x00, 0x04, 0x12, 0x34, 0xFF,
                   0xD9, 1, 2, 3}));
  EXPECT_EQ(status, 0);

  // More entries than stored segments, SOI inside, empty sequence.
  for (std::vector<uint8_t> seq : {std::vector<uint8_t>{0xE0, 0xE0, 0xD9},
                                   std::vector<uint8_t>{0xD8, 0xD9},
                                   std::vector<uint8_t>{}}) {
    d.marker_sequence = seq;
    WriteJpeg(d, ~uint64_t{0}, &status);
    EXPECT_EQ(status, 1);
  }

  // DQT lengths: one 16-bit table 131, two 8-bit tables 132.
  JPEGData q;
  q.quant_tables.resize(1);
  q.quant_tables[0].precision = 1;
  q.quant_tables[0].values[1] = 0x0102;  // zig-zag position 1
  q.marker_sequence = {0xDB, 0xD9};
  Bytes file = WriteJpeg(q, ~uint64_t{0}, &status);
  ASSERT_EQ(file.size(), 2u + 133 + 2);
  EXPECT_EQ(file[4], 0);
  EXPECT_EQ(file[5], 131);
  EXPECT_EQ(file[6], 0x10);
  EXPECT_EQ(file[9], 0x01);
  EXPECT_EQ(file[10], 0x02);
  q.quant_tables.resize(2);
  q.quant_tables[0].precision = 0;
  q.quant_tables[0].is_last = false;
  q.quant_tables[1].table_id = 1;
  file = WriteJpeg(q, ~uint64_t{0}, &status);
  EXPECT_EQ(file[5], 132);

  // A DHT whose first table has no codes is just its header.
  JPEGData h;
  h.huffman_tables.resize(1);
  h.marker_sequence = {0xC4, 0xD9};
  EXPECT_EQ(WriteJpeg(h, ~uint64_t{0}, &status),
            (Bytes{0xFF, 0xD8, 0xFF, 0xC4, 0x00, 0x02, 0xFF, 0xD9}));
}

TEST(JpegWriterTest, SinkThatTakesNothing) {
  JPEGData d;
  d.marker_sequence = {0xD9};
  const jpeg::JpegOutputSink none = [](const uint8_t*, uint64_t) {
    return uint64_t{0};
  };
  EXPECT_EQ(jpeg::EmitJpegStream(d, none).raw(), -1);
  // A sink that stops after four bytes: -1 and those four bytes.
  int status = 0;
  Bytes got;
  uint64_t budget = 4;
  const jpeg::JpegOutputSink some = [&](const uint8_t* b, uint64_t n) {
    const uint64_t take = std::min(n, budget);
    got.insert(got.end(), b, b + take);
    budget -= take;
    return take;
  };
  d.trailing_bytes = {9, 9};
  status = jpeg::EmitJpegStream(d, some).raw();
  EXPECT_EQ(status, -1);
  EXPECT_EQ(got, (Bytes{0xFF, 0xD8, 0xFF, 0xD9}));
}

struct RoundTripCase {
  const char* name;
  JpegSpecParams params;
};

std::vector<JpegScanSpec> ProgressiveScript(uint32_t components) {
  std::vector<JpegScanSpec> s;
  std::vector<uint32_t> all;
  for (uint32_t c = 0; c < components; ++c) all.push_back(c);
  s.push_back(ScanOf(all, 0, 0, 0, 1));  // DC first, interleaved
  for (uint32_t c = 0; c < components; ++c) {
    s.push_back(ScanOf({c}, 1, 5, 0, 2));
    s.push_back(ScanOf({c}, 6, 63, 0, 2));
    s.push_back(ScanOf({c}, 1, 63, 2, 1));
    s.push_back(ScanOf({c}, 1, 63, 1, 0));
  }
  s.push_back(ScanOf(all, 0, 0, 1, 0));  // DC refinement
  return s;
}

std::vector<RoundTripCase> RoundTripCases() {
  std::vector<RoundTripCase> cases;
  {
    RoundTripCase c{"gray sequential", {}};
    c.params.width = 24;
    c.params.height = 16;
    c.params.scans = {ScanOf({0}, 0, 63, 0, 0)};
    cases.push_back(c);
  }
  {
    RoundTripCase c{"420 interleaved 17x13", {}};
    c.params.width = 17;
    c.params.height = 13;
    c.params.sampling = {{2, 2}, {1, 1}, {1, 1}};
    c.params.scans = {ScanOf({0, 1, 2}, 0, 63, 0, 0)};
    cases.push_back(c);
  }
  {
    RoundTripCase c{"422 per-component scans with restarts", {}};
    c.params.width = 48;
    c.params.height = 16;
    c.params.sampling = {{2, 1}, {1, 1}, {1, 1}};
    c.params.restart_interval = 2;
    c.params.scans = {ScanOf({0}, 0, 63, 0, 0), ScanOf({1, 2}, 0, 63, 0, 0)};
    cases.push_back(c);
  }
  {
    RoundTripCase c{"progressive gray", {}};
    c.params.width = 64;
    c.params.height = 40;
    c.params.progressive = true;
    c.params.scans = ProgressiveScript(1);
    cases.push_back(c);
  }
  {
    RoundTripCase c{"progressive 420 with restarts, sparse", {}};
    c.params.width = 64;
    c.params.height = 32;
    c.params.sampling = {{2, 2}, {1, 1}, {1, 1}};
    c.params.progressive = true;
    c.params.restart_interval = 3;
    c.params.zero_fraction = 0.93;
    c.params.scans = ProgressiveScript(3);
    cases.push_back(c);
  }
  {
    RoundTripCase c{"progressive, large values", {}};
    c.params.width = 32;
    c.params.height = 32;
    c.params.progressive = true;
    c.params.max_magnitude = 1000;
    c.params.scans = ProgressiveScript(1);
    cases.push_back(c);
  }
  return cases;
}

TEST(JpegWriterTest, RoundTripsThroughIndependentDecoder) {
  for (const RoundTripCase& c : RoundTripCases()) {
    SCOPED_TRACE(c.name);
    JPEGData d = MakeJpegData(c.params);
    int status = 0;
    const Bytes file = WriteJpeg(d, ~uint64_t{0}, &status);
    ASSERT_EQ(status, 0);
    DecodedJpeg decoded = DecodeJpeg(file);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    ASSERT_EQ(decoded.coefficients.size(), d.component_list.size());
    for (size_t i = 0; i < d.component_list.size(); ++i) {
      EXPECT_EQ(decoded.width_in_blocks[i], d.component_list[i].width_in_blocks);
      EXPECT_TRUE(decoded.coefficients[i] == d.component_list[i].coefficients)
          << "component " << i;
    }
    for (uint8_t bit : decoded.padding_bits) EXPECT_EQ(bit, 1);

    // Any chunking of the output gives the same bytes.
    for (uint64_t chunk : {1, 3, 1000}) {
      EXPECT_EQ(WriteJpeg(d, chunk, &status), file) << chunk;
      EXPECT_EQ(status, 0);
    }

    // Stored padding bits are used in order, across scans.
    std::mt19937 rng(7);
    d.has_padding_bits = true;
    d.padding_bit_values.resize(decoded.padding_bits.size());
    for (uint8_t& bit : d.padding_bit_values) bit = rng() & 1;
    const Bytes padded = WriteJpeg(d, ~uint64_t{0}, &status);
    ASSERT_EQ(status, 0);
    decoded = DecodeJpeg(padded);
    ASSERT_TRUE(decoded.ok) << decoded.error;
    EXPECT_EQ(decoded.padding_bits, d.padding_bit_values);
  }
}

TEST(JpegWriterTest, RestartMarkersBeforeEveryIntervalOfMcus) {
  JpegSpecParams p;
  p.width = 40;  // 5 MCUs
  p.height = 8;
  p.restart_interval = 2;
  p.scans = {ScanOf({0}, 0, 63, 0, 0)};
  int status = 0;
  const Bytes data = ScanData(WriteJpeg(MakeJpegData(p), ~uint64_t{0}, &status), 0);
  ASSERT_EQ(status, 0);
  int rst[8] = {};
  for (size_t i = 0; i + 1 < data.size(); ++i) {
    if (data[i] == 0xFF && data[i + 1] >= 0xD0 && data[i + 1] <= 0xD7) {
      ++rst[data[i + 1] - 0xD0];
    }
  }
  EXPECT_EQ(rst[0], 1);
  EXPECT_EQ(rst[1], 1);
  EXPECT_EQ(rst[2], 0);
  EXPECT_NE(data[data.size() - 2], 0xFF);  // no marker after the last MCU
}

TEST(JpegWriterTest, EmptyScanWritesOnlyItsHeader) {
  JpegSpecParams p;
  p.scans = {ScanOf({0}, 0, 63, 0, 0)};
  JPEGData d = MakeJpegData(p);
  d.width = 0;
  d.has_padding_bits = true;
  d.padding_bit_values = {};
  d.huffman_tables.clear();  // tables are not tested without MCUs
  d.marker_sequence = {0xDA, 0xD9};
  int status = 0;
  const Bytes file = WriteJpeg(d, ~uint64_t{0}, &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(file.size(), 2u + 10 + 2);
}

// Writes fail for data the writer cannot express; nothing crashes or reads
// outside the tables and coefficients.
TEST(JpegWriterTest, RefusesWhatCannotBeWritten) {
  JpegSpecParams p;
  p.scans = {ScanOf({0}, 0, 63, 0, 0)};
  struct Case {
    const char* name;
    void (*edit)(JPEGData&);
  };
  const Case cases[] = {
      // Frame header fields are 16 bits: no silent truncation.
      {"width above 65535", [](JPEGData& d) { d.width = 65536 + 16; }},
      {"height above 65535", [](JPEGData& d) { d.height = 0x10010; }},
      {"missing AC table", [](JPEGData& d) { d.scans[0].components[0].ac_table = 2; }},
      {"scan of 2^32 - 1 components",
       [](JPEGData& d) { d.scans[0].component_count = 0xFFFFFFFFu; }},
      {"sampling factor above 15",
       [](JPEGData& d) { d.component_list[0].h_sampling = 16; }},
      {"scan names a missing component",
       [](JPEGData& d) { d.scans[0].components[0].component_index = 3; }},
      {"SOF names a missing quant table",
       [](JPEGData& d) { d.component_list[0].quant_index = 1; }},
      {"coefficients smaller than the grid",
       [](JPEGData& d) { d.component_list[0].coefficients.resize(64); }},
      {"grid narrower than the scan",
       [](JPEGData& d) { d.component_list[0].width_in_blocks = 1; }},
      {"over-subscribed Huffman table",
       [](JPEGData& d) { d.huffman_tables[1].counts[8] = 256; }},
      {"DC coefficient diff of category 16",
       [](JPEGData& d) {
         d.component_list[0].coefficients[0] = -32768;
         d.component_list[0].coefficients[64] = 0;
       }},
      {"AC -32768 after a run of 15",
       [](JPEGData& d) {
         auto& c = d.component_list[0].coefficients;
         std::fill(c.begin(), c.begin() + 64, 0);
         c[jpeg::kJpegZigZag[16]] = -32768;
       }},
  };
  for (const Case& c : cases) {
    JPEGData d = MakeJpegData(p);
    c.edit(d);
    int status = 0;
    WriteJpeg(d, ~uint64_t{0}, &status);
    EXPECT_EQ(status, 1) << c.name;
  }
}

TEST(JpegWriterTest, SequentialMinusLimitFailsBeforeWriting) {
  jpeg::JpegHuffmanTable dc, ac;
  for (int s = 0; s < 256; ++s) {
    dc.lengths[s] = ac.lengths[s] = 8;
    dc.codes[s] = ac.codes[s] = static_cast<uint16_t>(s);
  }
  int16_t block[64] = {};
  block[jpeg::kJpegZigZag[16]] = -32768;  // run 15, then no 15-bit magnitude
  std::deque<jpeg::JpegOutputPiece> queue;
  jpeg::JpegBitSink sink;
  sink.Init(&queue);
  int16_t last_dc = 0;
  EXPECT_FALSE(jpeg::EncodeSequentialBlock(block, dc, ac, 0, last_dc, sink));
  EXPECT_EQ(sink.position, 0u);
  EXPECT_EQ(sink.free_bits, 64);
  EXPECT_EQ(sink.accumulator, 0u);
}

TEST(JpegWriterTest, CountScanMcusIn64Bits) {
  JpegSpecParams p;
  p.sampling = {{2, 2}, {1, 1}, {1, 1}};
  JPEGData d = MakeJpegData(p);
  int64_t cols = 0, rows = 0;
  d.width = 17;
  d.height = 17;
  CountScanMcus(d, ScanOf({0}, 0, 63, 0, 0), cols, rows);
  EXPECT_EQ(cols, 3);
  CountScanMcus(d, ScanOf({1}, 0, 63, 0, 0), cols, rows);
  EXPECT_EQ(cols, 2);
  CountScanMcus(d, ScanOf({0, 1, 2}, 0, 63, 0, 0), cols, rows);
  EXPECT_EQ(cols, 2);
  d.width = 0xFFFFFFFFu;
  d.height = 0xFFFFFFF0u;
  CountScanMcus(d, ScanOf({0}, 0, 63, 0, 0), cols, rows);
  EXPECT_EQ(cols, int64_t{0x20000000});
  EXPECT_EQ(rows, int64_t{0x1FFFFFFE});
}

// The sink checks its own room: stores near the end of a chunk move to a
// new chunk instead of running past the 16384-byte buffer.
TEST(JpegBitSinkTest, StoresNeverPassTheChunk) {
  std::deque<jpeg::JpegOutputPiece> queue;
  jpeg::JpegBitSink sink;
  sink.Init(&queue);
  Bytes expected;
  // Fill up to 6 bytes before the end without any caller room test.
  for (int i = 0; i < 16378 / 2; ++i) {
    sink.PutBits(0xAB, 8);
    sink.PutBits(0xCD, 8);
    expected.push_back(0xAB);
    expected.push_back(0xCD);
  }
  // 0xFF bytes need stuffing: 16 bytes for the next full accumulator.
  for (int i = 0; i < 16; ++i) {
    sink.PutBits(0xFF, 8);
    expected.push_back(0xFF);
    expected.push_back(0x00);
    ASSERT_LE(sink.position, jpeg::kJpegChunkSize);
  }
  sink.PutBits(0x3, 2);
  ASSERT_TRUE(sink.PadToByte(nullptr, nullptr));
  expected.push_back(0xFF);  // 11 then six 1-bits
  expected.push_back(0x00);
  sink.Finish();
  Bytes got;
  for (const jpeg::JpegOutputPiece& piece : queue) {
    EXPECT_LE(piece.size, jpeg::kJpegChunkSize);
    got.insert(got.end(), piece.data, piece.data + piece.size);
  }
  EXPECT_EQ(got, expected);
  EXPECT_GE(queue.size(), 2u);
}

TEST(JpegBitSinkTest, PaddingAndStuffing) {
  std::deque<jpeg::JpegOutputPiece> queue;
  jpeg::JpegBitSink sink;
  sink.Init(&queue);
  sink.PutBits(0xFF, 8);
  sink.PutBits(0xFE, 8);
  sink.PutBits(0x1, 5);  // 00001 then padding 101
  const uint8_t bits[3] = {1, 0, 1};
  const uint8_t* cursor = bits;
  ASSERT_TRUE(sink.PadToByte(&cursor, bits + 3));
  EXPECT_EQ(cursor, bits + 3);
  sink.PutBits(0x0, 5);  // no stored bits: 111
  ASSERT_TRUE(sink.PadToByte(nullptr, nullptr));
  sink.Finish();
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(Bytes(queue[0].data, queue[0].data + queue[0].size),
            (Bytes{0xFF, 0x00, 0xFE, 0x0D, 0x07}));
}

// A refinement block whose new coefficient forces the pending run (with its
// correction bits) out in the middle of the block, just before the end of a
// chunk: the rest of the block still lands inside a chunk.
TEST(JpegBitSinkTest, RefinementFlushMidBlockNearChunkEnd) {
  jpeg::JpegHuffmanTable ac;
  for (int s = 0; s < 256; ++s) {
    ac.lengths[s] = 8;
    ac.codes[s] = 0xFF;  // every code stuffs: the worst case for room
  }
  for (uint64_t start = 16340; start <= 16368; ++start) {
    std::deque<jpeg::JpegOutputPiece> queue;
    jpeg::JpegBitSink sink;
    sink.Init(&queue);
    sink.position = start;  // as if the chunk were almost full
    jpeg::JpegEobRunState run;
    // A pending run with 15 correction bits (all 1: more stuffing).
    int16_t old_block[64] = {};
    for (int k = 1; k <= 15; ++k) old_block[jpeg::kJpegZigZag[k]] = 3;
    jpeg::EncodeRefinementBlock(old_block, ac, 1, 63, 0, run, sink);
    ASSERT_EQ(run.run_length, 1);
    // Already non-zero coefficients, then new ones up to the band's end.
    int16_t block[64] = {};
    for (int k = 1; k <= 63; ++k) block[jpeg::kJpegZigZag[k]] = k % 2 ? 3 : 1;
    jpeg::EncodeRefinementBlock(block, ac, 1, 63, 0, run, sink);
    EXPECT_LE(sink.position, jpeg::kJpegChunkSize) << start;
    EXPECT_TRUE(sink.ok);
  }
}

}  // namespace
}  // namespace qov::test
