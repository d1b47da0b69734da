// Blending of frames onto stored reference frames.
#include "lib/render/blending_stage.h"

#include <algorithm>
#include <cstring>

#include "lib/frame/frame_decoding_state.h"

namespace qov {

namespace {

struct BundleSize {
  uint64_t xsize = 0;
  uint64_t ysize = 0;
};

// JPEG data's size when present, else the colour planes', else the first
// extra channel's.
BundleSize SizeOf(const ImageBundle* image) {
  if (image == nullptr) return {};
  if (image->HasJpegData()) return {image->jpeg_data->width, image->jpeg_data->height};
  if (image->color.xsize() != 0) return {image->color.xsize(), image->color.ysize()};
  if (!image->extra_channels.empty()) {
    return {image->extra_channels[0].xsize(), image->extra_channels[0].ysize()};
  }
  return {};
}

bool IsEmpty(const ImageBundle* image) {
  const BundleSize size = SizeOf(image);
  return size.xsize == 0 || size.ysize == 0;
}

}  // namespace

bool BlendingRequired(const FrameHeader& header) {
  if (header.frame_type != static_cast<uint32_t>(FrameKind::kRegular) &&
      header.frame_type != static_cast<uint32_t>(FrameKind::kSkipProgressive)) {
    return false;
  }
  const auto replace = static_cast<uint32_t>(BlendKind::kReplace);
  if (header.blending_info.mode != replace) return true;
  for (const BlendingInfo& info : header.ec_blending_info) {
    if (info.mode != replace) return true;
  }
  return header.custom_size_or_origin;
}

CompositeMode CompositeModeOfBlend(uint32_t blend_kind) {
  switch (static_cast<BlendKind>(blend_kind)) {
    case BlendKind::kReplace: return kReplace;
    case BlendKind::kAdd: return kAdd;
    case BlendKind::kBlend: return kOverAbove;
    case BlendKind::kAlphaWeightedAdd: return kWeightedAddAbove;
    case BlendKind::kMultiply: return kMultiply;
  }
  return kKeep;
}

BlendingStage::BlendingStage(const FrameHeader& header,
                             const FrameDecodingState& state)
    : RenderPipelineStage(StageGeometry{}),
      frame_header_(&header),
      shared_state_(state.shared),
      color_blending_(header.blending_info) {
  const CodecMetadata* metadata = header.metadata;
  if (metadata == nullptr || shared_state_ == nullptr) {
    ready_ = FailedStatus();
    return;
  }
  image_xsize_ = metadata->size.Width();
  image_ysize_ = metadata->size.Height();
  extra_channel_info_ = &metadata->m.extra_channel_info;
  const size_t num_extra = extra_channel_info_->size();
  // Every slot named must exist, and each extra channel needs its record.
  bool slots_valid = color_blending_.source < kNumReferenceSlots &&
                     header.ec_blending_info.size() >= num_extra;
  for (size_t i = 0; slots_valid && i < num_extra; ++i) {
    slots_valid = header.ec_blending_info[i].source < kNumReferenceSlots;
  }
  if (!slots_valid) {
    ready_ = FailedStatus();
    return;
  }
  const ReferenceFrameSlot& slot = shared_state_->reference_slots[color_blending_.source];
  background_ = IsEmpty(slot.frame.get()) ? nullptr : slot.frame.get();

  if (background_ != nullptr) {
    if (slot.saved_before_color_transform) {
      ready_ = FailedStatus();
      return;
    }
    for (size_t i = 0; i < num_extra; ++i) {
      if (ExtraBackground(i) == nullptr) zero_row_.assign(image_xsize_, 0.0f);
    }
  } else {
    zero_row_.assign(image_xsize_, 0.0f);
  }

  // A background smaller than the image, placed elsewhere or missing a plane
  // that is read would be read out of bounds.
  auto too_small = [&](const ImageBundle* image, bool color, size_t extra) {
    if (image == nullptr) return false;
    const BundleSize size = SizeOf(image);
    if (size.xsize < image_xsize_ || size.ysize < image_ysize_ ||
        image->origin_x0 != 0 || image->origin_y0 != 0) {
      return true;
    }
    if (color) {
      return image->color.xsize() < image_xsize_ ||
             image->color.ysize() < image_ysize_;
    }
    return image->extra_channels.size() <= extra ||
           image->extra_channels[extra].xsize() < image_xsize_ ||
           image->extra_channels[extra].ysize() < image_ysize_;
  };
  bool failed = too_small(background_, true, 0);
  for (size_t i = 0; !failed && i < num_extra; ++i) {
    failed = too_small(ExtraBackground(i), false, i);
  }
  if (failed || (metadata->m.xyb_encoded && !state.output_color.output_is_source)) {
    ready_ = FailedStatus();
    return;
  }

  channel_blends_.reserve(1 + num_extra);
  auto record = [](const BlendingInfo& info) {
    return PatchChannelBlend{CompositeModeOfBlend(info.mode), info.alpha_channel,
                             info.clamp};
  };
  channel_blends_.push_back(record(color_blending_));
  for (size_t i = 0; i < num_extra; ++i) {
    channel_blends_.push_back(record(header.ec_blending_info[i]));
  }
}

const ImageBundle* BlendingStage::ExtraBackground(size_t i) const {
  const ImageBundle* image =
      shared_state_->reference_slots[frame_header_->ec_blending_info[i].source]
          .frame.get();
  return IsEmpty(image) ? nullptr : image;
}

Status BlendingStage::RenderRow(const ChannelRowSet& input_rows,
                                const ChannelRowSet& /*output_rows*/,
                                size_t extra_left, size_t extra_right,
                                size_t xsize, size_t xpos, size_t ypos,
                                size_t /*thread_id*/) const {
  QOV_RETURN_IF_ERROR(ready_);
  if (extra_left != 0 || extra_right != 0) return FailedStatus();
  const int64_t x0 = frame_header_->x0, y0 = frame_header_->y0;
  const int64_t bx = x0 + static_cast<int64_t>(xpos);
  const int64_t by = y0 + static_cast<int64_t>(ypos);
  const int64_t width = static_cast<int64_t>(image_xsize_);
  if (bx + static_cast<int64_t>(xsize) <= 0 || x0 >= width || by < 0 ||
      by >= static_cast<int64_t>(image_ysize_)) {
    return OkStatus();
  }
  const int64_t f = bx < 0 ? -bx : 0;
  const int64_t c = std::max<int64_t>(bx, 0);
  int64_t w = static_cast<int64_t>(xsize) - f;
  if (c + w > width) w = std::max<int64_t>(width - c, 0);
  if (w == 0) return OkStatus();

  const size_t num_extra = extra_channel_info_->size();
  const size_t channels = 3 + num_extra;
  if (input_rows.size() < channels) return FailedStatus();
  std::vector<const float*> background(channels);
  std::vector<float*> foreground(channels);
  const size_t row = static_cast<size_t>(by);
  for (size_t k = 0; k < channels; ++k) {
    foreground[k] = input_rows[k][0] + kRowLeadSamples + f;
    const ImageBundle* image = k < 3 ? background_ : ExtraBackground(k - 3);
    if (image == nullptr) {
      background[k] = zero_row_.data() + c;
    } else if (k < 3) {
      background[k] = image->color.PlaneRow(k, row) + c;
    } else {
      background[k] = image->extra_channels[k - 3].Row(row) + c;
    }
  }
  std::vector<const float*> foreground_in(foreground.begin(), foreground.end());
  return CompositeRows(shared_state_->memory_manager, background.data(),
                       foreground_in.data(), foreground.data(), 0,
                       static_cast<size_t>(w), channel_blends_[0],
                       channel_blends_.data() + 1, *extra_channel_info_);
}

void BlendingStage::ImageGeometry(size_t* image_xsize, size_t* image_ysize,
                                  std::pair<int32_t, int32_t>* origin) const {
  *image_xsize = image_xsize_;
  *image_ysize = image_ysize_;
  *origin = {frame_header_->x0, frame_header_->y0};
}

Status BlendingStage::RenderPaddingRow(const ChannelRowSet& output_rows,
                                       size_t xsize, size_t xpos,
                                       size_t ypos) const {
  QOV_RETURN_IF_ERROR(ready_);
  const size_t channels = 3 + extra_channel_info_->size();
  if (output_rows.size() < channels || ypos >= image_ysize_ ||
      xpos > image_xsize_ || xsize > image_xsize_ - xpos) {
    return FailedStatus();
  }
  for (size_t k = 0; k < channels; ++k) {
    float* out = output_rows[k][0] + kRowLeadSamples;
    const ImageBundle* image = k < 3 ? background_ : ExtraBackground(k - 3);
    if (image == nullptr) {
      std::fill(out, out + xsize, 0.0f);
      continue;
    }
    const float* in = k < 3 ? image->color.PlaneRow(k, ypos)
                            : image->extra_channels[k - 3].Row(ypos);
    std::memcpy(out, in + xpos, xsize * sizeof(float));
  }
  return OkStatus();
}

std::unique_ptr<RenderPipelineStage> MakeBlendingStage(
    const FrameHeader& header, const FrameDecodingState& state,
    const ColorEncoding& /*output_encoding*/) {
  return std::make_unique<BlendingStage>(header, state);
}

}  // namespace qov
