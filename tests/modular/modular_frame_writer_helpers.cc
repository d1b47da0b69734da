// Whole modular frames for the frame reader's tests.
#include "tests/modular/modular_frame_writer_helpers.h"

#include <algorithm>

#include "lib/base/bits.h"
#include "lib/base/memory.h"
#include "lib/encode/entropy_writer.h"
#include "lib/encode/write_fields.h"
#include "lib/frame/frame_driver.h"
#include "lib/frame/toc.h"
#include "lib/vardct/coefficient_order.h"
#include "lib/vardct/quantizer.h"

namespace qov::modular_test {

namespace {

constexpr U32Coding kTocSizeCoding(Bits(10), BitsOffset(14, 1024),
                                   BitsOffset(22, 17408),
                                   BitsOffset(30, 4211712));

uint64_t Shr(uint64_t v, int32_t s) { return s <= 0 ? v : v >> s; }

std::vector<uint8_t> Padded(const BitWriter& writer) {
  const Span span = writer.GetSpan();
  return std::vector<uint8_t>(span.begin(), span.end());
}

// One sub-stream of the frame.
struct Stream {
  GroupHeader header;
  std::vector<TestChannel> channels;
  size_t end = 0;  // channels [0, end) are coded
  int32_t id = 0;
  std::vector<Token> tokens;  // with the global tree
  bool any = false;           // some coded channel is not empty
};

}  // namespace

uint64_t AcStreamNumber(const FrameGeometry& geometry, uint64_t pass,
                        uint64_t group) {
  return 18 + 3 * geometry.num_dc_groups + pass * geometry.num_groups + group;
}

CodecMetadata PlainMetadata(uint32_t width, uint32_t height) {
  CodecMetadata metadata;
  metadata.size.small = false;
  metadata.size.ratio = 0;
  metadata.size.xsize = width;
  metadata.size.ysize = height;
  metadata.m.all_default = false;
  metadata.m.xyb_encoded = false;
  metadata.m.bit_depth.bits_per_sample = 8;
  return metadata;
}

void AddExtraChannel(CodecMetadata* metadata, ExtraChannelKind kind,
                     bool alpha_associated) {
  ExtraChannelInfo info;
  info.all_default = false;
  info.type = static_cast<uint32_t>(kind);
  info.bit_depth.bits_per_sample = 8;
  info.alpha_associated = alpha_associated;
  metadata->m.extra_channel_info.push_back(info);
  metadata->m.num_extra_channels = static_cast<uint32_t>(metadata->m.extra_channel_info.size());
}

Status WriteImageHeader(const CodecMetadata& metadata,
                        std::vector<uint8_t>* bytes) {
  BitWriter writer(HeapMemoryManager());
  QOV_RETURN_IF_ERROR(WriteCodestreamSignature(&writer, nullptr));
  QOV_RETURN_IF_ERROR(
      Bundle::Write(metadata.size, &writer, LayerType::kHeader, nullptr));
  QOV_RETURN_IF_ERROR(
      Bundle::Write(metadata.m, &writer, LayerType::kHeader, nullptr));
  CustomTransformData transform = metadata.transform_data;
  transform.xyb = metadata.m.xyb_encoded;
  QOV_RETURN_IF_ERROR(
      Bundle::Write(transform, &writer, LayerType::kHeader, nullptr));
  QOV_RETURN_IF_ERROR(writer.WithBitBudget(8, LayerType::kHeader, nullptr, [&]() {
    writer.ZeroPadToByte();
    return OkStatus();
  }));
  const Span span = writer.GetSpan();
  bytes->assign(span.data, span.data + span.size);
  return OkStatus();
}

Status PutRawBits(BitWriter* writer, uint32_t bits, uint64_t value) {
  return writer->WithBitBudget(bits, LayerType::kHeader, nullptr,
                               [&]() -> Status {
                                 writer->PutBits(bits, value);
                                 return OkStatus();
                               });
}

TestChannel CutChannel(const TestChannel& channel, uint64_t x0, uint64_t y0,
                       uint64_t xsize, uint64_t ysize) {
  TestChannel out;
  out.hshift = channel.hshift;
  out.vshift = channel.vshift;
  const uint64_t cx0 = Shr(x0, channel.hshift);
  const uint64_t cy0 = Shr(y0, channel.vshift);
  const uint64_t w = Shr(xsize, channel.hshift);
  const uint64_t h = Shr(ysize, channel.vshift);
  out.width = cx0 >= channel.width
                  ? 0
                  : static_cast<uint32_t>(std::min<uint64_t>(w, channel.width - cx0));
  out.height = cy0 >= channel.height
                   ? 0
                   : static_cast<uint32_t>(std::min<uint64_t>(h, channel.height - cy0));
  out.samples.resize(static_cast<size_t>(out.width) * out.height);
  for (uint32_t y = 0; y < out.height; ++y) {
    for (uint32_t x = 0; x < out.width; ++x) {
      out.at(x, y) = channel.at(cx0 + x, cy0 + y);
    }
  }
  return out;
}

Status WriteOneStream(const GroupHeader& header,
                      const std::vector<MaTreeNode>& tree,
                      const CodeOptions& code, std::vector<TestChannel> channels,
                      size_t end, int32_t stream_id, BitWriter* writer) {
  StreamSpec spec;
  spec.header = header;
  spec.header.use_global_tree = false;
  spec.tree = tree;
  spec.tree_code = code;
  spec.data_code = code;
  spec.stream_id = stream_id;
  channels.resize(end);
  return WriteModularStream(spec, channels, writer);
}

Status AssembleFrame(const FrameHeader& header,
                     const std::vector<std::vector<uint8_t>>& sections,
                     std::vector<uint8_t>* bytes) {
  BitWriter writer(HeapMemoryManager());
  FrameHeader copy = header;
  QOV_RETURN_IF_ERROR(
      Bundle::Write(copy, &writer, LayerType::kHeader, nullptr));
  QOV_RETURN_IF_ERROR(writer.WithBitBudget(
      16 + 40 * sections.size(), LayerType::kToc, nullptr, [&]() -> Status {
        writer.PutBits(1, 0);  // not permuted
        writer.ZeroPadToByte();
        for (const auto& section : sections) {
          QOV_RETURN_IF_ERROR(WriteCodedU32(
              kTocSizeCoding, static_cast<uint32_t>(section.size()), &writer));
        }
        writer.ZeroPadToByte();
        return OkStatus();
      }));
  *bytes = Padded(writer);
  for (const auto& section : sections) {
    bytes->insert(bytes->end(), section.begin(), section.end());
  }
  return OkStatus();
}

Status WriteModularFrame(const ModularFrameSpec& spec,
                         std::vector<uint8_t>* bytes) {
  const QovMemoryManagerStruct* manager = HeapMemoryManager();
  const FrameGeometry geometry = spec.header.ComputeGeometry();
  const uint64_t group_dim = geometry.group_dim;
  const uint64_t num_dc = geometry.num_dc_groups;
  const uint64_t num_groups = geometry.num_groups;
  const uint64_t num_passes = spec.header.passes.num_passes;

  // The global stream: every channel up to the first non-meta channel too
  // large for one group.
  size_t first = spec.meta_channel_count;
  while (first < spec.channels.size() &&
         spec.channels[first].width <= group_dim &&
         spec.channels[first].height <= group_dim) {
    ++first;
  }
  std::vector<Stream> streams;
  {
    Stream s;
    s.header = spec.global_header;
    s.channels = spec.channels;
    s.end = first;
    s.id = 0;
    streams.push_back(std::move(s));
  }
  auto group_stream = [&](uint64_t x0, uint64_t y0, uint64_t dim, int32_t lo,
                          int32_t hi, int32_t id) {
    Stream s;
    s.id = id;
    for (size_t i = first; i < spec.channels.size(); ++i) {
      const TestChannel& c = spec.channels[i];
      const int32_t shift = std::min(c.hshift, c.vshift);
      if (shift < lo || shift > hi) continue;
      TestChannel part = CutChannel(c, x0, y0, dim, dim);
      if (part.width == 0 || part.height == 0) continue;
      s.channels.push_back(std::move(part));
    }
    s.end = s.channels.size();
    return s;
  };
  const uint64_t dc_across = geometry.xsize_dc_groups;
  for (uint64_t i = 0; i < num_dc; ++i) {
    streams.push_back(group_stream((i % dc_across) * geometry.dc_group_dim,
                                   (i / dc_across) * geometry.dc_group_dim,
                                   geometry.dc_group_dim, 3, 1000,
                                   static_cast<int32_t>(1 + num_dc + i)));
  }
  for (uint64_t p = 0; p < num_passes; ++p) {
    int32_t lo = 0, hi = 0;
    ModularShiftBracket(spec.header.passes, p, &lo, &hi);
    for (uint64_t g = 0; g < num_groups; ++g) {
      streams.push_back(group_stream(
          (g % geometry.xsize_groups) * group_dim,
          (g / geometry.xsize_groups) * group_dim, group_dim, lo, hi,
          static_cast<int32_t>(AcStreamNumber(geometry, p, g))));
    }
  }
  for (Stream& s : streams) {
    s.header.use_global_tree = spec.global_tree;
    for (size_t i = 0; i < s.end; ++i) {
      if (s.channels[i].width != 0 && s.channels[i].height != 0) s.any = true;
    }
  }

  // DC global: the features, DC steps all default, the VarDCT globals, the
  // global tree flag (and tree).
  BitWriter dc_global(manager);
  if (spec.features) QOV_RETURN_IF_ERROR(spec.features(&dc_global));
  QOV_RETURN_IF_ERROR(PutRawBits(&dc_global, 1, 1));
  if (spec.vardct_global) QOV_RETURN_IF_ERROR(spec.vardct_global(&dc_global));
  QOV_RETURN_IF_ERROR(PutRawBits(&dc_global, 1, spec.global_tree ? 1 : 0));
  EntropyEncodingData codes;
  const size_t contexts = (spec.tree.size() + 1) / 2;
  if (spec.global_tree) {
    QOV_RETURN_IF_ERROR(WriteTree(spec.tree, spec.code, &dc_global));
    std::vector<std::vector<Token>> all;
    HistogramParams p;
    p.force_prefix_codes = spec.code.prefix_codes;
    p.choose_code_kind = spec.code.prefix_codes;
    p.lz77_mode = spec.code.lz77_mode;
    p.clustering_mode = spec.code.clustering_mode;
    for (Stream& s : streams) {
      if (!s.any) continue;
      s.tokens = ChannelTokens(spec.tree, s.channels, 0, s.end, s.id,
                               s.header.wp_header);
      all.push_back(s.tokens);
      uint32_t width = 0;
      for (size_t i = 0; i < s.end; ++i) width = std::max(width, s.channels[i].width);
      p.stream_widths.push_back(width);
    }
    if (all.empty()) all.emplace_back();
    QOV_ASSIGN_OR_RETURN(size_t cost,
                         BuildAndEncodeHistograms(manager, p, contexts, all,
                                                  &codes, &dc_global,
                                                  LayerType::kModularTree,
                                                  nullptr));
    (void)cost;
  }
  auto write_stream = [&](const Stream& s, BitWriter* writer) -> Status {
    if (s.channels.empty()) return OkStatus();  // nothing is read
    if (!spec.global_tree) {
      return WriteOneStream(s.header, spec.tree, spec.code, s.channels, s.end,
                            s.id, writer);
    }
    QOV_RETURN_IF_ERROR(
        Bundle::Write(s.header, writer, LayerType::kModularGlobal, nullptr));
    if (!s.any) return OkStatus();
    return WriteTokens(s.tokens, codes, 0, writer, LayerType::kModularTree,
                       nullptr);
  };
  QOV_RETURN_IF_ERROR(write_stream(streams[0], &dc_global));

  std::vector<BitWriter> parts;
  parts.push_back(std::move(dc_global));
  for (uint64_t i = 0; i < num_dc; ++i) {
    parts.emplace_back(manager);
    if (spec.vardct_dc) QOV_RETURN_IF_ERROR(spec.vardct_dc(i, &parts.back()));
    QOV_RETURN_IF_ERROR(write_stream(streams[1 + i], &parts.back()));
    if (spec.vardct_metadata) {
      QOV_RETURN_IF_ERROR(spec.vardct_metadata(i, &parts.back()));
    }
  }
  parts.emplace_back(manager);  // AC global: nothing for modular frames
  if (spec.ac_global) QOV_RETURN_IF_ERROR(spec.ac_global(&parts.back()));
  for (uint64_t k = 0; k < num_passes * num_groups; ++k) {
    parts.emplace_back(manager);
    if (spec.vardct_ac) {
      QOV_RETURN_IF_ERROR(
          spec.vardct_ac(k / num_groups, k % num_groups, &parts.back()));
    }
    QOV_RETURN_IF_ERROR(write_stream(streams[1 + num_dc + k], &parts.back()));
  }
  std::vector<std::vector<uint8_t>> sections;
  if (num_groups == 1 && num_passes == 1) {
    BitWriter all(manager);
    for (const BitWriter& part : parts) {
      QOV_RETURN_IF_ERROR(all.AppendUnaligned(part));
    }
    sections.push_back(Padded(all));
  } else {
    for (const BitWriter& part : parts) sections.push_back(Padded(part));
  }
  return AssembleFrame(spec.header, sections, bytes);
}

namespace {

TestChannel FilledChannel(uint64_t w, uint64_t h, int32_t shift,
                          int32_t value) {
  TestChannel c;
  c.width = static_cast<uint32_t>(w);
  c.height = static_cast<uint32_t>(h);
  c.hshift = c.vshift = shift;
  c.samples.assign(static_cast<size_t>(w) * h, value);
  return c;
}

// A DC group's rectangle in blocks (one DC group covers group_dim blocks
// across and down).
void DcGroupBlocks(const FrameGeometry& g, uint64_t dc_group, uint64_t* x0,
                   uint64_t* y0, uint64_t* xsize, uint64_t* ysize) {
  *x0 = (dc_group % g.xsize_dc_groups) * g.group_dim;
  *y0 = (dc_group / g.xsize_dc_groups) * g.group_dim;
  *xsize = std::min(g.group_dim, g.xsize_blocks - *x0);
  *ysize = std::min(g.group_dim, g.ysize_blocks - *y0);
}

}  // namespace

void SetFlatVarDctParts(ModularFrameSpec* spec, const int32_t dc[3]) {
  const FrameHeader header = spec->header;
  const FrameGeometry g = header.ComputeGeometry();
  const std::vector<MaTreeNode> tree = Flatten(Leaf(0));
  spec->vardct_global = [](BitWriter* writer) -> Status {
    QuantizerParams quantizer;
    quantizer.global_scale = 1024;
    quantizer.quant_dc = 64;
    QOV_RETURN_IF_ERROR(
        Bundle::Write(quantizer, writer, LayerType::kHeader, nullptr));
    return PutRawBits(writer, 2, 3);  // block contexts, DC factors default
  };
  const std::vector<int32_t> dc_values(dc, dc + 3);
  spec->vardct_dc = [g, tree, dc_values](uint64_t i, BitWriter* writer) {
    uint64_t x0, y0, w, h;
    DcGroupBlocks(g, i, &x0, &y0, &w, &h);
    QOV_RETURN_IF_ERROR(PutRawBits(writer, 2, 0));  // no extra precision
    std::vector<TestChannel> channels;
    for (int32_t v : dc_values) channels.push_back(FilledChannel(w, h, 0, v));
    return WriteOneStream(GroupHeader(), tree, CodeOptions(), channels, 3,
                          static_cast<int32_t>(1 + i), writer);
  };
  spec->vardct_metadata = [g, tree](uint64_t i, BitWriter* writer) {
    uint64_t x0, y0, w, h;
    DcGroupBlocks(g, i, &x0, &y0, &w, &h);
    const uint64_t count = w * h;  // one varblock per block
    QOV_RETURN_IF_ERROR(PutRawBits(writer, CeilLog2(count), count - 1));
    TestChannel blocks = FilledChannel(count, 2, 0, 0);
    for (uint64_t k = 0; k < count; ++k) blocks.at(k, 1) = 8;  // quantisation
    const std::vector<TestChannel> channels = {
        FilledChannel((w + 7) / 8, (h + 7) / 8, 3, 0),
        FilledChannel((w + 7) / 8, (h + 7) / 8, 3, 0), blocks,
        FilledChannel(w, h, 0, 0)};
    return WriteOneStream(GroupHeader(), tree, CodeOptions(), channels, 4,
                          static_cast<int32_t>(1 + 2 * g.num_dc_groups + i),
                          writer);
  };
  const uint64_t num_passes = header.passes.num_passes;
  spec->ac_global = [g, num_passes](BitWriter* writer) -> Status {
    QOV_RETURN_IF_ERROR(PutRawBits(writer, 1, 1));  // default tables
    QOV_RETURN_IF_ERROR(PutRawBits(writer, CeilLog2(g.num_groups), 0));
    for (uint64_t p = 0; p < num_passes; ++p) {
      QOV_RETURN_IF_ERROR(writer->WithBitBudget(
          32, LayerType::kAc, nullptr,
          [&]() { return WriteCodedU32(kCodedOrdersCoding, 0, writer); }));
      // Every context of the default block contexts (15) codes symbol 0.
      HistogramParams params;
      params.force_prefix_codes = true;
      params.choose_code_kind = true;
      std::vector<std::vector<Token>> tokens = {{Token(0, 0)}};
      EntropyEncodingData codes;
      QOV_ASSIGN_OR_RETURN(
          size_t cost,
          BuildAndEncodeHistograms(writer->memory_manager(), params, 495 * 15,
                                   tokens, &codes, writer, LayerType::kAc,
                                   nullptr));
      (void)cost;
    }
    return OkStatus();
  };
}

}  // namespace qov::modular_test
