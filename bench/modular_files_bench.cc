// Whole-file decoding of three lossless (modular) sample files to pixels
// through the internal pixel hook, on the calling thread and on a pool of
// 8 worker threads: megapixels per second (wall-clock).
//   rgb_lossless_noprof  1000x1000 RGB, weighted-predictor trees
//   permuted_gray8       4096x4096 grey, gradient trees
//   srgb_d0_e1           1140x1260 RGBA, prefix codes with run lengths
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lib/api/internal_pixel_hook.h"
#include "qov/qov.h"

namespace qov {
namespace {

// Worker threads that live across parallel loops (a loop starts no thread).
class BenchThreadPool {
 public:
  explicit BenchThreadPool(size_t threads) {
    for (size_t t = 0; t < threads; ++t) {
      workers_.emplace_back([this, t] { Work(t); });
    }
  }
  ~BenchThreadPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& w : workers_) w.join();
  }

  static int32_t Run(void* runner_opaque, void* loop_opaque, TaskInitFn init,
                     TaskItemFn item, uint32_t begin, uint32_t end) {
    BenchThreadPool* pool = static_cast<BenchThreadPool*>(runner_opaque);
    const size_t n = pool->workers_.size();
    if (init != nullptr && init(loop_opaque, n) != 0) return -1;
    std::unique_lock<std::mutex> lock(pool->mutex_);
    pool->loop_ = loop_opaque;
    pool->item_ = item;
    pool->next_.store(begin);
    pool->end_ = end;
    pool->busy_ = n;
    ++pool->generation_;
    pool->wake_.notify_all();
    pool->done_.wait(lock, [pool] { return pool->busy_ == 0; });
    return 0;
  }

 private:
  void Work(size_t thread) {
    uint64_t seen = 0;
    for (;;) {
      void* loop;
      TaskItemFn item;
      uint32_t end;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
        loop = loop_;
        item = item_;
        end = end_;
      }
      for (;;) {
        const uint32_t i = next_.fetch_add(1);
        if (i >= end) break;
        item(loop, i, thread);
      }
      std::lock_guard<std::mutex> lock(mutex_);
      if (--busy_ == 0) done_.notify_one();
    }
  }

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  bool stop_ = false;
  uint64_t generation_ = 0;
  void* loop_ = nullptr;
  TaskItemFn item_ = nullptr;
  std::atomic<uint32_t> next_{0};
  uint32_t end_ = 0;
  size_t busy_ = 0;
};

std::vector<uint8_t> ReadTestFile(const std::string& name) {
  std::ifstream in(std::string(QOV_TESTDATA_DIR) + "/files/" + name,
                   std::ios::binary | std::ios::ate);
  if (!in) return {};
  const std::streamoff size = in.tellg();
  std::vector<uint8_t> data(static_cast<size_t>(std::max<std::streamoff>(size, 0)));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(data.data()), size);
  return data;
}

// Decodes the first displayed frame into `pixels` (8-bit samples of the
// file's colour channels and alpha). The pixel count, or 0 on failure.
uint64_t DecodeToPixels(const std::vector<uint8_t>& file,
                        BenchThreadPool* pool, std::vector<uint8_t>& pixels) {
  QovDecoder dec = QovDecoderCreate(nullptr);
  if (dec == nullptr) return 0;
  struct Deleter {
    QovDecoder d;
    ~Deleter() { QovDecoderDelete(d); }
  } deleter{dec};
  if (pool != nullptr &&
      QovInternalSetTaskRunner(dec, &BenchThreadPool::Run, pool) !=
          QOV_DEC_OK) {
    return 0;
  }
  if (QovDecoderSubscribeEvents(dec, QOV_DEC_HEADER_INFO | QOV_DEC_IMAGE_DONE) !=
          QOV_DEC_OK ||
      QovDecoderProvideInput(dec, file.data(), file.size()) != QOV_DEC_OK) {
    return 0;
  }
  QovDecoderEndInput(dec);
  QovBasicInfo info{};
  uint64_t width = 0, height = 0;
  for (;;) {
    const QovDecoderStatus s = QovDecoderAdvance(dec);
    if (s == QOV_DEC_HEADER_INFO) {
      if (QovDecoderGetBasicInfo(dec, &info) != QOV_DEC_OK) return 0;
    } else if (s == QOV_DEC_WANT_IMAGE_BUFFER) {
      if (QovInternalOutputSize(dec, &width, &height) != QOV_DEC_OK) return 0;
      InternalPixelTarget target;
      target.format.num_channels =
          (info.num_color_channels == 1 ? 1 : 3) + (info.alpha_bits != 0 ? 1 : 0);
      target.format.data_type = OutputSampleType::kUint8;
      target.stride = width * target.format.num_channels;
      // Kept across iterations: its size does not change.
      pixels.resize(target.stride * height);
      target.buffer = pixels.data();
      target.buffer_size = pixels.size();
      if (QovInternalAttachPixelOutput(dec, target) != QOV_DEC_OK) return 0;
    } else if (s == QOV_DEC_IMAGE_DONE) {
      return width * height;
    } else {
      return 0;  // failure, end of input or an unexpected request
    }
  }
}

void BM_ModularFile(benchmark::State& state, const char* name) {
  const std::vector<uint8_t> file = ReadTestFile(name);
  const size_t threads = static_cast<size_t>(state.range(0));
  std::unique_ptr<BenchThreadPool> pool;
  if (threads != 0) pool = std::make_unique<BenchThreadPool>(threads);
  std::vector<uint8_t> pixels;
  uint64_t count = 0;
  for (auto _ : state) {
    count = DecodeToPixels(file, pool.get(), pixels);
    if (count == 0) {
      state.SkipWithError("the file does not decode");
      return;
    }
    benchmark::DoNotOptimize(pixels.data());
  }
  state.counters["MP/s"] = benchmark::Counter(
      static_cast<double>(count) * 1e-6 * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}

// Argument: worker threads (0: no runner, everything on the calling thread).
BENCHMARK_CAPTURE(BM_ModularFile, rgb_lossless_noprof,
                  "KDE__kimageformats__autotests__read__jxl__rgb_lossless_noprof.jxl")
    ->Arg(0)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ModularFile, permuted_gray8,
                  "a-r-d__PureJsImage__tests__fixtures__jpegxl__permuted-large-gray8.jxl")
    ->Arg(0)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ModularFile, srgb_d0_e1,
                  "tirr-c__jxl-oxide-testdata__benchmark-data__srgb.d0-e1.jxl")
    ->Arg(0)->Arg(8)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qov
