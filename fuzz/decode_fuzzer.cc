// Drives the decoder the way qovinfo does: the same subscription and options,
// box output for 'jhgm' boxes parsed as gain maps, every getter that the
// report calls. Then decodes the pixels of every displayed frame through the
// internal pixel hook, into a buffer or through row callbacks, in a sample
// type the input chooses. Checks that no input crashes, hangs, over-reads or
// leaks. The input's last two bytes choose the chunk size of the streamed
// input and the variant: a memory manager that fails after some
// allocations; with it, the pixel decode is run a second time, and running
// out of memory may only turn success into failure, never change a pixel.
//
// Pixels are decoded only for images the fuzzer can render quickly: at most
// kMaxArea pixels per frame (times the channel count), kMaxFrames displayed
// frames and kMaxTotalArea pixels in all; other inputs stop at the first
// frame that passes a bound.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "lib/api/internal_pixel_hook.h"
#include "qov/qov.h"

namespace {

#define Check(condition) QOV_FUZZ_CHECK("decode fuzzer", condition)

using qov_fuzz::FailingAllocator;
using qov_fuzz::FailingAlloc;
using qov_fuzz::FailingFree;

void ReadGainMap(const std::vector<uint8_t>& box) {
  QovGainMapRecord record;
  if (!QovGainMapParse(&record, box.data(), box.size(), nullptr)) return;
  if (record.compressed_icc_size != 0) {
    uint8_t* icc = nullptr;
    uint64_t icc_size = 0;
    if (QovDecompressICCProfile(nullptr, record.compressed_icc,
                                record.compressed_icc_size, &icc, &icc_size)) {
      std::free(icc);
    }
  }
}

void QueryHeaders(QovDecoder dec) {
  QovBasicInfo info;
  if (QovDecoderGetBasicInfo(dec, &info) != QOV_DEC_OK) return;
  for (uint32_t i = 0; i < info.num_extra_channels; ++i) {
    QovExtraChannelInfo ec;
    if (QovDecoderGetExtraChannelInfo(dec, i, &ec) != QOV_DEC_OK) break;
    std::vector<char> name(ec.name_length + 1);
    (void)QovDecoderGetExtraChannelName(dec, i, name.data(), name.size());
  }
}

void QueryColor(QovDecoder dec) {
  QovColorEncoding color;
  if (QovDecoderGetColorAsFields(dec, QOV_COLOR_SOURCE_CODESTREAM, &color) ==
      QOV_DEC_OK) {
    return;
  }
  uint64_t size = 0;
  if (QovDecoderGetICCProfileSize(dec, QOV_COLOR_SOURCE_CODESTREAM, &size) !=
      QOV_DEC_OK) {
    return;
  }
  std::vector<uint8_t> icc(size);
  (void)QovDecoderGetColorAsICCProfile(dec, QOV_COLOR_SOURCE_CODESTREAM,
                                       icc.data(), icc.size());
}

void QueryFrame(QovDecoder dec) {
  QovFrameHeader header;
  if (QovDecoderGetFrameHeader(dec, &header) != QOV_DEC_OK) return;
  std::vector<char> name(header.name_length + 1);
  (void)QovDecoderGetFrameName(dec, name.data(), name.size());
}

constexpr uint64_t kMaxArea = uint64_t{1} << 16;
constexpr uint64_t kMaxTotalArea = uint64_t{1} << 18;
constexpr uint64_t kMaxFrames = 64;
constexpr uint64_t kMaxBufferBytes = uint64_t{16} << 20;

// An order-independent digest of the rows delivered: rows may come in any
// order and from any thread.
uint64_t RowDigest(size_t x, size_t y, const uint8_t* bytes, size_t n) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ (uint64_t{x} << 32) ^ y;
  for (size_t i = 0; i < n; ++i) h = (h ^ bytes[i]) * 0x100000001B3ull;
  return h;
}

struct RowSink {
  size_t bytes_per_pixel = 0;
  uint64_t width = 0, height = 0;
  uint64_t digest = 0;
  uint64_t inits = 0, destroys = 0;
};

void* SinkInit(void* opaque, size_t, size_t) {
  ++static_cast<RowSink*>(opaque)->inits;
  return opaque;
}

void SinkRun(void* opaque, size_t, size_t x, size_t y, size_t num_pixels,
             const void* pixels) {
  auto* sink = static_cast<RowSink*>(opaque);
  // Rows stay inside the image.
  Check(y < sink->height && x <= sink->width && num_pixels <= sink->width - x);
  sink->digest += RowDigest(x, y, static_cast<const uint8_t*>(pixels),
                            num_pixels * sink->bytes_per_pixel);
}

void SinkDestroy(void* opaque) { ++static_cast<RowSink*>(opaque)->destroys; }

struct PixelRun {
  bool ok = false;  // the decoder reached QOV_DEC_OK
  bool rendered = false;  // the bounds let at least one frame through
  std::vector<uint64_t> frame_digests;
};

// Decodes the pixels of every displayed frame. `style` picks the sample type
// (bits 0-1) and the delivery (bit 2: row callbacks).
PixelRun DecodePixels(const uint8_t* data, size_t size, size_t chunk,
                      const QovMemoryManager* manager, unsigned style,
                      bool keep_orientation) {
  PixelRun run;
  QovDecoder dec = QovDecoderCreate(manager);
  if (dec == nullptr) return run;
  (void)QovDecoderKeepOrientation(dec, keep_orientation ? 1 : 0);
  if (QovDecoderSubscribeEvents(dec, QOV_DEC_HEADER_INFO | QOV_DEC_IMAGE_DONE) !=
      QOV_DEC_OK) {
    QovDecoderDelete(dec);
    return run;
  }
  static const qov::OutputSampleType kTypes[4] = {
      qov::OutputSampleType::kUint8, qov::OutputSampleType::kUint16,
      qov::OutputSampleType::kFloat32, qov::OutputSampleType::kFloat16};
  const qov::OutputSampleType type = kTypes[style & 3];
  const bool callbacks = (style & 4) != 0;

  QovBasicInfo info{};
  uint64_t total_area = 0;
  size_t offset = 0;
  size_t given = 0;  // bytes of the input handed over so far
  bool ended = false;
  std::vector<uint8_t> buffer;
  RowSink sink;
  bool attached = false;
  bool using_sink = false;
  for (size_t steps = 0; steps < 16 * (size + 64) + 100000; ++steps) {
    const QovDecoderStatus status = QovDecoderAdvance(dec);
    if (status == QOV_DEC_OK) {
      run.ok = true;
      break;
    }
    if (status == QOV_DEC_FAILED) break;
    if (status == QOV_DEC_WANT_INPUT) {
      if (ended) break;
      const uint64_t unread = QovDecoderReclaimInput(dec);
      Check(unread <= given - offset);  // the decoder lied
      offset = given - unread;
      given = std::min(size, given + chunk);
      if (QovDecoderProvideInput(dec, data + offset, given - offset) != QOV_DEC_OK)
        break;
      if (given == size) {
        QovDecoderEndInput(dec);
        ended = true;
      }
    } else if (status == QOV_DEC_HEADER_INFO) {
      if (QovDecoderGetBasicInfo(dec, &info) != QOV_DEC_OK) break;
      const uint64_t area = uint64_t{info.xsize} * info.ysize;
      if (area > kMaxArea || area * (3 + info.num_extra_channels) > 3 * kMaxArea)
        break;
    } else if (status == QOV_DEC_WANT_IMAGE_BUFFER) {
      uint64_t width = 0, height = 0;
      if (qov::QovInternalOutputSize(dec, &width, &height) != QOV_DEC_OK) break;
      const uint64_t area = width * height;
      if (area > kMaxArea || total_area + area > kMaxTotalArea ||
          run.frame_digests.size() >= kMaxFrames) {
        break;
      }
      total_area += area;
      qov::InternalPixelTarget target;
      target.format.num_channels =
          (info.num_color_channels == 1 ? 1 : 3) + (info.alpha_bits != 0 ? 1 : 0);
      target.format.data_type = type;
      target.format.byte_order = (style & 8) ? qov::ByteOrder::kBigEndian
                                             : qov::ByteOrder::kNative;
      const size_t bytes_per_pixel =
          target.format.num_channels *
          (type == qov::OutputSampleType::kUint8 ? 1
           : type == qov::OutputSampleType::kFloat32 ? 4 : 2);
      const uint64_t bytes = area * bytes_per_pixel;
      using_sink = callbacks || bytes > kMaxBufferBytes;
      if (using_sink) {
        sink.bytes_per_pixel = bytes_per_pixel;
        sink.width = width;
        sink.height = height;
        sink.digest = 0;
        target.callbacks.init = SinkInit;
        target.callbacks.run = SinkRun;
        target.callbacks.destroy = SinkDestroy;
        target.callbacks.init_opaque = &sink;
      } else {
        buffer.assign(bytes, 0);
        target.buffer = buffer.data();
        target.buffer_size = buffer.size();
        target.stride = width * bytes_per_pixel;
      }
      // A well-formed target for the size the decoder gave.
      Check(qov::QovInternalAttachPixelOutput(dec, target) == QOV_DEC_OK);
      attached = true;
      run.rendered = true;
    } else if (status == QOV_DEC_IMAGE_DONE) {
      Check(attached);  // a frame done without a target
      if (using_sink) {
        run.frame_digests.push_back(sink.digest);
      } else {
        run.frame_digests.push_back(RowDigest(0, 0, buffer.data(), buffer.size()));
      }
      attached = false;
    } else {
      break;
    }
  }
  QovDecoderDelete(dec);
  // The row callbacks' run state is released once per init.
  Check(sink.inits == sink.destroys);
  return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t chunk_byte = data[size - 1];
  const uint8_t variant = data[size - 2];
  size -= 2;
  const size_t chunk = 1 + (chunk_byte % 4 == 0 ? 2047 : chunk_byte);

  FailingAllocator allocator{static_cast<uint64_t>(variant >> 1)};
  const QovMemoryManager failing = {&allocator, FailingAlloc, FailingFree};
  QovDecoder dec = QovDecoderCreate((variant & 1) ? &failing : nullptr);
  if (dec == nullptr) return 0;
  (void)QovDecoderKeepOrientation(dec, 1);
  (void)QovDecoderEnableCoalescing(dec, 0);
  if (QovDecoderSubscribeEvents(dec, QOV_DEC_HEADER_INFO | QOV_DEC_COLOR_INFO |
                                         QOV_DEC_FRAME_START | QOV_DEC_BOX_START |
                                         QOV_DEC_BOX_COMPLETE) != QOV_DEC_OK) {
    QovDecoderDelete(dec);
    return 0;
  }

  // The decoder reads the input in place: keep one copy whose unconsumed
  // tail we hand back with each new chunk, as qovinfo does.
  std::vector<uint8_t> input;
  size_t offset = 0;
  std::vector<uint8_t> box;
  bool box_is_gain_map = false;
  bool ended = false;
  // Every advance either consumes input or reports an event; a generous
  // bound turns a decoder that spins into a fuzzer-visible failure.
  for (size_t steps = 0; steps < 16 * (size + 64) + 100000; ++steps) {
    const QovDecoderStatus status = QovDecoderAdvance(dec);
    if (status == QOV_DEC_OK || status == QOV_DEC_FAILED) break;
    if (status == QOV_DEC_WANT_INPUT) {
      if (ended) break;
      const uint64_t tail = QovDecoderReclaimInput(dec);
      if (tail > input.size()) std::abort();  // the decoder lied
      input.erase(input.begin(), input.end() - tail);
      const size_t n = std::min(chunk, size - offset);
      input.insert(input.end(), data + offset, data + offset + n);
      offset += n;
      if (QovDecoderProvideInput(dec, input.data(), input.size()) != QOV_DEC_OK)
        break;
      if (offset == size) {
        QovDecoderEndInput(dec);
        ended = true;
      }
    } else if (status == QOV_DEC_WANT_BOX_OUTPUT) {
      const uint64_t unwritten = QovDecoderReclaimBoxBuffer(dec);
      if (unwritten > box.size()) std::abort();
      const size_t written = box.size() - unwritten;
      if (box.size() > (64u << 20)) break;  // a fuzzer-sized limit of our own
      box.resize(box.size() + 2048);
      if (QovDecoderProvideBoxBuffer(dec, box.data() + written,
                                     box.size() - written) != QOV_DEC_OK) {
        break;
      }
    } else if (status == QOV_DEC_BOX_START) {
      QovBoxType type;
      uint64_t box_size = 0, content_size = 0;
      (void)QovDecoderQueryBoxType(dec, type, 0);
      (void)QovDecoderQueryBoxSize(dec, &box_size);
      (void)QovDecoderQueryBoxContentSize(dec, &content_size);
      box_is_gain_map = std::memcmp(type, "jhgm", 4) == 0;
      if (std::memcmp(type, "brob", 4) == 0) {
        (void)QovDecoderQueryBoxType(dec, type, 1);
      }
      if (box_is_gain_map) {
        box.assign(2048, 0);
        if (QovDecoderProvideBoxBuffer(dec, box.data(), box.size()) != QOV_DEC_OK)
          break;
      }
    } else if (status == QOV_DEC_BOX_COMPLETE) {
      if (box_is_gain_map) {
        const uint64_t unwritten = QovDecoderReclaimBoxBuffer(dec);
        if (unwritten > box.size()) std::abort();
        box.resize(box.size() - unwritten);
        ReadGainMap(box);
        box.clear();
        box_is_gain_map = false;
      }
    } else if (status == QOV_DEC_HEADER_INFO) {
      QueryHeaders(dec);
    } else if (status == QOV_DEC_COLOR_INFO) {
      QueryColor(dec);
    } else if (status == QOV_DEC_FRAME_START) {
      QueryFrame(dec);
    } else {
      break;
    }
  }
  QovDecoderDelete(dec);

  const unsigned style = variant >> 1;
  const bool keep_orientation = (chunk_byte & 0x80) != 0;
  const PixelRun full =
      DecodePixels(data, size, chunk, nullptr, style, keep_orientation);
  if ((variant & 1) && full.rendered) {
    const uint64_t k = uint64_t{style} * style / 2;
    FailingAllocator pixel_allocator{k};
    const QovMemoryManager pixel_failing = {&pixel_allocator, FailingAlloc,
                                            FailingFree};
    const PixelRun limited =
        DecodePixels(data, size, chunk, &pixel_failing, style, keep_orientation);
    // Running out of memory only cuts the decode short: every frame it
    // finished has the pixels of the unlimited decode.
    Check(limited.frame_digests.size() <= full.frame_digests.size());
    Check(std::equal(limited.frame_digests.begin(), limited.frame_digests.end(),
                     full.frame_digests.begin()));
    Check(!limited.ok || full.ok);
  }
  return 0;
}
