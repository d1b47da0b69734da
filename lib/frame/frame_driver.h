// The driver of one frame: reads its header and table of contents, says
// which reference slots it writes and reads, and, when its pixels are
// wanted, takes its complete sections in any order and grouping, decodes
// each once the sections it depends on are done, and completes the frame.
//
// Calling order for one frame:
//   BeginFrame -> FrameStorageMask -> [PrepareFrameOutput -> (options,
//   SetProgressivePause) -> AttachPixelOutput -> DecodeSections... ->
//   ReferencedSlotsMask -> CompleteFrame]
// The bracketed part runs only when the frame's pixels are wanted.
#ifndef QOV_LIB_FRAME_FRAME_DRIVER_H_
#define QOV_LIB_FRAME_FRAME_DRIVER_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "lib/base/status.h"
#include "lib/base/task_pool.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/frame_header.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/frame/image_bundle.h"
#include "lib/frame/pixel_output.h"
#include "lib/frame/section_content.h"
#include "lib/frame/toc.h"
#include "lib/modular/modular_frame.h"
#include "lib/vardct/group_decoder.h"

namespace qov {

// Slots a frame overwrites: bit i < 4 reference slot i; bits 16, 32, 64,
// 128 the DC-frame images of dc_level 1 to 4.
int32_t FrameStorageMask(const FrameHeader& header);

class FrameDriver {
 public:
  // Neither the state nor the pool is owned; `metadata` is the codestream's.
  FrameDriver(FrameDecodingState* state, TaskPool* pool,
              const CodecMetadata* metadata);
  FrameDriver(const FrameDriver&) = delete;
  FrameDriver& operator=(const FrameDriver&) = delete;
  ~FrameDriver();

  // Reads the frame header and the table of contents. NeedMoreBytes when
  // the input ends inside either: the caller reads both again from the
  // frame's start once more bytes are there, on this driver or a new one.
  // The frame counters of the state advance only when both were read, so
  // retries never count a frame twice. Failed when a frame started on this
  // driver was never completed.
  Status BeginFrame(BitReader& reader, ImageBundle* decoded, bool is_preview);

  // Per-frame set-up of the state before sections are decoded.
  Status PrepareFrameOutput();

  // Sets the pause points for progressive display and returns the
  // effective detail: 0 (never pause) for skip-progressive, single-section
  // and modular frames and images with extra channels.
  int32_t SetProgressivePause(int32_t requested_detail);

  // Sets the state's main pixel output (see pixel_output.h).
  Status AttachPixelOutput(const PixelRowCallbacks& callbacks, void* buffer,
                           uint64_t buffer_size, uint64_t xsize, uint64_t ysize,
                           const OutputPixelFormat& format,
                           uint64_t bits_per_sample, bool unpremultiply,
                           bool undo_orientation);

  // Decodes what the given complete sections allow and writes one outcome
  // per section. Sections given before their turn are answered skipped and
  // must be given again. Returns Ok or Failed, never NeedMoreBytes.
  Status DecodeSections(const SectionInput* sections, uint64_t count,
                        SectionOutcome* outcomes);

  // Slots the completed frame read from (same bit layout as
  // FrameStorageMask); 0 until every section is decoded.
  int32_t ReferencedSlotsMask() const;

  // Finishes the frame and saves it into its reference slot when later
  // frames can refer to it. Failed when called twice.
  Status CompleteFrame();

  // Section decoders: each reads one section's contents and
  // records that it is done.
  Status DecodeDcGlobalSection(BitReader& reader);
  Status DecodeDcGroupSection(uint64_t dc_group, BitReader& reader);
  Status DecodeAcGlobalSection(BitReader& reader);
  Status DecodeAcGroupSection(uint64_t group, BitReader* const* readers,
                              uint64_t num_passes, uint64_t storage_index);

  // Once per frame, when the DC is finalised.
  Status CompleteDc();
  // The pass count at which AC decoding pauses next (UINT64_MAX: none).
  uint64_t PausePassLimit() const;
  // Sizes scratch and pipeline buffers for `threads` threads and `tasks`
  // groups.
  Status PrepareGroupStorage(uint64_t threads, uint64_t tasks);

  bool IsSingleSection() const {
    return frame_geometry.num_groups == 1 &&
           frame_header.passes.num_passes == 1;
  }

  FrameDecodingState* frame_state;  // not owned
  TaskPool* task_pool;              // not owned
  std::vector<TocSection> toc;      // stored order
  uint64_t section_sizes_total = 0;
  FrameHeader frame_header;
  FrameGeometry frame_geometry;
  ImageBundle* decoded = nullptr;  // not owned
  ModularFrameReader modular_reader;
  bool render_spot_colors = true;
  bool coalescing = true;
  std::vector<uint8_t> section_processed;  // by section id: claimed or done
  std::vector<uint8_t> decoded_passes;     // by AC group
  std::vector<uint8_t> decoded_dc_groups;  // by DC group
  bool dc_global_done = false;
  bool ac_global_done = false;
  bool dc_finalised = true;
  uint64_t sections_done = 0;
  bool completed = true;
  bool outputs_allocated = false;
  std::vector<GroupDecodeScratch> group_scratch;
  bool storage_per_group = false;
  bool prefer_simple_pipeline = false;
  int32_t progressive_detail = 0;
  std::vector<int32_t> pause_points;  // ascending pass counts
  // Test seam: when set, reads the section contents in place of the section
  // decoders (the driver still records what is done).
  SectionContentDecoder* section_content = nullptr;
};

// The subsampling shifts [*min_shift, *max_shift] whose modular channels
// pass `pass` carries (empty when min > max): each pass down to the shift
// its downsampling steps reach, the last pass down to 0.
void ModularShiftBracket(const Passes& passes, uint64_t pass,
                         int32_t* min_shift, int32_t* max_shift);

// AC global of a frame rebuilt as a JPEG file: records the frame's colour
// transform and chroma subsampling in `bundle` and fills the values of its
// JPEG quantisation tables from the frame's raw 8x8 table (transposed into
// natural order; one component takes the table of channel 1); a table no
// component uses takes the values of the table before it. Failed unless
// the 8x8 table is raw with denominator 1/2040 and 3 x 64 values, the
// transform is not XYB, there are 1 or 3 components, every component names
// an existing table and table 0 is used.
Status FillJpegQuantTables(const FrameHeader& header,
                           const DequantTableSet& dequant, ImageBundle* bundle);

// Destroys a driver held by unique ownership (no-op when empty).
void DestroyFrameDriver(std::unique_ptr<FrameDriver>& owner);

}  // namespace qov

#endif  // QOV_LIB_FRAME_FRAME_DRIVER_H_
