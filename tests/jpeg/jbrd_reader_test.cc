// The reconstruction data bundle and the 'jbrd' box: field coding round trips
// through the project's bundle writer, rejections of hand-made streams, the
// brotli bodies, segment glue and the box collection from chunked input.
#include <gtest/gtest.h>

#include <cstring>

#include "lib/jpeg/jbrd_reader.h"
#include "lib/jpeg/jpeg_writer.h"
#include "tests/jpeg/jpeg_test_helpers.h"
#include "tests/support/bit_sequence.h"
#include "tests/support/container_bytes.h"

namespace qov::test {
namespace {

using jpeg::JPEGData;
using jpeg::JpegScanSpec;

constexpr U32Coding kAppKind(Val(0), Val(1), BitsOffset(1, 2), BitsOffset(2, 4));
constexpr U32Coding kOneToFour(Val(1), Val(2), Val(3), Val(4));
constexpr U32Coding kHuffCount(Val(4), BitsOffset(3, 2), BitsOffset(4, 10),
                               BitsOffset(6, 26));
constexpr U32Coding kCodeCount(Val(0), Val(1), BitsOffset(3, 2), Bits(8));
constexpr U32Coding kSymbol(Bits(2), BitsOffset(2, 4), BitsOffset(4, 8),
                            BitsOffset(8, 1));
constexpr U32Coding kAux(Val(0), Val(1), Val(2), BitsOffset(3, 3));
constexpr U32Coding kListCount(Val(0), BitsOffset(2, 1), BitsOffset(4, 4),
                               BitsOffset(16, 20));
constexpr U32Coding kDelta(Val(0), BitsOffset(3, 1), BitsOffset(5, 9),
                           BitsOffset(28, 41));
constexpr U32Coding kRunCount(Val(1), BitsOffset(2, 2), BitsOffset(4, 5),
                              BitsOffset(8, 20));
constexpr U32Coding kTrailing(Val(0), BitsOffset(8, 1), BitsOffset(16, 257),
                              BitsOffset(22, 65793));

// Writes the bundle of `d` field by field, without any check, so that tests
// can spell out what the bundle writer would refuse. `type` is the component
// type (3: ids written).
BitSequence RawBundle(const JPEGData& d, uint32_t type) {
  BitSequence b;
  b.Bool(d.component_list.size() == 1);
  bool dri = false;
  for (uint8_t m : d.marker_sequence) {
    b.Bits(6, (m - 0xC0) & 63);
    dri |= m == 0xDD;
  }
  for (size_t i = 0; i < d.app_segments.size(); ++i) {
    b.U32(kAppKind, d.app_segment_kinds[i]);
    // announced.app, when given, overrides the sizes (large fixtures).
    const size_t size = d.announced.app.empty() ? d.app_segments[i].size()
                                                : d.announced.app[i];
    b.Bits(16, size - 1);
  }
  for (const auto& c : d.com_segments) b.Bits(16, c.size() - 1);
  b.U32(kOneToFour, static_cast<uint32_t>(d.quant_tables.size()));
  for (const auto& q : d.quant_tables) {
    b.Bits(1, q.precision).Bits(2, q.table_id).Bool(q.is_last);
  }
  b.Bits(2, type);
  if (type == 3) {
    b.U32(kOneToFour, static_cast<uint32_t>(d.component_list.size()));
    for (const auto& c : d.component_list) b.Bits(8, c.id);
  }
  for (const auto& c : d.component_list) b.Bits(2, c.quant_index);
  b.U32(kHuffCount, static_cast<uint32_t>(d.huffman_tables.size()));
  for (const auto& t : d.huffman_tables) {
    b.Bool(t.slot_id >= 16).Bits(2, t.slot_id & 3).Bool(t.is_last);
    uint32_t total = 0;
    for (uint32_t c : t.counts) {
      b.U32(kCodeCount, c);
      total += c;
    }
    for (uint32_t i = 0; i < total && i < 257; ++i) b.U32(kSymbol, t.symbols[i]);
  }
  for (const JpegScanSpec& s : d.scans) {
    b.U32(kOneToFour, s.component_count);
    b.Bits(6, s.ss).Bits(6, s.se).Bits(4, s.al).Bits(4, s.ah);
    for (uint32_t i = 0; i < s.component_count && i < 4; ++i) {
      b.Bits(2, s.components[i].component_index)
          .Bits(2, s.components[i].ac_table)
          .Bits(2, s.components[i].dc_table);
    }
    b.U32(kAux, s.aux_value);
  }
  if (dri) b.Bits(16, d.restart_interval);
  for (const JpegScanSpec& s : d.scans) {
    b.U32(kListCount, static_cast<uint32_t>(s.reset_points.size()));
    uint32_t prev = ~0u;
    for (uint32_t p : s.reset_points) {
      b.U32(kDelta, p - prev - 1);
      prev = p;
    }
    b.U32(kListCount, static_cast<uint32_t>(s.extra_zero_runs.size()));
    prev = ~0u;
    for (const auto& r : s.extra_zero_runs) {
      b.U32(kRunCount, r.count);
      b.U32(kDelta, r.block_index - prev - 1);
      prev = r.block_index;
    }
  }
  for (const auto& s : d.inter_marker_segments) b.Bits(16, s.size());
  b.U32(kTrailing, static_cast<uint32_t>(d.trailing_bytes.size()));
  b.Bool(d.has_padding_bits);
  if (d.has_padding_bits) {
    b.Bits(24, d.padding_bit_values.size());
    for (uint8_t bit : d.padding_bit_values) b.Bool(bit != 0);
  }
  return b;
}

// The bodies the brotli stream carries for `d`, in stream order.
Bytes Bodies(const JPEGData& d) {
  Bytes out;
  for (size_t i = 0; i < d.app_segments.size(); ++i) {
    if (d.app_segment_kinds[i] == jpeg::kOther) {
      out.insert(out.end(), d.app_segments[i].begin(), d.app_segments[i].end());
    }
  }
  for (const auto& c : d.com_segments) out.insert(out.end(), c.begin(), c.end());
  for (const auto& s : d.inter_marker_segments) {
    out.insert(out.end(), s.begin(), s.end());
  }
  out.insert(out.end(), d.trailing_bytes.begin(), d.trailing_bytes.end());
  return out;
}

// `front` followed by `back` (plain loops: gcc 12 warns falsely on
// vector::insert here).
Bytes Joined(const Bytes& front, const Bytes& back) {
  Bytes out;
  out.reserve(front.size() + back.size());
  for (uint8_t b : front) out.push_back(b);
  for (uint8_t b : back) out.push_back(b);
  return out;
}

Bytes Segment(uint8_t marker, Bytes payload) {
  Bytes s = Joined({marker, 0, 0}, payload);
  s[1] = static_cast<uint8_t>((s.size() - 1) >> 8);
  s[2] = static_cast<uint8_t>(s.size() - 1);
  return s;
}

Bytes IccSegment(uint8_t index, uint8_t count, size_t body) {
  Bytes p = StringBytes("ICC_PROFILE");
  p.push_back(0);
  p.push_back(index);
  p.push_back(count);
  p.resize(p.size() + body, 0);
  return Segment(0xE2, p);
}

// A progressive 3-component description with every kind of segment.
JPEGData FullDescription() {
  JpegSpecParams p;
  p.sampling = {{2, 2}, {1, 1}, {1, 1}};
  p.progressive = true;
  p.restart_interval = 5;
  p.scans = {ScanOf({0, 1, 2}, 0, 0, 0, 1), ScanOf({0}, 1, 63, 0, 1),
             ScanOf({1}, 1, 63, 0, 0), ScanOf({2}, 1, 63, 0, 0),
             ScanOf({0}, 1, 63, 1, 0), ScanOf({0, 1, 2}, 0, 0, 1, 0)};
  JPEGData d = MakeJpegData(p);
  for (size_t i = 0; i < 3; ++i) d.component_list[i].id = 10 + i;
  d.component_list[2].quant_index = 1;
  d.quant_tables.resize(2);
  d.quant_tables[0].is_last = false;
  d.quant_tables[1].table_id = 3;
  d.quant_tables[1].precision = 1;
  d.scans[1].reset_points = {0, 7, 300};
  d.scans[1].extra_zero_runs = {{2, 1}, {9, 4}};
  d.scans[2].aux_value = 7;
  Bytes exif = StringBytes("Exif");
  exif = Joined(exif, {0, 0, 1, 2, 3});
  Bytes xmp = StringBytes("http://ns.adobe.com/xap/1.0/");
  xmp.push_back(0);
  xmp.resize(xmp.size() + 8, 0);
  d.app_segments = {Segment(0xE0, StringBytes("JFIF")), IccSegment(1, 2, 3),
                    IccSegment(2, 2, 0), Segment(0xE1, exif),
                    Segment(0xE1, xmp)};
  d.app_segments[3].resize(9 + 3, 0);  // Exif body not stored here
  d.app_segments[3][1] = 0;
  d.app_segments[3][2] = 11;
  d.app_segment_kinds = {jpeg::kOther, jpeg::kIcc, jpeg::kIcc, jpeg::kExif,
                         jpeg::kXmp};
  d.com_segments = {Segment(0xFE, StringBytes("made by hand"))};
  d.inter_marker_segments = {{0x00, 0x01, 0x02}};
  d.trailing_bytes = {0xAA, 0xBB};
  d.has_padding_bits = true;
  d.padding_bit_values = {1, 0, 1, 1};
  std::vector<uint8_t> seq = {0xE0, 0xE2, 0xE2, 0xE1, 0xE1, 0xFE, 0xFF};
  d.marker_sequence = Joined(seq, d.marker_sequence);
  return d;
}

// A brotli stream of `bodies` (an empty stream is one empty last block).
Bytes Content(const Bytes& bundle, const Bytes& bodies) {
  return Concat({bundle, bodies.empty() ? Bytes{0x06} : BrotliStored(bodies)});
}

TEST(JpegDataTest, FieldCodingRoundTrip) {
  const JPEGData d = FullDescription();
  uint64_t bits = 0;
  const Bytes bundle = WriteBundle(d, &bits);
  ASSERT_FALSE(bundle.empty());
  // The listing writes what a plain field-by-field writer writes.
  EXPECT_EQ(RawBundle(d, 3).Bytes(), bundle);

  JPEGData r;
  ASSERT_EQ(ReadJpegReconstructionData(
                Span(Content(bundle, Bodies(d)).data(), 0), r).raw(), -1);
  const Bytes content = Content(bundle, Bodies(d));
  JPEGData got;
  ASSERT_TRUE(ReadJpegReconstructionData(Span(content.data(), content.size()),
                                         got).ok());
  EXPECT_EQ(got.marker_sequence, d.marker_sequence);
  EXPECT_EQ(got.app_segment_kinds, d.app_segment_kinds);
  // Bodies from outside the box stay zero; the headers are written.
  std::vector<Bytes> expected_app = d.app_segments;
  std::fill(expected_app[3].begin() + 9, expected_app[3].end(), 0);
  EXPECT_EQ(got.app_segments, expected_app);
  EXPECT_EQ(got.com_segments, d.com_segments);
  EXPECT_EQ(got.inter_marker_segments, d.inter_marker_segments);
  EXPECT_EQ(got.trailing_bytes, d.trailing_bytes);
  EXPECT_EQ(got.padding_bit_values, d.padding_bit_values);
  EXPECT_TRUE(got.has_padding_bits);
  EXPECT_EQ(got.restart_interval, d.restart_interval);
  ASSERT_EQ(got.quant_tables.size(), 2u);
  EXPECT_EQ(got.quant_tables[1].table_id, 3u);
  EXPECT_EQ(got.quant_tables[1].precision, 1u);
  EXPECT_FALSE(got.quant_tables[0].is_last);
  ASSERT_EQ(got.component_list.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(got.component_list[i].id, d.component_list[i].id);
    EXPECT_EQ(got.component_list[i].quant_index,
              d.component_list[i].quant_index);
  }
  ASSERT_EQ(got.huffman_tables.size(), d.huffman_tables.size());
  for (size_t i = 0; i < d.huffman_tables.size(); ++i) {
    EXPECT_EQ(0, std::memcmp(&got.huffman_tables[i].counts,
                             &d.huffman_tables[i].counts,
                             sizeof(d.huffman_tables[i].counts)));
    EXPECT_EQ(0, std::memcmp(&got.huffman_tables[i].symbols,
                             &d.huffman_tables[i].symbols,
                             sizeof(d.huffman_tables[i].symbols)));
    EXPECT_EQ(got.huffman_tables[i].slot_id, d.huffman_tables[i].slot_id);
    EXPECT_EQ(got.huffman_tables[i].is_last, d.huffman_tables[i].is_last);
  }
  ASSERT_EQ(got.scans.size(), d.scans.size());
  for (size_t i = 0; i < d.scans.size(); ++i) {
    const JpegScanSpec& a = got.scans[i];
    const JpegScanSpec& b = d.scans[i];
    EXPECT_EQ(a.ss, b.ss);
    EXPECT_EQ(a.se, b.se);
    EXPECT_EQ(a.ah, b.ah);
    EXPECT_EQ(a.al, b.al);
    EXPECT_EQ(a.aux_value, b.aux_value);
    ASSERT_EQ(a.component_count, b.component_count);
    for (uint32_t c = 0; c < a.component_count; ++c) {
      EXPECT_EQ(a.components[c].component_index, b.components[c].component_index);
      EXPECT_EQ(a.components[c].dc_table, b.components[c].dc_table);
      EXPECT_EQ(a.components[c].ac_table, b.components[c].ac_table);
    }
    EXPECT_EQ(a.reset_points, b.reset_points);
    ASSERT_EQ(a.extra_zero_runs.size(), b.extra_zero_runs.size());
    for (size_t k = 0; k < a.extra_zero_runs.size(); ++k) {
      EXPECT_EQ(a.extra_zero_runs[k].block_index, b.extra_zero_runs[k].block_index);
      EXPECT_EQ(a.extra_zero_runs[k].count, b.extra_zero_runs[k].count);
    }
  }
}

// A small valid gray description that the rejection cases edit.
JPEGData SmallGray() {
  JpegSpecParams p;
  p.scans = {ScanOf({0}, 0, 63, 0, 0)};
  JPEGData d = MakeJpegData(p);
  d.huffman_tables.resize(2);
  d.huffman_tables[1].is_last = true;
  return d;
}

Status ReadRaw(const JPEGData& d, uint32_t type = 0) {
  const Bytes content = Content(RawBundle(d, type).Bytes(), Bodies(d));
  JPEGData got;
  return ReadJpegReconstructionData(Span(content.data(), content.size()), got);
}

TEST(JpegDataTest, ReadingRejectsMalformedFields) {
  ASSERT_TRUE(ReadRaw(SmallGray()).ok());
  struct Case {
    const char* name;
    void (*edit)(JPEGData&);
    int expected;  // Status raw value
    uint32_t type = 0;
  };
  const Case cases[] = {
      {"no SOS", [](JPEGData& d) { d.marker_sequence = {0xC4, 0xD9}; d.scans.clear(); }, 1},
      {"16384 markers",
       [](JPEGData& d) {
         d.marker_sequence = {0xDB, 0xC0, 0xC4, 0xDA};
         d.marker_sequence.resize(16383, 0xD0);
         d.marker_sequence.push_back(0xD9);
       }, 0},
      {"16385 markers",
       [](JPEGData& d) {
         d.marker_sequence = {0xDB, 0xC0, 0xC4, 0xDA};
         d.marker_sequence.resize(16384, 0xD0);
         d.marker_sequence.push_back(0xD9);
       }, 1},
      {"APP kind 4",
       [](JPEGData& d) {
         d.marker_sequence = Joined({0xE0}, d.marker_sequence);
         d.app_segments = {{0xE0, 0, 2}};
         d.app_segment_kinds = {4};
       }, 1},
      {"APP of 2 bytes",
       [](JPEGData& d) {
         d.marker_sequence = Joined({0xE0}, d.marker_sequence);
         d.app_segments = {{0xE0, 0}};
         d.app_segment_kinds = {0};
       }, 1},
      {"APP of 3 bytes",
       [](JPEGData& d) {
         d.marker_sequence = Joined({0xE0}, d.marker_sequence);
         d.app_segments = {{0xE0, 0, 2}};
         d.app_segment_kinds = {0};
       }, 0},
      {"COM of 2 bytes",
       [](JPEGData& d) {
         d.marker_sequence = Joined({0xFE}, d.marker_sequence);
         d.com_segments = {{0xFE, 0}};
       }, 1},
      {"4 quant tables", [](JPEGData& d) { d.quant_tables.resize(4); }, 1},
      {"component count 2",
       [](JPEGData& d) { d.component_list.resize(2); }, 1, 3},
      {"quant index past the tables",
       [](JPEGData& d) {
         d.quant_tables.resize(2);
         d.component_list[0].quant_index = 2;
       }, 1},
      {"quant table 0 unused",
       [](JPEGData& d) {
         d.quant_tables.resize(2);
         d.component_list[0].quant_index = 1;
       }, 1},
      // Malformed Huffman tables are refused when read.
      {"Huffman table without codes after another of its segment",
       [](JPEGData& d) {
         d.huffman_tables[1].is_last = false;
         d.huffman_tables.push_back(jpeg::JpegHuffmanSpec());
       }, 1},
      {"over-subscribed Huffman table",
       [](JPEGData& d) {
         auto& t = d.huffman_tables[0];
         t = jpeg::JpegHuffmanSpec();
         t.counts[1] = 3;
         t.symbols[0] = 0; t.symbols[1] = 1; t.symbols[2] = 256;
       }, 1},
      {"over-subscribed at length 16",
       [](JPEGData& d) { d.huffman_tables[1].counts[16] = 1; }, 1},
      {"Huffman total 258",
       [](JPEGData& d) { d.huffman_tables[1].counts[9] = 3; }, 1},
      {"DC symbol 12",
       [](JPEGData& d) { d.huffman_tables[0].symbols[0] = 12; }, 1},
      {"last symbol not 256",
       [](JPEGData& d) { d.huffman_tables[0].symbols[12] = 11; }, 1},
      {"repeated symbol",
       [](JPEGData& d) { d.huffman_tables[0].symbols[1] = d.huffman_tables[0].symbols[0]; }, 1},
      {"scan of 4 components",
       [](JPEGData& d) { d.scans[0].component_count = 4; }, 1},
      {"scan component past the list",
       [](JPEGData& d) { d.scans[0].components[0].component_index = 1; }, 1},
      {"reset point 0xBFFFFFF",
       [](JPEGData& d) { d.scans[0].reset_points = {0xBFFFFFF}; }, 0},
      {"reset point 0xC000000",
       [](JPEGData& d) { d.scans[0].reset_points = {0xC000000}; }, 1},
      {"run patch at 0xC000000",
       [](JPEGData& d) { d.scans[0].extra_zero_runs = {{0xC000000, 1}}; }, 0},
      {"run patch count 5",
       [](JPEGData& d) { d.scans[0].extra_zero_runs = {{3, 5}}; }, 1},
      {"DHT after its SOS",
       [](JPEGData& d) { d.marker_sequence = {0xDB, 0xC0, 0xDA, 0xC4, 0xD9}; }, 1},
      {"progressive DC-only scan needs no AC table",
       [](JPEGData& d) {
         d.marker_sequence[1] = 0xC2;
         d.scans[0].se = 0;
         d.huffman_tables = {FullHuffmanSpec(false, 0, false),
                             FullHuffmanSpec(false, 1, true)};
       }, 0},
      {"padding bits past the input",
       [](JPEGData& d) {
         d.has_padding_bits = true;
         d.padding_bit_values.assign(200000, 0);
       }, -1},
  };
  for (const Case& c : cases) {
    JPEGData d = SmallGray();
    c.edit(d);
    Bytes bundle = RawBundle(d, c.type).Bytes();
    if (c.expected == -1) bundle.resize(bundle.size() - 20000);
    const Bytes content = Content(bundle, Bodies(d));
    JPEGData got;
    EXPECT_EQ(ReadJpegReconstructionData(Span(content.data(), content.size()),
                                         got).raw(),
              c.expected)
        << c.name;
  }
}

// Gives `read` what frame decoding fills in from the codestream.
void TakeFrameFields(const JPEGData& from, JPEGData* read) {
  read->width = from.width;
  read->height = from.height;
  read->quant_tables = from.quant_tables;
  for (size_t i = 0; i < read->component_list.size(); ++i) {
    const jpeg::JpegComponentData& c = from.component_list[i];
    jpeg::JpegComponentData& r = read->component_list[i];
    r.h_sampling = c.h_sampling;
    r.v_sampling = c.v_sampling;
    r.width_in_blocks = c.width_in_blocks;
    r.height_in_blocks = c.height_in_blocks;
    r.coefficients = c.coefficients;
  }
}

// A Huffman table with no codes is an empty DHT segment when it opens its
// segment: it survives the bundle and is rebuilt as FF C4 00 02 in place.
// After another table of its segment it is refused when read and when
// written, since the segment's length would count 16 bytes nothing fills.
TEST(JpegDataTest, HuffmanTableWithoutCodes) {
  const JPEGData base = SmallGray();  // DQT, SOF, DHT (DC 0, AC 0), SOS, EOI
  int status = -2;
  const Bytes base_file = WriteJpeg(base, ~uint64_t{0}, &status);
  ASSERT_EQ(status, 0);
  // Where the empty segment lands in `base_file`: before its DHT (after
  // SOI, DQT of 1 + 2 + 65 bytes and SOF of 2 + 11), or before EOI.
  const size_t before_dht = 2 + 69 + 13;
  ASSERT_EQ(base_file[before_dht + 1], 0xC4);
  const size_t before_eoi = base_file.size() - 2;
  struct Case {
    const char* name;
    size_t table_at;   // where the empty table goes among the tables
    bool is_last;      // of the empty table
    size_t marker_at;  // where its own DHT goes in the marker sequence
    size_t file_at;    // where FF C4 00 02 goes in `base_file`; 0: refused
  };
  const Case cases[] = {
      {"first DHT of the file", 0, true, 2, before_dht},
      {"first DHT, not marked last", 0, false, 2, before_dht},
      {"own DHT after the scan", 2, true, 4, before_eoi},
      {"after the DC table of its segment", 1, true, 0, 0},
      {"after both tables of its segment", 2, true, 0, 0},
  };
  for (const Case& c : cases) {
    JPEGData d = base;
    jpeg::JpegHuffmanSpec empty;
    empty.is_last = c.is_last;
    const bool refused = c.file_at == 0;
    if (refused) {
      d.huffman_tables[c.table_at - 1].is_last = false;
    } else {
      d.marker_sequence.insert(d.marker_sequence.begin() + c.marker_at, 0xC4);
    }
    d.huffman_tables.insert(d.huffman_tables.begin() + c.table_at, empty);
    int write_status = -2;
    const Bytes file = WriteJpeg(d, ~uint64_t{0}, &write_status);
    Status bundled;
    const Bytes bundle = WriteBundle(d, &bundled);
    if (refused) {
      EXPECT_EQ(bundled.raw(), 1) << c.name;
      EXPECT_EQ(ReadRaw(d).raw(), 1) << c.name;
      EXPECT_EQ(write_status, 1) << c.name;
      continue;
    }
    ASSERT_TRUE(bundled.ok()) << c.name;
    const Bytes content = Content(bundle, Bodies(d));
    JPEGData got;
    ASSERT_TRUE(ReadJpegReconstructionData(
                    Span(content.data(), content.size()), got).ok())
        << c.name;
    ASSERT_EQ(got.huffman_tables.size(), 3u) << c.name;
    EXPECT_EQ(got.huffman_tables[c.table_at].Total(), 0u) << c.name;
    EXPECT_EQ(got.huffman_tables[c.table_at].is_last, c.is_last) << c.name;
    TakeFrameFields(d, &got);
    Bytes expected(base_file.begin(), base_file.begin() + c.file_at);
    for (uint8_t b : {0xFF, 0xC4, 0x00, 0x02}) expected.push_back(b);
    expected.insert(expected.end(), base_file.begin() + c.file_at,
                    base_file.end());
    int rebuilt_status = -2;
    EXPECT_EQ(WriteJpeg(got, ~uint64_t{0}, &rebuilt_status), expected)
        << c.name;
    EXPECT_EQ(rebuilt_status, 0) << c.name;
    EXPECT_EQ(write_status, 0) << c.name;
    EXPECT_EQ(file, expected) << c.name;
  }
}

TEST(JbrdReaderTest, BoxContentRules) {
  JPEGData d = SmallGray();
  d.marker_sequence = Joined({0xE0, 0xE2, 0xE2}, d.marker_sequence);
  d.app_segments = {Segment(0xE0, {1, 2, 3}), IccSegment(1, 2, 0),
                    IccSegment(2, 2, 0)};
  d.app_segment_kinds = {jpeg::kOther, jpeg::kIcc, jpeg::kIcc};
  BitSequence raw = RawBundle(d, 0);
  Bytes bundle = raw.Bytes();
  ASSERT_NE(raw.size_bits() % 8, 0u);
  const Bytes bodies = Bodies(d);
  auto read = [](const Bytes& content, JPEGData* out) {
    return ReadJpegReconstructionData(Span(content.data(), content.size()),
                                      *out).raw();
  };
  JPEGData got;
  ASSERT_EQ(read(Content(bundle, bodies), &got), 0);
  // ICC headers: sequence numbers 1 and 2, count 2; 17 bytes is enough.
  EXPECT_EQ(got.app_segments[1], IccSegment(1, 2, 0));
  EXPECT_EQ(got.app_segments[2], IccSegment(2, 2, 0));

  Bytes bad = Content(bundle, bodies);
  bad[bundle.size() - 1] |= 0x80;  // a 1 among the bits after the bundle
  EXPECT_EQ(read(bad, &got), 1) << "non-zero bits before the byte boundary";
  EXPECT_EQ(read(bundle, &got), 1) << "no brotli stream";
  Bytes longer = bodies;
  longer.push_back(0);
  EXPECT_EQ(read(Content(bundle, longer), &got), 1) << "stream too long";
  Bytes shorter(bodies.begin(), bodies.end() - 1);
  EXPECT_EQ(read(Content(bundle, shorter), &got), 1) << "stream too short";
  Bytes extra = Content(bundle, bodies);
  extra.push_back(0);
  EXPECT_EQ(read(extra, &got), 1) << "a byte after the stream";
  Bytes mismatch = bodies;
  mismatch[2] = 6;  // the APP0 segment's own length field
  EXPECT_EQ(read(Content(bundle, mismatch), &got), 1) << "own length";

  JPEGData short_icc = d;
  short_icc.app_segments[2].resize(16);
  short_icc.app_segments[2][2] = 15;
  EXPECT_EQ(read(Content(RawBundle(short_icc, 0).Bytes(), bodies), &got), 1)
      << "ICC segment of 16 bytes";
}

// A bundle of about 45 KB can announce 16384 segments of 64 KiB each. The
// storage follows the bytes that actually arrive instead.
TEST(JbrdReaderTest, AnnouncedSizesDoNotAllocateAhead) {
  JPEGData d = SmallGray();
  std::vector<uint8_t> seq(16000, 0xE0);
  d.marker_sequence = Joined(seq, d.marker_sequence);
  d.app_segments.assign(16000, Bytes());
  d.app_segment_kinds.assign(16000, jpeg::kOther);
  d.announced.app.assign(16000, 65536);
  const Bytes bundle = RawBundle(d, 0).Bytes();
  EXPECT_LT(bundle.size(), 50000u);
  const Bytes content = Content(bundle, Segment(0xE0, {1, 2}));
  d = JPEGData();
  JPEGData got;
  const uint64_t before = NewBytesSoFar();
  EXPECT_EQ(ReadJpegReconstructionData(Span(content.data(), content.size()),
                                       got).raw(), 1);
  if (CountsNewBytes()) {
    EXPECT_LT(NewBytesSoFar() - before, uint64_t{16} << 20);
  }
  // ICC segments are allocated whole, so their number is bounded.
  JPEGData icc = SmallGray();
  seq.assign(256, 0xE2);
  icc.marker_sequence = Joined(seq, icc.marker_sequence);
  icc.app_segments.assign(256, IccSegment(1, 1, 65000));
  icc.app_segment_kinds.assign(256, jpeg::kIcc);
  EXPECT_EQ(ReadRaw(icc).raw(), 1);
  icc.marker_sequence.erase(icc.marker_sequence.begin());
  icc.app_segments.pop_back();
  icc.app_segment_kinds.pop_back();
  EXPECT_EQ(ReadRaw(icc).raw(), 0);
}

Bytes SmallBoxContent() {
  const JPEGData d = SmallGray();
  return Content(RawBundle(d, 0).Bytes(), Bodies(d));
}

TEST(JbrdReaderTest, BoundedBoxSplitOverTwoChunks) {
  const Bytes content = SmallBoxContent();
  QovToJpegDecoder dec;
  dec.collecting = true;
  dec.box_content_size = content.size();
  const Bytes input = Concat({content, Bytes{0x77, 0x78}});  // next box after
  const uint8_t* next = input.data();
  uint64_t avail = 10;
  EXPECT_EQ(dec.ReadReconstructionBox(&next, &avail, false), QOV_DEC_WANT_INPUT);
  EXPECT_EQ(avail, 0u);
  EXPECT_EQ(dec.box_bytes.size(), 10u);
  avail = input.size() - 10;
  EXPECT_EQ(dec.ReadReconstructionBox(&next, &avail, false), QOV_DEC_JPEG_DATA);
  EXPECT_EQ(avail, 2u);  // the next box stays in the input
  EXPECT_EQ(*next, 0x77);
  EXPECT_FALSE(dec.collecting);
  ASSERT_NE(dec.jpeg_data, nullptr);
  EXPECT_EQ(dec.jpeg_data->marker_sequence, SmallGray().marker_sequence);
  // Not collecting: refused.
  EXPECT_EQ(dec.ReadReconstructionBox(&next, &avail, false), QOV_DEC_FAILED);
  // A complete bounded box whose bundle is cut short is a failure.
  QovToJpegDecoder cut;
  cut.collecting = true;
  cut.box_content_size = 5;
  next = content.data();
  avail = content.size();
  EXPECT_EQ(cut.ReadReconstructionBox(&next, &avail, false), QOV_DEC_FAILED);
}

// A box that runs to the end of the file gives the same result however the
// input is cut: it is read only once the input is closed.
TEST(JbrdReaderTest, BoxToEndWaitsForClosedInput) {
  const Bytes content = SmallBoxContent();
  for (size_t cut : {size_t{1}, size_t{12}, content.size() - 3,
                     content.size() - 1, content.size()}) {
    QovToJpegDecoder dec;
    dec.collecting = true;
    dec.runs_to_end = true;
    const uint8_t* next = content.data();
    uint64_t avail = cut;
    EXPECT_EQ(dec.ReadReconstructionBox(&next, &avail, false),
              QOV_DEC_WANT_INPUT) << cut;
    avail = content.size() - cut;
    EXPECT_EQ(dec.ReadReconstructionBox(&next, &avail, true),
              QOV_DEC_JPEG_DATA) << cut;
  }
  // Closed with the content cut short: failure, not a request for input.
  QovToJpegDecoder dec;
  dec.collecting = true;
  dec.runs_to_end = true;
  const uint8_t* next = content.data();
  uint64_t avail = content.size() - 1;
  EXPECT_EQ(dec.ReadReconstructionBox(&next, &avail, true), QOV_DEC_FAILED);
}

TEST(SegmentGlueTest, ExifAndXmpBoxes) {
  JPEGData d;
  d.app_segments = {Bytes(9, 0), Bytes(40, 0)};
  d.app_segment_kinds = {jpeg::kExif, jpeg::kXmp};
  uint64_t size = 0;
  ASSERT_TRUE(ExifBoxSizeFor(d, &size).ok());
  EXPECT_EQ(size, 4u);  // 9-byte segment: empty body
  const Bytes exif_box = {0, 0, 0, 0};
  ASSERT_TRUE(InsertExifIntoSegment(exif_box.data(), 4, d).ok());
  EXPECT_EQ(d.app_segments[0], (Bytes{0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0}));
  EXPECT_TRUE(InsertExifIntoSegment(exif_box.data(), 3, d).failed());

  ASSERT_TRUE(XmpBoxSizeFor(d, &size).ok());
  EXPECT_EQ(size, 8u);
  const Bytes xmp(9, 'x');
  EXPECT_TRUE(InsertXmpIntoSegment(xmp.data(), 9, d).failed());
  ASSERT_TRUE(InsertXmpIntoSegment(xmp.data(), 8, d).ok());
  EXPECT_EQ(d.app_segments[1][0], 0xE1);
  EXPECT_EQ(std::memcmp(d.app_segments[1].data() + 3,
                        "http://ns.adobe.com/xap/1.0/", 29), 0);
  EXPECT_EQ(d.app_segments[1].back(), 'x');

  EXPECT_EQ(CountExifSegments(d), 1u);
  d.app_segment_kinds = {jpeg::kExif, jpeg::kExif};
  EXPECT_EQ(CountExifSegments(d), 2u);
  EXPECT_EQ(CountXmpSegments(d), 0u);
  EXPECT_TRUE(XmpBoxSizeFor(d, &size).failed());
  d.app_segments[0].resize(8);
  EXPECT_TRUE(ExifBoxSizeFor(d, &size).failed());
}

TEST(SegmentGlueTest, IccProfileSplitOverSegments) {
  struct Case {
    std::vector<size_t> bodies;
    size_t profile;
    bool ok;
  };
  const Case cases[] = {
      {{10, 10, 5}, 25, true}, {{10, 10, 5}, 24, false},
      {{10, 10, 5}, 26, false}, {{10, 10, 4}, 25, false},
      {{0, 0}, 100, true},     {{}, 7, true},
  };
  for (const Case& c : cases) {
    JPEGData d;
    for (size_t i = 0; i < c.bodies.size(); ++i) {
      d.app_segments.push_back(IccSegment(i + 1, c.bodies.size(), c.bodies[i]));
      d.app_segment_kinds.push_back(jpeg::kIcc);
    }
    Bytes profile(c.profile);
    for (size_t i = 0; i < profile.size(); ++i) profile[i] = i + 1;
    EXPECT_EQ(RestoreIccIntoSegments(profile, d).ok(), c.ok) << c.profile;
    if (c.ok && c.bodies.size() == 3) {
      EXPECT_EQ(d.app_segments[1][17], 11);
      EXPECT_EQ(d.app_segments[2].back(), 25);
    }
  }
}

TEST(SegmentGlueTest, WriteOutputIntoCallerBuffer) {
  JpegSpecParams p;
  p.scans = {ScanOf({0}, 0, 63, 0, 0)};
  const JPEGData d = MakeJpegData(p);
  int status = 0;
  const Bytes file = WriteJpeg(d, ~uint64_t{0}, &status);
  ASSERT_EQ(status, 0);
  Bytes buffer(file.size(), 0);
  QovToJpegDecoder dec;
  dec.output_next = buffer.data();
  dec.output_available = file.size() - 1;
  EXPECT_EQ(dec.WriteOutput(d), QOV_DEC_WANT_JPEG_OUTPUT);
  EXPECT_EQ(dec.output_next, buffer.data());
  EXPECT_EQ(dec.output_available, file.size() - 1);
  dec.output_available = file.size();
  EXPECT_EQ(dec.WriteOutput(d), QOV_DEC_OK);
  EXPECT_EQ(dec.output_available, 0u);
  EXPECT_EQ(dec.output_next, buffer.data() + buffer.size());
  EXPECT_EQ(buffer, file);
  JPEGData broken = d;
  broken.width = 70000;
  dec.output_next = buffer.data();
  dec.output_available = buffer.size();
  EXPECT_EQ(dec.WriteOutput(broken), QOV_DEC_FAILED);
}

}  // namespace
}  // namespace qov::test
