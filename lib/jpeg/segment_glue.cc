// The ICC, Exif and XMP segment bodies that come from outside the 'jbrd'
// box, and the output of the rebuilt file into the caller's buffer.
#include <algorithm>
#include <cstring>

#include "lib/jpeg/jbrd_reader.h"
#include "lib/jpeg/jpeg_writer.h"

namespace qov {
namespace {

using jpeg::JPEGData;

constexpr char kXmpIdentifier[] = "http://ns.adobe.com/xap/1.0/";

uint64_t CountKind(const JPEGData& jpeg, int32_t kind) {
  const size_t n = std::min(jpeg.app_segments.size(),
                            jpeg.app_segment_kinds.size());
  uint64_t count = 0;
  for (size_t i = 0; i < n; ++i) count += jpeg.app_segment_kinds[i] == kind;
  return count;
}

std::vector<uint8_t>* FirstOfKind(JPEGData& jpeg, int32_t kind) {
  const size_t n = std::min(jpeg.app_segments.size(),
                            jpeg.app_segment_kinds.size());
  for (size_t i = 0; i < n; ++i) {
    if (jpeg.app_segment_kinds[i] == kind) return &jpeg.app_segments[i];
  }
  return nullptr;
}

}  // namespace

uint64_t CountExifSegments(const JPEGData& jpeg) {
  return CountKind(jpeg, jpeg::kExif);
}

uint64_t CountXmpSegments(const JPEGData& jpeg) {
  return CountKind(jpeg, jpeg::kXmp);
}

Status ExifBoxSizeFor(const JPEGData& jpeg, uint64_t* size) {
  const auto* s = FirstOfKind(const_cast<JPEGData&>(jpeg), jpeg::kExif);
  if (s == nullptr || s->size() < 9) return FailedStatus();
  *size = s->size() - 5;
  return OkStatus();
}

Status XmpBoxSizeFor(const JPEGData& jpeg, uint64_t* size) {
  const auto* s = FirstOfKind(const_cast<JPEGData&>(jpeg), jpeg::kXmp);
  if (s == nullptr || s->size() < 32) return FailedStatus();
  *size = s->size() - 32;
  return OkStatus();
}

Status InsertExifIntoSegment(const uint8_t* box, uint64_t size,
                             JPEGData& jpeg) {
  std::vector<uint8_t>* s = FirstOfKind(jpeg, jpeg::kExif);
  if (s == nullptr || size < 4 || s->size() != size + 5) return FailedStatus();
  static constexpr uint8_t kHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
  (*s)[0] = 0xE1;
  std::memcpy(s->data() + 3, kHeader, sizeof(kHeader));
  if (size > 4) std::memcpy(s->data() + 9, box + 4, size - 4);
  return OkStatus();
}

Status InsertXmpIntoSegment(const uint8_t* box, uint64_t size,
                            JPEGData& jpeg) {
  std::vector<uint8_t>* s = FirstOfKind(jpeg, jpeg::kXmp);
  if (s == nullptr || s->size() != size + 32) return FailedStatus();
  (*s)[0] = 0xE1;
  std::memcpy(s->data() + 3, kXmpIdentifier, sizeof(kXmpIdentifier));
  if (size > 0) std::memcpy(s->data() + 32, box, size);
  return OkStatus();
}

Status RestoreIccIntoSegments(const std::vector<uint8_t>& profile,
                              JPEGData& jpeg) {
  uint64_t p = 0;
  const size_t n = std::min(jpeg.app_segments.size(),
                            jpeg.app_segment_kinds.size());
  for (size_t i = 0; i < n; ++i) {
    if (jpeg.app_segment_kinds[i] != jpeg::kIcc) continue;
    std::vector<uint8_t>& s = jpeg.app_segments[i];
    if (s.size() < 17) return FailedStatus();
    const uint64_t body = s.size() - 17;
    if (p + body > profile.size()) return FailedStatus();
    if (body > 0) std::memcpy(s.data() + 17, profile.data() + p, body);
    p += body;
  }
  if (p != 0 && p != profile.size()) return FailedStatus();
  return OkStatus();
}

QovDecoderStatus QovToJpegDecoder::WriteOutput(const JPEGData& jpeg) {
  uint8_t* next = output_next;
  uint64_t available = output_available;
  const jpeg::JpegOutputSink sink = [&](const uint8_t* bytes, uint64_t n) {
    const uint64_t take = std::min(n, available);
    if (take == 0) return uint64_t{0};
    std::memcpy(next, bytes, take);
    next += take;
    available -= take;
    return take;
  };
  const Status status = jpeg::EmitJpegStream(jpeg, sink);
  if (!status.ok()) {
    return available == 0 ? QOV_DEC_WANT_JPEG_OUTPUT : QOV_DEC_FAILED;
  }
  output_next = next;
  output_available = available;
  return QOV_DEC_OK;
}

}  // namespace qov
