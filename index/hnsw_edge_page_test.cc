// Edge snapshots of classic files: page bytes, restore rules, persistence.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <vector>

#include "index/hnsw_edge_page.h"
#include "index/hnsw_edges.h"
#include "index/hnsw_graph_impl.h"
#include "index/hnsw_test_util.h"
#include "storage/coding.h"
#include "storage/mem_file.h"
#include "storage/page.h"
#include "storage/page_cache.h"

namespace orvane::index {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Ids = std::vector<std::uint64_t>;
using Lists = std::vector<Ids>;

void put32(Bytes& b, std::uint32_t v) {
  b.resize(b.size() + 4);
  storage::put_u32(b.data() + b.size() - 4, v);
}
void put64(Bytes& b, std::uint64_t v) {
  b.resize(b.size() + 8);
  storage::put_u64(b.data() + b.size() - 8, v);
}

Bytes header(std::uint64_t entry, std::uint32_t max_level, std::uint32_t count) {
  Bytes b;
  put64(b, entry);
  put32(b, max_level);
  put32(b, count);
  return b;
}

struct Block {
  std::uint32_t layer;
  std::uint32_t count;  // as written, may exceed ids.size()
  Ids ids;
};

Bytes record(std::uint64_t id, std::uint32_t level, std::uint32_t list_count,
             const std::vector<Block>& blocks) {
  Bytes b;
  put64(b, id);
  put32(b, level);
  put32(b, list_count);
  for (const auto& blk : blocks) {
    put32(b, blk.layer);
    put32(b, blk.count);
    for (std::uint64_t x : blk.ids) put64(b, x);
  }
  return b;
}

// A page of type 2 with the records in slots 0.. and slot_count = their number.
Bytes page_of(const std::vector<Bytes>& records) {
  Bytes page = storage::new_page_image(storage::kPageTypeHnswEdges);
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_TRUE(storage::append_to_page(page, records[i], static_cast<std::uint16_t>(i)));
  }
  storage::PageHeader h = storage::PageHeader::decode(page);
  h.slot_count = static_cast<std::uint16_t>(records.size());
  h.encode(page);
  return page;
}

// The seed after which the first node of an empty graph draws `level`.
std::uint64_t seed_for_first_level(std::uint64_t level) {
  for (std::uint64_t s = 1;; ++s) {
    storage::thread_random_seed_for_testing(s);
    if (HnswGraph::level_for_draw(storage::thread_random_unit(), 0) == level) return s;
  }
}

TEST(HnswEdgePage, OneNodeGraphBytes) {
  for (std::uint64_t level : {0u, 1u}) {
    storage::thread_random_seed_for_testing(seed_for_first_level(level));
    HnswGraph g(2, DistanceMetric::Euclidean);
    ASSERT_TRUE(g.insert(0x0102030405060708ull, std::vector<float>{1, 2}));
    ASSERT_EQ(g.node_level(0x0102030405060708ull), level);
    const EdgePageImage image = build_edge_page(g);
    EXPECT_EQ(image.records, 1u);

    Bytes expected = storage::new_page_image(2);
    storage::put_u16(expected.data() + 5, 1040 + 32);  // free_offset
    storage::put_u16(expected.data() + 7, 2);          // slot_count
    storage::put_u16(expected.data() + 16, 1040);      // slot 0: offset, length
    storage::put_u16(expected.data() + 18, 16);
    storage::put_u16(expected.data() + 20, 1056);  // slot 1
    storage::put_u16(expected.data() + 22, 16);
    const std::uint8_t l = static_cast<std::uint8_t>(level);
    const Bytes head = {8, 7, 6, 5, 4, 3, 2, 1, l, 0, 0, 0, 1, 0, 0, 0};
    const Bytes node = {8, 7, 6, 5, 4, 3, 2, 1, l, 0, 0, 0, static_cast<std::uint8_t>(l + 1), 0, 0, 0};
    std::copy(head.begin(), head.end(), expected.begin() + 1040);
    std::copy(node.begin(), node.end(), expected.begin() + 1056);
    EXPECT_EQ(image.bytes, expected);
  }
}

TEST(HnswEdgePage, RecordWithEmptyUpperListIs48Bytes) {
  storage::thread_random_seed_for_testing(seed_for_first_level(1));
  HnswGraph g(1, DistanceMetric::Euclidean);
  for (std::uint64_t id = 10; id <= 13; ++id) {
    ASSERT_TRUE(g.insert(id, std::vector<float>{static_cast<float>(id)}));
  }
  ASSERT_EQ(g.node_level(10), 1u);
  HnswGraph::Impl& impl = HnswGraphAccess::impl(g);
  const std::uint32_t slot = impl.nodes.find_node(10);
  impl.nodes.reset_lists(slot, 2);
  const std::vector<std::uint32_t> targets = {impl.nodes.find_node(11), impl.nodes.find_node(12),
                                              impl.nodes.find_node(13)};
  impl.nodes.replace_list(slot, 0, targets);

  const Bytes expected = record(10, 1, 2, {{0, 3, {11, 12, 13}}});
  ASSERT_EQ(expected.size(), 48u);
  EXPECT_EQ(encode_node_record(g, 10), expected);
  EXPECT_EQ(encode_edge_header(g), header(*g.entry_point(), g.max_level(), 4));
}

HnswGraph line_graph(std::size_t n, std::uint64_t seed) {
  storage::thread_random_seed_for_testing(seed);
  HnswGraph g(1, DistanceMetric::Euclidean);
  for (std::uint64_t id = 1; id <= n; ++id) {
    EXPECT_TRUE(g.insert(id, std::vector<float>{static_cast<float>(id)}));
  }
  return g;
}

TEST(HnswEdgePage, RestoreParsesBlocksAndDropsLayersAboveLevel) {
  HnswGraph g = line_graph(6, 2);
  const Lists untouched = g.neighbor_lists(6);
  const Bytes page = page_of({
      header(0, 0, 0),  // entry 0 while the graph has nodes: ignored
      // Block for layer 2 on a level-0 record is dropped; the next block is read.
      record(1, 0, 3, {{2, 1, {5}}, {0, 2, {2, 3}}}),
      // Level 1, layer 0 truncated (claims 5 ids, holds 2).
      record(2, 1, 2, {{1, 1, {4}}, {0, 5, {1, 3}}}),
      // Self link and repeats are dropped; 77 has no node but stays listed.
      record(3, 0, 1, {{0, 5, {3, 1, 1, 77, 2}}}), record(99, 0, 1, {{0, 1, {1}}}),  // no such node
      record(4, 13, 1, {{0, 1, {1}}}),           // level out of range: ignored
      record(5, 0, 0xFFFFFFFFu, {{0, 1, {6}}}),  // huge list count, bounded by length
      Bytes{1, 2, 3},                            // too short
  });
  const auto entry = g.entry_point();
  const auto top = g.max_level();
  const Lists four = g.neighbor_lists(4);
  apply_edge_page(g, 1, page);
  EXPECT_EQ(g.entry_point(), entry);
  EXPECT_EQ(g.max_level(), top);
  EXPECT_EQ(g.neighbor_lists(1), (Lists{{2, 3}}));
  EXPECT_EQ(g.neighbor_lists(2), (Lists{{1, 3}, {4}}));
  EXPECT_EQ(g.neighbor_lists(3), (Lists{{1, 77, 2}}));
  EXPECT_EQ(g.neighbor_lists(4), four);
  EXPECT_EQ(g.neighbor_lists(5), (Lists{{6}}));
  EXPECT_EQ(g.neighbor_lists(6), untouched);
  EXPECT_FALSE(g.contains(99));
  EXPECT_FALSE(g.contains(77));
  auto hits = g.search(std::vector<float>{3}, 6);
  ASSERT_TRUE(hits);
  EXPECT_EQ((*hits)[0].id, 3u);
}

// A snapshot applied at load gives a node its record's lists whatever level
// the node drew; the next snapshot must bring every one of them back.
TEST(HnswEdgePage, RestoredListsSurviveTheNextSnapshot) {
  const struct {
    std::uint32_t node_level;  // drawn at insertion
    std::uint32_t record_level;
    std::vector<Block> blocks;
    std::uint32_t written_level;
  } cases[] = {
      {0, 3, {{0, 1, {2}}, {2, 2, {3, 4}}}, 3},
      {0, 1, {{0, 2, {2, 3}}, {1, 1, {4}}}, 1},
      {0, 0, {{0, 1, {5}}}, 0},
      {1, 0, {{0, 1, {5}}}, 1},
  };
  for (const auto& c : cases) {
    HnswGraph g = line_graph(5, seed_for_first_level(c.node_level));
    ASSERT_EQ(g.node_level(1), c.node_level);
    apply_edge_page(g, 1, page_of({header(*g.entry_point(), g.max_level(), 5),
                                   record(1, c.record_level, c.record_level + 1, c.blocks)}));
    const Lists restored = g.neighbor_lists(1);
    EXPECT_EQ(encode_node_record(g, 1), record(1, c.written_level, c.record_level + 1, c.blocks));

    HnswGraph copy = line_graph(5, seed_for_first_level(c.node_level));
    apply_edge_page(copy, 1, build_edge_page(g).bytes);
    Lists lists = copy.neighbor_lists(1);
    lists.resize(restored.size());  // a level above the lists adds empty ones
    EXPECT_EQ(lists, restored) << "record level " << c.record_level;
  }
}

TEST(HnswEdgePage, RestoreHeader) {
  {  // Entry 0 on an empty graph: absent.
    HnswGraph g(1, DistanceMetric::Euclidean);
    apply_edge_page(g, 1, page_of({header(0, 3, 0)}));
    EXPECT_FALSE(g.entry_point().has_value());
    EXPECT_EQ(g.max_level(), 0u);
  }
  HnswGraph g = line_graph(5, 4);
  const auto entry = *g.entry_point();
  const auto top = g.max_level();
  const std::uint64_t other = entry == 2 ? 3 : 2;
  apply_edge_page(g, 1, page_of({header(42, 7, 5)}));  // names no node
  EXPECT_EQ(g.entry_point(), entry);
  EXPECT_EQ(g.max_level(), top);
  apply_edge_page(g, 1, page_of({header(other, 13, 5)}));  // level out of range
  EXPECT_EQ(g.entry_point(), entry);
  EXPECT_EQ(g.max_level(), top);
  apply_edge_page(g, 1, page_of({Bytes(15, 1)}));  // too short
  EXPECT_EQ(g.entry_point(), entry);
  apply_edge_page(g, 1, page_of({header(other, 12, 5)}));
  EXPECT_EQ(g.entry_point(), other);
  EXPECT_EQ(g.max_level(), 12u);
  // Descending twelve layers the node has no lists on still finds everything.
  auto hits = g.search(std::vector<float>{5}, 5);
  ASSERT_TRUE(hits);
  EXPECT_EQ(hits->size(), 5u);
  EXPECT_EQ((*hits)[0].id, 5u);
  // The page's slot count bounds the reader: a page with slot_count 0 holds nothing.
  Bytes hidden = page_of({header(entry, 0, 5)});
  storage::put_u16(hidden.data() + 7, 0);
  apply_edge_page(g, 1, hidden);
  EXPECT_EQ(g.entry_point(), other);
}

TEST(HnswEdgePage, SnapshotThatDoesNotFitLeavesAnEmptyPage) {
  HnswGraph g = line_graph(40, 6);
  const EdgePageImage image = build_edge_page(g);
  EXPECT_EQ(image.records, 0u);
  EXPECT_EQ(image.bytes, storage::new_page_image(storage::kPageTypeHnswEdges));
  std::map<std::uint64_t, Lists> before;
  for (std::uint64_t id : g.node_ids()) before[id] = g.neighbor_lists(id);
  const auto entry = g.entry_point();
  apply_edge_page(g, 1, image.bytes);
  for (std::uint64_t id : g.node_ids()) EXPECT_EQ(g.neighbor_lists(id), before[id]);
  EXPECT_EQ(g.entry_point(), entry);
}

using Lists = std::vector<std::vector<std::uint64_t>>;

// A cache over an in-memory file of `pages` zeroed pages.
std::unique_ptr<storage::PageCache> mem_cache(std::shared_ptr<std::vector<std::uint8_t>> data) {
  return std::make_unique<storage::PageCache>("mem", std::make_unique<storage::MemFile>(data));
}

std::shared_ptr<std::vector<std::uint8_t>> zero_file(std::size_t pages) {
  return std::make_shared<std::vector<std::uint8_t>>(pages * storage::kPageSize, 0);
}

std::map<std::uint64_t, Lists> all_lists(const HnswGraph& g) {
  std::map<std::uint64_t, Lists> out;
  for (std::uint64_t id : g.node_ids()) out[id] = g.neighbor_lists(id);
  return out;
}

TEST(HnswEdges, PersistThenRestoreOnRebuiltGraph) {
  auto data = zero_file(3);
  const auto vectors = testing::clustered(12, 4, 2, 5);
  HnswGraph original = testing::build(vectors, DistanceMetric::Cosine, 101);
  {
    auto cache = mem_cache(data);
    auto written = persist_edges(original, *cache, 2);
    ASSERT_TRUE(written) << written.error();
    EXPECT_EQ(*written, 12u);
    ASSERT_TRUE(cache->flush_all());
  }
  // A fresh cache on the same bytes, as after a reopen; the rebuilt graph
  // drew other levels and made other links until the page is applied.
  auto cache = mem_cache(data);
  HnswGraph rebuilt = testing::build(vectors, DistanceMetric::Cosine, 202);
  ASSERT_TRUE(restore_edges(rebuilt, *cache, 2));
  EXPECT_EQ(rebuilt.entry_point(), original.entry_point());
  EXPECT_EQ(rebuilt.max_level(), original.max_level());
  EXPECT_EQ(all_lists(rebuilt), all_lists(original));
  for (const auto& v : vectors) {
    auto a = original.search(v, 5);
    auto b = rebuilt.search(v, 5);
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->size(), b->size());
    for (std::size_t i = 0; i < a->size(); ++i) EXPECT_EQ((*a)[i].id, (*b)[i].id);
  }
}

TEST(HnswEdges, StorageErrorsAreReported) {
  auto data = zero_file(2);
  auto cache = mem_cache(data);
  HnswGraph g = testing::build(testing::clustered(3, 2, 1, 1), DistanceMetric::Euclidean, 3);
  // Page 9 lies beyond the end of the file: it cannot be fetched.
  auto restored = restore_edges(g, *cache, 9);
  ASSERT_FALSE(restored);
  EXPECT_EQ(restored.error().to_string(), "I/O error: failed to fill whole buffer");
  auto persisted = persist_edges(g, *cache, 9);
  ASSERT_FALSE(persisted);
  EXPECT_EQ(persisted.error(), "I/O error: failed to fill whole buffer");
  // A never-written (all-zero) page restores nothing and is no error.
  const auto before = all_lists(g);
  ASSERT_TRUE(restore_edges(g, *cache, 1));
  EXPECT_EQ(all_lists(g), before);
}

}  // namespace
}  // namespace orvane::index
