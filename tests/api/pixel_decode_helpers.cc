#include "tests/api/pixel_decode_helpers.h"

#include <algorithm>
#include <string>

#include "lib/api/internal_pixel_hook.h"
#include "tests/api/decoder_test_helpers.h"

namespace qov {

PixelDecodeResult DecodePixels(const Bytes& file, const PixelDecodeOptions& options) {
  PixelDecodeResult result;
  QovDecoder dec = QovDecoderCreate(options.manager);
  if (dec == nullptr) {
    result.error = "no decoder";
    return result;
  }
  struct Deleter {
    QovDecoder d;
    ~Deleter() { QovDecoderDelete(d); }
  } deleter{dec};
  const int32_t events = QOV_DEC_HEADER_INFO | QOV_DEC_IMAGE_DONE |
                         (options.jpeg_output ? QOV_DEC_JPEG_DATA : 0);
  if (QovDecoderEnableCoalescing(dec, options.coalescing ? 1 : 0) != QOV_DEC_OK ||
      QovDecoderSubscribeEvents(dec, events) != QOV_DEC_OK) {
    result.error = "options refused";
    return result;
  }
  // The JPEG output space, attached while `jpeg_attached`.
  Bytes jpeg(!options.jpeg_output ? 0
             : options.jpeg_space != 0 ? options.jpeg_space
                                       : 2 * file.size() + 1024);
  bool jpeg_attached = false;
  if (options.jpeg_output) {
    if (QovInternalAttachJpegOutput(dec, jpeg.data(), jpeg.size()) != QOV_DEC_OK) {
      result.error = "JPEG output refused";
      return result;
    }
    jpeg_attached = true;
  }
  const size_t chunk = options.chunk == 0 ? std::max<size_t>(file.size(), 1) : options.chunk;
  const uint64_t sample_bytes = BytesPerOutputSample(options.type);
  QovBasicInfo info{};
  uint64_t given = 0;
  uint64_t consumed = 0;
  bool ended = false;
  Bytes pixels;
  bool pixel_target = false;  // a pixel target is attached to this frame
  while (result.advances < options.max_advances) {
    ++result.advances;
    const QovDecoderStatus s = QovDecoderAdvance(dec);
    if (s == QOV_DEC_OK || s == QOV_DEC_FAILED) {
      result.last = s;
      return result;
    }
    if (s == QOV_DEC_WANT_INPUT) {
      const uint64_t unread = QovDecoderReclaimInput(dec);
      if (unread > given - consumed) {
        result.error = "more input unread than was given";
        return result;
      }
      consumed = given - unread;
      if (given == file.size() && (ended || !options.end_input)) {
        result.last = ended ? QOV_DEC_FAILED : QOV_DEC_WANT_INPUT;
        return result;
      }
      given = std::min<uint64_t>(file.size(), given + chunk);
      if (QovDecoderProvideInput(dec, file.data() + consumed, given - consumed) !=
          QOV_DEC_OK) {
        result.error = "input refused";
        return result;
      }
      if (given == file.size() && options.end_input) {
        QovDecoderEndInput(dec);
        ended = true;
      }
      if (options.on_input != nullptr) options.on_input(options.on_input_opaque, dec, given);
    } else if (s == QOV_DEC_HEADER_INFO) {
      if (QovDecoderGetBasicInfo(dec, &info) != QOV_DEC_OK) {
        result.error = "no basic info at the header event";
        return result;
      }
    } else if (s == QOV_DEC_WANT_IMAGE_BUFFER) {
      if (QovInternalOutputSize(dec, &result.width, &result.height) != QOV_DEC_OK) {
        result.error = "no output size";
        return result;
      }
      const uint64_t area = result.width * result.height;
      if (area > options.max_area) {
        result.error = "frame larger than the test allows";
        return result;
      }
      result.channels =
          (info.num_color_channels == 1 ? 1 : 3) + (info.alpha_bits != 0 ? 1 : 0);
      InternalPixelTarget target;
      target.format.num_channels = result.channels;
      target.format.data_type = options.type;
      pixels.assign(area * result.channels * sample_bytes, 0);
      target.buffer = pixels.data();
      target.buffer_size = pixels.size();
      if (QovInternalAttachPixelOutput(dec, target) != QOV_DEC_OK) {
        result.error = "pixel output refused";
        return result;
      }
      pixel_target = true;
    } else if (s == QOV_DEC_JPEG_DATA) {
      // The 'jbrd' box was read; its frame comes next.
    } else if (s == QOV_DEC_WANT_JPEG_OUTPUT) {
      if (!jpeg_attached || jpeg.size() >= (uint64_t{1} << 30)) {
        result.error = "JPEG output wanted beyond the test's space";
        return result;
      }
      QovInternalReleaseJpegOutput(dec);
      jpeg.assign(2 * jpeg.size(), 0);
      if (QovInternalAttachJpegOutput(dec, jpeg.data(), jpeg.size()) != QOV_DEC_OK) {
        result.error = "larger JPEG output refused";
        return result;
      }
    } else if (s == QOV_DEC_IMAGE_DONE && !pixel_target) {
      if (!jpeg_attached) {
        result.error = "a frame done without any output";
        return result;
      }
      // No pixel target was asked for: the frame went to the JPEG output.
      const uint64_t left = QovInternalReleaseJpegOutput(dec);
      jpeg_attached = false;
      result.frames.emplace_back(jpeg.begin(), jpeg.end() - static_cast<ptrdiff_t>(left));
      result.given_at_frame_done.push_back(given);
      ++result.jpeg_frames;
    } else if (s == QOV_DEC_IMAGE_DONE) {
      pixel_target = false;
      result.frames.push_back(pixels);
      result.given_at_frame_done.push_back(given);
    } else {
      result.error = "unexpected status " + std::to_string(static_cast<int>(s));
      return result;
    }
  }
  result.error = "too many advances";
  return result;
}

Bytes ReadSample(const std::string& name) {
  return ReadFileBytes(std::string(QOV_TESTDATA_DIR) + "/files/" + name);
}

}  // namespace qov
