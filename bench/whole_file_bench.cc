// Whole-file decoding of corpus files, one per class (small and large
// lossless, VarDCT 8-bit and 16-bit HDR, animation, progressive, a file with
// JPEG reconstruction data), through the decoder loop with pixels attached
// by the internal hook, with 1 thread (no runner) and 8 threads (a
// persistent pool behind the task-pool runner).
//
// Counters: MP/s (displayed megapixels, every frame, per second of wall
// time), decoder_peak_MiB (high-water mark of the decoder's own heap,
// measured by its memory manager) and, on Linux, rss_peak_MiB (the
// process's peak resident set over the benchmark, reset before it: includes
// the caller's output buffer, the cached files and what the heap keeps of
// earlier benchmarks). The output buffer is allocated
// once per benchmark and reused, as a viewer decoding many files would.
#include <benchmark/benchmark.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lib/api/internal_pixel_hook.h"
#include "lib/base/memory.h"
#include "qov/qov.h"

namespace qov {
namespace {

// `threads` threads in all serving the task-pool runner convention: the
// calling thread (thread 0) and threads - 1 persistent workers. A loop runs
// on the caller and on the workers that join before the caller has run out
// of items; the caller then waits only for those, so a worker that the
// system schedules late costs no waiting.
class PersistentPool {
 public:
  explicit PersistentPool(size_t threads) : threads_(threads) {
    for (size_t t = 1; t < threads_; ++t) {
      workers_.emplace_back([this, t] { Work(t); });
    }
  }
  ~PersistentPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    for (std::thread& w : workers_) w.join();
  }
  PersistentPool(const PersistentPool&) = delete;
  PersistentPool& operator=(const PersistentPool&) = delete;

  static int32_t Run(void* runner_opaque, void* loop_opaque, TaskInitFn init,
                     TaskItemFn item, uint32_t begin, uint32_t end) {
    auto* self = static_cast<PersistentPool*>(runner_opaque);
    if (in_worker_) {
      // A loop started by an item: run it here, as one thread.
      if (init != nullptr && init(loop_opaque, 1) != 0) return -1;
      for (uint32_t i = begin; i < end; ++i) item(loop_opaque, i, 0);
      return 0;
    }
    if (init != nullptr && init(loop_opaque, self->threads_) != 0) return -1;
    if (begin >= end) return 0;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->opaque_ = loop_opaque;
      self->item_ = item;
      self->next_.store(begin);
      self->end_ = end;
      self->open_ = true;
      ++self->generation_;
    }
    self->wake_.notify_all();
    in_worker_ = true;
    self->RunItems(loop_opaque, item, end, 0);
    in_worker_ = false;
    std::unique_lock<std::mutex> lock(self->mutex_);
    self->open_ = false;
    self->done_.wait(lock, [self] { return self->active_ == 0; });
    return 0;
  }

 private:
  void RunItems(void* opaque, TaskItemFn item, uint32_t end, size_t thread) {
    for (;;) {
      const uint32_t i = next_.fetch_add(1);
      if (i >= end) break;
      item(opaque, i, thread);
    }
  }

  void Work(size_t thread) {
    in_worker_ = true;
    uint64_t seen = 0;
    for (;;) {
      void* opaque;
      TaskItemFn item;
      uint32_t end;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return quit_ || generation_ != seen; });
        if (quit_) return;
        seen = generation_;
        if (!open_) continue;  // the loop finished without this worker
        ++active_;
        opaque = opaque_;
        item = item_;
        end = end_;
      }
      RunItems(opaque, item, end, thread);
      std::lock_guard<std::mutex> lock(mutex_);
      if (--active_ == 0) done_.notify_one();
    }
  }

  static thread_local bool in_worker_;
  const size_t threads_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  bool quit_ = false;
  bool open_ = false;
  uint64_t generation_ = 0;
  size_t active_ = 0;
  void* opaque_ = nullptr;
  TaskItemFn item_ = nullptr;
  std::atomic<uint32_t> next_{0};
  uint32_t end_ = 0;
};

thread_local bool PersistentPool::in_worker_ = false;

// The default heap with a running count of live bytes and its high-water
// mark (each block carries its size in a 64-byte header).
struct PeakManager {
  static constexpr uint64_t kHeader = 64;
  QovMemoryManagerStruct manager{this, &Alloc, &Free};
  uint64_t live = 0;
  uint64_t peak = 0;
  std::mutex mutex;

  static void* Alloc(void* opaque, uint64_t size) {
    auto* self = static_cast<PeakManager*>(opaque);
    if (size > UINT64_MAX - kHeader) return nullptr;
    uint8_t* p = static_cast<uint8_t*>(DefaultAllocate(nullptr, size + kHeader));
    if (p == nullptr) return nullptr;
    std::memcpy(p, &size, sizeof(size));
    std::lock_guard<std::mutex> lock(self->mutex);
    self->live += size;
    self->peak = std::max(self->peak, self->live);
    return p + kHeader;
  }
  static void Free(void* opaque, void* address) {
    if (address == nullptr) return;
    auto* self = static_cast<PeakManager*>(opaque);
    uint8_t* p = static_cast<uint8_t*>(address) - kHeader;
    uint64_t size;
    std::memcpy(&size, p, sizeof(size));
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      self->live -= size;
    }
    DefaultRelease(nullptr, p);
  }
};

#if defined(__linux__)
// Resets the process's peak resident set to its current one (Linux 4.0+),
// after handing the heap's free memory back so that earlier benchmarks'
// blocks do not count.
void ResetPeakRss() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
  if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
}
// VmHWM in bytes, 0 when unknown.
uint64_t PeakRssBytes() {
  uint64_t kib = 0;
  if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof(line), f) != nullptr) {
      if (std::strncmp(line, "VmHWM:", 6) == 0) {
        kib = std::strtoull(line + 6, nullptr, 10);
        break;
      }
    }
    std::fclose(f);
  }
  return kib * 1024;
}
#endif

const std::vector<uint8_t>* LoadFile(const std::string& name) {
  static std::map<std::string, std::vector<uint8_t>> cache;
  auto it = cache.find(name);
  if (it != cache.end()) return &it->second;
  const std::string path = std::string(QOV_TESTDATA_DIR) + "/files/" + name;
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return nullptr;
  const std::streamoff size = in.tellg();
  if (size <= 0) return nullptr;
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) return nullptr;
  return &cache.emplace(name, std::move(bytes)).first->second;
}

// Decodes every displayed frame of `file` to interleaved samples (8 or 16
// bits as the file's depth needs) in `pixels`, grown as needed. Returns the
// displayed pixel count summed over frames, 0 on failure.
uint64_t DecodeFile(const std::vector<uint8_t>& file, PersistentPool* pool,
                    PeakManager* memory, std::vector<uint8_t>* pixels) {
  QovDecoder dec = QovDecoderCreate(&memory->manager);
  if (dec == nullptr) return 0;
  struct Deleter {
    QovDecoder d;
    ~Deleter() { QovDecoderDelete(d); }
  } deleter{dec};
  if (pool != nullptr &&
      QovInternalSetTaskRunner(dec, &PersistentPool::Run, pool) != QOV_DEC_OK) {
    return 0;
  }
  if (QovDecoderSubscribeEvents(dec, QOV_DEC_HEADER_INFO | QOV_DEC_IMAGE_DONE) !=
      QOV_DEC_OK) {
    return 0;
  }
  if (QovDecoderProvideInput(dec, file.data(), file.size()) != QOV_DEC_OK) return 0;
  QovDecoderEndInput(dec);
  QovBasicInfo info{};
  uint64_t total = 0, frame_pixels = 0;
  for (;;) {
    const QovDecoderStatus s = QovDecoderAdvance(dec);
    if (s == QOV_DEC_OK) break;
    if (s == QOV_DEC_HEADER_INFO) {
      if (QovDecoderGetBasicInfo(dec, &info) != QOV_DEC_OK) return 0;
    } else if (s == QOV_DEC_WANT_IMAGE_BUFFER) {
      uint64_t w = 0, h = 0;
      if (QovInternalOutputSize(dec, &w, &h) != QOV_DEC_OK) return 0;
      const uint32_t channels = (info.num_color_channels == 1 ? 1 : 3) +
                                (info.alpha_bits != 0 ? 1 : 0);
      const bool wide = info.bits_per_sample > 8 || info.exponent_bits_per_sample != 0;
      InternalPixelTarget target;
      target.format.num_channels = channels;
      target.format.data_type = wide ? OutputSampleType::kUint16 : OutputSampleType::kUint8;
      target.format.byte_order = ByteOrder::kLittleEndian;
      const uint64_t bytes = w * h * channels * (wide ? 2 : 1);
      if (pixels->size() < bytes) pixels->resize(bytes);
      target.buffer = pixels->data();
      target.buffer_size = bytes;
      if (QovInternalAttachPixelOutput(dec, target) != QOV_DEC_OK) return 0;
      frame_pixels = w * h;
    } else if (s == QOV_DEC_IMAGE_DONE) {
      total += frame_pixels;
    } else {
      // QOV_DEC_FAILED, input wanted beyond the whole file, or a request
      // this benchmark does not serve.
      return 0;
    }
  }
  QovDecoderReclaimInput(dec);
  return total;
}

void BM_WholeFile(benchmark::State& state, const char* name) {
  const std::vector<uint8_t>* file = LoadFile(name);
  if (file == nullptr) {
    state.SkipWithError("sample file missing");
    return;
  }
  const size_t threads = static_cast<size_t>(state.range(0));
  std::unique_ptr<PersistentPool> pool;
  if (threads > 1) pool = std::make_unique<PersistentPool>(threads);
  std::vector<uint8_t> pixels;
  PeakManager memory;
#if defined(__linux__)
  ResetPeakRss();
#endif
  // One untimed decode: output buffer, heap and pool warm, failures
  // reported.
  if (DecodeFile(*file, pool.get(), &memory, &pixels) == 0) {
    state.SkipWithError("the file does not decode");
    return;
  }
  uint64_t pixels_done = 0;
  for (auto _ : state) {
    const uint64_t n = DecodeFile(*file, pool.get(), &memory, &pixels);
    if (n == 0) {
      state.SkipWithError("the file does not decode");
      return;
    }
    pixels_done += n;
  }
  state.counters["MP/s"] = benchmark::Counter(static_cast<double>(pixels_done) * 1e-6,
                                              benchmark::Counter::kIsRate);
  state.counters["decoder_peak_MiB"] = static_cast<double>(memory.peak) / (1 << 20);
#if defined(__linux__)
  state.counters["rss_peak_MiB"] = static_cast<double>(PeakRssBytes()) / (1 << 20);
#endif
}

#define QOV_WHOLE_FILE(label, file)                                       \
  BENCHMARK_CAPTURE(BM_WholeFile, label, file)                            \
      ->ArgName("threads")                                                \
      ->Arg(1)                                                            \
      ->Arg(8)                                                            \
      ->Unit(benchmark::kMillisecond)                                     \
      ->UseRealTime()

// Small lossless (modular, 64x64).
QOV_WHOLE_FILE(small_lossless,
               "OxideAV__oxideav-jpegxl__tests__fixtures__noise_64x64_lossless.jxl");
// Large lossless (modular): weighted-predictor trees, gradient trees, prefix
// codes with run lengths.
QOV_WHOLE_FILE(large_lossless_rgb_1000x1000,
               "KDE__kimageformats__autotests__read__jxl__rgb_lossless_noprof.jxl");
QOV_WHOLE_FILE(large_lossless_gray_4096x4096,
               "a-r-d__PureJsImage__tests__fixtures__jpegxl__permuted-large-gray8.jxl");
QOV_WHOLE_FILE(large_lossless_srgb_1140x1260,
               "tirr-c__jxl-oxide-testdata__benchmark-data__srgb.d0-e1.jxl");
// VarDCT, XYB, 8-bit.
QOV_WHOLE_FILE(vardct8_1280x720, "Traneptora__jxlatte__samples__bbb.jxl");
QOV_WHOLE_FILE(vardct8_2560x1440,
               "tirr-c__jxl-oxide-testdata__benchmark-data__nahida-motion.d1-e7.jxl");
// VarDCT, XYB, 16-bit PQ.
QOV_WHOLE_FILE(vardct_hdr16_3840x2160, "Traneptora__jxlatte__samples__sollevante-hdr.jxl");
// Animation: 11 modular frames of 360x360, every frame rendered.
QOV_WHOLE_FILE(animation_11x360x360,
               "alistair7__jxltk__doc__10_seconds_countdown.gif.jxl");
// Progressive: VarDCT with several AC passes.
QOV_WHOLE_FILE(progressive_2560x1440,
               "OxideAV__oxideav-jpegxl__tests__fixtures__progressive_ac_multipass.jxl");
// A file with JPEG reconstruction data ('jbrd'), decoded to pixels (the
// rebuild of the JPEG file itself: jpeg_rebuild_bench.cc).
QOV_WHOLE_FILE(jbrd_pixels_1280x720,
               "Isotr0py__pillow-jpegxl-plugin__test__images__icc_profile__62AHB.jxl");

}  // namespace
}  // namespace qov
