// The decoder handle: creation, options, event subscription, the input
// protocol and the outer rules of QovDecoderAdvance.
#include <cstring>
#include <new>

#include "lib/api/decoder_state.h"
#include "lib/base/memory.h"
#include "qov/qov.h"

namespace qov {

namespace {

constexpr uint8_t kContainerSignature[12] = {0x00, 0x00, 0x00, 0x0C, 'J', 'X',
                                             'L',  ' ',  0x0D, 0x0A, 0x87, 0x0A};

}  // namespace

// Recognises the file signature without consuming anything.
static QovDecoderStatus DetectSignature(DecoderState* d) {
  if (d->next_in == nullptr || d->avail_in == 0) {
    return d->input_closed ? QOV_DEC_FAILED : QOV_DEC_WANT_INPUT;
  }
  const uint8_t first = d->next_in[0];
  if (first == 0x00) {
    if (d->avail_in < sizeof(kContainerSignature)) {
      return d->input_closed ? QOV_DEC_FAILED : QOV_DEC_WANT_INPUT;
    }
    if (std::memcmp(d->next_in, kContainerSignature,
                    sizeof(kContainerSignature)) != 0) {
      return QOV_DEC_FAILED;
    }
    d->got_signature = true;
    d->have_container = true;
    return QOV_DEC_OK;
  }
  if (first == 0xFF) {
    if (d->avail_in < 2) {
      return d->input_closed ? QOV_DEC_FAILED : QOV_DEC_WANT_INPUT;
    }
    if (d->next_in[1] != 0x0A) return QOV_DEC_FAILED;
    d->got_signature = true;
    d->last_codestream_part = true;  // the whole input is one codestream
    return QOV_DEC_OK;
  }
  return QOV_DEC_FAILED;
}

uint64_t DecoderState::Available() const {
  if (box_unbounded) return avail_in;
  if (file_position >= box_end) return 0;
  const uint64_t left = box_end - file_position;
  return left < avail_in ? left : avail_in;
}

void DecoderState::ConsumeInput(uint64_t n) {
  next_in += n;
  avail_in -= n;
  file_position += n;
}

bool DecoderState::CapturePending() const {
  return (exif_state != kCaptured && exif_size_needed != 0) ||
         (xmp_state != kCaptured && xmp_size_needed != 0);
}

}  // namespace qov

using qov::DecoderState;

QovDecoder QovDecoderCreate(const QovMemoryManager* memory_manager) {
  QovMemoryManager manager;
  if (!qov::SetUpMemoryManager(&manager, memory_manager).ok()) return nullptr;
  void* raw = qov::ManagerAllocate(&manager, sizeof(QovDecoderStruct));
  if (raw == nullptr) return nullptr;
  std::memset(raw, 0, sizeof(QovDecoderStruct));
  QovDecoderStruct* d;
  try {
    d = new (raw) QovDecoderStruct(manager);
  } catch (...) {
    qov::ManagerRelease(&manager, raw);
    return nullptr;
  }
  return d;
}

void QovDecoderDelete(QovDecoder dec) {
  if (dec == nullptr) return;
  const QovMemoryManager manager = dec->memory_manager;
  dec->~QovDecoderStruct();
  qov::ManagerRelease(&manager, dec);
}

QovDecoderStatus QovDecoderSubscribeEvents(QovDecoder dec, int32_t events_wanted) {
  if (dec == nullptr || (events_wanted & 0x3f) != 0 ||
      dec->stage != qov::kNotStarted) {
    return QOV_DEC_FAILED;
  }
  dec->events_wanted = events_wanted;
  dec->events_subscribed = events_wanted;
  return QOV_DEC_OK;
}

QovDecoderStatus QovDecoderKeepOrientation(QovDecoder dec, int32_t keep_orientation) {
  if (dec == nullptr || dec->stage != qov::kNotStarted) return QOV_DEC_FAILED;
  dec->keep_orientation = keep_orientation != 0;
  return QOV_DEC_OK;
}

QovDecoderStatus QovDecoderEnableCoalescing(QovDecoder dec, int32_t coalescing) {
  if (dec == nullptr || dec->stage != qov::kNotStarted) return QOV_DEC_FAILED;
  dec->coalescing = coalescing != 0;
  return QOV_DEC_OK;
}

QovDecoderStatus QovDecoderProvideInput(QovDecoder dec, const uint8_t* data,
                                        uint64_t size) {
  if (dec == nullptr || dec->next_in != nullptr || dec->input_closed) {
    return QOV_DEC_FAILED;
  }
  // A null buffer must never be read from (and a null next_in means "no
  // input attached"): with a size it is refused, without one nothing is
  // attached.
  if (data == nullptr) return size == 0 ? QOV_DEC_OK : QOV_DEC_FAILED;
  dec->next_in = data;
  dec->avail_in = size;
  return QOV_DEC_OK;
}

uint64_t QovDecoderReclaimInput(QovDecoder dec) {
  if (dec == nullptr) return 0;
  const uint64_t left = dec->avail_in;
  dec->next_in = nullptr;
  dec->avail_in = 0;
  return left;
}

void QovDecoderEndInput(QovDecoder dec) {
  if (dec != nullptr) dec->input_closed = true;
}

namespace {

QovDecoderStatus AdvanceOnce(QovDecoder dec) {
  if (dec->stage == qov::kNotStarted) dec->stage = qov::kStarted;
  if (!dec->got_signature) {
    const QovDecoderStatus s = qov::DetectSignature(dec);
    if (s != QOV_DEC_OK) return s;
  }
  const QovDecoderStatus r = dec->RunStages();
  if (r == QOV_DEC_OK) {
    return (dec->stage == qov::kCodestreamFinished && !dec->CapturePending())
               ? QOV_DEC_OK
               : QOV_DEC_FAILED;
  }
  if (r == QOV_DEC_WANT_INPUT && dec->input_closed) return QOV_DEC_FAILED;
  return r;
}

}  // namespace

QovDecoderStatus QovDecoderAdvance(QovDecoder dec) {
  if (dec == nullptr) return QOV_DEC_FAILED;
  // A failure is final: some steps record progress before they fail, so
  // going on would read from the wrong place.
  if (dec->failed) return QOV_DEC_FAILED;
  const QovDecoderStatus r = AdvanceOnce(dec);
  if (r == QOV_DEC_FAILED) dec->failed = true;
  return r;
}
