// PQ and HLG curves, the BT.2408 tone curve and gamut mapping, and the
// lookup-table tag bodies of synthesised XYB and HDR ICC profiles.
#ifndef QOV_LIB_COLOR_HDR_CURVES_H_
#define QOV_LIB_COLOR_HDR_CURVES_H_

#include <array>
#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "qov/qov.h"

namespace qov {

// Luminance in nits to a PQ code value (sign kept).
float PqEncode(float nits);
// PQ code value to nits (sign kept).
float PqDecode(float e);
// PQ code value to |luminance| with 1.0 standing for 10000 nits.
float PqDecodeNormalized(float e);
// HLG inverse OETF of x in [0, 1] (magnitude).
float HlgInverseOetf(float x);

// The 64-sample 'curv' tone curves of PQ and HLG encodings.
std::array<uint16_t, 64> PqCurveTable();
std::array<uint16_t, 64> HlgCurveTable();

// ITU-R BT.2408 tone curve in the PQ domain, from a source to a target
// luminance range (nits).
class Bt2408ToneCurve {
 public:
  Bt2408ToneCurve(const float source_range[2], const float target_range[2],
                  const float luminance_weights[3]);

  // rgb relative to the source peak in, relative to the target peak out.
  void Apply(float rgb[3]) const;

  float source_range[2];
  float target_range[2];
  float luminance_weights[3];
  float pq_source_min;
  float pq_source_max;
  float pq_source_span;
  float inverse_pq_source_span;
  float min_level;
  float max_level;
  float knee_start;
  float inverse_knee_width;
  float normaliser;
  float inverse_target_peak;
};

// Desaturates towards the luminance until rgb fits in [0, 1] (s: how much
// saturation to keep), then divides by max(1, r, g, b).
void MapIntoGamut(float rgb[3], const float luminance_weights[3],
                  float saturation_preservation);

// RGB with PQ or HLG and well-known primaries: gets an 'mft1' tone-map LUT.
bool NeedsHdrToneMapLut(const QovColorEncoding& c);

// The fixed 'mAB ' body of XYB profiles (292 bytes).
Status AppendXybLutAToB(std::vector<uint8_t>* tags);
// The trivial 'mBA ' body of both lookup-table profiles (80 bytes).
Status AppendLutBToA(std::vector<uint8_t>* tags);
// The 'mft1' body (3771 bytes): tone map to 250 nits, then CIELAB.
Status AppendHdrToneMapLut(const QovColorEncoding& c,
                           std::vector<uint8_t>* tags);

}  // namespace qov

#endif  // QOV_LIB_COLOR_HDR_CURVES_H_
