// Per-file driver of qovinfo.
#include "info_driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "info_report.h"
#include "qov/qov.h"

namespace qov {
namespace {

constexpr size_t kChunkSize = 2048;
// The file stream reads ahead this much, so that a large file costs few
// system reads although the decoder takes 2048 bytes at a time (the default
// buffer of a few KiB makes one system read per two chunks).
constexpr size_t kFileBufferSize = size_t{1} << 17;
constexpr int32_t kEvents = QOV_DEC_HEADER_INFO | QOV_DEC_COLOR_INFO |
                            QOV_DEC_FRAME_START | QOV_DEC_BOX_START |
                            QOV_DEC_BOX_COMPLETE;

// Everything one file needs; released by the destructor whatever happened.
struct FileSession {
  std::FILE* file = nullptr;
  char* file_buffer = nullptr;  // the stream's buffer (see kFileBufferSize)
  QovDecoder dec = nullptr;
  uint8_t* input = nullptr;  // heap block grown with realloc
  size_t input_size = 0;     // bytes last provided
  bool input_ended = false;
  FileReport report;

  FileSession() = default;
  FileSession(const FileSession&) = delete;
  FileSession& operator=(const FileSession&) = delete;
  ~FileSession() { Close(); }

  void Close() {
    if (dec != nullptr) {
      QovDecoderReclaimInput(dec);
      QovDecoderReclaimBoxBuffer(dec);
      QovDecoderDelete(dec);
      dec = nullptr;
    }
    std::free(input);
    input = nullptr;
    input_size = 0;
    report.box_buffer = std::vector<uint8_t>();
    if (file != nullptr) std::fclose(file);
    file = nullptr;
    std::free(file_buffer);  // only after the stream that used it is closed
    file_buffer = nullptr;
  }
};

enum class Step { kContinue, kStop, kReadError };

// QOV_DEC_WANT_INPUT: keep the unconsumed tail, append up to one chunk.
Step FeedInput(FileSession& s) {
  size_t tail = static_cast<size_t>(QovDecoderReclaimInput(s.dec));
  if (tail > s.input_size) tail = s.input_size;  // never trust beyond what we gave
  if (tail != 0) std::memmove(s.input, s.input + (s.input_size - tail), tail);
  uint8_t* grown = static_cast<uint8_t*>(std::realloc(s.input, tail + kChunkSize));
  if (grown == nullptr) {
    std::fprintf(stderr, "Memory reallocation failed\n");
    s.input_size = 0;
    return Step::kStop;
  }
  s.input = grown;
  const size_t got = std::fread(s.input + tail, 1, kChunkSize, s.file);
  s.input_size = tail + got;
  const bool at_end = std::feof(s.file) != 0;
  if (got == 0 && !at_end) {
    // A read error: asking again would read nothing again.
    return Step::kReadError;
  }
  if (got == 0 && s.input_ended) {
    // The input is over and the decoder still wants more.
    std::fprintf(stderr, "Unexpected EOF\n");
    return Step::kStop;
  }
  // A file whose length is a multiple of the chunk size reaches its end only on
  // a read that returns nothing: the input is ended there.
  if (QovDecoderProvideInput(s.dec, s.input, s.input_size) != QOV_DEC_OK) {
    std::fprintf(stderr, "Decoder error\n");
    return Step::kStop;
  }
  if (at_end && !s.input_ended) {
    QovDecoderEndInput(s.dec);
    s.input_ended = true;
  }
  return Step::kContinue;
}

// QOV_DEC_WANT_BOX_OUTPUT: grow the box buffer by one chunk, keeping what
// was written.
Step GrowBoxBuffer(FileSession& s) {
  const uint64_t unwritten = QovDecoderReclaimBoxBuffer(s.dec);
  std::vector<uint8_t>& box = s.report.box_buffer;
  const uint64_t n = box.size();
  if (n > UINT64_MAX - kChunkSize) {  // n + 2048 would not fit
    std::fprintf(stderr, "Box size overflow\n");
    return Step::kStop;
  }
  box.resize(n + kChunkSize, 0);
  const uint64_t start = unwritten <= n ? n - unwritten : 0;
  QovDecoderProvideBoxBuffer(s.dec, box.data() + start, box.size() - start);
  return Step::kContinue;
}

void OnBoxStart(FileSession& s, bool verbose) {
  char type[4] = {0, 0, 0, 0};
  uint64_t size = 0;
  uint64_t contents_size = 0;
  QovDecoderQueryBoxType(s.dec, type, 0);
  std::memcpy(s.report.last_box_type, type, 4);
  QovDecoderQueryBoxSize(s.dec, &size);
  QovDecoderQueryBoxContentSize(s.dec, &contents_size);
  if (verbose) {
    std::printf("Box:\n  type: \"%.4s\"\n  size: %llu\n  contents size: %llu\n",
                type, static_cast<unsigned long long>(size),
                static_cast<unsigned long long>(contents_size));
  }
  auto is = [&type](const char* name) { return std::memcmp(type, name, 4) == 0; };
  if (is("JXL ")) {
    std::printf("JPEG XL file format container (ISO/IEC 18181-2)\n");
  } else if (is("jxlc") || is("jxll") || is("jxlp") || is("ftyp")) {
    // Codestream and file-type boxes say nothing of their own.
  } else if (is("jxli")) {
    std::printf("Frame index box present\n");
  } else if (is("jbrd")) {
    std::printf("JPEG bitstream reconstruction data available\n");
  } else if (is("Exif") || is("xml ") || is("jumb")) {
    std::printf("Uncompressed %.4s metadata: %llu bytes\n", type,
                static_cast<unsigned long long>(size));
  } else if (is("brob")) {
    char inner[4] = {0, 0, 0, 0};
    QovDecoderQueryBoxType(s.dec, inner, 1);
    std::memcpy(s.report.last_box_type, inner, 4);
    std::printf("Brotli-compressed %.4s metadata: %llu compressed bytes\n", inner,
                static_cast<unsigned long long>(size));
  } else if (is("jhgm")) {
    // A buffer of an earlier box must be detached before its storage goes.
    QovDecoderReclaimBoxBuffer(s.dec);
    s.report.box_buffer.assign(kChunkSize, 0);
    QovDecoderProvideBoxBuffer(s.dec, s.report.box_buffer.data(),
                               s.report.box_buffer.size());
  } else {
    std::printf("Unknown box:\n  type: \"%.4s\"\n  size: %llu\n", type,
                static_cast<unsigned long long>(size));
  }
}

}  // namespace

bool ReportFile(const char* path, bool verbose) {
  FileSession s;
  s.file = std::fopen(path, "rb");
  if (s.file == nullptr) {
    std::fprintf(stderr, "Failed to read file: %s\n", path);
    return false;
  }
  // Without the larger buffer the stream keeps its default one.
  s.file_buffer = static_cast<char*>(std::malloc(kFileBufferSize));
  if (s.file_buffer != nullptr &&
      std::setvbuf(s.file, s.file_buffer, _IOFBF, kFileBufferSize) != 0) {
    std::free(s.file_buffer);
    s.file_buffer = nullptr;
  }
  s.dec = QovDecoderCreate(nullptr);
  if (s.dec == nullptr) {
    std::fprintf(stderr, "QovDecoderCreate failed\n");
    s.Close();
    std::fprintf(stderr, "Error reading file: %s\n", path);
    return true;
  }
  QovDecoderKeepOrientation(s.dec, 1);
  QovDecoderEnableCoalescing(s.dec, 0);
  if (QovDecoderSubscribeEvents(s.dec, kEvents) != QOV_DEC_OK) {
    std::fprintf(stderr, "QovDecoderSubscribeEvents failed\n");
    s.Close();
    std::fprintf(stderr, "Error reading file: %s\n", path);
    return true;
  }

  bool read_ok = true;
  for (bool more = true; more;) {
    const QovDecoderStatus status = QovDecoderAdvance(s.dec);
    switch (status) {
      case QOV_DEC_OK:
        more = false;
        break;
      case QOV_DEC_FAILED:
        std::fprintf(stderr, "Decoder error\n");
        more = false;
        break;
      case QOV_DEC_WANT_INPUT: {
        const Step step = FeedInput(s);
        if (step == Step::kReadError) {
          std::fprintf(stderr, "Failed to read file: %s\n", path);
          read_ok = false;
        }
        more = step == Step::kContinue;
        break;
      }
      case QOV_DEC_WANT_BOX_OUTPUT:
        more = GrowBoxBuffer(s) == Step::kContinue;
        break;
      case QOV_DEC_BOX_START:
        OnBoxStart(s, verbose);
        break;
      case QOV_DEC_HEADER_INFO:
        more = OnHeaderInfo(s.report, verbose, s.dec);
        break;
      case QOV_DEC_COLOR_INFO:
        more = OnColorInfo(s.report, verbose, s.dec);
        break;
      case QOV_DEC_FRAME_START:
        more = OnFrameStart(s.report, verbose, s.dec);
        break;
      case QOV_DEC_BOX_COMPLETE:
        more = OnBoxComplete(s.report, verbose, s.dec);
        break;
      default:
        std::fprintf(stderr, "Unexpected decoder status\n");
        more = false;
        break;
    }
  }

  OnFileEnd(s.report, verbose);
  const bool have_basic_info = s.report.have_basic_info;
  s.Close();
  if (!have_basic_info) std::fprintf(stderr, "Error reading file: %s\n", path);
  return read_ok;
}

}  // namespace qov
