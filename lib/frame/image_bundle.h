// One decoded image as the library passes it around: colour planes with
// their colour encoding, extra-channel planes, name, frame placement and
// optional JPEG reconstruction data.
#ifndef QOV_LIB_FRAME_IMAGE_BUNDLE_H_
#define QOV_LIB_FRAME_IMAGE_BUNDLE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/base/image.h"
#include "lib/base/status.h"
#include "lib/bitstream/frame_header.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/color/color_encoding.h"
#include "lib/jpeg/jpeg_data.h"
#include "qov/qov.h"

namespace qov {

class ImageBundle {
 public:
  ImageBundle() = default;
  // An empty bundle whose planes come from `manager` (not owned).
  explicit ImageBundle(const QovMemoryManagerStruct* manager,
                       const ImageMetadata* image_metadata = nullptr)
      : memory_manager(manager), metadata(image_metadata) {}
  ImageBundle(ImageBundle&& other) noexcept;
  // Copies the plain members, takes the JPEG data (destroying the target's)
  // and, unless both are the same object, moves name, profile bytes,
  // extra-channel planes and colour planes.
  ImageBundle& operator=(ImageBundle&& other) noexcept;
  ImageBundle(const ImageBundle&) = delete;
  ImageBundle& operator=(const ImageBundle&) = delete;
  // Members are destroyed in reverse order: extra channels, profile bytes,
  // colour planes (2, 1, 0), name, then the JPEG data.
  ~ImageBundle() = default;

  bool HasJpegData() const { return jpeg_data != nullptr; }
  bool HasColor() const { return color.xsize() != 0; }
  uint32_t xsize() const { return color.xsize(); }
  uint32_t ysize() const { return color.ysize(); }

  // Moves `image` in and copies `encoding` (Failed for an empty image or
  // when exactly one of the metadata's and the given encoding is grey).
  // Then, with extra channels, Failed unless each has the reference size:
  // the JPEG data's size when present, else the colour image's. A failure
  // of that last check leaves the new image and encoding in place.
  Status SetColorImage(Image3F&& image, const ColorEncoding& encoding);

  // Releases the colour planes and the extra-channel planes.
  void ClearPlanes();

  const QovMemoryManagerStruct* memory_manager = nullptr;
  std::unique_ptr<jpeg::JPEGData> jpeg_data;
  uint32_t color_transform = static_cast<uint32_t>(ColorTransformKind::kNone);
  YCbCrChromaSubsampling chroma_subsampling;
  int32_t origin_x0 = 0;
  int32_t origin_y0 = 0;
  uint32_t duration = 0;  // ticks
  // carried_bytes, carried_value and carried_wide: no decoding path sets or
  // reads them; they keep their construction values and move assignment
  // copies them.
  uint8_t carried_bytes[2] = {0, 0};
  uint32_t carried_value = 2;
  std::string name;
  const ImageMetadata* metadata = nullptr;  // not owned
  Image3F color;
  ColorEncoding color_encoding;
  std::vector<PlaneF> extra_channels;  // in metadata order
  uint64_t carried_wide = 0;
};

// Destroys a heap bundle held by unique ownership (no-op when empty).
void DestroyImageBundle(std::unique_ptr<ImageBundle>& owner);

}  // namespace qov

#endif  // QOV_LIB_FRAME_IMAGE_BUNDLE_H_
