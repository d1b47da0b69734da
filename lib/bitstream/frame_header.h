// The frame header bundle with its nested chroma-subsampling, passes,
// blending, animation and loop-filter bundles, and the frame geometry
// derived from a header and the image size.
#ifndef QOV_LIB_BITSTREAM_FRAME_HEADER_H_
#define QOV_LIB_BITSTREAM_FRAME_HEADER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/fields.h"
#include "lib/bitstream/image_metadata.h"

namespace qov {

struct PixelRect;

// FrameHeader::frame_type.
enum class FrameKind : uint32_t {
  kRegular = 0,
  // Low-resolution frame that later frames use as their low frequencies.
  kDc = 1,
  // Decoded and saved, never shown.
  kReferenceOnly = 2,
  kSkipProgressive = 3,
};

// FrameHeader::encoding.
enum class FrameCoding : uint32_t {
  kVarDct = 0,
  kModular = 1,
};

// FrameHeader::color_transform.
enum class ColorTransformKind : uint32_t {
  kXyb = 0,
  kNone = 1,
  kYCbCr = 2,
};

// BlendingInfo::mode.
enum class BlendKind : uint32_t {
  kReplace = 0,
  kAdd = 1,
  kBlend = 2,
  kAlphaWeightedAdd = 3,
  kMultiply = 4,
};

// Bits of FrameHeader::flags.
struct FrameFlags {
  static constexpr uint64_t kNoise = 0x1;
  static constexpr uint64_t kPatches = 0x2;
  static constexpr uint64_t kSplines = 0x10;
  // Low frequencies come from a DC frame; chroma subsampling and upsampling
  // are then not coded.
  static constexpr uint64_t kUseDcFrame = 0x20;
  static constexpr uint64_t kSkipAdaptiveDcSmoothing = 0x80;
};

// Per-channel chroma subsampling modes: 0 none, 1 halved both ways,
// 2 halved horizontally, 3 halved vertically.
class YCbCrChromaSubsampling : public Fields {
 public:
  YCbCrChromaSubsampling();
  Status EnumerateFields(Visitor* visitor) override;

  // No channel is subsampled relative to another.
  bool IsFullResolution() const;
  // Shift of channel c relative to the largest resolution (0 or 1).
  uint32_t HShift(size_t c) const;
  uint32_t VShift(size_t c) const;

  uint32_t channel_mode[3] = {0, 0, 0};
  // Maxima over the three channels, derived after the fields.
  uint8_t max_hshift = 0;
  uint8_t max_vshift = 0;
};

inline constexpr uint32_t kMaxNumPasses = 11;
inline constexpr uint32_t kMaxNumDownsample = 4;

class Passes : public Fields {
 public:
  Passes();
  Status EnumerateFields(Visitor* visitor) override;

  uint32_t num_passes = 1;
  uint32_t num_downsample = 0;
  uint32_t downsample[kMaxNumPasses] = {};
  uint32_t last_pass[kMaxNumPasses] = {};
  uint32_t shift[kMaxNumPasses] = {};
};

class BlendingInfo : public Fields {
 public:
  BlendingInfo();
  Status EnumerateFields(Visitor* visitor) override;

  uint32_t mode = 0;  // BlendKind
  uint32_t alpha_channel = 0;
  bool clamp = false;
  uint32_t source = 0;  // reference slot blended onto

  // Not part of the stream; the owner sets them before each visit.
  uint64_t num_extra_channels = 0;
  bool is_partial_frame = false;
};

class AnimationFrame : public Fields {
 public:
  explicit AnimationFrame(const CodecMetadata* metadata = nullptr);
  Status EnumerateFields(Visitor* visitor) override;

  uint32_t duration = 0;  // ticks
  uint32_t timecode = 0;

  // Not part of the stream.
  const CodecMetadata* metadata = nullptr;
};

class LoopFilter : public Fields {
 public:
  LoopFilter();
  Status EnumerateFields(Visitor* visitor) override;

  bool all_default = true;
  bool gab = true;  // Gaborish smoothing
  bool gab_custom = false;
  // Per colour channel: direct-neighbour weight w1, diagonal weight w2.
  float gab_w1[3] = {};
  float gab_w2[3] = {};
  uint32_t epf_iters = 2;  // edge-preserving filter iterations, 0..3
  bool epf_sharp_custom = false;
  float epf_sharp_lut[8] = {};
  bool epf_weight_custom = false;
  float epf_channel_scale[3] = {};
  float epf_pass1_zeroflush = 0.0f;
  float epf_pass2_zeroflush = 0.0f;
  bool epf_sigma_custom = false;
  float epf_quant_mul = 0.0f;
  float epf_pass0_sigma_scale = 0.0f;
  float epf_pass2_sigma_scale = 0.0f;
  float epf_border_sad_mul = 0.0f;
  float epf_sigma_for_modular = 0.0f;
  uint64_t extensions = 0;

  // Not part of the stream: the frame header sets it (encoding = modular)
  // before visiting the loop filter.
  bool is_modular = false;
};

// Every size frame decoding needs, derived by FrameHeader::ComputeGeometry.
struct FrameGeometry {
  // The frame at its own resolution (upsampling undone).
  uint64_t xsize = 0;
  uint64_t ysize = 0;
  uint64_t xsize_upsampled = 0;
  uint64_t ysize_upsampled = 0;
  uint64_t xsize_upsampled_padded = 0;
  uint64_t ysize_upsampled_padded = 0;
  // Whole blocks (VarDCT) or the frame size itself (modular).
  uint64_t xsize_padded = 0;
  uint64_t ysize_padded = 0;
  uint64_t xsize_blocks = 0;
  uint64_t ysize_blocks = 0;
  uint64_t xsize_groups = 0;
  uint64_t ysize_groups = 0;
  uint64_t xsize_dc_groups = 0;
  uint64_t ysize_dc_groups = 0;
  uint64_t num_groups = 0;
  uint64_t num_dc_groups = 0;
  uint64_t group_dim = 0;
  uint64_t dc_group_dim = 0;

  // Rectangles of one group or DC group, by index in raster order over the
  // grid (a grid without columns counts as one column wide). A cell is the
  // whole square, reaching past the frame at its right and bottom edges;
  // the other rectangles are cut at the frame's edges, so the last group of
  // a row or column is partial and an index past the count is empty (at its
  // place in the grid).
  PixelRect GroupCell(uint64_t group) const;       // pixels, group_dim
  PixelRect DcGroupCell(uint64_t dc_group) const;  // pixels, dc_group_dim
  PixelRect GroupRect(uint64_t group) const;       // pixels in xsize x ysize
  PixelRect GroupBlockRect(uint64_t group) const;  // blocks
  PixelRect DcGroupBlockRect(uint64_t dc_group) const;  // blocks
  // The group's rectangle in a channel of the frame upsampled by
  // 2^upsampling_shift that is still to be upsampled by 2^shift_x x
  // 2^shift_y: groups of (group_dim << upsampling_shift) >> shift in a
  // channel of ceil(upsampled size / 2^shift) samples.
  PixelRect GroupRectInChannel(uint64_t group, uint64_t upsampling_shift,
                               uint64_t shift_x, uint64_t shift_y) const;
};

class FrameHeader : public Fields {
 public:
  explicit FrameHeader(const CodecMetadata* metadata);
  FrameHeader(const FrameHeader&) = default;
  FrameHeader& operator=(const FrameHeader&) = default;
  ~FrameHeader() override = default;

  Status EnumerateFields(Visitor* visitor) override;

  // The image (or, for the preview frame, the preview) size; 0 without
  // metadata.
  uint64_t DefaultWidth() const;
  uint64_t DefaultHeight() const;

  // Whether the frame, placed at (x0, y0), leaves part of the image
  // uncovered. Only frames of type regular or skip-progressive with a custom
  // size or origin can be partial.
  bool IsPartial() const;

  FrameGeometry ComputeGeometry() const;

  bool all_default = true;
  uint32_t encoding = 0;    // FrameCoding
  uint32_t frame_type = 0;  // FrameKind
  uint64_t flags = 0;       // FrameFlags
  uint32_t color_transform = 0;  // ColorTransformKind
  YCbCrChromaSubsampling chroma_subsampling;
  uint32_t group_size_shift = 1;
  uint32_t x_qm_scale = 3;
  uint32_t b_qm_scale = 2;
  std::string name;
  Passes passes;
  bool custom_size_or_origin = false;
  uint32_t custom_xsize = 0;
  uint32_t custom_ysize = 0;
  uint32_t upsampling = 1;
  // One per extra channel of the metadata, already shifted by its dim_shift.
  std::vector<uint32_t> ec_upsampling;
  int32_t x0 = 0;
  int32_t y0 = 0;
  BlendingInfo blending_info;
  // One per extra channel of the metadata.
  std::vector<BlendingInfo> ec_blending_info;
  AnimationFrame animation_frame;
  bool is_last = true;
  uint32_t save_as_reference = 0;
  bool save_before_color_transform = false;
  uint32_t dc_level = 0;
  // Not part of the stream.
  const CodecMetadata* metadata = nullptr;
  LoopFilter loop_filter;
  // Not part of the stream: set by the decoder before reading the preview
  // frame's header.
  bool is_preview = false;
  uint64_t extensions = 0;
};

inline bool IsModular(const FrameHeader& header) {
  return header.encoding == static_cast<uint32_t>(FrameCoding::kModular);
}

// The frame name (length and bytes) as one listing step.
Status VisitFrameName(Visitor* visitor, std::string* name);

}  // namespace qov

#endif  // QOV_LIB_BITSTREAM_FRAME_HEADER_H_
