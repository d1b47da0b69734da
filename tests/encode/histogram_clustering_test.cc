// Histogram clustering: centre choice, assignment, fixed clusters, pairwise
// merging and renumbering by first use.
#include "lib/encode/histogram_clustering.h"

#include <random>

#include "gtest/gtest.h"
#include "lib/encode/ans_encode.h"

namespace qov {
namespace {

Histogram FromCounts(std::vector<int32_t> counts) {
  Histogram h;
  counts.resize((counts.size() + 7) / 8 * 8, 0);
  h.counts = std::move(counts);
  for (int32_t c : h.counts) h.total += static_cast<uint64_t>(c);
  return h;
}

HistogramParams Mode(uint32_t clustering_mode, size_t limit = ~size_t{0}) {
  HistogramParams p;
  p.clustering_mode = clustering_mode;
  p.histogram_limit = limit;
  return p;
}

TEST(HistogramClusteringTest, DistinctHistogramsGetTheirOwnClustersInOrderOfUse) {
  // Three very different shapes, each used twice, interleaved.
  const Histogram a = FromCounts({1000, 0, 0, 0, 0, 0});
  const Histogram b = FromCounts({0, 0, 500, 500, 0, 0});
  const Histogram c = FromCounts({0, 0, 0, 0, 300, 300, 300});
  std::vector<Histogram> in = {b, a, c, a, b, c};
  std::vector<Histogram> clusters;
  std::vector<uint32_t> assignment;
  ASSERT_TRUE(GroupHistogramsIntoClusters(Mode(1), in, 128, &clusters,
                                          &assignment).ok());
  EXPECT_EQ((std::vector<uint32_t>{0, 1, 2, 1, 0, 2}), assignment);
  ASSERT_EQ(3u, clusters.size());
  EXPECT_EQ(1000, clusters[0].counts[2]);  // b twice
  EXPECT_EQ(2000, clusters[1].counts[0]);  // a twice
  EXPECT_EQ(1800u, clusters[2].total);     // c twice
}

TEST(HistogramClusteringTest, SimilarHistogramsShareACluster) {
  std::vector<Histogram> in;
  for (int i = 0; i < 10; ++i) in.push_back(FromCounts({100 + i, 50, 25, 12}));
  std::vector<Histogram> clusters;
  std::vector<uint32_t> assignment;
  ASSERT_TRUE(GroupHistogramsIntoClusters(Mode(1), in, 128, &clusters,
                                          &assignment).ok());
  EXPECT_EQ(1u, clusters.size());
  for (uint32_t a : assignment) EXPECT_EQ(0u, a);
}

TEST(HistogramClusteringTest, EmptyHistograms) {
  std::vector<Histogram> in = {Histogram(), FromCounts({5, 5}), Histogram()};
  std::vector<Histogram> clusters;
  std::vector<uint32_t> assignment;
  ASSERT_TRUE(GroupHistogramsIntoClusters(Mode(1), in, 128, &clusters,
                                          &assignment).ok());
  EXPECT_EQ((std::vector<uint32_t>{0, 0, 0}), assignment);
  ASSERT_EQ(1u, clusters.size());
  EXPECT_EQ(10u, clusters[0].total);
  std::vector<Histogram> all_empty(3);
  clusters.clear();
  ASSERT_TRUE(GroupHistogramsIntoClusters(Mode(1), all_empty, 128, &clusters,
                                          &assignment).ok());
  EXPECT_EQ(1u, clusters.size());
}

TEST(HistogramClusteringTest, LimitsOnTheNumberOfClusters) {
  std::mt19937 rng(2);
  std::vector<Histogram> in;
  for (int i = 0; i < 40; ++i) {
    std::vector<int32_t> counts(16, 0);
    counts[i % 16] = 1000;  // 16 disjoint shapes
    counts[(i + 3) % 16] = rng() % 10;
    in.push_back(FromCounts(counts));
  }
  struct Case {
    uint32_t mode;
    size_t limit;
    size_t max_clusters;
  };
  for (const Case& c : {Case{0, ~size_t{0}, 4}, Case{1, 5, 5}, Case{1, ~size_t{0}, 16},
                        Case{2, ~size_t{0}, 16}}) {
    std::vector<Histogram> copy = in;
    std::vector<Histogram> clusters;
    std::vector<uint32_t> assignment;
    ASSERT_TRUE(GroupHistogramsIntoClusters(Mode(c.mode, c.limit), copy, 128,
                                            &clusters, &assignment).ok());
    EXPECT_LE(clusters.size(), c.max_clusters) << c.mode;
    // Indices appear in ascending order of first use.
    uint32_t next = 0;
    for (uint32_t a : assignment) {
      ASSERT_LE(a, next);
      if (a == next) ++next;
    }
    EXPECT_EQ(clusters.size(), next);
    uint64_t total = 0;
    for (const Histogram& h : clusters) total += h.total;
    uint64_t in_total = 0;
    for (const Histogram& h : in) in_total += h.total;
    EXPECT_EQ(in_total, total) << "every histogram counted once";
  }
}

TEST(HistogramClusteringTest, FixedClustersKeepTheirPlaces) {
  Histogram flat = FromCounts(std::vector<int32_t>(8, 16));
  std::vector<Histogram> clusters = {flat};
  std::vector<Histogram> in = {FromCounts({1, 1, 1, 1, 1, 1, 1, 1}),
                               FromCounts({1000, 0, 0, 0, 0, 0, 0, 1}),
                               FromCounts({0, 0, 0, 9, 0, 0, 0, 0})};
  std::vector<uint32_t> assignment;
  ASSERT_TRUE(GroupHistogramsIntoClusters(Mode(2), in, 128, &clusters,
                                          &assignment).ok());
  EXPECT_EQ(0u, assignment[0]) << "uniform counts fit the flat code";
  EXPECT_EQ(128u, clusters[0].total);
  for (uint32_t a : assignment) EXPECT_LT(a, clusters.size());
  EXPECT_NE(0u, assignment[1]);
}

TEST(HistogramClusteringTest, FixedClustersLackingASymbolFailWithoutRoom) {
  std::vector<Histogram> clusters = {FromCounts({10, 10})};
  std::vector<Histogram> in = {FromCounts({0, 0, 5}), FromCounts({0, 0, 0, 5})};
  std::vector<uint32_t> assignment;
  EXPECT_FALSE(FarthestFirstClustering(in, 1, &clusters, &assignment).ok());
}

TEST(HistogramClusteringTest, PairwiseMergingLowersTheAnsCost) {
  std::mt19937 rng(6);
  std::vector<Histogram> in;
  for (int i = 0; i < 30; ++i) {
    std::vector<int32_t> counts(24, 0);
    for (int s = 0; s < 24; ++s) counts[s] = (s % 6 == i % 6) ? 40 + rng() % 30 : rng() % 3;
    in.push_back(FromCounts(counts));
  }
  auto total_cost = [](const std::vector<Histogram>& clusters) {
    float cost = 0;
    for (const Histogram& h : clusters) cost += *AnsHistogramCost(h);
    return cost;
  };
  std::vector<Histogram> in1 = in, in2 = in;
  std::vector<Histogram> farthest, merged;
  std::vector<uint32_t> a1, a2;
  ASSERT_TRUE(GroupHistogramsIntoClusters(Mode(1), in1, 128, &farthest, &a1).ok());
  ASSERT_TRUE(GroupHistogramsIntoClusters(Mode(2), in2, 128, &merged, &a2).ok());
  EXPECT_LE(merged.size(), farthest.size());
  EXPECT_LE(total_cost(merged), total_cost(farthest) + 1.0f);
  // After merging, `entropy` holds the ANS cost.
  for (const Histogram& h : merged) EXPECT_EQ(*AnsHistogramCost(h), h.entropy);
}

}  // namespace
}  // namespace qov
