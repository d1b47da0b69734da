// Command line of qovinfo: options, file names and the usage text.
#ifndef TOOL_COMMAND_LINE_H_
#define TOOL_COMMAND_LINE_H_

#include <vector>

namespace qov {

struct CommandLine {
  enum class Action {
    kUsageError,  // too few arguments: usage on stderr, exit code 2
    kHelp,        // a help option: usage on stderr, exit code 0, no file read
    kReport,      // report on `files` in order
  };
  Action action = Action::kReport;
  bool verbose = false;
  // Every argument other than "-v" and "--verbose", in order; a name that
  // starts with '-' is still a file name.
  std::vector<const char*> files;
};

CommandLine ParseCommandLine(int argc, const char* const* argv);

// Prints the usage text to stderr with `program` as the program name.
void PrintUsage(const char* program);

}  // namespace qov

#endif  // TOOL_COMMAND_LINE_H_
