// The colour set-up of decoded pixels: which encoding they leave in, and the
// XYB inverse matrix, biases, luminance weights and transfer exponent that
// the render pipeline's colour stages copy.
#ifndef QOV_LIB_COLOR_OUTPUT_COLOR_H_
#define QOV_LIB_COLOR_OUTPUT_COLOR_H_

#include <cstddef>
#include <cstdint>
#include <utility>

#include "lib/base/status.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/color/color_encoding.h"
#include "qov/qov.h"

namespace qov {

// One side of a colour-management transform.
struct CmsColorProfile {
  const uint8_t* icc_data;
  uint64_t icc_size;
  QovColorEncoding encoding;
  uint64_t channel_count;  // 1 grey, 4 CMYK, 3 otherwise
};

// Colour-management callbacks (borrowed; never installed in this library).
struct CmsInterface {
  void* parse_data = nullptr;
  bool (*parse_icc)(void* parse_data, const uint8_t* icc, size_t size,
                    QovColorEncoding* encoding, bool* is_cmyk) = nullptr;
  void* transform_data = nullptr;
  void* (*create_transform)(void* transform_data, uint64_t thread_count,
                            uint64_t pixels_per_thread,
                            const CmsColorProfile* source,
                            const CmsColorProfile* destination,
                            float intensity_target) = nullptr;
  float* (*input_buffer)(void* state, size_t thread) = nullptr;
  float* (*output_buffer)(void* state, size_t thread) = nullptr;
  bool (*run_transform)(void* state, size_t thread, const float* input,
                        float* output, size_t pixel_count) = nullptr;
  void (*destroy_transform)(void* state) = nullptr;
};

// The XYB-to-linear parameters: the inverse matrix with every coefficient
// in four lanes, the opsin biases and their cube roots (lane 3 unused).
struct OpsinParams {
  alignas(16) float inverse_matrix[36];
  alignas(16) float opsin_bias[4];
  alignas(16) float opsin_bias_cbrt[4];
};

class OutputColorSetup {
 public:
  OutputColorSetup() = default;
  // Deep copies of the encodings; cms is shared.
  OutputColorSetup(const OutputColorSetup&) = default;
  OutputColorSetup& operator=(const OutputColorSetup&) = default;

  // Takes the source fields from the metadata, chooses the output encoding
  // (the source's, or linear sRGB for XYB images whose encoding cannot be
  // produced from XYB directly) and sets it up.
  Status InitFromMetadata(const CodecMetadata& m);

  // Derives every output field from `wanted` and the source fields. Failed
  // when a non-standard wanted encoding has no usable primaries, or (XYB
  // images) its white point cannot be adapted.
  Status SetOutputEncoding(const ColorEncoding& wanted);

  // The XYB stage's parameters (scaled_inverse_matrix, opsin_bias,
  // opsin_bias_cbrt).
  OpsinParams GetOpsinParams() const;

  ColorEncoding source_encoding;
  float source_intensity_target = 255.0f;
  float source_inverse_matrix[9] = {};
  bool inverse_matrix_is_default = true;
  bool image_is_xyb = false;
  ColorEncoding output_encoding;
  ColorEncoding output_linear_encoding;
  bool output_is_source = true;
  // Written for XYB images only.
  alignas(16) float scaled_inverse_matrix[36] = {};
  alignas(16) float opsin_bias[4] = {};
  alignas(16) float opsin_bias_cbrt[4] = {};
  alignas(16) float quant_bias[4] = {};
  bool opsin_is_default = false;  // written for XYB images only
  float output_gamma = 1.0f;
  float luminance_weights[3] = {0.2126f, 0.7152f, 0.0722f};
  float target_intensity = 255.0f;
  bool cms_present = false;
  CmsInterface cms;
};

// CIE xy of the encoding's white point; (0, 0) for an ICC-only encoding or
// a value outside the named set.
std::pair<double, double> WhitePointXy(const ColorEncoding& c);

// out[4i .. 4i+3] = matrix[i] x (255 / intensity_target), in single precision.
void ScaleOpsinInverse(const float matrix[9], float intensity_target,
                       float out[36]);

}  // namespace qov

#endif  // QOV_LIB_COLOR_OUTPUT_COLOR_H_
