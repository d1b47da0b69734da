// ICC profile synthesis: header, tag lists, descriptions, code points, tone
// curves, refusals, well-formedness and determinism.
#include "lib/color/icc_synth.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>
#include <vector>

#include "lib/color/color_enums.h"
#include "tests/color/icc_test_util.h"

namespace qov {
namespace {

using test::BigEndian32;
using test::Description;
using test::IsWellFormedIcc;
using test::MlucText;
using test::Sig;
using test::TagBody;
using test::TagNames;

std::vector<uint8_t> Synthesize(const QovColorEncoding& c) {
  std::vector<uint8_t> profile;
  EXPECT_TRUE(SynthesizeIccProfile(c, &profile).ok());
  return profile;
}

using Tags = std::vector<std::string>;
const Tags kMatrixTrc = {"desc", "cprt", "wtpt", "chad", "cicp", "rXYZ",
                         "gXYZ", "bXYZ", "rTRC", "gTRC", "bTRC"};
const Tags kMatrixTrcNoCicp = {"desc", "cprt", "wtpt", "chad", "rXYZ",
                               "gXYZ", "bXYZ", "rTRC", "gTRC", "bTRC"};
const Tags kHdrLut = {"desc", "cprt", "wtpt", "chad", "cicp",
                      "rXYZ", "gXYZ", "bXYZ", "A2B0", "B2A0"};
const Tags kGray = {"desc", "cprt", "wtpt", "kTRC"};
const Tags kXyb = {"desc", "cprt", "wtpt", "chad", "A2B0", "B2A0"};

// Custom primaries near Rec.2100 (not a named set).
constexpr int32_t kOddPrimaries[6] = {700000, 300000, 170000,
                                      790000, 130000, 50000};

struct ProfileCase {
  const char* name;
  Description d;
  const char* description;
  Tags tags;
  const char* device_class;
  const char* data_space;
  const char* connection_space;
};

Description Make(uint32_t cs, uint32_t wp, uint32_t prim, uint32_t tf,
                 uint32_t intent = QOV_RENDERING_INTENT_RELATIVE,
                 uint32_t gamma = 0) {
  Description d;
  d.color_space = cs;
  d.white_point = wp;
  d.primaries = prim;
  d.transfer_function = tf;
  d.rendering_intent = intent;
  d.gamma = gamma;
  return d;
}

std::vector<ProfileCase> ProfileCases() {
  Description custom_pq = Make(0, 1, 2, 16);
  std::copy(kOddPrimaries, kOddPrimaries + 6, custom_pq.prim);
  Description grey_custom_white = Make(1, 2, 1, 18);
  grey_custom_white.white[0] = 345000;
  grey_custom_white.white[1] = 355500;
  return {
      {"sRGB", Make(0, 1, 1, 13), "sRGB", kMatrixTrc, "mntr", "RGB ", "XYZ "},
      {"sRGB perceptual", Make(0, 1, 1, 13, 0), "sRGB", kMatrixTrc, "mntr",
       "RGB ", "XYZ "},
      {"linear sRGB", Make(0, 1, 1, 8), "RGB_D65_SRG_Rel_Lin", kMatrixTrc,
       "mntr", "RGB ", "XYZ "},
      {"grey sRGB", Make(1, 1, 1, 13), "Gra_D65_Rel_SRG", kGray, "mntr",
       "GRAY", "XYZ "},
      {"grey custom white HLG", grey_custom_white, "Gra_0.345;0.3555_Rel_HLG",
       kGray, "mntr", "GRAY", "XYZ "},
      {"XYB", Make(2, 1, 1, 13, 0), "XYB_Per", kXyb, "scnr", "RGB ", "XYZ "},
      {"Rec2100 PQ", Make(0, 1, 9, 16), "Rec2100PQ", kHdrLut, "mntr", "RGB ",
       "Lab "},
      {"Rec2100 HLG", Make(0, 1, 9, 18), "Rec2100HLG", kHdrLut, "mntr", "RGB ",
       "Lab "},
      {"custom primaries PQ", custom_pq,
       "RGB_D65_0.7;0.3;0.17;0.79;0.13;0.05_Rel_PeQ", kMatrixTrcNoCicp, "mntr",
       "RGB ", "XYZ "},
      {"P3 DCI PQ", Make(0, 11, 11, 16, 3), "RGB_DCI_DCI_Abs_PeQ", kHdrLut,
       "mntr", "RGB ", "Lab "},
      {"Display P3", Make(0, 1, 11, 13, 2), "DisplayP3", kMatrixTrc, "mntr",
       "RGB ", "XYZ "},
      {"P3 white E", Make(0, 10, 11, 13), "RGB_EER_DCI_Rel_SRG",
       kMatrixTrcNoCicp, "mntr", "RGB ", "XYZ "},
      {"gamma 0.45", Make(0, 1, 1, 13, 1, 4500000), "RGB_D65_SRG_Rel_g0.45",
       kMatrixTrcNoCicp, "mntr", "RGB ", "XYZ "},
      {"709 DCI-white", Make(0, 11, 1, 1), "RGB_DCI_SRG_Rel_709",
       kMatrixTrcNoCicp, "mntr", "RGB ", "XYZ "},
  };
}

TEST(IccSynthTest, HeaderTagsAndDescription) {
  for (const ProfileCase& c : ProfileCases()) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> p = Synthesize(c.d.ToPublic());
    ASSERT_TRUE(IsWellFormedIcc(p));
    EXPECT_EQ(Sig(p, 4), "qov ");
    EXPECT_EQ(Sig(p, 12), c.device_class);
    EXPECT_EQ(Sig(p, 16), c.data_space);
    EXPECT_EQ(Sig(p, 20), c.connection_space);
    EXPECT_EQ(Sig(p, 40), "APPL");
    EXPECT_EQ(Sig(p, 80), "qov ");
    EXPECT_EQ(BigEndian32(p, 64), c.d.rendering_intent);
    const std::vector<uint8_t> date(p.begin() + 24, p.begin() + 36);
    EXPECT_EQ(date, (std::vector<uint8_t>{0x07, 0xE3, 0, 0x0C, 0, 1, 0, 0, 0,
                                          0, 0, 0}));
    EXPECT_EQ(BigEndian32(p, 68), 0x0000F6D6u);
    EXPECT_EQ(BigEndian32(p, 72), 0x00010000u);
    EXPECT_EQ(BigEndian32(p, 76), 0x0000D32Du);
    EXPECT_EQ(TagNames(p), c.tags);
    EXPECT_EQ(MlucText(TagBody(p, "desc")), c.description);
    EXPECT_EQ(MlucText(TagBody(p, "cprt")), "CC0");
    // Tag data follow the table in the order written, without gaps.
    uint32_t expected_offset = 132 + 12 * static_cast<uint32_t>(c.tags.size());
    for (const test::IccTag& t : test::IccTags(p)) {
      if (t.sig == "gTRC" || t.sig == "bTRC") continue;  // shared with rTRC
      EXPECT_EQ(t.offset, expected_offset) << t.sig;
      expected_offset = t.offset + t.size;
    }
    EXPECT_EQ(expected_offset, p.size());
  }
}

TEST(IccSynthTest, RecordedTagSizes) {
  struct Case {
    const char* name;
    Description d;
    const char* sig;
    uint32_t size;
  };
  const Case kCases[] = {
      {"cprt", Make(0, 1, 1, 13), "cprt", 36},
      {"desc sRGB", Make(0, 1, 1, 13), "desc", 36},
      {"desc Gra_D65_Rel_SRG (15 chars)", Make(1, 1, 1, 13), "desc", 60},
      {"wtpt", Make(0, 1, 1, 13), "wtpt", 20},
      {"chad", Make(0, 1, 1, 13), "chad", 44},
      {"cicp", Make(0, 1, 1, 13), "cicp", 12},
      {"rXYZ", Make(0, 1, 1, 13), "rXYZ", 20},
      {"para type 3", Make(0, 1, 1, 13), "rTRC", 32},
      {"para type 0", Make(0, 1, 1, 13, 1, 4500000), "rTRC", 16},
      {"curv 64", Make(1, 1, 1, 16), "kTRC", 140},
      {"mAB", Make(2, 1, 1, 13, 0), "A2B0", 292},
      {"mBA", Make(2, 1, 1, 13, 0), "B2A0", 80},
      {"mft1", Make(0, 1, 9, 16), "A2B0", 3772},
  };
  for (const Case& c : kCases) {
    const std::vector<uint8_t> p = Synthesize(c.d.ToPublic());
    bool found = false;
    for (const test::IccTag& t : test::IccTags(p)) {
      if (t.sig != c.sig) continue;
      EXPECT_EQ(t.size, c.size) << c.name;
      found = true;
      break;
    }
    EXPECT_TRUE(found) << c.name;
  }
}

TEST(IccSynthTest, StandardSrgbBytes) {
  const std::vector<uint8_t> p = Synthesize(Make(0, 1, 1, 13).ToPublic());
  EXPECT_EQ(p.size(), 504u);
  EXPECT_EQ(TagBody(p, "cicp"),
            (std::vector<uint8_t>{'c', 'i', 'c', 'p', 0, 0, 0, 0, 0x01, 0x0D,
                                  0x00, 0x01}));
  const auto tags = test::IccTags(p);
  EXPECT_EQ(tags[8].offset, tags[9].offset);
  EXPECT_EQ(tags[8].offset, tags[10].offset);
  EXPECT_EQ(tags[8].size, tags[10].size);
  // sRGB curve: g 2.4, a 1/1.055, b 0.055/1.055, c 1/12.92, d 0.04045.
  const std::vector<uint8_t> trc = TagBody(p, "rTRC");
  EXPECT_EQ(Sig(trc, 0), "para");
  EXPECT_EQ(trc[8], 0);
  EXPECT_EQ(trc[9], 3);
  EXPECT_EQ(BigEndian32(trc, 12), 157286u);  // 2.4
  EXPECT_EQ(BigEndian32(trc, 16), 62119u);   // 0.9478673
  EXPECT_EQ(BigEndian32(trc, 20), 3417u);    // 0.0521327
  EXPECT_EQ(BigEndian32(trc, 24), 5072u);    // 0.0773994
  EXPECT_EQ(BigEndian32(trc, 28), 2651u);    // 0.04045
  // Non-grey media white is D50.
  const std::vector<uint8_t> wtpt = TagBody(p, "wtpt");
  EXPECT_EQ(BigEndian32(wtpt, 8), 63190u);   // 0.964203
  EXPECT_EQ(BigEndian32(wtpt, 12), 65536u);
  EXPECT_EQ(BigEndian32(wtpt, 16), 54061u);  // 0.824905
}

// The colorant tags hold the columns of the D50-adapted sRGB matrix and
// 'chad' the Bradford D65-to-D50 matrix row by row: the published values of
// sRGB profiles (to 3e-4, the primaries here are the standard encoding's).
TEST(IccSynthTest, SrgbColorantsAndAdaptation) {
  const std::vector<uint8_t> p = Synthesize(Make(0, 1, 1, 13).ToPublic());
  auto fixed = [](const std::vector<uint8_t>& body, size_t pos) {
    return static_cast<int32_t>(BigEndian32(body, pos)) / 65536.0;
  };
  struct Case {
    const char* sig;
    double x, y, z;
  };
  const Case kColorants[] = {{"rXYZ", 0.4361, 0.2225, 0.0139},
                             {"gXYZ", 0.3851, 0.7169, 0.0971},
                             {"bXYZ", 0.1431, 0.0606, 0.7141}};
  for (const Case& c : kColorants) {
    const std::vector<uint8_t> body = TagBody(p, c.sig);
    ASSERT_EQ(body.size(), 20u) << c.sig;
    EXPECT_EQ(Sig(body, 0), "XYZ ");
    EXPECT_NEAR(fixed(body, 8), c.x, 3e-4) << c.sig;
    EXPECT_NEAR(fixed(body, 12), c.y, 3e-4) << c.sig;
    EXPECT_NEAR(fixed(body, 16), c.z, 3e-4) << c.sig;
  }
  const std::vector<uint8_t> chad = TagBody(p, "chad");
  ASSERT_EQ(chad.size(), 44u);
  EXPECT_EQ(Sig(chad, 0), "sf32");
  const double kBradfordD65ToD50[9] = {1.0479,  0.0229, -0.0502,
                                       0.0296,  0.9904, -0.0171,
                                       -0.0092, 0.0151, 0.7519};
  for (int i = 0; i < 9; ++i) {
    EXPECT_NEAR(fixed(chad, 8 + 4 * i), kBradfordD65ToD50[i], 3e-4) << i;
  }
}

TEST(IccSynthTest, ExplicitGammaCurve) {
  const std::vector<uint8_t> p =
      Synthesize(Make(0, 1, 1, 13, 1, 4500000).ToPublic());
  const std::vector<uint8_t> trc = TagBody(p, "rTRC");
  EXPECT_EQ(trc, (std::vector<uint8_t>{'p', 'a', 'r', 'a', 0, 0, 0, 0, 0, 0, 0,
                                       0, 0x00, 0x02, 0x38, 0xE4}));
}

TEST(IccSynthTest, IntentChangesOnlyHeaderIntentNotIdentifier) {
  const std::vector<uint8_t> rel = Synthesize(Make(0, 1, 1, 13, 1).ToPublic());
  const std::vector<uint8_t> per = Synthesize(Make(0, 1, 1, 13, 0).ToPublic());
  ASSERT_EQ(rel.size(), per.size());
  for (size_t i = 0; i < rel.size(); ++i) {
    if (i >= 64 && i < 68) continue;
    EXPECT_EQ(rel[i], per[i]) << "byte " << i;
  }
  EXPECT_EQ(BigEndian32(per, 64), 0u);
  EXPECT_EQ(BigEndian32(rel, 64), 1u);
}

TEST(IccSynthTest, GreyWhitePointIsItsOwn) {
  const std::vector<uint8_t> p = Synthesize(Make(1, 1, 1, 13).ToPublic());
  const std::vector<uint8_t> wtpt = TagBody(p, "wtpt");
  // D65: X = 0.3127 / 0.329, Y = 1, Z = (1 - 0.3127 - 0.329) / 0.329.
  EXPECT_EQ(BigEndian32(wtpt, 8), 62289u);
  EXPECT_EQ(BigEndian32(wtpt, 12), 65536u);
  EXPECT_EQ(BigEndian32(wtpt, 16), 71372u);
}

TEST(IccSynthTest, CicpPrimariesCodes) {
  struct Case {
    const char* name;
    Description d;
    int primaries_code;  // -1: no tag
    int transfer_code;
  };
  const Case kCases[] = {
      {"P3 DCI white", Make(0, 11, 11, 13), 11, 13},
      {"P3 D65", Make(0, 1, 11, 8), 12, 8},
      {"P3 white E", Make(0, 10, 11, 13), -1, 0},
      {"2100 D65 HLG", Make(0, 1, 9, 18), 9, 18},
      {"2100 DCI white", Make(0, 11, 9, 1), -1, 0},
      {"sRGB DCI transfer", Make(0, 1, 1, 17), 1, 17},
      {"custom primaries", [] {
         Description d = Make(0, 1, 2, 13);
         std::copy(kOddPrimaries, kOddPrimaries + 6, d.prim);
         return d;
       }(), -1, 0},
      {"gamma", Make(0, 1, 1, 13, 1, 5000000), -1, 0},
      {"grey", Make(1, 1, 1, 13), -1, 0},
  };
  for (const Case& c : kCases) {
    const std::vector<uint8_t> cicp = TagBody(Synthesize(c.d.ToPublic()), "cicp");
    if (c.primaries_code < 0) {
      EXPECT_TRUE(cicp.empty()) << c.name;
      continue;
    }
    ASSERT_EQ(cicp.size(), 12u) << c.name;
    EXPECT_EQ(cicp[8], c.primaries_code) << c.name;
    EXPECT_EQ(cicp[9], c.transfer_code) << c.name;
    EXPECT_EQ(cicp[10], 0) << c.name;
    EXPECT_EQ(cicp[11], 1) << c.name;
  }
}

TEST(IccSynthTest, WellKnownNames) {
  Description adobe = Make(0, 1, 2, 13, 1, 4547069);
  const int32_t adobe_xy[6] = {640000, 330000, 210000, 710000, 150000, 60000};
  std::copy(adobe_xy, adobe_xy + 6, adobe.prim);
  Description prophoto = Make(0, 2, 2, 13, 0, 5555556);
  const int32_t pro_xy[6] = {734699, 265301, 159597, 840403, 36598, 105};
  std::copy(pro_xy, pro_xy + 6, prophoto.prim);
  prophoto.white[0] = 345669;
  prophoto.white[1] = 358496;
  Description almost_adobe = adobe;
  almost_adobe.prim[0] = 640040;  // 4e-5 off: outside the tolerance
  struct Case {
    Description d;
    const char* want;
  };
  const Case kCases[] = {
      {adobe, "Adobe98"},
      {prophoto, "ProPhoto"},
      {almost_adobe, "RGB_D65_0.64004;0.33;0.21;0.71;0.15;0.06_Rel_g0.454707"},
      {Make(0, 1, 9, 16, 0), "Rec2100PQ"},
      {Make(0, 1, 9, 13), "RGB_D65_202_Rel_SRG"},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(IccDescription(c.d.ToPublic()), c.want);
  }
}

TEST(IccSynthTest, RefusalsLeaveOutputUntouched) {
  struct Case {
    const char* name;
    QovColorEncoding c;
  };
  QovColorEncoding grey_zero_y = Make(1, 2, 1, 13).ToPublic();  // white (0, 0)
  QovColorEncoding rgb_zero_y = Make(0, 2, 1, 13).ToPublic();
  Description collinear = Make(0, 1, 2, 13);
  const int32_t line[6] = {100000, 100000, 200000, 200000, 300000, 300000};
  std::copy(line, line + 6, collinear.prim);
  QovColorEncoding huge_curve = Make(0, 1, 1, 13, 1, 1221).ToPublic();
  huge_curve.gamma = 1e-5;  // 1/gamma has no s15Fixed16 form
  QovColorEncoding nan_gamma = Make(0, 1, 1, 13, 1, 1221).ToPublic();
  nan_gamma.gamma = std::numeric_limits<double>::quiet_NaN();
  QovColorEncoding bad_transfer = Make(0, 1, 1, 14).ToPublic();
  const Case kCases[] = {
      {"XYB relative", Make(2, 1, 1, 13, 1).ToPublic()},
      {"XYB absolute", Make(2, 1, 1, 13, 3).ToPublic()},
      {"colour space Unknown", Make(3, 1, 1, 13).ToPublic()},
      {"colour space 4", Make(4, 1, 1, 13).ToPublic()},
      {"transfer Unknown", Make(0, 1, 1, 2).ToPublic()},
      {"transfer 14", bad_transfer},
      {"grey white y 0", grey_zero_y},
      {"RGB white y 0", rgb_zero_y},
      {"collinear primaries", collinear.ToPublic()},
      {"gamma curve overflow", huge_curve},
      {"gamma NaN", nan_gamma},
  };
  for (const Case& c : kCases) {
    std::vector<uint8_t> profile = {1, 2, 3};
    EXPECT_TRUE(SynthesizeIccProfile(c.c, &profile).failed()) << c.name;
    EXPECT_EQ(profile, (std::vector<uint8_t>{1, 2, 3})) << c.name;
  }
}

// Every valid combination of the enumerations either synthesises a
// well-formed profile or is the one refused case (XYB, not Perceptual).
TEST(IccSynthTest, AllEnumeratedCombinationsAreWellFormed) {
  const uint32_t kSpaces[] = {0, 1, 2};
  const uint32_t kWhites[] = {1, 10, 11};
  const uint32_t kPrims[] = {1, 9, 11};
  const uint32_t kTransfers[] = {1, 8, 13, 16, 17, 18};
  for (uint32_t cs : kSpaces) {
    for (uint32_t wp : kWhites) {
      for (uint32_t prim : kPrims) {
        for (uint32_t tf : kTransfers) {
          for (uint32_t intent = 0; intent < 4; ++intent) {
            const QovColorEncoding c = Make(cs, wp, prim, tf, intent).ToPublic();
            std::vector<uint8_t> p;
            const Status s = SynthesizeIccProfile(c, &p);
            SCOPED_TRACE(IccDescription(c));
            if (cs == 2 && intent != 0) {
              EXPECT_TRUE(s.failed());
              continue;
            }
            ASSERT_TRUE(s.ok());
            EXPECT_TRUE(IsWellFormedIcc(p));
            std::vector<uint8_t> again;
            ASSERT_TRUE(SynthesizeIccProfile(c, &again).ok());
            EXPECT_EQ(p, again);
          }
        }
      }
    }
  }
}

// Arbitrary custom chromaticities either give a well-formed profile or are
// refused; nothing in between.
TEST(IccSynthTest, RandomCustomChromaticities) {
  std::mt19937 rng(77);
  std::uniform_int_distribution<int32_t> coord(-200000, 1200000);
  int made = 0;
  for (int iteration = 0; iteration < 300; ++iteration) {
    Description d = Make(rng() % 2, 2, 2, 13 + 3 * (rng() % 2));
    d.white[0] = coord(rng);
    d.white[1] = coord(rng);
    for (int32_t& v : d.prim) v = coord(rng);
    std::vector<uint8_t> p;
    if (!SynthesizeIccProfile(d.ToPublic(), &p).ok()) {
      EXPECT_TRUE(p.empty());
      continue;
    }
    ++made;
    EXPECT_TRUE(IsWellFormedIcc(p));
  }
  EXPECT_GT(made, 50);
}

TEST(IccSynthTest, S15Fixed16RoundingAndLimits) {
  struct Case {
    float v;
    bool ok;
    int32_t fixed;
  };
  const Case kCases[] = {
      {1.0f, true, 65536},
      {-1.0f, true, -65536},
      {0.5f / 65536, true, 1},     // half rounds away from zero
      {-0.5f / 65536, true, -1},
      {32767.994140625f, true, 0x7FFFFE80},
      {32768.0f, false, 0},
      {-32768.0f, false, 0},
      {std::numeric_limits<float>::quiet_NaN(), false, 0},
      {std::numeric_limits<float>::infinity(), false, 0},
  };
  for (const Case& c : kCases) {
    int32_t fixed = 0;
    const Status s = ToS15Fixed16(c.v, &fixed);
    EXPECT_EQ(s.ok(), c.ok) << c.v;
    if (c.ok) {
      EXPECT_EQ(fixed, c.fixed) << c.v;
    }
  }
}

TEST(IccSynthTest, PadAndLocateTracksOffsets) {
  std::vector<uint8_t> data(5, 7);
  uint32_t offset = 0, size = 0;
  PadAndLocateTag(&data, &offset, &size);
  EXPECT_EQ(data.size(), 8u);
  EXPECT_EQ(offset, 0u);
  EXPECT_EQ(size, 8u);
  data.resize(20, 1);
  PadAndLocateTag(&data, &offset, &size);
  EXPECT_EQ(offset, 8u);
  EXPECT_EQ(size, 12u);

  std::vector<uint8_t> bytes;
  WriteBigEndian32At(0x01020304u, 2, &bytes);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0, 0, 1, 2, 3, 4}));
}

}  // namespace
}  // namespace qov
