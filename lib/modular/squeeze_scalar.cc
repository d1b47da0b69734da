// Reference squeeze kernels: the tendency and the pair reconstruction in
// 64-bit arithmetic, one position at a time.
#include "lib/modular/squeeze.h"

namespace qov {
namespace {

// Low 32 bits, as samples are stored.
int32_t Wrap32(int64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}

}  // namespace

int64_t SqueezeTendency(int64_t b, int64_t a, int64_t n) {
  if (b >= a && a >= n) {
    int64_t d = (4 * b - a - 3 * n + 6) / 12;
    if (d - (d & 1) > 2 * (b - a)) d = 2 * (b - a) + 1;
    if (d + (d & 1) > 2 * (a - n)) d = 2 * (a - n);
    return d;
  }
  if (b <= a && a <= n) {
    int64_t d = (4 * b - a - 3 * n - 6) / 12;
    if (d + (d & 1) < 2 * (b - a)) d = 2 * (b - a) - 1;
    if (d - (d & 1) < 2 * (a - n)) d = 2 * (a - n);
    return d;
  }
  return 0;
}

void SqueezeHorizontalRowsScalar(const int32_t* avg, size_t avg_stride,
                                 const int32_t* res, size_t res_stride,
                                 int32_t* out, size_t out_stride,
                                 size_t avg_width, size_t res_width,
                                 size_t rows) {
  for (size_t y = 0; y < rows; ++y) {
    const int32_t* a = avg + y * avg_stride;
    const int32_t* r = res + y * res_stride;
    int32_t* o = out + y * out_stride;
    for (size_t x = 0; x < res_width; ++x) {
      const int64_t average = a[x];
      const int64_t next = x + 1 < avg_width ? a[x + 1] : average;
      const int64_t before = x > 0 ? o[2 * x - 1] : average;
      const int64_t diff = r[x] + SqueezeTendency(before, average, next);
      const int64_t first = average + diff / 2;
      o[2 * x] = Wrap32(first);
      o[2 * x + 1] = Wrap32(first - diff);
    }
    if (avg_width > res_width) o[2 * res_width] = a[avg_width - 1];
  }
}

void SqueezeVerticalStripScalar(const int32_t* avg, size_t avg_stride,
                                const int32_t* res, size_t res_stride,
                                int32_t* out, size_t out_stride,
                                size_t avg_height, size_t res_height,
                                size_t columns) {
  for (size_t y = 0; y < res_height; ++y) {
    const int32_t* a = avg + y * avg_stride;
    const int32_t* a_next = y + 1 < avg_height ? a + avg_stride : a;
    const int32_t* r = res + y * res_stride;
    int32_t* o0 = out + 2 * y * out_stride;
    int32_t* o1 = o0 + out_stride;
    const int32_t* before = y > 0 ? o0 - out_stride : a;
    for (size_t x = 0; x < columns; ++x) {
      const int64_t average = a[x];
      const int64_t diff =
          r[x] + SqueezeTendency(before[x], average, a_next[x]);
      const int64_t first = average + diff / 2;
      o0[x] = Wrap32(first);
      o1[x] = Wrap32(first - diff);
    }
  }
}

}  // namespace qov
