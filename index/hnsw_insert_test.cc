#include <gtest/gtest.h>

#include <vector>

#include "index/hnsw_graph.h"
#include "index/hnsw_graph_impl.h"
#include "index/hnsw_test_util.h"

namespace orvane::index {
namespace {

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

}  // namespace
}  // namespace orvane::index
