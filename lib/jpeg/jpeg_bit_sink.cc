// The bit sink of entropy-coded data, the SOS segment, the MCU count and the
// hand-over of queued output to the caller's sink.
#include <algorithm>
#include <cstring>

#include "lib/jpeg/jpeg_writer.h"

namespace qov {
namespace jpeg {

const uint8_t kJpegZigZag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

namespace {

void NewChunk(JpegBitSink& sink) {
  sink.chunk = JpegOutputPiece();
  sink.chunk.owned.assign(kJpegChunkSize, 0);
  sink.chunk.data = sink.chunk.owned.data();
  sink.chunk_data = sink.chunk.owned.data();
  sink.position = 0;
}

}  // namespace

void JpegBitSink::Init(std::deque<JpegOutputPiece>* output_queue) {
  queue = output_queue;
  NewChunk(*this);
  accumulator = 0;
  free_bits = 64;
  ok = true;
}

void JpegBitSink::NextChunk() {
  chunk.size = position;
  queue->push_back(std::move(chunk));
  NewChunk(*this);
}

void JpegBitSink::Finish() {
  if (position == 0 || chunk_data == nullptr) return;
  chunk.size = position;
  queue->push_back(std::move(chunk));
  chunk = JpegOutputPiece();
  chunk_data = nullptr;
  position = 0;
}

void JpegBitSink::FlushAccumulator() {
  // Eight bytes, each possibly followed by a stuffed zero.
  EnsureRoom(16);
  const uint64_t a = accumulator;
  // Any 0xFF byte?  (x + 0x01..01) & ~x & 0x80..80 finds bytes of 0xFF in ~a.
  const uint64_t inverted = ~a;
  const bool has_ff = ((inverted - 0x0101010101010101ull) & ~inverted &
                       0x8080808080808080ull) != 0;
  if (!has_ff) {
    for (int i = 0; i < 8; ++i) {
      chunk_data[position + i] = static_cast<uint8_t>(a >> (56 - 8 * i));
    }
    position += 8;
    return;
  }
  for (int i = 0; i < 8; ++i) {
    StoreStuffed(static_cast<uint8_t>(a >> (56 - 8 * i)));
  }
}

bool JpegBitSink::PadToByte(const uint8_t** cursor, const uint8_t* end) {
  const int k = free_bits % 8;
  uint32_t pad = 0;
  if (cursor != nullptr && *cursor != nullptr && k > 0) {
    if (end - *cursor < k) return false;
    for (int i = 0; i < k; ++i) {
      const uint8_t bit = (*cursor)[i];
      if (bit > 1) return false;
      pad = (pad << 1) | bit;
    }
    *cursor += k;
  } else {
    pad = (1u << k) - 1;
  }
  EnsureRoom(16);
  int used = 64 - free_bits;
  int shift = 56;
  while (used >= 8) {
    StoreStuffed(static_cast<uint8_t>(accumulator >> shift));
    shift -= 8;
    used -= 8;
  }
  if (used > 0) {
    StoreStuffed(static_cast<uint8_t>((accumulator >> shift) | pad));
  }
  accumulator = 0;
  free_bits = 64;
  return true;
}

void JpegBitSink::PutMarker(uint8_t second) {
  EnsureRoom(2);
  chunk_data[position] = 0xFF;
  chunk_data[position + 1] = second;
  position += 2;
}

bool EmitScanHeader(const JPEGData& jpeg, const JpegScanSpec& scan,
                    JpegEmitState& state) {
  const uint32_t n = scan.component_count;
  if (n > 4) return false;  // not a scan the bundle can describe
  JpegOutputPiece piece;
  piece.owned.assign(2 * n + 8, 0);
  uint8_t* p = piece.owned.data();
  p[0] = 0xFF;
  p[1] = 0xDA;
  p[2] = static_cast<uint8_t>((2 * n + 6) >> 8);
  p[3] = static_cast<uint8_t>(2 * n + 6);
  p[4] = static_cast<uint8_t>(n);
  bool ok = true;
  for (uint32_t i = 0; i < n && i < 4; ++i) {
    const JpegScanComponent& sc = scan.components[i];
    if (sc.component_index >= jpeg.component_list.size()) {
      ok = false;
      break;
    }
    p[5 + 2 * i] =
        static_cast<uint8_t>(jpeg.component_list[sc.component_index].id);
    p[6 + 2 * i] = static_cast<uint8_t>(sc.dc_table * 16 + sc.ac_table);
  }
  p[5 + 2 * n] = static_cast<uint8_t>(scan.ss);
  p[6 + 2 * n] = static_cast<uint8_t>(scan.se);
  p[7 + 2 * n] = static_cast<uint8_t>(scan.ah * 16 + scan.al);
  piece.data = p;
  piece.size = piece.owned.size();
  state.output_queue.push_back(std::move(piece));
  return ok;
}

void CountScanMcus(const JPEGData& jpeg, const JpegScanSpec& scan,
                   int64_t& columns, int64_t& rows) {
  uint64_t hmax = 1, vmax = 1;
  for (const JpegComponentData& c : jpeg.component_list) {
    hmax = std::max<uint64_t>(hmax, c.h_sampling);
    vmax = std::max<uint64_t>(vmax, c.v_sampling);
  }
  uint64_t h = 1, v = 1;
  if (scan.component_count < 2 &&
      scan.components[0].component_index < jpeg.component_list.size()) {
    const JpegComponentData& c =
        jpeg.component_list[scan.components[0].component_index];
    h = c.h_sampling;
    v = c.v_sampling;
  }
  // Callers keep sampling factors at 15 or less, so nothing overflows.
  columns = static_cast<int64_t>((h * jpeg.width + 8 * hmax - 1) / (8 * hmax));
  rows = static_cast<int64_t>((v * jpeg.height + 8 * vmax - 1) / (8 * vmax));
}

Status FlushJpegOutput(JpegEmitState& state, const JpegOutputSink& sink) {
  if (state.stage == 3) return OkStatus();
  while (!state.output_queue.empty()) {
    JpegOutputPiece& piece = state.output_queue.front();
    if (piece.size != 0) {
      const uint64_t taken = std::min<uint64_t>(sink(piece.data, piece.size),
                                                piece.size);
      if (taken == 0) return NeedMoreBytesStatus();
      piece.data += taken;
      piece.size -= taken;
      if (piece.size != 0) continue;
    }
    state.output_queue.pop_front();
  }
  return OkStatus();
}

}  // namespace jpeg
}  // namespace qov
