// Construction of the per-image decoding state and its per-frame set-up.
#include "lib/frame/frame_decoding_state.h"

#include <cmath>
#include <cstring>
#include <utility>

namespace qov {

FrameSharedState::FrameSharedState(const QovMemoryManagerStruct* manager)
    : memory_manager(manager),
      quantizer(&dequant),
      patches(manager),
      splines(manager),
      dc(&dc_image) {
  patches.SetReferenceSlots(reference_slots);
  for (ReferenceFrameSlot& slot : reference_slots) {
    slot.frame = std::make_unique<ImageBundle>(manager);
  }
}

FrameDecodingState::FrameDecodingState(const QovMemoryManagerStruct* manager)
    : FrameSharedState(manager),
      shared(this),
      coefficients(std::make_unique<ACImageT<int32_t>>()),
      reference_image(manager) {}

FrameDecodingState::~FrameDecodingState() = default;

Status PrepareSharedFrameState(const FrameHeader& header,
                               FrameSharedState* shared, bool for_encoder) {
  QOV_ENSURE(shared != nullptr && header.metadata != nullptr);
  shared->metadata = header.metadata;
  shared->frame_geometry = header.ComputeGeometry();
  shared->patches.SetReferenceSlots(shared->reference_slots);
  const FrameGeometry& geometry = shared->frame_geometry;
  const QovMemoryManagerStruct* manager = shared->memory_manager;

  QOV_ASSIGN_OR_RETURN(
      shared->varblock_kinds,
      CreateBytePlane(manager, geometry.xsize_blocks, geometry.ysize_blocks));
  QOV_ASSIGN_OR_RETURN(
      shared->raw_quant_field,
      PlaneI32::Create(manager, geometry.xsize_blocks, geometry.ysize_blocks));
  QOV_ASSIGN_OR_RETURN(
      shared->epf_sharpness,
      PlaneU8::Create(manager, geometry.xsize_blocks, geometry.ysize_blocks));
  QOV_ASSIGN_OR_RETURN(
      shared->cfl_map,
      ChromaFromLumaMap::Create(manager, geometry.xsize, geometry.ysize));

  shared->coefficient_orders.stride = kCoefficientOrderSize;
  if (for_encoder &&
      header.encoding == static_cast<uint32_t>(FrameCoding::kVarDct)) {
    const uint64_t needed = header.passes.num_passes * kCoefficientOrderSize;
    if (shared->coefficient_orders.entries.size() < needed) {
      shared->coefficient_orders.entries.resize(needed);
    }
  }

  QOV_ASSIGN_OR_RETURN(
      shared->quant_dc,
      PlaneU8::Create(manager, geometry.xsize_blocks, geometry.ysize_blocks));

  if (!for_encoder && (header.flags & FrameFlags::kUseDcFrame) != 0) {
    // The DC comes from the DC frame one level up.
    QOV_ENSURE(header.dc_level < kNumDcFrameLevels);
    shared->dc_image = Image3F();
    shared->dc = &shared->dc_frames[header.dc_level];
    QOV_ENSURE(shared->dc->xsize() != 0);
    for (size_t y = 0; y < shared->quant_dc.ysize(); ++y) {
      std::memset(shared->quant_dc.Row(y), 0, shared->quant_dc.xsize());
    }
    return OkStatus();
  }
  QOV_ASSIGN_OR_RETURN(
      shared->dc_image,
      Image3F::Create(manager, geometry.xsize_blocks, geometry.ysize_blocks));
  if (!header.chroma_subsampling.IsFullResolution()) {
    // DC dequantisation writes only the shifted part of a subsampled plane,
    // while smoothing reads every plane whole: start from zeros.
    for (size_t c = 0; c < 3; ++c) {
      for (size_t y = 0; y < shared->dc_image.ysize(); ++y) {
        std::memset(shared->dc_image.PlaneRow(c, y), 0,
                    shared->dc_image.xsize() * sizeof(float));
      }
    }
  }
  shared->dc = &shared->dc_image;
  return OkStatus();
}

Status FrameDecodingState::ResetForFrame(const FrameHeader& header) {
  QOV_ENSURE(header.metadata != nullptr);
  x_dequant_multiplier =
      std::pow(0.8f, static_cast<float>(header.x_qm_scale) - 2.0f);
  b_dequant_multiplier =
      std::pow(0.8f, static_cast<float>(header.b_qm_scale) - 2.0f);

  main_output.callbacks = PixelRowCallbacks();
  main_output.buffer = nullptr;
  extra_outputs.clear();
  unpremultiply_alpha = false;
  undo_orientation = 1;

  used_varblock_kinds.exchange(0);

  upsampler_8x = MakeUpsamplingStage(memory_manager,
                                     header.metadata->transform_data, 0, 3);

  if (header.loop_filter.epf_iters > 0) {
    const uint64_t xsize = frame_geometry.xsize_blocks + 4;
    const uint64_t ysize = frame_geometry.ysize_blocks + 4;
    QOV_ENSURE(xsize <= UINT32_MAX && ysize <= UINT32_MAX);
    QOV_ASSIGN_OR_RETURN(epf_inverse_sigma,
                         PlaneF::Create(memory_manager, xsize, ysize));
  }
  return OkStatus();
}

void DestroyFrameDecodingState(std::unique_ptr<FrameDecodingState>& owner) {
  owner.reset();
}

}  // namespace qov
