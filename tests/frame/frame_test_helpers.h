// Shared fixtures of the frame tests: metadata for an image of a given size,
// frame headers and tables of contents written with the project's bit
// writer, per-section readers, and a section content decoder that records
// what the frame driver asks of it.
#ifndef QOV_TESTS_FRAME_FRAME_TEST_HELPERS_H_
#define QOV_TESTS_FRAME_FRAME_TEST_HELPERS_H_

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/frame_header.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/frame/frame_driver.h"
#include "lib/frame/section_content.h"
#include "lib/frame/toc.h"
#include "qov/qov.h"

namespace qov {

// Metadata of an xsize x ysize image (XYB unless told otherwise).
std::unique_ptr<CodecMetadata> MakeMetadata(uint32_t xsize, uint32_t ysize,
                                            bool xyb = true);

// The bytes of a frame start: `header` as written by the bundle writer, then
// an unpermuted table of contents with `sizes`, then (with `sections`) the
// section bytes, section k filled with the byte k + 1. With
// `bad_padding` the padding bits after the sizes are ones.
std::vector<uint8_t> WriteFrame(const FrameHeader& header,
                                const std::vector<uint32_t>& sizes,
                                bool sections = false,
                                bool bad_padding = false);
// Sizes 3, 4, 5, ... for every TOC entry of the header's frame.
std::vector<uint32_t> SomeSizes(const FrameHeader& header);

// The TOC entry count of a frame with that geometry and pass count.
uint64_t EntryCount(const FrameHeader& header);

// Readers over every section of a frame whose TOC the driver has read,
// with the section inputs that reference them. `frame` is the whole frame
// (header, TOC, sections); `toc_end` the byte where the sections begin.
class SectionSet {
 public:
  SectionSet(const std::vector<uint8_t>& frame, uint64_t toc_end,
             const FrameDriver& driver);
  // The input of the section with logical id `id`.
  SectionInput Input(uint64_t id) const;
  std::vector<SectionInput> Inputs(const std::vector<uint64_t>& ids) const;

 private:
  std::vector<std::unique_ptr<BitReader>> readers_;  // by stored position
  std::vector<uint64_t> position_of_id_;
};

// Records every section the driver hands over ("DG", "D0" for DC group 0,
// "AG", "A2p1x2" for AC group 2 from pass 1, two passes) and, for frames of
// several sections with an unpermuted TOC, checks that each reader starts
// at its own section (first byte = id + 1, as WriteFrame fills them).
class RecordingContent : public SectionContentDecoder {
 public:
  Status DcGlobal(FrameDriver& driver, BitReader& reader) override;
  Status DcGroup(FrameDriver& driver, uint64_t dc_group,
                 BitReader& reader) override;
  Status AcGlobal(FrameDriver& driver, BitReader& reader) override;
  Status AcGroup(FrameDriver& driver, uint64_t group, BitReader* const* readers,
                 uint64_t num_passes, uint64_t storage_index) override;

  std::vector<std::string> log;
  // Off for real files, whose sections hold real data.
  bool check_readers = true;
  int wrong_reader = 0;
  // Answers of DC global, in order (then Ok).
  std::vector<Status> dc_global_answers;
  Status ac_global_answer = OkStatus();
  std::set<uint64_t> failing_dc_groups;
  std::set<uint64_t> failing_ac_groups;
  // What the failing groups answer.
  Status group_failure = FailedStatus();

 private:
  void Check(const FrameDriver& driver, uint64_t id, const BitReader& reader);
};

// The logical id of every TOC entry, by stored position.
std::vector<uint64_t> AllIds(const FrameDriver& driver);

}  // namespace qov

#endif  // QOV_TESTS_FRAME_FRAME_TEST_HELPERS_H_
