// SIMD copies of the DC smoothing row, and the whole-image pass that runs it
// over a scratch image and swaps the result in.
#include "lib/vardct/dc_smoothing.h"

#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/vardct/dc_smoothing.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Columns [begin, end) in groups of Lanes(d).
template <class D>
HWY_INLINE void SmoothDcSpan(D d, const float* const rows[3][3], size_t begin,
                             size_t end, const float* dc_mul,
                             float* const out[3]) {
  const auto center = hn::Set(d, 0.052262723f);
  const auto side_w = hn::Set(d, 0.2034514f);
  const auto corner_w = hn::Set(d, 0.03348292f);
  const auto half = hn::Set(d, 0.5f);
  const auto three = hn::Set(d, 3.0f);
  const auto four = hn::Set(d, 4.0f);
  for (size_t x = begin; x < end; x += hn::Lanes(d)) {
    decltype(hn::Zero(d)) s[3], c[3];
    auto gap = half;
    for (size_t p = 0; p < 3; ++p) {
      const float* up = rows[p][0];
      const float* row = rows[p][1];
      const float* down = rows[p][2];
      c[p] = hn::LoadU(d, row + x);
      const auto side =
          hn::Add(hn::Add(hn::LoadU(d, row + x - 1), hn::LoadU(d, row + x + 1)),
                  hn::Add(hn::LoadU(d, up + x), hn::LoadU(d, down + x)));
      const auto corner = hn::Add(
          hn::Add(hn::LoadU(d, up + x - 1), hn::LoadU(d, up + x + 1)),
          hn::Add(hn::LoadU(d, down + x - 1), hn::LoadU(d, down + x + 1)));
      s[p] = hn::MulAdd(corner_w, corner,
                        hn::MulAdd(side_w, side, hn::Mul(c[p], center)));
      gap = hn::Max(gap, hn::Abs(hn::Div(hn::Sub(c[p], s[p]),
                                         hn::Set(d, dc_mul[p]))));
    }
    const auto factor = hn::ZeroIfNegative(hn::NegMulAdd(four, gap, three));
    for (size_t p = 0; p < 3; ++p) {
      hn::StoreU(hn::MulAdd(factor, hn::Sub(s[p], c[p]), c[p]), d, out[p] + x);
    }
  }
}

void SmoothDcRowKernel(const float* const rows[3][3], size_t xsize,
                       const float* dc_mul, float* const out[3]) {
  for (size_t p = 0; p < 3; ++p) {
    out[p][0] = rows[p][1][0];
    out[p][xsize - 1] = rows[p][1][xsize - 1];
  }
  const hn::ScalableTag<float> d;
  const size_t interior = xsize - 2;
  const size_t whole = 1 + interior - interior % hn::Lanes(d);
  SmoothDcSpan(d, rows, 1, whole, dc_mul, out);
  SmoothDcSpan(hn::CappedTag<float, 1>(), rows, whole, xsize - 1, dc_mul, out);
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(SmoothDcRowKernel);

void SmoothDcRow(const float* const rows[3][3], size_t xsize,
                 const float dc_mul[3], float* const out[3]) {
  if (xsize < 3) return;
  HWY_DYNAMIC_DISPATCH(SmoothDcRowKernel)(rows, xsize, dc_mul, out);
}

Status SmoothDcImage(const QovMemoryManagerStruct* memory_manager,
                     const float dc_mul[3], Image3F* dc, const TaskPool* pool) {
  const size_t xsize = dc->xsize(), ysize = dc->ysize();
  if (xsize <= 2 || ysize <= 2) return OkStatus();
  QOV_ASSIGN_OR_RETURN(Image3F smoothed,
                       Image3F::Create(memory_manager, xsize, ysize));
  for (size_t p = 0; p < 3; ++p) {
    std::memcpy(smoothed.PlaneRow(p, 0), dc->PlaneRow(p, 0),
                xsize * sizeof(float));
    std::memcpy(smoothed.PlaneRow(p, ysize - 1), dc->PlaneRow(p, ysize - 1),
                xsize * sizeof(float));
  }
  const Image3F& in = *dc;
  QOV_RETURN_IF_ERROR(RunOnPool(
      pool, static_cast<uint32_t>(ysize - 2), nullptr,
      [&](uint32_t item, size_t /*thread*/) -> Status {
        const size_t y = item + 1;
        const float* rows[3][3];
        float* out[3];
        for (size_t p = 0; p < 3; ++p) {
          rows[p][0] = in.PlaneRow(p, y - 1);
          rows[p][1] = in.PlaneRow(p, y);
          rows[p][2] = in.PlaneRow(p, y + 1);
          out[p] = smoothed.PlaneRow(p, y);
        }
        SmoothDcRow(rows, xsize, dc_mul, out);
        return OkStatus();
      }));
  for (size_t p = 0; p < 3; ++p) dc->Plane(p).Swap(smoothed.Plane(p));
  return OkStatus();
}

}  // namespace qov
#endif  // HWY_ONCE
