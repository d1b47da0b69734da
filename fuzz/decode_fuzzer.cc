// Drives the decoder the way qovinfo does: the same subscription and options,
// box output for 'jhgm' boxes parsed as gain maps, every getter that the
// report calls. Checks that no input crashes, hangs, over-reads or leaks.
// The input's last two bytes choose the chunk size of the streamed input and
// the variant: a memory manager that fails after some allocations.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qov/qov.h"

namespace {

struct FailingAllocator {
  uint64_t allocations_left;
};

void* FailingAlloc(void* opaque, uint64_t size) {
  auto* state = static_cast<FailingAllocator*>(opaque);
  if (state->allocations_left == 0) return nullptr;
  --state->allocations_left;
  return std::malloc(size);
}

void FailingFree(void*, void* address) { std::free(address); }

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
  return 0;
}
