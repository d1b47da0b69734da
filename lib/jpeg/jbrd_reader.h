// Reading the JPEG reconstruction box ('jbrd'): the field bundle, then one
// brotli stream with the segment bodies the bundle announces. Also the
// decoder's JPEG-reconstruction member and the segment glue for the ICC
// profile and the 'Exif' and 'xml ' boxes.
#ifndef QOV_LIB_JPEG_JBRD_READER_H_
#define QOV_LIB_JPEG_JBRD_READER_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "lib/base/span.h"
#include "lib/base/status.h"
#include "lib/jpeg/jpeg_data.h"
#include "qov/qov.h"

namespace qov {

// Reads a whole 'jbrd' box content into `jpeg` (a new, empty JPEGData).
// Ok; Failed for invalid data; NeedMoreBytes when the bundle runs past the
// end of `content`. Segment storage is allocated as the brotli stream
// delivers the bytes, never ahead of them by more than one segment (64 KiB);
// the ICC, Exif and XMP segments (at most 255, 1 and 1) are allocated whole,
// with their headers written.
Status ReadJpegReconstructionData(Span content, jpeg::JPEGData& jpeg);

// The decoder's JPEG-reconstruction member.
struct QovToJpegDecoder {
  ~QovToJpegDecoder();

  // Takes the box's bytes from the input (advancing *next_in, reducing
  // *avail_in) and parses the box once it is whole: QOV_DEC_JPEG_DATA,
  // QOV_DEC_WANT_INPUT or QOV_DEC_FAILED. Before the first call for a box
  // the caller empties box_bytes and sets collecting, and runs_to_end or
  // box_content_size. A box that runs to the end of the file is parsed only
  // once `input_closed` says no more bytes can come, so the result never
  // depends on how the input was cut.
  QovDecoderStatus ReadReconstructionBox(const uint8_t** next_in,
                                         uint64_t* avail_in,
                                         bool input_closed);

  // Writes the rebuilt file into [output_next, output_next +
  // output_available): QOV_DEC_OK (both advance), QOV_DEC_WANT_JPEG_OUTPUT
  // (buffer too small; both unchanged, the next call starts over) or
  // QOV_DEC_FAILED.
  QovDecoderStatus WriteOutput(const jpeg::JPEGData& jpeg);

  std::vector<uint8_t> box_bytes;
  std::unique_ptr<jpeg::JPEGData> jpeg_data;
  bool collecting = false;
  bool runs_to_end = false;
  uint64_t box_content_size = 0;
  uint8_t* output_next = nullptr;
  uint64_t output_available = 0;
};

uint64_t CountExifSegments(const jpeg::JPEGData& jpeg);
uint64_t CountXmpSegments(const jpeg::JPEGData& jpeg);
// Content size the 'Exif' ('xml ') box must have for the first Exif (XMP)
// segment; Failed without such a segment or when it is too short.
Status ExifBoxSizeFor(const jpeg::JPEGData& jpeg, uint64_t* size);
Status XmpBoxSizeFor(const jpeg::JPEGData& jpeg, uint64_t* size);
// Copy a captured box into the first Exif (XMP) segment; Failed when the
// sizes do not match or there is no such segment.
Status InsertExifIntoSegment(const uint8_t* box, uint64_t size,
                             jpeg::JPEGData& jpeg);
Status InsertXmpIntoSegment(const uint8_t* box, uint64_t size,
                            jpeg::JPEGData& jpeg);
// Splits the ICC profile over the ICC segments in order; Failed when the
// bodies need more bytes than the profile has, or use some but not all.
Status RestoreIccIntoSegments(const std::vector<uint8_t>& profile,
                              jpeg::JPEGData& jpeg);

}  // namespace qov

#endif  // QOV_LIB_JPEG_JBRD_READER_H_
