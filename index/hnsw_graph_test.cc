// The graph: levels, insertion and neighbour selection, deletion, search.
#include "index/hnsw_graph.h"

#include "index/hnsw_test_util.h"

namespace orvane::index {
namespace {

using testing::Ids;
using testing::ids_of;
using testing::line_graph;
using testing::Lists;

TEST(HnswGraph, LevelForDraw) {
  // floor(-ln(max(u, 2^-52)) / ln 16), at most 12 and one above the top layer.
  const std::tuple<double, std::uint64_t, std::uint64_t> rows[] = {
      {0.5, 100, 0},      {1.0 / 16, 100, 1}, {0.0626, 100, 0}, {1.0 / 256, 100, 2}, {0.0, 100, 12},
      {0x1p-60, 100, 12}, {0x1p-52, 100, 12}, {0.0, 0, 1},      {0.0, 4, 5},         {0.5, 0, 0}};
  for (const auto& [u, top, want] : rows) EXPECT_EQ(HnswGraph::level_for_draw(u, top), want) << u;
}

// Id 30 moves to 1000: only 60 passes the diversity test from there (every
// other node is nearer 60), so only 60 links back; no old link stays.
TEST(HnswGraph, ReinsertReplacesNodeAndDropsOldLinks) {
  HnswGraph g = line_graph(60, 99);
  ASSERT_TRUE(g.insert(30, std::vector<float>{1000.0f}));
  EXPECT_EQ(g.node_count(), 60u);
  EXPECT_EQ(g.neighbor_lists(30)[0], Ids{60});
  for (const auto& [id, lists] : testing::all_lists(g)) {
    EXPECT_EQ(std::ranges::count(lists[0], 30u), id == 60 ? 1 : 0) << id;
  }
  const ScoredId hit = g.search(std::vector<float>{1000.0f}, 1).value().at(0);
  EXPECT_EQ(hit.id, 30u);
  EXPECT_EQ(hit.distance, 0.0f);
}

// Base at 0: 3 is nearer 1 than the base, 4 nearer 2, 5 nearer 1, and none
// comes back to fill; as far from a kept node as from the base is kept.
TEST(HnswInsert, SelectNeighborsKeepsDiverseCandidatesWithoutBackfill) {
  HnswGraph g = line_graph(6, 1, {1, -1.5f, 2, -3, 4, 0});
  const HnswGraph::Impl& impl = HnswGraphAccess::impl(g);
  auto select = [&](const std::vector<std::pair<std::uint64_t, float>>& candidates) {
    std::vector<ScoredSlot> in, out;
    for (const auto& [id, d] : candidates) in.push_back({impl.nodes.find_node(id), d});
    impl.select_neighbors(in, 10, out);
    Ids ids;
    for (const auto& s : out) ids.push_back(impl.nodes.id(s.slot));
    return ids;
  };
  EXPECT_EQ(select({{1, 1}, {2, 1.5f}, {3, 2}, {4, 3}, {5, 4}}), (Ids{1, 2}));
  EXPECT_EQ(select({{6, 0}, {3, 2}}), (Ids{6, 3}));
}

// Id 1 at 0, 2k at +k, 2k + 1 at -k: each insertion links every earlier node,
// so all 33 layer-0 lists end full. On odd seeds node 1's list ends with a
// dangling id (as a removal leaves): dropped before reselection, slot recycled.
TEST(HnswInsert, FullListIsReselectedOnBackLink) {
  std::vector<float> positions(33);
  for (std::size_t i = 1; i < 33; ++i) positions[i] = i % 2 ? (i + 1) / 2.0f : -(i / 2.0f);
  for (std::uint64_t seed = 1; seed <= 10; ++seed) {
    HnswGraph g = line_graph(33, seed, positions);
    Lists lists = g.neighbor_lists(1);
    lists[0].back() = seed % 2 != 0 ? 99 : lists[0].back();
    testing::set_lists(g, 1, lists);
    ASSERT_TRUE(g.insert(34, std::vector<float>{0.4f}));
    // The new node keeps 0 and +1 (-1 is nearer 0 than it). Node 0 reselects
    // from 34 (0.4), +-1, +-2...: 34 and -1 pass, the rest are nearer a kept
    // one. Node +1: 34 (0.6), then 0 and +2 at 1 in list order; 0 is nearer 34.
    EXPECT_EQ(g.neighbor_lists(34)[0], (Ids{1, 2}));
    EXPECT_EQ(g.neighbor_lists(1)[0], (Ids{34, 3}));
    EXPECT_EQ(g.neighbor_lists(2)[0], (Ids{34, 4}));
    EXPECT_EQ(g.neighbor_lists(5)[0].size(), 32u);  // took no back link: untouched
    testing::expect_lists_sound(g, testing::id_set(g));
    EXPECT_EQ(HnswGraphAccess::impl(g).nodes.find(99), HnswNodes::kNoSlot);
  }
}

// Removing the entry promotes the first node (iteration order) on the top
// remaining level; a removed id leaves its neighbours' lists and the results;
// removing all leaves an empty graph whose slots new insertions reuse.
TEST(HnswDelete, RemovalsKeepTheGraphSound) {
  EXPECT_EQ(HnswGraph(2, DistanceMetric::Euclidean).remove(1).error().to_string(),
            "Vector not found: id=1");
  for (std::uint64_t seed = 1; seed <= 12; ++seed) {
    const auto vectors = testing::clustered(150, 4, 4, seed);
    HnswGraph g = testing::build(vectors, static_cast<DistanceMetric>(seed % 3), seed);
    const auto ever = testing::id_set(g);
    const auto entry = g.entry_point();

    std::set<std::uint64_t> removed = {*entry};
    ASSERT_TRUE(g.remove(*entry));
    const Ids ids = g.node_ids();
    const std::uint64_t first_top =
        *std::ranges::max_element(ids, {}, [&](std::uint64_t id) { return *g.node_level(id); });
    EXPECT_EQ(g.entry_point(), first_top);
    EXPECT_EQ(g.max_level(), g.node_level(first_top));

    for (std::uint64_t id = 3; id <= 150; id += 3) {
      if (!removed.insert(id).second) continue;
      const Lists lists = g.neighbor_lists(id);
      ASSERT_TRUE(g.remove(id));
      for (std::size_t layer = 0; layer < lists.size(); ++layer) {
        for (std::uint64_t n : lists[layer]) {
          const Lists theirs = g.neighbor_lists(n);  // none when n is no node
          EXPECT_TRUE(layer >= theirs.size() || std::ranges::count(theirs[layer], id) == 0);
        }
      }
    }
    EXPECT_EQ(g.node_count(), 150 - removed.size());
    testing::expect_lists_sound(g, ever);
    for (std::size_t i = 0; i < vectors.size(); i += 7) {
      for (std::uint64_t id : ids_of(g.search(vectors[i], 50).value())) {
        EXPECT_FALSE(removed.contains(id));
      }
    }

    for (std::uint64_t id : g.node_ids()) ASSERT_TRUE(g.remove(id));
    EXPECT_FALSE(g.entry_point().has_value());
    EXPECT_EQ(g.max_level(), 0u);
    EXPECT_TRUE(g.search(vectors[0], 5).value().empty());
    for (std::uint64_t i = 0; i < 150; ++i) ASSERT_TRUE(g.insert(1000 + i, vectors[i]));
    EXPECT_EQ(HnswGraphAccess::impl(g).nodes.slot_count(), 150u);
    EXPECT_EQ(g.max_level(), *g.node_level(*g.entry_point()));
  }
}

// Search results on ties depend on the sift-downs: a pop sinks the last element
// through the right child on a tie, and so does the in-place sort.
TEST(HnswHeap, OrderOnTies) {
  // Use (candidates popped, results popped, results sorted), pushed, out.
  const std::tuple<int, std::vector<ScoredSlot>, std::vector<std::uint32_t>> rows[] = {
      {0, {{1, 1}, {2, 1}, {3, 1}, {4, 1}}, {1, 3, 2, 4}},
      {0, {{1, 2}, {2, -NAN}, {3, 0.0f}, {4, -0.0f}, {5, 2}, {6, -1}}, {6, 4, 3, 1, 5, 2}},
      {1, {{1, 3}, {2, NAN}, {3, 4}, {4, 4}}, {2, 3, 4, 1}},
      {2, {{1, 1}, {2, 1}, {3, 1}}, {2, 3, 1}},
      {2, {{1, 5}, {5, 2}, {4, 2}, {3, 1}, {2, 1}}, {3, 2, 5, 4, 1}},
  };
  for (const auto& [use, pushed, want] : rows) {
    std::vector<ScoredSlot> storage;
    std::vector<std::uint32_t> got;
    auto run = [&](auto heap) {
      for (const ScoredSlot& s : pushed) heap.push(s);
      while (use < 2 && !heap.empty()) got.push_back(heap.pop().slot);
      if (use == 2) heap.into_sorted();
    };
    use == 0 ? run(CandidateHeap(storage)) : run(ResultHeap(storage));
    for (const ScoredSlot& s : storage) got.push_back(s.slot);  // left only when sorted
    EXPECT_EQ(got, want);
  }
}

// From 0 over hand-made lists: ids 1.. at `pos`, entry 1, no upper layer.
TEST(HnswSearch, WalkOverHandMadeLists) {
  IdBitmap allowed(4);
  allowed.set(1);
  allowed.set(3);
  const std::tuple<std::vector<float>, Lists, std::uint64_t, SearchOptions, Ids> rows[] = {
      // Ids 2, 3 at distance 1, 4, 5 at 2: ties in list order, then reversed.
      {{5, 1, -1, 2, -2}, {{2, 3, 4, 5}, {}, {}, {}, {}}, 5, {}, {2, 3, 4, 5, 1}},
      {{5, 1, -1, 2, -2}, {{5, 4, 3, 2}, {}, {}, {}, {}}, 5, {}, {3, 2, 5, 4, 1}},
      // ef 2: admitting 3 evicts 1, the pop reorders the tie, 3 comes first.
      {{5, 1, -1, 2, -2}, {{2, 3, 4, 5}, {}, {}, {}, {}}, 2, {.ef = 1}, {3, 2}},
      // 2 is listed by 1 and by 3: when 3 is expanded, 2 is already scored.
      {{4, 1, 2}, {{2, 3}, {}, {2, 1}}, 10, {}, {2, 3, 1}},
      {{4, 1}, {{99, 2}, {1, 77}}, 10, {}, {2, 1}},  // dangling ids passed over
      // A filtered walk goes on through refused 2 (at 5) to 3 (at 0.5).
      {{3, 5, 0.5f}, {{2}, {3}, {}}, 1, {.ef = 2, .filter = &allowed}, {3}},
  };
  for (const auto& [pos, lists, k, options, want] : rows) {
    HnswGraph g = line_graph(pos.size(), 1, pos);
    for (std::size_t i = 0; i < pos.size(); ++i) testing::set_lists(g, i + 1, {lists[i]});
    HnswGraph::Impl& impl = HnswGraphAccess::impl(g);
    impl.entry_point = 1;
    impl.max_level = 0;
    const auto hits = g.search(std::vector<float>{0}, k, options).value();
    EXPECT_EQ(ids_of(hits), want);
    for (const ScoredId& h : hits) EXPECT_EQ(h.distance, std::abs(pos[h.id - 1]));
    impl.entry_point = 42;  // a stale entry point fails
    EXPECT_EQ(g.search(std::vector<float>{0}, 1).error().to_string(), "Vector not found: id=42");
  }
}

}  // namespace
}  // namespace orvane::index
