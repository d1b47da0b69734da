// The record behind a QovDecoder handle and the internal operations that the
// box level, the codestream level and the getters share.
#ifndef QOV_LIB_API_DECODER_STATE_H_
#define QOV_LIB_API_DECODER_STATE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "lib/api/box_payload_reader.h"
#include "lib/base/byte_buffer.h"
#include "lib/base/memory.h"
#include "lib/base/span.h"
#include "lib/base/status.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/jpeg/jbrd_reader.h"
#include "qov/qov.h"

namespace qov {

class CompressedIccReader;
class FrameDecodingState;
class FrameDriver;
class FrameHeader;
class ImageBundle;
struct TaskPool;

// Codestream bytes held back at once (copy buffer, buffered parts and the
// input being added) stay below this.
inline constexpr uint64_t kMaxHeldBack = uint64_t{1} << 48;

// The bytes of one codestream part ('jxlp') that arrived before its turn.
using BufferedPart = ByteBuffer;

struct BufferedPartEntry {
  std::unique_ptr<BufferedPart> part;
  bool is_last = false;
};

// Box stages of the container walk.
enum BoxStage : uint32_t {
  kBoxHeader = 0,     // read the next box header
  kBoxFtyp = 1,       // 'ftyp' contents
  kBoxSkip = 2,       // skip the rest of the current box
  kBoxCodestream = 3, // codestream level
  kBoxPartIndex = 4,  // 'jxlp' part index
  kBoxBufferPart = 5, // buffer a part that came early
  kBoxJbrd = 6,       // JPEG reconstruction box
};

// What a step of the state machine gives: a status for the caller, or the
// internal signal that the step finished its work and the next pass runs.
// The signal is not a QovDecoderStatus and never leaves the library.
class StageResult {
 public:
  constexpr StageResult(QovDecoderStatus status) : status_(status) {}  // NOLINT: implicit by design
  static constexpr StageResult NextPass() {
    StageResult r(QOV_DEC_OK);
    r.next_pass_ = true;
    return r;
  }
  constexpr bool next_pass() const { return next_pass_; }
  // The caller's status; meaningful only when !next_pass().
  constexpr QovDecoderStatus status() const { return status_; }
  constexpr bool operator==(const StageResult&) const = default;

 private:
  QovDecoderStatus status_;
  bool next_pass_ = false;
};

inline constexpr StageResult kNextPass = StageResult::NextPass();

// Progress of the handle as a whole.
enum DecoderStage : uint32_t {
  kNotStarted = 0,           // options may still be set
  kStarted = 1,              // the first QovDecoderAdvance ran
  kCodestreamFinished = 2,
};

// Capture of an 'Exif' or 'xml ' box for JPEG reconstruction.
enum CaptureState : uint32_t {
  kNotCaptured = 0,
  kCapturing = 1,
  kCaptured = 2,
};

// Writing of a rebuilt JPEG file by the box level.
enum JpegOutputStage : uint32_t {
  kNoJpegOutput = 0,
  kJpegInsertMetadata = 1,  // put the captured Exif / XMP into the segments
  kJpegWrite = 2,           // write the file
};

// Frame stages of the codestream level.
enum FrameStage : uint32_t {
  kFrameHeaderStage = 0,  // read the next frame header and TOC
  kFrameHeaderRead = 1,   // header read: report, pass over or decode
  kFrameDecoding = 2,     // hand complete sections to the frame driver
};

struct DecoderState {
  explicit DecoderState(const QovMemoryManager& manager);
  ~DecoderState();
  DecoderState(const DecoderState&) = delete;
  DecoderState& operator=(const DecoderState&) = delete;

  // --- handle, options, events ---
  QovMemoryManager memory_manager;
  std::unique_ptr<TaskPool> task_pool;
  DecoderStage stage = kNotStarted;
  bool got_signature = false;
  bool last_codestream_part = false;
  bool got_codestream_signature = false;
  bool got_basic_info = false;
  bool got_transform_data = false;
  bool got_color_encoding = false;
  bool got_all_headers = false;
  std::unique_ptr<CompressedIccReader> icc_reader;
  bool preview_done = false;
  bool frame_is_preview = false;
  uint64_t file_position = 0;

  // --- box header ---
  uint64_t box_contents_start = 0;
  uint64_t box_end = 0;            // 0 when unbounded
  uint64_t box_contents_size = 0;  // 0 when unbounded
  uint64_t box_size = 0;           // as stored; 0 when unbounded
  uint64_t box_header_pending = 0; // header bytes not yet consumed
  bool box_unbounded = false;
  char box_type[4] = {};
  char box_inner_type[4] = {};

  // --- box output ---
  bool box_event_current = false;
  bool decompress_boxes = false;  // no operation sets it
  bool box_buffer_set = false;
  bool box_output_active = false;
  uint8_t* box_buffer = nullptr;
  uint64_t box_buffer_size = 0;
  uint64_t box_buffer_written = 0;

  bool keep_orientation = false;
  bool unpremultiply_alpha = false;
  bool render_spot_colors = true;
  bool coalescing = true;
  float desired_intensity_target = 0;
  int32_t events_wanted = 0;
  int32_t events_subscribed = 0;
  bool have_container = false;
  uint64_t box_count = 0;

  // --- progression ---
  int32_t progressive_detail = 1;
  int32_t frame_progressive_detail = 0;
  uint32_t progression_downsampling = 8;

  // --- image output target (no public operation attaches one) ---
  // Set while a target is attached to the current frame; the target itself
  // lives in frame_state (main_output, extra_outputs).
  bool image_out_set = false;

  // --- codestream headers ---
  CodecMetadata metadata;
  ImageMetadata image_metadata;  // working copy the image bundle points at
  // Whether the input holds the whole image metadata, kept across inputs.
  BundleProbe<ImageMetadata> metadata_probe;

  // --- frames ---
  std::unique_ptr<ImageBundle> image_bundle;
  std::unique_ptr<FrameDecodingState> frame_state;
  std::unique_ptr<FrameDriver> frame_driver;
  uint64_t first_unprocessed_section = 0;
  std::vector<uint8_t> section_processed;
  // Sections offered to the frame driver by the last call that decoded
  // none of them (kNoOfferPending: offer again). Offering the same sections
  // again cannot decode anything, so the loop waits for a new whole section
  // instead: small input chunks would otherwise re-offer every waiting
  // section (and run the group loops) on every call.
  static constexpr uint64_t kNoOfferPending = UINT64_MAX;
  uint64_t sections_offered_in_vain = kNoOfferPending;
  std::unique_ptr<FrameHeader> frame_header;
  uint64_t frame_bytes_remaining = 0;
  uint32_t frame_stage = kFrameHeaderStage;
  bool dc_progression_given = false;
  bool frame_displayed = false;
  bool last_frame_seen = false;
  uint64_t frames_to_skip = 0;
  bool skipping_frame = false;
  uint64_t internal_frame_count = 0;
  uint64_t displayed_frame_count = 0;
  std::vector<uint64_t> frame_references;
  std::vector<uint64_t> displayed_to_internal;

  // --- codestream input buffering ---
  ByteBuffer codestream_copy;
  uint64_t copied_from_input = 0;
  uint64_t skip_bytes = 0;
  uint64_t bit_offset = 0;

  // --- codestream parts ---
  uint32_t box_stage = kBoxHeader;
  uint32_t ftyp_minor_version = 0;
  uint32_t next_part_index = 0;
  std::map<uint32_t, BufferedPartEntry> buffered_parts;
  uint64_t buffered_parts_bytes = 0;
  uint32_t filling_part_index = 0;
  bool filling_part_last = false;

  BoxPayloadReader box_reader;

  // --- JPEG reconstruction ---
  // Collects and parses the 'jbrd' box; its output_next / output_available
  // are the JPEG output space (attached only through the internal hook, so
  // a public caller never gets the JPEG file).
  QovToJpegDecoder jpeg_decoder;

  // --- Exif / XMP capture for JPEG reconstruction ---
  BoxPayloadReader capture_reader;
  std::vector<uint8_t> exif_capture;
  std::vector<uint8_t> xmp_capture;
  CaptureState exif_state = kNotCaptured;
  CaptureState xmp_state = kNotCaptured;
  uint64_t capture_written = 0;
  uint64_t exif_size_needed = 0;
  uint64_t xmp_size_needed = 0;
  JpegOutputStage jpeg_output_stage = kNoJpegOutput;

  // --- attached input ---
  const uint8_t* next_in = nullptr;
  uint64_t avail_in = 0;
  bool input_closed = false;
  // QovDecoderAdvance failed once: every later call fails too.
  bool failed = false;

  // ---------------------------------------------------------------------
  // Lifecycle.
  void ResetProgress();

  // Input: bytes at hand for the current box (avail_in, limited to the box
  // end when the box is bounded), and consuming from the front.
  uint64_t Available() const;
  void ConsumeInput(uint64_t n);
  // Whether `incoming` more bytes keep what is held back below kMaxHeldBack.
  bool CanHoldBack(uint64_t incoming) const;
  bool CapturePending() const;

  // Codestream input buffering: one contiguous view of the codestream bytes
  // at hand; what readers call when the view was too short; recording that
  // readers used n more bytes; continuing with a buffered early part.
  QovDecoderStatus GetCodestreamInput(Span& out);
  QovDecoderStatus RequestMoreInput();
  void AdvanceCodestream(uint64_t n);
  Status TakeNextBufferedPart(bool& found);

  // The two levels of the state machine.
  QovDecoderStatus RunStages();
  StageResult RunBoxHeaderStage();
  StageResult RunCodestreamStage();
  QovDecoderStatus RunBoxOutputAndCapture();
  StageResult RunJbrdStage();
  QovDecoderStatus RunJpegOutput();
  bool JpegOutputAttached() const { return jpeg_decoder.output_next != nullptr; }
  // The current frame goes to the JPEG output instead of pixels.
  bool RebuildsJpeg() const;
  StageResult RunCodestream();
  StageResult ReadImageHeaders(bool& done);
  StageResult RunFrameLoop();
  StageResult ReadFrameHeader();
  StageResult DecodeFrameSections();
  void PassOverFrame();
  // After the preview or a displayed frame: the target is used up.
  void UseUpImageOutput();
  QovDecoderStatus FinishCodestream();
  void RefreshImageMetadata();

  // Getters' helpers.
  bool CurrentFrameIsPreview() const;
  void OrientedFrameSize(uint64_t* width, uint64_t* height) const;
  const ColorEncoding& ChosenEncoding(QovColorSource source) const;
};

// Whether a 4-byte box type equals the 4 characters of `name`.
inline bool IsBoxType(const char type[4], const char* name) {
  return type[0] == name[0] && type[1] == name[1] && type[2] == name[2] &&
         type[3] == name[3];
}

}  // namespace qov

struct QovDecoderStruct : public qov::DecoderState {
  using qov::DecoderState::DecoderState;
};

#endif  // QOV_LIB_API_DECODER_STATE_H_
