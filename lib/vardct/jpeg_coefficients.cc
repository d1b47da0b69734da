// JPEG coefficient path: preparation checks and tables, and the block step.
// The chroma-from-luma terms are computed in 64 bits: equal to 32-bit
// two's-complement arithmetic whenever that does not overflow, and never
// undefined for extreme inputs (whose results then fail the range check).
#include "lib/vardct/jpeg_coefficients.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace qov {
namespace {

constexpr uint32_t kRawMode = 7;
constexpr float kJpegDenominator = 0.0004901961f;  // 1 / (8 x 255)
constexpr uint32_t kColorTransformXyb = 0;
constexpr uint32_t kColorTransformNone = 1;
constexpr uint32_t kColorTransformYCbCr = 2;
constexpr int32_t kMaxJpegCoefficient = 4095;

int16_t Saturate16(int64_t v) {
  return static_cast<int16_t>(std::clamp<int64_t>(v, -32768, 32767));
}

}  // namespace

JpegQuantSource JpegQuantSourceOf(const DequantTableSet& tables) {
  const DequantTableSpec& spec = tables.spec(DequantTableKind::Dct8By8);
  JpegQuantSource source;
  source.present = true;
  source.mode = static_cast<uint32_t>(spec.mode);
  source.denominator = spec.denominator;
  source.raw = spec.raw.data();
  source.raw_size = spec.raw.size();
  return source;
}

Status PrepareJpegCoefficientPath(const ChromaFromLumaMap& cfl,
                                  uint32_t color_transform,
                                  const JpegQuantSource& quant,
                                  size_t num_components,
                                  JpegCoefficientPath* out) {
  if (cfl.color_factor != kDefaultColorFactor ||
      !(cfl.base_correlation_x == 0.0f) || !(cfl.base_correlation_b == 0.0f) ||
      cfl.ytox_dc != 0 || cfl.ytob_dc != 0) {
    return FailedStatus();
  }
  if (color_transform == kColorTransformXyb) return FailedStatus();
  if (!quant.present || quant.mode != kRawMode ||
      !(std::fabs(quant.denominator + (-kJpegDenominator)) <= 1e-8f) ||
      quant.raw == nullptr || quant.raw_size != 192) {
    return FailedStatus();
  }
  for (size_t i = 0; i < 192; ++i) {
    if (quant.raw[i] < 1 || quant.raw[i] > 65535) return FailedStatus();
  }
  if (num_components != 1 && num_components != 3) return FailedStatus();
  const bool ycbcr = color_transform == kColorTransformYCbCr;
  const bool three = num_components == 3;
  out->single_component = !three;
  out->component[0] = ycbcr && three ? 1 : 0;
  out->component[1] = three && !ycbcr ? 1 : 0;
  out->component[2] = three ? 2 : 0;
  const int32_t* tx = quant.raw;
  const int32_t* ty = quant.raw + 64;
  const int32_t* tb = quant.raw + 128;
  for (size_t c = 0; c < 3; ++c) {
    out->dc_offset[c] = color_transform == kColorTransformNone
                            ? 1024 / quant.raw[64 * c]
                            : 0;
  }
  for (size_t r = 0; r < 8; ++r) {
    for (size_t k = 0; k < 8; ++k) {
      const size_t i = 8 * r + k;
      const uint32_t y = static_cast<uint32_t>(ty[i]) << 11;
      out->ratio_x[8 * k + r] =
          static_cast<int32_t>(y / static_cast<uint32_t>(tx[i]));
      out->ratio_b[8 * k + r] =
          static_cast<int32_t>(y / static_cast<uint32_t>(tb[i]));
    }
  }
  return OkStatus();
}

void StoreJpegBlockTransposed(int32_t block[64]) {
  for (size_t r = 0; r < 8; ++r) {
    for (size_t k = r + 1; k < 8; ++k) std::swap(block[8 * r + k], block[8 * k + r]);
  }
}

Status WriteJpegBlock(const JpegCoefficientPath& path, const JpegBlock& block,
                      JpegComponentCoefficients* const components) {
  if (block.kind != VarBlockKind::Dct8By8) return FailedStatus();
  const bool cfl = !block.subsampled && (block.tile_x != 0 || block.tile_b != 0);
  const int32_t* luma = nullptr;
  static constexpr size_t kChannelOrder[3] = {1, 0, 2};
  for (size_t c : kChannelOrder) {
    if (path.single_component && c != 1) continue;
    if (!block.on_grid[c]) continue;
    JpegComponentCoefficients& comp = components[path.component[c]];
    const uint64_t index =
        uint64_t{block.row[c]} * comp.width_in_blocks + block.column[c];
    if (block.column[c] >= comp.width_in_blocks ||
        index >= comp.size / 64) {
      return FailedStatus();
    }
    int16_t* dst = comp.data + 64 * index;
    int32_t* values = block.coefficients[c];
    StoreJpegBlockTransposed(values);
    if (cfl && c != 1 && luma != nullptr) {
      const int32_t f = c == 0 ? block.tile_x : block.tile_b;
      const int32_t* ratio = c == 0 ? path.ratio_x : path.ratio_b;
      const int64_t r = (int64_t{f} * 2048) / 84;
      for (size_t i = 0; i < 64; ++i) {
        const int64_t scaled = (r * ratio[i] + 1024) >> 11;
        dst[i] = Saturate16(values[i] + ((scaled * luma[i] + 1024) >> 11));
      }
    } else {
      for (size_t i = 0; i < 64; ++i) dst[i] = Saturate16(values[i]);
    }
    if (c == 1) luma = values;
    float d = block.dc[c] - static_cast<float>(path.dc_offset[c]);
    d = d > 2047.0f ? 2047.0f : (d < -2047.0f ? -2047.0f : d);
    if (std::isnan(d)) d = 0.0f;
    dst[0] = static_cast<int16_t>(d);
    for (size_t i = 0; i < 64; ++i) {
      if (dst[i] > kMaxJpegCoefficient || dst[i] < -kMaxJpegCoefficient) {
        return FailedStatus();
      }
    }
  }
  return OkStatus();
}

}  // namespace qov
