// Splines: smooth strokes given by control points and four cosine series
// (X, Y, B colour and width sigma). Decoded per frame, turned into a list of
// blurred dots indexed by row, and added into colour rows by the render
// stage.
#ifndef QOV_LIB_FRAME_SPLINES_H_
#define QOV_LIB_FRAME_SPLINES_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/memory.h"
#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/symbol_reader.h"
#include "qov/qov.h"

namespace qov {

class ChromaFromLumaMap;

inline constexpr size_t kSplineCoefficients = 32;

// Second differences of the control points after the starting point, and
// the quantised series X, Y, B, sigma.
struct EncodedSpline {
  struct Delta {
    int64_t dx;
    int64_t dy;
  };
  std::vector<Delta> control_point_differences;  // |d| < 2^30
  int32_t coefficients[4][kSplineCoefficients] = {};
};

struct SplinePoint {
  float x = 0.0f;
  float y = 0.0f;
};

// A spline in frame pixels with dequantised series.
struct SplineCurve {
  std::vector<SplinePoint> control_points;
  float color[3][kSplineCoefficients] = {};
  float sigma[kSplineCoefficients] = {};
};

// A point at unit arc length; the last one weighs what is left (< 1).
struct SplineSamplePoint {
  float x = 0.0f;
  float y = 0.0f;
  float weight = 1.0f;
};

// One blurred dot of colour.
struct SplineDrawSegment {
  float centre_x;
  float centre_y;
  float max_distance;  // reach: rows and columns it touches
  float inverse_sigma;
  float intensity;     // weight x sigma x 0.25
  float color[3];      // X, Y, B
};

// Rows [first, end) a segment touches.
struct SplineRowRange {
  uint64_t first;
  uint64_t end;
};

// One cosine series (32 coefficients) at position s in [0, 31].
float EvaluateCosineSeries(const float* coefficients, float s);

// Appends the segments of sample points first_index, first_index + 1, ...
// (`points`) of one curve with arc length `arc_length`, and the rows each
// touches, cut to [0, height). Points with an unusable sigma or weight, or
// touching no row, add nothing; so do points whose reach, bounded from the
// curve's coefficients, cannot come near row 0 .. height - 1 or column 0
// and on (their series are not evaluated).
void BuildSplineSegments(uint64_t height, const SplineCurve& curve,
                         const std::vector<SplineSamplePoint>& points,
                         uint64_t first_index, float arc_length,
                         std::vector<SplineDrawSegment>* segments,
                         std::vector<SplineRowRange>* rows);

// Adds the segments listed for row y (entries offsets[y - first_row] ..
// offsets[y - first_row + 1]) into columns [x_begin, x_end) of the rows,
// which point at column x_begin; columns must be below 2^31. Writes exactly
// the columns each segment reaches. Dispatched per target; targets with
// fused multiply-add may differ from the scalar version in the last bits.
void DrawSplineSegmentsRow(float* row_x, float* row_y, float* row_b, uint64_t y,
                           uint64_t x_begin, uint64_t x_end,
                           const SplineDrawSegment* segments,
                           const uint64_t* indices, const uint64_t* offsets,
                           uint64_t first_row);
void DrawSplineSegmentsRowScalar(float* row_x, float* row_y, float* row_b,
                                 uint64_t y, uint64_t x_begin, uint64_t x_end,
                                 const SplineDrawSegment* segments,
                                 const uint64_t* indices,
                                 const uint64_t* offsets, uint64_t first_row);
// The columns [from, to) a segment covers within [x_begin, x_end); empty
// (from >= to) when it misses them.
void SplineSegmentColumns(const SplineDrawSegment& segment, uint64_t x_begin,
                          uint64_t x_end, uint64_t* from, uint64_t* to);

class Splines {
 public:
  explicit Splines(const QovMemoryManagerStruct* manager = nullptr)
      : memory_manager_(manager) {}

  // Forgets the current frame's splines and segments.
  void Clear();

  // Reads the splines of a frame of `pixel_count` pixels (before
  // upsampling). At most M = min(pixels / 2, 2^20) splines and control
  // points in all; the list grows as splines decode (some 536 bytes each,
  // at most 562 MB for M = 2^20), never from the count the stream claims.
  // Failed on any violation, a wrong final ANS state or input that ended
  // early; the entropy code reader's status is passed on.
  Status Decode(const QovMemoryManagerStruct* manager, BitReader& reader,
                uint64_t pixel_count);

  // Dequantises every spline for a frame of width x height (upsampled) and
  // builds the segments and their row index. Failed when a spline breaks the
  // coordinate or area limits, two consecutive control points coincide, the
  // control polygons are longer than 16 pixels + 2^20 in all (the decoder's
  // own bound on sampling), the (segment, row) pairs exceed 16 pixels +
  // 2^20, or a block cannot be had.
  Status PrepareDrawing(uint64_t width, uint64_t height,
                        const ChromaFromLumaMap& cfl);
  // The same with the correlation ratios given directly.
  Status PrepareDrawing(uint64_t width, uint64_t height, float ratio_x,
                        float ratio_b);

  // Adds every segment touching row y into columns [x_begin, x_end) of the
  // X, Y, B rows, which point at column x_begin. Rows outside what was
  // prepared get nothing.
  void DrawRow(float* row_x, float* row_y, float* row_b, uint64_t y,
               uint64_t x_begin, uint64_t x_end) const;

  // Dequantises one spline; `area` is the running area estimate.
  static Status DequantizeSpline(const EncodedSpline& spline,
                                 SplinePoint start, int32_t quant_adjustment,
                                 float ratio_x, float ratio_b,
                                 uint64_t image_size, uint64_t* area,
                                 SplineCurve* curve);

  int32_t quant_adjustment() const { return quant_adjustment_; }
  const std::vector<EncodedSpline>& splines() const { return splines_; }
  const std::vector<SplinePoint>& starting_points() const {
    return starting_points_;
  }
  const std::vector<SplineDrawSegment>& segments() const { return segments_; }
  // Segment indices of row y (empty outside the prepared rows).
  std::vector<uint64_t> SegmentsOnRow(uint64_t y) const;

 private:
  Status DecodeOneSpline(const std::vector<uint8_t>& context_map,
                         SymbolReader& symbols, BitReader& reader,
                         uint64_t max_control_points, uint64_t* total,
                         EncodedSpline* out);
  Status BuildRowIndex(const std::vector<SplineRowRange>& rows,
                       uint64_t max_pairs);

  const QovMemoryManagerStruct* memory_manager_;
  int32_t quant_adjustment_ = 0;
  std::vector<EncodedSpline> splines_;
  std::vector<SplinePoint> starting_points_;
  std::vector<SplineDrawSegment> segments_;
  AlignedBlock segment_indices_;  // grouped by row
  AlignedBlock row_offsets_;      // rows [first_row_, end_row_) + 1 entries
  uint64_t first_row_ = 0;
  uint64_t end_row_ = 0;
};

}  // namespace qov

#endif  // QOV_LIB_FRAME_SPLINES_H_
