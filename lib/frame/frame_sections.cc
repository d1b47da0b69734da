// The frame driver's section entry points: the content seam reads a
// section, the driver records what is done. Also the content decoder that
// declines every section until the section decoders exist.
#include "lib/frame/frame_driver.h"
#include "lib/frame/section_content.h"

namespace qov {

namespace {

class DecliningDecoder final : public SectionContentDecoder {
 public:
  Status DcGlobal(FrameDriver&, BitReader&) override { return FailedStatus(); }
  Status DcGroup(FrameDriver&, uint64_t, BitReader&) override {
    return FailedStatus();
  }
  Status AcGlobal(FrameDriver&, BitReader&) override { return FailedStatus(); }
  Status AcGroup(FrameDriver&, uint64_t, BitReader* const*, uint64_t,
                 uint64_t) override {
    return FailedStatus();
  }
};

}  // namespace

SectionContentDecoder* DecliningSectionContentDecoder() {
  static DecliningDecoder decoder;
  return &decoder;
}

Status FrameDriver::DecodeDcGlobalSection(BitReader& reader) {
  const Status status = section_content->DcGlobal(*this, reader);
  if (status.ok()) dc_global_done = true;
  return status;
}

Status FrameDriver::DecodeDcGroupSection(uint64_t dc_group, BitReader& reader) {
  QOV_ENSURE(dc_group < decoded_dc_groups.size());
  QOV_RETURN_IF_ERROR(section_content->DcGroup(*this, dc_group, reader));
  decoded_dc_groups[dc_group] = 1;
  return OkStatus();
}

Status FrameDriver::DecodeAcGlobalSection(BitReader& reader) {
  QOV_ENSURE(dc_finalised);
  QOV_RETURN_IF_ERROR(section_content->AcGlobal(*this, reader));
  ac_global_done = true;
  return OkStatus();
}

Status FrameDriver::DecodeAcGroupSection(uint64_t group,
                                         BitReader* const* readers,
                                         uint64_t num_passes,
                                         uint64_t storage_index) {
  QOV_ENSURE(group < decoded_passes.size());
  QOV_RETURN_IF_ERROR(section_content->AcGroup(*this, group, readers,
                                               num_passes, storage_index));
  decoded_passes[group] =
      static_cast<uint8_t>(decoded_passes[group] + num_passes);
  return OkStatus();
}

}  // namespace qov
