// Test support for whole decodes to pixels through the internal pixel hook:
// every displayed frame is written into its own buffer, the input streamed
// in chunks of a chosen size, with an optional memory manager.
#ifndef TESTS_API_PIXEL_DECODE_HELPERS_H_
#define TESTS_API_PIXEL_DECODE_HELPERS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/frame/pixel_output.h"
#include "qov/qov.h"
#include "tests/support/container_bytes.h"

// Set in AddressSanitizer builds, which run reduced sets of cases.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QOV_TEST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QOV_TEST_SANITIZED 1
#endif

namespace qov {

struct PixelDecodeOptions {
  // Bytes handed in per input round; 0: the whole input at once.
  size_t chunk = 0;
  // Mark the end of the input once all of it is handed in; without the
  // mark a decode that runs out of input ends with QOV_DEC_WANT_INPUT.
  bool end_input = true;
  const QovMemoryManager* manager = nullptr;  // null: the runtime heap
  OutputSampleType type = OutputSampleType::kUint16;
  bool coalescing = true;
  // A frame whose output is larger than this many pixels ends the decode
  // with QOV_DEC_FAILED (the test's own bound, not the decoder's).
  uint64_t max_area = uint64_t{1} << 24;
  size_t max_advances = 50000000;
  // Attach JPEG output space before the first advance: a frame that comes
  // after a 'jbrd' box is rebuilt as its JPEG file, which is what
  // `frames` then holds for it (the space doubles whenever the decoder
  // asks for more, up to 1 GiB).
  bool jpeg_output = false;
  // The first JPEG output space in bytes; 0: twice the file and 1 KiB.
  uint64_t jpeg_space = 0;
  // Called after every input round with the bytes handed in so far.
  void (*on_input)(void* opaque, QovDecoder dec, uint64_t given) = nullptr;
  void* on_input_opaque = nullptr;
};

struct PixelDecodeResult {
  // What ended the decode: QOV_DEC_OK, QOV_DEC_FAILED, or QOV_DEC_WANT_INPUT
  // when the input ran out without its end marked.
  QovDecoderStatus last = QOV_DEC_FAILED;
  uint64_t width = 0, height = 0;
  uint32_t channels = 0;
  // The pixels of every displayed frame (a rebuilt JPEG file for a frame
  // that went to the JPEG output).
  std::vector<Bytes> frames;
  size_t jpeg_frames = 0;  // frames that went to the JPEG output
  // Bytes of the input handed in when each frame was done.
  std::vector<uint64_t> given_at_frame_done;
  uint64_t advances = 0;
  // Set when the decode stopped for a reason of the harness's (a refused
  // call, an unexpected status, a bound of the options): last is then
  // QOV_DEC_FAILED without the decoder having said so.
  std::string error;
};

PixelDecodeResult DecodePixels(const Bytes& file, const PixelDecodeOptions& options);

// The samples' path under the test data folder.
Bytes ReadSample(const std::string& name);

}  // namespace qov

#endif  // TESTS_API_PIXEL_DECODE_HELPERS_H_
