// Meta-adaptive decision trees: reading and validation, specialisation for
// one channel (static properties resolved, two levels per node), and
// lookup tables for trees that test a single property.
#ifndef QOV_LIB_MODULAR_MA_TREE_H_
#define QOV_LIB_MODULAR_MA_TREE_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "lib/base/status.h"
#include "lib/bitstream/bit_reader.h"
#include "qov/qov.h"

namespace qov {

struct MaTreeNode {
  int32_t splitval = 0;
  int16_t property = -1;  // -1: leaf
  uint32_t lchild = 0;    // inner: taken when property > splitval; leaf: context
  uint32_t rchild = 0;
  int32_t predictor = 0;
  int64_t predictor_offset = 0;
  uint32_t multiplier = 1;
};

// A leaf and an inner node share the storage (see the accessors).
struct FlatMaTreeNode {
  int32_t property0 = -1;  // -1: leaf
  int32_t splitval0 = 0;   // leaf: predictor
  int32_t splitvals[2] = {0, 0};  // leaf: [0] multiplier
  uint32_t child_id = 0;   // inner: first of four children; leaf: context
  int16_t properties[2] = {0, 0};  // leaf: the offset (32 bits)

  int32_t predictor() const { return splitval0; }
  uint32_t multiplier() const { return static_cast<uint32_t>(splitvals[0]); }
  int32_t offset() const {
    int32_t o;
    std::memcpy(&o, properties, 4);
    return o;
  }
  void SetOffset(int32_t o) { std::memcpy(properties, &o, 4); }
};
using FlatMaTree = std::vector<FlatMaTreeNode>;

// What SpecializeTreeForChannel reports besides the flat tree.
struct TreeFacts {
  uint64_t property_count = 16;
  bool uses_weighted = false;
  bool weighted_only = false;
  bool gradient_only = true;
};

// A tree, root at node 0, nodes in breadth-first order. ReadMaTree also
// prepares the facts the channel loop needs of the whole tree, so that a
// tree read once serves every stream of a frame without being walked again;
// a tree built by hand is prepared by Prepare().
struct MaTree {
  std::vector<MaTreeNode> nodes;

  // Derived by Prepare(); valid while `prepared`.
  bool prepared = false;
  // No inner node tests property 0 or 1: every channel gets `flat`.
  bool channel_independent = false;
  // Some inner node tests property 0 (the channel index).
  bool tests_channel = false;
  // Every node is a split on property 0 or 1 or a leaf with predictor 5,
  // offset 0 and multiplier 1.
  bool gradient_unit_leaves = false;
  FlatMaTree flat;
  TreeFacts facts;

  void Prepare();
  size_t size() const { return nodes.size(); }
  bool empty() const { return nodes.empty(); }
};

// The largest node count any tree may have.
inline constexpr uint64_t kMaxTreeNodes = uint64_t{1} << 22;
// Deepest validated path: more stack entries than this fail.
inline constexpr size_t kMaxTreeDepth = 2047;

// Reads, validates and prepares a tree of at most min(node_limit, 2^22)
// nodes (one more node may be read when the limit is reached exactly).
// Failed for every malformed tree, over-read or wrong final ANS state.
Status ReadMaTree(const QovMemoryManagerStruct* memory_manager,
                  BitReader& reader, MaTree& tree, uint64_t node_limit);

// Failed unless every split value lies strictly inside the range its
// ancestors leave for its property and no path is deeper than 2047 nodes.
Status ValidateMaTree(const std::vector<MaTreeNode>& nodes);

// The flat tree for a channel with the given static properties (channel
// index, stream number); leaves keep their context numbers.
void SpecializeTreeForChannel(const std::vector<MaTreeNode>& nodes,
                              int32_t channel, int32_t stream,
                              FlatMaTree& out, TreeFacts& facts);

// Fills lut[8192 + v] with the cluster (context_map of the leaf's context)
// for every property value v in -8192..8191 when the flat tree can be read
// as such a table (unit leaves, split values within -8192..8190). Only for
// trees that test one property. lut holds at least 16384 bytes.
bool BuildTreeLookupTable(const FlatMaTree& tree, const uint8_t* context_map,
                          uint8_t* lut);

inline constexpr size_t kTreeLookupBytes = 16386;

}  // namespace qov

#endif  // QOV_LIB_MODULAR_MA_TREE_H_
