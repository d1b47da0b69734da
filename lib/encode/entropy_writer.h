// Entropy-code assembly: turns token streams into a written code description
// (LZ77 parameters, context map, code kind, split configurations, codes) and
// writes the tokens with prefix codes or an ANS coder.
#ifndef QOV_LIB_ENCODE_ENTROPY_WRITER_H_
#define QOV_LIB_ENCODE_ENTROPY_WRITER_H_

#include <cstddef>
#include <vector>

#include "lib/base/status.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/entropy_records.h"

namespace qov {

// Applies LZ77 (the streams are then replaced by the LZ77 streams), counts
// one histogram per context, chooses the code kind and builds the codes into
// `codes`, writing the description when `writer` is given. Returns the
// estimated cost in bits. `codes` must be a fresh record (one build per
// record); every token's context must be below num_contexts.
StatusOr<size_t> BuildAndEncodeHistograms(
    const QovMemoryManagerStruct* memory_manager, const HistogramParams& params,
    size_t num_contexts, std::vector<std::vector<Token>>& tokens,
    EntropyEncodingData* codes, BitWriter* writer, LayerType layer,
    AuxOut* aux);

// Writes the tokens (inside the caller's budget); returns the number of
// hybrid-uint extra bits. Token contexts index codes.context_map from
// `context_offset`. Every symbol must have a code in its table.
size_t EmitTokens(const std::vector<Token>& tokens,
                  const EntropyEncodingData& codes, size_t context_offset,
                  BitWriter* writer);

void WriteUintSplitConfig(const UintSplitConfig& config, BitWriter* writer,
                          size_t log_alphabet_size);
// Bits WriteUintSplitConfig writes.
size_t UintSplitConfigBits(const UintSplitConfig& config,
                           size_t log_alphabet_size);

// Writes the description of a code set whose codes were all stored apart
// (separate_histogram_writers), in its own budget.
Status EncodeHistograms(const EntropyEncodingData& codes, BitWriter* writer,
                        LayerType layer, AuxOut* aux);

// Writes one token stream in its own budget; the extra bits are counted in
// aux's layer entry.
Status WriteTokens(const std::vector<Token>& tokens,
                   const EntropyEncodingData& codes, size_t context_offset,
                   BitWriter* writer, LayerType layer, AuxOut* aux);

}  // namespace qov

#endif  // QOV_LIB_ENCODE_ENTROPY_WRITER_H_
