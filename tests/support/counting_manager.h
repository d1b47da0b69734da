// A memory manager for tests: counts and records allocations, can fill new
// blocks with a byte pattern (so that reliance on cleared memory shows) and
// can refuse allocations, all of them or from the n-th on.
#ifndef QOV_TESTS_SUPPORT_COUNTING_MANAGER_H_
#define QOV_TESTS_SUPPORT_COUNTING_MANAGER_H_

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qov/qov.h"

namespace qov::test {

struct CountingManager {
  explicit CountingManager(int fill_byte = -1) : fill(fill_byte) {}
  CountingManager(const CountingManager&) = delete;
  CountingManager& operator=(const CountingManager&) = delete;

  QovMemoryManagerStruct manager{this, &Alloc, &Free};
  std::vector<uint64_t> sizes;  // of every successful allocation
  int allocs = 0;               // successful allocations
  int live = 0;                 // allocations not yet released
  int frees = 0;
  bool refuse = false;          // refuse every allocation
  int refuse_from = -1;         // refuse the n-th allocation and later ones
  int fill = -1;                // byte written over new blocks; -1: none

  static void* Alloc(void* opaque, uint64_t size) {
    auto* self = static_cast<CountingManager*>(opaque);
    if (self->refuse) return nullptr;
    if (self->refuse_from >= 0 && self->allocs >= self->refuse_from) return nullptr;
    void* p = std::malloc(size);
    if (p == nullptr) return nullptr;
    if (self->fill >= 0) std::memset(p, self->fill, size);
    self->sizes.push_back(size);
    ++self->allocs;
    ++self->live;
    return p;
  }
  static void Free(void* opaque, void* address) {
    auto* self = static_cast<CountingManager*>(opaque);
    --self->live;
    ++self->frees;
    std::free(address);
  }
};

}  // namespace qov::test

#endif  // QOV_TESTS_SUPPORT_COUNTING_MANAGER_H_
