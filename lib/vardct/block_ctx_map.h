// Block contexts of AC coefficient coding: which of at most 16 contexts a
// varblock uses, from its channel, order bucket, quant-field bucket and DC
// bucket, with the thresholds that define those buckets.
#ifndef QOV_LIB_VARDCT_BLOCK_CTX_MAP_H_
#define QOV_LIB_VARDCT_BLOCK_CTX_MAP_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/vardct/varblock.h"
#include "qov/qov.h"

namespace qov {

// Map entries per (quant-field, DC) bucket: channels x order buckets.
inline constexpr size_t kBlockCtxEntriesPerBucket = 3 * kNumScanOrderBuckets;
inline constexpr size_t kMaxBlockContexts = 16;
// Largest (quant-field buckets) x (DC contexts).
inline constexpr size_t kMaxBlockCtxBuckets = 64;
// AC contexts per block context: 37 count buckets and 458 zero-density ones.
inline constexpr size_t kAcContextsPerBlockContext = 495;

class BlockCtxMap {
 public:
  // The default map: no thresholds, 15 block contexts.
  BlockCtxMap();
  BlockCtxMap(BlockCtxMap&&) noexcept = default;
  BlockCtxMap& operator=(BlockCtxMap&&) noexcept = default;
  BlockCtxMap(const BlockCtxMap&) = default;
  BlockCtxMap& operator=(const BlockCtxMap&) = default;

  // Replaces the map by the default one (1 bit) or by one read from the
  // stream. Failed when (quant-field thresholds + 1) x DC contexts exceeds 64
  // or the map names more than 16 contexts; the context-map reader's status
  // otherwise. On failure the map is partly replaced.
  Status Decode(const QovMemoryManagerStruct* memory_manager,
                BitReader& reader);

  // Channel c: 0 X, 1 Y, 2 B. The quant-field bucket counts thresholds
  // below qf (unsigned), the DC bucket is precomputed per block.
  uint32_t QuantFieldBucket(uint32_t qf) const {
    uint32_t q = 0;
    for (uint32_t t : qf_thresholds) q += t < qf ? 1 : 0;
    return q;
  }
  size_t Context(size_t c, size_t bucket, uint32_t qf_bucket,
                 size_t dc_bucket) const {
    static constexpr size_t kChannelIndex[3] = {1, 0, 2};
    const size_t index =
        ((kChannelIndex[c] * kNumScanOrderBuckets + bucket) *
             (qf_thresholds.size() + 1) +
         qf_bucket) *
            num_dc_contexts +
        dc_bucket;
    return ctx_map[index];
  }

  std::vector<int32_t> dc_thresholds[3];  // X, Y, B
  std::vector<uint32_t> qf_thresholds;
  std::vector<uint8_t> ctx_map;
  size_t num_contexts = 15;
  size_t num_dc_contexts = 1;
};

}  // namespace qov

#endif  // QOV_LIB_VARDCT_BLOCK_CTX_MAP_H_
