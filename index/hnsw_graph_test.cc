#include "index/hnsw_graph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "index/hnsw_test_util.h"
#include "storage/random.h"

namespace orvane::index {
namespace {

using testing::clustered;

TEST(HnswGraph, NewGraphHasFixedParametersAndNoEntry) {
  for (auto metric :
       {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    for (std::uint64_t dim : {1u, 3u, 128u}) {
      HnswGraph g(dim, metric);
      EXPECT_EQ(g.dimension(), dim);
      EXPECT_EQ(g.metric(), metric);
      EXPECT_FALSE(g.entry_point().has_value());
      EXPECT_EQ(g.max_level(), 0u);
      EXPECT_EQ(g.node_count(), 0u);
      EXPECT_FALSE(g.contains(1));
      EXPECT_TRUE(g.node_ids().empty());
    }
  }
}

TEST(HnswGraph, LevelForDraw) {
  EXPECT_EQ(HnswGraph::level_for_draw(0.5, 100), 0u);
  EXPECT_EQ(HnswGraph::level_for_draw(1.0 / 16.0, 100), 1u);  // -ln(1/16)/ln 16 = 1
  EXPECT_EQ(HnswGraph::level_for_draw(0.0626, 100), 0u);
  EXPECT_EQ(HnswGraph::level_for_draw(1.0 / 256.0, 100), 2u);
  // The clamp: 0 and anything below 2^-52 draw 12 (52 ln 2 / ln 16 rounds below 13).
  EXPECT_EQ(HnswGraph::level_for_draw(0.0, 100), 12u);
  EXPECT_EQ(HnswGraph::level_for_draw(0x1p-60, 100), 12u);
  EXPECT_EQ(HnswGraph::level_for_draw(0x1p-52, 100), 12u);
  // Capped at one above the current top layer.
  EXPECT_EQ(HnswGraph::level_for_draw(0.0, 0), 1u);
  EXPECT_EQ(HnswGraph::level_for_draw(0.0, 4), 5u);
  EXPECT_EQ(HnswGraph::level_for_draw(0.5, 0), 0u);
}

TEST(HnswGraph, FirstNodeIsEntryWithoutLinks) {
  for (std::uint64_t seed = 1; seed <= 64; ++seed) {
    storage::thread_random_seed_for_testing(seed);
    HnswGraph g(2, DistanceMetric::Euclidean);
    ASSERT_TRUE(g.insert(7, std::vector<float>{1.0f, 2.0f}));
    EXPECT_EQ(g.entry_point(), 7u);
    const auto level = g.node_level(7);
    ASSERT_TRUE(level.has_value());
    EXPECT_LE(*level, 1u);
    EXPECT_EQ(g.max_level(), *level);
    const auto lists = g.neighbor_lists(7);
    ASSERT_EQ(lists.size(), *level + 1);
    for (const auto& l : lists) EXPECT_TRUE(l.empty());
  }
}

TEST(HnswGraph, LevelDistributionOverManyInsertions) {
#ifdef __SANITIZE_ADDRESS__
  const std::size_t n = 1500;
#else
  const std::size_t n = 6000;
#endif
  const auto vectors = clustered(n, 4, 8, 11);
  storage::thread_random_seed_for_testing(12345);
  HnswGraph g(4, DistanceMetric::Euclidean);
  std::size_t above = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t before = g.max_level();
    ASSERT_TRUE(g.insert(i + 1, vectors[i]));
    const std::uint64_t level = *g.node_level(i + 1);
    EXPECT_LE(level, before + 1);
    EXPECT_LE(g.max_level(), before + 1);
    EXPECT_GE(g.max_level(), before);
    if (level > before) {
      EXPECT_EQ(g.entry_point(), i + 1);
    }
    if (level >= 1) ++above;
  }
  // Expected n/16 (375 or ~94); bounds are about four standard deviations.
  const double expected = static_cast<double>(n) / 16.0;
  EXPECT_NEAR(static_cast<double>(above), expected, 4.0 * std::sqrt(expected));
  EXPECT_LE(g.max_level(), 12u);

  // Pure draws: the same law without a graph, with the 12 ceiling.
  std::size_t at_least[4] = {0, 0, 0, 0};
  for (int i = 0; i < 200000; ++i) {
    const auto level = HnswGraph::level_for_draw(storage::thread_random_unit(), 100);
    ASSERT_LE(level, 12u);
    for (std::uint64_t k = 0; k < 4 && k <= level; ++k) ++at_least[k];
  }
  EXPECT_NEAR(at_least[1], 200000.0 / 16, 4 * std::sqrt(200000.0 / 16));
  EXPECT_NEAR(at_least[2], 200000.0 / 256, 4 * std::sqrt(200000.0 / 256));
}

TEST(HnswGraph, TwoNodesLinkBothWays) {
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    storage::thread_random_seed_for_testing(seed);
    HnswGraph g(3, DistanceMetric::Cosine);
    ASSERT_TRUE(g.insert(1, std::vector<float>{1, 0, 0}));
    ASSERT_TRUE(g.insert(2, std::vector<float>{0, 1, 0}));
    const auto a = g.neighbor_lists(1);
    const auto b = g.neighbor_lists(2);
    EXPECT_EQ(a[0], std::vector<std::uint64_t>{2});
    EXPECT_EQ(b[0], std::vector<std::uint64_t>{1});
    for (std::size_t layer = 1; layer < std::max(a.size(), b.size()); ++layer) {
      const bool both = layer < a.size() && layer < b.size();
      if (layer < a.size()) {
        EXPECT_EQ(a[layer].size(), both ? 1u : 0u);
      }
      if (layer < b.size()) {
        EXPECT_EQ(b[layer].size(), both ? 1u : 0u);
      }
    }
    // The second node takes the entry point only from a higher level.
    const auto l1 = *g.node_level(1);
    const auto l2 = *g.node_level(2);
    EXPECT_EQ(g.entry_point(), l2 > l1 ? 2u : 1u);
    EXPECT_EQ(g.max_level(), std::max(l1, l2));
  }
}

TEST(HnswGraph, ReinsertReplacesNodeAndDropsOldLinks) {
  // Ids 1..60 at positions 1..60 on a line; id 30 moves to 1000.
  storage::thread_random_seed_for_testing(99);
  HnswGraph g(1, DistanceMetric::Euclidean);
  for (std::uint64_t id = 1; id <= 60; ++id) {
    ASSERT_TRUE(g.insert(id, std::vector<float>{static_cast<float>(id)}));
  }
  const auto old_lists = g.neighbor_lists(30);
  ASSERT_FALSE(old_lists[0].empty());
  ASSERT_TRUE(g.insert(30, std::vector<float>{1000.0f}));
  EXPECT_EQ(g.node_count(), 60u);
  EXPECT_EQ(g.node_ids().size(), 60u);
  // From far out on the line only 60 passes the diversity test (every other
  // node is nearer 60 than the new position), so only 60 links back.
  EXPECT_EQ(g.neighbor_lists(30)[0], std::vector<std::uint64_t>{60});
  for (std::uint64_t id = 1; id <= 59; ++id) {
    const auto l = g.neighbor_lists(id)[0];
    EXPECT_EQ(std::count(l.begin(), l.end(), 30u), 0) << id;
  }
  const auto sixty = g.neighbor_lists(60)[0];
  EXPECT_EQ(std::count(sixty.begin(), sixty.end(), 30u), 1);
  auto hits = g.search(std::vector<float>{1000.0f}, 1);
  ASSERT_TRUE(hits);
  ASSERT_EQ(hits->size(), 1u);
  EXPECT_EQ((*hits)[0].id, 30u);
  EXPECT_EQ((*hits)[0].distance, 0.0f);
  testing::expect_lists_name_nodes(g);
}

TEST(HnswGraph, WrongLengthIsRefusedAndChangesNothing) {
  storage::thread_random_seed_for_testing(5);
  HnswGraph g(3, DistanceMetric::Euclidean);
  auto r = g.insert(1, std::vector<float>{1, 2});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), VectorIndexError::Kind::DimensionMismatch);
  EXPECT_EQ(r.error().to_string(), "Dimension mismatch: expected 3, got 2");
  EXPECT_EQ(g.node_count(), 0u);
  ASSERT_TRUE(g.insert(1, std::vector<float>{1, 2, 3}));
  const auto level = g.node_level(1);
  r = g.insert(1, std::vector<float>{1, 2, 3, 4});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "Dimension mismatch: expected 3, got 4");
  EXPECT_EQ(g.node_count(), 1u);
  EXPECT_EQ(g.node_level(1), level);
  auto hits = g.search(std::vector<float>{1, 2, 3}, 1);
  ASSERT_TRUE(hits);
  EXPECT_EQ((*hits)[0].id, 1u);
}

}  // namespace
}  // namespace orvane::index
