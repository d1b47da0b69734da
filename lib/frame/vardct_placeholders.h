// Minimal stand-ins for the VarDCT records still being built (dequantisation
// tables, quantizer, group scratch), next to the real VarDCT records that
// the frame decoding state holds. They keep the defaults the state starts
// from and nothing else. Frames are never decoded through them (the section
// content seam declines first).
#ifndef QOV_LIB_FRAME_VARDCT_PLACEHOLDERS_H_
#define QOV_LIB_FRAME_VARDCT_PLACEHOLDERS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/image.h"
#include "lib/base/status.h"
#include "lib/base/task_pool.h"
#include "lib/vardct/ac_image.h"
#include "lib/vardct/block_ctx_map.h"
#include "lib/vardct/chroma_from_luma.h"
#include "lib/vardct/coefficient_order.h"
#include "lib/vardct/dc_smoothing.h"
#include "qov/qov.h"

namespace qov {

class FrameDecodingState;

// Dequantisation specs and tables; only the DC steps are carried.
class DequantTableSet {
 public:
  DequantTableSet() = default;
  DequantTableSet(DequantTableSet&&) noexcept = default;
  DequantTableSet& operator=(DequantTableSet&&) noexcept = default;

  float dc_steps[3] = {1.0f / 4096.0f, 1.0f / 512.0f, 1.0f / 256.0f};
  float inv_dc_steps[3] = {4096.0f, 512.0f, 256.0f};
};

// Quantisation scales built on the frame's dequantisation tables.
class Quantizer {
 public:
  explicit Quantizer(const DequantTableSet* dequant) : dequant_(dequant) {}

  // The DC multipliers and their inverses come first, as in the real record.
  float dc_multipliers[4] = {1.0f, 1.0f, 1.0f, 1.0f};
  float inv_dc_multipliers[4] = {1.0f, 1.0f, 1.0f, 1.0f};

  const DequantTableSet* dequant() const { return dequant_; }

 private:
  const DequantTableSet* dequant_;
};

// Per-thread (or per-group) scratch of VarDCT group decoding.
struct alignas(64) GroupDecodeScratch {
  uint64_t passes_sized = 0;
};

}  // namespace qov

#endif  // QOV_LIB_FRAME_VARDCT_PLACEHOLDERS_H_
