// Opening a classic file: a new file's bytes, stale logs, collection pages
// checked before anything is written, and catalog records whose data or
// metadata page field is 0 (the open allocates the pages, and what is
// written to them must be found again).
#include <gtest/gtest.h>

#include "engine/errors.h"
#include "engine/test_support.h"
#include "storage/coding.h"
#include "storage/file.h"

namespace orvane::engine {
namespace {

using storage::get_u32;
using storage::get_u64;
using Bytes = std::vector<std::uint8_t>;

TEST(DatabaseOpen, NewFileBytesAndLog) {
  TestDir dir;
  const std::string path = dir.path("new.db");
  const std::uint64_t before = storage::wall_clock_seconds();
  auto db = open_ok(path);
  const std::uint64_t after = storage::wall_clock_seconds();
  ASSERT_TRUE(db);
  EXPECT_EQ(db->path(), path);
  EXPECT_TRUE(db->list_collections().empty());

  const Bytes file = read_file(path);
  ASSERT_EQ(file.size(), 4096u);
  const Bytes magic = {'K', 'e', 's', 't', 'r', 'u', 'm', ' ', 'v', '1', 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 16), magic);
  EXPECT_EQ(get_u32(&file[16]), 1u);
  EXPECT_EQ(get_u32(&file[20]), 4096u);
  EXPECT_EQ(get_u64(&file[24]), 1u);
  EXPECT_EQ(get_u64(&file[32]), 0u);
  EXPECT_EQ(get_u64(&file[40]), 0u);
  EXPECT_GE(get_u64(&file[48]), before);
  EXPECT_LE(get_u64(&file[48]), after);
  for (std::size_t i = 56; i < file.size(); ++i) ASSERT_EQ(file[i], 0) << i;

  EXPECT_EQ(read_file(path + "-wal").size(), 32u);  // a header only

  db.reset();  // release: close steps, the log goes
  EXPECT_FALSE(file_exists(path + "-wal"));
  EXPECT_EQ(read_file(path), file);
}

TEST(DatabaseOpen, StaleLogBesideANewFileIsDeletedNotReplayed) {
  TestDir dir;
  Bytes stale_log;
  {
    auto other = open_ok(dir.path("other.db"));
    ASSERT_TRUE(other);
    ASSERT_TRUE(other->create_collection("old", 2, std::nullopt));
    ASSERT_TRUE(other->insert("old", "x", std::vector<float>{1, 2}));
    stale_log = read_file(dir.path("other.db-wal"));
    ASSERT_GT(stale_log.size(), 32u);  // holds frames
  }
  for (bool empty_file : {false, true}) {
    const std::string path = dir.path(empty_file ? "empty.db" : "missing.db");
    if (empty_file) write_file(path, {});
    write_file(path + "-wal", stale_log);
    auto db = open_ok(path);
    ASSERT_TRUE(db);
    EXPECT_TRUE(db->list_collections().empty());
    EXPECT_EQ(read_file(path + "-wal").size(), 32u);
    EXPECT_EQ(read_file(path).size(), 4096u);
  }
}

TEST(DatabaseOpen, CollectionPageFieldsAreCheckedBeforeAnythingIsWritten) {
  TestDir dir;
  const std::string prefix = "Storage error: Invalid database file: ";
  struct Case {
    std::vector<std::string> records;
    std::string text;
    std::uint64_t type_page = 0;  // page given the type byte `type`, 0 = none
    std::uint8_t type = 0;
  };
  const std::vector<Case> cases = {
      {{R"({"name":"a","dimension":1,"data_root_page":9,"metadata_root_page":3})"},
       "collection a: data_root_page 9 lies past the end of the file (16384 bytes)"},
      {{R"({"name":"a","dimension":1,"data_root_page":1})"},
       "collection a: data_root_page 1 is already used by the catalog"},
      {{R"({"name":"a","dimension":1,"data_root_page":2,"metadata_root_page":3})",
        R"({"name":"b","dimension":1,"data_root_page":3})"},
       "collection b: data_root_page 3 is already used by collection a"},
      {{R"({"name":"a","dimension":1,"data_root_page":2,"metadata_root_page":2})"},
       "collection a: metadata_root_page 2 is already used by collection a"},
      {{R"({"name":"a","dimension":1,"data_root_page":2,"metadata_root_page":3})"},
       "collection a: data_root_page 2 has page type 3", 2, 3},
      {{R"({"name":"a","dimension":1,"index_type":"hnsw","hnsw_edge_page":3})"},
       "collection a: hnsw_edge_page 3 has page type 1", 3, 1},
      {{R"({"name":"a","dimension":1})"}, "catalog page 1 has page type 1", 1, 1},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string path = dir.path("db" + std::to_string(n++));
    Bytes file = file_with_catalog(c.records, 2);
    if (c.type_page != 0) set_page_type(file, c.type_page, c.type);
    write_file(path, file);
    EXPECT_EQ(open_error(path), prefix + c.text);
    EXPECT_EQ(read_file(path), file) << c.text;
    EXPECT_FALSE(file_exists(path + "-wal")) << c.text;
  }
}

TEST(DatabaseOpen, UnwrittenPagesAndRepeatedNamesAreAccepted) {
  TestDir dir;
  const std::string path = dir.path("db");
  // Pages 2 and 3 were never written (all zero); the first record of "a" is
  // superseded by the second, so its overlapping page does not count.
  write_file(path, file_with_catalog({R"({"name":"a","dimension":1,"data_root_page":3})",
                                      R"({"name":"a","dimension":2,"data_root_page":2,)"
                                      R"("metadata_root_page":3})"},
                                     2));
  auto db = open_ok(path);
  ASSERT_TRUE(db);
  EXPECT_EQ(db->list_collections(), std::vector<std::string>{"a"});
  EXPECT_EQ(db->get_collection("a"), 2u);
  ASSERT_TRUE(db->insert("a", "v", std::vector<float>{1, 2}));
  ASSERT_TRUE(db->close());
  const Bytes page = page_of(read_file(path), 2);
  EXPECT_EQ(page[0], 0);                             // the type byte stays as it was
  EXPECT_EQ(storage::get_u16(&page[5]), 1040 + 25);  // appended from 1040 on
  EXPECT_EQ(storage::get_u16(&page[7]), 1);
  EXPECT_EQ(storage::get_u16(&page[16]), 1040);
  EXPECT_EQ(read_file(path).size(), 4u * 4096);  // nothing allocated
}

TEST(DatabaseOpen, FilesAreAddressedByTheResolvedPath) {
  TestDir dir;
  std::filesystem::create_directory(dir.path("real"));
  std::filesystem::create_directory(dir.path("elsewhere"));
  const std::string target = dir.path("real/target.db");
  const std::string link = dir.path("link.db");
  ASSERT_TRUE(open_ok(target));
  std::filesystem::create_symlink(target, link);
  {
    auto db = open_ok(link);
    ASSERT_TRUE(db);
    EXPECT_EQ(db->path(), link);
    EXPECT_TRUE(file_exists(target + "-wal"));
    EXPECT_FALSE(file_exists(link + "-wal"));
  }
  EXPECT_FALSE(file_exists(target + "-wal"));

  // A relative path keeps naming the file it named at open.
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path("real"));
  auto db = open_ok("target.db");
  std::filesystem::current_path(dir.path("elsewhere"));
  write_file("target.db", bytes_of("not ours"));
  ASSERT_TRUE(db);
  EXPECT_EQ(db->path(), "target.db");
  EXPECT_TRUE(db->create_collection("c", 1, std::nullopt));
  EXPECT_TRUE(db->close());
  EXPECT_EQ(read_file("target.db"), bytes_of("not ours"));
  EXPECT_FALSE(file_exists("target.db-wal"));
  std::filesystem::current_path(cwd);
  EXPECT_EQ(read_file(target).size(), 4u * 4096);
  EXPECT_FALSE(file_exists(target + "-wal"));
}

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
