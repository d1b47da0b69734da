// Every corpus file with a rebuilt JPEG beside it rebuilds to exactly those
// bytes through the public decoder loop (the JPEG output attached through
// the internal hook), however the input is cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/jpeg/jpeg_decode_loop_helpers.h"
#include "tests/jpeg/jpeg_test_helpers.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QOV_JPEG_CORPUS_REDUCED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QOV_JPEG_CORPUS_REDUCED 1
#endif

namespace qov::test {
namespace {

namespace fs = std::filesystem;

std::string FirstDifference(const Bytes& got, const Bytes& want) {
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  return "sizes " + std::to_string(got.size()) + " / " +
         std::to_string(want.size()) + ", first difference at byte " +
         std::to_string(i);
}

class JpegCorpusTest : public ::testing::TestWithParam<uint64_t> {};

TEST_P(JpegCorpusTest, RebuildsTheCorpusJpegExactly) {
  const uint64_t chunk = GetParam();
  const std::vector<std::string> names = FilesWithJpeg();
  ASSERT_EQ(names.size(), 12u) << "corpus not found under " << QOV_TESTDATA_DIR;
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const fs::path dir(QOV_TESTDATA_DIR);
    const Bytes file = ReadTestFile((dir / "files" / name).string());
    const Bytes want = ReadTestFile((dir / "renders" / (name + ".jpg")).string());
#ifdef QOV_JPEG_CORPUS_REDUCED
    // Under the sanitizers only the small files are cut finely.
    if (chunk != 0 && chunk < 2048 && file.size() > 20000) continue;
#endif
    JpegLoopOptions options;
    options.chunk = chunk;
    // Start with too little space: the decoder asks for more and writes the
    // whole file again into the larger space.
    options.output_space = want.size() / 2 + 1;
    const JpegLoopResult r = RunJpegLoop(file, options);
    ASSERT_FALSE(r.events.empty());
    EXPECT_EQ(r.events.front(), QOV_DEC_JPEG_DATA);
    EXPECT_TRUE(r.Saw(QOV_DEC_WANT_JPEG_OUTPUT));
    ASSERT_TRUE(r.Saw(QOV_DEC_IMAGE_DONE));
    EXPECT_EQ(r.Last(), QOV_DEC_OK);
    EXPECT_TRUE(r.jpeg == want) << FirstDifference(r.jpeg, want);
  }
}

INSTANTIATE_TEST_SUITE_P(Chunkings, JpegCorpusTest,
                         ::testing::Values(uint64_t{0}, uint64_t{2048},
                                           uint64_t{7}, uint64_t{1}),
                         [](const ::testing::TestParamInfo<uint64_t>& info) {
                           return info.param == 0
                                      ? std::string("Whole")
                                      : "Chunk" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace qov::test
