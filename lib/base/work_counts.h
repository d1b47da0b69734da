// Running totals of the decoder's costliest inner work, per thread. Tests
// bound what a file makes the decoder do with them (a decode with no task
// runner does all its work on the caller's thread) rather than timing it,
// which a busy machine can break. Thread-local, so counting is one add.
#ifndef QOV_LIB_BASE_WORK_COUNTS_H_
#define QOV_LIB_BASE_WORK_COUNTS_H_

#include <cstddef>
#include <cstdint>

namespace qov {

enum class Work : size_t {
  kCompositedPixels,  // pixels blended: frames onto the canvas, patches
  kSplineSamples,     // points sampled along spline paths
  kNumKinds,
};

inline thread_local uint64_t work_counts[static_cast<size_t>(Work::kNumKinds)] = {};

inline void CountWork(Work kind, uint64_t amount) {
  work_counts[static_cast<size_t>(kind)] += amount;
}

// What the calling thread has done of `kind` since it started.
inline uint64_t WorkDone(Work kind) { return work_counts[static_cast<size_t>(kind)]; }

}  // namespace qov

#endif  // QOV_LIB_BASE_WORK_COUNTS_H_
