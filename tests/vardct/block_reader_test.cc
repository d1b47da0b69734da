// Block coefficient reading of hand-built groups: streams are written from a
// model of the coefficient coding (counts, contexts, positions) with the
// project's entropy coder, then read back through GetBlockFromBitstream.
#include "lib/vardct/block_reader.h"

#include <algorithm>
#include <vector>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "lib/base/task_pool.h"
#include "lib/vardct/ac_image.h"
#include "lib/vardct/coefficient_order.h"
#include "tests/support/counting_manager.h"
#include "tests/vardct/vardct_test_helpers.h"

namespace qov {
namespace {

using vardct_test::OwnedReader;
using vardct_test::StreamWriter;

constexpr size_t kChannelOrder[3] = {1, 0, 2};

// One varblock of the hand-built group: per channel (X, Y, B) and pass the
// unpacked values at order positions covered, covered + 1, ...; the last
// value of a list must be non-zero (or the list empty).
struct Varblock {
  size_t bx, by;
  VarBlockKind kind;
  std::vector<int32_t> values[2][3];  // [pass][channel]
  // When set, the count token of that channel and pass is replaced.
  int32_t count_override[2][3] = {{-1, -1, -1}, {-1, -1, -1}};
};

uint32_t Pack(int32_t v) {
  return v >= 0 ? 2 * static_cast<uint32_t>(v)
                : 2 * static_cast<uint32_t>(-(v + 1)) + 1;
}

// The frame-side records of a one-group frame of xsize x ysize blocks.
struct GroupFixture {
  GroupFixture(size_t xs, size_t ys, uint32_t kinds, size_t passes)
      : xsize(xs), ysize(ys), num_passes(passes) {
    qf = PlaneI32::Create(HeapMemoryManager(), xs, ys).value();
    buckets = PlaneU8::Create(HeapMemoryManager(), xs, ys).value();
    for (size_t y = 0; y < ys; ++y) {
      std::fill(qf.Row(y), qf.Row(y) + xs, 1);
      std::fill(buckets.Row(y), buckets.Row(y) + xs, 0);
    }
    EXPECT_TRUE(ReserveCoefficientOrders(kinds, passes, &orders).ok());
    for (size_t p = 0; p < passes; ++p) {
      BitReader none;
      EXPECT_TRUE(ReadScanOrders(HeapMemoryManager(), 0, kinds,
                                 orders.PassOrders(p), none)
                      .ok());
      counts[p] = Image3I::Create(HeapMemoryManager(), 32, 32).value();
    }
  }

  // Model of the reader: the context of every token, in reading order.
  std::vector<Token> Tokens(const std::vector<Varblock>& blocks, size_t pass,
                            bool single_context) {
    std::vector<Token> tokens;
    int32_t model_counts[3][32][32] = {};
    const size_t nc = map.num_contexts;
    for (const Varblock& b : blocks) {
      const size_t log2 = kVarBlockLog2Covered[static_cast<size_t>(b.kind)];
      const size_t cb = size_t{1} << log2, size = 64 * cb;
      for (size_t c : kChannelOrder) {
        const size_t sbx = b.bx >> hs[c], sby = b.by >> vs[c];
        if ((sbx << hs[c]) != b.bx || (sby << vs[c]) != b.by) continue;
        int32_t pred;
        if (sbx > 0) {
          pred = sby > 0 ? (model_counts[c][sby - 1][sbx] +
                            model_counts[c][sby][sbx - 1] + 1) / 2
                         : model_counts[c][sby][sbx - 1];
        } else {
          pred = sby > 0 ? model_counts[c][sby - 1][0] : 32;
        }
        const size_t bucket = ScanBucketOf(b.kind);
        const uint32_t q = map.QuantFieldBucket(
            static_cast<uint32_t>(qf.Row(b.by)[sbx]));
        const size_t bctx = map.Context(c, bucket, q, buckets.Row(b.by)[b.bx]);
        const std::vector<int32_t>& vals = b.values[pass][c];
        uint32_t n = 0;
        for (int32_t v : vals) n += v != 0;
        const int32_t over = b.count_override[pass][c];
        const uint32_t coded = over >= 0 ? static_cast<uint32_t>(over) : n;
        const size_t k = pred < 8 ? pred : std::min(pred, 64) / 2 + 4;
        tokens.emplace_back(single_context ? 0 : k * nc + bctx, coded);
        const int32_t stored = static_cast<int32_t>((coded + cb - 1) >> log2);
        for (size_t iy = 0; iy < CoveredBlocksY(b.kind); ++iy) {
          for (size_t ix = 0; ix < CoveredBlocksX(b.kind); ++ix) {
            model_counts[c][sby + iy][sbx + ix] = stored;
          }
        }
        if (coded > size - cb) continue;
        uint32_t left = coded;
        size_t prev = coded <= size / 16 ? 1 : 0;
        for (size_t i = 0; i < vals.size() && left > 0; ++i) {
          const size_t pos = cb + i;
          const size_t rem = std::min<size_t>((left + cb - 1) >> log2, 63);
          const size_t rc = rem == 1    ? 0
                            : rem == 2  ? 31
                            : rem <= 4  ? 62
                            : rem <= 8  ? 93
                            : rem <= 12 ? 123
                            : rem <= 20 ? 152
                            : rem <= 32 ? 180
                                        : 206;
          const size_t p = pos >> log2;
          const size_t pc = p < 16 ? p - 1 : p < 32 ? 15 + (p - 16) / 2
                                                    : 23 + (p - 32) / 4;
          const size_t ctx = nc * 37 + bctx * 458 + 2 * (rc + pc) + prev;
          tokens.emplace_back(single_context ? 0 : ctx, Pack(vals[i]));
          prev = vals[i] != 0;
          left -= static_cast<uint32_t>(prev);
        }
      }
    }
    return tokens;
  }

  // Writes each pass's stream and reads every varblock into `out` (three
  // planes of per-varblock entries, width by `width`).
  Status Run(const std::vector<Varblock>& blocks, CoefficientWidth width,
             std::vector<std::vector<int32_t>>* out, bool single_context) {
    const size_t per_set = map.num_contexts * kAcContextsPerBlockContext;
    for (size_t p = 0; p < num_passes; ++p) {
      StreamWriter w;
      const size_t contexts = single_context ? 1 : per_set;
      w.Entropy(contexts, {Tokens(blocks, p, single_context)});
      EXPECT_TRUE(w.ok());
      streams[p] = std::make_unique<OwnedReader>(w.Bytes());
      ctx_maps[p].clear();
      if (!ReadEntropyCodeSet(HeapMemoryManager(), streams[p]->reader,
                              contexts, &codes[p], ctx_maps[p], false)
               .ok()) {
        return FailedStatus();
      }
      if (single_context) ctx_maps[p].assign(per_set, 0);
      ctx_maps[p].resize(per_set + kAcContextMapPadding, 0);
      readers[p] = &streams[p]->reader;
    }
    BlockSourceParams params;
    params.pass_shifts = shifts;
    params.orders = orders.PassOrders(0);
    params.order_stride = orders.stride;
    params.context_maps = ctx_maps;
    params.codes = codes;
    params.readers = readers;
    params.num_passes = num_passes;
    params.count_images = counts;
    params.block_ctx_map = &map;
    params.raw_quant_field = &qf;
    params.dc_buckets = &buckets;
    params.xsize = xsize;
    params.ysize = ysize;
    for (size_t c = 0; c < 3; ++c) {
      params.hshift[c] = hs[c];
      params.vshift[c] = vs[c];
    }
    GetBlockFromBitstream source(params);
    for (size_t p = 0; p < num_passes; ++p) {
      QOV_RETURN_IF_ERROR(source.InitPass(p, 0));
    }
    size_t total = 0;
    for (const Varblock& b : blocks) total += CoefficientCount(b.kind);
    std::vector<int16_t> store16[3];
    for (size_t c = 0; c < 3; ++c) {
      (*out)[c].assign(total, 0);
      store16[c].assign(total, 0);
    }
    size_t offset = 0;
    size_t row = SIZE_MAX;
    for (const Varblock& b : blocks) {
      if (b.by != row) source.BeginBlockRow(row = b.by);
      void* loc[3];
      for (size_t c = 0; c < 3; ++c) {
        loc[c] = width == CoefficientWidth::Bits16
                     ? static_cast<void*>(store16[c].data() + offset)
                     : static_cast<void*>((*out)[c].data() + offset);
      }
      const size_t count = CoefficientCount(b.kind);
      QOV_RETURN_IF_ERROR(source.ReadBlock(
          b.bx, b.by, b.kind, count,
          kVarBlockLog2Covered[static_cast<size_t>(b.kind)], loc, width));
      offset += count;
    }
    if (width == CoefficientWidth::Bits16) {
      for (size_t c = 0; c < 3; ++c) {
        std::copy(store16[c].begin(), store16[c].end(), (*out)[c].begin());
      }
    }
    return source.AllReadersFinal() ? OkStatus() : FailedStatus();
  }

  // What the blocks should leave: values at their order positions, shifted.
  std::vector<std::vector<int32_t>> Expected(const std::vector<Varblock>& blocks) {
    std::vector<std::vector<int32_t>> e(3);
    size_t offset = 0;
    for (const Varblock& b : blocks) {
      const size_t count = CoefficientCount(b.kind);
      const size_t cb = count / 64;
      for (size_t c = 0; c < 3; ++c) {
        e[c].resize(offset + count, 0);
        for (size_t p = 0; p < num_passes; ++p) {
          const uint32_t* order =
              orders.PassOrders(p) +
              64 * kScanOrderOffsets[3 * ScanBucketOf(b.kind) + c];
          const auto& vals = b.values[p][c];
          for (size_t i = 0; i < vals.size(); ++i) {
            e[c][offset + order[cb + i]] += vals[i] * (1 << shifts[p]);
          }
        }
      }
      offset += count;
    }
    return e;
  }

  size_t xsize, ysize, num_passes;
  BlockCtxMap map;
  PlaneI32 qf;
  PlaneU8 buckets;
  ScanOrderStore orders;
  Image3I counts[kMaxNumPasses];
  uint32_t shifts[kMaxNumPasses] = {};
  size_t hs[3] = {0, 0, 0}, vs[3] = {0, 0, 0};
  std::unique_ptr<OwnedReader> streams[kMaxNumPasses];
  EntropyCodeSet codes[kMaxNumPasses];
  std::vector<uint8_t> ctx_maps[kMaxNumPasses];
  BitReader* readers[kMaxNumPasses] = {};
};

constexpr uint32_t Bit(VarBlockKind k) { return 1u << static_cast<uint32_t>(k); }

// A 3 x 2 group: a 16x8 at (0, 0), an 8x8 at (2, 0), an 8x16 at (2, 1)...
std::vector<Varblock> MixedBlocks() {
  std::vector<Varblock> blocks(4);
  blocks[0] = {0, 0, VarBlockKind::Dct16By8, {}};
  blocks[0].values[0][1] = {5, 0, -3, 0, 0, 1};
  blocks[0].values[0][0] = {-1};
  blocks[1] = {2, 0, VarBlockKind::Dct8By8, {}};
  blocks[1].values[0][1] = {1, 1, 1, 0, 0, 0, 0, 0, 0, -7};
  blocks[1].values[0][2] = {0, 0, 2};
  blocks[2] = {0, 1, VarBlockKind::Dct8By8, {}};
  blocks[2].values[0][1] = std::vector<int32_t>(63, 9);  // every position
  blocks[2].values[0][0] = {0, 4};
  blocks[3] = {1, 1, VarBlockKind::Dct16By8, {}};
  blocks[3].values[0][1] = {3, -3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 6};
  return blocks;
}

TEST(BlockReaderTest, ModelledContextsAndPositions) {
  for (CoefficientWidth width :
       {CoefficientWidth::Bits16, CoefficientWidth::Bits32}) {
    GroupFixture f(3, 2,
                   Bit(VarBlockKind::Dct8By8) | Bit(VarBlockKind::Dct16By8), 1);
    const std::vector<Varblock> blocks = MixedBlocks();
    std::vector<std::vector<int32_t>> got(3);
    ASSERT_TRUE(f.Run(blocks, width, &got, false).ok());
    EXPECT_EQ(got, f.Expected(blocks));
    // Counts: ceil(3 / 2) = 2 on both blocks of the first 16x8 (Y), 63 at
    // (0, 1), ceil(4 / 2) = 2 on the last varblock.
    EXPECT_EQ(f.counts[0].PlaneRow(1, 0)[0], 2);
    EXPECT_EQ(f.counts[0].PlaneRow(1, 0)[1], 2);
    EXPECT_EQ(f.counts[0].PlaneRow(1, 0)[2], 4);
    EXPECT_EQ(f.counts[0].PlaneRow(1, 1)[0], 63);
    EXPECT_EQ(f.counts[0].PlaneRow(1, 1)[2], 2);
    EXPECT_EQ(f.counts[0].PlaneRow(0, 1)[0], 1);
  }
}

TEST(BlockReaderTest, QuantFieldAndDcBucketsSelectBlockContexts) {
  GroupFixture f(3, 2, Bit(VarBlockKind::Dct8By8) | Bit(VarBlockKind::Dct16By8),
                 1);
  // Two quant-field buckets and two DC buckets, each with its own contexts.
  f.map.qf_thresholds = {3};
  f.map.dc_thresholds[1] = {0};
  f.map.num_dc_contexts = 2;
  f.map.ctx_map.resize(39 * 4);
  for (size_t i = 0; i < f.map.ctx_map.size(); ++i) f.map.ctx_map[i] = i % 16;
  f.map.num_contexts = 16;
  f.qf.Row(0)[2] = 4;
  f.qf.Row(1)[1] = 9;
  f.buckets.Row(1)[0] = 1;
  f.buckets.Row(0)[2] = 1;
  const std::vector<Varblock> blocks = MixedBlocks();
  std::vector<std::vector<int32_t>> got(3);
  ASSERT_TRUE(f.Run(blocks, CoefficientWidth::Bits32, &got, false).ok());
  EXPECT_EQ(got, f.Expected(blocks));
}

// Contexts probed directly: every cluster of a hand-made prefix code set
// has one symbol (value = cluster index, read with no bits), so what the
// reader decodes is a function of the contexts it computes alone. The
// expectation comes from the same walk computed here from the rules.
uint32_t ProbeValue(size_t ctx) {
  return static_cast<uint32_t>((ctx * 2654435761u) >> 28) & 3;
}
// Counts (the first 37 x contexts of a set) take values 0 to 15.
uint32_t ProbeCount(size_t ctx) {
  return static_cast<uint32_t>((ctx * 2654435761u) >> 28) & 15;
}

TEST(BlockReaderTest, ContextsProbedWithSoleSymbolClusters) {
  GroupFixture f(4, 3, Bit(VarBlockKind::Dct8By8) | Bit(VarBlockKind::Dct16By8) |
                           Bit(VarBlockKind::Dct8By16),
                 1);
  f.map.qf_thresholds = {3};
  f.map.dc_thresholds[0] = {0};
  f.map.num_dc_contexts = 2;
  f.map.ctx_map.resize(39 * 4);
  for (size_t i = 0; i < f.map.ctx_map.size(); ++i) {
    f.map.ctx_map[i] = (i * 5 + i / 39) % 16;
  }
  f.map.num_contexts = 16;
  for (size_t y = 0; y < 3; ++y) {
    for (size_t x = 0; x < 4; ++x) {
      f.qf.Row(y)[x] = static_cast<int32_t>(1 + (x * 3 + y) % 5);
      f.buckets.Row(y)[x] = (x + y) & 1;
    }
  }
  // Layout (top-left blocks): 16x8 at (0,0), 8x8 at (2,0), 8x16 at (3,0),
  // 8x8 at (0,1), (1,1), (2,1), 16x8 at (0,2), 8x8 at (2,2).
  const struct {
    size_t bx, by;
    VarBlockKind kind;
  } layout[] = {{0, 0, VarBlockKind::Dct16By8}, {2, 0, VarBlockKind::Dct8By8},
                {3, 0, VarBlockKind::Dct8By16}, {0, 1, VarBlockKind::Dct8By8},
                {1, 1, VarBlockKind::Dct8By8},  {2, 1, VarBlockKind::Dct8By8},
                {0, 2, VarBlockKind::Dct16By8}, {2, 2, VarBlockKind::Dct8By8},
                {3, 2, VarBlockKind::Dct8By8}};
  const size_t nc = f.map.num_contexts;
  const size_t per_set = nc * kAcContextsPerBlockContext;

  // Expected coefficients and counts from the rules.
  std::vector<std::vector<int32_t>> want(3);
  int32_t counts[3][32][32] = {};
  size_t offset = 0;
  for (const auto& b : layout) {
    const size_t log2 = kVarBlockLog2Covered[static_cast<size_t>(b.kind)];
    const size_t cb = size_t{1} << log2, size = 64 * cb;
    for (size_t c = 0; c < 3; ++c) want[c].resize(offset + size, 0);
    for (size_t c : kChannelOrder) {
      const size_t sbx = b.bx, sby = b.by;
      int32_t pred = sbx > 0 ? (sby > 0 ? (counts[c][sby - 1][sbx] +
                                           counts[c][sby][sbx - 1] + 1) / 2
                                        : counts[c][sby][sbx - 1])
                             : (sby > 0 ? counts[c][sby - 1][0] : 32);
      const size_t bucket = ScanBucketOf(b.kind);
      const size_t bctx = f.map.Context(
          c, bucket,
          f.map.QuantFieldBucket(static_cast<uint32_t>(f.qf.Row(b.by)[sbx])),
          f.buckets.Row(b.by)[b.bx]);
      const size_t k = pred < 8 ? pred : std::min(pred, 64) / 2 + 4;
      uint32_t n = ProbeCount(k * nc + bctx);
      for (size_t iy = 0; iy < CoveredBlocksY(b.kind); ++iy) {
        for (size_t ix = 0; ix < CoveredBlocksX(b.kind); ++ix) {
          counts[c][sby + iy][sbx + ix] = (n + cb - 1) >> log2;
        }
      }
      const uint32_t* order =
          f.orders.PassOrders(0) + 64 * kScanOrderOffsets[3 * bucket + c];
      size_t prev = n <= size / 16 ? 1 : 0;
      for (size_t pos = cb; pos < size && n > 0; ++pos) {
        const size_t rem = (n + cb - 1) >> log2;
        const size_t rc = rem == 1   ? 0
                          : rem == 2 ? 31
                          : rem <= 4 ? 62
                          : rem <= 8 ? 93
                          : rem <= 12 ? 123
                                      : 152;  // n <= 15
        const size_t p = pos >> log2;
        const size_t pc = p < 16 ? p - 1 : p < 32 ? 15 + (p - 16) / 2
                                                  : 23 + (p - 32) / 4;
        const uint32_t v =
            ProbeValue(nc * 37 + bctx * 458 + 2 * (rc + pc) + prev);
        const int32_t value = static_cast<int32_t>((v >> 1) ^ (0u - (v & 1)));
        want[c][offset + order[pos]] += value;
        prev = v != 0;
        n -= static_cast<uint32_t>(prev);
      }
      ASSERT_EQ(n, 0u);  // the probe values leave no count over
    }
    offset += size;
  }

  // Sixteen one-symbol clusters and a context map of probe values.
  f.codes[0].use_prefix_codes = true;
  f.codes[0].log_alphabet_size = 15;
  for (uint16_t j = 0; j < 16; ++j) {
    PrefixCode code;
    code.entries.assign(256, PrefixTableEntry{0, j});
    f.codes[0].prefix_codes.push_back(code);
    f.codes[0].split_configs.push_back(UintSplitConfig());
    f.codes[0].sole_symbols.push_back(j);
  }
  f.ctx_maps[0].resize(per_set + kAcContextMapPadding);
  for (size_t i = 0; i < per_set; ++i) {
    f.ctx_maps[0][i] = static_cast<uint8_t>(i < 37 * nc ? ProbeCount(i)
                                                        : ProbeValue(i));
  }
  BitReader empty;
  f.readers[0] = &empty;
  BlockSourceParams params;
  params.pass_shifts = f.shifts;
  params.orders = f.orders.PassOrders(0);
  params.order_stride = f.orders.stride;
  params.context_maps = f.ctx_maps;
  params.codes = f.codes;
  params.readers = f.readers;
  params.num_passes = 1;
  params.count_images = f.counts;
  params.block_ctx_map = &f.map;
  params.raw_quant_field = &f.qf;
  params.dc_buckets = &f.buckets;
  params.xsize = 4;
  params.ysize = 3;
  GetBlockFromBitstream source(params);
  ASSERT_TRUE(source.InitPass(0, 0).ok());
  std::vector<std::vector<int32_t>> got(3, std::vector<int32_t>(offset, 0));
  offset = 0;
  size_t row = SIZE_MAX;
  for (const auto& b : layout) {
    if (b.by != row) source.BeginBlockRow(row = b.by);
    void* loc[3] = {got[0].data() + offset, got[1].data() + offset,
                    got[2].data() + offset};
    const size_t count = CoefficientCount(b.kind);
    ASSERT_TRUE(source
                    .ReadBlock(b.bx, b.by, b.kind, count,
                               kVarBlockLog2Covered[static_cast<size_t>(b.kind)],
                               loc, CoefficientWidth::Bits32)
                    .ok());
    offset += count;
  }
  EXPECT_EQ(got, want);
  for (size_t c = 0; c < 3; ++c) {
    for (size_t y = 0; y < 3; ++y) {
      for (size_t x = 0; x < 4; ++x) {
        EXPECT_EQ(f.counts[0].PlaneRow(c, y)[x], counts[c][y][x]);
      }
    }
  }
}

TEST(BlockReaderTest, CountLimits) {
  struct Case {
    const char* name;
    VarBlockKind kind;
    std::vector<int32_t> y_values;
    int32_t count_override;
    StatusValue status;
  };
  std::vector<int32_t> full(63, -2);
  std::vector<int32_t> one_zero = full;
  one_zero[30] = 0;
  const Case cases[] = {
      {"8x8 with 63 non-zeros", VarBlockKind::Dct8By8, full, -1,
       StatusValue::Ok},
      {"8x8 count 64", VarBlockKind::Dct8By8, {1}, 64, StatusValue::Failed},
      {"16x16 count 252", VarBlockKind::Dct16By16, std::vector<int32_t>(252, 1),
       -1, StatusValue::Ok},
      {"16x16 count 253", VarBlockKind::Dct16By16, {1}, 253,
       StatusValue::Failed},
      {"63 announced, a zero among them", VarBlockKind::Dct8By8, one_zero, 63,
       StatusValue::Failed},
  };
  for (const Case& c : cases) {
    GroupFixture f(2, 2, Bit(c.kind), 1);
    std::vector<Varblock> blocks(1);
    blocks[0] = {0, 0, c.kind, {}};
    blocks[0].values[0][1] = c.y_values;
    blocks[0].count_override[0][1] = c.count_override;
    std::vector<std::vector<int32_t>> got(3);
    const Status s = f.Run(blocks, CoefficientWidth::Bits32, &got, true);
    EXPECT_EQ(s, c.status) << c.name;
    if (c.status == StatusValue::Ok) {
      EXPECT_EQ(got, f.Expected(blocks)) << c.name;
    }
  }
}

TEST(BlockReaderTest, SixteenBySixteenStoresCeilOfCount) {
  GroupFixture f(2, 2, Bit(VarBlockKind::Dct16By16), 1);
  std::vector<Varblock> blocks(1);
  blocks[0] = {0, 0, VarBlockKind::Dct16By16, {}};
  blocks[0].values[0][1] = {1, 2, 3, 4, 5};
  std::vector<std::vector<int32_t>> got(3);
  ASSERT_TRUE(f.Run(blocks, CoefficientWidth::Bits16, &got, false).ok());
  for (size_t y = 0; y < 2; ++y) {
    for (size_t x = 0; x < 2; ++x) {
      EXPECT_EQ(f.counts[0].PlaneRow(1, y)[x], 2);
      EXPECT_EQ(f.counts[0].PlaneRow(0, y)[x], 0);
    }
  }
  EXPECT_EQ(got, f.Expected(blocks));
}

TEST(BlockReaderTest, SubsampledChromaOnlyOnItsGrid) {
  GroupFixture f(2, 2, Bit(VarBlockKind::Dct8By8), 1);
  f.hs[0] = f.hs[2] = f.vs[0] = f.vs[2] = 1;  // 4:2:0
  std::vector<Varblock> blocks;
  for (size_t by = 0; by < 2; ++by) {
    for (size_t bx = 0; bx < 2; ++bx) {
      Varblock b = {bx, by, VarBlockKind::Dct8By8, {}};
      for (size_t c = 0; c < 3; ++c) b.values[0][c] = {int32_t(1 + bx + 2 * by)};
      blocks.push_back(b);
    }
  }
  std::vector<std::vector<int32_t>> got(3);
  ASSERT_TRUE(f.Run(blocks, CoefficientWidth::Bits32, &got, false).ok());
  std::vector<std::vector<int32_t>> want = f.Expected(blocks);
  // Chroma of the three blocks off the chroma grid is never read.
  for (size_t i = 1; i < 4; ++i) {
    for (size_t c : {0, 2}) {
      std::fill(want[c].begin() + 64 * i, want[c].begin() + 64 * (i + 1), 0);
    }
  }
  EXPECT_EQ(got, want);
}

TEST(BlockReaderTest, PassesAddShiftedValues) {
  GroupFixture f(1, 1, Bit(VarBlockKind::Dct8By8), 2);
  f.shifts[0] = 2;
  std::vector<Varblock> blocks(1);
  blocks[0] = {0, 0, VarBlockKind::Dct8By8, {}};
  blocks[0].values[0][1] = {3, -1};
  blocks[0].values[1][1] = {1, 1, 0, 5};
  blocks[0].values[1][0] = {-6};
  std::vector<std::vector<int32_t>> got(3);
  ASSERT_TRUE(f.Run(blocks, CoefficientWidth::Bits16, &got, false).ok());
  EXPECT_EQ(got, f.Expected(blocks));
  EXPECT_EQ(got[1][f.orders.PassOrders(0)[64 * 1 + 1]], 3 * 4 + 1);
}

// Two passes whose codes produce 14-bit values, the first shifted by 3: the
// store width rule without the shifts picked 16 bits, and the sum wrapped.
TEST(BlockReaderTest, ShiftedPassesChooseAWideEnoughStore) {
  GroupFixture f(1, 1, Bit(VarBlockKind::Dct8By8), 2);
  f.shifts[0] = 3;
  std::vector<Varblock> blocks(1);
  blocks[0] = {0, 0, VarBlockKind::Dct8By8, {}};
  blocks[0].values[0][1] = {-8192, 8191};  // packed 16383 and 16382
  blocks[0].values[1][1] = {-8192, 8191};
  std::vector<std::vector<int32_t>> got(3);
  ASSERT_TRUE(f.Run(blocks, CoefficientWidth::Bits32, &got, true).ok());
  uint64_t max_bits = 0;
  for (size_t p = 0; p < 2; ++p) {
    max_bits = std::max<uint64_t>(max_bits, f.codes[p].max_token_bits);
  }
  EXPECT_EQ(max_bits, 14u);
  // max bits + ceil(log2 2) = 15 alone would allow 16 bits; the shift of 3
  // does not.
  EXPECT_EQ(ChooseCoefficientWidth(max_bits, f.shifts, 2, false),
            CoefficientWidth::Bits32);
  const uint32_t* order = f.orders.PassOrders(0) + 64;
  EXPECT_EQ(got[1][order[1]], -8192 * 9);
  EXPECT_EQ(got[1][order[2]], 8191 * 9);
  // What a 16-bit store makes of it: the sum wraps.
  GroupFixture g(1, 1, Bit(VarBlockKind::Dct8By8), 2);
  g.shifts[0] = 3;
  std::vector<std::vector<int32_t>> narrow(3);
  ASSERT_TRUE(g.Run(blocks, CoefficientWidth::Bits16, &narrow, true).ok());
  EXPECT_EQ(narrow[1][order[1]], static_cast<int16_t>(-8192 * 9));
  EXPECT_NE(narrow[1][order[1]], -8192 * 9);
}

TEST(GetBlockFromEncoderTest, AddsShiftedPassesAtARunningOffset) {
  std::vector<int32_t> v[2][3];
  for (size_t p = 0; p < 2; ++p) {
    for (size_t c = 0; c < 3; ++c) {
      for (size_t i = 0; i < 128; ++i) {
        v[p][c].push_back(static_cast<int32_t>(i + 1000 * c + 1) * (p ? -1 : 1));
      }
    }
  }
  const int32_t* const values[2][3] = {
      {v[0][0].data(), v[0][1].data(), v[0][2].data()},
      {v[1][0].data(), v[1][1].data(), v[1][2].data()}};
  const uint32_t shifts[2] = {2, 0};
  GetBlockFromEncoder source(values, shifts, 2);
  std::vector<int32_t> out[3];
  for (auto& o : out) o.assign(64, 5);
  void* loc[3] = {out[0].data(), out[1].data(), out[2].data()};
  ASSERT_TRUE(
      source.ReadBlock(0, 0, VarBlockKind::Dct8By8, 64, 0, loc, CoefficientWidth::Bits32)
          .ok());
  ASSERT_TRUE(
      source.ReadBlock(1, 0, VarBlockKind::Dct8By8, 64, 0, loc, CoefficientWidth::Bits32)
          .ok());
  // The second block reads entries 64..127 and adds to what is there.
  for (size_t c = 0; c < 3; ++c) {
    for (size_t i = 0; i < 64; ++i) {
      EXPECT_EQ(out[c][i], 5 + 3 * (v[0][c][i] + v[0][c][64 + i]));
    }
  }
  EXPECT_EQ(source.ReadBlock(2, 0, VarBlockKind::Dct8By8, 64, 0, loc,
                             CoefficientWidth::Bits16),
            StatusValue::Failed);
}

TEST(CoefficientWidthTest, Rule) {
  const uint32_t no_shift[3] = {0, 0, 0};
  const uint32_t shift_one[3] = {1, 0, 0};
  EXPECT_EQ(ChooseCoefficientWidth(15, no_shift, 1, false),
            CoefficientWidth::Bits16);
  EXPECT_EQ(ChooseCoefficientWidth(14, no_shift, 2, false),
            CoefficientWidth::Bits16);
  EXPECT_EQ(ChooseCoefficientWidth(15, no_shift, 2, false),
            CoefficientWidth::Bits32);
  EXPECT_EQ(ChooseCoefficientWidth(13, no_shift, 3, false),
            CoefficientWidth::Bits16);
  EXPECT_EQ(ChooseCoefficientWidth(14, no_shift, 3, false),
            CoefficientWidth::Bits32);
  EXPECT_EQ(ChooseCoefficientWidth(14, shift_one, 2, false),
            CoefficientWidth::Bits32);
  EXPECT_EQ(ChooseCoefficientWidth(13, shift_one, 2, false),
            CoefficientWidth::Bits16);
  EXPECT_EQ(ChooseCoefficientWidth(4, no_shift, 2, true),
            CoefficientWidth::Bits32);
}

TEST(ACImageTest, FrameStores) {
  auto single = CreateFrameACImage(HeapMemoryManager(),
                                   CoefficientWidth::Bits16, 1, 4);
  ASSERT_TRUE(single.ok());
  EXPECT_TRUE((*single)->HasNoStorage());
  EXPECT_EQ((*single)->SampleWidth(), CoefficientWidth::Bits16);
  for (CoefficientWidth w : {CoefficientWidth::Bits16, CoefficientWidth::Bits32}) {
    // A fresh store is zero even when the memory it gets is not.
    auto store = CreateFrameACImage(HeapMemoryManager(), w, 2, 3);
    ASSERT_TRUE(store.ok());
    ACImage& image = **store;
    EXPECT_FALSE(image.HasNoStorage());
    EXPECT_EQ(image.SampleWidth(), w);
    EXPECT_GE(image.EntriesPerRow(), kAcGroupCoefficients);
    for (size_t c = 0; c < 3; ++c) {
      for (size_t y = 0; y < 3; ++y) {
        for (size_t x : {size_t{0}, size_t{777}, kAcGroupCoefficients - 1}) {
          if (w == CoefficientWidth::Bits16) {
            EXPECT_EQ(*image.Coefficients16At(c, y, x), 0);
            *image.Coefficients16At(c, y, x) = 5;
          } else {
            EXPECT_EQ(*image.Coefficients32At(c, y, x), 0);
            *image.Coefficients32At(c, y, x) = 5;
          }
        }
      }
    }
    image.ClearPlane(1);
    EXPECT_EQ(w == CoefficientWidth::Bits16
                  ? *image.Coefficients16At(1, 2, 777)
                  : *image.Coefficients32At(1, 2, 777),
              0);
    EXPECT_NE(w == CoefficientWidth::Bits16 ? *image.Coefficients16At(0, 2, 777)
                                            : *image.Coefficients32At(0, 2, 777),
              0);
  }
  EXPECT_FALSE(CreateACImage32(HeapMemoryManager(), 65536,
                               uint64_t{1} << 33)
                   .ok());
}

// Runs a loop's items last to first, each on its own thread index, as a
// pool would in some order.
int32_t ReverseRunner(void*, void* loop, TaskInitFn init, TaskItemFn item,
                      uint32_t begin, uint32_t end) {
  if (init != nullptr && init(loop, end - begin) != 0) return -1;
  for (uint32_t i = end; i > begin; --i) item(loop, i - 1, i - 1 - begin);
  return 0;
}

// A multi-pass store cleared through a task pool is zero in every group row
// even over memory filled with a pattern; a store of no groups stays empty.
TEST(ACImageTest, FrameStoreClearedOnPool) {
  TaskPool pool;
  pool.runner = &ReverseRunner;
  test::CountingManager dirty(0x5a);
  for (CoefficientWidth w : {CoefficientWidth::Bits16, CoefficientWidth::Bits32}) {
    auto store = CreateFrameACImage(&dirty.manager, w, 3, 5, &pool);
    ASSERT_TRUE(store.ok());
    ACImage& image = **store;
    const size_t bytes = w == CoefficientWidth::Bits16 ? 2 : 4;
    for (size_t c = 0; c < 3; ++c) {
      for (size_t y = 0; y < 5; ++y) {
        const uint8_t* row = static_cast<const uint8_t*>(image.CoefficientsAt(c, y, 0));
        EXPECT_TRUE(std::all_of(row, row + kAcGroupCoefficients * bytes,
                                [](uint8_t b) { return b == 0; }))
            << "plane " << c << " row " << y;
      }
    }
    auto empty = CreateFrameACImage(&dirty.manager, w, 3, 0, &pool);
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE((*empty)->HasNoStorage());
  }
}

}  // namespace
}  // namespace qov
