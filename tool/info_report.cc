// Report handlers of qovinfo.
#include "info_report.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace qov {
namespace {

const char* ExtraChannelTypeName(uint32_t type) {
  static const char* const kNames[] = {
      "Alpha",     "Depth",     "Spotcolor", "Selection", "Black",
      "CFA",       "Thermal",   "Reserved0", "Reserved1", "Reserved2",
      "Reserved3", "Reserved4", "Reserved5", "Reserved6", "Reserved7",
      "Unknown",   "Optional"};
  if (type < sizeof(kNames) / sizeof(kNames[0])) return kNames[type];
  return "Unknown, please update your libqov";
}

// Orientation must be 1..8.
const char* OrientationName(uint32_t orientation) {
  static const char* const kNames[] = {
      "Normal",          "Flipped horizontally", "Upside down",
      "Flipped vertically", "Transposed",        "90 degrees clockwise",
      "Anti-Transposed", "90 degrees counter-clockwise"};
  return kNames[orientation - 1];
}

const char* ColorSpaceName(uint32_t v) {
  switch (v) {
    case 0: return "RGB";
    case 1: return "Grayscale";
    case 2: return "XYB";
    case 3: return "Unknown";
  }
  return "ERROR";
}

const char* WhitePointName(uint32_t v) {
  switch (v) {
    case 1: return "D65";
    case 2: return "Custom";
    case 10: return "E";
    case 11: return "P3";
  }
  return "ERROR";
}

const char* PrimariesName(uint32_t v) {
  switch (v) {
    case 1: return "sRGB";
    case 2: return "Custom";
    case 9: return "Rec.2100";
    case 11: return "P3";
  }
  return "ERROR";
}

const char* TransferFunctionName(uint32_t v) {
  switch (v) {
    case 1: return "709";
    case 2: return "Unknown";
    case 8: return "Linear";
    case 13: return "sRGB";
    case 14:
    case 15: return "";
    case 16: return "PQ";
    case 17: return "DCI";
    case 18: return "HLG";
  }
  return "ERROR";
}

const char* RenderingIntentName(uint32_t v) {
  switch (v) {
    case 0: return "Perceptual";
    case 1: return "Relative";
    case 2: return "Saturation";
    case 3: return "Absolute";
  }
  return "ERROR";
}

void PrintXy(const char* label, const double xy[2]) {
  std::printf("%s(x=%f,y=%f)", label, xy[0], xy[1]);
}

// "CMY" when one of the extra channels is Black. Returns false when a query
// failed (the message is printed).
bool HasBlackChannel(QovDecoder dec, uint32_t num_extra_channels, bool* black) {
  *black = false;
  for (uint32_t i = 0; i < num_extra_channels; ++i) {
    QovExtraChannelInfo extra;
    if (QovDecoderGetExtraChannelInfo(dec, i, &extra) != QOV_DEC_OK) {
      std::fprintf(stderr, "QovDecoderGetExtraChannelInfo failed\n");
      return false;
    }
    if (extra.type == QOV_CHANNEL_BLACK) *black = true;
  }
  return true;
}

void PrintExtraChannelTypes(QovDecoder dec, uint32_t num_extra_channels) {
  for (uint32_t i = 0; i < num_extra_channels; ++i) {
    QovExtraChannelInfo extra;
    if (QovDecoderGetExtraChannelInfo(dec, i, &extra) != QOV_DEC_OK) {
      std::fprintf(stderr, "QovDecoderGetExtraChannelInfo failed\n");
      return;
    }
    std::printf("+%s", ExtraChannelTypeName(extra.type));
  }
}

void PrintExtraChannelDetails(QovDecoder dec, uint32_t num_extra_channels) {
  for (uint32_t i = 0; i < num_extra_channels; ++i) {
    QovExtraChannelInfo extra;
    if (QovDecoderGetExtraChannelInfo(dec, i, &extra) != QOV_DEC_OK) {
      std::fprintf(stderr, "QovDecoderGetExtraChannelInfo failed\n");
      return;
    }
    std::printf("Extra channel %u:\n", i);
    std::printf("  type: %s\n", ExtraChannelTypeName(extra.type));
    std::printf("  bits per sample: %u\n", extra.bits_per_sample);
    if (extra.exponent_bits_per_sample != 0) {
      std::printf("  float, with exponent_bits_per_sample: %u\n",
                  extra.exponent_bits_per_sample);
    }
    if (extra.dim_shift != 0) {
      std::printf("  upsampled %ux\n", 1u << extra.dim_shift);
    }
    if (extra.name_length != 0) {
      std::vector<char> name(static_cast<size_t>(extra.name_length) + 1, 0);
      if (QovDecoderGetExtraChannelName(dec, i, name.data(), name.size()) !=
          QOV_DEC_OK) {
        std::fprintf(stderr, "QovDecoderGetExtraChannelName failed\n");
        return;
      }
      std::printf("  name: %s\n", name.data());
    }
    if (extra.type == QOV_CHANNEL_ALPHA) {
      std::printf("  alpha premultiplied: %d (%s)\n", extra.alpha_premultiplied,
                  extra.alpha_premultiplied ? "Premultiplied"
                                            : "Non-premultiplied");
    }
    if (extra.type == QOV_CHANNEL_SPOT_COLOR) {
      std::printf("  spot color: (%f, %f, %f) with opacity %f\n",
                  extra.spot_color[0], extra.spot_color[1],
                  extra.spot_color[2], extra.spot_color[3]);
    }
    if (extra.type == QOV_CHANNEL_CFA) {
      std::printf("  cfa_channel: %u\n", extra.cfa_channel);
    }
  }
}

}  // namespace

void PrintColorEncoding(const char* prefix, const QovColorEncoding& encoding) {
  std::printf("%sColor space: %s\n", prefix, ColorSpaceName(encoding.color_space));
  std::printf("%sWhite point: %s", prefix, WhitePointName(encoding.white_point));
  if (encoding.white_point == QOV_WHITE_POINT_CUSTOM) {
    PrintXy(" ", encoding.white_point_xy);
  }
  std::printf("\n");
  if (encoding.color_space == QOV_COLOR_SPACE_RGB ||
      encoding.color_space == QOV_COLOR_SPACE_UNKNOWN) {
    std::printf("%sPrimaries: %s", prefix, PrimariesName(encoding.primaries));
    if (encoding.primaries == QOV_PRIMARIES_CUSTOM) {
      PrintXy(" - red", encoding.primaries_red_xy);
      PrintXy(", green", encoding.primaries_green_xy);
      PrintXy(", blue", encoding.primaries_blue_xy);
    }
    std::printf("\n");
  }
  std::printf("%sTransfer function: ", prefix);
  if (encoding.transfer_function == QOV_TRANSFER_FUNCTION_GAMMA) {
    std::printf("gamma(%f)", encoding.gamma);
  } else {
    std::printf("%s", TransferFunctionName(encoding.transfer_function));
  }
  std::printf("\n");
  std::printf("%sRendering intent: %s\n", prefix,
              RenderingIntentName(encoding.rendering_intent));
}

bool OnHeaderInfo(FileReport& report, bool verbose, QovDecoder dec) {
  QovBasicInfo& info = report.info;
  if (QovDecoderGetBasicInfo(dec, &info) != QOV_DEC_OK) {
    std::fprintf(stderr, "QovDecoderGetBasicInfo failed\n");
    return false;
  }
  std::printf("JPEG XL %s, %ux%u, %s", info.have_animation ? "animation" : "image",
              info.xsize, info.ysize,
              info.uses_original_profile ? "(possibly) lossless" : "lossy");
  std::printf(", %d-bit ", static_cast<int>(info.bits_per_sample));
  if (info.exponent_bits_per_sample != 0) {
    std::printf("float (%d exponent bits) ",
                static_cast<int>(info.exponent_bits_per_sample));
  }
  bool black = false;
  if (info.num_extra_channels > 0) {
    HasBlackChannel(dec, info.num_extra_channels, &black);
  }
  if (info.num_color_channels == 1) {
    std::printf("Grayscale");
  } else {
    std::printf(black ? "CMY" : "RGB");
  }
  PrintExtraChannelTypes(dec, info.num_extra_channels);
  std::printf("\n");

  if (verbose) {
    std::printf("Number of color channels: %d\n",
                static_cast<int>(info.num_color_channels));
    std::printf("Number of extra channels: %d\n",
                static_cast<int>(info.num_extra_channels));
    PrintExtraChannelDetails(dec, info.num_extra_channels);
  }

  if (info.intensity_target != 255.0f || info.min_nits != 0.0f ||
      info.relative_to_max_display) {
    std::printf("Intensity target: %f nits\n", info.intensity_target);
    std::printf("Min nits: %f\n", info.min_nits);
    std::printf("Relative to max display: %d\n", info.relative_to_max_display);
    std::printf("Linear below: %f\n", info.linear_below);
  }

  if (verbose) std::printf("Have preview: %d\n", info.have_preview);
  if (info.have_preview) {
    std::printf("Preview image: %ux%u\n", info.preview.xsize, info.preview.ysize);
  }
  if (verbose) {
    std::printf("Have animation: %d\n", info.have_animation);
    if (info.have_animation) {
      std::printf("Ticks per second (numerator / denominator): %u / %u\n",
                  info.animation.tps_numerator, info.animation.tps_denominator);
      std::printf("Num loops: %u\n", info.animation.num_loops);
      std::printf("Have timecodes: %d\n", info.animation.have_timecodes);
    }
  }
  if (info.intrinsic_xsize != info.xsize || info.intrinsic_ysize != info.ysize ||
      verbose) {
    std::printf("Intrinsic dimensions: %ux%u\n", info.intrinsic_xsize,
                info.intrinsic_ysize);
  }
  if (info.orientation < 1 || info.orientation > 8) {
    std::fprintf(stderr, "Invalid orientation\n");
  } else if (info.orientation != 1 || verbose) {
    std::printf("Orientation: %d (%s)\n", static_cast<int>(info.orientation),
                OrientationName(info.orientation));
  }
  report.have_basic_info = true;
  return true;
}

bool OnColorInfo(FileReport& /*report*/, bool /*verbose*/, QovDecoder dec) {
  QovColorEncoding encoding;
  if (QovDecoderGetColorAsFields(dec, QOV_COLOR_SOURCE_CODESTREAM, &encoding) ==
      QOV_DEC_OK) {
    PrintColorEncoding("", encoding);
    return true;
  }
  uint64_t size = 0;
  if (QovDecoderGetICCProfileSize(dec, QOV_COLOR_SOURCE_CODESTREAM, &size) !=
      QOV_DEC_OK) {
    std::fprintf(stderr, "QovDecoderGetICCProfileSize failed\n");
    return true;
  }
  std::printf("%llu-byte ICC profile, ", static_cast<unsigned long long>(size));
  // The fields read below lie inside the 132-byte ICC header.
  if (size < 132) {
    std::fprintf(stderr, "ICC profile too small\n");
    return true;
  }
  std::vector<uint8_t> profile(size, 0);
  if (QovDecoderGetColorAsICCProfile(dec, QOV_COLOR_SOURCE_CODESTREAM,
                                     profile.data(), size) != QOV_DEC_OK) {
    std::fprintf(stderr, "QovDecoderGetColorAsICCProfile failed\n");
    return true;
  }
  std::printf("CMM type: \"%.4s\", ", reinterpret_cast<const char*>(&profile[4]));
  std::printf("Color space: \"%.4s\", ", reinterpret_cast<const char*>(&profile[16]));
  std::printf("Rendering intent: %d\n", profile[67]);
  return true;
}

bool OnFrameStart(FileReport& report, bool /*verbose*/, QovDecoder dec) {
  QovFrameHeader header;
  if (QovDecoderGetFrameHeader(dec, &header) != QOV_DEC_OK) {
    std::fprintf(stderr, "QovDecoderGetFrameHeader failed\n");
    return false;
  }
  if (header.duration != 0) {
    std::printf("Frame: ");
  } else {
    // The single unnamed frame of a still image gets no line.
    if (header.is_last && report.layer_count == 0 && header.name_length == 0) {
      return true;
    }
    std::printf("Layer: ");
  }
  if (header.layer_info.have_crop) {
    std::printf("%ux%u at position (%i,%i)", header.layer_info.xsize,
                header.layer_info.ysize, header.layer_info.crop_x0,
                header.layer_info.crop_y0);
  } else {
    std::printf("Full image size");
  }
  const QovBasicInfo& info = report.info;
  if (info.have_animation) {
    // Single precision throughout, as the animation length sums these.
    float ms = (static_cast<float>(header.duration) * 1000.0f) *
               static_cast<float>(info.animation.tps_denominator) /
               static_cast<float>(info.animation.tps_numerator);
    report.duration_ms_sum += ms;
    std::printf(", duration: %.1f ms", ms);
    if (info.animation.have_timecodes) {
      std::printf(", time code: %X", header.timecode);
    }
  }
  ++report.layer_count;
  if (header.name_length != 0) {
    std::vector<char> name(static_cast<size_t>(header.name_length) + 1, 0);
    if (QovDecoderGetFrameName(dec, name.data(), name.size()) != QOV_DEC_OK) {
      std::fprintf(stderr, "QovDecoderGetFrameName failed\n");
      return false;
    }
    std::printf(", name: \"%s\"", name.data());
  }
  std::printf("\n");
  return true;
}

bool OnBoxComplete(FileReport& report, bool /*verbose*/, QovDecoder dec) {
  if (std::memcmp(report.last_box_type, "jhgm", 4) != 0) {
    std::fprintf(stderr,
                 "Unexpected QOV_DEC_BOX_COMPLETE event received for box "
                 "\"%.4s\"\n",
                 report.last_box_type);
    return true;
  }
  const uint64_t unwritten = QovDecoderReclaimBoxBuffer(dec);
  std::vector<uint8_t>& box = report.box_buffer;
  box.resize(unwritten <= box.size() ? box.size() - unwritten : 0);

  QovGainMapRecord record;
  std::memset(&record, 0, sizeof(record));
  if (!QovGainMapParse(&record, box.data(), box.size(), nullptr)) {
    std::fprintf(stderr, "Invalid gain map box found\n");
  } else {
    uint8_t* icc = nullptr;
    uint64_t icc_size = 0;
    if (record.compressed_icc_size != 0 &&
        !QovDecompressICCProfile(nullptr, record.compressed_icc,
                                 record.compressed_icc_size, &icc, &icc_size)) {
      std::fprintf(stderr,
                   "Invalid gain map box found (ICC profile does not "
                   "decompress)\n");
      // A failed decompression leaves no profile to report.
      icc = nullptr;
      icc_size = 0;
    }
    std::printf("Gain map (jhgm) box: version = %u",
                static_cast<unsigned>(record.version));
    if (icc_size != 0) {
      std::printf("  %lu-byte ICC profile\n", static_cast<unsigned long>(icc_size));
    }
    std::printf("  %u-byte gain map, %u-byte metadata\n", record.gain_map_size,
                static_cast<unsigned>(record.metadata_size));
    if (record.has_color_encoding) {
      PrintColorEncoding("  ", record.color_encoding);
    }
    std::free(icc);
  }
  box.clear();
  return true;
}

void OnFileEnd(const FileReport& report, bool /*verbose*/) {
  if (!report.have_basic_info || !report.info.have_animation) return;
  float total = report.duration_ms_sum;
  const uint32_t loops = report.info.animation.num_loops;
  if (loops >= 2) total *= static_cast<float>(loops);
  total *= 0.001f;
  std::printf("Animation length: %.3f seconds%s\n", total,
              loops == 0 ? " (looping)" : "");
}

}  // namespace qov
