// The caller's memory manager and AlignedBlock, the owner of one allocation
// made through it with its data placed at a rotating cache-friendly offset.
#ifndef QOV_LIB_BASE_MEMORY_H_
#define QOV_LIB_BASE_MEMORY_H_

#include <cstddef>
#include <cstdint>

#include "lib/base/status.h"
#include "qov/qov.h"

namespace qov {

// Fills *target from *given (may be null). Without a given record, or when it
// has neither callback, the runtime heap is installed (a given opaque stays).
// Failed when exactly one callback is given; *target then holds the copied
// members and must not be used.
Status SetUpMemoryManager(QovMemoryManagerStruct* target,
                          const QovMemoryManagerStruct* given);

// The runtime heap's allocate and release; opaque is ignored.
void* DefaultAllocate(void* opaque, uint64_t size);
void DefaultRelease(void* opaque, void* address);

// A process-wide manager record on the runtime heap (opaque null), for code
// that allocates outside any decoder.
const QovMemoryManagerStruct* HeapMemoryManager();

// Direct calls of the manager's callbacks (no null check of the result).
void* ManagerAllocate(const QovMemoryManagerStruct* manager, uint64_t size);
void ManagerRelease(const QovMemoryManagerStruct* manager, void* address);

// Owner of one allocation. data() lies at least `headroom` bytes after the
// allocation's start, at a 2048-byte boundary plus a multiple of 128 bytes
// that rotates through 0, 128, ..., 1920 from block to block (a process-wide
// counter), so that concurrent planes do not alias in the cache.
// The block keeps a pointer to its manager: the manager must outlive it.
class AlignedBlock {
 public:
  static constexpr uint64_t kMaxHeadroom = 2048;
  static constexpr uint64_t kBoundary = 2048;
  static constexpr uint64_t kOffsetUnit = 128;

  AlignedBlock() = default;
  ~AlignedBlock();
  AlignedBlock(AlignedBlock&& other) noexcept;
  AlignedBlock& operator=(AlignedBlock&& other) noexcept;
  AlignedBlock(const AlignedBlock&) = delete;
  AlignedBlock& operator=(const AlignedBlock&) = delete;

  // Allocates size + headroom + 2048 bytes. Failed when headroom > 2048, the
  // sizes overflow, manager is null or the allocation fails (nothing is then
  // allocated and the offset counter does not advance).
  static StatusOr<AlignedBlock> Create(const QovMemoryManagerStruct* manager,
                                       uint64_t size, uint64_t headroom = 0);

  uint8_t* data() const { return data_; }
  template <typename T>
  T* As() const {
    return reinterpret_cast<T*>(data_);
  }
  void* raw() const { return raw_; }
  const QovMemoryManagerStruct* manager() const { return manager_; }
  // True when the block owns nothing.
  bool empty() const { return manager_ == nullptr; }

 private:
  void Release();

  void* raw_ = nullptr;
  const QovMemoryManagerStruct* manager_ = nullptr;
  uint8_t* data_ = nullptr;
};

}  // namespace qov

#endif  // QOV_LIB_BASE_MEMORY_H_
