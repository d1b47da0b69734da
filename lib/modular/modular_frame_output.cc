// The modular frame reader's hand-over to the render pipeline: conversion
// of integer channels into a group's float planes, and the flush of the
// full image at the end of the frame.
#include <algorithm>
#include <cstring>
#include <utility>

#include "lib/base/bits.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/modular/modular_frame.h"
#include "lib/modular/modular_output.h"
#include "lib/render/render_pipeline.h"

namespace qov {

namespace {

// The source part of `rect` in channel `channel` (shift at most 3), cut to
// its plane.
PixelRect SourcePart(const PixelRect& rect, const ModularChannel& channel) {
  PixelRect m;
  m.x0 = rect.x0 >> channel.hshift;
  m.y0 = rect.y0 >> channel.vshift;
  const uint64_t xsize = DivCeilShift(rect.xsize, channel.hshift);
  const uint64_t ysize = DivCeilShift(rect.ysize, channel.vshift);
  m.xsize = m.x0 >= channel.width ? 0 : std::min(xsize, channel.width - m.x0);
  m.ysize = m.y0 >= channel.height ? 0 : std::min(ysize, channel.height - m.y0);
  return m;
}

bool UsableShifts(const ModularChannel& channel) {
  return channel.hshift >= 0 && channel.hshift <= 3 && channel.vshift >= 0 &&
         channel.vshift <= 3;
}

bool SameSize(const PixelRect& a, const PixelRect& b) {
  return a.xsize == b.xsize && a.ysize == b.ysize;
}

// The buffer of pipeline channel c, when the input has it and its
// rectangle lies inside its plane.
const GroupBuffer* Buffer(const GroupRenderInput& input, size_t c) {
  if (c >= input.buffers.size()) return nullptr;
  const GroupBuffer& buffer = input.buffers[c];
  if (buffer.plane == nullptr) return nullptr;
  if (buffer.rect.xsize == 0 || buffer.rect.ysize == 0) return &buffer;
  if (buffer.rect.x0 + buffer.rect.xsize > buffer.plane->xsize() ||
      buffer.rect.y0 + buffer.rect.ysize > buffer.plane->ysize()) {
    return nullptr;
  }
  return &buffer;
}

// How one channel's integer samples become floats: bit patterns of
// floating-point samples, or a scale by `factor` (in single precision below
// a full depth of 23 bits, in double precision from there on).
struct RowConversion {
  bool float_samples = false;
  int32_t bits = 0;
  int32_t exp_bits = 0;
  bool use_double = false;
  double factor = 0.0;
};

// Writes the rows of `src` in `channel` as floats into `out`'s rectangle:
// for a grey image shown as RGB also into `also1` and `also2`; for XYB's B
// channel the Y channel's samples are added before the scale.
Status ConvertChannelRows(const RowConversion& conv, const ModularChannel& channel,
                          const PixelRect& src, const GroupBuffer& out,
                          const GroupBuffer* also1, const GroupBuffer* also2,
                          const ModularChannel* y_channel) {
  const PixelRect& r = out.rect;
  const float float_factor = static_cast<float>(conv.factor);
  for (uint64_t y = 0; y < r.ysize; ++y) {
    const int32_t* in = channel.Row(src.y0 + y) + src.x0;
    float* row = out.Row(y);
    if (y_channel != nullptr) {
      ScaleIntSumRow(r.xsize, in, y_channel->Row(src.y0 + y) + src.x0,
                     float_factor, row);
      continue;
    }
    if (conv.float_samples) {
      QOV_RETURN_IF_ERROR(
          ConvertIntSampleToFloat(in, row, r.xsize, conv.bits, conv.exp_bits));
    } else if (!conv.use_double) {
      if (also1 != nullptr) {
        ScaleIntRowToRgb(r.xsize, in, float_factor, row, also1->Row(y),
                         also2->Row(y));
        continue;
      }
      ScaleIntRow(r.xsize, in, float_factor, row);
    } else {
      ScaleIntRowDouble(r.xsize, in, conv.factor, row);
    }
    if (also1 != nullptr) {
      std::memcpy(also1->Row(y), row, r.xsize * sizeof(float));
      std::memcpy(also2->Row(y), row, r.xsize * sizeof(float));
    }
  }
  return OkStatus();
}

// The colour channels of `image` into pipeline channels 0-2 (XYB: from
// channels Y, X, B with the DC steps as factors; grey shown as RGB: one
// channel into all three). *next: the first image channel after them.
Status CopyColorChannels(const FrameHeader& header, const ModularImage& image,
                         const FrameDecodingState* state,
                         const GroupRenderInput& input, const PixelRect& rect,
                         size_t* next) {
  const ImageMetadata& m = header.metadata->m;
  const int32_t full_depth = image.bit_depth;
  const bool xyb =
      header.color_transform == static_cast<uint32_t>(ColorTransformKind::kXyb);
  const bool grey_to_rgb =
      header.color_transform == static_cast<uint32_t>(ColorTransformKind::kNone) &&
      m.color_encoding.IsGray();
  RowConversion conv;
  conv.float_samples = !xyb && m.bit_depth.floating_point_sample;
  conv.bits = static_cast<int32_t>(m.bit_depth.bits_per_sample);
  conv.exp_bits = static_cast<int32_t>(m.bit_depth.exponent_bits_per_sample);
  conv.use_double = full_depth >= 23;
  if (xyb) QOV_ENSURE(state != nullptr);
  static constexpr size_t kXybSource[3] = {1, 0, 2};
  for (size_t c = 0; c < 3; ++c) {
    conv.factor = full_depth < 32
                      ? 1.0 / (static_cast<double>(uint64_t{1} << full_depth) - 1.0)
                      : 0.0;
    size_t k = c;
    if (xyb) {
      k = kXybSource[c];
      conv.factor = state->dequant.dc_steps[c];
    }
    QOV_ENSURE(k < image.channels.size());
    const ModularChannel& channel = image.channels[k];
    QOV_ENSURE(channel.width != 0 && channel.height != 0);
    QOV_ENSURE(UsableShifts(channel));
    const GroupBuffer* out = Buffer(input, c);
    QOV_ENSURE(out != nullptr);
    const PixelRect& r = out->rect;
    const PixelRect src = SourcePart(rect, channel);
    QOV_ENSURE(SameSize(r, src));
    const GroupBuffer* out1 = nullptr;
    const GroupBuffer* out2 = nullptr;
    if (grey_to_rgb) {
      out1 = Buffer(input, 1);
      out2 = Buffer(input, 2);
      QOV_ENSURE(out1 != nullptr && out2 != nullptr &&
                 SameSize(out1->rect, r) && SameSize(out2->rect, r));
    }
    const ModularChannel* y_channel = nullptr;
    if (xyb && c == 2) {
      y_channel = &image.channels[0];
      QOV_ENSURE(y_channel->plane.xsize() >= src.x0 + src.xsize &&
                 y_channel->plane.ysize() >= src.y0 + src.ysize);
    }
    QOV_RETURN_IF_ERROR(
        ConvertChannelRows(conv, channel, src, *out, out1, out2, y_channel));
    if (grey_to_rgb) break;
  }
  *next = grey_to_rgb ? 1 : 3;
  return OkStatus();
}

// The extra channels, image channels from `next` on, into pipeline
// channels 3 and up.
Status CopyExtraChannels(const ImageMetadata& m, const ModularImage& image,
                         const GroupRenderInput& input, const PixelRect& rect,
                         size_t next) {
  for (size_t e = 0; e < m.extra_channel_info.size(); ++e, ++next) {
    const BitDepth& depth = m.extra_channel_info[e].bit_depth;
    RowConversion conv;
    conv.bits = static_cast<int32_t>(depth.bits_per_sample);
    conv.exp_bits = static_cast<int32_t>(depth.exponent_bits_per_sample);
    conv.float_samples = depth.floating_point_sample;
    conv.use_double = image.bit_depth >= 23;
    if (!conv.float_samples && (conv.bits > 31 || conv.bits < 1)) return FailedStatus();
    QOV_ENSURE(next < image.channels.size());
    const ModularChannel& channel = image.channels[next];
    QOV_ENSURE(UsableShifts(channel));
    conv.factor = conv.float_samples
                      ? 0.0
                      : 1.0 / (static_cast<double>(uint64_t{1} << conv.bits) - 1.0);
    const GroupBuffer* out = Buffer(input, 3 + e);
    QOV_ENSURE(out != nullptr);
    const PixelRect src = SourcePart(rect, channel);
    QOV_ENSURE(SameSize(out->rect, src));
    QOV_RETURN_IF_ERROR(
        ConvertChannelRows(conv, channel, src, *out, nullptr, nullptr, nullptr));
  }
  return OkStatus();
}

}  // namespace

Status ModularFrameReader::CopyChannelsToOutput(const FrameHeader& header,
                                                ModularImage& image,
                                                const FrameDecodingState* state,
                                                GroupRenderInput& input,
                                                const PixelRect& rect) {
  QOV_ENSURE(image.transforms.empty());
  QOV_ENSURE(header.metadata != nullptr);
  size_t next = 0;
  if (decode_color) {
    QOV_RETURN_IF_ERROR(CopyColorChannels(header, image, state, input, rect, &next));
  }
  return CopyExtraChannels(header.metadata->m, image, input, rect, next);
}

Status ModularFrameReader::FlushToPipeline(const FrameHeader& header,
                                           FrameDecodingState* state,
                                           const TaskPool* pool,
                                           bool in_place) {
  if (!use_full_image) return OkStatus();
  QOV_ENSURE(state != nullptr);
  ModularImage g(memory_manager);
  if (in_place) {
    g = std::move(full_image);
  } else {
    QOV_ASSIGN_OR_RETURN(g, full_image.Clone());
  }
  const uint64_t group_dim = frame_geometry.group_dim;
  if (g.width * g.height < group_dim * group_dim) pool = nullptr;
  // A lone global RCT moved out of the list is undone last, as it would
  // have been from the list (this happens when the full image is kept for
  // channels that the DC groups decoded).
  for (Transform& transform : global_transforms) {
    g.transforms.insert(g.transforms.begin(), std::move(transform));
  }
  global_transforms.clear();
  g.RevertTransforms(global_header.wp_header, pool);
  QOV_ENSURE(!g.error);

  RenderPipeline* pipeline = state->render_pipeline.get();
  QOV_ENSURE(pipeline != nullptr);
  const uint64_t num_groups = frame_geometry.num_groups;
  for (uint64_t k = 0; k < num_groups; ++k) pipeline->ForgetGroup(k);
  QOV_ENSURE(num_groups <= UINT32_MAX);
  const bool use_group_ids =
      !IsModular(header) ||
      (header.flags & FrameFlags::kNoise) != 0;
  return RunOnPool(
      pool, static_cast<uint32_t>(num_groups),
      [&](size_t threads) -> Status {
        return pipeline->SetUpThreads(threads, use_group_ids);
      },
      [&](uint32_t k, size_t thread) -> Status {
        GroupRenderInput input = pipeline->OpenGroupInput(k, thread);
        QOV_RETURN_IF_ERROR(CopyChannelsToOutput(header, g, state, input,
                                                 frame_geometry.GroupRect(k)));
        return input.Submit();
      });
}

}  // namespace qov
