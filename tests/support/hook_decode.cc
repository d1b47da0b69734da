#include "tests/support/hook_decode.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>

#include "lib/api/internal_pixel_hook.h"
#include "qov/qov.h"

namespace qov {

int32_t RunOnThreads(void* runner_opaque, void* loop_opaque,
                     int32_t (*init)(void*, uint64_t),
                     void (*item)(void*, uint32_t, uint64_t), uint32_t begin,
                     uint32_t end) {
  ThreadRunnerState* state = static_cast<ThreadRunnerState*>(runner_opaque);
  ++state->calls;
  const size_t n = state->threads;
  if (init != nullptr && init(loop_opaque, n) != 0) return -1;
  std::atomic<uint32_t> next{begin};
  std::vector<std::thread> workers;
  workers.reserve(n);
  for (size_t t = 0; t < n; ++t) {
    workers.emplace_back([&, t] {
      for (uint32_t i = next.fetch_add(1); i < end; i = next.fetch_add(1)) {
        item(loop_opaque, i, t);
      }
    });
  }
  for (std::thread& w : workers) w.join();
  return 0;
}

std::vector<uint8_t> ReadTestFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                              std::istreambuf_iterator<char>());
}

HookDecodeResult HookDecode(const std::vector<uint8_t>& file,
                            const HookDecodeOptions& options) {
  HookDecodeResult r;
  QovDecoder dec = QovDecoderCreate(nullptr);
  if (dec == nullptr) {
    r.error = "no decoder";
    return r;
  }
  struct Deleter {
    QovDecoder d;
    ~Deleter() { QovDecoderDelete(d); }
  } deleter{dec};
  ThreadRunnerState runner;
  runner.threads = options.threads;
  if (runner.threads != 0 &&
      QovInternalSetTaskRunner(dec, &RunOnThreads, &runner) != QOV_DEC_OK) {
    r.error = "runner refused";
    return r;
  }
  if (QovDecoderSubscribeEvents(dec, QOV_DEC_HEADER_INFO | QOV_DEC_IMAGE_DONE |
                                         options.extra_events) != QOV_DEC_OK) {
    r.error = "events refused";
    return r;
  }
  const size_t chunk = options.chunk == 0 ? file.size() : options.chunk;
  size_t given_end = 0;
  QovBasicInfo info{};
  std::vector<uint8_t> pixels, extra_pixels;
  for (;;) {
    const QovDecoderStatus s = QovDecoderAdvance(dec);
    r.events.push_back(s);
    switch (s) {
      case QOV_DEC_OK:
        r.ok = true;
        r.runner_calls = runner.calls;
        return r;
      case QOV_DEC_FAILED:
        r.error = "decoder failed";
        return r;
      case QOV_DEC_WANT_INPUT: {
        const size_t consumed = given_end - QovDecoderReclaimInput(dec);
        if (given_end >= file.size()) {
          r.error = "truncated";
          return r;
        }
        given_end = std::min(file.size(), given_end + chunk);
        if (QovDecoderProvideInput(dec, file.data() + consumed,
                                   given_end - consumed) != QOV_DEC_OK) {
          r.error = "input refused";
          return r;
        }
        if (given_end == file.size()) QovDecoderEndInput(dec);
        break;
      }
      case QOV_DEC_HEADER_INFO:
        if (QovDecoderGetBasicInfo(dec, &info) != QOV_DEC_OK) {
          r.error = "no basic info";
          return r;
        }
        break;
      case QOV_DEC_WANT_IMAGE_BUFFER: {
        if (QovInternalOutputSize(dec, &r.width, &r.height) != QOV_DEC_OK) {
          r.error = "no output size";
          return r;
        }
        r.channels = (info.num_color_channels == 1 ? 1 : 3) +
                     (info.alpha_bits != 0 ? 1 : 0);
        InternalPixelTarget target;
        target.format.num_channels = static_cast<uint32_t>(r.channels);
        target.format.data_type = options.type;
        if (options.type == OutputSampleType::kUint8 ||
            options.type == OutputSampleType::kUint16) {
          target.bits_per_sample = options.bits_per_sample != 0
                                       ? options.bits_per_sample
                                       : info.bits_per_sample;
        }
        pixels.assign(r.width * r.height * r.channels *
                          BytesPerOutputSample(options.type),
                      0);
        target.buffer = pixels.data();
        target.buffer_size = pixels.size();
        if (QovInternalAttachPixelOutput(dec, target) != QOV_DEC_OK) {
          r.error = "pixel output refused";
          return r;
        }
        if (options.extra_channel >= 0) {
          InternalPixelTarget extra = target;
          extra.format.num_channels = 1;
          extra_pixels.assign(r.width * r.height * BytesPerOutputSample(options.type), 0);
          extra.buffer = extra_pixels.data();
          extra.buffer_size = extra_pixels.size();
          if (QovInternalAttachExtraChannelOutput(
                  dec, static_cast<uint64_t>(options.extra_channel), extra) != QOV_DEC_OK) {
            r.error = "extra channel output refused";
            return r;
          }
        }
        break;
      }
      case QOV_DEC_IMAGE_DONE:
        r.frames.push_back(pixels);
        if (options.extra_channel >= 0) r.extra_frames.push_back(extra_pixels);
        break;
      default:
        if (s == QOV_DEC_WANT_PREVIEW_BUFFER || s == QOV_DEC_WANT_JPEG_OUTPUT ||
            s == QOV_DEC_WANT_BOX_OUTPUT) {
          r.error = "unexpected request " + std::to_string(s);
          return r;
        }
        break;
    }
  }
}

}  // namespace qov
