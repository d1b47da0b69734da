// Codestream input buffering: the codestream readers see one contiguous view
// of every codestream byte at hand although bytes arrive in caller-sized
// chunks and, in a container, in several boxes.
#include <algorithm>

#include "lib/api/decoder_state.h"

namespace qov {

namespace {

void EmptyCopy(ByteBuffer& copy) { copy.SetSize(0); }

}  // namespace

bool DecoderState::CanHoldBack(uint64_t incoming) const {
  return incoming < kMaxHeldBack &&
         buffered_parts_bytes + incoming + codestream_copy.size() < kMaxHeldBack;
}

QovDecoderStatus DecoderState::GetCodestreamInput(Span& out) {
  for (;;) {
    if (codestream_copy.empty() && skip_bytes > 0) {
      const uint64_t n = std::min(Available(), skip_bytes);
      ConsumeInput(n);
      skip_bytes -= n;
      if (skip_bytes > 0) return RequestMoreInput();
    }
    if (!codestream_copy.empty() && copied_from_input == 0 &&
        skip_bytes >= codestream_copy.size()) {
      // The copy holds only older bytes (an early part joined after a frame
      // was passed over) and the skip covers them all: drop the copy and
      // carry the rest of the skip forward into the input.
      skip_bytes -= codestream_copy.size();
      EmptyCopy(codestream_copy);
      continue;
    }
    break;
  }
  if (!codestream_copy.empty() && (skip_bytes > codestream_copy.size() ||
                                   copied_from_input > codestream_copy.size())) {
    return QOV_DEC_FAILED;
  }
  const uint64_t available = Available();
  if (codestream_copy.empty()) {
    if (available == 0) return RequestMoreInput();
    out = Span(next_in, static_cast<size_t>(available));
    return QOV_DEC_OK;
  }
  if (!CanHoldBack(available)) return QOV_DEC_FAILED;
  if (available > copied_from_input) {
    if (!codestream_copy
             .Append(next_in + copied_from_input, available - copied_from_input)
             .ok()) {
      return QOV_DEC_FAILED;
    }
    copied_from_input = available;
  }
  out = Span(codestream_copy.data() + skip_bytes,
             static_cast<size_t>(codestream_copy.size() - skip_bytes));
  return QOV_DEC_OK;
}

QovDecoderStatus DecoderState::RequestMoreInput() {
  if (!codestream_copy.empty()) {
    ConsumeInput(copied_from_input);
    copied_from_input = 0;
    return QOV_DEC_WANT_INPUT;
  }
  const uint64_t available = Available();
  if (!CanHoldBack(available)) return QOV_DEC_FAILED;  // the copy is empty here
  if (!codestream_copy.Append(next_in, available).ok()) return QOV_DEC_FAILED;
  ConsumeInput(available);
  return QOV_DEC_WANT_INPUT;
}

void DecoderState::AdvanceCodestream(uint64_t n) {
  if (codestream_copy.empty()) {
    const uint64_t available = Available();
    if (n > available) {
      ConsumeInput(available);
      skip_bytes += n - available;
    } else {
      ConsumeInput(n);
    }
    return;
  }
  // The copy holds (size - copied_from_input) older bytes followed by
  // copied_from_input bytes still at the front of the input.
  skip_bytes += n;
  const uint64_t size = codestream_copy.size();
  if (skip_bytes + copied_from_input < size) return;
  ConsumeInput(std::min(copied_from_input, skip_bytes + copied_from_input - size));
  skip_bytes = skip_bytes >= size ? skip_bytes - size : 0;
  EmptyCopy(codestream_copy);
  copied_from_input = 0;
}

Status DecoderState::TakeNextBufferedPart(bool& found) {
  found = false;
  auto it = buffered_parts.find(next_part_index);
  if (it == buffered_parts.end()) return OkStatus();
  const BufferedPart& part = *it->second.part;
  // The joined bytes are older than any input byte: input bytes already in
  // the copy were consumed by RequestMoreInput before a part is taken.
  QOV_RETURN_IF_ERROR(codestream_copy.Append(part.data(), part.size()));
  if (it->second.is_last) last_codestream_part = true;
  ++next_part_index;
  buffered_parts_bytes -= part.size();
  buffered_parts.erase(it);
  found = true;
  return OkStatus();
}

}  // namespace qov
