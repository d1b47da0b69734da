// Growable byte array backed by the memory manager. After every reallocation
// the byte at position size() is 0, and 8 spare bytes follow the capacity.
#ifndef QOV_LIB_BASE_BYTE_BUFFER_H_
#define QOV_LIB_BASE_BYTE_BUFFER_H_

#include <cstddef>
#include <cstdint>

#include "lib/base/memory.h"
#include "lib/base/span.h"
#include "lib/base/status.h"

namespace qov {

class ByteBuffer {
 public:
  static constexpr uint64_t kMinCapacity = 64;
  static constexpr uint64_t kSpareBytes = 8;
  static constexpr uint64_t kBlockSize = 128;

  // An empty buffer without storage; the manager must outlive the buffer.
  explicit ByteBuffer(const QovMemoryManagerStruct* manager = nullptr)
      : manager_(manager) {}
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  // A buffer of n bytes (contents unspecified, the first byte 0); for n = 0
  // an empty buffer with no storage.
  static StatusOr<ByteBuffer> WithSize(const QovMemoryManagerStruct* manager,
                                       uint64_t n);

  // Reallocates to capacity max(64, n) (always, even when shrinking below
  // the current capacity is asked: callers reserve only to grow; n below the
  // size is Failed). Keeps the contents and writes 0 after them. A failure
  // leaves the buffer unchanged.
  Status Reserve(uint64_t n);

  // Appends; grows to max(needed, 1.5 x capacity) when the capacity is short.
  Status PushBack(uint8_t byte);
  Status AppendBlock(const uint8_t (&block)[kBlockSize]);
  Status Append(const uint8_t* bytes, uint64_t n);
  Status Append(Span bytes) { return Append(bytes.data, bytes.size); }

  // Makes room for `added` more bytes by the growth policy, without
  // changing the size.
  Status EnsureRoomFor(uint64_t added);

  // Sets the size; requires n <= capacity(). Writes nothing.
  void SetSize(uint64_t n) { size_ = n; }

  uint8_t* data() { return storage_.data(); }
  const uint8_t* data() const { return storage_.data(); }
  uint64_t size() const { return size_; }
  uint64_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  uint8_t& operator[](uint64_t i) { return storage_.data()[i]; }
  uint8_t operator[](uint64_t i) const { return storage_.data()[i]; }
  Span span() const { return Span(storage_.data(), static_cast<size_t>(size_)); }
  const QovMemoryManagerStruct* manager() const { return manager_; }
  const AlignedBlock& storage() const { return storage_; }

 private:
  const QovMemoryManagerStruct* manager_ = nullptr;
  uint64_t size_ = 0;
  uint64_t capacity_ = 0;
  AlignedBlock storage_;  // at least capacity + 8 bytes
};

}  // namespace qov

#endif  // QOV_LIB_BASE_BYTE_BUFFER_H_
