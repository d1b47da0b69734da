// Reading the block context map.
#include "lib/vardct/block_ctx_map.h"

#include "lib/base/bits.h"
#include "lib/bitstream/entropy_code.h"

namespace qov {
namespace {

constexpr uint8_t kDefaultCtxMap[kBlockCtxEntriesPerBucket] = {
    0, 1, 2, 2, 3,  3,  4,  5,  6,  6,  6,  6,  6,   // Y
    7, 8, 9, 9, 10, 11, 12, 13, 14, 14, 14, 14, 14,  // X
    7, 8, 9, 9, 10, 11, 12, 13, 14, 14, 14, 14, 14,  // B
};

constexpr U32Coding kDcThresholdCoding(Bits(4), BitsOffset(8, 16),
                                       BitsOffset(16, 272),
                                       BitsOffset(32, 65808));
constexpr U32Coding kQfThresholdCoding(Bits(2), BitsOffset(3, 4),
                                       BitsOffset(5, 12), BitsOffset(8, 44));

}  // namespace

BlockCtxMap::BlockCtxMap()
    : ctx_map(std::begin(kDefaultCtxMap), std::end(kDefaultCtxMap)) {}

Status BlockCtxMap::Decode(const QovMemoryManagerStruct* memory_manager,
                           BitReader& reader) {
  if (reader.Read(1) == 1) {
    *this = BlockCtxMap();
    return OkStatus();
  }
  num_dc_contexts = 1;
  for (std::vector<int32_t>& list : dc_thresholds) {
    const size_t n = static_cast<size_t>(reader.Read(4));
    list.resize(n);
    num_dc_contexts *= n + 1;
    for (int32_t& t : list) {
      const uint32_t u = ReadCodedU32(kDcThresholdCoding, &reader);
      t = UnpackSigned(u);
    }
  }
  qf_thresholds.resize(static_cast<size_t>(reader.Read(4)));
  for (uint32_t& t : qf_thresholds) {
    t = ReadCodedU32(kQfThresholdCoding, &reader) + 1;
  }
  const size_t buckets = (qf_thresholds.size() + 1) * num_dc_contexts;
  if (buckets > kMaxBlockCtxBuckets) return FailedStatus();
  ctx_map.assign(kBlockCtxEntriesPerBucket * buckets, 0);
  uint64_t contexts = 0;
  QOV_RETURN_IF_ERROR(
      ReadContextMap(memory_manager, ctx_map, &contexts, reader));
  num_contexts = static_cast<size_t>(contexts);
  return num_contexts > kMaxBlockContexts ? FailedStatus() : OkStatus();
}

}  // namespace qov
