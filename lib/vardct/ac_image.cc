// Creating and clearing AC coefficient stores, and choosing their width.
#include "lib/vardct/ac_image.h"

#include <cstring>

#include "lib/base/bits.h"

namespace qov {

template <typename T>
void ACImageT<T>::ClearPlane(size_t c) {
  const size_t ysize = image_.ysize(), xsize = image_.xsize();
  for (size_t y = 0; y < ysize; ++y) {
    std::memset(image_.PlaneRow(c, y), 0, xsize * sizeof(T));
  }
}

template class ACImageT<int16_t>;
template class ACImageT<int32_t>;

namespace {

template <typename T>
StatusOr<std::unique_ptr<ACImage>> CreateACImage(
    const QovMemoryManagerStruct* memory_manager, uint64_t width,
    uint64_t height) {
  QOV_ASSIGN_OR_RETURN(Image3<T> image,
                       Image3<T>::Create(memory_manager, width, height));
  return StatusOr<std::unique_ptr<ACImage>>(
      std::make_unique<ACImageT<T>>(std::move(image)));
}

}  // namespace

StatusOr<std::unique_ptr<ACImage>> CreateACImage16(
    const QovMemoryManagerStruct* memory_manager, uint64_t width,
    uint64_t height) {
  return CreateACImage<int16_t>(memory_manager, width, height);
}

StatusOr<std::unique_ptr<ACImage>> CreateACImage32(
    const QovMemoryManagerStruct* memory_manager, uint64_t width,
    uint64_t height) {
  return CreateACImage<int32_t>(memory_manager, width, height);
}

CoefficientWidth ChooseCoefficientWidth(uint64_t max_token_bits,
                                        const uint32_t* shifts,
                                        size_t num_passes, bool for_jpeg) {
  if (for_jpeg) return CoefficientWidth::Bits32;
  const uint64_t log2_passes = CeilLog2(num_passes);
  uint64_t max_shift = 0;
  for (size_t i = 0; i < num_passes; ++i) {
    max_shift = shifts[i] > max_shift ? shifts[i] : max_shift;
  }
  // Each pass adds at most 2^(bits - 1) << shift in magnitude.
  const uint64_t bits = max_token_bits + log2_passes + max_shift;
  return bits < 16 ? CoefficientWidth::Bits16 : CoefficientWidth::Bits32;
}

StatusOr<std::unique_ptr<ACImage>> CreateFrameACImage(
    const QovMemoryManagerStruct* memory_manager, CoefficientWidth width,
    size_t num_passes, uint64_t num_groups, const TaskPool* pool) {
  const uint64_t xsize = num_passes >= 2 ? kAcGroupCoefficients : 0;
  const uint64_t ysize = num_passes >= 2 ? num_groups : 0;
  if (ysize > UINT32_MAX) return FailedStatus();
  QOV_ASSIGN_OR_RETURN(std::unique_ptr<ACImage> image,
                       width == CoefficientWidth::Bits16
                           ? CreateACImage16(memory_manager, xsize, ysize)
                           : CreateACImage32(memory_manager, xsize, ysize));
  if (ysize != 0) {
    ACImage* store = image.get();
    QOV_RETURN_IF_ERROR(RunOnPool(pool, static_cast<uint32_t>(ysize), nullptr,
                                  [store](uint32_t y, size_t) {
                                    store->ClearRow(y);
                                    return OkStatus();
                                  }));
  }
  return StatusOr<std::unique_ptr<ACImage>>(std::move(image));
}

}  // namespace qov
