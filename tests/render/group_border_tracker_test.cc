// Border tracking: every sample of a frame is returned exactly once,
// whatever order (or thread) the groups finish in.
#include "lib/render/group_border_tracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

namespace qov {
namespace {

FrameGeometry Geometry(uint64_t xsize, uint64_t ysize, uint64_t group_dim = 128,
                       uint64_t block_align = 1) {
  FrameGeometry g;
  g.xsize = xsize;
  g.ysize = ysize;
  g.xsize_upsampled = xsize;
  g.ysize_upsampled = ysize;
  g.xsize_blocks = (xsize + 8 * block_align - 1) / (8 * block_align) * block_align;
  g.ysize_blocks = (ysize + 8 * block_align - 1) / (8 * block_align) * block_align;
  g.xsize_padded = g.xsize_blocks * 8;
  g.ysize_padded = g.ysize_blocks * 8;
  g.xsize_upsampled_padded = g.xsize_padded;
  g.ysize_upsampled_padded = g.ysize_padded;
  g.group_dim = group_dim;
  g.xsize_groups = (xsize + group_dim - 1) / group_dim;
  g.ysize_groups = (ysize + group_dim - 1) / group_dim;
  g.num_groups = g.xsize_groups * g.ysize_groups;
  return g;
}

// Counts how often each sample is returned.
struct Coverage {
  Coverage(uint64_t w, uint64_t h) : w(w), h(h), count(w * h, 0) {}
  void Add(const PixelRect& r) {
    ASSERT_LE(r.x0 + r.xsize, w);
    ASSERT_LE(r.y0 + r.ysize, h);
    for (uint64_t y = r.y0; y < r.y0 + r.ysize; ++y) {
      for (uint64_t x = r.x0; x < r.x0 + r.xsize; ++x) ++count[y * w + x];
    }
  }
  bool ExactlyOnce() const {
    return std::all_of(count.begin(), count.end(), [](int c) { return c == 1; });
  }
  uint64_t w, h;
  std::vector<int> count;
};

std::vector<uint64_t> Order(uint64_t n, int kind, uint32_t seed) {
  std::vector<uint64_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  if (kind == 1) std::reverse(order.begin(), order.end());
  if (kind == 2) std::shuffle(order.begin(), order.end(), std::mt19937(seed));
  return order;
}

TEST(GroupBorderTrackerTest, InitSetsOutsideBits) {
  GroupBorderTracker t;
  t.Init(Geometry(300, 200));  // 3 x 2 groups
  EXPECT_EQ(t.CornerBits(0, 0), 1u | 2u | 8u);
  EXPECT_EQ(t.CornerBits(1, 0), 3u);
  EXPECT_EQ(t.CornerBits(3, 0), 1u | 2u | 4u);
  EXPECT_EQ(t.CornerBits(1, 1), 0u);
  EXPECT_EQ(t.CornerBits(0, 1), 9u);
  EXPECT_EQ(t.CornerBits(3, 1), 6u);
  EXPECT_EQ(t.CornerBits(2, 2), 12u);
  EXPECT_EQ(t.CornerBits(0, 2), 13u);  // group (0, 1) is real
  EXPECT_EQ(t.CornerBits(3, 2), 14u);
}

TEST(GroupBorderTrackerTest, OneGroupIsOneRectangle) {
  GroupBorderTracker t;
  t.Init(Geometry(100, 37));
  PixelRect r[3];
  uint64_t n = 9;
  t.MarkDone(0, 16, 8, r, &n);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(r[0].x0, 0u);
  EXPECT_EQ(r[0].y0, 0u);
  EXPECT_EQ(r[0].xsize, 100u);
  EXPECT_EQ(r[0].ysize, 37u);
}

TEST(GroupBorderTrackerTest, TwoGroupsSideBySide) {
  GroupBorderTracker t;
  t.Init(Geometry(200, 50));
  PixelRect r[3];
  uint64_t n = 0;
  t.MarkDone(0, 16, 16, r, &n);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(r[0].x0, 0u);
  EXPECT_EQ(r[0].xsize, 112u);
  EXPECT_EQ(r[0].ysize, 50u);
  t.MarkDone(1, 16, 16, r, &n);
  ASSERT_EQ(n, 1u);
  EXPECT_EQ(r[0].x0, 112u);
  EXPECT_EQ(r[0].xsize, 88u);
  EXPECT_EQ(r[0].ysize, 50u);
}

// The area around a shared corner goes to whichever group finishes fourth.
TEST(GroupBorderTrackerTest, SharedCornerGoesToLastGroup) {
  std::vector<uint64_t> order = {0, 1, 2, 3};
  do {
    GroupBorderTracker t;
    t.Init(Geometry(256, 256));
    for (size_t k = 0; k < order.size(); ++k) {
      PixelRect r[3];
      uint64_t n = 0;
      t.MarkDone(order[k], 16, 16, r, &n);
      bool has_corner = false;
      for (uint64_t i = 0; i < n; ++i) {
        if (r[i].x0 <= 120 && r[i].x0 + r[i].xsize >= 136 && r[i].y0 <= 120 &&
            r[i].y0 + r[i].ysize >= 136) {
          has_corner = true;
        }
      }
      EXPECT_EQ(has_corner, k == 3);
    }
  } while (std::next_permutation(order.begin(), order.end()));
}

// Frame sizes x group sizes x pads x orders: every sample exactly once, at
// most three rectangles per group; partial last groups return nothing
// beyond the frame.
TEST(GroupBorderTrackerTest, CoversFrameExactlyOnce) {
  struct Case {
    uint64_t w, h, dim, padx, pady, block_align;
  };
  const Case cases[] = {
      {1, 1, 128, 16, 0, 1},     {255, 255, 128, 16, 3, 1},
      {256, 256, 128, 16, 16, 1}, {257, 129, 128, 32, 5, 1},
      {600, 390, 128, 16, 7, 2}, {1030, 300, 256, 16, 2, 1},
      {400, 1100, 128, 48, 40, 1}, {129, 700, 128, 16, 1, 2},
  };
  for (const Case& c : cases) {
    const FrameGeometry g = Geometry(c.w, c.h, c.dim, c.block_align);
    for (int kind = 0; kind < 3; ++kind) {
      for (uint32_t seed = 0; seed < (kind == 2 ? 5u : 1u); ++seed) {
        GroupBorderTracker t;
        t.Init(g);
        Coverage cov(c.w, c.h);
        for (uint64_t group : Order(g.num_groups, kind, seed)) {
          PixelRect r[3];
          uint64_t n = 0;
          t.MarkDone(group, c.padx, c.pady, r, &n);
          ASSERT_LE(n, 3u);
          for (uint64_t i = 0; i < n; ++i) cov.Add(r[i]);
        }
        EXPECT_TRUE(cov.ExactlyOnce())
            << c.w << "x" << c.h << " dim " << c.dim << " order " << kind
            << " seed " << seed;
      }
    }
  }
}

// After Clear, a group's next MarkDone returns its interior and every band
// whose other groups are finished: the area it covers is all it touches.
TEST(GroupBorderTrackerTest, ClearThenMarkDoneReturnsEverythingAgain) {
  const FrameGeometry g = Geometry(384, 384);  // 3 x 3 groups
  GroupBorderTracker t;
  t.Init(g);
  PixelRect r[3];
  uint64_t n = 0;
  for (uint64_t group = 0; group < 9; ++group) t.MarkDone(group, 16, 16, r, &n);
  t.Clear(4);
  EXPECT_EQ(t.CornerBits(1, 1) & 4u, 0u);
  EXPECT_EQ(t.CornerBits(2, 2) & 1u, 0u);
  t.MarkDone(4, 16, 16, r, &n);
  Coverage cov(384, 384);
  for (uint64_t i = 0; i < n; ++i) cov.Add(r[i]);
  for (uint64_t y = 0; y < 384; ++y) {
    for (uint64_t x = 0; x < 384; ++x) {
      const bool inside = x >= 112 && x < 272 && y >= 112 && y < 272;
      ASSERT_EQ(cov.count[y * 384 + x], inside ? 1 : 0) << x << "," << y;
    }
  }
}

TEST(GroupBorderTrackerTest, OutOfRangeGroupReturnsNothing) {
  GroupBorderTracker t;
  t.Init(Geometry(300, 300));
  PixelRect r[3];
  uint64_t n = 7;
  t.MarkDone(9, 16, 16, r, &n);
  EXPECT_EQ(n, 0u);
  t.Clear(9);  // no effect, no crash
}

// Groups finishing concurrently still cover every sample once.
TEST(GroupBorderTrackerParallelTest, CoversFrameExactlyOnce) {
  const FrameGeometry g = Geometry(2049, 1500);
  for (uint32_t seed = 0; seed < 4; ++seed) {
    GroupBorderTracker t;
    t.Init(g);
    const std::vector<uint64_t> order = Order(g.num_groups, 2, seed);
    constexpr int kThreads = 4;
    std::vector<std::vector<PixelRect>> found(kThreads);
    std::vector<std::thread> threads;
    for (int th = 0; th < kThreads; ++th) {
      threads.emplace_back([&, th] {
        for (size_t k = th; k < order.size(); k += kThreads) {
          PixelRect r[3];
          uint64_t n = 0;
          t.MarkDone(order[k], 16, 16, r, &n);
          found[th].insert(found[th].end(), r, r + n);
        }
      });
    }
    for (auto& th : threads) th.join();
    Coverage cov(g.xsize, g.ysize);
    for (const auto& list : found) {
      for (const PixelRect& r : list) cov.Add(r);
    }
    EXPECT_TRUE(cov.ExactlyOnce()) << seed;
  }
}

}  // namespace
}  // namespace qov
