// Test-side JPEG parser and decoder, and builders of JPEG descriptions.
#include "tests/jpeg/jpeg_test_helpers.h"

#include <algorithm>
#include <filesystem>
#include <random>

#include "lib/jpeg/jpeg_writer.h"

namespace qov::test {
namespace {

constexpr int kZigZag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

struct DecodeTable {
  bool defined = false;
  int maxcode[18];
  int mincode[17];
  int valptr[17];
  std::vector<uint8_t> values;
};

// Reads entropy-coded bits with byte unstuffing; stops at markers.
class EntropyBits {
 public:
  explicit EntropyBits(const Bytes& data) : data_(data) {}
  int Bit() {
    if (bits_left_ == 0) {
      if (pos_ >= data_.size() ||
          (data_[pos_] == 0xFF && pos_ + 1 < data_.size() &&
           data_[pos_ + 1] != 0)) {
        overrun_ = true;
        return 0;
      }
      current_ = data_[pos_];
      pos_ += current_ == 0xFF ? 2 : 1;
      bits_left_ = 8;
    }
    --bits_left_;
    return (current_ >> bits_left_) & 1;
  }
  uint32_t Bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 1) | Bit();
    return v;
  }
  // Records the rest of the current byte as padding.
  void Pad(std::vector<uint8_t>* out) {
    while (bits_left_ > 0) out->push_back(static_cast<uint8_t>(Bit()));
  }
  bool Restart(int number) {
    if (pos_ + 1 >= data_.size() || data_[pos_] != 0xFF ||
        data_[pos_ + 1] != 0xD0 + number) {
      return false;
    }
    pos_ += 2;
    return true;
  }
  bool AtEnd() const { return pos_ == data_.size() && bits_left_ == 0; }
  bool overrun() const { return overrun_; }

 private:
  const Bytes& data_;
  size_t pos_ = 0;
  uint8_t current_ = 0;
  int bits_left_ = 0;
  bool overrun_ = false;
};

int DecodeSymbol(const DecodeTable& t, EntropyBits& in) {
  int code = 0;
  for (int len = 1; len <= 16; ++len) {
    code = (code << 1) | in.Bit();
    if (t.maxcode[len] >= 0 && code <= t.maxcode[len]) {
      return t.values[t.valptr[len] + code - t.mincode[len]];
    }
  }
  return -1;
}

int Extend(uint32_t v, int s) {
  if (s == 0) return 0;
  return v < (1u << (s - 1)) ? static_cast<int>(v) - (1 << s) + 1
                             : static_cast<int>(v);
}

struct Component {
  int id, h, v;
  uint32_t wib, hib;
};

struct DecoderState {
  DecodedJpeg out;
  DecodeTable dc[4], ac[4];
  std::vector<Component> comps;
  bool progressive = false;
  int hmax = 1, vmax = 1;
  uint32_t restart_interval = 0;
};

bool ReadDht(const Bytes& b, DecoderState& st) {
  size_t p = 0;
  while (p < b.size()) {
    if (p + 17 > b.size()) return false;
    const int tc = b[p] >> 4, th = b[p] & 15;
    if (th > 3) return false;
    DecodeTable& t = (tc ? st.ac : st.dc)[th];
    int counts[17] = {};
    size_t total = 0;
    for (int i = 1; i <= 16; ++i) total += counts[i] = b[p + i];
    p += 17;
    if (p + total > b.size()) return false;
    t.values.assign(b.begin() + p, b.begin() + p + total);
    p += total;
    int code = 0, k = 0;
    for (int len = 1; len <= 16; ++len) {
      t.valptr[len] = k;
      t.mincode[len] = code;
      code += counts[len];
      k += counts[len];
      t.maxcode[len] = counts[len] ? code - 1 : -1;
      code <<= 1;
    }
    t.defined = true;
  }
  return true;
}

bool ReadSof(const Bytes& b, uint8_t marker, DecoderState& st) {
  if (b.size() < 6) return false;
  st.progressive = marker == 0xC2;
  st.out.height = (b[1] << 8) | b[2];
  st.out.width = (b[3] << 8) | b[4];
  const int n = b[5];
  if (b.size() < 6 + 3u * n) return false;
  for (int i = 0; i < n; ++i) {
    Component c{b[6 + 3 * i], b[7 + 3 * i] >> 4, b[7 + 3 * i] & 15, 0, 0};
    st.hmax = std::max(st.hmax, c.h);
    st.vmax = std::max(st.vmax, c.v);
    st.comps.push_back(c);
  }
  const uint32_t mcu_cols = (st.out.width + 8 * st.hmax - 1) / (8 * st.hmax);
  const uint32_t mcu_rows = (st.out.height + 8 * st.vmax - 1) / (8 * st.vmax);
  for (Component& c : st.comps) {
    c.wib = mcu_cols * c.h;
    c.hib = mcu_rows * c.v;
    st.out.width_in_blocks.push_back(c.wib);
    st.out.height_in_blocks.push_back(c.hib);
    st.out.coefficients.emplace_back(size_t{c.wib} * c.hib * 64, 0);
  }
  return true;
}

struct ScanParams {
  std::vector<int> comp, td, ta;
  int ss, se, ah, al;
};

bool DecodeBlock(DecoderState& st, const ScanParams& sp, int ci, int dc_pred[],
                 int& eobrun, int16_t* blk, EntropyBits& in) {
  const DecodeTable& dct = st.dc[sp.td[ci]];
  const DecodeTable& act = st.ac[sp.ta[ci]];
  int& pred = dc_pred[sp.comp[ci]];
  if (!st.progressive) {
    const int s = DecodeSymbol(dct, in);
    if (s < 0) return false;
    pred = static_cast<int16_t>(pred + Extend(in.Bits(s), s));
    blk[0] = static_cast<int16_t>(pred);
    for (int k = 1; k < 64;) {
      const int rs = DecodeSymbol(act, in);
      if (rs < 0) return false;
      const int r = rs >> 4, s2 = rs & 15;
      if (s2 == 0) {
        if (r != 15) break;
        k += 16;
        continue;
      }
      k += r;
      if (k > 63) return false;
      blk[kZigZag[k]] = static_cast<int16_t>(Extend(in.Bits(s2), s2));
      ++k;
    }
    return true;
  }
  if (sp.ss == 0) {  // DC scans
    if (sp.ah == 0) {
      const int s = DecodeSymbol(dct, in);
      if (s < 0) return false;
      pred = static_cast<int16_t>(pred + Extend(in.Bits(s), s));
      blk[0] = static_cast<int16_t>(pred * (1 << sp.al));
    } else if (in.Bit()) {
      blk[0] = static_cast<int16_t>(blk[0] | (1 << sp.al));
    }
    return sp.se == 0;
  }
  if (sp.ah == 0) {
    if (eobrun > 0) {
      --eobrun;
      return true;
    }
    for (int k = sp.ss; k <= sp.se;) {
      const int rs = DecodeSymbol(act, in);
      if (rs < 0) return false;
      const int r = rs >> 4, s = rs & 15;
      if (s == 0) {
        if (r < 15) {
          eobrun = (1 << r) - 1;
          if (r) eobrun += in.Bits(r);
          break;
        }
        k += 16;
        continue;
      }
      k += r;
      if (k > sp.se) return false;
      blk[kZigZag[k]] =
          static_cast<int16_t>(Extend(in.Bits(s), s) * (1 << sp.al));
      ++k;
    }
    return true;
  }
  const int p1 = 1 << sp.al, m1 = -p1;
  auto refine = [&](int16_t& coef) {
    if (in.Bit() && (coef & p1) == 0) {
      coef = static_cast<int16_t>(coef + (coef >= 0 ? p1 : m1));
    }
  };
  int k = sp.ss;
  if (eobrun == 0) {
    for (; k <= sp.se; ++k) {
      const int rs = DecodeSymbol(act, in);
      if (rs < 0) return false;
      int r = rs >> 4;
      const int s = rs & 15;
      int value = 0;
      if (s != 0) {
        if (s != 1) return false;
        value = in.Bit() ? p1 : m1;
      } else if (r != 15) {
        eobrun = 1 << r;
        if (r) eobrun += in.Bits(r);
        break;
      }
      while (k <= sp.se) {
        int16_t& coef = blk[kZigZag[k]];
        if (coef != 0) {
          refine(coef);
        } else {
          if (--r < 0) break;
        }
        ++k;
      }
      if (value != 0) {
        if (k > sp.se) return false;
        blk[kZigZag[k]] = static_cast<int16_t>(value);
      }
    }
  }
  if (eobrun > 0) {
    for (; k <= sp.se; ++k) {
      int16_t& coef = blk[kZigZag[k]];
      if (coef != 0) refine(coef);
    }
    --eobrun;
  }
  return true;
}

bool DecodeScan(const Bytes& header, const Bytes& data, DecoderState& st) {
  if (header.empty()) return false;
  const int ns = header[0];
  if (header.size() != 4u + 2 * ns) return false;
  ScanParams sp;
  for (int i = 0; i < ns; ++i) {
    int index = -1;
    for (size_t c = 0; c < st.comps.size(); ++c) {
      if (st.comps[c].id == header[1 + 2 * i]) index = static_cast<int>(c);
    }
    if (index < 0) return false;
    sp.comp.push_back(index);
    sp.td.push_back(header[2 + 2 * i] >> 4);
    sp.ta.push_back(header[2 + 2 * i] & 15);
  }
  sp.ss = header[1 + 2 * ns];
  sp.se = header[2 + 2 * ns];
  sp.ah = header[3 + 2 * ns] >> 4;
  sp.al = header[3 + 2 * ns] & 15;

  int64_t cols, rows;
  if (ns == 1) {
    const Component& c = st.comps[sp.comp[0]];
    cols = (int64_t{st.out.width} * c.h + 8 * st.hmax - 1) / (8 * st.hmax);
    rows = (int64_t{st.out.height} * c.v + 8 * st.vmax - 1) / (8 * st.vmax);
  } else {
    cols = (st.out.width + 8 * st.hmax - 1) / (8 * st.hmax);
    rows = (st.out.height + 8 * st.vmax - 1) / (8 * st.vmax);
  }
  EntropyBits in(data);
  int dc_pred[4] = {};
  int eobrun = 0;
  int64_t countdown = st.restart_interval;
  int next_rst = 0;
  for (int64_t my = 0; my < rows; ++my) {
    for (int64_t mx = 0; mx < cols; ++mx) {
      if (st.restart_interval > 0 && countdown == 0) {
        in.Pad(&st.out.padding_bits);
        if (!in.Restart(next_rst)) {
          st.out.error = "missing RST";
          return false;
        }
        next_rst = (next_rst + 1) & 7;
        countdown = st.restart_interval;
        std::fill(dc_pred, dc_pred + 4, 0);
        eobrun = 0;
      }
      for (int i = 0; i < ns; ++i) {
        const Component& c = st.comps[sp.comp[i]];
        const int h = ns == 1 ? 1 : c.h, v = ns == 1 ? 1 : c.v;
        for (int y = 0; y < v; ++y) {
          for (int x = 0; x < h; ++x) {
            const uint64_t row = my * v + y, col = mx * h + x;
            int16_t* blk = st.out.coefficients[sp.comp[i]].data() +
                           (row * c.wib + col) * 64;
            if (!DecodeBlock(st, sp, i, dc_pred, eobrun, blk, in)) {
              st.out.error = "bad block";
              return false;
            }
          }
        }
      }
      --countdown;
    }
  }
  in.Pad(&st.out.padding_bits);
  if (in.overrun() || !in.AtEnd()) {
    st.out.error = "scan data length";
    return false;
  }
  return true;
}

}  // namespace

ParsedJpeg ParseJpeg(const Bytes& f) {
  ParsedJpeg out;
  if (f.size() < 2 || f[0] != 0xFF || f[1] != 0xD8) return out;
  size_t p = 2;
  while (p < f.size()) {
    JpegMarkerSegment seg;
    if (f[p] != 0xFF) {
      seg.marker = 0xFF;
      while (p < f.size() && f[p] != 0xFF) seg.body.push_back(f[p++]);
      out.segments.push_back(seg);
      continue;
    }
    if (p + 1 >= f.size()) return out;
    seg.marker = f[p + 1];
    p += 2;
    if (seg.marker == 0xD9) {
      out.segments.push_back(seg);
      out.trailing.assign(f.begin() + p, f.end());
      out.ok = true;
      return out;
    }
    if (seg.marker >= 0xD0 && seg.marker <= 0xD7) {
      out.segments.push_back(seg);
      continue;
    }
    if (p + 2 > f.size()) return out;
    const size_t len = (size_t{f[p]} << 8) | f[p + 1];
    if (len < 2 || p + len > f.size()) return out;
    seg.body.assign(f.begin() + p + 2, f.begin() + p + len);
    p += len;
    if (seg.marker == 0xDA) {
      const size_t start = p;
      while (p + 1 < f.size() &&
             !(f[p] == 0xFF && f[p + 1] != 0 &&
               !(f[p + 1] >= 0xD0 && f[p + 1] <= 0xD7))) {
        ++p;
      }
      seg.entropy.assign(f.begin() + start, f.begin() + p);
    }
    out.segments.push_back(seg);
  }
  return out;
}

DecodedJpeg DecodeJpeg(const Bytes& file) {
  DecoderState st;
  const ParsedJpeg parsed = ParseJpeg(file);
  if (!parsed.ok) {
    st.out.error = "parse";
    return st.out;
  }
  for (const JpegMarkerSegment& seg : parsed.segments) {
    const uint8_t m = seg.marker;
    bool ok = true;
    if (m == 0xC4) ok = ReadDht(seg.body, st);
    if (m == 0xC0 || m == 0xC1 || m == 0xC2) ok = ReadSof(seg.body, m, st);
    if (m == 0xDD) {
      ok = seg.body.size() == 2;
      if (ok) st.restart_interval = (seg.body[0] << 8) | seg.body[1];
    }
    if (m == 0xDA) ok = DecodeScan(seg.body, seg.entropy, st);
    if (!ok) {
      if (st.out.error.empty()) st.out.error = "segment";
      return st.out;
    }
  }
  st.out.ok = true;
  return st.out;
}

jpeg::JpegHuffmanSpec FullHuffmanSpec(bool is_ac, uint32_t id, bool is_last) {
  jpeg::JpegHuffmanSpec t;
  t.slot_id = (is_ac ? 16 : 0) | id;
  t.is_last = is_last;
  if (is_ac) {
    t.counts[8] = 255;
    t.counts[9] = 2;
    // A shuffled but fixed order, so that codes differ from symbol values.
    for (uint32_t i = 0; i < 256; ++i) t.symbols[i] = (i * 97 + 13) & 255;
    t.symbols[256] = 256;
  } else {
    t.counts[4] = 12;
    t.counts[5] = 1;
    for (uint32_t i = 0; i < 12; ++i) t.symbols[i] = (i * 5 + 3) % 12;
    t.symbols[12] = 256;
  }
  return t;
}

jpeg::JpegScanSpec ScanOf(std::vector<uint32_t> components, uint32_t ss,
                          uint32_t se, uint32_t ah, uint32_t al) {
  jpeg::JpegScanSpec s;
  s.component_count = static_cast<uint32_t>(components.size());
  for (size_t i = 0; i < components.size(); ++i) {
    const uint32_t table = components[i] == 0 ? 0 : 1;
    s.components[i] = {components[i], table, table};
  }
  s.ss = ss;
  s.se = se;
  s.ah = ah;
  s.al = al;
  return s;
}

jpeg::JPEGData MakeJpegData(const JpegSpecParams& p) {
  jpeg::JPEGData d;
  d.width = p.width;
  d.height = p.height;
  d.restart_interval = p.restart_interval;
  jpeg::JpegQuantSpec q;
  for (int i = 0; i < 64; ++i) q.values[i] = i + 1;
  d.quant_tables.push_back(q);
  d.huffman_tables = {FullHuffmanSpec(false, 0, false),
                      FullHuffmanSpec(true, 0, false),
                      FullHuffmanSpec(false, 1, false),
                      FullHuffmanSpec(true, 1, true)};
  uint32_t hmax = 1, vmax = 1;
  for (auto [h, v] : p.sampling) {
    hmax = std::max(hmax, h);
    vmax = std::max(vmax, v);
  }
  const uint32_t mcu_cols = (p.width + 8 * hmax - 1) / (8 * hmax);
  const uint32_t mcu_rows = (p.height + 8 * vmax - 1) / (8 * vmax);
  std::mt19937 rng(p.seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<int> value(-p.max_magnitude, p.max_magnitude);
  for (size_t i = 0; i < p.sampling.size(); ++i) {
    jpeg::JpegComponentData c;
    c.id = static_cast<uint32_t>(i + 1);
    c.h_sampling = p.sampling[i].first;
    c.v_sampling = p.sampling[i].second;
    c.width_in_blocks = mcu_cols * c.h_sampling;
    c.height_in_blocks = mcu_rows * c.v_sampling;
    c.coefficients.resize(size_t{c.width_in_blocks} * c.height_in_blocks * 64);
    for (int16_t& coef : c.coefficients) {
      coef = unit(rng) < p.zero_fraction ? 0 : static_cast<int16_t>(value(rng));
    }
    d.component_list.push_back(std::move(c));
  }
  d.marker_sequence = {0xDB, static_cast<uint8_t>(p.progressive ? 0xC2 : 0xC0),
                       0xC4};
  if (p.restart_interval != 0) d.marker_sequence.push_back(0xDD);
  for (const jpeg::JpegScanSpec& s : p.scans) {
    d.scans.push_back(s);
    d.marker_sequence.push_back(0xDA);
  }
  d.marker_sequence.push_back(0xD9);
  return d;
}

Bytes WriteJpeg(const jpeg::JPEGData& data, uint64_t chunk, int* status) {
  Bytes out;
  const jpeg::JpegOutputSink sink = [&](const uint8_t* bytes, uint64_t n) {
    const uint64_t take = std::min(n, chunk);
    out.insert(out.end(), bytes, bytes + take);
    return take;
  };
  *status = jpeg::EmitJpegStream(data, sink).raw();
  return out;
}

std::vector<std::string> FilesWithJpeg() {
  std::vector<std::string> names;
  const std::filesystem::path renders = std::filesystem::path(QOV_TESTDATA_DIR) / "renders";
  if (!std::filesystem::exists(renders)) return names;
  for (const auto& entry : std::filesystem::directory_iterator(renders)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 8 && name.ends_with(".jxl.jpg")) {
      names.push_back(name.substr(0, name.size() - 4));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace qov::test
