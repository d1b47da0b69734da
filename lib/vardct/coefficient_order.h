// Coefficient orders: the default zig-zag of each varblock kind and the
// coded permutations of it, for every pass, in one store per frame.
#ifndef QOV_LIB_VARDCT_COEFFICIENT_ORDER_H_
#define QOV_LIB_VARDCT_COEFFICIENT_ORDER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/vardct/varblock.h"
#include "qov/qov.h"

namespace qov {

// The orders of all passes: pass p's orders start at entry p * stride; in a
// pass, bucket b and channel c (0 X, 1 Y, 2 B) start at entry
// 64 * kScanOrderOffsets[3 b + c]. Only orders of used buckets are meant.
struct ScanOrderStore {
  // Entries per pass. Reset to room for all 39 orders at each frame set-up;
  // ReserveCoefficientOrders narrows it to what the frame's kinds need. The
  // stride is the one per-pass size every reader and writer uses.
  size_t stride = kScanOrderEntriesPerPass;
  std::vector<uint32_t> entries;  // grows, never shrinks

  uint32_t* PassOrders(size_t pass) { return entries.data() + pass * stride; }
  const uint32_t* PassOrders(size_t pass) const {
    return entries.data() + pass * stride;
  }
};

// Sets the stride to the end of the last used bucket's B order (0 for an
// empty mask) and grows the store to num_passes strides (new entries 0).
// Always Ok.
Status ReserveCoefficientOrders(uint32_t used_kinds, size_t num_passes,
                                ScanOrderStore* store);

// Writes the 64 * X * Y entries of the kind's default order: the lowest
// frequency corner first, then the diagonals of the coefficient layout.
void BuildZigzagOrder(VarBlockKind kind, uint32_t* out);

// Fills one pass's orders (`pass_orders` at entry pass * stride of the
// store). Buckets in `coded_buckets` (bit b for bucket b) are read as
// permutations of the zig-zag order; used but uncoded buckets get the
// zig-zag order. A coded bucket that no used kind needs is read and
// dropped. Failed for a bad permutation or a wrong final ANS state; the
// status of the code description otherwise.
Status ReadScanOrders(const QovMemoryManagerStruct* memory_manager,
                      uint16_t coded_buckets, uint32_t used_kinds,
                      uint32_t* pass_orders, BitReader& reader);

// The coding of a pass's coded-bucket set.
inline constexpr U32Coding kCodedOrdersCoding(Val(0x5F), Val(0x13), Val(0),
                                              Bits(13));

}  // namespace qov

#endif  // QOV_LIB_VARDCT_COEFFICIENT_ORDER_H_
