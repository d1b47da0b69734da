// Row strides of pixel outputs and the attachment of the main output.
#include "lib/frame/pixel_output.h"

#include <utility>

#include "lib/frame/frame_driver.h"

namespace qov {

uint64_t BytesPerOutputSample(OutputSampleType type) {
  switch (type) {
    case OutputSampleType::kUint8:
      return 1;
    case OutputSampleType::kFloat32:
      return 4;
    default:
      return 2;
  }
}

StatusOr<uint64_t> OutputRowStride(const OutputPixelFormat& format,
                                   uint64_t xsize) {
  uint64_t row_bytes = 0;
  if (format.num_channels != 0 && xsize != 0) {
    const uint64_t pixel_bytes =
        format.num_channels * BytesPerOutputSample(format.data_type);
    if (xsize > UINT64_MAX / pixel_bytes) return FailedStatus();
    row_bytes = xsize * pixel_bytes;
  }
  const uint64_t align = format.row_alignment;
  if (align > 1 && row_bytes % align != 0) {
    const uint64_t pad = align - row_bytes % align;
    if (row_bytes > UINT64_MAX - pad) return FailedStatus();
    row_bytes += pad;
  }
  return row_bytes;
}

Status FrameDriver::AttachPixelOutput(
    const PixelRowCallbacks& callbacks, void* buffer, uint64_t buffer_size,
    uint64_t xsize, uint64_t ysize, const OutputPixelFormat& format,
    uint64_t bits_per_sample, bool unpremultiply, bool undo_orientation) {
  QOV_ENSURE(frame_state != nullptr && decoded != nullptr &&
             decoded->metadata != nullptr);
  const ImageMetadata& metadata = *decoded->metadata;
  FrameDecodingState& state = *frame_state;
  state.output_width = xsize;
  state.output_height = ysize;
  PixelOutputTarget& out = state.main_output;
  out.format = format;
  out.bits_per_sample = bits_per_sample;
  out.callbacks = callbacks;
  out.buffer = buffer;
  out.buffer_size = buffer_size;
  QOV_ASSIGN_OR_RETURN(out.stride, OutputRowStride(format, xsize));

  // Only the first alpha channel decides.
  for (const ExtraChannelInfo& info : metadata.extra_channel_info) {
    if (info.type != static_cast<uint32_t>(ExtraChannelKind::kAlpha)) continue;
    if (unpremultiply && info.alpha_associated)
      state.unpremultiply_alpha = true;
    break;
  }

  if (undo_orientation) {
    state.undo_orientation = static_cast<int32_t>(metadata.orientation);
    if (metadata.orientation >= 5 && metadata.orientation <= 8) {
      std::swap(state.output_width, state.output_height);
    }
  }
  state.extra_outputs.clear();
  return OkStatus();
}

}  // namespace qov
