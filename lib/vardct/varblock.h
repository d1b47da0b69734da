// Varblock kinds with their per-kind constant tables, and the per-frame map
// of which varblock covers each 8x8 block.
#ifndef QOV_LIB_VARDCT_VARBLOCK_H_
#define QOV_LIB_VARDCT_VARBLOCK_H_

#include <cstddef>
#include <cstdint>

#include "lib/base/image.h"
#include "lib/base/status.h"
#include "qov/qov.h"

namespace qov {

// The 27 transforms; names give width x height in pixels. The value order is
// the order of every per-kind table and of the inverse-transform dispatch.
enum class VarBlockKind : uint8_t {
  Dct8By8 = 0,
  IdentityGrid = 1,
  Dct2Grid = 2,
  Dct4Grid = 3,
  Dct16By16 = 4,
  Dct32By32 = 5,
  Dct8By16 = 6,
  Dct16By8 = 7,
  Dct8By32 = 8,
  Dct32By8 = 9,
  Dct16By32 = 10,
  Dct32By16 = 11,
  Dct8By4Halves = 12,
  Dct4By8Halves = 13,
  CornerAdaptive0 = 14,
  CornerAdaptive1 = 15,
  CornerAdaptive2 = 16,
  CornerAdaptive3 = 17,
  Dct64By64 = 18,
  Dct32By64 = 19,
  Dct64By32 = 20,
  Dct128By128 = 21,
  Dct64By128 = 22,
  Dct128By64 = 23,
  Dct256By256 = 24,
  Dct128By256 = 25,
  Dct256By128 = 26,
};
inline constexpr size_t kNumVarBlockKinds = 27;

// One dequantisation table (three channels) per value; orientation twins and
// the four corner-adaptive kinds share one.
enum class DequantTableKind : uint8_t {
  Dct8By8 = 0,
  IdentityGrid = 1,
  Dct2Grid = 2,
  Dct4Grid = 3,
  Dct16By16 = 4,
  Dct32By32 = 5,
  Dct8By16 = 6,
  Dct8By32 = 7,
  Dct16By32 = 8,
  DctHalves = 9,
  CornerAdaptive = 10,
  Dct64By64 = 11,
  Dct32By64 = 12,
  Dct128By128 = 13,
  Dct64By128 = 14,
  Dct256By256 = 15,
  Dct128By256 = 16,
};
inline constexpr size_t kNumDequantTableKinds = 17;

// Coefficient-order class 0-12: kinds with the same coefficient layout share
// one order per channel and pass.
using ScanOrderBucket = uint8_t;
inline constexpr size_t kNumScanOrderBuckets = 13;

// Per kind: blocks across, blocks down, log2 of the covered block count.
inline constexpr uint8_t kVarBlockCoveredX[kNumVarBlockKinds] = {
    1, 1, 1, 1, 2, 4, 1, 2, 1, 4, 2, 4, 1, 1, 1, 1, 1, 1, 8, 4, 8, 16, 8, 16, 32, 16, 32};
inline constexpr uint8_t kVarBlockCoveredY[kNumVarBlockKinds] = {
    1, 1, 1, 1, 2, 4, 2, 1, 4, 1, 4, 2, 1, 1, 1, 1, 1, 1, 8, 8, 4, 16, 16, 8, 32, 32, 16};
inline constexpr uint8_t kVarBlockLog2Covered[kNumVarBlockKinds] = {
    0, 0, 0, 0, 2, 4, 1, 1, 2, 2, 3, 3, 0, 0, 0, 0, 0, 0, 6, 5, 5, 8, 7, 7, 10, 9, 9};
// Per kind: its coefficient-order class.
inline constexpr ScanOrderBucket kVarBlockScanBucket[kNumVarBlockKinds] = {
    0, 1, 1, 1, 2, 3, 4, 4, 5, 5, 6, 6, 1, 1, 1, 1, 1, 1, 7, 8, 8, 9, 10, 10, 11, 12, 12};
// Per kind: its dequantisation table.
inline constexpr DequantTableKind kVarBlockDequantKind[kNumVarBlockKinds] = {
    DequantTableKind::Dct8By8,        DequantTableKind::IdentityGrid,
    DequantTableKind::Dct2Grid,       DequantTableKind::Dct4Grid,
    DequantTableKind::Dct16By16,      DequantTableKind::Dct32By32,
    DequantTableKind::Dct8By16,       DequantTableKind::Dct8By16,
    DequantTableKind::Dct8By32,       DequantTableKind::Dct8By32,
    DequantTableKind::Dct16By32,      DequantTableKind::Dct16By32,
    DequantTableKind::DctHalves,      DequantTableKind::DctHalves,
    DequantTableKind::CornerAdaptive, DequantTableKind::CornerAdaptive,
    DequantTableKind::CornerAdaptive, DequantTableKind::CornerAdaptive,
    DequantTableKind::Dct64By64,      DequantTableKind::Dct32By64,
    DequantTableKind::Dct32By64,      DequantTableKind::Dct128By128,
    DequantTableKind::Dct64By128,     DequantTableKind::Dct64By128,
    DequantTableKind::Dct256By256,    DequantTableKind::Dct128By256,
    DequantTableKind::Dct128By256};

// Start of each coefficient order in a pass's order storage, in units of 64
// entries: entry 3 * bucket + channel (X, Y, B); entry 39 is the end.
inline constexpr uint64_t kScanOrderOffsets[3 * kNumScanOrderBuckets + 1] = {
    0,    1,    2,    3,    4,    5,    6,    10,   14,   18,
    34,   50,   66,   68,   70,   72,   76,   80,   84,   92,
    100,  108,  172,  236,  300,  332,  364,  396,  652,  908,
    1164, 1292, 1420, 1548, 2572, 3596, 4620, 5132, 5644, 6156};
// Entries of all orders of one pass (6156 units of 64).
inline constexpr uint64_t kScanOrderEntriesPerPass = 6156 * 64;

// Per table kind: its short and long side in blocks. A channel table has
// 8 * short rows of 8 * long columns.
inline constexpr int32_t kDequantTableShortSide[kNumDequantTableKinds] = {
    1, 1, 1, 1, 2, 4, 1, 1, 2, 1, 1, 8, 4, 16, 8, 32, 16};
inline constexpr int32_t kDequantTableLongSide[kNumDequantTableKinds] = {
    1, 1, 1, 1, 2, 4, 2, 4, 4, 1, 1, 8, 8, 16, 16, 32, 32};
// Per table kind: start of its X table in the table block, in floats; the Y
// and B tables follow at 64 * short * long and 128 * short * long. Entry 17
// is the size of the whole block.
inline constexpr size_t kDequantTableStart[kNumDequantTableKinds + 1] = {
    0,    192,   384,   576,   768,   1536,  4608,   4992,   5760,
    7296, 7488,  7680,  19968, 26112, 75264, 99840, 296448, 394752};
inline constexpr size_t kDequantTableBlockFloats = 394752;

inline constexpr size_t CoveredBlocksX(VarBlockKind kind) {
  return kVarBlockCoveredX[static_cast<size_t>(kind)];
}
inline constexpr size_t CoveredBlocksY(VarBlockKind kind) {
  return kVarBlockCoveredY[static_cast<size_t>(kind)];
}
// Coefficients of one channel of the kind: 64 * X * Y.
inline constexpr size_t CoefficientCount(VarBlockKind kind) {
  return size_t{64} << kVarBlockLog2Covered[static_cast<size_t>(kind)];
}
inline constexpr ScanOrderBucket ScanBucketOf(VarBlockKind kind) {
  return kVarBlockScanBucket[static_cast<size_t>(kind)];
}
inline constexpr DequantTableKind DequantKindOf(VarBlockKind kind) {
  return kVarBlockDequantKind[static_cast<size_t>(kind)];
}

// Per 8x8 block of the frame: 0xFF while free, else (kind << 1) | first, with
// first set on the varblock's top-left block only.
class VarBlockKindMap : public SamplePlane<uint8_t> {
 public:
  static constexpr uint8_t kFree = 0xFF;

  VarBlockKindMap() = default;
  VarBlockKindMap(uint32_t xblocks, uint32_t yblocks)
      : SamplePlane<uint8_t>(xblocks, yblocks) {}

  // A map of xblocks by yblocks entries, all free. Failed when a count does
  // not fit in 32 bits or the allocation fails.
  static StatusOr<VarBlockKindMap> Create(const QovMemoryManagerStruct* manager,
                                          uint64_t xblocks, uint64_t yblocks);

  // Marks every entry free.
  void Clear();

  // Writes the entries of a varblock of `kind` whose top-left block is at
  // block column x, row y. Failed when kind > 26, when the varblock does not
  // lie wholly inside the map (nothing written), or at the first entry that
  // is already set; entries written before it, row by row, stay written.
  Status PlaceVarblock(size_t x, size_t y, uint32_t kind) {
    return PlaceVarblock(*this, x, y, kind);
  }
  // The same on any byte plane laid out as this map (the frame's map).
  static Status PlaceVarblock(PlaneU8& map, size_t x, size_t y, uint32_t kind);

  static bool IsFree(uint8_t entry) { return entry == kFree; }
  static VarBlockKind KindOf(uint8_t entry) {
    return static_cast<VarBlockKind>(entry >> 1);
  }
  static bool IsFirst(uint8_t entry) { return (entry & 1) != 0; }
};

}  // namespace qov

#endif  // QOV_LIB_VARDCT_VARBLOCK_H_
