// The JPEG writer: rebuilds a JPEG file from a complete JPEGData and hands it
// to an output sink. Also the state, output pieces and bit sink that the
// writer shares with its three scan encoders.
#ifndef QOV_LIB_JPEG_JPEG_WRITER_H_
#define QOV_LIB_JPEG_JPEG_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "lib/base/status.h"
#include "lib/jpeg/jpeg_data.h"

namespace qov {
namespace jpeg {

// Takes (bytes, count) and answers how many it accepted (at most count).
// Accepting none of a non-empty block ends the write with NeedMoreBytes.
using JpegOutputSink = std::function<uint64_t(const uint8_t*, uint64_t)>;

// Writes the whole file. Ok: every byte went to the sink; Failed: the data
// cannot be written (the sink may have received a prefix); NeedMoreBytes:
// the sink stopped taking bytes. No state survives the call: the next call
// writes the file again from its first byte. `jpeg` must stay unchanged.
Status EmitJpegStream(const JPEGData& jpeg, const JpegOutputSink& sink);

// ---------------------------------------------------------------------------
// Shared by the writer and the scan encoders.

inline constexpr size_t kJpegChunkSize = 16384;

// One queued block of output: owned bytes or a reference into the JPEGData.
struct JpegOutputPiece {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
  std::vector<uint8_t> owned;  // the storage behind data when owned
};

// The encoding form of one Huffman table.
struct JpegHuffmanTable {
  static constexpr uint8_t kNoCode = 127;
  JpegHuffmanTable() {
    for (uint8_t& length : lengths) length = kNoCode;
  }
  uint8_t lengths[256];  // kNoCode: the symbol has no code
  uint16_t codes[256] = {};
  bool built = false;
};

// Writer of entropy-coded bytes into 16384-byte chunks with 0xFF 0x00 byte
// stuffing. Every store checks the room left and starts a new chunk when a
// worst-case store would not fit, so no sequence of calls can overrun a
// chunk; callers' room tests only choose where chunks end.
class JpegBitSink {
 public:
  void Init(std::deque<JpegOutputPiece>* queue);
  // Writes the n low bits of value, most significant first. value holds no
  // bits above bit n - 1. n above 32 (a symbol without a code: its length
  // is 127) writes nothing and clears ok.
  inline void PutBits(uint64_t value, int n) {
    if (n > 32) {
      ok = false;
      return;
    }
    if (n <= 0) return;
    free_bits -= n;
    if (free_bits >= 0) {
      accumulator |= value << free_bits;
      return;
    }
    accumulator |= value >> -free_bits;
    FlushAccumulator();
    free_bits += 64;
    accumulator = value << free_bits;
  }
  // Completes the current byte with the next stored padding bits (cursor
  // not null) or with 1-bits, then stores every pending bit. False when the
  // stored bits run out or one is neither 0 nor 1.
  bool PadToByte(const uint8_t** cursor, const uint8_t* end);
  // Writes two bytes without stuffing (restart markers). The accumulator
  // must be empty.
  void PutMarker(uint8_t second);
  // Moves the chunk to the queue and starts a new one.
  void NextChunk();
  // Starts a new chunk when fewer than `room` bytes are left.
  void EnsureRoom(size_t room) {
    if (position + room > kJpegChunkSize) NextChunk();
  }
  // Queues the partly filled chunk (if not empty); the sink holds none.
  void Finish();

  bool ok = true;
  std::deque<JpegOutputPiece>* queue = nullptr;
  JpegOutputPiece chunk;
  uint8_t* chunk_data = nullptr;
  uint64_t position = 0;
  uint64_t accumulator = 0;
  int32_t free_bits = 64;

 private:
  void FlushAccumulator();
  void StoreStuffed(uint8_t byte) {
    chunk_data[position] = byte;
    chunk_data[position + 1] = 0;
    position += byte == 0xFF ? 2 : 1;
  }
};

// The pending run of end-of-band symbols of a progressive scan and the
// correction bits of refinement scans held back with it.
struct JpegEobRunState {
  static constexpr int32_t kMaxRun = 0x7FFF;
  int32_t run_length = 0;
  const JpegHuffmanTable* run_table = nullptr;
  // 16 bits per word, earliest bit highest; the last word holds
  // (count mod 16) bits in its low bits (16 when the count divides by 16).
  std::vector<uint16_t> correction_bits;
  uint64_t correction_bit_count = 0;
};

enum class JpegScanResult : int32_t { kComplete = 3, kFailure = 2 };

// The whole state of one EmitJpegStream call.
struct JpegEmitState {
  int32_t stage = 0;  // 0 start, 1 markers, 2 all written, 3 failed
  std::deque<JpegOutputPiece> output_queue;
  uint64_t marker_index = 0;
  size_t dht_index = 0, dqt_index = 0, app_index = 0, com_index = 0,
         inter_marker_index = 0, scan_index = 0;
  std::vector<JpegHuffmanTable> dc_tables, ac_tables;
  const uint8_t* padding_cursor = nullptr;
  const uint8_t* padding_end = nullptr;
  bool restart_interval_seen = false;
  bool is_progressive = false;

  // Owned by the scan encoders.
  int32_t scan_stage = 0;
  int64_t next_mcu_row = 0;
  JpegBitSink bit_sink;
  int16_t last_dc[4] = {};
  int64_t restart_countdown = 0;
  int32_t next_restart_number = 0;
  int64_t block_counter = 0;
  JpegEobRunState eob_run;
  uint64_t run_patch_position = 0;
  int64_t next_run_patch_block = -1;
  uint64_t reset_point_position = 0;
  int64_t next_reset_point = -1;
};

// The 64 natural coefficient indices in zig-zag order.
extern const uint8_t kJpegZigZag[64];

// Queues the SOS segment; false when a scan component names no component.
bool EmitScanHeader(const JPEGData& jpeg, const JpegScanSpec& scan,
                    JpegEmitState& state);
// MCU columns and rows of a scan (64-bit; sampling factors up to 15).
void CountScanMcus(const JPEGData& jpeg, const JpegScanSpec& scan,
                   int64_t& columns, int64_t& rows);
// Hands queued pieces to the sink: Ok, or NeedMoreBytes when it takes none.
Status FlushJpegOutput(JpegEmitState& state, const JpegOutputSink& sink);

JpegScanResult EmitSequentialScan(const JPEGData& jpeg, JpegEmitState& state);
JpegScanResult EmitProgressiveFirstScan(const JPEGData& jpeg,
                                        JpegEmitState& state);
JpegScanResult EmitRefinementScan(const JPEGData& jpeg, JpegEmitState& state);

// Block coders, exposed for tests.
// Fails (nothing written) for an AC coefficient of -32768.
bool EncodeSequentialBlock(const int16_t block[64], const JpegHuffmanTable& dc,
                           const JpegHuffmanTable& ac, int32_t extra_zrl,
                           int16_t& last_dc, JpegBitSink& sink);
bool EncodeProgressiveFirstBlock(const int16_t block[64],
                                 const JpegHuffmanTable& dc,
                                 const JpegHuffmanTable& ac, uint32_t ss,
                                 uint32_t se, uint32_t al, int32_t extra_zrl,
                                 JpegEobRunState& eob_run, int16_t& last_dc,
                                 JpegBitSink& sink);
void EncodeRefinementBlock(const int16_t block[64], const JpegHuffmanTable& ac,
                           uint32_t ss, uint32_t se, uint32_t al,
                           JpegEobRunState& eob_run, JpegBitSink& sink);
void EmitPendingEobRun(JpegEobRunState& eob_run, JpegBitSink& sink);

}  // namespace jpeg
}  // namespace qov

#endif  // QOV_LIB_JPEG_JPEG_WRITER_H_
