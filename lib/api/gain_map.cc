// Stand-alone helpers on bytes the caller holds: the gain-map ('jhgm') record
// parser and the compressed-ICC decompressor.
#include <cstring>
#include <memory>

#include "lib/base/byte_buffer.h"
#include "lib/base/memory.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/fields.h"
#include "lib/color/color_encoding.h"
#include "lib/color/icc_reader.h"
#include "qov/qov.h"

bool QovGainMapParse(QovGainMapRecord* record, const uint8_t* data, uint64_t size,
                     uint64_t* consumed) {
  if (record == nullptr || data == nullptr || size == 0) return false;
  record->version = data[0];
  if (size < 3) return false;
  const uint64_t m = (uint64_t{data[1]} << 8) | data[2];
  if (size < m + 3) return false;
  record->metadata_size = static_cast<uint16_t>(m);
  record->metadata = data + 3;
  if (size <= m + 3) return false;  // the colour-encoding size is missing
  const uint64_t c = data[m + 3];
  record->has_color_encoding = c != 0;
  uint64_t p = m + 4;
  if (c > 0) {
    if (p + c > size) return false;
    qov::ColorEncoding encoding;
    qov::BitReader reader(qov::Span(data + p, static_cast<size_t>(c)));
    const qov::Status decoded = qov::Bundle::Decode(reader, encoding);
    const qov::Status closed = reader.Close();
    if (!decoded.ok() || !closed.ok()) return false;
    record->color_encoding = encoding.ToPublic();
    p += c;
  }
  if (p + 4 > size) return false;
  const uint64_t icc_size = (uint64_t{data[p]} << 24) | (uint64_t{data[p + 1]} << 16) |
                            (uint64_t{data[p + 2]} << 8) | uint64_t{data[p + 3]};
  if (p + 4 + icc_size > size) return false;
  record->compressed_icc_size = static_cast<uint32_t>(icc_size);
  record->compressed_icc = data + p + 4;
  const uint64_t rest = size - (p + 4 + icc_size);
  if (rest >= (uint64_t{1} << 32)) return false;
  record->gain_map_size = static_cast<uint32_t>(rest);
  record->gain_map = data + p + 4 + icc_size;
  if (consumed != nullptr) *consumed = size;
  return true;
}

bool QovDecompressICCProfile(const QovMemoryManager* memory_manager,
                             const uint8_t* data, uint64_t size,
                             uint8_t** icc_profile, uint64_t* icc_profile_size) {
  QovMemoryManager manager;
  if (!qov::SetUpMemoryManager(&manager, memory_manager).ok()) return false;
  if (icc_profile == nullptr || icc_profile_size == nullptr) return false;
  if (data == nullptr && size != 0) return false;
  qov::ByteBuffer profile(&manager);
  {
    auto reader_state = std::make_unique<qov::CompressedIccReader>(&manager);
    qov::BitReader reader(qov::Span(data, static_cast<size_t>(size)));
    // The input is complete by definition: running short is a failure too.
    if (!reader_state->Begin(reader).ok()) return false;
    if (!reader_state->Continue(reader, profile).ok()) return false;
    if (!reader.Close().ok()) return false;
  }
  *icc_profile_size = profile.size();
  uint8_t* out = static_cast<uint8_t*>(qov::ManagerAllocate(&manager, profile.size()));
  // Written even when the allocation failed, so that the caller never keeps a
  // stale pointer it might release.
  *icc_profile = out;
  if (out == nullptr) return false;
  if (profile.size() != 0) std::memcpy(out, profile.data(), profile.size());
  return true;
}
