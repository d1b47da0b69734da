// Lossless modular files of the corpus decoded through the public decoder
// loop into a stand-in pipeline ended by capturing stages: the samples the
// pipeline receives, scaled back to integers, must hash like the reference
// PNG of the file ("exact" tier renders). The expected hashes were computed
// once from the reference PNGs (decoded with zlib in a one-off script):
// FNV-1a 64 over every sample (interleaved, rows top to bottom), each as two
// little-endian bytes. No public operation attaches an output target yet,
// so the test marks one attached inside the decoder's state.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/api/decoder_state.h"
#include "lib/frame/frame_decoding_state.h"
#include "qov/qov.h"
#include "tests/api/decoder_test_helpers.h"
#include "tests/support/pipeline_capture.h"

namespace qov {
namespace {

struct PixelCase {
  const char* file;
  uint64_t width, height;
  int channels;  // 1 grey, 3 RGB
  uint64_t fnv;
};

const PixelCase kCases[] = {
    {"OxideAV__oxideav-jpegxl__tests__fixtures__grey_8x8_lossless.jxl", 8, 8, 1, 0xef62876d361ced25ull},
    {"OxideAV__oxideav-jpegxl__tests__fixtures__gradient_64x64_lossless.jxl", 64, 64, 3, 0xf6fc0d8698441225ull},
    {"a-r-d__PureJsImage__tests__fixtures__jpegxl__multi-group-gray8.jxl", 600, 530, 1, 0x2e581ab758789fbdull},
    {"OxideAV__oxideav-jpegxl__tests__fixtures__palette_32x32.jxl", 32, 32, 3, 0xeb3cfa78b517b525ull},
    {"KDE__kimageformats__autotests__read__jxl__chicken8.jxl", 197, 347, 1, 0x8aaa5eae18810324ull},
    {"Traneptora__jxlatte__samples__art.jxl", 128, 128, 3, 0x1a3bba4231701bddull},
    {"OxideAV__oxideav-jpegxl__tests__fixtures__synth_320_grey__synth_320.jxl", 320, 320, 1, 0x4c733ae61e485025ull},
    {"KDE__kimageformats__autotests__write__format__jxl__Format_Grayscale8.jxl", 96, 96, 1, 0xeca51956d9b22e97ull},
};

class ModularPixelsTest : public ::testing::TestWithParam<PixelCase> {};

TEST_P(ModularPixelsTest, PipelineReceivesTheReferenceSamples) {
  const PixelCase& c = GetParam();
  const std::vector<uint8_t> bytes = ReadFileBytes(
      std::string(QOV_TESTDATA_DIR) + "/files/" + c.file);
  if (bytes.empty()) GTEST_SKIP() << "corpus file missing: " << c.file;

  QovDecoder dec = QovDecoderCreate(nullptr);
  ASSERT_NE(dec, nullptr);
  DecoderState* state = dec;
  std::vector<test::ChannelCaptureStage*> captures;
  ASSERT_EQ(QovDecoderSubscribeEvents(dec, QOV_DEC_COLOR_INFO | QOV_DEC_IMAGE_DONE),
            QOV_DEC_OK);
  ASSERT_EQ(QovDecoderProvideInput(dec, bytes.data(), bytes.size()),
            QOV_DEC_OK);
  QovDecoderEndInput(dec);
  bool done = false;
  for (int i = 0; i < 1000 && !done; ++i) {
    const QovDecoderStatus s = QovDecoderAdvance(dec);
    if (s == QOV_DEC_COLOR_INFO) {
      ASSERT_NE(state->frame_state, nullptr);
      state->frame_state->stand_in_stages = [&](const FrameHeader&, size_t n) {
        return test::CaptureStages(n, {}, &captures);
      };
      state->image_out_set = true;
    } else if (s == QOV_DEC_WANT_IMAGE_BUFFER) {
      state->image_out_set = true;
    } else if (s == QOV_DEC_IMAGE_DONE) {
      done = true;
    } else {
      FAIL() << c.file << ": decoder status " << static_cast<int>(s);
    }
  }
  ASSERT_TRUE(done) << c.file;
  ASSERT_GE(captures.size(), 3u);
  for (size_t k = 0; k < 3; ++k) {
    ASSERT_EQ(captures[k]->xsize, c.width) << c.file;
    ASSERT_EQ(captures[k]->ysize, c.height) << c.file;
    EXPECT_TRUE(captures[k]->AllWrittenOnce()) << c.file << " channel " << k;
  }
  if (c.channels == 1) {
    EXPECT_EQ(captures[1]->samples, captures[0]->samples) << c.file;
    EXPECT_EQ(captures[2]->samples, captures[0]->samples) << c.file;
  }
  uint64_t hash = 0xcbf29ce484222325ull;
  for (uint64_t y = 0; y < c.height; ++y) {
    for (uint64_t x = 0; x < c.width; ++x) {
      for (int k = 0; k < c.channels; ++k) {
        const float v = captures[k]->at(x, y);
        // Samples may lie outside 0..1 (the reference PNG clamps them).
        long q = std::lround(v * 255.0f);
        ASSERT_EQ(static_cast<float>(q) * static_cast<float>(1.0 / 255.0), v)
            << c.file << " is not an integer sample at (" << x << ", " << y << ")";
        q = q < 0 ? 0 : (q > 255 ? 255 : q);
        for (uint32_t byte : {static_cast<uint32_t>(q & 255),
                              static_cast<uint32_t>(q >> 8)}) {
          hash ^= byte;
          hash *= 0x100000001b3ull;
        }
      }
    }
  }
  EXPECT_EQ(hash, c.fnv) << c.file;
  QovDecoderDelete(dec);
}

INSTANTIATE_TEST_SUITE_P(Corpus, ModularPixelsTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<PixelCase>& info) {
                           std::string name = info.param.file;
                           for (char& ch : name) {
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

// Files whose first frame is a modular reference-only frame (a patch
// source): with pixels wanted and no output target, that frame, which
// nobody displays, is decoded on its own through the section decoders, and
// the decoder then asks for an image buffer for the displayed frame.
TEST(ModularReferenceFrameTest, FramesNobodyDisplaysAreDecodedWithoutTarget) {
  const struct {
    const char* file;
    uint64_t width, height;
  } cases[] = {
      {"KDE__kimageformats__autotests__read__jxl__testcard_gray8.jxl", 28, 28},
      {"Isotr0py__pillow-jpegxl-plugin__test__images__sample_grey.jxl", 6, 6},
  };
  for (const auto& c : cases) {
    const std::vector<uint8_t> bytes = ReadFileBytes(
        std::string(QOV_TESTDATA_DIR) + "/files/" + c.file);
    if (bytes.empty()) continue;
    QovDecoder dec = QovDecoderCreate(nullptr);
    ASSERT_NE(dec, nullptr);
    DecoderState* state = dec;
    std::vector<test::ChannelCaptureStage*> captures;
    int pipelines = 0;
    ASSERT_EQ(QovDecoderSubscribeEvents(dec, QOV_DEC_COLOR_INFO |
                                                 QOV_DEC_FRAME_START |
                                                 QOV_DEC_IMAGE_DONE),
              QOV_DEC_OK);
    ASSERT_EQ(QovDecoderProvideInput(dec, bytes.data(), bytes.size()),
              QOV_DEC_OK);
    QovDecoderEndInput(dec);
    QovDecoderStatus s = QOV_DEC_OK;
    int frame_starts = 0;
    for (int i = 0; i < 100; ++i) {
      s = QovDecoderAdvance(dec);
      if (s == QOV_DEC_COLOR_INFO) {
        state->frame_state->stand_in_stages = [&](const FrameHeader&,
                                                  size_t n) {
          ++pipelines;
          return test::CaptureStages(n, {}, &captures);
        };
        continue;
      }
      if (s == QOV_DEC_FRAME_START) {
        ++frame_starts;
        continue;
      }
      break;
    }
    EXPECT_EQ(s, QOV_DEC_WANT_IMAGE_BUFFER) << c.file;
    EXPECT_EQ(frame_starts, 1) << c.file;  // only the displayed frame
    EXPECT_EQ(pipelines, 1) << c.file;     // the reference frame's
    ASSERT_GE(captures.size(), 3u) << c.file;
    EXPECT_EQ(captures[0]->xsize, c.width) << c.file;
    EXPECT_EQ(captures[0]->ysize, c.height) << c.file;
    EXPECT_TRUE(captures[0]->AllWrittenOnce()) << c.file;
    QovDecoderDelete(dec);
  }
}

}  // namespace
}  // namespace qov
