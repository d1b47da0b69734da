// Per-file driver of qovinfo: streams one file into a decoder in 2048-byte
// chunks and hands the events to the report handlers.
#ifndef TOOL_INFO_DRIVER_H_
#define TOOL_INFO_DRIVER_H_

namespace qov {

// Reports on the file `path`. Returns false when the file could not be opened
// or read (the exit code becomes 1); decoder errors only print messages.
bool ReportFile(const char* path, bool verbose);

}  // namespace qov

#endif  // TOOL_INFO_DRIVER_H_
