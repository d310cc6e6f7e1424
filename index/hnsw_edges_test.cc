#include "index/hnsw_edges.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

#include "index/hnsw_test_util.h"
#include "storage/mem_file.h"
#include "storage/page.h"
#include "storage/page_cache.h"

namespace orvane::index {
namespace {

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
