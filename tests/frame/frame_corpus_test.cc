// The frame driver on real files: every frame header and TOC of every
// sample codestream is read in turn, each frame is passed over by its
// section-size total, and the frames are checked against the file's facts.
// The last frame must end exactly at the end of the codestream.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "lib/base/byte_buffer.h"
#include "lib/bitstream/fields.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/color/icc_reader.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/frame/frame_driver.h"
#include "lib/frame/image_bundle.h"
#include "tests/frame/frame_test_helpers.h"

namespace qov {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint64_t ReadBE(const std::vector<uint8_t>& bytes, size_t pos, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | bytes[pos + i];
  return v;
}

// The codestream of a bare codestream or of a container ('jxlc', or the
// 'jxlp' parts in index order). Empty when the container is malformed.
std::vector<uint8_t> ExtractCodestream(const std::vector<uint8_t>& file) {
  if (file.size() >= 2 && file[0] == 0xFF && file[1] == 0x0A) return file;
  std::vector<uint8_t> codestream;
  std::map<uint32_t, std::vector<uint8_t>> parts;
  size_t pos = 0;
  while (pos + 8 <= file.size()) {
    uint64_t size = ReadBE(file, pos, 4);
    const std::string type(file.begin() + pos + 4, file.begin() + pos + 8);
    size_t header = 8;
    if (size == 1) {
      if (pos + 16 > file.size()) return {};
      size = ReadBE(file, pos + 8, 8);
      header = 16;
    } else if (size == 0) {
      size = file.size() - pos;
    }
    if (size < header || pos + size > file.size()) return {};
    const auto begin = file.begin() + pos + header;
    const auto end = file.begin() + pos + size;
    if (type == "jxlc") codestream.assign(begin, end);
    if (type == "jxlp" && end - begin >= 4) {
      const uint32_t index =
          static_cast<uint32_t>(ReadBE(file, pos + header, 4)) & 0x7FFFFFFF;
      parts[index].assign(begin + 4, end);
    }
    pos += size;
  }
  for (const auto& part : parts) {
    codestream.insert(codestream.end(), part.second.begin(), part.second.end());
  }
  return codestream;
}

// The frame[i] lines of a facts file, as key -> value maps.
std::vector<std::map<std::string, std::string>> FrameFacts(
    const fs::path& path) {
  std::vector<std::map<std::string, std::string>> frames;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("frame[", 0) != 0) continue;
    std::map<std::string, std::string> fields;
    std::istringstream words(line.substr(line.find(':') + 1));
    std::string word;
    while (words >> word) {
      const size_t eq = word.find('=');
      if (eq == std::string::npos) continue;
      std::string value = word.substr(eq + 1);
      if (word.compare(0, eq, "name") == 0) {
        // The name runs to the end of the line, in quotes.
        value = line.substr(line.find("name=") + 5);
        fields["name"] = value.substr(1, value.size() - 2);
        break;
      }
      fields[word.substr(0, eq)] = value;
    }
    frames.push_back(fields);
  }
  return frames;
}

bool HasOracleError(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("oracle_error:", 0) == 0) return true;
  }
  return false;
}

const char* KindName(uint32_t frame_type) {
  switch (frame_type) {
    case 0:
      return "RegularFrame";
    case 1:
      return "DCFrame";
    case 2:
      return "ReferenceOnly";
    default:
      return "SkipProgressive";
  }
}

const char* BlendName(uint32_t mode) {
  static const char* const kNames[] = {"Replace", "Add", "Blend",
                                       "AlphaWeightedAdd", "Mul"};
  return mode < 5 ? kNames[mode] : "?";
}

// Reads the image headers; returns the byte offset of the first frame.
Status ReadImageHeaders(const std::vector<uint8_t>& codestream,
                        CodecMetadata* metadata, uint64_t* frame_start) {
  BitReader reader(Span(codestream.data(), codestream.size()));
  QOV_ENSURE(reader.Read(16) == 0x0AFF);
  QOV_RETURN_IF_ERROR(Bundle::Decode(reader, metadata->size));
  QOV_RETURN_IF_ERROR(Bundle::Decode(reader, metadata->m));
  metadata->transform_data.xyb = metadata->m.xyb_encoded;
  QOV_RETURN_IF_ERROR(Bundle::Decode(reader, metadata->transform_data));
  if (metadata->m.color_encoding.want_icc) {
    CompressedIccReader icc(HeapMemoryManager());
    ByteBuffer profile(HeapMemoryManager());
    QOV_RETURN_IF_ERROR(icc.Begin(reader));
    QOV_RETURN_IF_ERROR(icc.Continue(reader, profile));
  }
  QOV_RETURN_IF_ERROR(reader.AlignToByte());
  QOV_ENSURE(!reader.PastEnd());
  *frame_start = reader.Position() / 8;
  return OkStatus();
}

// Hands a frame's sections to the driver in stored order, as they would
// arrive, offering every section that was skipped again with each new one;
// every section must end decoded, in dependency order.
void FeedSectionsInStoredOrder(FrameDriver& driver,
                               const std::vector<uint8_t>& codestream,
                               uint64_t sections_start) {
  RecordingContent content;
  content.check_readers = false;
  driver.section_content = &content;
  ASSERT_TRUE(driver.PrepareFrameOutput().ok());
  std::vector<std::unique_ptr<BitReader>> readers;
  std::vector<SectionInput> pending;
  uint64_t offset = sections_start;
  for (size_t k = 0; k < driver.toc.size(); ++k) {
    const uint64_t size = driver.toc[k].size;
    ASSERT_LE(offset + size, codestream.size());
    readers.push_back(std::make_unique<BitReader>(
        Span(codestream.data() + offset, static_cast<size_t>(size))));
    offset += size;
    SectionInput input;
    input.reader = readers.back().get();
    input.id = driver.toc[k].id;
    input.index = k;
    pending.push_back(input);
    std::vector<SectionOutcome> outcomes(pending.size());
    ASSERT_TRUE(
        driver.DecodeSections(pending.data(), pending.size(), outcomes.data())
            .ok());
    std::vector<SectionInput> still_pending;
    for (size_t i = 0; i < pending.size(); ++i) {
      ASSERT_TRUE(outcomes[i] == SectionOutcome::kDecoded ||
                  outcomes[i] == SectionOutcome::kSkipped);
      if (outcomes[i] == SectionOutcome::kSkipped) {
        still_pending.push_back(pending[i]);
      }
    }
    pending = still_pending;
  }
  EXPECT_TRUE(pending.empty());
  EXPECT_EQ(driver.sections_done, driver.toc.size());
  // DC global, every DC group, AC global, then AC groups (several passes
  // of a group may come in one call).
  const uint64_t passes = driver.frame_header.passes.num_passes;
  const uint64_t dc_groups = driver.frame_geometry.num_dc_groups;
  ASSERT_GE(content.log.size(), 3 + dc_groups);
  EXPECT_EQ(content.log[0], "DG");
  for (uint64_t i = 1; i <= dc_groups; ++i) EXPECT_EQ(content.log[i][0], 'D');
  EXPECT_EQ(content.log[1 + dc_groups], "AG");
  for (size_t i = 2 + dc_groups; i < content.log.size(); ++i) {
    EXPECT_EQ(content.log[i][0], 'A');
  }
  for (uint8_t decoded : driver.decoded_passes) EXPECT_EQ(decoded, passes);
  EXPECT_TRUE(driver.CompleteFrame().ok());
  driver.section_content = nullptr;
}

void CheckFile(const fs::path& file, const fs::path& facts_file) {
  const auto facts = FrameFacts(facts_file);
  const std::vector<uint8_t> codestream = ExtractCodestream(ReadFile(file));
  ASSERT_FALSE(codestream.empty());
  CodecMetadata metadata;
  uint64_t start = 0;
  const Status headers = ReadImageHeaders(codestream, &metadata, &start);
  ASSERT_TRUE(headers.ok()) << "image headers: " << headers.raw();

  FrameDecodingState state(HeapMemoryManager());
  // As the decoder does once the headers are read: the pipeline's writer
  // stores frames in the output encoding.
  ASSERT_TRUE(state.output_color.InitFromMetadata(metadata).ok());
  ImageBundle bundle(HeapMemoryManager(), &metadata.m);
  TaskPool pool;
  uint64_t displayed = 0;
  size_t i = 0;
  for (bool last = false; !last; ++i) {
    ASSERT_LT(start, codestream.size()) << "frame " << i;
    FrameDriver driver(&state, &pool, &metadata);
    BitReader reader(
        Span(codestream.data() + start, codestream.size() - start));
    ASSERT_TRUE(driver.BeginFrame(reader, &bundle, false).ok())
        << "frame " << i;
    const FrameHeader& h = driver.frame_header;
    last = h.is_last;
    if (h.frame_type != 1 && (h.animation_frame.duration != 0 || h.is_last) &&
        (h.frame_type == 0 || h.frame_type == 3)) {
      ++displayed;
    }
    EXPECT_EQ(state.visible_frame_index, displayed) << "frame " << i;
    const uint64_t sections_start = start + reader.Position() / 8;
    start = sections_start + driver.section_sizes_total;
    FeedSectionsInStoredOrder(driver, codestream, sections_start);

    ASSERT_LT(i, facts.size()) << "more frames than the facts list";
    const auto& f = facts[i];
    EXPECT_EQ(f.at("type"), KindName(h.frame_type)) << "frame " << i;
    EXPECT_EQ(f.at("coding"), h.encoding ? "Modular" : "VarDct")
        << "frame " << i;
    EXPECT_EQ(f.at("size"),
              std::to_string(driver.frame_geometry.xsize_upsampled) + "x" +
                  std::to_string(driver.frame_geometry.ysize_upsampled))
        << "frame " << i;
    EXPECT_EQ(f.at("origin"), std::to_string(h.x0) + "," + std::to_string(h.y0))
        << "frame " << i;
    EXPECT_EQ(f.at("duration"), std::to_string(h.animation_frame.duration))
        << "frame " << i;
    EXPECT_EQ(f.at("blend"), BlendName(h.blending_info.mode)) << "frame " << i;
    EXPECT_EQ(f.at("last"), h.is_last ? "1" : "0") << "frame " << i;
    EXPECT_EQ(f.at("name"), h.name) << "frame " << i;
  }
  EXPECT_EQ(i, facts.size());
  EXPECT_EQ(start, codestream.size());
}

TEST(FrameCorpusTest, EveryFrameOfEverySampleFile) {
  const fs::path root(QOV_TESTDATA_DIR);
  ASSERT_TRUE(fs::exists(root / "files"));
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(root / "files")) {
    if (entry.path().extension() != ".jxl") continue;
    const std::string name = entry.path().stem().string();
    SCOPED_TRACE(name);
    const fs::path facts = root / "facts" / (name + ".facts");
    // Files that are not images by the facts' own decoder are left to the
    // decoder's tests.
    if (HasOracleError(facts)) continue;
    CheckFile(entry.path(), facts);
    ++files;
  }
  EXPECT_GT(files, 100u);
}

}  // namespace
}  // namespace qov
