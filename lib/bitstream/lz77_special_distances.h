// The 120 two-dimensional special distances of LZ77 distance symbols, shared
// by the symbol reader and the encoder's match finder.
#ifndef QOV_LIB_BITSTREAM_LZ77_SPECIAL_DISTANCES_H_
#define QOV_LIB_BITSTREAM_LZ77_SPECIAL_DISTANCES_H_

#include <cstdint>

namespace qov {

inline constexpr uint32_t kNumSpecialDistances = 120;

// (dx, dy) of the distance symbols 0..119.
inline constexpr int8_t kLz77SpecialDistances[kNumSpecialDistances][2] = {
    {0, 1},  {1, 0},  {1, 1},  {-1, 1}, {0, 2},  {2, 0},  {1, 2},  {-1, 2},
    {2, 1},  {-2, 1}, {2, 2},  {-2, 2}, {0, 3},  {3, 0},  {1, 3},  {-1, 3},
    {3, 1},  {-3, 1}, {2, 3},  {-2, 3}, {3, 2},  {-3, 2}, {0, 4},  {4, 0},
    {1, 4},  {-1, 4}, {4, 1},  {-4, 1}, {3, 3},  {-3, 3}, {2, 4},  {-2, 4},
    {4, 2},  {-4, 2}, {0, 5},  {3, 4},  {-3, 4}, {4, 3},  {-4, 3}, {5, 0},
    {1, 5},  {-1, 5}, {5, 1},  {-5, 1}, {2, 5},  {-2, 5}, {5, 2},  {-5, 2},
    {4, 4},  {-4, 4}, {3, 5},  {-3, 5}, {5, 3},  {-5, 3}, {0, 6},  {6, 0},
    {1, 6},  {-1, 6}, {6, 1},  {-6, 1}, {2, 6},  {-2, 6}, {6, 2},  {-6, 2},
    {4, 5},  {-4, 5}, {5, 4},  {-5, 4}, {3, 6},  {-3, 6}, {6, 3},  {-6, 3},
    {0, 7},  {7, 0},  {1, 7},  {-1, 7}, {5, 5},  {-5, 5}, {7, 1},  {-7, 1},
    {4, 6},  {-4, 6}, {6, 4},  {-6, 4}, {2, 7},  {-2, 7}, {7, 2},  {-7, 2},
    {3, 7},  {-3, 7}, {7, 3},  {-7, 3}, {5, 6},  {-5, 6}, {6, 5},  {-6, 5},
    {8, 0},  {4, 7},  {-4, 7}, {7, 4},  {-7, 4}, {8, 1},  {8, 2},  {6, 6},
    {-6, 6}, {8, 3},  {5, 7},  {-5, 7}, {7, 5},  {-7, 5}, {8, 4},  {6, 7},
    {-6, 7}, {7, 6},  {-7, 6}, {8, 5},  {7, 7},  {-7, 7}, {8, 6},  {8, 7}};

// Special distance i for a row width (multiplier) w: max(1, dx + w * dy),
// in signed 32-bit arithmetic that wraps like the format's definition (the
// multiplier is taken modulo 2^32).
inline int32_t Lz77SpecialDistance(uint32_t i, uint64_t multiplier) {
  const uint32_t w = static_cast<uint32_t>(multiplier);
  const uint32_t d =
      static_cast<uint32_t>(static_cast<int32_t>(kLz77SpecialDistances[i][0])) +
      w * static_cast<uint32_t>(
              static_cast<int32_t>(kLz77SpecialDistances[i][1]));
  const int32_t signed_d = static_cast<int32_t>(d);
  return signed_d < 1 ? 1 : signed_d;
}

}  // namespace qov

#endif  // QOV_LIB_BITSTREAM_LZ77_SPECIAL_DISTANCES_H_
