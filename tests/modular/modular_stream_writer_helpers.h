// Test-side writer of modular sub-streams on the project's bit writer and
// entropy coder: MA trees, channel residual tokens and (with the stream
// decoder's types) whole streams with group header and transforms. The
// encoder side computes properties and predictions on its own, plainly.
#ifndef QOV_TESTS_MODULAR_MODULAR_STREAM_WRITER_HELPERS_H_
#define QOV_TESTS_MODULAR_MODULAR_STREAM_WRITER_HELPERS_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "lib/base/bits.h"
#include "lib/base/status.h"
#include "lib/encode/bit_writer.h"
#include "lib/encode/entropy_records.h"
#include "lib/modular/ma_tree.h"
#include "lib/modular/modular_stream.h"
#include "lib/modular/weighted_predictor.h"

namespace qov::modular_test {

// A tree written as nested nodes; Flatten gives the breadth-first array the
// reader produces.
struct TreeNode {
  int32_t property = -1;  // -1: leaf
  int32_t splitval = 0;
  int32_t predictor = 0;
  int64_t offset = 0;
  uint32_t multiplier = 1;
  std::shared_ptr<TreeNode> left, right;  // left: property > splitval
};
using Tree = std::shared_ptr<TreeNode>;

Tree Leaf(int32_t predictor, int64_t offset = 0, uint32_t multiplier = 1);
Tree Split(int32_t property, int32_t splitval, Tree left, Tree right);
std::vector<MaTreeNode> Flatten(const Tree& tree);

// One channel in the shape in which it is coded.
struct TestChannel {
  uint32_t width = 0, height = 0;
  int32_t hshift = 0, vshift = 0;
  std::vector<int32_t> samples;  // row-major, width x height
  int32_t& at(size_t x, size_t y) { return samples[y * width + x]; }
  int32_t at(size_t x, size_t y) const { return samples[y * width + x]; }
};

// Raw tokens of a tree: property (context 1), split (0); leaves: predictor
// (2), offset (3), multiplier shift (4) and bits (5). Multipliers must be
// (m + 1) << shift with the smallest shift.
std::vector<Token> TreeTokens(const std::vector<MaTreeNode>& nodes);

// Residual tokens of channels [first, end) of `channels` for stream
// `stream_id` with `tree` (breadth-first); context = leaf number. When
// `samples_are_residuals`, each channel's samples are taken as the residuals
// and replaced by the samples they decode to (needed for multipliers > 1).
std::vector<Token> ChannelTokens(const std::vector<MaTreeNode>& tree,
                                 std::vector<TestChannel>& channels,
                                 size_t first, size_t end, int32_t stream_id,
                                 const weighted::Header& wp,
                                 bool samples_are_residuals = false);

// How an entropy-coded part is written.
struct CodeOptions {
  bool prefix_codes = false;
  uint32_t lz77_mode = 0;  // 0 none, 1 runs, 2 greedy, 3 re-parse
  size_t stream_width = 0; // LZ77 distance multiplier
  uint32_t clustering_mode = 1;
  uint32_t split_config_mode = 0;  // 1: every cluster splits at 1
};

// Writes a code description for `num_contexts` contexts followed by the
// tokens.
Status WriteEntropyCoded(std::vector<Token> tokens, size_t num_contexts,
                         const CodeOptions& options, BitWriter* writer);

// Writes a tree: its code description and tokens.
Status WriteTree(const std::vector<MaTreeNode>& nodes,
                 const CodeOptions& options, BitWriter* writer);

// Clamped gradient of (x, y) with the channel's edge rules (encoder side).
int64_t ReferenceGradient(const TestChannel& c, size_t x, size_t y);

// Everything a stream is written from, besides its channels.
struct StreamSpec {
  GroupHeader header;
  std::vector<MaTreeNode> tree;
  CodeOptions tree_code;
  CodeOptions data_code;  // stream_width is set from the channels
  bool samples_are_residuals = false;
  uint64_t channel_size_limit = 0xFFFFFF;
  size_t meta_channel_count = 0;  // of the coded channel list
  int32_t stream_id = 0;
};

// Writes the group header, the tree (unless the header asks for the global
// one; then `global` receives the tree and code description and the stream
// only its tokens) and the residual tokens of the coded channels that the
// decoder will read.
Status WriteModularStream(const StreamSpec& spec,
                          std::vector<TestChannel>& coded, BitWriter* writer,
                          BitWriter* global = nullptr);

std::vector<uint8_t> WrittenBytes(const BitWriter& writer);

// A channel list with random samples in [lo, hi].
std::vector<TestChannel> RandomChannels(
    const std::vector<std::pair<uint32_t, uint32_t>>& sizes, uint32_t seed,
    int32_t lo, int32_t hi);

}  // namespace qov::modular_test

#endif  // QOV_TESTS_MODULAR_MODULAR_STREAM_WRITER_HELPERS_H_
