// Format-2 databases through the engine's API: round trips across reopen,
// all-or-nothing batches, damaged files.
#include <gtest/gtest.h>

#include "engine/database.h"
#include "engine/file_validation.h"
#include "engine/test_support.h"
#include "storage/coding.h"
#include "storage/file.h"
#include "storage/v2_header.h"

namespace orvane::engine {
namespace {

TEST(V2Database, RoundTripsAnyDimensionIdAndMetadataLength) {
  struct Case {
    std::uint64_t dim, id_length, metadata_length;
    const char* index;
  };
  const Case cases[] = {{1, 1, 0, "flat"},
                        {3, 0, 2, "flat"},
                        {128, 9, 20, "hnsw"},
                        {1536, 40, 5000, "flat"},
                        {4096, 65536, 65536, "hnsw"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dim);
    TestDir dir;
    const std::string path = dir.path("db");
    const auto vectors = random_vectors(7, c.dim, static_cast<std::uint32_t>(c.dim));
    std::vector<std::string> ids;
    std::vector<std::optional<std::string>> metadata(7);
    for (std::uint64_t i = 0; i < 7; ++i) {
      ids.push_back(std::string(c.id_length, 'a') + std::to_string(i));
      if (c.metadata_length != 0 && i != 3) {
        metadata[i] = "\"" + std::string(c.metadata_length, static_cast<char>('a' + i)) + "\"";
      }
    }
    auto db = open_v2(path);
    EXPECT_EQ(db->format(), FileFormat::V2);
    ASSERT_TRUE(db->create_collection("c", c.dim, "Euclidean", index_kind(c.index)));
    EXPECT_EQ(db->add("c", vectors, 7, ids, metadata, WriteMode::Add), ids);
    ASSERT_TRUE(db->close());
    db.reset();
    db = open_v2(path);
    const auto info = db->collection_info("c").value();
    EXPECT_EQ(info.count, 7u);
    EXPECT_EQ(info.index.type, c.index);
    const auto got = db->get("c", ids, true).value();
    EXPECT_EQ(got.ids, ids);
    EXPECT_EQ(got.vectors, vectors);
    EXPECT_EQ(got.metadata, metadata);
    const auto found = db->search_batch("c", std::span(vectors).subspan(2 * c.dim, c.dim), 1, 3,
                                        nullptr, 0, 1, true)
                           .value();
    EXPECT_EQ(found.ids[0], ids[2]);
    EXPECT_EQ(found.metadata[0], metadata[2]);
  }
}

TEST(V2Database, BatchesAreAllOrNothingAndReplaceAndDeleteSurviveReopen) {
  TestDir dir;
  const std::string path = dir.path("db");
  const auto v = random_vectors(4, 2, 1);
  const std::vector<std::string> ab = {"a", "b"}, bc = {"b", "c"}, cd = {"c", "d"};
  auto db = open_v2(path);
  ASSERT_TRUE(db->create_collection("c", 2, "Cosine", index_kind("flat")));
  ASSERT_TRUE(db->add("c", std::span(v).first(4), 2, ab, {}, WriteMode::Add));
  // "b" exists: nothing of the batch is stored.
  EXPECT_EQ(db->add("c", std::span(v).subspan(4), 2, bc, {}, WriteMode::Add).error().to_string(),
            "Invalid configuration: id exists: b");
  EXPECT_EQ(db->count("c").value(), 2u);
  ASSERT_TRUE(db->add("c", std::span(v).subspan(4), 2, bc, {}, WriteMode::Upsert));
  EXPECT_EQ(db->remove_batch("c", cd, nullptr).value(), 1u);
  ASSERT_TRUE(db->insert("c", std::nullopt, std::span(v).first(2)));
  db.reset();
  db = open_v2(path);
  EXPECT_EQ(db->count("c").value(), 3u);
  const auto got = db->get("c", ab, true).value();
  EXPECT_EQ(got.ids, ab);
  EXPECT_EQ(got.vectors, (std::vector<float>{v[0], v[1], v[4], v[5]}));
  EXPECT_TRUE(db->get("c", cd, false)->ids.empty());
  ASSERT_TRUE(db->delete_collection("c"));
  ASSERT_TRUE(db->create_collection("c", 3, "dot", index_kind("flat")));
  EXPECT_EQ(db->get_collection("c").value(), 3u);
}

// Damage that open must refuse, leaving the file as it was and creating no log.
TEST(V2Database, DamagedFilesAreRefusedWithoutAWrite) {
  TestDir dir;
  const std::string good = dir.path("good");
  {
    auto db = open_v2(good);
    ASSERT_TRUE(db->create_collection("c", 2, "Cosine", index_kind("flat")));
    ASSERT_TRUE(db->add("c", random_vectors(300, 2, 3), 300, {}, {}, WriteMode::Add));
  }
  const auto bytes = read_file(good);
  // The header names the catalog's root directory; its first entry (at 32)
  // the catalog's data page, whose first entry holds the collection's slots
  // stream root at 8.
  const auto u64 = [&](std::size_t at) { return storage::get_u64(&bytes[at]); };
  const std::uint64_t catalog_dir = u64(32) * 4096, catalog_data = u64(catalog_dir + 32) * 4096;
  // Bytes put at an offset (width 4 or 8), or the file cut there (width 0).
  const std::tuple<std::size_t, std::uint64_t, int> cases[] = {
      {60, 0, 4},                      // header crc
      {catalog_dir, 0, 4},             // catalog directory kind
      {catalog_data, 7, 4},            // catalog entry length
      {catalog_data + 8, 1000, 8},     // slots root past the end
      {catalog_data + 8, u64(32), 8},  // slots root is the catalog's directory
      {bytes.size() - 4096, 0, 0},     // file cut short
      {27, 0, 0},                      // file cut inside its header page
  };
  for (const auto& [offset, value, width] : cases) {
    SCOPED_TRACE(offset);
    auto damaged = bytes;
    if (width == 0) damaged.resize(offset);
    if (width == 4) storage::put_u32(&damaged[offset], static_cast<std::uint32_t>(value));
    if (width == 8) storage::put_u64(&damaged[offset], value);
    const std::string path = dir.path("bad" + std::to_string(offset) + "-" + std::to_string(value));
    write_file(path, damaged);
    const std::string error = open_error(path);
    EXPECT_NE(error.find("Invalid database file"), std::string::npos) << error;
    EXPECT_EQ(read_file(path), damaged);
    EXPECT_FALSE(file_exists(path + "-wal"));
  }
  // A reader of the classic format refuses the file as not a database.
  auto file = storage::PosixFile::open(good, storage::OpenMode::ReadOnly);
  EXPECT_EQ(validate_database_file(**file).error().to_string(),
            "Invalid database file: wrong magic bytes");
}

}  // namespace
}  // namespace orvane::engine
