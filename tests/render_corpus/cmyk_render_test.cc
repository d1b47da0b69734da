// The CMYK file of the corpus: its reference holds the black extra channel
// as a fourth channel, which qov_render's output leaves out. The colour
// channels are compared by the corpus test; here the black channel,
// decoded in-process through the pixel hook, must equal the reference's.
#include <png.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/hook_decode.h"

namespace qov {
namespace {

constexpr const char* kName =
    "KDE__kimageformats__autotests__write__format__jxl__Format_CMYK8888.jxl";

TEST(CmykRenderTest, BlackChannelMatchesTheReference) {
  const std::string base = std::string(QOV_TESTDATA_DIR);
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  const std::string png = base + "/renders/" + kName + ".png";
  ASSERT_NE(png_image_begin_read_from_file(&image, png.c_str()), 0) << png;
  // Four 8-bit channels, read as stored.
  ASSERT_EQ(PNG_IMAGE_SAMPLE_CHANNELS(image.format), 4u);
  ASSERT_EQ(PNG_IMAGE_SAMPLE_COMPONENT_SIZE(image.format), 1u);
  image.format = PNG_FORMAT_RGBA;
  std::vector<uint8_t> want(PNG_IMAGE_SIZE(image));
  ASSERT_NE(png_image_finish_read(&image, nullptr, want.data(), 0, nullptr), 0);

  const std::vector<uint8_t> file = ReadTestFile(base + "/files/" + kName);
  ASSERT_FALSE(file.empty());
  HookDecodeOptions options;
  options.type = OutputSampleType::kUint8;
  options.extra_channel = 0;  // the file's only extra channel: black
  const HookDecodeResult r = HookDecode(file, options);
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.extra_frames.size(), 1u);
  ASSERT_EQ(r.width, image.width);
  ASSERT_EQ(r.height, image.height);
  const std::vector<uint8_t>& black = r.extra_frames[0];
  ASSERT_EQ(black.size(), static_cast<size_t>(image.width) * image.height);
  for (size_t i = 0; i < black.size(); ++i) {
    ASSERT_EQ(black[i], want[4 * i + 3]) << "pixel " << i % image.width << ", "
                                         << i / image.width;
  }
  // And the colour channels as qov_render writes them.
  for (size_t i = 0; i < black.size(); ++i) {
    for (size_t c = 0; c < 3; ++c) {
      ASSERT_EQ(r.frames[0][3 * i + c], want[4 * i + c]) << "pixel " << i << " channel " << c;
    }
  }
}

TEST(CmykRenderTest, ExtraChannelTargetsAreChecked) {
  const std::vector<uint8_t> file =
      ReadTestFile(std::string(QOV_TESTDATA_DIR) + "/files/" + kName);
  ASSERT_FALSE(file.empty());
  HookDecodeOptions options;
  options.extra_channel = 1;  // beyond the file's one extra channel
  const HookDecodeResult r = HookDecode(file, options);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "extra channel output refused");
}

}  // namespace
}  // namespace qov
