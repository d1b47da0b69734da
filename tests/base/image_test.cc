// Row strides, plane allocation, three-plane images and byte planes.
#include "lib/base/image.h"
#include "tests/support/counting_manager.h"

#include <gtest/gtest.h>

#include <hwy/highway.h>
#include <hwy/tests/test_util-inl.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace qov {
namespace {

using test::CountingManager;

TEST(RowStrideTest, Rule) {
  struct Case {
    uint64_t xsize, sample_size, vector_bytes;
    bool ok;
    uint64_t stride;
  };
  const Case cases[] = {
      {0, 4, 16, true, 0},
      {1, 4, 16, true, 128},
      {1, 1, 16, true, 128},
      {28, 4, 16, true, 128},     // 112 + 12 = 124
      {30, 4, 16, true, 256},     // 120 + 12 = 132
      {509, 4, 16, true, 2176},   // 2048 would be a multiple of 2048
      {509, 4, 32, true, 2176},   // 2036 + 28 = 2064 -> 2176
      {505, 4, 32, true, 2176},   // 2020 + 28 = 2048 -> 2176
      {1021, 2, 16, true, 2176},  // 2042 + 14 = 2056 -> 2176
      {2048, 1, 0, true, 2176},   // no vector room
      {512, 4, 0, true, 2176},
      {100, 4, 2, false, 0},      // vector narrower than a sample
      {1, 4, 192, false, 0},      // alignment not a power of two
      {~uint64_t{0} / 2, 4, 16, false, 0},
      {~uint64_t{0} / 4, 4, 16, false, 0},
  };
  for (const Case& c : cases) {
    const auto stride = ComputeRowStrideFor(c.xsize, c.sample_size, c.vector_bytes);
    ASSERT_EQ(stride.ok(), c.ok) << c.xsize << " " << c.sample_size << " " << c.vector_bytes;
    if (c.ok) {
      EXPECT_EQ(*stride, c.stride) << c.xsize << " " << c.sample_size << " " << c.vector_bytes;
    }
  }
}

// MaxSimdBytes and the stride follow the chosen target.
class MaxSimdBytesTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(MaxSimdBytesTest);

TEST_P(MaxSimdBytesTest, MatchesTarget) {
  const uint64_t expected = GetParam() == HWY_AVX2 ? 32 : 16;
  EXPECT_EQ(MaxSimdBytes(), expected);
  const auto stride = ComputeRowStride(509, 4);
  ASSERT_TRUE(stride.ok());
  EXPECT_EQ(*stride, 2176u);
  for (uint64_t xsize = 1; xsize < 3000; xsize += 7) {
    const auto s = ComputeRowStride(xsize, 4);
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(*s % 128, 0u);
    EXPECT_NE(*s % 2048, 0u);
    EXPECT_GE(*s, xsize * 4 + expected - 4);
  }
}

TEST(PlaneTest, AllocateAndRows) {
  CountingManager cm;
  PlaneF plane(100, 7);
  EXPECT_EQ(plane.bytes_per_row(), 0u);
  EXPECT_FALSE(plane.allocated());
  ASSERT_TRUE(plane.Allocate(&cm.manager).ok());
  EXPECT_TRUE(plane.allocated());
  EXPECT_EQ(plane.sample_size(), 4u);
  EXPECT_EQ(plane.bytes_per_row(), *ComputeRowStride(100, 4));
  EXPECT_EQ(plane.PixelsPerRow() * 4, plane.bytes_per_row());
  for (size_t y = 0; y < 7; ++y) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(plane.Row(y)) % 128, 0u);
    for (size_t x = 0; x < 100; ++x) plane.Row(y)[x] = static_cast<float>(y * 1000 + x);
  }
  EXPECT_EQ(plane.ConstRow(6)[99], 6099.0f);
  // A second allocation fails and keeps the rows.
  EXPECT_TRUE(plane.Allocate(&cm.manager).failed());
  EXPECT_EQ(plane.Row(3)[5], 3005.0f);
  EXPECT_EQ(cm.live, 1);

  ASSERT_TRUE(plane.SetLogicalSize(50, 7).ok());
  EXPECT_EQ(plane.xsize(), 50u);
  EXPECT_EQ(plane.created_xsize(), 100u);
  EXPECT_TRUE(plane.SetLogicalSize(101, 7).failed());
}

TEST(PlaneTest, EmptyPlanesAllocateNothing) {
  CountingManager cm;
  PlaneF no_width(0, 10);
  ASSERT_TRUE(no_width.Allocate(&cm.manager).ok());
  EXPECT_EQ(no_width.bytes_per_row(), 0u);
  PlaneF no_height(10, 0);
  ASSERT_TRUE(no_height.Allocate(&cm.manager).ok());
  EXPECT_GT(no_height.bytes_per_row(), 0u);
  EXPECT_TRUE(no_height.Allocate(&cm.manager).failed());  // stride already set
  EXPECT_EQ(cm.allocs, 0);
}

TEST(PlaneTest, HeadroomIsAddressable) {
  CountingManager cm;
  PlaneF plane(64, 2);
  ASSERT_TRUE(plane.Allocate(&cm.manager, 32).ok());
  const uint8_t* raw = static_cast<const uint8_t*>(plane.storage().raw());
  EXPECT_GE(plane.bytes(), raw + 32 * 4);
  std::memset(plane.Row(0) - 32, 0, 32 * 4);
}

TEST(PlaneTest, FailedAllocationLeavesPlaneUnallocated) {
  CountingManager cm;
  cm.refuse_from = 0;
  PlaneI16 plane(10, 10);
  EXPECT_TRUE(plane.Allocate(&cm.manager).failed());
  EXPECT_FALSE(plane.allocated());
  cm.refuse_from = -1;
  EXPECT_TRUE(plane.Allocate(&cm.manager).ok());
}

TEST(PlaneTest, SwapExchangesStorage) {
  CountingManager cm;
  auto a = PlaneI32::Create(&cm.manager, 5, 3);
  auto b = PlaneI32::Create(&cm.manager, 300, 1);
  ASSERT_TRUE(a.ok() && b.ok());
  a->Row(2)[4] = 42;
  b->Row(0)[299] = 7;
  a->Swap(*b);
  EXPECT_EQ(a->xsize(), 300u);
  EXPECT_EQ(b->ysize(), 3u);
  EXPECT_EQ(a->Row(0)[299], 7);
  EXPECT_EQ(b->Row(2)[4], 42);
}

TEST(Image3Test, CreateAndRelease) {
  CountingManager cm;
  {
    auto image = Image3F::Create(&cm.manager, 33, 17);
    ASSERT_TRUE(image.ok());
    EXPECT_EQ(image->xsize(), 33u);
    EXPECT_EQ(image->ysize(), 17u);
    for (size_t c = 0; c < 3; ++c) {
      image->PlaneRow(c, 16)[32] = static_cast<float>(c);
      EXPECT_EQ(image->Plane(c).bytes_per_row(), image->Plane(0).bytes_per_row());
    }
    EXPECT_EQ(cm.live, 3);
    Image3F moved = std::move(image).value();
    EXPECT_EQ(moved.PlaneRow(2, 16)[32], 2.0f);
  }
  EXPECT_EQ(cm.live, 0);

  auto shorts = Image3S::Create(&cm.manager, 8, 8);
  ASSERT_TRUE(shorts.ok());
  EXPECT_EQ(shorts->Plane(1).sample_size(), 2u);
}

TEST(Image3Test, Refusals) {
  CountingManager cm;
  EXPECT_TRUE(Image3F::Create(&cm.manager, uint64_t{1} << 32, 1).status().failed());
  EXPECT_TRUE(Image3F::Create(&cm.manager, 1, uint64_t{1} << 32).status().failed());
  EXPECT_EQ(cm.allocs, 0);
  // The third plane fails: the first two are released.
  cm.refuse_from = 2;
  EXPECT_TRUE(Image3F::Create(&cm.manager, 4, 4).status().failed());
  EXPECT_EQ(cm.allocs, 2);
  EXPECT_EQ(cm.live, 0);
}

TEST(BytePlaneTest, CreateKeepsRowAddressAndStride) {
  CountingManager cm;
  auto view = CreateBytePlane(&cm.manager, 70, 9);
  ASSERT_TRUE(view.ok());
  EXPECT_EQ(view->first_row, view->plane.Row(0));
  EXPECT_EQ(view->bytes_per_row, view->plane.bytes_per_row());
  view->Row(8)[69] = 200;
  EXPECT_EQ(view->plane.Row(8)[69], 200);
  EXPECT_TRUE(CreateBytePlane(&cm.manager, uint64_t{1} << 32, 1).status().failed());
  auto empty = CreateBytePlane(&cm.manager, 0, 0);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->bytes_per_row, 0u);
}

}  // namespace
}  // namespace qov
