// Minimal stand-ins for the VarDCT frame-global records that the frame
// decoding state holds, and for the VarDCT services the frame driver calls.
// They keep the defaults the state starts from and nothing else: VarDCT
// decoding replaces this file with the real records. Frames are never
// decoded through them (the section content seam declines first).
#ifndef QOV_LIB_FRAME_VARDCT_PLACEHOLDERS_H_
#define QOV_LIB_FRAME_VARDCT_PLACEHOLDERS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/image.h"
#include "lib/base/status.h"
#include "lib/base/task_pool.h"
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

// Colour-correlation factors; the 64 x 64 tile maps are not made here.
class ChromaFromLumaMap {
 public:
  static constexpr uint32_t kDefaultColorFactor = 84;

  uint32_t color_factor = kDefaultColorFactor;
  float color_scale = 1.0f / kDefaultColorFactor;
  float base_correlation_x = 0.0f;
  float base_correlation_b = 1.0f;
  int32_t ytox_dc = 0;
  int32_t ytob_dc = 0;

  // Failed when a size does not fit in 32 bits; otherwise the defaults.
  static StatusOr<ChromaFromLumaMap> Create(
      const QovMemoryManagerStruct* /*manager*/, uint64_t xsize, uint64_t ysize,
      uint32_t /*unused*/) {
    if (xsize > UINT32_MAX || ysize > UINT32_MAX) return FailedStatus();
    return StatusOr<ChromaFromLumaMap>(ChromaFromLumaMap());
  }
};

// Block contexts of coefficient decoding, in their default state.
class BlockCtxMap {
 public:
  uint32_t num_contexts = 15;
};

// Store of quantised AC coefficients.
class ACImage {
 public:
  virtual ~ACImage() = default;
  virtual Status ClearAll() = 0;
};

template <typename T>
class ACImageT : public ACImage {
 public:
  Status ClearAll() override { return OkStatus(); }
};

// Per-thread (or per-group) scratch of VarDCT group decoding.
struct alignas(64) GroupDecodeScratch {
  uint64_t passes_sized = 0;
};

// Coefficient orders of every pass.
using ScanOrderStore = std::vector<uint32_t>;

// Sizes the order store; nothing to size while no VarDCT data is decoded.
inline Status ReserveCoefficientOrders(FrameDecodingState* /*state*/,
                                       uint64_t /*num_passes*/) {
  return OkStatus();
}

// Adaptive DC smoothing of the whole DC image; nothing to smooth yet.
inline Status SmoothDcImage(const QovMemoryManagerStruct* /*manager*/,
                            const Quantizer& /*quantizer*/, Image3F* /*dc*/,
                            const TaskPool* /*pool*/) {
  return OkStatus();
}

}  // namespace qov

#endif  // QOV_LIB_FRAME_VARDCT_PLACEHOLDERS_H_
