// Conversion of rendered float rows to the interleaved samples of a pixel
// output: float32, 8-bit with ordered dithering, 16-bit and float16. The
// dispatching entry points choose the best SIMD target; the *Scalar copies
// are the references the SIMD kernels are tested against.
#ifndef QOV_LIB_RENDER_PIXEL_PACK_H_
#define QOV_LIB_RENDER_PIXEL_PACK_H_

#include <cstddef>
#include <cstdint>

namespace qov {

// 32 rows of 48 offsets: each row's 32 values followed by its first 16
// again, so a vector of up to 16 lanes loads from any column without wrap.
inline constexpr size_t kDitherStride = 48;
const float* OrderedDitherMatrix();

// Every kernel reads `count` samples of rows[0 .. num_channels - 1]
// (num_channels 1..4) and writes count * num_channels interleaved samples.
// Kernels may read up to 7 floats past each row's end and write up to one
// vector past the output's end (callers provide the room).

// Samples unchanged.
void InterleaveFloat32(const float* const* rows, size_t num_channels,
                       size_t count, float* out);
// v * scale plus the dither offset of (x + i + 23c, y + 13c), clamped to
// [0, scale] (NaN: 0), rounded to nearest even, saturated to a byte.
void PackUint8Dithered(const float* const* rows, size_t num_channels,
                       size_t count, float scale, size_t x, size_t y,
                       uint8_t* out);
// v * scale clamped to [0, scale] (NaN: 0), rounded to nearest even,
// saturated to 16 bits; native order.
void PackUint16(const float* const* rows, size_t num_channels, size_t count,
                float scale, uint16_t* out);
// IEEE binary16, rounded to nearest even; NaN becomes 0x7FFF or 0xFFFF.
void PackFloat16(const float* const* rows, size_t num_channels, size_t count,
                 uint16_t* out);
// Reverses the bytes of each 16-bit or 32-bit sample.
void SwapBytes16(uint16_t* samples, size_t count);
void SwapBytes32(uint32_t* samples, size_t count);

// Scalar references, for tests only. OrderedDitherMatrix, InterleaveFloat32
// and SwapBytes16/32 above share their file and are the output stage's.
void PackUint8DitheredScalar(const float* const* rows, size_t num_channels,
                             size_t count, float scale, size_t x, size_t y,
                             uint8_t* out);
void PackUint16Scalar(const float* const* rows, size_t num_channels,
                      size_t count, float scale, uint16_t* out);
void PackFloat16Scalar(const float* const* rows, size_t num_channels,
                       size_t count, uint16_t* out);
uint16_t FloatToHalfScalar(float v);

}  // namespace qov

#endif  // QOV_LIB_RENDER_PIXEL_PACK_H_
