// Spline decoding, dequantisation, resampling into segments, the row index
// of the segments and row drawing.
#include "lib/frame/splines.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "lib/base/bits.h"
#include "lib/base/work_counts.h"
#include "lib/bitstream/entropy_code.h"
#include "lib/frame/frame_decoding_state.h"

namespace qov {

namespace {

enum SplineContext : uint64_t {
  kQuantAdjustmentContext = 0,
  kStartingPointContext = 1,
  kNumSplinesContext = 2,
  kNumControlPointsContext = 3,
  kControlPointContext = 4,
  kCoefficientContext = 5,
  kNumSplineContexts = 6,
};

constexpr int64_t kMaxCoordinate = (int64_t{1} << 23) - 1;
constexpr int64_t kMaxDelta = (int64_t{1} << 30) - 1;

uint64_t SaturatingMul(uint64_t a, uint64_t b) {
  return (b != 0 && a > UINT64_MAX / b) ? UINT64_MAX : a * b;
}
uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// Nearest integer, ties to even, kept within +-2^62 (never reached by rows
// or columns that matter).
int64_t RoundToInt(float v) {
  const double r = std::nearbyint(static_cast<double>(v));
  constexpr double kLimit = 4611686018427387904.0;  // 2^62
  if (!(r > -kLimit)) return -static_cast<int64_t>(kLimit);
  if (r > kLimit) return static_cast<int64_t>(kLimit);
  return static_cast<int64_t>(r);
}

// The program's cosine: range reduction to [0, pi/2] and a polynomial.
float ApproxCos(float a) {
  a = a - std::floor(a * 0.159154937f) * 6.28318548f;
  a = std::min(a, 6.28318548f - a);
  const bool negate = a >= 1.57079637f;
  if (negate) a = 3.14159274f - a;
  float q = a * 0.25f;
  q = q * q;
  float u = q * q * 0.0696043819f + (1.68179274f - q * 0.840873718f);
  u = u * u - 1.41421354f;
  const float c = u * u - 1.0f;
  return negate ? -c : c;
}

// The program's error function.
float ApproxErf(float z) {
  const float t = std::abs(z);
  const float p =
      (((0.0777394399f * t + 0.000205260018f) * t + 0.232120216f) * t +
       0.277820796f) * t + 1.0f;
  const float r = 1.0f / (p * p);
  const float e = 1.0f - r * r;
  return z <= 0.0f ? -e : e;
}

// k pi / 32 for k = 0..31.
struct CosineFactors {
  float values[kSplineCoefficients];
  CosineFactors() {
    for (size_t k = 0; k < kSplineCoefficients; ++k) {
      values[k] = static_cast<float>(k * 3.14159265358979323846 / 32.0);
    }
  }
};
const CosineFactors kCosineFactors;

float Distance(SplinePoint a, SplinePoint b) {
  const float dx = a.x - b.x, dy = a.y - b.y;
  return std::sqrt(dx * dx + dy * dy);
}

SplinePoint Lerp(SplinePoint a, SplinePoint b, float f) {
  return {a.x + f * (b.x - a.x), a.y + f * (b.y - a.y)};
}

// Centripetal Catmull-Rom: each control point, then 15 points towards the
// next; the last control point closes the path.
void DensifyPath(const std::vector<SplinePoint>& points,
                 std::vector<SplinePoint>* path) {
  path->clear();
  if (points.size() == 1) {
    path->push_back(points[0]);
    return;
  }
  const size_t n = points.size();
  std::vector<SplinePoint> ext;
  ext.reserve(n + 2);
  ext.push_back({2.0f * points[0].x - points[1].x,
                 2.0f * points[0].y - points[1].y});
  ext.insert(ext.end(), points.begin(), points.end());
  ext.push_back({2.0f * points[n - 1].x - points[n - 2].x,
                 2.0f * points[n - 1].y - points[n - 2].y});
  path->reserve(16 * (n - 1) + 1);
  for (size_t w = 0; w + 3 < ext.size(); ++w) {
    const SplinePoint p0 = ext[w], p1 = ext[w + 1], p2 = ext[w + 2],
                      p3 = ext[w + 3];
    path->push_back(p1);
    const float d01 = std::sqrt(Distance(p1, p0));
    const float d12 = std::sqrt(Distance(p2, p1));
    const float d23 = std::sqrt(Distance(p3, p2));
    const float t1 = d01;
    const float t2 = t1 + d12;
    for (int j = 1; j < 16; ++j) {
      const float t = static_cast<float>(j) * 0.0625f * d12 + d01;
      const SplinePoint a1 = Lerp(p0, p1, t / d01);
      const SplinePoint a2 = Lerp(p1, p2, (t - t1) / d12);
      const SplinePoint a3 = Lerp(p2, p3, (t - t2) / d23);
      const SplinePoint b1 = Lerp(a1, a2, t / (d01 + d12));
      const SplinePoint b2 = Lerp(a2, a3, (t - t1) / (d12 + d23));
      path->push_back(Lerp(b1, b2, (t - t1) / d12));
    }
  }
  path->push_back(points[n - 1]);
}

// Walks the path at unit arc length, calling emit(point) for every sample.
// A unit step that no longer moves (coordinates too large for float
// precision) jumps to the next path point, so the walk always ends.
template <class Emit>
void ResamplePath(const std::vector<SplinePoint>& path, Emit&& emit) {
  SplinePoint current = path[0];
  emit(SplineSamplePoint{current.x, current.y, 1.0f});
  size_t next = 1;
  while (next < path.size()) {
    const float dist = Distance(current, path[next]);
    if (dist >= 1.0f) {
      const SplinePoint moved = Lerp(current, path[next], 1.0f / dist);
      if (moved.x == current.x && moved.y == current.y) {
        current = path[next++];
        continue;
      }
      current = moved;
      emit(SplineSamplePoint{current.x, current.y, 1.0f});
      continue;
    }
    float so_far = dist;
    size_t i = next;
    bool found = false;
    for (; i + 1 < path.size(); ++i) {
      const float segment = Distance(path[i], path[i + 1]);
      if (so_far + segment >= 1.0f) {
        current = Lerp(path[i], path[i + 1], (1.0f - so_far) / segment);
        emit(SplineSamplePoint{current.x, current.y, 1.0f});
        next = i + 1;
        found = true;
        break;
      }
      so_far += segment;
    }
    if (!found) {
      emit(SplineSamplePoint{path.back().x, path.back().y, so_far});
      return;
    }
  }
}

}  // namespace

float EvaluateCosineSeries(const float* coefficients, float s) {
  float sum = 0.0f;
  for (size_t k = 0; k < kSplineCoefficients; ++k) {
    sum += coefficients[k] * ApproxCos(kCosineFactors.values[k] * (s + 0.5f)) *
           1.41421354f;
  }
  return sum;
}

// An upper bound of the reach of any point of the curve: |sigma| and the
// colours are at most the sums of their coefficients' magnitudes (the
// cosine stays within 1.01), and the reach is
// |sigma| sqrt(2 (11.5129261 + ln(peak))).
double MaxReach(const SplineCurve& curve) {
  double sigma = 0, color = 0;
  for (size_t k = 0; k < kSplineCoefficients; ++k) {
    sigma += std::abs(static_cast<double>(curve.sigma[k]));
  }
  for (int c = 0; c < 3; ++c) {
    double sum = 0;
    for (size_t k = 0; k < kSplineCoefficients; ++k) {
      sum += std::abs(static_cast<double>(curve.color[c][k]));
    }
    color = std::max(color, sum);
  }
  constexpr double kSeriesBound = 1.41421354 * 1.01;
  sigma *= kSeriesBound;
  const double peak = std::max(color * kSeriesBound, 0.01);
  return sigma * std::sqrt(2.0 * (11.5129261 + std::log(peak))) + 2.0;
}

void BuildSplineSegments(uint64_t height, const SplineCurve& curve,
                         const std::vector<SplineSamplePoint>& points,
                         uint64_t first_index, float arc_length,
                         std::vector<SplineDrawSegment>* segments,
                         std::vector<SplineRowRange>* rows) {
  const float inverse_length = 1.0f / arc_length;
  const double reach = MaxReach(curve);
  for (size_t j = 0; j < points.size(); ++j) {
    const SplineSamplePoint& point = points[j];
    // Weights stay at most 1, so the bound holds for every point.
    if (point.y + reach < 0 || point.y - reach > static_cast<double>(height) ||
        point.x + reach < 0) {
      continue;
    }
    const uint64_t i = first_index + j;
    const float s =
        std::min(static_cast<float>(i) * inverse_length, 1.0f) * 31.0f;
    const float sigma = EvaluateCosineSeries(curve.sigma, s);
    const float inverse_sigma = 1.0f / sigma;
    const float m = point.weight;
    if (!std::isfinite(sigma) || sigma == 0.0f ||
        !std::isfinite(inverse_sigma) || !std::isfinite(m)) {
      continue;
    }
    float color[3];
    for (int c = 0; c < 3; ++c) color[c] = EvaluateCosineSeries(curve.color[c], s);
    const float peak = std::max(
        std::max(std::abs(m * color[2]), std::abs(m * color[1])),
        std::max(std::abs(m * color[0]), 0.01f));
    const float d = std::sqrt((-11.5129261f - std::log(peak)) *
                              (sigma * -2.0f * sigma));
    const int64_t first = std::max<int64_t>(0, RoundToInt(point.y - d));
    const int64_t end = std::min<int64_t>(
        static_cast<int64_t>(std::min<uint64_t>(height, INT64_MAX)),
        RoundToInt(point.y + d) + 1);
    if (end <= first) continue;
    // A dot wholly left of column 0 is never drawn.
    if (RoundToInt(point.x + d) < 0) continue;
    segments->push_back(SplineDrawSegment{
        point.x, point.y, d, inverse_sigma, m * (sigma * 0.25f),
        {color[0], color[1], color[2]}});
    rows->push_back({static_cast<uint64_t>(first), static_cast<uint64_t>(end)});
  }
}

void SplineSegmentColumns(const SplineDrawSegment& segment, uint64_t x_begin,
                          uint64_t x_end, uint64_t* from, uint64_t* to) {
  const int64_t xb = RoundToInt(segment.centre_x - segment.max_distance);
  const int64_t xe = RoundToInt(segment.centre_x + segment.max_distance);
  *from = *to = 0;
  if (xe < static_cast<int64_t>(x_begin) || xb >= static_cast<int64_t>(x_end)) {
    return;
  }
  *from = std::max<uint64_t>(x_begin, static_cast<uint64_t>(std::max<int64_t>(xb, 0)));
  *to = std::min<uint64_t>(x_end, static_cast<uint64_t>(xe) + 1);
}

void DrawSplineSegmentsRowScalar(float* row_x, float* row_y, float* row_b,
                                 uint64_t y, uint64_t x_begin, uint64_t x_end,
                                 const SplineDrawSegment* segments,
                                 const uint64_t* indices,
                                 const uint64_t* offsets, uint64_t first_row) {
  const uint64_t r = y - first_row;
  const float fy = static_cast<float>(y);
  for (uint64_t i = offsets[r]; i < offsets[r + 1]; ++i) {
    const SplineDrawSegment& seg = segments[indices[i]];
    uint64_t from, to;
    SplineSegmentColumns(seg, x_begin, x_end, &from, &to);
    const float dy = fy - seg.centre_y;
    for (uint64_t x = from; x < to; ++x) {
      const float dx = static_cast<float>(x) - seg.centre_x;
      const float h = std::sqrt(dx * dx + dy * dy) * 0.5f;
      const float e = ApproxErf((h + 0.353553385f) * seg.inverse_sigma) -
                      ApproxErf((h - 0.353553385f) * seg.inverse_sigma);
      const float v = e * e * seg.intensity;
      row_x[x - x_begin] += seg.color[0] * v;
      row_y[x - x_begin] += seg.color[1] * v;
      row_b[x - x_begin] += seg.color[2] * v;
    }
  }
}

void Splines::Clear() {
  quant_adjustment_ = 0;
  splines_.clear();
  starting_points_.clear();
  segments_.clear();
  segment_indices_ = AlignedBlock();
  row_offsets_ = AlignedBlock();
  first_row_ = end_row_ = 0;
}

Status Splines::Decode(const QovMemoryManagerStruct* manager, BitReader& reader,
                       uint64_t pixel_count) {
  Clear();
  memory_manager_ = manager;
  EntropyCodeSet code;
  std::vector<uint8_t> context_map;
  QOV_RETURN_IF_ERROR(ReadEntropyCodeSet(manager, reader, kNumSplineContexts,
                                         &code, context_map,
                                         /*disallow_lz77=*/false));
  QOV_ASSIGN_OR_RETURN(SymbolReader symbols,
                       SymbolReader::Create(code, reader, 0));
  auto read = [&](uint64_t context) -> uint32_t {
    return symbols.ReadClusteredUint(context_map[context], reader);
  };

  const uint64_t max_points = std::min<uint64_t>(pixel_count / 2, 1u << 20);
  const uint64_t num_splines = uint64_t{read(kNumSplinesContext)} + 1;
  if (num_splines > max_points) return FailedStatus();

  starting_points_.reserve(num_splines);
  int64_t x = 0, y = 0;
  for (uint64_t i = 0; i < num_splines; ++i) {
    if (i == 0) {
      x = read(kStartingPointContext);
      y = read(kStartingPointContext);
    } else {
      x += UnpackSigned(read(kStartingPointContext));
      y += UnpackSigned(read(kStartingPointContext));
    }
    if (std::abs(x) > kMaxCoordinate || std::abs(y) > kMaxCoordinate) {
      return FailedStatus();
    }
    starting_points_.push_back(
        {static_cast<float>(x), static_cast<float>(y)});
  }
  quant_adjustment_ =
      static_cast<int32_t>(UnpackSigned(read(kQuantAdjustmentContext)));

  // The list grows with what is decoded, not with the count claimed: a
  // count whose splines the stream does not hold fails before it costs
  // their 536 bytes each.
  uint64_t total = num_splines;
  for (uint64_t i = 0; i < num_splines; ++i) {
    // Zero bits past the end would otherwise decode as valid splines.
    if (reader.PastEnd()) return FailedStatus();
    EncodedSpline& spline = splines_.emplace_back();
    QOV_RETURN_IF_ERROR(
        DecodeOneSpline(context_map, symbols, reader, max_points, &total, &spline));
  }
  if (reader.PastEnd() || !symbols.CheckFinalState()) return FailedStatus();
  return OkStatus();
}

Status Splines::DecodeOneSpline(const std::vector<uint8_t>& context_map,
                                SymbolReader& symbols, BitReader& reader,
                                uint64_t max_control_points, uint64_t* total,
                                EncodedSpline* out) {
  auto read = [&](uint64_t context) -> uint32_t {
    return symbols.ReadClusteredUint(context_map[context], reader);
  };
  const uint64_t count = read(kNumControlPointsContext);
  if (count > max_control_points) return FailedStatus();
  *total += count;
  if (*total > max_control_points) return FailedStatus();
  out->control_point_differences.resize(count);
  for (EncodedSpline::Delta& delta : out->control_point_differences) {
    delta.dx = UnpackSigned(read(kControlPointContext));
    delta.dy = UnpackSigned(read(kControlPointContext));
    if (std::abs(delta.dx) > kMaxDelta || std::abs(delta.dy) > kMaxDelta) {
      return FailedStatus();
    }
  }
  for (auto& series : out->coefficients) {
    for (int32_t& c : series) {
      const int64_t v = UnpackSigned(read(kCoefficientContext));
      if (v == std::numeric_limits<int32_t>::min()) return FailedStatus();
      c = static_cast<int32_t>(v);
    }
  }
  return OkStatus();
}

Status Splines::DequantizeSpline(const EncodedSpline& spline, SplinePoint start,
                                 int32_t quant_adjustment, float ratio_x,
                                 float ratio_b, uint64_t image_size,
                                 uint64_t* area, SplineCurve* curve) {
  const uint64_t area_limit = std::min<uint64_t>(
      SaturatingAdd(SaturatingMul(1024, image_size), uint64_t{1} << 32),
      uint64_t{1} << 42);
  constexpr int64_t kLimit = int64_t{1} << 23;

  curve->control_points.clear();
  curve->control_points.reserve(spline.control_point_differences.size() + 1);
  const float rx = std::round(start.x), ry = std::round(start.y);
  if (!(std::abs(rx) < static_cast<float>(kLimit)) ||
      !(std::abs(ry) < static_cast<float>(kLimit))) {
    return FailedStatus();
  }
  int64_t x = static_cast<int64_t>(rx), y = static_cast<int64_t>(ry);
  curve->control_points.push_back({static_cast<float>(x), static_cast<float>(y)});
  int64_t cdx = 0, cdy = 0;
  uint64_t manhattan = 0;
  for (const EncodedSpline::Delta& d : spline.control_point_differences) {
    cdx += d.dx;
    cdy += d.dy;
    manhattan += static_cast<uint64_t>(std::abs(cdx) + std::abs(cdy));
    if (manhattan > area_limit || std::abs(cdx) >= kLimit ||
        std::abs(cdy) >= kLimit || std::abs(x + cdx) >= kLimit ||
        std::abs(y + cdy) >= kLimit) {
      return FailedStatus();
    }
    x += cdx;
    y += cdy;
    curve->control_points.push_back({static_cast<float>(x), static_cast<float>(y)});
  }

  const float f = quant_adjustment >= 0
                      ? 1.0f / (static_cast<float>(quant_adjustment) * 0.125f + 1.0f)
                      : static_cast<float>(quant_adjustment) * -0.125f + 1.0f;
  static constexpr float kWeights[4] = {0.0042f, 0.075f, 0.07f, 0.3333f};
  for (int c = 0; c < 4; ++c) {
    float* out = c < 3 ? curve->color[c] : curve->sigma;
    for (size_t i = 0; i < kSplineCoefficients; ++i) {
      float v = static_cast<float>(spline.coefficients[c][i]);
      if (i == 0) v = v * 0.70710677f;
      out[i] = v * kWeights[c] * f;
    }
  }
  for (size_t i = 0; i < kSplineCoefficients; ++i) {
    curve->color[0][i] += ratio_x * curve->color[1][i];
    curve->color[2][i] += ratio_b * curve->color[1][i];
  }

  // Area estimate: colour magnitude x squared width x path length.
  uint64_t sums[3] = {0, 0, 0};
  for (int c = 0; c < 3; ++c) {
    for (size_t i = 0; i < kSplineCoefficients; ++i) {
      const float v = std::abs(static_cast<float>(spline.coefficients[c][i]));
      sums[c] += static_cast<uint64_t>(std::ceil(v * f));
    }
  }
  sums[0] = SaturatingAdd(
      sums[0], SaturatingMul(static_cast<uint64_t>(std::ceil(std::abs(ratio_x))),
                             sums[1]));
  sums[2] = SaturatingAdd(
      sums[2], SaturatingMul(static_cast<uint64_t>(std::ceil(std::abs(ratio_b))),
                             sums[1]));
  const uint64_t largest = std::max(sums[1], std::max(sums[0], sums[2]));
  const uint64_t log_color = std::max<uint64_t>(
      1, static_cast<uint64_t>(
             std::ceil(std::log2(1.0 + static_cast<double>(largest)))));
  const float max_weight = std::ceil(std::sqrt(
      static_cast<float>(area_limit) / static_cast<float>(log_color) /
      static_cast<float>(std::max<uint64_t>(1, manhattan))));
  uint64_t width_estimate = 0;
  for (size_t i = 0; i < kSplineCoefficients; ++i) {
    const float v = std::abs(static_cast<float>(spline.coefficients[3][i]));
    const uint64_t w = static_cast<uint64_t>(
        std::min(max_weight, std::max(1.0f, std::ceil(v * f))));
    width_estimate = SaturatingAdd(width_estimate,
                                   SaturatingMul(log_color, SaturatingMul(w, w)));
  }
  *area = SaturatingAdd(*area, SaturatingMul(width_estimate, manhattan));
  if (*area > area_limit) return FailedStatus();
  return OkStatus();
}

Status Splines::PrepareDrawing(uint64_t width, uint64_t height,
                               const ChromaFromLumaMap& cfl) {
  const float ratio_x = 0.0f * cfl.color_scale + cfl.base_correlation_x;
  const float ratio_b = cfl.base_correlation_b + 0.0f * cfl.color_scale;
  return PrepareDrawing(width, height, ratio_x, ratio_b);
}

Status Splines::PrepareDrawing(uint64_t width, uint64_t height, float ratio_x,
                               float ratio_b) {
  segments_.clear();
  segment_indices_ = AlignedBlock();
  row_offsets_ = AlignedBlock();
  first_row_ = end_row_ = 0;
  const uint64_t image_size = SaturatingMul(width, height);

  const uint64_t max_pairs =
      SaturatingAdd(SaturatingMul(16, image_size), uint64_t{1} << 20);
  std::vector<SplineRowRange> rows;
  std::vector<SplinePoint> path;
  // Sample points are made twice, counted first (the arc length places each
  // along the series) and then built in chunks, so they are never all held.
  constexpr size_t kChunk = 4096;
  std::vector<SplineSamplePoint> chunk;
  chunk.reserve(kChunk);
  // One spline at a time, dequantised into the same curve: a frame may
  // hold up to 2^20 splines, whose curves are not all held at once. Any
  // spline failing fails the frame, so building the segments of earlier
  // ones first changes nothing.
  SplineCurve curve;
  uint64_t area = 0;
  // The decoder's own limit on the work of sampling: the control polygons
  // of a frame's splines are at most 16 W H + 2^20 long in all (as the
  // sum of |dx| + |dy| over consecutive control points). The area limit
  // alone allows 32 W H + 2^27, and every unit of a path costs a sample
  // point and a series evaluation even where nothing is drawn: a spline
  // of five control points zigzagging right of a 1024 x 1024 frame took
  // seven seconds.
  const uint64_t max_path_length = max_pairs;
  uint64_t path_length = 0;
  for (size_t i = 0; i < splines_.size(); ++i) {
    QOV_RETURN_IF_ERROR(DequantizeSpline(splines_[i], starting_points_[i],
                                         quant_adjustment_, ratio_x, ratio_b,
                                         image_size, &area, &curve));
    const std::vector<SplinePoint>& points = curve.control_points;
    for (size_t j = 1; j < points.size(); ++j) {
      if (std::abs(points[j].x - points[j - 1].x) < 0.001f &&
          std::abs(points[j].y - points[j - 1].y) < 0.001f) {
        return FailedStatus();
      }
      // Control points are integers below 2^23 in magnitude.
      path_length += static_cast<uint64_t>(std::abs(points[j].x - points[j - 1].x) +
                                           std::abs(points[j].y - points[j - 1].y));
    }
    if (path_length > max_path_length) return FailedStatus();
    DensifyPath(curve.control_points, &path);
    uint64_t count = 0;
    float last_weight = 0.0f;
    ResamplePath(path, [&](const SplineSamplePoint& p) {
      ++count;
      last_weight = p.weight;
    });
    CountWork(Work::kSplineSamples, count);
    const float arc_length = static_cast<float>(count) - 2.0f + last_weight;
    if (!(arc_length > 0.0f)) continue;
    uint64_t first_index = 0;
    bool too_many = false;
    auto flush = [&] {
      if (!too_many) {
        BuildSplineSegments(height, curve, chunk, first_index, arc_length,
                            &segments_, &rows);
        // Every segment touches a row: stop before the list outgrows the
        // index.
        too_many = segments_.size() > max_pairs;
      }
      first_index += chunk.size();
      chunk.clear();
    };
    ResamplePath(path, [&](const SplineSamplePoint& p) {
      chunk.push_back(p);
      if (chunk.size() == kChunk) flush();
    });
    flush();
    if (too_many) return FailedStatus();
  }
  return BuildRowIndex(rows, max_pairs);
}

Status Splines::BuildRowIndex(const std::vector<SplineRowRange>& rows,
                              uint64_t max_pairs) {
  if (rows.empty()) return OkStatus();
  uint64_t first = UINT64_MAX, end = 0, pairs = 0;
  for (const SplineRowRange& r : rows) {
    first = std::min(first, r.first);
    end = std::max(end, r.end);
    pairs += r.end - r.first;
    if (pairs > max_pairs) return FailedStatus();
  }
  const uint64_t num_rows = end - first;
  QOV_ASSIGN_OR_RETURN(row_offsets_,
                       AlignedBlock::Create(memory_manager_,
                                            (num_rows + 2) * sizeof(uint64_t)));
  QOV_ASSIGN_OR_RETURN(segment_indices_,
                       AlignedBlock::Create(memory_manager_,
                                            std::max<uint64_t>(pairs, 1) *
                                                sizeof(uint64_t)));
  uint64_t* offsets = row_offsets_.As<uint64_t>();
  std::fill(offsets, offsets + num_rows + 2, 0);
  // Counts at offsets[r + 1], made running sums: offsets[r] starts row r.
  for (const SplineRowRange& r : rows) {
    for (uint64_t y = r.first; y < r.end; ++y) ++offsets[y - first + 1];
  }
  for (uint64_t r = 0; r < num_rows; ++r) offsets[r + 1] += offsets[r];
  uint64_t* indices = segment_indices_.As<uint64_t>();
  std::vector<uint64_t> next(offsets, offsets + num_rows);
  for (uint64_t s = 0; s < rows.size(); ++s) {
    for (uint64_t y = rows[s].first; y < rows[s].end; ++y) {
      indices[next[y - first]++] = s;
    }
  }
  first_row_ = first;
  end_row_ = end;
  return OkStatus();
}

std::vector<uint64_t> Splines::SegmentsOnRow(uint64_t y) const {
  if (y < first_row_ || y >= end_row_) return {};
  const uint64_t* offsets = row_offsets_.As<uint64_t>();
  const uint64_t* indices = segment_indices_.As<uint64_t>();
  return std::vector<uint64_t>(indices + offsets[y - first_row_],
                               indices + offsets[y - first_row_ + 1]);
}

void Splines::DrawRow(float* row_x, float* row_y, float* row_b, uint64_t y,
                      uint64_t x_begin, uint64_t x_end) const {
  if (segments_.empty() || y < first_row_ || y >= end_row_ || x_end <= x_begin) {
    return;
  }
  DrawSplineSegmentsRow(row_x, row_y, row_b, y, x_begin, x_end,
                        segments_.data(), segment_indices_.As<uint64_t>(),
                        row_offsets_.As<uint64_t>(), first_row_);
}

}  // namespace qov
