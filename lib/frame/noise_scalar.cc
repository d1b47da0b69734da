// Reference noise generation, one lane at a time, and the pieces every
// target shares: table decoding, seeding and the group tiling.
#include <algorithm>
#include <cstring>

#include "lib/frame/noise.h"

namespace qov {

void NoiseStrengthTable::Decode(BitReader& reader) {
  for (float& value : lut) {
    value = static_cast<float>(reader.Read(10)) * 0.0009765625f;
  }
}

NoiseGeneratorState SeedNoiseGenerator(uint64_t visible_frame,
                                       uint64_t nonvisible_frame, uint64_t x,
                                       uint64_t y) {
  const uint64_t a = (visible_frame << 32) | (nonvisible_frame & 0xFFFFFFFFu);
  const uint64_t b = (x << 32) | (y & 0xFFFFFFFFu);
  NoiseGeneratorState state;
  state.s0[0] = NoiseSeedMix(a + 0x9E3779B97F4A7C15ull);
  state.s1[0] = NoiseSeedMix(b + 0x9E3779B97F4A7C15ull);
  for (int k = 1; k < 8; ++k) {
    state.s0[k] = NoiseSeedMix(state.s0[k - 1]);
    state.s1[k] = NoiseSeedMix(state.s1[k - 1]);
  }
  return state;
}

void AddNoisePlanesScalar(uint64_t visible_frame, uint64_t nonvisible_frame,
                          uint64_t x, uint64_t y, const NoiseRect rects[3]) {
  NoiseGeneratorState state =
      SeedNoiseGenerator(visible_frame, nonvisible_frame, x, y);
  float values[16];
  for (int r = 0; r < 3; ++r) {
    const NoiseRect& rect = rects[r];
    for (uint64_t row = 0; row < rect.ysize; ++row) {
      float* out =
          reinterpret_cast<float*>(rect.plane->RowBytes(rect.y0 + row)) + rect.x0;
      for (uint64_t col = 0; col < rect.xsize; col += 16) {
        for (int k = 0; k < 8; ++k) {
          const uint64_t s0 = state.s0[k], s1 = state.s1[k];
          const uint64_t output = s0 + s1;
          const uint64_t t = s0 ^ (s0 << 23);
          state.s0[k] = s1;
          state.s1[k] = t ^ (t >> 18) ^ s1 ^ (s1 >> 5);
          const uint32_t halves[2] = {static_cast<uint32_t>(output),
                                      static_cast<uint32_t>(output >> 32)};
          for (int h = 0; h < 2; ++h) {
            const uint32_t bits = (halves[h] >> 9) | 0x3F800000u;
            std::memcpy(&values[2 * k + h], &bits, 4);
          }
        }
        const uint64_t n = std::min<uint64_t>(16, rect.xsize - col);
        std::memcpy(out + col, values, n * sizeof(float));
      }
    }
  }
}

void AddGroupNoiseTiles(uint64_t visible_frame, uint64_t nonvisible_frame,
                        uint64_t group_dim, uint64_t groups_per_row,
                        uint64_t upsampling, uint64_t group,
                        const NoiseRect channels[3]) {
  if (groups_per_row == 0) return;
  const uint64_t gx = group % groups_per_row;
  const uint64_t gy = group / groups_per_row;
  for (uint64_t iy = 0; iy < upsampling; ++iy) {
    for (uint64_t ix = 0; ix < upsampling; ++ix) {
      NoiseRect tiles[3];
      for (int c = 0; c < 3; ++c) {
        const NoiseRect& whole = channels[c];
        const uint64_t x = whole.x0 + ix * group_dim;
        const uint64_t y = whole.y0 + iy * group_dim;
        const uint64_t right = whole.x0 + whole.xsize;
        const uint64_t bottom = whole.y0 + whole.ysize;
        tiles[c] = whole;
        tiles[c].x0 = x;
        tiles[c].y0 = y;
        tiles[c].xsize = std::min(group_dim, right > x ? right - x : 0);
        tiles[c].ysize = std::min(group_dim, bottom > y ? bottom - y : 0);
      }
      AddNoisePlanes(visible_frame, nonvisible_frame,
                     group_dim * (upsampling * gx + ix),
                     group_dim * (upsampling * gy + iy), tiles);
    }
  }
}

}  // namespace qov
