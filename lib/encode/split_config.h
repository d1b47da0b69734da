// Choice of the hybrid-uint split configuration of every cluster and of the
// log alphabet size of a code set.
#ifndef QOV_LIB_ENCODE_SPLIT_CONFIG_H_
#define QOV_LIB_ENCODE_SPLIT_CONFIG_H_

#include <vector>

#include "lib/base/status.h"
#include "lib/encode/entropy_records.h"

namespace qov {

// Sets codes->log_alphabet_size and codes->split_configs (one per cluster),
// searching candidates for split_config_mode 2 (4 candidates) and 4 (28)
// unless separate_histogram_writers is set; a chosen configuration replaces
// the cluster's histogram with that of its re-tokenised values. LZ77 length
// symbols are then added to the clusters. `context_map` of `codes` must map
// every context of the tokens to a cluster below clusters->size().
Status PickUintSplitConfigs(EntropyEncodingData* codes,
                            const QovMemoryManagerStruct* memory_manager,
                            const HistogramParams& params,
                            const std::vector<std::vector<Token>>& tokens,
                            std::vector<Histogram>* clusters);

}  // namespace qov

#endif  // QOV_LIB_ENCODE_SPLIT_CONFIG_H_
