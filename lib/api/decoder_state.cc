// Construction, reset and destruction of the record behind a decoder handle.
#include "lib/api/decoder_state.h"

#include <cstring>

#include "lib/base/task_pool.h"
#include "lib/bitstream/frame_header.h"
#include "lib/color/icc_reader.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/frame/frame_driver.h"
#include "lib/frame/image_bundle.h"

namespace qov {

DecoderState::DecoderState(const QovMemoryManager& manager)
    : memory_manager(manager), codestream_copy(&memory_manager) {
  ResetProgress();
}

DecoderState::~DecoderState() = default;

void DecoderState::ResetProgress() {
  stage = kNotStarted;
  got_signature = false;
  last_codestream_part = false;
  got_codestream_signature = false;
  got_basic_info = false;
  got_transform_data = false;
  got_color_encoding = false;
  got_all_headers = false;
  metadata_probe.Reset();
  DestroyCompressedIccReader(&icc_reader);
  preview_done = false;
  frame_is_preview = false;
  file_position = 0;
  box_stage = kBoxHeader;
  next_part_index = 0;
  box_contents_start = box_end = box_contents_size = box_size = 0;
  box_header_pending = 0;
  box_unbounded = false;
  std::memset(box_type, 0, 4);
  std::memset(box_inner_type, 0, 4);
  box_event_current = box_buffer_set = box_output_active = false;
  box_buffer = nullptr;
  box_buffer_size = box_buffer_written = 0;
  buffered_parts.clear();
  buffered_parts_bytes = 0;
  filling_part_index = 0;
  filling_part_last = false;
  exif_capture.clear();
  xmp_capture.clear();
  exif_state = xmp_state = kNotCaptured;
  capture_written = exif_size_needed = xmp_size_needed = 0;
  jpeg_output_stage = kNoJpegOutput;
  events_wanted = events_subscribed;
  have_container = false;
  box_count = 0;
  progression_downsampling = 8;
  image_out_set = false;
  next_in = nullptr;
  avail_in = 0;
  input_closed = false;
  failed = false;
  DestroyFrameDecodingState(frame_state);
  DestroyFrameDriver(frame_driver);
  DestroyImageBundle(image_bundle);
  first_unprocessed_section = 0;
  sections_offered_in_vain = kNoOfferPending;
  section_processed.clear();
  metadata = CodecMetadata();
  RefreshImageMetadata();
  frame_header = std::make_unique<FrameHeader>(&metadata);
  codestream_copy.SetSize(0);
  frame_stage = kFrameHeaderStage;
  frame_bytes_remaining = 0;
  frame_displayed = last_frame_seen = false;
  frames_to_skip = 0;
  skipping_frame = false;
  internal_frame_count = displayed_frame_count = 0;
  copied_from_input = skip_bytes = bit_offset = 0;
}

}  // namespace qov
