// Modular sub-stream decoding and the group header.
#include "lib/modular/modular_stream.h"

#include <algorithm>
#include <cstring>

#include "lib/bitstream/symbol_reader.h"

namespace qov {
namespace {

constexpr U32Coding kTransformCountCoding(Val(0), Val(1), BitsOffset(4, 2),
                                          BitsOffset(8, 18));
constexpr uint64_t kMaxLocalTreeNodes = uint64_t{1} << 20;

void ZeroChannel(ModularChannel& c) {
  if (c.width == 0 || c.height == 0) return;
  for (size_t y = 0; y < c.height; ++y) {
    std::memset(c.Row(y), 0, static_cast<size_t>(c.width) * 4);
  }
}

// Zero-fills the channel being decoded and all later ones unless disarmed,
// so that a stream that fails leaves no uninitialised samples.
class ZeroRemainingChannels {
 public:
  ZeroRemainingChannels(const size_t* index, ModularImage& image, bool armed)
      : index_(index), image_(image), armed_(armed) {}
  ~ZeroRemainingChannels() {
    if (!armed_) return;
    for (size_t k = *index_; k < image_.channels.size(); ++k) {
      ZeroChannel(image_.channels[k]);
    }
  }
  void Disarm() { armed_ = false; }

 private:
  const size_t* index_;
  ModularImage& image_;
  bool armed_;
};

bool ExceedsLimit(const ModularChannel& c, uint64_t limit) {
  return c.width > limit || c.height > limit;
}

}  // namespace

GroupHeader::GroupHeader() { Bundle::ResetToDefaults(*this); }

Status GroupHeader::EnumerateFields(Visitor* visitor) {
  QOV_RETURN_IF_ERROR(visitor->Flag(false, &use_global_tree));
  QOV_RETURN_IF_ERROR(visitor->Nested(&wp_header));
  uint32_t count = static_cast<uint32_t>(transforms.size());
  QOV_RETURN_IF_ERROR(visitor->CodedU32(kTransformCountCoding, 0, &count));
  if (visitor->IsDecoding()) transforms.resize(count);
  for (Transform& t : transforms) {
    QOV_RETURN_IF_ERROR(visitor->Nested(&t));
  }
  return OkStatus();
}

Status ValidateChannelSizes(const ModularImage& image,
                            const ModularSettings& settings) {
  const uint64_t d = settings.group_dimension;
  size_t first = image.channels.size();
  for (size_t k = image.meta_channel_count; k < image.channels.size(); ++k) {
    if (ExceedsLimit(image.channels[k], d)) {
      first = k;
      break;
    }
  }
  // Shifts are tested as in the channel records; negative ones (meta
  // channels) cannot reach here with a non-zero size beyond a group.
  auto shift_ok = [](uint64_t base, int32_t shift) {
    return shift < 0 || shift >= 64 || (base >> shift) != 0;
  };
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t k = first; k < image.channels.size(); ++k) {
      const ModularChannel& c = image.channels[k];
      if (c.width == 0 || c.height == 0) continue;
      const int32_t lo = std::min(c.hshift, c.vshift);
      const int32_t hi = std::max(c.hshift, c.vshift);
      if (pass == 0 && lo >= 3 && (hi >= 64 || !shift_ok(d * 8, hi))) {
        return FailedStatus();
      }
      if (pass == 1 && lo <= 2 && (hi >= 64 || !shift_ok(d, hi))) {
        return FailedStatus();
      }
    }
  }
  return OkStatus();
}

Status DecodeModularChannels(BitReader& reader, ModularImage& image,
                             GroupHeader& header, uint64_t stream_id,
                             const ModularSettings& settings,
                             const MaTree* global_tree,
                             const EntropyCodeSet* global_codes,
                             const std::vector<uint8_t>* global_context_map,
                             bool allow_truncated) {
  if (image.channels.empty()) return OkStatus();
  const Status header_status = Bundle::Decode(reader, header);
  if (allow_truncated ? header_status.code() == StatusValue::Failed
                      : !header_status.ok()) {
    return header_status;
  }
  if (!reader.CheckBounds().ok()) {
    header.transforms.clear();
    image.transforms = header.transforms;
    for (ModularChannel& c : image.channels) ZeroChannel(c);
    return NeedMoreBytesStatus();
  }
  // The image's own copy is applied and later undone: applying may store
  // data the undo needs (the default squeeze steps).
  image.transforms = header.transforms;
  for (Transform& t : image.transforms) {
    QOV_RETURN_IF_ERROR(t.ApplyToChannelList(image));
  }
  if (image.error) return FailedStatus();
  QOV_RETURN_IF_ERROR(ValidateChannelSizes(image, settings));

  const uint64_t limit = settings.channel_size_limit;
  size_t end = 0;
  uint64_t nonempty = 0, max_width = 0, pixels = 0;
  for (; end < image.channels.size(); ++end) {
    const ModularChannel& c = image.channels[end];
    if (end >= image.meta_channel_count && ExceedsLimit(c, limit)) break;
    if (c.width == 0 || c.height == 0) continue;
    ++nonempty;
    max_width = std::max<uint64_t>(max_width, c.width);
    // Saturating: only compared with the node limit.
    pixels = std::min(pixels + std::min<uint64_t>(uint64_t{c.width} * c.height,
                                                  kMaxLocalTreeNodes),
                      kMaxLocalTreeNodes);
  }
  if (nonempty == 0) return OkStatus();

  // Channels not decoded are zero-filled on every early exit, also when
  // truncation is allowed: channels that the transforms created hold no
  // samples yet, and undoing the transforms would spread them.
  size_t index = 0;
  ZeroRemainingChannels guard(&index, image, true);

  MaTree local_tree;
  EntropyCodeSet local_codes;
  std::vector<uint8_t> local_map;
  const MaTree* tree = &local_tree;
  const EntropyCodeSet* codes = &local_codes;
  const std::vector<uint8_t>* context_map = &local_map;
  if (header.use_global_tree) {
    if (global_tree == nullptr || global_codes == nullptr ||
        global_context_map == nullptr || global_tree->empty() ||
        global_context_map->size() < (global_tree->size() + 1) / 2) {
      return FailedStatus();
    }
    tree = global_tree;
    codes = global_codes;
    context_map = global_context_map;
  } else {
    const uint64_t node_limit =
        std::min(uint64_t{1024} + pixels, kMaxLocalTreeNodes);
    QOV_RETURN_IF_ERROR(
        ReadMaTree(image.memory_manager, reader, local_tree, node_limit));
    QOV_RETURN_IF_ERROR(ReadEntropyCodeSet(
        image.memory_manager, reader, (local_tree.size() + 1) / 2,
        &local_codes, local_map, /*disallow_lz77=*/false));
  }
  QOV_ASSIGN_OR_RETURN(SymbolReader symbols,
                       SymbolReader::Create(*codes, reader, max_width));
  std::vector<uint8_t> lookup(kTreeLookupBytes, 0);
  RunLengthState run;
  ChannelDecodeOptions options;
  TreeSpecializationCache cache;
  options.cache = &cache;
  options.force_tree_path = settings.force_tree_path;
  ChannelPath path = ChannelPath::kNone;
  if (settings.paths_taken != nullptr) options.path_taken = &path;
  for (; index < end; ++index) {
    const ModularChannel& c = image.channels[index];
    if (c.width == 0 || c.height == 0) continue;
    QOV_RETURN_IF_ERROR(ReadChannelPixels(
        reader, symbols, *context_map, *tree, header.wp_header,
        static_cast<int32_t>(index), static_cast<int32_t>(stream_id),
        lookup.data(), image, run, options));
    if (settings.paths_taken != nullptr) settings.paths_taken->push_back(path);
    if (!reader.CheckBounds().ok()) {
      if (!allow_truncated) return FailedStatus();
      ++index;  // the channel read so far keeps its samples
      return NeedMoreBytesStatus();
    }
  }
  guard.Disarm();
  return symbols.CheckFinalState() ? OkStatus() : FailedStatus();
}

Status DecodeModularStream(BitReader& reader, ModularImage& image,
                           GroupHeader* header, uint64_t stream_id,
                           const ModularSettings& settings,
                           bool undo_transforms, const MaTree* global_tree,
                           const EntropyCodeSet* global_codes,
                           const std::vector<uint8_t>* global_context_map,
                           bool allow_truncated) {
  struct Shape {
    uint64_t width, height;
  };
  std::vector<Shape> shapes;
  shapes.reserve(image.channels.size());
  for (const ModularChannel& c : image.channels) {
    shapes.push_back({c.width, c.height});
  }
  GroupHeader local;
  GroupHeader& h = header != nullptr ? *header : local;
  const Status d =
      DecodeModularChannels(reader, image, h, stream_id, settings, global_tree,
                            global_codes, global_context_map, allow_truncated);
  if (!allow_truncated && !d.ok()) return d;
  if (d.code() == StatusValue::Failed) return d;
  if (undo_transforms) {
    image.RevertTransforms(h.wp_header, nullptr);
    if (image.error || image.channels.size() != shapes.size()) {
      return FailedStatus();
    }
    for (size_t k = 0; k < shapes.size(); ++k) {
      if (image.channels[k].width != shapes[k].width ||
          image.channels[k].height != shapes[k].height) {
        return FailedStatus();
      }
    }
    return d;
  }
  return image.error ? FailedStatus() : d;
}

}  // namespace qov
