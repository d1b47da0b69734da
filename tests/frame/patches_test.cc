// Patch dictionaries read from streams written with the project's encoder:
// sources, placements and blend records as written, every rejection, input
// that ends early, the row index against a brute-force scan, and blending
// of rows from stored frames.
#include "lib/frame/patches.h"

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "gtest/gtest.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/frame/frame_decoding_state.h"
#include "tests/support/feature_streams.h"

namespace qov {
namespace {

using feature_test::Heap;
using feature_test::PackSigned;
using feature_test::WriteStream;

struct TestPlacement {
  uint64_t x, y;
  std::vector<PatchChannelBlend> blends;  // one per channel group
};
struct TestSource {
  uint64_t slot, x0, y0, xsize, ysize;
  std::vector<TestPlacement> placements;
};

// The tokens of a patch description, context by context.
std::vector<Token> PatchTokens(const std::vector<TestSource>& sources,
                               uint64_t num_extra,
                               uint64_t claimed_sources = 0) {
  std::vector<Token> t;
  auto put = [&](uint32_t ctx, uint64_t v) {
    t.emplace_back(ctx, static_cast<uint32_t>(v));
  };
  put(0, claimed_sources != 0 ? claimed_sources : sources.size());
  for (const TestSource& s : sources) {
    put(1, s.slot);
    put(3, s.x0);
    put(3, s.y0);
    put(2, s.xsize - 1);
    put(2, s.ysize - 1);
    put(7, s.placements.size() - 1);
    for (size_t j = 0; j < s.placements.size(); ++j) {
      const TestPlacement& p = s.placements[j];
      if (j == 0) {
        put(4, p.x);
        put(4, p.y);
      } else {
        put(6, PackSigned(static_cast<int64_t>(p.x) -
                          static_cast<int64_t>(s.placements[j - 1].x)));
        put(6, PackSigned(static_cast<int64_t>(p.y) -
                          static_cast<int64_t>(s.placements[j - 1].y)));
      }
      for (const PatchChannelBlend& b : p.blends) {
        put(5, b.mode);
        if (b.mode >= 4 && num_extra > 1) put(8, b.alpha_channel);
        if (b.mode >= 3) put(9, b.clamp ? 1 : 0);
      }
    }
  }
  return t;
}

// Four reference slots; slot k holds a (32 + k) x (24 + k) frame with
// `num_extra` extra channels whose samples encode (slot, channel, x, y).
struct Slots {
  ReferenceFrameSlot slots[4];
  explicit Slots(uint64_t num_extra, bool filled = true) {
    for (int k = 0; k < 4; ++k) {
      slots[k].frame = std::make_unique<ImageBundle>(Heap());
      slots[k].saved_before_color_transform = true;
      if (!filled) continue;
      const uint64_t xs = 32 + k, ys = 24 + k;
      auto color = Image3F::Create(Heap(), xs, ys);
      EXPECT_TRUE(color.ok());
      slots[k].frame->color = std::move(color).value();
      for (uint64_t c = 0; c < num_extra; ++c) {
        auto plane = PlaneF::Create(Heap(), xs, ys);
        EXPECT_TRUE(plane.ok());
        slots[k].frame->extra_channels.push_back(std::move(plane).value());
      }
      for (uint64_t c = 0; c < 3 + num_extra; ++c) {
        for (uint64_t y = 0; y < ys; ++y) {
          float* row = c < 3 ? slots[k].frame->color.PlaneRow(c, y)
                             : slots[k].frame->extra_channels[c - 3].Row(y);
          for (uint64_t x = 0; x < xs; ++x) row[x] = Value(k, c, x, y);
        }
      }
    }
  }
  static float Value(uint64_t slot, uint64_t c, uint64_t x, uint64_t y) {
    if (c >= 3) return 0.25f + 0.5f * static_cast<float>((x + y) % 2);  // alpha
    return static_cast<float>(slot * 1000 + c * 100 + x) + 0.01f * y;
  }
};

Status DecodeBytes(PatchDictionary* dict, const std::vector<uint8_t>& bytes,
                   uint64_t width, uint64_t height, uint64_t num_extra) {
  BitReader reader(Span(bytes.data(), bytes.size()));
  return dict->Decode(Heap(), reader, width, height, num_extra);
}

PatchChannelBlend B(uint8_t mode, uint32_t alpha = 0, bool clamp = false) {
  return {mode, alpha, clamp};
}

TEST(PatchDictionaryTest, DecodesWhatWasWritten) {
  struct Case {
    const char* name;
    uint64_t num_extra;
    bool lz77;
    std::vector<TestSource> sources;
  };
  const std::vector<Case> cases = {
      {"no sources", 0, false, {}},
      {"one source, colour only",
       0,
       false,
       {{2, 3, 4, 5, 6, {{10, 11, {B(1)}}, {12, 9, {B(2)}}, {0, 0, {B(3, 0, true)}}}}}},
      {"one extra channel: no alpha index, clamp from mode 3 on",
       1,
       false,
       {{0, 0, 0, 8, 8, {{0, 0, {B(4, 0, true), B(7, 0, false)}}}},
        {3, 1, 2, 3, 4, {{40, 30, {B(0), B(3, 0, true)}}, {41, 30, {B(5), B(2)}}}}}},
      {"two extra channels with alpha indices, LZ77",
       2,
       true,
       {{1, 4, 4, 4, 4,
         {{1, 1, {B(6, 1, true), B(1), B(5, 0, false)}},
          {2, 2, {B(6, 1, true), B(1), B(5, 0, false)}},
          {3, 3, {B(6, 1, true), B(1), B(5, 0, false)}},
          {4, 4, {B(6, 1, true), B(1), B(5, 0, false)}}}}}},
  };
  for (const Case& c : cases) {
    Slots slots(c.num_extra);
    PatchDictionary dict(Heap());
    dict.SetReferenceSlots(slots.slots);
    const auto bytes = WriteStream(10, PatchTokens(c.sources, c.num_extra), c.lz77);
    ASSERT_FALSE(bytes.empty()) << c.name;
    ASSERT_TRUE(DecodeBytes(&dict, bytes, 64, 48, c.num_extra).ok()) << c.name;
    ASSERT_EQ(dict.sources().size(), c.sources.size()) << c.name;
    EXPECT_EQ(dict.channels(), 1 + c.num_extra);
    uint32_t mask = 0;
    size_t p = 0;
    for (size_t s = 0; s < c.sources.size(); ++s) {
      const TestSource& want = c.sources[s];
      const PatchSource& got = dict.sources()[s];
      EXPECT_EQ(got.slot, want.slot);
      EXPECT_EQ(got.x0, want.x0);
      EXPECT_EQ(got.y0, want.y0);
      EXPECT_EQ(got.xsize, want.xsize);
      EXPECT_EQ(got.ysize, want.ysize);
      mask |= 1u << want.slot;
      for (const TestPlacement& wp : want.placements) {
        ASSERT_LT(p, dict.placements().size()) << c.name;
        const PatchPlacement& gp = dict.placements()[p];
        EXPECT_EQ(gp.x, wp.x) << c.name << " placement " << p;
        EXPECT_EQ(gp.y, wp.y) << c.name << " placement " << p;
        EXPECT_EQ(gp.source, s);
        for (size_t ch = 0; ch < wp.blends.size(); ++ch) {
          const PatchChannelBlend& gb = dict.blends()[p * dict.channels() + ch];
          EXPECT_EQ(gb.mode, wp.blends[ch].mode) << c.name << " " << p << " " << ch;
          EXPECT_EQ(gb.alpha_channel, wp.blends[ch].alpha_channel);
          EXPECT_EQ(gb.clamp, wp.blends[ch].clamp);
        }
        ++p;
      }
    }
    EXPECT_EQ(p, dict.placements().size()) << c.name;
    EXPECT_EQ(dict.ReferencedSlots(), mask) << c.name;
  }
}

TEST(PatchDictionaryTest, RejectsViolations) {
  const auto good = [] {
    return std::vector<TestSource>{{1, 2, 3, 4, 5, {{10, 10, {B(1), B(4, 0, false)}}}}};
  };
  struct Case {
    const char* name;
    std::vector<TestSource> sources;
    uint64_t num_extra = 1;
    uint64_t claimed = 0;
    int slot_change = -1;  // 0 empty slot 1, 1 slot 1 after the transform
  };
  std::vector<Case> cases;
  auto add = [&](const char* name, auto edit) {
    Case c{name, good()};
    edit(c);
    cases.push_back(c);
  };
  add("slot above 3", [](Case& c) { c.sources[0].slot = 4; });
  add("empty slot", [](Case& c) { c.slot_change = 0; });
  add("slot stored after the colour transform", [](Case& c) { c.slot_change = 1; });
  add("rectangle right of the stored frame",
      [](Case& c) { c.sources[0].x0 = 33 - 4 + 1; });
  add("rectangle below the stored frame",
      [](Case& c) { c.sources[0].ysize = 25 - 3 + 1; });
  add("placement right of the frame",
      [](Case& c) { c.sources[0].placements[0].x = 64 - 4 + 1; });
  add("placement below the frame",
      [](Case& c) { c.sources[0].placements[0].y = 48 - 5 + 1; });
  add("difference below zero", [](Case& c) {
    c.sources[0].placements.push_back({0, 0, {B(1), B(1)}});
    c.sources[0].placements.push_back({0, 0, {B(1), B(1)}});
    c.sources[0].placements[2].x = static_cast<uint64_t>(-1);
  });
  add("blend mode 8", [](Case& c) { c.sources[0].placements[0].blends[0].mode = 8; });
  add("alpha channel not below the count", [](Case& c) {
    c.num_extra = 2;
    c.sources[0].placements[0].blends = {B(1), B(4, 2), B(1)};
  });
  add("more sources than L", [](Case& c) { c.claimed = (64 * 48) / 4 + 1024 + 1; });
  add("more placements than 4L", [](Case& c) {
    c.sources[0].placements.resize(1);
    c.sources[0].placements[0].blends = {B(0), B(0)};
  });
  cases.back().claimed = 0;
  for (Case& c : cases) {
    Slots slots(c.num_extra);
    if (c.slot_change == 0) slots.slots[1].frame->ClearPlanes();
    if (c.slot_change == 1) slots.slots[1].saved_before_color_transform = false;
    std::vector<Token> tokens = PatchTokens(c.sources, c.num_extra, c.claimed);
    if (std::string(c.name) == "more placements than 4L") {
      for (Token& t : tokens) {
        if (t.context == 7) t.value = 4 * ((64 * 48) / 4 + 1024);
      }
    }
    const auto bytes = WriteStream(10, tokens);
    ASSERT_FALSE(bytes.empty()) << c.name;
    PatchDictionary dict(Heap());
    dict.SetReferenceSlots(slots.slots);
    EXPECT_EQ(DecodeBytes(&dict, bytes, 64, 48, c.num_extra).code(),
              StatusValue::Failed)
        << c.name;
  }
  // The unedited stream passes, and a difference back to exactly 0 too.
  Slots slots(1);
  PatchDictionary dict(Heap());
  dict.SetReferenceSlots(slots.slots);
  auto sources = good();
  sources[0].placements.push_back({0, 0, {B(1), B(1)}});
  EXPECT_TRUE(DecodeBytes(&dict, WriteStream(10, PatchTokens(sources, 1)), 64,
                          48, 1).ok());
}

// The placements may cover at most 16 W H + 2^20 pixels in all: without
// that bound a few bytes could place the whole frame 4L times over. On a
// 32 x 24 frame the bound is 1,060,864 pixels: 1381 placements of the
// whole 32 x 24 stored frame fit, 1382 do not.
TEST(PatchDictionaryTest, PlacedAreaIsBounded) {
  struct Case {
    uint64_t placements;
    bool ok;
  };
  for (const Case& c : {Case{1381, true}, Case{1382, false}}) {
    SCOPED_TRACE(std::to_string(c.placements) + " placements");
    TestSource source{0, 0, 0, 32, 24, {}};
    source.placements.assign(c.placements, {0, 0, {B(1), B(1)}});
    Slots slots(1);
    PatchDictionary dict(Heap());
    dict.SetReferenceSlots(slots.slots);
    const Status status = DecodeBytes(&dict, WriteStream(10, PatchTokens({source}, 1)), 32, 24, 1);
    EXPECT_EQ(c.ok, status.ok());
  }
}

// Input that ends early fails. With prefix codes the zero bits past the end
// decode to valid-looking placements, so only the end-of-input check sees
// the cut.
TEST(PatchDictionaryTest, TruncatedInputFails) {
  Slots slots(1);
  std::vector<TestSource> sources = {
      {0, 1, 1, 3, 3,
       {{5, 5, {B(2), B(1)}}, {6, 7, {B(3, 0, true), B(0)}},
        {6, 7, {B(2), B(1)}}, {7, 7, {B(2), B(1)}}, {7, 8, {B(2), B(1)}}}},
      {3, 0, 0, 2, 2, {{20, 20, {B(1), B(1)}}}}};
  for (bool prefix : {false, true}) {
    const auto bytes = WriteStream(10, PatchTokens(sources, 1), false, prefix);
    ASSERT_FALSE(bytes.empty());
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
      PatchDictionary dict(Heap());
      dict.SetReferenceSlots(slots.slots);
      const std::vector<uint8_t> part(bytes.begin(), bytes.begin() + cut);
      EXPECT_FALSE(DecodeBytes(&dict, part, 64, 48, 1).ok())
          << "prefix " << prefix << " cut " << cut;
    }
  }
}

// Brute force: placements whose rows contain y, ascending.
std::vector<uint64_t> Covering(const std::vector<PatchSource>& sources,
                               const std::vector<PatchPlacement>& placements,
                               uint64_t y) {
  std::vector<uint64_t> out;
  for (uint64_t i = 0; i < placements.size(); ++i) {
    const PatchPlacement& p = placements[i];
    if (y >= p.y && y < p.y + sources[p.source].ysize) out.push_back(i);
  }
  return out;
}

TEST(PatchRowIndexTest, AnswersLikeAScan) {
  struct Case {
    const char* name;
    uint64_t count, max_top, max_height;
  };
  const Case cases[] = {
      {"one", 1, 10, 5},
      {"equal tops", 40, 0, 30},
      {"few distinct tops", 100, 3, 20},
      {"spread", 300, 500, 40},
      {"single rows", 200, 100, 1},
  };
  std::mt19937 rng(7);
  for (const Case& c : cases) {
    std::vector<PatchSource> sources;
    std::vector<PatchPlacement> placements;
    for (uint64_t i = 0; i < c.count; ++i) {
      sources.push_back({0, 0, 0, 1, 1 + rng() % c.max_height});
      placements.push_back({rng() % 50, rng() % (c.max_top + 1), i});
    }
    PatchDictionary dict(Heap());
    ASSERT_TRUE(dict.Assign(sources, placements,
                            std::vector<PatchChannelBlend>(c.count), 1).ok());
    uint64_t nodes_entries = 0;
    for (const PatchRowNode& node : dict.row_nodes()) nodes_entries += node.count;
    EXPECT_EQ(nodes_entries, c.count) << c.name;
    for (uint64_t y = 0; y < c.max_top + c.max_height + 2; ++y) {
      ASSERT_EQ(dict.PatchesOnRow(y), Covering(sources, placements, y))
          << c.name << " row " << y;
    }
  }
}

// The index is sized by the placements, not by the rows they cover.
TEST(PatchRowIndexTest, TallPatchesCostNoPerRowMemory) {
  const uint64_t tall = uint64_t{1} << 40;
  std::vector<PatchSource> sources = {{0, 0, 0, 1, tall}, {0, 0, 0, 1, 3}};
  std::vector<PatchPlacement> placements = {{0, 5, 0}, {0, tall, 1}, {0, 0, 1}};
  PatchDictionary dict(Heap());
  ASSERT_TRUE(dict.Assign(sources, placements,
                          std::vector<PatchChannelBlend>(3), 1).ok());
  EXPECT_LE(dict.row_nodes().size(), 3u);
  EXPECT_EQ(dict.PatchesOnRow(tall), (std::vector<uint64_t>{0, 1}));
  EXPECT_EQ(dict.PatchesOnRow(tall + 4), (std::vector<uint64_t>{0}));
  EXPECT_EQ(dict.PatchesOnRow(tall + 5), (std::vector<uint64_t>{}));
  EXPECT_EQ(dict.PatchesOnRow(2), (std::vector<uint64_t>{2}));
  EXPECT_EQ(dict.PatchesOnRow(4), (std::vector<uint64_t>{}));
  dict.Clear();
  EXPECT_TRUE(dict.PatchesOnRow(5).empty());
  EXPECT_EQ(dict.ReferencedSlots(), 0u);
}

TEST(PatchBlendTest, BlendsPlacementsInOrderOverTheSpan) {
  // Image with one alpha channel; frame row 6 rendered over columns 8..23.
  std::vector<ExtraChannelInfo> info(1);
  info[0].type = static_cast<uint32_t>(ExtraChannelKind::kAlpha);
  Slots slots(1);
  PatchDictionary dict(Heap());
  dict.SetReferenceSlots(slots.slots);
  const std::vector<PatchSource> sources = {{1, 2, 3, 6, 4}, {2, 0, 0, 4, 10}};
  const std::vector<PatchPlacement> placements = {
      {5, 4, 0},   // columns 5..10, rows 4..7: cut on the left
      {9, 6, 0},   // columns 9..14, row 6 only of rows 6..9
      {20, 0, 1},  // columns 20..23, rows 0..9
      {4, 6, 1},   // ends at column 7: not blended
      {24, 6, 1},  // starts at column 24: not blended
  };
  const std::vector<PatchChannelBlend> blends = {
      B(kReplace), B(kReplace), B(kAdd), B(kKeep), B(kMultiply), B(kAdd),
      B(kReplace), B(kReplace), B(kReplace), B(kReplace)};
  ASSERT_TRUE(dict.Assign(sources, placements, blends, 2).ok());

  constexpr uint64_t kX0 = 8, kWidth = 16, kY = 6;
  std::vector<std::vector<float>> rows(4, std::vector<float>(kWidth));
  for (size_t c = 0; c < 4; ++c) {
    for (size_t x = 0; x < kWidth; ++x) rows[c][x] = 0.5f + c;
  }
  auto expected = rows;
  // Placement 0 replaces columns 8..10 from slot 1 row 3 + 2.
  for (uint64_t x = 8; x <= 10; ++x) {
    for (size_t c = 0; c < 4; ++c) {
      expected[c][x - kX0] = Slots::Value(1, c, 2 + x - 5, 3 + kY - 4);
    }
  }
  // Placement 1 adds slot 1 row 3 (colour), keeps alpha, columns 9..14.
  for (uint64_t x = 9; x <= 14; ++x) {
    for (size_t c = 0; c < 3; ++c) {
      expected[c][x - kX0] += Slots::Value(1, c, 2 + x - 9, 3);
    }
  }
  // Placement 2 multiplies colour by slot 2 row 6, adds alpha, columns 20..23.
  for (uint64_t x = 20; x <= 23; ++x) {
    for (size_t c = 0; c < 3; ++c) {
      expected[c][x - kX0] *= Slots::Value(2, c, x - 20, kY);
    }
    expected[3][x - kX0] += Slots::Value(2, 3, x - 20, kY);
  }
  std::vector<float*> pointers;
  for (auto& row : rows) pointers.push_back(row.data());
  ASSERT_TRUE(dict.BlendRow(pointers.data(), kY, kX0, kWidth, info).ok());
  for (size_t c = 0; c < 4; ++c) {
    for (size_t x = 0; x < kWidth; ++x) {
      EXPECT_FLOAT_EQ(rows[c][x], expected[c][x]) << c << " " << x;
    }
  }
  // A row no patch covers is left alone.
  auto before = rows;
  ASSERT_TRUE(dict.BlendRow(pointers.data(), 30, kX0, kWidth, info).ok());
  EXPECT_EQ(rows, before);
  // More extra channels than the records hold.
  std::vector<ExtraChannelInfo> two(2);
  EXPECT_FALSE(dict.BlendRow(pointers.data(), kY, kX0, kWidth, two).ok());
}

TEST(PatchBlendTest, MissingStoredPlanesFail) {
  // The slot passed the decode by its JPEG size but holds no planes.
  std::vector<ExtraChannelInfo> info;
  Slots slots(0, /*filled=*/false);
  PatchDictionary dict(Heap());
  dict.SetReferenceSlots(slots.slots);
  ASSERT_TRUE(dict.Assign({{0, 0, 0, 2, 2}}, {{0, 0, 0}}, {B(kReplace)}, 1).ok());
  std::vector<std::vector<float>> rows(3, std::vector<float>(4));
  std::vector<float*> pointers;
  for (auto& row : rows) pointers.push_back(row.data());
  EXPECT_FALSE(dict.BlendRow(pointers.data(), 0, 0, 4, info).ok());
}

}  // namespace
}  // namespace qov
