// Writers of small JPEG XL files for the qovinfo tests: container boxes, and
// codestreams whose headers are written with the project's bundle writer.
#ifndef TESTS_TOOL_JXL_WRITER_HELPERS_H_
#define TESTS_TOOL_JXL_WRITER_HELPERS_H_

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

// The signature box and an 'ftyp' box of minor version 0.
Bytes ContainerHead();

// A codestream: signature, size header, image metadata, transform data, the
// ICC profile when one is set, then frames of one section each.
class CodestreamWriter {
 public:
  CodestreamWriter();  // an 8-bit sRGB image of 64 x 64, not XYB-encoded
  CodestreamWriter(const CodestreamWriter&) = delete;
  CodestreamWriter& operator=(const CodestreamWriter&) = delete;

  void SetSize(uint32_t xsize, uint32_t ysize);
  // The colour encoding becomes this ICC profile (the colour space field
  // stays as metadata.m.color_encoding has it).
  void SetIccProfile(const Bytes& profile) { icc_ = profile; }

  // A modular frame header bound to this metadata, ready to be changed.
  FrameHeader NewFrame() const;
  // Appends a frame; the section bytes are not interpreted.
  void AddFrame(const FrameHeader& header, const Bytes& section);

  // The whole codestream; Failed when a bundle cannot be written.
  StatusOr<Bytes> Write() const;

  CodecMetadata metadata;

 private:
  struct Frame {
    FrameHeader header;
    Bytes section;
  };
  Bytes icc_;
  std::vector<Frame> frames_;
};

// A compressed ICC stream holding `profile` (header against its prediction,
// the rest copied), entropy coded with the project's encoder and padded to
// whole bytes.
StatusOr<Bytes> WriteCompressedIcc(const Bytes& profile);

// The single section of a modular frame of `channels` channels of
// width x height (at most one group) whose samples are all 0: DC steps by
// default, no global tree, a local tree of one zero-predictor leaf, and one
// zero token per sample.
StatusOr<Bytes> ZeroModularSection(size_t channels, size_t width, size_t height);

// An ICC profile of `size` bytes whose header has CMM "qovt", version 4.4,
// display class, colour space `space` (4 characters), platform "APPL" and
// rendering intent `intent`; the bytes after the header count up from 0.
Bytes MakeIccProfile(size_t size, const char (&space)[5], uint8_t intent);

}  // namespace qov

#endif  // TESTS_TOOL_JXL_WRITER_HELPERS_H_
