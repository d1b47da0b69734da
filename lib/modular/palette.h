// Palette transform: the channel-list step before decoding and the expansion
// of palette indices (plain colours, delta entries with a prediction,
// built-in deltas for negative indices and implicit cube colours).
#ifndef QOV_LIB_MODULAR_PALETTE_H_
#define QOV_LIB_MODULAR_PALETTE_H_

#include <cstdint>

#include "lib/base/status.h"
#include "lib/base/task_pool.h"

namespace qov {

class ModularImage;
namespace weighted {
class Header;
}  // namespace weighted

// The smallest palette (in samples) that is always accepted. A larger one
// must not hold more samples than the channels it replaces: no encoder
// lists more colours than pixels, and the bound keeps a short header from
// asking for gigabytes before any data is read.
inline constexpr uint64_t kMinPaletteSampleBound = uint64_t{1} << 20;

// Replaces channels first..last by channel `first` (the indices) and inserts
// the palette channel (width colour_count + delta_count, height
// last - first + 1, shifts -1) at index 0. Failed for a bad run, a run that
// straddles the meta channels, a palette over the size bound above, or a
// failed allocation (its status).
Status PaletteApplyToChannelList(ModularImage& image, uint32_t first,
                                 uint32_t last, uint32_t colour_count,
                                 uint32_t delta_count);

// Expands the index channel first_channel + 1 into as many channels as the
// palette (channel 0) has rows, then removes the palette channel.
// colour_count is not consulted (the palette's own width is). predictor:
// the prediction added to delta entries (0..13); wp_header its parameters
// for the weighted predictor.
Status UndoPalette(ModularImage& image, uint32_t first_channel,
                   uint32_t colour_count, uint32_t delta_count,
                   uint32_t predictor, const weighted::Header& wp_header,
                   const TaskPool* pool);

// The value of palette index `index` for palette row c, from a palette row
// pointer array (rows[c] for c < palette_height), palette width S and
// bit depth d (already limited to 24).
int32_t PaletteValue(int32_t index, uint32_t c, const int32_t* const* rows,
                     uint32_t palette_height, int64_t palette_width,
                     int32_t bit_depth);

}  // namespace qov

#endif  // QOV_LIB_MODULAR_PALETTE_H_
