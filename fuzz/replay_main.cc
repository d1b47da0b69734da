// Gives every fuzz target a main() so that CTest can replay saved inputs
// without libFuzzer: each argument is a file or a folder (searched
// recursively); every regular file is run once through the target.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  size_t runs = 0;
  int failures = 0;
  for (int i = 1; i < argc; ++i) {
    const fs::path arg(argv[i]);
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
      for (const auto& entry : fs::recursive_directory_iterator(arg, ec)) {
        if (!entry.is_regular_file()) continue;
        failures += RunFile(entry.path());
        ++runs;
      }
    } else if (fs::is_regular_file(arg, ec)) {
      failures += RunFile(arg);
      ++runs;
    }
  }
  std::printf("replayed %zu inputs\n", runs);
  return failures == 0 ? 0 : 1;
}
