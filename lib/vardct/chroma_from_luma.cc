// Creating the chroma-from-luma map and reading its global values.
#include "lib/vardct/chroma_from_luma.h"

#include <cmath>
#include <cstring>
#include <utility>

namespace qov {
namespace {

constexpr U32Coding kColorFactorCoding(Val(84), Val(256), BitsOffset(8, 2),
                                       BitsOffset(16, 258));
constexpr float kMaxBaseCorrelation = 4.0f;

}  // namespace

StatusOr<ChromaFromLumaMap> ChromaFromLumaMap::Create(
    const QovMemoryManagerStruct* memory_manager, uint64_t width,
    uint64_t height) {
  constexpr uint64_t kLimit = uint64_t{1} << 38;
  if (width >= kLimit - 63 || height >= kLimit - 63) return FailedStatus();
  const uint64_t xtiles = (width + kColorTileDim - 1) / kColorTileDim;
  const uint64_t ytiles = (height + kColorTileDim - 1) / kColorTileDim;
  ChromaFromLumaMap map;
  QOV_ASSIGN_OR_RETURN(map.ytox_map,
                       PlaneI8::Create(memory_manager, xtiles, ytiles));
  QOV_ASSIGN_OR_RETURN(map.ytob_map,
                       PlaneI8::Create(memory_manager, xtiles, ytiles));
  for (uint64_t y = 0; y < ytiles; ++y) {
    std::memset(map.ytox_map.Row(y), 0, xtiles);
    std::memset(map.ytob_map.Row(y), 0, xtiles);
  }
  return StatusOr<ChromaFromLumaMap>(std::move(map));
}

void ChromaFromLumaMap::RecomputeDcFactors() {
  dc_factors[0] = static_cast<float>(ytox_dc) * color_scale + base_correlation_x;
  dc_factors[1] = 0.0f;
  dc_factors[2] = static_cast<float>(ytob_dc) * color_scale + base_correlation_b;
}

Status ChromaFromLumaMap::ReadDcFactors(BitReader& reader) {
  if (reader.Read(1) == 1) return OkStatus();
  color_factor = ReadCodedU32(kColorFactorCoding, &reader);
  color_scale = 1.0f / static_cast<float>(color_factor);
  float x = 0.0f, b = 0.0f;
  QOV_RETURN_IF_ERROR(ReadHalfFloat(&reader, &x));
  if (!(std::fabs(x) <= kMaxBaseCorrelation)) return FailedStatus();
  base_correlation_x = x;
  QOV_RETURN_IF_ERROR(ReadHalfFloat(&reader, &b));
  if (!(std::fabs(b) <= kMaxBaseCorrelation)) return FailedStatus();
  base_correlation_b = b;
  ytox_dc = static_cast<int32_t>(reader.Read(8)) - 128;
  ytob_dc = static_cast<int32_t>(reader.Read(8)) - 128;
  RecomputeDcFactors();
  return OkStatus();
}

}  // namespace qov
