// The section decoders: what the DC-global, DC-group, AC-global and
// AC-group sections hold and in which order their parts are read. The
// driver records what is done. A test may put a SectionContentDecoder in
// `section_content`; it then reads the sections instead.
#include <algorithm>
#include <cmath>

#include "lib/frame/frame_driver.h"
#include "lib/frame/noise.h"
#include "lib/frame/section_content.h"
#include "lib/render/render_pipeline.h"
#include "lib/vardct/ac_image.h"
#include "lib/vardct/coefficient_order.h"

namespace qov {

namespace {

bool IsModular(const FrameHeader& header) {
  return header.encoding == static_cast<uint32_t>(FrameCoding::kModular);
}

uint32_t CeilLog2(uint64_t v) {
  uint32_t bits = 0;
  while (bits < 64 && (uint64_t{1} << bits) < v) ++bits;
  return bits;
}

// The EPF parameter of every block of a modular frame.
constexpr float kModularEpfScale = -1.1715729f;

// Fills the entries of one DC group's blocks (and the margins next to it
// at the frame's edges) of the EPF inverse-sigma plane with one value.
// Groups together fill the whole plane; each writes only its own part.
void FillModularEpfSigma(PlaneF& plane, const FrameGeometry& geometry,
                         uint64_t dc_group, float value) {
  const uint64_t g = geometry.group_dim;
  const uint64_t across = std::max<uint64_t>(geometry.xsize_dc_groups, 1);
  const uint64_t bx0 = (dc_group % across) * g;
  const uint64_t by0 = (dc_group / across) * g;
  if (bx0 >= geometry.xsize_blocks || by0 >= geometry.ysize_blocks) return;
  uint64_t x_begin = bx0 + 2;
  uint64_t x_end = std::min(bx0 + g, geometry.xsize_blocks) + 2;
  uint64_t y_begin = by0 + 2;
  uint64_t y_end = std::min(by0 + g, geometry.ysize_blocks) + 2;
  if (bx0 == 0) x_begin = 0;
  if (x_end == geometry.xsize_blocks + 2) x_end = plane.xsize();
  if (by0 == 0) y_begin = 0;
  if (y_end == geometry.ysize_blocks + 2) y_end = plane.ysize();
  x_end = std::min<uint64_t>(x_end, plane.xsize());
  y_end = std::min<uint64_t>(y_end, plane.ysize());
  for (uint64_t y = y_begin; y < y_end; ++y) {
    float* row = plane.Row(y);
    for (uint64_t x = x_begin; x < x_end; ++x) row[x] = value;
  }
}

}  // namespace

Status FillJpegQuantTables(const FrameHeader& header,
                           const DequantTableSet& dequant, ImageBundle* bundle) {
  jpeg::JPEGData& jpeg = *bundle->jpeg_data;
  bundle->color_transform = header.color_transform;
  bundle->chroma_subsampling = header.chroma_subsampling;
  const DequantTableSpec& spec = dequant.spec(DequantTableKind::Dct8By8);
  const float expected = 1.0f / (8.0f * 255.0f);
  QOV_ENSURE(spec.mode == DequantSpecMode::Raw &&
             std::fabs(spec.denominator - expected) < 1e-8 &&
             header.color_transform !=
                 static_cast<uint32_t>(ColorTransformKind::kXyb));
  const size_t num_components = jpeg.component_list.size();
  QOV_ENSURE(num_components == 1 || num_components == 3);
  size_t map[3] = {0, 0, 0};
  if (num_components == 3) {
    const bool ycbcr = header.color_transform ==
                       static_cast<uint32_t>(ColorTransformKind::kYCbCr);
    map[0] = ycbcr ? 1 : 0;
    map[1] = ycbcr ? 0 : 1;
    map[2] = 2;
  }
  QOV_ENSURE(spec.raw.size() == 3 * 64);
  std::vector<uint8_t> used(jpeg.quant_tables.size(), 0);
  for (size_t c = 0; c < 3; ++c) {
    const uint32_t q = jpeg.component_list[map[c]].quant_index;
    QOV_ENSURE(q < jpeg.quant_tables.size());
    const int32_t* source =
        spec.raw.data() + 64 * (num_components == 1 ? 1 : c);
    for (size_t x = 0; x < 8; ++x) {
      for (size_t y = 0; y < 8; ++y) {
        jpeg.quant_tables[q].values[x * 8 + y] = source[y * 8 + x];
      }
    }
    used[q] = 1;
  }
  for (size_t q = 0; q < jpeg.quant_tables.size(); ++q) {
    if (used[q] != 0) continue;
    QOV_ENSURE(q != 0);
    // Only the values: the table keeps its own identifier, precision and
    // place in the DQT segments.
    std::copy(std::begin(jpeg.quant_tables[q - 1].values),
              std::end(jpeg.quant_tables[q - 1].values),
              std::begin(jpeg.quant_tables[q].values));
  }
  return OkStatus();
}

void ModularShiftBracket(const Passes& passes, uint64_t pass, int32_t* min_shift,
                         int32_t* max_shift) {
  int32_t lo = 3, hi = 2;
  for (uint64_t k = 0;; ++k) {
    for (uint32_t j = 0; j < passes.num_downsample && j < kMaxNumPasses; ++j) {
      if (passes.last_pass[j] != k) continue;
      switch (passes.downsample[j]) {
        case 1: lo = 0; break;
        case 2: lo = 1; break;
        case 4: lo = 2; break;
        case 8: lo = 3; break;
        default: break;
      }
    }
    if (k + 1 >= passes.num_passes) lo = 0;
    if (k >= pass) break;
    hi = lo - 1;
  }
  *min_shift = lo;
  *max_shift = hi;
}

Status FrameDriver::DecodeDcGlobalSection(BitReader& reader) {
  if (section_content != nullptr) {
    const Status status = section_content->DcGlobal(*this, reader);
    if (status.ok()) dc_global_done = true;
    return status;
  }
  QOV_ENSURE(frame_state != nullptr && frame_header.metadata != nullptr);
  FrameDecodingState& state = *frame_state;
  const QovMemoryManagerStruct* manager = state.memory_manager;
  const uint64_t flags = frame_header.flags;
  const ImageMetadata& m = frame_header.metadata->m;

  if ((flags & FrameFlags::kPatches) != 0) {
    QOV_RETURN_IF_ERROR(state.patches.Decode(
        manager, reader, frame_geometry.xsize_padded,
        frame_geometry.ysize_padded, m.extra_channel_info.size()));
    if (frame_header.upsampling != 1) {
      for (uint32_t up : frame_header.ec_upsampling) {
        QOV_ENSURE(up == frame_header.upsampling);
      }
    }
  } else {
    state.patches.Clear();
    state.patches.BuildRowIndex();
  }
  state.splines.Clear();
  if ((flags & FrameFlags::kSplines) != 0) {
    QOV_RETURN_IF_ERROR(state.splines.Decode(
        manager, reader, frame_geometry.xsize * frame_geometry.ysize));
  }
  if ((flags & FrameFlags::kNoise) != 0) state.noise.Decode(reader);
  QOV_RETURN_IF_ERROR(state.dequant.ReadDcSteps(&reader));
  if (!IsModular(frame_header)) {
    QOV_RETURN_IF_ERROR(state.quantizer.ReadParams(reader));
    QOV_RETURN_IF_ERROR(state.block_ctx_map.Decode(manager, reader));
    QOV_RETURN_IF_ERROR(state.cfl_map.ReadDcFactors(reader));
    if (decoded != nullptr && decoded->jpeg_data != nullptr) {
      for (size_t i = 0; i < 4; ++i) {
        state.quantizer.dc_multipliers[i] = 1.0f;
        state.quantizer.inv_dc_multipliers[i] = 1.0f;
      }
    }
    for (size_t y = 0; y < state.varblock_kinds.plane.ysize(); ++y) {
      std::fill_n(state.varblock_kinds.Row(y), state.varblock_kinds.plane.xsize(),
                  uint8_t{0xFF});
    }
  }
  if ((flags & FrameFlags::kSplines) != 0) {
    QOV_RETURN_IF_ERROR(state.splines.PrepareDrawing(
        frame_geometry.xsize_upsampled, frame_geometry.ysize_upsampled,
        state.cfl_map));
  }
  const Status status = modular_reader.ReadGlobalSection(reader, frame_header);
  if (status.ok()) dc_global_done = true;
  return status;
}

Status FrameDriver::DecodeDcGroupSection(uint64_t dc_group, BitReader& reader) {
  QOV_ENSURE(dc_group < decoded_dc_groups.size());
  if (section_content != nullptr) {
    QOV_RETURN_IF_ERROR(section_content->DcGroup(*this, dc_group, reader));
    decoded_dc_groups[dc_group] = 1;
    return OkStatus();
  }
  QOV_ENSURE(frame_state != nullptr);
  const uint64_t across = std::max<uint64_t>(frame_geometry.xsize_dc_groups, 1);
  const uint64_t dim = frame_geometry.dc_group_dim;
  const bool vardct = !IsModular(frame_header);
  if (vardct && (frame_header.flags & FrameFlags::kUseDcFrame) == 0) {
    QOV_RETURN_IF_ERROR(modular_reader.ReadDcCoefficients(
        frame_header, dc_group, reader, frame_state));
  }
  PixelRect rect;
  rect.x0 = (dc_group % across) * dim;
  rect.y0 = (dc_group / across) * dim;
  rect.xsize = dim;
  rect.ysize = dim;
  QOV_RETURN_IF_ERROR(modular_reader.ReadGroupRect(
      frame_header, rect, &reader, 3, 1000,
      ModularStreamKey::ModularDc(dc_group), nullptr, nullptr, nullptr));
  if (vardct) {
    QOV_RETURN_IF_ERROR(modular_reader.ReadBlockMetadata(
        frame_header, dc_group, reader, frame_state));
  } else if (frame_header.loop_filter.epf_iters > 0) {
    FillModularEpfSigma(
        frame_state->epf_inverse_sigma, frame_geometry, dc_group,
        kModularEpfScale / frame_header.loop_filter.epf_sigma_for_modular);
  }
  decoded_dc_groups[dc_group] = 1;
  return OkStatus();
}

Status FrameDriver::DecodeAcGlobalSection(BitReader& reader) {
  QOV_ENSURE(dc_finalised);
  if (section_content != nullptr) {
    QOV_RETURN_IF_ERROR(section_content->AcGlobal(*this, reader));
    ac_global_done = true;
    return OkStatus();
  }
  QOV_ENSURE(frame_state != nullptr);
  FrameDecodingState& state = *frame_state;
  const QovMemoryManagerStruct* manager = state.memory_manager;
  const bool for_jpeg = decoded != nullptr && decoded->jpeg_data != nullptr;
  if (!IsModular(frame_header)) {
    const uint32_t used_kinds = state.used_varblock_kinds.load();
    QOV_RETURN_IF_ERROR(
        state.dequant.ReadSpecs(manager, &reader, &modular_reader));
    QOV_RETURN_IF_ERROR(state.dequant.PrepareTables(manager, used_kinds));
    const uint64_t num_groups = frame_geometry.num_groups;
    state.histogram_sets = reader.Read(CeilLog2(num_groups)) + 1;
    state.pass_codes.resize(kMaxNumPasses);
    state.pass_context_maps.resize(kMaxNumPasses);
    const uint64_t num_passes = frame_header.passes.num_passes;
    QOV_ENSURE(num_passes <= kMaxNumPasses);
    uint64_t max_token_bits = 0;
    for (uint64_t p = 0; p < num_passes; ++p) {
      const uint32_t used_orders = ReadCodedU32(kCodedOrdersCoding, &reader);
      QOV_ENSURE(used_orders <= UINT16_MAX);
      QOV_RETURN_IF_ERROR(ReadScanOrders(
          manager, static_cast<uint16_t>(used_orders), used_kinds,
          state.coefficient_orders.PassOrders(p), reader));
      const uint64_t contexts =
          state.histogram_sets * 495 * state.block_ctx_map.num_contexts;
      QOV_RETURN_IF_ERROR(ReadEntropyCodeSet(manager, reader, contexts,
                                             &state.pass_codes[p],
                                             state.pass_context_maps[p],
                                             /*disallow_lz77=*/false));
      state.pass_context_maps[p].resize(contexts + 16, 0);
      max_token_bits =
          std::max<uint64_t>(max_token_bits, state.pass_codes[p].max_token_bits);
    }
    const CoefficientWidth width = ChooseCoefficientWidth(
        max_token_bits, frame_header.passes.shift, num_passes, for_jpeg);
    QOV_ASSIGN_OR_RETURN(state.coefficients,
                         CreateFrameACImage(manager, width, num_passes,
                                            num_groups, task_pool));
  }
  if (for_jpeg) {
    QOV_RETURN_IF_ERROR(
        FillJpegQuantTables(frame_header, state.dequant, decoded));
  }
  ac_global_done = true;
  return OkStatus();
}

Status FrameDriver::DecodeAcGroupSection(uint64_t group,
                                         BitReader* const* readers,
                                         uint64_t num_passes,
                                         uint64_t storage_index) {
  QOV_ENSURE(group < decoded_passes.size());
  if (section_content != nullptr) {
    QOV_RETURN_IF_ERROR(section_content->AcGroup(*this, group, readers,
                                                 num_passes, storage_index));
    decoded_passes[group] =
        static_cast<uint8_t>(decoded_passes[group] + num_passes);
    return OkStatus();
  }
  QOV_ENSURE(frame_state != nullptr && frame_state->render_pipeline != nullptr);
  FrameDecodingState& state = *frame_state;
  const uint64_t across = std::max<uint64_t>(frame_geometry.xsize_groups, 1);
  const uint64_t dim = frame_geometry.group_dim;
  const uint64_t first_pass = decoded_passes[group];
  QOV_ENSURE(first_pass + num_passes <= frame_header.passes.num_passes);
  GroupRenderInput input =
      state.render_pipeline->OpenGroupInput(group, storage_index);
  bool should_run = true;
  jpeg::JPEGData* jpeg = decoded != nullptr ? decoded->jpeg_data.get() : nullptr;
  if (!IsModular(frame_header)) {
    QOV_ENSURE(storage_index < group_scratch.size());
    GroupDecodeScratch& scratch = group_scratch[storage_index];
    QOV_RETURN_IF_ERROR(scratch.EnsureSized(state.memory_manager,
                                            frame_header.passes.num_passes,
                                            state.used_varblock_kinds.load()));
    QOV_RETURN_IF_ERROR(DecodeVarDctGroup(
        frame_header, readers, static_cast<size_t>(num_passes), group, &state,
        &scratch, storage_index, &input, jpeg, first_pass,
        /*force_draw=*/false, /*draw_only=*/false, &should_run));
  }
  PixelRect rect;
  rect.x0 = (group % across) * dim;
  rect.y0 = (group / across) * dim;
  rect.xsize = dim;
  rect.ysize = dim;
  bool ready = false;
  for (uint64_t i = 0; i < num_passes; ++i) {
    const uint64_t pass = first_pass + i;
    int32_t min_shift = 0, max_shift = 0;
    ModularShiftBracket(frame_header.passes, pass, &min_shift, &max_shift);
    QOV_ENSURE(readers != nullptr && readers[i] != nullptr);
    bool pass_ready = true;
    QOV_RETURN_IF_ERROR(modular_reader.ReadGroupRect(
        frame_header, rect, readers[i], min_shift, max_shift,
        ModularStreamKey::ModularAc(group, pass), &state, &input,
        &pass_ready));
    ready = ready || pass_ready;
  }
  decoded_passes[group] = static_cast<uint8_t>(first_pass + num_passes);
  if ((frame_header.flags & FrameFlags::kNoise) != 0) {
    AddGroupNoise(state, frame_geometry, frame_header, group, storage_index);
  }
  if (modular_reader.UsesFullImage() || jpeg != nullptr) return OkStatus();
  if (ready && should_run) return input.Submit();
  return OkStatus();
}

}  // namespace qov
