// Reads arbitrary bytes as the frame-global VarDCT records and one small
// group of coefficients, the way a frame's sections do: quantizer
// parameters, block context map, chroma-from-luma factors, the coefficient
// orders of one pass for the kinds named by the first bytes, the pass's AC
// histograms, then a 4 x 4-block group of varblocks. Checks that nothing
// reads or writes out of bounds (under the sanitizers) and that every
// successfully read order is a permutation.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "lib/base/image.h"
#include "lib/base/memory.h"
#include "lib/base/span.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/entropy_code.h"
#include "lib/vardct/block_ctx_map.h"
#include "lib/vardct/block_reader.h"
#include "lib/vardct/chroma_from_luma.h"
#include "lib/vardct/coefficient_order.h"
#include "lib/vardct/dequant_tables.h"
#include "lib/vardct/quantizer.h"

namespace {

using namespace qov;

// A 4 x 4-block layout per selector: only 8x8, or 16x16 squares, or 8x16
// and 16x8 pairs.
VarBlockKind KindAt(uint32_t layout, size_t bx, size_t by, bool* first) {
  switch (layout % 3) {
    case 1:
      *first = bx % 2 == 0 && by % 2 == 0;
      return VarBlockKind::Dct16By16;
    case 2:
      *first = by % 2 == 0;
      return VarBlockKind::Dct8By16;
    default:
      *first = true;
      return VarBlockKind::Dct8By8;
  }
}

bool IsPermutation(const uint32_t* order, size_t size) {
  std::vector<bool> seen(size, false);
  for (size_t i = 0; i < size; ++i) {
    if (order[i] >= size || seen[order[i]]) return false;
    seen[order[i]] = true;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const QovMemoryManagerStruct* mm = HeapMemoryManager();
  const uint32_t layout = data[0];
  const uint32_t extra_kinds = data[1];
  BitReader reader(Span(data + 2, size - 2));

  DequantTableSet set;
  Quantizer quantizer(&set);
  BlockCtxMap map;
  ChromaFromLumaMap cfl;
  if (!quantizer.ReadParams(reader).ok() || !map.Decode(mm, reader).ok() ||
      !cfl.ReadDcFactors(reader).ok()) {
    return 0;
  }

  uint32_t used = 1u << static_cast<uint32_t>(
                      layout % 3 == 0   ? VarBlockKind::Dct8By8
                      : layout % 3 == 1 ? VarBlockKind::Dct16By16
                                        : VarBlockKind::Dct8By16);
  used |= (extra_kinds & 0x3F) << 18;  // some of the large kinds
  ScanOrderStore orders;
  if (!ReserveCoefficientOrders(used, 1, &orders).ok()) std::abort();
  const uint32_t coded = ReadCodedU32(kCodedOrdersCoding, &reader);
  if (!ReadScanOrders(mm, static_cast<uint16_t>(coded), used,
                      orders.PassOrders(0), reader)
           .ok()) {
    return 0;
  }
  for (size_t k = 0; k < kNumVarBlockKinds; ++k) {
    if ((used >> k & 1) == 0) continue;
    const VarBlockKind kind = static_cast<VarBlockKind>(k);
    for (size_t c = 0; c < 3; ++c) {
      const uint32_t* o = orders.PassOrders(0) +
                          64 * kScanOrderOffsets[3 * ScanBucketOf(kind) + c];
      if (!IsPermutation(o, CoefficientCount(kind))) std::abort();
    }
  }

  const size_t contexts = map.num_contexts * kAcContextsPerBlockContext;
  EntropyCodeSet codes;
  std::vector<uint8_t> context_map;
  if (!ReadEntropyCodeSet(mm, reader, contexts, &codes, context_map, false)
           .ok()) {
    return 0;
  }
  context_map.resize(contexts + kAcContextMapPadding, 0);

  constexpr size_t kBlocks = 4;
  auto qf = PlaneI32::Create(mm, kBlocks, kBlocks);
  auto buckets = PlaneU8::Create(mm, kBlocks, kBlocks);
  auto counts = Image3I::Create(mm, 32, 32);
  if (!qf.ok() || !buckets.ok() || !counts.ok()) return 0;
  for (size_t y = 0; y < kBlocks; ++y) {
    for (size_t x = 0; x < kBlocks; ++x) {
      qf->Row(y)[x] = static_cast<int32_t>(1 + (x * 7 + y * 3) % 256);
      buckets->Row(y)[x] =
          static_cast<uint8_t>((x + y) % map.num_dc_contexts);
    }
  }
  const uint32_t shifts[1] = {layout >> 4 & 3};
  BitReader* readers[1] = {&reader};
  BlockSourceParams params;
  params.pass_shifts = shifts;
  params.orders = orders.PassOrders(0);
  params.order_stride = orders.stride;
  params.context_maps = &context_map;
  params.codes = &codes;
  params.readers = readers;
  params.num_passes = 1;
  params.count_images = &counts.value();
  params.block_ctx_map = &map;
  params.raw_quant_field = &qf.value();
  params.dc_buckets = &buckets.value();
  params.xsize = params.ysize = kBlocks;
  if ((layout & 0x40) != 0) {  // 4:2:0 chroma
    params.hshift[0] = params.hshift[2] = 1;
    params.vshift[0] = params.vshift[2] = 1;
  }
  GetBlockFromBitstream source(params);
  if (!source.InitPass(0, 0).ok()) return 0;
  const CoefficientWidth width =
      (layout & 0x80) != 0 ? CoefficientWidth::Bits16 : CoefficientWidth::Bits32;
  std::vector<int32_t> storage32(3 * 256);
  std::vector<int16_t> storage16(3 * 256);
  for (size_t by = 0; by < kBlocks; ++by) {
    source.BeginBlockRow(by);
    for (size_t bx = 0; bx < kBlocks; ++bx) {
      bool first = false;
      const VarBlockKind kind = KindAt(layout, bx, by, &first);
      if (!first) continue;
      if ((layout & 0x40) != 0 && kind != VarBlockKind::Dct8By8) return 0;
      const size_t count = CoefficientCount(kind);
      void* loc[3];
      for (size_t c = 0; c < 3; ++c) {
        loc[c] = width == CoefficientWidth::Bits16
                     ? static_cast<void*>(storage16.data() + c * count)
                     : static_cast<void*>(storage32.data() + c * count);
      }
      if (!source
               .ReadBlock(bx, by, kind, count,
                          kVarBlockLog2Covered[static_cast<size_t>(kind)], loc,
                          width)
               .ok()) {
        return 0;
      }
    }
  }
  source.AllReadersFinal();
  return 0;
}
