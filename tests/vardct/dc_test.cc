// DC dequantisation and adaptive DC smoothing: the row kernels against their
// scalar references on every compiled target (with guard zones), and the
// per-group and whole-image operations against values computed here.
#include <hwy/highway.h>
#include <hwy/tests/hwy_gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "lib/vardct/dc_dequant.h"
#include "lib/vardct/dc_smoothing.h"

namespace qov {
namespace {

constexpr float kGuard = -12345.0f;
constexpr size_t kGuardSamples = 16;
constexpr size_t kWidths[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 64, 255};

std::vector<int32_t> RandomInts(size_t n, uint32_t seed, int32_t lo, int32_t hi) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int32_t> dist(lo, hi);
  std::vector<int32_t> v(n);
  for (int32_t& x : v) x = dist(rng);
  return v;
}

bool Near(float a, float b, float scale) {
  return std::fabs(a - b) <= 1e-6f * std::max(1.0f, scale);
}

class DcRowTest : public hwy::TestWithParamTarget {};
HWY_TARGET_INSTANTIATE_TEST_SUITE_P(DcRowTest);

TEST_P(DcRowTest, DequantizeMatchesScalar) {
  const float f[3] = {1.0f / 4096 / 3, 1.0f / 512, 1.0f / 256 * 0.7f};
  for (size_t w : kWidths) {
    const auto qy = RandomInts(w, 1 + w, -3000, 3000);
    const auto qx = RandomInts(w, 2 + w, -70000, 70000);
    const auto qb = RandomInts(w, 3 + w, -100, 100);
    std::vector<float> ref[3], got[3];
    for (size_t c = 0; c < 3; ++c) {
      ref[c].assign(w + kGuardSamples, kGuard);
      got[c].assign(w + kGuardSamples, kGuard);
    }
    DequantizeDcRowScalar(qy.data(), qx.data(), qb.data(), w, f, -0.3f, 1.1f,
                          ref[1].data(), ref[0].data(), ref[2].data());
    DequantizeDcRow(qy.data(), qx.data(), qb.data(), w, f, -0.3f, 1.1f,
                    got[1].data(), got[0].data(), got[2].data());
    for (size_t i = 0; i < w + kGuardSamples; ++i) {
      EXPECT_EQ(got[1][i], ref[1][i]) << w << " " << i;  // Y: no FMA
      const float scale = std::fabs(ref[1][i]) + std::fabs(ref[0][i]) +
                          std::fabs(ref[2][i]);
      EXPECT_TRUE(Near(got[0][i], ref[0][i], scale)) << w << " " << i;
      EXPECT_TRUE(Near(got[2][i], ref[2][i], scale)) << w << " " << i;
      if (i >= w) {
        EXPECT_EQ(got[0][i], kGuard);
        EXPECT_EQ(got[2][i], kGuard);
      }
    }
    std::vector<float> sref(w + kGuardSamples, kGuard), sgot = sref;
    ScaleDcRowScalar(qx.data(), w, f[0], sref.data());
    ScaleDcRow(qx.data(), w, f[0], sgot.data());
    EXPECT_EQ(sgot, sref) << w;
  }
}

// Three planes of random DC with a few flat and spiky areas.
Image3F RandomDc(size_t xs, size_t ys, uint32_t seed) {
  Image3F img = Image3F::Create(HeapMemoryManager(), xs, ys).value();
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-0.01f, 0.01f);
  for (size_t c = 0; c < 3; ++c) {
    for (size_t y = 0; y < ys; ++y) {
      for (size_t x = 0; x < xs; ++x) {
        const float base = (x / 4 + y / 3) % 2 == 0 ? 0.1f : -0.05f;
        img.PlaneRow(c, y)[x] = base + dist(rng) * (c + 1);
      }
    }
  }
  return img;
}

TEST_P(DcRowTest, SmoothingMatchesScalar) {
  const float mul[3] = {1.0f / 4096 * 16, 1.0f / 512 * 4, 1.0f / 256 * 4};
  for (size_t w : kWidths) {
    if (w < 3) continue;
    Image3F in = RandomDc(w, 3, static_cast<uint32_t>(w));
    const float* rows[3][3];
    std::vector<float> ref[3], got[3];
    float* ref_out[3];
    float* got_out[3];
    for (size_t p = 0; p < 3; ++p) {
      for (size_t r = 0; r < 3; ++r) rows[p][r] = in.PlaneRow(p, r);
      ref[p].assign(w + kGuardSamples, kGuard);
      got[p].assign(w + kGuardSamples, kGuard);
      ref_out[p] = ref[p].data();
      got_out[p] = got[p].data();
    }
    SmoothDcRowScalar(rows, w, mul, ref_out);
    SmoothDcRow(rows, w, mul, got_out);
    for (size_t p = 0; p < 3; ++p) {
      for (size_t i = 0; i < w + kGuardSamples; ++i) {
        EXPECT_TRUE(Near(got[p][i], ref[p][i], std::fabs(ref[p][i])))
            << w << " " << p << " " << i << " " << got[p][i] << " " << ref[p][i];
      }
    }
  }
}

// --- DequantizeDcRows -------------------------------------------------------

struct DcGroup {
  std::vector<int32_t> ch[3];  // Y, X, B channels, row-major
  size_t width[3];
  DcGroupChannels View() const {
    DcGroupChannels v;
    for (size_t c = 0; c < 3; ++c) {
      v.rows[c] = ch[c].data();
      v.stride[c] = width[c];
    }
    return v;
  }
};

DcGroup MakeGroup(size_t xs, size_t ys, const size_t hs[3], const size_t vs[3],
                  uint32_t seed) {
  static constexpr size_t kPlaneOf[3] = {1, 0, 2};
  DcGroup g;
  for (size_t ch = 0; ch < 3; ++ch) {
    const size_t p = kPlaneOf[ch];
    g.width[ch] = xs >> hs[p];
    g.ch[ch] = RandomInts(g.width[ch] * (ys >> vs[p]), seed + ch, -20, 20);
  }
  return g;
}

TEST(DequantizeDcRowsTest, NoSubsamplingWithChromaFromLuma) {
  const size_t hs[3] = {0, 0, 0}, vs[3] = {0, 0, 0};
  const size_t xs = 13, ys = 5;
  const DcGroup g = MakeGroup(xs, ys, hs, vs, 7);
  const float mul[3] = {0.5f, 0.25f, 2.0f};
  const float cfl[3] = {0.0f, 0.0f, 1.0f};
  YCbCrChromaSubsampling cs;
  BlockCtxMap map;
  for (float precision : {1.0f, 0.125f}) {
    Image3F dc = Image3F::Create(HeapMemoryManager(), 40, 12).value();
    PlaneU8 buckets = PlaneU8::Create(HeapMemoryManager(), 40, 12).value();
    for (size_t y = 0; y < 12; ++y) std::fill(buckets.Row(y), buckets.Row(y) + 40, 9);
    const PixelRect rect{16, 4, xs, ys};
    DequantizeDcRows(rect, &dc, &buckets, g.View(), mul, precision, cfl, cs, map);
    for (size_t y = 0; y < ys; ++y) {
      for (size_t x = 0; x < xs; ++x) {
        const size_t i = y * xs + x;
        const float ry = g.ch[0][i] * (0.25f * precision);
        EXPECT_EQ(dc.PlaneRow(1, 4 + y)[16 + x], ry);
        EXPECT_EQ(dc.PlaneRow(0, 4 + y)[16 + x], g.ch[1][i] * (0.5f * precision));
        EXPECT_EQ(dc.PlaneRow(2, 4 + y)[16 + x],
                  ry + g.ch[2][i] * (2.0f * precision));
        EXPECT_EQ(buckets.Row(4 + y)[16 + x], 0);
      }
      EXPECT_EQ(buckets.Row(4 + y)[15], 9);
      EXPECT_EQ(buckets.Row(4 + y)[16 + xs], 9);
    }
    EXPECT_EQ(buckets.Row(3)[16], 9);
  }
}

TEST(DequantizeDcRowsTest, SubsampledPlanesHaveNoChromaFromLuma) {
  YCbCrChromaSubsampling cs;
  cs.channel_mode[0] = cs.channel_mode[2] = 0;
  cs.channel_mode[1] = 1;  // 4:2:0: X and B halved both ways
  cs.max_hshift = cs.max_vshift = 1;
  const size_t hs[3] = {1, 0, 1}, vs[3] = {1, 0, 1};
  const size_t xs = 22, ys = 14;
  const DcGroup g = MakeGroup(xs, ys, hs, vs, 11);
  const float mul[3] = {0.5f, 0.25f, 2.0f};
  const float cfl[3] = {0.7f, 0.0f, 1.0f};
  BlockCtxMap map;
  Image3F dc = Image3F::Create(HeapMemoryManager(), 300, 300).value();
  for (size_t c = 0; c < 3; ++c) {
    for (size_t y = 0; y < 300; ++y) std::fill(dc.PlaneRow(c, y), dc.PlaneRow(c, y) + 300, kGuard);
  }
  PlaneU8 buckets = PlaneU8::Create(HeapMemoryManager(), 300, 300).value();
  DequantizeDcRows(PixelRect{256, 256, xs, ys}, &dc, &buckets, g.View(), mul,
                   1.0f, cfl, cs, map);
  for (size_t y = 0; y < ys; ++y) {
    for (size_t x = 0; x < xs; ++x) {
      EXPECT_EQ(dc.PlaneRow(1, 256 + y)[256 + x], g.ch[0][y * xs + x] * 0.25f);
    }
  }
  for (size_t y = 0; y < 7; ++y) {
    for (size_t x = 0; x < 11; ++x) {
      EXPECT_EQ(dc.PlaneRow(0, 128 + y)[128 + x], g.ch[1][y * 11 + x] * 0.5f);
      EXPECT_EQ(dc.PlaneRow(2, 128 + y)[128 + x], g.ch[2][y * 11 + x] * 2.0f);
    }
    EXPECT_EQ(dc.PlaneRow(0, 128 + y)[139], kGuard);
  }
  EXPECT_EQ(dc.PlaneRow(0, 135)[128], kGuard);
  EXPECT_EQ(dc.PlaneRow(0, 256)[256], kGuard);  // the unshifted spot untouched
}

TEST(DequantizeDcRowsTest, DcBuckets) {
  const size_t hs[3] = {0, 0, 0}, vs[3] = {0, 0, 0};
  YCbCrChromaSubsampling cs;
  const float mul[3] = {1, 1, 1}, cfl[3] = {0, 0, 1};
  // One threshold per list: bucket = bY + 2 bB + 4 bX over the 8 sign
  // combinations; a sample equal to its threshold does not pass it.
  BlockCtxMap map;
  map.dc_thresholds[0] = {0};
  map.dc_thresholds[1] = {0};
  map.dc_thresholds[2] = {5};
  map.num_dc_contexts = 8;
  DcGroup g = MakeGroup(8, 1, hs, vs, 1);
  for (size_t i = 0; i < 8; ++i) {
    g.ch[0][i] = (i & 1) ? 1 : 0;         // Y
    g.ch[2][i] = (i & 2) ? 6 : 5;         // B
    g.ch[1][i] = (i & 4) ? 3 : -3;        // X
  }
  Image3F dc = Image3F::Create(HeapMemoryManager(), 8, 1).value();
  PlaneU8 buckets = PlaneU8::Create(HeapMemoryManager(), 8, 1).value();
  DequantizeDcRows(PixelRect{0, 0, 8, 1}, &dc, &buckets, g.View(), mul, 0.125f,
                   cfl, cs, map);
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(buckets.Row(0)[i], i);
  // Unsorted thresholds count the same; a 4:2:0 block reads its chroma
  // sample at (x >> 1, y >> 1).
  map.dc_thresholds[0] = {10, -10, 0};
  map.dc_thresholds[1].clear();
  map.dc_thresholds[2].clear();
  map.num_dc_contexts = 4;
  cs.channel_mode[1] = 1;
  cs.max_hshift = cs.max_vshift = 1;
  const size_t hs2[3] = {1, 0, 1}, vs2[3] = {1, 0, 1};
  DcGroup g2 = MakeGroup(4, 2, hs2, vs2, 3);
  g2.ch[1] = {-11, 11};  // X: 2 x 1 samples
  Image3F dc2 = Image3F::Create(HeapMemoryManager(), 4, 2).value();
  PlaneU8 b2 = PlaneU8::Create(HeapMemoryManager(), 4, 2).value();
  DequantizeDcRows(PixelRect{0, 0, 4, 2}, &dc2, &b2, g2.View(), mul, 1.0f, cfl,
                   cs, map);
  for (size_t y = 0; y < 2; ++y) {
    EXPECT_EQ(b2.Row(y)[0], 0);
    EXPECT_EQ(b2.Row(y)[1], 0);
    EXPECT_EQ(b2.Row(y)[2], 3);
    EXPECT_EQ(b2.Row(y)[3], 3);
  }
}

// --- SmoothDcImage ----------------------------------------------------------

// The smoothing of one interior sample, from the rules, without FMA.
void ReferenceSmooth(const Image3F& in, const float mul[3], Image3F* out) {
  for (size_t p = 0; p < 3; ++p) {
    for (size_t y = 0; y < in.ysize(); ++y) {
      for (size_t x = 0; x < in.xsize(); ++x) {
        out->PlaneRow(p, y)[x] = in.PlaneRow(p, y)[x];
      }
    }
  }
  for (size_t y = 1; y + 1 < in.ysize(); ++y) {
    for (size_t x = 1; x + 1 < in.xsize(); ++x) {
      float s[3], c[3], gap = 0.5f;
      for (size_t p = 0; p < 3; ++p) {
        auto at = [&](int dx, int dy) { return in.PlaneRow(p, y + dy)[x + dx]; };
        c[p] = at(0, 0);
        const float side = (at(-1, 0) + at(1, 0)) + (at(0, -1) + at(0, 1));
        const float corner = (at(-1, -1) + at(1, -1)) + (at(-1, 1) + at(1, 1));
        s[p] = corner * 0.03348292f + (side * 0.2034514f + c[p] * 0.052262723f);
        gap = std::max(gap, std::fabs((c[p] - s[p]) / mul[p]));
      }
      const float factor = std::max(3.0f - 4.0f * gap, 0.0f);
      for (size_t p = 0; p < 3; ++p) {
        out->PlaneRow(p, y)[x] = (s[p] - c[p]) * factor + c[p];
      }
    }
  }
}

TEST(SmoothDcImageTest, MatchesRules) {
  const float mul[3] = {1.0f / 4096 * 64, 1.0f / 512 * 8, 1.0f / 256 * 8};
  for (size_t xs : {3, 4, 9, 20}) {
    for (size_t ys : {3, 7}) {
      Image3F dc = RandomDc(xs, ys, static_cast<uint32_t>(xs * 31 + ys));
      Image3F want = Image3F::Create(HeapMemoryManager(), xs, ys).value();
      ReferenceSmooth(dc, mul, &want);
      ASSERT_TRUE(SmoothDcImage(HeapMemoryManager(), mul, &dc, nullptr).ok());
      for (size_t p = 0; p < 3; ++p) {
        for (size_t y = 0; y < ys; ++y) {
          for (size_t x = 0; x < xs; ++x) {
            const float w = want.PlaneRow(p, y)[x];
            EXPECT_TRUE(Near(dc.PlaneRow(p, y)[x], w, std::fabs(w)))
                << xs << "x" << ys << " " << p << " " << x << "," << y;
          }
        }
      }
    }
  }
}

TEST(SmoothDcImageTest, Cases) {
  const float mul[3] = {1.0f, 1.0f, 1.0f};
  // Too small: unchanged, Ok.
  for (auto [xs, ys] : {std::pair<size_t, size_t>{2, 9}, {9, 2}}) {
    Image3F dc = RandomDc(xs, ys, 5);
    const float before = dc.PlaneRow(1, 1)[1];
    ASSERT_TRUE(SmoothDcImage(HeapMemoryManager(), mul, &dc, nullptr).ok());
    EXPECT_EQ(dc.PlaneRow(1, 1)[1], before);
  }
  // Flat planes: 1.0 stays 1.0; 3x3 changes only its centre; a gap of 0.625
  // (X centre 0.625 off, all neighbours 0) moves half way.
  Image3F flat = Image3F::Create(HeapMemoryManager(), 3, 3).value();
  for (size_t p = 0; p < 3; ++p) {
    for (size_t y = 0; y < 3; ++y) std::fill(flat.PlaneRow(p, y), flat.PlaneRow(p, y) + 3, 1.0f);
  }
  ASSERT_TRUE(SmoothDcImage(HeapMemoryManager(), mul, &flat, nullptr).ok());
  EXPECT_EQ(flat.PlaneRow(1, 1)[1], 1.0f);
  // 100.0 becomes its weighted sum without fused operations: 99.99999237.
  std::vector<float> hundred(3, 100.0f), out_row[3];
  const float* rows[3][3];
  float* outs[3];
  for (size_t p = 0; p < 3; ++p) {
    for (size_t r = 0; r < 3; ++r) rows[p][r] = hundred.data();
    out_row[p].assign(3, 0.0f);
    outs[p] = out_row[p].data();
  }
  SmoothDcRowScalar(rows, 3, mul, outs);
  EXPECT_EQ(out_row[1][1], 99.99999237f);

  Image3F img = Image3F::Create(HeapMemoryManager(), 3, 3).value();
  for (size_t p = 0; p < 3; ++p) {
    for (size_t y = 0; y < 3; ++y) std::fill(img.PlaneRow(p, y), img.PlaneRow(p, y) + 3, 0.0f);
  }
  // c - s = c (1 - 0.052262723) = 0.625 gives the gap.
  const float c = 0.625f / (1.0f - 0.052262723f);
  img.PlaneRow(0, 1)[1] = c;
  img.PlaneRow(0, 0)[0] = 0.0f;
  ASSERT_TRUE(SmoothDcImage(HeapMemoryManager(), mul, &img, nullptr).ok());
  const float s = c * 0.052262723f;
  EXPECT_NEAR(img.PlaneRow(0, 1)[1], c + (s - c) * 0.5f, 1e-5f);
  EXPECT_EQ(img.PlaneRow(0, 0)[1], 0.0f);
  // 0.75 of a step or more: all three planes keep their samples.
  Image3F big = Image3F::Create(HeapMemoryManager(), 3, 3).value();
  for (size_t p = 0; p < 3; ++p) {
    for (size_t y = 0; y < 3; ++y) std::fill(big.PlaneRow(p, y), big.PlaneRow(p, y) + 3, 0.25f);
  }
  big.PlaneRow(2, 1)[1] = 1.2f;  // B far off
  big.PlaneRow(0, 1)[1] = 0.3f;  // X slightly off: kept too
  ASSERT_TRUE(SmoothDcImage(HeapMemoryManager(), mul, &big, nullptr).ok());
  EXPECT_EQ(big.PlaneRow(2, 1)[1], 1.2f);
  EXPECT_EQ(big.PlaneRow(0, 1)[1], 0.3f);
}

TEST(SmoothDcImageTest, FailuresLeaveTheImage) {
  const float mul[3] = {1.0f, 1.0f, 1.0f};
  Image3F dc = RandomDc(8, 8, 3);
  const float before = dc.PlaneRow(0, 3)[3];
  const QovMemoryManagerStruct refusing = {
      nullptr, [](void*, uint64_t) -> void* { return nullptr; },
      [](void*, void*) {}};
  EXPECT_EQ(SmoothDcImage(&refusing, mul, &dc, nullptr), StatusValue::Failed);
  EXPECT_EQ(dc.PlaneRow(0, 3)[3], before);
  TaskPool failing;
  failing.runner = [](void*, void*, TaskInitFn, TaskItemFn, uint32_t,
                      uint32_t) -> int32_t { return 1; };
  EXPECT_EQ(SmoothDcImage(HeapMemoryManager(), mul, &dc, &failing),
            StatusValue::Failed);
  EXPECT_EQ(dc.PlaneRow(0, 3)[3], before);
}

}  // namespace
}  // namespace qov
