#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "index/hnsw_graph.h"
#include "index/hnsw_graph_impl.h"
#include "index/hnsw_test_util.h"

namespace orvane::index {
namespace {

using testing::clustered;

std::vector<std::uint64_t> ids_of(const std::vector<ScoredId>& hits) {
  std::vector<std::uint64_t> ids;
  for (const auto& h : hits) ids.push_back(h.id);
  return ids;
}

// A one-dimensional graph whose layer-0 lists are set by hand: only layer 0,
// entry `entry`, lists[i] for id i + 1 (ids 1..n at positions[i]).
HnswGraph hand_graph(const std::vector<float>& positions,
                     const std::vector<std::vector<std::uint64_t>>& lists, std::uint64_t entry) {
  HnswGraph g(1, DistanceMetric::Euclidean);
  for (std::size_t i = 0; i < positions.size(); ++i) {
    EXPECT_TRUE(g.insert(i + 1, std::vector<float>{positions[i]}));
  }
  HnswGraph::Impl& impl = HnswGraphAccess::impl(g);
  for (std::size_t i = 0; i < positions.size(); ++i) {
    const std::uint32_t slot = impl.nodes.find_node(i + 1);
    impl.nodes.reset_lists(slot, 1);
    std::vector<std::uint32_t> targets;
    for (std::uint64_t id : lists[i]) targets.push_back(impl.nodes.slot_for_link(id));
    impl.nodes.replace_list(slot, 0, targets);
  }
  impl.entry_point = entry;
  impl.max_level = 0;
  return g;
}

TEST(HnswSearch, TiesFollowHeapMechanics) {
  // Query 0; id 1 at 5 (entry), ids 2, 3 at distance 1, ids 4, 5 at distance 2.
  const std::vector<float> pos = {5, 1, -1, 2, -2};
  {
    HnswGraph g = hand_graph(pos, {{2, 3, 4, 5}, {}, {}, {}, {}}, 1);
    auto hits = g.search(std::vector<float>{0}, 5);
    ASSERT_TRUE(hits);
    EXPECT_EQ(ids_of(*hits), (std::vector<std::uint64_t>{2, 3, 4, 5, 1}));
    // ef 2: admitting 3 evicts 1, the pop reorders the tie, 3 comes first.
    hits = g.search(std::vector<float>{0}, 2, SearchOptions{.ef = 1});
    ASSERT_TRUE(hits);
    EXPECT_EQ(ids_of(*hits), (std::vector<std::uint64_t>{3, 2}));
  }
  {
    HnswGraph g = hand_graph(pos, {{5, 4, 3, 2}, {}, {}, {}, {}}, 1);
    auto hits = g.search(std::vector<float>{0}, 5);
    ASSERT_TRUE(hits);
    EXPECT_EQ(ids_of(*hits), (std::vector<std::uint64_t>{3, 2, 5, 4, 1}));
    std::vector<float> distances;
    for (const auto& h : *hits) distances.push_back(h.distance);
    EXPECT_EQ(distances, (std::vector<float>{1, 1, 2, 2, 5}));
  }
}

TEST(HnswSearch, NodeMetAgainIsNotReturnedTwice) {
  // 2 is listed by 1 and by 3: when 3 is expanded, 2 is already scored.
  HnswGraph g = hand_graph({4, 1, 2}, {{2, 3}, {}, {2, 1}}, 1);
  auto hits = g.search(std::vector<float>{0}, 10);
  ASSERT_TRUE(hits);
  EXPECT_EQ(ids_of(*hits), (std::vector<std::uint64_t>{2, 3, 1}));
}

TEST(HnswSearch, DanglingIdsArePassedOverAndStaleEntryFails) {
  HnswGraph g = hand_graph({4, 1}, {{99, 2}, {1, 77}}, 1);
  auto hits = g.search(std::vector<float>{0}, 10);
  ASSERT_TRUE(hits);
  EXPECT_EQ(ids_of(*hits), (std::vector<std::uint64_t>{2, 1}));
  HnswGraphAccess::impl(g).entry_point = 42;
  auto bad = g.search(std::vector<float>{0}, 10);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().to_string(), "Vector not found: id=42");
}

TEST(HnswSearch, ResultsAreDistinctAndOrdered) {
  const auto vectors = clustered(400, 8, 5, 21);
  for (auto metric :
       {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    HnswGraph g = testing::build(vectors, metric, 77);
    const auto queries = clustered(20, 8, 5, 22);
    for (const auto& q : queries) {
      for (std::uint64_t k : {1u, 10u, 64u, 400u, 1000u}) {
        auto hits = g.search(q, k);
        ASSERT_TRUE(hits);
        EXPECT_LE(hits->size(), k);
        const auto ids = ids_of(*hits);
        EXPECT_EQ(std::set<std::uint64_t>(ids.begin(), ids.end()).size(), ids.size());
        for (std::size_t i = 1; i < hits->size(); ++i) {
          EXPECT_LE(distance_order_key((*hits)[i - 1].distance),
                    distance_order_key((*hits)[i].distance));
        }
      }
    }
  }
}

}  // namespace
}  // namespace orvane::index
