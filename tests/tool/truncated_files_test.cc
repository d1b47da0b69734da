// qovinfo on real files cut short at and around the 2048-byte read size:
// what it printed is the beginning of the full report (output is written as
// the events arrive), and it ends either with a decoder error or, when the
// cut spared everything the report needs (the data of a bare codestream's
// last frame is never read), with the full report.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/tool/tool_run_helpers.h"

namespace qov {
namespace {

TEST(TruncatedFilesTest, CutFilesFailCleanly) {
  // Still images (an animation prints its length even when cut short):
  // boxes between codestream parts, a large ICC profile, a bare codestream.
  const char* const kNames[] = {
      "KDE__kimageformats__autotests__read__jxl__compressed_metadata.jxl",
      "KDE__kimageformats__autotests__write__format__jxl__Format_CMYK8888.jxl",
      "Traneptora__jxlatte__samples__lenna.jxl",
  };
  TempDir dir;
  for (const char* name : kNames) {
    const std::string path = std::string(QOV_TESTDATA_DIR) + "/files/" + name;
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    ASSERT_GT(bytes.size(), 4097u) << name;
    const ToolResult full = RunTool({path});
    ASSERT_EQ("", full.err) << name;
    for (size_t length : {size_t{1}, size_t{12}, size_t{13}, size_t{40}, size_t{2047},
                          size_t{2048}, size_t{2049}, size_t{4096}, bytes.size() - 1}) {
      SCOPED_TRACE(std::string(name) + " cut at " + std::to_string(length));
      const std::string cut = dir.Write(
          "cut.jxl", std::vector<uint8_t>(bytes.begin(), bytes.begin() + length));
      const ToolResult r = RunTool({cut});
      EXPECT_EQ(0, r.exit_code);
      EXPECT_EQ(0u, full.out.compare(0, r.out.size(), r.out)) << r.out;
      EXPECT_LT(r.out.size(), full.out.size() + 1);
      const bool header_seen = r.out.find("JPEG XL image") != std::string::npos;
      if (r.err.empty()) {
        EXPECT_EQ(full.out, r.out);
      } else {
        EXPECT_EQ(header_seen ? "Decoder error\n"
                              : "Decoder error\nError reading file: " + cut + "\n",
                  r.err);
      }
    }
  }
}

// The end of every box of a container (empty for a bare codestream) and the
// end of the box holding the last codestream bytes.
std::vector<uint64_t> BoxEnds(const std::vector<uint8_t>& file, uint64_t* codestream_end) {
  std::vector<uint64_t> ends;
  *codestream_end = 0;
  if (file.empty() || file[0] != 0) return ends;
  uint64_t at = 0;
  while (at + 8 <= file.size()) {
    uint64_t size = 0;
    for (int i = 0; i < 4; ++i) size = (size << 8) | file[at + static_cast<uint64_t>(i)];
    const std::string type(file.begin() + static_cast<ptrdiff_t>(at + 4),
                           file.begin() + static_cast<ptrdiff_t>(at + 8));
    if (size == 1 && at + 16 <= file.size()) {  // a 64-bit size follows
      size = 0;
      for (int i = 8; i < 16; ++i) size = (size << 8) | file[at + static_cast<uint64_t>(i)];
    }
    if (size == 0) size = file.size() - at;
    at += size;
    ends.push_back(at);
    if (type == "jxlc" || type == "jxlp") *codestream_end = at;
  }
  return ends;
}

// Splits text into lines (each keeping its line break).
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const size_t stop = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, stop - start));
    start = stop;
  }
  return lines;
}

// Animations and codestream parts cut at many places: the report printed so
// far is the start of the full report (an animation's closing length line,
// printed whatever happened, aside), and the tool says "Decoder error"
// exactly when the cut file is not complete as far as the report reads it.
TEST(TruncatedFilesTest, CutAnimationsAndPartsGiveClearMessages) {
  const char* const kNames[] = {
      // Bare animation of 16 frames with an ICC profile.
      "KDE__kimageformats__autotests__read__jxl__framenumbers.jxl",
      // Three codestream parts around a 'brob' box; two frames.
      "KDE__kimageformats__autotests__read__jxl__bug_496350.jxl",
      // Parts, an ICC profile, and boxes after the codestream.
      "alistair7__jxltk__contrib__jxlazy__testfiles__generated.jxl",
      // An animation of 11 frames in 6 KB.
      "alistair7__jxltk__doc__10_seconds_countdown.gif.jxl",
  };
  TempDir dir;
  for (const char* name : kNames) {
    const std::string path = std::string(QOV_TESTDATA_DIR) + "/files/" + name;
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    ASSERT_GT(bytes.size(), 2100u) << name;
    const ToolResult full = RunTool({path});
    ASSERT_EQ("", full.err) << name;
    ASSERT_EQ(0, full.exit_code) << name;
    uint64_t codestream_end = 0;
    const std::vector<uint64_t> box_ends = BoxEnds(bytes, &codestream_end);
    std::vector<uint64_t> lengths = {0, 1, 11, 12, 20, 33, 60, 200, 700, 2048, 2049,
                                     bytes.size() / 2, bytes.size() - 1};
    for (const uint64_t end : box_ends) {
      lengths.push_back(end - 1);
      if (end < bytes.size()) lengths.push_back(end);
    }
    const std::vector<std::string> full_lines = Lines(full.out);
    const bool animation = full.out.find("Animation length") != std::string::npos;
    for (const uint64_t length : lengths) {
      SCOPED_TRACE(std::string(name) + " cut at " + std::to_string(length));
      const std::string cut = dir.Write(
          "cut.jxl", std::vector<uint8_t>(bytes.begin(), bytes.begin() + length));
      const ToolResult r = RunTool({cut});
      EXPECT_EQ(0, r.exit_code);
      std::vector<std::string> lines = Lines(r.out);
      std::vector<std::string> expected_lines = full_lines;
      if (animation && !lines.empty() && lines.back().rfind("Animation length", 0) == 0) {
        lines.pop_back();
        expected_lines.pop_back();
      }
      EXPECT_LE(lines.size(), expected_lines.size());
      EXPECT_TRUE(std::equal(lines.begin(), lines.end(), expected_lines.begin(),
                             expected_lines.begin() + std::min(lines.size(),
                                                               expected_lines.size())))
          << r.out;
      // Complete for the report: a bare codestream's last frame data is never
      // read; a container must end on a box boundary after the codestream.
      const bool complete =
          box_ends.empty()
              ? r.out.size() > 0 && lines.size() == expected_lines.size()
              : length >= codestream_end &&
                    std::find(box_ends.begin(), box_ends.end(), length) != box_ends.end();
      if (complete) {
        EXPECT_EQ("", r.err);
      } else {
        const bool basic_info = r.out.find("JPEG XL image") != std::string::npos ||
                                r.out.find("JPEG XL animation") != std::string::npos;
        EXPECT_EQ(basic_info ? "Decoder error\n"
                             : "Decoder error\nError reading file: " + cut + "\n",
                  r.err);
      }
    }
  }
}

}  // namespace
}  // namespace qov
