// Weighted predictor: header coding, blending, property 15 and the 64-bit
// arithmetic of errors near the 32-bit limits.
#include "lib/modular/weighted_predictor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <map>
#include <random>
#include <vector>

#include "lib/base/memory.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/write_fields.h"

namespace qov {
namespace {

TEST(WeightedHeaderTest, DefaultsTakeOneBitAndOthersRoundTrip) {
  weighted::Header h;
  EXPECT_TRUE(h.all_default);
  EXPECT_EQ(h.sub1_error_scale, 16u);
  EXPECT_EQ(h.sub_weight[0], 13u);

  weighted::Header custom;
  custom.sub1_error_scale = 31;
  custom.sub3_nn_n_scale = 5;
  custom.sub_weight[3] = 15;
  BitWriter writer(HeapMemoryManager());
  ASSERT_TRUE(Bundle::Write(custom, &writer, LayerType::kHeader, nullptr).ok());
  EXPECT_EQ(writer.BitsWritten(), 1u + 7 * 5 + 4 * 4);
  const Span span = writer.GetSpan();
  BitReader reader(span);
  weighted::Header read;
  ASSERT_TRUE(Bundle::Decode(reader, read).ok());
  EXPECT_FALSE(read.all_default);
  EXPECT_EQ(read.sub1_error_scale, 31u);
  EXPECT_EQ(read.sub3_nn_n_scale, 5u);
  EXPECT_EQ(read.sub_weight[3], 15u);
  EXPECT_EQ(read.sub2_error_scale, 10u);

  BitWriter one_bit(HeapMemoryManager());
  ASSERT_TRUE(Bundle::Write(h, &one_bit, LayerType::kHeader, nullptr).ok());
  EXPECT_EQ(one_bit.BitsWritten(), 1u);
}

TEST(WeightedPredictorTest, ReciprocalTable) {
  weighted::Header h;
  WeightedPredictorState s(h, 4);
  EXPECT_EQ(s.reciprocal[0], 16777216u);
  EXPECT_EQ(s.reciprocal[2], 5592405u);
  EXPECT_EQ(s.reciprocal[63], 262144u);
}

TEST(WeightedPredictorTest, FirstSamplePredictsZero) {
  weighted::Header h;
  WeightedPredictorState s(h, 5);
  int32_t max_error = 7;
  EXPECT_EQ(s.Predict(0, 0, 5, 0, 0, 0, 0, 0, &max_error), 0);
  EXPECT_EQ(max_error, 0);
}

// All errors 0: every weight is 4 + max x 2^24, shifted by 25 to 6 each;
// sub-predictions 160, 160, 80, 160 blend to (11 + 6 x 560) x
// floor(2^24 / 24) >> 24 = 140, inside the clamp range [80, 240].
TEST(WeightedPredictorTest, BlendWithZeroErrors) {
  weighted::Header h;
  WeightedPredictorState s(h, 4);
  // Row 1 (odd): N = 20, W = 10, NE = 30, NW = 20.
  EXPECT_EQ(s.Predict(1, 1, 4, 20, 10, 30, 20, 20), 140);
  EXPECT_EQ(s.sub_prediction[0], 160);
  EXPECT_EQ(s.sub_prediction[1], 160);
  EXPECT_EQ(s.sub_prediction[2], 80);
  EXPECT_EQ(s.sub_prediction[3], 160);
  // Clamped into [min, max] of 8W, 8NE, 8N when the errors all agree (0).
  EXPECT_EQ(s.Predict(1, 1, 4, 100, 100, 100, 0, 0), 800);
}

struct MaxErrorCase {
  int32_t eW, eN, eNW, eNE, expected;
};

TEST(WeightedPredictorTest, Property15PicksLargestMagnitudeFirstOnTies) {
  const MaxErrorCase cases[] = {
      {3, -3, 2, -4, -4},
      {3, -3, 0, 0, 3},
      {0, 0, 0, 0, 0},
      // |INT32_MIN| exceeds INT32_MAX only in 64-bit arithmetic.
      {INT32_MAX, INT32_MIN, 0, 0, INT32_MIN},
      {INT32_MIN, INT32_MAX, INT32_MIN, 0, INT32_MIN},
  };
  weighted::Header h;
  for (const MaxErrorCase& c : cases) {
    const uint64_t w = 4;
    WeightedPredictorState s(h, w);
    // Sample (1, 1): current half at 0, previous half at w + 2.
    s.true_error[0] = c.eW;
    s.true_error[w + 2 + 1] = c.eN;
    s.true_error[w + 2 + 0] = c.eNW;
    s.true_error[w + 2 + 2] = c.eNE;
    int32_t max_error = 0;
    s.Predict(1, 1, w, 0, 0, 0, 0, 0, &max_error);
    EXPECT_EQ(max_error, c.expected) << c.eW << " " << c.eN;
  }
}

TEST(WeightedPredictorTest, ErrorSumsDoNotWrapIn32Bits) {
  weighted::Header h;
  const uint64_t w = 4;
  WeightedPredictorState s(h, w);
  s.true_error[0] = INT32_MAX;          // eW
  s.true_error[w + 2 + 1] = INT32_MAX;  // eN
  s.true_error[w + 2 + 2] = INT32_MAX;  // eNE
  s.true_error[w + 2 + 0] = INT32_MAX;  // eNW
  s.Predict(1, 1, w, 0, 0, 0, 0, 0);
  const int64_t sum = 3 * int64_t{INT32_MAX};
  EXPECT_EQ(s.sub_prediction[1], -((sum * 16) >> 5));
  EXPECT_EQ(s.sub_prediction[2], -((sum * 10) >> 5));
  EXPECT_EQ(s.sub_prediction[3], -((sum * 7) >> 5));
}

TEST(WeightedPredictorTest, UpdateRecordsErrorsInBothRows) {
  weighted::Header h;
  const uint64_t w = 3;
  WeightedPredictorState s(h, w);
  // Row 0 is even: current half at w + 2, previous at 0.
  EXPECT_EQ(s.Predict(0, 0, w, 0, 0, 0, 0, 0), 0);
  s.Update(0, 0, w, 5);
  EXPECT_EQ(s.true_error[w + 2], -40);
  // |0 - 40| + 3 >> 3 = 5 for every sub-predictor, also added one column
  // to the right in the previous half.
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(s.sub_error[i][w + 2], 5u);
    EXPECT_EQ(s.sub_error[i][1], 5u);
  }
  // Errors wrap modulo 2^32.
  s.Predict(1, 0, w, 0, 0, 0, 0, 0);
  s.Update(1, 0, w, INT32_MIN);
  EXPECT_EQ(s.true_error[w + 2 + 1],
            static_cast<int32_t>(static_cast<uint32_t>(s.prediction) -
                                 static_cast<uint32_t>(int64_t{INT32_MIN} * 8)));
}

// A plain second reading of the predictor: whole-image error arrays
// instead of two row halves, divisions instead of the reciprocal table.
class PlainWeighted {
 public:
  PlainWeighted(const weighted::Header& h, int64_t w, int64_t rows)
      : h_(h), w_(w), true_err_(w * rows, 0), sub_err_(4 * w * rows, 0) {}

  int64_t Predict(int64_t x, int64_t y, int64_t N, int64_t W, int64_t NE,
                  int64_t NW, int64_t NN, int32_t* max_error) {
    auto te = [&](int64_t xx, int64_t yy) -> int64_t {
      return yy < 0 ? 0 : true_err_[yy * w_ + xx];
    };
    auto se = [&](int i, int64_t xx, int64_t yy) -> uint64_t {
      return yy < 0 ? 0 : sub_err_[yy * w_ * 4 + xx * 4 + i];
    };
    const int64_t xn = x, xne = x + 1 < w_ ? x + 1 : x, xnw = x > 0 ? x - 1 : x;
    uint64_t weight[4];
    const uint32_t maxw[4] = {h_.sub_weight[0], h_.sub_weight[1],
                              h_.sub_weight[2], h_.sub_weight[3]};
    for (int i = 0; i < 4; ++i) {
      // Errors of N, NE, NW plus the W and WW ones added into the row above.
      uint32_t c = static_cast<uint32_t>(se(i, xn, y - 1) + se(i, xne, y - 1) +
                                         se(i, xnw, y - 1));
      c += static_cast<uint32_t>(extra_[i][Key(xn, y - 1)] +
                                 extra_[i][Key(xne, y - 1)] +
                                 extra_[i][Key(xnw, y - 1)]);
      uint32_t s = 0;
      while ((uint64_t{c} + 1) >> (s + 6) != 0) ++s;
      weight[i] = 4 + ((maxw[i] * ((1u << 24) / ((c >> s) + 1))) >> s);
    }
    const int64_t eW = x > 0 ? te(x - 1, y) : 0, eN = te(xn, y - 1),
                  eNW = te(xnw, y - 1), eNE = te(xne, y - 1);
    int64_t best = eW;
    for (int64_t e : {eN, eNW, eNE}) {
      if ((e < 0 ? -e : e) > (best < 0 ? -best : best)) best = e;
    }
    *max_error = static_cast<int32_t>(best);
    sub_[0] = 8 * W + 8 * NE - 8 * N;
    sub_[1] = 8 * N - (((eNE + eN + eW) * h_.sub1_error_scale) >> 5);
    sub_[2] = 8 * W - (((eNW + eN + eW) * h_.sub2_error_scale) >> 5);
    sub_[3] = 8 * N - ((eNW * h_.sub3_nw_error_scale + eN * h_.sub3_n_error_scale +
                        eNE * h_.sub3_ne_error_scale +
                        8 * (h_.sub3_nn_n_scale * (NN - N) +
                             h_.sub3_nw_w_scale * (NW - W))) >>
                       5);
    uint64_t total = weight[0] + weight[1] + weight[2] + weight[3];
    int k = 0;
    while ((total >> (k + 5)) != 0) ++k;
    int64_t t = 0, acc = 0;
    for (int i = 0; i < 4; ++i) {
      weight[i] >>= k;
      t += static_cast<int64_t>(weight[i]);
      acc += sub_[i] * static_cast<int64_t>(weight[i]);
    }
    acc += (t >> 1) - 1;
    int64_t p = (acc * ((1 << 24) / t)) >> 24;
    if (((eN ^ eW) | (eN ^ eNW)) <= 0) {
      p = std::clamp(p, std::min({8 * W, 8 * NE, 8 * N}),
                     std::max({8 * W, 8 * NE, 8 * N}));
    }
    pred_ = p;
    return p;
  }

  void Update(int64_t x, int64_t y, int32_t sample) {
    const int64_t v = 8 * int64_t{sample};
    true_err_[y * w_ + x] = static_cast<int32_t>(static_cast<uint32_t>(pred_) -
                                                 static_cast<uint32_t>(v));
    for (int i = 0; i < 4; ++i) {
      const int64_t d = sub_[i] - v;
      const uint32_t e = static_cast<uint32_t>(((d < 0 ? -d : d) + 3) >> 3);
      sub_err_[y * w_ * 4 + x * 4 + i] = e;
      // Added to the entry right of it in the row above, which the later
      // samples of this row read (as N, and as NW one further).
      if (x + 1 < w_) extra_[i][Key(x + 1, y - 1)] += e;
    }
  }

 private:
  int64_t Key(int64_t x, int64_t y) const { return (y + 1) * w_ + x; }
  const weighted::Header& h_;
  int64_t w_;
  std::vector<int32_t> true_err_;
  std::vector<uint32_t> sub_err_;
  std::map<int64_t, uint32_t> extra_[4];
  int64_t sub_[4] = {0, 0, 0, 0};
  int64_t pred_ = 0;
};

TEST(WeightedPredictorTest, MatchesAPlainReading) {
  weighted::Header custom;
  custom.all_default = false;
  custom.sub2_error_scale = 31;
  custom.sub1_error_scale = 3;
  custom.sub3_nn_n_scale = 7;
  custom.sub3_nw_w_scale = 2;
  custom.sub_weight[2] = 1;
  weighted::Header defaults;
  // One neighbour scale alone still counts.
  weighted::Header nn_only;
  nn_only.all_default = false;
  nn_only.sub3_nn_n_scale = 5;
  weighted::Header nw_only;
  nw_only.all_default = false;
  nw_only.sub3_nw_w_scale = 9;
  // Samples near the prediction keep errors small; samples anywhere in
  // +-2^26 make error sums large enough for every weight shift.
  for (bool wild : {false, true})
  for (const weighted::Header* h : {&custom, &defaults, &nn_only, &nw_only}) {
    const weighted::Header& header = *h;
    const int64_t w = 11, rows = 13;
    WeightedPredictorState state(header, w);
    PlainWeighted plain(header, w, rows);
    std::mt19937 rng(4);
    std::vector<int32_t> img(w * rows);
    for (int64_t y = 0; y < rows; ++y) {
      for (int64_t x = 0; x < w; ++x) {
        auto at = [&](int64_t xx, int64_t yy) -> int64_t { return img[yy * w + xx]; };
        const int64_t W = x > 0 ? at(x - 1, y) : (y > 0 ? at(x, y - 1) : 0);
        const int64_t N = y > 0 ? at(x, y - 1) : W;
        const int64_t NW = (x > 0 && y > 0) ? at(x - 1, y - 1) : (y > 0 ? N : W);
        const int64_t NE = y == 0 ? W : (x + 1 < w ? at(x + 1, y - 1) : N);
        const int64_t NN = y > 1 ? at(x, y - 2) : N;
        int32_t e1 = 0, e2 = 0;
        const int64_t p1 = state.Predict(x, y, w, N, W, NE, NW, NN, &e1);
        const int64_t p2 = plain.Predict(x, y, N, W, NE, NW, NN, &e2);
        ASSERT_EQ(p1, p2) << x << "," << y;
        ASSERT_EQ(e1, e2) << x << "," << y;
        const int32_t v =
            wild ? static_cast<int32_t>(rng() % (1u << 27)) - (1 << 26)
                 : static_cast<int32_t>((p1 + 3) >> 3) +
                       static_cast<int32_t>(rng() % 401) - 200;
        img[y * w + x] = v;
        state.Update(x, y, w, v);
        plain.Update(x, y, v);
      }
    }
  }
}

}  // namespace
}  // namespace qov
