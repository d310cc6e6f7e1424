// Catalog records whose data or metadata page field is 0: the open
// allocates the pages, and what is written to them must be found again.
#include <gtest/gtest.h>

#include "engine/errors.h"
#include "engine/test_support.h"

namespace orvane::engine {
namespace {

using V = std::vector<float>;

const std::string kNoPages = R"({"name":"c","dimension":2,"distance":"Euclidean"})";

TEST(OpenAllocatedPages, WritesSurviveCloseAndKill) {
  TestDir dir;
  const std::string path = dir.path("db");
  write_file(path, file_with_catalog({kNoPages}, 0));

  auto db = open_ok(path);
  ASSERT_TRUE(db);
  ASSERT_TRUE(db->insert("c", "a", V{1, 2}));
  // Killed here: the files as they are, the log included.
  const std::string copy = dir.path("copy");
  write_file(copy, read_file(path));
  write_file(copy + "-wal", read_file(path + "-wal"));
  ASSERT_TRUE(db->close());
  db.reset();

  for (const std::string& p : {path, copy}) {
    db = open_ok(p);
    ASSERT_TRUE(db);
    EXPECT_EQ(db->count("c"), 1u) << p;
    auto hits = db->search("c", V{1, 2});
    ASSERT_TRUE(hits);
    EXPECT_EQ(ids_of(*hits), std::vector<std::string>{"a"});
    db.reset();
  }
  // The completed record follows the original one; pages 2 and 3 were
  // handed out once, and later opens allocate nothing.
  const auto file = read_file(path);
  EXPECT_EQ(file.size(), 4u * storage::kPageSize);
  const auto catalog = page_of(file, 1);
  EXPECT_EQ(record_text(catalog, 0), kNoPages);
  EXPECT_EQ(record_text(catalog, 1),
            R"({"name":"c","dimension":2,"distance":"Euclidean","description":"",)"
            R"("data_root_page":2,"metadata_root_page":3,"hnsw_edge_page":0,"index_type":"flat"})");
  EXPECT_EQ(record_text(catalog, 2), "");
}

TEST(OpenAllocatedPages, CatalogWithoutRoomLoadsTheCollectionAndRefusesItsWrites) {
  TestDir dir;
  const std::string path = dir.path("db");
  // A record that does not decode fills the catalog's record area up to 20 bytes.
  const std::string filler(storage::kRecordAreaSize - kNoPages.size() - 20, 'x');
  const auto file = file_with_catalog({kNoPages, filler}, 0);
  write_file(path, file);

  auto db = open_ok(path);
  ASSERT_TRUE(db);
  EXPECT_EQ(db->count("c"), 0u);
  auto inserted = db->insert("c", "a", V{1, 2});
  ASSERT_FALSE(inserted);
  EXPECT_EQ(inserted.error().to_string(), kCatalogFull);
  ASSERT_TRUE(db->close());
  db.reset();
  EXPECT_EQ(read_file(path), file);  // no page allocated, nothing written
}

}  // namespace
}  // namespace orvane::engine
