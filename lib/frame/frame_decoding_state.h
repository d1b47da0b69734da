// The per-image decoding state that outlives frames: the frame-global data
// that a frame's sections fill and the render stages read, the reference
// slots and DC-frame images that later frames use, the pixel outputs and
// the output colour set-up.
#ifndef QOV_LIB_FRAME_FRAME_DECODING_STATE_H_
#define QOV_LIB_FRAME_FRAME_DECODING_STATE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "lib/base/image.h"
#include "lib/base/status.h"
#include "lib/bitstream/entropy_code.h"
#include "lib/bitstream/frame_header.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/color/output_color.h"
#include "lib/frame/capture_pipeline_seam.h"
#include "lib/frame/image_bundle.h"
#include "lib/frame/noise.h"
#include "lib/frame/patches.h"
#include "lib/frame/pixel_output.h"
#include "lib/render/render_pipeline.h"
#include "lib/render/stage_factories.h"
#include "lib/frame/splines.h"
#include "lib/vardct/ac_image.h"
#include "lib/vardct/block_ctx_map.h"
#include "lib/vardct/chroma_from_luma.h"
#include "lib/vardct/coefficient_order.h"
#include "lib/vardct/dc_smoothing.h"
#include "lib/vardct/dequant_tables.h"
#include "lib/vardct/quantizer.h"
#include "qov/qov.h"

namespace qov {

inline constexpr size_t kNumReferenceSlots = 4;
inline constexpr size_t kNumDcFrameLevels = 4;
// Coefficient-order entries per pass before a frame's kinds are known.
inline constexpr uint64_t kCoefficientOrderSize = kScanOrderEntriesPerPass;

// A decoded frame kept for later frames (patches, blending).
struct ReferenceFrameSlot {
  std::unique_ptr<ImageBundle> frame;
  bool saved_before_color_transform = false;
};

// What the sections of the current frame fill and the render stages read.
// Not copyable: `dc` and the quantizer point into the object.
struct FrameSharedState {
  explicit FrameSharedState(const QovMemoryManagerStruct* manager);
  FrameSharedState(const FrameSharedState&) = delete;
  FrameSharedState& operator=(const FrameSharedState&) = delete;

  const QovMemoryManagerStruct* memory_manager;
  const CodecMetadata* metadata = nullptr;  // set per frame
  FrameGeometry frame_geometry;
  BytePlaneView varblock_kinds;  // one byte per 8x8 block, 0xFF: none yet
  DequantTableSet dequant;
  Quantizer quantizer;  // built on `dequant`
  PlaneI32 raw_quant_field;
  PlaneU8 epf_sharpness;
  ChromaFromLumaMap cfl_map;
  NoiseStrengthTable noise;
  PatchDictionary patches;
  Splines splines;
  // Orders of all passes, pass p at p * coefficient_orders.stride (the one
  // per-pass order size).
  ScanOrderStore coefficient_orders;
  PlaneU8 quant_dc;
  Image3F dc_image;
  // The DC image in use: dc_image, or a DC-frame image.
  Image3F* dc;
  BlockCtxMap block_ctx_map;
  Image3F dc_frames[kNumDcFrameLevels];  // by dc_level - 1
  ReferenceFrameSlot reference_slots[kNumReferenceSlots];
  uint64_t histogram_sets = 0;
};

class FrameDecodingState : public FrameSharedState {
 public:
  explicit FrameDecodingState(const QovMemoryManagerStruct* manager);
  ~FrameDecodingState();

  // Per-frame reset of the multipliers, outputs, used-kind mask, 8x stage
  // and EPF plane.
  Status ResetForFrame(const FrameHeader& header);

  // Builds the frame's render pipeline into `render_pipeline`, replacing
  // the previous one.
  Status BuildRenderPipeline(const FrameHeader& header,
                             const CodecMetadata& metadata,
                             ImageBundle* decoded,
                             const RenderOptions& options);

  FrameSharedState* shared;  // this object's own leading part
  std::unique_ptr<RenderPipelineStage> upsampler_8x;
  std::vector<EntropyCodeSet> pass_codes;
  std::vector<std::vector<uint8_t>> pass_context_maps;
  float x_dequant_multiplier = 1.0f;
  float b_dequant_multiplier = 1.0f;
  PlaneF epf_inverse_sigma;  // 2 blocks of margin on each side
  uint64_t output_width = 0;
  uint64_t output_height = 0;
  PixelOutputTarget main_output;
  std::vector<PixelOutputTarget> extra_outputs;  // by extra channel
  bool unpremultiply_alpha = false;
  int32_t undo_orientation = 1;
  uint64_t visible_frame_index = 0;
  uint64_t nonvisible_frame_index = 0;
  // Bit k: varblock kind k occurs in the current frame.
  std::atomic<uint32_t> used_varblock_kinds{0};
  std::unique_ptr<ACImage> coefficients;
  std::unique_ptr<RenderPipeline> render_pipeline;
  ImageBundle reference_image;
  OutputColorSetup output_color;
  // When set, the pipeline builder makes a capture pipeline ended by these
  // stages instead of the frame's own (tests that capture decoded planes).
  StandInStageFactory stand_in_stages;
};

// Per-frame set-up of the shared part: metadata, geometry, per-block maps,
// chroma-from-luma map, order size and the DC image in use. Failed without
// metadata, for a DC frame of level 4 taking its DC from a DC frame, and
// when the DC frame it takes its DC from was never decoded.
Status PrepareSharedFrameState(const FrameHeader& header,
                               FrameSharedState* shared, bool for_encoder);

// Destroys a state held by unique ownership (no-op when empty).
void DestroyFrameDecodingState(std::unique_ptr<FrameDecodingState>& owner);

}  // namespace qov

#endif  // QOV_LIB_FRAME_FRAME_DECODING_STATE_H_
