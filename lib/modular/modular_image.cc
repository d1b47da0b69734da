// Modular channels and images: creation, deep copy, moves and the undo loop
// over the image's transform list.
#include "lib/modular/modular_image.h"

#include <cstring>
#include <utility>

namespace qov {

StatusOr<ModularChannel> ModularChannel::Create(
    const QovMemoryManagerStruct* manager, uint64_t width, uint64_t height,
    int32_t hshift, int32_t vshift) {
  if (width > UINT32_MAX || height > UINT32_MAX) return FailedStatus();
  ModularChannel channel;
  channel.plane = PlaneI32(static_cast<uint32_t>(width),
                           static_cast<uint32_t>(height));
  QOV_RETURN_IF_ERROR(channel.plane.Allocate(manager, 0));
  channel.width = width;
  channel.height = height;
  channel.hshift = hshift;
  channel.vshift = vshift;
  channel.component = -1;
  return StatusOr<ModularChannel>(std::move(channel));
}

Status ResizeModularChannel(const QovMemoryManagerStruct* manager,
                            ModularChannel& channel) {
  if (channel.plane.xsize() == channel.width &&
      channel.plane.ysize() == channel.height) {
    return OkStatus();
  }
  QOV_ASSIGN_OR_RETURN(PlaneI32 plane,
                       PlaneI32::Create(manager, channel.width, channel.height));
  channel.plane = std::move(plane);
  return OkStatus();
}

ModularImage::ModularImage(ModularImage&& other) noexcept
    : channels(std::move(other.channels)),
      transforms(std::move(other.transforms)),
      width(other.width),
      height(other.height),
      bit_depth(other.bit_depth),
      meta_channel_count(other.meta_channel_count),
      error(other.error),
      memory_manager(other.memory_manager) {
  other.channels.clear();
  other.transforms.clear();
}

ModularImage& ModularImage::operator=(ModularImage&& other) noexcept {
  width = other.width;
  height = other.height;
  bit_depth = other.bit_depth;
  meta_channel_count = other.meta_channel_count;
  error = other.error;
  if (this != &other) {
    transforms.clear();
    channels.clear();
    channels = std::move(other.channels);
    transforms = std::move(other.transforms);
    other.channels.clear();
    other.transforms.clear();
  }
  return *this;
}

ModularImage::~ModularImage() {
  transforms.clear();
  channels.clear();
}

StatusOr<ModularImage> ModularImage::Create(
    const QovMemoryManagerStruct* manager, uint64_t width, uint64_t height,
    int32_t bit_depth, int32_t count) {
  ModularImage image(manager);
  image.width = width;
  image.height = height;
  image.bit_depth = bit_depth;
  image.error = false;
  if (count > 0) image.channels.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    QOV_ASSIGN_OR_RETURN(ModularChannel channel,
                         ModularChannel::Create(manager, width, height, 0, 0));
    channel.component = i;
    image.channels.push_back(std::move(channel));
  }
  return StatusOr<ModularImage>(std::move(image));
}

StatusOr<ModularImage> ModularImage::Clone() const {
  ModularImage copy(memory_manager);
  copy.transforms = transforms;
  copy.channels.reserve(channels.size());
  for (const ModularChannel& source : channels) {
    QOV_ASSIGN_OR_RETURN(
        ModularChannel channel,
        ModularChannel::Create(memory_manager, source.width, source.height,
                               source.hshift, source.vshift));
    if (channel.plane.xsize() != source.plane.xsize() ||
        channel.plane.ysize() != source.plane.ysize()) {
      return FailedStatus();
    }
    const size_t xsize = channel.plane.xsize();
    const size_t ysize = channel.plane.ysize();
    if (xsize != 0 && ysize != 0) {
      for (size_t y = 0; y < ysize; ++y) {
        std::memcpy(channel.Row(y), source.Row(y), xsize * sizeof(int32_t));
      }
    }
    channel.component = source.component;
    copy.channels.push_back(std::move(channel));
  }
  copy.width = width;
  copy.height = height;
  copy.bit_depth = bit_depth;
  copy.meta_channel_count = meta_channel_count;
  copy.error = error;
  return StatusOr<ModularImage>(std::move(copy));
}

void ModularImage::RevertTransforms(const weighted::Header& wp_header,
                                    const TaskPool* pool) {
  while (!transforms.empty()) {
    // The undo works on a copy: nothing it does to the transform reaches
    // the list.
    const Transform last = transforms.back();
    if (!last.Undo(*this, wp_header, pool).ok()) {
      error = true;
      return;
    }
    transforms.pop_back();
  }
}

}  // namespace qov
