// The three scan encoders: sequential (and full-band progressive) scans,
// progressive first-pass scans, and progressive refinement scans. They share
// one scan driver: MCU walk, restart markers, reset points, padding.
#include <algorithm>
#include <cstdlib>

#include "lib/jpeg/jpeg_writer.h"

namespace qov {
namespace jpeg {
namespace {

constexpr uint32_t kZrl = 0xF0;

inline int BitLength(uint32_t v) { return v == 0 ? 0 : 32 - __builtin_clz(v); }

inline void PutSymbol(const JpegHuffmanTable& t, uint32_t symbol,
                      JpegBitSink& sink) {
  sink.PutBits(t.codes[symbol], t.lengths[symbol]);
}

enum class ScanKind { kSequential, kFirst, kRefinement };

// Every block the scan's MCU grid addresses lies inside the component's
// coefficients. The grids come from frame set-up and are not trusted here.
bool ScanBlocksPresent(const JPEGData& jpeg, const JpegScanSpec& scan,
                       int64_t columns, int64_t rows) {
  if (columns <= 0 || rows <= 0) return true;
  for (uint32_t i = 0; i < scan.component_count; ++i) {
    const JpegComponentData& c =
        jpeg.component_list[scan.components[i].component_index];
    uint64_t h = 1, v = 1;
    if (scan.component_count >= 2) {
      h = c.h_sampling;
      v = c.v_sampling;
      if (h == 0 || v == 0) continue;
    }
    const uint64_t last_col = static_cast<uint64_t>(columns) * h - 1;
    const uint64_t last_row = static_cast<uint64_t>(rows) * v - 1;
    if (last_col >= c.width_in_blocks) return false;
    const uint64_t blocks = c.coefficients.size() / 64;
    if (last_row >= blocks / c.width_in_blocks) return false;
  }
  return true;
}

bool ScanSpecUsable(const JPEGData& jpeg, const JpegScanSpec& scan) {
  if (scan.component_count > 4 || scan.ss > 63 || scan.se > 63 ||
      scan.al > 15) {
    return false;
  }
  for (uint32_t i = 0; i < scan.component_count; ++i) {
    const JpegScanComponent& sc = scan.components[i];
    if (sc.component_index >= jpeg.component_list.size() ||
        sc.dc_table > 3 || sc.ac_table > 3) {
      return false;
    }
  }
  for (const JpegComponentData& c : jpeg.component_list) {
    if (c.h_sampling > 15 || c.v_sampling > 15) return false;
  }
  return true;
}

void AdvanceCursor(const std::vector<uint32_t>& list, uint64_t& position,
                   int64_t& next) {
  if (position < list.size()) {
    next = list[position++];
  } else {
    next = -1;
  }
}

void StartScan(const JPEGData& jpeg, const JpegScanSpec& scan,
               JpegEmitState& st) {
  st.bit_sink.Init(&st.output_queue);
  st.eob_run.run_length = 0;
  st.eob_run.run_table = nullptr;
  st.eob_run.correction_bits.clear();
  st.eob_run.correction_bits.reserve(64);
  st.eob_run.correction_bit_count = 0;
  st.restart_countdown = st.restart_interval_seen ? jpeg.restart_interval : 0;
  st.next_restart_number = 0;
  st.block_counter = 0;
  st.run_patch_position = 0;
  st.next_run_patch_block = -1;
  if (!scan.extra_zero_runs.empty()) {
    st.next_run_patch_block = scan.extra_zero_runs[0].block_index;
    st.run_patch_position = 1;
  }
  st.reset_point_position = 0;
  AdvanceCursor(scan.reset_points, st.reset_point_position,
                st.next_reset_point);
  for (int16_t& dc : st.last_dc) dc = 0;
  st.scan_stage = 1;
  st.next_mcu_row = 0;
}

bool TablesBuilt(ScanKind kind, const JpegScanSpec& scan,
                 const JpegHuffmanTable& dc, const JpegHuffmanTable& ac) {
  if (kind == ScanKind::kSequential) return dc.built && ac.built;
  if (scan.ss == 0 && !dc.built) return false;
  if ((scan.ss != 0 || scan.se != 0) && !ac.built) return false;
  return true;
}

// Codes one block; false fails the scan.
bool CodeBlock(ScanKind kind, const JpegScanSpec& scan, const int16_t* block,
               const JpegHuffmanTable& dc, const JpegHuffmanTable& ac,
               uint32_t component_index, JpegEmitState& st) {
  if (st.block_counter == st.next_reset_point) {
    if (kind != ScanKind::kSequential) {
      EmitPendingEobRun(st.eob_run, st.bit_sink);
    }
    AdvanceCursor(scan.reset_points, st.reset_point_position,
                  st.next_reset_point);
  }
  int32_t extra_zrl = 0;
  if (st.block_counter == st.next_run_patch_block) {
    extra_zrl = static_cast<int32_t>(
        scan.extra_zero_runs[st.run_patch_position - 1].count);
    if (st.run_patch_position < scan.extra_zero_runs.size()) {
      st.next_run_patch_block =
          scan.extra_zero_runs[st.run_patch_position++].block_index;
    } else {
      st.next_run_patch_block = -1;
    }
  }
  st.bit_sink.EnsureRoom(512);
  bool ok = true;
  int16_t& last_dc = st.last_dc[component_index];
  switch (kind) {
    case ScanKind::kSequential:
      ok = EncodeSequentialBlock(block, dc, ac, extra_zrl, last_dc,
                                 st.bit_sink);
      break;
    case ScanKind::kFirst:
      ok = EncodeProgressiveFirstBlock(block, dc, ac, scan.ss, scan.se,
                                       scan.al, extra_zrl, st.eob_run,
                                       last_dc, st.bit_sink);
      break;
    case ScanKind::kRefinement:
      EncodeRefinementBlock(block, ac, scan.ss, scan.se, scan.al, st.eob_run,
                            st.bit_sink);
      break;
  }
  ++st.block_counter;
  return ok;
}

bool CodeMcu(ScanKind kind, const JPEGData& jpeg, const JpegScanSpec& scan,
             int64_t mcu_row, int64_t mcu_col, JpegEmitState& st) {
  for (uint32_t i = 0; i < scan.component_count; ++i) {
    const JpegScanComponent& sc = scan.components[i];
    const JpegComponentData& c = jpeg.component_list[sc.component_index];
    const JpegHuffmanTable& dc = st.dc_tables[sc.dc_table];
    const JpegHuffmanTable& ac = st.ac_tables[sc.ac_table];
    if (!TablesBuilt(kind, scan, dc, ac)) return false;
    int64_t h = 1, v = 1;
    if (scan.component_count >= 2) {
      h = c.h_sampling;
      v = c.v_sampling;
    }
    for (int64_t y = 0; y < v; ++y) {
      for (int64_t x = 0; x < h; ++x) {
        const uint64_t row = static_cast<uint64_t>(mcu_row * v + y);
        const uint64_t col = static_cast<uint64_t>(mcu_col * h + x);
        const int16_t* block =
            c.coefficients.data() + (row * c.width_in_blocks + col) * 64;
        if (!CodeBlock(kind, scan, block, dc, ac, sc.component_index, st)) {
          return false;
        }
      }
    }
  }
  return true;
}

JpegScanResult RunScan(ScanKind kind, const JPEGData& jpeg,
                       JpegEmitState& st) {
  constexpr JpegScanResult kFail = JpegScanResult::kFailure;
  if (st.scan_stage != 0 && st.scan_stage != 1) return kFail;
  if (st.scan_index >= jpeg.scans.size()) return kFail;
  const JpegScanSpec& scan = jpeg.scans[st.scan_index];
  if (st.scan_stage == 0) {
    if (!EmitScanHeader(jpeg, scan, st)) return kFail;
    if (!ScanSpecUsable(jpeg, scan)) return kFail;
    StartScan(jpeg, scan, st);
  }
  const int64_t interval = st.restart_interval_seen ? jpeg.restart_interval : 0;
  int64_t columns = 0, rows = 0;
  CountScanMcus(jpeg, scan, columns, rows);
  if (!ScanBlocksPresent(jpeg, scan, columns, rows)) return kFail;
  if (columns == 0) st.next_mcu_row = std::max(st.next_mcu_row + 1, rows);
  JpegBitSink& sink = st.bit_sink;
  for (; st.next_mcu_row < rows; ++st.next_mcu_row) {
    for (int64_t col = 0; col < columns; ++col) {
      if (interval > 0 && st.restart_countdown == 0) {
        if (kind != ScanKind::kSequential) EmitPendingEobRun(st.eob_run, sink);
        if (!sink.PadToByte(&st.padding_cursor, st.padding_end)) return kFail;
        sink.PutMarker(static_cast<uint8_t>(0xD0 + st.next_restart_number));
        st.next_restart_number = (st.next_restart_number + 1) & 7;
        st.restart_countdown = interval;
        for (int16_t& dc : st.last_dc) dc = 0;
      }
      if (!CodeMcu(kind, jpeg, scan, st.next_mcu_row, col, st)) return kFail;
      --st.restart_countdown;
    }
  }
  if (kind != ScanKind::kSequential) EmitPendingEobRun(st.eob_run, sink);
  if (!sink.PadToByte(&st.padding_cursor, st.padding_end)) return kFail;
  sink.Finish();
  st.scan_stage = 0;
  ++st.scan_index;
  return sink.ok ? JpegScanResult::kComplete : kFail;
}

}  // namespace

bool EncodeSequentialBlock(const int16_t block[64], const JpegHuffmanTable& dc,
                           const JpegHuffmanTable& ac, int32_t extra_zrl,
                           int16_t& last_dc, JpegBitSink& sink) {
  // -32768 has no 15-bit magnitude; after a run of 15 its symbol would lie
  // past the table. Fail before writing anything.
  bool has_min = false;
  for (int k = 1; k < 64; ++k) has_min |= block[k] == -32768;
  if (has_min) return false;

  const int16_t d = block[0];
  const int32_t diff = static_cast<int16_t>(d - last_dc);
  last_dc = d;
  const int s = BitLength(static_cast<uint32_t>(std::abs(diff)));
  PutSymbol(dc, static_cast<uint32_t>(s), sink);
  if (s > 0) {
    const uint32_t bits = static_cast<uint32_t>(diff < 0 ? diff - 1 : diff);
    sink.PutBits(bits & ((1u << s) - 1), s);
  }
  int32_t r = 0;
  for (int k = 1; k < 64; ++k) {
    const int32_t a = block[kJpegZigZag[k]];
    if (a == 0) {
      ++r;
      continue;
    }
    while (r >= 16) {
      PutSymbol(ac, kZrl, sink);
      r -= 16;
    }
    const int n = BitLength(static_cast<uint32_t>(std::abs(a)));
    const uint32_t bits =
        static_cast<uint32_t>(a < 0 ? a - 1 : a) & ((1u << n) - 1);
    const uint32_t symbol = static_cast<uint32_t>(16 * r + n);
    sink.PutBits((static_cast<uint64_t>(ac.codes[symbol]) << n) | bits,
                 ac.lengths[symbol] + n);
    r = 0;
  }
  for (int32_t i = 0; i < extra_zrl; ++i) PutSymbol(ac, kZrl, sink);
  r -= 16 * extra_zrl;
  if (r > 0) PutSymbol(ac, 0x00, sink);
  return true;
}

void EmitPendingEobRun(JpegEobRunState& run, JpegBitSink& sink) {
  if (run.run_length > 0) {
    sink.EnsureRoom(16);
    const uint32_t length = static_cast<uint32_t>(run.run_length);
    const int n = BitLength(length) - 1;
    PutSymbol(*run.run_table, static_cast<uint32_t>(n * 16), sink);
    if (n > 0) sink.PutBits(length - (1u << n), n);
    run.run_length = 0;
  }
  const uint64_t full_words = run.correction_bit_count / 16;
  for (uint64_t w = 0; w < full_words; ++w) {
    if (w % 124 == 0) sink.EnsureRoom(512);
    sink.PutBits(run.correction_bits[w], 16);
  }
  const int rest = static_cast<int>(run.correction_bit_count % 16);
  if (rest != 0) {
    sink.EnsureRoom(16);
    sink.PutBits(run.correction_bits[full_words] & ((1u << rest) - 1), rest);
  }
  run.correction_bits.clear();
  run.correction_bit_count = 0;
}

namespace {

// Appends the n (at most 63) low bits of `bits`, earliest highest, to the
// run's correction bits: first into the free low bits of a partial last
// word, then whole words, then a new partial word.
void AppendCorrectionBits(uint64_t bits, int n, JpegEobRunState& run) {
  while (n > 0) {
    const int used = static_cast<int>(run.correction_bit_count % 16);
    if (used == 0) run.correction_bits.push_back(0);
    const int take = std::min(16 - used, n);
    const uint16_t piece =
        static_cast<uint16_t>((bits >> (n - take)) & ((1u << take) - 1));
    uint16_t& word = run.correction_bits.back();
    word = static_cast<uint16_t>((word << take) | piece);
    run.correction_bit_count += take;
    n -= take;
  }
}

// Ends a block with an end-of-band that joins the pending run.
void ExtendEobRun(const JpegHuffmanTable& ac, uint32_t ss,
                  JpegEobRunState& run, JpegBitSink& sink) {
  if (run.run_length == 0) run.run_table = &ac;
  ++run.run_length;
  if (run.run_length == JpegEobRunState::kMaxRun) EmitPendingEobRun(run, sink);
  if (ss == 0) EmitPendingEobRun(run, sink);
}

}  // namespace

bool EncodeProgressiveFirstBlock(const int16_t block[64],
                                 const JpegHuffmanTable& dc,
                                 const JpegHuffmanTable& ac, uint32_t ss,
                                 uint32_t se, uint32_t al, int32_t extra_zrl,
                                 JpegEobRunState& run, int16_t& last_dc,
                                 JpegBitSink& sink) {
  uint32_t k0 = ss;
  if (ss == 0) {
    const int16_t v = static_cast<int16_t>(block[0] >> al);
    const int16_t d = static_cast<int16_t>(v - last_dc);
    last_dc = v;
    int n = 0;
    uint32_t bits = 0;
    if (d < 0) {
      if (d == -32768) return false;
      n = BitLength(static_cast<uint32_t>(-d));
      bits = static_cast<uint32_t>(d - 1);
    } else if (d > 0) {
      n = BitLength(static_cast<uint32_t>(d));
      bits = static_cast<uint32_t>(d);
    }
    PutSymbol(dc, static_cast<uint32_t>(n), sink);
    if (n > 0) sink.PutBits(bits & ((1u << n) - 1), n);
    k0 = 1;
  }
  if (k0 > se) return true;
  int32_t r = 0;
  for (uint32_t k = k0; k <= se; ++k) {
    const int32_t c = block[kJpegZigZag[k]];
    uint32_t a = 0, bits = 0;
    if (c > 0) {
      a = static_cast<uint32_t>(c) >> al;
      bits = a;
    } else if (c < 0) {
      if (c == -32768) return false;
      a = static_cast<uint32_t>(-c) >> al;
      bits = ~a;
    }
    if (a == 0) {
      ++r;
      continue;
    }
    EmitPendingEobRun(run, sink);
    while (r >= 16) {
      PutSymbol(ac, kZrl, sink);
      r -= 16;
    }
    const int n = BitLength(a);
    PutSymbol(ac, static_cast<uint32_t>(r * 16 + n), sink);
    sink.PutBits(bits & ((1u << n) - 1), n);
    r = 0;
  }
  if (extra_zrl > 0) {
    EmitPendingEobRun(run, sink);
    for (int32_t i = 0; i < extra_zrl; ++i) PutSymbol(ac, kZrl, sink);
    r -= 16 * extra_zrl;
  }
  if (r > 0) ExtendEobRun(ac, ss, run, sink);
  return true;
}

void EncodeRefinementBlock(const int16_t block[64], const JpegHuffmanTable& ac,
                           uint32_t ss, uint32_t se, uint32_t al,
                           JpegEobRunState& run, JpegBitSink& sink) {
  uint32_t k0 = ss;
  if (ss == 0) {
    sink.PutBits(static_cast<uint32_t>(block[0] >> al) & 1, 1);
    if (se < 1) return;
    k0 = 1;
  } else if (ss > se) {
    return;
  }
  // Magnitudes at this bit; -32768 counts as 32768.
  int32_t m[64];
  uint32_t last_new = 0;
  for (uint32_t k = k0; k <= se; ++k) {
    m[k] = std::abs(static_cast<int32_t>(block[kJpegZigZag[k]])) >> al;
    if (m[k] == 1) last_new = k;
  }
  // Correction bits since the block's last symbol, earliest highest.
  uint64_t pending = 0;
  int num_pending = 0;
  auto put_pending = [&]() {
    if (num_pending > 32) {
      sink.PutBits(pending >> 32, num_pending - 32);
      sink.PutBits(pending & 0xFFFFFFFFu, 32);
    } else {
      sink.PutBits(pending, num_pending);
    }
    pending = 0;
    num_pending = 0;
  };
  int32_t r = 0;
  for (uint32_t k = k0; k <= se; ++k) {
    if (m[k] == 0) {
      ++r;
      continue;
    }
    while (r >= 16 && k <= last_new) {
      EmitPendingEobRun(run, sink);
      PutSymbol(ac, kZrl, sink);
      put_pending();
      r -= 16;
    }
    if (m[k] == 1) {
      EmitPendingEobRun(run, sink);
      PutSymbol(ac, static_cast<uint32_t>(r * 16 + 1), sink);
      sink.PutBits(block[kJpegZigZag[k]] >= 0 ? 1 : 0, 1);
      put_pending();
      r = 0;
    } else {
      pending = (pending << 1) | static_cast<uint64_t>(m[k] & 1);
      ++num_pending;
    }
  }
  if (r > 0 || num_pending > 0) {
    if (run.run_length == 0) run.run_table = &ac;
    ++run.run_length;
    AppendCorrectionBits(pending, num_pending, run);
    if (run.run_length == JpegEobRunState::kMaxRun) {
      EmitPendingEobRun(run, sink);
    }
    if (ss == 0) EmitPendingEobRun(run, sink);
  }
}

JpegScanResult EmitSequentialScan(const JPEGData& jpeg, JpegEmitState& state) {
  return RunScan(ScanKind::kSequential, jpeg, state);
}

JpegScanResult EmitProgressiveFirstScan(const JPEGData& jpeg,
                                        JpegEmitState& state) {
  return RunScan(ScanKind::kFirst, jpeg, state);
}

JpegScanResult EmitRefinementScan(const JPEGData& jpeg, JpegEmitState& state) {
  return RunScan(ScanKind::kRefinement, jpeg, state);
}

}  // namespace jpeg
}  // namespace qov
