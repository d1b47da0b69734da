// Writing context maps (single-histogram, simple fixed-width or entropy-coded
// with optional move-to-front, whichever is estimated cheapest) and block
// context maps.
#ifndef QOV_LIB_ENCODE_CONTEXT_MAP_WRITER_H_
#define QOV_LIB_ENCODE_CONTEXT_MAP_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/entropy_records.h"

namespace qov {

// The options of the entropy code of a coded context map.
HistogramParams ContextMapHistogramParams();

// Move-to-front positions of `entries` over the list 0..max(entry).
std::vector<uint8_t> MoveToFrontTransform(const std::vector<uint8_t>& entries);

// Writes `context_map` for `num_histograms` clusters. With one histogram the
// 3 bits go directly into the caller's budget; otherwise in a budget of its
// own. The memory manager of internal builds is the writer's.
Status EncodeContextMap(const std::vector<uint8_t>& context_map,
                        size_t num_histograms, BitWriter* writer,
                        LayerType layer, AuxOut* aux);

// Writes a block context map: the default marker bit, or the DC threshold
// lists of the three channels, the quant-field thresholds (each >= 1 and
// <= 300; at most 15 per list) and the context map, in its own budget.
Status EncodeBlockCtxMap(const std::vector<int32_t> (&dc_thresholds)[3],
                         const std::vector<uint32_t>& qf_thresholds,
                         const std::vector<uint8_t>& context_map,
                         size_t num_contexts, BitWriter* writer, AuxOut* aux);

}  // namespace qov

#endif  // QOV_LIB_ENCODE_CONTEXT_MAP_WRITER_H_
