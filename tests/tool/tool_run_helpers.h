// Helpers of the qovinfo tests: run the built tool, and temporary folders.
#ifndef TESTS_TOOL_TOOL_RUN_HELPERS_H_
#define TESTS_TOOL_TOOL_RUN_HELPERS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace qov {

struct ToolResult {
  std::string out;    // everything written to stdout
  std::string err;    // everything written to stderr
  int exit_code = -1; // -1 when the tool did not exit normally
};

// Runs qovinfo with `args` (after the program name, which is the tool's path)
// in the working folder `cwd` (empty: the current one).
ToolResult RunTool(const std::vector<std::string>& args, const std::string& cwd = "");

// The tool's path, as used for the program name in the usage text.
std::string ToolPath();

// A fresh folder, removed with its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // Writes `bytes` to the file `name` in the folder and returns its path.
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const;

 private:
  std::string path_;
};

std::vector<uint8_t> ReadFileBytes(const std::string& path);

}  // namespace qov

#endif  // TESTS_TOOL_TOOL_RUN_HELPERS_H_
