// JPEG writer throughput (bytes of JPEG per second) on a synthetic 2048x2048
// 4:2:0 image with photo-like coefficient statistics: a sequential file with
// restart markers and a progressive file with spectral selection and
// refinement scans.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "lib/jpeg/jpeg_data.h"
#include "lib/jpeg/jpeg_writer.h"

namespace qov {
namespace {

using jpeg::JPEGData;
using jpeg::JpegHuffmanSpec;
using jpeg::JpegScanSpec;

JpegHuffmanSpec Table(bool is_ac, uint32_t id, bool is_last) {
  JpegHuffmanSpec t;
  t.slot_id = (is_ac ? 16 : 0) | id;
  t.is_last = is_last;
  if (is_ac) {
    // Short codes for the common small symbols, 10-bit codes for the rest.
    t.counts[4] = 8;    // 8/16
    t.counts[6] = 8;    // 8/64
    t.counts[10] = 240 + 1;
    uint32_t order[256];
    for (uint32_t i = 0; i < 256; ++i) order[i] = i;
    const uint32_t common[16] = {0x00, 0x01, 0x02, 0x11, 0x03, 0x21, 0x12, 0x31,
                                 0x04, 0x41, 0x22, 0x13, 0x51, 0x05, 0xF0, 0x61};
    uint32_t n = 0;
    for (uint32_t s : common) t.symbols[n++] = s;
    for (uint32_t s : order) {
      if (std::find(std::begin(common), std::end(common), s) == std::end(common)) {
        t.symbols[n++] = s;
      }
    }
    t.symbols[n++] = 256;
  } else {
    t.counts[3] = 6;
    t.counts[5] = 7;
    for (uint32_t i = 0; i < 12; ++i) t.symbols[i] = i;
    t.symbols[12] = 256;
  }
  return t;
}

JpegScanSpec Scan(std::vector<uint32_t> comps, uint32_t ss, uint32_t se,
                  uint32_t ah, uint32_t al) {
  JpegScanSpec s;
  s.component_count = static_cast<uint32_t>(comps.size());
  for (size_t i = 0; i < comps.size(); ++i) {
    const uint32_t t = comps[i] == 0 ? 0 : 1;
    s.components[i] = {comps[i], t, t};
  }
  s.ss = ss;
  s.se = se;
  s.ah = ah;
  s.al = al;
  return s;
}

JPEGData MakeImage(bool progressive) {
  JPEGData d;
  d.width = d.height = 2048;
  d.quant_tables.resize(1);
  d.huffman_tables = {Table(false, 0, false), Table(true, 0, false),
                      Table(false, 1, false), Table(true, 1, true)};
  std::mt19937 rng(3);
  std::exponential_distribution<double> magnitude(1.0);
  const uint32_t sampling[3] = {2, 1, 1};
  for (uint32_t c = 0; c < 3; ++c) {
    jpeg::JpegComponentData comp;
    comp.id = c + 1;
    comp.h_sampling = comp.v_sampling = sampling[c];
    comp.width_in_blocks = comp.height_in_blocks = 128 * sampling[c];
    comp.coefficients.resize(size_t{comp.width_in_blocks} *
                             comp.height_in_blocks * 64);
    for (size_t b = 0; b < comp.coefficients.size(); b += 64) {
      comp.coefficients[b] = static_cast<int16_t>(rng() % 200) - 100;
      for (int k = 1; k < 64; ++k) {
        // Magnitudes fall off with frequency; most high ones are zero.
        const double scale = 12.0 / (1 + k);
        const int v = static_cast<int>(magnitude(rng) * scale);
        comp.coefficients[b + jpeg::kJpegZigZag[k]] =
            static_cast<int16_t>((rng() & 1) ? v : -v);
      }
    }
    d.component_list.push_back(std::move(comp));
  }
  d.marker_sequence = {0xDB, static_cast<uint8_t>(progressive ? 0xC2 : 0xC0),
                       0xC4};
  if (progressive) {
    d.scans = {Scan({0, 1, 2}, 0, 0, 0, 1), Scan({0}, 1, 5, 0, 2),
               Scan({1}, 1, 63, 0, 1),      Scan({2}, 1, 63, 0, 1),
               Scan({0}, 6, 63, 0, 2),      Scan({0}, 1, 63, 2, 1),
               Scan({0, 1, 2}, 0, 0, 1, 0), Scan({1}, 1, 63, 1, 0),
               Scan({2}, 1, 63, 1, 0),      Scan({0}, 1, 63, 1, 0)};
  } else {
    d.restart_interval = 64;
    d.marker_sequence.push_back(0xDD);
    d.scans = {Scan({0, 1, 2}, 0, 63, 0, 0)};
  }
  for (size_t i = 0; i < d.scans.size(); ++i) d.marker_sequence.push_back(0xDA);
  d.marker_sequence.push_back(0xD9);
  return d;
}

void BM_JpegWrite(benchmark::State& state) {
  const JPEGData d = MakeImage(state.range(0) != 0);
  uint64_t bytes = 0;
  const jpeg::JpegOutputSink sink = [&](const uint8_t*, uint64_t n) {
    bytes += n;
    return n;
  };
  for (auto _ : state) {
    if (!jpeg::EmitJpegStream(d, sink).ok()) {
      state.SkipWithError("write failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["jpeg_bytes"] =
      static_cast<double>(bytes) / std::max<double>(1, state.iterations());
}
BENCHMARK(BM_JpegWrite)->Arg(0)->Arg(1)->ArgNames({"progressive"})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qov
