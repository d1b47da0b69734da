// Reads JPEG reconstruction data from the input, fills in what frame
// decoding would (size, sampling factors, block grids, quantisation values,
// coefficients, ICC/Exif/XMP bodies) from the rest of the input, and writes
// the JPEG file. Checks that nothing crashes, over-reads, over-writes or
// leaks; that feeding the box in pieces (bounded, or running to the end of
// the input) gives the same result as reading it whole; and that the written
// bytes and status do not depend on how much the output sink takes per call.
// Layout: 2 bytes (little-endian) content length, the 'jbrd' content, then
// 8 parameter bytes (width, height, sampling, grid, chunk, ICC size) and the
// coefficient bytes, repeated over all blocks.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/jpeg/jbrd_reader.h"
#include "lib/jpeg/jpeg_writer.h"

namespace {

using qov::jpeg::JPEGData;

void Check(bool condition) {
  if (!condition) std::abort();
}

QovDecoderStatus ReadInPieces(const uint8_t* data, size_t size, bool to_end,
                              size_t piece) {
  qov::QovToJpegDecoder dec;
  dec.collecting = true;
  dec.runs_to_end = to_end;
  dec.box_content_size = size;
  const uint8_t* next = data;
  size_t left = size;
  for (;;) {
    uint64_t avail = std::min(left, piece);
    const uint64_t offered = avail;
    const bool closed = avail == left;
    const QovDecoderStatus s = dec.ReadReconstructionBox(&next, &avail, closed);
    left -= offered - avail;
    if (s != QOV_DEC_WANT_INPUT) return s;
    if (closed) return QOV_DEC_FAILED;
  }
}

std::vector<uint8_t> Write(const JPEGData& jpeg, uint64_t chunk, int* status) {
  std::vector<uint8_t> out;
  const qov::jpeg::JpegOutputSink sink = [&](const uint8_t* b, uint64_t n) {
    const uint64_t take = std::min(n, chunk);
    out.insert(out.end(), b, b + take);
    return take;
  };
  *status = qov::jpeg::EmitJpegStream(jpeg, sink).raw();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t n = std::min<size_t>(data[0] | (size_t{data[1]} << 8), size - 2);
  const uint8_t* content = data + 2;
  uint8_t params[8] = {};
  const size_t rest_at = 2 + n;
  std::memcpy(params, data + rest_at, std::min<size_t>(8, size - rest_at));
  const uint8_t* coef_bytes = data + std::min(size, rest_at + 8);
  const size_t coef_size = size - std::min(size, rest_at + 8);

  JPEGData jpeg;
  const qov::Status read =
      qov::ReadJpegReconstructionData(qov::Span(content, n), jpeg);
  // The same box, in pieces: bounded, and running to the end of the input.
  const QovDecoderStatus expected =
      read.ok() ? QOV_DEC_JPEG_DATA : QOV_DEC_FAILED;
  Check(ReadInPieces(content, n, false, 1 + params[6] % 61) == expected);
  Check(ReadInPieces(content, n, true, 1 + params[7] % 37) == expected);
  if (!read.ok()) return 0;

  jpeg.width = 1 + ((params[0] | (uint32_t{params[1]} << 8)) % 400);
  jpeg.height = 1 + ((params[2] | (uint32_t{params[3]} << 8)) % 400);
  const size_t num = jpeg.component_list.size();
  uint32_t hmax = 1, vmax = 1;
  for (size_t c = 0; c < num; ++c) {
    auto& comp = jpeg.component_list[c];
    comp.h_sampling = c == 0 ? 1 + (params[4] & 1) : 1;
    comp.v_sampling = c == 0 ? 1 + ((params[4] >> 1) & 1) : 1;
    if (params[4] & 4) comp.h_sampling = comp.v_sampling = 1 + (c == 1);
    hmax = std::max(hmax, comp.h_sampling);
    vmax = std::max(vmax, comp.v_sampling);
  }
  const uint32_t mcu_cols = (jpeg.width + 8 * hmax - 1) / (8 * hmax);
  const uint32_t mcu_rows = (jpeg.height + 8 * vmax - 1) / (8 * vmax);
  size_t k = 0;
  for (auto& comp : jpeg.component_list) {
    comp.width_in_blocks = mcu_cols * comp.h_sampling;
    comp.height_in_blocks = mcu_rows * comp.v_sampling;
    // Sometimes a grid too small for the scans: the writer must refuse it.
    if (params[5] == 0xFF) comp.height_in_blocks -= 1;
    comp.coefficients.resize(size_t{comp.width_in_blocks} *
                             comp.height_in_blocks * 64);
    for (int16_t& v : comp.coefficients) {
      if (coef_size < 2) break;
      v = static_cast<int16_t>(coef_bytes[k % coef_size] |
                               (coef_bytes[(k + 1) % coef_size] << 8));
      // Mostly small values, as real coefficients are.
      if ((params[5] & 1) == 0) v = static_cast<int16_t>(v % 64);
      k += 2;
    }
  }
  for (auto& q : jpeg.quant_tables) {
    for (int i = 0; i < 64; ++i) q.values[i] = 1 + ((params[5] + i) & 0xFF);
  }

  std::vector<uint8_t> icc(params[7] * 3u, 0x5A);
  (void)qov::RestoreIccIntoSegments(icc, jpeg);
  uint64_t box = 0;
  if (qov::CountExifSegments(jpeg) == 1 && qov::ExifBoxSizeFor(jpeg, &box).ok()) {
    std::vector<uint8_t> exif(box, 0x45);
    Check(qov::InsertExifIntoSegment(exif.data(), box, jpeg).ok());
  }
  if (qov::CountXmpSegments(jpeg) == 1 && qov::XmpBoxSizeFor(jpeg, &box).ok()) {
    std::vector<uint8_t> xmp(box, 0x58);
    Check(qov::InsertXmpIntoSegment(xmp.data(), box, jpeg).ok());
  }

  int whole_status = 0, chunked_status = 0;
  const std::vector<uint8_t> whole = Write(jpeg, ~uint64_t{0}, &whole_status);
  const std::vector<uint8_t> chunked =
      Write(jpeg, 1 + params[6] % 251, &chunked_status);
  Check(whole_status == chunked_status && whole == chunked);
  Check(whole_status != -1);
  if (whole_status == 0) {
    Check(whole.size() >= 4 && whole[0] == 0xFF && whole[1] == 0xD8);
    Check(whole.size() >= jpeg.trailing_bytes.size());
    Check(std::equal(jpeg.trailing_bytes.begin(), jpeg.trailing_bytes.end(),
                     whole.end() - jpeg.trailing_bytes.size()));
  }
  return 0;
}
