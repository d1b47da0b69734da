// qov_render: decodes a file through the decoder loop and writes one
// displayed frame, composited and oriented, as a PAM file or raw float32;
// with --jpeg, rebuilds the JPEG file that the file's reconstruction data
// and coefficients describe.
//   qov_render [--frame N] [--f32] [--threads N] [--chunk N] FILE OUT
//   qov_render --jpeg [--threads N] [--chunk N] FILE OUT.jpg
// Exit 0 on success, 1 when the file does not decode (or has no usable
// reconstruction data), 2 on usage errors.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "lib/api/internal_pixel_hook.h"
#include "qov/qov.h"

namespace {

constexpr const char* kUsage =
    "usage: qov_render [--frame N] [--f32] [--threads N] [--chunk N] FILE OUT\n"
    "       qov_render --jpeg [--threads N] [--chunk N] FILE OUT.jpg";

int Usage(const char* why) {
  std::fprintf(stderr, "qov_render: %s\n%s\n", why, kUsage);
  return 2;
}

int Fail(const std::string& why) {
  std::fprintf(stderr, "qov_render: %s\n", why.c_str());
  return 1;
}

bool ParseCount(const char* text, uint64_t* value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

// Runs the items of one parallel loop on `threads` worker threads.
struct ThreadRunner {
  size_t threads;
  static int32_t Run(void* runner_opaque, void* loop_opaque,
                     qov::TaskInitFn init, qov::TaskItemFn item,
                     uint32_t begin, uint32_t end) {
    const size_t n = static_cast<ThreadRunner*>(runner_opaque)->threads;
    if (init != nullptr && init(loop_opaque, n) != 0) return -1;
    std::atomic<uint32_t> next{begin};
    std::vector<std::thread> workers;
    workers.reserve(n);
    for (size_t t = 0; t < n; ++t) {
      workers.emplace_back([&, t] {
        for (;;) {
          const uint32_t i = next.fetch_add(1);
          if (i >= end) break;
          item(loop_opaque, i, t);
        }
      });
    }
    for (std::thread& w : workers) w.join();
    return 0;
  }
};

// A zeroed byte buffer, mapped anew on Linux (huge pages advised), else
// from calloc.
struct PixelBuffer {
  uint8_t* data = nullptr;
  size_t size = 0;
  bool mapped = false;
  PixelBuffer() = default;
  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;
  ~PixelBuffer() { Free(); }
  void Free() {
#if defined(__linux__)
    if (mapped) munmap(data, size);
#endif
    if (!mapped) std::free(data);
    data = nullptr;
    size = 0;
    mapped = false;
  }
  bool Allocate(uint64_t bytes) {
    Free();
    if (bytes == 0 || bytes > SIZE_MAX) return false;
#if defined(__linux__)
    void* p = mmap(nullptr, static_cast<size_t>(bytes), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
#if defined(MADV_HUGEPAGE)
      madvise(p, static_cast<size_t>(bytes), MADV_HUGEPAGE);
#endif
      data = static_cast<uint8_t*>(p);
      size = static_cast<size_t>(bytes);
      mapped = true;
      return true;
    }
#endif
    data = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(bytes), 1));
    if (data == nullptr) return false;
    size = static_cast<size_t>(bytes);
    return true;
  }
};

struct Options {
  uint64_t frame = 0;
  bool f32 = false;
  bool jpeg = false;
  bool frame_given = false;
  uint64_t threads = 0;
  uint64_t chunk = 0;  // 0: the whole file
  const char* in = nullptr;
  const char* out = nullptr;
};

// 0 on success, else the exit code (a usage error).
int ParseArgs(int argc, char** argv, Options* o) {
  std::vector<const char*> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    uint64_t* target = nullptr;
    if (arg == "--f32") {
      o->f32 = true;
      continue;
    } else if (arg == "--jpeg") {
      o->jpeg = true;
      continue;
    } else if (arg == "--frame") {
      target = &o->frame;
      o->frame_given = true;
    } else if (arg == "--threads") {
      target = &o->threads;
    } else if (arg == "--chunk") {
      target = &o->chunk;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage(("unknown option " + arg).c_str());
    } else {
      positional.push_back(argv[i]);
      continue;
    }
    if (i + 1 >= argc || !ParseCount(argv[i + 1], target)) {
      return Usage(("option " + arg + " needs a number").c_str());
    }
    ++i;
  }
  if (positional.size() != 2) return Usage("expected FILE and OUT");
  if (o->chunk == 0 && argc > 0) {
    for (int i = 1; i + 1 < argc; ++i) {
      if (std::string(argv[i]) == "--chunk") return Usage("--chunk must be at least 1");
    }
  }
  if (o->threads > 1024) return Usage("--threads is at most 1024");
  if (o->jpeg && (o->f32 || o->frame_given)) {
    return Usage("--jpeg takes neither --f32 nor --frame");
  }
  o->in = positional[0];
  o->out = positional[1];
  return 0;
}

// Hands the next chunk of the file to the decoder after QOV_DEC_WANT_INPUT;
// false when the whole file was given already.
struct ChunkedInput {
  const std::vector<uint8_t>& file;
  uint64_t chunk;
  uint64_t given_end = 0;  // bytes of the file handed over so far

  bool Next(QovDecoder dec) {
    const uint64_t consumed = given_end - QovDecoderReclaimInput(dec);
    if (given_end >= file.size()) return false;
    given_end = std::min<uint64_t>(file.size(), given_end + chunk);
    if (QovDecoderProvideInput(dec, file.data() + consumed,
                               given_end - consumed) != QOV_DEC_OK) {
      return false;
    }
    if (given_end == file.size()) QovDecoderEndInput(dec);
    return true;
  }
};

// Rebuilds the JPEG file into `out` through the decoder loop. The output
// space starts at a guess and doubles whenever the decoder asks for more
// (it then writes the whole file again).
int RebuildJpeg(QovDecoder dec, const std::vector<uint8_t>& file,
                uint64_t chunk, const char* out_path) {
  if (QovDecoderSubscribeEvents(dec, QOV_DEC_JPEG_DATA | QOV_DEC_IMAGE_DONE) !=
      QOV_DEC_OK) {
    return Fail("cannot subscribe to events");
  }
  constexpr uint64_t kMaxJpegSize = uint64_t{1} << 32;
  std::vector<uint8_t> jpeg(std::max<uint64_t>(file.size() * 2, 65536));
  if (qov::QovInternalAttachJpegOutput(dec, jpeg.data(), jpeg.size()) !=
      QOV_DEC_OK) {
    return Fail("cannot attach the JPEG output");
  }
  ChunkedInput input{file, chunk};
  bool have_data = false;
  for (;;) {
    const QovDecoderStatus s = QovDecoderAdvance(dec);
    if (s == QOV_DEC_FAILED) {
      return Fail(have_data ? "the file does not decode to a JPEG file"
                            : "the file has no usable JPEG reconstruction data");
    }
    if (s == QOV_DEC_OK) {
      return Fail("the file has no JPEG reconstruction data");
    }
    if (s == QOV_DEC_WANT_INPUT) {
      if (!input.Next(dec)) return Fail("the file is truncated");
      continue;
    }
    if (s == QOV_DEC_JPEG_DATA) {
      have_data = true;
      continue;
    }
    if (s == QOV_DEC_WANT_JPEG_OUTPUT) {
      if (jpeg.size() >= kMaxJpegSize) return Fail("the JPEG file is too large");
      qov::QovInternalReleaseJpegOutput(dec);
      jpeg.assign(jpeg.size() * 2, 0);
      if (qov::QovInternalAttachJpegOutput(dec, jpeg.data(), jpeg.size()) !=
          QOV_DEC_OK) {
        return Fail("cannot attach the JPEG output");
      }
      continue;
    }
    if (s == QOV_DEC_IMAGE_DONE) break;
    if (s == QOV_DEC_WANT_IMAGE_BUFFER) {
      return Fail(have_data ? "the image is not the rebuilt JPEG file"
                            : "the file has no JPEG reconstruction data "
                              "ahead of its image");
    }
    return Fail("unexpected request from the decoder");
  }
  const uint64_t size = jpeg.size() - qov::QovInternalReleaseJpegOutput(dec);
  std::FILE* out = std::fopen(out_path, "wb");
  if (out == nullptr) return Fail(std::string("cannot write ") + out_path);
  bool ok = std::fwrite(jpeg.data(), 1, size, out) == size;
  ok = std::fclose(out) == 0 && ok;
  if (!ok) return Fail(std::string("cannot write ") + out_path);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (const int code = ParseArgs(argc, argv, &opt); code != 0) return code;

  std::vector<uint8_t> file;
  {
    // One read of the whole file (a byte-wise stream copy is slow enough to
    // show in whole-process timings).
    std::ifstream in(opt.in, std::ios::binary | std::ios::ate);
    if (!in) return Fail(std::string("cannot read ") + opt.in);
    const std::streamoff size = in.tellg();
    if (size < 0) return Fail(std::string("cannot read ") + opt.in);
    file.resize(static_cast<size_t>(size));
    in.seekg(0);
    if (size > 0 && !in.read(reinterpret_cast<char*>(file.data()), size)) {
      return Fail(std::string("cannot read ") + opt.in);
    }
  }

  QovDecoder dec = QovDecoderCreate(nullptr);
  if (dec == nullptr) return Fail("cannot create a decoder");
  struct Deleter {
    QovDecoder d;
    ~Deleter() { QovDecoderDelete(d); }
  } deleter{dec};
  ThreadRunner runner{static_cast<size_t>(opt.threads)};
  if (opt.threads != 0 &&
      qov::QovInternalSetTaskRunner(dec, &ThreadRunner::Run, &runner) !=
          QOV_DEC_OK) {
    return Fail("cannot attach the task runner");
  }
  if (opt.jpeg) {
    return RebuildJpeg(dec, file, opt.chunk == 0 ? file.size() : opt.chunk,
                       opt.out);
  }
  if (QovDecoderSubscribeEvents(dec, QOV_DEC_HEADER_INFO | QOV_DEC_IMAGE_DONE) !=
      QOV_DEC_OK) {
    return Fail("cannot subscribe to events");
  }

  const uint64_t chunk = opt.chunk == 0 ? file.size() : opt.chunk;
  uint64_t given_end = 0;  // bytes of the file handed over so far
  uint64_t consumed = 0;
  QovBasicInfo info{};
  uint64_t width = 0, height = 0;
  // The output buffer is zeroed and, being large and fresh, left untouched
  // here: its pages are first touched by the decoder's (parallel) output
  // stage. On Linux it lies on transparent huge pages when the system
  // allows, one fault per 2 MiB instead of one per 4 KiB.
  PixelBuffer pixels;
  size_t channels = 0, bytes_per_sample = 0;
  uint32_t maxval = 0;
  uint64_t displayed = 0;
  bool written = false;
  for (;;) {
    const QovDecoderStatus s = QovDecoderAdvance(dec);
    if (s == QOV_DEC_FAILED) return Fail("the file does not decode");
    if (s == QOV_DEC_OK) break;
    if (s == QOV_DEC_WANT_INPUT) {
      const uint64_t unread = QovDecoderReclaimInput(dec);
      consumed = given_end - unread;
      if (given_end >= file.size()) return Fail("the file is truncated");
      given_end = std::min<uint64_t>(file.size(), given_end + chunk);
      if (QovDecoderProvideInput(dec, file.data() + consumed,
                                 given_end - consumed) != QOV_DEC_OK) {
        return Fail("input refused");
      }
      if (given_end == file.size()) QovDecoderEndInput(dec);
      continue;
    }
    if (s == QOV_DEC_HEADER_INFO) {
      if (QovDecoderGetBasicInfo(dec, &info) != QOV_DEC_OK) {
        return Fail("no basic info");
      }
      continue;
    }
    if (s == QOV_DEC_WANT_IMAGE_BUFFER) {
      if (qov::QovInternalOutputSize(dec, &width, &height) != QOV_DEC_OK) {
        return Fail("no image size");
      }
      channels = (info.num_color_channels == 1 ? 1 : 3) + (info.alpha_bits != 0 ? 1 : 0);
      qov::InternalPixelTarget target;
      target.format.num_channels = static_cast<uint32_t>(channels);
      if (opt.f32) {
        target.format.data_type = qov::OutputSampleType::kFloat32;
        target.format.byte_order = qov::ByteOrder::kLittleEndian;
        bytes_per_sample = 4;
      } else {
        const bool integer = info.exponent_bits_per_sample == 0 &&
                             info.bits_per_sample >= 1 &&
                             info.bits_per_sample <= 16;
        const uint32_t bits = integer ? info.bits_per_sample : 16;
        maxval = (uint32_t{1} << bits) - 1;
        target.format.data_type = bits <= 8 ? qov::OutputSampleType::kUint8
                                            : qov::OutputSampleType::kUint16;
        target.format.byte_order = qov::ByteOrder::kBigEndian;
        target.bits_per_sample = bits;
        bytes_per_sample = bits <= 8 ? 1 : 2;
      }
      const uint64_t row = width * channels * bytes_per_sample;
      if (width == 0 || height == 0 || height > (uint64_t{1} << 34) / row) {
        return Fail("image too large");
      }
      if (!pixels.Allocate(row * height)) return Fail("out of memory");
      target.buffer = pixels.data;
      target.buffer_size = pixels.size;
      target.stride = row;
      if (qov::QovInternalAttachPixelOutput(dec, target) != QOV_DEC_OK) {
        return Fail("cannot attach the pixel output");
      }
      continue;
    }
    if (s == QOV_DEC_IMAGE_DONE) {
      if (displayed == opt.frame) {
        written = true;
        break;
      }
      ++displayed;
      continue;
    }
    if (s == QOV_DEC_WANT_PREVIEW_BUFFER || s == QOV_DEC_WANT_JPEG_OUTPUT ||
        s == QOV_DEC_WANT_BOX_OUTPUT) {
      return Fail("unexpected request from the decoder");
    }
  }
  if (!written) {
    return Fail("the file has no displayed frame " + std::to_string(opt.frame));
  }

  std::FILE* out = std::fopen(opt.out, "wb");
  if (out == nullptr) return Fail(std::string("cannot write ") + opt.out);
  bool ok = true;
  if (!opt.f32) {
    static const char* kTypes[5] = {"", "GRAYSCALE", "GRAYSCALE_ALPHA", "RGB",
                                    "RGB_ALPHA"};
    ok = std::fprintf(out,
                      "P7\nWIDTH %llu\nHEIGHT %llu\nDEPTH %zu\nMAXVAL %u\n"
                      "TUPLTYPE %s\nENDHDR\n",
                      static_cast<unsigned long long>(width),
                      static_cast<unsigned long long>(height), channels,
                      maxval, kTypes[channels]) > 0;
  }
  ok = ok && std::fwrite(pixels.data, 1, pixels.size, out) == pixels.size;
  ok = std::fclose(out) == 0 && ok;
  if (!ok) return Fail(std::string("cannot write ") + opt.out);
  return 0;
}
