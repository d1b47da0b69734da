// Allocation failure along whole decodes to pixels: for every k, a memory
// manager that refuses the k-th allocation and every later one makes the
// decode fail cleanly (QOV_DEC_FAILED, no frame finished with other pixels
// than the unlimited decode's) and, once the decoder is deleted, nothing is
// left allocated. Files: modular, VarDCT, an animation, patches, splines
// and noise, upsampling, a 'jbrd' file rendered to pixels and the same
// rebuilt as JPEG; fed whole and in 7-byte chunks (the decoder then
// allocates while waiting for input). Every k is tried, but for the large
// upsampled file (five frames composited at 2048 x 1152, some 2000
// allocations, a sixth of a second a decode): every k up to 64 (the
// headers and the first frame's set-up), then a stride co-prime to the
// per-group pattern, whole input only.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "qov/qov.h"
#include "tests/api/pixel_decode_helpers.h"
#include "tests/support/counting_manager.h"

namespace qov {
namespace {

struct AllocationCase {
  const char* what;
  const char* name;
  bool sanitized;  // whether the sanitizer build runs it (whole input only)
  // k values tried: every one up to 64, then every stride-th, and the last.
  int stride = 1;
  bool chunked = true;  // also fed in 7-byte chunks
  bool jpeg = false;    // decoded with JPEG output attached
};

const AllocationCase kCases[] = {
    {"modular", "OxideAV__oxideav-jpegxl__tests__fixtures__gradient_64x64_lossless.jxl", true},
    {"VarDCT", "OxideAV__oxideav-jpegxl__tests__fixtures__r444_wave64.jxl", false},
    {"animation", "OxideAV__oxideav-jpegxl__tests__fixtures__animation_3frame.jxl", false},
    {"patches", "OxideAV__oxideav-jpegxl__tests__fixtures__patches_glyphs_256x256.jxl", false},
    {"splines", "OxideAV__oxideav-jpegxl__tests__fixtures__spline_synth_64x64.jxl", true},
    {"noise", "OxideAV__oxideav-jpegxl__tests__fixtures__noise_feature_256x256.jxl", false},
    {"upsampling", "Traneptora__jxlatte__samples__wb-rainbow.jxl", false, 61, false},
    {"jbrd", "OxideAV__oxideav-jpegxl__tests__fixtures__r448_rst444.jxl", true},
    {"jbrd as JPEG", "OxideAV__oxideav-jpegxl__tests__fixtures__r448_rst444.jxl", true, 1,
     true, true},
};

TEST(PixelAllocationFailureTest, EveryRefusedAllocationFailsCleanly) {
  for (const AllocationCase& c : kCases) {
    SCOPED_TRACE(std::string(c.what) + ": " + c.name);
#ifdef QOV_TEST_SANITIZED
    if (!c.sanitized) continue;
#endif
    const Bytes file = ReadSample(c.name);
    ASSERT_FALSE(file.empty());
    for (const size_t chunk : {size_t{0}, size_t{7}}) {
#ifdef QOV_TEST_SANITIZED
      if (chunk != 0) continue;
#endif
      if (chunk != 0 && !c.chunked) continue;
      SCOPED_TRACE("chunk " + std::to_string(chunk));
      PixelDecodeOptions o;
      o.chunk = chunk;
      o.jpeg_output = c.jpeg;
      o.jpeg_space = 256;  // the decoder asks for more and writes it again
      test::CountingManager counting;
      o.manager = &counting.manager;
      const PixelDecodeResult full = DecodePixels(file, o);
      ASSERT_EQ("", full.error);
      ASSERT_EQ(QOV_DEC_OK, full.last);
      ASSERT_EQ(c.jpeg ? 1u : 0u, full.jpeg_frames);
      ASSERT_EQ(0, counting.live);
      const int allocations = counting.allocs;
      ASSERT_GT(allocations, 0);

      for (int k = 0; k <= allocations;
           k = k < allocations ? std::min(k < 64 ? k + 1 : k + c.stride, allocations)
                               : k + 1) {
        test::CountingManager limited;
        limited.refuse_from = k;
        o.manager = &limited.manager;
        const PixelDecodeResult r = DecodePixels(file, o);
        SCOPED_TRACE("allocations refused from the " + std::to_string(k) + "-th on");
        // Creating the decoder allocates too: it may fail first.
        if (r.error == "no decoder") {
          EXPECT_EQ(0, limited.live);
          continue;
        }
        ASSERT_EQ("", r.error);
        EXPECT_EQ(0, limited.live) << "left allocated after the decoder was deleted";
        if (k < allocations) {
          EXPECT_EQ(QOV_DEC_FAILED, r.last);
        } else {
          EXPECT_EQ(QOV_DEC_OK, r.last);
        }
        ASSERT_LE(r.frames.size(), full.frames.size());
        for (size_t f = 0; f < r.frames.size(); ++f) {
          EXPECT_TRUE(r.frames[f] == full.frames[f]) << "frame " << f;
        }
        if (::testing::Test::HasFailure()) return;  // one report per fault
      }
    }
  }
}

// Fresh blocks from the memory manager filled with 0x00 and with 0xFF: a
// decode whose pixels differ reads memory it never wrote. The chroma-
// subsampled VarDCT files once did (their chroma was left unupsampled).
const char* const kFreshMemoryExtraFiles[] = {
    "OxideAV__oxideav-jpegxl__tests__fixtures__r448_grad422.jxl",
    "OxideAV__oxideav-jpegxl__tests__fixtures__r448_edge420.jxl",
};

TEST(PixelAllocationFailureTest, FreshMemoryContentsDoNotShowInPixels) {
  std::vector<std::pair<std::string, bool>> files;  // name, rebuilt as JPEG
  for (const AllocationCase& c : kCases) files.emplace_back(c.name, c.jpeg);
  for (const char* extra : kFreshMemoryExtraFiles) files.emplace_back(extra, false);
  for (const auto& [name, jpeg] : files) {
    SCOPED_TRACE(name + (jpeg ? " as JPEG" : ""));
    const Bytes file = ReadSample(name);
    ASSERT_FALSE(file.empty());
    std::vector<PixelDecodeResult> results;
    for (const int fill : {0x00, 0xFF}) {
      test::CountingManager filling(fill);
      PixelDecodeOptions o;
      o.manager = &filling.manager;
      o.jpeg_output = jpeg;
      results.push_back(DecodePixels(file, o));
      ASSERT_EQ("", results.back().error);
      ASSERT_EQ(QOV_DEC_OK, results.back().last);
    }
    EXPECT_TRUE(results[0].frames == results[1].frames)
        << "the pixels depend on the contents of fresh memory";
  }
}

}  // namespace
}  // namespace qov
