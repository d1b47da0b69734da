// A test seam between the frame driver and the contents of its sections:
// the driver does the bookkeeping of which sections are done; a
// SectionContentDecoder put into the driver reads what one section holds in
// place of the real section decoders (frame_sections.cc).
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

}  // namespace qov

#endif  // QOV_LIB_FRAME_SECTION_CONTENT_H_
