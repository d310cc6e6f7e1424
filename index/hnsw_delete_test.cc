#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "index/hnsw_graph.h"
#include "index/hnsw_graph_impl.h"
#include "index/hnsw_test_util.h"

namespace orvane::index {
namespace {

using testing::clustered;
using Lists = std::vector<std::vector<std::uint64_t>>;

std::map<std::uint64_t, Lists> snapshot(const HnswGraph& g) {
  std::map<std::uint64_t, Lists> out;
  for (std::uint64_t id : g.node_ids()) out[id] = g.neighbor_lists(id);
  return out;
}

TEST(HnswDelete, AbsentIdFailsAndChangesNothing) {
  HnswGraph empty(2, DistanceMetric::Euclidean);
  auto r = empty.remove(1);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), VectorIndexError::Kind::VectorNotFound);
  EXPECT_EQ(r.error().to_string(), "Vector not found: id=1");

  HnswGraph g = testing::build(clustered(50, 2, 3, 1), DistanceMetric::Euclidean, 4);
  const auto before = snapshot(g);
  const auto entry = g.entry_point();
  const auto top = g.max_level();
  r = g.remove(51);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "Vector not found: id=51");
  EXPECT_EQ(snapshot(g), before);
  EXPECT_EQ(g.entry_point(), entry);
  EXPECT_EQ(g.max_level(), top);
}

TEST(HnswDelete, OnlyNodeLeavesEmptyGraph) {
  storage::thread_random_seed_for_testing(17);
  HnswGraph g(2, DistanceMetric::Cosine);
  ASSERT_TRUE(g.insert(3, std::vector<float>{1, 1}));
  ASSERT_TRUE(g.remove(3));
  EXPECT_EQ(g.node_count(), 0u);
  EXPECT_FALSE(g.entry_point().has_value());
  EXPECT_EQ(g.max_level(), 0u);
  EXPECT_FALSE(g.contains(3));
  auto hits = g.search(std::vector<float>{1, 1}, 5);
  ASSERT_TRUE(hits);
  EXPECT_TRUE(hits->empty());
  // The next insertion is a first insertion again.
  ASSERT_TRUE(g.insert(4, std::vector<float>{1, 0}));
  EXPECT_EQ(g.entry_point(), 4u);
  EXPECT_EQ(g.max_level(), *g.node_level(4));
  EXPECT_LE(g.max_level(), 1u);
}

TEST(HnswDelete, EntryPointRemoval) {
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    HnswGraph g = testing::build(clustered(120, 4, 4, seed), DistanceMetric::Euclidean, seed);
    const std::uint64_t old_entry = *g.entry_point();
    ASSERT_TRUE(g.remove(old_entry));
    // The top layer is the largest remaining level, and the new entry is
    // the first node in iteration order that reaches it.
    std::uint64_t top = 0;
    for (std::uint64_t id : g.node_ids()) top = std::max(top, *g.node_level(id));
    EXPECT_EQ(g.max_level(), top);
    std::uint64_t first_top = 0;
    for (std::uint64_t id : g.node_ids()) {
      if (*g.node_level(id) == top) {
        first_top = id;
        break;
      }
    }
    EXPECT_EQ(g.entry_point(), first_top);
    auto hits = g.search(std::vector<float>(4, 0.0f), 120);
    ASSERT_TRUE(hits);
    for (const auto& h : *hits) EXPECT_NE(h.id, old_entry);
  }
}

TEST(HnswDelete, NeighboursLoseTheRemovedIdAndSearchNeverReturnsIt) {
  const auto vectors = clustered(300, 6, 6, 9);
  HnswGraph g = testing::build(vectors, DistanceMetric::Cosine, 31);
  std::set<std::uint64_t> removed;
  std::set<std::uint64_t> ever = testing::id_set(g);
  for (std::uint64_t id = 3; id <= 300; id += 3) {
    const Lists lists = g.neighbor_lists(id);
    const std::uint64_t level = *g.node_level(id);
    ASSERT_TRUE(g.remove(id));
    removed.insert(id);
    for (std::uint64_t layer = 0; layer <= level && layer < lists.size(); ++layer) {
      for (std::uint64_t n : lists[layer]) {
        if (!g.contains(n)) continue;
        const auto theirs = g.neighbor_lists(n);
        if (layer >= theirs.size()) continue;
        EXPECT_EQ(std::count(theirs[layer].begin(), theirs[layer].end(), id), 0);
      }
    }
  }
  EXPECT_EQ(g.node_count(), 200u);
  testing::expect_lists_sound(g, &ever);
  for (std::size_t i = 0; i < vectors.size(); i += 7) {
    auto hits = g.search(vectors[i], 50);
    ASSERT_TRUE(hits);
    for (const auto& h : *hits) EXPECT_FALSE(removed.contains(h.id));
  }
}

TEST(HnswDelete, SlotsAreRecycled) {
  const auto vectors = clustered(100, 4, 3, 2);
  HnswGraph g = testing::build(vectors, DistanceMetric::Euclidean, 6);
  for (std::uint64_t id = 1; id <= 100; ++id) ASSERT_TRUE(g.remove(id));
  EXPECT_EQ(g.node_count(), 0u);
  for (std::uint64_t id = 101; id <= 200; ++id) ASSERT_TRUE(g.insert(id, vectors[id - 101]));
  EXPECT_EQ(HnswGraphAccess::impl(g).nodes.slot_count(), 100u);
  EXPECT_EQ(g.node_count(), 100u);
}

}  // namespace
}  // namespace orvane::index
