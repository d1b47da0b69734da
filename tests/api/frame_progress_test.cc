// QOV_DEC_FRAME_PROGRESS through the decoder loop on corpus files: with the
// event subscribed, a VarDCT frame of several groups pauses once, right
// after its DC (every DC section decoded, no AC section), and then decodes
// to the pixels it has without the event; frames that cannot pause (one
// section, modular) never report it. Whole input and small chunks alike.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "lib/api/decoder_state.h"
#include "lib/api/internal_pixel_hook.h"
#include "lib/frame/frame_driver.h"
#include "qov/qov.h"
#include "tests/api/pixel_decode_helpers.h"

namespace qov {
namespace {

// The decoder's frame state each time it reported progress.
struct ProgressPoint {
  bool dc_finalised = false;
  uint64_t sections_done = 0;
  uint64_t dc_sections = 0;  // DC global and DC groups of the frame
  uint64_t sections = 0;     // of the whole frame
};

struct ProgressRun {
  std::string error;
  std::vector<int32_t> events;  // every status but QOV_DEC_WANT_INPUT
  std::vector<ProgressPoint> progress;
  std::vector<std::vector<uint8_t>> frames;  // float32 RGB(A), per frame
};

ProgressRun Decode(const Bytes& file, bool progress_events, size_t chunk) {
  ProgressRun run;
  QovDecoder dec = QovDecoderCreate(nullptr);
  struct Deleter {
    QovDecoder d;
    ~Deleter() { QovDecoderDelete(d); }
  } deleter{dec};
  const int32_t events = QOV_DEC_HEADER_INFO | QOV_DEC_IMAGE_DONE |
                         (progress_events ? QOV_DEC_FRAME_PROGRESS : 0);
  if (dec == nullptr || QovDecoderSubscribeEvents(dec, events) != QOV_DEC_OK) {
    run.error = "set-up refused";
    return run;
  }
  const size_t step = chunk == 0 ? file.size() : chunk;
  size_t given = 0;
  QovBasicInfo info{};
  std::vector<uint8_t> pixels;
  for (int i = 0; i < 1000000; ++i) {
    const QovDecoderStatus s = QovDecoderAdvance(dec);
    if (s == QOV_DEC_WANT_INPUT) {
      const size_t consumed = given - QovDecoderReclaimInput(dec);
      if (given == file.size()) {
        run.error = "truncated";
        return run;
      }
      given = std::min(file.size(), given + step);
      if (QovDecoderProvideInput(dec, file.data() + consumed, given - consumed) != QOV_DEC_OK) {
        run.error = "input refused";
        return run;
      }
      if (given == file.size()) QovDecoderEndInput(dec);
      continue;
    }
    run.events.push_back(s);
    if (s == QOV_DEC_OK || s == QOV_DEC_FAILED) return run;
    if (s == QOV_DEC_HEADER_INFO) {
      if (QovDecoderGetBasicInfo(dec, &info) != QOV_DEC_OK) {
        run.error = "no basic info";
        return run;
      }
    } else if (s == QOV_DEC_WANT_IMAGE_BUFFER) {
      uint64_t w = 0, h = 0;
      if (QovInternalOutputSize(dec, &w, &h) != QOV_DEC_OK) {
        run.error = "no output size";
        return run;
      }
      InternalPixelTarget target;
      target.format.num_channels =
          (info.num_color_channels == 1 ? 1 : 3) + (info.alpha_bits != 0 ? 1 : 0);
      target.format.data_type = OutputSampleType::kFloat32;
      pixels.assign(w * h * target.format.num_channels * sizeof(float), 0);
      target.buffer = pixels.data();
      target.buffer_size = pixels.size();
      if (QovInternalAttachPixelOutput(dec, target) != QOV_DEC_OK) {
        run.error = "target refused";
        return run;
      }
    } else if (s == QOV_DEC_FRAME_PROGRESS) {
      const FrameDriver& driver = *dec->frame_driver;
      ProgressPoint p;
      p.dc_finalised = driver.dc_finalised;
      p.sections_done = driver.sections_done;
      p.dc_sections = 1 + driver.frame_geometry.num_dc_groups;
      p.sections = driver.toc.size();
      run.progress.push_back(p);
    } else if (s == QOV_DEC_IMAGE_DONE) {
      run.frames.push_back(pixels);
    } else {
      run.error = "unexpected status " + std::to_string(s);
      return run;
    }
  }
  run.error = "too many advances";
  return run;
}

TEST(FrameProgressTest, OnceAfterTheDcOfAFrameThatCanPause) {
  struct Case {
    const char* file;
    size_t progress_events;  // per decode, with the event subscribed
  };
  const Case cases[] = {
      // VarDCT, 1024 x 768: twelve groups.
      {"OxideAV__oxideav-jpegxl__tests__fixtures__large_1024x768_d2.jxl", 1},
      // VarDCT, 512 x 512: four groups.
      {"Traneptora__jxlatte__samples__lenna.jxl", 1},
      // VarDCT, 256 x 256: one section holds the whole frame.
      {"OxideAV__oxideav-jpegxl__tests__fixtures__vardct_256x256_d1.jxl", 0},
      // Modular, 600 x 530: several groups, but modular frames never pause.
      {"a-r-d__PureJsImage__tests__fixtures__jpegxl__multi-group-gray8.jxl", 0},
  };
  for (const Case& c : cases) {
    const Bytes file = ReadSample(c.file);
    if (file.empty()) GTEST_SKIP() << "corpus file missing: " << c.file;
    const ProgressRun plain = Decode(file, false, 0);
    ASSERT_EQ(plain.error, "") << c.file;
    ASSERT_EQ(plain.frames.size(), 1u) << c.file;
    for (const size_t chunk : {size_t{0}, size_t{777}}) {
      SCOPED_TRACE(std::string(c.file) + ", chunk " + std::to_string(chunk));
      const ProgressRun run = Decode(file, true, chunk);
      ASSERT_EQ(run.error, "");
      ASSERT_EQ(run.progress.size(), c.progress_events);
      if (c.progress_events != 0) {
        // Reported between the frame's buffer request and its end.
        const auto at = [&](int32_t e) {
          return std::find(run.events.begin(), run.events.end(), e) - run.events.begin();
        };
        EXPECT_LT(at(QOV_DEC_WANT_IMAGE_BUFFER), at(QOV_DEC_FRAME_PROGRESS));
        EXPECT_LT(at(QOV_DEC_FRAME_PROGRESS), at(QOV_DEC_IMAGE_DONE));
        const ProgressPoint& p = run.progress[0];
        EXPECT_TRUE(p.dc_finalised);
        EXPECT_EQ(p.sections_done, p.dc_sections);
        EXPECT_LT(p.sections_done, p.sections);
      }
      EXPECT_EQ(run.events.back(), QOV_DEC_OK);
      ASSERT_EQ(run.frames.size(), 1u);
      EXPECT_TRUE(run.frames[0] == plain.frames[0]) << "pixels differ from the plain decode";
    }
  }
}

}  // namespace
}  // namespace qov
