// Zig-zag orders and reading the coded coefficient orders of a pass.
#include "lib/vardct/coefficient_order.h"

#include <algorithm>

#include "lib/base/bits.h"
#include "lib/bitstream/entropy_code.h"
#include "lib/bitstream/permutation.h"
#include "lib/bitstream/symbol_reader.h"

namespace qov {

Status ReserveCoefficientOrders(uint32_t used_kinds, size_t num_passes,
                                ScanOrderStore* store) {
  size_t stride = 0;
  for (size_t k = 0; k < kNumVarBlockKinds; ++k) {
    if ((used_kinds >> k & 1) == 0) continue;
    const size_t bucket = kVarBlockScanBucket[k];
    stride = std::max<size_t>(stride, 64 * kScanOrderOffsets[3 * bucket + 3]);
  }
  store->stride = stride;
  const size_t needed = num_passes * stride;
  if (store->entries.size() < needed) store->entries.resize(needed, 0);
  return OkStatus();
}

void BuildZigzagOrder(VarBlockKind kind, uint32_t* out) {
  const size_t cx = CoveredBlocksX(kind), cy = CoveredBlocksY(kind);
  const size_t s = std::min(cx, cy), l = std::max(cx, cy);
  const size_t ratio = l / s;
  const size_t r = CeilLog2(ratio);
  const size_t n = 8 * l;
  size_t pos = 0;
  for (size_t y = 0; y < s; ++y) {
    for (size_t x = 0; x < l; ++x) out[pos++] = static_cast<uint32_t>(y * n + x);
  }
  for (size_t d = 0; d + 1 < 2 * n; ++d) {
    // Points (x, v) with x + v = d inside the n x n square.
    const size_t lo = d < n ? 0 : d - (n - 1);
    const size_t hi = std::min(d, n - 1);
    for (size_t i = lo; i <= hi; ++i) {
      // Even diagonals run by increasing x, odd ones by increasing v.
      const size_t x = (d & 1) == 0 ? i : d - i;
      const size_t v = d - x;
      if ((v & (ratio - 1)) != 0) continue;
      const size_t y = v >> r;
      if (x < l && y < s) continue;
      out[pos++] = static_cast<uint32_t>(y * n + x);
    }
  }
}

Status ReadScanOrders(const QovMemoryManagerStruct* memory_manager,
                      uint16_t coded_buckets, uint32_t used_kinds,
                      uint32_t* pass_orders, BitReader& reader) {
  EntropyCodeSet codes;
  std::vector<uint8_t> context_map;
  SymbolReader symbols;
  if (coded_buckets != 0) {
    QOV_RETURN_IF_ERROR(ReadEntropyCodeSet(memory_manager, reader,
                                           kPermutationContexts, &codes,
                                           context_map, false));
    QOV_ASSIGN_OR_RETURN(symbols, SymbolReader::Create(codes, reader, 0));
  }
  uint32_t used_buckets = 0;
  for (size_t k = 0; k < kNumVarBlockKinds; ++k) {
    if ((used_kinds >> k & 1) != 0) used_buckets |= 1u << kVarBlockScanBucket[k];
  }
  uint32_t handled = 0;
  std::vector<uint32_t> zigzag;
  for (size_t k = 0; k < kNumVarBlockKinds; ++k) {
    const uint32_t b = kVarBlockScanBucket[k];
    if ((handled >> b & 1) != 0) continue;
    handled |= 1u << b;
    const bool used = (used_buckets >> b & 1) != 0;
    const bool coded = (coded_buckets >> b & 1) != 0;
    if (!used && !coded) continue;
    const VarBlockKind kind = static_cast<VarBlockKind>(k);
    const size_t size = CoefficientCount(kind);
    const size_t corner = CoveredBlocksX(kind) * CoveredBlocksY(kind);
    zigzag.resize(size);
    BuildZigzagOrder(kind, zigzag.data());
    for (size_t c = 0; c < 3; ++c) {
      uint32_t* dest =
          used ? pass_orders + 64 * kScanOrderOffsets[3 * b + c] : nullptr;
      if (coded) {
        QOV_RETURN_IF_ERROR(ReadLehmerPermutation(corner, size, dest, reader,
                                                  symbols, context_map));
        if (dest != nullptr) {
          for (size_t i = 0; i < size; ++i) dest[i] = zigzag[dest[i]];
        }
      } else {
        std::copy(zigzag.begin(), zigzag.end(), dest);
      }
    }
  }
  if (coded_buckets != 0 && !symbols.CheckFinalState()) return FailedStatus();
  return OkStatus();
}

}  // namespace qov
