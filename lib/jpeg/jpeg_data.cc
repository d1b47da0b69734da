// Field listing of the JPEG reconstruction data bundle and its checks.
#include "lib/jpeg/jpeg_data.h"

#include <cstring>

#include "lib/bitstream/bit_reader.h"

namespace qov {
namespace jpeg {
namespace {

constexpr U32Coding kAppKindCoding(Val(0), Val(1), BitsOffset(1, 2),
                                   BitsOffset(2, 4));
constexpr U32Coding kOneToFour(Val(1), Val(2), Val(3), Val(4));
constexpr U32Coding kHuffmanCountCoding(Val(4), BitsOffset(3, 2),
                                        BitsOffset(4, 10), BitsOffset(6, 26));
constexpr U32Coding kCodeCountCoding(Val(0), Val(1), BitsOffset(3, 2),
                                     Bits(8));
constexpr U32Coding kSymbolCoding(Bits(2), BitsOffset(2, 4), BitsOffset(4, 8),
                                  BitsOffset(8, 1));
constexpr U32Coding kAuxCoding(Val(0), Val(1), Val(2), BitsOffset(3, 3));
constexpr U32Coding kListCountCoding(Val(0), BitsOffset(2, 1),
                                     BitsOffset(4, 4), BitsOffset(16, 20));
constexpr U32Coding kDeltaCoding(Val(0), BitsOffset(3, 1), BitsOffset(5, 9),
                                 BitsOffset(28, 41));
constexpr U32Coding kRunCountCoding(Val(1), BitsOffset(2, 2), BitsOffset(4, 5),
                                    BitsOffset(8, 20));
constexpr U32Coding kTrailingCoding(Val(0), BitsOffset(8, 1),
                                    BitsOffset(16, 257), BitsOffset(22, 65793));

// Visits a byte-valued field as FixedBits n and stores the result back.
Status VisitByte(Visitor* v, uint32_t n, uint32_t default_value,
                 uint32_t* field) {
  return v->FixedBits(n, default_value, field);
}

// The size field of one APP or COM segment. Reading records the announced
// size; the bytes are allocated when they arrive.
Status VisitSegmentSize(Visitor* v, std::vector<uint8_t>* segment,
                        uint32_t* announced) {
  uint32_t size_minus_1 = 0;
  if (!v->IsDecoding()) {
    if (segment->size() < 3 || segment->size() > 65536) return FailedStatus();
    size_minus_1 = static_cast<uint32_t>(segment->size() - 1);
  }
  QOV_RETURN_IF_ERROR(v->FixedBits(16, 0, &size_minus_1));
  const uint32_t size = size_minus_1 + 1;
  if (size < 3) return FailedStatus();
  *announced = size;
  return OkStatus();
}

// Visits a strictly increasing list of block indices, delta-coded.
Status VisitDelta(Visitor* v, uint32_t* previous, uint32_t* value) {
  uint32_t delta = *value - *previous - 1;  // u32 arithmetic, previous -1
  QOV_RETURN_IF_ERROR(v->CodedU32(kDeltaCoding, 0, &delta));
  *value = *previous + delta + 1;
  *previous = *value;
  return OkStatus();
}

}  // namespace

bool IsValidHuffmanSpec(const JpegHuffmanSpec& table) {
  if (table.counts[0] != 0) return false;  // would break the DHT's BITS
  const uint32_t total = table.Total();
  if (total == 0 || total > 257) return false;
  // Kraft sum in units of 2^-16: a prefix code fills at most the code space.
  uint64_t space = 0;
  for (int len = 1; len <= 16; ++len) {
    space += static_cast<uint64_t>(table.counts[len]) << (16 - len);
  }
  if (space > (uint64_t{1} << 16)) return false;
  if (table.symbols[total - 1] != 256) return false;
  const bool is_dc = (table.slot_id & 0x10) == 0;
  bool seen[257] = {};
  for (uint32_t i = 0; i < total; ++i) {
    const uint32_t s = table.symbols[i];
    if (s > 256 || seen[s]) return false;
    seen[s] = true;
    if (is_dc && i + 1 < total && s >= 12) return false;
  }
  return true;
}

Status JPEGData::EnumerateFields(Visitor* v) {
  const bool reading = v->IsDecoding();
  bool is_gray = component_list.size() == 1;
  QOV_RETURN_IF_ERROR(v->Flag(false, &is_gray));
  if (reading) component_list.resize(is_gray ? 1 : 3);
  QOV_RETURN_IF_ERROR(VisitMarkers(v));
  QOV_RETURN_IF_ERROR(VisitSegmentsAndTables(v));
  QOV_RETURN_IF_ERROR(VisitHuffmanTables(v));
  QOV_RETURN_IF_ERROR(VisitScans(v));
  QOV_RETURN_IF_ERROR(VisitTail(v));
  return CheckTableUse();
}

Status JPEGData::VisitMarkers(Visitor* v) {
  if (v->IsDecoding()) {
    marker_sequence.clear();
    for (;;) {
      uint32_t value = 0;
      QOV_RETURN_IF_ERROR(v->FixedBits(6, 0, &value));
      marker_sequence.push_back(static_cast<uint8_t>(value + 0xC0));
      if (marker_sequence.size() > kMaxMarkerSequence) return FailedStatus();
      if (value + 0xC0 == 0xD9) break;
    }
  } else {
    if (marker_sequence.empty() ||
        marker_sequence.size() > kMaxMarkerSequence ||
        marker_sequence.back() != 0xD9) {
      return FailedStatus();
    }
    for (uint8_t& m : marker_sequence) {
      if (m < 0xC0) return FailedStatus();
      uint32_t value = m - 0xC0u;
      QOV_RETURN_IF_ERROR(v->FixedBits(6, 0, &value));
      m = static_cast<uint8_t>(value + 0xC0);
    }
  }
  num_app_ = num_com_ = num_scans_ = num_inter_ = 0;
  has_dri_ = false;
  for (uint8_t m : marker_sequence) {
    if (m >= 0xE0 && m <= 0xEF) ++num_app_;
    if (m == 0xDA) ++num_scans_;
    if (m == 0xFE) ++num_com_;
    if (m == 0xFF) ++num_inter_;
    if (m == 0xDD) has_dri_ = true;
  }
  if (num_scans_ == 0) return FailedStatus();
  return OkStatus();
}

Status JPEGData::VisitSegmentsAndTables(Visitor* v) {
  const bool reading = v->IsDecoding();
  if (reading) {
    app_segments.assign(num_app_, {});
    app_segment_kinds.assign(num_app_, kOther);
    com_segments.assign(num_com_, {});
    scans.resize(num_scans_);
  }
  if (app_segments.size() != num_app_ || app_segment_kinds.size() != num_app_ ||
      com_segments.size() != num_com_ || scans.size() != num_scans_) {
    return FailedStatus();
  }
  announced.app.assign(num_app_, 0);
  announced.com.assign(num_com_, 0);
  for (size_t i = 0; i < num_app_; ++i) {
    uint32_t kind = static_cast<uint32_t>(app_segment_kinds[i]);
    QOV_RETURN_IF_ERROR(v->CodedU32(kAppKindCoding, 0, &kind));
    if (kind > 3) return FailedStatus();
    app_segment_kinds[i] = static_cast<int32_t>(kind);
    QOV_RETURN_IF_ERROR(
        VisitSegmentSize(v, &app_segments[i], &announced.app[i]));
  }
  for (size_t i = 0; i < num_com_; ++i) {
    QOV_RETURN_IF_ERROR(
        VisitSegmentSize(v, &com_segments[i], &announced.com[i]));
  }

  uint32_t num_quant = static_cast<uint32_t>(quant_tables.size());
  QOV_RETURN_IF_ERROR(v->CodedU32(kOneToFour, 2, &num_quant));
  if (num_quant == 4) return FailedStatus();
  if (reading) quant_tables.resize(num_quant);
  if (quant_tables.size() != num_quant) return FailedStatus();
  for (uint32_t j = 0; j < num_quant; ++j) {
    JpegQuantSpec& q = quant_tables[j];
    if (q.precision > 1) return FailedStatus();
    QOV_RETURN_IF_ERROR(v->FixedBits(1, 0, &q.precision));
    QOV_RETURN_IF_ERROR(v->FixedBits(2, j, &q.table_id));
    QOV_RETURN_IF_ERROR(v->Flag(true, &q.is_last));
  }

  uint32_t type = 3;
  const size_t n = component_list.size();
  if (n == 1 && component_list[0].id == 1) {
    type = 0;
  } else if (n == 3 && component_list[0].id == 1 &&
             component_list[1].id == 2 && component_list[2].id == 3) {
    type = 1;
  } else if (n == 3 && component_list[0].id == 82 &&
             component_list[1].id == 71 && component_list[2].id == 66) {
    type = 2;
  }
  QOV_RETURN_IF_ERROR(v->FixedBits(2, 1, &type));
  uint32_t count = type == 0 ? 1 : 3;
  if (type == 3) {
    count = static_cast<uint32_t>(n);
    QOV_RETURN_IF_ERROR(v->CodedU32(kOneToFour, 3, &count));
    if (count != 1 && count != 3) return FailedStatus();
  }
  if (reading) component_list.resize(count);
  if (component_list.size() != count) return FailedStatus();
  static constexpr uint32_t kRgbIds[3] = {82, 71, 66};
  for (uint32_t i = 0; i < count; ++i) {
    JpegComponentData& c = component_list[i];
    if (type == 0 || type == 1) c.id = i + 1;
    if (type == 2) c.id = kRgbIds[i];
    if (type == 3) QOV_RETURN_IF_ERROR(VisitByte(v, 8, 0, &c.id));
  }
  bool used[4] = {};
  for (JpegComponentData& c : component_list) {
    QOV_RETURN_IF_ERROR(v->FixedBits(2, 0, &c.quant_index));
    if (c.quant_index >= num_quant) return FailedStatus();
    used[c.quant_index] = true;
  }
  if (!used[0]) return FailedStatus();
  for (uint32_t j = 1; j < num_quant; ++j) {
    if (!used[j] && std::memcmp(quant_tables[j].values,
                                quant_tables[j - 1].values,
                                sizeof(quant_tables[j].values)) != 0) {
      return FailedStatus();
    }
  }
  return OkStatus();
}

Status JPEGData::VisitHuffmanTables(Visitor* v) {
  uint32_t num_tables = static_cast<uint32_t>(huffman_tables.size());
  QOV_RETURN_IF_ERROR(v->CodedU32(kHuffmanCountCoding, 4, &num_tables));
  if (v->IsDecoding()) huffman_tables.resize(num_tables);
  if (huffman_tables.size() != num_tables) return FailedStatus();
  // Whether the next table opens a DHT segment, grouped as the writer
  // groups them: a segment ends after a table with is_last set or after a
  // table without codes.
  bool opens_segment = true;
  for (JpegHuffmanSpec& t : huffman_tables) {
    bool is_ac = t.slot_id >= 16;
    uint32_t id = t.slot_id & 15;
    QOV_RETURN_IF_ERROR(v->Flag(false, &is_ac));
    QOV_RETURN_IF_ERROR(v->FixedBits(2, 0, &id));
    t.slot_id = (static_cast<uint32_t>(is_ac) << 4) | id;
    QOV_RETURN_IF_ERROR(v->Flag(true, &t.is_last));
    for (uint32_t& c : t.counts) {
      QOV_RETURN_IF_ERROR(v->CodedU32(kCodeCountCoding, 0, &c));
    }
    const uint32_t total = t.Total();
    const bool opened_segment = opens_segment;
    opens_segment = t.is_last || total == 0;
    // A table without codes is an empty DHT segment (FF C4 00 02), which it
    // can only be when it opens its segment: after another table the
    // segment's length would count bytes that nothing writes.
    if (total == 0) {
      if (!opened_segment) return FailedStatus();
      continue;
    }
    // Every other table must be a usable prefix code; an over-subscribed
    // one is rejected before anything is built from it.
    if (total > 257) return FailedStatus();
    for (uint32_t i = 0; i < total; ++i) {
      QOV_RETURN_IF_ERROR(v->CodedU32(kSymbolCoding, 0, &t.symbols[i]));
    }
    if (!IsValidHuffmanSpec(t)) return FailedStatus();
  }
  return OkStatus();
}

Status JPEGData::VisitScans(Visitor* v) {
  for (JpegScanSpec& s : scans) {
    QOV_RETURN_IF_ERROR(v->CodedU32(kOneToFour, 1, &s.component_count));
    if (s.component_count == 4) return FailedStatus();
    if (s.ss > 63 || s.se > 63 || s.al > 15 || s.ah > 15) return FailedStatus();
    QOV_RETURN_IF_ERROR(v->FixedBits(6, 0, &s.ss));
    QOV_RETURN_IF_ERROR(v->FixedBits(6, 63, &s.se));
    QOV_RETURN_IF_ERROR(v->FixedBits(4, 0, &s.al));
    QOV_RETURN_IF_ERROR(v->FixedBits(4, 0, &s.ah));
    for (uint32_t i = 0; i < s.component_count; ++i) {
      JpegScanComponent& sc = s.components[i];
      QOV_RETURN_IF_ERROR(v->FixedBits(2, 0, &sc.component_index));
      if (sc.component_index >= component_list.size()) return FailedStatus();
      QOV_RETURN_IF_ERROR(v->FixedBits(2, 0, &sc.ac_table));
      QOV_RETURN_IF_ERROR(v->FixedBits(2, 0, &sc.dc_table));
    }
    QOV_RETURN_IF_ERROR(v->CodedU32(kAuxCoding, 10, &s.aux_value));
  }
  return OkStatus();
}

Status JPEGData::VisitScanExtras(Visitor* v, JpegScanSpec* s) {
  const bool reading = v->IsDecoding();
  uint32_t count = static_cast<uint32_t>(s->reset_points.size());
  QOV_RETURN_IF_ERROR(v->CodedU32(kListCountCoding, 0, &count));
  if (reading) {
    // The count needs at least 2 bits per entry; ask for them first.
    QOV_RETURN_IF_ERROR(RequireBits(v, uint64_t{count} * 2));
    s->reset_points.resize(count);
  }
  if (s->reset_points.size() != count) return FailedStatus();
  uint32_t previous = ~uint32_t{0};
  for (uint32_t& point : s->reset_points) {
    QOV_RETURN_IF_ERROR(VisitDelta(v, &previous, &point));
    if (point >= kMaxBlockIndex) return FailedStatus();
  }
  count = static_cast<uint32_t>(s->extra_zero_runs.size());
  QOV_RETURN_IF_ERROR(v->CodedU32(kListCountCoding, 0, &count));
  if (reading) {
    QOV_RETURN_IF_ERROR(RequireBits(v, uint64_t{count} * 4));
    s->extra_zero_runs.resize(count);
  }
  if (s->extra_zero_runs.size() != count) return FailedStatus();
  previous = ~uint32_t{0};
  for (JpegRunPatch& patch : s->extra_zero_runs) {
    QOV_RETURN_IF_ERROR(v->CodedU32(kRunCountCoding, 1, &patch.count));
    QOV_RETURN_IF_ERROR(VisitDelta(v, &previous, &patch.block_index));
    if (patch.count > 4 || patch.block_index > kMaxBlockIndex) {
      return FailedStatus();
    }
  }
  return OkStatus();
}

Status JPEGData::VisitTail(Visitor* v) {
  const bool reading = v->IsDecoding();
  if (has_dri_) {
    QOV_RETURN_IF_ERROR(v->FixedBits(16, 0, &restart_interval));
  }
  for (JpegScanSpec& s : scans) QOV_RETURN_IF_ERROR(VisitScanExtras(v, &s));

  if (reading) inter_marker_segments.assign(num_inter_, {});
  if (inter_marker_segments.size() != num_inter_) return FailedStatus();
  announced.inter_marker.assign(num_inter_, 0);
  for (size_t i = 0; i < num_inter_; ++i) {
    uint32_t size = static_cast<uint32_t>(inter_marker_segments[i].size());
    if (!reading && inter_marker_segments[i].size() > 0xFFFF) {
      return FailedStatus();
    }
    QOV_RETURN_IF_ERROR(v->FixedBits(16, 0, &size));
    announced.inter_marker[i] = size;
  }

  if (!reading && trailing_bytes.size() >= kMaxTrailingBytes) {
    return FailedStatus();
  }
  uint32_t trailing = static_cast<uint32_t>(trailing_bytes.size());
  QOV_RETURN_IF_ERROR(v->CodedU32(kTrailingCoding, 0, &trailing));
  announced.trailing = trailing;

  QOV_RETURN_IF_ERROR(v->Flag(false, &has_padding_bits));
  if (has_padding_bits) {
    if (!reading && padding_bit_values.size() >= (size_t{1} << 24)) {
      return FailedStatus();
    }
    uint32_t num_bits = static_cast<uint32_t>(padding_bit_values.size());
    QOV_RETURN_IF_ERROR(v->FixedBits(24, 0, &num_bits));
    if (reading) {
      QOV_RETURN_IF_ERROR(RequireBits(v, num_bits));
      padding_bit_values.clear();
      padding_bit_values.reserve(num_bits < 1024 ? num_bits : 1024);
      for (uint32_t i = 0; i < num_bits; ++i) {
        bool bit = false;
        QOV_RETURN_IF_ERROR(v->Flag(false, &bit));
        padding_bit_values.push_back(bit ? 1 : 0);
      }
    } else {
      for (uint8_t& value : padding_bit_values) {
        bool bit = value != 0;
        QOV_RETURN_IF_ERROR(v->Flag(false, &bit));
        value = bit ? 1 : 0;
      }
    }
  }
  return OkStatus();
}

Status JPEGData::CheckTableUse() const {
  bool progressive = false;
  bool dc_defined[4] = {}, ac_defined[4] = {};
  size_t next_table = 0, next_scan = 0;
  for (uint8_t m : marker_sequence) {
    if (m == 0xC2) progressive = true;
    if (m == 0xC4) {
      while (next_table < huffman_tables.size()) {
        const JpegHuffmanSpec& t = huffman_tables[next_table++];
        ((t.slot_id & 0x10) ? ac_defined : dc_defined)[t.slot_id & 3] = true;
        if (t.is_last) break;
      }
    }
    if (m != 0xDA) continue;
    if (next_scan >= scans.size()) return FailedStatus();
    const JpegScanSpec& s = scans[next_scan++];
    for (uint32_t i = 0; i < s.component_count && i < 4; ++i) {
      const JpegScanComponent& sc = s.components[i];
      const bool need_dc = !progressive || s.ss == 0;
      const bool need_ac = !progressive || s.ss != 0 || s.se != 0;
      if (sc.dc_table > 3 || sc.ac_table > 3) return FailedStatus();
      if (need_dc && !dc_defined[sc.dc_table]) return FailedStatus();
      if (need_ac && !ac_defined[sc.ac_table]) return FailedStatus();
    }
  }
  return OkStatus();
}

}  // namespace jpeg
}  // namespace qov
