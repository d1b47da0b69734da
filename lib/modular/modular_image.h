// Integer images of modular decoding: channels of signed 32-bit samples with
// their own sizes and subsampling shifts, and the list of transforms that
// still have to be undone.
#ifndef QOV_LIB_MODULAR_MODULAR_IMAGE_H_
#define QOV_LIB_MODULAR_MODULAR_IMAGE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/image.h"
#include "lib/base/memory.h"
#include "lib/base/status.h"
#include "lib/base/task_pool.h"
#include "lib/modular/transform.h"

namespace qov {

namespace weighted {
class Header;
}  // namespace weighted

// One channel. Owns its plane; width and height always equal the plane's
// xsize and ysize once the plane is (re)made for them.
struct ModularChannel {
  PlaneI32 plane;
  uint64_t width = 0;
  uint64_t height = 0;
  // log2 of the subsampling relative to the image; -1 for a channel that is
  // not an image plane (the palette meta channel).
  int32_t hshift = 0;
  int32_t vshift = 0;
  // Image component carried by the channel; -1 when not assigned.
  int32_t component = -1;

  ModularChannel() = default;
  ModularChannel(ModularChannel&&) noexcept = default;
  ModularChannel& operator=(ModularChannel&&) noexcept = default;

  // A width x height channel (samples not initialised), component -1.
  // Failed when a size is 2^32 or more (before any allocation); otherwise
  // the allocation's status.
  static StatusOr<ModularChannel> Create(const QovMemoryManagerStruct* manager,
                                         uint64_t width, uint64_t height,
                                         int32_t hshift, int32_t vshift);

  int32_t* Row(size_t y) const { return plane.Row(y); }
  // Row stride in samples.
  size_t PixelsPerRow() const { return plane.PixelsPerRow(); }
};

// Gives `channel` a plane of its current width and height: nothing when the
// plane already has that size, else a fresh plane (contents undefined).
// Failed when a size is 2^32 or more; otherwise the allocation's status.
Status ResizeModularChannel(const QovMemoryManagerStruct* manager,
                            ModularChannel& channel);

class ModularImage {
 public:
  // The empty image: no channels, error set, bit depth 8.
  explicit ModularImage(const QovMemoryManagerStruct* manager = nullptr)
      : memory_manager(manager) {}
  ModularImage(ModularImage&& other) noexcept;
  // Copies the sizes, bit depth, meta count and error flag; unless `other`
  // is this image, takes over other's channels and transforms (other's
  // lists end empty). Keeps this image's memory manager.
  ModularImage& operator=(ModularImage&& other) noexcept;
  ModularImage(const ModularImage&) = delete;
  ModularImage& operator=(const ModularImage&) = delete;
  // Transforms are destroyed before channels.
  ~ModularImage();

  // An image of `count` width x height channels (component = index, shifts
  // 0), error clear. count <= 0 gives no channels. A failing channel
  // releases the ones made so far and its status is returned.
  static StatusOr<ModularImage> Create(const QovMemoryManagerStruct* manager,
                                       uint64_t width, uint64_t height,
                                       int32_t bit_depth, int32_t count);

  // Deep copy, with this image's memory manager.
  StatusOr<ModularImage> Clone() const;

  // Undoes the transforms last to first, each through a copy of the list's
  // last entry, which is removed only when its undo succeeded. A failure
  // sets `error` and leaves the failed transform last in the list.
  // wp_header: the weighted-predictor parameters of the group header that
  // listed the transforms (only the palette uses them).
  void RevertTransforms(const weighted::Header& wp_header,
                        const TaskPool* pool);

  std::vector<ModularChannel> channels;
  std::vector<Transform> transforms;  // in stream order; last undone first
  uint64_t width = 0;
  uint64_t height = 0;
  int32_t bit_depth = 8;
  // The first meta_channel_count channels are meta channels.
  uint64_t meta_channel_count = 0;
  // Unusable image: empty, or undoing a transform failed.
  bool error = true;
  const QovMemoryManagerStruct* memory_manager = nullptr;
};

}  // namespace qov

#endif  // QOV_LIB_MODULAR_MODULAR_IMAGE_H_
