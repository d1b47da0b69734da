// Decoding the compressed ICC stream: the resumable entropy-coded outer
// layer and the reconstruction of the profile from the inner layer.
#include "lib/color/icc_reader.h"

#include <algorithm>
#include <cstring>

namespace qov {
namespace {

constexpr uint64_t kPreambleBytes = 20;
constexpr uint64_t kMaxOutputSize = uint64_t{1} << 28;
constexpr uint64_t kMaxOutputShortfall = 65536;
constexpr uint64_t kDecodedLookahead = 1024;
constexpr uint64_t kPastEndCheckInterval = 32;
constexpr uint64_t kRatioCheckInterval = 65536;
constexpr float kMaxExpansion = 256.0f;

constexpr uint8_t kTagKeywords[21][5] = {
    "",     "",     "rTRC", "rXYZ", "cprt", "wtpt", "bkpt",
    "rXYZ", "gXYZ", "bXYZ", "kXYZ", "rTRC", "gTRC", "bTRC",
    "kTRC", "chad", "desc", "chrm", "dmnd", "dmdd", "lumi"};
constexpr uint8_t kTypeKeywords[8][5] = {"XYZ ", "desc", "text", "mluc",
                                         "para", "curv", "sf32", "gbd "};
constexpr uint8_t kGTrc[5] = "gTRC";
constexpr uint8_t kBTrc[5] = "bTRC";
constexpr uint8_t kGXyz[5] = "gXYZ";
constexpr uint8_t kBXyz[5] = "bXYZ";

constexpr uint32_t kCodeEndOfTags = 0;
constexpr uint32_t kCodeTagFromData = 1;
constexpr uint32_t kCodeTrc = 2;
constexpr uint32_t kCodeXyz = 3;
constexpr uint32_t kLastTagCode = 20;

constexpr uint8_t kCommandCopy = 1;
constexpr uint8_t kCommandTranspose16 = 2;
constexpr uint8_t kCommandTranspose32 = 3;
constexpr uint8_t kCommandPredict = 4;
constexpr uint8_t kCommandXyz = 10;
constexpr uint8_t kCommandFirstType = 16;
constexpr uint8_t kCommandLastType = 23;

bool Fits32(uint64_t v) { return v <= UINT32_MAX; }

// True when n more bytes lie inside [pos, end).
bool Within(uint64_t pos, uint64_t n, uint64_t end) {
  return pos <= end && n <= end - pos;
}

uint32_t LoadBigEndian(const uint8_t* p, uint32_t width) {
  uint32_t v = 0;
  for (uint32_t i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

bool HasDefaultSize20(const uint8_t tag[4]) {
  static constexpr uint8_t kTags[7][5] = {"rXYZ", "gXYZ", "bXYZ", "kXYZ",
                                          "wtpt", "bkpt", "lumi"};
  for (const auto& t : kTags) {
    if (std::memcmp(t, tag, 4) == 0) return true;
  }
  return false;
}

// The tag table commands (after the tag count varint t != 0).
Status ReconstructTagTable(const uint8_t* bytes, uint64_t length,
                           uint64_t commands_end, uint64_t tag_count_varint,
                           uint64_t output_size, uint64_t* cmd_pos,
                           uint64_t* data_pos, ByteBuffer& profile) {
  const uint64_t count = tag_count_varint - 1;
  if (!Fits32(count)) return FailedStatus();
  QOV_RETURN_IF_ERROR(AppendBigEndian32(static_cast<uint32_t>(count), profile));
  uint64_t previous_start = kIccHeaderSize + 12 * count;
  uint64_t previous_size = 0;
  while (true) {
    if (profile.size() > output_size) return FailedStatus();
    if (*cmd_pos >= commands_end) return OkStatus();
    const uint8_t b = bytes[(*cmd_pos)++];
    const uint32_t code = b & 63;
    if (code == kCodeEndOfTags) return OkStatus();
    uint8_t tag[4];
    if (code == kCodeTagFromData) {
      if (!Within(*data_pos, 4, length)) return FailedStatus();
      std::memcpy(tag, bytes + *data_pos, 4);
      *data_pos += 4;
    } else if (code <= kLastTagCode) {
      std::memcpy(tag, kTagKeywords[code], 4);
    } else {
      return FailedStatus();
    }
    QOV_RETURN_IF_ERROR(AppendIccKeyword(tag, profile));
    const uint64_t default_size = HasDefaultSize20(tag) ? 20 : previous_size;
    uint64_t start;
    if (b & 0x40) {
      QOV_RETURN_IF_ERROR(ReadIccVarint(bytes, commands_end, cmd_pos, &start));
    } else {
      if (!Fits32(previous_start)) return FailedStatus();
      start = previous_start + previous_size;
    }
    if (!Fits32(start)) return FailedStatus();
    QOV_RETURN_IF_ERROR(AppendBigEndian32(static_cast<uint32_t>(start), profile));
    uint64_t size = default_size;
    if (b & 0x80) {
      QOV_RETURN_IF_ERROR(ReadIccVarint(bytes, commands_end, cmd_pos, &size));
    }
    if (!Fits32(size)) return FailedStatus();
    QOV_RETURN_IF_ERROR(AppendBigEndian32(static_cast<uint32_t>(size), profile));
    const uint32_t s32 = static_cast<uint32_t>(start);
    const uint32_t z32 = static_cast<uint32_t>(size);
    if (code == kCodeTrc) {
      QOV_RETURN_IF_ERROR(AppendIccKeyword(kGTrc, profile));
      QOV_RETURN_IF_ERROR(AppendBigEndian32(s32, profile));
      QOV_RETURN_IF_ERROR(AppendBigEndian32(z32, profile));
      QOV_RETURN_IF_ERROR(AppendIccKeyword(kBTrc, profile));
      QOV_RETURN_IF_ERROR(AppendBigEndian32(s32, profile));
      QOV_RETURN_IF_ERROR(AppendBigEndian32(z32, profile));
    } else if (code == kCodeXyz) {
      if (!Fits32(start + 2 * size)) return FailedStatus();
      QOV_RETURN_IF_ERROR(AppendIccKeyword(kGXyz, profile));
      QOV_RETURN_IF_ERROR(AppendBigEndian32(s32 + z32, profile));
      QOV_RETURN_IF_ERROR(AppendBigEndian32(z32, profile));
      QOV_RETURN_IF_ERROR(AppendIccKeyword(kBXyz, profile));
      QOV_RETURN_IF_ERROR(AppendBigEndian32(s32 + 2 * z32, profile));
      QOV_RETURN_IF_ERROR(AppendBigEndian32(z32, profile));
    }
    previous_start = start;
    previous_size = size;
  }
}

// Appends n data bytes, optionally transposed.
Status AppendDataBytes(const uint8_t* bytes, uint64_t length,
                       uint64_t* data_pos, uint64_t n, uint32_t width,
                       ByteBuffer& profile) {
  if (!Within(*data_pos, n, length)) return FailedStatus();
  const uint8_t* src = bytes + *data_pos;
  *data_pos += n;
  if (width <= 1) return profile.Append(src, n);
  QOV_ASSIGN_OR_RETURN(ByteBuffer temp,
                       ByteBuffer::WithSize(profile.manager(), n));
  if (n != 0) std::memcpy(temp.data(), src, n);
  QOV_RETURN_IF_ERROR(TransposeBytes(profile.manager(), temp.data(), n, width));
  return profile.Append(temp.data(), n);
}

Status PredictCommand(const uint8_t* bytes, uint64_t length,
                      uint64_t commands_end, uint64_t* cmd_pos,
                      uint64_t* data_pos, ByteBuffer& profile) {
  if (!Within(*cmd_pos, 2, commands_end)) return FailedStatus();
  const uint8_t flags = bytes[(*cmd_pos)++];
  const uint32_t width = (flags & 3) + 1;
  const uint32_t order = (flags >> 2) & 3;
  if (width == 3 || order == 3) return FailedStatus();
  uint64_t stride = width;
  if (flags & 0x10) {
    QOV_RETURN_IF_ERROR(ReadIccVarint(bytes, commands_end, cmd_pos, &stride));
    if (stride < width) return FailedStatus();
  }
  // profile.size() > 4 x stride, without forming 4 x stride (it may wrap).
  if (profile.size() == 0 || stride > (profile.size() - 1) / 4) {
    return FailedStatus();
  }
  uint64_t n;
  QOV_RETURN_IF_ERROR(ReadIccVarint(bytes, commands_end, cmd_pos, &n));
  if (!Within(*data_pos, n, length)) return FailedStatus();
  QOV_ASSIGN_OR_RETURN(ByteBuffer temp,
                       ByteBuffer::WithSize(profile.manager(), n));
  if (n != 0) std::memcpy(temp.data(), bytes + *data_pos, n);
  *data_pos += n;
  if (width > 1) {
    QOV_RETURN_IF_ERROR(
        TransposeBytes(profile.manager(), temp.data(), n, width));
  }
  QOV_RETURN_IF_ERROR(profile.EnsureRoomFor(n));
  const uint64_t start = profile.size();
  for (uint64_t k = 0; k < n; ++k) {
    const uint8_t predicted =
        PredictIccValue(profile.data(), start, k, stride, width, order);
    QOV_RETURN_IF_ERROR(
        profile.PushBack(static_cast<uint8_t>(temp[k] + predicted)));
  }
  return OkStatus();
}

}  // namespace

// --- reader ------------------------------------------------------------------

CompressedIccReader::CompressedIccReader(
    const QovMemoryManagerStruct* memory_manager)
    : decoded(memory_manager), memory_manager_(memory_manager) {}

void DestroyCompressedIccReader(std::unique_ptr<CompressedIccReader>* owner) {
  owner->reset();
}

void CompressedIccReader::TakeSnapshot(Snapshot* snapshot) const {
  snapshot->state = symbols.state;
  snapshot->decoded_count = symbols.decoded_count;
  snapshot->copies_pending = symbols.copies_pending;
  snapshot->copy_position = symbols.copy_position;
  // Entries that the coming bytes overwrite need saving only once the
  // window has wrapped: before that they were never written, and copies
  // read only entries written before them. Reading them ahead would also
  // fault in the window's untouched pages twice.
  snapshot->window_saved =
      symbols.window != nullptr &&
      uint64_t{symbols.decoded_count} + kIccCheckpointInterval >
                              uint64_t{symbols.window_mask} + 1;
  if (snapshot->window_saved) {
    for (uint32_t j = 0; j < kIccCheckpointInterval; ++j) {
      snapshot->window[j] =
          symbols.window[(symbols.decoded_count + j) & symbols.window_mask];
    }
  }
}

void CompressedIccReader::RestoreSnapshot(const Snapshot& snapshot) {
  symbols.state = snapshot.state;
  symbols.decoded_count = snapshot.decoded_count;
  symbols.copies_pending = snapshot.copies_pending;
  symbols.copy_position = snapshot.copy_position;
  if (snapshot.window_saved && symbols.window != nullptr) {
    for (uint32_t j = 0; j < kIccCheckpointInterval; ++j) {
      symbols.window[(snapshot.decoded_count + j) & symbols.window_mask] =
          snapshot.window[j];
    }
  }
}

Status CompressedIccReader::GrowDecoded(uint64_t n) {
  if (decoded.capacity() < n) {
    // Doubling, up to the stream's size: few copies, and the capacity stays
    // within twice the bytes decoded (plus the lookahead).
    const uint64_t capacity = decoded.capacity();
    if (capacity > UINT64_MAX / 2) return FailedStatus();
    QOV_RETURN_IF_ERROR(decoded.Reserve(
        std::max(n, std::min(2 * capacity, std::max(n, encoded_size)))));
  }
  decoded.SetSize(n);
  return OkStatus();
}

namespace {

constexpr IccClassTables MakeIccClassTables() {
  IccClassTables t{};
  for (uint32_t c = 0; c < 256; ++c) {
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    const bool number = (c >= '0' && c <= '9') || c == '.' || c == ',';
    uint8_t class1;
    if (letter) {
      class1 = 1;
    } else if (number) {
      class1 = 2;
    } else if (c <= 1) {
      class1 = static_cast<uint8_t>(3 + c);
    } else if (c < 16) {
      class1 = 5;
    } else if (c >= 241 && c <= 254) {
      class1 = 6;
    } else if (c == 255) {
      class1 = 7;
    } else {
      class1 = 8;
    }
    uint8_t class2;
    if (letter) {
      class2 = 0;
    } else if (number) {
      class2 = 8;
    } else if (c < 16) {
      class2 = 16;
    } else if (c >= 241) {
      class2 = 24;
    } else {
      class2 = 32;
    }
    t.first[c] = class1;
    t.second[c] = class2;
  }
  return t;
}

}  // namespace

constexpr IccClassTables kIccClasses = MakeIccClassTables();

void CompressedIccReader::DecodeBytes(BitReader& reader, uint64_t end) {
  uint64_t i = decoded_count;
  if (i >= end) return;
  // The loop works on local copies of the bit reader and the symbol reader:
  // every byte stored through `d` could otherwise alias their fields, which
  // would then go through memory on every byte.
  BitReader bits = reader;
  SymbolReader sym = std::move(symbols);
  uint8_t* const d = decoded.data();
  const uint8_t* const map = context_map.data();
  // The two bytes before i, kept in registers rather than read back.
  uint8_t p1 = i >= 1 ? d[i - 1] : 0;
  uint8_t p2 = i >= 2 ? d[i - 2] : 0;
  // The header bytes (and the byte right after them) all use context 0.
  const uint64_t header_end = std::min<uint64_t>(end, kIccHeaderSize + 1);
  for (; i < header_end; ++i) {
    const uint8_t value = static_cast<uint8_t>(
        sym.ReadClusteredUint(map[IccByteContext(i, p1, p2)], bits));
    d[i] = value;
    p2 = p1;
    p1 = value;
  }
  // In runs of kPastEndCheckInterval bytes: once the input is used up, the
  // bytes up to the checkpoint would be decoded from zeros only to be
  // dropped.
  while (i < end && !bits.PastEnd()) {
    const uint64_t run_end = std::min(end, i + kPastEndCheckInterval);
    for (; i < run_end; ++i) {
      const uint8_t value = static_cast<uint8_t>(
          sym.ReadClusteredUint(map[IccByteContext(i, p1, p2)], bits));
      d[i] = value;
      p2 = p1;
      p1 = value;
    }
  }
  decoded_count = i;
  symbols = std::move(sym);
  reader = bits;
}

Status CompressedIccReader::Begin(BitReader& reader) {
  reader.MarkBounds();
  if (reader.PastEnd()) return NeedMoreBytesStatus();
  start_position = reader.Position();
  if (resume_bits != 0) {
    // The resume point lies inside every input that reached it before; a
    // shorter input only asks for more.
    reader.SkipLong(resume_bits);
    return reader.CheckBounds();
  }
  encoded_size = ReadCodedU64(&reader);
  QOV_RETURN_IF_ERROR(reader.CheckBounds());
  if (encoded_size > kMaxIccEncodedSize) return FailedStatus();

  // A fresh description on every attempt: a failed one leaves the set
  // partly filled.
  symbols = SymbolReader();
  codes = EntropyCodeSet();
  Status status = ReadEntropyCodeSet(memory_manager_, reader, kIccContexts,
                                     &codes, context_map, false);
  if (!status.ok()) {
    // A failure that only reading zeros past the end produced means that
    // the input is short, not that the stream is bad.
    reader.MarkBounds();
    return reader.PastEnd() ? NeedMoreBytesStatus() : status;
  }
  // The stream holds exactly encoded_size values: a window of that many.
  QOV_ASSIGN_OR_RETURN(symbols, SymbolReader::Create(codes, reader, 0, encoded_size));

  decoded_count = 0;
  QOV_RETURN_IF_ERROR(GrowDecoded(std::min(encoded_size, kDecodedLookahead)));
  DecodeBytes(reader, std::min<uint64_t>(2, encoded_size));
  if (encoded_size > kPreambleBytes) DecodeBytes(reader, kPreambleBytes);
  // Check for an over-read before committing the resume point, also for
  // short inner layers: otherwise bytes decoded from zeros past the end
  // would be kept by the next attempt.
  QOV_RETURN_IF_ERROR(reader.CheckBounds());
  if (encoded_size > kPreambleBytes) {
    QOV_RETURN_IF_ERROR(
        CheckIccPreamble(decoded.data(), kPreambleBytes, encoded_size));
  }
  resume_bits = reader.Position() - start_position;
  return OkStatus();
}

Status CompressedIccReader::Continue(BitReader& reader, ByteBuffer& profile) {
  Snapshot snapshot;
  TakeSnapshot(&snapshot);
  uint64_t checkpoint = decoded_count;
  resume_bits = reader.Position() - start_position;
  while (decoded_count < encoded_size) {
    if (decoded_count % kIccCheckpointInterval == 0 && decoded_count != 0) {
      TakeSnapshot(&snapshot);
      checkpoint = decoded_count;
      resume_bits = reader.Position() - start_position;
      if (decoded_count % kRatioCheckInterval == 0) {
        const float bytes_read =
            static_cast<float>(reader.Position() - start_position) / 8.0f;
        if (static_cast<float>(decoded_count) > kMaxExpansion * bytes_read) {
          return FailedStatus();
        }
      }
      QOV_RETURN_IF_ERROR(GrowDecoded(
          std::min(encoded_size, decoded_count + kDecodedLookahead)));
    }
    // Up to the next checkpoint (within the buffer, which always reaches it).
    const uint64_t next_checkpoint =
        (decoded_count / kIccCheckpointInterval + 1) * kIccCheckpointInterval;
    DecodeBytes(reader, std::min(encoded_size, next_checkpoint));
    if (reader.PastEnd()) {
      RestoreSnapshot(snapshot);
      decoded_count = checkpoint;
      reader.MarkBounds();
      return NeedMoreBytesStatus();
    }
  }
  reader.MarkBounds();
  if (reader.PastEnd()) {
    RestoreSnapshot(snapshot);
    decoded_count = checkpoint;
    return NeedMoreBytesStatus();
  }
  resume_bits = reader.Position() - start_position;
  if (!symbols.CheckFinalState()) return FailedStatus();
  profile.SetSize(0);
  return ReconstructIcc(decoded.data(), encoded_size, profile);
}

// --- inner layer ---------------------------------------------------------------

Status ReadIccVarint(const uint8_t* bytes, uint64_t length, uint64_t* pos,
                     uint64_t* value) {
  uint64_t result = 0;
  for (uint32_t i = 0; i < 10; ++i) {
    if (*pos >= length) return FailedStatus();
    const uint8_t b = bytes[(*pos)++];
    if (i == 9 && b > 1) return FailedStatus();
    result |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
    if ((b & 0x80) == 0) {
      *value = result;
      return OkStatus();
    }
  }
  // A 10th byte of 0 or 1 has no continuation bit.
  return FailedStatus();
}

Status CheckIccPreamble(const uint8_t* bytes, uint64_t available,
                        uint64_t encoded_size) {
  uint64_t pos = 0, output_size = 0, command_size = 0;
  QOV_RETURN_IF_ERROR(ReadIccVarint(bytes, available, &pos, &output_size));
  QOV_RETURN_IF_ERROR(ReadIccVarint(bytes, available, &pos, &command_size));
  if (!Fits32(output_size) || !Fits32(command_size)) return FailedStatus();
  // The commands must lie inside the inner layer (not merely inside the
  // bytes buffered so far: long command streams are valid).
  if (!Within(pos, command_size, encoded_size)) return FailedStatus();
  if (output_size > kMaxOutputSize) return FailedStatus();
  if (output_size + kMaxOutputShortfall < encoded_size) return FailedStatus();
  return OkStatus();
}

void InitIccHeaderPrediction(uint64_t output_size,
                             uint8_t header[kIccHeaderSize]) {
  std::memset(header, 0, kIccHeaderSize);
  for (int i = 0; i < 4; ++i) {
    header[i] = static_cast<uint8_t>(output_size >> (24 - 8 * i));
  }
  header[8] = 4;
  std::memcpy(header + 12, "mntr", 4);
  std::memcpy(header + 16, "RGB ", 4);
  std::memcpy(header + 20, "XYZ ", 4);
  std::memcpy(header + 36, "acsp", 4);
  const uint8_t illuminant[12] = {0, 0, 0xF6, 0xD6, 0, 1, 0, 0, 0, 0, 0xD3, 0x2D};
  std::memcpy(header + 68, illuminant, 12);
}

void AdjustIccHeaderPrediction(uint8_t header[kIccHeaderSize],
                               const uint8_t* output, uint64_t i) {
  if (i == 8) {
    std::memcpy(header + 80, output + 4, 4);
  } else if (i == 41) {
    if (output[40] == 'A') std::memcpy(header + 41, "PPL", 3);
    if (output[40] == 'M') std::memcpy(header + 41, "SFT", 3);
  } else if (i == 42) {
    if (output[40] == 'S') {
      if (output[41] == 'G') std::memcpy(header + 42, "I ", 2);
      if (output[41] == 'U') std::memcpy(header + 42, "NW", 2);
    }
  }
}

Status AppendBigEndian32(uint32_t value, ByteBuffer& out) {
  const uint8_t bytes[4] = {
      static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
      static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return out.Append(bytes, 4);
}

Status AppendIccKeyword(const uint8_t keyword[4], ByteBuffer& out) {
  return out.Append(keyword, 4);
}

Status TransposeBytes(const QovMemoryManagerStruct* memory_manager,
                      uint8_t* bytes, uint64_t n, uint32_t width) {
  if (n == 0 || width <= 1) return OkStatus();
  QOV_ASSIGN_OR_RETURN(AlignedBlock temp,
                       AlignedBlock::Create(memory_manager, n, 0));
  uint8_t* out = temp.data();
  const uint64_t rows = (n + width - 1) / width;
  uint64_t k = 0;
  for (uint64_t column = 0; column < rows; ++column) {
    for (uint64_t pos = column; pos < n; pos += rows) out[k++] = bytes[pos];
  }
  std::memcpy(bytes, out, n);
  return OkStatus();
}

uint8_t PredictIccValue(const uint8_t* output, uint64_t start, uint64_t k,
                        uint64_t stride, uint32_t width, uint32_t order) {
  const uint64_t w = width == 1 ? start + k : start + (k & ~uint64_t{width - 1});
  const uint32_t p1 = LoadBigEndian(output + w - stride, width);
  uint32_t prediction = p1;
  if (order == 1) {
    const uint32_t p2 = LoadBigEndian(output + w - 2 * stride, width);
    prediction = 2 * p1 - p2;
  } else if (order == 2) {
    const uint32_t p2 = LoadBigEndian(output + w - 2 * stride, width);
    const uint32_t p3 = LoadBigEndian(output + w - 3 * stride, width);
    prediction = 3 * p1 - 3 * p2 + p3;
  }
  const uint32_t byte_index = static_cast<uint32_t>(k & (width - 1));
  return static_cast<uint8_t>(prediction >> (8 * (width - 1 - byte_index)));
}

Status ReconstructIcc(const uint8_t* bytes, uint64_t length,
                      ByteBuffer& profile) {
  if (profile.size() != 0) return FailedStatus();
  uint64_t pos = 0, output_size = 0, command_size = 0;
  QOV_RETURN_IF_ERROR(ReadIccVarint(bytes, length, &pos, &output_size));
  QOV_RETURN_IF_ERROR(ReadIccVarint(bytes, length, &pos, &command_size));
  if (!Fits32(output_size) || !Fits32(command_size)) return FailedStatus();
  if (!Within(pos, command_size, length)) return FailedStatus();
  uint64_t cmd_pos = pos;
  const uint64_t commands_end = pos + command_size;
  uint64_t data_pos = commands_end;
  // The whole profile at once rather than by repeated growth (each a copy),
  // as far as the bytes at hand vouch for its size: a stated size far beyond
  // them allocates only as the commands really produce bytes.
  QOV_RETURN_IF_ERROR(profile.Reserve(std::min(output_size, length + kMaxOutputShortfall)));

  uint8_t header[kIccHeaderSize];
  InitIccHeaderPrediction(output_size, header);
  for (uint64_t i = 0; i < kIccHeaderSize; ++i) {
    if (profile.size() == output_size) {
      // The profile ended within the header.
      return command_size == 0 && data_pos == length ? OkStatus()
                                                     : FailedStatus();
    }
    AdjustIccHeaderPrediction(header, profile.data(), i);
    if (data_pos >= length) return FailedStatus();
    QOV_RETURN_IF_ERROR(
        profile.PushBack(static_cast<uint8_t>(header[i] + bytes[data_pos++])));
  }
  if (command_size == 0) return FailedStatus();

  uint64_t tag_count_varint = 0;
  QOV_RETURN_IF_ERROR(
      ReadIccVarint(bytes, commands_end, &cmd_pos, &tag_count_varint));
  if (tag_count_varint != 0) {
    QOV_RETURN_IF_ERROR(ReconstructTagTable(bytes, length, commands_end,
                                            tag_count_varint, output_size,
                                            &cmd_pos, &data_pos, profile));
  }

  while (true) {
    if (profile.size() > output_size) return FailedStatus();
    if (cmd_pos >= commands_end) {
      return data_pos == length && profile.size() == output_size
                 ? OkStatus()
                 : FailedStatus();
    }
    const uint8_t command = bytes[cmd_pos++];
    if (command == kCommandCopy || command == kCommandTranspose16 ||
        command == kCommandTranspose32) {
      uint64_t n;
      QOV_RETURN_IF_ERROR(ReadIccVarint(bytes, commands_end, &cmd_pos, &n));
      const uint32_t width = command == kCommandCopy          ? 1
                             : command == kCommandTranspose16 ? 2
                                                              : 4;
      QOV_RETURN_IF_ERROR(
          AppendDataBytes(bytes, length, &data_pos, n, width, profile));
    } else if (command == kCommandPredict) {
      QOV_RETURN_IF_ERROR(PredictCommand(bytes, length, commands_end, &cmd_pos,
                                         &data_pos, profile));
    } else if (command == kCommandXyz) {
      QOV_RETURN_IF_ERROR(AppendIccKeyword(kTypeKeywords[0], profile));
      QOV_RETURN_IF_ERROR(AppendBigEndian32(0, profile));
      QOV_RETURN_IF_ERROR(
          AppendDataBytes(bytes, length, &data_pos, 12, 1, profile));
    } else if (command >= kCommandFirstType && command <= kCommandLastType) {
      QOV_RETURN_IF_ERROR(
          AppendIccKeyword(kTypeKeywords[command - kCommandFirstType], profile));
      QOV_RETURN_IF_ERROR(AppendBigEndian32(0, profile));
    } else {
      return FailedStatus();
    }
  }
}

}  // namespace qov
