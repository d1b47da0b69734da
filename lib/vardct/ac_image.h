// Store of the quantised AC coefficients of a progressive VarDCT frame: one
// row of 65536 entries per AC group and one plane per channel, 16-bit or
// 32-bit, where the passes add up. Single-pass frames keep it empty.
#ifndef QOV_LIB_VARDCT_AC_IMAGE_H_
#define QOV_LIB_VARDCT_AC_IMAGE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "lib/base/image.h"
#include "lib/base/status.h"
#include "lib/base/task_pool.h"
#include "qov/qov.h"

namespace qov {

// Entry width of stored quantised coefficients.
enum class CoefficientWidth : uint8_t { Bits16 = 0, Bits32 = 1 };

// Coefficients per AC-group row of a multi-pass frame (256 x 256).
inline constexpr size_t kAcGroupCoefficients = 256 * 256;

class ACImage {
 public:
  virtual ~ACImage() = default;
  virtual CoefficientWidth SampleWidth() const = 0;
  // Entry x of row y of plane c, an int16_t* or int32_t* by SampleWidth.
  // No bound check.
  virtual void* CoefficientsAt(size_t c, size_t y, size_t x) = 0;
  // Row stride in entries.
  virtual size_t EntriesPerRow() const = 0;
  virtual void ClearAll() = 0;
  virtual void ClearPlane(size_t c) = 0;
  // Clears row y of every plane. No bound check.
  virtual void ClearRow(size_t y) = 0;
  // True when the planes have width or height 0.
  virtual bool HasNoStorage() const = 0;

  int16_t* Coefficients16At(size_t c, size_t y, size_t x) {
    return static_cast<int16_t*>(CoefficientsAt(c, y, x));
  }
  int32_t* Coefficients32At(size_t c, size_t y, size_t x) {
    return static_cast<int32_t*>(CoefficientsAt(c, y, x));
  }
};

template <typename T>
class ACImageT final : public ACImage {
 public:
  // Planes without storage.
  ACImageT() = default;
  explicit ACImageT(Image3<T>&& image) : image_(std::move(image)) {}

  CoefficientWidth SampleWidth() const override {
    return sizeof(T) == 2 ? CoefficientWidth::Bits16 : CoefficientWidth::Bits32;
  }
  void* CoefficientsAt(size_t c, size_t y, size_t x) override {
    return image_.PlaneRow(c, y) + x;
  }
  size_t EntriesPerRow() const override { return image_.PixelsPerRow(); }
  void ClearAll() override {
    for (size_t c = 0; c < 3; ++c) ClearPlane(c);
  }
  void ClearPlane(size_t c) override;
  void ClearRow(size_t y) override {
    for (size_t c = 0; c < 3; ++c) {
      std::memset(image_.PlaneRow(c, y), 0, image_.xsize() * sizeof(T));
    }
  }
  bool HasNoStorage() const override {
    return image_.xsize() == 0 || image_.ysize() == 0;
  }

 private:
  Image3<T> image_;
};

// Stores of width x height entries per plane. Failed when a size does not
// fit the plane limits or an allocation fails (no store is returned).
StatusOr<std::unique_ptr<ACImage>> CreateACImage16(
    const QovMemoryManagerStruct* memory_manager, uint64_t width,
    uint64_t height);
StatusOr<std::unique_ptr<ACImage>> CreateACImage32(
    const QovMemoryManagerStruct* memory_manager, uint64_t width,
    uint64_t height);

// The entry width a frame's coefficients need. Pass i adds values of at
// most max_token_bits bits, unpacked to signed and shifted left by
// shifts[i]; the sum of num_passes of them must fit. 16-bit when
// max_token_bits + ceil(log2 num_passes) + (largest shift) is below 16 and
// no JPEG file is rebuilt (that path reads 32-bit values).
CoefficientWidth ChooseCoefficientWidth(uint64_t max_token_bits,
                                        const uint32_t* shifts,
                                        size_t num_passes, bool for_jpeg);

// The store of a frame: 65536 x num_groups entries of the chosen width when
// num_passes >= 2 (cleared, one group row per item on `pool` so that the
// first touch of a large store is spread over the threads), else an empty
// store of that width.
StatusOr<std::unique_ptr<ACImage>> CreateFrameACImage(
    const QovMemoryManagerStruct* memory_manager, CoefficientWidth width,
    size_t num_passes, uint64_t num_groups, const TaskPool* pool = nullptr);

}  // namespace qov

#endif  // QOV_LIB_VARDCT_AC_IMAGE_H_
