// Histogram clustering.
#include "lib/encode/histogram_clustering.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <queue>

#include "lib/encode/ans_encode.h"

namespace qov {

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

// a + b element-wise, the shorter array read as zeros.
Histogram Sum(const Histogram& a, const Histogram& b) {
  Histogram sum;
  sum.counts.assign(std::max(a.counts.size(), b.counts.size()), 0);
  for (size_t i = 0; i < a.counts.size(); ++i) sum.counts[i] += a.counts[i];
  for (size_t i = 0; i < b.counts.size(); ++i) sum.counts[i] += b.counts[i];
  sum.total = a.total + b.total;
  return sum;
}

void AddInto(Histogram* target, const Histogram& source) {
  if (target->counts.size() < source.counts.size()) {
    target->counts.resize(source.counts.size(), 0);
  }
  for (size_t i = 0; i < source.counts.size(); ++i) {
    target->counts[i] += source.counts[i];
  }
  target->total += source.total;
}

float MergeDistance(const Histogram& h, const Histogram& c) {
  if (h.total == 0 || c.total == 0) return 0.0f;
  Histogram sum = Sum(h, c);
  return ComputeHistogramEntropy(sum) - h.entropy - c.entropy;
}

// Cost of coding h with the statistics of c, less h's own entropy.
float FixedDistance(const Histogram& h, const Histogram& c) {
  if (h.total == 0) return 0.0f;
  if (c.total == 0) return kInfinity;
  const float inv = 1.0f / static_cast<float>(c.total);
  float x = 0.0f;
  for (size_t i = 0; i < h.counts.size(); ++i) {
    if (h.counts[i] == 0) continue;
    const int32_t ci = i < c.counts.size() ? c.counts[i] : 0;
    if (ci == 0) return kInfinity;
    x += -static_cast<float>(h.counts[i]) *
         ApproxLog2(static_cast<float>(ci) * inv);
  }
  return x - h.entropy;
}

struct MergeCandidate {
  float gain;
  uint32_t first;
  uint32_t second;
  uint32_t version;
  // Inverted for std::priority_queue, so that the smallest comes out first.
  bool operator<(const MergeCandidate& o) const {
    if (gain != o.gain) return gain > o.gain;
    if (first != o.first) return first > o.first;
    if (second != o.second) return second > o.second;
    return version > o.version;
  }
};

Status PairwiseMerge(std::vector<Histogram>* clusters,
                     std::vector<uint32_t>* assignment) {
  std::vector<Histogram>& c = *clusters;
  const size_t n = c.size();
  for (Histogram& h : c) {
    QOV_ASSIGN_OR_RETURN(h.entropy, AnsHistogramCost(h));
  }
  std::vector<uint32_t> version(n, 1);
  std::vector<uint32_t> renumber(n);
  for (size_t i = 0; i < n; ++i) renumber[i] = static_cast<uint32_t>(i);
  std::priority_queue<MergeCandidate> heap;
  for (uint32_t i = 0; i < n; ++i) {
    for (uint32_t j = i + 1; j < n; ++j) {
      QOV_ASSIGN_OR_RETURN(const float merged, AnsHistogramCost(Sum(c[i], c[j])));
      const float gain = merged - (c[i].entropy + c[j].entropy);
      if (gain < 0) heap.push({gain, i, j, std::max(version[i], version[j])});
    }
  }
  uint32_t next_version = 2;
  while (!heap.empty()) {
    const MergeCandidate top = heap.top();
    heap.pop();
    const uint32_t a = top.first, b = top.second;
    if (version[a] == 0 || version[b] == 0 ||
        top.version != std::max(version[a], version[b])) {
      continue;
    }
    AddInto(&c[a], c[b]);
    QOV_ASSIGN_OR_RETURN(c[a].entropy, AnsHistogramCost(c[a]));
    for (uint32_t& r : renumber) {
      if (r == b) r = a;
    }
    version[b] = 0;
    version[a] = next_version++;
    for (uint32_t j = 0; j < n; ++j) {
      if (j == a || version[j] == 0) continue;
      QOV_ASSIGN_OR_RETURN(const float merged, AnsHistogramCost(Sum(c[a], c[j])));
      const float gain = merged - (c[a].entropy + c[j].entropy);
      if (gain < 0) {
        heap.push({gain, std::min(a, j), std::max(a, j),
                   std::max(version[a], version[j])});
      }
    }
  }
  std::vector<uint32_t> back(n, ~0u);
  size_t k = 0;
  for (size_t i = 0; i < n; ++i) {
    if (version[i] == 0) continue;
    if (k != i) c[k] = c[i];
    back[i] = static_cast<uint32_t>(k++);
  }
  c.resize(k);
  for (uint32_t& s : *assignment) s = back[renumber[s]];
  return OkStatus();
}

void Reindex(size_t fixed, std::vector<Histogram>* clusters,
             std::vector<uint32_t>* assignment) {
  const std::vector<Histogram> saved = *clusters;
  constexpr uint32_t kUnmapped = ~0u;
  std::vector<uint32_t> map(saved.size(), kUnmapped);
  for (size_t i = 0; i < fixed; ++i) map[i] = static_cast<uint32_t>(i);
  uint32_t next = static_cast<uint32_t>(fixed);
  for (uint32_t s : *assignment) {
    if (map[s] != kUnmapped) continue;
    map[s] = next;
    (*clusters)[next] = saved[s];
    ++next;
  }
  clusters->resize(next);
  for (uint32_t& s : *assignment) s = map[s];
}

}  // namespace

Status FarthestFirstClustering(std::vector<Histogram>& in, size_t limit,
                               std::vector<Histogram>* clusters,
                               std::vector<uint32_t>* assignment) {
  clusters->reserve(limit);
  const size_t fixed = clusters->size();
  const size_t n = in.size();
  assignment->assign(n, static_cast<uint32_t>(limit));
  std::vector<float> dist(n, FLT_MAX);
  size_t largest = 0;
  for (size_t i = 0; i < n; ++i) {
    if (in[i].total == 0) {
      (*assignment)[i] = 0;
      dist[i] = 0.0f;
    } else {
      ComputeHistogramEntropy(in[i]);
      if (in[largest].total < in[i].total) largest = i;
    }
  }
  if (fixed > 0) {
    for (size_t j = 0; j < fixed; ++j) ComputeHistogramEntropy((*clusters)[j]);
    for (size_t i = 0; i < n; ++i) {
      if (dist[i] == 0.0f) continue;
      for (size_t j = 0; j < fixed; ++j) {
        dist[i] = std::min(dist[i], FixedDistance(in[i], (*clusters)[j]));
      }
    }
    const size_t far = static_cast<size_t>(
        std::max_element(dist.begin(), dist.end()) - dist.begin());
    if (n > 0 && dist[far] > 0.0f) largest = far;
  }
  while (clusters->size() < limit && n > 0) {
    (*assignment)[largest] = static_cast<uint32_t>(clusters->size());
    clusters->push_back(in[largest]);
    dist[largest] = 0.0f;
    const Histogram& centre = clusters->back();
    largest = 0;
    for (size_t i = 0; i < n; ++i) {
      if (dist[i] == 0.0f) continue;  // NaN goes on
      dist[i] = std::min(dist[i], MergeDistance(in[i], centre));
      if (dist[i] > dist[largest]) largest = i;
    }
    if (dist[largest] < 48.0f) break;
  }
  for (size_t i = 0; i < n; ++i) {
    if ((*assignment)[i] != limit) continue;
    size_t best = 0;
    float best_cost = FLT_MAX;
    for (size_t j = 0; j < clusters->size(); ++j) {
      const Histogram& c = (*clusters)[j];
      float cost;
      if (j < fixed) {
        cost = FixedDistance(in[i], c);
      } else {
        cost = (in[i].total == 0 || c.total == 0) ? 0.0f
                                                  : MergeDistance(in[i], c);
      }
      if (cost < best_cost) {
        best_cost = cost;
        best = j;
      }
    }
    QOV_ENSURE(best_cost < FLT_MAX);
    if (best >= fixed) {
      AddInto(&(*clusters)[best], in[i]);
      ComputeHistogramEntropy((*clusters)[best]);
    }
    (*assignment)[i] = static_cast<uint32_t>(best);
  }
  return OkStatus();
}

Status GroupHistogramsIntoClusters(const HistogramParams& params,
                                   std::vector<Histogram>& in,
                                   size_t max_histograms,
                                   std::vector<Histogram>* clusters,
                                   std::vector<uint32_t>* assignment) {
  const size_t fixed = clusters->size();
  size_t limit = std::min({params.histogram_limit, max_histograms, in.size()});
  if (params.clustering_mode == 0) limit = std::min<size_t>(limit, 4);
  QOV_RETURN_IF_ERROR(
      FarthestFirstClustering(in, limit + fixed, clusters, assignment));
  if (fixed == 0 && params.clustering_mode == 2) {
    QOV_RETURN_IF_ERROR(PairwiseMerge(clusters, assignment));
  }
  Reindex(fixed, clusters, assignment);
  return OkStatus();
}

}  // namespace qov
