// Patch dictionary: decoding, the interval tree over covered rows, and row
// blending through CompositeRows.
#include "lib/frame/patches.h"

#include <algorithm>
#include <utility>

#include "lib/base/bits.h"
#include "lib/bitstream/entropy_code.h"
#include "lib/bitstream/symbol_reader.h"
#include "lib/frame/frame_decoding_state.h"

namespace qov {

namespace {

// Contexts of the patch stream.
enum PatchContext : uint64_t {
  kNumSourcesContext = 0,
  kSlotContext = 1,
  kSizeContext = 2,
  kSourcePositionContext = 3,
  kFirstPositionContext = 4,
  kModeContext = 5,
  kDeltaPositionContext = 6,
  kNumPlacementsContext = 7,
  kAlphaChannelContext = 8,
  kClampContext = 9,
  kNumPatchContexts = 10,
};

struct StoredSize {
  uint64_t xsize = 0;
  uint64_t ysize = 0;
};

// The size of a stored frame: its JPEG data's, else its colour planes',
// else its first extra channel's.
StoredSize SizeOf(const ImageBundle* frame) {
  if (frame == nullptr) return {};
  if (frame->HasJpegData()) {
    return {frame->jpeg_data->width, frame->jpeg_data->height};
  }
  if (frame->color.xsize() != 0) return {frame->color.xsize(), frame->color.ysize()};
  if (!frame->extra_channels.empty()) {
    return {frame->extra_channels[0].xsize(), frame->extra_channels[0].ysize()};
  }
  return {};
}

// Interval of one placement while the index is built.
struct RowInterval {
  uint64_t placement;
  uint64_t top;
  uint64_t bottom;
};

bool ByTop(const RowInterval& a, const RowInterval& b) { return a.top < b.top; }
bool ByBottom(const RowInterval& a, const RowInterval& b) {
  return a.bottom < b.bottom;
}

// The clustered integers of the patch stream, by context.
struct PatchSymbols {
  SymbolReader& symbols;
  const std::vector<uint8_t>& context_map;
  BitReader& reader;
  uint64_t Read(uint64_t context) {
    return symbols.ReadClusteredUint(context_map[context], reader);
  }
};

// Limits of one frame's patches, saturating instead of wrapping for huge
// frames.
struct PatchLimits {
  uint64_t sources = 0;     // L = W H / 4 + 1024
  uint64_t placements = 0;  // 4 L
  uint64_t blends = 0;      // 16 L
  // The decoder's own limit on the drawing work: the placements may cover
  // at most 16 W H + 2^20 pixels in all. The counts above allow 4L
  // placements of the whole frame each, some 4 (W H)^2 pixels to blend
  // (10^12 for 1024 x 1024); real files cover a fraction of the frame.
  uint64_t placed_area = 0;
};

PatchLimits LimitsFor(uint64_t width, uint64_t height) {
  const uint64_t area =
      (height != 0 && width > UINT64_MAX / height) ? UINT64_MAX : width * height;
  PatchLimits limits;
  limits.sources = area / 4 + 1024;
  limits.placements =
      limits.sources > UINT64_MAX / 4 ? UINT64_MAX : 4 * limits.sources;
  limits.blends = limits.sources > UINT64_MAX / 16 ? UINT64_MAX : 16 * limits.sources;
  limits.placed_area = area > (UINT64_MAX - (uint64_t{1} << 20)) / 16
                           ? UINT64_MAX
                           : 16 * area + (uint64_t{1} << 20);
  return limits;
}

// What the placements read so far take of the limits; `reserved`: the
// room for placements (and their blends) asked of the vectors.
struct PlacementBudget {
  uint64_t placements = 0;
  uint64_t area = 0;
  uint64_t reserved = 1;
};

// Counts a source's extra + 1 placements against the limits: Failed past
// one of them.
Status ChargePlacements(const PatchLimits& limits, const PatchSource& source,
                        uint64_t extra, uint64_t channels, PlacementBudget* budget) {
  if (extra >= limits.placements ||
      budget->placements + extra + 1 > limits.placements) {
    return FailedStatus();
  }
  const uint64_t source_area = source.xsize > UINT64_MAX / source.ysize
                                   ? UINT64_MAX
                                   : source.xsize * source.ysize;
  if (source_area > limits.placed_area / (extra + 1) ||
      budget->area + source_area * (extra + 1) > limits.placed_area) {
    return FailedStatus();
  }
  budget->area += source_area * (extra + 1);
  budget->placements += extra + 1;

  // Room grows at most twofold per source, so what is reserved stays in
  // proportion to what was read.
  if (budget->reserved < budget->placements) {
    budget->reserved = std::min(2 * budget->reserved, limits.placements);
  }
  if (channels > limits.blends / budget->reserved) return FailedStatus();
  return OkStatus();
}

// One source: a rectangle of a stored reference frame, saved before the
// colour transform, that must lie inside it.
Status ReadPatchSource(PatchSymbols& in, const ReferenceFrameSlot* slots,
                       PatchSource* source) {
  source->slot = in.Read(kSlotContext);
  if (source->slot >= kNumReferenceSlots || slots == nullptr) {
    return FailedStatus();
  }
  const ReferenceFrameSlot& slot = slots[source->slot];
  const StoredSize stored = SizeOf(slot.frame.get());
  if (stored.xsize == 0 || !slot.saved_before_color_transform) {
    return FailedStatus();
  }
  source->x0 = in.Read(kSourcePositionContext);
  source->y0 = in.Read(kSourcePositionContext);
  source->xsize = in.Read(kSizeContext) + uint64_t{1};
  source->ysize = in.Read(kSizeContext) + uint64_t{1};
  if (source->x0 + source->xsize > stored.xsize ||
      source->y0 + source->ysize > stored.ysize) {
    return FailedStatus();
  }
  return OkStatus();
}

// A placement's position: the first of a source read as it is, the others
// as signed steps from the one before; the patch must lie inside the frame.
Status ReadPlacementPosition(PatchSymbols& in, const PatchPlacement* previous,
                             const PatchSource& source, uint64_t width,
                             uint64_t height, PatchPlacement* placement) {
  if (previous == nullptr) {
    placement->x = in.Read(kFirstPositionContext);
    placement->y = in.Read(kFirstPositionContext);
  } else {
    const uint32_t dx = static_cast<uint32_t>(in.Read(kDeltaPositionContext));
    const uint32_t dy = static_cast<uint32_t>(in.Read(kDeltaPositionContext));
    const int64_t sdx = UnpackSigned(dx);
    const int64_t sdy = UnpackSigned(dy);
    if ((sdx < 0 && static_cast<uint64_t>(-sdx) > previous->x) ||
        (sdy < 0 && static_cast<uint64_t>(-sdy) > previous->y)) {
      return FailedStatus();
    }
    placement->x = previous->x + static_cast<uint64_t>(sdx);
    placement->y = previous->y + static_cast<uint64_t>(sdy);
  }
  if (placement->x > width || source.xsize > width - placement->x ||
      placement->y > height || source.ysize > height - placement->y) {
    return FailedStatus();
  }
  return OkStatus();
}

// How one channel of a placement is blended: the mode, the alpha channel
// of the modes that use one (when there is a choice) and the clamp flag.
Status ReadChannelBlend(PatchSymbols& in, uint64_t num_extra_channels,
                        PatchChannelBlend* blend) {
  const uint64_t mode = in.Read(kModeContext);
  if (mode >= kNumCompositeModes) return FailedStatus();
  blend->mode = static_cast<uint8_t>(mode);
  if (mode >= kOverAbove && num_extra_channels > 1) {
    const uint64_t alpha = in.Read(kAlphaChannelContext);
    if (alpha >= num_extra_channels) return FailedStatus();
    blend->alpha_channel = static_cast<uint32_t>(alpha);
  }
  if (mode >= kMultiply) blend->clamp = in.Read(kClampContext) != 0;
  return OkStatus();
}

}  // namespace

void PatchDictionary::Clear() {
  placements_.clear();
  sources_.clear();
  blends_.clear();
  BuildRowIndex();
}

Status PatchDictionary::Assign(std::vector<PatchSource> sources,
                               std::vector<PatchPlacement> placements,
                               std::vector<PatchChannelBlend> blends,
                               uint64_t channels) {
  if (channels == 0 || blends.size() / channels != placements.size() ||
      blends.size() % channels != 0) {
    return FailedStatus();
  }
  for (const PatchPlacement& p : placements) {
    if (p.source >= sources.size()) return FailedStatus();
  }
  sources_ = std::move(sources);
  placements_ = std::move(placements);
  blends_ = std::move(blends);
  channels_ = channels;
  BuildRowIndex();
  return OkStatus();
}

Status PatchDictionary::Decode(const QovMemoryManagerStruct* manager,
                               BitReader& reader, uint64_t width,
                               uint64_t height, uint64_t num_extra_channels) {
  memory_manager_ = manager;
  placements_.clear();
  sources_.clear();
  blends_.clear();
  nodes_.clear();
  by_start_.clear();
  by_end_.clear();
  first_row_ = end_row_ = 0;
  if (num_extra_channels >= UINT32_MAX) return FailedStatus();
  channels_ = 1 + num_extra_channels;
  const Status status = DecodeSources(reader, width, height, num_extra_channels);
  if (!status.ok()) return status;
  BuildRowIndex();
  return OkStatus();
}

Status PatchDictionary::DecodeSources(BitReader& reader, uint64_t width,
                                      uint64_t height,
                                      uint64_t num_extra_channels) {
  EntropyCodeSet code;
  std::vector<uint8_t> context_map;
  QOV_RETURN_IF_ERROR(ReadEntropyCodeSet(memory_manager_, reader,
                                         kNumPatchContexts, &code, context_map,
                                         /*disallow_lz77=*/false));
  QOV_ASSIGN_OR_RETURN(SymbolReader symbols,
                       SymbolReader::Create(code, reader, 0));
  PatchSymbols in{symbols, context_map, reader};
  const PatchLimits limits = LimitsFor(width, height);

  const uint64_t num_sources = in.Read(kNumSourcesContext);
  if (num_sources > limits.sources) return FailedStatus();
  PlacementBudget budget;
  for (uint64_t i = 0; i < num_sources; ++i) {
    // Zero bits past the end would otherwise decode as valid records.
    if (reader.PastEnd()) return FailedStatus();
    PatchSource source;
    QOV_RETURN_IF_ERROR(ReadPatchSource(in, slots_, &source));
    const uint64_t extra = in.Read(kNumPlacementsContext);
    QOV_RETURN_IF_ERROR(ChargePlacements(limits, source, extra, channels_, &budget));
    placements_.reserve(budget.reserved);
    blends_.reserve(channels_ * budget.reserved);
    const uint64_t source_index = sources_.size();
    for (uint64_t j = 0; j <= extra; ++j) {
      if (reader.PastEnd()) return FailedStatus();
      PatchPlacement placement;
      placement.source = source_index;
      QOV_RETURN_IF_ERROR(ReadPlacementPosition(
          in, j == 0 ? nullptr : &placements_.back(), source, width, height,
          &placement));
      for (uint64_t c = 0; c < channels_; ++c) {
        PatchChannelBlend blend;
        QOV_RETURN_IF_ERROR(ReadChannelBlend(in, num_extra_channels, &blend));
        blends_.push_back(blend);
      }
      placements_.push_back(placement);
    }
    sources_.push_back(source);
  }
  if (reader.PastEnd()) return FailedStatus();
  placements_.shrink_to_fit();
  if (!symbols.CheckFinalState()) return FailedStatus();
  return OkStatus();
}

void PatchDictionary::BuildRowIndex() {
  nodes_.clear();
  by_start_.clear();
  by_end_.clear();
  first_row_ = end_row_ = 0;
  if (placements_.empty()) return;

  std::vector<RowInterval> intervals;
  intervals.reserve(placements_.size());
  first_row_ = UINT64_MAX;
  for (uint64_t i = 0; i < placements_.size(); ++i) {
    const PatchPlacement& p = placements_[i];
    const uint64_t bottom = p.y + sources_[p.source].ysize;
    intervals.push_back({i, p.y, bottom});
    first_row_ = std::min(first_row_, p.y);
    end_row_ = std::max(end_row_, bottom);
  }
  by_start_.reserve(intervals.size());
  by_end_.reserve(intervals.size());

  // The array range [s, e) that each node splits, by node index.
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  nodes_.push_back(PatchRowNode{});
  ranges.emplace_back(0, intervals.size());
  for (size_t n = 0; n < nodes_.size(); ++n) {
    const auto [s, e] = ranges[n];
    auto at = [&](uint64_t i) { return intervals.begin() + static_cast<ptrdiff_t>(i); };
    std::sort(at(s), at(e), ByTop);
    const uint64_t centre = intervals[s + (e - s) / 2].top;
    uint64_t k = s + (e - s) / 2;
    while (k < e && intervals[k].top == centre) ++k;
    std::sort(at(s), at(k), ByBottom);
    uint64_t m = s;
    while (m < k && intervals[m].bottom <= centre) ++m;

    PatchRowNode node;
    node.centre = centre;
    node.start = by_start_.size();
    node.count = k - m;
    for (uint64_t i = k; i-- > m;) {
      by_end_.push_back({intervals[i].bottom, intervals[i].placement});
    }
    std::sort(at(m), at(k), ByTop);
    for (uint64_t i = m; i < k; ++i) {
      by_start_.push_back({intervals[i].top, intervals[i].placement});
    }
    if (m > s) {
      node.left = static_cast<int64_t>(nodes_.size());
      nodes_.push_back(PatchRowNode{});
      ranges.emplace_back(s, m);
    }
    if (e > k) {
      node.right = static_cast<int64_t>(nodes_.size());
      nodes_.push_back(PatchRowNode{});
      ranges.emplace_back(k, e);
    }
    nodes_[n] = node;
  }
}

uint32_t PatchDictionary::ReferencedSlots() const {
  uint32_t mask = 0;
  for (const PatchSource& source : sources_) {
    mask |= 1u << (source.slot & 31);
  }
  return mask;
}

std::vector<uint64_t> PatchDictionary::PatchesOnRow(uint64_t y) const {
  std::vector<uint64_t> out;
  PatchesOnRow(y, &out);
  return out;
}

void PatchDictionary::PatchesOnRow(uint64_t y,
                                   std::vector<uint64_t>* out) const {
  out->clear();
  if (y < first_row_ || y >= end_row_) return;
  int64_t n = 0;
  while (n >= 0) {
    const PatchRowNode& node = nodes_[static_cast<size_t>(n)];
    if (node.centre < y) {
      for (uint64_t i = node.start; i < node.start + node.count; ++i) {
        if (by_end_[i].row <= y) break;
        out->push_back(by_end_[i].placement);
      }
      n = node.right;
    } else {
      for (uint64_t i = node.start; i < node.start + node.count; ++i) {
        if (by_start_[i].row > y) break;
        out->push_back(by_start_[i].placement);
      }
      n = y < node.centre ? node.left : -1;
    }
  }
  std::sort(out->begin(), out->end());
}

Status PatchDictionary::BlendRow(
    float* const* rows, uint64_t y, uint64_t x0, uint64_t width,
    const std::vector<ExtraChannelInfo>& extra_info) const {
  const size_t num_extra = extra_info.size();
  if (num_extra + 1 > channels_) return FailedStatus();
  std::vector<uint64_t> found;
  PatchesOnRow(y, &found);
  if (found.empty()) return OkStatus();
  QOV_ENSURE(slots_ != nullptr);

  const size_t num_channels = 3 + num_extra;
  // Background/output and foreground pointers at the start of each span.
  std::vector<float*> here(num_channels);
  std::vector<const float*> there(num_channels);
  for (const uint64_t index : found) {
    const PatchPlacement& p = placements_[index];
    const PatchSource& s = sources_[p.source];
    if (y < p.y || y - p.y >= s.ysize) return FailedStatus();
    if (p.x >= x0 + width || p.x + s.xsize <= x0) continue;
    const uint64_t begin = std::max(x0, p.x);
    const uint64_t end = std::min(x0 + width, p.x + s.xsize);

    // Every plane read must exist at the size the source was checked at.
    const ImageBundle* frame = slots_[s.slot].frame.get();
    const uint64_t src_x = s.x0 + (begin - p.x);
    const uint64_t src_y = s.y0 + (y - p.y);
    auto covers = [&](uint64_t xsize, uint64_t ysize) {
      return src_y < ysize && src_x <= xsize && end - begin <= xsize - src_x;
    };
    if (frame == nullptr || !covers(frame->color.xsize(), frame->color.ysize()) ||
        frame->extra_channels.size() < num_extra) {
      return FailedStatus();
    }
    for (size_t c = 0; c < num_channels; ++c) {
      here[c] = rows[c] + (begin - x0);
      if (c < 3) {
        there[c] = frame->color.PlaneRow(c, src_y) + src_x;
      } else {
        const PlaneF& plane = frame->extra_channels[c - 3];
        if (!covers(plane.xsize(), plane.ysize())) return FailedStatus();
        there[c] = plane.Row(src_y) + src_x;
      }
    }
    const PatchChannelBlend* record = blends_.data() + index * channels_;
    QOV_RETURN_IF_ERROR(CompositeRows(memory_manager_, here.data(), there.data(),
                                      here.data(), 0, end - begin, record[0],
                                      record + 1, extra_info));
  }
  return OkStatus();
}

}  // namespace qov
