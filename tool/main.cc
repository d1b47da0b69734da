// qovinfo: prints a report on each JPEG XL file named on the command line.
#include <cstdio>

#include "command_line.h"
#include "info_driver.h"

int main(int argc, char** argv) {
  const qov::CommandLine line = qov::ParseCommandLine(argc, argv);
  switch (line.action) {
    case qov::CommandLine::Action::kUsageError:
      qov::PrintUsage(argc > 0 ? argv[0] : "qovinfo");
      return 2;
    case qov::CommandLine::Action::kHelp:
      qov::PrintUsage(argv[0]);
      return 0;
    case qov::CommandLine::Action::kReport:
      break;
  }
  int result = 0;
  for (const char* path : line.files) {
    if (!qov::ReportFile(path, line.verbose)) result = 1;
  }
  return result;
}
