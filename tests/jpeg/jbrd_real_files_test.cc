// Real files with a 'jbrd' box: the reconstruction data must describe the
// JPEG file that the corpus holds for each of them. The coefficients come
// from decoding that JPEG file with the test-side decoder (until the VarDCT
// path supplies them); with them, the writer must rebuild the file exactly.
#include <brotli/decode.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "lib/jpeg/jbrd_reader.h"
#include "lib/jpeg/jpeg_writer.h"
#include "tests/jpeg/jpeg_test_helpers.h"

namespace qov::test {
namespace {

namespace fs = std::filesystem;
using jpeg::JPEGData;

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)),
               std::istreambuf_iterator<char>());
}

uint64_t BE(const Bytes& b, size_t at, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | b[at + i];
  return v;
}

Bytes Unbrotli(const uint8_t* data, size_t size) {
  Bytes out;
  BrotliDecoderState* s = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
  size_t avail_in = size;
  const uint8_t* next_in = data;
  BrotliDecoderResult r = BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT;
  while (r == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT) {
    uint8_t buf[4096];
    size_t avail_out = sizeof(buf);
    uint8_t* next_out = buf;
    r = BrotliDecoderDecompressStream(s, &avail_in, &next_in, &avail_out,
                                      &next_out, nullptr);
    out.insert(out.end(), buf, next_out);
  }
  BrotliDecoderDestroyInstance(s);
  return out;
}

// Contents of the first box of each wanted type ('brob' boxes unwrapped).
struct Boxes {
  Bytes jbrd, exif, xml;
  bool has_jbrd = false, has_exif = false, has_xml = false;
};

Boxes WalkBoxes(const Bytes& file) {
  Boxes boxes;
  size_t p = 0;
  while (p + 8 <= file.size()) {
    uint64_t size = BE(file, p, 4);
    std::string type(file.begin() + p + 4, file.begin() + p + 8);
    size_t header = 8;
    if (size == 1) {
      size = BE(file, p + 8, 8);
      header = 16;
    } else if (size == 0) {
      size = file.size() - p;
    }
    if (size < header || p + size > file.size()) break;
    const uint8_t* content = file.data() + p + header;
    size_t content_size = size - header;
    Bytes unwrapped;
    if (type == "brob" && content_size >= 4) {
      type.assign(content, content + 4);
      unwrapped = Unbrotli(content + 4, content_size - 4);
      content = unwrapped.data();
      content_size = unwrapped.size();
    }
    const Bytes bytes(content, content + content_size);
    if (type == "jbrd" && !boxes.has_jbrd) boxes.jbrd = bytes, boxes.has_jbrd = true;
    if (type == "Exif" && !boxes.has_exif) boxes.exif = bytes, boxes.has_exif = true;
    if (type == "xml " && !boxes.has_xml) boxes.xml = bytes, boxes.has_xml = true;
    p += size;
  }
  return boxes;
}

// The description's parts that the bundle and box carry, against the file.
void CompareWithFile(const JPEGData& d, const ParsedJpeg& parsed) {
  std::vector<uint8_t> markers;
  size_t app = 0, com = 0, inter = 0;
  for (const JpegMarkerSegment& s : parsed.segments) {
    markers.push_back(s.marker);
    Bytes whole = {s.marker, static_cast<uint8_t>((s.body.size() + 2) >> 8),
                   static_cast<uint8_t>(s.body.size() + 2)};
    whole.insert(whole.end(), s.body.begin(), s.body.end());
    if (s.marker >= 0xE0 && s.marker <= 0xEF) {
      ASSERT_LT(app, d.app_segments.size());
      const Bytes& got = d.app_segments[app];
      EXPECT_EQ(got.size(), whole.size()) << "APP " << app;
      const size_t header = d.app_segment_kinds[app] == jpeg::kOther ? whole.size()
                            : d.app_segment_kinds[app] == jpeg::kIcc ? 17
                            : d.app_segment_kinds[app] == jpeg::kExif ? 9
                                                                     : 32;
      EXPECT_TRUE(got.size() >= header &&
                  std::equal(whole.begin(), whole.begin() + header, got.begin()))
          << "APP " << app;
      ++app;
    } else if (s.marker == 0xFE) {
      ASSERT_LT(com, d.com_segments.size());
      EXPECT_EQ(d.com_segments[com++], whole);
    } else if (s.marker == 0xFF) {
      ASSERT_LT(inter, d.inter_marker_segments.size());
      EXPECT_EQ(d.inter_marker_segments[inter++], s.body);
    }
  }
  EXPECT_EQ(markers, d.marker_sequence);
  EXPECT_EQ(app, d.app_segments.size());
  EXPECT_EQ(com, d.com_segments.size());
  EXPECT_EQ(parsed.trailing, d.trailing_bytes);
}

// Fills what frame decoding will supply: size, sampling, quant values and
// the coefficients, here taken from the JPEG file itself.
void FillFromFile(const Bytes& file, const ParsedJpeg& parsed, JPEGData& d) {
  const DecodedJpeg decoded = DecodeJpeg(file);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  d.width = decoded.width;
  d.height = decoded.height;
  ASSERT_EQ(decoded.coefficients.size(), d.component_list.size());
  size_t sof_at = 0;
  for (const JpegMarkerSegment& s : parsed.segments) {
    if (s.marker >= 0xC0 && s.marker <= 0xC2) {
      for (size_t i = 0; i < d.component_list.size(); ++i) {
        d.component_list[i].h_sampling = s.body[7 + 3 * i] >> 4;
        d.component_list[i].v_sampling = s.body[7 + 3 * i] & 15;
      }
      sof_at = 1;
    }
  }
  ASSERT_EQ(sof_at, 1u);
  for (size_t i = 0; i < d.component_list.size(); ++i) {
    d.component_list[i].width_in_blocks = decoded.width_in_blocks[i];
    d.component_list[i].height_in_blocks = decoded.height_in_blocks[i];
    d.component_list[i].coefficients = decoded.coefficients[i];
  }
  size_t table = 0;
  for (const JpegMarkerSegment& s : parsed.segments) {
    if (s.marker != 0xDB) continue;
    size_t p = 0;
    while (p < s.body.size()) {
      ASSERT_LT(table, d.quant_tables.size());
      const bool wide = (s.body[p] >> 4) != 0;
      ++p;
      for (int k = 0; k < 64; ++k) {
        d.quant_tables[table].values[jpeg::kJpegZigZag[k]] =
            wide ? static_cast<int32_t>(BE(s.body, p + 2 * k, 2)) : s.body[p + k];
      }
      p += wide ? 128 : 64;
      ++table;
    }
  }
}

TEST(JbrdRealFilesTest, DescribesTheCorpusJpegsAndRebuildsThem) {
  const std::vector<std::string> names = FilesWithJpeg();
  ASSERT_EQ(names.size(), 12u) << "corpus not found under " << QOV_TESTDATA_DIR;
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const fs::path dir(QOV_TESTDATA_DIR);
    const Bytes jxl = ReadFile(dir / "files" / name);
    const Bytes jpg = ReadFile(dir / "renders" / (name + ".jpg"));
    const Boxes boxes = WalkBoxes(jxl);
    ASSERT_TRUE(boxes.has_jbrd);

    // Read through the decoder member, the box fed in two pieces.
    QovToJpegDecoder dec;
    dec.collecting = true;
    dec.box_content_size = boxes.jbrd.size();
    const uint8_t* next = boxes.jbrd.data();
    uint64_t avail = boxes.jbrd.size() / 2;
    ASSERT_EQ(dec.ReadReconstructionBox(&next, &avail, false), QOV_DEC_WANT_INPUT);
    avail = boxes.jbrd.size() - boxes.jbrd.size() / 2;
    ASSERT_EQ(dec.ReadReconstructionBox(&next, &avail, false), QOV_DEC_JPEG_DATA);
    JPEGData& d = *dec.jpeg_data;

    const ParsedJpeg parsed = ParseJpeg(jpg);
    ASSERT_TRUE(parsed.ok);
    CompareWithFile(d, parsed);

    // The bodies from outside the box: ICC from the file (the codestream's
    // profile is not decoded here), Exif and XMP from the container.
    Bytes icc;
    size_t app = 0;
    for (const JpegMarkerSegment& s : parsed.segments) {
      if (s.marker < 0xE0 || s.marker > 0xEF) continue;
      if (d.app_segment_kinds[app++] == jpeg::kIcc) {
        icc.insert(icc.end(), s.body.begin() + 14, s.body.end());
      }
    }
    ASSERT_TRUE(RestoreIccIntoSegments(icc, d).ok());
    uint64_t size = 0;
    ASSERT_LE(CountExifSegments(d), 1u);
    ASSERT_LE(CountXmpSegments(d), 1u);
    if (CountExifSegments(d) == 1) {
      ASSERT_TRUE(ExifBoxSizeFor(d, &size).ok());
      ASSERT_TRUE(boxes.has_exif);
      ASSERT_EQ(boxes.exif.size(), size);
      ASSERT_TRUE(InsertExifIntoSegment(boxes.exif.data(), size, d).ok());
    }
    if (CountXmpSegments(d) == 1) {
      ASSERT_TRUE(XmpBoxSizeFor(d, &size).ok());
      ASSERT_TRUE(boxes.has_xml);
      ASSERT_TRUE(InsertXmpIntoSegment(boxes.xml.data(), boxes.xml.size(), d).ok());
    }
    FillFromFile(jpg, parsed, d);
    if (HasFatalFailure()) return;

    int status = 0;
    const Bytes rebuilt = WriteJpeg(d, ~uint64_t{0}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(rebuilt.size(), jpg.size());
    EXPECT_TRUE(rebuilt == jpg);
    if (rebuilt != jpg) {
      size_t i = 0;
      while (i < rebuilt.size() && i < jpg.size() && rebuilt[i] == jpg[i]) ++i;
      ADD_FAILURE() << "first difference at byte " << i;
    }
  }
}

}  // namespace
}  // namespace qov::test
