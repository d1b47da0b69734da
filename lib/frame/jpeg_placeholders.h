// Minimal stand-in for the JPEG reconstruction record, carrying only the
// members that image bundles and frame set-up touch. JPEG reconstruction
// replaces this file with the real record; nothing here parses or writes
// JPEG data.
#ifndef QOV_LIB_FRAME_JPEG_PLACEHOLDERS_H_
#define QOV_LIB_FRAME_JPEG_PLACEHOLDERS_H_

#include <cstdint>
#include <vector>

namespace qov {
namespace jpeg {

struct JPEGComponent {
  uint32_t h_samp_factor = 1;
  uint32_t v_samp_factor = 1;
  uint32_t width_in_blocks = 0;
  uint32_t height_in_blocks = 0;
  uint32_t quant_idx = 0;
  std::vector<int16_t> coeffs;  // width x height in blocks x 64
};

struct JPEGQuantTable {
  int32_t values[64] = {};
};

struct JPEGAppSegment {
  uint32_t kind = 0;  // 1 ICC, 2 Exif, 3 XMP, other values: anything else
  std::vector<uint8_t> bytes;
};

// The description of a JPEG file carried by reconstruction data. Owned by at
// most one image bundle and destroyed through the virtual destructor.
class JPEGData {
 public:
  virtual ~JPEGData() = default;

  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<JPEGComponent> components;
  std::vector<JPEGQuantTable> quant;
  std::vector<JPEGAppSegment> app_data;
};

}  // namespace jpeg
}  // namespace qov

#endif  // QOV_LIB_FRAME_JPEG_PLACEHOLDERS_H_
