// The JPEG coefficient path of VarDCT group decoding: when a JPEG file is
// rebuilt from a frame, each 8x8 block's quantised coefficients go, with an
// integer chroma from luma and the DC from the DC image, into the
// coefficient arrays of the JPEG components instead of being dequantised.
#ifndef QOV_LIB_VARDCT_JPEG_COEFFICIENTS_H_
#define QOV_LIB_VARDCT_JPEG_COEFFICIENTS_H_

#include <cstddef>
#include <cstdint>

#include "lib/base/status.h"
#include "lib/vardct/chroma_from_luma.h"
#include "lib/vardct/dequant_tables.h"
#include "lib/vardct/varblock.h"

namespace qov {

// The first dequantisation spec of the frame (the 8x8 DCT's), as the JPEG
// path checks it. `present` is false when the frame has no spec list.
struct JpegQuantSource {
  bool present = false;
  uint32_t mode = 0;          // 7: raw table
  float denominator = 0.0f;
  const int32_t* raw = nullptr;  // X 0-63, Y 64-127, B 128-191, natural order
  size_t raw_size = 0;
};

// The 8x8 DCT spec of a frame's table set.
JpegQuantSource JpegQuantSourceOf(const DequantTableSet& tables);

// Integer tables built once per group call.
struct JpegCoefficientPath {
  int32_t ratio_x[64];  // (Y << 11) / X, transposed (coefficient 8r+k at 8k+r)
  int32_t ratio_b[64];
  int32_t dc_offset[3];   // X, Y, B
  size_t component[3];    // JPEG component index of X, Y, B
  bool single_component;
};

// Checks that the frame can be rebuilt as a JPEG file and builds the
// tables. Failed unless the chroma-from-luma map holds colour factor 84,
// base correlations 0 and DC values 0; the colour transform is not XYB (0);
// the first spec is raw (mode 7) with denominator 1/2040 within 1e-8 and 192
// entries, each in 1..65535; and there are 1 or 3 components.
Status PrepareJpegCoefficientPath(const ChromaFromLumaMap& cfl,
                                  uint32_t color_transform,
                                  const JpegQuantSource& quant,
                                  size_t num_components,
                                  JpegCoefficientPath* out);

// Transposes an 8x8 block in place.
void StoreJpegBlockTransposed(int32_t block[64]);

// One JPEG component's coefficients: 64 per block, blocks row by row.
struct JpegComponentCoefficients {
  int16_t* data = nullptr;
  size_t size = 0;  // entries
  size_t width_in_blocks = 0;
};

// One varblock of the group, as the JPEG block step needs it.
struct JpegBlock {
  VarBlockKind kind = VarBlockKind::Dct8By8;
  int32_t* coefficients[3] = {};  // X, Y, B: 64 quantised values, transposed
                                  // in place
  bool on_grid[3] = {true, true, true};
  size_t column[3] = {};  // the block's position in each channel's component
  size_t row[3] = {};
  float dc[3] = {};       // the channel's DC sample of the block
  bool subsampled = false;  // any channel subsampled: no chroma from luma
  int32_t tile_x = 0;       // chroma-from-luma tile values of the block
  int32_t tile_b = 0;
};

// Writes the block into the components (channels in the order Y, X, B;
// X and B skipped with one component). Failed for a kind other than 8x8
// DCT, a block outside its component's array, or a written entry outside
// -4095..4095; blocks written before stay written.
Status WriteJpegBlock(const JpegCoefficientPath& path, const JpegBlock& block,
                      JpegComponentCoefficients* const components);

}  // namespace qov

#endif  // QOV_LIB_VARDCT_JPEG_COEFFICIENTS_H_
