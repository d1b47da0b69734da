// The JPEG writer's marker walk: SOI, then every entry of the marker
// sequence with its segment, each handed to the sink as soon as it is done.
#include "lib/jpeg/jpeg_writer.h"

#include <cstring>

namespace qov {
namespace jpeg {
namespace {

void QueueCopy(JpegEmitState& st, std::initializer_list<uint8_t> bytes) {
  JpegOutputPiece piece;
  piece.owned.assign(bytes.begin(), bytes.end());
  piece.data = piece.owned.data();
  piece.size = piece.owned.size();
  st.output_queue.push_back(std::move(piece));
}

void QueueReference(JpegEmitState& st, const std::vector<uint8_t>& bytes) {
  JpegOutputPiece piece;
  piece.data = bytes.data();
  piece.size = bytes.size();
  st.output_queue.push_back(std::move(piece));
}

// Queues a zero-filled piece and answers its storage.
uint8_t* QueueZeroed(JpegEmitState& st, size_t size) {
  JpegOutputPiece piece;
  piece.owned.assign(size, 0);
  piece.data = piece.owned.data();
  piece.size = size;
  st.output_queue.push_back(std::move(piece));
  return st.output_queue.back().owned.data();
}

void PutBE16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

bool EmitSof(const JPEGData& jpeg, uint8_t marker, JpegEmitState& st) {
  // The frame header holds 16-bit dimensions; larger ones cannot be written.
  if (jpeg.width > 0xFFFF || jpeg.height > 0xFFFF) return false;
  const size_t n = jpeg.component_list.size();
  if (n > 255) return false;
  for (const JpegComponentData& c : jpeg.component_list) {
    if (c.quant_index >= jpeg.quant_tables.size()) return false;
  }
  uint8_t* p = QueueZeroed(st, 3 * n + 10);
  p[0] = 0xFF;
  p[1] = marker;
  PutBE16(p + 2, static_cast<uint32_t>(3 * n + 8));
  p[4] = 8;
  PutBE16(p + 5, jpeg.height);
  PutBE16(p + 7, jpeg.width);
  p[9] = static_cast<uint8_t>(n);
  for (size_t i = 0; i < n; ++i) {
    const JpegComponentData& c = jpeg.component_list[i];
    p[10 + 3 * i] = static_cast<uint8_t>(c.id);
    p[11 + 3 * i] = static_cast<uint8_t>(c.h_sampling * 16 + c.v_sampling);
    p[12 + 3 * i] =
        static_cast<uint8_t>(jpeg.quant_tables[c.quant_index].table_id);
  }
  return true;
}

bool EmitDqt(const JPEGData& jpeg, JpegEmitState& st) {
  const auto& tables = jpeg.quant_tables;
  uint32_t length = 2;
  for (size_t i = st.dqt_index; i < tables.size(); ++i) {
    length += 65 + (tables[i].precision != 0 ? 64 : 0);
    if (tables[i].is_last) break;
  }
  uint8_t* p = QueueZeroed(st, length + 2);
  p[0] = 0xFF;
  p[1] = 0xDB;
  PutBE16(p + 2, length);
  size_t w = 4;
  for (;;) {
    if (st.dqt_index >= tables.size()) return false;
    const JpegQuantSpec& q = tables[st.dqt_index++];
    p[w++] = static_cast<uint8_t>(q.precision * 16 + q.table_id);
    for (int k = 0; k < 64; ++k) {
      const int32_t value = q.values[kJpegZigZag[k]];
      if (q.precision != 0) {
        PutBE16(p + w, static_cast<uint32_t>(value));
        w += 2;
      } else {
        p[w++] = static_cast<uint8_t>(value);
      }
    }
    if (q.is_last) return true;
  }
}

// Fills the encoding form of one table; false for a code list that the
// table's counts cannot describe.
bool BuildHuffmanTable(const JpegHuffmanSpec& spec, JpegHuffmanTable& table) {
  std::memset(table.lengths, JpegHuffmanTable::kNoCode, sizeof(table.lengths));
  std::memset(table.codes, 0, sizeof(table.codes));
  // Only prefix codes with the sentinel last may be built; the bundle
  // reader already refuses anything else, hand-made data is checked here.
  if (!IsValidHuffmanSpec(spec)) return false;
  uint32_t code = 0;
  uint32_t j = 0;
  const uint32_t total = spec.Total();
  for (int len = 1; len <= 16; ++len) {
    for (uint32_t i = 0; i < spec.counts[len]; ++i, ++j) {
      if (j + 1 < total) {
        const uint32_t symbol = spec.symbols[j];
        table.lengths[symbol] = static_cast<uint8_t>(len);
        table.codes[symbol] = static_cast<uint16_t>(code);
      }
      ++code;
    }
    code <<= 1;
  }
  table.built = true;
  return true;
}

bool EmitDht(const JPEGData& jpeg, JpegEmitState& st) {
  const auto& tables = jpeg.huffman_tables;
  uint32_t length = 2;
  for (size_t i = st.dht_index; i < tables.size(); ++i) {
    length += tables[i].Total();
    if (length == 2) break;
    length += 16;
    if (tables[i].is_last) break;
  }
  if (length > 0xFFFF) return false;
  uint8_t* p = QueueZeroed(st, length + 2);
  p[0] = 0xFF;
  p[1] = 0xC4;
  PutBE16(p + 2, length);
  size_t w = 4;
  for (;;) {
    if (st.dht_index >= tables.size()) return false;
    const JpegHuffmanSpec& t = tables[st.dht_index++];
    const uint32_t total = t.Total();
    // A table without codes ends its segment. Opening it, it leaves the
    // empty segment FF C4 00 02; after another table the length written
    // would count bytes that stay zero: not a file to report as written.
    if (total == 0) return w == 4;
    if ((t.slot_id & 0xF) > 3) return false;
    JpegHuffmanTable& target = (t.slot_id & 0x10) ? st.ac_tables[t.slot_id & 3]
                                                  : st.dc_tables[t.slot_id & 3];
    if (!BuildHuffmanTable(t, target)) return false;
    if (w + 17 + total - 1 > length + 2) return false;
    p[w] = static_cast<uint8_t>(t.slot_id);
    int longest = 16;
    while (longest > 0 && t.counts[longest] == 0) --longest;
    for (int len = 1; len <= 16; ++len) {
      p[w + len] = static_cast<uint8_t>(t.counts[len] - (len == longest));
    }
    for (uint32_t i = 0; i + 1 < total; ++i) {
      p[w + 17 + i] = static_cast<uint8_t>(t.symbols[i]);
    }
    w += 16 + total;
    if (t.is_last) return true;
  }
}

bool EmitScan(const JPEGData& jpeg, JpegEmitState& st) {
  if (st.scan_index >= jpeg.scans.size()) return false;
  const JpegScanSpec& s = jpeg.scans[st.scan_index];
  JpegScanResult result;
  if (st.is_progressive &&
      (s.ah != 0 || s.al != 0 || s.ss != 0 || s.se != 63)) {
    result = s.ah != 0 ? EmitRefinementScan(jpeg, st)
                       : EmitProgressiveFirstScan(jpeg, st);
  } else {
    result = EmitSequentialScan(jpeg, st);
  }
  return result == JpegScanResult::kComplete;
}

bool EmitSegment(const std::vector<std::vector<uint8_t>>& segments,
                 size_t& index, JpegEmitState& st) {
  if (index >= segments.size()) return false;
  const std::vector<uint8_t>& segment = segments[index++];
  if (segment.empty()) return false;
  QueueCopy(st, {0xFF});
  QueueReference(st, segment);
  return true;
}

// Runs the handler of one marker; false fails the write.
bool EmitMarker(const JPEGData& jpeg, uint8_t m, JpegEmitState& st) {
  switch (m) {
    case 0xC0:
    case 0xC1:
    case 0xC2:
      st.is_progressive = m == 0xC2;
      return EmitSof(jpeg, m, st);
    case 0xC9:
    case 0xCA:
      return EmitSof(jpeg, m, st);
    case 0xC4:
      return EmitDht(jpeg, st);
    case 0xD0: case 0xD1: case 0xD2: case 0xD3:
    case 0xD4: case 0xD5: case 0xD6: case 0xD7:
      QueueCopy(st, {0xFF, m});
      return true;
    case 0xD9:
      QueueCopy(st, {0xFF, 0xD9});
      QueueReference(st, jpeg.trailing_bytes);
      return true;
    case 0xDA:
      return EmitScan(jpeg, st);
    case 0xDB:
      return EmitDqt(jpeg, st);
    case 0xDD:
      st.restart_interval_seen = true;
      QueueCopy(st, {0xFF, 0xDD, 0x00, 0x04,
                     static_cast<uint8_t>(jpeg.restart_interval >> 8),
                     static_cast<uint8_t>(jpeg.restart_interval)});
      return true;
    case 0xFE:
      return EmitSegment(jpeg.com_segments, st.com_index, st);
    case 0xFF:
      if (st.inter_marker_index >= jpeg.inter_marker_segments.size()) {
        return false;
      }
      QueueReference(st, jpeg.inter_marker_segments[st.inter_marker_index++]);
      return true;
    default:
      if (m >= 0xE0 && m <= 0xEF) {
        return EmitSegment(jpeg.app_segments, st.app_index, st);
      }
      return false;
  }
}

}  // namespace

Status EmitJpegStream(const JPEGData& jpeg, const JpegOutputSink& sink) {
  JpegEmitState st;
  if (jpeg.marker_sequence.empty()) return FailedStatus();
  st.dc_tables.assign(4, JpegHuffmanTable());
  st.ac_tables.assign(4, JpegHuffmanTable());
  if (jpeg.has_padding_bits && !jpeg.padding_bit_values.empty()) {
    st.padding_cursor = jpeg.padding_bit_values.data();
    st.padding_end = st.padding_cursor + jpeg.padding_bit_values.size();
  }
  st.stage = 1;
  QueueCopy(st, {0xFF, 0xD8});
  QOV_RETURN_IF_ERROR(FlushJpegOutput(st, sink));
  for (; st.marker_index < jpeg.marker_sequence.size(); ++st.marker_index) {
    if (!EmitMarker(jpeg, jpeg.marker_sequence[st.marker_index], st)) {
      st.stage = 3;
      return FailedStatus();
    }
    QOV_RETURN_IF_ERROR(FlushJpegOutput(st, sink));
  }
  st.stage = 2;
  if (st.padding_cursor != nullptr && st.padding_cursor != st.padding_end) {
    return FailedStatus();  // stored padding bits left over
  }
  return OkStatus();
}

}  // namespace jpeg
}  // namespace qov
