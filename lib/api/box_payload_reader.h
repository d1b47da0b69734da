// Streams one box's contents out of the caller's input into an output area,
// optionally through brotli for 'brob' boxes. Reads without consuming: the
// caller tells it where in the box the input starts on every call.
#ifndef QOV_LIB_API_BOX_PAYLOAD_READER_H_
#define QOV_LIB_API_BOX_PAYLOAD_READER_H_

#include <cstdint>

#include "qov/qov.h"

struct BrotliDecoderStateStruct;

namespace qov {

class BoxPayloadReader {
 public:
  BoxPayloadReader() = default;
  BoxPayloadReader(const BoxPayloadReader&) = delete;
  BoxPayloadReader& operator=(const BoxPayloadReader&) = delete;
  ~BoxPayloadReader();

  // Prepares for a new box of `contents_size` bytes (ignored when unbounded).
  void Start(bool decompress, bool unbounded, uint64_t contents_size);

  // Copies (or decompresses) the box bytes at hand into *out, advancing *out
  // and reducing *out_space. `next_in`/`avail_in` is the caller's input,
  // which begins `pos_in_box` bytes into the box contents; `input_closed`
  // says no input follows it. Results:
  //  QOV_DEC_BOX_COMPLETE     every byte of the contents is out;
  //  QOV_DEC_WANT_BOX_OUTPUT  the output area is full first;
  //  QOV_DEC_WANT_INPUT       the input at hand is used up;
  //  QOV_DEC_FAILED           the input lies behind what was read already,
  //                           or the brotli stream is bad, cut short, or
  //                           followed by data inside a bounded box.
  QovDecoderStatus Decode(const uint8_t* next_in, uint64_t avail_in,
                          uint64_t pos_in_box, bool input_closed, uint8_t** out,
                          uint64_t* out_space);

  uint64_t position() const { return position_; }
  uint64_t remaining() const { return remaining_; }

 private:
  void DestroyBrotli();

  BrotliDecoderStateStruct* brotli_ = nullptr;
  bool inner_type_skipped_ = false;
  bool decompress_ = false;
  bool unbounded_ = false;
  // Bytes of a bounded box not yet taken (the 4-byte inner type included).
  uint64_t remaining_ = 0;
  // Bytes of the contents taken so far.
  uint64_t position_ = 0;
};

}  // namespace qov

#endif  // QOV_LIB_API_BOX_PAYLOAD_READER_H_
