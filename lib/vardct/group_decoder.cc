// VarDCT AC group decoding: the block loop, the pass set-up around it and
// the DC-only drawing of a group.
#include "lib/vardct/group_decoder.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "lib/base/bits.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/jpeg/jpeg_data.h"
#include "lib/render/render_pipeline.h"
#include "lib/render/render_stage.h"
#include "lib/vardct/ac_image.h"
#include "lib/vardct/dct.h"
#include "lib/vardct/jpeg_coefficients.h"
#include "lib/vardct/varblock_dequant.h"

namespace qov {
namespace {

constexpr size_t kGroupDim = kGroupDimInBlocks;  // 32 blocks
constexpr size_t kBlocksPerColorTile = kColorTileDim / 8;

// The group's rectangle in blocks.
struct GroupBlocks {
  size_t x0 = 0, y0 = 0, xsize = 0, ysize = 0;
  size_t hs[3] = {0, 0, 0};
  size_t vs[3] = {0, 0, 0};
};

Status GroupBlocksOf(const FrameHeader& header, const FrameGeometry& geometry,
                     size_t group_index, GroupBlocks* out) {
  // Every VarDCT frame has 256-pixel groups; the count images, the AC store
  // rows and the block source rest on that.
  if (geometry.group_dim != 8 * kGroupDim) return FailedStatus();
  if (geometry.xsize_groups == 0 || group_index >= geometry.num_groups) {
    return FailedStatus();
  }
  const PixelRect blocks = geometry.GroupBlockRect(group_index);
  out->x0 = static_cast<size_t>(blocks.x0);
  out->y0 = static_cast<size_t>(blocks.y0);
  out->xsize = static_cast<size_t>(blocks.xsize);
  out->ysize = static_cast<size_t>(blocks.ysize);
  for (size_t c = 0; c < 3; ++c) {
    out->hs[c] = header.chroma_subsampling.HShift(c);
    out->vs[c] = header.chroma_subsampling.VShift(c);
  }
  return OkStatus();
}

bool OnGrid(const GroupBlocks& g, size_t c, size_t bx, size_t by) {
  return ((bx >> g.hs[c]) << g.hs[c]) == bx &&
         ((by >> g.vs[c]) << g.vs[c]) == by;
}

Status DrawGroupFromDc(const GroupBlocks& g, FrameDecodingState* state,
                       GroupDecodeScratch* scratch, size_t thread_id,
                       GroupRenderInput* input) {
  FrameSharedState& shared = *state->shared;
  QOV_RETURN_IF_ERROR(scratch->EnsureDcBorderBuffer(shared.memory_manager));
  const RenderPipelineStage* upsampler = state->upsampler_8x.get();
  if (upsampler == nullptr || shared.dc == nullptr || input == nullptr ||
      input->buffers.size() < 3) {
    return FailedStatus();
  }
  PlaneF& border = scratch->dc_border;
  const int64_t bw = border.xsize(), bh = border.ysize();
  ChannelRowSet in_rows(1, std::vector<float*>(5));
  ChannelRowSet out_rows(1, std::vector<float*>(8));
  for (size_t c = 0; c < 3; ++c) {
    const int64_t x0c = g.x0 >> g.hs[c], y0c = g.y0 >> g.vs[c];
    const int64_t xs = g.xsize >> g.hs[c], ys = g.ysize >> g.vs[c];
    const PlaneF& dc = shared.dc->Plane(c);
    const int64_t pw = dc.xsize(), ph = dc.ysize();
    const int64_t dw = pw >> g.hs[c], dh = ph >> g.vs[c];
    const int64_t lb = std::min<int64_t>(x0c, 2);
    const int64_t tb = std::min<int64_t>(y0c, 2);
    const int64_t right = pw - (x0c + xs), bottom = ph - (y0c + ys);
    const int64_t rb = right < 0 ? 2 : std::min<int64_t>(right, 2);
    const int64_t bb = bottom < 0 ? 2 : std::min<int64_t>(bottom, 2);
    const int64_t cw = lb + xs + rb, ch = tb + ys + bb;
    if (x0c - lb + cw > pw || y0c - tb + ch > ph ||
        (32 - lb) + cw > bw || (2 - tb) + ch > bh) {
      return FailedStatus();
    }
    for (int64_t i = 0; i < ch; ++i) {
      const float* src = dc.ConstRow(static_cast<size_t>(y0c - tb + i)) + (x0c - lb);
      float* dst = border.Row(static_cast<size_t>(2 - tb + i)) + (32 - lb);
      std::memcpy(dst, src, static_cast<size_t>(cw) * sizeof(float));
    }
    const int64_t k = dw - x0c;
    const bool left_edge = x0c == 0;
    const bool right_edge = x0c + xs + 2 >= dw;
    if (right_edge && (k < 0 || 33 + k >= bw)) return FailedStatus();
    for (int64_t r = 0; r <= ys + 3 && r < bh; ++r) {
      float* row = border.Row(static_cast<size_t>(r));
      if (left_edge) row[31] = row[32];
      if (right_edge) row[32 + k] = row[31 + k];
      if (left_edge) row[30] = row[33];
      if (right_edge) row[33 + k] = row[30 + k];
    }
    const GroupBuffer& out = input->buffers[c];
    if (out.plane == nullptr ||
        out.rect.x0 + out.rect.xsize > out.plane->xsize() ||
        out.rect.y0 + out.rect.ysize > out.plane->ysize() ||
        out.rect.x0 + 8 * static_cast<uint64_t>(xs) > out.plane->xsize() ||
        out.rect.y0 + 8 * static_cast<uint64_t>(ys) > out.plane->ysize()) {
      return FailedStatus();
    }
    for (int64_t j = y0c; j < y0c + ys; ++j) {
      for (int64_t d = -2; d <= 2; ++d) {
        const int64_t row = Mirror(j + d, dh) - y0c + 2;
        if (row < 0 || row >= bh) return FailedStatus();
        in_rows[0][static_cast<size_t>(d + 2)] = border.Row(static_cast<size_t>(row));
      }
      for (size_t kk = 0; kk < 8; ++kk) {
        const uint64_t y = out.rect.y0 + 8 * static_cast<uint64_t>(j - y0c) + kk;
        out_rows[0][kk] = reinterpret_cast<float*>(out.plane->RowBytes(y)) +
                          out.rect.x0 - kRowLeadSamples;
      }
      QOV_RETURN_IF_ERROR(upsampler->RenderRow(in_rows, out_rows, 0, 0,
                                               static_cast<size_t>(xs), 0, 0,
                                               thread_id));
    }
  }
  return OkStatus();
}

}  // namespace

Status GroupDecodeScratch::EnsureSized(const QovMemoryManagerStruct* manager,
                                       size_t num_passes, uint32_t used_kinds) {
  if (num_passes > kMaxNumPasses) return FailedStatus();
  for (size_t i = 0; i < num_passes; ++i) {
    if (nonzero_counts[i].xsize() != 0) continue;
    QOV_ASSIGN_OR_RETURN(nonzero_counts[i],
                         Image3I::Create(manager, kGroupDim, kGroupDim));
  }
  size_t needed = 0;
  for (size_t k = 0; k < kNumVarBlockKinds; ++k) {
    if ((used_kinds >> k) & 1) {
      needed = std::max(needed, CoefficientCount(static_cast<VarBlockKind>(k)));
    }
  }
  if (needed > capacity) {
    QOV_ASSIGN_OR_RETURN(AlignedBlock f, AlignedBlock::Create(manager, 28 * needed));
    float_block = std::move(f);
    QOV_ASSIGN_OR_RETURN(AlignedBlock b32, AlignedBlock::Create(manager, 12 * needed));
    block32 = std::move(b32);
    QOV_ASSIGN_OR_RETURN(AlignedBlock b16, AlignedBlock::Create(manager, 6 * needed));
    block16 = std::move(b16);
    capacity = needed;
  }
  dequantized = float_block.As<float>();
  transform_scratch = dequantized == nullptr ? nullptr : dequantized + 3 * capacity;
  quantized32 = block32.As<int32_t>();
  quantized16 = block16.As<int16_t>();
  return OkStatus();
}

Status GroupDecodeScratch::EnsureDcBorderBuffer(
    const QovMemoryManagerStruct* manager) {
  if (dc_border.xsize() != 0) return OkStatus();
  QOV_ASSIGN_OR_RETURN(dc_border,
                       PlaneF::Create(manager, kDcBorderWidth, kDcBorderHeight));
  return OkStatus();
}

namespace {

// What every varblock of one group works with once the group's records have
// been checked.
struct GroupBodyContext {
  const FrameSharedState* shared = nullptr;
  const GroupBlocks* g = nullptr;
  ACImage* ac = nullptr;
  GroupDecodeScratch* scratch = nullptr;
  const Image3F* dc_image = nullptr;
  size_t group_index = 0;
  bool no_storage = false;
  bool store_only = false;
  bool to_jpeg = false;
  bool to_pixels = false;
  bool subsampled = false;
  CoefficientWidth width = CoefficientWidth::Bits32;
  // Dequantisation of the current block: the tile's chroma-from-luma
  // factors and the block's quant field value change as the loop goes.
  VarblockDequantParams params;
  size_t dc_stride = 0;
  JpegCoefficientPath jpeg_path;
  JpegComponentCoefficients components[3];
};

// One block row of the group: its rows of the shared records, of the DC
// image and (when drawing pixels) of the render input planes.
struct GroupBlockRow {
  const int32_t* qf_row = nullptr;
  const uint8_t* kind_row = nullptr;
  const int8_t* ytox_row = nullptr;
  const int8_t* ytob_row = nullptr;
  const float* dc_rows[3] = {nullptr, nullptr, nullptr};
  float* pixel_rows[3] = {nullptr, nullptr, nullptr};
  size_t pixel_strides[3] = {0, 0, 0};
};

// The JPEG rebuild's colour path and components; the JPEG path reads 32-bit
// coefficients, so a frame with a 16-bit AC store cannot be rebuilt.
Status PrepareJpegOutput(const FrameHeader& header, jpeg::JPEGData* jpeg_data,
                         GroupBodyContext* ctx) {
  const FrameSharedState& shared = *ctx->shared;
  QOV_RETURN_IF_ERROR(PrepareJpegCoefficientPath(
      shared.cfl_map, header.color_transform, JpegQuantSourceOf(shared.dequant),
      jpeg_data->component_list.size(), &ctx->jpeg_path));
  for (size_t i = 0; i < jpeg_data->component_list.size() && i < 3; ++i) {
    jpeg::JpegComponentData& comp = jpeg_data->component_list[i];
    ctx->components[i].data = comp.coefficients.data();
    ctx->components[i].size = comp.coefficients.size();
    ctx->components[i].width_in_blocks = comp.width_in_blocks;
  }
  if (ctx->no_storage) {
    ctx->width = CoefficientWidth::Bits32;
  } else if (ctx->width != CoefficientWidth::Bits32) {
    return FailedStatus();
  }
  return OkStatus();
}

// The shared records must cover the group.
Status CheckGroupRecords(const FrameSharedState& shared, const GroupBlocks& g) {
  const Image3F& dc_image = *shared.dc;
  for (size_t c = 0; c < 3; ++c) {
    if ((g.x0 >> g.hs[c]) + (g.xsize >> g.hs[c]) > dc_image.Plane(c).xsize() ||
        (g.y0 >> g.vs[c]) + (g.ysize >> g.vs[c]) > dc_image.Plane(c).ysize()) {
      return FailedStatus();
    }
  }
  if (g.xsize == 0 || g.ysize == 0) return OkStatus();
  const size_t xend = g.x0 + g.xsize, yend = g.y0 + g.ysize;
  if (shared.raw_quant_field.xsize() < xend ||
      shared.raw_quant_field.ysize() < yend ||
      shared.quant_dc.xsize() < xend || shared.quant_dc.ysize() < yend ||
      shared.varblock_kinds.plane.xsize() < xend ||
      shared.varblock_kinds.plane.ysize() < yend ||
      shared.cfl_map.ytox_map.xsize() * kBlocksPerColorTile < xend ||
      shared.cfl_map.ytox_map.ysize() * kBlocksPerColorTile < yend ||
      shared.cfl_map.ytob_map.xsize() * kBlocksPerColorTile < xend ||
      shared.cfl_map.ytob_map.ysize() * kBlocksPerColorTile < yend) {
    return FailedStatus();
  }
  return OkStatus();
}

// The group's pixel planes must hold its blocks: every varblock writes
// whole 8 x 8 blocks of pixels.
Status CheckPixelBuffers(const GroupBlocks& g, const GroupRenderInput* input) {
  if (input == nullptr || input->buffers.size() < 3) return FailedStatus();
  for (size_t c = 0; c < 3; ++c) {
    const GroupBuffer& b = input->buffers[c];
    if (b.plane == nullptr ||
        b.rect.x0 + 8 * DivCeilShift(g.xsize, g.hs[c]) > b.plane->xsize() ||
        b.rect.y0 + 8 * DivCeilShift(g.ysize, g.vs[c]) > b.plane->ysize()) {
      return FailedStatus();
    }
  }
  return OkStatus();
}

GroupBlockRow BlockRowOf(const GroupBodyContext& ctx,
                         const GroupRenderInput* input, size_t by) {
  const FrameSharedState& shared = *ctx.shared;
  const GroupBlocks& g = *ctx.g;
  GroupBlockRow row;
  row.qf_row = shared.raw_quant_field.ConstRow(g.y0 + by) + g.x0;
  row.kind_row = shared.varblock_kinds.Row(g.y0 + by) + g.x0;
  row.ytox_row = shared.cfl_map.ytox_map.ConstRow((g.y0 + by) / kBlocksPerColorTile);
  row.ytob_row = shared.cfl_map.ytob_map.ConstRow((g.y0 + by) / kBlocksPerColorTile);
  for (size_t c = 0; c < 3; ++c) {
    row.dc_rows[c] = ctx.dc_image->PlaneRow(c, (g.y0 >> g.vs[c]) + (by >> g.vs[c])) +
                     (g.x0 >> g.hs[c]);
    if (ctx.to_pixels) {
      const GroupBuffer& b = input->buffers[c];
      row.pixel_rows[c] = b.Row(8 * (by >> g.vs[c]));
      row.pixel_strides[c] = b.plane->bytes_per_row() / sizeof(float);
    }
  }
  return row;
}

// Where the block's quantised coefficients go: the scratch blocks (zeroed)
// when the frame keeps no AC store, else the store at `offset` of the
// group's row.
Status CoefficientSlots(const GroupBodyContext& ctx, size_t count, size_t offset,
                        void* locations[3]) {
  GroupDecodeScratch* scratch = ctx.scratch;
  if (ctx.no_storage) {
    if (ctx.store_only || count > scratch->capacity) return FailedStatus();
    if (ctx.width == CoefficientWidth::Bits32) {
      std::memset(scratch->quantized32, 0, 3 * count * sizeof(int32_t));
      for (size_t c = 0; c < 3; ++c) locations[c] = scratch->quantized32 + c * count;
    } else {
      std::memset(scratch->quantized16, 0, 3 * count * sizeof(int16_t));
      for (size_t c = 0; c < 3; ++c) locations[c] = scratch->quantized16 + c * count;
    }
    return OkStatus();
  }
  if (offset + count > ctx.ac->EntriesPerRow()) return FailedStatus();
  for (size_t c = 0; c < 3; ++c) {
    locations[c] = ctx.ac->CoefficientsAt(c, ctx.group_index, offset);
  }
  return OkStatus();
}

Status WriteVarblockToJpeg(GroupBodyContext& ctx, const GroupBlockRow& row,
                           VarBlockKind kind, size_t bx, size_t by,
                           int32_t tile_x, int32_t tile_b,
                           void* const locations[3]) {
  const GroupBlocks& g = *ctx.g;
  JpegBlock block;
  block.kind = kind;
  block.subsampled = ctx.subsampled;
  block.tile_x = tile_x;
  block.tile_b = tile_b;
  for (size_t c = 0; c < 3; ++c) {
    block.coefficients[c] = static_cast<int32_t*>(locations[c]);
    block.on_grid[c] = OnGrid(g, c, bx, by);
    block.column[c] = (g.x0 >> g.hs[c]) + (bx >> g.hs[c]);
    block.row[c] = (g.y0 >> g.vs[c]) + (by >> g.vs[c]);
    block.dc[c] = row.dc_rows[c][bx >> g.hs[c]];
  }
  return WriteJpegBlock(ctx.jpeg_path, block, ctx.components);
}

// Dequantises the block, completes it from the DC image and writes its
// pixels into the group's planes.
Status ReconstructVarblock(GroupBodyContext& ctx, const GroupBlockRow& row,
                           VarBlockKind kind, size_t count, size_t bx, size_t by,
                           void* const locations[3]) {
  const GroupBlocks& g = *ctx.g;
  const DequantTableSet& tables = ctx.shared->dequant;
  GroupDecodeScratch* scratch = ctx.scratch;
  if (count > scratch->capacity ||
      ((tables.computed_kinds() >> static_cast<uint32_t>(kind)) & 1) == 0) {
    return FailedStatus();
  }
  ctx.params.quant = row.qf_row[bx];
  size_t block_x[3];
  for (size_t c = 0; c < 3; ++c) block_x[c] = bx >> g.hs[c];
  const void* const q[3] = {locations[0], locations[1], locations[2]};
  DequantizeVarblock(ctx.params, kind, tables, q, ctx.width, block_x, row.dc_rows,
                     ctx.dc_stride, scratch->dequantized,
                     scratch->transform_scratch);
  static constexpr size_t kChannelOrder[3] = {1, 0, 2};
  for (size_t c : kChannelOrder) {
    if (!OnGrid(g, c, bx, by)) continue;
    InverseTransformBlock(static_cast<uint32_t>(kind),
                          scratch->dequantized + c * count,
                          row.pixel_rows[c] + 8 * (bx >> g.hs[c]),
                          row.pixel_strides[c], scratch->transform_scratch);
  }
  return OkStatus();
}

// Reads (and draws) every varblock that starts in block row `by`, tile by
// tile; *offset counts the coefficients the group has used in the store.
Status DecodeGroupBlockRow(GroupBodyContext& ctx, GetBlock* source,
                           const GroupRenderInput* input, size_t by,
                           size_t* offset) {
  const GroupBlocks& g = *ctx.g;
  const ChromaFromLumaMap& cfl = ctx.shared->cfl_map;
  source->BeginBlockRow(by);
  const GroupBlockRow row = BlockRowOf(ctx, input, by);
  size_t bx = 0;
  const size_t tiles = DivCeilShift(g.xsize, 3);
  for (size_t t = 0; t < tiles; ++t) {
    const size_t tile_col = g.x0 / kBlocksPerColorTile + t;
    const int32_t tile_x = row.ytox_row[tile_col], tile_b = row.ytob_row[tile_col];
    ctx.params.x_factor = cfl.XFactor(tile_x);
    ctx.params.b_factor = cfl.BFactor(tile_b);
    while (bx < g.xsize && bx < 8 * t + 8) {
      const uint8_t entry = row.kind_row[bx];
      // The block metadata covers every block of the frame; a hole or an
      // unknown kind is malformed.
      if (VarBlockKindMap::IsFree(entry) || (entry >> 1) >= kNumVarBlockKinds) {
        return FailedStatus();
      }
      const VarBlockKind kind = VarBlockKindMap::KindOf(entry);
      const size_t covered_x = CoveredBlocksX(kind);
      if (!VarBlockKindMap::IsFirst(entry)) {
        bx += covered_x;
        continue;
      }
      if (bx + covered_x > g.xsize || by + CoveredBlocksY(kind) > g.ysize) {
        return FailedStatus();
      }
      const size_t count = CoefficientCount(kind);
      const size_t log2_covered = kVarBlockLog2Covered[static_cast<size_t>(kind)];
      void* locations[3];
      QOV_RETURN_IF_ERROR(CoefficientSlots(ctx, count, *offset, locations));
      QOV_RETURN_IF_ERROR(source->ReadBlock(bx, by, kind, count, log2_covered,
                                            locations, ctx.width));
      if (ctx.to_jpeg) {
        QOV_RETURN_IF_ERROR(
            WriteVarblockToJpeg(ctx, row, kind, bx, by, tile_x, tile_b, locations));
      } else if (ctx.to_pixels) {
        QOV_RETURN_IF_ERROR(ReconstructVarblock(ctx, row, kind, count, bx, by, locations));
      }
      *offset += count;
      bx += covered_x;
    }
  }
  return OkStatus();
}

}  // namespace

Status DecodeVarDctGroupBody(const FrameHeader& header, GetBlock* source,
                             GroupDecodeScratch* scratch,
                             FrameDecodingState* state, size_t thread_id,
                             size_t group_index, GroupRenderInput* input,
                             jpeg::JPEGData* jpeg_data, bool store_only) {
  (void)thread_id;
  FrameSharedState& shared = *state->shared;
  GroupBlocks g;
  QOV_RETURN_IF_ERROR(
      GroupBlocksOf(header, shared.frame_geometry, group_index, &g));
  GroupBodyContext ctx;
  ctx.shared = &shared;
  ctx.g = &g;
  ctx.ac = state->coefficients.get();
  if (ctx.ac == nullptr) return FailedStatus();
  ctx.scratch = scratch;
  ctx.group_index = group_index;
  ctx.no_storage = ctx.ac->HasNoStorage();
  ctx.store_only = store_only;
  ctx.width = ctx.ac->SampleWidth();
  ctx.to_jpeg = jpeg_data != nullptr && !store_only;
  ctx.to_pixels = !store_only && !ctx.to_jpeg;
  if (jpeg_data != nullptr) {
    QOV_RETURN_IF_ERROR(PrepareJpegOutput(header, jpeg_data, &ctx));
  }
  ctx.dc_image = shared.dc;
  if (ctx.dc_image == nullptr) return FailedStatus();
  QOV_RETURN_IF_ERROR(CheckGroupRecords(shared, g));
  if (ctx.to_pixels) QOV_RETURN_IF_ERROR(CheckPixelBuffers(g, input));

  ctx.params.inv_global_scale = shared.quantizer.inv_global_scale;
  ctx.params.x_mul = state->x_dequant_multiplier;
  ctx.params.b_mul = state->b_dequant_multiplier;
  std::memcpy(ctx.params.biases, state->output_color.quant_bias,
              sizeof(ctx.params.biases));
  ctx.dc_stride = ctx.dc_image->PixelsPerRow();
  ctx.subsampled = !header.chroma_subsampling.IsFullResolution();

  size_t offset = 0;
  for (size_t by = 0; by < g.ysize; ++by) {
    QOV_RETURN_IF_ERROR(DecodeGroupBlockRow(ctx, source, input, by, &offset));
  }
  return OkStatus();
}

Status DecodeVarDctGroup(const FrameHeader& header, BitReader* const* readers,
                         size_t num_passes, size_t group_index,
                         FrameDecodingState* state, GroupDecodeScratch* scratch,
                         size_t thread_id, GroupRenderInput* input,
                         jpeg::JPEGData* jpeg_data, size_t first_pass, bool force_draw,
                         bool draw_only, bool* should_draw) {
  const bool draw =
      first_pass + num_passes == header.passes.num_passes || force_draw;
  if (should_draw != nullptr) *should_draw = draw;
  FrameSharedState& shared = *state->shared;
  GroupBlocks g;
  QOV_RETURN_IF_ERROR(
      GroupBlocksOf(header, shared.frame_geometry, group_index, &g));
  if (first_pass == 0 && num_passes == 0 && draw) {
    return DrawGroupFromDc(g, state, scratch, thread_id, input);
  }

  uint64_t num_sets = 0;
  size_t selector_bits = 0;
  if (draw_only) {
    if (num_passes != 0) return FailedStatus();
  } else {
    num_sets = shared.histogram_sets;
    if (num_sets == 0) return FailedStatus();
    selector_bits = CeilLog2(num_sets);
  }
  // The frame's per-pass records must hold the passes asked for.
  if (num_passes > kMaxNumPasses ||
      first_pass + num_passes > header.passes.num_passes ||
      (num_passes > 0 &&
       (readers == nullptr ||
        state->pass_codes.size() < first_pass + num_passes ||
        state->pass_context_maps.size() < first_pass + num_passes ||
        shared.coefficient_orders.entries.size() <
            (first_pass + num_passes) * shared.coefficient_orders.stride))) {
    return FailedStatus();
  }

  BlockSourceParams params;
  if (num_passes > 0) {
    params.pass_shifts = header.passes.shift + first_pass;
    params.orders = shared.coefficient_orders.PassOrders(first_pass);
    params.context_maps = state->pass_context_maps.data() + first_pass;
    params.codes = state->pass_codes.data() + first_pass;
  }
  params.order_stride = shared.coefficient_orders.stride;
  params.readers = readers;
  params.num_passes = num_passes;
  params.count_images = scratch->nonzero_counts;
  params.block_ctx_map = &shared.block_ctx_map;
  params.raw_quant_field = &shared.raw_quant_field;
  params.dc_buckets = &shared.quant_dc;
  params.x0 = g.x0;
  params.y0 = g.y0;
  params.xsize = g.xsize;
  params.ysize = g.ysize;
  for (size_t c = 0; c < 3; ++c) {
    params.hshift[c] = g.hs[c];
    params.vshift[c] = g.vs[c];
  }
  GetBlockFromBitstream source(params);
  for (size_t i = 0; i < num_passes; ++i) {
    if (readers[i] == nullptr) return FailedStatus();
    uint32_t selector = 0;
    if (selector_bits > 0) {
      selector = static_cast<uint32_t>(readers[i]->Read(selector_bits));
      if (selector >= num_sets) return FailedStatus();
    }
    QOV_RETURN_IF_ERROR(source.InitPass(i, selector));
  }
  QOV_RETURN_IF_ERROR(DecodeVarDctGroupBody(header, &source, scratch, state,
                                            thread_id, group_index, input,
                                            jpeg_data, !draw));
  return source.AllReadersFinal() ? OkStatus() : FailedStatus();
}

}  // namespace qov
