// Shared pieces of the fuzz targets: a check that aborts with the target's
// name and line (so libFuzzer keeps the input), and a memory manager that
// refuses every allocation after a given number.
#ifndef QOV_FUZZ_FUZZ_SUPPORT_H_
#define QOV_FUZZ_FUZZ_SUPPORT_H_

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "qov/qov.h"

#define QOV_FUZZ_CHECK(target, condition)                                  \
  do {                                                                     \
    if (!(condition)) {                                                    \
      std::fprintf(stderr, "%s: line %d: %s\n", target, __LINE__,          \
                   #condition);                                            \
      std::abort();                                                        \
    }                                                                      \
  } while (false)

namespace qov_fuzz {

// Grants `allocations_left` allocations, then refuses every later one.
struct FailingAllocator {
  uint64_t allocations_left;
};

inline void* FailingAlloc(void* opaque, uint64_t size) {
  auto* state = static_cast<FailingAllocator*>(opaque);
  if (state->allocations_left == 0) return nullptr;
  --state->allocations_left;
  return std::malloc(size);
}

inline void FailingFree(void*, void* address) { std::free(address); }

// A manager over `allocator`, which must outlive it.
inline QovMemoryManagerStruct FailingManager(FailingAllocator* allocator) {
  return {allocator, FailingAlloc, FailingFree};
}

}  // namespace qov_fuzz

#endif  // QOV_FUZZ_FUZZ_SUPPORT_H_
