// Rebuilds a JPEG file through the decoder loop: the 'jbrd' box, the capture
// of 'Exif' / 'xml ' boxes, the VarDCT coefficients and the writer, with the
// JPEG output space attached through the internal hook. Checks that nothing
// crashes, hangs, over-reads or leaks, that the decoder never claims more
// output than the space it was given, and that streaming the input in
// chunks (with an output space that starts too small and grows) gives the
// same rebuilt file as one whole input with ample space. The input is the
// file as it is; the chunk size and first space come from its size, so the
// corpus files themselves rebuild in full. Inputs without a 'jbrd' box or
// above 8 KiB are passed over.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "lib/api/internal_pixel_hook.h"
#include "qov/qov.h"

namespace {

struct Rebuilt {
  bool done = false;  // QOV_DEC_IMAGE_DONE with the file written
  std::vector<uint8_t> jpeg;
};

Rebuilt Run(const uint8_t* data, size_t size, size_t chunk, size_t space_size) {
  Rebuilt result;
  QovDecoder dec = QovDecoderCreate(nullptr);
  if (dec == nullptr) std::abort();
  std::vector<uint8_t> space(space_size);
  if (QovDecoderSubscribeEvents(dec, QOV_DEC_HEADER_INFO | QOV_DEC_JPEG_DATA |
                                         QOV_DEC_IMAGE_DONE) != QOV_DEC_OK ||
      qov::QovInternalAttachJpegOutput(dec, space.data(), space.size()) !=
          QOV_DEC_OK) {
    std::abort();
  }
  size_t given = 0;
  for (size_t steps = 0; steps < 16 * (size + 64) + 100000; ++steps) {
    const QovDecoderStatus s = QovDecoderAdvance(dec);
    if (s == QOV_DEC_JPEG_DATA) continue;
    if (s == QOV_DEC_HEADER_INFO) {
      // Large images only cost time here: a fuzzer-sized limit of our own.
      QovBasicInfo info;
      if (QovDecoderGetBasicInfo(dec, &info) != QOV_DEC_OK) std::abort();
      if (uint64_t{info.xsize} * info.ysize > (uint64_t{1} << 20)) break;
      continue;
    }
    if (s == QOV_DEC_WANT_INPUT) {
      const uint64_t tail = QovDecoderReclaimInput(dec);
      if (tail > given) std::abort();  // the decoder lied
      if (given == size) break;
      const size_t consumed = given - tail;
      given = std::min(size, given + chunk);
      if (QovDecoderProvideInput(dec, data + consumed, given - consumed) !=
          QOV_DEC_OK) {
        std::abort();
      }
      if (given == size) QovDecoderEndInput(dec);
      continue;
    }
    if (s == QOV_DEC_WANT_JPEG_OUTPUT) {
      if (qov::QovInternalReleaseJpegOutput(dec) != space.size()) std::abort();
      if (space.size() > (64u << 20)) break;  // a fuzzer-sized limit of our own
      space.assign(space.size() * 2 + 1, 0);
      if (qov::QovInternalAttachJpegOutput(dec, space.data(), space.size()) !=
          QOV_DEC_OK) {
        std::abort();
      }
      continue;
    }
    if (s == QOV_DEC_IMAGE_DONE) {
      const uint64_t left = qov::QovInternalReleaseJpegOutput(dec);
      if (left > space.size()) std::abort();
      result.done = true;
      result.jpeg.assign(space.begin(), space.end() - static_cast<ptrdiff_t>(left));
    }
    break;  // done, failed, or a frame that wants pixels
  }
  QovDecoderDelete(dec);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Without a 'jbrd' box the JPEG path is never reached, and decoding the
  // frames to pixels is the business of other targets.
  static constexpr uint8_t kJbrd[4] = {'j', 'b', 'r', 'd'};
  if (std::search(data, data + size, kJbrd, kJbrd + 4) == data + size) return 0;
  // The small corpus files with a 'jbrd' box are the seeds; larger inputs
  // only slow the fixed-seed runs down (the corpus test rebuilds the large
  // files in every chunking).
  if (size > 8192) return 0;
  const uint64_t mix = (uint64_t{size} + 1) * 0x9E3779B97F4A7C15ull;
  const size_t chunk = 1 + ((mix >> 40) % 2048);
  const size_t first_space = 1 + (mix >> 20) % 512;
  const Rebuilt whole = Run(data, size, size == 0 ? 1 : size, 4 * size + (1u << 16));
  const Rebuilt streamed = Run(data, size, chunk, first_space);
  if (streamed.done != whole.done) std::abort();
  if (streamed.jpeg != whole.jpeg) std::abort();
  return 0;
}
