// Row compositing: every mode for colour and extra channels against the
// formulas written out per sample, aliasing of outputs, and the kernels'
// special cases.
#include "lib/render/compositing.h"

#include <cmath>
#include <random>
#include <vector>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "tests/support/counting_manager.h"

namespace qov {
namespace {

const QovMemoryManagerStruct* Heap() {
  static const QovMemoryManagerStruct manager = {nullptr, DefaultAllocate,
                                                 DefaultRelease};
  return &manager;
}

float C01(float v) { return v < 0 ? 0 : (v > 1 ? 1 : v); }
float Cl(float v, bool clamp) { return clamp ? C01(v) : v; }
float Inv(float a) { return a <= 0 ? 0.0f : 1.0f / a; }

// Rows of 3 + n channels, `width` samples each.
struct Rows {
  std::vector<std::vector<float>> data;
  Rows(size_t channels, size_t width, uint32_t seed) : data(channels) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-0.25f, 1.25f);
    for (auto& row : data) {
      row.resize(width);
      for (float& v : row) v = dist(rng);
    }
  }
  std::vector<float*> Pointers() {
    std::vector<float*> out;
    for (auto& row : data) out.push_back(row.data());
    return out;
  }
};

ExtraChannelInfo Channel(ExtraChannelKind kind, bool premultiplied = false) {
  ExtraChannelInfo info;
  info.type = static_cast<uint32_t>(kind);
  info.alpha_associated = premultiplied;
  return info;
}

// Expected value of channel c at column x, written from the mode table.
float Expected(const Rows& bg, const Rows& fg, size_t c, size_t x,
               const PatchChannelBlend& color,
               const std::vector<PatchChannelBlend>& extra,
               const std::vector<ExtraChannelInfo>& info) {
  bool has_alpha = false;
  for (const auto& i : info) has_alpha |= i.type == 0;
  const bool is_color = c < 3;
  const PatchChannelBlend& e = is_color ? color : extra[c - 3];
  const size_t a = 3 + e.alpha_channel;
  const float b = bg.data[c][x], f = fg.data[c][x];
  const float ba = e.mode >= 4 && a < bg.data.size() ? bg.data[a][x] : 0;
  const float fa = e.mode >= 4 && a < fg.data.size() ? fg.data[a][x] : 0;
  const bool p = e.mode >= 4 && e.alpha_channel < info.size() &&
                 info[e.alpha_channel].alpha_associated;
  // Colour in alpha modes may overwrite the alpha channel it uses.
  if (!is_color && has_alpha && (color.mode == 4 || color.mode == 5) &&
      c == 3 + color.alpha_channel) {
    const float top = color.mode == 4 ? Cl(fg.data[c][x], color.clamp)
                                      : Cl(bg.data[c][x], color.clamp);
    const float below = color.mode == 4 ? bg.data[c][x] : fg.data[c][x];
    return 1.0f - (1.0f - below) * (1.0f - top);
  }
  auto over = [&](float bv, float bav, float fv, float fav) {
    const float fa2 = Cl(fav, e.clamp);
    const float alpha = 1.0f - (1.0f - bav) * (1.0f - fa2);
    if (!is_color && c == a) return alpha;
    if (p) return bv * (1.0f - fa2) + fv;
    return (fa2 * fv + (1.0f - fa2) * (bav * bv)) * Inv(alpha);
  };
  auto over_color = [&](float bv, float bav, float fv, float fav) {
    const float fa2 = Cl(fav, e.clamp);
    const float alpha = 1.0f - (1.0f - bav) * (1.0f - fa2);
    if (p) return bv * (1.0f - fa2) + fv;
    return (fv * fa2 + (bv * bav) * (1.0f - fa2)) * Inv(alpha);
  };
  auto weighted = [&](float base, float added, float alpha, bool same) {
    if (same) return base;
    return Cl(alpha, e.clamp) * added + base;
  };
  switch (e.mode) {
    case 0: return b;
    case 1: return f;
    case 2: return b + f;
    case 3: return b * Cl(f, e.clamp);
    case 4:
      if (is_color) return has_alpha ? over_color(b, ba, f, fa) : f;
      return over(b, ba, f, fa);
    case 5:
      if (is_color) return has_alpha ? over_color(f, fa, b, ba) : f;
      return over(f, fa, b, ba);
    case 6:
      if (is_color && !has_alpha) return b + f;
      return weighted(b, f, fa, !is_color && c == a);
    case 7:
      if (is_color && !has_alpha) return b + f;
      return weighted(f, b, ba, !is_color && c == a);
  }
  return NAN;
}

struct ModeCase {
  const char* name;
  std::vector<ExtraChannelInfo> info;
};

TEST(CompositeRowsTest, EveryModeMatchesFormula) {
  const ModeCase cases[] = {
      {"no extra channels", {}},
      {"one alpha", {Channel(ExtraChannelKind::kAlpha)}},
      {"premultiplied alpha and depth",
       {Channel(ExtraChannelKind::kAlpha, true), Channel(ExtraChannelKind::kDepth)}},
      {"depth only (no alpha)", {Channel(ExtraChannelKind::kDepth)}},
  };
  constexpr size_t kWidth = 13, kX0 = 2, kCount = 9;
  for (const ModeCase& c : cases) {
    const size_t n = c.info.size();
    for (uint32_t mode = 0; mode < 8; ++mode) {
      for (int clamp = 0; clamp < 2; ++clamp) {
        for (uint32_t alpha = 0; alpha < std::max<size_t>(n, 1); ++alpha) {
          PatchChannelBlend color{static_cast<uint8_t>(mode), alpha, clamp != 0};
          std::vector<PatchChannelBlend> extra(n);
          for (size_t i = 0; i < n; ++i) {
            extra[i] = {static_cast<uint8_t>((mode + i * 3) % 8), alpha, clamp != 0};
          }
          if (n == 0 && mode >= 4) color.alpha_channel = 0;
          Rows bg(3 + n, kWidth, mode * 7 + 1), fg(3 + n, kWidth, mode * 7 + 2);
          Rows out(3 + n, kWidth, 99);
          const Rows out_before = out;
          auto bgp = bg.Pointers(), fgp = fg.Pointers(), outp = out.Pointers();
          std::vector<const float*> bgc(bgp.begin(), bgp.end());
          std::vector<const float*> fgc(fgp.begin(), fgp.end());
          ASSERT_TRUE(CompositeRows(Heap(), bgc.data(), fgc.data(), outp.data(),
                                    kX0, kCount, color, extra.data(), c.info)
                          .ok());
          for (size_t ch = 0; ch < 3 + n; ++ch) {
            for (size_t x = 0; x < kWidth; ++x) {
              const bool inside = x >= kX0 && x < kX0 + kCount;
              const float want = inside ? Expected(bg, fg, ch, x, color, extra, c.info)
                                        : out_before.data[ch][x];
              EXPECT_FLOAT_EQ(out.data[ch][x], want)
                  << c.name << " mode " << mode << " clamp " << clamp
                  << " alpha " << alpha << " channel " << ch << " x " << x;
            }
          }
        }
      }
    }
  }
}

// Outputs that alias the background (as patches and blending use them)
// give the same result as separate outputs.
TEST(CompositeRowsTest, InPlaceMatchesSeparateOutput) {
  const std::vector<ExtraChannelInfo> info = {Channel(ExtraChannelKind::kAlpha)};
  for (uint8_t mode = 0; mode < 8; ++mode) {
    const PatchChannelBlend color{mode, 0, false};
    const PatchChannelBlend extra{static_cast<uint8_t>(7 - mode), 0, true};
    Rows bg(4, 8, 5), fg(4, 8, 6), out(4, 8, 7);
    Rows in_place = bg;
    auto bgp = bg.Pointers(), fgp = fg.Pointers(), outp = out.Pointers();
    auto ipp = in_place.Pointers();
    std::vector<const float*> bgc(bgp.begin(), bgp.end()), fgc(fgp.begin(), fgp.end());
    std::vector<const float*> ipc(ipp.begin(), ipp.end());
    ASSERT_TRUE(CompositeRows(Heap(), bgc.data(), fgc.data(), outp.data(), 0, 8,
                              color, &extra, info).ok());
    ASSERT_TRUE(CompositeRows(Heap(), ipc.data(), fgc.data(), ipp.data(), 0, 8,
                              color, &extra, info).ok());
    EXPECT_EQ(out.data, in_place.data) << "mode " << int(mode);
  }
}

TEST(CompositeRowsTest, FailuresLeaveOutputUnchanged) {
  const std::vector<ExtraChannelInfo> info = {Channel(ExtraChannelKind::kAlpha)};
  Rows bg(4, 4, 1), fg(4, 4, 2), out(4, 4, 3);
  const Rows before = out;
  auto bgp = bg.Pointers(), fgp = fg.Pointers(), outp = out.Pointers();
  std::vector<const float*> bgc(bgp.begin(), bgp.end()), fgc(fgp.begin(), fgp.end());
  // An alpha channel outside the list.
  PatchChannelBlend bad{kOverAbove, 1, false};
  PatchChannelBlend keep{kKeep, 0, false};
  EXPECT_FALSE(CompositeRows(Heap(), bgc.data(), fgc.data(), outp.data(), 0, 4,
                             bad, &keep, info).ok());
  EXPECT_FALSE(CompositeRows(Heap(), bgc.data(), fgc.data(), outp.data(), 0, 4,
                             keep, &bad, info).ok());
  // The scratch cannot be allocated.
  test::CountingManager failing;
  failing.refuse = true;
  EXPECT_FALSE(CompositeRows(&failing.manager, bgc.data(), fgc.data(),
                             outp.data(), 0, 4, keep, &keep, info).ok());
  EXPECT_EQ(out.data, before.data);
}

TEST(AlphaKernelsTest, DocumentedCases) {
  // fa = 0.25, ba = 0.5, fg = 1, bg = 0.2: A = 0.625, out = 0.52.
  float bg = 0.2f, ba = 0.5f, fg = 1.0f, fa = 0.25f, out = 0, out_a = 0;
  AlphaBlendPlanes(&bg, &bg, &bg, &ba, &fg, &fg, &fg, &fa, &out, &out, &out,
                   &out_a, 1, false, false);
  EXPECT_NEAR(out, 0.52f, 1e-6f);
  EXPECT_FLOAT_EQ(out_a, 0.625f);
  // Both alphas 0: colour 0 and alpha 0.
  float zero = 0.0f;
  AlphaBlendPlanes(&bg, &bg, &bg, &zero, &fg, &fg, &fg, &zero, &out, &out,
                   &out, &out_a, 1, false, false);
  EXPECT_EQ(out, 0.0f);
  EXPECT_EQ(out_a, 0.0f);
  // Clamp: alpha 1.5 acts as 1, -0.5 as 0; without clamp as given.
  float big = 1.5f, neg = -0.5f, base = 0.25f, added = 2.0f;
  AlphaWeightedAddPlanes(&base, &added, &big, &out, 1, true);
  EXPECT_FLOAT_EQ(out, 2.25f);
  AlphaWeightedAddPlanes(&base, &added, &neg, &out, 1, true);
  EXPECT_FLOAT_EQ(out, 0.25f);
  AlphaWeightedAddPlanes(&base, &added, &big, &out, 1, false);
  EXPECT_FLOAT_EQ(out, 3.25f);
  // Weighted add in the alpha channel itself keeps the base alpha.
  AlphaWeightedAddPlanes(&base, &big, &big, &out, 1, false);
  EXPECT_FLOAT_EQ(out, 0.25f);
  MultiplyPlanes(&base, &big, &out, 1, true);
  EXPECT_FLOAT_EQ(out, 0.25f);
  MultiplyPlanes(&base, &big, &out, 1, false);
  EXPECT_FLOAT_EQ(out, 0.375f);
}

}  // namespace
}  // namespace qov
