// Row kernels of the colour stages: YCbCr to RGB, XYB rescaling, the
// transfer-function curves in both directions and tone mapping. Each works
// in place on the three colour rows (n samples each, exactly), comes as a
// SIMD copy dispatched per call and as a scalar reference in the same
// operation order. Targets with fused multiply-add may differ from the
// reference in the last bits.
#ifndef QOV_LIB_RENDER_COLOR_KERNELS_H_
#define QOV_LIB_RENDER_COLOR_KERNELS_H_

#include <cstddef>
#include <cstdint>

namespace qov {

// Which curve a transfer operator applies.
enum class TransferOpKind : uint32_t {
  kLinear,   // identity
  kSrgb,     // the sRGB curve
  kPq,       // SMPTE ST 2084
  kHlg,      // BT.2100 HLG, with the OOTF (or its inverse)
  k709,      // BT.709
  kGamma,    // power law
  kInvalid,  // identity, for transfer functions no other curve covers
};

// A transfer operator with every parameter its curve reads.
struct TransferOp {
  TransferOpKind kind = TransferOpKind::kLinear;
  float pq_target_scale = 1.0f;          // intensity target x 1e-4 (encode)
  float pq_inverse_target_scale = 1.0f;  // 10000 / intensity target (decode)
  float hlg_ootf_exponent = 0.0f;        // luminance exponent minus 1
  bool hlg_apply_ootf = false;           // |hlg_ootf_exponent| > 0.01
  float luminances[3] = {0.2126f, 0.7152f, 0.0722f};
  float gamma_exponent = 1.0f;
};

// Fields of the tone mapping row operation.
struct ToneMapParams {
  bool pq = false;         // PQ knee mapping
  bool hlg_apply = false;  // HLG OOTF
  bool gamut = false;      // gamut mapping after the luminance mapping
  float pre_scale = 1.0f;
  float post_scale = 1.0f;
  // PQ knee curve (a Bt2408ToneCurve's fields).
  float source_max = 1.0f;
  float target_max = 1.0f;
  float pq_weights[3] = {0.2126f, 0.7152f, 0.0722f};
  float pq_min = 0.0f;
  float pq_range = 1.0f;
  float inv_range = 1.0f;
  float min_lum = 0.0f;
  float max_lum = 1.0f;
  float knee_start = 1.0f;
  float inv_knee = 1.0f;
  float ratio = 1.0f;           // source max / target max
  float inv_target_max = 1.0f;  // 1 / target max
  // HLG OOTF.
  float hlg_exponent = 0.0f;  // g
  float hlg_weights[3] = {0.2126f, 0.7152f, 0.0722f};
  // Gamut mapping.
  float gamut_weights[3] = {0.2126f, 0.7152f, 0.0722f};
};

// Smallest luminance the HLG OOTF approximations are evaluated at: below
// it (zero, negative or NaN luminance) the logarithm approximation has no
// meaning, so the luminance is raised to it.
inline constexpr float kHlgMinLuminance = 1e-7f;

// Channel 0 Cb, 1 Y (less 128/255), 2 Cr in; R, G, B out.
void YCbCrToRgbRows(float* c0, float* c1, float* c2, size_t n);
void YCbCrToRgbRowsScalar(float* c0, float* c1, float* c2, size_t n);

// XYB samples rescaled for XYB output.
void XybRescaleRows(float* c0, float* c1, float* c2, size_t n);
void XybRescaleRowsScalar(float* c0, float* c1, float* c2, size_t n);

// Coded samples to linear light (kInvalid and kLinear leave them).
void ToLinearRows(const TransferOp& op, float* c0, float* c1, float* c2,
                  size_t n);
void ToLinearRowsScalar(const TransferOp& op, float* c0, float* c1, float* c2,
                        size_t n);

// Linear samples to coded ones (kInvalid leaves them).
void FromLinearRows(const TransferOp& op, float* c0, float* c1, float* c2,
                    size_t n);
void FromLinearRowsScalar(const TransferOp& op, float* c0, float* c1,
                          float* c2, size_t n);

// Tone mapping of linear RGB.
void ToneMapRows(const ToneMapParams& p, float* c0, float* c1, float* c2,
                 size_t n);
void ToneMapRowsScalar(const ToneMapParams& p, float* c0, float* c1, float* c2,
                       size_t n);

// The scalar approximations the kernels use, for tests.
float ApproxLog2Scalar(float x);
float ApproxExp2Scalar(float y);

// Rational approximations of the transfer curves: P(a) / Q(a), both of
// degree 4, coefficients from a^4 down. Shared by the SIMD and scalar kernels.
inline constexpr float kSrgbDecodeP[5] = {0.8210153f, 0.7961565f, 0.16248204f,
                                          0.010436376f, 0.00022002483f};
inline constexpr float kSrgbDecodeQ[5] = {0.006521209f, -0.055124983f,
                                          0.49875283f, 1.0769765f, 0.2631847f};
inline constexpr float kSrgbEncodeP[5] = {0.735263f, 1.4742053f, 0.3903843f,
                                          0.0052872547f, -0.00051351526f};
inline constexpr float kSrgbEncodeQ[5] = {0.024248678f, 0.9258482f, 1.340817f,
                                          0.30366755f, 0.010045196f};
inline constexpr float kPqDecodeP[5] = {0.5500349f, 2.6455317f, 0.7386023f,
                                        -0.006235531f, 0.00026297566f};
inline constexpr float kPqDecodeQ[5] = {2.6771877f, -33.907887f, 174.36467f,
                                        -428.73682f, 421.3501f};
inline constexpr float kPqEncodeSmallP[5] = {-286482.4f, 68898.62f, 135.2821f,
                                             0.3881234f, 9.863406e-06f};
inline constexpr float kPqEncodeSmallQ[5] = {-207254.6f, -43898.84f, 16084.77f,
                                             1477.719f, 33.71868f};
inline constexpr float kPqEncodeLargeP[5] = {48.38434f, 149.2516f, 55.22776f,
                                             -1.095778f, 0.01351392f};
inline constexpr float kPqEncodeLargeQ[5] = {25.90418f, 112.0607f, 92.6371f,
                                             20.16708f, 1.012416f};

}  // namespace qov

#endif  // QOV_LIB_RENDER_COLOR_KERNELS_H_
