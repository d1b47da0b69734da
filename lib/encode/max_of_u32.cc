// SIMD copies of MaxOfU32, one per compiled target.
#include "lib/encode/max_of_u32.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/encode/max_of_u32.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

uint32_t MaxOfU32Kernel(const uint32_t* HWY_RESTRICT values, size_t count) {
  const hn::ScalableTag<uint32_t> d;
  const size_t lanes = hn::Lanes(d);
  auto m0 = hn::Zero(d);
  auto m1 = hn::Zero(d);
  size_t i = 0;
  // Unrolled main loop: 8 vectors per pass into two accumulators.
  for (; i + 8 * lanes <= count; i += 8 * lanes) {
    for (size_t k = 0; k < 8; k += 2) {
      m0 = hn::Max(m0, hn::LoadU(d, values + i + k * lanes));
      m1 = hn::Max(m1, hn::LoadU(d, values + i + (k + 1) * lanes));
    }
  }
  for (; i + lanes <= count; i += lanes) {
    m0 = hn::Max(m0, hn::LoadU(d, values + i));
  }
  if (i < count) {
    const auto last = hn::LoadU(d, values + i);
    m1 = hn::Max(m1, hn::IfThenElseZero(hn::FirstN(d, count - i), last));
  }
  return hn::GetLane(hn::MaxOfLanes(d, hn::Max(m0, m1)));
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(MaxOfU32Kernel);

uint32_t MaxOfU32(const uint32_t* values, size_t count) {
  if (count == 0) return 0;
  return HWY_DYNAMIC_DISPATCH(MaxOfU32Kernel)(values, count);
}

}  // namespace qov
#endif  // HWY_ONCE
