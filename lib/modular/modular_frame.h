// The modular side of one frame: the global modular section (optional
// global MA tree and codes, and the global stream that declares the whole
// frame's channel list), the group streams of DC and AC groups, the VarDCT
// streams (DC coefficients, block metadata, raw quantisation tables), and
// the hand-over of decoded channels to the render pipeline, either group by
// group or from the full image when the frame completes.
#ifndef QOV_LIB_MODULAR_MODULAR_FRAME_H_
#define QOV_LIB_MODULAR_MODULAR_FRAME_H_

#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/base/task_pool.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/entropy_code.h"
#include "lib/bitstream/frame_header.h"
#include "lib/color/xyb.h"  // PixelRect
#include "lib/modular/ma_tree.h"
#include "lib/modular/modular_image.h"
#include "lib/modular/modular_stream.h"
#include "lib/modular/transform.h"
#include "lib/vardct/dequant_tables.h"
#include "qov/qov.h"

namespace qov {

class FrameDecodingState;
class GroupRenderInput;

enum class ModularStreamKind : uint32_t {
  kGlobal = 0,
  kVarDctDc = 1,     // of a DC group
  kModularDc = 2,    // of a DC group
  kAcMetadata = 3,   // of a DC group
  kQuantTable = 4,   // raw quantisation table q
  kModularAc = 5,    // of a group and pass
};

// Names one modular sub-stream of a frame.
struct ModularStreamKey {
  ModularStreamKind kind = ModularStreamKind::kGlobal;
  uint64_t quant_table = 0;
  uint64_t group = 0;
  uint64_t pass = 0;

  static ModularStreamKey Global() { return {}; }
  static ModularStreamKey VarDctDc(uint64_t dc_group) {
    return {ModularStreamKind::kVarDctDc, 0, dc_group, 0};
  }
  static ModularStreamKey ModularDc(uint64_t dc_group) {
    return {ModularStreamKind::kModularDc, 0, dc_group, 0};
  }
  static ModularStreamKey AcMetadata(uint64_t dc_group) {
    return {ModularStreamKind::kAcMetadata, 0, dc_group, 0};
  }
  static ModularStreamKey QuantTable(uint64_t q) {
    return {ModularStreamKind::kQuantTable, q, 0, 0};
  }
  static ModularStreamKey ModularAc(uint64_t group, uint64_t pass) {
    return {ModularStreamKind::kModularAc, 0, group, pass};
  }

  // The stream number (MA-tree property 1): 0 global; 1 + g VarDCT DC;
  // 1 + nDC + g modular DC; 1 + 2 nDC + g AC metadata; 1 + 3 nDC + q raw
  // table; 18 + 3 nDC + p nG + g modular AC.
  uint64_t StreamNumber(const FrameGeometry& geometry) const;
};

// Quantised-DC integer images of VarDCT frames carry the block kinds and
// quantisation of every varblock; kinds are 0 .. kMaxVarBlockKind.
inline constexpr int32_t kMaxVarBlockKind = 26;

class ModularFrameReader : public RawQuantMatrixReader {
 public:
  explicit ModularFrameReader(const QovMemoryManagerStruct* manager = nullptr);
  ~ModularFrameReader() override = default;
  ModularFrameReader(const ModularFrameReader&) = delete;
  ModularFrameReader& operator=(const ModularFrameReader&) = delete;

  // The frame's geometry, given when the frame's output is prepared.
  void SetGeometry(const FrameGeometry& geometry) { frame_geometry = geometry; }
  const FrameGeometry& geometry() const { return frame_geometry; }

  // DC-global section: optional global tree and codes, then the global
  // stream. NeedMoreBytes (input ended inside the stream's group header) and
  // failures are returned with the full image left as it was.
  Status ReadGlobalSection(BitReader& reader, const FrameHeader& header);

  // The modular data of one DC group (key kind kModularDc) or one AC group
  // and pass (kModularAc): the channels of the full image, from the first
  // one the global stream did not decode, whose min(hshift, vshift) lies in
  // [min_shift, max_shift], cut to `rect` (frame pixels). With the full
  // image kept, the result is copied into it; otherwise it goes straight
  // into `input` (required then). `ready` (when given with a state) is
  // cleared when the rectangle holds no channel of this bracket while the
  // frame has modular channels to show.
  Status ReadGroupRect(const FrameHeader& header, const PixelRect& rect,
                       BitReader* reader, int32_t min_shift, int32_t max_shift,
                       const ModularStreamKey& key, FrameDecodingState* state,
                       GroupRenderInput* input, bool* ready);

  // VarDCT DC of DC group `dc_group`, dequantised into the state's DC image.
  Status ReadDcCoefficients(const FrameHeader& header, uint64_t dc_group,
                            BitReader& reader, FrameDecodingState* state);

  // AC metadata of DC group `dc_group`: colour-correlation tiles, varblock
  // placement, quantisation field and sharpness (and the EPF sigma image).
  Status ReadBlockMetadata(const FrameHeader& header, uint64_t dc_group,
                           BitReader& reader, FrameDecodingState* state);

  // A raw quantisation table of xsize x ysize per channel for table `q`:
  // its half-float denominator and three-channel modular image. With a frame
  // reader its stream is 1 + 3 nDC + q with the frame's global tree (q above
  // 16 fails); without one, stream 0 and no global tree.
  static Status ReadRawQuantMatrix(const QovMemoryManagerStruct* manager,
                                   uint64_t xsize, uint64_t ysize,
                                   BitReader& reader, DequantTableSpec* spec,
                                   uint64_t q,
                                   const ModularFrameReader* frame_reader);
  // The seam of DequantTableSet::ReadSpecs: the above with this reader.
  Status ReadRawQuantMatrix(const QovMemoryManagerStruct* manager,
                            size_t width, size_t height, BitReader* reader,
                            DequantTableSpec* spec, uint32_t kind) override;

  // After the DC: when nothing needs the full image any more (no transforms
  // left to undo on it, no channel decoded by the global stream, equal
  // shifts everywhere, and every channel carried by the frame's last pass,
  // none by the DC groups or an earlier pass), groups go straight to the
  // pipeline from now on and the planes are released.
  void ReleaseUnusedImage();

  // Frame completion: when the full image is kept, undoes its transforms
  // and hands every group of it to the pipeline (and submits it).
  Status FlushToPipeline(const FrameHeader& header, FrameDecodingState* state,
                         const TaskPool* pool, bool in_place);

  // Makes the channel's plane match its width and height.
  Status ResizeChannel(ModularChannel& channel) const;

  // Converts `rect` (the image's unshifted coordinates) of `image` into the
  // float planes of `input`.
  Status CopyChannelsToOutput(const FrameHeader& header, ModularImage& image,
                              const FrameDecodingState* state,
                              GroupRenderInput& input, const PixelRect& rect);

  bool UsesFullImage() const { return use_full_image; }

  const QovMemoryManagerStruct* memory_manager;
  ModularImage full_image;
  std::vector<Transform> global_transforms;
  FrameGeometry frame_geometry;
  bool decode_color = false;
  bool has_global_channels = false;
  bool use_full_image = true;
  bool all_same_shift = true;
  // The largest channel shift the frame's last pass carries (set by the
  // global section; larger shifts come with the DC groups or earlier passes).
  int32_t last_pass_max_shift = 2;
  MaTree tree;  // empty: no global tree
  EntropyCodeSet codes;
  std::vector<uint8_t> context_map;
  GroupHeader global_header;

 private:
  // Index of the first non-meta channel of the full image that the global
  // stream did not decode (too large for one group).
  size_t FirstGroupChannel() const;
};

}  // namespace qov

#endif  // QOV_LIB_MODULAR_MODULAR_FRAME_H_
