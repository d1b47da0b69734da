// VarDCT group decoding of hand-built frames: varblocks placed in the frame
// records, their coefficients written pass by pass with the project's
// entropy coder, decoded into render planes and compared with a direct
// per-block computation (reference dequantisation, low frequencies from DC
// and inverse transform).
#include "lib/vardct/group_decoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "gtest/gtest.h"
#include "lib/base/memory.h"
#include "lib/encode/entropy_writer.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/jpeg/jpeg_data.h"
#include "lib/render/render_pipeline.h"
#include "lib/vardct/coefficient_order.h"
#include "lib/vardct/dct.h"
#include "lib/vardct/varblock_dequant.h"
#include "tests/vardct/vardct_test_helpers.h"

namespace qov {
namespace {

using vardct_test::OwnedReader;
using vardct_test::StreamWriter;

constexpr size_t kChannelOrder[3] = {1, 0, 2};
constexpr float kSentinel = -1000.0f;

uint32_t Pack(int32_t v) {
  return v >= 0 ? 2 * static_cast<uint32_t>(v)
                : 2 * static_cast<uint32_t>(-(v + 1)) + 1;
}

constexpr uint32_t Bit(VarBlockKind k) { return 1u << static_cast<uint32_t>(k); }

// One varblock: per pass and channel (X, Y, B) the values at order
// positions covered, covered + 1, ...; a list ends with a non-zero value.
struct Varblock {
  size_t bx, by;  // frame block coordinates of the top-left block
  VarBlockKind kind;
  std::vector<int32_t> values[2][3];
  int32_t count_override[2][3] = {{-1, -1, -1}, {-1, -1, -1}};
};

// A 3-channel render plane set with a margin, standing in for a pipeline's
// group buffers.
struct RenderPlanes {
  RenderPlanes(size_t xsize, size_t ysize) {
    for (size_t c = 0; c < 3; ++c) {
      planes[c] = PlaneF::Create(HeapMemoryManager(), xsize + 64, ysize + 64).value();
      for (size_t y = 0; y < planes[c].ysize(); ++y) {
        std::fill(planes[c].Row(y), planes[c].Row(y) + planes[c].xsize(), kSentinel);
      }
    }
  }
  GroupRenderInput Input(size_t px, size_t py, size_t w, size_t h) {
    GroupRenderInput in;
    for (size_t c = 0; c < 3; ++c) {
      GroupBuffer b;
      b.plane = &planes[c];
      b.rect = {32 + px, 32 + py, w, h};
      in.buffers.push_back(b);
    }
    return in;
  }
  float At(size_t c, size_t x, size_t y) const { return planes[c].ConstRow(32 + y)[32 + x]; }
  PlaneF planes[3];
};

// The records of a VarDCT frame of wb x hb blocks with single-context AC
// histograms.
class GroupFrame {
 public:
  GroupFrame(size_t wb, size_t hb, size_t passes)
      : header(nullptr), state(HeapMemoryManager()), wb_(wb) {
    header.passes.num_passes = static_cast<uint32_t>(passes);
    FrameGeometry& g = state.frame_geometry;
    g.xsize_blocks = wb;
    g.ysize_blocks = hb;
    g.group_dim = 256;
    g.xsize_groups = (wb + 31) / 32;
    g.ysize_groups = (hb + 31) / 32;
    g.num_groups = g.xsize_groups * g.ysize_groups;
    const QovMemoryManagerStruct* mm = HeapMemoryManager();
    state.raw_quant_field = PlaneI32::Create(mm, wb, hb).value();
    state.quant_dc = PlaneU8::Create(mm, wb, hb).value();
    state.varblock_kinds = CreateBytePlane(mm, wb, hb).value();
    state.cfl_map = ChromaFromLumaMap::Create(mm, 8 * wb, 8 * hb).value();
    state.dc_image = Image3F::Create(mm, wb, hb).value();
    uint32_t seed = 7;
    for (size_t y = 0; y < hb; ++y) {
      std::memset(state.varblock_kinds.Row(y), 0xFF, wb);
      std::memset(state.quant_dc.Row(y), 0, wb);
      for (size_t x = 0; x < wb; ++x) {
        state.raw_quant_field.Row(y)[x] = static_cast<int32_t>(1 + (x + 2 * y) % 5);
        for (size_t c = 0; c < 3; ++c) {
          seed = seed * 1103515245u + 12345u;
          state.dc_image.PlaneRow(c, y)[x] =
              static_cast<float>((seed >> 16) % 2001) / 1000.0f - 1.0f;
        }
      }
    }
    for (size_t y = 0; y < state.cfl_map.ytox_map.ysize(); ++y) {
      for (size_t x = 0; x < state.cfl_map.ytox_map.xsize(); ++x) {
        state.cfl_map.ytox_map.Row(y)[x] = static_cast<int8_t>(3 * x - 5 + y);
        state.cfl_map.ytob_map.Row(y)[x] = static_cast<int8_t>(7 - 2 * x);
      }
    }
    const float biases[4] = {0.94534993f, 0.92994547f, 0.9500649f, 0.145f};
    std::memcpy(state.output_color.quant_bias, biases, sizeof(biases));
    state.x_dequant_multiplier = 1.25f;
    state.b_dequant_multiplier = 0.8f;
    state.histogram_sets = 1;
  }

  void Place(const std::vector<Varblock>& blocks) {
    blocks_ = blocks;
    uint32_t kinds = 0;
    for (const Varblock& b : blocks) {
      kinds |= Bit(b.kind);
      for (size_t iy = 0; iy < CoveredBlocksY(b.kind); ++iy) {
        for (size_t ix = 0; ix < CoveredBlocksX(b.kind); ++ix) {
          state.varblock_kinds.Row(b.by + iy)[b.bx + ix] = static_cast<uint8_t>(
              (static_cast<uint32_t>(b.kind) << 1) | (ix == 0 && iy == 0 ? 1 : 0));
        }
      }
    }
    used_kinds = kinds;
    const size_t passes = header.passes.num_passes;
    ASSERT_TRUE(ReserveCoefficientOrders(kinds, passes, &state.coefficient_orders).ok());
    for (size_t p = 0; p < passes; ++p) {
      BitReader none;
      ASSERT_TRUE(ReadScanOrders(HeapMemoryManager(), 0, kinds,
                                 state.coefficient_orders.PassOrders(p), none)
                      .ok());
    }
    ASSERT_TRUE(state.dequant.PrepareTables(HeapMemoryManager(), kinds).ok());
    ASSERT_TRUE(scratch.EnsureSized(HeapMemoryManager(), passes, kinds).ok());
  }

  // Blocks of group g in decoding order.
  std::vector<const Varblock*> GroupBlocks(size_t g) const {
    const size_t gx = g % ((wb_ + 31) / 32), gy = g / ((wb_ + 31) / 32);
    std::vector<const Varblock*> out;
    for (const Varblock& b : blocks_) {
      if (b.bx / 32 == gx && b.by / 32 == gy) out.push_back(&b);
    }
    std::sort(out.begin(), out.end(), [](const Varblock* a, const Varblock* b) {
      return a->by != b->by ? a->by < b->by : a->bx < b->bx;
    });
    return out;
  }

  std::vector<Token> Tokens(size_t g, size_t pass) const {
    std::vector<Token> tokens;
    const size_t hs[3] = {header.chroma_subsampling.HShift(0),
                          header.chroma_subsampling.HShift(1),
                          header.chroma_subsampling.HShift(2)};
    const size_t vs[3] = {header.chroma_subsampling.VShift(0),
                          header.chroma_subsampling.VShift(1),
                          header.chroma_subsampling.VShift(2)};
    for (const Varblock* b : GroupBlocks(g)) {
      const size_t log2 = kVarBlockLog2Covered[static_cast<size_t>(b->kind)];
      const size_t cb = size_t{1} << log2;
      for (size_t c : kChannelOrder) {
        const size_t lx = b->bx % 32, ly = b->by % 32;
        if (((lx >> hs[c]) << hs[c]) != lx || ((ly >> vs[c]) << vs[c]) != ly) continue;
        const std::vector<int32_t>& vals = b->values[pass][c];
        uint32_t n = 0;
        for (int32_t v : vals) n += v != 0;
        const int32_t over = b->count_override[pass][c];
        const uint32_t coded = over >= 0 ? static_cast<uint32_t>(over) : n;
        tokens.emplace_back(0, coded);
        if (coded > 64 * cb - cb) continue;
        uint32_t left = coded;
        for (size_t i = 0; i < vals.size() && left > 0; ++i) {
          tokens.emplace_back(0, Pack(vals[i]));
          left -= vals[i] != 0 ? 1 : 0;
        }
      }
    }
    return tokens;
  }

  // Writes every pass's histograms (into the state) and the streams of the
  // groups in `groups` (selector bits first).
  // `trailing_tokens`: that many copies of each stream's first token are
  // coded after the group's own, so the decoder stops short of them.
  void WriteStreams(const std::vector<size_t>& groups, uint32_t selector = 0,
                    size_t truncate_bytes = 0, size_t trailing_tokens = 0) {
    const size_t passes = header.passes.num_passes;
    const uint64_t sets = state.histogram_sets;
    size_t bits = 0;
    while ((uint64_t{1} << bits) < sets) ++bits;
    state.pass_codes.resize(passes);
    state.pass_context_maps.resize(passes);
    streams.clear();
    streams.resize(groups.size());
    for (size_t p = 0; p < passes; ++p) {
      std::vector<std::vector<Token>> all;
      for (size_t g : groups) {
        all.push_back(Tokens(g, p));
        for (size_t t = 0; t < trailing_tokens; ++t) all.back().push_back(all.back().front());
      }
      EntropyEncodingData codes;
      StreamWriter cw;
      cw.Task([&](BitWriter* w) {
        HistogramParams hp;
        return BuildAndEncodeHistograms(HeapMemoryManager(), hp, 1, all, &codes,
                                        w, LayerType::kHeader, nullptr)
            .status();
      });
      ASSERT_TRUE(cw.ok());
      OwnedReader cr(cw.Bytes());
      std::vector<uint8_t> map;
      ASSERT_TRUE(ReadEntropyCodeSet(HeapMemoryManager(), cr.reader, 1,
                                     &state.pass_codes[p], map, false)
                      .ok());
      const size_t per_set = state.block_ctx_map.num_contexts * kAcContextsPerBlockContext;
      state.pass_context_maps[p].assign(per_set * sets + kAcContextMapPadding, 0);
      for (size_t i = 0; i < groups.size(); ++i) {
        StreamWriter gw;
        if (bits > 0) gw.Bits(bits, selector);
        gw.Task([&](BitWriter* w) {
          return WriteTokens(all[i], codes, 0, w, LayerType::kHeader, nullptr);
        });
        ASSERT_TRUE(gw.ok());
        std::vector<uint8_t> bytes = gw.Bytes();
        bytes.resize(bytes.size() > truncate_bytes ? bytes.size() - truncate_bytes : 0);
        streams[i].push_back(std::make_unique<OwnedReader>(bytes));
      }
    }
  }

  Status Decode(size_t stream_index, size_t g, size_t first_pass, size_t num_passes,
                GroupRenderInput* input, bool* draw, jpeg::JPEGData* jpeg = nullptr) {
    BitReader* readers[kMaxNumPasses] = {};
    for (size_t i = 0; i < num_passes; ++i) {
      readers[i] = &streams[stream_index][first_pass + i]->reader;
    }
    return DecodeVarDctGroup(header, readers, num_passes, g, &state, &scratch, 0,
                             input, jpeg, first_pass, false, false, draw);
  }

  // The quantised coefficients a varblock should end with (all passes).
  std::vector<int32_t> Quantised(const Varblock& b, size_t c) const {
    const size_t count = CoefficientCount(b.kind), cb = count / 64;
    std::vector<int32_t> q(count, 0);
    for (size_t p = 0; p < header.passes.num_passes; ++p) {
      const uint32_t* order = state.coefficient_orders.PassOrders(p) +
                              64 * kScanOrderOffsets[3 * ScanBucketOf(b.kind) + c];
      const auto& vals = b.values[p][c];
      for (size_t i = 0; i < vals.size(); ++i) {
        q[order[cb + i]] += vals[i] * (1 << header.passes.shift[p]);
      }
    }
    return q;
  }

  size_t Hs(size_t c) const { return header.chroma_subsampling.HShift(c); }
  size_t Vs(size_t c) const { return header.chroma_subsampling.VShift(c); }

  // The pixels of a varblock, computed block by block with the
  // references: dequantisation with an exact division, low frequencies from
  // DC, inverse transform.
  void ExpectedPixels(const Varblock& b, std::vector<float>* out, size_t* w,
                      size_t* h) const {
    const size_t count = CoefficientCount(b.kind);
    std::vector<int32_t> q[3];
    for (size_t c = 0; c < 3; ++c) q[c] = Quantised(b, c);
    VarblockDequantParams params;
    params.inv_global_scale = state.quantizer.inv_global_scale;
    params.quant = state.raw_quant_field.ConstRow(b.by)[b.bx];
    params.x_mul = state.x_dequant_multiplier;
    params.b_mul = state.b_dequant_multiplier;
    params.x_factor = state.cfl_map.XFactor(state.cfl_map.ytox_map.ConstRow(b.by / 8)[b.bx / 8]);
    params.b_factor = state.cfl_map.BFactor(state.cfl_map.ytob_map.ConstRow(b.by / 8)[b.bx / 8]);
    std::memcpy(params.biases, state.output_color.quant_bias, sizeof(params.biases));
    const float* tables[3] = {state.dequant.Table(b.kind, 0), state.dequant.Table(b.kind, 1),
                              state.dequant.Table(b.kind, 2)};
    const void* qp[3] = {q[0].data(), q[1].data(), q[2].data()};
    std::vector<float> coeffs(3 * count);
    DequantizeCoefficientsScalar(params, count, tables, qp, CoefficientWidth::Bits32,
                                 coeffs.data());
    *w = 8 * CoveredBlocksX(b.kind);
    *h = 8 * CoveredBlocksY(b.kind);
    out->assign(3 * *w * *h, 0.0f);
    for (size_t c = 0; c < 3; ++c) {
      DcToLowFrequenciesScalar(static_cast<uint32_t>(b.kind),
                               state.dc_image.PlaneRow(c, b.by >> Vs(c)) + (b.bx >> Hs(c)),
                               state.dc_image.PixelsPerRow(), coeffs.data() + c * count);
      InverseTransformBlockScalar(static_cast<uint32_t>(b.kind), coeffs.data() + c * count,
                                  out->data() + c * *w * *h, *w);
    }
  }

  // Compares every varblock of group g (pixels at group-relative positions).
  void ExpectGroupPixels(size_t g, const RenderPlanes& planes) const {
    for (const Varblock* b : GroupBlocks(g)) {
      std::vector<float> expected;
      size_t w, h;
      ExpectedPixels(*b, &expected, &w, &h);
      for (size_t c = 0; c < 3; ++c) {
        const size_t lx = b->bx % 32, ly = b->by % 32;
        // A block off a subsampled channel's grid draws nothing there.
        if (((lx >> Hs(c)) << Hs(c)) != lx || ((ly >> Vs(c)) << Vs(c)) != ly) continue;
        for (size_t y = 0; y < h; ++y) {
          for (size_t x = 0; x < w; ++x) {
            const float e = expected[c * w * h + y * w + x];
            const float a = planes.At(c, 8 * (lx >> Hs(c)) + x, 8 * (ly >> Vs(c)) + y);
            ASSERT_NEAR(a, e, 1e-4f * std::max(1.0f, std::fabs(e)))
                << "kind " << static_cast<int>(b->kind) << " at " << b->bx << ","
                << b->by << " c " << c << " pixel " << x << "," << y;
          }
        }
      }
    }
  }

  FrameHeader header;
  FrameDecodingState state;
  GroupDecodeScratch scratch;
  uint32_t used_kinds = 0;
  // Per written group, per pass.
  std::vector<std::vector<std::unique_ptr<OwnedReader>>> streams;

 private:
  size_t wb_;
  std::vector<Varblock> blocks_;
};

std::vector<int32_t> Values(uint32_t seed, size_t n, int32_t range) {
  std::vector<int32_t> v(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    v[i] = static_cast<int32_t>((seed >> 12) % (2 * range + 1)) - range;
  }
  if (!v.empty() && v.back() == 0) v.back() = 1;
  return v;
}

// A 6 x 4-block frame covered by varblocks of many kinds.
std::vector<Varblock> MixedKinds(size_t passes) {
  const struct { size_t bx, by; VarBlockKind kind; } placements[] = {
      {0, 0, VarBlockKind::Dct16By16},    {2, 0, VarBlockKind::Dct8By8},
      {3, 0, VarBlockKind::Dct8By16},     {4, 0, VarBlockKind::IdentityGrid},
      {5, 0, VarBlockKind::Dct4Grid},     {2, 1, VarBlockKind::Dct8By8},
      {4, 1, VarBlockKind::Dct16By8},     {0, 2, VarBlockKind::Dct16By16},
      {2, 2, VarBlockKind::Dct8By4Halves}, {3, 2, VarBlockKind::CornerAdaptive0},
      {4, 2, VarBlockKind::Dct2Grid},     {5, 2, VarBlockKind::Dct4By8Halves},
      {2, 3, VarBlockKind::Dct8By8},      {3, 3, VarBlockKind::CornerAdaptive3},
      {4, 3, VarBlockKind::Dct8By8},      {5, 3, VarBlockKind::Dct8By8},
  };
  std::vector<Varblock> blocks;
  uint32_t seed = 1;
  for (const auto& p : placements) {
    Varblock b{p.bx, p.by, p.kind, {}};
    for (size_t pass = 0; pass < passes; ++pass) {
      for (size_t c = 0; c < 3; ++c) {
        b.values[pass][c] = Values(seed, 3 + (seed % 9), c == 1 ? 6 : 3);
        ++seed;
      }
    }
    blocks.push_back(b);
  }
  return blocks;
}

class GroupDecodeWidthTest : public ::testing::TestWithParam<CoefficientWidth> {};

TEST_P(GroupDecodeWidthTest, SinglePassDrawsEveryKindAsTheReferenceDoes) {
  GroupFrame f(6, 4, 1);
  f.Place(MixedKinds(1));
  f.state.coefficients = GetParam() == CoefficientWidth::Bits16
                             ? std::unique_ptr<ACImage>(std::make_unique<ACImageT<int16_t>>())
                             : std::unique_ptr<ACImage>(std::make_unique<ACImageT<int32_t>>());
  f.WriteStreams({0});
  RenderPlanes planes(48, 32);
  GroupRenderInput input = planes.Input(0, 0, 48, 32);
  bool draw = false;
  ASSERT_TRUE(f.Decode(0, 0, 0, 1, &input, &draw).ok());
  EXPECT_TRUE(draw);
  f.ExpectGroupPixels(0, planes);
  // Nothing is written outside the group's 48 x 32 pixels.
  EXPECT_EQ(planes.At(0, 48, 0), kSentinel);
  EXPECT_EQ(planes.At(2, 0, 32), kSentinel);
}

INSTANTIATE_TEST_SUITE_P(Widths, GroupDecodeWidthTest,
                         ::testing::Values(CoefficientWidth::Bits16,
                                           CoefficientWidth::Bits32));

TEST(GroupDecodeTest, BlocksWithoutAcAreTheirDcSample) {
  GroupFrame f(4, 2, 1);
  std::vector<Varblock> blocks = {{0, 0, VarBlockKind::Dct16By16, {}},
                                  {2, 0, VarBlockKind::Dct8By8, {}},
                                  {3, 0, VarBlockKind::Dct8By8, {}},
                                  {2, 1, VarBlockKind::Dct16By8, {}}};
  f.Place(blocks);
  // A flat DC under the 16x16 varblock.
  for (size_t c = 0; c < 3; ++c) {
    for (size_t y = 0; y < 2; ++y) {
      for (size_t x = 0; x < 2; ++x) f.state.dc_image.PlaneRow(c, y)[x] = 0.25f * (c + 1);
    }
  }
  f.WriteStreams({0});
  RenderPlanes planes(32, 16);
  GroupRenderInput input = planes.Input(0, 0, 32, 16);
  ASSERT_TRUE(f.Decode(0, 0, 0, 1, &input, nullptr).ok());
  for (size_t c = 0; c < 3; ++c) {
    EXPECT_NEAR(planes.At(c, 3, 11), 0.25f * (c + 1), 1e-5f);
    for (size_t y = 0; y < 8; ++y) {
      for (size_t x = 0; x < 8; ++x) {
        EXPECT_NEAR(planes.At(c, 16 + x, y), f.state.dc_image.PlaneRow(c, 0)[2], 1e-5f);
        EXPECT_NEAR(planes.At(c, 24 + x, y), f.state.dc_image.PlaneRow(c, 0)[3], 1e-5f);
      }
    }
  }
}

// Groups at the frame's right and bottom edges stop their loops there; each
// group writes only its own planes.
TEST(GroupDecodeTest, EdgeGroupsOfAFourGroupFrame) {
  GroupFrame f(34, 33, 1);
  std::vector<Varblock> blocks;
  uint32_t seed = 3;
  for (size_t by = 0; by < 33; ++by) {
    for (size_t bx = 0; bx < 34;) {
      const bool wide = bx % 32 + 2 <= 32 && bx + 2 <= 34 && (bx + by) % 3 == 0;
      Varblock b{bx, by, wide ? VarBlockKind::Dct16By8 : VarBlockKind::Dct8By8, {}};
      for (size_t c = 0; c < 3; ++c) {
        b.values[0][c] = Values(seed, 2 + seed % 4, 4);
        ++seed;
      }
      blocks.push_back(b);
      bx += wide ? 2 : 1;
    }
  }
  f.Place(blocks);
  f.WriteStreams({0, 1, 2, 3});
  for (size_t g = 0; g < 4; ++g) {
    const size_t w = g % 2 == 0 ? 256 : 16, h = g / 2 == 0 ? 256 : 8;
    RenderPlanes planes(w, h);
    GroupRenderInput input = planes.Input(0, 0, w, h);
    ASSERT_TRUE(f.Decode(g, g, 0, 1, &input, nullptr).ok()) << g;
    f.ExpectGroupPixels(g, planes);
    EXPECT_EQ(planes.At(1, w, 0), kSentinel);
    EXPECT_EQ(planes.At(1, 0, h), kSentinel);
  }
}

// Two passes: the first call stores only; the second adds its values and
// draws; one call over both passes draws the same pixels.
class GroupDecodePassesTest : public ::testing::TestWithParam<CoefficientWidth> {};

TEST_P(GroupDecodePassesTest, PassesAccumulate) {
  const auto make = [&](GroupFrame* f) {
    f->header.passes.shift[0] = 2;
    f->header.passes.shift[1] = 0;
    f->Place(MixedKinds(2));
    f->state.coefficients =
        CreateFrameACImage(HeapMemoryManager(), GetParam(), 2, 1).value();
    f->WriteStreams({0});
  };
  GroupFrame f(6, 4, 2);
  make(&f);
  RenderPlanes planes(48, 32);
  GroupRenderInput input = planes.Input(0, 0, 48, 32);
  bool draw = true;
  ASSERT_TRUE(f.Decode(0, 0, 0, 1, &input, &draw).ok());
  EXPECT_FALSE(draw);
  EXPECT_EQ(planes.At(1, 5, 5), kSentinel);  // nothing drawn yet
  ASSERT_TRUE(f.Decode(0, 0, 1, 1, &input, &draw).ok());
  EXPECT_TRUE(draw);
  f.ExpectGroupPixels(0, planes);

  GroupFrame once(6, 4, 2);
  make(&once);
  RenderPlanes planes2(48, 32);
  GroupRenderInput input2 = planes2.Input(0, 0, 48, 32);
  ASSERT_TRUE(once.Decode(0, 0, 0, 2, &input2, &draw).ok());
  EXPECT_TRUE(draw);
  for (size_t c = 0; c < 3; ++c) {
    for (size_t y = 0; y < 32; ++y) {
      for (size_t x = 0; x < 48; ++x) ASSERT_EQ(planes.At(c, x, y), planes2.At(c, x, y));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, GroupDecodePassesTest,
                         ::testing::Values(CoefficientWidth::Bits16,
                                           CoefficientWidth::Bits32));

// 4:2:0: chroma is read and drawn only for blocks on its grid, at half the
// block position; luma for every block.
TEST(GroupDecodeTest, SubsampledChromaOnlyOnItsGrid) {
  GroupFrame f(4, 4, 1);
  f.header.chroma_subsampling.channel_mode[0] = 0;
  f.header.chroma_subsampling.channel_mode[1] = 1;
  f.header.chroma_subsampling.channel_mode[2] = 0;
  f.header.chroma_subsampling.max_hshift = 1;
  f.header.chroma_subsampling.max_vshift = 1;
  ASSERT_EQ(f.Hs(0), 1u);
  ASSERT_EQ(f.Hs(1), 0u);
  const VarBlockKind kinds[4] = {VarBlockKind::Dct8By8, VarBlockKind::IdentityGrid,
                                 VarBlockKind::Dct4Grid, VarBlockKind::Dct8By4Halves};
  std::vector<Varblock> blocks;
  uint32_t seed = 5;
  for (size_t by = 0; by < 4; ++by) {
    for (size_t bx = 0; bx < 4; ++bx) {
      Varblock b{bx, by, kinds[(bx + by) % 4], {}};
      for (size_t c = 0; c < 3; ++c) {
        b.values[0][c] = Values(seed, 2 + seed % 5, 4);
        ++seed;
      }
      blocks.push_back(b);
    }
  }
  f.Place(blocks);
  f.WriteStreams({0});
  RenderPlanes planes(32, 32);
  GroupRenderInput input = planes.Input(0, 0, 32, 32);
  ASSERT_TRUE(f.Decode(0, 0, 0, 1, &input, nullptr).ok());
  f.ExpectGroupPixels(0, planes);
  EXPECT_EQ(planes.At(0, 16, 0), kSentinel);  // chroma covers 16 x 16
  EXPECT_EQ(planes.At(2, 0, 16), kSentinel);
}

TEST(GroupDecodeTest, StoreOnlyWithoutAcStoreFails) {
  GroupFrame f(2, 1, 2);
  f.Place({{0, 0, VarBlockKind::Dct8By8, {{{1}, {2}, {}}, {{}, {1}, {}}}},
           {1, 0, VarBlockKind::Dct8By8, {}}});
  f.WriteStreams({0});
  RenderPlanes planes(16, 8);
  GroupRenderInput input = planes.Input(0, 0, 16, 8);
  bool draw = true;
  EXPECT_EQ(f.Decode(0, 0, 0, 1, &input, &draw).code(), StatusValue::Failed);
  EXPECT_FALSE(draw);
}

// Histogram selectors: ceil(log2 H) bits per pass, a selector >= H fails.
TEST(GroupDecodeTest, HistogramSelectors) {
  const struct { uint64_t sets; uint32_t selector; bool ok; } cases[] = {
      {1, 0, true}, {2, 1, true}, {3, 2, true}, {3, 3, false}, {4, 3, true},
      {0, 0, false}};
  for (const auto& tc : cases) {
    GroupFrame f(3, 2, 1);
    std::vector<Varblock> blocks = {{0, 0, VarBlockKind::Dct16By16, {}},
                                    {2, 0, VarBlockKind::Dct8By8, {}},
                                    {2, 1, VarBlockKind::Dct8By8, {}}};
    blocks[0].values[0][1] = {3, 0, -2};
    blocks[2].values[0][0] = {1};
    f.Place(blocks);
    f.state.histogram_sets = tc.sets == 0 ? 1 : tc.sets;
    f.WriteStreams({0}, tc.selector);
    f.state.histogram_sets = tc.sets;
    RenderPlanes planes(24, 16);
    GroupRenderInput input = planes.Input(0, 0, 24, 16);
    const Status s = f.Decode(0, 0, 0, 1, &input, nullptr);
    EXPECT_EQ(s.ok(), tc.ok) << tc.sets << " " << tc.selector;
    if (tc.ok) {
      f.ExpectGroupPixels(0, planes);
    } else {
      EXPECT_EQ(s.code(), StatusValue::Failed);
    }
  }
}

// Malformed groups: a count above what the varblock holds, truncated data, a
// kind the scratch was not sized for, a hole in the varblock map.
TEST(GroupDecodeTest, MalformedGroupsFail) {
  enum Fault { kCountTooLarge, kTruncated, kUnsizedScratch, kHole };
  for (Fault fault : {kCountTooLarge, kTruncated, kUnsizedScratch, kHole}) {
    GroupFrame f(4, 2, 1);
    std::vector<Varblock> blocks = {{0, 0, VarBlockKind::Dct16By16, {}},
                                    {2, 0, VarBlockKind::Dct8By8, {}},
                                    {3, 0, VarBlockKind::Dct8By8, {}},
                                    {2, 1, VarBlockKind::Dct16By8, {}}};
    for (Varblock& b : blocks) {
      for (size_t c = 0; c < 3; ++c) b.values[0][c] = Values(11 + c, 20, 5);
    }
    if (fault == kCountTooLarge) blocks[1].count_override[0][1] = 64;
    f.Place(blocks);
    if (fault == kUnsizedScratch) {
      f.scratch = GroupDecodeScratch();
      ASSERT_TRUE(f.scratch.EnsureSized(HeapMemoryManager(), 1, Bit(VarBlockKind::Dct8By8)).ok());
    }
    if (fault == kHole) f.state.varblock_kinds.Row(0)[3] = VarBlockKindMap::kFree;
    f.WriteStreams({0}, 0, fault == kTruncated ? 12 : 0);
    RenderPlanes planes(32, 16);
    GroupRenderInput input = planes.Input(0, 0, 32, 16);
    const Status s = f.Decode(0, 0, 0, 1, &input, nullptr);
    EXPECT_EQ(s.code(), StatusValue::Failed) << fault;
  }
}

// A pass stream whose coefficients all decode but whose ANS state does not
// end where the encoder started (here: symbols left over) fails the group.
TEST(GroupDecodeTest, UnfinishedAnsStreamFails) {
  for (size_t trailing : {0, 1, 3}) {
    GroupFrame f(3, 1, 1);
    std::vector<Varblock> blocks = {{0, 0, VarBlockKind::Dct8By8, {}},
                                    {1, 0, VarBlockKind::Dct8By8, {}},
                                    {2, 0, VarBlockKind::Dct8By8, {}}};
    for (size_t i = 0; i < blocks.size(); ++i) {
      for (size_t c = 0; c < 3; ++c) blocks[i].values[0][c] = Values(5 + 3 * i + c, 12, 4);
    }
    f.Place(blocks);
    f.WriteStreams({0}, 0, 0, trailing);
    RenderPlanes planes(24, 8);
    GroupRenderInput input = planes.Input(0, 0, 24, 8);
    const Status s = f.Decode(0, 0, 0, 1, &input, nullptr);
    if (trailing == 0) {
      ASSERT_TRUE(s.ok());
      f.ExpectGroupPixels(0, planes);
    } else {
      EXPECT_EQ(s.code(), StatusValue::Failed) << trailing;
    }
  }
}

TEST(GroupDecodeScratchTest, SizesFromTheUsedKinds) {
  GroupDecodeScratch s;
  ASSERT_TRUE(s.EnsureSized(HeapMemoryManager(), 2, 0).ok());
  EXPECT_EQ(s.capacity, 0u);
  EXPECT_EQ(s.nonzero_counts[1].xsize(), 32u);
  EXPECT_EQ(s.nonzero_counts[2].xsize(), 0u);
  ASSERT_TRUE(s.EnsureSized(HeapMemoryManager(), 1,
                            Bit(VarBlockKind::Dct8By8) | Bit(VarBlockKind::Dct32By16))
                  .ok());
  EXPECT_EQ(s.capacity, 64u * 8);
  EXPECT_EQ(s.transform_scratch, s.dequantized + 3 * 64 * 8);
  float* before = s.dequantized;
  ASSERT_TRUE(s.EnsureSized(HeapMemoryManager(), 1, Bit(VarBlockKind::Dct16By16)).ok());
  EXPECT_EQ(s.capacity, 64u * 8);  // only grows
  EXPECT_EQ(s.dequantized, before);
  EXPECT_FALSE(s.EnsureSized(HeapMemoryManager(), 12, 0).ok());
  ASSERT_TRUE(s.EnsureDcBorderBuffer(HeapMemoryManager()).ok());
  EXPECT_EQ(s.dc_border.xsize(), 96u);
  EXPECT_EQ(s.dc_border.ysize(), 36u);
}

// A stand-in for the 8x upsampler that shows what it was given: output
// pixel (8 i + j, k) for j, k < 5 is input row k at column i + j - 2.
class NeighbourhoodStage final : public RenderPipelineStage {
 public:
  NeighbourhoodStage() : RenderPipelineStage(StageGeometry{2, 2, 3, 3}) {}
  Status RenderRow(const ChannelRowSet& in, const ChannelRowSet& out, size_t,
                   size_t, size_t xsize, size_t, size_t, size_t) const override {
    if (in.size() != 1 || in[0].size() != 5 || out.size() != 1 || out[0].size() != 8) {
      return FailedStatus();
    }
    for (size_t i = 0; i < xsize; ++i) {
      for (size_t k = 0; k < 8; ++k) {
        for (size_t j = 0; j < 8; ++j) {
          out[0][k][kRowLeadSamples + 8 * i + j] =
              (k < 5 && j < 5) ? in[0][k][kRowLeadSamples + i + j - 2] : 0.0f;
        }
      }
    }
    return OkStatus();
  }
  RowChannelMode ChannelModeOf(size_t c) const override {
    return c == 0 ? RowChannelMode::kSeparateOutput : RowChannelMode::kNotUsed;
  }
  const char* StageName() const override { return "Neighbourhood"; }
};

int64_t Mirror(int64_t v, int64_t n) {
  while (v < 0 || v >= n) v = v < 0 ? -v - 1 : 2 * n - 1 - v;
  return v;
}

// Drawing from DC alone: every DC sample of the group reaches the upsampler
// with its 5 x 5 neighbourhood, mirrored (edge repeated) at the frame edges.
TEST(GroupDecodeTest, DrawsFromDcAlone) {
  const struct { size_t wb, hb, group; } cases[] = {
      {1, 3, 0},    // one sample wide at both edges; top row is row 0
      {40, 34, 0},  // interior right and bottom borders
      {40, 34, 3},  // 8 x 2 at the bottom right, borders from the DC image
      {33, 35, 1},  // one sample wide at the right edge
  };
  for (const auto& tc : cases) {
    GroupFrame f(tc.wb, tc.hb, 1);
    f.state.upsampler_8x = std::make_unique<NeighbourhoodStage>();
    const size_t gx = tc.group % ((tc.wb + 31) / 32), gy = tc.group / ((tc.wb + 31) / 32);
    const size_t xs = std::min<size_t>(32, tc.wb - 32 * gx);
    const size_t ys = std::min<size_t>(32, tc.hb - 32 * gy);
    RenderPlanes planes(8 * xs, 8 * ys);
    GroupRenderInput input = planes.Input(0, 0, 8 * xs, 8 * ys);
    bool draw = false;
    ASSERT_TRUE(DecodeVarDctGroup(f.header, nullptr, 0, tc.group, &f.state, &f.scratch, 0,
                                  &input, nullptr, 0, true, false, &draw)
                    .ok())
        << tc.wb << "x" << tc.hb;
    EXPECT_TRUE(draw);
    for (size_t c = 0; c < 3; ++c) {
      for (size_t v = 0; v < ys; ++v) {
        for (size_t u = 0; u < xs; ++u) {
          for (int64_t dy = -2; dy <= 2; ++dy) {
            for (int64_t dx = -2; dx <= 2; ++dx) {
              const int64_t x = Mirror(static_cast<int64_t>(32 * gx + u) + dx, tc.wb);
              const int64_t y = Mirror(static_cast<int64_t>(32 * gy + v) + dy, tc.hb);
              ASSERT_EQ(planes.At(c, 8 * u + static_cast<size_t>(dx + 2),
                                  8 * v + static_cast<size_t>(dy + 2)),
                        f.state.dc_image.PlaneRow(c, static_cast<size_t>(y))[x])
                  << tc.wb << "x" << tc.hb << " c " << c << " at " << u << "," << v
                  << " d " << dx << "," << dy;
            }
          }
        }
      }
    }
  }
}

TEST(GroupDecodeTest, DcAloneNeedsTheUpsamplerAndRoomInThePlanes) {
  GroupFrame f(4, 4, 1);
  RenderPlanes planes(32, 32);
  GroupRenderInput input = planes.Input(0, 0, 32, 32);
  EXPECT_EQ(DecodeVarDctGroup(f.header, nullptr, 0, 0, &f.state, &f.scratch, 0, &input,
                              nullptr, 0, true, false, nullptr)
                .code(), StatusValue::Failed);
  f.state.upsampler_8x = std::make_unique<NeighbourhoodStage>();
  GroupRenderInput small = planes.Input(60, 60, 32, 32);  // past the plane
  EXPECT_EQ(DecodeVarDctGroup(f.header, nullptr, 0, 0, &f.state, &f.scratch, 0, &small,
                              nullptr, 0, true, false, nullptr)
                .code(), StatusValue::Failed);
}

// Sets the 8x8 table spec to a raw JPEG-style table through the dequantisation-spec reader.
class RawTableReader final : public RawQuantMatrixReader {
 public:
  explicit RawTableReader(const std::vector<int32_t>& t) : table_(t) {}
  Status ReadRawQuantMatrix(const QovMemoryManagerStruct*, size_t, size_t, BitReader*,
                            DequantTableSpec* spec, uint32_t) override {
    return SetRawQuantTable(1.0f / 2040.0f, table_.data(), table_.size(), spec);
  }

 private:
  std::vector<int32_t> table_;
};

// JPEG reconstruction: the quantised coefficients go transposed into the
// components with the DC from the DC image, and no pixel is written.
TEST(GroupDecodeTest, JpegModeWritesCoefficients) {
  GroupFrame f(2, 1, 1);
  f.header.color_transform = 2;  // YCbCr: DC offsets 0
  f.state.cfl_map.base_correlation_b = 0.0f;
  f.state.cfl_map.ytox_dc = 0;
  f.state.cfl_map.ytob_dc = 0;
  for (size_t x = 0; x < f.state.cfl_map.ytox_map.xsize(); ++x) {
    f.state.cfl_map.ytox_map.Row(0)[x] = 0;
    f.state.cfl_map.ytob_map.Row(0)[x] = 0;
  }
  StreamWriter sw;
  sw.Bits(1, 0);
  sw.Bits(3, 7);
  for (size_t k = 1; k < kNumDequantTableKinds; ++k) sw.Bits(3, 0);
  OwnedReader sr(sw.Bytes());
  RawTableReader raw(std::vector<int32_t>(192, 3));
  ASSERT_TRUE(f.state.dequant.ReadSpecs(HeapMemoryManager(), &sr.reader, &raw).ok());
  std::vector<Varblock> blocks = {{0, 0, VarBlockKind::Dct8By8, {}},
                                  {1, 0, VarBlockKind::Dct8By8, {}}};
  blocks[0].values[0][1] = {5, -3, 0, 2};
  blocks[0].values[0][0] = {1};
  blocks[1].values[0][2] = {0, 0, -4};
  f.Place(blocks);
  f.state.dc_image.PlaneRow(1, 0)[0] = 3000.0f;
  f.state.dc_image.PlaneRow(1, 0)[1] = -0.7f;
  f.WriteStreams({0});
  jpeg::JPEGData data;
  data.component_list.resize(3);
  for (auto& comp : data.component_list) {
    comp.width_in_blocks = 2;
    comp.height_in_blocks = 1;
    comp.coefficients.assign(128, 77);
  }
  RenderPlanes planes(16, 8);
  GroupRenderInput input = planes.Input(0, 0, 16, 8);
  ASSERT_TRUE(f.Decode(0, 0, 0, 1, &input, nullptr, &data).ok());
  EXPECT_EQ(planes.At(1, 0, 0), kSentinel);
  // YCbCr: Y -> component 0, X -> 1, B -> 2.
  const size_t comp_of[3] = {1, 0, 2};
  for (size_t bi = 0; bi < 2; ++bi) {
    for (size_t c = 0; c < 3; ++c) {
      const std::vector<int32_t> q = f.Quantised(blocks[bi], c);
      const int16_t* dst = data.component_list[comp_of[c]].coefficients.data() + 64 * bi;
      for (size_t r = 0; r < 8; ++r) {
        for (size_t k = 0; k < 8; ++k) {
          if (r == 0 && k == 0) continue;
          EXPECT_EQ(dst[8 * k + r], q[8 * r + k]) << bi << " " << c;
        }
      }
      const float dc = f.state.dc_image.PlaneRow(c, 0)[bi];
      const int expected_dc =
          static_cast<int>(std::max(-2047.0f, std::min(2047.0f, dc)));
      EXPECT_EQ(dst[0], expected_dc) << bi << " " << c;
    }
  }
  EXPECT_EQ(data.component_list[0].coefficients[0], 2047);
  EXPECT_EQ(data.component_list[0].coefficients[64], 0);

  // A colour transform of XYB cannot be rebuilt: nothing is read.
  f.header.color_transform = 0;
  f.WriteStreams({0});
  EXPECT_EQ(f.Decode(0, 0, 0, 1, &input, nullptr, &data).code(), StatusValue::Failed);
}

}  // namespace
}  // namespace qov
