// Reversible colour transform: the row kernel against its scalar reference
// on every compiled target, hand-computed values, every selector against a
// test-side forward transform, and the channel checks.
#include "lib/modular/rct.h"

#include <hwy/highway.h>
#include <hwy/tests/hwy_gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "gtest/gtest.h"
#include "lib/modular/modular_image.h"
#include "lib/modular/transform.h"
#include "tests/modular/forward_transforms_helpers.h"
#include "tests/modular/modular_test_helpers.h"

namespace qov {
namespace {

constexpr int32_t kGuard = 0x5A5A5A5A;
constexpr size_t kGuardSamples = 16;

class RctUndoRowTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(RctUndoRowTest);

// Separate and aliased outputs, full 32-bit range (sums wrap).
TEST_P(RctUndoRowTest, MatchesScalar) {
  const size_t kWidths[] = {1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 33, 257};
  for (uint32_t kind = 0; kind < 7; ++kind) {
    for (size_t width : kWidths) {
      for (bool aliased : {false, true}) {
        std::mt19937 rng(static_cast<uint32_t>(kind * 1000 + width));
        std::uniform_int_distribution<int32_t> dist(
            std::numeric_limits<int32_t>::min(),
            std::numeric_limits<int32_t>::max());
        std::vector<int32_t> in[3], ref[3], got[3];
        for (int c = 0; c < 3; ++c) {
          in[c].assign(width + kGuardSamples, kGuard);
          for (size_t x = 0; x < width; ++x) in[c][x] = dist(rng);
          ref[c].assign(width + kGuardSamples, kGuard);
          got[c] = aliased ? in[c] : ref[c];
        }
        RctUndoRowScalar(kind, in[0].data(), in[1].data(), in[2].data(),
                         ref[0].data(), ref[1].data(), ref[2].data(), width);
        if (aliased) {
          // Outputs are the inputs in another order, as UndoRct uses them.
          RctUndoRow(kind, got[0].data(), got[1].data(), got[2].data(),
                     got[2].data(), got[0].data(), got[1].data(), width);
          EXPECT_EQ(got[2], ref[0]) << kind << " " << width;
          EXPECT_EQ(got[0], ref[1]) << kind << " " << width;
          EXPECT_EQ(got[1], ref[2]) << kind << " " << width;
        } else {
          RctUndoRow(kind, in[0].data(), in[1].data(), in[2].data(),
                     got[0].data(), got[1].data(), got[2].data(), width);
          for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(got[c], ref[c]) << kind << " " << width << " " << c;
          }
        }
      }
    }
  }
}

struct Pixel {
  int32_t v[3];
};

// Undoes one pixel with the given selector over channels 0..2.
Pixel UndoPixel(uint32_t selector, Pixel in) {
  ModularImage image = test::MakeImage({{1, 1}, {1, 1}, {1, 1}});
  for (int c = 0; c < 3; ++c) test::Fill(image, c, {in.v[c]});
  EXPECT_TRUE(UndoRct(image, 0, selector, nullptr).ok());
  Pixel out;
  for (int c = 0; c < 3; ++c) out.v[c] = image.channels[c].Row(0)[0];
  return out;
}

TEST(UndoRctTest, HandComputedValues) {
  struct Case {
    uint32_t selector;
    Pixel in, out;
  };
  const Case kCases[] = {
      {6, {{10, 4, -6}}, {{15, 7, 11}}},    // YCoCg-R
      {4, {{-1, 10, -2}}, {{-1, 8, -2}}},   // (-3) >> 1 = -2
      {5, {{5, 1, 2}}, {{5, 7, 7}}},
      {1, {{3, 4, 5}}, {{3, 4, 8}}},
      {2, {{3, 4, 5}}, {{3, 7, 5}}},
      {3, {{3, 4, 5}}, {{3, 7, 8}}},
      {7, {{1, 2, 3}}, {{3, 1, 2}}},        // rotation: new b is old b+2
      {3 * 7 + 1, {{3, 4, 5}}, {{3, 8, 4}}}, // in2 + in0 lands in b+1
      {0, {{3, 4, 5}}, {{3, 4, 5}}},
      // Wrapping: INT32_MAX + 1.
      {1, {{1, 0, std::numeric_limits<int32_t>::max()}},
       {{1, 0, std::numeric_limits<int32_t>::min()}}},
  };
  for (const Case& c : kCases) {
    const Pixel got = UndoPixel(c.selector, c.in);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(got.v[i], c.out.v[i]) << "selector " << c.selector << " ch " << i;
    }
  }
}

TEST(UndoRctTest, EverySelectorInvertsForward) {
  const size_t w = 13, h = 5;
  for (uint32_t selector = 0; selector < 42; ++selector) {
    const uint32_t p = selector / 7, k = selector % 7;
    const uint32_t perm[3] = {p % 3, (p + p / 3 + 1) % 3, (p + 2 - p / 3) % 3};
    // One meta channel in front and one channel behind, to see b applied.
    ModularImage original =
        test::MakeImage({{2, 1, -1, -1}, {w, h}, {w, h}, {w, h}, {w, h}}, 1);
    for (int c = 1; c < 5; ++c) test::FillRandom(original, c, selector * 5 + c, -5000, 5000);
    ModularImage coded = std::move(original.Clone()).value();
    for (size_t i = 0; i < w * h; ++i) {
      int64_t out[3], in[3];
      for (int j = 0; j < 3; ++j) {
        out[j] = original.channels[1 + perm[j]].Row(i / w)[i % w];
      }
      test::ForwardRctKind(k, out, in);
      for (int j = 0; j < 3; ++j) {
        coded.channels[1 + j].Row(i / w)[i % w] = static_cast<int32_t>(in[j]);
      }
    }
    ASSERT_TRUE(UndoRct(coded, 1, selector, nullptr).ok());
    for (int c = 0; c < 5; ++c) {
      EXPECT_EQ(test::Samples(coded, c), test::Samples(original, c))
          << "selector " << selector << " channel " << c;
      // A pure permutation moves whole channel records, components too.
      if (k != 0) {
        EXPECT_EQ(coded.channels[c].component, original.channels[c].component)
            << "selector " << selector;
      }
    }
  }
}

TEST(UndoRctTest, ChannelChecksAndEmptyRows) {
  // Selector 0 still checks the channels.
  ModularImage two = test::MakeImage({{2, 2}, {2, 2}});
  EXPECT_TRUE(UndoRct(two, 0, 0, nullptr).failed());
  ModularImage mismatch = test::MakeImage({{2, 2}, {2, 2}, {2, 3}});
  EXPECT_TRUE(UndoRct(mismatch, 0, 6, nullptr).failed());
  ModularImage straddle = test::MakeImage({{2, 2}, {2, 2}, {2, 2}}, 1);
  EXPECT_TRUE(UndoRct(straddle, 0, 6, nullptr).failed());
  ModularImage far = test::MakeImage({{2, 2}, {2, 2}, {2, 2}});
  EXPECT_TRUE(UndoRct(far, 0xFFFFFFFEu, 6, nullptr).failed());
  // Permutation above 5 (not codable, but the undo checks it).
  ModularImage ok = test::MakeImage({{2, 2}, {2, 2}, {2, 2}});
  EXPECT_TRUE(UndoRct(ok, 0, 42, nullptr).failed());
  // Height 0: every kind is a no-op that succeeds.
  for (uint32_t selector : {1u, 6u, 40u}) {
    ModularImage empty = test::MakeImage({{3, 0}, {3, 0}, {3, 0}});
    EXPECT_TRUE(UndoRct(empty, 0, selector, nullptr).ok()) << selector;
  }
}

}  // namespace
}  // namespace qov
