// Runs the public decoder loop with JPEG output attached through the
// internal hook, feeding the input in chunks, and the container surgery that
// the decoder-level JPEG tests build their fixtures with.
#ifndef QOV_TESTS_JPEG_JPEG_DECODE_LOOP_HELPERS_H_
#define QOV_TESTS_JPEG_JPEG_DECODE_LOOP_HELPERS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "qov/qov.h"

namespace qov::test {

using Bytes = std::vector<uint8_t>;

struct JpegLoopOptions {
  uint64_t chunk = 0;  // input bytes per QovDecoderProvideInput; 0: whole
  int32_t events = QOV_DEC_JPEG_DATA | QOV_DEC_IMAGE_DONE;
  bool attach = true;          // attach JPEG output space before decoding
  uint64_t output_space = 0;   // first space; 0: four times the file size
  bool grow_output = true;     // double the space on QOV_DEC_WANT_JPEG_OUTPUT
  bool run_to_end = true;      // after QOV_DEC_IMAGE_DONE, advance to the end
};

struct JpegLoopResult {
  // Every status but QOV_DEC_WANT_INPUT, in order; the last one ended the
  // loop (QOV_DEC_OK, QOV_DEC_FAILED or a status the loop does not handle).
  std::vector<int32_t> events;
  Bytes jpeg;  // the file written at QOV_DEC_IMAGE_DONE
  uint64_t space_left = 0;  // JPEG output space not written
  int32_t Last() const { return events.empty() ? -1 : events.back(); }
  bool Saw(int32_t status) const;
};

JpegLoopResult RunJpegLoop(const Bytes& file, const JpegLoopOptions& options);

// The boxes of a container, whole (header included), in file order.
struct ContainerBox {
  std::string type;  // 'brob' boxes: "brob"
  Bytes bytes;
};
std::vector<ContainerBox> SplitBoxes(const Bytes& file);
Bytes JoinBoxes(const std::vector<ContainerBox>& boxes);
// A box with an 8-byte header (size 0 when `unbounded`).
ContainerBox MakeBox(const std::string& type, const Bytes& content,
                     bool unbounded = false);
// Index of the first box of `type`, or -1.
int FindBox(const std::vector<ContainerBox>& boxes, const std::string& type);

Bytes ReadTestFile(const std::string& path);

}  // namespace qov::test

#endif  // QOV_TESTS_JPEG_JPEG_DECODE_LOOP_HELPERS_H_
