// The modular frame reader: global section, group rectangles, the VarDCT
// streams (DC coefficients, block metadata, raw quantisation tables) and
// the release of the full image.
#include "lib/modular/modular_frame.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "lib/frame/frame_decoding_state.h"
#include "lib/frame/frame_driver.h"  // ModularShiftBracket
#include "lib/vardct/dc_dequant.h"
#include "lib/vardct/varblock.h"

namespace qov {

namespace {

uint64_t ShiftDown(uint64_t v, int32_t shift) {
  if (shift <= 0) return v;
  return shift >= 64 ? 0 : v >> shift;
}

uint64_t CeilShift(uint64_t v, int32_t shift) {
  if (shift <= 0) return v;
  if (shift >= 64) return v == 0 ? 0 : 1;
  return (v >> shift) + ((v & ((uint64_t{1} << shift) - 1)) != 0 ? 1 : 0);
}

uint32_t CeilLog2(uint64_t v) {
  uint32_t bits = 0;
  while (bits < 64 && (uint64_t{1} << bits) < v) ++bits;
  return bits;
}

// The part of one channel of the full image that a frame rectangle covers:
// origin and size shifted by the channel's subsampling, cut at its edges.
PixelRect ChannelPart(const PixelRect& rect, const ModularChannel& channel) {
  PixelRect r;
  r.x0 = ShiftDown(rect.x0, channel.hshift);
  r.y0 = ShiftDown(rect.y0, channel.vshift);
  const uint64_t xsize = ShiftDown(rect.xsize, channel.hshift);
  const uint64_t ysize = ShiftDown(rect.ysize, channel.vshift);
  r.xsize = r.x0 >= channel.width ? 0 : std::min(xsize, channel.width - r.x0);
  r.ysize = r.y0 >= channel.height ? 0 : std::min(ysize, channel.height - r.y0);
  return r;
}

// A DC group's rectangle in blocks (empty past the frame's edge).
PixelRect DcGroupBlockRect(const FrameGeometry& geometry, uint64_t dc_group) {
  const uint64_t g = geometry.group_dim;
  const uint64_t across = std::max<uint64_t>(geometry.xsize_dc_groups, 1);
  PixelRect rect;
  rect.x0 = (dc_group % across) * g;
  rect.y0 = (dc_group / across) * g;
  rect.xsize = rect.x0 < geometry.xsize_blocks
                   ? std::min(g, geometry.xsize_blocks - rect.x0)
                   : 0;
  rect.ysize = rect.y0 < geometry.ysize_blocks
                   ? std::min(g, geometry.ysize_blocks - rect.y0)
                   : 0;
  return rect;
}

int32_t Clamp(int32_t v, int32_t lo, int32_t hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

}  // namespace

uint64_t ModularStreamKey::StreamNumber(const FrameGeometry& geometry) const {
  const uint64_t num_dc = geometry.num_dc_groups;
  switch (kind) {
    case ModularStreamKind::kGlobal:
      return 0;
    case ModularStreamKind::kVarDctDc:
      return 1 + group;
    case ModularStreamKind::kModularDc:
      return 1 + num_dc + group;
    case ModularStreamKind::kAcMetadata:
      return 1 + 2 * num_dc + group;
    case ModularStreamKind::kQuantTable:
      return 1 + 3 * num_dc + quant_table;
    case ModularStreamKind::kModularAc:
      return 18 + 3 * num_dc + pass * geometry.num_groups + group;
  }
  return 0;
}

ModularFrameReader::ModularFrameReader(const QovMemoryManagerStruct* manager)
    : memory_manager(manager), full_image(manager) {}

Status ModularFrameReader::ResizeChannel(ModularChannel& channel) const {
  return ResizeModularChannel(memory_manager, channel);
}

size_t ModularFrameReader::FirstGroupChannel() const {
  const uint64_t group_dim = frame_geometry.group_dim;
  size_t first = static_cast<size_t>(full_image.meta_channel_count);
  for (; first < full_image.channels.size(); ++first) {
    const ModularChannel& c = full_image.channels[first];
    if (c.width > group_dim || c.height > group_dim) break;
  }
  return first;
}

Status ModularFrameReader::ReadGlobalSection(BitReader& reader,
                                             const FrameHeader& header) {
  QOV_ENSURE(header.metadata != nullptr);
  const CodecMetadata& metadata = *header.metadata;
  frame_geometry = header.ComputeGeometry();
  const FrameGeometry& geometry = frame_geometry;
  const uint32_t transform = header.color_transform;
  uint64_t nc = (metadata.m.color_encoding.IsGray() &&
                 transform == static_cast<uint32_t>(ColorTransformKind::kNone))
                    ? 1
                    : 3;
  decode_color =
      header.encoding == static_cast<uint32_t>(FrameCoding::kModular);
  const uint64_t num_extra = metadata.m.extra_channel_info.size();

  if (reader.Read(1) != 0) {
    const unsigned __int128 product =
        static_cast<unsigned __int128>(num_extra + nc) * geometry.xsize *
        geometry.ysize / 16;
    const uint64_t limit =
        1024 + static_cast<uint64_t>(std::min<unsigned __int128>(product,
                                                                 0x3FFC00));
    QOV_RETURN_IF_ERROR(ReadMaTree(memory_manager, reader, tree, limit));
    QOV_RETURN_IF_ERROR(ReadEntropyCodeSet(memory_manager, reader,
                                           (tree.size() + 1) / 2, &codes,
                                           context_map,
                                           /*disallow_lz77=*/false));
  } else {
    tree = MaTree();
    codes = EntropyCodeSet();
    context_map.clear();
  }
  if (!decode_color) nc = 0;
  {
    int32_t lo = 0;
    const uint64_t passes = std::max<uint64_t>(header.passes.num_passes, 1);
    ModularShiftBracket(header.passes, passes - 1, &lo, &last_pass_max_shift);
  }

  const BitDepth& depth = metadata.m.bit_depth;
  const uint32_t bits = depth.bits_per_sample;
  if (bits >= 32 && decode_color &&
      transform != static_cast<uint32_t>(ColorTransformKind::kXyb) &&
      ((bits == 32 && !depth.floating_point_sample) || bits > 32)) {
    return FailedStatus();
  }
  QOV_ENSURE(nc + num_extra <= INT32_MAX);
  QOV_ASSIGN_OR_RETURN(
      ModularImage image,
      ModularImage::Create(memory_manager, geometry.xsize, geometry.ysize,
                           static_cast<int32_t>(bits),
                           static_cast<int32_t>(nc + num_extra)));
  all_same_shift = true;
  auto note_shift = [&](const ModularChannel& channel) {
    if (channel.hshift != image.channels[0].hshift ||
        channel.vshift != image.channels[0].vshift) {
      all_same_shift = false;
    }
  };
  if (transform == static_cast<uint32_t>(ColorTransformKind::kYCbCr)) {
    for (uint64_t c = 0; c < nc; ++c) {
      ModularChannel& channel = image.channels[c];
      channel.hshift = static_cast<int32_t>(header.chroma_subsampling.HShift(c));
      channel.vshift = static_cast<int32_t>(header.chroma_subsampling.VShift(c));
      channel.width = CeilShift(geometry.xsize, channel.hshift);
      channel.height = CeilShift(geometry.ysize, channel.vshift);
      QOV_RETURN_IF_ERROR(ResizeChannel(channel));
      note_shift(channel);
    }
  }
  const uint32_t upsampling = std::max<uint32_t>(header.upsampling, 1);
  for (uint64_t e = 0; e < num_extra; ++e) {
    ModularChannel& channel = image.channels[nc + e];
    const uint32_t factor =
        e < header.ec_upsampling.size() ? header.ec_upsampling[e] : upsampling;
    QOV_ENSURE(factor >= 1);
    channel.width = (geometry.xsize_upsampled + factor - 1) / factor;
    channel.height = (geometry.ysize_upsampled + factor - 1) / factor;
    QOV_RETURN_IF_ERROR(ResizeChannel(channel));
    const int32_t shift = static_cast<int32_t>(CeilLog2(factor)) -
                          static_cast<int32_t>(CeilLog2(upsampling));
    channel.hshift = channel.vshift = shift;
    note_shift(channel);
  }

  ModularSettings settings;
  settings.channel_size_limit = geometry.group_dim;
  settings.group_dimension = geometry.group_dim;
  QOV_RETURN_IF_ERROR(DecodeModularStream(
      reader, image, &global_header, 0, settings, /*undo_transforms=*/false,
      &tree, &codes, &context_map, /*allow_truncated=*/false));

  has_global_channels = false;
  for (size_t i = static_cast<size_t>(image.meta_channel_count);
       i < image.channels.size(); ++i) {
    const ModularChannel& c = image.channels[i];
    if (c.width <= geometry.group_dim && c.height <= geometry.group_dim) {
      has_global_channels = true;
      break;
    }
  }
  global_transforms.clear();
  if (!has_global_channels && all_same_shift && image.transforms.size() == 1 &&
      image.transforms[0].kind == TransformKind::Rct) {
    global_transforms = std::move(image.transforms);
    image.transforms.clear();
  }
  full_image = std::move(image);
  return OkStatus();
}

Status ModularFrameReader::ReadGroupRect(
    const FrameHeader& header, const PixelRect& rect, BitReader* reader,
    int32_t min_shift, int32_t max_shift, const ModularStreamKey& key,
    FrameDecodingState* state, GroupRenderInput* input, bool* ready) {
  if (key.kind != ModularStreamKind::kModularDc &&
      key.kind != ModularStreamKind::kModularAc) {
    return FailedStatus();
  }
  QOV_ASSIGN_OR_RETURN(ModularImage g,
                       ModularImage::Create(memory_manager, rect.xsize,
                                            rect.ysize, full_image.bit_depth,
                                            0));
  const size_t first = FirstGroupChannel();
  auto selected = [&](const ModularChannel& c, PixelRect* part) {
    const int32_t s = std::min(c.hshift, c.vshift);
    if (s < min_shift || s > max_shift) return false;
    *part = ChannelPart(rect, c);
    return part->xsize != 0 && part->ysize != 0;
  };
  for (size_t i = first; i < full_image.channels.size(); ++i) {
    const ModularChannel& c = full_image.channels[i];
    PixelRect part;
    if (!selected(c, &part)) continue;
    QOV_ASSIGN_OR_RETURN(ModularChannel channel,
                         ModularChannel::Create(memory_manager, part.xsize,
                                                part.ysize, c.hshift,
                                                c.vshift));
    g.channels.push_back(std::move(channel));
  }
  if (g.channels.empty()) {
    if (state != nullptr && ready != nullptr && header.metadata != nullptr &&
        (decode_color || header.metadata->m.num_extra_channels > 0)) {
      *ready = false;
    }
    return OkStatus();
  }
  QOV_ENSURE(reader != nullptr);
  QOV_RETURN_IF_ERROR(DecodeModularStream(
      *reader, g, nullptr, key.StreamNumber(frame_geometry), ModularSettings(),
      /*undo_transforms=*/true, &tree, &codes, &context_map,
      /*allow_truncated=*/false));

  if (use_full_image) {
    size_t j = 0;
    for (size_t i = first; i < full_image.channels.size(); ++i) {
      ModularChannel& c = full_image.channels[i];
      PixelRect part;
      if (!selected(c, &part)) continue;
      QOV_ENSURE(j < g.channels.size());
      const ModularChannel& from = g.channels[j++];
      QOV_ENSURE(from.width >= part.xsize && from.height >= part.ysize);
      QOV_ENSURE(c.plane.xsize() >= part.x0 + part.xsize &&
                 c.plane.ysize() >= part.y0 + part.ysize);
      for (uint64_t y = 0; y < part.ysize; ++y) {
        std::memcpy(c.Row(part.y0 + y) + part.x0, from.Row(y),
                    part.xsize * sizeof(int32_t));
      }
    }
    return OkStatus();
  }
  QOV_ENSURE(input != nullptr);
  for (const Transform& transform : global_transforms) {
    QOV_RETURN_IF_ERROR(transform.Undo(g, global_header.wp_header, nullptr));
  }
  PixelRect whole;
  whole.xsize = g.width;
  whole.ysize = g.height;
  return CopyChannelsToOutput(header, g, state, *input, whole);
}

Status ModularFrameReader::ReadDcCoefficients(const FrameHeader& header,
                                              uint64_t dc_group,
                                              BitReader& reader,
                                              FrameDecodingState* state) {
  QOV_ENSURE(state != nullptr);
  const PixelRect rect = DcGroupBlockRect(frame_geometry, dc_group);
  QOV_ASSIGN_OR_RETURN(ModularImage image,
                       ModularImage::Create(memory_manager, rect.xsize,
                                            rect.ysize, full_image.bit_depth,
                                            3));
  const uint32_t extra_precision = static_cast<uint32_t>(reader.Read(2));
  static constexpr size_t kChannelOf[3] = {1, 0, 2};
  const YCbCrChromaSubsampling& cs = header.chroma_subsampling;
  for (size_t c = 0; c < 3; ++c) {
    ModularChannel& channel = image.channels[kChannelOf[c]];
    channel.width >>= cs.HShift(c);
    channel.height >>= cs.VShift(c);
    QOV_RETURN_IF_ERROR(ResizeChannel(channel));
  }
  const Status status = DecodeModularStream(
      reader, image, nullptr,
      ModularStreamKey::VarDctDc(dc_group).StreamNumber(frame_geometry),
      ModularSettings(), /*undo_transforms=*/true, &tree, &codes, &context_map,
      /*allow_truncated=*/false);
  if (!status.ok()) return FailedStatus();
  QOV_ENSURE(state->dc != nullptr);
  QOV_ENSURE(rect.x0 + rect.xsize <= state->dc->xsize() &&
             rect.y0 + rect.ysize <= state->dc->ysize() &&
             rect.x0 + rect.xsize <= state->quant_dc.xsize() &&
             rect.y0 + rect.ysize <= state->quant_dc.ysize());
  DcGroupChannels in;
  for (size_t c = 0; c < 3; ++c) {
    const ModularChannel& channel = image.channels[c];
    in.rows[c] = channel.plane.allocated() ? channel.Row(0) : nullptr;
    in.stride[c] = channel.PixelsPerRow();
  }
  const float multiplier = 1.0f / static_cast<float>(1u << extra_precision);
  DequantizeDcRows(rect, state->dc, &state->quant_dc, in,
                   state->quantizer.dc_multipliers, multiplier,
                   state->cfl_map.dc_factors, cs, state->block_ctx_map);
  return OkStatus();
}

Status ModularFrameReader::ReadBlockMetadata(const FrameHeader& header,
                                             uint64_t dc_group,
                                             BitReader& reader,
                                             FrameDecodingState* state) {
  QOV_ENSURE(state != nullptr);
  const PixelRect rect = DcGroupBlockRect(frame_geometry, dc_group);
  const uint64_t area = rect.xsize * rect.ysize;
  const uint64_t count =
      reader.Read(area == 0 ? 0 : CeilLog2(area)) + 1;
  QOV_ASSIGN_OR_RETURN(ModularImage image,
                       ModularImage::Create(memory_manager, rect.xsize,
                                            rect.ysize, full_image.bit_depth,
                                            4));
  PixelRect tiles;
  tiles.x0 = rect.x0 >> 3;
  tiles.y0 = rect.y0 >> 3;
  tiles.xsize = (rect.xsize + 7) >> 3;
  tiles.ysize = (rect.ysize + 7) >> 3;
  for (size_t c = 0; c < 2; ++c) {
    QOV_ASSIGN_OR_RETURN(image.channels[c],
                         ModularChannel::Create(memory_manager, tiles.xsize,
                                                tiles.ysize, 3, 3));
  }
  QOV_ASSIGN_OR_RETURN(image.channels[2],
                       ModularChannel::Create(memory_manager, count, 2, 0, 0));
  const Status status = DecodeModularStream(
      reader, image, nullptr,
      ModularStreamKey::AcMetadata(dc_group).StreamNumber(frame_geometry),
      ModularSettings(), /*undo_transforms=*/true, &tree, &codes, &context_map,
      /*allow_truncated=*/false);
  if (!status.ok()) return FailedStatus();
  auto has_tile_size = [&](const ModularChannel& c) {
    return c.width == tiles.xsize && c.height == tiles.ysize;
  };
  QOV_ENSURE(image.channels.size() == 4 && has_tile_size(image.channels[0]));

  ChromaFromLumaMap& cfl = state->cfl_map;
  auto fill_tiles = [&](const ModularChannel& from, PlaneI8& map) -> Status {
    QOV_ENSURE(tiles.x0 + tiles.xsize <= map.xsize() &&
               tiles.y0 + tiles.ysize <= map.ysize());
    for (uint64_t y = 0; y < tiles.ysize; ++y) {
      const int32_t* in = from.Row(y);
      int8_t* out = map.Row(tiles.y0 + y) + tiles.x0;
      for (uint64_t x = 0; x < tiles.xsize; ++x) {
        out[x] = static_cast<int8_t>(Clamp(in[x], -128, 127));
      }
    }
    return OkStatus();
  };
  QOV_RETURN_IF_ERROR(fill_tiles(image.channels[0], cfl.ytox_map));
  QOV_ENSURE(has_tile_size(image.channels[1]));
  QOV_RETURN_IF_ERROR(fill_tiles(image.channels[1], cfl.ytob_map));

  BytePlaneView& kinds = state->varblock_kinds;
  const bool full_res = header.chroma_subsampling.IsFullResolution();
  const uint64_t x_limit =
      std::min<uint64_t>(rect.x0 + rect.xsize, kinds.plane.xsize());
  const uint64_t y_limit =
      std::min<uint64_t>(rect.y0 + rect.ysize, kinds.plane.ysize());
  QOV_ENSURE(x_limit == rect.x0 + rect.xsize && y_limit == rect.y0 + rect.ysize);
  QOV_ENSURE(state->epf_sharpness.xsize() >= x_limit &&
             state->epf_sharpness.ysize() >= y_limit &&
             state->raw_quant_field.xsize() >= x_limit &&
             state->raw_quant_field.ysize() >= y_limit);
  const ModularChannel& blocks = image.channels[2];
  const ModularChannel& sharpness = image.channels[3];
  QOV_ENSURE(blocks.width == count && blocks.height == 2 &&
             sharpness.width == rect.xsize && sharpness.height == rect.ysize);
  uint32_t used_kinds = 0;
  uint64_t placed = 0;
  for (uint64_t y = 0; y < rect.ysize; ++y) {
    const uint64_t by = rect.y0 + y;
    const int32_t* sharp_row = sharpness.Row(y);
    for (uint64_t x = 0; x < rect.xsize; ++x) {
      const uint64_t bx = rect.x0 + x;
      const int32_t sharp = sharp_row[x];
      if (sharp < 0 || sharp > 7) return FailedStatus();
      state->epf_sharpness.Row(by)[bx] = static_cast<uint8_t>(sharp);
      if (kinds.Row(by)[bx] != 0xFF) continue;
      if (placed >= count) return FailedStatus();
      const int32_t kind = blocks.Row(0)[placed];
      // Signed: a negative kind is as wrong as one above the last.
      if (kind < 0 || kind > kMaxVarBlockKind) return FailedStatus();
      const uint64_t cx = kVarBlockCoveredX[kind];
      const uint64_t cy = kVarBlockCoveredY[kind];
      if (cx * cy > 1 && !full_res) return FailedStatus();
      if (bx + cx > std::min<uint64_t>((bx & ~uint64_t{31}) + 32, x_limit) ||
          by + cy > std::min<uint64_t>((by & ~uint64_t{31}) + 32, y_limit)) {
        return FailedStatus();
      }
      QOV_RETURN_IF_ERROR(VarBlockKindMap::PlaceVarblock(
          kinds.plane, bx, by, static_cast<uint32_t>(kind)));
      state->raw_quant_field.Row(by)[bx] = 1 + Clamp(blocks.Row(1)[placed], 0, 255);
      used_kinds |= uint32_t{1} << kind;
      ++placed;
    }
  }
  state->used_varblock_kinds.fetch_or(used_kinds);
  if (header.loop_filter.epf_iters > 0) {
    return FillEpfInverseSigma(header.loop_filter, rect, state);
  }
  return OkStatus();
}

Status ModularFrameReader::ReadRawQuantMatrix(
    const QovMemoryManagerStruct* manager, uint64_t xsize, uint64_t ysize,
    BitReader& reader, DequantTableSpec* spec, uint64_t q,
    const ModularFrameReader* frame_reader) {
  QOV_ENSURE(spec != nullptr);
  float denominator = 0.0f;
  QOV_RETURN_IF_ERROR(ReadHalfFloat(&reader, &denominator));
  if (!(denominator >= 1e-8f)) return FailedStatus();
  QOV_ASSIGN_OR_RETURN(ModularImage image,
                       ModularImage::Create(manager, xsize, ysize, 8, 3));
  if (frame_reader != nullptr) {
    if (q > 16) return FailedStatus();
    QOV_RETURN_IF_ERROR(DecodeModularStream(
        reader, image, nullptr,
        ModularStreamKey::QuantTable(q).StreamNumber(
            frame_reader->frame_geometry),
        ModularSettings(), /*undo_transforms=*/true, &frame_reader->tree,
        &frame_reader->codes, &frame_reader->context_map,
        /*allow_truncated=*/false));
  } else {
    QOV_RETURN_IF_ERROR(DecodeModularStream(
        reader, image, nullptr, 0, ModularSettings(),
        /*undo_transforms=*/true, nullptr, nullptr, nullptr,
        /*allow_truncated=*/false));
  }
  const uint64_t plane = xsize * ysize;
  std::vector<int32_t> samples(3 * plane);
  for (size_t c = 0; c < 3; ++c) {
    const ModularChannel& channel = image.channels[c];
    QOV_ENSURE(channel.width == xsize && channel.height == ysize);
    for (uint64_t y = 0; y < ysize; ++y) {
      std::memcpy(samples.data() + c * plane + y * xsize, channel.Row(y),
                  xsize * sizeof(int32_t));
    }
  }
  return SetRawQuantTable(denominator, samples.data(), samples.size(), spec);
}

Status ModularFrameReader::ReadRawQuantMatrix(
    const QovMemoryManagerStruct* manager, size_t width, size_t height,
    BitReader* reader, DequantTableSpec* spec, uint32_t kind) {
  QOV_ENSURE(reader != nullptr);
  return ReadRawQuantMatrix(manager, width, height, *reader, spec, kind, this);
}

void ModularFrameReader::ReleaseUnusedImage() {
  if (!full_image.transforms.empty() || has_global_channels || !all_same_shift) {
    return;
  }
  // A group goes to the pipeline when its last pass is decoded, from that
  // pass's samples only. A channel decoded before (by the DC groups, shift 3
  // and up, or by an earlier pass) is not read again then, so whenever a
  // non-meta channel comes before the last pass the full image keeps it and
  // a flush of the full image hands it on.
  for (size_t i = static_cast<size_t>(full_image.meta_channel_count);
       i < full_image.channels.size(); ++i) {
    const ModularChannel& c = full_image.channels[i];
    if (std::min(c.hshift, c.vshift) > last_pass_max_shift) return;
  }
  use_full_image = false;
  for (ModularChannel& channel : full_image.channels) {
    channel.plane = PlaneI32();
  }
}

}  // namespace qov
