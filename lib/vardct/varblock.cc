// The varblock map: creation and varblock placement.
#include "lib/vardct/varblock.h"

#include <cstring>
#include <utility>

namespace qov {

StatusOr<VarBlockKindMap> VarBlockKindMap::Create(
    const QovMemoryManagerStruct* manager, uint64_t xblocks, uint64_t yblocks) {
  if (xblocks > UINT32_MAX || yblocks > UINT32_MAX) return FailedStatus();
  VarBlockKindMap map(static_cast<uint32_t>(xblocks),
                      static_cast<uint32_t>(yblocks));
  QOV_RETURN_IF_ERROR(map.Allocate(manager, 0));
  map.Clear();
  return StatusOr<VarBlockKindMap>(std::move(map));
}

void VarBlockKindMap::Clear() {
  for (size_t y = 0; y < ysize(); ++y) {
    std::memset(Row(y), kFree, xsize());
  }
}

Status VarBlockKindMap::PlaceVarblock(PlaneU8& map, size_t x, size_t y,
                                      uint32_t kind) {
  if (kind >= kNumVarBlockKinds) return FailedStatus();
  const size_t cx = kVarBlockCoveredX[kind];
  const size_t cy = kVarBlockCoveredY[kind];
  // Callers check placement too; a varblock past the edge must still never
  // write outside the plane.
  const size_t xsize = map.xsize(), ysize = map.ysize();
  if (x > xsize || cx > xsize - x || y > ysize || cy > ysize - y) {
    return FailedStatus();
  }
  const uint8_t entry = static_cast<uint8_t>(kind << 1);
  for (size_t i = 0; i < cy; ++i) {
    uint8_t* row = map.Row(y + i) + x;
    for (size_t j = 0; j < cx; ++j) {
      if (row[j] != kFree) return FailedStatus();
      row[j] = (i == 0 && j == 0) ? static_cast<uint8_t>(entry | 1) : entry;
    }
  }
  return OkStatus();
}

}  // namespace qov
