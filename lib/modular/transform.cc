// Transform and squeeze-step bundles, the per-kind dispatch of the
// channel-list step and of the undo, and the check of a run of channels.
#include "lib/modular/transform.h"

#include "lib/modular/modular_image.h"
#include "lib/modular/palette.h"
#include "lib/modular/rct.h"
#include "lib/modular/squeeze.h"

namespace qov {
namespace {

constexpr U32Coding kChannelIndexCoding(Bits(3), BitsOffset(6, 8),
                                        BitsOffset(10, 72),
                                        BitsOffset(13, 1096));
constexpr uint32_t kMaxRctSelector = 41;
constexpr uint32_t kMaxPalettePredictor = 13;

bool SameShape(const ModularChannel& a, const ModularChannel& b) {
  return a.width == b.width && a.height == b.height && a.hshift == b.hshift &&
         a.vshift == b.vshift;
}

}  // namespace

SqueezeParams::SqueezeParams() { Bundle::ResetToDefaults(this); }

Status SqueezeParams::EnumerateFields(Visitor* visitor) {
  QOV_RETURN_IF_ERROR(visitor->Flag(false, &horizontal));
  QOV_RETURN_IF_ERROR(visitor->Flag(false, &in_place));
  QOV_RETURN_IF_ERROR(
      visitor->CodedU32(kChannelIndexCoding, 0, &first_channel));
  return visitor->CodedU32(
      U32Coding(Val(1), Val(2), Val(3), BitsOffset(4, 4)), 2, &channel_count);
}

Transform::Transform() {
  Bundle::ResetToDefaults(this);
  kind = TransformKind::Invalid;
}

Status Transform::EnumerateFields(Visitor* visitor) {
  uint32_t coded_kind = static_cast<uint32_t>(kind);
  QOV_RETURN_IF_ERROR(visitor->CodedU32(
      U32Coding(Val(0), Val(1), Val(2), Val(3)), 0, &coded_kind));
  if (coded_kind >= static_cast<uint32_t>(TransformKind::Invalid)) {
    return FailedStatus();
  }
  kind = static_cast<TransformKind>(coded_kind);
  if (visitor->Gate(coded_kind < 2)) {
    QOV_RETURN_IF_ERROR(
        visitor->CodedU32(kChannelIndexCoding, 0, &first_channel));
  }
  if (visitor->Gate(kind == TransformKind::Rct)) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(
        U32Coding(Val(6), Bits(2), BitsOffset(4, 2), BitsOffset(6, 10)), 6,
        &rct_selector));
    if (rct_selector > kMaxRctSelector) return FailedStatus();
  }
  if (visitor->Gate(kind == TransformKind::Palette)) {
    QOV_RETURN_IF_ERROR(visitor->CodedU32(
        U32Coding(Val(1), Val(3), Val(4), BitsOffset(13, 1)), 3,
        &channel_count));
    QOV_RETURN_IF_ERROR(visitor->CodedU32(
        U32Coding(Bits(8), BitsOffset(10, 256), BitsOffset(12, 1280),
                  BitsOffset(16, 5376)),
        256, &colour_count));
    QOV_RETURN_IF_ERROR(visitor->CodedU32(
        U32Coding(Val(0), BitsOffset(8, 1), BitsOffset(10, 257),
                  BitsOffset(16, 1281)),
        0, &delta_count));
    QOV_RETURN_IF_ERROR(visitor->FixedBits(4, 0, &palette_predictor));
    if (palette_predictor > kMaxPalettePredictor) return FailedStatus();
  }
  if (visitor->Gate(kind == TransformKind::Squeeze)) {
    uint32_t step_count = static_cast<uint32_t>(steps.size());
    QOV_RETURN_IF_ERROR(visitor->CodedU32(
        U32Coding(Val(0), BitsOffset(4, 1), BitsOffset(6, 9),
                  BitsOffset(8, 41)),
        0, &step_count));
    if (visitor->IsDecoding()) steps.resize(step_count);
    for (SqueezeParams& step : steps) {
      QOV_RETURN_IF_ERROR(visitor->Nested(&step));
    }
  }
  return OkStatus();
}

Status Transform::ApplyToChannelList(ModularImage& image) {
  switch (kind) {
    case TransformKind::Squeeze:
      return SqueezeApplyToChannelList(image, steps);
    case TransformKind::Palette:
      return PaletteApplyToChannelList(image, first_channel,
                                       first_channel + channel_count - 1,
                                       colour_count, delta_count);
    case TransformKind::Rct: {
      const uint64_t n = image.channels.size();
      const uint64_t m = image.meta_channel_count;
      const uint64_t b = first_channel;
      if (b > UINT32_MAX - 2 || b + 2 >= n) return FailedStatus();
      if (b < m && m <= b + 2) return FailedStatus();
      const ModularChannel& c0 = image.channels[b];
      if (!SameShape(c0, image.channels[b + 1]) ||
          !SameShape(c0, image.channels[b + 2])) {
        return FailedStatus();
      }
      return OkStatus();
    }
    case TransformKind::Invalid:
      break;
  }
  return FailedStatus();
}

Status Transform::Undo(ModularImage& image, const weighted::Header& wp_header,
                       const TaskPool* pool) const {
  switch (kind) {
    case TransformKind::Rct:
      return UndoRct(image, first_channel, rct_selector, pool);
    case TransformKind::Palette:
      return UndoPalette(image, first_channel, colour_count, delta_count,
                         palette_predictor, wp_header, pool);
    case TransformKind::Squeeze:
      return UndoSqueeze(image, steps, pool);
    case TransformKind::Invalid:
      break;
  }
  return FailedStatus();
}

Status CheckMatchingChannels(const ModularImage& image, uint32_t first,
                             uint32_t last) {
  const uint64_t n = image.channels.size();
  const uint64_t m = image.meta_channel_count;
  if (n < first || last < first || n <= last) return FailedStatus();
  if (m > first && m <= last) return FailedStatus();
  const ModularChannel& c0 = image.channels[first];
  for (uint64_t k = uint64_t{first} + 1; k <= last; ++k) {
    if (!SameShape(c0, image.channels[k])) return FailedStatus();
  }
  return OkStatus();
}

}  // namespace qov
