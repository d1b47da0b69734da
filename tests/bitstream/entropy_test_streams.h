// Test-only writers of entropy-coded streams: a bit string builder, code
// descriptions with uniform prefix codes or flat ANS distributions, and a
// small ANS encoder. Header-only so that the tests of other folders (ICC,
// TOC) can build streams too.
#ifndef QOV_TESTS_BITSTREAM_ENTROPY_TEST_STREAMS_H_
#define QOV_TESTS_BITSTREAM_ENTROPY_TEST_STREAMS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "lib/base/memory.h"
#include "lib/bitstream/entropy_code.h"
#include "qov/qov.h"

namespace qov::entropy_test {

inline const QovMemoryManagerStruct* Heap() {
  static const QovMemoryManagerStruct manager = {nullptr, DefaultAllocate,
                                                 DefaultRelease};
  return &manager;
}

// Bits in read order (least-significant bit first within each byte).
class Bits {
 public:
  // n bits of v, lowest first (n <= 64).
  Bits& Put(uint32_t n, uint64_t v) {
    for (uint32_t i = 0; i < n; ++i) bits_.push_back((v >> i) & 1);
    return *this;
  }
  // A string of '0' and '1' in read order; other characters are ignored.
  Bits& Str(const std::string& s) {
    for (char c : s) {
      if (c == '0' || c == '1') bits_.push_back(c == '1');
    }
    return *this;
  }
  // The code word of a canonical code (most significant bit read first).
  Bits& Code(uint32_t n, uint32_t code) {
    for (uint32_t i = n; i-- > 0;) bits_.push_back((code >> i) & 1);
    return *this;
  }
  Bits& Append(const Bits& other) {
    bits_.insert(bits_.end(), other.bits_.begin(), other.bits_.end());
    return *this;
  }
  Bits& VarUint8(uint32_t v) {
    if (v == 0) return Put(1, 0);
    Put(1, 1);
    if (v == 1) return Put(3, 0);
    uint32_t n = 0;
    while ((v >> (n + 1)) != 0) ++n;
    return Put(3, n).Put(n, v - (1u << n));
  }
  Bits& U64(uint64_t v) {
    if (v == 0) return Put(2, 0);
    if (v <= 16) return Put(2, 1).Put(4, v - 1);
    if (v <= 272) return Put(2, 2).Put(8, v - 17);
    Put(2, 3).Put(12, v & 0xFFF);
    v >>= 12;
    uint32_t shift = 12;
    while (v != 0) {
      Put(1, 1);
      if (shift == 60) {
        Put(4, v);
        return *this;
      }
      Put(8, v & 0xFF);
      v >>= 8;
      shift += 8;
    }
    return Put(1, 0);
  }
  size_t size() const { return bits_.size(); }
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> out((bits_.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits_.size(); ++i) {
      if (bits_[i]) out[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    }
    return out;
  }

 private:
  std::vector<bool> bits_;
};

// Bits needed for the values 0 .. x - 1.
inline uint32_t CeilLog2(uint32_t x) {
  uint32_t b = 0;
  while ((uint64_t{1} << b) < x) ++b;
  return b;
}

// Token and extra bits of value v under a split configuration.
struct HybridToken {
  uint32_t token;
  uint32_t nbits;
  uint32_t bits;
};
inline HybridToken EncodeHybrid(uint32_t v, const UintSplitConfig& c) {
  if (v < c.split_token) return {v, 0, 0};
  uint32_t n = 31;
  while (((v >> n) & 1) == 0) --n;
  const uint32_t m = (v >> (n - c.msb_in_token)) & ((1u << c.msb_in_token) - 1);
  const uint32_t l = v & ((1u << c.lsb_in_token) - 1);
  const uint32_t nbits = n - c.msb_in_token - c.lsb_in_token;
  const uint32_t token =
      c.split_token +
      ((n - c.split_exponent) << (c.msb_in_token + c.lsb_in_token)) +
      (m << c.lsb_in_token) + l;
  const uint32_t bits =
      (v >> c.lsb_in_token) & (nbits >= 32 ? ~0u : (1u << nbits) - 1);
  return {token, nbits, bits};
}

inline void PutSplitConfig(Bits& w, uint32_t log_alphabet,
                           const UintSplitConfig& c) {
  w.Put(CeilLog2(log_alphabet + 1), c.split_exponent);
  if (c.split_exponent == log_alphabet) return;
  w.Put(CeilLog2(c.split_exponent + 1), c.msb_in_token);
  w.Put(CeilLog2(c.split_exponent - c.msb_in_token + 1), c.lsb_in_token);
}

// A code description and the matching token writer. Prefix clusters use
// every one of their 2^code_bits symbols with length code_bits; ANS clusters
// use a flat distribution over their `flat_symbols` symbols.
struct StreamPlan {
  // One cluster index per context, plus the distance context with LZ77.
  std::vector<uint8_t> context_map;
  std::vector<UintSplitConfig> configs;  // per cluster
  bool use_prefix = true;
  std::vector<uint32_t> code_bits;       // prefix: per cluster, 1..10
  uint32_t log_alphabet = 8;             // ANS: 5..8
  std::vector<uint32_t> flat_symbols;    // ANS: per cluster, 1..256
  bool lz77 = false;
  // Write the context map coded, as an ANS byte stream, instead of simple.
  bool coded_map = false;
  uint32_t min_symbol = 224;  // 224, 512, 4096 or 8..32775
  uint32_t min_length = 3;    // 3, 4, 5..8 or 9..264
  UintSplitConfig length_config{8, 256, 0, 0};

  uint32_t clusters() const {
    uint32_t c = 0;
    for (uint8_t e : context_map) c = std::max<uint32_t>(c, e + 1u);
    return c;
  }
  uint32_t distance_cluster() const { return context_map.back(); }
};

// Writes the description of `plan` (contexts = map size, minus one with
// LZ77); defined after TokenWriter.
inline void PutDescription(Bits& w, const StreamPlan& plan);

// Collects tokens and raw bits in stream order and writes them after the
// description (ANS needs the whole list before it can write).
class TokenWriter {
 public:
  explicit TokenWriter(const StreamPlan& plan) : plan_(plan) {
    if (!plan.use_prefix) {
      for (uint32_t c = 0; c < plan.clusters(); ++c) {
        std::vector<int32_t> counts(plan.flat_symbols[c],
                                    4096 / plan.flat_symbols[c]);
        for (uint32_t i = 0; i < 4096 % plan.flat_symbols[c]; ++i) ++counts[i];
        std::vector<AliasEntry> table(1u << plan.log_alphabet);
        if (!BuildAliasLookup(counts, 12, plan.log_alphabet, table.data()).ok()) {
          continue;
        }
        // Slot of each (symbol, offset), found by decoding every slot.
        std::vector<std::vector<uint32_t>> slots(counts.size());
        for (uint32_t s = 0; s < counts.size(); ++s) slots[s].resize(counts[s]);
        const uint32_t entry_bits = 12 - plan.log_alphabet;
        for (uint32_t x = 0; x < 4096; ++x) {
          const AliasSlot slot = LookupAliasSlot(table.data(), x, entry_bits,
                                                 (1u << entry_bits) - 1);
          slots[slot.symbol][slot.offset] = x;
        }
        counts_.push_back(counts);
        slots_.push_back(slots);
      }
    }
  }

  // A literal value of a context.
  void Value(uint32_t context, uint32_t v) {
    const uint32_t c = plan_.context_map[context];
    const HybridToken h = EncodeHybrid(v, plan_.configs[c]);
    Token(c, h.token);
    Raw(h.nbits, h.bits);
  }
  // An LZ77 copy of `length` values at distance value `distance_value`,
  // started from a context of cluster `c`.
  void Copy(uint32_t context, uint32_t length, uint32_t distance_value) {
    const uint32_t c = plan_.context_map[context];
    const HybridToken h =
        EncodeHybrid(length - plan_.min_length, plan_.length_config);
    Token(c, plan_.min_symbol + h.token);
    Raw(h.nbits, h.bits);
    const uint32_t dc = plan_.distance_cluster();
    const HybridToken d = EncodeHybrid(distance_value, plan_.configs[dc]);
    Token(dc, d.token);
    Raw(d.nbits, d.bits);
  }
  void Token(uint32_t cluster, uint32_t token) {
    ops_.push_back({true, cluster, token});
  }
  void Raw(uint32_t n, uint32_t v) {
    if (n != 0) ops_.push_back({false, n, v});
  }

  // The ANS state the decoder ends in (tests of corrupt streams change it).
  uint32_t end_state = kAnsSignature;

  // Writes the tokens after the description already in `w`.
  void Finish(Bits& w) const {
    if (plan_.use_prefix) {
      for (const Op& op : ops_) {
        if (op.is_token) {
          w.Code(plan_.code_bits[op.a], op.b);
        } else {
          w.Put(op.a, op.b);
        }
      }
      return;
    }
    // ANS: encode backwards from the final state, remembering which token
    // refills 16 bits, then write forwards.
    std::vector<int64_t> chunk(ops_.size(), -1);
    uint32_t state = end_state;
    for (size_t i = ops_.size(); i-- > 0;) {
      const Op& op = ops_[i];
      if (!op.is_token) continue;
      const uint32_t f = counts_[op.a][op.b];
      if ((state >> 20) >= f) {
        chunk[i] = state & 0xFFFF;
        state >>= 16;
      }
      state = ((state / f) << 12) + slots_[op.a][op.b][state % f];
    }
    w.Put(32, state);
    for (size_t i = 0; i < ops_.size(); ++i) {
      const Op& op = ops_[i];
      if (op.is_token) {
        if (chunk[i] >= 0) w.Put(16, static_cast<uint64_t>(chunk[i]));
      } else {
        w.Put(op.a, op.b);
      }
    }
  }

 private:
  struct Op {
    bool is_token;
    uint32_t a;  // cluster, or bit count
    uint32_t b;  // token, or bits
  };
  StreamPlan plan_;
  std::vector<Op> ops_;
  std::vector<std::vector<int32_t>> counts_;
  std::vector<std::vector<std::vector<uint32_t>>> slots_;
};

inline void PutDescription(Bits& w, const StreamPlan& plan) {
  w.Put(1, plan.lz77 ? 1 : 0);
  if (plan.lz77) {
    switch (plan.min_symbol) {
      case 224: w.Put(2, 0); break;
      case 512: w.Put(2, 1); break;
      case 4096: w.Put(2, 2); break;
      default: w.Put(2, 3).Put(15, plan.min_symbol - 8);
    }
    if (plan.min_length == 3) {
      w.Put(2, 0);
    } else if (plan.min_length == 4) {
      w.Put(2, 1);
    } else if (plan.min_length < 9) {
      w.Put(2, 2).Put(2, plan.min_length - 5);
    } else {
      w.Put(2, 3).Put(8, plan.min_length - 9);
    }
    PutSplitConfig(w, 8, plan.length_config);
  }
  if (plan.context_map.size() > 1 && plan.coded_map) {
    StreamPlan nested;
    nested.context_map = {0};
    nested.use_prefix = false;
    nested.log_alphabet = 8;
    nested.configs = {UintSplitConfig(8, 256, 0, 0)};
    nested.flat_symbols = {256};
    w.Put(1, 0).Put(1, 0);  // coded, no move-to-front
    PutDescription(w, nested);
    TokenWriter tokens(nested);
    for (uint8_t e : plan.context_map) tokens.Value(0, e);
    tokens.Finish(w);
  } else if (plan.context_map.size() > 1) {
    const uint32_t wbits = CeilLog2(plan.clusters());
    w.Put(1, 1).Put(2, wbits);
    for (uint8_t e : plan.context_map) w.Put(wbits, e);
  }
  w.Put(1, plan.use_prefix ? 1 : 0);
  const uint32_t log_alphabet = plan.use_prefix ? 15 : plan.log_alphabet;
  if (!plan.use_prefix) w.Put(2, plan.log_alphabet - 5);
  for (uint32_t c = 0; c < plan.clusters(); ++c) {
    PutSplitConfig(w, log_alphabet, plan.configs[c]);
  }
  if (plan.use_prefix) {
    for (uint32_t c = 0; c < plan.clusters(); ++c) {
      const uint32_t b = plan.code_bits[c];
      w.Put(1, 1).Put(4, b - 1).Put(b - 1, (1u << (b - 1)) - 1);
    }
    // Complex codes whose code-length code has the single length b.
    static constexpr uint8_t kOrder[18] = {1, 2, 3, 4, 0, 5, 17, 6, 16,
                                           7, 8, 9, 10, 11, 12, 13, 14, 15};
    for (uint32_t c = 0; c < plan.clusters(); ++c) {
      w.Put(2, 0);
      for (uint8_t symbol : kOrder) {
        w.Str(symbol == plan.code_bits[c] ? "01" : "00");  // 3 or 0
      }
    }
  } else {
    for (uint32_t c = 0; c < plan.clusters(); ++c) {
      const uint32_t n = plan.flat_symbols[c];
      w.Put(1, 0).Put(1, 1).VarUint8(n - 1);
    }
  }
}

// A one-cluster byte stream for `contexts` contexts: prefix codes of 8 bits
// (or 9 with LZ77: tokens 256.. start copies), or a flat 256-symbol ANS
// distribution. Values are taken as they are (split exponent = maximum).
inline StreamPlan ByteStreamPlan(uint32_t contexts, bool use_prefix,
                                 bool lz77) {
  StreamPlan plan;
  plan.context_map.assign(contexts + (lz77 ? 1 : 0), 0);
  plan.use_prefix = use_prefix;
  plan.lz77 = lz77;
  if (use_prefix) {
    plan.configs = {UintSplitConfig(15, 1u << 15, 0, 0)};
    plan.code_bits = {lz77 ? 9u : 8u};
    plan.min_symbol = 256;
  } else {
    plan.log_alphabet = 8;
    plan.configs = {UintSplitConfig(8, 256, 0, 0)};
    plan.flat_symbols = {256};
    plan.min_symbol = 128;  // with ANS the copy tokens share the 256 symbols
  }
  return plan;
}

}  // namespace qov::entropy_test

#endif  // QOV_TESTS_BITSTREAM_ENTROPY_TEST_STREAMS_H_
