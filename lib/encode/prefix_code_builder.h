// Length-limited canonical prefix codes and their storage in the layout the
// prefix-code reader reads (simple codes for up to four symbols, otherwise
// run-length coded code lengths with a code-length code).
#ifndef QOV_LIB_ENCODE_PREFIX_CODE_BUILDER_H_
#define QOV_LIB_ENCODE_PREFIX_CODE_BUILDER_H_

#include <cstddef>
#include <cstdint>

#include "lib/base/status.h"

namespace qov {

class BitWriter;

struct HuffmanNode {
  uint32_t total_count;
  int16_t index_left;   // -1 for a leaf
  int16_t index_right_or_value;
};

// Ascending count; equal counts put the higher symbol first.
bool CompareHuffmanNodes(const HuffmanNode& a, const HuffmanNode& b);

// Depths (at most `limit`) of a prefix code for counts[0..n); at least one
// count must be non-zero. `depths` is written only for used symbols.
void BuildLengthLimitedTree(const uint32_t* counts, size_t n, int limit,
                            uint8_t* depths);

// Run-length coding of a depth sequence into code-length symbols (0..17)
// and their extra values; `symbols` and `extras` need room for n entries.
void RunLengthCodeDepths(const uint8_t* depths, size_t n, size_t* count,
                         uint8_t* symbols, uint8_t* extras);
void WriteDepthRepetitions(uint8_t previous, uint8_t value, size_t repetitions,
                           size_t* count, uint8_t* symbols, uint8_t* extras);

// Canonical codes, bit-reversed for least-significant-bit-first writing.
void DepthsToCanonicalCodes(const uint8_t* depths, size_t n, uint16_t* codes);

// Writes the code of counts[0..n) inside the caller's budget and fills
// depths (zeroed by the caller) and codes.
Status WritePrefixCodeForHistogram(const uint32_t* counts, size_t n,
                                   uint8_t* depths, uint16_t* codes,
                                   BitWriter* writer);

}  // namespace qov

#endif  // QOV_LIB_ENCODE_PREFIX_CODE_BUILDER_H_
