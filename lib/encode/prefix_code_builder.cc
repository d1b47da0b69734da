// Prefix-code construction (two-queue Huffman merge with count floors) and
// storage.
#include "lib/encode/prefix_code_builder.h"

#include <algorithm>
#include <vector>

#include "lib/encode/bit_writer.h"

namespace qov {

namespace {

constexpr uint8_t kCodeLengthCodeOrder[18] = {1, 2, 3, 4,  0,  5,  17, 6,  16,
                                              7, 8, 9, 10, 11, 12, 13, 14, 15};
// Fixed code of a code-length symbol's own length 0..5: value, bit count.
constexpr uint8_t kCodeLengthLengthValue[6] = {0, 7, 3, 2, 1, 15};
constexpr uint8_t kCodeLengthLengthBits[6] = {2, 4, 3, 2, 2, 4};

void AssignNodeDepths(const std::vector<HuffmanNode>& pool, size_t index,
                      uint8_t depth, uint8_t* depths) {
  // Explicit stack: the tree may be deep before the length limit applies.
  std::vector<std::pair<size_t, uint8_t>> stack = {{index, depth}};
  while (!stack.empty()) {
    const auto [i, d] = stack.back();
    stack.pop_back();
    const HuffmanNode& node = pool[i];
    if (node.index_left >= 0) {
      stack.push_back({static_cast<size_t>(node.index_left),
                       static_cast<uint8_t>(d + 1)});
      stack.push_back({static_cast<size_t>(node.index_right_or_value),
                       static_cast<uint8_t>(d + 1)});
    } else {
      depths[static_cast<uint16_t>(node.index_right_or_value)] = d;
    }
  }
}

}  // namespace

bool CompareHuffmanNodes(const HuffmanNode& a, const HuffmanNode& b) {
  if (a.total_count != b.total_count) return a.total_count < b.total_count;
  return a.index_right_or_value > b.index_right_or_value;
}

void BuildLengthLimitedTree(const uint32_t* counts, size_t n, int limit,
                            uint8_t* depths) {
  std::vector<HuffmanNode> pool;
  pool.reserve(2 * n + 1);
  for (uint32_t floor = 1;; floor *= 2) {
    pool.clear();
    for (size_t i = n; i-- > 0;) {
      if (counts[i] == 0) continue;
      pool.push_back({std::max(counts[i], floor - 1), -1,
                      static_cast<int16_t>(i)});
    }
    const size_t leaves = pool.size();
    if (leaves == 1) {
      depths[static_cast<uint16_t>(pool[0].index_right_or_value)] = 1;
      return;
    }
    std::stable_sort(pool.begin(), pool.end(), CompareHuffmanNodes);
    const HuffmanNode sentinel = {0xFFFFFFFFu, -1, -1};
    pool.push_back(sentinel);
    pool.push_back(sentinel);
    size_t i = 0;
    size_t j = leaves + 1;
    for (size_t k = leaves - 1; k > 0; --k) {
      size_t left, right;
      if (pool[i].total_count <= pool[j].total_count) {
        left = i++;
      } else {
        left = j++;
      }
      if (pool[i].total_count <= pool[j].total_count) {
        right = i++;
      } else {
        right = j++;
      }
      const size_t parent = pool.size() - 1;
      pool[parent].total_count =
          pool[left].total_count + pool[right].total_count;
      pool[parent].index_left = static_cast<int16_t>(left);
      pool[parent].index_right_or_value = static_cast<int16_t>(right);
      pool.push_back(sentinel);
    }
    // The root is the last parent, just before the final sentinel.
    AssignNodeDepths(pool, pool.size() - 2, 0, depths);
    uint8_t max_depth = 0;
    for (size_t s = 0; s < n; ++s) max_depth = std::max(max_depth, depths[s]);
    if (max_depth <= limit) return;
  }
}

namespace {

// Emits a run of `repetitions` copies of `literal`: plain symbols when there
// are fewer than 3, otherwise the repeat code `code` with `shift`-bit extras,
// the most significant group first.
void EmitRun(size_t repetitions, uint8_t literal, uint8_t code, int shift,
             size_t* count, uint8_t* symbols, uint8_t* extras) {
  if (repetitions < 3) {
    for (size_t i = 0; i < repetitions; ++i) {
      symbols[*count] = literal;
      extras[*count] = 0;
      ++*count;
    }
    return;
  }
  const size_t start = *count;
  const size_t groups = size_t{1} << shift;
  size_t x = repetitions - 3;
  while (true) {
    symbols[*count] = code;
    extras[*count] = static_cast<uint8_t>(x & (groups - 1));
    ++*count;
    if (x < groups) break;
    x = (x >> shift) - 1;
  }
  std::reverse(symbols + start, symbols + *count);
  std::reverse(extras + start, extras + *count);
}

}  // namespace

void WriteDepthRepetitions(uint8_t previous, uint8_t value, size_t repetitions,
                           size_t* count, uint8_t* symbols, uint8_t* extras) {
  if (previous != value) {
    symbols[*count] = value;
    extras[*count] = 0;
    ++*count;
    --repetitions;
  }
  if (repetitions == 7) {
    symbols[*count] = value;
    extras[*count] = 0;
    ++*count;
    --repetitions;
  }
  EmitRun(repetitions, value, 16, 2, count, symbols, extras);
}

namespace {

void WriteZeroRepetitions(size_t repetitions, size_t* count, uint8_t* symbols,
                          uint8_t* extras) {
  if (repetitions == 11) {
    symbols[*count] = 0;
    extras[*count] = 0;
    ++*count;
    --repetitions;
  }
  EmitRun(repetitions, 0, 17, 3, count, symbols, extras);
}

}  // namespace

void RunLengthCodeDepths(const uint8_t* depths, size_t n, size_t* count,
                         uint8_t* symbols, uint8_t* extras) {
  *count = 0;
  size_t length = n;
  while (length > 0 && depths[length - 1] == 0) --length;
  bool use_rle_zeros = false;
  bool use_rle_nonzeros = false;
  if (n >= 51) {
    size_t zero_total = 0, zero_runs = 1, nonzero_total = 0, nonzero_runs = 1;
    for (size_t i = 0; i < length;) {
      size_t r = 1;
      while (i + r < length && depths[i + r] == depths[i]) ++r;
      if (depths[i] == 0 && r >= 3) {
        zero_total += r;
        ++zero_runs;
      } else if (depths[i] != 0 && r >= 4) {
        nonzero_total += r;
        ++nonzero_runs;
      }
      i += r;
    }
    use_rle_zeros = zero_total > 2 * zero_runs;
    use_rle_nonzeros = nonzero_total > 2 * nonzero_runs;
  }
  uint8_t previous = 8;
  for (size_t i = 0; i < length;) {
    const uint8_t v = depths[i];
    size_t r = 1;
    const bool rle = v == 0 ? use_rle_zeros : use_rle_nonzeros;
    if (rle && i + 1 < length) {
      while (i + r < length && depths[i + r] == v) ++r;
    }
    if (v != 0) {
      WriteDepthRepetitions(previous, v, r, count, symbols, extras);
      previous = v;
    } else {
      WriteZeroRepetitions(r, count, symbols, extras);
    }
    i += r;
  }
}

void DepthsToCanonicalCodes(const uint8_t* depths, size_t n, uint16_t* codes) {
  static constexpr uint8_t kReverseNibble[16] = {0, 8, 4, 12, 2, 10, 6, 14,
                                                 1, 9, 5, 13, 3, 11, 7, 15};
  uint32_t depth_count[16] = {0};
  for (size_t i = 0; i < n; ++i) {
    if (depths[i] > 0 && depths[i] < 16) ++depth_count[depths[i]];
  }
  uint32_t next[16] = {0};
  for (int d = 2; d < 16; ++d) next[d] = (next[d - 1] + depth_count[d - 1]) << 1;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t d = depths[i];
    if (d == 0) continue;
    uint32_t code = next[d]++;
    uint32_t reversed = 0;
    for (uint32_t k = 0; k < (d + 3) / 4; ++k) {
      reversed = (reversed << 4) | kReverseNibble[code & 15];
      code >>= 4;
    }
    codes[i] = static_cast<uint16_t>(reversed >> ((4 - d % 4) % 4));
  }
}

Status WritePrefixCodeForHistogram(const uint32_t* counts, size_t n,
                                   uint8_t* depths, uint16_t* codes,
                                   BitWriter* writer) {
  size_t s[4] = {0, 0, 0, 0};
  size_t used = 0;
  for (size_t i = 0; i < n && used < 5; ++i) {
    if (counts[i] == 0) continue;
    if (used < 4) s[used] = i;
    ++used;
  }
  size_t max_bits = 0;
  for (size_t v = n - 1; v != 0; v >>= 1) ++max_bits;
  if (used <= 1) {
    writer->PutBits(2, 1);
    writer->PutBits(2, 0);
    writer->PutBits(max_bits, s[0]);
    return OkStatus();
  }
  BuildLengthLimitedTree(counts, n, 15, depths);
  DepthsToCanonicalCodes(depths, n, codes);
  if (used <= 4) {
    writer->PutBits(2, 1);
    writer->PutBits(2, used - 1);
    for (size_t i = 0; i + 1 < used; ++i) {
      for (size_t j = i + 1; j < used; ++j) {
        if (depths[s[j]] < depths[s[i]]) std::swap(s[i], s[j]);
      }
    }
    for (size_t i = 0; i < used; ++i) writer->PutBits(max_bits, s[i]);
    if (used == 4) writer->PutBits(1, depths[s[0]] == 1 ? 1 : 0);
    return OkStatus();
  }
  std::vector<uint8_t> symbols(n), extras(n);
  size_t m = 0;
  RunLengthCodeDepths(depths, n, &m, symbols.data(), extras.data());
  uint32_t histogram[18] = {0};
  for (size_t i = 0; i < m; ++i) ++histogram[symbols[i]];
  size_t num_codes = 0;
  size_t only_code = 0;
  for (size_t i = 0; i < 18; ++i) {
    if (histogram[i] == 0) continue;
    if (num_codes == 0) only_code = i;
    if (++num_codes == 2) break;
  }
  uint8_t cl_depths[18] = {0};
  uint16_t cl_codes[18] = {0};
  BuildLengthLimitedTree(histogram, 18, 5, cl_depths);
  DepthsToCanonicalCodes(cl_depths, 18, cl_codes);
  size_t codes_to_store = 18;
  if (num_codes >= 2) {
    while (codes_to_store > 0 &&
           cl_depths[kCodeLengthCodeOrder[codes_to_store - 1]] == 0) {
      --codes_to_store;
    }
  }
  size_t skip = 0;
  if (cl_depths[kCodeLengthCodeOrder[0]] == 0 &&
      cl_depths[kCodeLengthCodeOrder[1]] == 0) {
    skip = cl_depths[kCodeLengthCodeOrder[2]] == 0 ? 3 : 2;
  }
  writer->PutBits(2, skip);
  for (size_t i = skip; i < codes_to_store; ++i) {
    const uint8_t len = cl_depths[kCodeLengthCodeOrder[i]];
    writer->PutBits(kCodeLengthLengthBits[len], kCodeLengthLengthValue[len]);
  }
  if (num_codes == 1) cl_depths[only_code] = 0;
  for (size_t i = 0; i < m; ++i) {
    const uint8_t sym = symbols[i];
    writer->PutBits(cl_depths[sym], cl_codes[sym]);
    if (sym == 16) writer->PutBits(2, extras[i]);
    if (sym == 17) writer->PutBits(3, extras[i]);
  }
  return OkStatus();
}

}  // namespace qov
