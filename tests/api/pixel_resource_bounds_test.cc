// Resource bounds of decodes to pixels: files of a few hundred bytes (or
// a few kilobytes) that claim a huge image, thousands of extra channels or
// thousands of frames, written with the project's own writers and decoded
// to pixels through the internal hook, fail or finish with what the memory
// manager hands out bounded by what the file can really describe. The
// sections are zero bytes, so a decode that gets as far as the first
// section fails there; what is checked is that nothing before it sizes an
// allocation from the claim.
//
// Feature streams whose every context holds one symbol cost no bits per
// value: a few kilobytes make the decoder read half a million splines, or
// as many control points, without running out of input. That memory is
// the ordinary heap's, so those cases watch the process's peak resident
// set (reset before each decode) and the points sampled along spline
// paths (counted by the decoder).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "lib/base/work_counts.h"
#include "lib/bitstream/frame_header.h"
#include "lib/encode/bit_writer.h"
#include "lib/bitstream/image_metadata.h"
#include "qov/qov.h"
#include "tests/api/decoder_test_helpers.h"
#include "tests/api/pixel_decode_helpers.h"
#include "tests/support/feature_streams.h"
#include "tests/support/resident_memory.h"

namespace qov {
namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;

// A memory manager that tracks the bytes it has out and their peak.
struct PeakManager {
  std::map<void*, uint64_t> blocks;
  uint64_t current = 0;
  uint64_t peak = 0;
  QovMemoryManager manager{this, &Alloc, &Free};

  static void* Alloc(void* opaque, uint64_t size) {
    auto* m = static_cast<PeakManager*>(opaque);
    void* p = std::malloc(size);
    if (p == nullptr) return nullptr;
    m->blocks[p] = size;
    m->current += size;
    m->peak = std::max(m->peak, m->current);
    return p;
  }
  static void Free(void* opaque, void* p) {
    auto* m = static_cast<PeakManager*>(opaque);
    if (p == nullptr) return;
    m->current -= m->blocks.at(p);
    m->blocks.erase(p);
    std::free(p);
  }
};

// A codestream of `frames` modular frames of the image's size, each one
// section of `section_bytes` zero bytes.
Bytes Codestream(CodestreamWriter& w, size_t frames, size_t section_bytes) {
  for (size_t k = 0; k < frames; ++k) {
    FrameHeader h = w.NewFrame();
    h.is_last = k + 1 == frames;
    w.AddFrame(h, Bytes(section_bytes, 0));
  }
  return w.Write();
}

struct Outcome {
  PixelDecodeResult result;
  uint64_t peak = 0;
  uint64_t left = 0;
};

Outcome Decode(const Bytes& file, size_t chunk) {
  PeakManager m;
  PixelDecodeOptions o;
  o.manager = &m.manager;
  o.chunk = chunk;
  o.type = OutputSampleType::kUint8;
  Outcome out;
  out.result = DecodePixels(file, o);
  out.peak = m.peak;
  out.left = m.current;
  return out;
}

TEST(PixelResourceBoundsTest, HugeImageClaimFailsBeforeAllocating) {
  // 2^30 x 2^30, and the largest image a single-section frame can be.
  for (const uint32_t side : {uint32_t{1} << 30, uint32_t{1} << 20}) {
    SCOPED_TRACE("side " + std::to_string(side));
    CodestreamWriter w;
    w.SetSize(side, side);
    const Bytes file = Codestream(w, 1, 100);
    ASSERT_LT(file.size(), 400u);
    for (const size_t chunk : {size_t{0}, size_t{7}}) {
      const Outcome o = Decode(file, chunk);
      // The decoder refuses the frame itself: the harness never saw a
      // request for a buffer of that size.
      EXPECT_EQ("", o.result.error);
      EXPECT_EQ(QOV_DEC_FAILED, o.result.last);
      EXPECT_LT(o.peak, 16 * kMiB);
      EXPECT_EQ(0u, o.left);
    }
  }
}

TEST(PixelResourceBoundsTest, ThousandsOfExtraChannels) {
  CodestreamWriter w;
  w.SetSize(64, 64);
  w.metadata.m.extra_channel_info.resize(4096);
  const Bytes file = Codestream(w, 1, 100);
  const Outcome o = Decode(file, 0);
  EXPECT_EQ("", o.result.error);
  EXPECT_TRUE(o.result.last == QOV_DEC_FAILED || o.result.last == QOV_DEC_OK);
  // 4096 channels of 64 x 64 samples are 64 MiB as 32-bit samples: the
  // decoder may hold them, a few times over at most.
  EXPECT_LT(o.peak, 4 * 64 * kMiB);
  EXPECT_EQ(0u, o.left);
}

TEST(PixelResourceBoundsTest, ThousandsOfFrames) {
  CodestreamWriter w;
  w.SetSize(64, 64);
  const Bytes file = Codestream(w, 5000, 4);
  const Outcome o = Decode(file, 2048);
  EXPECT_EQ("", o.result.error);
  EXPECT_TRUE(o.result.last == QOV_DEC_FAILED || o.result.last == QOV_DEC_OK);
  // One frame at a time: what a 64 x 64 frame needs, not 5000 of them.
  EXPECT_LT(o.peak, 8 * kMiB);
  EXPECT_EQ(0u, o.left);
}

struct HeapOutcome {
  PixelDecodeResult result;
  uint64_t peak_growth = 0;  // peak resident set above what it was before
  uint64_t spline_samples = 0;  // points sampled along spline paths
};

HeapOutcome DecodeWatchingHeap(const Bytes& file) {
  test::ResetPeakResident();
  const uint64_t before = test::PeakResidentBytes();
  // No task runner: the decoder works on this thread only.
  const uint64_t samples_before = WorkDone(Work::kSplineSamples);
  HeapOutcome out;
  PixelDecodeOptions o;
  o.type = OutputSampleType::kUint8;
  out.result = DecodePixels(file, o);
  out.spline_samples = WorkDone(Work::kSplineSamples) - samples_before;
  const uint64_t after = test::PeakResidentBytes();
  out.peak_growth = after > before ? after - before : 0;
  return out;
}

// A single-section modular frame of 1024 x 1024 (group size 1024) whose
// one section starts with the feature stream of `tokens`, then the DC
// steps (all default), then zeros: the features are read and prepared,
// and the modular data after them fails.
Bytes FeatureFrameFile(uint64_t flags, size_t num_contexts, const std::vector<Token>& tokens) {
  BitWriter writer(HeapMemoryManager());
  const bool written =
      feature_test::WriteStreamTo(&writer, num_contexts, tokens).ok() &&
      writer.WithBitBudget(8, LayerType::kHeader, nullptr, [&]() {
        writer.PutBits(1, 1);  // DC steps all default
        writer.ZeroPadToByte();
        return OkStatus();
      }).ok();
  if (!written) return {};
  const Span span = writer.GetSpan();
  Bytes section(span.begin(), span.end());
  section.resize(section.size() + 64, 0);
  CodestreamWriter w;
  w.SetSize(1024, 1024);
  FrameHeader h = w.NewFrame();
  h.flags |= flags;
  h.group_size_shift = 3;
  w.AddFrame(h, section);
  return w.Write();
}

using feature_test::PackSigned;

// Spline streams: contexts 0 quantisation adjustment, 1 starting points,
// 2 count - 1, 3 control points per spline, 4 their differences, 5 the
// coefficients. Each context is given one value, so each is a one-symbol
// code and every read of it costs nothing but the value's raw bits. The
// values are written once in the order the decoder first reads them, then
// a thousand times more each, which keeps the encoder from merging two
// contexts into one code. Only the count and the control points per
// spline may have raw bits (values of 16 and more): the decoder reads
// them first. The raw bits of the copies stay unread; for a count of
// 2^19 - 1 they are all ones, so the bit after the stream reads as DC
// steps all default and the splines are prepared too.
std::vector<Token> OneValuePerContext(uint32_t count_minus_one, uint32_t points,
                                      uint32_t difference, uint32_t coefficient) {
  std::vector<Token> tokens = {Token(2, count_minus_one), Token(1, 0), Token(1, 0),
                               Token(0, 0), Token(3, points), Token(4, difference),
                               Token(5, coefficient)};
  const size_t first = tokens.size();
  for (int k = 0; k < 1000; ++k) {
    for (size_t i = 0; i < first; ++i) tokens.push_back(tokens[i]);
  }
  return tokens;
}

// One spline from (0, 10) with `points` control points alternately at
// x = 8,000,000 and x = 0 on row 10, a zero width series and Y 7.
std::vector<Token> ZigzagSpline(int points) {
  std::vector<Token> t = {Token(2, 0), Token(1, 0), Token(1, 10), Token(0, 0),
                          Token(3, static_cast<uint32_t>(points))};
  int64_t previous = 0;
  for (int k = 0; k < points; ++k) {
    const int64_t step = k % 2 == 0 ? 8000000 : -8000000;
    t.emplace_back(4, PackSigned(step - previous));
    t.emplace_back(4, 0);
    previous = step;
  }
  for (int series = 0; series < 4; ++series) {
    for (int i = 0; i < 32; ++i) t.emplace_back(5, series == 1 && i == 0 ? PackSigned(7) : 0);
  }
  return t;
}

TEST(PixelResourceBoundsTest, SplineClaimsStayBounded) {
  // A 1024 x 1024 frame allows 2^19 splines and control points in all.
  constexpr uint64_t kArea = 1024 * 1024;
  constexpr uint32_t kMax = uint32_t{1} << 19;
  struct Case {
    const char* what;
    std::vector<Token> tokens;
    // Whether the stream really holds its splines (the decoder then keeps
    // them, 536 bytes each); a claim it cannot hold fails before that.
    bool held;
  };
  const Case cases[] = {
      // 2^19 splines at one point, no control points, zero series: all
      // decode, none draws anything.
      {"the most splines, all empty", OneValuePerContext(kMax - 1, 0, 0, 0), true},
      // The same with every coefficient 7: each spline is a dot of sigma
      // 1.6 at (0, 0).
      {"the most splines, all dots", OneValuePerContext(kMax - 1, 0, 0, PackSigned(7)), true},
      // One spline with the most control points, every second difference
      // (1, 1): the path leaves the coordinate range.
      {"one spline, the most control points",
       OneValuePerContext(0, kMax - 1, PackSigned(1), 0), false},
      // One spline claiming more control points than allowed.
      {"one spline, too many control points", OneValuePerContext(0, kMax, 0, 0), false},
      // More splines than allowed.
      {"too many splines", OneValuePerContext(kMax, 0, 0, 0), false},
      // 2^19 - 1 splines of one control point each: the second spline
      // takes the total of points past 2^19. The decoder once sized the
      // list of splines from the count first (272 MiB here).
      {"too many control points in all", OneValuePerContext(kMax - 2, 1, PackSigned(1), 0),
       false},
      // One spline zigzagging between x = 0 and 8,000,000 along row 10,
      // width series zero: nothing is drawn, but every unit of its path
      // was sampled (seven seconds) before the path-length bound.
      {"a long path drawing nothing", ZigzagSpline(5), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes file = FeatureFrameFile(FrameFlags::kSplines, 6, c.tokens);
    ASSERT_FALSE(file.empty());
    ASSERT_LT(file.size(), 4096u);
    const HeapOutcome o = DecodeWatchingHeap(file);
    EXPECT_EQ("", o.result.error);
    EXPECT_TRUE(o.result.last == QOV_DEC_FAILED || o.result.last == QOV_DEC_OK);
    // Held splines: 536 bytes each and nothing of their size besides (their
    // curves are made one at a time).
    const uint64_t bound = (c.held ? uint64_t{600} * kMax : 0) + 64 * kMiB +
                           test::SanitizerResidentSlack();
    EXPECT_LT(o.peak_growth, bound);
    // The decoder's own limit: control polygons 16 W H + 2^20 long in all,
    // sampled at unit steps, and an end point per spline.
    EXPECT_LE(o.spline_samples, 16 * kArea + (uint64_t{1} << 20) + kMax);
  }
}

}  // namespace
}  // namespace qov
