// Report handlers of qovinfo: what is printed for each decoder event and at
// the end of each file. Report lines go to stdout, messages to stderr.
#ifndef TOOL_INFO_REPORT_H_
#define TOOL_INFO_REPORT_H_

#include <cstdint>
#include <vector>

#include "qov/qov.h"

namespace qov {

// What the report keeps about one file; fresh for each file.
struct FileReport {
  bool have_basic_info = false;   // set by OnHeaderInfo
  QovBasicInfo info = {};         // of this file, valid with have_basic_info
  uint32_t layer_count = 0;       // frame lines printed so far
  float duration_ms_sum = 0.0f;   // sum of printed frame durations
  char last_box_type[4] = {0, 0, 0, 0};
  std::vector<uint8_t> box_buffer;  // contents of the current 'jhgm' box
};

// Each handler returns whether the file's decoding loop goes on.
bool OnHeaderInfo(FileReport& report, bool verbose, QovDecoder dec);
bool OnColorInfo(FileReport& report, bool verbose, QovDecoder dec);
bool OnFrameStart(FileReport& report, bool verbose, QovDecoder dec);
bool OnBoxComplete(FileReport& report, bool verbose, QovDecoder dec);
// Prints the animation length of an animation.
void OnFileEnd(const FileReport& report, bool verbose);

// Prints one colour encoding, every line starting with `prefix`.
void PrintColorEncoding(const char* prefix, const QovColorEncoding& encoding);

}  // namespace qov

#endif  // TOOL_INFO_REPORT_H_
