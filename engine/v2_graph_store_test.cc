// HNSW graphs of format-2 collections across a kill: the graph an open
// restores from the last image reaches every stored vector, names no deleted
// one, and re-inserts only what changed since the image was written.
#include "engine/v2_graph_store.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/test_support.h"
#include "index/hnsw_test_util.h"
#include "storage/v2_header.h"
#include "storage/wal_format.h"

namespace orvane::engine {
namespace {

constexpr std::uint64_t kDim = 8;

std::vector<std::string> names(const std::string& prefix, std::uint64_t from, std::uint64_t n) {
  std::vector<std::string> out;
  for (std::uint64_t i = from; i < from + n; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

// What an open finds in the files a killed process left: the log replayed,
// then catalog and collections loaded.
std::unique_ptr<V2Store> open_store(const std::string& path) {
  storage::Wal wal(storage::wal_path_for(path));
  wal.set_header_magic(storage::kV2Magic);
  EXPECT_TRUE(storage::replay_leftover_wal(wal, path));
  auto cache = std::make_shared<storage::PageCache>(
      path, std::move(*storage::PosixFile::open(path, storage::OpenMode::ReadWrite)));
  auto page = cache->fetch_page(0);
  auto header = storage::V2Header::decode(std::as_const(**page).bytes());
  auto store = load_v2_store(cache, *header);
  EXPECT_TRUE(store) << store.error().to_string();
  return store ? std::move(*store) : nullptr;
}

TEST(V2GraphStore, KilledProcessReopensWithOnlyTheChangesReinserted) {
  constexpr std::uint64_t kRows = 400;
  struct Case {
    bool close_first;  // else the image comes from checkpoints alone
    std::uint64_t adds, replaces, deletes;
    bool damage;
  };
  for (const Case c : {Case{true, 0, 0, 0, false}, Case{true, 30, 20, 25, false},
                       Case{true, 5, 5, 5, true}, Case{false, 10, 10, 10, false}}) {
    SCOPED_TRACE(testing::Message() << c.adds << c.damage << c.close_first);
    Scratch f(FileFormat::V2);
    f.options.cache_budget_bytes = 1 << 20;  // a checkpoint every 256 frames
    f.reopen();
    ASSERT_TRUE(f.db->create_collection("c", kDim, "Euclidean", IndexSpec{}));
    const auto first = random_vectors(kRows, kDim, 1);
    const std::uint64_t batch = c.close_first ? kRows : 4;
    for (std::uint64_t i = 0; i < kRows; i += batch) {
      ASSERT_TRUE(f.db->add("c", std::span(first).subspan(i * kDim, batch * kDim), batch,
                            names("v", i, batch), {}, WriteMode::Add));
    }
    ASSERT_TRUE(!c.close_first || f.db->close());
    ASSERT_TRUE(f.db->add("c", random_vectors(c.adds, kDim, 2), c.adds, names("n", 0, c.adds), {},
                          WriteMode::Add));
    ASSERT_TRUE(f.db->add("c", random_vectors(c.replaces, kDim, 3), c.replaces,
                          names("v", 0, c.replaces), {}, WriteMode::Upsert));
    ASSERT_TRUE(f.db->remove_batch("c", names("v", kRows - c.deletes, c.deletes), nullptr));

    // The files as they are (calls that changed nothing leave no log after a close).
    const std::string killed = f.dir.path("killed");
    auto bytes = read_file(f.path);
    if (file_exists(f.path + "-wal")) write_file(killed + "-wal", read_file(f.path + "-wal"));
    for (std::size_t at = 0; c.damage && at < bytes.size(); at += storage::kPageSize) {
      if (std::equal(bytes.begin() + at, bytes.begin() + at + 4, "HNSW")) bytes[at + 64] ^= 1;
    }
    write_file(killed, bytes);
    auto store = open_store(killed);
    ASSERT_TRUE(store);
    const V2Collection& col = *store->collections.at("c");
    const index::HnswGraph& g = *col.hnsw();
    std::vector<std::uint64_t> live, nodes = g.node_ids();
    for (std::uint64_t s = 0; s < col.generations().size(); ++s) {
      if (col.generations()[s] != 0) live.push_back(s);
    }
    std::sort(nodes.begin(), nodes.end());
    EXPECT_EQ(nodes, live);
    EXPECT_EQ(live.size(), kRows + c.adds - c.deletes);
    EXPECT_EQ(index::testing::reachable_layer0(g).size(), g.node_count());
    index::testing::expect_lists_sound(g, index::testing::id_set(g));
    // A damaged image means a build from the vectors.
    const std::uint64_t changed = c.damage ? live.size() : c.adds + 2 * c.replaces + c.deletes;
    if (c.close_first) {
      EXPECT_EQ(col.graph_changes(), changed);
    } else {
      EXPECT_LT(col.graph_changes(), kRows);
    }
  }
}

}  // namespace
}  // namespace orvane::engine
