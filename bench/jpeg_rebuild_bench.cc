// Rebuild throughput of a JPEG file through the decoder loop (reconstruction
// box, VarDCT coefficients, writer), on the corpus file with the largest
// rebuilt JPEG. MB_per_s counts megabytes (10^6) of JPEG written per second;
// the argument is the input chunk size (0: the whole file at once).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lib/api/internal_pixel_hook.h"
#include "qov/qov.h"

namespace qov {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The corpus file whose rebuilt JPEG is the largest.
const std::string& LargestJbrdFile() {
  static const std::string name = [] {
    std::string best;
    uint64_t best_size = 0;
    const fs::path renders = fs::path(QOV_TESTDATA_DIR) / "renders";
    if (!fs::exists(renders)) return best;
    for (const auto& entry : fs::directory_iterator(renders)) {
      const std::string n = entry.path().filename().string();
      if (n.size() > 8 && n.ends_with(".jxl.jpg") && entry.file_size() > best_size) {
        best_size = entry.file_size();
        best = n.substr(0, n.size() - 4);
      }
    }
    return best;
  }();
  return name;
}

// One rebuild; the size written, or 0 on failure.
uint64_t Rebuild(const Bytes& file, uint64_t chunk, Bytes& space) {
  QovDecoder dec = QovDecoderCreate(nullptr);
  uint64_t written = 0;
  if (QovDecoderSubscribeEvents(dec, QOV_DEC_JPEG_DATA | QOV_DEC_IMAGE_DONE) ==
          QOV_DEC_OK &&
      QovInternalAttachJpegOutput(dec, space.data(), space.size()) == QOV_DEC_OK) {
    uint64_t given = 0;
    for (;;) {
      const QovDecoderStatus s = QovDecoderAdvance(dec);
      if (s == QOV_DEC_JPEG_DATA) continue;
      if (s == QOV_DEC_WANT_INPUT && given < file.size()) {
        const uint64_t consumed = given - QovDecoderReclaimInput(dec);
        given = std::min<uint64_t>(file.size(), given + chunk);
        QovDecoderProvideInput(dec, file.data() + consumed, given - consumed);
        if (given == file.size()) QovDecoderEndInput(dec);
        continue;
      }
      if (s == QOV_DEC_IMAGE_DONE) {
        written = space.size() - QovInternalReleaseJpegOutput(dec);
      }
      break;
    }
  }
  QovDecoderDelete(dec);
  return written;
}

void BM_JpegRebuildThroughDecoder(benchmark::State& state) {
  const std::string& name = LargestJbrdFile();
  if (name.empty()) {
    state.SkipWithError("no corpus file with a rebuilt JPEG");
    return;
  }
  const Bytes file = ReadFile(fs::path(QOV_TESTDATA_DIR) / "files" / name);
  const uint64_t chunk = state.range(0) == 0 ? file.size()
                                             : static_cast<uint64_t>(state.range(0));
  Bytes space(file.size() * 4);
  uint64_t size = 0;
  for (auto _ : state) {
    size = Rebuild(file, chunk, space);
    if (size == 0) {
      state.SkipWithError("the file does not rebuild");
      return;
    }
    benchmark::DoNotOptimize(space.data());
  }
  state.SetLabel(name);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
  state.counters["MB_per_s"] = benchmark::Counter(
      static_cast<double>(size) * 1e-6 * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_JpegRebuildThroughDecoder)
    ->Arg(0)
    ->Arg(2048)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace qov
