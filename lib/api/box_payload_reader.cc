// Box contents output, plain or brotli-decompressed.
#include "lib/api/box_payload_reader.h"

#include <brotli/decode.h>

#include <algorithm>
#include <cstring>

namespace qov {

BoxPayloadReader::~BoxPayloadReader() { DestroyBrotli(); }

void BoxPayloadReader::DestroyBrotli() {
  if (brotli_ != nullptr) {
    BrotliDecoderDestroyInstance(brotli_);
    brotli_ = nullptr;
  }
}

void BoxPayloadReader::Start(bool decompress, bool unbounded,
                             uint64_t contents_size) {
  DestroyBrotli();
  inner_type_skipped_ = false;
  decompress_ = decompress;
  unbounded_ = unbounded;
  remaining_ = unbounded ? 0 : contents_size;
  position_ = 0;
}

QovDecoderStatus BoxPayloadReader::Decode(const uint8_t* next_in,
                                          uint64_t avail_in,
                                          uint64_t pos_in_box,
                                          bool input_closed, uint8_t** out,
                                          uint64_t* out_space) {
  // The input may start before what this reader already took, never after.
  if (position_ < pos_in_box) return QOV_DEC_FAILED;
  const uint64_t skip = position_ - pos_in_box;
  if (avail_in < skip) return QOV_DEC_FAILED;
  const uint8_t* in = next_in + skip;
  uint64_t avail = avail_in - skip;

  if (!decompress_) {
    const uint64_t n = unbounded_ ? avail : std::min(avail, remaining_);
    const uint64_t m = std::min(n, *out_space);
    if (m > 0) std::memcpy(*out, in, m);
    *out += m;
    *out_space -= m;
    if (!unbounded_) remaining_ -= m;
    position_ += m;
    if (m < n) return QOV_DEC_WANT_BOX_OUTPUT;
    // A box that runs to the end of the file is complete only once the
    // input has ended and every byte of it is out.
    if (unbounded_) return input_closed ? QOV_DEC_BOX_COMPLETE : QOV_DEC_WANT_INPUT;
    return remaining_ == 0 ? QOV_DEC_BOX_COMPLETE : QOV_DEC_WANT_INPUT;
  }

  if (!inner_type_skipped_) {
    if (!unbounded_ && remaining_ < 4) return QOV_DEC_FAILED;
    if (avail < 4) return input_closed ? QOV_DEC_FAILED : QOV_DEC_WANT_INPUT;
    if (!unbounded_) remaining_ -= 4;
    in += 4;
    avail -= 4;
    position_ += 4;
    inner_type_skipped_ = true;
  }
  if (brotli_ == nullptr) {
    brotli_ = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
    if (brotli_ == nullptr) return QOV_DEC_FAILED;
  }
  const uint64_t offered = unbounded_ ? avail : std::min(avail, remaining_);
  const bool last_byte_offered =
      unbounded_ ? input_closed : offered == remaining_;
  size_t avail_brotli_in = static_cast<size_t>(offered);
  const uint8_t* brotli_in = in;
  size_t avail_brotli_out = static_cast<size_t>(*out_space);
  uint8_t* brotli_out = *out;
  const BrotliDecoderResult result = BrotliDecoderDecompressStream(
      brotli_, &avail_brotli_in, &brotli_in, &avail_brotli_out, &brotli_out,
      nullptr);
  const uint64_t taken = offered - avail_brotli_in;
  position_ += taken;
  if (!unbounded_) remaining_ -= taken;
  *out_space -= static_cast<uint64_t>(brotli_out - *out);
  *out = brotli_out;
  switch (result) {
    case BROTLI_DECODER_RESULT_ERROR:
      return QOV_DEC_FAILED;
    case BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT:
      return last_byte_offered ? QOV_DEC_FAILED : QOV_DEC_WANT_INPUT;
    case BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT:
      return QOV_DEC_WANT_BOX_OUTPUT;
    case BROTLI_DECODER_RESULT_SUCCESS:
      return (!unbounded_ && remaining_ > 0) ? QOV_DEC_FAILED
                                             : QOV_DEC_BOX_COMPLETE;
  }
  return QOV_DEC_FAILED;
}

}  // namespace qov
