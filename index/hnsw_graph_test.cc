// The graph: levels, insertion and neighbour selection, deletion, search.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "index/hnsw_graph.h"
#include "index/hnsw_graph_impl.h"
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

using Ids = std::vector<std::uint64_t>;

TEST(HnswInsert, SelectNeighborsKeepsDiverseCandidatesWithoutBackfill) {
  // Base at 0; candidates (id: position) 1: 1, 2: -1.5, 3: 2, 4: -3, 5: 4, 6: 0.
  storage::thread_random_seed_for_testing(1);
  HnswGraph g(1, DistanceMetric::Euclidean);
  const std::vector<float> pos = {1, -1.5f, 2, -3, 4, 0};
  for (std::size_t i = 0; i < pos.size(); ++i) {
    ASSERT_TRUE(g.insert(i + 1, std::vector<float>{pos[i]}));
  }
  const HnswGraph::Impl& impl = HnswGraphAccess::impl(g);
  auto slot = [&](std::uint64_t id) { return impl.nodes.find_node(id); };
  auto ids = [&](const std::vector<ScoredSlot>& v) {
    Ids out;
    for (const auto& s : v) out.push_back(impl.nodes.id(s.slot));
    return out;
  };
  const std::vector<ScoredSlot> cands = {
      {slot(1), 1.0f}, {slot(2), 1.5f}, {slot(3), 2.0f}, {slot(4), 3.0f}, {slot(5), 4.0f}};
  std::vector<ScoredSlot> out;
  impl.select_neighbors(cands, 10, out);
  // 3 is nearer 1 than the base, 4 nearer 2, 5 nearer 1: none comes back.
  EXPECT_EQ(ids(out), (Ids{1, 2}));
  impl.select_neighbors(cands, 1, out);
  EXPECT_EQ(ids(out), (Ids{1}));
  // Exactly as far from a kept node as from the base: kept.
  impl.select_neighbors(std::vector<ScoredSlot>{{slot(6), 0.0f}, {slot(3), 2.0f}}, 10, out);
  EXPECT_EQ(ids(out), (Ids{6, 3}));
}

// Id 1 at 0, ids 2k at +k and 2k + 1 at -k for k = 1..16: 33 nodes, so each
// insertion links to every earlier node and all layer-0 lists end up full.
HnswGraph full_line(std::uint64_t seed) {
  storage::thread_random_seed_for_testing(seed);
  HnswGraph g(1, DistanceMetric::Euclidean);
  EXPECT_TRUE(g.insert(1, std::vector<float>{0.0f}));
  for (int k = 1; k <= 16; ++k) {
    EXPECT_TRUE(g.insert(2 * k, std::vector<float>{static_cast<float>(k)}));
    EXPECT_TRUE(g.insert(2 * k + 1, std::vector<float>{static_cast<float>(-k)}));
  }
  return g;
}

TEST(HnswInsert, FullListIsReselectedOnBackLink) {
  for (std::uint64_t seed = 1; seed <= 10; ++seed) {
    HnswGraph g = full_line(seed);
    for (std::uint64_t id = 1; id <= 33; ++id) ASSERT_EQ(g.neighbor_lists(id)[0].size(), 32u);

    ASSERT_TRUE(g.insert(34, std::vector<float>{0.4f}));
    // The new node keeps 0 and +1 (-1 is nearer 0 than the new node is).
    EXPECT_EQ(g.neighbor_lists(34)[0], (Ids{1, 2}));
    // Node 0: pool sorted by distance to it is 34 (0.4), +-1, +-2, ...; the
    // new node passes, -1 passes, everything else is nearer a kept node.
    EXPECT_EQ(g.neighbor_lists(1)[0], (Ids{34, 3}));
    // Node +1: 34 (0.6), then 0 and +2 at 1 in list order; 0 is nearer 34.
    EXPECT_EQ(g.neighbor_lists(2)[0], (Ids{34, 4}));
    // Lists that took no back link are untouched.
    EXPECT_EQ(g.neighbor_lists(5)[0].size(), 32u);
    testing::expect_lists_name_nodes(g);

    auto hits = g.search(std::vector<float>{0.4f}, 3);
    ASSERT_TRUE(hits);
    EXPECT_EQ((*hits)[0].id, 34u);
  }
}

TEST(HnswInsert, FullListDropsDanglingIdsBeforeReselection) {
  HnswGraph g = full_line(3);
  // Node 1's full list ends with 33; make that entry a dangling id (99,
  // which has no node), as a one-way link left by a removal would be.
  HnswGraph::Impl& impl = HnswGraphAccess::impl(g);
  const std::uint32_t zero = impl.nodes.find_node(1);
  std::vector<std::uint32_t> list(impl.nodes.list(zero, 0).begin(), impl.nodes.list(zero, 0).end());
  list.back() = impl.nodes.slot_for_link(99);
  impl.nodes.replace_list(zero, 0, list);
  ASSERT_EQ(g.neighbor_lists(1)[0].back(), 99u);

  ASSERT_TRUE(g.insert(34, std::vector<float>{0.4f}));
  EXPECT_EQ(g.neighbor_lists(1)[0], (Ids{34, 3}));
  // Nothing names 99 any more: its slot was recycled for later use.
  EXPECT_EQ(impl.nodes.find(99), HnswNodes::kNoSlot);
}

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

// Removing every node leaves an empty graph whose slots the next insertions reuse.
TEST(HnswDelete, LastNodeLeavesEmptyGraphAndSlotsAreRecycled) {
  const auto vectors = clustered(100, 4, 3, 2);
  HnswGraph g = testing::build(vectors, DistanceMetric::Euclidean, 6);
  for (std::uint64_t id = 1; id <= 100; ++id) ASSERT_TRUE(g.remove(id));
  EXPECT_EQ(g.node_count(), 0u);
  EXPECT_FALSE(g.entry_point().has_value());
  EXPECT_EQ(g.max_level(), 0u);
  EXPECT_FALSE(g.contains(3));
  auto hits = g.search(vectors[0], 5);
  ASSERT_TRUE(hits);
  EXPECT_TRUE(hits->empty());
  for (std::uint64_t id = 101; id <= 200; ++id) ASSERT_TRUE(g.insert(id, vectors[id - 101]));
  EXPECT_EQ(HnswGraphAccess::impl(g).nodes.slot_count(), 100u);
  EXPECT_EQ(g.node_count(), 100u);
  EXPECT_EQ(g.max_level(), *g.node_level(*g.entry_point()));
}

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

// Walks over hand-made layer-0 lists from query 0 (ids 1..n at `pos`).
TEST(HnswSearch, WalkOverHandMadeLists) {
  IdBitmap allowed(4);
  allowed.set(1);
  allowed.set(3);
  const struct {
    const char* what;
    std::vector<float> pos;
    std::vector<std::vector<std::uint64_t>> lists;
    std::uint64_t k;
    SearchOptions options;
    std::vector<std::uint64_t> want;
  } rows[] = {
      // Id 1 at 5 (entry), ids 2, 3 at distance 1, ids 4, 5 at distance 2.
      {"ties in list order", {5, 1, -1, 2, -2}, {{2, 3, 4, 5}, {}, {}, {}, {}}, 5, {}, {2, 3, 4, 5, 1}},
      {"ties in reversed list order", {5, 1, -1, 2, -2}, {{5, 4, 3, 2}, {}, {}, {}, {}}, 5, {},
       {3, 2, 5, 4, 1}},
      // ef 2: admitting 3 evicts 1, the pop reorders the tie, 3 comes first.
      {"ties at a small ef", {5, 1, -1, 2, -2}, {{2, 3, 4, 5}, {}, {}, {}, {}}, 2, {.ef = 1}, {3, 2}},
      // 2 is listed by 1 and by 3: when 3 is expanded, 2 is already scored.
      {"node met again", {4, 1, 2}, {{2, 3}, {}, {2, 1}}, 10, {}, {2, 3, 1}},
      {"dangling ids passed over", {4, 1}, {{99, 2}, {1, 77}}, 10, {}, {2, 1}},
      // The walk goes on through refused 2 (at 5) to 3 (at 0.5).
      {"filtered walk", {3, 5, 0.5f}, {{2}, {3}, {}}, 1, {.ef = 2, .filter = &allowed}, {3}},
  };
  for (const auto& r : rows) {
    HnswGraph g = hand_graph(r.pos, r.lists, 1);
    auto hits = g.search(std::vector<float>{0}, r.k, r.options);
    ASSERT_TRUE(hits) << r.what;
    EXPECT_EQ(ids_of(*hits), r.want) << r.what;
    for (std::size_t i = 0; r.k == 5 && i < hits->size(); ++i) {
      EXPECT_EQ((*hits)[i].distance, (std::vector<float>{1, 1, 2, 2, 5})[i]) << r.what;
    }
    HnswGraphAccess::impl(g).entry_point = 42;  // a stale entry point fails
    EXPECT_EQ(g.search(std::vector<float>{0}, 1).error().to_string(), "Vector not found: id=42");
  }
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
