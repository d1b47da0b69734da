// Pixel output: chunking, un-premultiplying, orientation, conversion and
// delivery of rendered rows.
#include "lib/render/write_to_output_stage.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "lib/render/pixel_pack.h"
#include "lib/render/stage_factories.h"

namespace qov {

namespace {

constexpr size_t kRowBytes = kOutputChunkPixels * sizeof(float);

bool SupportedSampleType(OutputSampleType type) {
  return type == OutputSampleType::kFloat32 ||
         type == OutputSampleType::kUint8 ||
         type == OutputSampleType::kUint16 ||
         type == OutputSampleType::kFloat16;
}

OutputSink MakeSink(const PixelOutputTarget& target, uint64_t channel) {
  OutputSink sink;
  sink.callbacks = target.callbacks;
  sink.buffer = static_cast<uint8_t*>(target.buffer);
  sink.buffer_size = target.buffer_size;
  sink.stride = target.stride;
  sink.num_channels = target.format.num_channels;
  sink.swap_endianness = target.format.byte_order == ByteOrder::kBigEndian;
  sink.sample_type = target.format.data_type;
  sink.bits_per_sample = target.bits_per_sample;
  sink.channel = channel;
  return sink;
}

// 2^b - 1 for b in 1..16 (checked when the target is attached).
float IntegerScale(uint64_t bits) {
  return static_cast<float>((uint32_t{1} << (bits & 31)) - 1);
}

}  // namespace

Status CheckPixelOutputTarget(const PixelOutputTarget& target, uint64_t width,
                              uint64_t height) {
  const OutputPixelFormat& format = target.format;
  if (format.num_channels < 1 || format.num_channels > 4) return FailedStatus();
  if (!SupportedSampleType(format.data_type)) return FailedStatus();
  if (format.data_type == OutputSampleType::kUint8 &&
      (target.bits_per_sample < 1 || target.bits_per_sample > 8)) {
    return FailedStatus();
  }
  if (format.data_type == OutputSampleType::kUint16 &&
      (target.bits_per_sample < 1 || target.bits_per_sample > 16)) {
    return FailedStatus();
  }
  if (target.callbacks.run != nullptr) return OkStatus();
  if (target.buffer == nullptr) return FailedStatus();
  if (width == 0 || height == 0) return OkStatus();
  const uint64_t pixel_bytes =
      format.num_channels * BytesPerOutputSample(format.data_type);
  if (width > UINT64_MAX / pixel_bytes) return FailedStatus();
  const uint64_t row_bytes = width * pixel_bytes;
  if (target.stride < row_bytes) return FailedStatus();
  if (height - 1 > (UINT64_MAX - row_bytes) / target.stride) {
    return FailedStatus();
  }
  const uint64_t needed = (height - 1) * target.stride + row_bytes;
  if (target.buffer_size < needed) return FailedStatus();
  return OkStatus();
}

WriteToOutputStage::WriteToOutputStage(
    const PixelOutputTarget& main_target, uint64_t width, uint64_t height,
    bool has_alpha, bool unpremultiply_alpha, uint64_t alpha_channel,
    uint32_t orientation, const std::vector<PixelOutputTarget>& extra_targets,
    const QovMemoryManagerStruct* memory_manager)
    : RenderPipelineStage(StageGeometry()),
      width_(width),
      height_(height),
      main_output_(MakeSink(main_target, 0)),
      has_alpha_(has_alpha),
      unpremultiply_alpha_(unpremultiply_alpha),
      alpha_channel_(alpha_channel),
      opaque_row_(kOutputChunkPixels, 1.0f),
      memory_manager_(memory_manager),
      main_target_(main_target) {
  const uint32_t n = main_target.format.num_channels;
  num_color_channels_ = n < 3 ? 1 : 3;
  want_alpha_ = n == 2 || n == 4;
  switch (orientation) {
    case 2: flip_x_ = true; break;
    case 3: flip_x_ = flip_y_ = true; break;
    case 4: flip_y_ = true; break;
    case 5: transpose_ = true; break;
    case 6: flip_y_ = transpose_ = true; break;
    case 7: flip_x_ = flip_y_ = transpose_ = true; break;
    case 8: flip_x_ = transpose_ = true; break;
    default: break;
  }
  for (size_t k = 0; k < extra_targets.size(); ++k) {
    if (!extra_targets[k].InUse()) continue;
    extra_outputs_.push_back(MakeSink(extra_targets[k], 3 + k));
    extra_targets_.push_back(extra_targets[k]);
  }
}

WriteToOutputStage::~WriteToOutputStage() {
  if (main_output_.run_opaque != nullptr &&
      main_output_.callbacks.destroy != nullptr) {
    main_output_.callbacks.destroy(main_output_.run_opaque);
  }
  for (OutputSink& sink : extra_outputs_) {
    if (sink.run_opaque != nullptr && sink.callbacks.destroy != nullptr) {
      sink.callbacks.destroy(sink.run_opaque);
    }
  }
}

Status WriteToOutputStage::CheckReady() const {
  const uint64_t out_w = transpose_ ? height_ : width_;
  const uint64_t out_h = transpose_ ? width_ : height_;
  QOV_RETURN_IF_ERROR(CheckPixelOutputTarget(main_target_, out_w, out_h));
  for (const PixelOutputTarget& target : extra_targets_) {
    // Extra outputs share the main output's buffers and get one row each.
    if (target.format.num_channels != 1) return FailedStatus();
    QOV_RETURN_IF_ERROR(CheckPixelOutputTarget(target, out_w, out_h));
  }
  return OkStatus();
}

Status WriteToOutputStage::SetUpSink(OutputSink& sink, size_t num_threads) {
  if (sink.callbacks.run != nullptr) {
    // A handle of an earlier set-up is released before the new one is made.
    if (sink.run_opaque != nullptr) {
      if (sink.callbacks.destroy != nullptr) {
        sink.callbacks.destroy(sink.run_opaque);
      }
      sink.run_opaque = nullptr;
    }
    if (sink.callbacks.init == nullptr) return FailedStatus();
    sink.run_opaque = sink.callbacks.init(sink.callbacks.init_opaque,
                                          num_threads, kOutputChunkPixels);
    if (sink.run_opaque == nullptr) return FailedStatus();
  } else if (sink.buffer == nullptr) {
    return FailedStatus();
  }
  return OkStatus();
}

Status WriteToOutputStage::SetUpForThreads(size_t num_threads) {
  QOV_RETURN_IF_ERROR(CheckReady());
  QOV_RETURN_IF_ERROR(SetUpSink(main_output_, num_threads));
  for (OutputSink& sink : extra_outputs_) {
    QOV_RETURN_IF_ERROR(SetUpSink(sink, num_threads));
  }
  const size_t m = main_output_.num_channels;
  output_buffers_.clear();
  output_buffers_.resize(num_threads);
  for (AlignedBlock& block : output_buffers_) {
    QOV_ASSIGN_OR_RETURN(block,
                         AlignedBlock::Create(memory_manager_, m * kRowBytes));
  }
  temp_rows_.clear();
  if ((want_alpha_ && has_alpha_ && unpremultiply_alpha_) || flip_x_) {
    temp_rows_.resize(num_threads * m);
    for (AlignedBlock& block : temp_rows_) {
      QOV_ASSIGN_OR_RETURN(block,
                           AlignedBlock::Create(memory_manager_, kRowBytes));
    }
  }
  return OkStatus();
}

RowChannelMode WriteToOutputStage::ChannelModeOf(size_t c) const {
  if (c < num_color_channels_ || (has_alpha_ && c == alpha_channel_)) {
    return RowChannelMode::kReadOnly;
  }
  for (const OutputSink& sink : extra_outputs_) {
    if (sink.channel == c) return RowChannelMode::kReadOnly;
  }
  return RowChannelMode::kNotUsed;
}

Status WriteToOutputStage::RenderRow(const ChannelRowSet& input,
                                     const ChannelRowSet& /*output*/,
                                     size_t extra_left, size_t extra_right,
                                     size_t xsize, size_t xpos, size_t ypos,
                                     size_t thread_id) const {
  if (extra_left != 0 || extra_right != 0) return FailedStatus();
  if (main_output_.buffer == nullptr && main_output_.run_opaque == nullptr) {
    return FailedStatus();
  }
  if (thread_id >= output_buffers_.size()) return FailedStatus();
  if (ypos >= height_ || xpos >= width_) return OkStatus();
  const size_t count = std::min<size_t>(xsize, width_ - xpos);
  const size_t y = flip_y_ ? height_ - 1 - ypos : ypos;
  const size_t m = main_output_.num_channels;
  for (size_t o = 0; o < count; o += kOutputChunkPixels) {
    const size_t n = std::min(count - o, kOutputChunkPixels);
    const float* rows[4] = {nullptr, nullptr, nullptr, nullptr};
    for (size_t c = 0; c < num_color_channels_; ++c) {
      rows[c] = input[c][0] + kRowLeadSamples + o;
    }
    if (has_alpha_) {
      rows[num_color_channels_] = input[alpha_channel_][0] + kRowLeadSamples + o;
      if (want_alpha_ && unpremultiply_alpha_) {
        float* temp[4] = {nullptr, nullptr, nullptr, nullptr};
        for (size_t c = 0; c < m; ++c) {
          temp[c] = temp_rows_[thread_id * m + c].As<float>();
          std::memcpy(temp[c], rows[c], n * sizeof(float));
        }
        const float* alpha = temp[num_color_channels_];
        for (size_t i = 0; i < n; ++i) {
          const float r = 1.0f / std::max(alpha[i], 1.4901161e-08f);
          for (size_t c = 0; c < num_color_channels_; ++c) temp[c][i] *= r;
        }
        for (size_t c = 0; c < m; ++c) rows[c] = temp[c];
      }
    } else {
      rows[num_color_channels_] = opaque_row_.data();
    }
    QOV_RETURN_IF_ERROR(
        WriteOutputRow(main_output_, thread_id, y, xpos + o, n, rows));
    for (const OutputSink& sink : extra_outputs_) {
      const float* extra_rows[4] = {
          input[sink.channel][0] + kRowLeadSamples + o, nullptr, nullptr,
          nullptr};
      QOV_RETURN_IF_ERROR(
          WriteOutputRow(sink, thread_id, y, xpos + o, n, extra_rows));
    }
  }
  return OkStatus();
}

Status WriteToOutputStage::WriteOutputRow(const OutputSink& sink,
                                          size_t thread_id, size_t y, size_t x,
                                          size_t n, const float** rows) const {
  const size_t nc = sink.num_channels;
  const size_t m = main_output_.num_channels;
  if (nc < 1 || nc > m || n > kOutputChunkPixels) return FailedStatus();
  if (flip_x_) {
    for (size_t i = 0; i < nc; ++i) {
      float* t = temp_rows_[thread_id * m + i].As<float>();
      if (rows[i] != t) std::memcpy(t, rows[i], n * sizeof(float));
      std::reverse(t, t + n);
      rows[i] = t;
    }
    x = width_ - x - n;
  }
  uint8_t* out = output_buffers_[thread_id].data();
  size_t bytes_per_sample = 0;
  switch (sink.sample_type) {
    case OutputSampleType::kFloat32:
      InterleaveFloat32(rows, nc, n, reinterpret_cast<float*>(out));
      if (sink.swap_endianness) {
        SwapBytes32(reinterpret_cast<uint32_t*>(out), n * nc);
      }
      bytes_per_sample = 4;
      break;
    case OutputSampleType::kUint8:
      PackUint8Dithered(rows, nc, n, IntegerScale(sink.bits_per_sample), x, y,
                        out);
      bytes_per_sample = 1;
      break;
    case OutputSampleType::kUint16:
      PackUint16(rows, nc, n, IntegerScale(sink.bits_per_sample),
                 reinterpret_cast<uint16_t*>(out));
      if (sink.swap_endianness) {
        SwapBytes16(reinterpret_cast<uint16_t*>(out), n * nc);
      }
      bytes_per_sample = 2;
      break;
    case OutputSampleType::kFloat16:
      PackFloat16(rows, nc, n, reinterpret_cast<uint16_t*>(out));
      if (sink.swap_endianness) {
        SwapBytes16(reinterpret_cast<uint16_t*>(out), n * nc);
      }
      bytes_per_sample = 2;
      break;
    default:
      // Refused when the target is checked; never delivered silently.
      return FailedStatus();
  }
  const size_t p = bytes_per_sample * nc;
  if (!transpose_) {
    if (sink.run_opaque != nullptr) {
      sink.callbacks.run(sink.run_opaque, thread_id, x, y, n, out);
    } else {
      std::memcpy(sink.buffer + y * sink.stride + x * p, out, n * p);
    }
  } else {
    for (size_t i = 0; i < n; ++i) {
      if (sink.run_opaque != nullptr) {
        sink.callbacks.run(sink.run_opaque, thread_id, y, x + i, 1,
                           out + i * p);
      } else {
        std::memcpy(sink.buffer + (x + i) * sink.stride + y * p, out + i * p,
                    p);
      }
    }
  }
  return OkStatus();
}

std::unique_ptr<RenderPipelineStage> MakeWriteToOutputStage(
    const PixelOutputTarget& main_target, uint64_t width, uint64_t height,
    bool has_alpha, bool unpremultiply_alpha, uint64_t alpha_channel,
    uint32_t orientation, const std::vector<PixelOutputTarget>& extra_targets,
    const QovMemoryManagerStruct* memory_manager) {
  return std::make_unique<WriteToOutputStage>(
      main_target, width, height, has_alpha, unpremultiply_alpha,
      alpha_channel, orientation, extra_targets, memory_manager);
}

}  // namespace qov
