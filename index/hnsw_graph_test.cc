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

// The level law: a level of at least k with probability 16^-k, never above 12.
TEST(HnswGraph, LevelDistribution) {
  storage::thread_random_seed_for_testing(12345);
  std::size_t at_least[4] = {0, 0, 0, 0};
  for (int i = 0; i < 200000; ++i) {
    const auto level = HnswGraph::level_for_draw(storage::thread_random_unit(), 100);
    ASSERT_LE(level, 12u);
    for (std::uint64_t k = 0; k < 4 && k <= level; ++k) ++at_least[k];
  }
  EXPECT_NEAR(at_least[1], 200000.0 / 16, 4 * std::sqrt(200000.0 / 16));
  EXPECT_NEAR(at_least[2], 200000.0 / 256, 4 * std::sqrt(200000.0 / 256));
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

}  // namespace
}  // namespace orvane::index
