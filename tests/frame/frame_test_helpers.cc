// Frame test fixtures written with the project's bit writer.
#include "tests/frame/frame_test_helpers.h"

#include <gtest/gtest.h>

#include "lib/base/memory.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/write_fields.h"

namespace qov {

namespace {

constexpr U32Coding kTocSizeCoding(Bits(10), BitsOffset(14, 1024),
                                   BitsOffset(22, 17408),
                                   BitsOffset(30, 4211712));

std::vector<uint8_t> Bytes(const BitWriter& writer) {
  const Span span = writer.GetSpan();
  return std::vector<uint8_t>(span.begin(), span.end());
}

}  // namespace

std::unique_ptr<CodecMetadata> MakeMetadata(uint32_t xsize, uint32_t ysize,
                                            bool xyb) {
  auto metadata = std::make_unique<CodecMetadata>();
  metadata->size.small = false;
  metadata->size.ratio = 0;
  metadata->size.xsize = xsize;
  metadata->size.ysize = ysize;
  metadata->m.all_default = false;
  metadata->m.xyb_encoded = xyb;
  return metadata;
}

uint64_t EntryCount(const FrameHeader& header) {
  const FrameGeometry g = header.ComputeGeometry();
  return TocEntryCount(g.num_groups, g.num_dc_groups, header.passes.num_passes);
}

std::vector<uint8_t> WriteFrame(const FrameHeader& header,
                                const std::vector<uint32_t>& sizes,
                                bool sections, bool bad_padding) {
  BitWriter writer(HeapMemoryManager());
  FrameHeader copy = header;
  EXPECT_TRUE(Bundle::Write(copy, &writer, LayerType::kHeader, nullptr).ok());
  const Status toc = writer.WithBitBudget(
      16 + 40 * sizes.size(), LayerType::kToc, nullptr, [&]() -> Status {
        writer.PutBits(1, 0);  // not permuted
        writer.ZeroPadToByte();
        for (uint32_t size : sizes) {
          QOV_RETURN_IF_ERROR(WriteCodedU32(kTocSizeCoding, size, &writer));
        }
        const uint64_t pad = (8 - writer.BitsWritten() % 8) % 8;
        writer.PutBits(pad, bad_padding ? (1u << pad) - 1 : 0);
        return OkStatus();
      });
  EXPECT_TRUE(toc.ok());
  std::vector<uint8_t> bytes = Bytes(writer);
  if (sections) {
    for (size_t k = 0; k < sizes.size(); ++k) {
      bytes.insert(bytes.end(), sizes[k], static_cast<uint8_t>(k + 1));
    }
  }
  return bytes;
}

std::vector<uint32_t> SomeSizes(const FrameHeader& header) {
  std::vector<uint32_t> sizes;
  for (uint64_t k = 0; k < EntryCount(header); ++k) {
    sizes.push_back(static_cast<uint32_t>(k + 3));
  }
  return sizes;
}

SectionSet::SectionSet(const std::vector<uint8_t>& frame, uint64_t toc_end,
                       const FrameDriver& driver) {
  uint64_t offset = toc_end;
  position_of_id_.assign(driver.toc.size(), 0);
  for (size_t k = 0; k < driver.toc.size(); ++k) {
    const TocSection& entry = driver.toc[k];
    EXPECT_LE(offset + entry.size, frame.size());
    readers_.push_back(std::make_unique<BitReader>(
        Span(frame.data() + offset, static_cast<size_t>(entry.size))));
    position_of_id_[entry.id] = k;
    offset += entry.size;
  }
}

SectionInput SectionSet::Input(uint64_t id) const {
  SectionInput input;
  input.id = id;
  if (id < position_of_id_.size()) {
    input.index = position_of_id_[id];
    input.reader = readers_[input.index].get();
  } else {
    input.reader = readers_[0].get();
  }
  return input;
}

std::vector<SectionInput> SectionSet::Inputs(
    const std::vector<uint64_t>& ids) const {
  std::vector<SectionInput> inputs;
  for (uint64_t id : ids) inputs.push_back(Input(id));
  return inputs;
}

std::vector<uint64_t> AllIds(const FrameDriver& driver) {
  std::vector<uint64_t> ids;
  for (const TocSection& entry : driver.toc) ids.push_back(entry.id);
  return ids;
}

void RecordingContent::Check(const FrameDriver& driver, uint64_t id,
                             const BitReader& reader) {
  if (!check_readers || driver.IsSingleSection()) return;
  BitReader peek = reader;
  if (peek.Read(8) != ((id + 1) & 0xFF)) ++wrong_reader;
}

Status RecordingContent::DcGlobal(FrameDriver& driver, BitReader& reader) {
  Check(driver, 0, reader);
  log.push_back("DG");
  if (dc_global_answers.empty()) return OkStatus();
  const Status answer = dc_global_answers.front();
  dc_global_answers.erase(dc_global_answers.begin());
  return answer;
}

Status RecordingContent::DcGroup(FrameDriver& driver, uint64_t dc_group,
                                 BitReader& reader) {
  Check(driver, DcGroupSectionId(dc_group), reader);
  std::string entry = "D";
  entry += std::to_string(dc_group);
  log.push_back(entry);
  return failing_dc_groups.count(dc_group) ? group_failure : OkStatus();
}

Status RecordingContent::AcGlobal(FrameDriver& driver, BitReader& reader) {
  Check(driver, AcGlobalSectionId(driver.frame_geometry.num_dc_groups), reader);
  log.push_back("AG");
  return ac_global_answer;
}

Status RecordingContent::AcGroup(FrameDriver& driver, uint64_t group,
                                 BitReader* const* readers, uint64_t num_passes,
                                 uint64_t /*storage_index*/) {
  const uint64_t first = driver.decoded_passes[group];
  for (uint64_t i = 0; i < num_passes; ++i) {
    Check(
        driver,
        AcGroupSectionId(first + i, group, driver.frame_geometry.num_dc_groups,
                         driver.frame_geometry.num_groups),
        *readers[i]);
  }
  // Built with +=: chained operator+ trips a false -Wrestrict in GCC 12.
  std::string entry = "A";
  entry += std::to_string(group);
  entry += 'p';
  entry += std::to_string(first);
  entry += 'x';
  entry += std::to_string(num_passes);
  log.push_back(entry);
  return failing_ac_groups.count(group) ? group_failure : OkStatus();
}

}  // namespace qov
