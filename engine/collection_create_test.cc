#include <gtest/gtest.h>

#include <algorithm>

#include "engine/test_support.h"
#include "storage/coding.h"

namespace orvane::engine {
namespace {

using storage::get_u16;
using storage::get_u32;
using storage::get_u64;
using Bytes = std::vector<std::uint8_t>;

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(CreateCollection, FirstCollectionPagesRecordAndLogFrames) {
  TestDir dir;
  const std::string path = dir.path("db");
  auto db = open_ok(path);
  ASSERT_TRUE(db);
  auto created = db->create_collection("a", 3, std::nullopt);
  ASSERT_TRUE(created) << created.error().to_string();
  EXPECT_EQ(*created, 3u);

  // Header and catalog page are in the file at once, before any close.
  const Bytes file = read_file(path);
  ASSERT_EQ(file.size(), 4u * 4096);
  EXPECT_EQ(get_u64(&file[24]), 4u);  // next_page_id
  EXPECT_EQ(get_u64(&file[32]), 3u);  // catalog_page_id
  const Bytes data = page_of(file, 1), meta = page_of(file, 2), catalog = page_of(file, 3);
  EXPECT_EQ(data, storage::new_page_image(1));
  EXPECT_EQ(meta, storage::new_page_image(3));
  EXPECT_EQ(catalog[0], 4);
  EXPECT_EQ(get_u16(&catalog[7]), 1);
  const std::string record =
      R"({"name":"a","dimension":3,"distance":"Cosine","description":"","data_root_page":1,)"
      R"("metadata_root_page":2,"hnsw_edge_page":0,"index_type":"flat"})";
  EXPECT_EQ(record.size(), 144u);
  EXPECT_EQ(record_text(catalog, 0), record);
  EXPECT_EQ(get_u16(&catalog[5]), 1040 + 144);

  // One call, four frames: the header first, the last one marked as the end.
  const Bytes log = read_file(path + "-wal");
  ASSERT_EQ(log.size(), 32u + 4 * (28 + 4096));
  std::vector<std::uint32_t> frame_pages;
  for (int k = 0; k < 4; ++k) {
    const std::size_t at = 32 + k * (28 + 4096);
    frame_pages.push_back(get_u32(&log[at]));
    EXPECT_EQ(get_u64(&log[at + 4]) & 1, k == 3 ? 1u : 0u);
  }
  EXPECT_EQ(frame_pages, (std::vector<std::uint32_t>{0, 1, 2, 3}));
  EXPECT_EQ(Bytes(log.end() - 4096, log.end()), catalog);

  ASSERT_TRUE(db->close());
  EXPECT_EQ(read_file(path), file);
}

TEST(CreateCollection, RefusalsLeaveNothingBehind) {
  TestDir dir;
  const std::string path = dir.path("db");
  auto db = open_ok(path);
  ASSERT_TRUE(db);
  ASSERT_TRUE(db->create_collection("a", 3, std::nullopt));
  const Bytes file = read_file(path);
  const Bytes log = read_file(path + "-wal");

  auto again = db->create_collection("a", 5, "dot");
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().to_string(), "Collection already exists: a");
  auto bad_name = db->create_collection("\xFF", 3, std::nullopt);
  ASSERT_FALSE(bad_name);
  EXPECT_EQ(bad_name.error().to_string(),
            "Failed to serialize collection config: [json.exception.type_error.316] invalid "
            "UTF-8 byte at index 0: 0xFF");
  EXPECT_EQ(read_file(path), file);
  EXPECT_EQ(read_file(path + "-wal"), log);
  EXPECT_EQ(db->list_collections(), std::vector<std::string>{"a"});
  EXPECT_EQ(db->get_collection("a"), 3u);
}

TEST(CreateCollection, GetListAndOddNames) {
  TestDir dir;
  auto db = open_ok(dir.path("db"));
  ASSERT_TRUE(db);
  EXPECT_TRUE(db->list_collections().empty());
  EXPECT_EQ(db->get_collection("x").error().to_string(), "Collection not found: x");
  EXPECT_EQ(db->get_collection("").error().to_string(), "Collection not found: ");
  ASSERT_TRUE(db->create_collection("", 0, std::nullopt));
  ASSERT_TRUE(db->create_collection("b", 7, std::nullopt));
  EXPECT_EQ(sorted(db->list_collections()), (std::vector<std::string>{"", "b"}));
  EXPECT_EQ(db->get_collection(""), 0u);
  EXPECT_EQ(db->get_collection("b"), 7u);
  EXPECT_FALSE(db->get_collection("B"));
  ASSERT_TRUE(db->insert("", "z", std::vector<float>{}));
  EXPECT_EQ(db->count(""), 1u);
  db.reset();
  db = open_ok(dir.path("db"));
  ASSERT_TRUE(db);
  EXPECT_EQ(sorted(db->list_collections()), (std::vector<std::string>{"", "b"}));
  EXPECT_EQ(db->count(""), 1u);
}

TEST(CreateCollection, TwentyFitAndTheTwentyFirstLeavesNoTrace) {
  TestDir dir;
  const std::string path = dir.path("db");
  auto db = open_ok(path);
  ASSERT_TRUE(db);
  std::vector<std::string> names;
  for (char c = 'a'; c < 'a' + 20; ++c) {
    names.emplace_back(1, c);
    auto r = db->create_collection(names.back(), 3, std::nullopt);
    ASSERT_TRUE(r) << names.back() << ": " << r.error().to_string();
  }
  const Bytes file = read_file(path);
  auto full = db->create_collection("u", 3, std::nullopt);
  ASSERT_FALSE(full);
  EXPECT_EQ(full.error().kind(), EngineError::Kind::Internal);
  EXPECT_EQ(full.error().to_string(), "Catalog page full \xE2\x80\x94 cannot persist collection");
  EXPECT_EQ(full.error().to_string().size(), 47u);
  EXPECT_EQ(read_file(path), file);  // no page allocated
  EXPECT_EQ(db->get_collection("u").error().to_string(), "Collection not found: u");
  EXPECT_EQ(sorted(db->list_collections()), names);
  db.reset();
  db = open_ok(path);
  ASSERT_TRUE(db);
  EXPECT_EQ(sorted(db->list_collections()), names);
  EXPECT_FALSE(db->get_collection("u"));
  EXPECT_EQ(read_file(path).size(), file.size());
}

TEST(CreateCollection, CloseTwiceAndWritesAfterClose) {
  TestDir dir;
  const std::string path = dir.path("db");
  auto db = open_ok(path);
  ASSERT_TRUE(db);
  ASSERT_TRUE(db->create_collection("c", 2, "euclidean"));
  ASSERT_TRUE(db->insert("c", "a", std::vector<float>{0, 0}));
  ASSERT_TRUE(db->close());
  EXPECT_FALSE(file_exists(path + "-wal"));
  ASSERT_TRUE(db->close());
  EXPECT_FALSE(file_exists(path + "-wal"));

  // Still usable, and as durable as before the close: the log comes back.
  ASSERT_TRUE(db->insert("c", "b", std::vector<float>{3, 4}));
  auto found = db->search("c", std::vector<float>{0, 0}, 10);
  ASSERT_TRUE(found);
  EXPECT_EQ(ids_of(*found), (std::vector<std::string>{"a", "b"}));
  ASSERT_TRUE(file_exists(path + "-wal"));
  // What a killed process would leave behind.
  std::filesystem::copy_file(path, dir.path("copy"));
  std::filesystem::copy_file(path + "-wal", dir.path("copy-wal"));
  {
    auto copy = open_ok(dir.path("copy"));
    ASSERT_TRUE(copy);
    auto again = copy->search("c", std::vector<float>{0, 0}, 10);
    ASSERT_TRUE(again);
    EXPECT_EQ(ids_of(*again), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ((*again)[1].score, 5.0f);
  }
  db.reset();
  EXPECT_FALSE(file_exists(path + "-wal"));
}

}  // namespace
}  // namespace orvane::engine
