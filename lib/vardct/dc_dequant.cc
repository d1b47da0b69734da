// SIMD copies of the DC dequantisation rows, and the per-group driver with
// the DC buckets.
#include "lib/vardct/dc_dequant.h"

#include <algorithm>
#include <vector>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/vardct/dc_dequant.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Samples [begin, end) in groups of Lanes(d). MulAdd is fused where the
// target has FMA, a multiply and an add elsewhere.
template <class D>
HWY_INLINE void DequantizeDcSpan(D d, const int32_t* HWY_RESTRICT qy,
                                 const int32_t* HWY_RESTRICT qx,
                                 const int32_t* HWY_RESTRICT qb, size_t begin,
                                 size_t end, const float* f, float cfl_x,
                                 float cfl_b, float* HWY_RESTRICT y,
                                 float* HWY_RESTRICT x, float* HWY_RESTRICT b) {
  const hn::RebindToSigned<D> di;
  const auto fx = hn::Set(d, f[0]), fy = hn::Set(d, f[1]), fb = hn::Set(d, f[2]);
  const auto cx = hn::Set(d, cfl_x), cb = hn::Set(d, cfl_b);
  for (size_t i = begin; i < end; i += hn::Lanes(d)) {
    const auto vy = hn::Mul(hn::ConvertTo(d, hn::LoadU(di, qy + i)), fy);
    const auto vx = hn::Mul(hn::ConvertTo(d, hn::LoadU(di, qx + i)), fx);
    const auto vb = hn::Mul(hn::ConvertTo(d, hn::LoadU(di, qb + i)), fb);
    hn::StoreU(vy, d, y + i);
    hn::StoreU(hn::MulAdd(cx, vy, vx), d, x + i);
    hn::StoreU(hn::MulAdd(cb, vy, vb), d, b + i);
  }
}

void DequantizeDcRowKernel(const int32_t* HWY_RESTRICT qy,
                           const int32_t* HWY_RESTRICT qx,
                           const int32_t* HWY_RESTRICT qb, size_t xsize,
                           const float* f, float cfl_x, float cfl_b,
                           float* HWY_RESTRICT y, float* HWY_RESTRICT x,
                           float* HWY_RESTRICT b) {
  const hn::ScalableTag<float> d;
  const size_t whole = xsize - xsize % hn::Lanes(d);
  DequantizeDcSpan(d, qy, qx, qb, 0, whole, f, cfl_x, cfl_b, y, x, b);
  DequantizeDcSpan(hn::CappedTag<float, 1>(), qy, qx, qb, whole, xsize, f,
                   cfl_x, cfl_b, y, x, b);
}

template <class D>
HWY_INLINE void ScaleDcSpan(D d, const int32_t* HWY_RESTRICT q, size_t begin,
                            size_t end, float f, float* HWY_RESTRICT out) {
  const hn::RebindToSigned<D> di;
  const auto vf = hn::Set(d, f);
  for (size_t i = begin; i < end; i += hn::Lanes(d)) {
    hn::StoreU(hn::Mul(hn::ConvertTo(d, hn::LoadU(di, q + i)), vf), d, out + i);
  }
}

void ScaleDcRowKernel(const int32_t* HWY_RESTRICT q, size_t xsize, float f,
                      float* HWY_RESTRICT out) {
  const hn::ScalableTag<float> d;
  const size_t whole = xsize - xsize % hn::Lanes(d);
  ScaleDcSpan(d, q, 0, whole, f, out);
  ScaleDcSpan(hn::CappedTag<float, 1>(), q, whole, xsize, f, out);
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(DequantizeDcRowKernel);
HWY_EXPORT(ScaleDcRowKernel);

void DequantizeDcRow(const int32_t* qy, const int32_t* qx, const int32_t* qb,
                     size_t xsize, const float f[3], float cfl_x, float cfl_b,
                     float* y, float* x, float* b) {
  if (xsize == 0) return;
  HWY_DYNAMIC_DISPATCH(DequantizeDcRowKernel)
  (qy, qx, qb, xsize, f, cfl_x, cfl_b, y, x, b);
}

void ScaleDcRow(const int32_t* q, size_t xsize, float f, float* out) {
  if (xsize == 0) return;
  HWY_DYNAMIC_DISPATCH(ScaleDcRowKernel)(q, xsize, f, out);
}

namespace {

uint32_t CountBelow(const std::vector<int32_t>& thresholds, int32_t v) {
  uint32_t n = 0;
  for (int32_t t : thresholds) n += t < v ? 1 : 0;
  return n;
}

}  // namespace

void DequantizeDcRows(const PixelRect& rect, Image3F* dc, PlaneU8* dc_buckets,
                      const DcGroupChannels& in, const float mul[3],
                      float extra_precision, const float cfl_dc[3],
                      const YCbCrChromaSubsampling& cs,
                      const BlockCtxMap& block_ctx_map) {
  const size_t x0 = static_cast<size_t>(rect.x0);
  const size_t y0 = static_cast<size_t>(rect.y0);
  const size_t xsize = static_cast<size_t>(rect.xsize);
  const size_t ysize = static_cast<size_t>(rect.ysize);
  const float f[3] = {mul[0] * extra_precision, mul[1] * extra_precision,
                      mul[2] * extra_precision};
  // Modular channel carrying plane p, and the plane's shifts.
  static constexpr size_t kChannelOf[3] = {1, 0, 2};
  size_t hs[3], vs[3];
  bool subsampled = false;
  for (size_t p = 0; p < 3; ++p) {
    hs[p] = cs.HShift(p);
    vs[p] = cs.VShift(p);
    subsampled |= hs[p] != 0 || vs[p] != 0;
  }
  auto row_of = [&](size_t p, size_t y) {
    const size_t ch = kChannelOf[p];
    return in.rows[ch] + y * in.stride[ch];
  };
  if (!subsampled) {
    for (size_t y = 0; y < ysize; ++y) {
      DequantizeDcRow(row_of(1, y), row_of(0, y), row_of(2, y), xsize, f,
                      cfl_dc[0], cfl_dc[2], dc->PlaneRow(1, y0 + y) + x0,
                      dc->PlaneRow(0, y0 + y) + x0, dc->PlaneRow(2, y0 + y) + x0);
    }
  } else {
    for (size_t p : {size_t{1}, size_t{0}, size_t{2}}) {
      const size_t px0 = x0 >> hs[p], py0 = y0 >> vs[p];
      for (size_t i = 0; i < (ysize >> vs[p]); ++i) {
        ScaleDcRow(row_of(p, i), xsize >> hs[p], f[p],
                   dc->PlaneRow(p, py0 + i) + px0);
      }
    }
  }
  if (block_ctx_map.num_dc_contexts <= 1) {
    for (size_t y = 0; y < ysize; ++y) {
      std::fill(dc_buckets->Row(y0 + y) + x0,
                dc_buckets->Row(y0 + y) + x0 + xsize, uint8_t{0});
    }
    return;
  }
  const auto& t = block_ctx_map.dc_thresholds;
  const size_t ly = t[1].size(), lb = t[2].size();
  for (size_t y = 0; y < ysize; ++y) {
    uint8_t* out = dc_buckets->Row(y0 + y) + x0;
    for (size_t x = 0; x < xsize; ++x) {
      const uint32_t bx = CountBelow(t[0], row_of(0, y >> vs[0])[x >> hs[0]]);
      const uint32_t by = CountBelow(t[1], row_of(1, y >> vs[1])[x >> hs[1]]);
      const uint32_t bb = CountBelow(t[2], row_of(2, y >> vs[2])[x >> hs[2]]);
      out[x] = static_cast<uint8_t>(by + (bb + bx * (lb + 1)) * (ly + 1));
    }
  }
}

}  // namespace qov
#endif  // HWY_ONCE
