// SIMD copies of the loop-filter row kernels. MulAdd is fused where the
// target has fused multiply-add and a separate multiply and add elsewhere,
// which keeps the documented order on both. Vectors hold at most 8 lanes so
// that one edge-preserving filter vector never spans two 8 x 8 blocks.
#include "lib/render/loop_filter_kernels.h"

#include <cstdint>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/render/loop_filter_kernels.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using D8 = hn::CappedTag<float, 8>;

// First column of the vector loop: -extra_left rounded down to whole
// vectors.
HWY_INLINE ptrdiff_t FirstColumn(size_t extra_left, size_t lanes) {
  const size_t rounded = (extra_left + lanes - 1) / lanes * lanes;
  return -static_cast<ptrdiff_t>(rounded);
}

void GaborishRowKernel(const GaborishWeights& w, const float* const* rows,
                       float* out, size_t extra_left, size_t end) {
  const D8 d;
  const ptrdiff_t n = static_cast<ptrdiff_t>(hn::Lanes(d));
  const auto centre = hn::Set(d, w.centre);
  const auto direct = hn::Set(d, w.direct);
  const auto diagonal = hn::Set(d, w.diagonal);
  const float* up = rows[0];
  const float* mid = rows[1];
  const float* down = rows[2];
  const ptrdiff_t stop = static_cast<ptrdiff_t>(end);
  for (ptrdiff_t x = FirstColumn(extra_left, n); x < stop; x += n) {
    const auto direct_sum =
        hn::Add(hn::Add(hn::LoadU(d, up + x), hn::LoadU(d, down + x)),
                hn::Add(hn::LoadU(d, mid + x - 1), hn::LoadU(d, mid + x + 1)));
    const auto diagonal_sum = hn::Add(
        hn::Add(hn::LoadU(d, down + x - 1), hn::LoadU(d, down + x + 1)),
        hn::Add(hn::LoadU(d, up + x - 1), hn::LoadU(d, up + x + 1)));
    auto sum = hn::Mul(centre, hn::LoadU(d, mid + x));
    sum = hn::MulAdd(direct, direct_sum, sum);
    sum = hn::MulAdd(diagonal, diagonal_sum, sum);
    hn::StoreU(sum, d, out + x);
  }
}

struct Offset {
  int dy;
  int dx;
};

constexpr Offset kStep0Neighbours[12] = {
    {-2, 0}, {-1, -1}, {-1, 0}, {-1, 1}, {0, -2}, {0, -1},
    {0, 1},  {0, 2},   {1, -1}, {1, 0},  {1, 1},  {2, 0}};
constexpr Offset kDirectNeighbours[4] = {{-1, 0}, {0, -1}, {0, 1}, {1, 0}};

template <int kStep>
HWY_INLINE void EpfRowStep(const EpfRowArgs& a) {
  const D8 d;
  const hn::RebindToSigned<D8> di;
  constexpr int kBorder = 3 - kStep;
  constexpr bool kPatch = kStep != 2;
  const Offset* neighbours = kStep == 0 ? kStep0Neighbours : kDirectNeighbours;
  constexpr size_t kNeighbours = kStep == 0 ? 12 : 4;
  const ptrdiff_t n = static_cast<ptrdiff_t>(hn::Lanes(d));
  const ptrdiff_t stop = static_cast<ptrdiff_t>(a.end);
  const ptrdiff_t xpos = static_cast<ptrdiff_t>(a.xpos);
  const auto one = hn::Set(d, 1.0f);
  const auto cw0 = hn::Set(d, a.channel_weights[0]);
  const auto cw1 = hn::Set(d, a.channel_weights[1]);
  const auto cw2 = hn::Set(d, a.channel_weights[2]);
  // Row dy of channel c.
  auto row = [&](int c, int dy) { return a.rows[c][kBorder + dy]; };
  for (ptrdiff_t x = FirstColumn(a.extra_left, n); x < stop; x += n) {
    const float k = a.sigma_row[(xpos + x + 16) >> 3];
    if (k < kEpfMinInverseSigma) {
      for (int c = 0; c < 3; ++c) {
        hn::StoreU(hn::LoadU(d, row(c, 0) + x), d, a.out[c] + x);
      }
      continue;
    }
    const auto km = hn::Mul(hn::Set(d, k),
                            hn::LoadU(d, a.multipliers + ((xpos + x) & 7)));
    auto sum0 = hn::LoadU(d, row(0, 0) + x);
    auto sum1 = hn::LoadU(d, row(1, 0) + x);
    auto sum2 = hn::LoadU(d, row(2, 0) + x);
    auto weight_sum = one;
    for (size_t i = 0; i < kNeighbours; ++i) {
      const int dy = neighbours[i].dy;
      const ptrdiff_t nx = x + neighbours[i].dx;
      hn::Vec<D8> dist[3];
      for (int c = 0; c < 3; ++c) {
        const auto centre = hn::LoadU(d, row(c, 0) + x);
        auto dc = hn::Abs(hn::Sub(centre, hn::LoadU(d, row(c, dy) + nx)));
        if (kPatch) {
          dc = hn::Add(dc, hn::Abs(hn::Sub(hn::LoadU(d, row(c, 0) + x - 1),
                                           hn::LoadU(d, row(c, dy) + nx - 1))));
          dc = hn::Add(dc, hn::Abs(hn::Sub(hn::LoadU(d, row(c, 0) + x + 1),
                                           hn::LoadU(d, row(c, dy) + nx + 1))));
          dc = hn::Add(dc, hn::Abs(hn::Sub(hn::LoadU(d, row(c, -1) + x),
                                           hn::LoadU(d, row(c, dy - 1) + nx))));
          dc = hn::Add(dc, hn::Abs(hn::Sub(hn::LoadU(d, row(c, 1) + x),
                                           hn::LoadU(d, row(c, dy + 1) + nx))));
        }
        dist[c] = dc;
      }
      auto distance = hn::Mul(cw0, dist[0]);
      distance = hn::MulAdd(cw1, dist[1], distance);
      distance = hn::MulAdd(cw2, dist[2], distance);
      auto w = hn::Add(hn::Mul(distance, km), one);
      const auto negative =
          hn::RebindMask(d, hn::Lt(hn::BitCast(di, w), hn::Zero(di)));
      w = hn::IfThenZeroElse(negative, w);
      sum0 = hn::MulAdd(w, hn::LoadU(d, row(0, dy) + nx), sum0);
      sum1 = hn::MulAdd(w, hn::LoadU(d, row(1, dy) + nx), sum1);
      sum2 = hn::MulAdd(w, hn::LoadU(d, row(2, dy) + nx), sum2);
      weight_sum = hn::Add(weight_sum, w);
    }
    const auto inv = hn::Div(one, weight_sum);
    hn::StoreU(hn::Mul(sum0, inv), d, a.out[0] + x);
    hn::StoreU(hn::Mul(sum1, inv), d, a.out[1] + x);
    hn::StoreU(hn::Mul(sum2, inv), d, a.out[2] + x);
  }
}

void EpfRowKernel(int step, const EpfRowArgs& args) {
  if (step == 0) {
    EpfRowStep<0>(args);
  } else if (step == 1) {
    EpfRowStep<1>(args);
  } else {
    EpfRowStep<2>(args);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(GaborishRowKernel);
HWY_EXPORT(EpfRowKernel);

void GaborishRow(const GaborishWeights& w, const float* const rows[3],
                 float* out, size_t extra_left, size_t end) {
  if (extra_left + end == 0) return;
  HWY_DYNAMIC_DISPATCH(GaborishRowKernel)(w, rows, out, extra_left, end);
}

void EpfRow(int step, const EpfRowArgs& args) {
  if (args.extra_left + args.end == 0 || step < 0 || step > 2) return;
  HWY_DYNAMIC_DISPATCH(EpfRowKernel)(step, args);
}

}  // namespace qov
#endif  // HWY_ONCE
