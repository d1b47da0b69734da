// The ICC profile stored compressed in the codestream: an entropy-coded
// byte stream (41 contexts) whose bytes describe the profile as a predicted
// header, a compact tag table and tag data commands. Decoding resumes after
// a short input at 128-byte checkpoints.
#ifndef QOV_LIB_COLOR_ICC_READER_H_
#define QOV_LIB_COLOR_ICC_READER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "lib/base/byte_buffer.h"
#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/entropy_code.h"
#include "lib/bitstream/symbol_reader.h"
#include "qov/qov.h"

namespace qov {

inline constexpr uint64_t kMaxIccEncodedSize = uint64_t{1} << 28;
inline constexpr uint64_t kIccContexts = 41;
inline constexpr uint64_t kIccHeaderSize = 128;
inline constexpr uint64_t kIccCheckpointInterval = 128;

// Protocol: Begin, then Continue. On NeedMoreBytes from either, build a new
// bit reader over the longer input, positioned again at the first bit of the
// ICC stream, and call Begin and Continue again: decoding resumes at the
// last checkpoint. Any other failure is final.
class CompressedIccReader {
 public:
  explicit CompressedIccReader(const QovMemoryManagerStruct* memory_manager);
  ~CompressedIccReader() = default;
  CompressedIccReader(const CompressedIccReader&) = delete;
  CompressedIccReader& operator=(const CompressedIccReader&) = delete;

  // Reads (or, on a later attempt, skips) the encoded size, the code
  // description and the first inner-layer bytes.
  Status Begin(BitReader& reader);
  // Decodes the remaining bytes and rebuilds the profile into `profile`
  // (its previous contents are discarded).
  Status Continue(BitReader& reader, ByteBuffer& profile);

  uint64_t decoded_count = 0;   // inner-layer bytes decoded so far
  uint64_t resume_bits = 0;     // bits to skip on the next attempt (0: none)
  uint64_t start_position = 0;  // reader position at the ICC stream's start
  uint64_t encoded_size = 0;    // inner-layer bytes
  std::vector<uint8_t> context_map;
  EntropyCodeSet codes;
  SymbolReader symbols;
  ByteBuffer decoded;

 private:
  // What the symbol reader needs to go back to a checkpoint.
  struct Snapshot {
    uint32_t state = 0;
    uint32_t decoded_count = 0;
    uint32_t copies_pending = 0;
    uint32_t copy_position = 0;
    bool window_saved = false;  // false: the entries were never written
    uint32_t window[kIccCheckpointInterval];
  };
  void TakeSnapshot(Snapshot* snapshot) const;
  void RestoreSnapshot(const Snapshot& snapshot);
  // Makes the decoded buffer hold n bytes.
  Status GrowDecoded(uint64_t n);
  // Decodes inner-layer bytes up to index `end` (at most the buffer size),
  // or fewer once the reader has run past the end of its input.
  void DecodeBytes(BitReader& reader, uint64_t end);

  const QovMemoryManagerStruct* memory_manager_;
};

// Destroys the reader `owner` holds, if any; the decoder handle releases its
// reader through it.
void DestroyCompressedIccReader(std::unique_ptr<CompressedIccReader>* owner);

// The byte classes behind IccByteContext, one table per neighbour.
struct IccClassTables {
  uint8_t first[256];   // of the byte before
  uint8_t second[256];  // of the byte two before
};
extern const IccClassTables kIccClasses;

// Context of inner-layer byte i from the two bytes before it: 0 for the
// header and the byte right after it, else the sum of the two classes.
inline uint32_t IccByteContext(uint64_t i, uint8_t p1, uint8_t p2) {
  if (i <= kIccHeaderSize) return 0;
  return uint32_t{kIccClasses.first[p1]} + kIccClasses.second[p2];
}

// Little-endian base-128 varint of at most 10 bytes (a 10th byte must be 0
// or 1) within bytes[*pos, length). Failed when it runs past `length`.
Status ReadIccVarint(const uint8_t* bytes, uint64_t length, uint64_t* pos,
                     uint64_t* value);

// The early test of the inner layer's two sizes, on its first `available`
// decoded bytes: both fit 32 bits, the commands fit inside the inner layer,
// the output is at most 2^28 bytes and at most 64 KiB smaller than the
// inner layer.
Status CheckIccPreamble(const uint8_t* bytes, uint64_t available,
                        uint64_t encoded_size);

// Rebuilds the profile from the inner layer into the empty `profile`.
Status ReconstructIcc(const uint8_t* bytes, uint64_t length,
                      ByteBuffer& profile);

// Reorders n bytes in place: laid out in lines of ceil(n / width) bytes,
// read column by column.
Status TransposeBytes(const QovMemoryManagerStruct* memory_manager,
                      uint8_t* bytes, uint64_t n, uint32_t width);

// Prediction of output byte start + k from the bytes already rebuilt, one,
// two and three strides back, as width-byte big-endian numbers.
uint8_t PredictIccValue(const uint8_t* output, uint64_t start, uint64_t k,
                        uint64_t stride, uint32_t width, uint32_t order);

// The predicted 128-byte header for a profile of output_size bytes.
void InitIccHeaderPrediction(uint64_t output_size,
                             uint8_t header[kIccHeaderSize]);
// Updates the prediction before header byte i from the bytes rebuilt so far
// (output holds at least i bytes).
void AdjustIccHeaderPrediction(uint8_t header[kIccHeaderSize],
                               const uint8_t* output, uint64_t i);

Status AppendBigEndian32(uint32_t value, ByteBuffer& out);
Status AppendIccKeyword(const uint8_t keyword[4], ByteBuffer& out);

}  // namespace qov

#endif  // QOV_LIB_COLOR_ICC_READER_H_
