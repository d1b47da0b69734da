// Dispatching entry points of the DCT kernels and inverse transforms, one
// copy per compiled target.
#include "lib/vardct/dct.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/vardct/dct.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "lib/vardct/dct-inl.h"
#include "lib/vardct/inverse_transform-inl.h"

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {

void ColumnIdctKernel(size_t n, const FloatBlockView& from,
                      const FloatBlockView& to, size_t columns, float* scratch) {
  const ColumnTransformFn kernel = IdctKernel(n);
  if (kernel != nullptr) CallColumnTransform(kernel, from, to, columns, scratch);
}

void ColumnDctKernel(size_t n, const FloatBlockView& from,
                     const FloatBlockView& to, size_t columns, float* scratch) {
  const ColumnTransformFn kernel = DctKernel(n);
  if (kernel != nullptr) CallColumnTransform(kernel, from, to, columns, scratch);
}

void TransposeKernel(const FloatBlockView& from, const FloatBlockView& to,
                     size_t rows, size_t columns) {
  TransposeTile(from, to, rows, columns);
}

void InverseTransformBlockKernel(uint32_t kind, float* coefficients,
                                 float* pixels, size_t pixel_stride,
                                 float* scratch) {
  InverseTransformBlock(kind, coefficients, pixels, pixel_stride, scratch);
}

void DcToLowFrequenciesKernel(uint32_t kind, const float* dc, size_t dc_stride,
                              float* coefficients, float* scratch) {
  DcToLowFrequencies(kind, dc, dc_stride, coefficients, scratch);
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(ColumnIdctKernel);
HWY_EXPORT(ColumnDctKernel);
HWY_EXPORT(TransposeKernel);
HWY_EXPORT(InverseTransformBlockKernel);
HWY_EXPORT(DcToLowFrequenciesKernel);

void ColumnIdct(size_t n, const FloatBlockView& from, const FloatBlockView& to,
                size_t columns, float* scratch) {
  HWY_DYNAMIC_DISPATCH(ColumnIdctKernel)(n, from, to, columns, scratch);
}

void ColumnDct(size_t n, const FloatBlockView& from, const FloatBlockView& to,
               size_t columns, float* scratch) {
  HWY_DYNAMIC_DISPATCH(ColumnDctKernel)(n, from, to, columns, scratch);
}

void TransposeFloatTile(const FloatBlockView& from, const FloatBlockView& to,
                        size_t rows, size_t columns) {
  HWY_DYNAMIC_DISPATCH(TransposeKernel)(from, to, rows, columns);
}

size_t InverseTransformScratchFloats(uint32_t kind) {
  if (kind >= kNumVarBlockKinds) return 0;
  const size_t w = 8 * size_t{kVarBlockCoveredX[kind]};
  const size_t h = 8 * size_t{kVarBlockCoveredY[kind]};
  return w * h + ColumnIdctScratchFloats(w > h ? w : h);
}

size_t LowFrequencyScratchFloats(uint32_t kind) {
  if (kind >= kNumVarBlockKinds) return 0;
  const size_t cx = kVarBlockCoveredX[kind], cy = kVarBlockCoveredY[kind];
  if (cx * cy == 1) return 0;
  const size_t n = cx > cy ? cx : cy;
  return 2 * cx * cy + (n >= 4 ? ColumnIdctScratchFloats(n) : 0);
}

void InverseTransformBlock(uint32_t kind, float* coefficients, float* pixels,
                           size_t pixel_stride, float* scratch) {
  HWY_DYNAMIC_DISPATCH(InverseTransformBlockKernel)
  (kind, coefficients, pixels, pixel_stride, scratch);
}

void DcToLowFrequencies(uint32_t kind, const float* dc, size_t dc_stride,
                        float* coefficients, float* scratch) {
  HWY_DYNAMIC_DISPATCH(DcToLowFrequenciesKernel)
  (kind, dc, dc_stride, coefficients, scratch);
}

}  // namespace qov
#endif  // HWY_ONCE
