// Internal access to pixels for tests, benchmarks and fuzzers: the public
// interface attaches no pixel output, so these calls attach one (and, for
// benchmarks, a task-pool runner) to a decoder. Not part of the installed
// interface; include/qov/qov.h never includes it.
#ifndef QOV_LIB_API_INTERNAL_PIXEL_HOOK_H_
#define QOV_LIB_API_INTERNAL_PIXEL_HOOK_H_

#include <cstdint>

#include "lib/base/task_pool.h"
#include "lib/frame/pixel_output.h"
#include "qov/qov.h"

namespace qov {

// Where the pixels of the current frame go: `callbacks.run` when set, else
// `buffer` (rows `stride` bytes apart; 0 gives packed rows).
struct InternalPixelTarget {
  OutputPixelFormat format;
  uint64_t bits_per_sample = 0;  // integer types; 0 gives 8 or 16
  PixelRowCallbacks callbacks;
  void* buffer = nullptr;
  uint64_t buffer_size = 0;
  uint64_t stride = 0;
};

// The size of the displayed image in output orientation (width, height),
// the preview's while the preview frame is current, once the basic info is
// known; QOV_DEC_FAILED before.
QovDecoderStatus QovInternalOutputSize(QovDecoder dec, uint64_t* width,
                                       uint64_t* height);

// Attaches `target` to the current frame after QovDecoderAdvance returned
// QOV_DEC_WANT_IMAGE_BUFFER (or QOV_DEC_WANT_PREVIEW_BUFFER for the
// preview). The frame is written composited and oriented (as the decoder's
// options say) at the size QovInternalOutputSize gives. The target serves
// this frame only: once the frame is done (QOV_DEC_IMAGE_DONE,
// QOV_DEC_PREVIEW_DONE) it is used up with its extra-channel targets, and
// the next frame that wants pixels asks for a target again.
// QOV_DEC_FAILED, with nothing attached, when no frame wants pixels or the
// target cannot be written safely: unsupported sample type or channel
// count, bits per sample outside 1..8 (uint8) or 1..16 (uint16), a stride
// below one row or a buffer below (rows - 1) * stride + one row.
QovDecoderStatus QovInternalAttachPixelOutput(QovDecoder dec,
                                              const InternalPixelTarget& target);

// Also writes extra channel `index` of the current frame, one sample per
// pixel, into `target` (same size and orientation as the main target),
// after QovInternalAttachPixelOutput for this frame. QOV_DEC_FAILED, with
// nothing attached, without an attached main target, for an index beyond
// the image's extra channels, a target of other than one channel or one
// that cannot be written safely.
QovDecoderStatus QovInternalAttachExtraChannelOutput(
    QovDecoder dec, uint64_t index, const InternalPixelTarget& target);

// JPEG output: with QOV_DEC_JPEG_DATA and QOV_DEC_IMAGE_DONE subscribed, a
// frame that starts after the 'jbrd' box was read (while this space is
// attached) is rebuilt as the original JPEG file into [buffer, buffer +
// size) instead of being rendered; QOV_DEC_IMAGE_DONE reports the file
// written. QOV_DEC_WANT_JPEG_OUTPUT: the file did not fit and nothing of it
// counts; release, attach a larger space, and the next advance writes the
// whole file again. QOV_DEC_FAILED (nothing attached) for a null buffer or
// while a space is attached.
QovDecoderStatus QovInternalAttachJpegOutput(QovDecoder dec, uint8_t* buffer,
                                             uint64_t size);

// Detaches the JPEG output space; returns the bytes of it not written (0
// when none is attached).
uint64_t QovInternalReleaseJpegOutput(QovDecoder dec);

// Runs the decoder's parallel loops through `runner`; before the first
// QovDecoderAdvance only (QOV_DEC_FAILED afterwards).
QovDecoderStatus QovInternalSetTaskRunner(QovDecoder dec,
                                          TaskPoolRunner runner,
                                          void* runner_opaque);

}  // namespace qov

#endif  // QOV_LIB_API_INTERNAL_PIXEL_HOOK_H_
