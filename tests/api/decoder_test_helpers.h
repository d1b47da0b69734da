// Test support for the decoder interface: container boxes, small codestreams
// written with the project's own bundle writer, and a driver that streams
// bytes into a decoder in chunks and logs every event with what the getters
// answer for it.
#ifndef TESTS_API_DECODER_TEST_HELPERS_H_
#define TESTS_API_DECODER_TEST_HELPERS_H_

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/frame_header.h"
#include "lib/bitstream/image_metadata.h"
#include "qov/qov.h"
#include "tests/support/container_bytes.h"

namespace qov {

// A default decoder that is deleted with the test.
struct Decoder {
  Decoder() : dec(QovDecoderCreate(nullptr)) {}
  ~Decoder() { QovDecoderDelete(dec); }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  QovDecoder dec;
};

// A codestream: signature, size header, image metadata, transform data and
// frames of one section each (section bytes are not interpreted).
class CodestreamWriter {
 public:
  CodestreamWriter();  // 8-bit sRGB, 64 x 64, not XYB-encoded
  CodestreamWriter(const CodestreamWriter&) = delete;
  CodestreamWriter& operator=(const CodestreamWriter&) = delete;

  void SetSize(uint32_t xsize, uint32_t ysize);
  // A modular frame header bound to this metadata, ready to be changed.
  FrameHeader NewFrame() const;
  void AddFrame(const FrameHeader& header, const Bytes& section);
  // The whole codestream; aborts the test program when a bundle cannot be
  // written (a broken fixture, not a decoder fault).
  Bytes Write() const;

  CodecMetadata metadata;

 private:
  struct Frame {
    FrameHeader header;
    Bytes section;
  };
  std::vector<Frame> frames_;
};

// Reads a whole file; empty when it cannot be read.
Bytes ReadFileBytes(const std::string& path);

struct DriveOptions {
  int32_t events = QOV_DEC_HEADER_INFO | QOV_DEC_COLOR_INFO | QOV_DEC_FRAME_START |
                   QOV_DEC_BOX_START | QOV_DEC_BOX_COMPLETE;
  bool keep_orientation = false;
  bool coalescing = true;
  // Bytes handed in per input round; 0: the whole file at once.
  size_t chunk = 0;
  // Provide a box buffer at every box start (grown on WANT_BOX_OUTPUT) and
  // log the contents' size and checksum at box completion.
  bool box_buffers = false;
  // Stop after this many advances (guards against a loop that never ends).
  size_t max_advances = 50000000;
  // The decoder's memory manager (null: the runtime heap).
  const QovMemoryManager* manager = nullptr;
};

struct DriveResult {
  std::vector<std::string> log;  // one line per event, with getter results
  QovDecoderStatus last = QOV_DEC_FAILED;  // the status that ended the run
};

DriveResult Drive(const Bytes& file, const DriveOptions& options);

// One-line descriptions of the getter results (shared by the tests).
std::string DescribeBasicInfo(QovDecoder dec);
std::string DescribeColor(QovDecoder dec);
std::string DescribeFrame(QovDecoder dec);
std::string DescribeBox(QovDecoder dec);

}  // namespace qov

#endif  // TESTS_API_DECODER_TEST_HELPERS_H_
