// Minimal stand-ins for the frame features (patches, splines, noise) held
// by the frame decoding state. Their own decoders replace this file; until
// then every frame has none of them.
#ifndef QOV_LIB_FRAME_FEATURE_PLACEHOLDERS_H_
#define QOV_LIB_FRAME_FEATURE_PLACEHOLDERS_H_

#include <cstdint>

#include "qov/qov.h"

namespace qov {

struct ReferenceFrameSlot;

// Patches of the current frame; knows where the reference slots are.
class PatchDictionary {
 public:
  explicit PatchDictionary(const QovMemoryManagerStruct* manager)
      : memory_manager_(manager) {}

  void SetReferenceSlots(const ReferenceFrameSlot* slots) {
    reference_slots_ = slots;
  }
  const ReferenceFrameSlot* reference_slots() const { return reference_slots_; }
  const QovMemoryManagerStruct* memory_manager() const {
    return memory_manager_;
  }
  // OR of 1 << slot over the patch sources: none without patches.
  uint32_t ReferencedSlots() const { return 0; }

 private:
  const QovMemoryManagerStruct* memory_manager_;
  const ReferenceFrameSlot* reference_slots_ = nullptr;
};

// Splines of the current frame.
class Splines {
 public:
  void Clear() {}
};

// The eight noise strengths of the current frame.
struct NoiseStrengthTable {
  float lut[8] = {};
};

}  // namespace qov

#endif  // QOV_LIB_FRAME_FEATURE_PLACEHOLDERS_H_
