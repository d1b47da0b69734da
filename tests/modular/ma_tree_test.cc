// MA trees: reading written trees back, every rejection, validation depth,
// specialisation for a channel and the single-property lookup table.
#include "lib/modular/ma_tree.h"

#include <gtest/gtest.h>

#include <random>

#include "lib/base/memory.h"
#include "lib/bitstream/bit_reader.h"
#include "lib/encode/bit_writer.h"
#include "tests/modular/modular_stream_writer_helpers.h"

namespace qov {
namespace {

using modular_test::CodeOptions;
using modular_test::Flatten;
using modular_test::Leaf;
using modular_test::Split;
using modular_test::Tree;

std::vector<uint8_t> TreeBytes(const std::vector<Token>& tokens,
                               const CodeOptions& options = {}) {
  BitWriter writer(HeapMemoryManager());
  EXPECT_TRUE(
      modular_test::WriteEntropyCoded(tokens, 6, options, &writer).ok());
  const Span s = writer.GetSpan();
  return std::vector<uint8_t>(s.data, s.data + s.size);
}

Status ReadTreeBytes(const std::vector<uint8_t>& bytes, MaTree& tree,
                     uint64_t limit = kMaxTreeNodes) {
  BitReader reader(Span(bytes.data(), bytes.size()));
  return ReadMaTree(HeapMemoryManager(), reader, tree, limit);
}

void ExpectSameNodes(const std::vector<MaTreeNode>& a,
                     const std::vector<MaTreeNode>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].property, b[i].property) << i;
    EXPECT_EQ(a[i].splitval, b[i].splitval) << i;
    EXPECT_EQ(a[i].lchild, b[i].lchild) << i;
    if (a[i].property >= 0) {
      EXPECT_EQ(a[i].rchild, b[i].rchild) << i;
    }
    EXPECT_EQ(a[i].predictor, b[i].predictor) << i;
    EXPECT_EQ(a[i].predictor_offset, b[i].predictor_offset) << i;
    EXPECT_EQ(a[i].multiplier, b[i].multiplier) << i;
  }
}

TEST(MaTreeReadTest, WrittenTreesReadBack) {
  const Tree trees[] = {
      Leaf(5),
      Leaf(13, -7, 1u << 30),
      Leaf(0, 3, 0x7FFFFFFF),
      Split(9, 0, Leaf(5), Split(255, -3, Leaf(6, 1, 3), Leaf(2))),
      Split(2, 10, Split(3, 4, Leaf(1), Leaf(4)),
            Split(15, -100, Leaf(6), Split(2, 5, Leaf(7), Leaf(12)))),
  };
  for (bool prefix : {false, true}) {
    for (const Tree& t : trees) {
      const std::vector<MaTreeNode> nodes = Flatten(t);
      CodeOptions options;
      options.prefix_codes = prefix;
      MaTree tree;
      ASSERT_TRUE(
          ReadTreeBytes(TreeBytes(modular_test::TreeTokens(nodes), options),
                        tree)
              .ok());
      ExpectSameNodes(tree.nodes, nodes);
      EXPECT_TRUE(tree.prepared);
    }
  }
}

// A leaf's raw tokens: predictor, offset, shift, bits.
std::vector<Token> LeafTokens(uint32_t predictor, uint32_t shift,
                              uint32_t bits) {
  return {Token(1, 0), Token(2, predictor), Token(3, 0), Token(4, shift),
          Token(5, bits)};
}

std::vector<Token> SplitThenLeaves(uint32_t property_token) {
  std::vector<Token> t = {Token(1, property_token), Token(0, 0)};
  for (int i = 0; i < 2; ++i) {
    const auto leaf = LeafTokens(0, 0, 0);
    t.insert(t.end(), leaf.begin(), leaf.end());
  }
  return t;
}

TEST(MaTreeReadTest, FieldLimits) {
  struct Case {
    const char* name;
    std::vector<Token> tokens;
    bool ok;
  };
  const Case cases[] = {
      {"predictor 13", LeafTokens(13, 0, 0), true},
      {"predictor 14", LeafTokens(14, 0, 0), false},
      {"shift 30 bits 0", LeafTokens(0, 30, 0), true},
      {"shift 30 bits 1", LeafTokens(0, 30, 1), false},
      {"shift 31", LeafTokens(0, 31, 0), false},
      {"shift 0 largest", LeafTokens(0, 0, 0x7FFFFFFE), true},
      {"shift 0 too large", LeafTokens(0, 0, 0x7FFFFFFF), false},
      {"property 255", SplitThenLeaves(256), true},
      {"property token 257", SplitThenLeaves(257), false},
  };
  for (const Case& c : cases) {
    MaTree tree;
    const Status s = ReadTreeBytes(TreeBytes(c.tokens), tree);
    EXPECT_EQ(s.ok(), c.ok) << c.name;
    if (!c.ok) {
      EXPECT_EQ(s.code(), StatusValue::Failed) << c.name;
    }
  }
  MaTree tree;
  ASSERT_TRUE(ReadTreeBytes(TreeBytes(LeafTokens(0, 30, 0)), tree).ok());
  EXPECT_EQ(tree.nodes[0].multiplier, 1u << 30);
}

TEST(MaTreeReadTest, NodeLimitCountsNodesAlreadyRead) {
  // 5 nodes: root, inner, three leaves; 7 nodes: a full tree of depth 2.
  const auto five = Flatten(Split(2, 0, Split(3, 0, Leaf(0), Leaf(1)), Leaf(2)));
  const auto seven = Flatten(Split(2, 0, Split(3, 0, Leaf(0), Leaf(1)),
                                   Split(3, 0, Leaf(2), Leaf(3))));
  MaTree tree;
  EXPECT_TRUE(ReadTreeBytes(TreeBytes(modular_test::TreeTokens(five)), tree, 5).ok());
  EXPECT_TRUE(ReadTreeBytes(TreeBytes(modular_test::TreeTokens(seven)), tree, 6).ok());
  EXPECT_EQ(ReadTreeBytes(TreeBytes(modular_test::TreeTokens(seven)), tree, 5).code(),
            StatusValue::Failed);
}

TEST(MaTreeReadTest, TruncatedAndNeverEndingTreesFail) {
  const auto nodes = Flatten(Split(2, 0, Split(3, 0, Leaf(0), Leaf(1)), Leaf(2)));
  std::vector<uint8_t> bytes = TreeBytes(modular_test::TreeTokens(nodes));
  MaTree tree;
  for (size_t n = 0; n < bytes.size(); ++n) {
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + n);
    EXPECT_FALSE(ReadTreeBytes(cut, tree).ok()) << n;
  }
  // Only inner nodes: the property cluster has the sole symbol 1.
  std::vector<Token> endless;
  for (int i = 0; i < 50; ++i) endless.emplace_back(1, 1);
  EXPECT_EQ(ReadTreeBytes(TreeBytes(endless), tree).code(), StatusValue::Failed);
}

TEST(MaTreeValidateTest, SplitsMustStayInsideTheirRange) {
  // Left of "p2 > 5" the range of p2 starts at 6: a split at 5 is unreachable.
  EXPECT_EQ(ValidateMaTree(Flatten(Split(2, 5, Split(2, 5, Leaf(0), Leaf(0)), Leaf(0)))).code(),
            StatusValue::Failed);
  EXPECT_TRUE(ValidateMaTree(Flatten(Split(2, 5, Split(2, 6, Leaf(0), Leaf(0)), Leaf(0)))).ok());
  // Right of it the range ends at 5 (split values must stay below it).
  EXPECT_FALSE(ValidateMaTree(Flatten(Split(2, 5, Leaf(0), Split(2, 5, Leaf(0), Leaf(0))))).ok());
  EXPECT_TRUE(ValidateMaTree(Flatten(Split(2, 5, Leaf(0), Split(2, 4, Leaf(0), Leaf(0))))).ok());
  // Other properties are unaffected; INT32_MAX can never be a split value.
  EXPECT_TRUE(ValidateMaTree(Flatten(Split(2, 5, Split(3, 5, Leaf(0), Leaf(0)), Leaf(0)))).ok());
  EXPECT_FALSE(ValidateMaTree(Flatten(Split(2, INT32_MAX, Leaf(0), Leaf(0)))).ok());
}

Tree Chain(int depth) {
  Tree t = Leaf(0);
  for (int i = depth; i-- > 0;) t = Split(2, i, t, Leaf(1));
  return t;
}

TEST(MaTreeValidateTest, PathDepthLimit) {
  EXPECT_TRUE(ValidateMaTree(Flatten(Chain(2046))).ok());
  EXPECT_EQ(ValidateMaTree(Flatten(Chain(2047))).code(), StatusValue::Failed);
  MaTree tree;
  EXPECT_EQ(ReadTreeBytes(TreeBytes(modular_test::TreeTokens(Flatten(Chain(2047)))),
                          tree)
                .code(),
            StatusValue::Failed);
}

// Walks a flat tree with a property vector.
const FlatMaTreeNode& Walk(const FlatMaTree& t, const std::vector<int32_t>& p) {
  size_t n = 0;
  while (t[n].property0 >= 0) {
    if (p[t[n].property0] > t[n].splitval0) {
      n = t[n].child_id + (p[t[n].properties[0]] > t[n].splitvals[0] ? 0 : 1);
    } else {
      n = t[n].child_id + 2 + (p[t[n].properties[1]] > t[n].splitvals[1] ? 0 : 1);
    }
  }
  return t[n];
}

uint32_t WalkNodes(const std::vector<MaTreeNode>& t, const std::vector<int32_t>& p) {
  size_t n = 0;
  while (t[n].property >= 0) {
    n = p[t[n].property] > t[n].splitval ? t[n].lchild : t[n].rchild;
  }
  return t[n].lchild;
}

TEST(MaTreeSpecializeTest, FlatWalkMatchesTreeWalk) {
  const auto nodes = Flatten(Split(
      0, 1, Split(9, 3, Leaf(5), Split(1, 7, Leaf(1), Leaf(2))),
      Split(2, 4, Split(17, 0, Leaf(3), Leaf(4)),
            Split(9, -2, Split(4, 10, Leaf(6), Leaf(7)), Leaf(8)))));
  std::mt19937 rng(5);
  for (int32_t channel = 0; channel < 4; ++channel) {
    for (int32_t stream = 5; stream < 10; ++stream) {
      FlatMaTree flat;
      TreeFacts facts;
      SpecializeTreeForChannel(nodes, channel, stream, flat, facts);
      EXPECT_GE(facts.property_count, 16u);
      std::vector<int32_t> p(facts.property_count, 0);
      for (int k = 0; k < 300; ++k) {
        for (size_t i = 2; i < p.size(); ++i) {
          p[i] = static_cast<int32_t>(rng() % 31) - 15;
        }
        p[0] = channel;
        p[1] = stream;
        EXPECT_EQ(Walk(flat, p).child_id, WalkNodes(nodes, p));
      }
    }
  }
}

TEST(MaTreeSpecializeTest, StaticSplitsAndFacts) {
  // Channel 2 > 1: the root resolves to its left child before anything is
  // emitted, so the flat tree starts with that child.
  const auto nodes = Flatten(Split(0, 1, Split(9, 0, Leaf(5), Leaf(5)), Leaf(6)));
  FlatMaTree flat;
  TreeFacts facts;
  SpecializeTreeForChannel(nodes, 2, 0, flat, facts);
  ASSERT_EQ(flat.size(), 5u);
  EXPECT_EQ(flat[0].property0, 9);
  EXPECT_TRUE(facts.gradient_only);
  EXPECT_FALSE(facts.uses_weighted);
  // Both children are leaves: each appears twice, tests are placeholders.
  EXPECT_EQ(flat[0].properties[0], 0);
  EXPECT_EQ(flat[0].splitvals[0], 0);
  EXPECT_EQ(flat[1].child_id, flat[2].child_id);
  EXPECT_EQ(flat[3].child_id, flat[4].child_id);

  SpecializeTreeForChannel(nodes, 1, 0, flat, facts);
  ASSERT_EQ(flat.size(), 1u);
  EXPECT_EQ(flat[0].predictor(), 6);
  EXPECT_TRUE(facts.weighted_only);
  EXPECT_FALSE(facts.gradient_only);

  SpecializeTreeForChannel(Flatten(Split(17, 0, Leaf(5), Leaf(5))), 0, 0, flat,
                           facts);
  EXPECT_EQ(facts.property_count, 20u);
  EXPECT_FALSE(facts.gradient_only);
  SpecializeTreeForChannel(Flatten(Split(15, 0, Leaf(6), Leaf(6))), 0, 0, flat,
                           facts);
  EXPECT_TRUE(facts.weighted_only);
  SpecializeTreeForChannel(Flatten(Split(15, 0, Leaf(6), Leaf(5))), 0, 0, flat,
                           facts);
  EXPECT_TRUE(facts.uses_weighted);
  EXPECT_FALSE(facts.weighted_only);
}

TEST(MaTreeSpecializeTest, ChannelIndependentTreesArePreparedOnce) {
  MaTree tree;
  tree.nodes = Flatten(Split(9, 0, Leaf(5), Split(3, 2, Leaf(1), Leaf(5))));
  tree.Prepare();
  EXPECT_TRUE(tree.channel_independent);
  EXPECT_FALSE(tree.gradient_unit_leaves);
  FlatMaTree flat;
  TreeFacts facts;
  SpecializeTreeForChannel(tree.nodes, 3, 77, flat, facts);
  ASSERT_EQ(flat.size(), tree.flat.size());
  for (size_t i = 0; i < flat.size(); ++i) {
    EXPECT_EQ(0, std::memcmp(&flat[i], &tree.flat[i], sizeof(FlatMaTreeNode)));
  }
  tree.nodes = Flatten(Split(1, 0, Leaf(5), Leaf(5)));
  tree.Prepare();
  EXPECT_FALSE(tree.channel_independent);
  EXPECT_TRUE(tree.gradient_unit_leaves);
  EXPECT_TRUE(tree.flat.empty());
}

// The table must give, for every property value (clamped), the cluster the
// walk gives for the unclamped value.
void ExpectTableMatchesWalk(const std::vector<MaTreeNode>& nodes,
                            int32_t property) {
  FlatMaTree flat;
  TreeFacts facts;
  SpecializeTreeForChannel(nodes, 0, 0, flat, facts);
  std::vector<uint8_t> map(nodes.size());
  for (size_t i = 0; i < map.size(); ++i) map[i] = static_cast<uint8_t>(i * 7 + 1);
  std::vector<uint8_t> lut(kTreeLookupBytes, 0xEE);
  ASSERT_TRUE(BuildTreeLookupTable(flat, map.data(), lut.data()));
  std::vector<int32_t> p(facts.property_count, 0);
  for (int64_t v : {int64_t{INT32_MIN}, int64_t{-1000000}, int64_t{-8194},
                    int64_t{-8193}, int64_t{8191}, int64_t{8192},
                    int64_t{INT32_MAX}}) {
    p[property] = static_cast<int32_t>(v);
    EXPECT_EQ(lut[8192 + std::clamp<int64_t>(v, -8192, 8191)],
              map[Walk(flat, p).child_id])
        << v;
  }
  for (int32_t v = -8192; v <= 8191; ++v) {
    p[property] = v;
    ASSERT_EQ(lut[8192 + v], map[Walk(flat, p).child_id]) << v;
  }
}

TEST(MaTreeLookupTest, TablesMatchTheWalk) {
  ExpectTableMatchesWalk(Flatten(Leaf(5)), 9);
  ExpectTableMatchesWalk(
      Flatten(Split(9, 0, Split(9, 100, Leaf(5), Leaf(5)),
                    Split(9, -8192, Split(9, -50, Leaf(5), Leaf(5)), Leaf(5)))),
      9);
  ExpectTableMatchesWalk(Flatten(Split(15, 8190, Leaf(6), Leaf(6))), 15);
  ExpectTableMatchesWalk(Flatten(Split(15, -8192, Leaf(6), Leaf(6))), 15);
}

TEST(MaTreeLookupTest, TreesThatAreNoTable) {
  const std::vector<uint8_t> map(64, 0);
  std::vector<uint8_t> lut(kTreeLookupBytes);
  const Tree rejected[] = {
      Leaf(5, 1),
      Leaf(5, 0, 2),
      Split(9, 8191, Leaf(5), Leaf(5)),
      Split(9, -8194, Leaf(5), Leaf(5)),
      // Values below -8192 are read as -8192, which a split at -8193 would
      // separate from them.
      Split(9, -8193, Leaf(5), Leaf(5)),
      Split(9, 0, Leaf(5), Split(9, -8193, Leaf(5), Leaf(5))),
  };
  for (const Tree& t : rejected) {
    FlatMaTree flat;
    TreeFacts facts;
    SpecializeTreeForChannel(Flatten(t), 0, 0, flat, facts);
    EXPECT_FALSE(BuildTreeLookupTable(flat, map.data(), lut.data()));
  }
}

}  // namespace
}  // namespace qov
