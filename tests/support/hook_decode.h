// Decoding to pixels in-process through the internal pixel hook, for tests:
// the file is handed over in chunks through the real decoder loop and every
// displayed frame is captured.
#ifndef QOV_TESTS_SUPPORT_HOOK_DECODE_H_
#define QOV_TESTS_SUPPORT_HOOK_DECODE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lib/frame/pixel_output.h"

namespace qov {

struct HookDecodeOptions {
  size_t chunk = 0;    // bytes per QovDecoderProvideInput; 0: the whole file
  size_t threads = 0;  // worker threads of the task runner; 0: no runner
  // Sample type of the captured frames (native byte order); channels are
  // the colour channels and the first alpha channel.
  OutputSampleType type = OutputSampleType::kFloat32;
  uint64_t bits_per_sample = 0;  // integer types; 0: the file's own
  int32_t extra_events = 0;  // subscribed besides HEADER_INFO and IMAGE_DONE
  // Extra channel also captured, one sample per pixel in `type` (-1: none).
  int64_t extra_channel = -1;
};

struct HookDecodeResult {
  bool ok = false;
  std::string error;  // why not, when !ok
  uint64_t width = 0, height = 0;  // of the last captured frame
  size_t channels = 0;
  std::vector<std::vector<uint8_t>> frames;  // one per displayed frame
  std::vector<std::vector<uint8_t>> extra_frames;  // the extra channel's
  std::vector<int32_t> events;               // every status Advance returned
  uint64_t runner_calls = 0;  // parallel loops handed to the runner
};

// The runner's state: worker threads per loop and the loops run so far.
struct ThreadRunnerState {
  size_t threads = 0;
  uint64_t calls = 0;
};

// Runs the items of each parallel loop on `threads` fresh threads;
// `runner_opaque` is a ThreadRunnerState.
int32_t RunOnThreads(void* runner_opaque, void* loop_opaque,
                     int32_t (*init)(void*, uint64_t),
                     void (*item)(void*, uint32_t, uint64_t), uint32_t begin,
                     uint32_t end);

HookDecodeResult HookDecode(const std::vector<uint8_t>& file,
                            const HookDecodeOptions& options);

std::vector<uint8_t> ReadTestFile(const std::string& path);

}  // namespace qov

#endif  // QOV_TESTS_SUPPORT_HOOK_DECODE_H_
