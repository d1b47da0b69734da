// Inverse DCT column kernels, block transposes, the inverse transforms of the
// 27 varblock kinds and the low-frequency fill from the DC image.
//
// The per-target copies live in dct-inl.h and inverse_transform-inl.h; the
// group decoder's own per-target body calls those directly. The functions
// here dispatch once per call to the best target and serve tests, benchmarks
// and callers outside a per-target body. The *Scalar functions are the
// references: plain C++ in the documented order of operations, which the
// targets without fused multiply-add match bit for bit; targets with it fuse
// each product that is immediately added (butterflies, basis sums) and may
// differ in the last bits.
#ifndef QOV_LIB_VARDCT_DCT_H_
#define QOV_LIB_VARDCT_DCT_H_

#include <cstddef>
#include <cstdint>

namespace qov {

// A 2-D float block: element (i, j) at data + i * stride + j.
struct FloatBlockView {
  uint64_t stride;  // in floats
  float* data;
};

// Most floats of one vector on any compiled target.
inline constexpr size_t kMaxDctLanes = 8;

// Scratch floats an N-point column transform needs: (2N - 4) vectors.
inline constexpr size_t ColumnIdctScratchFloats(size_t n) {
  return kMaxDctLanes * (2 * n - 4);
}

// Inverse DCT of n points (4 <= n <= 256, a power of two) down each of the
// first `columns` columns of `from` (rows 0 .. n - 1) into the same columns
// of `to`: out[m] = x[0] + sqrt(2) sum_{k >= 1} x[k] cos((2m + 1) k pi / 2n),
// no normalisation. from and to must not overlap. Writes exactly n x columns
// floats of `to`; scratch holds ColumnIdctScratchFloats(n) floats.
void ColumnIdct(size_t n, const FloatBlockView& from, const FloatBlockView& to,
                size_t columns, float* scratch);
void ColumnIdctScalar(size_t n, const FloatBlockView& from,
                      const FloatBlockView& to, size_t columns);

// Forward DCT of n points (1 <= n <= 32, a power of two) down each column,
// every output multiplied by 1/n: output 0 is the mean.
void ColumnDct(size_t n, const FloatBlockView& from, const FloatBlockView& to,
               size_t columns, float* scratch);
void ColumnDctScalar(size_t n, const FloatBlockView& from,
                     const FloatBlockView& to, size_t columns);

// to(j, i) = from(i, j) for i < rows, j < columns; nothing else is written.
void TransposeFloatTile(const FloatBlockView& from, const FloatBlockView& to,
                        size_t rows, size_t columns);

// Scratch floats InverseTransformBlock needs for `kind` (0 for kind > 26):
// W x H + 8 x (2 max(W, H) - 4); at most 4 W H for every kind.
size_t InverseTransformScratchFloats(uint32_t kind);

// Turns the coefficient block of one channel of a varblock of `kind` (W x H
// pixels; 64 X Y floats laid out as 8 min(X, Y) rows of 8 max(X, Y)) into
// its W x H pixels at pixels + y * pixel_stride + x, writing nothing else.
// DCT kinds use `coefficients` as a work area; the nine one-block special
// kinds leave it unchanged. scratch: InverseTransformScratchFloats(kind)
// floats, 32-byte aligned. A kind above 26 touches nothing.
void InverseTransformBlock(uint32_t kind, float* coefficients, float* pixels,
                           size_t pixel_stride, float* scratch);
void InverseTransformBlockScalar(uint32_t kind, float* coefficients,
                                 float* pixels, size_t pixel_stride);

// Scratch floats DcToLowFrequencies needs for `kind`: none for one-block
// kinds, else 2 X Y + ColumnIdctScratchFloats(max(X, Y)) (at most 4 x 64 X Y,
// the group decoder's transform scratch).
size_t LowFrequencyScratchFloats(uint32_t kind);

// Overwrites the lowest-frequency corner of a varblock's coefficient block
// with the resampled forward DCT of its X x Y DC samples (dc + y * dc_stride
// + x); one-block kinds take the DC sample as coefficient 0. Writes nothing
// else; a kind above 26 writes nothing. scratch: LowFrequencyScratchFloats
// floats, 32-byte aligned.
void DcToLowFrequencies(uint32_t kind, const float* dc, size_t dc_stride,
                        float* coefficients, float* scratch);
void DcToLowFrequenciesScalar(uint32_t kind, const float* dc, size_t dc_stride,
                              float* coefficients);

}  // namespace qov

#endif  // QOV_LIB_VARDCT_DCT_H_
