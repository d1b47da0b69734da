// Test support for the decoder interface (see the header).
#include "tests/api/decoder_test_helpers.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "lib/base/memory.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/write_fields.h"

namespace qov {

namespace {

void Require(const Status& status, const char* what) {
  if (!status.ok()) {
    std::fprintf(stderr, "fixture writer failed: %s\n", what);
    std::abort();
  }
}

constexpr U32Coding kTocSizeCoding(Bits(10), BitsOffset(14, 1024),
                                   BitsOffset(22, 17408), BitsOffset(30, 4211712));

}  // namespace

CodestreamWriter::CodestreamWriter() {
  metadata.m.xyb_encoded = false;
  SetSize(64, 64);
}

void CodestreamWriter::SetSize(uint32_t xsize, uint32_t ysize) {
  metadata.size.small = false;
  metadata.size.ratio = 0;
  metadata.size.xsize = xsize;
  metadata.size.ysize = ysize;
}

FrameHeader CodestreamWriter::NewFrame() const {
  FrameHeader header(&metadata);
  header.encoding = 1;  // modular: no chroma or DC constraints
  header.loop_filter.is_modular = true;
  header.loop_filter.gab = false;
  header.loop_filter.epf_iters = 0;
  header.ec_blending_info.resize(metadata.m.extra_channel_info.size());
  header.ec_upsampling.assign(metadata.m.extra_channel_info.size(), 1);
  return header;
}

void CodestreamWriter::AddFrame(const FrameHeader& header, const Bytes& section) {
  frames_.push_back(Frame{header, section});
}

Bytes CodestreamWriter::Write() const {
  BitWriter writer(HeapMemoryManager());
  Require(WriteCodestreamSignature(&writer, nullptr), "signature");
  Require(Bundle::Write(metadata.size, &writer, LayerType::kHeader, nullptr), "size");
  // Frame headers write their extra-channel fields by the metadata's channel
  // count: bind them to metadata whose count matches the channel list.
  CodecMetadata written = metadata;
  ImageMetadata& m = written.m;
  m.num_extra_channels = static_cast<uint32_t>(m.extra_channel_info.size());
  Require(Bundle::Write(m, &writer, LayerType::kHeader, nullptr), "metadata");
  CustomTransformData transform = metadata.transform_data;
  transform.xyb = m.xyb_encoded;
  Require(Bundle::Write(transform, &writer, LayerType::kHeader, nullptr), "transform");
  Require(writer.WithBitBudget(8, LayerType::kHeader, nullptr, [&]() {
    writer.ZeroPadToByte();
    return OkStatus();
  }), "padding");
  for (const Frame& frame : frames_) {
    FrameHeader header = frame.header;
    header.metadata = &written;
    Require(Bundle::Write(header, &writer, LayerType::kHeader, nullptr), "frame");
    Require(writer.WithBitBudget(64, LayerType::kToc, nullptr, [&]() {
      writer.PutBits(1, 0);  // not permuted
      writer.ZeroPadToByte();
      QOV_RETURN_IF_ERROR(WriteCodedU32(
          kTocSizeCoding, static_cast<uint32_t>(frame.section.size()), &writer));
      writer.ZeroPadToByte();
      return OkStatus();
    }), "toc");
    Require(writer.WithBitBudget(8 * frame.section.size() + 8, LayerType::kHeader,
                                 nullptr, [&]() {
      for (uint8_t b : frame.section) writer.PutBits(8, b);
      return OkStatus();
    }), "section");
  }
  if (!writer.healthy()) Require(FailedStatus(), "writer");
  const Span span = writer.GetSpan();
  return Bytes(span.data, span.data + span.size);
}

Bytes ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

namespace {

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buffer, sizeof(buffer), fmt, args);
  va_end(args);
  return buffer;
}

uint32_t Checksum(const uint8_t* data, size_t size) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
  return h;
}

}  // namespace

std::string DescribeBasicInfo(QovDecoder dec) {
  QovBasicInfo info;
  if (QovDecoderGetBasicInfo(dec, &info) != QOV_DEC_OK) return "basic info failed";
  std::string s = Format(
      "basic %ux%u bits=%u exp=%u orient=%u color_ch=%u extra=%u alpha=%u/%u/%d "
      "orig=%d preview=%d(%ux%u) anim=%d(%u/%u loops=%u tc=%d) intrinsic=%ux%u "
      "it=%g min=%g rel=%d lb=%g container=%d",
      info.xsize, info.ysize, info.bits_per_sample, info.exponent_bits_per_sample,
      info.orientation, info.num_color_channels, info.num_extra_channels,
      info.alpha_bits, info.alpha_exponent_bits, info.alpha_premultiplied,
      info.uses_original_profile, info.have_preview, info.preview.xsize,
      info.preview.ysize, info.have_animation, info.animation.tps_numerator,
      info.animation.tps_denominator, info.animation.num_loops,
      info.animation.have_timecodes, info.intrinsic_xsize, info.intrinsic_ysize,
      info.intensity_target, info.min_nits, info.relative_to_max_display,
      info.linear_below, info.have_container);
  for (uint32_t i = 0; i < info.num_extra_channels; ++i) {
    QovExtraChannelInfo ec;
    if (QovDecoderGetExtraChannelInfo(dec, i, &ec) != QOV_DEC_OK) {
      s += " ec failed";
      continue;
    }
    std::string name(ec.name_length + 1, '\0');
    if (QovDecoderGetExtraChannelName(dec, i, name.data(), name.size()) != QOV_DEC_OK) {
      name.assign(1, '?');
    }
    name.resize(std::strlen(name.c_str()));
    s += Format(" ec[%u]=type%u bits=%u exp=%u shift=%u premul=%d name=\"%s\"", i,
                ec.type, ec.bits_per_sample, ec.exponent_bits_per_sample, ec.dim_shift,
                ec.alpha_premultiplied, name.c_str());
  }
  return s;
}

std::string DescribeColor(QovDecoder dec) {
  QovColorEncoding c;
  if (QovDecoderGetColorAsFields(dec, QOV_COLOR_SOURCE_CODESTREAM, &c) == QOV_DEC_OK) {
    return Format("color enum space=%u white=%u prim=%u tf=%u gamma=%.7f intent=%u",
                  c.color_space, c.white_point, c.primaries, c.transfer_function,
                  c.gamma, c.rendering_intent);
  }
  uint64_t size = 0;
  if (QovDecoderGetICCProfileSize(dec, QOV_COLOR_SOURCE_CODESTREAM, &size) != QOV_DEC_OK) {
    return "color icc size failed";
  }
  Bytes icc(size);
  if (QovDecoderGetColorAsICCProfile(dec, QOV_COLOR_SOURCE_CODESTREAM, icc.data(),
                                     icc.size()) != QOV_DEC_OK) {
    return "color icc failed";
  }
  return Format("color icc %llu bytes sum=%08x", static_cast<unsigned long long>(size),
                Checksum(icc.data(), icc.size()));
}

std::string DescribeFrame(QovDecoder dec) {
  QovFrameHeader h;
  if (QovDecoderGetFrameHeader(dec, &h) != QOV_DEC_OK) return "frame header failed";
  std::string name(h.name_length + 1, '\0');
  if (QovDecoderGetFrameName(dec, name.data(), name.size()) != QOV_DEC_OK) name.assign(1, '?');
  name.resize(std::strlen(name.c_str()));
  return Format("frame dur=%u tc=%u last=%d crop=%d(%d,%d) %ux%u blend=%u/%u/%u/%d "
                "ref=%u name=\"%s\"",
                h.duration, h.timecode, h.is_last, h.layer_info.have_crop,
                h.layer_info.crop_x0, h.layer_info.crop_y0, h.layer_info.xsize,
                h.layer_info.ysize, h.layer_info.blend_info.blendmode,
                h.layer_info.blend_info.source, h.layer_info.blend_info.alpha,
                h.layer_info.blend_info.clamp, h.layer_info.save_as_reference,
                name.c_str());
}

std::string DescribeBox(QovDecoder dec) {
  QovBoxType type, inner;
  uint64_t size = 0, contents = 0;
  if (QovDecoderQueryBoxType(dec, type, 0) != QOV_DEC_OK ||
      QovDecoderQueryBoxType(dec, inner, 1) != QOV_DEC_OK ||
      QovDecoderQueryBoxSize(dec, &size) != QOV_DEC_OK ||
      QovDecoderQueryBoxContentSize(dec, &contents) != QOV_DEC_OK) {
    return "box query failed";
  }
  return Format("box '%.4s' inner '%.4s' size=%llu contents=%llu", type, inner,
                static_cast<unsigned long long>(size),
                static_cast<unsigned long long>(contents));
}

DriveResult Drive(const Bytes& file, const DriveOptions& options) {
  DriveResult result;
  QovDecoder dec = QovDecoderCreate(options.manager);
  if (dec == nullptr) {
    result.log.push_back("create failed");
    return result;
  }
  QovDecoderKeepOrientation(dec, options.keep_orientation);
  QovDecoderEnableCoalescing(dec, options.coalescing);
  if (QovDecoderSubscribeEvents(dec, options.events) != QOV_DEC_OK) {
    result.log.push_back("subscribe failed");
  }
  Bytes input;          // the tail not yet consumed plus new bytes
  size_t offset = 0;    // bytes of the file handed in so far
  Bytes box;            // box output buffer
  uint64_t box_used = 0;
  bool box_attached = false;
  bool ended = false;
  for (size_t n = 0; n < options.max_advances; ++n) {
    const QovDecoderStatus s = QovDecoderAdvance(dec);
    switch (s) {
      case QOV_DEC_WANT_INPUT: {
        const uint64_t tail = QovDecoderReclaimInput(dec);
        if (tail > input.size()) {
          result.log.push_back("reclaim larger than input");
          QovDecoderDelete(dec);
          return result;
        }
        input.erase(input.begin(), input.end() - static_cast<ptrdiff_t>(tail));
        if (offset >= file.size() && !ended) {
          // An empty file: end the input without providing any.
          QovDecoderEndInput(dec);
          ended = true;
          continue;
        }
        if (offset >= file.size()) {
          result.log.push_back("input exhausted");
          result.last = s;
          QovDecoderDelete(dec);
          return result;
        }
        const size_t step = options.chunk == 0 ? file.size() - offset
                                               : std::min(options.chunk, file.size() - offset);
        input.insert(input.end(), file.begin() + offset, file.begin() + offset + step);
        offset += step;
        QovDecoderProvideInput(dec, input.data(), input.size());
        if (offset == file.size()) {
          QovDecoderEndInput(dec);
          ended = true;
        }
        continue;
      }
      case QOV_DEC_HEADER_INFO:
        result.log.push_back(DescribeBasicInfo(dec));
        continue;
      case QOV_DEC_COLOR_INFO:
        result.log.push_back(DescribeColor(dec));
        continue;
      case QOV_DEC_FRAME_START:
        result.log.push_back(DescribeFrame(dec));
        continue;
      case QOV_DEC_JPEG_DATA:
        result.log.push_back("JPEG reconstruction data");
        continue;
      case QOV_DEC_BOX_START:
        result.log.push_back(DescribeBox(dec));
        if (options.box_buffers) {
          if (box_attached) QovDecoderReclaimBoxBuffer(dec);
          box.assign(64, 0);
          box_used = 0;
          box_attached = QovDecoderProvideBoxBuffer(dec, box.data(), box.size()) == QOV_DEC_OK;
          if (!box_attached) result.log.push_back("provide box buffer failed");
        }
        continue;
      case QOV_DEC_WANT_BOX_OUTPUT: {
        const uint64_t unwritten = QovDecoderReclaimBoxBuffer(dec);
        box_used = box.size() - unwritten;
        box.resize(box.size() * 2);
        box_attached = QovDecoderProvideBoxBuffer(dec, box.data() + box_used,
                                                  box.size() - box_used) == QOV_DEC_OK;
        if (!box_attached) result.log.push_back("provide box buffer failed");
        continue;
      }
      case QOV_DEC_BOX_COMPLETE: {
        const uint64_t unwritten = QovDecoderReclaimBoxBuffer(dec);
        box_attached = false;
        const uint64_t total = box.size() - unwritten;
        result.log.push_back(Format("box complete %llu bytes sum=%08x",
                                    static_cast<unsigned long long>(total),
                                    Checksum(box.data(), total)));
        continue;
      }
      default:
        result.log.push_back(Format("status %d", static_cast<int>(s)));
        result.last = s;
        QovDecoderDelete(dec);
        return result;
    }
  }
  result.log.push_back("too many advances");
  QovDecoderDelete(dec);
  return result;
}

}  // namespace qov
