// The global quantisation parameters of a VarDCT frame (global scale and DC
// quantisation) and the factors derived from them and from the frame's DC
// quantisation steps.
#ifndef QOV_LIB_VARDCT_QUANTIZER_H_
#define QOV_LIB_VARDCT_QUANTIZER_H_

#include <cstdint>

#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/fields.h"
#include "lib/vardct/dequant_tables.h"

namespace qov {

// The bundle of the DC-global section: both fields are at least 1.
class QuantizerParams : public Fields {
 public:
  QuantizerParams();
  Status EnumerateFields(Visitor* visitor) override;

  uint32_t global_scale = 1;
  uint32_t quant_dc = 1;
};

class Quantizer {
 public:
  // Defaults (global scale 1024, DC quantisation 64) with the set's DC
  // steps as multipliers. The set must outlive the quantizer.
  explicit Quantizer(const DequantTableSet* dequant);

  // Reads the bundle and recomputes every factor from it and from the DC
  // steps the set holds now. The bundle decoder's status on failure (Failed
  // or NeedMoreBytes), with the quantizer unchanged.
  Status ReadParams(BitReader& reader);

  // DC multiplier and inverse per channel X, Y, B (the fourth entries are
  // unused, 1.0); the frame sets all of them to 1.0 for JPEG output.
  float dc_multipliers[4] = {1.0f, 1.0f, 1.0f, 1.0f};
  float inv_dc_multipliers[4] = {1.0f, 1.0f, 1.0f, 1.0f};
  int32_t global_scale = 1024;
  int32_t quant_dc = 64;
  float inv_global_scale = 64.0f;           // 65536 / global scale
  float global_scale_fraction = 0.015625f;  // global scale / 65536
  float inv_quant_dc = 1.0f;                // inv_global_scale / quant_dc

  const DequantTableSet* dequant() const { return dequant_; }

 private:
  const DequantTableSet* dequant_;
};

}  // namespace qov

#endif  // QOV_LIB_VARDCT_QUANTIZER_H_
