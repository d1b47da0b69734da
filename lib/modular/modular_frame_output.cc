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

}  // namespace

Status ModularFrameReader::CopyChannelsToOutput(const FrameHeader& header,
                                                ModularImage& image,
                                                const FrameDecodingState* state,
                                                GroupRenderInput& input,
                                                const PixelRect& rect) {
  QOV_ENSURE(image.transforms.empty());
  QOV_ENSURE(header.metadata != nullptr);
  const ImageMetadata& m = header.metadata->m;
  const int32_t full_depth = image.bit_depth;
  size_t next = 0;
  if (decode_color) {
    const bool xyb =
        header.color_transform == static_cast<uint32_t>(ColorTransformKind::kXyb);
    const bool grey_to_rgb =
        header.color_transform ==
            static_cast<uint32_t>(ColorTransformKind::kNone) &&
        m.color_encoding.IsGray();
    const bool float_samples = !xyb && m.bit_depth.floating_point_sample;
    const int32_t bits = static_cast<int32_t>(m.bit_depth.bits_per_sample);
    const int32_t exp_bits =
        static_cast<int32_t>(m.bit_depth.exponent_bits_per_sample);
    if (xyb) QOV_ENSURE(state != nullptr);
    static constexpr size_t kXybSource[3] = {1, 0, 2};
    for (size_t c = 0; c < 3; ++c) {
      double factor = full_depth < 32
                          ? 1.0 / (static_cast<double>(uint64_t{1} << full_depth) - 1.0)
                          : 0.0;
      size_t k = c;
      if (xyb) {
        k = kXybSource[c];
        factor = state->dequant.dc_steps[c];
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
      const float float_factor = static_cast<float>(factor);
      for (uint64_t y = 0; y < r.ysize; ++y) {
        const int32_t* in = channel.Row(src.y0 + y) + src.x0;
        float* row = out->Row(y);
        if (y_channel != nullptr) {
          ScaleIntSumRow(r.xsize, in, y_channel->Row(src.y0 + y) + src.x0,
                         float_factor, row);
          continue;
        }
        if (float_samples) {
          QOV_RETURN_IF_ERROR(
              ConvertIntSampleToFloat(in, row, r.xsize, bits, exp_bits));
          if (grey_to_rgb) {
            std::memcpy(out1->Row(y), row, r.xsize * sizeof(float));
            std::memcpy(out2->Row(y), row, r.xsize * sizeof(float));
          }
        } else if (full_depth < 23) {
          if (grey_to_rgb) {
            ScaleIntRowToRgb(r.xsize, in, float_factor, row, out1->Row(y),
                             out2->Row(y));
          } else {
            ScaleIntRow(r.xsize, in, float_factor, row);
          }
        } else {
          ScaleIntRowDouble(r.xsize, in, factor, row);
          if (grey_to_rgb) {
            std::memcpy(out1->Row(y), row, r.xsize * sizeof(float));
            std::memcpy(out2->Row(y), row, r.xsize * sizeof(float));
          }
        }
      }
      if (grey_to_rgb) break;
    }
    next = grey_to_rgb ? 1 : 3;
  }

  for (size_t e = 0; e < m.extra_channel_info.size(); ++e, ++next) {
    const BitDepth& depth = m.extra_channel_info[e].bit_depth;
    const int32_t bits = static_cast<int32_t>(depth.bits_per_sample);
    const int32_t exp_bits = static_cast<int32_t>(depth.exponent_bits_per_sample);
    const bool is_float = depth.floating_point_sample;
    if (!is_float && (bits > 31 || bits < 1)) return FailedStatus();
    QOV_ENSURE(next < image.channels.size());
    const ModularChannel& channel = image.channels[next];
    QOV_ENSURE(UsableShifts(channel));
    const double factor =
        is_float ? 0.0
                 : 1.0 / (static_cast<double>(uint64_t{1} << bits) - 1.0);
    const GroupBuffer* out = Buffer(input, 3 + e);
    QOV_ENSURE(out != nullptr);
    const PixelRect& r = out->rect;
    const PixelRect src = SourcePart(rect, channel);
    QOV_ENSURE(SameSize(r, src));
    for (uint64_t y = 0; y < r.ysize; ++y) {
      const int32_t* in = channel.Row(src.y0 + y) + src.x0;
      float* row = out->Row(y);
      if (is_float) {
        QOV_RETURN_IF_ERROR(
            ConvertIntSampleToFloat(in, row, r.xsize, bits, exp_bits));
      } else if (full_depth < 23) {
        ScaleIntRow(r.xsize, in, static_cast<float>(factor), row);
      } else {
        ScaleIntRowDouble(r.xsize, in, factor, row);
      }
    }
  }
  return OkStatus();
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
  const uint64_t across = std::max<uint64_t>(frame_geometry.xsize_groups, 1);
  return RunOnPool(
      pool, static_cast<uint32_t>(num_groups),
      [&](size_t threads) -> Status {
        return pipeline->SetUpThreads(threads, use_group_ids);
      },
      [&](uint32_t k, size_t thread) -> Status {
        GroupRenderInput input = pipeline->OpenGroupInput(k, thread);
        PixelRect rect;
        rect.x0 = (k % across) * group_dim;
        rect.y0 = (k / across) * group_dim;
        rect.xsize = rect.x0 < frame_geometry.xsize
                         ? std::min(group_dim, frame_geometry.xsize - rect.x0)
                         : 0;
        rect.ysize = rect.y0 < frame_geometry.ysize
                         ? std::min(group_dim, frame_geometry.ysize - rect.y0)
                         : 0;
        QOV_RETURN_IF_ERROR(CopyChannelsToOutput(header, g, state, input, rect));
        return input.Submit();
      });
}

}  // namespace qov
