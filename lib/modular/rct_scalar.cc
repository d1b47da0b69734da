// Reference RCT row, one position at a time, and the undo of the transform
// on an image (channel checks, permutation, rows over the pool).
#include <utility>

#include "lib/modular/modular_image.h"
#include "lib/modular/rct.h"

namespace qov {
namespace {

// Wrapping 32-bit arithmetic without signed overflow.
int32_t Add(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) +
                              static_cast<uint32_t>(b));
}
int32_t Sub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) -
                              static_cast<uint32_t>(b));
}

}  // namespace

void RctUndoRowScalar(uint32_t kind, const int32_t* in0, const int32_t* in1,
                      const int32_t* in2, int32_t* out0, int32_t* out1,
                      int32_t* out2, size_t width) {
  for (size_t x = 0; x < width; ++x) {
    const int32_t a = in0[x], b = in1[x], c = in2[x];
    int32_t r0 = a, r1 = b, r2 = c;
    switch (kind) {
      case 1: r2 = Add(c, a); break;
      case 2: r1 = Add(b, a); break;
      case 3: r1 = Add(b, a); r2 = Add(c, a); break;
      case 4: r1 = Add(b, Add(a, c) >> 1); break;
      case 5:
        r2 = Add(c, a);
        r1 = Add(b, Add(a, r2) >> 1);
        break;
      case 6: {
        const int32_t t = Sub(a, c >> 1);
        r1 = Add(c, t);
        r2 = Sub(t, b >> 1);
        r0 = Add(r2, b);
        break;
      }
      default: break;
    }
    out0[x] = r0;
    out1[x] = r1;
    out2[x] = r2;
  }
}

Status UndoRct(ModularImage& image, uint32_t first_channel,
               uint32_t rct_selector, const TaskPool* pool) {
  const uint64_t b = first_channel;
  if (b > UINT32_MAX - 2) return FailedStatus();
  QOV_RETURN_IF_ERROR(CheckMatchingChannels(image, first_channel,
                                            first_channel + 2));
  if (rct_selector == 0) return OkStatus();
  const uint32_t p = rct_selector / 7;
  if (p > 5) return FailedStatus();
  const uint32_t kind = rct_selector % 7;
  const uint64_t perm[3] = {p % 3, (p + p / 3 + 1) % 3, (p + 2 - p / 3) % 3};
  std::vector<ModularChannel>& ch = image.channels;
  if (kind == 0) {
    ModularChannel old[3] = {std::move(ch[b]), std::move(ch[b + 1]),
                             std::move(ch[b + 2])};
    for (int i = 0; i < 3; ++i) ch[b + perm[i]] = std::move(old[i]);
    return OkStatus();
  }
  const size_t width = static_cast<size_t>(ch[b].width);
  return RunOnPool(
      pool, static_cast<uint32_t>(ch[b].height), nullptr,
      [&](uint32_t y, size_t) -> Status {
        RctUndoRow(kind, ch[b].Row(y), ch[b + 1].Row(y), ch[b + 2].Row(y),
                   ch[b + perm[0]].Row(y), ch[b + perm[1]].Row(y),
                   ch[b + perm[2]].Row(y), width);
        return OkStatus();
      });
}

}  // namespace qov
