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
  const uint64_t gx = group_index % geometry.xsize_groups;
  const uint64_t gy = group_index / geometry.xsize_groups;
  const uint64_t x0 = gx * kGroupDim, y0 = gy * kGroupDim;
  const uint64_t w = geometry.xsize_blocks, h = geometry.ysize_blocks;
  out->x0 = static_cast<size_t>(x0);
  out->y0 = static_cast<size_t>(y0);
  out->xsize = x0 < w ? static_cast<size_t>(std::min<uint64_t>(kGroupDim, w - x0)) : 0;
  out->ysize = y0 < h ? static_cast<size_t>(std::min<uint64_t>(kGroupDim, h - y0)) : 0;
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
  ACImage* ac = state->coefficients.get();
  if (ac == nullptr) return FailedStatus();
  const bool no_storage = ac->HasNoStorage();
  CoefficientWidth width = ac->SampleWidth();

  JpegCoefficientPath jpeg_path;
  JpegComponentCoefficients components[3];
  const bool to_jpeg = jpeg_data != nullptr && !store_only;
  if (jpeg_data != nullptr) {
    QOV_RETURN_IF_ERROR(PrepareJpegCoefficientPath(
        shared.cfl_map, header.color_transform,
        JpegQuantSourceOf(shared.dequant), jpeg_data->component_list.size(),
        &jpeg_path));
    for (size_t i = 0; i < jpeg_data->component_list.size() && i < 3; ++i) {
      jpeg::JpegComponentData& comp = jpeg_data->component_list[i];
      components[i].data = comp.coefficients.data();
      components[i].size = comp.coefficients.size();
      components[i].width_in_blocks = comp.width_in_blocks;
    }
    // The JPEG path reads 32-bit values.
    if (no_storage) {
      width = CoefficientWidth::Bits32;
    } else if (width != CoefficientWidth::Bits32) {
      return FailedStatus();
    }
  }

  // The shared records must cover the group.
  const Image3F* dc_image = shared.dc;
  if (dc_image == nullptr) return FailedStatus();
  for (size_t c = 0; c < 3; ++c) {
    if ((g.x0 >> g.hs[c]) + (g.xsize >> g.hs[c]) > dc_image->Plane(c).xsize() ||
        (g.y0 >> g.vs[c]) + (g.ysize >> g.vs[c]) > dc_image->Plane(c).ysize()) {
      return FailedStatus();
    }
  }
  const size_t xend = g.x0 + g.xsize, yend = g.y0 + g.ysize;
  if (g.xsize > 0 && g.ysize > 0) {
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
  }
  const bool to_pixels = !store_only && !to_jpeg;
  if (to_pixels) {
    if (input == nullptr || input->buffers.size() < 3) return FailedStatus();
    for (size_t c = 0; c < 3; ++c) {
      const GroupBuffer& b = input->buffers[c];
      // Every varblock writes whole 8 x 8 blocks of pixels.
      if (b.plane == nullptr ||
          b.rect.x0 + 8 * DivCeilShift(g.xsize, g.hs[c]) > b.plane->xsize() ||
          b.rect.y0 + 8 * DivCeilShift(g.ysize, g.vs[c]) > b.plane->ysize()) {
        return FailedStatus();
      }
    }
  }

  const Quantizer& quantizer = shared.quantizer;
  const DequantTableSet& tables = shared.dequant;
  VarblockDequantParams params;
  params.inv_global_scale = quantizer.inv_global_scale;
  params.x_mul = state->x_dequant_multiplier;
  params.b_mul = state->b_dequant_multiplier;
  std::memcpy(params.biases, state->output_color.quant_bias, sizeof(params.biases));
  const size_t dc_stride = dc_image->PixelsPerRow();
  const bool subsampled = !header.chroma_subsampling.IsFullResolution();

  size_t offset = 0;
  for (size_t by = 0; by < g.ysize; ++by) {
    source->BeginBlockRow(by);
    const int32_t* qf_row = shared.raw_quant_field.ConstRow(g.y0 + by) + g.x0;
    const uint8_t* kind_row = shared.varblock_kinds.Row(g.y0 + by) + g.x0;
    const int8_t* ytox_row = shared.cfl_map.ytox_map.ConstRow((g.y0 + by) / kBlocksPerColorTile);
    const int8_t* ytob_row = shared.cfl_map.ytob_map.ConstRow((g.y0 + by) / kBlocksPerColorTile);
    const float* dc_rows[3];
    float* pixel_rows[3] = {nullptr, nullptr, nullptr};
    size_t pixel_strides[3] = {0, 0, 0};
    for (size_t c = 0; c < 3; ++c) {
      dc_rows[c] = dc_image->PlaneRow(c, (g.y0 >> g.vs[c]) + (by >> g.vs[c])) +
                   (g.x0 >> g.hs[c]);
      if (to_pixels) {
        const GroupBuffer& b = input->buffers[c];
        pixel_rows[c] = b.Row(8 * (by >> g.vs[c]));
        pixel_strides[c] = b.plane->bytes_per_row() / sizeof(float);
      }
    }
    size_t bx = 0;
    const size_t tiles = DivCeilShift(g.xsize, 3);
    for (size_t t = 0; t < tiles; ++t) {
      const size_t tile_col = g.x0 / kBlocksPerColorTile + t;
      const int32_t tile_x = ytox_row[tile_col], tile_b = ytob_row[tile_col];
      params.x_factor = shared.cfl_map.XFactor(tile_x);
      params.b_factor = shared.cfl_map.BFactor(tile_b);
      while (bx < g.xsize && bx < 8 * t + 8) {
        const uint8_t entry = kind_row[bx];
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
        if (no_storage) {
          if (store_only || count > scratch->capacity) return FailedStatus();
          if (width == CoefficientWidth::Bits32) {
            std::memset(scratch->quantized32, 0, 3 * count * sizeof(int32_t));
            for (size_t c = 0; c < 3; ++c) locations[c] = scratch->quantized32 + c * count;
          } else {
            std::memset(scratch->quantized16, 0, 3 * count * sizeof(int16_t));
            for (size_t c = 0; c < 3; ++c) locations[c] = scratch->quantized16 + c * count;
          }
        } else {
          if (offset + count > ac->EntriesPerRow()) return FailedStatus();
          for (size_t c = 0; c < 3; ++c) {
            locations[c] = ac->CoefficientsAt(c, group_index, offset);
          }
        }
        QOV_RETURN_IF_ERROR(source->ReadBlock(bx, by, kind, count, log2_covered,
                                              locations, width));
        if (to_jpeg) {
          JpegBlock block;
          block.kind = kind;
          block.subsampled = subsampled;
          block.tile_x = tile_x;
          block.tile_b = tile_b;
          for (size_t c = 0; c < 3; ++c) {
            block.coefficients[c] = static_cast<int32_t*>(locations[c]);
            block.on_grid[c] = OnGrid(g, c, bx, by);
            block.column[c] = (g.x0 >> g.hs[c]) + (bx >> g.hs[c]);
            block.row[c] = (g.y0 >> g.vs[c]) + (by >> g.vs[c]);
            block.dc[c] = dc_rows[c][bx >> g.hs[c]];
          }
          QOV_RETURN_IF_ERROR(WriteJpegBlock(jpeg_path, block, components));
        } else if (to_pixels) {
          if (count > scratch->capacity ||
              ((tables.computed_kinds() >> static_cast<uint32_t>(kind)) & 1) == 0) {
            return FailedStatus();
          }
          params.quant = qf_row[bx];
          size_t block_x[3];
          for (size_t c = 0; c < 3; ++c) block_x[c] = bx >> g.hs[c];
          const void* const q[3] = {locations[0], locations[1], locations[2]};
          DequantizeVarblock(params, kind, tables, q, width, block_x, dc_rows,
                             dc_stride, scratch->dequantized,
                             scratch->transform_scratch);
          static constexpr size_t kChannelOrder[3] = {1, 0, 2};
          for (size_t c : kChannelOrder) {
            if (!OnGrid(g, c, bx, by)) continue;
            InverseTransformBlock(static_cast<uint32_t>(kind),
                                  scratch->dequantized + c * count,
                                  pixel_rows[c] + 8 * (bx >> g.hs[c]),
                                  pixel_strides[c], scratch->transform_scratch);
          }
        }
        offset += count;
        bx += covered_x;
      }
    }
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
