// Where and how rendered pixels are delivered: the pixel format, and either
// row callbacks or a caller buffer with its stride.
#ifndef QOV_LIB_FRAME_PIXEL_OUTPUT_H_
#define QOV_LIB_FRAME_PIXEL_OUTPUT_H_

#include <cstddef>
#include <cstdint>

#include "lib/base/status.h"

namespace qov {

// Sample types of pixel output, with the values of the public interface.
enum class OutputSampleType : uint32_t {
  kFloat32 = 0,  // 4 bytes per sample
  kUint8 = 2,    // 1 byte
  kUint16 = 3,   // 2 bytes
  kFloat16 = 5,  // 2 bytes
};

// Samples are byte-swapped only for kBigEndian.
enum class ByteOrder : uint32_t {
  kNative = 0,
  kLittleEndian = 1,
  kBigEndian = 2,
};

struct OutputPixelFormat {
  // 1 grey, 2 grey + alpha, 3 colour, 4 colour + alpha.
  uint32_t num_channels = 0;
  OutputSampleType data_type = OutputSampleType::kFloat32;
  ByteOrder byte_order = ByteOrder::kNative;
  // Rows of a buffer start at multiples of this (0 and 1: packed rows).
  uint64_t row_alignment = 0;
};

// Row delivery: init returns the run state (null is a failure), run
// receives `num_pixels` interleaved pixels of row y from column x, destroy
// releases the run state.
struct PixelRowCallbacks {
  void* (*init)(void* init_opaque, size_t num_threads,
                size_t pixels_per_call) = nullptr;
  void (*run)(void* run_opaque, size_t thread_index, size_t x, size_t y,
              size_t num_pixels, const void* pixels) = nullptr;
  void (*destroy)(void* run_opaque) = nullptr;
  void* init_opaque = nullptr;
};

// One destination of rendered pixels: through the callbacks when run is
// set, else into the buffer.
struct PixelOutputTarget {
  OutputPixelFormat format;
  uint64_t bits_per_sample = 0;  // significant bits of integer samples
  PixelRowCallbacks callbacks;
  void* buffer = nullptr;
  uint64_t buffer_size = 0;
  uint64_t stride = 0;  // bytes per buffer row

  // An extra-channel entry is in use when it has somewhere to write.
  bool InUse() const { return callbacks.run != nullptr || buffer != nullptr; }
};

// Bytes per sample of a sample type: 1 for kUint8, 4 for kFloat32, 2 for
// every other type.
uint64_t BytesPerOutputSample(OutputSampleType type);

// Bytes per row of xsize pixels in `format`, rounded up to the row
// alignment when that is above 1. 0 when num_channels or xsize is 0.
// Failed when the product or the rounding overflows 64 bits.
StatusOr<uint64_t> OutputRowStride(const OutputPixelFormat& format,
                                   uint64_t xsize);

}  // namespace qov

#endif  // QOV_LIB_FRAME_PIXEL_OUTPUT_H_
