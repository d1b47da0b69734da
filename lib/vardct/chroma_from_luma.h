// Chroma-from-luma factors of a VarDCT frame: X and B gain a multiple of Y.
// One pair of small integers per 64 x 64-pixel tile (AC) and one pair for
// the DC image, turned into floats by the colour factor and the base
// correlations.
#ifndef QOV_LIB_VARDCT_CHROMA_FROM_LUMA_H_
#define QOV_LIB_VARDCT_CHROMA_FROM_LUMA_H_

#include <cstdint>

#include "lib/base/image.h"
#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "qov/qov.h"

namespace qov {

inline constexpr uint32_t kColorTileDim = 64;
inline constexpr uint32_t kDefaultColorFactor = 84;

using PlaneI8 = SamplePlane<int8_t>;

class ChromaFromLumaMap {
 public:
  // Empty tile maps and the default factors.
  ChromaFromLumaMap() = default;
  ChromaFromLumaMap(ChromaFromLumaMap&&) noexcept = default;
  ChromaFromLumaMap& operator=(ChromaFromLumaMap&&) noexcept = default;

  // Zero-filled tile maps of ceil(width / 64) x ceil(height / 64) and the
  // defaults. Failed when width + 63 or height + 63 does not fit in 38 bits,
  // or an allocation fails.
  static StatusOr<ChromaFromLumaMap> Create(
      const QovMemoryManagerStruct* memory_manager, uint64_t width,
      uint64_t height);

  // The global values (1 bit: keep the defaults). Failed for a base
  // correlation outside [-4, 4] or a half float with exponent 31; the colour
  // factor is then already replaced.
  Status ReadDcFactors(BitReader& reader);

  // Factor of a tile value (X with base_correlation_x, B with _b).
  float XFactor(int32_t tile_value) const {
    return static_cast<float>(tile_value) * color_scale + base_correlation_x;
  }
  float BFactor(int32_t tile_value) const {
    return static_cast<float>(tile_value) * color_scale + base_correlation_b;
  }

  PlaneI8 ytox_map;  // X tile values, -128..127
  PlaneI8 ytob_map;  // B tile values
  float dc_factors[3] = {0.0f, 0.0f, 1.0f};  // X, Y (always 0), B
  uint32_t color_factor = kDefaultColorFactor;
  float color_scale = 1.0f / kDefaultColorFactor;  // 1 / color_factor
  float base_correlation_x = 0.0f;
  float base_correlation_b = 1.0f;
  int32_t ytox_dc = 0;
  int32_t ytob_dc = 0;

 private:
  void RecomputeDcFactors();
};

}  // namespace qov

#endif  // QOV_LIB_VARDCT_CHROMA_FROM_LUMA_H_
