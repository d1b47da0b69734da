// The weighted predictor: four sub-predictors blended by weights that fall
// with each one's recent error, in integers scaled by 8. Also yields the
// largest neighbouring error of the blend (MA-tree property 15).
#ifndef QOV_LIB_MODULAR_WEIGHTED_PREDICTOR_H_
#define QOV_LIB_MODULAR_WEIGHTED_PREDICTOR_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "lib/base/bits.h"
#include "lib/base/status.h"
#include "lib/bitstream/fields.h"

namespace qov {
namespace weighted {

// Parameters of the weighted predictor of one stream.
class Header : public Fields {
 public:
  Header();
  ~Header() override = default;
  Header(const Header&) = default;
  Header& operator=(const Header&) = default;

  Status EnumerateFields(Visitor* visitor) override;

  bool all_default = true;
  uint32_t sub1_error_scale = 16;
  uint32_t sub2_error_scale = 10;
  uint32_t sub3_nw_error_scale = 7;
  uint32_t sub3_n_error_scale = 7;
  uint32_t sub3_ne_error_scale = 7;
  uint32_t sub3_nn_n_scale = 0;
  uint32_t sub3_nw_w_scale = 0;
  uint32_t sub_weight[4] = {13, 12, 12, 12};
};

}  // namespace weighted

// floor(2^24 / (i + 1)).
struct WeightedReciprocals {
  uint32_t value[64];
  constexpr WeightedReciprocals() : value() {
    for (uint32_t i = 0; i < 64; ++i) value[i] = (1u << 24) / (i + 1);
  }
};
inline constexpr WeightedReciprocals kWeightedReciprocals{};

// State of one channel (or palette channel): two rows of errors. Predict and
// Update alternate, one pair per sample in row order. Neighbour values follow
// the edge rules of the channel loop. Arithmetic that the format leaves to
// 64-bit products wraps modulo 2^64 instead of overflowing.
class WeightedPredictorState {
 public:
  WeightedPredictorState(const weighted::Header& header, uint64_t width);

  // The blended prediction p of sample (x, y), scaled by 8; predictor 6 is
  // (p + 3) >> 3. When `max_error` is given it receives property 15.
  inline int64_t Predict(uint64_t x, uint64_t y, uint64_t width, int64_t N,
                         int64_t W, int64_t NE, int64_t NW, int64_t NN,
                         int32_t* max_error = nullptr);
  // Records the errors of the last Predict against the decoded sample.
  inline void Update(uint64_t x, uint64_t y, uint64_t width, int32_t sample);

  int64_t sub_prediction[4] = {0, 0, 0, 0};
  int64_t prediction = 0;
  std::vector<uint32_t> sub_error[4];
  std::vector<int32_t> true_error;
  const weighted::Header* header;
  uint32_t sub_weight[4];  // the header's, kept next to the table
  uint32_t reciprocal[64];

 private:
  // Offsets of the current and previous row halves.
  static inline uint64_t CurrentHalf(uint64_t y, uint64_t width) {
    return (y & 1) ? 0 : width + 2;
  }
  static inline uint64_t PreviousHalf(uint64_t y, uint64_t width) {
    return (y & 1) ? width + 2 : 0;
  }
  static inline int64_t WrapMul(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) *
                                static_cast<uint64_t>(b));
  }
  static inline int64_t WrapAdd(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) +
                                static_cast<uint64_t>(b));
  }
};

inline int64_t WeightedPredictorState::Predict(uint64_t x, uint64_t y,
                                               uint64_t width, int64_t N,
                                               int64_t W, int64_t NE,
                                               int64_t NW, int64_t NN,
                                               int32_t* max_error) {
  const uint64_t prev = PreviousHalf(y, width);
  const uint64_t cur = CurrentHalf(y, width);
  const uint64_t pN = prev + x;
  const uint64_t pNE = x + 1 < width ? pN + 1 : pN;
  const uint64_t pNW = x > 0 ? pN - 1 : pN;

  uint32_t weight[4];
  for (int i = 0; i < 4; ++i) {
    const uint32_t c = sub_error[i][pN] + sub_error[i][pNE] + sub_error[i][pNW];
    // max(0, floor(log2(c + 1)) - 5), without a comparison.
    const uint32_t s = FloorLog2(((uint64_t{c} + 1) >> 5) | 1);
    weight[i] = 4 + ((sub_weight[i] * reciprocal[c >> s]) >> s);
  }

  const int64_t eW = x > 0 ? true_error[cur + x - 1] : 0;
  const int64_t eN = true_error[pN];
  const int64_t eNW = true_error[pNW];
  const int64_t eNE = true_error[pNE];

  if (max_error != nullptr) {
    int64_t best = eW;
    if (std::llabs(eN) > std::llabs(best)) best = eN;
    if (std::llabs(eNW) > std::llabs(best)) best = eNW;
    if (std::llabs(eNE) > std::llabs(best)) best = eNE;
    *max_error = static_cast<int32_t>(best);
  }

  const weighted::Header& h = *header;
  sub_prediction[0] = 8 * W + 8 * NE - 8 * N;
  sub_prediction[1] =
      8 * N - (((eNE + eN + eW) * int64_t{h.sub1_error_scale}) >> 5);
  sub_prediction[2] =
      8 * W - (((eNW + eN + eW) * int64_t{h.sub2_error_scale}) >> 5);
  int64_t sub3 = eNW * int64_t{h.sub3_nw_error_scale} +
                 eN * int64_t{h.sub3_n_error_scale} +
                 eNE * int64_t{h.sub3_ne_error_scale};
  // Both neighbour scales are 0 unless the stream sets them.
  if ((h.sub3_nn_n_scale | h.sub3_nw_w_scale) != 0) {
    sub3 += 8 * (int64_t{h.sub3_nn_n_scale} * (NN - N) +
                 int64_t{h.sub3_nw_w_scale} * (NW - W));
  }
  sub_prediction[3] = 8 * N - (sub3 >> 5);

  const uint32_t total = weight[0] + weight[1] + weight[2] + weight[3];
  const uint32_t k = FloorLog2(total) - 4;
  uint32_t t = 0;
  for (int i = 0; i < 4; ++i) {
    weight[i] >>= k;
    t += weight[i];
  }
  int64_t acc = static_cast<int64_t>(t >> 1) - 1;
  for (int i = 0; i < 4; ++i) {
    acc = WrapAdd(acc, WrapMul(sub_prediction[i], weight[i]));
  }
  int64_t p = WrapMul(acc, reciprocal[t - 1]) >> 24;

  if (((eN ^ eW) | (eN ^ eNW)) <= 0) {
    const int64_t a = 8 * W, b = 8 * NE, c = 8 * N;
    const int64_t lo = a < b ? (a < c ? a : c) : (b < c ? b : c);
    const int64_t hi = a > b ? (a > c ? a : c) : (b > c ? b : c);
    p = p < lo ? lo : (p > hi ? hi : p);
  }
  prediction = p;
  return p;
}

inline void WeightedPredictorState::Update(uint64_t x, uint64_t y,
                                           uint64_t width, int32_t sample) {
  const uint64_t prev = PreviousHalf(y, width);
  const uint64_t cur = CurrentHalf(y, width);
  const int64_t v = 8 * int64_t{sample};
  true_error[cur + x] = static_cast<int32_t>(
      static_cast<uint32_t>(prediction) - static_cast<uint32_t>(v));
  for (int i = 0; i < 4; ++i) {
    const int64_t d = sub_prediction[i] - v;
    const uint32_t e =
        static_cast<uint32_t>((static_cast<uint64_t>(d < 0 ? -d : d) + 3) >> 3);
    sub_error[i][cur + x] = e;
    sub_error[i][prev + x + 1] += e;
  }
}

}  // namespace qov

#endif  // QOV_LIB_MODULAR_WEIGHTED_PREDICTOR_H_
