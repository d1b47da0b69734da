// The codestream level of the decoder's state machine: signature, size
// header and image metadata, transform data, the ICC profile, the frame
// decoding state with its output colour, then the frame loop. Frames whose
// pixels are not wanted are passed over by the sum of their section sizes.
#include <algorithm>
#include <memory>
#include <vector>

#include "lib/api/decoder_state.h"
#include "lib/base/byte_buffer.h"
#include "lib/base/task_pool.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/fields.h"
#include "lib/bitstream/frame_header.h"
#include "lib/color/icc_reader.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/frame/frame_driver.h"
#include "lib/frame/image_bundle.h"
#include "lib/frame/toc.h"

namespace qov {

namespace {

constexpr int32_t kFrameEvents =
    QOV_DEC_PREVIEW_DONE | QOV_DEC_FRAME_START | QOV_DEC_IMAGE_DONE;

// Whether width rounded up to a multiple of 32, times height, fits 64 bits.
bool AreaFits(uint64_t width, uint64_t height) {
  if (width == 0 || height == 0) return true;
  uint64_t rounded;
  if (__builtin_add_overflow(width, uint64_t{31}, &rounded)) return false;
  rounded &= ~uint64_t{31};
  uint64_t area;
  return !__builtin_mul_overflow(rounded, height, &area);
}

// A reader over the view that first skips `bit_offset` bits.
BitReader ReaderAt(Span view, uint64_t bit_offset) {
  BitReader reader(view);
  if (bit_offset != 0) reader.SkipLong(bit_offset);
  return reader;
}

// Probes `bundle` on a scratch copy (reader and bundle) and decodes it with
// the main reader once the input is long enough. kNextPass on success.
template <typename T>
StageResult ProbeAndDecode(DecoderState* d, BitReader& reader, T& bundle) {
  BitReader scratch_reader = reader;
  T scratch = bundle;
  const bool enough = Bundle::HasEnoughData(scratch_reader, scratch);
  if (!scratch_reader.Close().ok()) return QOV_DEC_FAILED;
  if (!enough) return d->RequestMoreInput();
  if (!Bundle::Decode(reader, bundle).ok()) return QOV_DEC_FAILED;
  return kNextPass;
}

// As above, through a probe kept across inputs, so that a long bundle fed
// in small pieces is not read again from its start on every input.
template <typename T>
StageResult ProbeAndDecode(DecoderState* d, BundleProbe<T>& probe,
                                BitReader& reader, T& bundle) {
  switch (probe.Probe(reader, bundle)) {
    case BundleProbeBase::Answer::kFailed:
      return QOV_DEC_FAILED;
    case BundleProbeBase::Answer::kNeedMore:
      return d->RequestMoreInput();
    case BundleProbeBase::Answer::kWhole:
      break;
  }
  // The probe's read is the decode: take it rather than read again.
  uint64_t end_bit = 0;
  if (probe.TakeWhole(&bundle, &end_bit) && end_bit >= reader.Position()) {
    reader.SkipLong(end_bit - reader.Position());
    return reader.CheckBounds().ok() ? kNextPass : QOV_DEC_FAILED;
  }
  if (!Bundle::Decode(reader, bundle).ok()) return QOV_DEC_FAILED;
  return kNextPass;
}

// The smallest count of decoded passes over the frame's AC groups.
uint64_t SmallestDecodedPasses(const FrameDriver& driver) {
  if (driver.decoded_passes.empty()) return 0;
  return *std::min_element(driver.decoded_passes.begin(), driver.decoded_passes.end());
}

// The downsampling factor that `passes` decoded passes of every group give.
uint32_t ProgressionDownsampling(const FrameHeader& header, uint64_t passes) {
  const Passes& p = header.passes;
  if (passes >= p.num_passes) return 1;
  if (p.num_downsample == 0) return 8;
  uint32_t factor = 8;
  for (uint32_t i = 0; i < p.num_downsample && i < 11; ++i) {
    if (p.last_pass[i] < passes) factor = std::min(factor, p.downsample[i]);
  }
  return factor;
}

}  // namespace

void DecoderState::RefreshImageMetadata() { image_metadata = metadata.m; }

QovDecoderStatus DecoderState::FinishCodestream() {
  stage = kCodestreamFinished;
  return QOV_DEC_OK;
}

StageResult DecoderState::ReadImageHeaders(bool& done) {
  done = false;
  if (!got_codestream_signature) {
    Span view;
    const QovDecoderStatus r = GetCodestreamInput(view);
    if (r != QOV_DEC_OK) return r;
    if (view.size < 2) return RequestMoreInput();
    if (view[0] != 0xFF || view[1] != 0x0A) return QOV_DEC_FAILED;
    got_codestream_signature = true;
    AdvanceCodestream(2);
  }
  if (!got_basic_info) {
    Span view;
    const QovDecoderStatus r = GetCodestreamInput(view);
    if (r != QOV_DEC_OK) return r;
    BitReader reader = ReaderAt(view, bit_offset);
    StageResult s = ProbeAndDecode(this, reader, metadata.size);
    if (s != kNextPass) return s;
    s = ProbeAndDecode(this, metadata_probe, reader, metadata.m);
    if (s != kNextPass) return s;
    metadata_probe.Finish();
    // Rows rounded up to 32 samples must be addressable. Checked before
    // anything is consumed, so that every later advance fails the same way.
    if (!AreaFits(metadata.size.Width(), metadata.size.Height())) {
      return QOV_DEC_FAILED;
    }
    const uint64_t position = reader.Position();
    AdvanceCodestream(position / 8);
    bit_offset = position % 8;
    got_basic_info = true;
    RefreshImageMetadata();
    if (events_wanted & QOV_DEC_HEADER_INFO) {
      events_wanted &= ~QOV_DEC_HEADER_INFO;
      return QOV_DEC_HEADER_INFO;
    }
  }
  if (events_wanted == 0) return FinishCodestream();

  if (!got_color_encoding) {
    if (icc_reader == nullptr) {
      icc_reader = std::make_unique<CompressedIccReader>(&memory_manager);
    }
    if (!got_transform_data) {
      Span view;
      const QovDecoderStatus r = GetCodestreamInput(view);
      if (r != QOV_DEC_OK) return r;
      BitReader reader = ReaderAt(view, bit_offset);
      metadata.transform_data.xyb = metadata.m.xyb_encoded;
      const StageResult s = ProbeAndDecode(this, reader, metadata.transform_data);
      if (s != kNextPass) return s;
      const uint64_t position = reader.Position();
      AdvanceCodestream(position / 8);
      bit_offset = position % 8;
      got_transform_data = true;
    }
    Span view;
    const QovDecoderStatus r = GetCodestreamInput(view);
    if (r != QOV_DEC_OK) return r;
    BitReader reader = ReaderAt(view, bit_offset);
    if (metadata.m.color_encoding.want_icc) {
      const Status begun = icc_reader->Begin(reader);
      if (reader.PastEnd() || begun.need_more_bytes()) return RequestMoreInput();
      if (!begun.ok()) return QOV_DEC_FAILED;
      ByteBuffer profile(&memory_manager);
      const Status read = icc_reader->Continue(reader, profile);
      if (read.need_more_bytes()) return RequestMoreInput();
      if (!read.ok() || profile.size() == 0) return QOV_DEC_FAILED;
      metadata.m.color_encoding.TakeIccProfile(
          std::vector<uint8_t>(profile.data(), profile.data() + profile.size()));
    }
    // Zero padding up to the next byte boundary.
    if (!reader.AlignToByte().ok()) return QOV_DEC_FAILED;
    if (reader.PastEnd()) return RequestMoreInput();
    got_color_encoding = true;
    AdvanceCodestream(reader.Position() / 8);
    bit_offset = 0;
    if (frame_state == nullptr) {
      frame_state = std::make_unique<FrameDecodingState>(&memory_manager);
    }
    if (!frame_state->output_color.InitFromMetadata(metadata).ok()) {
      return QOV_DEC_FAILED;
    }
    if (desired_intensity_target > 0) {
      frame_state->output_color.target_intensity = desired_intensity_target;
    }
    RefreshImageMetadata();
    if (events_wanted & QOV_DEC_COLOR_INFO) {
      events_wanted &= ~QOV_DEC_COLOR_INFO;
      return QOV_DEC_COLOR_INFO;
    }
  }
  if (events_wanted == 0) return FinishCodestream();
  if (!got_all_headers) {
    got_all_headers = true;
    if (!preview_done && metadata.m.have_preview) frame_is_preview = true;
  }
  done = true;
  return kNextPass;
}

bool DecoderState::RebuildsJpeg() const {
  return image_bundle != nullptr && image_bundle->jpeg_data != nullptr;
}

void DecoderState::UseUpImageOutput() {
  image_out_set = false;
  if (frame_state != nullptr) {
    frame_state->main_output.callbacks = PixelRowCallbacks();
    frame_state->main_output.buffer = nullptr;
    frame_state->extra_outputs.clear();
  }
}

void DecoderState::PassOverFrame() {
  frame_stage = kFrameHeaderStage;
  AdvanceCodestream(frame_bytes_remaining);
  frame_bytes_remaining = 0;
}

StageResult DecoderState::ReadFrameHeader() {
  if (last_frame_seen) return FinishCodestream();
  if (jpeg_output_stage != kNoJpegOutput) return QOV_DEC_FAILED;
  // Take the input first: while the bytes of a frame passed over are still
  // arriving, every input only pays for dropping them, not for a new driver
  // and header. Nothing observes the old ones meanwhile (frame_stage is 0,
  // so no frame is current for the getters).
  Span view;
  const QovDecoderStatus r = GetCodestreamInput(view);
  if (r != QOV_DEC_OK) return r;
  if (image_bundle == nullptr) {
    image_bundle = std::make_unique<ImageBundle>(&memory_manager, &image_metadata);
  }
  // A JPEG file is rebuilt from this frame: the ICC segments take the
  // profile, and the frame fills in sizes, tables and coefficients.
  if (JpegOutputAttached() && jpeg_decoder.jpeg_data != nullptr) {
    if (!RestoreIccIntoSegments(image_metadata.color_encoding.icc,
                                *jpeg_decoder.jpeg_data)
             .ok()) {
      return QOV_DEC_FAILED;
    }
    image_bundle->jpeg_data = std::move(jpeg_decoder.jpeg_data);
  }
  frame_driver = std::make_unique<FrameDriver>(frame_state.get(), task_pool.get(),
                                               &metadata);
  frame_header = std::make_unique<FrameHeader>(&metadata);

  BitReader reader(view);  // frames start on a byte boundary
  const Status begun =
      frame_driver->BeginFrame(reader, image_bundle.get(), frame_is_preview);
  if (reader.PastEnd() || begun.need_more_bytes()) return RequestMoreInput();
  if (!begun.ok()) return QOV_DEC_FAILED;
  AdvanceCodestream(reader.Position() / 8);
  *frame_header = frame_driver->frame_header;
  const FrameGeometry geometry = frame_header->ComputeGeometry();
  if (!AreaFits(geometry.xsize_upsampled_padded,
                geometry.ysize_upsampled_padded)) {
    return QOV_DEC_FAILED;
  }
  // A JPEG file is rebuilt from a frame that covers the image at its own
  // resolution and that a JPEG frame header can describe (16-bit sizes).
  // Any other frame does not fit the reconstruction data; refusing it here
  // also keeps its coefficient arrays from being sized.
  if (RebuildsJpeg() && !frame_is_preview &&
      (geometry.xsize != metadata.size.Width() ||
       geometry.ysize != metadata.size.Height() || geometry.xsize > 0xFFFF ||
       geometry.ysize > 0xFFFF)) {
    return QOV_DEC_FAILED;
  }
  const bool preview = frame_is_preview;
  const int32_t done_event = preview ? QOV_DEC_PREVIEW_DONE : QOV_DEC_IMAGE_DONE;
  if ((events_wanted & done_event) &&
      !frame_driver->PrepareFrameOutput().ok()) {
    return QOV_DEC_FAILED;
  }
  frame_bytes_remaining = frame_driver->section_sizes_total;
  frame_stage = kFrameHeaderRead;

  if (preview) {
    if (!(events_wanted & QOV_DEC_PREVIEW_DONE)) {
      PassOverFrame();
      preview_done = true;
      frame_is_preview = false;
    }
    return kNextPass;
  }

  const FrameHeader& h = *frame_header;
  const uint64_t mask = static_cast<uint32_t>(FrameStorageMask(h));
  const uint32_t duration = h.animation_frame.duration;
  last_frame_seen = h.is_last;
  frame_displayed = h.is_last || duration != 0 || (!coalescing && h.frame_type == 0);
  const uint64_t previous_displayed = displayed_frame_count;
  const uint64_t previous_internal = internal_frame_count;
  if (frame_displayed) ++displayed_frame_count;
  ++internal_frame_count;
  skipping_frame = frames_to_skip > 0;
  if (skipping_frame && frame_displayed) --frames_to_skip;
  if (displayed_to_internal.size() <= previous_displayed) {
    displayed_to_internal.push_back(previous_internal);
  }
  if (frame_references.size() <= previous_internal) {
    frame_references.push_back((mask << 32) | 0xFF);
  }
  if (skipping_frame) {
    const bool required = h.frame_type == 1 ||
                          (!h.is_last && !(duration != 0 && h.save_as_reference == 0));
    if (!required) {
      PassOverFrame();
      return kNextPass;
    }
  }
  if ((events_wanted & QOV_DEC_FRAME_START) && frame_displayed && !skipping_frame) {
    return QOV_DEC_FRAME_START;
  }
  return kNextPass;
}

StageResult DecoderState::DecodeFrameSections() {
  // No public operation attaches an image output target: a frame whose
  // pixels are wanted stops here until one is attached.
  const bool to_jpeg = RebuildsJpeg();
  if (!image_out_set) {
    if (frame_is_preview) return QOV_DEC_WANT_PREVIEW_BUFFER;
    if (frame_displayed && !skipping_frame && !to_jpeg) {
      return QOV_DEC_WANT_IMAGE_BUFFER;
    }
  }
  FrameDriver& driver = *frame_driver;
  const std::vector<TocSection>& toc = driver.toc;
  // The pause point ahead of the passes every group has so far.
  const uint64_t passes_before = SmallestDecodedPasses(driver);
  bool have_pause = false;
  uint64_t pause = 0;
  for (const int32_t point : driver.pause_points) {
    if (point >= 0 && static_cast<uint64_t>(point) > passes_before) {
      have_pause = true;
      pause = static_cast<uint64_t>(point);
      break;
    }
  }
  Span view;
  const QovDecoderStatus r = GetCodestreamInput(view);
  if (r != QOV_DEC_OK) return r;
  // Every not yet decoded section that lies wholly in the view.
  uint64_t whole_sections = 0;
  {
    uint64_t offset = 0;
    for (uint64_t i = first_unprocessed_section; i < toc.size(); ++i) {
      const uint64_t size = toc[i].size;
      if (!section_processed[i]) {
        if (offset > view.size || size > view.size - offset) break;
        ++whole_sections;
      }
      offset += size;
    }
  }
  if (whole_sections == sections_offered_in_vain) return RequestMoreInput();
  std::vector<SectionInput> inputs;
  std::vector<std::unique_ptr<BitReader>> readers;
  inputs.reserve(static_cast<size_t>(whole_sections));
  readers.reserve(static_cast<size_t>(whole_sections));
  uint64_t offset = 0;
  for (uint64_t i = first_unprocessed_section; i < toc.size(); ++i) {
    const uint64_t size = toc[i].size;
    if (!section_processed[i]) {
      if (offset > view.size || size > view.size - offset) break;
      readers.push_back(std::make_unique<BitReader>(
          Span(view.data + offset, static_cast<size_t>(size))));
      SectionInput input;
      input.reader = readers.back().get();
      input.id = toc[i].id;
      input.index = i;
      inputs.push_back(input);
    }
    offset += size;
  }
  std::vector<SectionOutcome> outcomes(inputs.size(), SectionOutcome::kSkipped);
  const uint64_t done_before = driver.sections_done;
  Status decoded = driver.DecodeSections(inputs.data(), inputs.size(), outcomes.data());
  bool over_read = false;
  for (auto& reader : readers) {
    if (!reader->Close().ok()) over_read = true;
  }
  readers.clear();
  if (!decoded.ok() || over_read) return QOV_DEC_FAILED;
  for (size_t k = 0; k < inputs.size(); ++k) {
    if (outcomes[k] == SectionOutcome::kDecoded) {
      section_processed[inputs[k].index] = 1;
    } else if (outcomes[k] != SectionOutcome::kSkipped) {
      return QOV_DEC_FAILED;  // a duplicate or a partial section
    }
  }
  uint64_t consumed = 0;
  while (first_unprocessed_section < toc.size() &&
         section_processed[first_unprocessed_section]) {
    consumed += toc[first_unprocessed_section].size;
    ++first_unprocessed_section;
  }
  frame_bytes_remaining -= consumed;
  AdvanceCodestream(consumed);
  sections_offered_in_vain =
      driver.sections_done == done_before ? whole_sections : kNoOfferPending;

  if (driver.sections_done < toc.size()) {
    if (driver.dc_finalised && frame_progressive_detail > 0 && !dc_progression_given) {
      dc_progression_given = true;
      progression_downsampling = 8;
      return QOV_DEC_FRAME_PROGRESS;
    }
    const uint64_t passes_now = SmallestDecodedPasses(driver);
    if (frame_progressive_detail >= 2 && have_pause && pause <= passes_now) {
      progression_downsampling = ProgressionDownsampling(*frame_header, passes_now);
      return QOV_DEC_FRAME_PROGRESS;
    }
    return RequestMoreInput();
  }
  if (!frame_is_preview) {
    if (internal_frame_count == 0 ||
        frame_references.size() < internal_frame_count) {
      return QOV_DEC_FAILED;
    }
    uint64_t& refs = frame_references[internal_frame_count - 1];
    refs = (refs & ~uint64_t{0xFFFFFFFF}) |
           static_cast<uint32_t>(driver.ReferencedSlotsMask());
  }
  if (!driver.CompleteFrame().ok()) return QOV_DEC_FAILED;
  frame_stage = kFrameHeaderStage;
  if (to_jpeg) {
    // The box level writes the file (after any 'Exif' / 'xml ' box it
    // still waits for) and reports the image there.
    jpeg_output_stage = kJpegInsertMetadata;
    return kNextPass;
  }
  // The target served this frame only: the next frame that wants pixels
  // asks for one again rather than writing into the caller's old buffer.
  if (frame_is_preview || frame_displayed) UseUpImageOutput();
  DestroyImageBundle(image_bundle);
  if (frame_is_preview) {
    preview_done = true;
    frame_is_preview = false;
    events_wanted &= ~QOV_DEC_PREVIEW_DONE;
    return QOV_DEC_PREVIEW_DONE;
  }
  if (frame_displayed && !skipping_frame && (events_wanted & QOV_DEC_IMAGE_DONE)) {
    return QOV_DEC_IMAGE_DONE;
  }
  return kNextPass;
}

StageResult DecoderState::RunFrameLoop() {
  for (;;) {
    if (!(events_wanted & kFrameEvents)) return FinishCodestream();
    StageResult r = kNextPass;
    switch (frame_stage) {
      case kFrameHeaderStage:
        r = ReadFrameHeader();
        break;
      case kFrameHeaderRead: {
        frame_driver->render_spot_colors = render_spot_colors;
        frame_driver->coalescing = coalescing;
        if (!frame_is_preview && (events_wanted & QOV_DEC_FRAME_PROGRESS)) {
          frame_progressive_detail =
              frame_driver->SetProgressivePause(progressive_detail);
        } else {
          frame_progressive_detail = 0;
        }
        dc_progression_given = false;
        first_unprocessed_section = 0;
        sections_offered_in_vain = kNoOfferPending;
        section_processed.assign(frame_driver->toc.size(), 0);
        if (frame_is_preview || (events_wanted & QOV_DEC_IMAGE_DONE)) {
          frame_stage = kFrameDecoding;
          break;
        }
        if (last_frame_seen) return FinishCodestream();
        PassOverFrame();
        break;
      }
      case kFrameDecoding:
        r = DecodeFrameSections();
        break;
      default:
        return QOV_DEC_FAILED;
    }
    if (r != kNextPass) return r;
    // A rebuilt JPEG file is written by the box level before anything else.
    if (jpeg_output_stage != kNoJpegOutput) return kNextPass;
  }
}

StageResult DecoderState::RunCodestream() {
  if (stage == kCodestreamFinished) return QOV_DEC_OK;
  if (task_pool == nullptr) task_pool = std::make_unique<TaskPool>();
  bool headers_done = false;
  const StageResult r = ReadImageHeaders(headers_done);
  if (!headers_done) return r == kNextPass ? QOV_DEC_FAILED : r;
  return RunFrameLoop();
}

}  // namespace qov
