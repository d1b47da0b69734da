// Pixels must not depend on how the input arrives or how many threads
// decode: every displayed frame of a file, decoded through the real decoder
// loop with the input in chunks of 2048, 7 and 1 bytes and on 0, 1 and 8
// worker threads, must be byte-identical (float32 samples) to the frame
// decoded from the whole file on the calling thread.
#include <cstdio>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/hook_decode.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QOV_INVARIANCE_REDUCED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QOV_INVARIANCE_REDUCED 1
#endif

namespace qov {
namespace {

struct CorpusFile {
  const char* label;  // what the file covers
  const char* name;   // under files/
  bool in_reduced_set;
};

// Chosen to cover the decoder's paths; the corpus has no file with
// upsampling or DC frames.
const CorpusFile kFiles[] = {
    {"LosslessRct", "KDE__kimageformats__autotests__read__jxl__chicken8.jxl", false},
    {"LosslessPalette", "OxideAV__oxideav-jpegxl__tests__fixtures__palette_32x32.jxl", false},
    {"SqueezeTwoPassesAlpha", "tirr-c__jxl-oxide-testdata__squeeze_edge__input.jxl", true},
    {"ModularMultiGroup", "a-r-d__PureJsImage__tests__fixtures__jpegxl__multi-group-gray8.jxl",
     false},
    {"Modular16Bit", "andrinbr__xl-view__tests__fixtures__ramp-pq-1000.jxl", false},
    {"ModularFloat16", "KDE__kimageformats__autotests__write__format__jxl__Format_RGBA16FPx4_"
     "Premultiplied.jxl", false},
    {"LossyModularXyb", "OxideAV__oxideav-jpegxl__tests__fixtures__modular_xyb_256x256.jxl",
     false},
    {"VarDct8Bit", "OxideAV__oxideav-jpegxl__tests__fixtures__vardct_256x256_d1.jxl", false},
    {"VarDctMultiGroup", "OxideAV__oxideav-jpegxl__tests__fixtures__large_1024x768_d2.jxl",
     false},
    {"VarDct16BitLinear", "KDE__kimageformats__autotests__read__jxl__gray_linear_lossy.jxl",
     false},
    {"VarDctFloat16", "Isotr0py__pillow-jpegxl-plugin__test__images__random_image_f16.jxl",
     false},
    {"VarDctChroma420", "OxideAV__oxideav-jpegxl__tests__fixtures__r448_edge420.jxl", true},
    {"VarDctChroma422", "OxideAV__oxideav-jpegxl__tests__fixtures__r448_grad422.jxl", false},
    {"VarDctThreePasses",
     "OxideAV__oxideav-jpegxl__tests__fixtures__progressive_ac_multipass.jxl", false},
    {"AnimationReplace", "OxideAV__oxideav-jpegxl__tests__fixtures__animation_3frame.jxl",
     true},
    {"AnimationSixteenFrames", "KDE__kimageformats__autotests__read__jxl__framenumbers.jxl",
     false},
    {"AnimationBlendCrops", "alistair7__jxltk__doc__10_seconds_countdown.gif.jxl", false},
    {"AnimationVarDct", "tirr-c__jxl-oxide-testdata__issue_24__input.jxl", false},
    {"LayersAddBlendDepth", "alistair7__jxltk__contrib__jxlazy__testfiles__generated.jxl",
     true},
    {"LayersAddReference", "alistair7__jxltk__testfiles__rast.jxl", false},
    {"PatchesModular", "OxideAV__oxideav-jpegxl__tests__fixtures__patches_glyphs_256x256.jxl",
     true},
    {"PatchesVarDct", "OxideAV__oxideav-jpegxl__tests__fixtures__patches_vardct_256x256.jxl",
     false},
    {"Splines", "OxideAV__oxideav-jpegxl__tests__fixtures__spline_synth_64x64.jxl", false},
    {"Noise", "OxideAV__oxideav-jpegxl__tests__fixtures__noise_feature_256x256.jxl", false},
    {"ExtraChannelBlack",
     "KDE__kimageformats__autotests__write__format__jxl__Format_CMYK8888.jxl", false},
    {"ContainerSplitCodestream", "KDE__kimageformats__autotests__read__jxl__bug_496350.jxl",
     true},
    {"ContainerBrotliBoxes", "KDE__kimageformats__autotests__read__jxl__compressed_xmp.jxl",
     false},
};

class RenderInvarianceTest : public ::testing::TestWithParam<CorpusFile> {};

TEST_P(RenderInvarianceTest, ChunkingAndThreadsGiveIdenticalPixels) {
  const std::vector<uint8_t> file =
      ReadTestFile(std::string(QOV_TESTDATA_DIR) + "/files/" + GetParam().name);
  ASSERT_FALSE(file.empty()) << GetParam().name;
  const HookDecodeResult whole = HookDecode(file, HookDecodeOptions{});
  ASSERT_TRUE(whole.ok) << whole.error;
  ASSERT_FALSE(whole.frames.empty());
  for (const size_t chunk : {size_t{0}, size_t{2048}, size_t{7}, size_t{1}}) {
    for (const size_t threads : {size_t{0}, size_t{1}, size_t{8}}) {
      if (chunk == 0 && threads == 0) continue;
      HookDecodeOptions options;
      options.chunk = chunk;
      options.threads = threads;
      const HookDecodeResult r = HookDecode(file, options);
      SCOPED_TRACE("chunk " + std::to_string(chunk) + ", threads " +
                   std::to_string(threads));
      ASSERT_TRUE(r.ok) << r.error;
      ASSERT_EQ(r.frames.size(), whole.frames.size());
      for (size_t k = 0; k < r.frames.size(); ++k) {
        ASSERT_EQ(r.frames[k].size(), whole.frames[k].size()) << "frame " << k;
        size_t first = 0;
        while (first < r.frames[k].size() && r.frames[k][first] == whole.frames[k][first]) {
          ++first;
        }
        EXPECT_EQ(first, r.frames[k].size())
            << "frame " << k << ": first differing byte " << first << " (pixel "
            << first / (4 * whole.channels) << " of a " << whole.width << "-wide image)";
      }
    }
  }
}

// With small input chunks, sections that must wait for an earlier one (this
// file's sections are not in decoding order) were offered again on every
// call, each time running the group loops through the runner: thousands of
// loops where a few hundred sections need a few hundred.
TEST(RenderInvarianceLoopTest, WaitingSectionsDoNotRunLoopsOnEveryCall) {
  const std::vector<uint8_t> file = ReadTestFile(
      std::string(QOV_TESTDATA_DIR) +
      "/files/OxideAV__oxideav-jpegxl__tests__fixtures__progressive_ac_multipass.jxl");
  ASSERT_FALSE(file.empty());
  HookDecodeOptions options;
  options.threads = 1;
  options.chunk = 64;  // about 3000 calls
  const HookDecodeResult r = HookDecode(file, options);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_LT(r.runner_calls, 200u);
}

std::vector<CorpusFile> SelectedFiles() {
  std::vector<CorpusFile> files;
  for (const CorpusFile& f : kFiles) {
#ifdef QOV_INVARIANCE_REDUCED
    if (!f.in_reduced_set) continue;
#endif
    files.push_back(f);
  }
  return files;
}

INSTANTIATE_TEST_SUITE_P(Corpus, RenderInvarianceTest, ::testing::ValuesIn(SelectedFiles()),
                         [](const ::testing::TestParamInfo<CorpusFile>& info) {
                           return std::string(info.param.label);
                         });

}  // namespace
}  // namespace qov
