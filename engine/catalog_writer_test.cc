#include "engine/catalog_writer.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/collection.h"
#include "engine/test_support.h"
#include "storage/mem_file.h"
#include "storage/wal.h"

namespace orvane::engine {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(CatalogWriter, RoomIsCheckedForEveryPendingRecordTogether) {
  TestDir dir;
  const std::string path = dir.path("db");
  ASSERT_TRUE(open_ok(path));
  auto file = storage::PosixFile::open(path, storage::OpenMode::ReadWrite);
  storage::PageCache cache(path, std::move(*file));
  std::vector<CollectionConfig> pending(20);
  for (std::size_t i = 0; i < pending.size(); ++i) {
    pending[i].name = std::string(1, static_cast<char>('a' + i));
    pending[i].dimension = 3;
  }
  EXPECT_TRUE(check_catalog_room(cache, pending));
  pending.push_back(pending.back());
  EXPECT_EQ(check_catalog_room(cache, pending).error().to_string(),
            "Catalog page full \xE2\x80\x94 cannot persist collection");
  pending.assign(1, CollectionConfig{});
  pending[0].name = std::string(2914, 'x');  // the record is 143 + 2914 = 3057 bytes
  EXPECT_EQ(check_catalog_room(cache, pending).error().to_string(),
            "Catalog page full \xE2\x80\x94 cannot persist collection");
  pending[0].name.pop_back();
  EXPECT_TRUE(check_catalog_room(cache, pending));
  EXPECT_EQ(read_file(path).size(), 4096u);  // nothing allocated
}

TEST(CatalogWriter, FailedCatalogFlushPutsHeaderAndCatalogBack) {
  TestDir dir;
  const std::string path = dir.path("db");
  {
    auto db = open_ok(path);
    ASSERT_TRUE(db->create_collection("a", 2, std::nullopt));
  }
  const Bytes original = read_file(path);
  {
    auto posix = storage::PosixFile::open(path, storage::OpenMode::ReadWrite);
    auto faulty = std::make_unique<storage::FaultyFile>(std::move(*posix));
    storage::FaultyFile* fault = faulty.get();
    auto cache = std::make_shared<storage::PageCache>(path, std::move(faulty));
    storage::Wal wal(storage::wal_path_for(path));
    ASSERT_TRUE(wal.open());

    CollectionConfig config;
    config.name = "b";
    config.dimension = 2;
    CallUnit unit(*cache, wal);
    ASSERT_TRUE(Collection::materialise(config, cache));
    EXPECT_EQ(config.data_root_page, 4u);
    auto catalog = catalog_page(*cache);
    ASSERT_EQ(catalog, 3u);
    ASSERT_TRUE(append_config(*cache, *catalog, config));
    fault->fail_write_number(2);  // page 0 reaches the file, the catalog page fails halfway
    auto r = write_through(unit, *catalog);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "Storage error: I/O error: Input/output error (os error 5)");
    EXPECT_EQ(cache->read_header()->next_page_id, 4u);
    const Bytes now = read_file(path);
    EXPECT_EQ(page_of(now, 0), page_of(original, 0));
    EXPECT_EQ(page_of(now, 3), page_of(original, 3));
    EXPECT_EQ(read_file(path + "-wal").size(), 32u);  // nothing logged
  }
  auto db = open_ok(path);
  ASSERT_TRUE(db);
  EXPECT_EQ(db->list_collections(), std::vector<std::string>{"a"});
  // The pages written before the failure are never handed out again.
  ASSERT_TRUE(db->create_collection("b", 2, std::nullopt));
  const Bytes catalog = page_of(read_file(path), 3);
  EXPECT_NE(record_text(catalog, 1).find(R"("data_root_page":6,"metadata_root_page":7)"),
            std::string::npos);
}

}  // namespace
}  // namespace orvane::engine
