// The 'jbrd' box: collecting its bytes from the input, decoding the bundle
// and filling the segments from the brotli stream that follows it.
#include "lib/jpeg/jbrd_reader.h"

#include <brotli/decode.h>

#include <algorithm>
#include <cstring>

#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/fields.h"

namespace qov {
namespace {

using jpeg::JPEGData;

constexpr char kXmpIdentifier[] = "http://ns.adobe.com/xap/1.0/";  // 28 + NUL
constexpr size_t kFillStep = 65536;

struct BrotliStream {
  BrotliStream() : state(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)) {}
  ~BrotliStream() {
    if (state != nullptr) BrotliDecoderDestroyInstance(state);
  }
  BrotliDecoderState* state;
  const uint8_t* next_in = nullptr;
  size_t avail_in = 0;

  // Appends exactly n decompressed bytes to `target`, growing it in steps
  // so that storage never runs ahead of the bytes the stream delivers.
  Status Fill(std::vector<uint8_t>* target, size_t n) {
    target->clear();
    while (target->size() < n) {
      if (BrotliDecoderIsFinished(state)) return FailedStatus();
      const size_t have = target->size();
      const size_t step = std::min(n - have, kFillStep);
      target->resize(have + step);
      size_t avail_out = step;
      uint8_t* next_out = target->data() + have;
      const BrotliDecoderResult result = BrotliDecoderDecompressStream(
          state, &avail_in, &next_in, &avail_out, &next_out, nullptr);
      target->resize(have + step - avail_out);
      if (result != BROTLI_DECODER_RESULT_SUCCESS &&
          result != BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT) {
        return FailedStatus();
      }
    }
    return OkStatus();
  }

  // The stream has ended exactly: no more output, finished, input used up.
  bool EndsHere() {
    uint8_t extra = 0;
    size_t avail_out = 1;
    uint8_t* next_out = &extra;
    const BrotliDecoderResult result = BrotliDecoderDecompressStream(
        state, &avail_in, &next_in, &avail_out, &next_out, nullptr);
    return avail_out == 1 && result == BROTLI_DECODER_RESULT_SUCCESS &&
           BrotliDecoderIsFinished(state) && avail_in == 0;
  }
};

void PutLength(std::vector<uint8_t>& segment) {
  const size_t length = segment.size() - 1;
  segment[1] = static_cast<uint8_t>(length >> 8);
  segment[2] = static_cast<uint8_t>(length);
}

Status CheckOwnLength(const std::vector<uint8_t>& segment) {
  const size_t length = (size_t{segment[1]} << 8) | segment[2];
  return length + 1 == segment.size() ? OkStatus() : FailedStatus();
}

void WriteExifHeader(std::vector<uint8_t>& s) {
  static constexpr uint8_t kHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
  s[0] = 0xE1;
  std::memcpy(s.data() + 3, kHeader, sizeof(kHeader));
}

void WriteXmpHeader(std::vector<uint8_t>& s) {
  s[0] = 0xE1;
  std::memcpy(s.data() + 3, kXmpIdentifier, sizeof(kXmpIdentifier));
}

// Allocates and heads the segments whose bodies come from elsewhere.
Status PrepareNonVerbatimSegments(JPEGData& jpeg) {
  size_t icc_count = 0, exif_count = 0, xmp_count = 0;
  for (int32_t kind : jpeg.app_segment_kinds) {
    icc_count += kind == jpeg::kIcc;
    exif_count += kind == jpeg::kExif;
    xmp_count += kind == jpeg::kXmp;
  }
  // More could never be written out: the decoder refuses a second Exif or
  // XMP segment, and a JPEG file numbers its ICC chunks in one byte.
  if (icc_count > jpeg::kMaxIccSegments || exif_count > 1 || xmp_count > 1) {
    return FailedStatus();
  }
  size_t icc_index = 0;
  for (size_t i = 0; i < jpeg.app_segments.size(); ++i) {
    const int32_t kind = jpeg.app_segment_kinds[i];
    if (kind == jpeg::kOther) continue;
    const uint32_t size = jpeg.announced.app[i];
    std::vector<uint8_t>& s = jpeg.app_segments[i];
    if (kind == jpeg::kIcc) {
      if (size <= 16) return FailedStatus();
      s.assign(size, 0);
      static constexpr char kIccTag[12] = "ICC_PROFILE";
      s[0] = 0xE2;
      std::memcpy(s.data() + 3, kIccTag, sizeof(kIccTag));
      s[15] = static_cast<uint8_t>(++icc_index);
      s[16] = static_cast<uint8_t>(icc_count);
    } else if (kind == jpeg::kExif) {
      if (size <= 8) return FailedStatus();
      s.assign(size, 0);
      WriteExifHeader(s);
    } else {
      if (size <= 31) return FailedStatus();
      s.assign(size, 0);
      WriteXmpHeader(s);
    }
    PutLength(s);
  }
  return OkStatus();
}

}  // namespace

Status ReadJpegReconstructionData(Span content, JPEGData& jpeg) {
  BitReader reader(content);
  QOV_RETURN_IF_ERROR(Bundle::Decode(reader, jpeg));
  if (!reader.AlignToByte().ok()) {
    (void)reader.Close();
    return FailedStatus();
  }
  if (!reader.Close().ok()) return FailedStatus();
  const uint64_t consumed = reader.Position() / 8;
  if (consumed > content.size) return FailedStatus();

  QOV_RETURN_IF_ERROR(PrepareNonVerbatimSegments(jpeg));
  BrotliStream stream;
  if (stream.state == nullptr) return FailedStatus();
  stream.next_in = content.data + consumed;
  stream.avail_in = content.size - consumed;

  for (size_t i = 0; i < jpeg.app_segments.size(); ++i) {
    if (jpeg.app_segment_kinds[i] != jpeg::kOther) continue;
    QOV_RETURN_IF_ERROR(stream.Fill(&jpeg.app_segments[i], jpeg.announced.app[i]));
    QOV_RETURN_IF_ERROR(CheckOwnLength(jpeg.app_segments[i]));
  }
  for (size_t i = 0; i < jpeg.com_segments.size(); ++i) {
    QOV_RETURN_IF_ERROR(stream.Fill(&jpeg.com_segments[i], jpeg.announced.com[i]));
    QOV_RETURN_IF_ERROR(CheckOwnLength(jpeg.com_segments[i]));
  }
  for (size_t i = 0; i < jpeg.inter_marker_segments.size(); ++i) {
    QOV_RETURN_IF_ERROR(stream.Fill(&jpeg.inter_marker_segments[i],
                                    jpeg.announced.inter_marker[i]));
  }
  QOV_RETURN_IF_ERROR(stream.Fill(&jpeg.trailing_bytes, jpeg.announced.trailing));
  return stream.EndsHere() ? OkStatus() : FailedStatus();
}

QovToJpegDecoder::~QovToJpegDecoder() = default;

QovDecoderStatus QovToJpegDecoder::ReadReconstructionBox(
    const uint8_t** next_in, uint64_t* avail_in, bool input_closed) {
  if (!collecting) return QOV_DEC_FAILED;
  uint64_t take = *avail_in;
  if (!runs_to_end) {
    if (box_bytes.size() > box_content_size) return QOV_DEC_FAILED;
    take = std::min<uint64_t>(take, box_content_size - box_bytes.size());
  }
  const uint8_t* taken = *next_in;
  *next_in += take;
  *avail_in -= take;

  Span content(taken, take);
  if (runs_to_end) {
    // The box ends only with the input: gather until the input is closed.
    box_bytes.insert(box_bytes.end(), taken, taken + take);
    if (!input_closed) return QOV_DEC_WANT_INPUT;
    content = Span(box_bytes.data(), box_bytes.size());
  } else {
    if (!box_bytes.empty() || take < box_content_size) {
      box_bytes.insert(box_bytes.end(), taken, taken + take);
      content = Span(box_bytes.data(), box_bytes.size());
    }
    if (content.size < box_content_size) return QOV_DEC_WANT_INPUT;
  }

  jpeg_data = std::make_unique<jpeg::JPEGData>();
  const Status status = ReadJpegReconstructionData(content, *jpeg_data);
  if (status.ok()) {
    collecting = false;
    return QOV_DEC_JPEG_DATA;
  }
  // The whole box was there: a bundle cut short is as bad as any error.
  return QOV_DEC_FAILED;
}

}  // namespace qov
