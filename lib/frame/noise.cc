// SIMD copies of the noise generator: the eight xorshift128+ lanes stepped
// together, 16 floats per step. Integer arithmetic only, so every target
// matches the scalar reference bit for bit.
#include "lib/frame/noise.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/frame/noise.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cstring>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void AddNoisePlanesKernel(uint64_t visible_frame, uint64_t nonvisible_frame,
                          uint64_t x, uint64_t y, const NoiseRect* rects) {
#if HWY_TARGET == HWY_SCALAR
  // One-lane vectors cannot split 64-bit lanes into halves.
  AddNoisePlanesScalar(visible_frame, nonvisible_frame, x, y, rects);
#else
  const hn::CappedTag<uint64_t, 8> du64;
  const hn::Repartition<uint32_t, decltype(du64)> du32;
  const hn::Repartition<float, decltype(du64)> df;
  constexpr size_t kMaxVectors = 8;
  const size_t lanes = hn::Lanes(du64);
  const size_t vectors = 8 / lanes;

  const NoiseGeneratorState seed =
      SeedNoiseGenerator(visible_frame, nonvisible_frame, x, y);
  HWY_ALIGN uint64_t s0[8];
  HWY_ALIGN uint64_t s1[8];
  std::memcpy(s0, seed.s0, sizeof(s0));
  std::memcpy(s1, seed.s1, sizeof(s1));
  HWY_ALIGN float values[16];
  const auto exponent = hn::Set(du32, 0x3F800000u);

  for (int r = 0; r < 3; ++r) {
    const NoiseRect& rect = rects[r];
    for (uint64_t row = 0; row < rect.ysize; ++row) {
      float* out =
          reinterpret_cast<float*>(rect.plane->RowBytes(rect.y0 + row)) + rect.x0;
      for (uint64_t col = 0; col < rect.xsize; col += 16) {
        for (size_t v = 0; v < vectors && v < kMaxVectors; ++v) {
          const auto a = hn::Load(du64, s0 + v * lanes);
          const auto b = hn::Load(du64, s1 + v * lanes);
          const auto output = hn::Add(a, b);
          const auto t = hn::Xor(a, hn::ShiftLeft<23>(a));
          hn::Store(b, du64, s0 + v * lanes);
          hn::Store(hn::Xor(hn::Xor(t, hn::ShiftRight<18>(t)),
                            hn::Xor(b, hn::ShiftRight<5>(b))),
                    du64, s1 + v * lanes);
          // Lane k's low then high half: the little-endian halves in order.
          const auto halves = hn::BitCast(du32, output);
          const auto bits = hn::Or(hn::ShiftRight<9>(halves), exponent);
          hn::Store(hn::BitCast(df, bits), df, values + 2 * v * lanes);
        }
        const uint64_t n = std::min<uint64_t>(16, rect.xsize - col);
        std::memcpy(out + col, values, n * sizeof(float));
      }
    }
  }
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(AddNoisePlanesKernel);

void AddNoisePlanes(uint64_t visible_frame, uint64_t nonvisible_frame,
                    uint64_t x, uint64_t y, const NoiseRect rects[3]) {
  HWY_DYNAMIC_DISPATCH(AddNoisePlanesKernel)
  (visible_frame, nonvisible_frame, x, y, rects);
}

}  // namespace qov
#endif  // HWY_ONCE
