// The transform bundle of modular group headers (RCT, palette, squeeze) with
// its two operations: reshaping the channel list before channel data is read,
// and undoing the transform on the decoded channels.
#ifndef QOV_LIB_MODULAR_TRANSFORM_H_
#define QOV_LIB_MODULAR_TRANSFORM_H_

#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/base/task_pool.h"
#include "lib/bitstream/fields.h"

namespace qov {

class ModularImage;
namespace weighted {
class Header;
}  // namespace weighted

enum class TransformKind : uint32_t {
  Rct = 0,
  Palette = 1,
  Squeeze = 2,
  Invalid = 3,  // not read yet; a coded 3 is rejected
};

// One squeeze step over channels first_channel .. first_channel +
// channel_count - 1.
class SqueezeParams : public Fields {
 public:
  SqueezeParams();
  SqueezeParams(const SqueezeParams&) = default;
  SqueezeParams& operator=(const SqueezeParams&) = default;
  Status EnumerateFields(Visitor* visitor) override;

  bool horizontal = false;  // halves the width, else the height
  bool in_place = false;    // residuals right after the run, else at the end
  uint32_t first_channel = 0;
  uint32_t channel_count = 2;
};

class Transform : public Fields {
 public:
  // Every coded field at its default, kind Invalid.
  Transform();
  Transform(const Transform&) = default;
  Transform& operator=(const Transform&) = default;
  Transform(Transform&&) noexcept = default;
  Transform& operator=(Transform&&) noexcept = default;
  ~Transform() override = default;

  Status EnumerateFields(Visitor* visitor) override;

  // Reshapes the image's channel list to the shapes the channels are coded
  // in. A squeeze with no steps stores its default steps into `steps`, so
  // the later undo of the same transform uses them.
  Status ApplyToChannelList(ModularImage& image);
  // Turns the decoded channels back. wp_header: the weighted-predictor
  // parameters of the group header (used by the palette only).
  Status Undo(ModularImage& image, const weighted::Header& wp_header,
              const TaskPool* pool) const;

  TransformKind kind = TransformKind::Invalid;
  uint32_t first_channel = 0;  // RCT and palette
  uint32_t rct_selector = 6;   // permutation x 7 + RCT kind, 0..41
  uint32_t channel_count = 3;  // channels a palette replaces
  uint32_t colour_count = 256;
  uint32_t delta_count = 0;  // leading palette entries that are deltas
  std::vector<SqueezeParams> steps;  // empty: default steps
  uint32_t palette_predictor = 0;   // 0..13
};

// Ok when channels first..last exist, lie all among the meta channels or all
// outside them, and have equal width, height, hshift and vshift.
Status CheckMatchingChannels(const ModularImage& image, uint32_t first,
                             uint32_t last);

}  // namespace qov

#endif  // QOV_LIB_MODULAR_TRANSFORM_H_
