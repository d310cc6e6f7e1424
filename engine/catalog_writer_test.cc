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

TEST(CatalogWriter, CreationIsLoggedAndSynchronisedBeforeItsPagesAreWrittenInPlace) {
  enum class Fault { LogWrite, LogSync, CatalogWrite };
  struct Case {
    Fault fault;
    bool kept;
  };
  for (const Case c : {Case{Fault::LogWrite, false}, Case{Fault::LogSync, false},
                       Case{Fault::CatalogWrite, true}}) {
    SCOPED_TRACE(static_cast<int>(c.fault));
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
      storage::FaultyFile* db_fault = faulty.get();
      auto cache = std::make_shared<storage::PageCache>(path, std::move(faulty));
      storage::Wal wal(storage::wal_path_for(path));
      ASSERT_TRUE(wal.open());
      storage::FaultyFile* log_fault = nullptr;
      wal.wrap_file_for_testing([&](std::unique_ptr<storage::File> f) {
        auto w = std::make_unique<storage::FaultyFile>(std::move(f));
        log_fault = w.get();
        return w;
      });

      CollectionConfig config;
      config.name = "b";
      config.dimension = 2;
      CallUnit unit(*cache, wal);
      ASSERT_TRUE(Collection::materialise(config, cache));
      auto catalog = catalog_page(*cache);
      ASSERT_EQ(catalog, 3u);
      ASSERT_TRUE(append_config(*cache, *catalog, config));
      const std::uint64_t db_writes = db_fault->writes();
      if (c.fault == Fault::LogWrite) log_fault->fail_write_number(1);
      if (c.fault == Fault::LogSync) log_fault->fail_sync_number(1);
      if (c.fault == Fault::CatalogWrite) db_fault->fail_write_number(2);
      auto r = write_through(unit, *catalog);
      EXPECT_EQ(r.has_value(), c.kept);
      EXPECT_EQ(log_fault->syncs(), c.fault == Fault::LogWrite ? 0u : 1u);
      if (!c.kept) {
        EXPECT_EQ(r.error().to_string(),
                  "Storage error: I/O error: Input/output error (os error 5)");
        EXPECT_EQ(db_fault->writes(), db_writes);  // nothing written in place
        EXPECT_EQ(cache->read_header()->next_page_id, 4u);
        EXPECT_EQ(page_of(read_file(path), 0), page_of(original, 0));
        EXPECT_EQ(read_file(path + "-wal").size(), 32u);  // cut off again
      } else {
        cache->abandon();  // the torn catalog page stays torn: the log repairs it
      }
    }
    auto db = open_ok(path);
    ASSERT_TRUE(db);
    auto names = db->list_collections();
    std::sort(names.begin(), names.end());
    const std::vector<std::string> expected =
        c.kept ? std::vector<std::string>{"a", "b"} : std::vector<std::string>{"a"};
    EXPECT_EQ(names, expected);
  }
}

}  // namespace
}  // namespace orvane::engine
