// Memory-manager set-up and aligned blocks.
#include "lib/base/memory.h"

#include <atomic>
#include <cstdlib>
#include <limits>

namespace qov {

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
  if (size > std::numeric_limits<size_t>::max()) return nullptr;
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
