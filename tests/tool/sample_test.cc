// samples/sample.jxl is written by the project's own writers: this test
// writes it again and requires the same bytes (QOV_WRITE_SAMPLE=1 in the
// environment rewrites the file), and checks qovinfo's report on it.
#include <cstdlib>
#include <fstream>
#include <string>

#include "gtest/gtest.h"
#include "tests/tool/jxl_writer_helpers.h"
#include "tests/tool/tool_run_helpers.h"

namespace qov {
namespace {

constexpr uint32_t kSize = 32;

// A 32 x 32 sRGB image with alpha, all samples 0, in one named modular frame;
// a container with the codestream and a small Exif box.
Bytes MakeSample() {
  CodestreamWriter writer;
  writer.SetSize(kSize, kSize);
  ExtraChannelInfo alpha;  // 8-bit straight alpha
  writer.metadata.m.num_extra_channels = 1;
  writer.metadata.m.extra_channel_info.push_back(alpha);
  FrameHeader frame = writer.NewFrame();
  frame.name = "sample";
  StatusOr<Bytes> section = ZeroModularSection(4, kSize, kSize);
  EXPECT_TRUE(section.ok());
  if (!section.ok()) return {};
  writer.AddFrame(frame, section.value());
  StatusOr<Bytes> codestream = writer.Write();
  EXPECT_TRUE(codestream.ok());
  if (!codestream.ok()) return {};
  // Exif: the offset of the TIFF header, then a big-endian TIFF header with
  // one empty directory.
  const Bytes exif = {0, 0, 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0};
  return Concat({ContainerHead(), Box("jxlc", codestream.value()), Box("Exif", exif)});
}

std::string SamplePath() { return std::string(QOV_SOURCE_DIR) + "/samples/sample.jxl"; }

TEST(SampleTest, SampleIsWrittenByTheProject) {
  const Bytes bytes = MakeSample();
  ASSERT_FALSE(bytes.empty());
  const char* rewrite = std::getenv("QOV_WRITE_SAMPLE");
  if (rewrite != nullptr && std::string(rewrite) == "1") {
    std::ofstream out(SamplePath(), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good());
  }
  EXPECT_EQ(bytes, ReadFileBytes(SamplePath()));
}

TEST(SampleTest, Report) {
  const ToolResult r = RunTool({SamplePath()});
  EXPECT_EQ("JPEG XL file format container (ISO/IEC 18181-2)\n"
            "JPEG XL image, 32x32, (possibly) lossless, 8-bit RGB+Alpha\n"
            "Color space: RGB\n"
            "White point: D65\n"
            "Primaries: sRGB\n"
            "Transfer function: sRGB\n"
            "Rendering intent: Relative\n"
            "Layer: Full image size, name: \"sample\"\n"
            "Uncompressed Exif metadata: 26 bytes\n",
            r.out);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(0, r.exit_code);
}

}  // namespace
}  // namespace qov
