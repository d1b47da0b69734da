// Test-side JPEG tools, written apart from the writer: a marker parser and a
// Huffman decoder (sequential and progressive) that turns a JPEG file back
// into quantised coefficients, and builders of small JPEG descriptions.
#ifndef QOV_TESTS_JPEG_JPEG_TEST_HELPERS_H_
#define QOV_TESTS_JPEG_JPEG_TEST_HELPERS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "lib/jpeg/jpeg_data.h"

namespace qov::test {

using Bytes = std::vector<uint8_t>;

struct JpegMarkerSegment {
  uint8_t marker = 0;  // second byte; 0xFF for bytes between markers
  Bytes body;          // after the length field (inter-marker: the bytes)
  Bytes entropy;       // SOS only: coded data up to the next marker but RSTn
};

struct ParsedJpeg {
  bool ok = false;
  std::vector<JpegMarkerSegment> segments;  // after SOI, EOI last
  Bytes trailing;                           // after EOI
};

ParsedJpeg ParseJpeg(const Bytes& file);

// Coefficients of each component in natural order, 64 per block, on a grid
// padded to whole MCUs (width_in_blocks[c] blocks per row).
struct DecodedJpeg {
  bool ok = false;
  std::string error;
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> width_in_blocks, height_in_blocks;
  std::vector<std::vector<int16_t>> coefficients;
  std::vector<uint8_t> padding_bits;  // in file order
};

DecodedJpeg DecodeJpeg(const Bytes& file);

// A Huffman table (DC or AC, id 0..3) holding every symbol a scan may need:
// DC 0..11 with 4- and 5-bit codes, AC 0..255 with 8- and 9-bit codes.
jpeg::JpegHuffmanSpec FullHuffmanSpec(bool is_ac, uint32_t id, bool is_last);

// A JPEGData with SOF (0xC0 or 0xC2), one DQT, one DHT holding tables
// for DC/AC ids 0 and 1, optional DRI, the given scans and EOI. Components
// get the sampling factors given and grids padded to whole MCUs, filled with
// seeded coefficients of magnitude up to `max_magnitude`.
struct JpegSpecParams {
  uint32_t width = 16, height = 16;
  std::vector<std::pair<uint32_t, uint32_t>> sampling = {{1, 1}};
  bool progressive = false;
  uint32_t restart_interval = 0;  // 0: no DRI
  std::vector<jpeg::JpegScanSpec> scans;
  uint32_t seed = 1;
  int max_magnitude = 40;
  double zero_fraction = 0.6;
};
jpeg::JPEGData MakeJpegData(const JpegSpecParams& params);

// A scan over the given components with band, bits and tables dc/ac = id.
jpeg::JpegScanSpec ScanOf(std::vector<uint32_t> components, uint32_t ss,
                          uint32_t se, uint32_t ah, uint32_t al);

// Writes the whole file through EmitJpegStream, taking at most `chunk`
// bytes per sink call. *status receives the result.
Bytes WriteJpeg(const jpeg::JPEGData& data, uint64_t chunk, int* status);

// Bytes requested from operator new so far in this program; counted only
// when CountsNewBytes() (not under AddressSanitizer).
bool CountsNewBytes();
uint64_t NewBytesSoFar();

// Names of the sample files that have a reference JPEG rebuild
// (renders/<name>.jpg), sorted.
std::vector<std::string> FilesWithJpeg();

}  // namespace qov::test

#endif  // QOV_TESTS_JPEG_JPEG_TEST_HELPERS_H_
