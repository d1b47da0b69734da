// Entropy-coded streams of (context, value) pairs written with the
// project's encoder, for the frame feature tests and whole-file fixtures
// (patches, splines, noise), and zig-zag packing.
#ifndef QOV_TESTS_SUPPORT_FEATURE_STREAMS_H_
#define QOV_TESTS_SUPPORT_FEATURE_STREAMS_H_

#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/entropy_records.h"
#include "qov/qov.h"

namespace qov::feature_test {

const QovMemoryManagerStruct* Heap();

// Signed value as the streams code it: 0, -1, 1, -2, 2 -> 0, 1, 2, 3, 4.
uint32_t PackSigned(int64_t v);

// The code description for `num_contexts` contexts followed by the tokens;
// with `lz77` the encoder may replace runs by copies; `prefix` forces prefix
// codes (whose zero bits past the end still decode to symbols). Empty on
// failure.
std::vector<uint8_t> WriteStream(size_t num_contexts,
                                 const std::vector<Token>& tokens,
                                 bool lz77 = false, bool prefix = false);
// The same written on at the writer's position (no padding), as a frame
// section carries it ahead of what follows.
Status WriteStreamTo(BitWriter* writer, size_t num_contexts,
                     const std::vector<Token>& tokens, bool lz77 = false,
                     bool prefix = false);

}  // namespace qov::feature_test

#endif  // QOV_TESTS_SUPPORT_FEATURE_STREAMS_H_
