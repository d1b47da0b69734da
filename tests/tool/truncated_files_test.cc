// qovinfo on real files cut short at and around the 2048-byte read size:
// what it printed is the beginning of the full report (output is written as
// the events arrive), and it ends either with a decoder error or, when the
// cut spared everything the report needs (the data of a bare codestream's
// last frame is never read), with the full report.
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

}  // namespace
}  // namespace qov
