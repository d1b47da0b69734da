// qovinfo on a large many-frame file against reading the file once with cat:
// wall time of each (both run as child processes, output to /dev/null) and
// qovinfo's peak resident memory for two file sizes. The file is written at
// start-up by the project's own bundle and bit writer into a temporary folder.
#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <utility>
#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "lib/base/memory.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/frame_header.h"
#include "lib/bitstream/image_metadata.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/write_fields.h"

namespace qov {
namespace {

constexpr U32Coding kTocSizeCoding(Bits(10), BitsOffset(14, 1024), BitsOffset(22, 17408),
                                   BitsOffset(30, 4211712));

const QovMemoryManagerStruct* BenchManager() {
  static const QovMemoryManagerStruct manager = {nullptr, DefaultAllocate, DefaultRelease};
  return &manager;
}

std::vector<uint8_t> SpanBytes(const BitWriter& writer) {
  const Span span = writer.GetSpan();
  return std::vector<uint8_t>(span.data, span.data + span.size);
}

// One modular animation frame of `section_bytes` section bytes (header, TOC,
// section), the last one or not.
bool WriteFrame(const CodecMetadata& metadata, bool is_last, size_t section_bytes,
                std::vector<uint8_t>* out) {
  FrameHeader header(&metadata);
  header.all_default = false;
  header.encoding = static_cast<uint32_t>(FrameCoding::kModular);
  header.animation_frame.metadata = &metadata;
  header.animation_frame.duration = 40;
  header.is_last = is_last;
  header.loop_filter.all_default = false;
  header.loop_filter.gab = false;
  header.loop_filter.epf_iters = 0;
  BitWriter writer(BenchManager());
  if (!Bundle::Write(header, &writer, LayerType::kHeader, nullptr).ok()) return false;
  const Status toc = writer.WithBitBudget(64, LayerType::kToc, nullptr, [&]() {
    writer.PutBits(1, 0);
    writer.ZeroPadToByte();
    QOV_RETURN_IF_ERROR(
        WriteCodedU32(kTocSizeCoding, static_cast<uint32_t>(section_bytes), &writer));
    writer.ZeroPadToByte();
    return OkStatus();
  });
  if (!toc.ok() || !writer.healthy()) return false;
  *out = SpanBytes(writer);
  out->resize(out->size() + section_bytes, 0);
  return true;
}

// Writes a bare codestream of `frames` frames; returns false on failure.
bool WriteManyFrameFile(const std::string& path, size_t frames, size_t section_bytes) {
  CodecMetadata metadata;
  metadata.size.xsize = 256;
  metadata.size.ysize = 256;
  metadata.m.all_default = false;
  metadata.m.xyb_encoded = false;
  metadata.m.have_animation = true;
  metadata.m.animation.tps_numerator = 1000;
  metadata.m.animation.tps_denominator = 1;
  BitWriter writer(BenchManager());
  if (!WriteCodestreamSignature(&writer, nullptr).ok() ||
      !Bundle::Write(metadata.size, &writer, LayerType::kHeader, nullptr).ok() ||
      !Bundle::Write(metadata.m, &writer, LayerType::kHeader, nullptr).ok()) {
    return false;
  }
  metadata.transform_data.xyb = false;
  if (!Bundle::Write(metadata.transform_data, &writer, LayerType::kHeader, nullptr).ok() ||
      !writer.WithBitBudget(8, LayerType::kHeader, nullptr, [&]() {
        writer.ZeroPadToByte();
        return OkStatus();
      }).ok()) {
    return false;
  }
  std::vector<uint8_t> middle, last;
  if (!WriteFrame(metadata, false, section_bytes, &middle) ||
      !WriteFrame(metadata, true, section_bytes, &last)) {
    return false;
  }
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const std::vector<uint8_t> head = SpanBytes(writer);
  bool ok = std::fwrite(head.data(), 1, head.size(), f) == head.size();
  for (size_t i = 0; ok && i + 1 < frames; ++i) {
    ok = std::fwrite(middle.data(), 1, middle.size(), f) == middle.size();
  }
  ok = ok && std::fwrite(last.data(), 1, last.size(), f) == last.size();
  return std::fclose(f) == 0 && ok;
}

// Files by size in MiB and frame size in KiB, written once per process and
// removed at exit.
class BenchFiles {
 public:
  ~BenchFiles() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  // The file's path, or an empty text when it could not be written.
  std::string Get(size_t megabytes, size_t frame_kib) {
    const std::pair<size_t, size_t> key(megabytes, frame_kib);
    auto it = files_.find(key);
    if (it != files_.end()) return it->second;
    if (dir_.empty()) {
      std::string pattern =
          (std::filesystem::temp_directory_path() / "qov_info_bench_XXXXXX").string();
      if (mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
    }
    const std::string path = dir_ + "/frames_" + std::to_string(megabytes) + "mib_" +
                             std::to_string(frame_kib) + "kib.jxl";
    const size_t frames = megabytes * 1024 / frame_kib + 1;
    if (dir_.empty() || !WriteManyFrameFile(path, frames, frame_kib * 1024)) return "";
    files_[key] = path;
    return path;
  }

 private:
  std::string dir_;
  std::map<std::pair<size_t, size_t>, std::string> files_;
};

BenchFiles& Files() {
  static BenchFiles files;
  return files;
}

std::string QovinfoPath() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) return "qovinfo";
  self[n] = 0;
  return (std::filesystem::path(self).parent_path() / "qovinfo").string();
}

// Runs the program with stdout and stderr on /dev/null; returns the exit
// code (-1 on failure) and the child's peak resident set in KiB.
int RunQuiet(const std::vector<std::string>& args, long* max_rss_kb) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage = {};
  if (wait4(pid, &status, 0, &usage) < 0) return -1;
  *max_rss_kb = usage.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void RunProgram(benchmark::State& state, const std::vector<std::string>& program) {
  const std::string file = Files().Get(static_cast<size_t>(state.range(0)),
                                       static_cast<size_t>(state.range(1)));
  if (file.empty()) {
    state.SkipWithError("could not write the benchmark file");
    return;
  }
  std::vector<std::string> args = program;
  args.push_back(file);
  long max_rss_kb = 0;
  for (auto _ : state) {
    if (RunQuiet(args, &max_rss_kb) != 0) {
      state.SkipWithError(("failed: " + args[0]).c_str());
      return;
    }
  }
  const double bytes = static_cast<double>(std::filesystem::file_size(file));
  state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
  state.counters["file_MiB"] = bytes / (1024.0 * 1024.0);
  state.counters["frames"] = static_cast<double>(
      static_cast<size_t>(state.range(0)) * 1024 / static_cast<size_t>(state.range(1)) + 1);
  state.counters["peak_rss_KiB"] = static_cast<double>(max_rss_kb);
}

// `cat FILE > /dev/null`: reading the file once.
void BM_InfoReadFileOnce(benchmark::State& state) { RunProgram(state, {"/bin/cat"}); }
// `qovinfo FILE > /dev/null`: the whole report (one line per frame).
void BM_InfoQovinfo(benchmark::State& state) { RunProgram(state, {QovinfoPath()}); }

// {file MiB, frame KiB}: 1601 frames of 64 KiB at 100 MiB; a quarter of that
// to show that peak memory does not grow with the file; 101 frames of 1 MiB.
void InfoFileSizes(benchmark::internal::Benchmark* b) {
  b->Args({25, 64})->Args({100, 64})->Args({100, 1024});
  b->Unit(benchmark::kMillisecond)->UseRealTime();
}
BENCHMARK(BM_InfoReadFileOnce)->Apply(InfoFileSizes);
BENCHMARK(BM_InfoQovinfo)->Apply(InfoFileSizes);

}  // namespace
}  // namespace qov
