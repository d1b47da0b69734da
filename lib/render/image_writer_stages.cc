// Stages that end a pipeline by copying the rendered float rows into images
// the decoder keeps: an image bundle (colour and extra channels) or a
// three-plane DC-frame image.
#include <algorithm>
#include <cstring>
#include <utility>

#include "lib/frame/image_bundle.h"
#include "lib/render/stage_factories.h"

namespace qov {

namespace {

void CopySpan(const float* row, size_t xsize, float* dest) {
  std::memcpy(dest, row + kRowLeadSamples, xsize * sizeof(float));
}

class WriteToImageBundleStage : public RenderPipelineStage {
 public:
  WriteToImageBundleStage(ImageBundle* bundle, const ColorEncoding& encoding)
      : RenderPipelineStage(StageGeometry()),
        image_bundle_(bundle),
        color_encoding_(encoding) {}

  Status AcceptInputSizes(const ChannelSizes& sizes) override {
    const size_t n = sizes.size();
    if (n < 3) return FailedStatus();
    // Channels past the image's own extra channels (the noise planes) stay
    // out of the bundle.
    size_t kept = n;
    if (image_bundle_->metadata != nullptr) {
      kept = std::min(
          n, 3 + image_bundle_->metadata->extra_channel_info.size());
    }
    for (size_t c = 1; c < kept; ++c) {
      if (sizes[c] != sizes[0]) return FailedStatus();
    }
    QOV_ASSIGN_OR_RETURN(
        Image3F image, Image3F::Create(image_bundle_->memory_manager,
                                       sizes[0].first, sizes[0].second));
    QOV_RETURN_IF_ERROR(
        image_bundle_->SetColorImage(std::move(image), color_encoding_));
    image_bundle_->extra_channels.clear();
    for (size_t c = 3; c < kept; ++c) {
      QOV_ASSIGN_OR_RETURN(
          PlaneF plane, PlaneF::Create(image_bundle_->memory_manager,
                                       sizes[c].first, sizes[c].second, 0));
      image_bundle_->extra_channels.push_back(std::move(plane));
    }
    return OkStatus();
  }

  Status RenderRow(const ChannelRowSet& input, const ChannelRowSet& /*output*/,
                   size_t extra_left, size_t extra_right, size_t xsize,
                   size_t xpos, size_t ypos,
                   size_t /*thread_id*/) const override {
    if (extra_left != 0 || extra_right != 0) return FailedStatus();
    for (size_t c = 0; c < 3; ++c) {
      CopySpan(input[c][0], xsize,
               image_bundle_->color.PlaneRow(c, ypos) + xpos);
    }
    for (size_t p = 0; p < image_bundle_->extra_channels.size(); ++p) {
      const PlaneF& plane = image_bundle_->extra_channels[p];
      if (xpos + xsize > plane.xsize() || 3 + p >= input.size()) {
        return FailedStatus();
      }
      CopySpan(input[3 + p][0], xsize, plane.Row(ypos) + xpos);
    }
    return OkStatus();
  }

  RowChannelMode ChannelModeOf(size_t /*c*/) const override {
    return RowChannelMode::kReadOnly;
  }
  const char* StageName() const override { return "WriteIB"; }

 private:
  ImageBundle* image_bundle_;
  ColorEncoding color_encoding_;
};

class WriteToImage3FStage : public RenderPipelineStage {
 public:
  WriteToImage3FStage(const QovMemoryManagerStruct* manager, Image3F* image)
      : RenderPipelineStage(StageGeometry()),
        memory_manager_(manager),
        image_(image) {}

  Status AcceptInputSizes(const ChannelSizes& sizes) override {
    if (sizes.size() < 3 || sizes[1] != sizes[0] || sizes[2] != sizes[0]) {
      return FailedStatus();
    }
    QOV_ASSIGN_OR_RETURN(Image3F image,
                         Image3F::Create(memory_manager_, sizes[0].first,
                                         sizes[0].second));
    *image_ = std::move(image);
    return OkStatus();
  }

  Status RenderRow(const ChannelRowSet& input, const ChannelRowSet& /*output*/,
                   size_t extra_left, size_t extra_right, size_t xsize,
                   size_t xpos, size_t ypos,
                   size_t /*thread_id*/) const override {
    if (extra_left != 0 || extra_right != 0) return FailedStatus();
    for (size_t c = 0; c < 3; ++c) {
      CopySpan(input[c][0], xsize, image_->PlaneRow(c, ypos) + xpos);
    }
    return OkStatus();
  }

  RowChannelMode ChannelModeOf(size_t c) const override {
    return c < 3 ? RowChannelMode::kReadOnly : RowChannelMode::kNotUsed;
  }
  const char* StageName() const override { return "WriteI3F"; }

 private:
  const QovMemoryManagerStruct* memory_manager_;
  Image3F* image_;
};

}  // namespace

std::unique_ptr<RenderPipelineStage> MakeWriteToImageBundleStage(
    ImageBundle* bundle, const ColorEncoding& encoding) {
  return std::make_unique<WriteToImageBundleStage>(bundle, encoding);
}

std::unique_ptr<RenderPipelineStage> MakeWriteToImage3FStage(
    const QovMemoryManagerStruct* memory_manager, Image3F* image) {
  return std::make_unique<WriteToImage3FStage>(memory_manager, image);
}

}  // namespace qov
