// Writers of small JPEG XL files for the qovinfo tests.
#include "tests/tool/jxl_writer_helpers.h"

#include <cstring>

#include "lib/base/memory.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/entropy_records.h"
#include "lib/encode/entropy_writer.h"
#include "lib/encode/write_fields.h"

namespace qov {
namespace {

// Section sizes of the table of contents.
constexpr U32Coding kTocSizeCoding(Bits(10), BitsOffset(14, 1024),
                                   BitsOffset(22, 17408), BitsOffset(30, 4211712));

Status WriteBytes(const Bytes& bytes, BitWriter* writer) {
  return writer->WithBitBudget(8 * bytes.size(), LayerType::kHeader, nullptr, [&]() {
    for (uint8_t b : bytes) writer->PutBits(8, b);
    return OkStatus();
  });
}

Status PadToByte(BitWriter* writer) {
  return writer->WithBitBudget(8, LayerType::kHeader, nullptr, [&]() {
    writer->ZeroPadToByte();
    return OkStatus();
  });
}

void AppendVarint(uint64_t value, Bytes* out) {
  while (value >= 128) {
    out->push_back(static_cast<uint8_t>(value & 127) | 128);
    value >>= 7;
  }
  out->push_back(static_cast<uint8_t>(value));
}

// The header the ICC reader predicts for a profile of `size` bytes.
void InitHeaderPrediction(uint64_t size, uint8_t predicted[128]) {
  std::memset(predicted, 0, 128);
  for (int i = 0; i < 4; ++i) predicted[i] = static_cast<uint8_t>(size >> (24 - 8 * i));
  predicted[8] = 4;
  std::memcpy(predicted + 12, "mntr", 4);
  std::memcpy(predicted + 16, "RGB ", 4);
  std::memcpy(predicted + 20, "XYZ ", 4);
  std::memcpy(predicted + 36, "acsp", 4);
  const uint8_t illuminant[12] = {0, 0, 0xF6, 0xD6, 0, 1, 0, 0, 0, 0, 0xD3, 0x2D};
  std::memcpy(predicted + 68, illuminant, 12);
}

// The prediction's updates before header byte i, from the bytes before it.
void AdjustHeaderPrediction(size_t i, const Bytes& out, uint8_t predicted[128]) {
  if (i == 8) std::memcpy(predicted + 80, out.data() + 4, 4);
  if (i == 41 && out[40] == 'A') std::memcpy(predicted + 41, "PPL", 3);
  if (i == 41 && out[40] == 'M') std::memcpy(predicted + 41, "SFT", 3);
  if (i == 42 && out[40] == 'S' && out[41] == 'G') std::memcpy(predicted + 42, "I ", 2);
  if (i == 42 && out[40] == 'S' && out[41] == 'U') std::memcpy(predicted + 42, "NW", 2);
}

uint32_t ByteClass(uint8_t b, bool previous) {
  const bool letter = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
  const bool digit = (b >= '0' && b <= '9') || b == '.' || b == ',';
  if (letter) return previous ? 1 : 0;
  if (digit) return previous ? 2 : 8;
  if (b < 16) return previous ? (b == 0 ? 3 : b == 1 ? 4 : 5) : 16;
  if (b >= 241) return previous ? (b == 255 ? 7 : 6) : 24;
  return previous ? 8 : 32;
}

uint32_t IccContext(size_t i, uint8_t p1, uint8_t p2) {
  if (i <= 128) return 0;
  return ByteClass(p1, true) + ByteClass(p2, false);
}

// The compressed ICC stream of `profile`, from the writer's position on.
Status WriteIccStream(const Bytes& profile, BitWriter* out) {
  // Inner layer: sizes, commands (no tag table, one copy), data.
  const size_t header = profile.size() < 128 ? profile.size() : 128;
  Bytes commands;
  if (profile.size() > 128) {
    AppendVarint(0, &commands);  // tag count: none
    commands.push_back(1);       // copy
    AppendVarint(profile.size() - 128, &commands);
  }
  Bytes inner;
  AppendVarint(profile.size(), &inner);
  AppendVarint(commands.size(), &inner);
  inner.insert(inner.end(), commands.begin(), commands.end());
  uint8_t predicted[128];
  InitHeaderPrediction(profile.size(), predicted);
  for (size_t i = 0; i < header; ++i) {
    AdjustHeaderPrediction(i, profile, predicted);
    inner.push_back(static_cast<uint8_t>(profile[i] - predicted[i]));
  }
  inner.insert(inner.end(), profile.begin() + header, profile.end());

  // Outer layer: size, code description, one token per byte.
  std::vector<std::vector<Token>> tokens(1);
  for (size_t i = 0; i < inner.size(); ++i) {
    const uint8_t p1 = i >= 1 ? inner[i - 1] : 0;
    const uint8_t p2 = i >= 2 ? inner[i - 2] : 0;
    tokens[0].emplace_back(IccContext(i, p1, p2), inner[i]);
  }
  QOV_RETURN_IF_ERROR(out->WithBitBudget(80, LayerType::kHeader, nullptr, [&]() {
    return WriteCodedU64(inner.size(), out);
  }));
  EntropyEncodingData codes;
  HistogramParams params;
  StatusOr<size_t> cost = BuildAndEncodeHistograms(HeapMemoryManager(), params, 41, tokens, &codes,
                                                   out, LayerType::kHeader, nullptr);
  QOV_RETURN_IF_ERROR(cost.status());
  return WriteTokens(tokens[0], codes, 0, out, LayerType::kHeader, nullptr);
}

}  // namespace

StatusOr<Bytes> WriteCompressedIcc(const Bytes& profile) {
  BitWriter writer(HeapMemoryManager());
  QOV_RETURN_IF_ERROR(WriteIccStream(profile, &writer));
  QOV_RETURN_IF_ERROR(PadToByte(&writer));
  if (!writer.healthy()) return FailedStatus();
  const Span span = writer.GetSpan();
  return Bytes(span.data, span.data + span.size);
}

StatusOr<Bytes> ZeroModularSection(size_t channels, size_t width, size_t height) {
  BitWriter writer(HeapMemoryManager());
  QOV_RETURN_IF_ERROR(writer.WithBitBudget(8, LayerType::kHeader, nullptr, [&]() {
    writer.PutBits(1, 1);  // DC quantisation steps: defaults
    writer.PutBits(1, 0);  // no global tree
    writer.PutBits(1, 0);  // group header: local tree,
    writer.PutBits(1, 1);  // default weighted-predictor parameters,
    writer.PutBits(2, 0);  // no transforms
    return OkStatus();
  }));
  // The tree: one leaf (property token 0) with the zero predictor, offset 0,
  // multiplier 1.
  std::vector<std::vector<Token>> tree(1);
  for (uint32_t context = 1; context <= 5; ++context) tree[0].emplace_back(context, 0);
  HistogramParams params;
  EntropyEncodingData tree_codes;
  QOV_RETURN_IF_ERROR(BuildAndEncodeHistograms(HeapMemoryManager(), params, 6, tree, &tree_codes,
                                               &writer, LayerType::kModularTree, nullptr)
                          .status());
  QOV_RETURN_IF_ERROR(
      WriteTokens(tree[0], tree_codes, 0, &writer, LayerType::kModularTree, nullptr));
  // The samples: a zero residual each, all in the leaf's context.
  std::vector<std::vector<Token>> samples(1);
  samples[0].assign(channels * width * height, Token(0, 0));
  EntropyEncodingData sample_codes;
  QOV_RETURN_IF_ERROR(BuildAndEncodeHistograms(HeapMemoryManager(), params, 1, samples,
                                               &sample_codes, &writer,
                                               LayerType::kModularGlobal, nullptr)
                          .status());
  QOV_RETURN_IF_ERROR(WriteTokens(samples[0], sample_codes, 0, &writer,
                                  LayerType::kModularGlobal, nullptr));
  QOV_RETURN_IF_ERROR(PadToByte(&writer));
  if (!writer.healthy()) return FailedStatus();
  const Span span = writer.GetSpan();
  return Bytes(span.data, span.data + span.size);
}

Bytes MakeIccProfile(size_t size, const char (&space)[5], uint8_t intent) {
  Bytes p(size, 0);
  for (size_t i = 128; i < size; ++i) p[i] = static_cast<uint8_t>(i - 128);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(size >> (24 - 8 * i));
  std::memcpy(&p[4], "qovt", 4);
  p[8] = 4;
  p[9] = 0x40;
  std::memcpy(&p[12], "mntr", 4);
  std::memcpy(&p[16], space, 4);
  std::memcpy(&p[20], "XYZ ", 4);
  std::memcpy(&p[36], "acsp", 4);
  std::memcpy(&p[40], "APPL", 4);
  p[67] = intent;
  const uint8_t illuminant[12] = {0, 0, 0xF6, 0xD6, 0, 1, 0, 0, 0, 0, 0xD3, 0x2D};
  std::memcpy(&p[68], illuminant, 12);
  std::memcpy(&p[80], "qovt", 4);
  return p;
}

Bytes ContainerHead() { return Concat({SignatureBox(), FtypBox(0)}); }

CodestreamWriter::CodestreamWriter() {
  metadata.m.all_default = false;
  metadata.m.xyb_encoded = false;
  SetSize(64, 64);
}

void CodestreamWriter::SetSize(uint32_t xsize, uint32_t ysize) {
  metadata.size.small = false;
  metadata.size.ratio = 0;
  metadata.size.ysize = ysize;
  metadata.size.xsize = xsize;
}

FrameHeader CodestreamWriter::NewFrame() const {
  FrameHeader header(&metadata);
  header.all_default = false;
  header.encoding = static_cast<uint32_t>(FrameCoding::kModular);
  header.animation_frame.metadata = &metadata;
  const size_t ec = metadata.m.num_extra_channels;
  // Extra-channel upsampling is held shifted by the channel's dim_shift.
  header.ec_upsampling.clear();
  for (size_t i = 0; i < ec && i < metadata.m.extra_channel_info.size(); ++i) {
    header.ec_upsampling.push_back(1u << metadata.m.extra_channel_info[i].dim_shift);
  }
  header.ec_blending_info.assign(ec, BlendingInfo());
  header.loop_filter.all_default = false;
  header.loop_filter.gab = false;
  header.loop_filter.epf_iters = 0;
  return header;
}

void CodestreamWriter::AddFrame(const FrameHeader& header, const Bytes& section) {
  frames_.push_back(Frame{header, section});
}

StatusOr<Bytes> CodestreamWriter::Write() const {
  BitWriter writer(HeapMemoryManager());
  QOV_RETURN_IF_ERROR(WriteCodestreamSignature(&writer, nullptr));
  QOV_RETURN_IF_ERROR(Bundle::Write(metadata.size, &writer, LayerType::kHeader, nullptr));
  ImageMetadata m = metadata.m;
  if (!icc_.empty()) {
    m.color_encoding.all_default = false;
    m.color_encoding.want_icc = true;
  }
  QOV_RETURN_IF_ERROR(Bundle::Write(m, &writer, LayerType::kHeader, nullptr));
  CustomTransformData transform = metadata.transform_data;
  transform.xyb = m.xyb_encoded;
  QOV_RETURN_IF_ERROR(Bundle::Write(transform, &writer, LayerType::kHeader, nullptr));
  if (!icc_.empty()) QOV_RETURN_IF_ERROR(WriteIccStream(icc_, &writer));
  QOV_RETURN_IF_ERROR(PadToByte(&writer));

  for (const Frame& frame : frames_) {
    QOV_RETURN_IF_ERROR(Bundle::Write(frame.header, &writer, LayerType::kHeader, nullptr));
    // One section: a single group and a single pass.
    QOV_RETURN_IF_ERROR(writer.WithBitBudget(64, LayerType::kToc, nullptr, [&]() {
      writer.PutBits(1, 0);  // not permuted
      writer.ZeroPadToByte();
      QOV_RETURN_IF_ERROR(WriteCodedU32(kTocSizeCoding,
                                        static_cast<uint32_t>(frame.section.size()),
                                        &writer));
      writer.ZeroPadToByte();
      return OkStatus();
    }));
    QOV_RETURN_IF_ERROR(WriteBytes(frame.section, &writer));
  }
  if (!writer.healthy()) return FailedStatus();
  const Span span = writer.GetSpan();
  return Bytes(span.data, span.data + span.size);
}

}  // namespace qov
