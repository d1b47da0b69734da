// Image planes (rows at aligned addresses with the row-stride rule of
// ComputeRowStride), three-plane images and byte planes for per-block maps.
#ifndef QOV_LIB_BASE_IMAGE_H_
#define QOV_LIB_BASE_IMAGE_H_

#include <cstddef>
#include <cstdint>
#include <utility>

#include "lib/base/memory.h"
#include "lib/base/status.h"

namespace qov {

// A rectangle of samples.
struct PixelRect {
  uint64_t x0 = 0;
  uint64_t y0 = 0;
  uint64_t xsize = 0;
  uint64_t ysize = 0;
};

// Width in bytes of the widest vector of the SIMD target chosen at run time:
// 32 for AVX2, 16 for SSE4 and for the portable baseline copy, which stands
// in for the SSE2 level (highway 1.0.3 has no SSE2 target; its baseline is
// HWY_EMU128, or HWY_SCALAR under GCC before 12.3, and reports 16 either
// way). Reached through highway's dynamic dispatch.
uint64_t MaxSimdBytes();

// Row stride for xsize samples of sample_size bytes: room for one full
// vector load starting at the last sample, rounded up to a multiple of
// max(128, MaxSimdBytes()), plus one more unit when the result would be a
// multiple of 2048. 0 for xsize 0. Failed on overflow.
StatusOr<uint64_t> ComputeRowStride(uint64_t xsize, uint64_t sample_size);
// The same rule for a given vector width (0: no vector room).
StatusOr<uint64_t> ComputeRowStrideFor(uint64_t xsize, uint64_t sample_size,
                                       uint64_t vector_bytes);

// One untyped plane. Row y starts at bytes() + y * bytes_per_row().
class PlaneStorage {
 public:
  PlaneStorage() = default;
  // Sets both size pairs; allocates nothing.
  PlaneStorage(uint32_t xsize, uint32_t ysize, uint64_t sample_size)
      : xsize_(xsize),
        ysize_(ysize),
        created_xsize_(xsize),
        created_ysize_(ysize),
        sample_size_(sample_size) {}
  PlaneStorage(PlaneStorage&&) noexcept = default;
  PlaneStorage& operator=(PlaneStorage&&) noexcept = default;
  PlaneStorage(const PlaneStorage&) = delete;
  PlaneStorage& operator=(const PlaneStorage&) = delete;

  // Sets the stride and allocates ysize rows, with headroom_samples samples
  // of addressable memory before the first row. A plane of width or height 0
  // gets its stride and no storage. Failed when already allocated, on
  // overflow or when the allocation fails.
  Status Allocate(const QovMemoryManagerStruct* manager,
                  uint64_t headroom_samples = 0);

  // Exchanges sizes, strides and storage; the sample sizes stay.
  void Swap(PlaneStorage& other);

  // Lowers or raises the logical size in place, never beyond the created
  // size; rows keep their addresses.
  Status SetLogicalSize(uint32_t xsize, uint32_t ysize);

  uint32_t xsize() const { return xsize_; }
  uint32_t ysize() const { return ysize_; }
  uint32_t created_xsize() const { return created_xsize_; }
  uint32_t created_ysize() const { return created_ysize_; }
  uint64_t bytes_per_row() const { return bytes_per_row_; }
  uint64_t sample_size() const { return sample_size_; }
  bool allocated() const { return !storage_.empty(); }
  const AlignedBlock& storage() const { return storage_; }

  uint8_t* bytes() const { return storage_.data(); }
  uint8_t* RowBytes(size_t y) const { return storage_.data() + y * bytes_per_row_; }

 private:
  uint32_t xsize_ = 0;
  uint32_t ysize_ = 0;
  uint32_t created_xsize_ = 0;
  uint32_t created_ysize_ = 0;
  uint64_t bytes_per_row_ = 0;  // 0 until allocated
  AlignedBlock storage_;
  uint64_t sample_size_ = 0;
};

// A plane of one sample type (float, int32_t, int16_t or uint8_t).
template <typename T>
class SamplePlane : public PlaneStorage {
 public:
  SamplePlane() : PlaneStorage(0, 0, sizeof(T)) {}
  SamplePlane(uint32_t xsize, uint32_t ysize)
      : PlaneStorage(xsize, ysize, sizeof(T)) {}

  // A constructed and allocated plane. Failed when a size does not fit in
  // 32 bits or the allocation fails.
  static StatusOr<SamplePlane> Create(const QovMemoryManagerStruct* manager,
                                      uint64_t xsize, uint64_t ysize,
                                      uint64_t headroom_samples = 0) {
    if (xsize > UINT32_MAX || ysize > UINT32_MAX) return FailedStatus();
    SamplePlane plane(static_cast<uint32_t>(xsize), static_cast<uint32_t>(ysize));
    QOV_RETURN_IF_ERROR(plane.Allocate(manager, headroom_samples));
    return StatusOr<SamplePlane>(std::move(plane));
  }

  T* Row(size_t y) const { return reinterpret_cast<T*>(RowBytes(y)); }
  const T* ConstRow(size_t y) const { return Row(y); }
  // Row stride in samples.
  size_t PixelsPerRow() const { return bytes_per_row() / sizeof(T); }
};

using PlaneF = SamplePlane<float>;
using PlaneI32 = SamplePlane<int32_t>;
using PlaneI16 = SamplePlane<int16_t>;
using PlaneU8 = SamplePlane<uint8_t>;

// Three planes of one type and size (colour: X, Y, B or R, G, B as the
// producer states). Planes are released in the order 2, 1, 0.
template <typename T>
class Image3 {
 public:
  Image3() = default;
  Image3(SamplePlane<T>&& p0, SamplePlane<T>&& p1, SamplePlane<T>&& p2)
      : planes_{std::move(p0), std::move(p1), std::move(p2)} {}
  Image3(Image3&&) noexcept = default;
  Image3& operator=(Image3&&) noexcept = default;

  // Three allocated planes of xsize x ysize. Failed when a size does not fit
  // in 32 bits or an allocation fails (planes already made are released).
  static StatusOr<Image3> Create(const QovMemoryManagerStruct* manager,
                                 uint64_t xsize, uint64_t ysize) {
    if (xsize > UINT32_MAX || ysize > UINT32_MAX) return FailedStatus();
    const uint32_t xs = static_cast<uint32_t>(xsize);
    const uint32_t ys = static_cast<uint32_t>(ysize);
    SamplePlane<T> p0(xs, ys), p1(xs, ys), p2(xs, ys);
    QOV_RETURN_IF_ERROR(p0.Allocate(manager, 0));
    QOV_RETURN_IF_ERROR(p1.Allocate(manager, 0));
    QOV_RETURN_IF_ERROR(p2.Allocate(manager, 0));
    return StatusOr<Image3>(Image3(std::move(p0), std::move(p1), std::move(p2)));
  }

  SamplePlane<T>& Plane(size_t c) { return planes_[c]; }
  const SamplePlane<T>& Plane(size_t c) const { return planes_[c]; }
  T* PlaneRow(size_t c, size_t y) const { return planes_[c].Row(y); }
  uint32_t xsize() const { return planes_[0].xsize(); }
  uint32_t ysize() const { return planes_[0].ysize(); }
  size_t PixelsPerRow() const { return planes_[0].PixelsPerRow(); }

 private:
  // Array elements are destroyed in reverse order: 2, 1, 0.
  SamplePlane<T> planes_[3];
};

using Image3F = Image3<float>;
using Image3I = Image3<int32_t>;
using Image3S = Image3<int16_t>;

// A byte plane with a copy of its first-row address and stride, taken at
// allocation, for code that walks many rows of a per-block map.
struct BytePlaneView {
  PlaneU8 plane;
  uint8_t* first_row = nullptr;
  uint64_t bytes_per_row = 0;

  uint8_t* Row(size_t y) const { return first_row + y * bytes_per_row; }
};

// An allocated byte plane of xsize x ysize. Failed when a size does not fit
// in 32 bits or the allocation fails.
StatusOr<BytePlaneView> CreateBytePlane(const QovMemoryManagerStruct* manager,
                                        uint64_t xsize, uint64_t ysize);

}  // namespace qov

#endif  // QOV_LIB_BASE_IMAGE_H_
