// Varblock kind tables and the varblock map.
#include "lib/vardct/varblock.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "gtest/gtest.h"
#include "lib/base/memory.h"

namespace qov {
namespace {

VarBlockKindMap MakeMap(uint32_t xblocks, uint32_t yblocks) {
  StatusOr<VarBlockKindMap> map = VarBlockKindMap::Create(HeapMemoryManager(), xblocks, yblocks);
  EXPECT_TRUE(map.ok());
  return std::move(map).value();
}

TEST(VarBlockTablesTest, DerivedColumnsAgree) {
  for (size_t k = 0; k < kNumVarBlockKinds; ++k) {
    const auto kind = static_cast<VarBlockKind>(k);
    const size_t x = CoveredBlocksX(kind), y = CoveredBlocksY(kind);
    EXPECT_EQ(size_t{1} << kVarBlockLog2Covered[k], x * y) << k;
    EXPECT_EQ(CoefficientCount(kind), 64 * x * y) << k;
    // The kind's table and order class have its coefficient layout.
    const size_t t = static_cast<size_t>(DequantKindOf(kind));
    EXPECT_EQ(static_cast<size_t>(kDequantTableShortSide[t]), std::min(x, y)) << k;
    EXPECT_EQ(static_cast<size_t>(kDequantTableLongSide[t]), std::max(x, y)) << k;
    const size_t b = ScanBucketOf(kind);
    EXPECT_EQ(kScanOrderOffsets[3 * b + 1] - kScanOrderOffsets[3 * b], x * y) << k;
  }
  // Orders lie bucket after bucket, X then Y then B.
  for (size_t i = 0; i + 1 < 3 * kNumScanOrderBuckets + 1; ++i) {
    EXPECT_LT(kScanOrderOffsets[i], kScanOrderOffsets[i + 1]);
  }
  EXPECT_EQ(kScanOrderOffsets[39] * 64, kScanOrderEntriesPerPass);
  for (size_t t = 0; t < kNumDequantTableKinds; ++t) {
    EXPECT_EQ(kDequantTableStart[t + 1] - kDequantTableStart[t],
              size_t{192} * kDequantTableShortSide[t] * kDequantTableLongSide[t]);
  }
  EXPECT_EQ(kDequantTableStart[kNumDequantTableKinds], kDequantTableBlockFloats);
  // Orientation twins share their classes.
  EXPECT_EQ(ScanBucketOf(VarBlockKind::Dct8By16), 4);
  EXPECT_EQ(ScanBucketOf(VarBlockKind::Dct16By8), 4);
  EXPECT_EQ(DequantKindOf(VarBlockKind::Dct16By8), DequantTableKind::Dct8By16);
}

TEST(VarBlockKindMapTest, CreateMarksEverythingFree) {
  VarBlockKindMap map = MakeMap(5, 3);
  for (size_t y = 0; y < 3; ++y) {
    for (size_t x = 0; x < 5; ++x) EXPECT_EQ(map.Row(y)[x], 0xFF);
  }
  EXPECT_FALSE(VarBlockKindMap::Create(HeapMemoryManager(), uint64_t{1} << 32, 1).ok());
}

TEST(VarBlockKindMapTest, PlacesLargestKind) {
  VarBlockKindMap map = MakeMap(33, 33);
  ASSERT_TRUE(map.PlaceVarblock(0, 0, 24).ok());
  for (size_t y = 0; y < 33; ++y) {
    for (size_t x = 0; x < 33; ++x) {
      const uint8_t want = (x == 32 || y == 32) ? 0xFF : (x == 0 && y == 0) ? 0x31 : 0x30;
      ASSERT_EQ(map.Row(y)[x], want) << x << "," << y;
    }
  }
  EXPECT_EQ(VarBlockKindMap::KindOf(map.Row(0)[0]), VarBlockKind::Dct256By256);
  EXPECT_TRUE(VarBlockKindMap::IsFirst(map.Row(0)[0]));
  EXPECT_FALSE(VarBlockKindMap::IsFirst(map.Row(5)[7]));
}

TEST(VarBlockKindMapTest, SingleBlockKindsWriteOneEntry) {
  for (uint32_t kind : {0u, 1u, 2u, 3u, 12u, 13u, 14u, 15u, 16u, 17u}) {
    VarBlockKindMap map = MakeMap(3, 3);
    ASSERT_TRUE(map.PlaceVarblock(1, 1, kind).ok());
    for (size_t y = 0; y < 3; ++y) {
      for (size_t x = 0; x < 3; ++x) {
        EXPECT_EQ(map.Row(y)[x], (x == 1 && y == 1) ? ((kind << 1) | 1) : 0xFF) << kind;
      }
    }
  }
}

TEST(VarBlockKindMapTest, RefusesOverlaps) {
  VarBlockKindMap map = MakeMap(8, 4);
  ASSERT_TRUE(map.PlaceVarblock(4, 0, 7).ok());  // 16x8 over (4,0),(5,0)
  EXPECT_EQ(map.Row(0)[4], 0x0F);
  EXPECT_EQ(map.Row(0)[5], 0x0E);
  EXPECT_FALSE(map.PlaceVarblock(5, 0, 0).ok());

  VarBlockKindMap map2 = MakeMap(8, 4);
  ASSERT_TRUE(map2.PlaceVarblock(4, 1, 0).ok());
  EXPECT_FALSE(map2.PlaceVarblock(4, 0, 6).ok());  // 8x16 over (4,0),(4,1)
  EXPECT_EQ(map2.Row(0)[4], 0x0D);                 // written before the clash
  EXPECT_EQ(map2.Row(1)[4], 0x01);
}

TEST(VarBlockKindMapTest, RefusesBlocksPastTheEdgeAndBadKinds) {
  struct Case {
    size_t x, y;
    uint32_t kind;
  } cases[] = {{7, 0, 7}, {0, 3, 6}, {8, 0, 0}, {0, 4, 0}, {7, 2, 4},
               {0, 0, 18}, {SIZE_MAX, 0, 0}, {0, SIZE_MAX, 7}, {0, 0, 27}, {0, 0, 255}};
  for (const Case& c : cases) {
    VarBlockKindMap map = MakeMap(8, 4);
    EXPECT_FALSE(map.PlaceVarblock(c.x, c.y, c.kind).ok()) << c.x << "," << c.y;
    for (size_t y = 0; y < 4; ++y) {
      for (size_t x = 0; x < 8; ++x) ASSERT_EQ(map.Row(y)[x], 0xFF);
    }
  }
  VarBlockKindMap map = MakeMap(8, 4);
  // Flush with the far corner is inside.
  EXPECT_TRUE(map.PlaceVarblock(6, 2, 4).ok());
  EXPECT_TRUE(map.PlaceVarblock(5, 3, 0).ok());
}

}  // namespace
}  // namespace qov
