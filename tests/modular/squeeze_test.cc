// Squeeze: tendency and pair values, default steps, channel lists after the
// channel-list step, undo against a test-side forward transform, malformed
// steps and the channel-count bound.
#include "lib/modular/squeeze.h"

#include <hwy/highway.h>
#include <hwy/tests/hwy_gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "lib/modular/modular_image.h"
#include "lib/modular/transform.h"
#include "tests/modular/forward_transforms_helpers.h"
#include "tests/modular/modular_test_helpers.h"
#include "tests/support/counting_manager.h"

namespace qov {
namespace {

using test::ChannelShape;

SqueezeParams Step(bool horizontal, bool in_place, uint32_t first,
                   uint32_t count) {
  SqueezeParams s;
  s.horizontal = horizontal;
  s.in_place = in_place;
  s.first_channel = first;
  s.channel_count = count;
  return s;
}

TEST(SqueezeTendencyTest, Values) {
  struct Case {
    int64_t b, a, n, want;
  };
  const Case kCases[] = {
      {10, 6, 0, 3},  {0, 6, 10, -3}, {6, 6, 0, 1},   {10, 6, 6, 0},
      {100, 50, 0, 29}, {-10, -6, 0, -3}, {3, 6, 2, 0}, {0, 0, 0, 0},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(SqueezeTendency(c.b, c.a, c.n), c.want)
        << c.b << " " << c.a << " " << c.n;
  }
}

// Pair values: diff = residual + tendency(B, avg, next), first = avg +
// diff / 2 (toward zero), second = first - diff.
TEST(SqueezeUndoTest, PairValues) {
  struct Case {
    int32_t before, avg, residual, next;
    int32_t first, second;
  };
  const Case kCases[] = {
      {10, 6, 0, 0, 7, 4},
      {10, 6, -1, 0, 7, 5},
      {0, 6, 2, 10, 6, 7},  // diff -1: -1 / 2 = 0
  };
  for (const Case& c : kCases) {
    // Vertically: row 0 reconstructs to (before + 0, before) from average
    // `before` and a residual that cancels its tendency toward `avg`;
    // row 1 is the pair under test.
    const int32_t t0 = static_cast<int32_t>(
        SqueezeTendency(c.before, c.before, c.avg));
    // First pair: diff = r0 + t0 = 0 gives (before, before).
    const int32_t avg[3] = {c.before, c.avg, c.next};
    const int32_t res[2] = {-t0, c.residual};
    int32_t out[5] = {};
    SqueezeVerticalStripScalar(avg, 1, res, 1, out, 1, 3, 2, 1);
    EXPECT_EQ(out[1], c.before);
    EXPECT_EQ(out[2], c.first);
    EXPECT_EQ(out[3], c.second);
  }
  // Horizontally at x = 0 the sample before is the average itself, and an
  // odd width ends with the last average.
  const int32_t avg[2] = {6, 0};
  const int32_t res[1] = {0};
  int32_t out[3] = {};
  SqueezeHorizontalRowsScalar(avg, 2, res, 1, out, 3, 2, 1, 1);
  EXPECT_EQ(out[0], 6);  // diff = tendency(6, 6, 0) = 1
  EXPECT_EQ(out[1], 5);
  EXPECT_EQ(out[2], 0);
}


std::vector<SqueezeParams> DefaultSteps(const std::vector<ChannelShape>& shapes,
                                        uint64_t meta = 0) {
  ModularImage image = test::MakeImage(shapes, meta);
  std::vector<SqueezeParams> steps;
  BuildDefaultSqueezeSteps(steps, image);
  return steps;
}

std::string StepsString(const std::vector<SqueezeParams>& steps) {
  std::string s;
  for (const SqueezeParams& p : steps) {
    s += p.horizontal ? "H" : "V";
    s += p.in_place ? "i" : "a";
    s += std::to_string(p.first_channel) + "+" + std::to_string(p.channel_count) + " ";
  }
  return s;
}

TEST(SqueezeDefaultStepsTest, Lists) {
  struct Case {
    std::vector<ChannelShape> shapes;
    uint64_t meta;
    const char* want;
  };
  const Case kCases[] = {
      {{{20, 20}, {20, 20}, {20, 20}}, 0, "Ha1+2 Va1+2 Vi0+3 Hi0+3 Vi0+3 Hi0+3 "},
      {{{100, 10}}, 0, "Hi0+1 Vi0+1 Hi0+1 Hi0+1 Hi0+1 "},
      {{{8, 8}}, 0, ""},
      {{{1, 1000}}, 0, "Vi0+1 Vi0+1 Vi0+1 Vi0+1 Vi0+1 Vi0+1 Vi0+1 "},
      // Chroma channels of another size: no separate pair of steps.
      {{{20, 20}, {10, 10}, {10, 10}}, 0, "Vi0+3 Hi0+3 Vi0+3 Hi0+3 "},
      // Sized from the first channel after the meta channels.
      {{{300, 1, -1, -1}, {9, 4}}, 1, "Hi1+1 "},
      {{{5, 5, -1, -1}}, 1, ""},
      {{}, 0, ""},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(StepsString(DefaultSteps(c.shapes, c.meta)), c.want)
        << test::ShapesString(c.shapes);
  }
}

TEST(SqueezeApplyTest, ChannelListsAfterEachStep) {
  // Default steps on three 20 x 20 channels, and the steps are kept.
  ModularImage image = test::MakeImage({{20, 20}, {20, 20}, {20, 20}});
  Transform t;
  t.kind = TransformKind::Squeeze;
  ASSERT_TRUE(t.ApplyToChannelList(image).ok());
  EXPECT_EQ(t.steps.size(), 6u);
  // Two steps by hand.
  ModularImage one = test::MakeImage({{20, 20}, {20, 20}, {20, 20}});
  std::vector<SqueezeParams> h = {Step(true, false, 1, 2)};
  ASSERT_TRUE(SqueezeApplyToChannelList(one, h).ok());
  std::vector<ChannelShape> after_h = {
      {20, 20}, {10, 20, 1, 0}, {10, 20, 1, 0}, {10, 20, 1, 0}, {10, 20, 1, 0}};
  EXPECT_EQ(test::Shapes(one), after_h) << test::ShapesString(test::Shapes(one));
  EXPECT_EQ(one.channels[3].component, 1);
  EXPECT_EQ(one.channels[4].component, 2);
  std::vector<SqueezeParams> v = {Step(false, true, 0, 2)};
  ASSERT_TRUE(SqueezeApplyToChannelList(one, v).ok());
  std::vector<ChannelShape> after_v = {
      {20, 10, 0, 1}, {10, 10, 1, 1}, {20, 10, 0, 1}, {10, 10, 1, 1},
      {10, 20, 1, 0}, {10, 20, 1, 0}, {10, 20, 1, 0}};
  EXPECT_EQ(test::Shapes(one), after_v) << test::ShapesString(test::Shapes(one));
  EXPECT_EQ(one.channels[2].component, 0);
  EXPECT_EQ(one.channels[3].component, 1);
  for (const ModularChannel& ch : one.channels) {
    EXPECT_EQ(ch.plane.xsize(), ch.width);
    EXPECT_EQ(ch.plane.ysize(), ch.height);
  }
  EXPECT_EQ(one.meta_channel_count, 0u);
}

TEST(SqueezeApplyTest, MetaChannels) {
  // In place over the palette: residuals become meta channels, shift -1
  // stays.
  ModularImage image = test::MakeImage({{9, 3, -1, -1}, {4, 4}}, 1);
  std::vector<SqueezeParams> steps = {Step(true, true, 0, 1)};
  ASSERT_TRUE(SqueezeApplyToChannelList(image, steps).ok());
  const std::vector<ChannelShape> want = {{5, 3, -1, -1}, {4, 3, -1, -1}, {4, 4}};
  EXPECT_EQ(test::Shapes(image), want) << test::ShapesString(test::Shapes(image));
  EXPECT_EQ(image.meta_channel_count, 2u);
}

TEST(SqueezeApplyTest, Failures) {
  struct Case {
    const char* name;
    std::vector<ChannelShape> shapes;
    uint64_t meta;
    SqueezeParams step;
  };
  const Case kCases[] = {
      {"not in place over meta", {{9, 3, -1, -1}, {4, 4}}, 1, Step(true, false, 0, 1)},
      {"reaches past meta", {{9, 3, -1, -1}, {9, 3}}, 1, Step(true, true, 0, 2)},
      {"empty channel", {{0, 4}}, 0, Step(true, true, 0, 1)},
      {"empty height", {{4, 0}}, 0, Step(false, true, 0, 1)},
      {"shift above 30", {{4, 4, 31, 0}}, 0, Step(true, true, 0, 1)},
      {"vshift above 30", {{4, 4, 0, 31}}, 0, Step(true, true, 0, 1)},
      {"past the list", {{4, 4}, {4, 4}}, 0, Step(true, true, 1, 2)},
      {"first past the list", {{4, 4}}, 0, Step(true, true, 1, 1)},
      {"negative first", {{4, 4}}, 0, Step(true, true, 0x80000000u, 1)},
      {"wrapping range", {{4, 4}}, 0, Step(true, true, 0x7FFFFFFFu, 2)},
  };
  for (const Case& c : kCases) {
    ModularImage image = test::MakeImage(c.shapes, c.meta);
    std::vector<SqueezeParams> steps = {c.step};
    EXPECT_TRUE(SqueezeApplyToChannelList(image, steps).failed()) << c.name;
  }
}

// A short header may list 273 squeeze transforms of 296 in-place steps over
// 19 palette-like meta channels (shift -1, which never reaches the shift
// limit): 1.5 million channels, most of them empty, each inserted into the
// list. The channel list stops at its bound and fails.
TEST(SqueezeApplyTest, ChannelCountBound) {
  std::vector<ChannelShape> shapes(19, ChannelShape{1, 1, -1, -1});
  shapes.push_back({1, 1});
  ModularImage image = test::MakeImage(shapes, 19);
  std::vector<SqueezeParams> steps(296, Step(true, true, 0, 19));
  Status status = OkStatus();
  int transforms = 0;
  for (; transforms < 273 && status.ok(); ++transforms) {
    status = SqueezeApplyToChannelList(image, steps);
  }
  EXPECT_TRUE(status.failed());
  EXPECT_EQ(transforms, 1);
  EXPECT_LE(image.channels.size(),
            kSqueezeChannelAllowance + kSqueezeChannelsPerFilledChannel * 20);
  // Ordinary channels stop at the shift limit after 31 steps.
  ModularImage plain = test::MakeImage({{1, 1}});
  std::vector<SqueezeParams> many(32, Step(true, true, 0, 1));
  EXPECT_TRUE(SqueezeApplyToChannelList(plain, many).failed());
  EXPECT_EQ(plain.channels.size(), 32u);
  // A deep default pyramid stays inside: a 512 x 512 image with 37
  // 8x-upsampled extra channels (some residuals empty).
  std::vector<ChannelShape> pyramid(3, ChannelShape{512, 512});
  pyramid.resize(40, ChannelShape{64, 64});
  ModularImage big = test::MakeImage(pyramid);
  std::vector<SqueezeParams> defaults;
  ASSERT_TRUE(SqueezeApplyToChannelList(big, defaults).ok());
  EXPECT_EQ(defaults.size(), 14u);
}

struct RoundTripCase {
  const char* name;
  std::vector<ChannelShape> shapes;
  uint64_t meta;
  std::vector<SqueezeParams> steps;  // empty: defaults
  int32_t lo, hi;
};

void CheckRoundTrip(const RoundTripCase& c, const TaskPool* pool) {
  ModularImage original = test::MakeImage(c.shapes, c.meta);
  for (size_t i = 0; i < c.shapes.size(); ++i) {
    test::FillRandom(original, i, static_cast<uint32_t>(i * 31 + 7), c.lo, c.hi);
  }
  // The decoder's channel-list step gives the shapes the forward makes.
  ModularImage listed = std::move(original.Clone()).value();
  std::vector<SqueezeParams> steps = c.steps;
  ASSERT_TRUE(SqueezeApplyToChannelList(listed, steps).ok()) << c.name;
  std::vector<test::Plain> plain = test::ToPlain(original);
  uint64_t meta = c.meta;
  test::ForwardSqueeze(plain, meta, steps);
  ModularImage coded = test::FromPlain(plain, meta);
  ASSERT_EQ(test::Shapes(coded), test::Shapes(listed))
      << c.name << ": " << test::ShapesString(test::Shapes(listed));
  EXPECT_EQ(listed.meta_channel_count, meta) << c.name;

  ASSERT_TRUE(UndoSqueeze(coded, steps, pool).ok()) << c.name;
  ASSERT_EQ(coded.channels.size(), original.channels.size()) << c.name;
  EXPECT_EQ(coded.meta_channel_count, c.meta) << c.name;
  for (size_t i = 0; i < c.shapes.size(); ++i) {
    EXPECT_EQ(coded.channels[i].width, c.shapes[i].width) << c.name;
    EXPECT_EQ(coded.channels[i].height, c.shapes[i].height) << c.name;
    // Shifts come back too; a palette-like -1 stays -1.
    EXPECT_EQ(coded.channels[i].hshift, c.shapes[i].hshift) << c.name;
    EXPECT_EQ(coded.channels[i].vshift, c.shapes[i].vshift) << c.name;
    EXPECT_EQ(test::Samples(coded, i), test::Samples(original, i))
        << c.name << " channel " << i;
  }
}

const RoundTripCase kRoundTrips[] = {
    {"default 3 x 20x20", {{20, 20}, {20, 20}, {20, 20}}, 0, {}, -255, 255},
    {"default odd 37x23", {{37, 23}, {37, 23}, {37, 23}}, 0, {}, 0, 1023},
    {"default wide 100x10", {{100, 10}}, 0, {}, -3, 3},
    {"default tall 1x1000", {{1, 1000}}, 0, {}, -100000, 100000},
    {"explicit appended", {{7, 5}, {7, 5}}, 0,
     {Step(true, false, 0, 2), Step(false, false, 1, 1), Step(true, true, 0, 1)}, -50, 50},
    {"width 1 leaves empty residuals", {{1, 3}}, 0,
     {Step(true, true, 0, 1), Step(true, true, 0, 1), Step(false, true, 0, 1)}, -9, 9},
    {"over the palette", {{9, 3, -1, -1}, {6, 6}}, 1,
     {Step(true, true, 0, 1), Step(false, true, 2, 1)}, -99, 99},
    {"palette both ways, empty residual", {{1, 3, -1, -1}, {6, 6}}, 1,
     {Step(true, true, 0, 1), Step(false, true, 0, 1)}, -99, 99},
    {"wide rows for tiles", {{130, 21}, {129, 16}}, 0,
     {Step(true, true, 0, 2), Step(true, true, 0, 2), Step(false, true, 0, 2)}, -4000, 4000},
    // Large values: the vector paths fall back to the 64-bit rule.
    {"large values", {{67, 19}}, 0,
     {Step(true, true, 0, 1), Step(false, true, 0, 1), Step(true, true, 0, 1)},
     -(1 << 28), 1 << 28},
};

TEST(SqueezeUndoTest, InvertsForward) {
  for (const RoundTripCase& c : kRoundTrips) CheckRoundTrip(c, nullptr);
}

TEST(SqueezeUndoTest, InvertsForwardOnThreads) {
  test::ThreadedRunner runner;
  const TaskPool pool = runner.pool();
  for (const RoundTripCase& c : kRoundTrips) CheckRoundTrip(c, &pool);
  EXPECT_GT(runner.loops, 0);
}

TEST(SqueezeUndoTest, FailingRunner) {
  test::ThreadedRunner runner;
  runner.fail = true;
  const TaskPool pool = runner.pool();
  ModularImage image = test::MakeImage({{4, 4}, {4, 4}});
  EXPECT_TRUE(UndoHorizontalSqueeze(image, 0, 1, &pool).failed());
  ModularImage tall = test::MakeImage({{4, 4}, {4, 4}});
  EXPECT_TRUE(UndoVerticalSqueeze(tall, 0, 1, &pool).failed());
}

TEST(SqueezeUndoTest, Failures) {
  {
    // A residual of the wrong width fails before the average changes.
    ModularImage image = test::MakeImage({{5, 4}, {3, 4}});
    test::FillRandom(image, 0, 1, -5, 5);
    const std::vector<int32_t> before = test::Samples(image, 0);
    EXPECT_TRUE(UndoSqueeze(image, {Step(true, true, 0, 1)}, nullptr).failed());
    EXPECT_EQ(test::Samples(image, 0), before);
    EXPECT_EQ(image.channels[0].width, 5u);
  }
  {
    // Residual narrower is fine only as ceil/floor of one width.
    ModularImage image = test::MakeImage({{5, 4}, {2, 3}});
    EXPECT_TRUE(UndoSqueeze(image, {Step(true, true, 0, 1)}, nullptr).failed());
  }
  {
    // Residual wider than the average.
    ModularImage image = test::MakeImage({{2, 4}, {3, 4}});
    EXPECT_TRUE(UndoSqueeze(image, {Step(true, true, 0, 1)}, nullptr).failed());
  }
  {
    ModularImage image = test::MakeImage({{2, 4}});
    EXPECT_TRUE(UndoSqueeze(image, {Step(true, true, 0, 1)}, nullptr).failed());
    EXPECT_TRUE(UndoSqueeze(image, {Step(true, false, 0, 2)}, nullptr).failed());
  }
  {
    // Over all meta channels: k >= m.
    ModularImage image = test::MakeImage({{2, 1, -1, -1}, {1, 1, -1, -1}}, 1);
    EXPECT_TRUE(UndoSqueeze(image, {Step(true, true, 0, 1)}, nullptr).failed());
  }
  {
    // An output width of 1 with an empty residual only lowers the shift.
    ModularImage image = test::MakeImage({{1, 2, 1, 0}, {0, 2, 1, 0}});
    image.channels[0].Row(0)[0] = 5;
    ASSERT_TRUE(UndoSqueeze(image, {Step(true, true, 0, 1)}, nullptr).ok());
    ASSERT_EQ(image.channels.size(), 1u);
    EXPECT_EQ(image.channels[0].hshift, 0);
    EXPECT_EQ(image.channels[0].Row(0)[0], 5);
  }
}

// --- Kernels against their scalar references on every target -------------

constexpr int32_t kGuard = 0x3C3C3C3C;
constexpr size_t kGuardSamples = 24;

enum class Values { kSmall, kFull, kOneLargeRow, kNearLimit, kWide };

int32_t Draw(std::mt19937& rng, Values values, size_t row) {
  switch (values) {
    case Values::kSmall:
      return std::uniform_int_distribution<int32_t>(-1000, 1000)(rng);
    case Values::kFull:
      return std::uniform_int_distribution<int32_t>(
          std::numeric_limits<int32_t>::min(),
          std::numeric_limits<int32_t>::max())(rng);
    case Values::kOneLargeRow:
      return row == 5 ? std::uniform_int_distribution<int32_t>(
                            1 << 29, std::numeric_limits<int32_t>::max())(rng)
                      : std::uniform_int_distribution<int32_t>(-50, 50)(rng);
    case Values::kNearLimit:
      // Around the vector paths' limit of 2^27.
      return std::uniform_int_distribution<int32_t>((1 << 27) - 40,
                                                    (1 << 27) + 40)(rng) *
             (row % 2 ? 1 : -1);
    case Values::kWide:
      // Differences up to 2^31: beyond what 32-bit lanes can hold.
      return std::uniform_int_distribution<int32_t>(-(1 << 30), 1 << 30)(rng);
  }
  return 0;
}

struct Buffers {
  size_t avg_stride, res_stride, out_stride;
  std::vector<int32_t> avg, res, ref, got;
};

Buffers MakeBuffers(size_t avg_w, size_t avg_h, size_t res_w, size_t res_h,
                    size_t out_w, size_t out_h, Values values, uint32_t seed) {
  std::mt19937 rng(seed);
  Buffers b;
  b.avg_stride = avg_w + 3;
  b.res_stride = res_w + 5;
  b.out_stride = out_w + kGuardSamples;
  b.avg.assign(b.avg_stride * avg_h + kGuardSamples, kGuard);
  b.res.assign(b.res_stride * res_h + kGuardSamples, kGuard);
  for (size_t y = 0; y < avg_h; ++y) {
    for (size_t x = 0; x < avg_w; ++x) b.avg[y * b.avg_stride + x] = Draw(rng, values, y);
  }
  for (size_t y = 0; y < res_h; ++y) {
    for (size_t x = 0; x < res_w; ++x) b.res[y * b.res_stride + x] = Draw(rng, values, y);
  }
  b.ref.assign(b.out_stride * out_h + kGuardSamples, kGuard);
  b.got = b.ref;
  return b;
}

const Values kAllValues[] = {Values::kSmall, Values::kFull, Values::kOneLargeRow,
                             Values::kNearLimit, Values::kWide};

class SqueezeHorizontalRowsTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(SqueezeHorizontalRowsTest);

TEST_P(SqueezeHorizontalRowsTest, MatchesScalar) {
  const size_t kResWidths[] = {0, 1, 2, 7, 8, 9, 16, 17, 18, 24, 25, 26, 33, 100, 131};
  for (Values values : kAllValues) {
    for (size_t rows = 1; rows <= 8; ++rows) {
      for (size_t res_w : kResWidths) {
        for (size_t odd = 0; odd < 2; ++odd) {
          const size_t avg_w = res_w + odd;
          if (avg_w == 0) continue;
          const size_t out_w = avg_w + res_w;
          Buffers b = MakeBuffers(avg_w, rows, res_w, rows, out_w, rows, values,
                                  static_cast<uint32_t>(rows * 1000 + res_w * 2 + odd));
          SqueezeHorizontalRowsScalar(b.avg.data(), b.avg_stride, b.res.data(),
                                      b.res_stride, b.ref.data(), b.out_stride,
                                      avg_w, res_w, rows);
          SqueezeHorizontalRows(b.avg.data(), b.avg_stride, b.res.data(),
                                b.res_stride, b.got.data(), b.out_stride, avg_w,
                                res_w, rows);
          ASSERT_EQ(b.got, b.ref) << "rows " << rows << " res width " << res_w
                                  << " odd " << odd << " values "
                                  << static_cast<int>(values);
        }
      }
    }
  }
}

class SqueezeVerticalStripTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(SqueezeVerticalStripTest);

TEST_P(SqueezeVerticalStripTest, MatchesScalar) {
  const size_t kColumns[] = {1, 3, 4, 5, 7, 8, 9, 16, 17, 63, 64};
  const size_t kResHeights[] = {1, 2, 3, 8, 13};
  for (Values values : kAllValues) {
    for (size_t columns : kColumns) {
      for (size_t res_h : kResHeights) {
        for (size_t odd = 0; odd < 2; ++odd) {
          const size_t avg_h = res_h + odd;
          Buffers b = MakeBuffers(columns, avg_h, columns, res_h, columns,
                                  avg_h + res_h, values,
                                  static_cast<uint32_t>(columns * 100 + res_h * 2 + odd));
          SqueezeVerticalStripScalar(b.avg.data(), b.avg_stride, b.res.data(),
                                     b.res_stride, b.ref.data(), b.out_stride,
                                     avg_h, res_h, columns);
          SqueezeVerticalStrip(b.avg.data(), b.avg_stride, b.res.data(),
                               b.res_stride, b.got.data(), b.out_stride, avg_h,
                               res_h, columns);
          ASSERT_EQ(b.got, b.ref) << "columns " << columns << " res height "
                                  << res_h << " odd " << odd << " values "
                                  << static_cast<int>(values);
        }
      }
    }
  }
}

}  // namespace
}  // namespace qov
