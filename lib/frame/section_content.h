// The seam between the frame driver and the decoders of section contents.
// The driver does the bookkeeping of which sections are done; a
// SectionContentDecoder reads what one section holds. Until the section
// decoders exist, the default one declines every section, so a frame whose
// pixels are wanted fails cleanly at its first section.
#ifndef QOV_LIB_FRAME_SECTION_CONTENT_H_
#define QOV_LIB_FRAME_SECTION_CONTENT_H_

#include <cstdint>

#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"

namespace qov {

class FrameDriver;

class SectionContentDecoder {
 public:
  virtual ~SectionContentDecoder() = default;
  // NeedMoreBytes answers the DC-global section partial.
  virtual Status DcGlobal(FrameDriver& driver, BitReader& reader) = 0;
  virtual Status DcGroup(FrameDriver& driver, uint64_t dc_group,
                         BitReader& reader) = 0;
  virtual Status AcGlobal(FrameDriver& driver, BitReader& reader) = 0;
  // readers[i] reads pass (decoded passes of the group) + i.
  virtual Status AcGroup(FrameDriver& driver, uint64_t group,
                         BitReader* const* readers, uint64_t num_passes,
                         uint64_t storage_index) = 0;
};

// Declines every section with Failed.
SectionContentDecoder* DecliningSectionContentDecoder();

}  // namespace qov

#endif  // QOV_LIB_FRAME_SECTION_CONTENT_H_
