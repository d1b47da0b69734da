// The VarDCT streams of the modular frame reader read on their own: DC
// coefficients into the DC image, block metadata into the per-block maps
// (with its placement checks, among them the block kind range), raw
// quantisation tables through the dequantisation reader's seam, the extra
// channels of a VarDCT frame that only the DC groups carry, and whole
// VarDCT files whose extra channels come with an AC pass before the last.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "lib/base/memory.h"
#include "lib/encode/write_fields.h"
#include "lib/frame/frame_decoding_state.h"
#include "lib/modular/modular_frame.h"
#include "lib/vardct/dequant_tables.h"
#include "lib/vardct/varblock.h"
#include "tests/modular/modular_frame_writer_helpers.h"
#include "tests/support/hook_decode.h"
#include "tests/support/pipeline_capture.h"

namespace qov {
namespace {

using modular_test::Leaf;
using modular_test::PutRawBits;
using modular_test::TestChannel;

std::vector<MaTreeNode> ZeroTree() { return modular_test::Flatten(Leaf(0)); }

TestChannel Channel(uint32_t w, uint32_t h, int32_t shift,
                    std::vector<int32_t> samples) {
  TestChannel c;
  c.width = w;
  c.height = h;
  c.hshift = c.vshift = shift;
  c.samples = std::move(samples);
  c.samples.resize(static_cast<size_t>(w) * h);
  return c;
}

// A VarDCT frame of w x h prepared as the frame driver prepares it.
struct VarDctFrame {
  VarDctFrame(uint32_t w, uint32_t h) : header(nullptr) {
    metadata.size.small = false;
    metadata.size.ratio = 0;
    metadata.size.xsize = w;
    metadata.size.ysize = h;
    metadata.m.all_default = false;
    header = FrameHeader(&metadata);
    header.encoding = static_cast<uint32_t>(FrameCoding::kVarDct);
    header.loop_filter.epf_iters = 0;
  }
  Status Prepare() {
    QOV_RETURN_IF_ERROR(PrepareSharedFrameState(header, &state, false));
    QOV_RETURN_IF_ERROR(state.ResetForFrame(header));
    for (size_t y = 0; y < state.varblock_kinds.plane.ysize(); ++y) {
      for (size_t x = 0; x < state.varblock_kinds.plane.xsize(); ++x) {
        state.varblock_kinds.Row(y)[x] = 0xFF;
      }
    }
    reader.SetGeometry(header.ComputeGeometry());
    reader.full_image.bit_depth = 8;
    return OkStatus();
  }
  std::vector<uint8_t> Bytes(BitWriter& writer) {
    const Span span = writer.GetSpan();
    return std::vector<uint8_t>(span.begin(), span.end());
  }

  CodecMetadata metadata;
  FrameHeader header;
  FrameDecodingState state{HeapMemoryManager()};
  ModularFrameReader reader{HeapMemoryManager()};
};

TEST(ReadDcCoefficientsTest, DequantisesIntoTheDcImage) {
  VarDctFrame f(64, 40);  // 8 x 5 blocks, one DC group
  ASSERT_TRUE(f.Prepare().ok());
  std::vector<TestChannel> channels;  // Y, X, B
  for (int c = 0; c < 3; ++c) {
    std::vector<int32_t> v;
    for (int i = 0; i < 40; ++i) v.push_back((i * 7 + c * 13) % 41 - 20);
    channels.push_back(Channel(8, 5, 0, v));
  }
  BitWriter writer(HeapMemoryManager());
  ASSERT_TRUE(PutRawBits(&writer, 2, 1).ok());  // extra precision 1
  ASSERT_TRUE(modular_test::WriteOneStream(GroupHeader(),
                                           modular_test::Flatten(Leaf(5)),
                                           modular_test::CodeOptions(),
                                           channels, 3, 1, &writer)
                  .ok());
  const std::vector<uint8_t> bytes = f.Bytes(writer);
  BitReader reader(Span(bytes.data(), bytes.size()));
  ASSERT_EQ(f.reader.ReadDcCoefficients(f.header, 0, reader, &f.state),
            OkStatus());
  ASSERT_TRUE(reader.Close().ok());
  const float* mul = f.state.quantizer.dc_multipliers;
  const float* cfl = f.state.cfl_map.dc_factors;
  for (uint32_t y = 0; y < 5; ++y) {
    for (uint32_t x = 0; x < 8; ++x) {
      const float qy = static_cast<float>(channels[0].at(x, y));
      const float qx = static_cast<float>(channels[1].at(x, y));
      const float qb = static_cast<float>(channels[2].at(x, y));
      const float vy = qy * mul[1] * 0.5f;
      const float vx = cfl[0] * vy + qx * mul[0] * 0.5f;
      const float vb = cfl[2] * vy + qb * mul[2] * 0.5f;
      EXPECT_NEAR(f.state.dc->PlaneRow(1, y)[x], vy, 1e-6f);
      EXPECT_NEAR(f.state.dc->PlaneRow(0, y)[x], vx, 1e-6f);
      EXPECT_NEAR(f.state.dc->PlaneRow(2, y)[x], vb, 1e-6f);
    }
  }
}

// Block metadata of one DC group: tiles X and B, kinds and quantisation,
// sharpness.
struct Metadata {
  int32_t tile_x = 0, tile_b = 0;
  std::vector<int32_t> kinds, quant;
  std::vector<int32_t> sharpness;  // per block
};

Status ReadMetadata(VarDctFrame& f, uint32_t bw, uint32_t bh,
                    const Metadata& m) {
  BitWriter writer(HeapMemoryManager());
  const uint64_t area = uint64_t{bw} * bh;
  uint32_t bits = 0;
  while ((uint64_t{1} << bits) < area) ++bits;
  const uint32_t count = static_cast<uint32_t>(m.kinds.size());
  QOV_RETURN_IF_ERROR(PutRawBits(&writer, bits, count - 1));
  const uint32_t tw = (bw + 7) / 8, th = (bh + 7) / 8;
  std::vector<int32_t> blocks = m.kinds;
  blocks.insert(blocks.end(), m.quant.begin(), m.quant.end());
  std::vector<TestChannel> channels = {
      Channel(tw, th, 3, std::vector<int32_t>(tw * th, m.tile_x)),
      Channel(tw, th, 3, std::vector<int32_t>(tw * th, m.tile_b)),
      Channel(count, 2, 0, blocks), Channel(bw, bh, 0, m.sharpness)};
  const FrameGeometry g = f.header.ComputeGeometry();
  QOV_RETURN_IF_ERROR(modular_test::WriteOneStream(
      GroupHeader(), ZeroTree(), modular_test::CodeOptions(), channels, 4,
      static_cast<int32_t>(1 + 2 * g.num_dc_groups), &writer));
  const std::vector<uint8_t> bytes = f.Bytes(writer);
  BitReader reader(Span(bytes.data(), bytes.size()));
  const Status status = f.reader.ReadBlockMetadata(f.header, 0, reader, &f.state);
  QOV_RETURN_IF_ERROR(reader.Close());
  return status;
}

TEST(ReadBlockMetadataTest, PlacesVarblocksAndFillsTheMaps) {
  VarDctFrame f(64, 64);  // 8 x 8 blocks
  ASSERT_TRUE(f.Prepare().ok());
  Metadata m;
  m.tile_x = 200;
  m.tile_b = -300;
  m.kinds.push_back(4);  // 16 x 16 at the top-left
  m.quant.push_back(300);
  for (int i = 0; i < 60; ++i) {
    m.kinds.push_back(0);
    m.quant.push_back(i - 3);
  }
  for (int i = 0; i < 64; ++i) m.sharpness.push_back(i % 8);
  ASSERT_EQ(ReadMetadata(f, 8, 8, m), OkStatus());
  const BytePlaneView& kinds = f.state.varblock_kinds;
  EXPECT_EQ(kinds.Row(0)[0], (4 << 1) | 1);
  EXPECT_EQ(kinds.Row(0)[1], 4 << 1);
  EXPECT_EQ(kinds.Row(1)[0], 4 << 1);
  EXPECT_EQ(kinds.Row(1)[1], 4 << 1);
  EXPECT_EQ(kinds.Row(0)[2], 1);
  EXPECT_EQ(kinds.Row(7)[7], 1);
  EXPECT_EQ(f.state.raw_quant_field.Row(0)[0], 256);  // clamped to 255
  EXPECT_EQ(f.state.raw_quant_field.Row(0)[2], 1);    // -3 clamped to 0
  EXPECT_EQ(f.state.raw_quant_field.Row(7)[7], 1 + 56);
  EXPECT_EQ(f.state.epf_sharpness.Row(3)[5], (3 * 8 + 5) % 8);
  EXPECT_EQ(f.state.cfl_map.ytox_map.Row(0)[0], 127);
  EXPECT_EQ(f.state.cfl_map.ytob_map.Row(0)[0], -128);
  EXPECT_EQ(f.state.used_varblock_kinds.load(), (1u << 0) | (1u << 4));
}

Metadata AllDct8(uint32_t blocks) {
  Metadata m;
  for (uint32_t i = 0; i < blocks; ++i) {
    m.kinds.push_back(0);
    m.quant.push_back(5);
    m.sharpness.push_back(0);
  }
  return m;
}

TEST(ReadBlockMetadataTest, BlockKindMustLieInZeroToTwentySix) {
  for (int32_t kind : {-1, -2147483647, 27, 1000}) {
    VarDctFrame f(16, 16);
    ASSERT_TRUE(f.Prepare().ok());
    Metadata m = AllDct8(4);
    m.kinds[1] = kind;
    EXPECT_EQ(ReadMetadata(f, 2, 2, m), FailedStatus()) << kind;
  }
  for (int32_t kind : {0, 1, 2, 3, 12, 13, 14, 15, 16, 17}) {
    VarDctFrame f(16, 16);
    ASSERT_TRUE(f.Prepare().ok());
    Metadata m = AllDct8(4);
    m.kinds[1] = kind;  // single-block kinds
    EXPECT_EQ(ReadMetadata(f, 2, 2, m), OkStatus()) << kind;
  }
}

TEST(ReadBlockMetadataTest, PlacementChecks) {
  {  // Sharpness outside 0..7.
    VarDctFrame f(16, 16);
    ASSERT_TRUE(f.Prepare().ok());
    Metadata m = AllDct8(4);
    m.sharpness[3] = 8;
    EXPECT_EQ(ReadMetadata(f, 2, 2, m), FailedStatus());
    m.sharpness[3] = -1;
    VarDctFrame g(16, 16);
    ASSERT_TRUE(g.Prepare().ok());
    EXPECT_EQ(ReadMetadata(g, 2, 2, m), FailedStatus());
  }
  {  // Fewer varblocks than blocks to fill.
    VarDctFrame f(16, 16);
    ASSERT_TRUE(f.Prepare().ok());
    Metadata m = AllDct8(4);
    m.kinds.pop_back();
    m.quant.pop_back();
    EXPECT_EQ(ReadMetadata(f, 2, 2, m), FailedStatus());
  }
  {  // A 16 x 16 varblock past the frame's bottom edge.
    VarDctFrame f(16, 8);
    ASSERT_TRUE(f.Prepare().ok());
    Metadata m = AllDct8(2);
    m.kinds[0] = 4;
    m.kinds.pop_back();
    m.quant.pop_back();
    EXPECT_EQ(ReadMetadata(f, 2, 1, m), FailedStatus());
  }
  {  // A 16 x 16 varblock across the AC-group border at block 32.
    VarDctFrame f(34 * 8, 16);
    ASSERT_TRUE(f.Prepare().ok());
    Metadata m = AllDct8(34 * 2);
    m.kinds[31] = 4;
    EXPECT_EQ(ReadMetadata(f, 34, 2, m), FailedStatus());
    VarDctFrame g(34 * 8, 16);
    ASSERT_TRUE(g.Prepare().ok());
    Metadata ok = AllDct8(34 * 2 - 3);
    ok.kinds[30] = 4;  // blocks 30, 31 of rows 0 and 1: inside the group
    ok.sharpness.resize(34 * 2, 0);
    EXPECT_EQ(ReadMetadata(g, 34, 2, ok), OkStatus());
  }
  {  // Overlapping varblocks: an 8 x 16 at block (1, 0) reaches down to
     // (1, 1), where the 16 x 8 starting at (0, 1) also lies.
    VarDctFrame f(16, 16);
    ASSERT_TRUE(f.Prepare().ok());
    Metadata m = AllDct8(3);
    m.kinds = {0, 6, 7};
    m.sharpness.resize(4, 0);
    EXPECT_EQ(ReadMetadata(f, 2, 2, m), FailedStatus());
    VarDctFrame g(16, 16);
    ASSERT_TRUE(g.Prepare().ok());
    m.kinds = {0, 6, 0};  // an 8 x 8 at (0, 1) fits beside it
    EXPECT_EQ(ReadMetadata(g, 2, 2, m), OkStatus());
    EXPECT_EQ(g.state.varblock_kinds.Row(1)[1], 6 << 1);
  }
  {  // Multi-block kinds need full-resolution chroma.
    VarDctFrame f(16, 16);
    f.header.chroma_subsampling.channel_mode[0] = 1;
    f.header.chroma_subsampling.channel_mode[2] = 1;
    f.header.chroma_subsampling.max_hshift = 1;
    f.header.chroma_subsampling.max_vshift = 1;
    f.header.flags |= FrameFlags::kSkipAdaptiveDcSmoothing;
    ASSERT_TRUE(f.Prepare().ok());
    Metadata m = AllDct8(1);
    m.kinds[0] = 4;
    m.sharpness.resize(4, 0);
    EXPECT_EQ(ReadMetadata(f, 2, 2, m), FailedStatus());
  }
}

// Writes a raw table: its half-float denominator and the stream.
Status WriteRawTable(float denominator, const std::vector<int32_t>& values,
                     uint32_t w, uint32_t h, int32_t stream, BitWriter* writer) {
  uint32_t half = 0;
  QOV_ENSURE(FloatToHalfBits(denominator, &half));
  QOV_RETURN_IF_ERROR(PutRawBits(writer, 16, half));
  std::vector<TestChannel> channels;
  for (uint32_t c = 0; c < 3; ++c) {
    channels.push_back(Channel(
        w, h, 0,
        std::vector<int32_t>(values.begin() + c * w * h,
                             values.begin() + (c + 1) * w * h)));
  }
  return modular_test::WriteOneStream(GroupHeader(),
                                      modular_test::Flatten(Leaf(5)),
                                      modular_test::CodeOptions(), channels, 3,
                                      stream, writer);
}

TEST(ReadRawQuantMatrixTest, ThroughTheDequantisationSeam) {
  VarDctFrame f(64, 64);
  ASSERT_TRUE(f.Prepare().ok());
  std::vector<int32_t> values(3 * 64);
  for (size_t i = 0; i < values.size(); ++i) values[i] = 1 + (i * 37) % 250;
  BitWriter writer(HeapMemoryManager());
  ASSERT_TRUE(PutRawBits(&writer, 1, 0).ok());  // not all default
  ASSERT_TRUE(PutRawBits(&writer, 3, 7).ok());  // table kind 0 raw
  const FrameGeometry g = f.header.ComputeGeometry();
  ASSERT_TRUE(WriteRawTable(0.5f, values, 8, 8,
                            static_cast<int32_t>(1 + 3 * g.num_dc_groups),
                            &writer)
                  .ok());
  for (int k = 1; k < 17; ++k) ASSERT_TRUE(PutRawBits(&writer, 3, 0).ok());
  const std::vector<uint8_t> bytes = f.Bytes(writer);
  BitReader reader(Span(bytes.data(), bytes.size()));
  ASSERT_EQ(f.state.dequant.ReadSpecs(HeapMemoryManager(), &reader, &f.reader),
            OkStatus());
  ASSERT_TRUE(reader.Close().ok());
  const DequantTableSpec& spec = f.state.dequant.spec(DequantTableKind::Dct8By8);
  EXPECT_EQ(spec.mode, DequantSpecMode::Raw);
  EXPECT_EQ(spec.denominator, 0.5f);
  EXPECT_EQ(spec.raw, values);
}

TEST(ReadRawQuantMatrixTest, ChecksAndStreams) {
  std::vector<int32_t> values(3 * 8 * 16, 3);
  auto read = [&](float denominator, const std::vector<int32_t>& v,
                  int32_t stream, uint64_t q, const ModularFrameReader* fr,
                  DequantTableSpec* spec) {
    BitWriter writer(HeapMemoryManager());
    EXPECT_TRUE(WriteRawTable(denominator, v, 8, 16, stream, &writer).ok());
    const Span span = writer.GetSpan();
    std::vector<uint8_t> bytes(span.begin(), span.end());
    BitReader reader(Span(bytes.data(), bytes.size()));
    const Status status = ModularFrameReader::ReadRawQuantMatrix(
        HeapMemoryManager(), 8, 16, reader, spec, q, fr);
    (void)reader.Close();
    return status;
  };
  DequantTableSpec spec;
  // Without a frame reader: stream 0, no global tree.
  EXPECT_EQ(read(1.0f, values, 0, 3, nullptr, &spec), OkStatus());
  EXPECT_EQ(spec.raw.size(), values.size());
  // A second read into the same spec keeps the size.
  EXPECT_EQ(read(1.0f, values, 0, 3, nullptr, &spec), OkStatus());
  DequantTableSpec other;
  other.raw.assign(5, 1);
  EXPECT_EQ(read(1.0f, values, 0, 3, nullptr, &other), FailedStatus());
  // A non-positive entry.
  std::vector<int32_t> bad = values;
  bad[100] = 0;
  DequantTableSpec s2;
  EXPECT_EQ(read(1.0f, bad, 0, 3, nullptr, &s2), FailedStatus());
  // A denominator below 1e-8 (a half float of 0).
  DequantTableSpec s3;
  EXPECT_EQ(read(0.0f, values, 0, 3, nullptr, &s3), FailedStatus());
  // With a frame reader: table index at most 16.
  ModularFrameReader fr(HeapMemoryManager());
  FrameGeometry g;
  g.num_dc_groups = 1;
  fr.SetGeometry(g);
  DequantTableSpec s4;
  EXPECT_EQ(read(1.0f, values, 1 + 3 + 16, 16, &fr, &s4), OkStatus());
  DequantTableSpec s5;
  EXPECT_EQ(read(1.0f, values, 1 + 3 + 17, 17, &fr, &s5), FailedStatus());
}

// A VarDCT frame whose only extra channel is stored at 1/8 resolution and is
// wider than a group: the DC groups decode it, nothing else does, so the
// full image must be kept and flushed (it used to be released and the
// channel never reached the pipeline).
TEST(VarDctExtraChannelsTest, ShiftThreeChannelsSpanningGroupsAreKept) {
  VarDctFrame f(2056, 16);
  ExtraChannelInfo info;
  info.all_default = false;
  info.type = static_cast<uint32_t>(ExtraChannelKind::kDepth);
  info.bit_depth.bits_per_sample = 8;
  f.metadata.m.extra_channel_info.push_back(info);
  f.metadata.m.num_extra_channels = 1;
  f.header.ec_upsampling = {8};
  f.header.ec_blending_info.resize(1);
  ASSERT_TRUE(f.Prepare().ok());
  const FrameGeometry g = f.header.ComputeGeometry();
  ASSERT_EQ(g.num_dc_groups, 2u);

  // DC global: no global tree; the channel (257 x 2) is too wide for the
  // global stream, which holds only its header.
  TestChannel channel = Channel(257, 2, 3, {});
  for (uint32_t i = 0; i < 514; ++i) channel.samples[i] = (i * 11) % 256;
  BitWriter global(HeapMemoryManager());
  ASSERT_TRUE(PutRawBits(&global, 1, 0).ok());
  ASSERT_TRUE(modular_test::WriteOneStream(GroupHeader(), ZeroTree(),
                                           modular_test::CodeOptions(),
                                           {channel}, 0, 0, &global)
                  .ok());
  std::vector<uint8_t> bytes = f.Bytes(global);
  BitReader reader(Span(bytes.data(), bytes.size()));
  ASSERT_EQ(f.reader.ReadGlobalSection(reader, f.header), OkStatus());
  ASSERT_TRUE(reader.Close().ok());
  EXPECT_FALSE(f.reader.has_global_channels);
  EXPECT_TRUE(f.reader.all_same_shift);

  for (uint64_t i = 0; i < 2; ++i) {
    const PixelRect rect{i * 2048, 0, 2048, 2048};
    TestChannel part = modular_test::CutChannel(channel, rect.x0, rect.y0,
                                                rect.xsize, rect.ysize);
    BitWriter writer(HeapMemoryManager());
    ASSERT_TRUE(modular_test::WriteOneStream(
                    GroupHeader(), modular_test::Flatten(Leaf(5)),
                    modular_test::CodeOptions(), {part}, 1,
                    static_cast<int32_t>(1 + 2 + i), &writer)
                    .ok());
    bytes = f.Bytes(writer);
    BitReader group(Span(bytes.data(), bytes.size()));
    ASSERT_EQ(f.reader.ReadGroupRect(f.header, rect, &group, 3, 1000,
                                     ModularStreamKey::ModularDc(i), nullptr,
                                     nullptr, nullptr),
              OkStatus());
    ASSERT_TRUE(group.Close().ok());
  }
  f.reader.ReleaseUnusedImage();
  EXPECT_TRUE(f.reader.UsesFullImage());

  std::vector<test::ChannelCaptureStage*> captures;
  f.state.stand_in_stages = [&](const FrameHeader&, size_t n) {
    return test::CaptureStages(n, {0, 0, 0, 3}, &captures);
  };
  ASSERT_TRUE(f.state
                  .BuildRenderPipeline(f.header, f.metadata, nullptr,
                                       RenderOptions())
                  .ok());
  ASSERT_EQ(f.reader.FlushToPipeline(f.header, &f.state, nullptr, true),
            OkStatus());
  ASSERT_EQ(captures.size(), 4u);
  const test::ChannelCaptureStage& got = *captures[3];
  ASSERT_EQ(got.xsize, 257u);
  ASSERT_EQ(got.ysize, 2u);
  EXPECT_TRUE(got.AllWrittenOnce());
  for (uint32_t y = 0; y < 2; ++y) {
    for (uint32_t x = 0; x < 257; ++x) {
      ASSERT_EQ(got.at(x, y),
                static_cast<float>(channel.at(x, y)) * (1.0f / 255.0f));
    }
  }
}

constexpr uint32_t kW = 600, kH = 300;

// A kW x kH VarDCT file (6 groups of 256, one DC group) with one 8-bit
// extra channel stored at 1 / `factor` of the frame's resolution, each group
// of it one value, written with `passes`.
std::vector<uint8_t> FlatVarDctFile(const Passes& passes, uint32_t factor) {
  CodecMetadata metadata = modular_test::PlainMetadata(kW, kH);
  metadata.m.xyb_encoded = true;
  modular_test::AddExtraChannel(&metadata, ExtraChannelKind::kDepth);
  modular_test::ModularFrameSpec spec(&metadata);
  spec.header.all_default = false;
  spec.header.encoding = static_cast<uint32_t>(FrameCoding::kVarDct);
  spec.header.group_size_shift = 1;  // VarDCT groups are 256 wide
  spec.header.loop_filter.gab = false;
  spec.header.loop_filter.epf_iters = 0;
  spec.header.passes = passes;
  spec.header.ec_upsampling = {factor};
  spec.header.ec_blending_info.resize(1);
  spec.tree = modular_test::Flatten(Leaf(5));
  int32_t shift = 0;
  while ((1u << shift) < factor) ++shift;
  const uint32_t w = (kW + factor - 1) / factor, h = (kH + factor - 1) / factor;
  TestChannel channel = Channel(w, h, shift, {});
  const uint32_t group = 256 / factor;  // a group's side in channel samples
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      channel.at(x, y) =
          static_cast<int32_t>(30 + 40 * ((y / group) * 3 + x / group));
    }
  }
  spec.channels.push_back(channel);
  const int32_t dc[3] = {40, 3, -5};
  modular_test::SetFlatVarDctParts(&spec, dc);
  std::vector<uint8_t> file, frame;
  EXPECT_TRUE(modular_test::WriteImageHeader(metadata, &file).ok());
  EXPECT_TRUE(modular_test::WriteModularFrame(spec, &frame).ok());
  file.insert(file.end(), frame.begin(), frame.end());
  return file;
}

// Equal outputs, or where the first difference lies.
testing::AssertionResult SameBytes(const std::vector<uint8_t>& got,
                                   const std::vector<uint8_t>& want) {
  if (got.size() != want.size()) {
    return testing::AssertionFailure()
           << got.size() << " bytes, " << want.size() << " expected";
  }
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i] != want[i]) {
      return testing::AssertionFailure() << "first difference at byte " << i;
    }
  }
  return testing::AssertionSuccess();
}

// Extra channels decoded by an AC pass before the last: the group is drawn
// when its last pass comes, which carries none of them, so the full image
// must keep them until the frame is flushed (they used to be dropped after
// the DC and, streamed pass by pass, no group was ever drawn).
TEST(VarDctExtraChannelsTest, ChannelsOfAnEarlierPassReachEveryGroup) {
  struct Case {
    const char* what;
    uint32_t num_passes;
    std::vector<std::pair<uint32_t, uint32_t>> steps;  // downsample, last pass
    uint32_t factor;
  };
  const Case cases[] = {
      {"shift 1 in pass 0 of 2", 2, {{2, 0}}, 2},
      {"shift 1 in pass 1 of 3", 3, {{2, 1}}, 2},
      {"shift 2 in pass 0 of 3", 3, {{4, 0}, {2, 1}}, 4},
      {"shift 1 in the last pass", 2, {}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Passes passes;
    passes.num_passes = c.num_passes;
    passes.num_downsample = static_cast<uint32_t>(c.steps.size());
    for (size_t i = 0; i < c.steps.size(); ++i) {
      passes.downsample[i] = c.steps[i].first;
      passes.last_pass[i] = c.steps[i].second;
    }
    const std::vector<uint8_t> file = FlatVarDctFile(passes, c.factor);
    // The same frame in one pass, whose groups take the channel directly.
    const std::vector<uint8_t> single = FlatVarDctFile(Passes(), c.factor);
    HookDecodeOptions options;
    options.extra_channel = 0;
    const HookDecodeResult want = HookDecode(single, options);
    ASSERT_TRUE(want.ok) << want.error;
    ASSERT_EQ(want.extra_frames.size(), 1u);
    // Each group's value inside it, away from where upsampling blends it
    // with the next group.
    std::vector<float> extra(kW * kH);
    std::memcpy(extra.data(), want.extra_frames[0].data(),
                extra.size() * sizeof(float));
    for (uint32_t y = 0; y < kH; ++y) {
      for (uint32_t x = 0; x < kW; ++x) {
        if (x % 256 < 8 || x % 256 >= 248 || y % 256 < 8 || y % 256 >= 248 ||
            x >= kW - 8 || y >= kH - 8) {
          continue;
        }
        const float value =
            (30.0f + 40.0f * ((y / 256) * 3 + x / 256)) / 255.0f;
        ASSERT_NEAR(extra[y * kW + x], value, 1e-5f) << x << ", " << y;
      }
    }
    for (size_t chunk : {size_t{0}, size_t{1}, size_t{13}}) {
      options.chunk = chunk;
      const HookDecodeResult got = HookDecode(file, options);
      ASSERT_TRUE(got.ok) << got.error << ", chunks of " << chunk;
      ASSERT_EQ(got.extra_frames.size(), 1u);
      ASSERT_EQ(got.frames.size(), 1u);
      EXPECT_TRUE(SameBytes(got.extra_frames[0], want.extra_frames[0]))
          << "extra channel, chunks of " << chunk;
      EXPECT_TRUE(SameBytes(got.frames[0], want.frames[0]))
          << "colour, chunks of " << chunk;
    }
  }
}

}  // namespace
}  // namespace qov

