// Image bundle moves, colour-image installation and destruction.
#include "lib/frame/image_bundle.h"

#include <utility>

namespace qov {

ImageBundle::ImageBundle(ImageBundle&& other) noexcept {
  *this = std::move(other);
}

ImageBundle& ImageBundle::operator=(ImageBundle&& other) noexcept {
  if (this == &other) return *this;
  memory_manager = other.memory_manager;
  jpeg_data = std::move(other.jpeg_data);
  color_transform = other.color_transform;
  chroma_subsampling = other.chroma_subsampling;
  origin_x0 = other.origin_x0;
  origin_y0 = other.origin_y0;
  duration = other.duration;
  carried_bytes[0] = other.carried_bytes[0];
  carried_bytes[1] = other.carried_bytes[1];
  carried_value = other.carried_value;
  name = std::move(other.name);
  other.name.clear();
  metadata = other.metadata;
  color = std::move(other.color);
  color_encoding = std::move(other.color_encoding);
  other.color_encoding.icc.clear();
  extra_channels = std::move(other.extra_channels);
  other.extra_channels.clear();
  carried_wide = other.carried_wide;
  return *this;
}

Status ImageBundle::SetColorImage(Image3F&& image,
                                  const ColorEncoding& encoding) {
  QOV_ENSURE(image.xsize() != 0 && image.ysize() != 0);
  // A bundle without metadata (a reference slot's) has nothing to match.
  if (metadata != nullptr) {
    QOV_ENSURE(metadata->color_encoding.IsGray() == encoding.IsGray());
  }
  color = std::move(image);
  if (&encoding != &color_encoding) color_encoding = encoding;

  if (extra_channels.empty()) return OkStatus();
  uint64_t ref_xsize = color.xsize();
  uint64_t ref_ysize = color.ysize();
  if (jpeg_data != nullptr) {
    ref_xsize = jpeg_data->width;
    ref_ysize = jpeg_data->height;
  }
  QOV_ENSURE(ref_xsize != 0 && ref_ysize != 0);
  for (const PlaneF& plane : extra_channels) {
    QOV_ENSURE(plane.xsize() == ref_xsize && plane.ysize() == ref_ysize);
  }
  return OkStatus();
}

void ImageBundle::ClearPlanes() {
  color = Image3F();
  extra_channels.clear();
}

void DestroyImageBundle(std::unique_ptr<ImageBundle>& owner) { owner.reset(); }

}  // namespace qov
