// ByteBuffer growth and appends.
#include "lib/base/byte_buffer.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace qov {

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : manager_(other.manager_),
      size_(other.size_),
      capacity_(other.capacity_),
      storage_(std::move(other.storage_)) {
  other.size_ = 0;
  other.capacity_ = 0;
}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this == &other) return *this;
  manager_ = other.manager_;
  size_ = other.size_;
  capacity_ = other.capacity_;
  storage_ = std::move(other.storage_);
  other.size_ = 0;
  other.capacity_ = 0;
  return *this;
}

StatusOr<ByteBuffer> ByteBuffer::WithSize(const QovMemoryManagerStruct* manager,
                                          uint64_t n) {
  ByteBuffer buffer(manager);
  if (n == 0) return StatusOr<ByteBuffer>(std::move(buffer));
  QOV_RETURN_IF_ERROR(buffer.Reserve(n));
  buffer.size_ = n;
  return StatusOr<ByteBuffer>(std::move(buffer));
}

Status ByteBuffer::Reserve(uint64_t n) {
  if (n >= std::numeric_limits<uint64_t>::max() - kSpareBytes) {
    return FailedStatus();
  }
  // Dropping contents silently would corrupt the buffer.
  if (n < size_) return FailedStatus();
  const uint64_t new_capacity = std::max(kMinCapacity, n);
  QOV_ASSIGN_OR_RETURN(AlignedBlock block,
                       AlignedBlock::Create(manager_, new_capacity + kSpareBytes, 0));
  if (storage_.data() != nullptr && size_ != 0) {
    std::memcpy(block.data(), storage_.data(), static_cast<size_t>(size_));
  }
  block.data()[size_] = 0;
  capacity_ = new_capacity;
  storage_ = std::move(block);
  return OkStatus();
}

Status ByteBuffer::EnsureRoomFor(uint64_t added) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  if (added > kMax - size_) return FailedStatus();
  const uint64_t needed = size_ + added;
  if (capacity_ >= needed && !storage_.empty()) return OkStatus();
  if (capacity_ / 2 > kMax - capacity_) return FailedStatus();
  return Reserve(std::max(needed, capacity_ + capacity_ / 2));
}

Status ByteBuffer::PushBack(uint8_t byte) {
  if (size_ == capacity_) QOV_RETURN_IF_ERROR(EnsureRoomFor(1));
  storage_.data()[size_++] = byte;
  return OkStatus();
}

Status ByteBuffer::AppendBlock(const uint8_t (&block)[kBlockSize]) {
  if (size_ > std::numeric_limits<uint64_t>::max() - (kBlockSize + 1)) {
    return FailedStatus();
  }
  return Append(block, kBlockSize);
}

Status ByteBuffer::Append(const uint8_t* bytes, uint64_t n) {
  if (n == 0) return OkStatus();
  QOV_RETURN_IF_ERROR(EnsureRoomFor(n));
  std::memcpy(storage_.data() + size_, bytes, static_cast<size_t>(n));
  size_ += n;
  return OkStatus();
}

}  // namespace qov
