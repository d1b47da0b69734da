// qovinfo on a large many-frame file against reading the file once with cat:
// wall time of each (both run as child processes, output to /dev/null) and
// qovinfo's peak resident memory for two file sizes. The file is written at
// start-up by the project's own bundle and bit writer into a temporary folder.
// Side by side in one run (the programs alternate, so machine load hits both
// alike): qovinfo against cat on the smallest sample file (start-up cost;
// target ratio at most 1.5), and against exiftool over all sample files
// (target speed-up at least 20; skipped when exiftool is not installed).
#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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

// The sample files (.jxl) in name order; empty without the sample folder.
std::vector<std::string> SampleFiles() {
  std::vector<std::string> files;
  std::error_code ec;
  const std::filesystem::path dir = std::filesystem::path(QOV_TESTDATA_DIR) / "files";
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (entry.is_regular_file() && entry.path().extension() == ".jxl") {
      files.push_back(entry.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// The first executable named `name` on PATH; empty when there is none.
std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

struct RunTimes {
  double wall_ms = -1;  // negative when the program could not be run
  double cpu_ms = 0;    // the child's user and system time
};

RunTimes TimedRun(const std::vector<std::string>& args) {
  RunTimes t;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) return t;
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
  if (wait4(pid, &status, 0, &usage) < 0) return t;
  const auto end = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 127) return t;
  t.wall_ms = std::chrono::duration<double, std::milli>(end - start).count();
  auto ms = [](const timeval& v) { return v.tv_sec * 1000.0 + v.tv_usec / 1000.0; };
  t.cpu_ms = ms(usage.ru_utime) + ms(usage.ru_stime);
  return t;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Runs `a` and `b` alternately, once each per iteration; the iteration time
// is a's wall time. Reports medians of wall and CPU time of both, and b's
// over a's for each (CPU time is the steadier on a busy machine).
void SideBySide(benchmark::State& state, const std::vector<std::string>& a,
                const std::vector<std::string>& b, const std::string& a_name,
                const std::string& b_name) {
  std::vector<double> a_wall, b_wall, a_cpu, b_cpu;
  for (auto _ : state) {
    const RunTimes ta = TimedRun(a), tb = TimedRun(b);
    if (ta.wall_ms < 0 || tb.wall_ms < 0) {
      state.SkipWithError(("could not run " + (ta.wall_ms < 0 ? a[0] : b[0])).c_str());
      return;
    }
    a_wall.push_back(ta.wall_ms);
    b_wall.push_back(tb.wall_ms);
    a_cpu.push_back(ta.cpu_ms);
    b_cpu.push_back(tb.cpu_ms);
    state.SetIterationTime(ta.wall_ms / 1000.0);
  }
  if (a_wall.empty()) return;
  const double aw = Median(a_wall), bw = Median(b_wall);
  const double ac = Median(a_cpu), bc = Median(b_cpu);
  state.counters[a_name + "_ms"] = aw;
  state.counters[b_name + "_ms"] = bw;
  state.counters[a_name + "_cpu_ms"] = ac;
  state.counters[b_name + "_cpu_ms"] = bc;
  state.counters[b_name + "_over_" + a_name] = bw / aw;
  state.counters[b_name + "_over_" + a_name + "_cpu"] = ac > 0 ? bc / ac : 0;
}

// One small file: qovinfo's whole run against cat's (start-up dominates).
void BM_InfoStartupAgainstCat(benchmark::State& state) {
  const std::vector<std::string> files = SampleFiles();
  if (files.empty()) {
    state.SkipWithError("no sample files");
    return;
  }
  std::string smallest = files[0];
  for (const std::string& f : files) {
    if (std::filesystem::file_size(f) < std::filesystem::file_size(smallest)) smallest = f;
  }
  SideBySide(state, {"/bin/cat", smallest}, {QovinfoPath(), smallest}, "cat", "qovinfo");
  state.counters["target_qovinfo_over_cat"] = 1.5;
}

// All sample files in one run of each program: one qovinfo process and one
// exiftool process, each given the same file list in the same order, both
// writing to /dev/null, so each side pays its start-up once (one process
// per file would charge exiftool's interpreter start 145 times instead).
void BM_InfoCorpusAgainstExiftool(benchmark::State& state) {
  const std::string exiftool = FindOnPath("exiftool");
  if (exiftool.empty()) {
    state.SkipWithError("exiftool is not installed (skipped)");
    return;
  }
  const std::vector<std::string> files = SampleFiles();
  if (files.empty()) {
    state.SkipWithError("no sample files");
    return;
  }
  std::vector<std::string> qovinfo = {QovinfoPath()};
  std::vector<std::string> other = {exiftool};
  qovinfo.insert(qovinfo.end(), files.begin(), files.end());
  other.insert(other.end(), files.begin(), files.end());
  SideBySide(state, qovinfo, other, "qovinfo", "exiftool");
  state.counters["files"] = static_cast<double>(files.size());
  state.counters["target_exiftool_over_qovinfo"] = 20;
}

BENCHMARK(BM_InfoStartupAgainstCat)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(200);
BENCHMARK(BM_InfoCorpusAgainstExiftool)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(20);

}  // namespace
}  // namespace qov
