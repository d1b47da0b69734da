// Reading the quantizer parameters and deriving the scales.
#include "lib/vardct/quantizer.h"

namespace qov {

QuantizerParams::QuantizerParams() { Bundle::ResetToDefaults(this); }

Status QuantizerParams::EnumerateFields(Visitor* visitor) {
  QOV_RETURN_IF_ERROR(visitor->CodedU32(
      U32Coding(BitsOffset(11, 1), BitsOffset(11, 2049), BitsOffset(12, 4097),
                BitsOffset(16, 8193)),
      1, &global_scale));
  return visitor->CodedU32(U32Coding(Val(16), BitsOffset(5, 1),
                                     BitsOffset(8, 1), BitsOffset(16, 1)),
                           1, &quant_dc);
}

Quantizer::Quantizer(const DequantTableSet* dequant) : dequant_(dequant) {
  for (size_t c = 0; c < 3; ++c) {
    dc_multipliers[c] = dequant->dc_steps[c];
    inv_dc_multipliers[c] = dequant->inv_dc_steps[c];
  }
}

Status Quantizer::ReadParams(BitReader& reader) {
  QuantizerParams params;
  QOV_RETURN_IF_ERROR(Bundle::Decode(reader, params));
  const uint32_t g = params.global_scale;
  const uint32_t q = params.quant_dc;
  global_scale = static_cast<int32_t>(g);
  quant_dc = static_cast<int32_t>(q);
  global_scale_fraction = static_cast<float>(g * (1.0 / 65536.0));
  inv_global_scale = static_cast<float>(65536.0 / g);
  inv_quant_dc = inv_global_scale / static_cast<float>(q);
  const float inv_scale = global_scale_fraction * static_cast<float>(q);
  for (size_t c = 0; c < 3; ++c) {
    dc_multipliers[c] = dequant_->dc_steps[c] * inv_quant_dc;
    inv_dc_multipliers[c] = dequant_->inv_dc_steps[c] * inv_scale;
  }
  return OkStatus();
}

}  // namespace qov
