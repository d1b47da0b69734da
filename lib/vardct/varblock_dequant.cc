// SIMD copies of varblock dequantisation (16-bit and 32-bit inputs).
#include "lib/vardct/varblock_dequant.h"

#include "lib/vardct/dct.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "lib/vardct/varblock_dequant.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace qov {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Quantised values of lanes [i, i + Lanes) as floats.
template <class D>
HWY_INLINE hn::Vec<D> LoadQuantized(D d, const int16_t* HWY_RESTRICT q,
                                    size_t i) {
  const hn::RebindToSigned<D> di;
  const hn::Rebind<int16_t, D> d16;
  return hn::ConvertTo(d, hn::PromoteTo(di, hn::LoadU(d16, q + i)));
}
template <class D>
HWY_INLINE hn::Vec<D> LoadQuantized(D d, const int32_t* HWY_RESTRICT q,
                                    size_t i) {
  const hn::RebindToSigned<D> di;
  return hn::ConvertTo(d, hn::LoadU(di, q + i));
}

// q * bias for |q| < 1.125 (q in -1, 0, 1), else q - numerator * rcp(q).
template <class D>
HWY_INLINE hn::Vec<D> Adjust(D d, hn::Vec<D> q, hn::Vec<D> bias,
                             hn::Vec<D> numerator) {
  const auto small = hn::Lt(hn::Abs(q), hn::Set(d, 1.125f));
  const auto large = hn::NegMulAdd(numerator, hn::ApproximateReciprocal(q), q);
  return hn::IfThenElse(small, hn::Mul(q, bias), large);
}

template <typename T>
void DequantizeT(const float* params, int32_t quant, size_t count,
                 const float* const* table, const T* const* q,
                 float* HWY_RESTRICT out) {
  // params: inv_global_scale, x_mul, b_mul, x_factor, b_factor, biases[4].
  const hn::ScalableTag<float> d;
  const float s = params[0] / static_cast<float>(quant);
  const float sx = params[1] * s;
  const float sb = params[2] * s;
  const auto vs = hn::Set(d, s), vsx = hn::Set(d, sx), vsb = hn::Set(d, sb);
  const auto xf = hn::Set(d, params[3]), bf = hn::Set(d, params[4]);
  const auto bias_x = hn::Set(d, params[5]), bias_y = hn::Set(d, params[6]);
  const auto bias_b = hn::Set(d, params[7]), num = hn::Set(d, params[8]);
  const float* HWY_RESTRICT tx = table[0];
  const float* HWY_RESTRICT ty = table[1];
  const float* HWY_RESTRICT tb = table[2];
  for (size_t i = 0; i < count; i += hn::Lanes(d)) {
    const auto y = hn::Mul(Adjust(d, LoadQuantized(d, q[1], i), bias_y, num),
                           hn::Mul(hn::LoadU(d, ty + i), vs));
    const auto x = hn::Mul(Adjust(d, LoadQuantized(d, q[0], i), bias_x, num),
                           hn::Mul(hn::LoadU(d, tx + i), vsx));
    const auto b = hn::Mul(Adjust(d, LoadQuantized(d, q[2], i), bias_b, num),
                           hn::Mul(hn::LoadU(d, tb + i), vsb));
    hn::StoreU(hn::MulAdd(xf, y, x), d, out + i);
    hn::StoreU(y, d, out + count + i);
    hn::StoreU(hn::MulAdd(bf, y, b), d, out + 2 * count + i);
  }
}

void Dequantize16Kernel(const float* params, int32_t quant, size_t count,
                        const float* const* table, const int16_t* const* q,
                        float* out) {
  DequantizeT(params, quant, count, table, q, out);
}
void Dequantize32Kernel(const float* params, int32_t quant, size_t count,
                        const float* const* table, const int32_t* const* q,
                        float* out) {
  DequantizeT(params, quant, count, table, q, out);
}

}  // namespace HWY_NAMESPACE
}  // namespace qov
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace qov {

HWY_EXPORT(Dequantize16Kernel);
HWY_EXPORT(Dequantize32Kernel);

void DequantizeCoefficients(const VarblockDequantParams& p, size_t count,
                            const float* const table[3],
                            const void* const q[3], CoefficientWidth width,
                            float* out) {
  const float params[9] = {p.inv_global_scale, p.x_mul,     p.b_mul,
                           p.x_factor,         p.b_factor,  p.biases[0],
                           p.biases[1],        p.biases[2], p.biases[3]};
  if (width == CoefficientWidth::Bits16) {
    const int16_t* const q16[3] = {static_cast<const int16_t*>(q[0]),
                                   static_cast<const int16_t*>(q[1]),
                                   static_cast<const int16_t*>(q[2])};
    HWY_DYNAMIC_DISPATCH(Dequantize16Kernel)
    (params, p.quant, count, table, q16, out);
  } else {
    const int32_t* const q32[3] = {static_cast<const int32_t*>(q[0]),
                                   static_cast<const int32_t*>(q[1]),
                                   static_cast<const int32_t*>(q[2])};
    HWY_DYNAMIC_DISPATCH(Dequantize32Kernel)
    (params, p.quant, count, table, q32, out);
  }
}

void DequantizeVarblock(const VarblockDequantParams& params, VarBlockKind kind,
                        const DequantTableSet& tables, const void* const q[3],
                        CoefficientWidth width, const size_t block_x[3],
                        const float* const dc_rows[3], size_t dc_stride,
                        float* out, float* scratch) {
  const size_t count = CoefficientCount(kind);
  const float* const table[3] = {tables.Table(kind, 0), tables.Table(kind, 1),
                                 tables.Table(kind, 2)};
  DequantizeCoefficients(params, count, table, q, width, out);
  for (size_t c = 0; c < 3; ++c) {
    DcToLowFrequencies(static_cast<uint32_t>(kind), dc_rows[c] + block_x[c],
                       dc_stride, out + c * count, scratch);
  }
}

}  // namespace qov
#endif  // HWY_ONCE
