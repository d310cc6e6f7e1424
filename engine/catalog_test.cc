// The catalog: record text, decoding, room, write-through, refused creations.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/catalog.h"
#include "engine/catalog_writer.h"
#include "engine/collection.h"
#include "engine/test_support.h"
#include "storage/wal_test_util.h"

namespace orvane::engine {
namespace {

using index::DistanceMetric;

std::optional<CollectionConfig> decode(const std::string& text) {
  return decode_config(bytes_of(text));
}

TEST(Catalog, EncodesTheExactText) {
  CollectionConfig c;
  c.name = "a";
  c.dimension = 3;
  c.data_root_page = 1;
  c.metadata_root_page = 2;
  auto text = encode_config(c);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text,
            R"({"name":"a","dimension":3,"distance":"Cosine","description":"","data_root_page":1,)"
            R"("metadata_root_page":2,"hnsw_edge_page":0,"index_type":"flat"})");
  EXPECT_EQ(decode(*text), c);

  c.name = "q\"\\\n\x01\xC3\xA9";
  c.distance = DistanceMetric::DotProduct;
  c.dimension = UINT64_MAX;
  text = encode_config(c);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text,
            "{\"name\":\"q\\\"\\\\\\n\\u0001\xC3\xA9\",\"dimension\":18446744073709551615,"
            "\"distance\":\"DotProduct\",\"description\":\"\",\"data_root_page\":1,"
            "\"metadata_root_page\":2,\"hnsw_edge_page\":0,\"index_type\":\"flat\"}");
  EXPECT_EQ(decode(*text), c);

  c.name = "\xFF";
  auto bad = encode_config(c);
  ASSERT_FALSE(bad);
  EXPECT_NE(bad.error().find("invalid UTF-8"), std::string::npos) << bad.error();
}

TEST(Catalog, DecodingDefaultsArraysAndRefusals) {
  auto minimal = decode(R"({"name":"x","dimension":8})");
  ASSERT_TRUE(minimal);
  EXPECT_EQ(minimal->name, "x");
  EXPECT_EQ(minimal->dimension, 8u);
  EXPECT_EQ(minimal->distance, DistanceMetric::Cosine);
  EXPECT_EQ(minimal->description, "");
  EXPECT_EQ(minimal->data_root_page, 0u);
  EXPECT_EQ(minimal->metadata_root_page, 0u);
  EXPECT_EQ(minimal->hnsw_edge_page, 0u);
  EXPECT_EQ(minimal->index_type, "flat");
  EXPECT_FALSE(minimal->uses_hnsw());

  auto array = decode(R"(["x",8,"Euclidean","",1,2,0,"hnsw"])");
  ASSERT_TRUE(array);
  auto object =
      decode(R"({"index_type":"hnsw","hnsw_edge_page":0,"metadata_root_page":2,"data_root_page":1,)"
             R"("description":"","distance":"Euclidean","dimension":8,"name":"x"})");
  ASSERT_TRUE(object);
  EXPECT_EQ(*array, *object);
  EXPECT_TRUE(array->uses_hnsw());
  EXPECT_EQ(array->distance, DistanceMetric::Euclidean);
  EXPECT_EQ(array->data_root_page, 1u);
  EXPECT_EQ(array->metadata_root_page, 2u);
  // A short array takes the defaults for the missing trailing fields.
  EXPECT_EQ(decode(R"(["x",8])"), minimal);
  EXPECT_FALSE(decode(R"(["x"])"));
  EXPECT_FALSE(decode(R"(["x",8,"Cosine","",1,2,0,"flat",9])"));

  auto extra = decode(R"({"name":"x","comment":{"a":1,"a":2},"dimension":8})");
  ASSERT_TRUE(extra);
  EXPECT_EQ(*extra, *minimal);

  EXPECT_EQ(decode(R"({"name":"x","dimension":8,"distance":"DotProduct"})")->distance,
            DistanceMetric::DotProduct);
  EXPECT_EQ(decode(R"({"name":"x","dimension":18446744073709551615})")->dimension, UINT64_MAX);
  EXPECT_EQ(decode(R"({"name":"x","dimension":-0})")->dimension, 0u);
  EXPECT_EQ(
      decode(R"({"name":"x","dimension":8,"hnsw_edge_page":18446744073709551615})")->hnsw_edge_page,
      UINT64_MAX);

  for (const char* refused : {
           R"({"name":"x","dimension":8,"distance":"cosine"})",
           R"({"name":"x","dimension":8,"name":"y"})",
           R"({"name":"x"})",
           R"({"dimension":8})",
           R"({"name":"x","dimension":18446744073709551616})",
           R"({"name":"x","dimension":-1})",
           R"({"name":"x","dimension":8.0})",
           R"({"name":"x","dimension":"8"})",
           R"({"name":7,"dimension":8})",
           R"({"name":"x","dimension":8,"description":null})",
           R"({"name":"x","dimension":8,"index_type":1})",
           R"({"name":"x","dimension":8,"data_root_page":-5})",
           R"("x")",
       }) {
    EXPECT_FALSE(decode(refused)) << refused;
  }
}

TEST(Catalog, MetricArgument) {
  EXPECT_EQ(metric_from_argument(std::nullopt), DistanceMetric::Cosine);
  EXPECT_EQ(metric_from_argument("dot"), DistanceMetric::DotProduct);
  EXPECT_EQ(metric_from_argument("euclidean"), DistanceMetric::Euclidean);
  for (const char* other : {"Dot", "L2", "cosine", "Euclidean", "DotProduct", ""}) {
    EXPECT_EQ(metric_from_argument(other), DistanceMetric::Cosine) << other;
  }
}

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
      storage::FaultyFile* log_fault = storage::wrap_log_file(wal);

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
