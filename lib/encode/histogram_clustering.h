// Grouping of per-context histograms into a few clusters: farthest-first
// centres, optional pairwise merging at ANS cost, renumbering by first use.
#ifndef QOV_LIB_ENCODE_HISTOGRAM_CLUSTERING_H_
#define QOV_LIB_ENCODE_HISTOGRAM_CLUSTERING_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/encode/entropy_records.h"

namespace qov {

// Picks centres among `in` (only their `entropy` fields change) until the
// limit or until every histogram is within 48 bits of a centre, then assigns
// every histogram to its cheapest cluster. Clusters already in `clusters`
// are fixed: they keep their places and contents.
Status FarthestFirstClustering(std::vector<Histogram>& in, size_t limit,
                               std::vector<Histogram>* clusters,
                               std::vector<uint32_t>* assignment);

// Drives the clustering for an entropy-code build (see HistogramParams
// clustering_mode and histogram_limit); new clusters are numbered in order
// of first use after the fixed ones.
Status GroupHistogramsIntoClusters(const HistogramParams& params,
                                   std::vector<Histogram>& in,
                                   size_t max_histograms,
                                   std::vector<Histogram>* clusters,
                                   std::vector<uint32_t>* assignment);

}  // namespace qov

#endif  // QOV_LIB_ENCODE_HISTOGRAM_CLUSTERING_H_
