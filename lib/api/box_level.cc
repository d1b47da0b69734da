// The box level of the decoder's state machine: box headers, 'ftyp', the
// joining of 'jxlc' / 'jxlp' codestream parts (early parts are buffered),
// skipping, box events with the caller's box buffer, and the capture of
// 'Exif' / 'xml ' boxes for JPEG reconstruction, the 'jbrd' box and the
// writing of the rebuilt JPEG file.
#include <algorithm>
#include <cstring>

#include "lib/api/decoder_state.h"
#include "lib/frame/image_bundle.h"

namespace qov {

namespace {

constexpr uint64_t kMaxBufferedParts = 0xFFFFF;
constexpr uint64_t kMaxCaptureSize = 0x3FFFFFF;

uint32_t LoadBE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) |
         uint32_t{p[3]};
}

uint64_t LoadBE64(const uint8_t* p) {
  return (uint64_t{LoadBE32(p)} << 32) | LoadBE32(p + 4);
}

}  // namespace

QovDecoderStatus DecoderState::RunBoxOutputAndCapture() {
  // Box output: every byte of the current box is copied out before the box
  // stage below consumes it.
  if (events_subscribed & QOV_DEC_BOX_START) {
    if (box_event_current && !box_output_active) box_event_current = false;
    if (box_output_active) {
      uint8_t* out = box_buffer + box_buffer_written;
      uint64_t space = box_buffer_size - box_buffer_written;
      QovDecoderStatus r =
          box_reader.Decode(next_in, avail_in, file_position - box_contents_start,
                            input_closed, &out, &space);
      box_buffer_written = box_buffer_size - space;
      if (r == QOV_DEC_BOX_COMPLETE) {
        r = static_cast<QovDecoderStatus>(events_wanted & QOV_DEC_BOX_COMPLETE);
      }
      if (r != QOV_DEC_OK && r != QOV_DEC_WANT_INPUT) return r;
    }
  }
  // Capture for JPEG reconstruction, into a vector that doubles as needed.
  if (exif_state == kCapturing || xmp_state == kCapturing) {
    const bool exif = exif_state == kCapturing;
    std::vector<uint8_t>& vec = exif ? exif_capture : xmp_capture;
    QovDecoderStatus r;
    for (;;) {
      if (vec.empty()) vec.assign(64, 0);
      uint8_t* out = vec.data() + capture_written;
      uint64_t space = vec.size() - capture_written;
      r = capture_reader.Decode(next_in, avail_in,
                                file_position - box_contents_start, input_closed,
                                &out, &space);
      capture_written = vec.size() - space;
      if (r != QOV_DEC_WANT_BOX_OUTPUT) break;
      if (vec.size() > kMaxCaptureSize) return QOV_DEC_FAILED;
      vec.resize(vec.size() * 2, 0);
    }
    if (r == QOV_DEC_BOX_COMPLETE) {
      const uint64_t needed = exif ? exif_size_needed : xmp_size_needed;
      if (!box_unbounded || capture_written >= needed) {
        vec.resize(capture_written);
        (exif ? exif_state : xmp_state) = kCaptured;
      }
    } else if (r != QOV_DEC_WANT_INPUT) {
      return r;
    }
  }
  return RunJpegOutput();
}

QovDecoderStatus DecoderState::RunJpegOutput() {
  // Stage 1 waits for every expected 'Exif' / 'xml ' box, then puts their
  // contents into the JPEG data.
  if (jpeg_output_stage == kNoJpegOutput || CapturePending()) return QOV_DEC_OK;
  if (image_bundle == nullptr || image_bundle->jpeg_data == nullptr) {
    return QOV_DEC_FAILED;
  }
  jpeg::JPEGData& jpeg = *image_bundle->jpeg_data;
  if (jpeg_output_stage == kJpegInsertMetadata) {
    if (exif_size_needed != 0 &&
        !InsertExifIntoSegment(exif_capture.data(), exif_capture.size(), jpeg)
             .ok()) {
      return QOV_DEC_FAILED;
    }
    if (xmp_size_needed != 0 &&
        !InsertXmpIntoSegment(xmp_capture.data(), xmp_capture.size(), jpeg)
             .ok()) {
      return QOV_DEC_FAILED;
    }
    jpeg_output_stage = kJpegWrite;
  }
  // Stage 2 writes the whole file; when the space runs out nothing is kept
  // and the next call writes it again from its first byte.
  const QovDecoderStatus r = jpeg_decoder.WriteOutput(jpeg);
  if (r != QOV_DEC_OK) return r;
  jpeg_output_stage = kNoJpegOutput;
  DestroyImageBundle(image_bundle);
  return (events_wanted & QOV_DEC_IMAGE_DONE) ? QOV_DEC_IMAGE_DONE : QOV_DEC_OK;
}

StageResult DecoderState::RunJbrdStage() {
  if (!jpeg_decoder.collecting) {
    jpeg_decoder.box_bytes.clear();
    jpeg_decoder.collecting = true;
    jpeg_decoder.runs_to_end = box_unbounded;
    jpeg_decoder.box_content_size = box_contents_size;
  }
  const uint64_t offered = Available();
  const uint8_t* cursor = next_in;
  uint64_t left = offered;
  const QovDecoderStatus r =
      jpeg_decoder.ReadReconstructionBox(&cursor, &left, input_closed);
  ConsumeInput(offered - left);
  if (r != QOV_DEC_JPEG_DATA) return r;
  const jpeg::JPEGData& jpeg = *jpeg_decoder.jpeg_data;
  if (CountExifSegments(jpeg) > 1 || CountXmpSegments(jpeg) > 1) {
    return QOV_DEC_FAILED;
  }
  if (CountExifSegments(jpeg) == 1 &&
      !ExifBoxSizeFor(jpeg, &exif_size_needed).ok()) {
    return QOV_DEC_FAILED;
  }
  if (CountXmpSegments(jpeg) == 1 &&
      !XmpBoxSizeFor(jpeg, &xmp_size_needed).ok()) {
    return QOV_DEC_FAILED;
  }
  box_stage = kBoxHeader;
  if (events_wanted & QOV_DEC_JPEG_DATA) {
    events_wanted &= ~QOV_DEC_JPEG_DATA;
    return QOV_DEC_JPEG_DATA;
  }
  return kNextPass;
}

StageResult DecoderState::RunBoxHeaderStage() {
  // A bare codestream is one unbounded box.
  if (!have_container) {
    if (stage == kCodestreamFinished) return QOV_DEC_OK;
    box_stage = kBoxCodestream;
    box_unbounded = true;
    return kNextPass;
  }
  if (avail_in == 0) {
    if (stage != kCodestreamFinished || CapturePending()) return QOV_DEC_WANT_INPUT;
    if (input_closed) return QOV_DEC_OK;
    return (events_subscribed & QOV_DEC_BOX_START) ? QOV_DEC_WANT_INPUT
                                                   : QOV_DEC_OK;
  }
  // After the last codestream part a second image may start: stop there.
  bool stop_at_signature = false;
  if ((events_subscribed & QOV_DEC_BOX_START) && stage == kCodestreamFinished &&
      !CapturePending() && last_codestream_part) {
    if (avail_in == 1) return QOV_DEC_WANT_INPUT;
    if (next_in[0] == 0xFF && next_in[1] == 0x0A) return QOV_DEC_OK;
    stop_at_signature = true;
  }
  if (avail_in < 8) return QOV_DEC_WANT_INPUT;
  uint64_t size = LoadBE32(next_in);
  uint64_t header = 8;
  char type[4];
  std::memcpy(type, next_in + 4, 4);
  if (size == 1) {
    if (avail_in < 16) return QOV_DEC_WANT_INPUT;
    size = LoadBE64(next_in + 8);
    header = 16;
  }
  uint64_t end;
  if ((size != 0 && size < header) ||
      __builtin_add_overflow(file_position, size, &end)) {
    return QOV_DEC_FAILED;
  }
  char inner[4];
  std::memcpy(inner, type, 4);
  if (IsBoxType(type, "brob")) {
    // The inner type must lie inside the box, not be taken from the next one.
    if (size != 0 && size - header < 4) return QOV_DEC_FAILED;
    if (avail_in < header + 4) return QOV_DEC_WANT_INPUT;
    std::memcpy(inner, next_in + header, 4);
  }
  ++box_count;
  if (stop_at_signature && IsBoxType(type, "JXL ")) return QOV_DEC_OK;
  if ((box_count == 2) != IsBoxType(type, "ftyp")) return QOV_DEC_FAILED;

  std::memcpy(box_type, type, 4);
  std::memcpy(box_inner_type, inner, 4);
  box_unbounded = size == 0;
  box_contents_start = file_position + header;
  box_end = box_unbounded ? 0 : end;
  box_contents_size = box_unbounded ? 0 : size - header;
  box_size = size;
  box_header_pending = header;

  if (events_subscribed & QOV_DEC_JPEG_DATA) {
    if (IsBoxType(inner, "Exif") && exif_state == kNotCaptured) {
      exif_state = kCapturing;
      capture_written = 0;
    } else if (IsBoxType(inner, "xml ") && xmp_state == kNotCaptured) {
      xmp_state = kCapturing;
      capture_written = 0;
    }
  }
  const bool is_brob = IsBoxType(type, "brob");
  if (events_subscribed & QOV_DEC_BOX_START) {
    box_reader.Start(is_brob && decompress_boxes, box_unbounded,
                     box_contents_size);
  }
  if (exif_state == kCapturing || xmp_state == kCapturing) {
    capture_reader.Start(is_brob, box_unbounded, box_contents_size);
  }

  if (IsBoxType(type, "ftyp")) {
    box_stage = kBoxFtyp;
  } else if (IsBoxType(type, "jxlc")) {
    if (last_codestream_part) return QOV_DEC_FAILED;
    last_codestream_part = true;
    box_stage = kBoxCodestream;
  } else if (IsBoxType(type, "jxlp")) {
    box_stage = kBoxPartIndex;
  } else if (IsBoxType(type, "jbrd") && (events_subscribed & QOV_DEC_JPEG_DATA)) {
    if (!(events_wanted & QOV_DEC_JPEG_DATA)) return QOV_DEC_FAILED;
    box_stage = kBoxJbrd;
  } else {
    box_stage = kBoxSkip;
  }
  if (events_subscribed & QOV_DEC_BOX_START) {
    box_event_current = true;
    box_output_active = false;
    return QOV_DEC_BOX_START;
  }
  return kNextPass;
}

StageResult DecoderState::RunCodestreamStage() {
  const StageResult r = RunCodestream();
  if (r == QOV_DEC_WANT_INPUT) {
    // Joining parts: a used-up bounded box continues with the next buffered
    // part, or with the next box, whose 'jxlp' continues the codestream.
    if (!box_unbounded && file_position == box_end) {
      bool found = false;
      if (!TakeNextBufferedPart(found).ok()) return QOV_DEC_FAILED;
      if (!found) box_stage = kBoxHeader;
      return kNextPass;
    }
    return QOV_DEC_WANT_INPUT;
  }
  if (r == QOV_DEC_OK && stage == kCodestreamFinished) {
    // The codestream is finished.
    if (CapturePending()) {
      box_stage = kBoxSkip;
      return kNextPass;
    }
    if (box_unbounded) return QOV_DEC_OK;
    if (!(events_subscribed & QOV_DEC_BOX_START)) return QOV_DEC_OK;
    box_stage = kBoxSkip;
    return kNextPass;
  }
  return r;
}

QovDecoderStatus DecoderState::RunStages() {
  for (;;) {
    if (box_stage != kBoxHeader) {
      // A box header is consumed on the pass after the one that parsed it.
      const uint64_t n = std::min(box_header_pending, avail_in);
      ConsumeInput(n);
      box_header_pending -= n;
      if (box_header_pending > 0) return QOV_DEC_WANT_INPUT;
      const QovDecoderStatus r = RunBoxOutputAndCapture();
      if (r != QOV_DEC_OK) return r;
    }
    StageResult r = kNextPass;
    switch (box_stage) {
      case kBoxHeader:
        r = RunBoxHeaderStage();
        break;
      case kBoxFtyp: {
        if (box_contents_size < 12) return QOV_DEC_FAILED;
        if (Available() < 8) return QOV_DEC_WANT_INPUT;
        const uint32_t minor = LoadBE32(next_in + 4);
        if (std::memcmp(next_in, "jxl ", 4) != 0 || minor > 1) {
          return QOV_DEC_FAILED;
        }
        ftyp_minor_version = minor;
        ConsumeInput(8);
        box_stage = kBoxSkip;
        break;
      }
      case kBoxSkip:
        if (box_unbounded) {
          if (input_closed || !box_buffer_set) return QOV_DEC_OK;
          ConsumeInput(avail_in);
          return QOV_DEC_WANT_INPUT;
        }
        ConsumeInput(Available());
        if (file_position < box_end) return QOV_DEC_WANT_INPUT;
        box_stage = kBoxHeader;
        break;
      case kBoxCodestream:
        r = RunCodestreamStage();
        break;
      case kBoxPartIndex: {
        if (last_codestream_part) return QOV_DEC_FAILED;
        if (!box_unbounded && box_contents_size < 4) return QOV_DEC_FAILED;
        if (Available() < 4) return QOV_DEC_WANT_INPUT;
        const uint32_t word = LoadBE32(next_in);
        const uint32_t index = word & 0x7FFFFFFF;
        const bool is_last = (word & 0x80000000u) != 0;
        if (index < next_part_index) return QOV_DEC_FAILED;
        ConsumeInput(4);
        if (index == next_part_index) {
          ++next_part_index;
          if (is_last) last_codestream_part = true;
          box_stage = kBoxCodestream;
          break;
        }
        // A part from the future: allowed only from minor version 1 on.
        if (ftyp_minor_version == 0 ||
            buffered_parts.size() > kMaxBufferedParts ||
            buffered_parts.count(index) != 0) {
          return QOV_DEC_FAILED;
        }
        BufferedPartEntry entry;
        entry.part = std::make_unique<BufferedPart>(&memory_manager);
        entry.is_last = is_last;
        buffered_parts.emplace(index, std::move(entry));
        filling_part_index = index;
        filling_part_last = is_last;
        box_stage = kBoxBufferPart;
        break;
      }
      case kBoxBufferPart: {
        const uint64_t n = Available();
        if (!CanHoldBack(n)) return QOV_DEC_FAILED;
        BufferedPart& part = *buffered_parts[filling_part_index].part;
        if (!part.Append(next_in, n).ok()) return QOV_DEC_FAILED;
        buffered_parts_bytes += n;
        ConsumeInput(n);
        if (box_unbounded || file_position < box_end) return QOV_DEC_WANT_INPUT;
        box_stage = kBoxHeader;
        break;
      }
      case kBoxJbrd:
        r = RunJbrdStage();
        break;
      default:
        return QOV_DEC_FAILED;
    }
    if (!r.next_pass()) return r.status();
  }
}

}  // namespace qov

// ---------------------------------------------------------------------------
// Box buffer and box queries.

QovDecoderStatus QovDecoderProvideBoxBuffer(QovDecoder dec, uint8_t* data,
                                            uint64_t size) {
  if (dec == nullptr || dec->box_buffer_set || !dec->box_event_current) {
    return QOV_DEC_FAILED;
  }
  if (data == nullptr && size != 0) return QOV_DEC_FAILED;
  dec->box_buffer_set = true;
  dec->box_output_active = true;
  dec->box_buffer = data;
  dec->box_buffer_size = size;
  dec->box_buffer_written = 0;
  return QOV_DEC_OK;
}

uint64_t QovDecoderReclaimBoxBuffer(QovDecoder dec) {
  if (dec == nullptr || !dec->box_buffer_set) return 0;
  const uint64_t left = dec->box_buffer_size - dec->box_buffer_written;
  dec->box_buffer_set = false;
  dec->box_output_active = false;
  dec->box_buffer = nullptr;
  dec->box_buffer_size = 0;
  dec->box_buffer_written = 0;
  return left;
}

QovDecoderStatus QovDecoderQueryBoxType(QovDecoder dec, QovBoxType type,
                                        int32_t decompressed) {
  if (dec == nullptr || type == nullptr || !dec->box_event_current) {
    return QOV_DEC_FAILED;
  }
  std::memcpy(type, decompressed ? dec->box_inner_type : dec->box_type, 4);
  return QOV_DEC_OK;
}

QovDecoderStatus QovDecoderQueryBoxSize(QovDecoder dec, uint64_t* size) {
  if (dec == nullptr || !dec->box_event_current) return QOV_DEC_FAILED;
  if (size != nullptr) *size = dec->box_size;
  return QOV_DEC_OK;
}

QovDecoderStatus QovDecoderQueryBoxContentSize(QovDecoder dec, uint64_t* size) {
  if (dec == nullptr || !dec->box_event_current) return QOV_DEC_FAILED;
  if (size != nullptr) *size = dec->box_contents_size;
  return QOV_DEC_OK;
}
