// Output colour set-up: choice of the output encoding and the XYB inverse
// matrix adapted to its primaries.
#include "lib/color/output_color.h"

#include <cmath>
#include <cstring>

#include "lib/color/color_enums.h"
#include "lib/color/color_math.h"

namespace qov {
namespace {

// Transfer functions that XYB can be rendered into directly.
bool IsRenderableTransfer(uint32_t tf) {
  return tf == Raw(TransferFunction::k709) ||
         tf == Raw(TransferFunction::kLinear) ||
         tf == Raw(TransferFunction::kSrgb) ||
         tf == Raw(TransferFunction::kPq) ||
         tf == Raw(TransferFunction::kDci) || tf == Raw(TransferFunction::kHlg);
}

Status XyzMatrixOf(const QovColorEncoding& c, Matrix3x3* out) {
  return PrimariesToXyzMatrix(
      static_cast<float>(c.primaries_red_xy[0]),
      static_cast<float>(c.primaries_red_xy[1]),
      static_cast<float>(c.primaries_green_xy[0]),
      static_cast<float>(c.primaries_green_xy[1]),
      static_cast<float>(c.primaries_blue_xy[0]),
      static_cast<float>(c.primaries_blue_xy[1]),
      static_cast<float>(c.white_point_xy[0]),
      static_cast<float>(c.white_point_xy[1]), out);
}

}  // namespace

std::pair<double, double> WhitePointXy(const ColorEncoding& c) {
  if (!c.have_fields) return {0.0, 0.0};
  switch (c.white_point) {
    case Raw(WhitePoint::kD65): return {0.3127, 0.329};
    case Raw(WhitePoint::kCustom): return {c.white_x * 1e-6, c.white_y * 1e-6};
    case Raw(WhitePoint::kE): return {1.0 / 3, 1.0 / 3};
    case Raw(WhitePoint::kDci): return {0.314, 0.351};
    default: return {0.0, 0.0};
  }
}

void ScaleOpsinInverse(const float matrix[9], float intensity_target,
                       float out[36]) {
  const float s = 255.0f / intensity_target;
  for (int i = 0; i < 9; ++i) {
    const float v = matrix[i] * s;
    for (int k = 0; k < 4; ++k) out[4 * i + k] = v;
  }
}

Status OutputColorSetup::InitFromMetadata(const CodecMetadata& m) {
  const OpsinInverseMatrix& opsin = m.transform_data.opsin_inverse_matrix;
  source_encoding = m.m.color_encoding;
  source_intensity_target = m.m.tone_mapping.intensity_target;
  target_intensity = source_intensity_target;
  std::memcpy(source_inverse_matrix, opsin.inverse_matrix,
              sizeof(source_inverse_matrix));
  inverse_matrix_is_default = opsin.all_default;
  for (int i = 0; i < 3; ++i) {
    opsin_bias[i] = opsin.opsin_biases[i];
    opsin_bias_cbrt[i] = std::cbrt(opsin.opsin_biases[i]);
  }
  opsin_bias[3] = 1.0f;
  opsin_bias_cbrt[3] = 1.0f;
  std::memcpy(quant_bias, opsin.quant_biases, sizeof(quant_bias));
  image_is_xyb = m.m.xyb_encoded;

  const ColorEncoding& src = source_encoding;
  bool keep_source = true;
  if (image_is_xyb) {
    keep_source = src.have_fields &&
                  (src.have_gamma || IsRenderableTransfer(src.transfer_function)) &&
                  !(src.IsGray() && src.white_point != Raw(WhitePoint::kD65));
  }
  if (keep_source) return SetOutputEncoding(src);
  return SetOutputEncoding(StandardLinearSrgbEncodings(src.IsGray()));
}

Status OutputColorSetup::SetOutputEncoding(const ColorEncoding& wanted) {
  // `wanted` may be one of this object's own encodings; the profile it
  // carries can be large, so it is copied twice, not three times.
  if (&wanted != &output_encoding) output_encoding = wanted;
  const ColorEncoding& w = output_encoding;
  output_linear_encoding = w;
  output_linear_encoding.have_gamma = false;
  output_linear_encoding.transfer_function = Raw(TransferFunction::kLinear);
  output_is_source = source_encoding.SameAs(w);

  Matrix3x3 m;
  std::memcpy(m.data(), source_inverse_matrix, sizeof(source_inverse_matrix));
  bool is_default = inverse_matrix_is_default;
  luminance_weights[0] = 0.2126f;
  luminance_weights[1] = 0.7152f;
  luminance_weights[2] = 0.0722f;

  const bool standard_primaries = w.primaries == Raw(Primaries::kSrgb) &&
                                  w.white_point == Raw(WhitePoint::kD65);
  if (!w.IsGray() && !standard_primaries) {
    // sRGB to XYZ (D50).
    const QovColorEncoding srgb = StandardSrgbEncodings(false).ToPublic();
    Matrix3x3 srgb_to_xyz;
    QOV_RETURN_IF_ERROR(XyzMatrixOf(srgb, &srgb_to_xyz));
    Matrix3x3 d65_to_d50;
    QOV_RETURN_IF_ERROR(
        AdaptToD50Matrix(static_cast<float>(srgb.white_point_xy[0]),
                         static_cast<float>(srgb.white_point_xy[1]),
                         &d65_to_d50));
    Matrix3x3 srgb_to_d50;
    Mul3x3(d65_to_d50, srgb_to_xyz, &srgb_to_d50);

    QOV_ENSURE(w.have_fields && !w.IsXyb());
    Matrix3x3 out_to_xyz;
    QOV_RETURN_IF_ERROR(XyzMatrixOf(w.ToPublic(), &out_to_xyz));
    luminance_weights[0] = out_to_xyz[3];
    luminance_weights[1] = out_to_xyz[4];
    luminance_weights[2] = out_to_xyz[5];

    if (image_is_xyb) {
      const std::pair<double, double> white = WhitePointXy(w);
      Matrix3x3 adapt;
      QOV_RETURN_IF_ERROR(AdaptToD50Matrix(static_cast<float>(white.first),
                                           static_cast<float>(white.second),
                                           &adapt));
      Matrix3x3 out_to_d50;
      Mul3x3(adapt, out_to_xyz, &out_to_d50);
      QOV_RETURN_IF_ERROR(Invert3x3(&out_to_d50));
      Matrix3x3 srgb_to_out;
      Mul3x3(out_to_d50, srgb_to_d50, &srgb_to_out);
      Matrix3x3 adapted;
      Mul3x3(srgb_to_out, m, &adapted);
      m = adapted;
      is_default = false;
    }
  }
  if (w.IsGray()) {
    const Matrix3x3 to_grey = {
        luminance_weights[0], luminance_weights[1], luminance_weights[2],
        luminance_weights[0], luminance_weights[1], luminance_weights[2],
        luminance_weights[0], luminance_weights[1], luminance_weights[2]};
    Matrix3x3 grey;
    Mul3x3(to_grey, m, &grey);
    m = grey;
  }
  if (image_is_xyb) {
    ScaleOpsinInverse(m.data(), source_intensity_target, scaled_inverse_matrix);
    opsin_is_default =
        is_default && std::fabs(static_cast<double>(source_intensity_target) -
                                255.0) <= static_cast<double>(0.1f);
  }
  if (w.have_gamma) {
    output_gamma = static_cast<float>(w.gamma * 1e-7);
  } else if (w.transfer_function == Raw(TransferFunction::kDci)) {
    output_gamma = 1.0f / 2.6f;
  } else {
    output_gamma = 1.0f;
  }
  return OkStatus();
}

OpsinParams OutputColorSetup::GetOpsinParams() const {
  OpsinParams p;
  std::memcpy(p.inverse_matrix, scaled_inverse_matrix, sizeof(p.inverse_matrix));
  std::memcpy(p.opsin_bias, opsin_bias, sizeof(p.opsin_bias));
  std::memcpy(p.opsin_bias_cbrt, opsin_bias_cbrt, sizeof(p.opsin_bias_cbrt));
  return p;
}

}  // namespace qov
