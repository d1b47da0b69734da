// Row strides, plane allocation, byte planes and the dispatched
// MaxSimdBytes.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/base/image.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {

// The baseline copy (HWY_EMU128, or HWY_SCALAR where the compiler's EMU128
// is known broken, as with GCC before 12.3) stands in for the 16-byte SSE2
// level, so no target reports less than 16 bytes.
uint64_t MaxSimdBytesImpl() {
  const hwy::HWY_NAMESPACE::ScalableTag<uint8_t> d;
  const uint64_t lanes = hwy::HWY_NAMESPACE::Lanes(d);
  return lanes < 16 ? 16 : lanes;
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <limits>

#include "lib/base/image.h"

namespace qov {

HWY_EXPORT(MaxSimdBytesImpl);

uint64_t MaxSimdBytes() { return HWY_DYNAMIC_DISPATCH(MaxSimdBytesImpl)(); }

StatusOr<uint64_t> ComputeRowStrideFor(uint64_t xsize, uint64_t sample_size,
                                       uint64_t vector_bytes) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  if (xsize == 0) return StatusOr<uint64_t>(uint64_t{0});
  if (sample_size != 0 && xsize > kMax / sample_size) return FailedStatus();
  uint64_t bytes = xsize * sample_size;
  if (vector_bytes > 0) {
    if (vector_bytes < sample_size) return FailedStatus();
    const uint64_t room = vector_bytes - sample_size;
    if (bytes > kMax - room) return FailedStatus();
    bytes += room;
  }
  const uint64_t alignment = vector_bytes > 128 ? vector_bytes : 128;
  if ((alignment & (alignment - 1)) != 0) return FailedStatus();
  if (bytes > kMax - (alignment - 1)) return FailedStatus();
  bytes = (bytes + alignment - 1) & ~(alignment - 1);
  if (bytes % 2048 == 0) {
    if (bytes > kMax - alignment) return FailedStatus();
    bytes += alignment;
  }
  return StatusOr<uint64_t>(bytes);
}

StatusOr<uint64_t> ComputeRowStride(uint64_t xsize, uint64_t sample_size) {
  return ComputeRowStrideFor(xsize, sample_size, MaxSimdBytes());
}

Status PlaneStorage::Allocate(const QovMemoryManagerStruct* manager,
                              uint64_t headroom_samples) {
  if (!storage_.empty() || bytes_per_row_ != 0) return FailedStatus();
  QOV_ASSIGN_OR_RETURN(const uint64_t stride,
                       ComputeRowStride(xsize_, sample_size_));
  bytes_per_row_ = stride;
  if (xsize_ == 0 || ysize_ == 0) return OkStatus();
  const uint64_t rows = ysize_;
  if (stride > std::numeric_limits<uint64_t>::max() / rows) {
    bytes_per_row_ = 0;
    return FailedStatus();
  }
  if (sample_size_ != 0 &&
      headroom_samples > std::numeric_limits<uint64_t>::max() / sample_size_) {
    bytes_per_row_ = 0;
    return FailedStatus();
  }
  auto block = AlignedBlock::Create(manager, rows * stride,
                                    headroom_samples * sample_size_);
  if (!block.ok()) {
    bytes_per_row_ = 0;  // the plane stays unallocated
    return block.status();
  }
  storage_ = std::move(block).value();
  return OkStatus();
}

void PlaneStorage::Swap(PlaneStorage& other) {
  std::swap(xsize_, other.xsize_);
  std::swap(ysize_, other.ysize_);
  std::swap(created_xsize_, other.created_xsize_);
  std::swap(created_ysize_, other.created_ysize_);
  std::swap(bytes_per_row_, other.bytes_per_row_);
  AlignedBlock tmp = std::move(storage_);
  storage_ = std::move(other.storage_);
  other.storage_ = std::move(tmp);
}

Status PlaneStorage::SetLogicalSize(uint32_t xsize, uint32_t ysize) {
  if (xsize > created_xsize_ || ysize > created_ysize_) return FailedStatus();
  xsize_ = xsize;
  ysize_ = ysize;
  return OkStatus();
}

StatusOr<BytePlaneView> CreateBytePlane(const QovMemoryManagerStruct* manager,
                                        uint64_t xsize, uint64_t ysize) {
  QOV_ASSIGN_OR_RETURN(PlaneU8 plane, PlaneU8::Create(manager, xsize, ysize));
  BytePlaneView view;
  view.first_row = plane.Row(0);
  view.bytes_per_row = plane.bytes_per_row();
  view.plane = std::move(plane);
  return StatusOr<BytePlaneView>(std::move(view));
}

}  // namespace qov
#endif  // HWY_ONCE
