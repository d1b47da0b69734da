// Command line of qovinfo.
#include "command_line.h"

#include <cstdio>
#include <cstring>

namespace qov {
namespace {

bool IsVerboseOption(const char* arg) {
  return std::strcmp(arg, "-v") == 0 || std::strcmp(arg, "--verbose") == 0;
}

bool IsHelpOption(const char* arg) {
  return std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0 ||
         std::strcmp(arg, "-?") == 0;
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine line;
  if (argc < 2) {
    line.action = CommandLine::Action::kUsageError;
    return line;
  }
  // Options first, over all arguments: a help option anywhere wins before any
  // file is opened.
  for (int i = 1; i < argc; ++i) {
    if (IsVerboseOption(argv[i])) line.verbose = true;
    if (IsHelpOption(argv[i])) {
      line.action = CommandLine::Action::kHelp;
      return line;
    }
  }
  for (int i = 1; i < argc; ++i) {
    if (!IsVerboseOption(argv[i])) line.files.push_back(argv[i]);
  }
  return line;
}

void PrintUsage(const char* program) {
  std::fprintf(stderr,
               "Usage: %s [-v] [-h] INPUT\n"
               "  INPUT                  input JPEG XL image filename(s)\n"
               "  -v (or --verbose)      more verbose output\n"
               "  -h (or --help or -?)   this help)\n",
               program);
}

}  // namespace qov
