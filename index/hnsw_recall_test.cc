// Quality of the graph: recall against brute force and reachability. These
// catch faults that keep every structural invariant but lose neighbours
// (wrong selection order, links to the wrong node, an early stop).
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "index/hnsw_graph.h"
#include "index/hnsw_test_util.h"

namespace orvane::index {
namespace {

using testing::clustered;

#ifdef __SANITIZE_ADDRESS__
constexpr std::size_t kRecallSize = 1500;
constexpr std::size_t kQueries = 60;
constexpr std::size_t kGrowTo = 96;
#else
constexpr std::size_t kRecallSize = 5000;
constexpr std::size_t kQueries = 200;
constexpr std::size_t kGrowTo = 191;
#endif

// 100 clusters of spread 0.25 around unit Gaussian centres in 32 dimensions.
double recall_at_10(DistanceMetric metric, bool normalise) {
  const auto vectors = clustered(kRecallSize, 32, 100, 41, normalise, 0.25f);
  const auto queries = clustered(kQueries, 32, 100, 41 + 1000, normalise, 0.25f);
  const HnswGraph g = testing::build(vectors, metric, 43);
  std::size_t found = 0;
  for (const auto& q : queries) {
    const auto truth = testing::brute_force(vectors, q, metric, 10);
    auto hits = g.search(q, 10);
    EXPECT_TRUE(hits);
    if (!hits) continue;
    EXPECT_EQ(hits->size(), 10u);
    const std::set<std::uint64_t> want(truth.begin(), truth.end());
    for (const auto& h : *hits) found += want.contains(h.id) ? 1 : 0;
  }
  return static_cast<double>(found) / static_cast<double>(10 * queries.size());
}

TEST(HnswRecall, EuclideanRecallAt10) {
  EXPECT_GE(recall_at_10(DistanceMetric::Euclidean, false), 0.95);
}

TEST(HnswRecall, CosineRecallAt10) { EXPECT_GE(recall_at_10(DistanceMetric::Cosine, false), 0.95); }

TEST(HnswRecall, DotProductRecallAt10) {
  // Unit vectors, the usual case for inner-product search.
  EXPECT_GE(recall_at_10(DistanceMetric::DotProduct, true), 0.95);
  // Raw vectors: inner product is no distance (a long vector beats a vector's
  // own copy), so any proximity graph does worse; this guards the level.
  EXPECT_GE(recall_at_10(DistanceMetric::DotProduct, false), 0.88);
}

// Grows graphs one node at a time; after every insertion each node is
// reachable on layer 0 from the entry point and its own vector finds it first.
TEST(HnswRecall, EverySmallGraphIsConnectedAndFindsItsVectors) {
  struct Config {
    DistanceMetric metric;
    std::size_t dim;
    std::uint64_t seed;
  };
  const Config configs[] = {
      {DistanceMetric::Euclidean, 2, 1},  {DistanceMetric::Euclidean, 16, 2},
      {DistanceMetric::Cosine, 3, 3},     {DistanceMetric::Cosine, 24, 4},
      {DistanceMetric::DotProduct, 4, 5}, {DistanceMetric::DotProduct, 32, 6},
  };
  for (const Config& c : configs) {
    // Unit vectors: under DotProduct a vector is then its own best match.
    const auto vectors = clustered(kGrowTo, c.dim, 3, c.seed, true);
    storage::thread_random_seed_for_testing(c.seed * 7919);
    HnswGraph g(c.dim, c.metric);
    for (std::size_t n = 1; n <= vectors.size(); ++n) {
      ASSERT_TRUE(g.insert(n, vectors[n - 1]));
      ASSERT_EQ(testing::reachable_layer0(g).size(), n)
          << "metric " << static_cast<int>(c.metric) << " dim " << c.dim << " size " << n;
      for (std::size_t i = 0; i < n; ++i) {
        auto hits = g.search(vectors[i], 1);
        ASSERT_TRUE(hits);
        ASSERT_EQ(hits->size(), 1u);
        ASSERT_EQ((*hits)[0].id, i + 1) << "size " << n << " metric " << static_cast<int>(c.metric);
      }
    }
    testing::expect_lists_name_nodes(g);
  }
}

}  // namespace
}  // namespace orvane::index
