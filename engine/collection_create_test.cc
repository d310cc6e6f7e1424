#include <gtest/gtest.h>

#include "engine/test_support.h"
#include "storage/coding.h"

namespace orvane::engine {
namespace {

using storage::get_u16;
using storage::get_u32;
using storage::get_u64;
using Bytes = std::vector<std::uint8_t>;

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

}  // namespace
}  // namespace orvane::engine
