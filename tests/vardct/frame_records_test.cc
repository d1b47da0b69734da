// The frame-global VarDCT records read from written streams: quantizer,
// block context map and chroma-from-luma map.
#include <cmath>
#include <vector>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "lib/encode/context_map_writer.h"
#include "lib/vardct/block_ctx_map.h"
#include "lib/vardct/chroma_from_luma.h"
#include "lib/vardct/quantizer.h"
#include "tests/vardct/vardct_test_helpers.h"

namespace qov {
namespace {

using vardct_test::OwnedReader;
using vardct_test::StreamWriter;

// --- Quantizer -------------------------------------------------------------

TEST(QuantizerTest, ConstructorTakesTheDcSteps) {
  DequantTableSet set;
  const Quantizer q(&set);
  EXPECT_EQ(q.global_scale, 1024);
  EXPECT_EQ(q.quant_dc, 64);
  EXPECT_EQ(q.inv_global_scale, 64.0f);
  EXPECT_EQ(q.dc_multipliers[0], 1.0f / 4096);
  EXPECT_EQ(q.dc_multipliers[2], 1.0f / 256);
  EXPECT_EQ(q.inv_dc_multipliers[1], 512.0f);
}

struct QuantCase {
  const char* name;
  uint32_t g_selector, g_bits, g_extra;
  uint32_t q_selector, q_bits, q_extra;
  uint32_t global_scale, quant_dc;
};

TEST(QuantizerTest, ReadParams) {
  const QuantCase cases[] = {
      {"1024 and 64", 0, 11, 1023, 2, 8, 63, 1024, 64},
      {"both 1", 0, 11, 0, 1, 5, 0, 1, 1},
      {"DC quantisation 16 without bits", 1, 11, 5, 0, 0, 0, 2054, 16},
      {"largest", 3, 16, 65535, 3, 16, 65535, 73728, 65536},
  };
  for (const QuantCase& c : cases) {
    DequantTableSet set;
    set.dc_steps[1] = 0.03f;  // the steps the set holds at reading time
    set.inv_dc_steps[1] = 1.0f / 0.03f;
    Quantizer q(&set);
    StreamWriter w;
    w.Bits(2, c.g_selector);
    w.Bits(c.g_bits, c.g_extra);
    w.Bits(2, c.q_selector);
    if (c.q_bits != 0) w.Bits(c.q_bits, c.q_extra);
    OwnedReader r(w.Bytes());
    ASSERT_TRUE(q.ReadParams(r.reader).ok()) << c.name;
    EXPECT_EQ(q.global_scale, static_cast<int32_t>(c.global_scale)) << c.name;
    EXPECT_EQ(q.quant_dc, static_cast<int32_t>(c.quant_dc)) << c.name;
    const float inv = static_cast<float>(65536.0 / c.global_scale);
    const float fraction = static_cast<float>(c.global_scale / 65536.0);
    const float inv_dc = inv / static_cast<float>(c.quant_dc);
    EXPECT_EQ(q.inv_global_scale, inv) << c.name;
    EXPECT_EQ(q.global_scale_fraction, fraction) << c.name;
    EXPECT_EQ(q.inv_quant_dc, inv_dc) << c.name;
    for (size_t ch = 0; ch < 3; ++ch) {
      EXPECT_EQ(q.dc_multipliers[ch], set.dc_steps[ch] * inv_dc) << c.name;
      EXPECT_EQ(q.inv_dc_multipliers[ch],
                set.inv_dc_steps[ch] * (fraction * c.quant_dc))
          << c.name;
    }
  }
  // 1024 and 64 reproduce the defaults: multipliers equal to the steps.
  DequantTableSet set;
  Quantizer q(&set);
  StreamWriter w;
  w.Bits(2, 0);
  w.Bits(11, 1023);
  w.Bits(2, 2);
  w.Bits(8, 63);
  OwnedReader r(w.Bytes());
  ASSERT_TRUE(q.ReadParams(r.reader).ok());
  EXPECT_EQ(q.inv_quant_dc, 1.0f);
  EXPECT_EQ(q.dc_multipliers[0], set.dc_steps[0]);
  EXPECT_EQ(q.inv_dc_multipliers[2], set.inv_dc_steps[2]);
}

TEST(QuantizerTest, TruncatedBundleKeepsTheQuantizer) {
  DequantTableSet set;
  Quantizer q(&set);
  StreamWriter w;
  w.Bits(2, 3);
  w.Bits(6, 0);  // 16 bits announced, 6 present
  OwnedReader r(w.Bytes());
  EXPECT_EQ(q.ReadParams(r.reader), StatusValue::NeedMoreBytes);
  EXPECT_EQ(q.global_scale, 1024);
  EXPECT_EQ(q.inv_global_scale, 64.0f);
}

// --- Block context map -----------------------------------------------------

TEST(BlockCtxMapTest, DefaultMapContexts) {
  const BlockCtxMap map;
  EXPECT_EQ(map.num_contexts, 15u);
  EXPECT_EQ(map.num_dc_contexts, 1u);
  ASSERT_EQ(map.ctx_map.size(), 39u);
  // Bucket 4 (8x16): context 3 in Y, 10 in X and B.
  EXPECT_EQ(map.Context(1, 4, 0, 0), 3u);
  EXPECT_EQ(map.Context(0, 4, 0, 0), 10u);
  EXPECT_EQ(map.Context(2, 4, 0, 0), 10u);
  EXPECT_EQ(map.Context(1, 12, 0, 0), 6u);
  EXPECT_EQ(map.Context(0, 0, 0, 0), 7u);
}

TEST(BlockCtxMapTest, DefaultBitRestoresDefaults) {
  BlockCtxMap map;
  map.qf_thresholds = {5};
  map.num_contexts = 3;
  StreamWriter w;
  w.Bits(1, 1);
  OwnedReader r(w.Bytes());
  ASSERT_TRUE(map.Decode(HeapMemoryManager(), r.reader).ok());
  EXPECT_TRUE(map.qf_thresholds.empty());
  EXPECT_EQ(map.num_contexts, 15u);
  EXPECT_EQ(map.ctx_map, BlockCtxMap().ctx_map);
}

struct CustomMapCase {
  const char* name;
  std::vector<int32_t> dc[3];
  std::vector<uint32_t> qf;
  size_t contexts;
};

TEST(BlockCtxMapTest, CustomMapsRoundTrip) {
  const CustomMapCase cases[] = {
      {"no thresholds, coded entries", {{}, {}, {}}, {}, 4},
      {"signed dc thresholds", {{0, -1, 70000}, {-300}, {2}}, {1, 7}, 16},
      {"fifteen x thresholds, three qf: 64 buckets",
       {{-7, -6, -5, -4, -3, -2, -1, 0, 1, 2, 3, 4, 5, 6, 7}, {}, {}},
       {1, 2, 300},
       5},
  };
  for (const CustomMapCase& c : cases) {
    size_t buckets = c.qf.size() + 1;
    for (const auto& l : c.dc) buckets *= l.size() + 1;
    std::vector<uint8_t> entries(39 * buckets);
    for (size_t i = 0; i < entries.size(); ++i) {
      entries[i] = static_cast<uint8_t>((i * 7 + i / 5) % c.contexts);
    }
    StreamWriter w;
    w.Task([&](BitWriter* bw) {
      return EncodeBlockCtxMap(c.dc, c.qf, entries, c.contexts, bw, nullptr);
    });
    ASSERT_TRUE(w.ok()) << c.name;
    OwnedReader r(w.Bytes());
    BlockCtxMap map;
    ASSERT_TRUE(map.Decode(HeapMemoryManager(), r.reader).ok()) << c.name;
    for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(map.dc_thresholds[ch], c.dc[ch]);
    EXPECT_EQ(map.qf_thresholds, c.qf) << c.name;
    EXPECT_EQ(map.ctx_map, entries) << c.name;
    EXPECT_EQ(map.num_contexts, c.contexts) << c.name;
    EXPECT_EQ(map.num_dc_contexts, buckets / (c.qf.size() + 1)) << c.name;
  }
}

TEST(BlockCtxMapTest, QuantFieldBucketIsStrict) {
  BlockCtxMap map;
  map.qf_thresholds = {4, 1, 9};  // unsorted: only the count matters
  EXPECT_EQ(map.QuantFieldBucket(1), 0u);
  EXPECT_EQ(map.QuantFieldBucket(4), 1u);
  EXPECT_EQ(map.QuantFieldBucket(5), 2u);
  EXPECT_EQ(map.QuantFieldBucket(10), 3u);
}

TEST(BlockCtxMapTest, TooManyBucketsFailBeforeTheMap) {
  StreamWriter w;
  w.Bits(1, 0);
  w.Bits(4, 15);
  for (int i = 0; i < 15; ++i) w.Bits(2 + 4, 0);  // selector 0, value 0
  w.Bits(4, 0);
  w.Bits(4, 0);
  w.Bits(4, 4);  // 16 x 5 = 80 buckets
  for (int i = 0; i < 4; ++i) w.Bits(2 + 2, 0);
  OwnedReader r(w.Bytes());
  BlockCtxMap map;
  EXPECT_EQ(map.Decode(HeapMemoryManager(), r.reader), StatusValue::Failed);
}

TEST(BlockCtxMapTest, SeventeenContextsFail) {
  // DC and quant-field lists empty, then a coded map naming contexts 0..16.
  StreamWriter w2;
  w2.Bits(1, 0);
  for (int i = 0; i < 4; ++i) w2.Bits(4, 0);
  std::vector<uint8_t> entries(39);
  for (size_t i = 0; i < entries.size(); ++i) entries[i] = i % 17;
  w2.Task([&](BitWriter* bw) {
    return EncodeContextMap(entries, 17, bw, LayerType::kHeader, nullptr);
  });
  ASSERT_TRUE(w2.ok());
  OwnedReader r(w2.Bytes());
  BlockCtxMap map;
  EXPECT_EQ(map.Decode(HeapMemoryManager(), r.reader), StatusValue::Failed);
  EXPECT_EQ(map.num_contexts, 17u);  // read in full, then refused
}

TEST(BlockCtxMapTest, MoveLeavesSourceEmpty) {
  BlockCtxMap a;
  a.qf_thresholds = {3};
  BlockCtxMap b;
  b = std::move(a);
  EXPECT_EQ(b.qf_thresholds.size(), 1u);
  EXPECT_EQ(b.ctx_map.size(), 39u);
  EXPECT_TRUE(a.ctx_map.empty());  // NOLINT: moved-from state is specified
}

// --- Chroma from luma ------------------------------------------------------

TEST(ChromaFromLumaTest, TileMapSizesAndDefaults) {
  struct Case {
    uint64_t w, h, tx, ty;
  } cases[] = {{1, 1, 1, 1}, {64, 65, 1, 2}, {65, 64, 2, 1}, {4096, 200, 64, 4}};
  for (const Case& c : cases) {
    auto map = ChromaFromLumaMap::Create(HeapMemoryManager(), c.w, c.h);
    ASSERT_TRUE(map.ok());
    EXPECT_EQ(map->ytox_map.xsize(), c.tx);
    EXPECT_EQ(map->ytox_map.ysize(), c.ty);
    EXPECT_EQ(map->ytob_map.xsize(), c.tx);
    for (uint64_t y = 0; y < c.ty; ++y) {
      for (uint64_t x = 0; x < c.tx; ++x) {
        EXPECT_EQ(map->ytox_map.Row(y)[x], 0);
        EXPECT_EQ(map->ytob_map.Row(y)[x], 0);
      }
    }
    EXPECT_EQ(map->color_factor, 84u);
    EXPECT_FLOAT_EQ(map->color_scale, 1.0f / 84);
    EXPECT_EQ(map->dc_factors[0], 0.0f);
    EXPECT_EQ(map->dc_factors[2], 1.0f);
  }
}

TEST(ChromaFromLumaTest, OversizedFramesFail) {
  const uint64_t too_big = (uint64_t{1} << 38) - 63;
  EXPECT_FALSE(
      ChromaFromLumaMap::Create(HeapMemoryManager(), too_big, 1).ok());
  EXPECT_FALSE(
      ChromaFromLumaMap::Create(HeapMemoryManager(), 1, too_big).ok());
}

TEST(ChromaFromLumaTest, AllDefaultBitKeepsValues) {
  ChromaFromLumaMap map;
  StreamWriter w;
  w.Bits(1, 1);
  OwnedReader r(w.Bytes());
  ASSERT_TRUE(map.ReadDcFactors(r.reader).ok());
  EXPECT_EQ(map.dc_factors[0], 0.0f);
  EXPECT_EQ(map.dc_factors[2], 1.0f);
  EXPECT_EQ(r.reader.Position(), 1u);
}

struct CflCase {
  const char* name;
  uint32_t selector, extra;  // colour factor: selector and its 8/16 bits
  float bx, bb;
  uint32_t xdc, bdc;
  StatusValue status;
  uint32_t factor;
  int32_t ytox, ytob;
};

TEST(ChromaFromLumaTest, CodedFactors) {
  const CflCase cases[] = {
      {"factor 2, extremes", 2, 0, 0.5f, -1.0f, 0, 255, StatusValue::Ok, 2, -128,
       127},
      {"factor 256", 1, 0, 4.0f, -4.0f, 128, 128, StatusValue::Ok, 256, 0, 0},
      {"factor 258 + 1000", 3, 1000, 0.0f, 1.0f, 130, 100, StatusValue::Ok,
       1258, 2, -28},
      {"x above 4", 0, 0, 4.00390625f, 0.0f, 0, 0, StatusValue::Failed, 84, 0,
       0},
      {"b below -4", 0, 0, 0.0f, -4.00390625f, 0, 0, StatusValue::Failed, 84,
       0, 0},
  };
  for (const CflCase& c : cases) {
    StreamWriter w;
    w.Bits(1, 0);
    w.Bits(2, c.selector);
    if (c.selector == 2) w.Bits(8, c.extra);
    if (c.selector == 3) w.Bits(16, c.extra);
    w.Half(c.bx);
    w.Half(c.bb);
    w.Bits(8, c.xdc);
    w.Bits(8, c.bdc);
    ASSERT_TRUE(w.ok()) << c.name;
    OwnedReader r(w.Bytes());
    ChromaFromLumaMap map;
    EXPECT_EQ(map.ReadDcFactors(r.reader), c.status) << c.name;
    EXPECT_EQ(map.color_factor, c.factor) << c.name;
    if (c.status != StatusValue::Ok) continue;
    EXPECT_EQ(map.color_scale, 1.0f / static_cast<float>(c.factor)) << c.name;
    EXPECT_EQ(map.ytox_dc, c.ytox) << c.name;
    EXPECT_EQ(map.ytob_dc, c.ytob) << c.name;
    EXPECT_EQ(map.dc_factors[0],
              static_cast<float>(c.ytox) * map.color_scale + c.bx)
        << c.name;
    EXPECT_EQ(map.dc_factors[2],
              static_cast<float>(c.ytob) * map.color_scale + c.bb)
        << c.name;
  }
}

TEST(ChromaFromLumaTest, InfiniteHalfFloatFails) {
  StreamWriter w;
  w.Bits(1, 0);
  w.Bits(2, 0);
  w.Bits(16, 0x7C00);  // +infinity
  w.Bits(16, 0);
  w.Bits(16, 0);
  OwnedReader r(w.Bytes());
  ChromaFromLumaMap map;
  EXPECT_EQ(map.ReadDcFactors(r.reader), StatusValue::Failed);
}

}  // namespace
}  // namespace qov
