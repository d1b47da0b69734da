// Palette transform: channel-list step and index expansion.
#include "lib/modular/palette.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

#include "lib/modular/modular_image.h"
#include "lib/modular/predictors.h"
#include "lib/modular/weighted_predictor.h"

namespace qov {
namespace {

// Built-in deltas for negative indices: -1 is row 0, then +row r and -row r
// alternate for rows 1..71, repeating every 143 indices.
constexpr int16_t kDeltaTable[72][3] = {
    {0, 0, 0},       {4, 4, 4},       {11, 0, 0},      {0, 0, -13},
    {0, -12, 0},     {-10, -10, -10}, {-18, -18, -18}, {-27, -27, -27},
    {-18, -18, 0},   {0, 0, -32},     {-32, 0, 0},     {-37, -37, -37},
    {0, -32, -32},   {24, 24, 45},    {50, 50, 50},    {-45, -24, -24},
    {-24, -45, -45}, {0, -24, -24},   {-34, -34, 0},   {-24, 0, -24},
    {-45, -45, -24}, {64, 64, 64},    {-32, 0, -32},   {0, -32, 0},
    {-32, 0, 32},    {-24, -45, -24}, {45, 24, 45},    {24, -24, -45},
    {-45, -24, 24},  {80, 80, 80},    {64, 0, 0},      {0, 0, -64},
    {0, -64, -64},   {-24, -24, 45},  {96, 96, 96},    {64, 64, 0},
    {45, -24, -24},  {34, -34, 0},    {112, 112, 112}, {24, -45, -45},
    {45, 45, -24},   {0, -32, 32},    {24, -24, 45},   {0, 96, 96},
    {45, -24, 24},   {24, -45, -24},  {-24, -45, 24},  {0, -64, 0},
    {96, 0, 0},      {128, 128, 128}, {64, 0, 64},     {144, 144, 144},
    {96, 96, 0},     {-36, -36, 36},  {45, -24, -45},  {45, -45, -24},
    {0, 0, -96},     {0, 128, 128},   {0, 96, 0},      {45, 24, -45},
    {-128, 0, 0},    {24, -45, 24},   {-45, 24, -45},  {64, 0, -64},
    {64, -64, -64},  {96, 0, 96},     {45, -45, 24},   {24, 45, -45},
    {64, 64, -64},   {128, 128, 0},   {0, 0, -128},    {-24, 45, -45},
};

constexpr int32_t kLargeCubeDivisor[3] = {1, 5, 25};

int32_t ClampBitDepth(int32_t bit_depth) {
  return std::clamp<int32_t>(bit_depth, 0, 24);
}

// Low 32 bits of a 64-bit sum, as reconstructed samples are stored.
int32_t Wrap32(int64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}

// Reconstructs palette row c into `out`, row by row, left to right: delta
// entries (index < deltas, so every negative index too) get the prediction
// from the samples already written to `out`. Sums in 64 bits; the sample
// keeps the low 32 bits. The weighted predictor runs (and learns) at every
// sample, also where its prediction is not added.
Status ReconstructDeltaChannel(const PlaneI32& indices, ModularChannel& out,
                               uint32_t c, const int32_t* const* rows,
                               uint32_t palette_height, int64_t palette_width,
                               int32_t depth, int64_t deltas,
                               uint32_t predictor,
                               const weighted::Header& wp_header) {
  const uint64_t width = out.width;
  const bool use_weighted = predictor == 6;
  std::optional<WeightedPredictorState> state;
  if (use_weighted) state.emplace(wp_header, width);
  for (uint64_t y = 0; y < out.height; ++y) {
    const int32_t* index_row = indices.Row(y);
    int32_t* row = out.Row(y);
    const int32_t* prev = y > 0 ? out.Row(y - 1) : nullptr;
    const int32_t* prev2 = y > 1 ? out.Row(y - 2) : nullptr;
    for (uint64_t x = 0; x < width; ++x) {
      const int32_t i = index_row[x];
      const int64_t e =
          PaletteValue(i, c, rows, palette_height, palette_width, depth);
      const Neighbours n = LoadNeighbours(row, prev, prev2, x, y, width);
      int64_t p = 0;
      if (use_weighted) {
        p = state->Predict(x, y, width, n.N, n.W, n.NE, n.NW, n.NN);
      }
      const int64_t value =
          i < deltas ? e + ModularPrediction(static_cast<int32_t>(predictor), n, p)
                     : e;
      row[x] = Wrap32(value);
      if (use_weighted) state->Update(x, y, width, row[x]);
    }
  }
  return OkStatus();
}

}  // namespace

int32_t PaletteValue(int32_t index, uint32_t c, const int32_t* const* rows,
                     uint32_t palette_height, int64_t palette_width,
                     int32_t bit_depth) {
  const int32_t d = ClampBitDepth(bit_depth);
  const int64_t i = index;
  if (i < 0) {
    if (c >= 3) return 0;
    // In 64 bits: -i - 1 overflows 32 bits at the smallest index.
    const int64_t m = (-i - 1) % 143;
    const int64_t row = (m + 1) >> 1;
    const int64_t sign = (m & 1) ? 1 : -1;
    // A multiplication, not a left shift of a possibly negative value.
    const int64_t scale = int64_t{1} << std::max(d - 8, 0);
    return static_cast<int32_t>(sign * kDeltaTable[row][c] * scale);
  }
  if (i < palette_width) {
    return c < palette_height ? rows[c][i] : 0;
  }
  if (c >= 3) return 0;
  const int64_t one = int64_t{1} << d;
  if (i < palette_width + 64) {
    const int64_t v = ((i - palette_width) >> (2 * c)) & 3;
    return static_cast<int32_t>(((v * one - v) >> 2) +
                                (int64_t{1} << std::max(d - 3, 0)));
  }
  const int64_t v = ((i - palette_width - 64) / kLargeCubeDivisor[c]) % 5;
  return static_cast<int32_t>((v * one - v) >> 2);
}

Status PaletteApplyToChannelList(ModularImage& image, uint32_t first,
                                 uint32_t last, uint32_t colour_count,
                                 uint32_t delta_count) {
  QOV_RETURN_IF_ERROR(CheckMatchingChannels(image, first, last));
  const uint64_t run = uint64_t{last} - first + 1;
  const uint64_t palette_width = uint64_t{colour_count} + delta_count;
  // Size bound (see kMinPaletteSampleBound), checked before anything
  // changes: the run's samples are already allocated.
  const ModularChannel& indices = image.channels[first];
  const uint64_t palette_samples = palette_width * run;
  // Channels hold below 2^32 x 2^32 samples: saturate the run's total.
  const uint64_t per_channel =
      (indices.width != 0 && indices.height > UINT64_MAX / indices.width)
          ? UINT64_MAX
          : indices.width * indices.height;
  const uint64_t run_samples =
      per_channel > UINT64_MAX / run ? UINT64_MAX : per_channel * run;
  if (palette_samples > std::max(kMinPaletteSampleBound, run_samples)) {
    return FailedStatus();
  }
  uint64_t& m = image.meta_channel_count;
  if (first >= m) {
    m = m + 1;
  } else {
    if (last >= m) return FailedStatus();
    m = m + 2 - run;
  }
  if (first != last) {
    image.channels.erase(image.channels.begin() + first + 1,
                         image.channels.begin() + last + 1);
  }
  QOV_ASSIGN_OR_RETURN(
      ModularChannel palette,
      ModularChannel::Create(image.memory_manager,
                             static_cast<uint32_t>(palette_width), run, -1, -1));
  image.channels.insert(image.channels.begin(), std::move(palette));
  return OkStatus();
}

Status UndoPalette(ModularImage& image, uint32_t first_channel,
                   uint32_t /*colour_count*/, uint32_t delta_count,
                   uint32_t predictor, const weighted::Header& wp_header,
                   const TaskPool* pool) {
  if (image.meta_channel_count == 0 || image.channels.empty()) {
    return FailedStatus();
  }
  const int64_t nb = static_cast<int32_t>(image.channels[0].height);
  const uint64_t c0 = uint64_t{first_channel} + 1;
  if (c0 >= image.channels.size()) return FailedStatus();
  const uint64_t w = image.channels[c0].width;
  const uint64_t h = image.channels[c0].height;
  if (nb < 1) return FailedStatus();
  if (nb > 1) {
    std::vector<ModularChannel> extra;
    extra.reserve(static_cast<size_t>(nb - 1));
    for (int64_t k = 1; k < nb; ++k) {
      QOV_ASSIGN_OR_RETURN(
          ModularChannel channel,
          ModularChannel::Create(image.memory_manager, w, h,
                                 image.channels[c0].hshift,
                                 image.channels[c0].vshift));
      extra.push_back(std::move(channel));
    }
    image.channels.insert(image.channels.begin() + c0 + 1,
                          std::make_move_iterator(extra.begin()),
                          std::make_move_iterator(extra.end()));
  }

  if (w != 0) {
    const ModularChannel& palette = image.channels[0];
    const int64_t palette_width = static_cast<int64_t>(palette.width);
    std::vector<const int32_t*> rows(static_cast<size_t>(nb));
    for (int64_t c = 0; c < nb; ++c) rows[c] = palette.Row(c);
    const uint32_t palette_height = static_cast<uint32_t>(nb);
    const int32_t depth = image.bit_depth;
    std::vector<ModularChannel>& channels = image.channels;
    if (delta_count == 0 && predictor == 0) {
      QOV_RETURN_IF_ERROR(RunOnPool(
          pool, static_cast<uint32_t>(h), nullptr,
          [&](uint32_t y, size_t) -> Status {
            int32_t* index_row = channels[c0].Row(y);
            if (nb == 1) {
              for (uint64_t x = 0; x < w; ++x) {
                int64_t i = index_row[x];
                i = i < 0 ? 0 : std::min<int64_t>(i, palette_width - 1);
                index_row[x] = PaletteValue(static_cast<int32_t>(i), 0,
                                            rows.data(), palette_height,
                                            palette_width, depth);
              }
              return OkStatus();
            }
            for (uint64_t x = 0; x < w; ++x) {
              const int32_t i = index_row[x];
              for (int64_t c = 0; c < nb; ++c) {
                channels[c0 + c].Row(y)[x] =
                    PaletteValue(i, static_cast<uint32_t>(c), rows.data(),
                                 palette_height, palette_width, depth);
              }
            }
            return OkStatus();
          }));
    } else {
      // The indices move to a plane of their own; channel c0 gets a fresh
      // one and is reconstructed like the others.
      QOV_ASSIGN_OR_RETURN(PlaneI32 index_plane,
                           PlaneI32::Create(image.memory_manager, w, h));
      index_plane.Swap(channels[c0].plane);
      const int64_t deltas = delta_count;
      QOV_RETURN_IF_ERROR(RunOnPool(
          pool, static_cast<uint32_t>(nb), nullptr,
          [&](uint32_t c, size_t) -> Status {
            return ReconstructDeltaChannel(
                index_plane, channels[c0 + c], c, rows.data(), palette_height,
                palette_width, depth, deltas, predictor, wp_header);
          }));
    }
  }

  uint64_t& m = image.meta_channel_count;
  if (c0 >= m) {
    m = m - 1;
  } else {
    if (static_cast<int64_t>(m) < 2 - nb) return FailedStatus();
    m = static_cast<uint64_t>(static_cast<int64_t>(m) + nb - 2);
    if (uint64_t{first_channel} + static_cast<uint64_t>(nb) - 1 >= m) {
      return FailedStatus();
    }
  }
  image.channels.erase(image.channels.begin());
  return OkStatus();
}

}  // namespace qov
