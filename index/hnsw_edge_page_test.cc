// Edge snapshots of classic files: page bytes and restore rules.
#include "index/hnsw_edge_page.h"

#include "index/hnsw_test_util.h"
#include "storage/coding.h"
#include "storage/page.h"

namespace orvane::index {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::all_lists;
using testing::Ids;
using testing::ids_of;
using testing::line_graph;
using testing::Lists;

struct Block {
  std::uint32_t layer, count;  // count as written, may exceed ids.size()
  Ids ids;
};

// A node record as stored; without blocks, also the header record (entry,
// max level, node count).
Bytes record(std::uint64_t id, std::uint32_t level, std::uint32_t list_count,
             const std::vector<Block>& blocks = {}) {
  Bytes b;
  auto put = [&](std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  put(id, 8);
  put(level, 4);
  put(list_count, 4);
  for (const auto& blk : blocks) {
    put(blk.layer, 4);
    put(blk.count, 4);
    for (std::uint64_t x : blk.ids) put(x, 8);
  }
  return b;
}

// An edge page with the records in slots 0...
Bytes page_of(const std::vector<Bytes>& records) {
  Bytes page = storage::new_page_image(storage::kPageTypeHnswEdges);
  for (const Bytes& r : records) EXPECT_TRUE(storage::append_to_page(page, r, std::nullopt));
  return page;
}

// The seed after which the first node of an empty graph draws `level`.
std::uint64_t seed_for_first_level(std::uint64_t level) {
  for (std::uint64_t s = 1;; ++s) {
    storage::thread_random_seed_for_testing(s);
    if (HnswGraph::level_for_draw(storage::thread_random_unit(), 0) == level) return s;
  }
}

// A snapshot that does not fit leaves an empty page (a partial one is worse).
TEST(HnswEdgePage, PageBytes) {
  for (std::uint32_t level : {0u, 1u}) {
    storage::thread_random_seed_for_testing(seed_for_first_level(level));
    HnswGraph g(2, DistanceMetric::Euclidean);
    constexpr std::uint64_t kId = 0x0102030405060708;
    ASSERT_TRUE(g.insert(kId, std::vector<float>{1, 2}));
    ASSERT_EQ(g.node_level(kId), level);
    const EdgePageImage image = build_edge_page(g);
    EXPECT_EQ(image.records, 1u);
    EXPECT_EQ(image.bytes, page_of({record(kId, level, 1), record(kId, level, level + 1)}));
  }
  const EdgePageImage full = build_edge_page(line_graph(40, 6));
  EXPECT_EQ(full.records, 0u);
  EXPECT_EQ(full.bytes, storage::new_page_image(storage::kPageTypeHnswEdges));
}

// Restoring never fails: bad headers and records are passed over or bounded.
TEST(HnswEdgePage, RestoreRules) {
  HnswGraph empty(1, DistanceMetric::Euclidean);
  apply_edge_page(empty, 1, page_of({record(0, 3, 0)}));  // entry 0: none
  EXPECT_FALSE(empty.entry_point().has_value());
  EXPECT_EQ(empty.max_level(), 0u);

  HnswGraph g = line_graph(6, 2);
  const auto entry = *g.entry_point();
  const auto top = g.max_level();
  const std::uint64_t other = entry == 2 ? 3 : 2;
  auto want = all_lists(g);
  // Entry 0 on a graph with nodes, no node, level out of range, too short, and
  // a header that slot_count 0 hides.
  Bytes hidden = page_of({record(other, 1, 6)});
  storage::put_u16(hidden.data() + 7, 0);
  for (const Bytes& page : {page_of({record(0, 0, 6)}), page_of({record(42, 7, 6)}),
                            page_of({record(other, 13, 6)}), page_of({Bytes(15, 1)}), hidden}) {
    apply_edge_page(g, 1, page);
    EXPECT_EQ(g.entry_point(), entry);
    EXPECT_EQ(g.max_level(), top);
  }
  apply_edge_page(g, 1, page_of({record(other, 12, 6)}));
  EXPECT_EQ(g.entry_point(), other);
  EXPECT_EQ(g.max_level(), 12u);
  // Descending twelve layers the node has no lists on still finds everything.
  EXPECT_EQ(ids_of(g.search(std::vector<float>{0.5f}, 6).value()), (Ids{1, 2, 3, 4, 5, 6}));

  apply_edge_page(g, 1,
                  page_of({
                      record(0, 0, 0),
                      // Layer 2 on a level-0 record is dropped; the next block is read.
                      record(1, 0, 3, {{2, 1, {5}}, {0, 2, {2, 3}}}),
                      // Level 1, layer 0 truncated (claims 5 ids, holds 2).
                      record(2, 1, 2, {{1, 1, {4}}, {0, 5, {1, 3}}}),
                      // Self link and repeats are dropped; 77 has no node but stays.
                      record(3, 0, 1, {{0, 5, {3, 1, 1, 77, 2}}}),
                      record(99, 0, 1, {{0, 1, {1}}}),           // no such node
                      record(4, 13, 1, {{0, 1, {1}}}),           // level out of range
                      record(5, 0, 0xFFFFFFFFu, {{0, 1, {6}}}),  // bounded by length
                      Bytes{1, 2, 3},                            // too short
                  }));
  want[1] = {{2, 3}};
  want[2] = {{1, 3}, {4}};
  want[3] = {{1, 77, 2}};
  want[5] = {{6}};
  EXPECT_EQ(all_lists(g), want);
  EXPECT_EQ(g.entry_point(), other);
  EXPECT_EQ(ids_of(g.search(std::vector<float>{3}, 6).value())[0], 3u);
}

// A record's lists are the node's whatever level it drew, and the next
// snapshot writes them all back (level raised); an empty list has no block.
TEST(HnswEdgePage, RestoredListsSurviveTheNextSnapshot) {
  // Level the node drew, the record's level and blocks, the level written back.
  const std::tuple<std::uint32_t, std::uint32_t, std::vector<Block>, std::uint32_t> cases[] = {
      {0, 3, {{0, 1, {2}}, {2, 2, {3, 4}}}, 3},
      {0, 1, {{0, 2, {2, 3}}, {1, 1, {4}}}, 1},
      {0, 0, {{0, 1, {5}}}, 0},
      {1, 0, {{0, 1, {5}}}, 1},
      {1, 1, {{0, 3, {2, 3, 4}}}, 1},
  };
  for (const auto& [node_level, record_level, blocks, written_level] : cases) {
    HnswGraph g = line_graph(5, seed_for_first_level(node_level));
    ASSERT_EQ(g.node_level(1), node_level);
    const std::uint32_t lists = record_level + 1;
    apply_edge_page(g, 1,
                    page_of({record(*g.entry_point(), g.max_level(), 5),
                             record(1, record_level, lists, blocks)}));
    EXPECT_EQ(encode_node_record(g, 1), record(1, written_level, lists, blocks));
  }
}

}  // namespace
}  // namespace orvane::index
