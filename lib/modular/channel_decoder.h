// Decoding of one modular channel: each sample is the guess of the MA-tree
// leaf its properties reach plus the leaf's multiplier times the decoded
// residual. Fast paths cover common trees and give exactly the samples (and
// reader state) of the general tree walk.
#ifndef QOV_LIB_MODULAR_CHANNEL_DECODER_H_
#define QOV_LIB_MODULAR_CHANNEL_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/bitstream/symbol_reader.h"
#include "lib/modular/ma_tree.h"
#include "lib/modular/modular_image.h"
#include "lib/modular/weighted_predictor.h"

namespace qov {

// Per-stream state of the run-length path: a run may cross channels.
struct RunLengthState {
  uint32_t remaining = 0;  // repetitions of `last` still to be emitted
  uint32_t last = 0;       // the last literal token value
};

// The path a channel was decoded with (reported for tests and benchmarks).
enum class ChannelPath : uint8_t {
  kNone = 0,          // empty channel
  kRunLength,         // LZ77 copies that only repeat the previous value
  kGradientSingle,    // one leaf, clamped gradient
  kConstant,          // one leaf, predictor 0, a certain symbol
  kPlainSingle,       // one leaf, predictor 0
  kGradientTable,     // property-9 tree as a lookup table
  kWeightedTable,     // property-15 tree as a lookup table
  kWeightedTree,      // general walk with the weighted predictor
  kTree,              // general walk
};

// The last specialisation of a tree within one stream: a tree that tests
// the stream number but not the channel index specialises the same way for
// every channel of the stream.
struct TreeSpecializationCache {
  const MaTree* tree = nullptr;  // null: empty
  int32_t channel = 0;
  int32_t stream = 0;
  FlatMaTree flat;
  TreeFacts facts;
};

struct ChannelDecodeOptions {
  // Takes the general tree walk (weighted or not) whatever the tree: the
  // reference the fast paths are tested against.
  bool force_tree_path = false;
  // When given, receives the path taken.
  ChannelPath* path_taken = nullptr;
  // When given, specialisations are kept and reused across channels.
  TreeSpecializationCache* cache = nullptr;
};

// Decodes channel `channel_index` of `image` in place. `lookup` is the
// per-stream buffer of kTreeLookupBytes bytes. Never fails on corrupt
// tokens (the caller checks the reader's position and final state); only
// allocation failures are returned.
Status ReadChannelPixels(BitReader& reader, SymbolReader& symbols,
                         const std::vector<uint8_t>& context_map,
                         const MaTree& tree, const weighted::Header& wp_header,
                         int32_t channel_index, int32_t stream_id,
                         uint8_t* lookup, ModularImage& image,
                         RunLengthState& run,
                         const ChannelDecodeOptions& options = {});

// Reference properties of row y of channel i: for the k-th nearest earlier
// channel of identical size and shifts, |v|, v, |v - g|, v - g at positions
// 4k .. 4k + 3 of row x of `references` (g its clamped-gradient prediction).
// `references` holds `count` values per column; slots without a channel
// are 0.
void ComputeReferenceProperties(const ModularImage& image, size_t i, size_t y,
                                size_t count, int32_t* references);

}  // namespace qov

#endif  // QOV_LIB_MODULAR_CHANNEL_DECODER_H_
