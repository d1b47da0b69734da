// Colour stages: conversions against their matrices, tone mapping on values
// computed here, the choice of transfer operators, the row frame, and the
// colour-management stage with a module written for the test.
#include "lib/render/color_stages.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "gtest/gtest.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/color/color_enums.h"
#include "lib/color/hdr_curves.h"
#include "lib/render/cms_stage.h"

namespace qov {
namespace {

constexpr uint32_t Tf(TransferFunction tf) { return static_cast<uint32_t>(tf); }

// Rows of `channels` channels with the 32-sample lead and room after.
struct Rows {
  Rows(size_t channels, size_t xsize) : data(channels), set(channels) {
    for (size_t c = 0; c < channels; ++c) {
      data[c].assign(kRowLeadSamples + xsize + 16, 0.0f);
      set[c] = {data[c].data()};
    }
  }
  float& at(size_t c, size_t x) { return data[c][kRowLeadSamples + x]; }
  std::vector<std::vector<float>> data;
  ChannelRowSet set;
};

Status Render(const RenderPipelineStage& stage, Rows* rows, size_t xsize,
              size_t extra_left = 0, size_t extra_right = 0) {
  return stage.RenderRow(rows->set, {}, extra_left, extra_right, xsize, 0, 0,
                         0);
}

OutputColorSetup HdrSetup(TransferFunction image_tf, TransferFunction out_tf,
                          float image_target, float desired) {
  OutputColorSetup s;
  s.source_encoding.transfer_function = Tf(image_tf);
  s.output_encoding.transfer_function = Tf(out_tf);
  s.source_intensity_target = image_target;
  s.target_intensity = desired;
  return s;
}

// Every colour stage: non-zero extras fail and leave the rows; channel 3
// is never used.
TEST(ColorStagesTest, RowFrameAndModes) {
  OutputColorSetup xyb_setup;
  CodecMetadata m;
  m.m.xyb_encoded = true;
  ASSERT_TRUE(xyb_setup.InitFromMetadata(m).ok());
  OutputColorSetup hlg = HdrSetup(TransferFunction::kHlg,
                                  TransferFunction::kSrgb, 1000, 300);
  OutputColorSetup srgb;
  std::unique_ptr<RenderPipelineStage> stages[] = {
      MakeYCbCrStage(), MakeXYBStage(xyb_setup), MakeToneMappingStage(hlg),
      MakeToLinearStage(srgb), MakeFromLinearStage(srgb)};
  const char* names[] = {"YCbCr", "XYB", "ToneMapping", "ToLinear",
                         "FromLinear"};
  for (size_t i = 0; i < 5; ++i) {
    ASSERT_NE(stages[i], nullptr) << names[i];
    const RenderPipelineStage& st = *stages[i];
    EXPECT_STREQ(st.StageName(), names[i]);
    EXPECT_TRUE(st.CheckReady().ok());
    for (size_t c = 0; c < 3; ++c) {
      EXPECT_EQ(st.ChannelModeOf(c), RowChannelMode::kModifyRows);
    }
    EXPECT_EQ(st.ChannelModeOf(3), RowChannelMode::kNotUsed);
    Rows rows(4, 8);
    for (size_t c = 0; c < 4; ++c) {
      for (size_t x = 0; x < 8; ++x) rows.at(c, x) = 0.1f * (c + 1) + 0.01f * x;
    }
    const auto before = rows.data;
    EXPECT_FALSE(Render(st, &rows, 8, 1, 0).ok()) << names[i];
    EXPECT_FALSE(Render(st, &rows, 8, 0, 2).ok()) << names[i];
    EXPECT_EQ(rows.data, before) << names[i];
    EXPECT_TRUE(Render(st, &rows, 0).ok());
    EXPECT_EQ(rows.data, before) << names[i];
    EXPECT_TRUE(Render(st, &rows, 5).ok());
    EXPECT_EQ(rows.data[3], before[3]) << names[i];
  }
}

TEST(ColorStagesTest, YCbCrMatchesMatrix) {
  auto stage = MakeYCbCrStage();
  const float cases[][3] = {  // Cb, Y, Cr
      {0, 0, 0}, {0, 0.1f, 0}, {0, 0, 0.5f}, {-0.3f, 0.2f, 0.4f},
      {0.5f, -0.5f, -0.5f}, {0.1f, 0.45f, -0.2f}, {-0.5f, 0.3f, 0.5f}};
  const size_t n = std::size(cases);
  Rows rows(3, n);
  for (size_t i = 0; i < n; ++i) {
    for (size_t c = 0; c < 3; ++c) rows.at(c, i) = cases[i][c];
  }
  ASSERT_TRUE(Render(*stage, &rows, n).ok());
  for (size_t i = 0; i < n; ++i) {
    const double cb = cases[i][0], y = cases[i][1] + 128.0 / 255, cr = cases[i][2];
    EXPECT_NEAR(rows.at(0, i), y + 1.402 * cr, 1e-6) << i;
    EXPECT_NEAR(rows.at(1, i), y - 0.344136 * cb - 0.714136 * cr, 1e-6) << i;
    EXPECT_NEAR(rows.at(2, i), y + 1.772 * cb, 1e-6) << i;
  }
  EXPECT_EQ(rows.at(0, 0), 0.5019608f);
  EXPECT_NEAR(rows.at(0, 1), 0.6019608f, 1e-7);
  EXPECT_NEAR(rows.at(0, 2) - 0.5019608f, 0.701f, 1e-6);
  EXPECT_NEAR(rows.at(1, 2) - 0.5019608f, -0.35706812f, 1e-6);
  EXPECT_EQ(rows.at(2, 2), 0.5019608f);
}

TEST(ColorStagesTest, XybMatchesMatrixAndKeepsItsCopy) {
  CodecMetadata m;
  m.m.xyb_encoded = true;
  m.m.tone_mapping.intensity_target = 400.0f;
  OutputColorSetup setup;
  ASSERT_TRUE(setup.InitFromMetadata(m).ok());
  auto stage = MakeXYBStage(setup);
  const OpsinParams p = setup.GetOpsinParams();
  // Later changes of the set-up do not reach the stage.
  setup.output_encoding.color_space = static_cast<uint32_t>(ColorSpace::kXyb);
  const size_t n = 300;  // more than one stack chunk
  Rows rows(3, n);
  std::vector<float> in[3];
  for (size_t i = 0; i < n; ++i) {
    rows.at(0, i) = -0.03f + 0.0002f * i;
    rows.at(1, i) = 0.003f * i;
    rows.at(2, i) = 0.9f - 0.0025f * i;
  }
  // The biases' own point maps to the matrix times the biases.
  rows.at(0, 0) = (p.opsin_bias_cbrt[0] - p.opsin_bias_cbrt[1]) / 2;
  rows.at(1, 0) = (p.opsin_bias_cbrt[0] + p.opsin_bias_cbrt[1]) / 2;
  rows.at(2, 0) = p.opsin_bias_cbrt[2];
  for (size_t c = 0; c < 3; ++c) {
    in[c].assign(rows.data[c].begin() + kRowLeadSamples,
                 rows.data[c].begin() + kRowLeadSamples + n);
  }
  ASSERT_TRUE(Render(*stage, &rows, n).ok());
  for (size_t i = 0; i < n; ++i) {
    const double x = in[0][i], y = in[1][i], b = in[2][i];
    const double l = x + y - p.opsin_bias_cbrt[0];
    const double mm = y - x - p.opsin_bias_cbrt[1];
    const double s = b - p.opsin_bias_cbrt[2];
    const double lms[3] = {l * l * l + p.opsin_bias[0],
                           mm * mm * mm + p.opsin_bias[1],
                           s * s * s + p.opsin_bias[2]};
    if (i == 0) {
      for (int k = 0; k < 3; ++k) ASSERT_NEAR(lms[k], p.opsin_bias[k], 1e-7);
    }
    for (int c = 0; c < 3; ++c) {
      double want = 0;
      for (int k = 0; k < 3; ++k) {
        want += p.inverse_matrix[4 * (3 * c + k)] * lms[k];
      }
      ASSERT_NEAR(rows.at(c, i), want, 1e-5 * std::max(1.0, std::fabs(want)))
          << c << " " << i;
    }
  }
}

TEST(ColorStagesTest, XybRescaling) {
  OutputColorSetup setup;
  setup.output_encoding.color_space = static_cast<uint32_t>(ColorSpace::kXyb);
  auto stage = MakeXYBStage(setup);
  Rows rows(3, 3);
  const float in[3][3] = {{-0.015386134f, 0.0f, -0.2777046f},
                          {0.01f, 0.5f, 0.2f},
                          {0.01f, 0.6f, 0.3f}};  // Y and B raised by 0.1
  for (size_t i = 0; i < 3; ++i) {
    for (size_t c = 0; c < 3; ++c) rows.at(c, i) = in[i][c];
  }
  ASSERT_TRUE(Render(*stage, &rows, 3).ok());
  for (size_t c = 0; c < 3; ++c) EXPECT_NEAR(rows.at(c, 0), 0.0f, 1e-6);
  EXPECT_NEAR(rows.at(0, 1), (0.01 + 0.015386134) * 22.995789, 1e-5);
  EXPECT_NEAR(rows.at(1, 1), 0.5 * 1.1830001, 1e-6);
  EXPECT_NEAR(rows.at(2, 1), (0.2 - 0.5 + 0.2777046) * 1.5021414, 1e-6);
  EXPECT_NEAR(rows.at(2, 2), rows.at(2, 1), 1e-6);
}

TEST(ColorStagesTest, TransferOperatorChoice) {
  struct Case {
    TransferFunction tf;
    bool have_gamma;
    uint32_t gamma;
    TransferOpKind to, from;
    float to_exponent;
  };
  const Case cases[] = {
      {TransferFunction::kLinear, false, 0, TransferOpKind::kLinear,
       TransferOpKind::kLinear, 1.0f},
      {TransferFunction::kSrgb, false, 0, TransferOpKind::kSrgb,
       TransferOpKind::kSrgb, 1.0f},
      {TransferFunction::kPq, false, 0, TransferOpKind::kPq,
       TransferOpKind::kPq, 1.0f},
      {TransferFunction::kHlg, false, 0, TransferOpKind::kHlg,
       TransferOpKind::kHlg, 1.0f},
      {TransferFunction::k709, false, 0, TransferOpKind::k709,
       TransferOpKind::k709, 1.0f},
      {TransferFunction::kDci, false, 0, TransferOpKind::kGamma,
       TransferOpKind::kGamma, 2.5999999f},
      // An explicit gamma wins over the sRGB code.
      {TransferFunction::kSrgb, true, 4545455, TransferOpKind::kGamma,
       TransferOpKind::kGamma, 2.1999998f},
      {TransferFunction::kUnknown, false, 0, TransferOpKind::kInvalid,
       TransferOpKind::kInvalid, 1.0f},
  };
  for (const Case& c : cases) {
    OutputColorSetup s;
    s.output_encoding.transfer_function = Tf(c.tf);
    s.output_encoding.have_gamma = c.have_gamma;
    s.output_encoding.gamma = c.gamma;
    s.output_gamma = c.have_gamma ? c.gamma * 1e-7f
                                  : (c.tf == TransferFunction::kDci ? 0.3846154f
                                                                    : 1.0f);
    s.source_intensity_target = 1000.0f;
    const TransferOp to = ToLinearOpFor(s);
    EXPECT_EQ(to.kind, c.to);
    if (c.to == TransferOpKind::kGamma) {
      EXPECT_FLOAT_EQ(to.gamma_exponent, c.to_exponent);
    }
    auto to_stage = MakeToLinearStage(s);
    ASSERT_NE(to_stage, nullptr);
    EXPECT_TRUE(to_stage->CheckReady().ok());
    TransferOp from;
    EXPECT_EQ(FromLinearOpFor(s, &from), c.from != TransferOpKind::kInvalid);
    EXPECT_EQ(MakeFromLinearStage(s) != nullptr,
              c.from != TransferOpKind::kInvalid);
    if (c.from == TransferOpKind::kGamma) {
      EXPECT_EQ(from.gamma_exponent, s.output_gamma);
    }
    if (c.to == TransferOpKind::kPq) {
      EXPECT_FLOAT_EQ(to.pq_target_scale, 0.1f);
      EXPECT_EQ(to.pq_inverse_target_scale, 10.0f);
    }
  }
  // An unknown transfer function passes rows unchanged.
  OutputColorSetup unknown;
  unknown.output_encoding.transfer_function = Tf(TransferFunction::kUnknown);
  auto stage = MakeToLinearStage(unknown);
  Rows rows(3, 4);
  rows.at(1, 2) = 0.77f;
  const auto before = rows.data;
  ASSERT_TRUE(Render(*stage, &rows, 4).ok());
  EXPECT_EQ(rows.data, before);
}

TEST(ColorStagesTest, HlgOotfExponents) {
  struct Case {
    float target;
    bool decode;
    float exponent;
    bool apply;
  };
  const Case cases[] = {{1000, true, 0.2f, true},
                        {300, true, 0.0f, false},
                        {1000, false, -0.1666667f, true},
                        {300, false, 0.0f, false}};
  for (const Case& c : cases) {
    OutputColorSetup s;
    s.output_encoding.transfer_function = Tf(TransferFunction::kHlg);
    s.source_intensity_target = c.target;
    s.target_intensity = c.target;
    TransferOp op;
    if (c.decode) {
      op = ToLinearOpFor(s);
    } else {
      ASSERT_TRUE(FromLinearOpFor(s, &op));
    }
    EXPECT_EQ(op.hlg_apply_ootf, c.apply) << c.target;
    if (c.apply) {
      EXPECT_NEAR(op.hlg_ootf_exponent, c.exponent, 1e-5);
    }
  }
}

const ToneMapParams& ParamsOf(const RenderPipelineStage& stage) {
  return static_cast<const ToneMappingStage&>(stage).params();
}

TEST(ToneMappingTest, WhenAStageIsMade) {
  using TF = TransferFunction;
  // Equal targets, PQ brightened, HLG to HLG, sRGB content: nothing.
  EXPECT_EQ(MakeToneMappingStage(HdrSetup(TF::kPq, TF::kPq, 1000, 1000)),
            nullptr);
  EXPECT_EQ(MakeToneMappingStage(HdrSetup(TF::kPq, TF::kSrgb, 400, 1000)),
            nullptr);
  EXPECT_EQ(MakeToneMappingStage(HdrSetup(TF::kHlg, TF::kHlg, 1000, 300)),
            nullptr);
  EXPECT_EQ(MakeToneMappingStage(HdrSetup(TF::kSrgb, TF::kSrgb, 1000, 300)),
            nullptr);

  auto down = MakeToneMappingStage(HdrSetup(TF::kHlg, TF::kSrgb, 1000, 300));
  ASSERT_NE(down, nullptr);
  EXPECT_NEAR(ParamsOf(*down).hlg_exponent, -0.16709f, 1e-4);
  EXPECT_TRUE(ParamsOf(*down).hlg_apply);
  EXPECT_TRUE(ParamsOf(*down).gamut);
  auto up = MakeToneMappingStage(HdrSetup(TF::kHlg, TF::kSrgb, 1000, 2000));
  ASSERT_NE(up, nullptr);
  EXPECT_NEAR(ParamsOf(*up).hlg_exponent, 0.111f, 1e-4);
  EXPECT_FALSE(ParamsOf(*up).gamut);

  // A tiny exponent still gets a stage: unchanged samples, or only the PQ
  // output's rescaling by desired / image target.
  for (TF out : {TF::kSrgb, TF::kPq}) {
    auto near = MakeToneMappingStage(HdrSetup(TF::kHlg, out, 1000, 1005));
    ASSERT_NE(near, nullptr);
    EXPECT_FALSE(ParamsOf(*near).hlg_apply);
    Rows rows(3, 2);
    rows.at(0, 0) = 0.25f;
    rows.at(1, 1) = 0.5f;
    ASSERT_TRUE(Render(*near, &rows, 2).ok());
    const float scale = out == TF::kPq ? 1.005f : 1.0f;
    EXPECT_FLOAT_EQ(rows.at(0, 0), 0.25f * scale);
    EXPECT_FLOAT_EQ(rows.at(1, 1), 0.5f * scale);
  }
}

// The PQ knee mapping against the colour library's BT.2408 curve (computed
// with exact PQ curves), and the dark-pixel rule.
TEST(ToneMappingTest, PqKneeMatchesToneCurve) {
  const OutputColorSetup s = HdrSetup(TransferFunction::kPq,
                                      TransferFunction::kSrgb, 4000, 250);
  auto stage = MakeToneMappingStage(s);
  ASSERT_NE(stage, nullptr);
  ToneMapParams p = ParamsOf(*stage);
  EXPECT_EQ(p.pre_scale, 1.0f);
  EXPECT_EQ(p.post_scale, 1.0f);
  p.gamut = false;  // the luminance mapping alone
  const float source_range[2] = {0, 4000}, target_range[2] = {0, 250};
  const Bt2408ToneCurve curve(source_range, target_range, s.luminance_weights);
  const float pixels[][3] = {{0.01f, 0.01f, 0.01f}, {0.05f, 0.04f, 0.03f},
                             {0.2f, 0.25f, 0.1f},   {0.5f, 0.5f, 0.5f},
                             {1.0f, 0.9f, 0.8f},    {0.02f, 0.6f, 0.3f}};
  for (const auto& px : pixels) {
    float r[1] = {px[0]}, g[1] = {px[1]}, b[1] = {px[2]};
    ToneMapRows(p, r, g, b, 1);
    float want[3] = {px[0], px[1], px[2]};
    curve.Apply(want);
    EXPECT_NEAR(r[0], want[0], 2e-3 * std::max(1.0f, want[0])) << px[0];
    EXPECT_NEAR(g[0], want[1], 2e-3 * std::max(1.0f, want[1])) << px[0];
    EXPECT_NEAR(b[0], want[2], 2e-3 * std::max(1.0f, want[2])) << px[0];
  }
  // At most 1e-6 nits: every channel becomes the mapped luminance / 250.
  float r[1] = {1e-12f}, g[1] = {0.0f}, b[1] = {-1e-12f};
  ToneMapRows(p, r, g, b, 1);
  EXPECT_EQ(r[0], g[0]);
  EXPECT_EQ(g[0], b[0]);
  EXPECT_GE(g[0], 0.0f);
  EXPECT_LT(g[0], 1e-4f);
}

// PQ content to a PQ output, through the decoding, tone-mapping and
// encoding stages: PQ codes of pixels of up to 4000 nits in, PQ codes of the
// pixels mapped to a 1000-nit display out. Expected values come from the
// exact ST 2084 curves, the knee and the gamut mapping in double precision.
// Linear samples stand for the image's target at 1.0 on both sides of the
// tone mapper, which the decoder and the encoder of PQ assume too.
TEST(ToneMappingTest, PqContentToPqOutput) {
  const double kT = 4000, kD = 1000;
  const OutputColorSetup s = HdrSetup(TransferFunction::kPq,
                                      TransferFunction::kPq, kT, kD);
  std::unique_ptr<RenderPipelineStage> stages[] = {
      MakeToLinearStage(s), MakeToneMappingStage(s), MakeFromLinearStage(s)};
  for (const auto& stage : stages) ASSERT_NE(stage, nullptr);

  const double w[3] = {0.2126, 0.7152, 0.0722};
  const double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128;
  const double c1 = 3424.0 / 4096, c2 = 2413.0 / 4096 * 32,
               c3 = 2392.0 / 4096 * 32;
  auto pq_encode = [&](double nits) {  // 0 for 0, as the curve defines it
    if (nits <= 0) return 0.0;
    const double p = std::pow(nits / 10000, m1);
    return std::pow((c1 + c2 * p) / (1 + c3 * p), m2);
  };
  auto pq_decode = [&](double e) {
    if (e <= 0) return 0.0;
    const double p = std::pow(e, 1 / m2);
    return 10000 * std::pow(std::max(p - c1, 0.0) / (c2 - c3 * p), 1 / m1);
  };
  // Mapped nits of a pixel given in nits.
  auto expected = [&](const double in[3], double out[3]) {
    // Luminance knee in the PQ domain, relative to the image's range.
    const double range = pq_encode(kT), max_lum = pq_encode(kD) / range;
    const double ks = 1.5 * max_lum - 0.5;
    const double y = w[0] * in[0] + w[1] * in[1] + w[2] * in[2];
    const double e1 = std::min(1.0, pq_encode(y) / range);
    double e2 = e1;
    if (e1 >= ks) {
      const double t = (e1 - ks) / (1 - ks), t2 = t * t, t3 = t2 * t;
      e2 = (2 * t3 - 3 * t2 + 1) * ks + (t3 - 2 * t2 + t) * (1 - ks) +
           (-2 * t3 + 3 * t2) * max_lum;
    }
    const double yn = std::min(kD, pq_decode(e2 * range));
    double rgb[3];  // 1.0: the display's peak
    for (int c = 0; c < 3; ++c) rgb[c] = in[c] * (yn / y) / kD;
    // Into the gamut: toward grey just enough, then scaled under 1.
    const double l = w[0] * rgb[0] + w[1] * rgb[1] + w[2] * rgb[2];
    double lo = 0, hi = 0;
    for (int c = 0; c < 3; ++c) {
      const double gap = rgb[c] - l;
      if (gap < 0) lo = std::max(lo, rgb[c] / gap);
      if (gap > 0) hi = std::max(hi, (rgb[c] - 1) / gap);
    }
    const double mix = std::clamp((lo - hi) * 0.1 + hi, 0.0, 1.0);
    for (int c = 0; c < 3; ++c) rgb[c] += (l - rgb[c]) * mix;
    const double scale =
        1 / std::max(std::max(1.0, rgb[0]), std::max(rgb[1], rgb[2]));
    for (int c = 0; c < 3; ++c) out[c] = rgb[c] * scale * kD;
  };
  const double pixels[][3] = {
      {100, 100, 100},     // below the knee: unchanged
      {4000, 4000, 4000},  // the image's peak: the display's
      {1500, 1500, 1500},  // compressed in the knee
      {3000, 500, 100},    // bright orange, over the display's peak in red
      {40, 200, 10},       // dim green, inside
      {2500, 10, 800},     // magenta, pulled toward grey
  };
  const size_t n = sizeof(pixels) / sizeof(pixels[0]);
  Rows rows(3, n);
  for (size_t i = 0; i < n; ++i) {
    for (size_t c = 0; c < 3; ++c) {
      rows.at(c, i) = static_cast<float>(pq_encode(pixels[i][c]));
    }
  }
  for (const auto& stage : stages) ASSERT_TRUE(Render(*stage, &rows, n).ok());
  for (size_t i = 0; i < n; ++i) {
    double want[3];
    expected(pixels[i], want);
    for (size_t c = 0; c < 3; ++c) {
      const double got = pq_decode(rows.at(c, i));
      EXPECT_NEAR(got, want[c], 5e-4 * want[c] + 5e-3)
          << "pixel " << i << " channel " << c;
    }
  }
  EXPECT_NEAR(pq_decode(rows.at(1, 0)), 100, 0.05);
  EXPECT_NEAR(pq_decode(rows.at(1, 1)), kD, 0.5);
}

TEST(ToneMappingTest, GamutMapping) {
  ToneMapParams p;
  p.gamut = true;
  struct Case {
    float in[3];
    float out[3];
  };
  const Case cases[] = {{{0.5f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.5f}},
                        {{0.0f, 0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}},
                        {{1.0f, 1.0f, 1.0f}, {1.0f, 1.0f, 1.0f}},
                        {{1.5f, 1.5f, 1.5f}, {1.0f, 1.0f, 1.0f}},
                        {{-0.1f, 0.5f, 0.5f}, {0.0f, 0.473f, 0.473f}},
                        {{2.0f, 0.5f, 0.5f}, {1.0f, 0.6755f, 0.6755f}}};
  for (const Case& c : cases) {
    float r[1] = {c.in[0]}, g[1] = {c.in[1]}, b[1] = {c.in[2]};
    ToneMapRows(p, r, g, b, 1);
    EXPECT_NEAR(r[0], c.out[0], 1e-3) << c.in[0];
    EXPECT_NEAR(g[0], c.out[1], 1e-3) << c.in[0];
    EXPECT_NEAR(b[0], c.out[2], 1e-3) << c.in[0];
  }
}

// The HLG OOTF of the tone mapper: Y^g on each channel, computed here.
TEST(ToneMappingTest, HlgOotfValues) {
  auto stage = MakeToneMappingStage(
      HdrSetup(TransferFunction::kHlg, TransferFunction::kSrgb, 1000, 2000));
  const float g = ParamsOf(*stage).hlg_exponent;
  Rows rows(3, 3);
  const float px[3][3] = {{0.2f, 0.3f, 0.1f}, {0.05f, 0.05f, 0.05f},
                          {0.8f, 0.1f, 0.4f}};
  for (size_t i = 0; i < 3; ++i) {
    for (size_t c = 0; c < 3; ++c) rows.at(c, i) = px[i][c];
  }
  ASSERT_TRUE(Render(*stage, &rows, 3).ok());
  for (size_t i = 0; i < 3; ++i) {
    const double y = 0.2126 * px[i][0] + 0.7152 * px[i][1] + 0.0722 * px[i][2];
    const double f = std::pow(y, g);
    for (size_t c = 0; c < 3; ++c) {
      EXPECT_NEAR(rows.at(c, i), px[i][c] * f, 2e-4) << i;
    }
  }
}

}  // namespace
}  // namespace qov
