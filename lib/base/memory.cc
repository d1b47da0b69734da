// Memory-manager set-up and aligned blocks.
#include "lib/base/memory.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <limits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qov {
namespace {
// Default-heap blocks of at least this size start at a huge-page boundary
// and are advised onto transparent huge pages (Linux).
constexpr size_t kHugePageSize = size_t{1} << 21;
constexpr size_t kHugePageThreshold = size_t{4} << 20;
}  // namespace

Status SetUpMemoryManager(QovMemoryManagerStruct* target,
                          const QovMemoryManagerStruct* given) {
  if (given == nullptr) {
    target->opaque = nullptr;
    target->alloc = DefaultAllocate;
    target->free = DefaultRelease;
    return OkStatus();
  }
  *target = *given;
  if ((given->alloc == nullptr) != (given->free == nullptr)) {
    return FailedStatus();
  }
  if (given->alloc == nullptr) {
    target->alloc = DefaultAllocate;
    target->free = DefaultRelease;
  }
  return OkStatus();
}

void* DefaultAllocate(void*, uint64_t size) {
  // Beyond half the address space no heap can succeed: refused here rather
  // than handed on (sanitizer heaps abort on such requests instead of
  // failing).
  if (size > static_cast<uint64_t>(std::numeric_limits<ptrdiff_t>::max())) {
    return nullptr;
  }
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Large planes are written once from end to end: on 2 MiB pages their
  // first touch costs one fault per 2 MiB instead of one per 4 KiB, which
  // dominates decoding time for big frames where small pages are the rule.
  if (size >= kHugePageThreshold) {
    void* p = nullptr;
    if (posix_memalign(&p, kHugePageSize, static_cast<size_t>(size)) != 0) {
      return nullptr;
    }
    const size_t whole = static_cast<size_t>(size) & ~(kHugePageSize - 1);
    madvise(p, whole, MADV_HUGEPAGE);  // advice only: failure changes nothing
    return p;
  }
#endif
  return std::malloc(static_cast<size_t>(size));
}

void DefaultRelease(void*, void* address) { std::free(address); }

const QovMemoryManagerStruct* HeapMemoryManager() {
  static const QovMemoryManagerStruct manager = {nullptr, DefaultAllocate,
                                                 DefaultRelease};
  return &manager;
}

void* ManagerAllocate(const QovMemoryManagerStruct* manager, uint64_t size) {
  return manager->alloc(manager->opaque, size);
}

void ManagerRelease(const QovMemoryManagerStruct* manager, void* address) {
  manager->free(manager->opaque, address);
}

namespace {
std::atomic<uint32_t> g_block_counter{0};
}  // namespace

StatusOr<AlignedBlock> AlignedBlock::Create(
    const QovMemoryManagerStruct* manager, uint64_t size, uint64_t headroom) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  if (headroom > kMaxHeadroom || manager == nullptr) return FailedStatus();
  if (size > kMax - headroom) return FailedStatus();
  if (size + headroom >= kMax - kBoundary) return FailedStatus();
  const uint64_t request = size + headroom + kBoundary;
  if (request > std::numeric_limits<uintptr_t>::max()) return FailedStatus();
  void* raw = manager->alloc(manager->opaque, request);
  if (raw == nullptr) return FailedStatus();

  const uint32_t count = g_block_counter.fetch_add(1, std::memory_order_relaxed);
  const uintptr_t offset = (count % 16) * kOffsetUnit;
  const uintptr_t base = reinterpret_cast<uintptr_t>(raw) + headroom;
  uintptr_t data = (base & ~uintptr_t{kBoundary - 1}) + offset;
  if (data < base) data += kBoundary;

  AlignedBlock block;
  block.raw_ = raw;
  block.manager_ = manager;
  block.data_ = static_cast<uint8_t*>(raw) +
                (data - reinterpret_cast<uintptr_t>(raw));
  return StatusOr<AlignedBlock>(std::move(block));
}

void AlignedBlock::Release() {
  if (manager_ != nullptr && raw_ != nullptr) manager_->free(manager_->opaque, raw_);
}

AlignedBlock::~AlignedBlock() { Release(); }

AlignedBlock::AlignedBlock(AlignedBlock&& other) noexcept
    : raw_(other.raw_), manager_(other.manager_), data_(other.data_) {
  other.raw_ = nullptr;
  other.manager_ = nullptr;
  other.data_ = nullptr;
}

AlignedBlock& AlignedBlock::operator=(AlignedBlock&& other) noexcept {
  if (this == &other) return *this;
  Release();
  raw_ = other.raw_;
  manager_ = other.manager_;
  data_ = other.data_;
  other.raw_ = nullptr;
  other.manager_ = nullptr;
  other.data_ = nullptr;
  return *this;
}

}  // namespace qov
