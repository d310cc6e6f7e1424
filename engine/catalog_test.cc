// The catalog: record text, decoding, room, write-through.
#include "engine/catalog.h"

#include <gtest/gtest.h>

#include "engine/catalog_writer.h"
#include "engine/collection.h"
#include "engine/test_support.h"
#include "storage/mem_file.h"

namespace orvane::engine {
namespace {

using index::DistanceMetric;

std::optional<CollectionConfig> decode(const std::string& text) {
  return decode_config(bytes_of(text));
}

CollectionConfig config(std::string name, std::uint64_t dim, DistanceMetric metric = {},
                        std::uint64_t data = 0, std::uint64_t meta = 0, std::uint64_t edge = 0,
                        std::string index = "flat") {
  return {std::move(name), dim, metric, "", data, meta, edge, std::move(index)};
}

TEST(Catalog, EncodesTheExactText) {
  const std::pair<CollectionConfig, std::string> cases[] = {
      {config("a", 3, DistanceMetric::Cosine, 1, 2),
       R"({"name":"a","dimension":3,"distance":"Cosine","description":"","data_root_page":1,)"
       R"("metadata_root_page":2,"hnsw_edge_page":0,"index_type":"flat"})"},
      {config("q\"\\\n\x01\xC3\xA9", UINT64_MAX, DistanceMetric::DotProduct, 1, 2),
       "{\"name\":\"q\\\"\\\\\\n\\u0001\xC3\xA9\",\"dimension\":18446744073709551615,"
       "\"distance\":\"DotProduct\",\"description\":\"\",\"data_root_page\":1,"
       "\"metadata_root_page\":2,\"hnsw_edge_page\":0,\"index_type\":\"flat\"}"},
  };
  for (const auto& [c, text] : cases) {
    EXPECT_EQ(encode_config(c), text);
    EXPECT_EQ(decode(text), c);
  }
}

TEST(Catalog, DecodingDefaultsAndArrays) {
  const auto x8 = config("x", 8);
  const auto full = config("x", 8, DistanceMetric::Euclidean, 1, 2, 0, "hnsw");
  const std::pair<const char*, std::optional<CollectionConfig>> cases[] = {
      {R"({"name":"x","dimension":8})", x8},
      {R"(["x",8])", x8},  // a short array takes the defaults for the missing trailing fields
      {R"(["x",8,"Euclidean","",1,2,0,"hnsw"])", full},
      {R"({"index_type":"hnsw","hnsw_edge_page":0,"metadata_root_page":2,"data_root_page":1,)"
       R"("description":"","distance":"Euclidean","dimension":8,"name":"x"})",
       full},
      {R"({"name":"x","comment":{"a":1,"a":2},"dimension":8})", x8},
      {R"({"name":"x","dimension":8,"distance":"DotProduct"})",
       config("x", 8, DistanceMetric::DotProduct)},
      {R"({"name":"x","dimension":18446744073709551615})", config("x", UINT64_MAX)},
      {R"({"name":"x","dimension":-0})", config("x", 0)},
      {R"({"name":"x","dimension":8,"hnsw_edge_page":18446744073709551615})",
       config("x", 8, {}, 0, 0, UINT64_MAX)},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(decode(text), expected) << text;
  // Refusals: beside the tools' own decoding, tests/python/test_cli_records.py.
}

TEST(Catalog, MetricArgumentsOtherThanDotAndEuclideanMeanCosine) {
  for (const char* other : {"Dot", "L2", "cosine", "Euclidean", "DotProduct", ""}) {
    EXPECT_EQ(metric_from_argument(other), DistanceMetric::Cosine) << other;
  }
  EXPECT_EQ(metric_from_argument(std::nullopt), DistanceMetric::Cosine);
}

using Bytes = std::vector<std::uint8_t>;

TEST(CatalogWriter, RoomIsCheckedForEveryPendingRecordTogether) {
  TestDir dir;
  const std::string path = dir.path("db");
  ASSERT_TRUE(open_ok(path));  // a new file, released
  storage::PageCache cache(path, *storage::PosixFile::open(path, storage::OpenMode::ReadWrite));
  const std::string full = "Catalog page full \xE2\x80\x94 cannot persist collection";
  auto room = [&](const std::vector<CollectionConfig>& pending) {
    auto r = check_catalog_room(cache, pending);
    return r ? std::string("ok") : r.error().to_string();
  };
  std::vector<CollectionConfig> twenty;
  for (char name = 'a'; name < 'a' + 20; ++name) twenty.push_back(config({name}, 3));
  EXPECT_EQ(room(twenty), "ok");
  twenty.push_back(twenty.back());
  EXPECT_EQ(room(twenty), full);
  // A record of 143 + 2914 = 3057 bytes is one too many; 3056 fit.
  EXPECT_EQ(room({config(std::string(2914, 'x'), 0)}), full);
  EXPECT_EQ(room({config(std::string(2913, 'x'), 0)}), "ok");
  EXPECT_EQ(read_file(path).size(), 4096u);  // nothing allocated
}

// Faults: the log write, the log sync, the write of the catalog page in place.
TEST(CatalogWriter, CreationIsLoggedAndSynchronisedBeforeItsPagesAreWrittenInPlace) {
  for (const int fault : {0, 1, 2}) {
    SCOPED_TRACE(fault);
    const bool kept = fault == 2;
    Scratch f;
    ASSERT_TRUE(f.db->create_collection("a", 2, std::nullopt));
    f.db.reset();
    const Bytes original = read_file(f.path);
    {
      auto faulty = std::make_unique<storage::FaultyFile>(
          std::move(*storage::PosixFile::open(f.path, storage::OpenMode::ReadWrite)));
      storage::FaultyFile* file = faulty.get();
      auto cache = std::make_shared<storage::PageCache>(f.path, std::move(faulty));
      storage::Wal wal(storage::wal_path_for(f.path));
      ASSERT_TRUE(wal.open());
      storage::FaultyFile* log = storage::wrap_log_file(wal);
      CallUnit unit(*cache, wal);
      CollectionConfig b = config("b", 2);
      ASSERT_TRUE(Collection::materialise(b, cache));
      auto catalog = catalog_page(*cache);
      ASSERT_EQ(catalog, 3u);
      ASSERT_TRUE(append_config(*cache, *catalog, b));
      const std::uint64_t writes = file->writes();
      if (fault == 0) log->fail_write_number(1);
      if (fault == 1) log->fail_sync_number(1);
      if (fault == 2) file->fail_write_number(2);
      auto r = write_through(unit, *catalog);
      EXPECT_EQ(r.has_value(), kept);
      EXPECT_EQ(log->syncs(), fault == 0 ? 0u : 1u);
      if (!kept) {
        EXPECT_EQ(r.error().to_string(),
                  "Storage error: I/O error: Input/output error (os error 5)");
        EXPECT_EQ(file->writes(), writes);  // nothing written in place
        EXPECT_EQ(cache->read_header()->next_page_id, 4u);
        EXPECT_EQ(page_of(read_file(f.path), 0), page_of(original, 0));
        EXPECT_EQ(read_file(f.path + "-wal").size(), 32u);  // cut off again
      } else {
        cache->abandon();  // the torn catalog page stays torn: the log repairs it
      }
    }
    f.reopen();
    EXPECT_EQ(f.db->count("b").has_value(), kept);
  }
}

}  // namespace
}  // namespace orvane::engine
