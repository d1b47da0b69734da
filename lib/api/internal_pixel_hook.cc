// Attachment of pixel outputs and task runners for internal callers.
#include "lib/api/internal_pixel_hook.h"

#include <memory>
#include <vector>

#include "lib/api/decoder_state.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/frame/frame_driver.h"
#include "lib/render/write_to_output_stage.h"

namespace qov {

QovDecoderStatus QovInternalOutputSize(QovDecoder dec, uint64_t* width,
                                       uint64_t* height) {
  if (dec == nullptr || !dec->got_basic_info) return QOV_DEC_FAILED;
  dec->OrientedFrameSize(width, height);
  return QOV_DEC_OK;
}

namespace {

// The caller's target with defaults filled in (bits per sample, packed
// stride), checked against the oriented image size.
bool CheckedTarget(QovDecoder dec, const InternalPixelTarget& target,
                   PixelOutputTarget* checked, uint64_t* width,
                   uint64_t* height) {
  dec->OrientedFrameSize(width, height);
  checked->format = target.format;
  checked->bits_per_sample = target.bits_per_sample;
  if (checked->bits_per_sample == 0) {
    checked->bits_per_sample =
        target.format.data_type == OutputSampleType::kUint8 ? 8 : 16;
  }
  checked->callbacks = target.callbacks;
  checked->buffer = target.buffer;
  checked->buffer_size = target.buffer_size;
  const StatusOr<uint64_t> packed = OutputRowStride(target.format, *width);
  if (!packed.ok()) return false;
  checked->stride = target.stride != 0 ? target.stride : packed.value();
  return CheckPixelOutputTarget(*checked, *width, *height).ok();
}

}  // namespace

QovDecoderStatus QovInternalAttachPixelOutput(
    QovDecoder dec, const InternalPixelTarget& target) {
  if (dec == nullptr || dec->frame_driver == nullptr ||
      dec->frame_state == nullptr || dec->image_out_set ||
      dec->frame_stage != kFrameDecoding) {
    return QOV_DEC_FAILED;
  }
  uint64_t width = 0, height = 0;
  PixelOutputTarget checked;
  if (!CheckedTarget(dec, target, &checked, &width, &height)) {
    return QOV_DEC_FAILED;
  }
  FrameDriver& driver = *dec->frame_driver;
  if (!driver
           .AttachPixelOutput(checked.callbacks, checked.buffer,
                              checked.buffer_size, width, height,
                              checked.format, checked.bits_per_sample,
                              dec->unpremultiply_alpha, !dec->keep_orientation)
           .ok()) {
    return QOV_DEC_FAILED;
  }
  // The driver derives a packed stride; a caller's own stride wins.
  dec->frame_state->main_output.stride = checked.stride;
  dec->image_out_set = true;
  return QOV_DEC_OK;
}

QovDecoderStatus QovInternalAttachExtraChannelOutput(
    QovDecoder dec, uint64_t index, const InternalPixelTarget& target) {
  if (dec == nullptr || dec->frame_state == nullptr || !dec->image_out_set ||
      dec->frame_stage != kFrameDecoding ||
      !dec->frame_state->main_output.InUse() ||
      index >= dec->metadata.m.extra_channel_info.size() ||
      target.format.num_channels != 1) {
    return QOV_DEC_FAILED;
  }
  uint64_t width = 0, height = 0;
  PixelOutputTarget checked;
  if (!CheckedTarget(dec, target, &checked, &width, &height)) {
    return QOV_DEC_FAILED;
  }
  std::vector<PixelOutputTarget>& extra = dec->frame_state->extra_outputs;
  if (extra.size() <= index) extra.resize(static_cast<size_t>(index) + 1);
  extra[static_cast<size_t>(index)] = checked;
  return QOV_DEC_OK;
}

QovDecoderStatus QovInternalAttachJpegOutput(QovDecoder dec, uint8_t* buffer,
                                             uint64_t size) {
  if (dec == nullptr || buffer == nullptr || dec->JpegOutputAttached()) {
    return QOV_DEC_FAILED;
  }
  dec->jpeg_decoder.output_next = buffer;
  dec->jpeg_decoder.output_available = size;
  return QOV_DEC_OK;
}

uint64_t QovInternalReleaseJpegOutput(QovDecoder dec) {
  if (dec == nullptr || !dec->JpegOutputAttached()) return 0;
  const uint64_t left = dec->jpeg_decoder.output_available;
  dec->jpeg_decoder.output_next = nullptr;
  dec->jpeg_decoder.output_available = 0;
  return left;
}

QovDecoderStatus QovInternalSetTaskRunner(QovDecoder dec,
                                          TaskPoolRunner runner,
                                          void* runner_opaque) {
  if (dec == nullptr || dec->stage != kNotStarted) return QOV_DEC_FAILED;
  if (dec->task_pool == nullptr) dec->task_pool = std::make_unique<TaskPool>();
  dec->task_pool->runner = runner;
  dec->task_pool->runner_opaque = runner_opaque;
  return QOV_DEC_OK;
}

}  // namespace qov
