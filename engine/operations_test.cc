#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "engine/id_counter.h"
#include "engine/records.h"
#include "engine/test_support.h"
#include "storage/page.h"

namespace orvane::engine {
namespace {

using V = std::vector<float>;

struct Fixture {
  TestDir dir;
  std::string path = dir.path("db");
  std::shared_ptr<Database> db = open_ok(path);
  void reopen() {
    db.reset();
    db = open_ok(path);
  }
};

std::vector<SearchResult> search(Database& db, const std::string& c, const V& q,
                                 std::uint64_t k = 10) {
  auto r = db.search(c, q, k);
  EXPECT_TRUE(r) << r.error().to_string();
  return r ? *r : std::vector<SearchResult>{};
}

TEST(Operations, GeneratedIdAndInternalIdAreTwoDraws) {
  Fixture f;
  f.reopen();
  ASSERT_TRUE(f.db->create_collection("c", 1, std::nullopt));
  EXPECT_EQ(f.db->insert("c", std::nullopt, V{1}), "doc_10000");
  EXPECT_EQ(peek_id_counter(), 10002u);  // the vector took internal id 10001
}

TEST(Operations, FailedInsertsLeaveNoTrace) {
  Fixture f;
  ASSERT_TRUE(f.db->create_collection("c", 128, "euclidean"));
  std::vector<V> vectors;
  for (int i = 0; i < 5; ++i) {
    vectors.emplace_back(128, float(i));
    ASSERT_TRUE(f.db->insert("c", "id" + std::to_string(1000 + i), vectors.back()));
  }
  const auto file = read_file(f.path);
  const auto log = read_file(f.path + "-wal");

  // A sixth 534-byte record does not fit: the vector is not searchable.
  auto full = f.db->insert("c", "id1005", V(128, 7.0f));
  ASSERT_FALSE(full);
  EXPECT_EQ(full.error().to_string(), "Vector data page full");
  EXPECT_EQ(f.db->count("c"), 5u);
  auto near7 = search(*f.db, "c", V(128, 7.0f), 1);
  ASSERT_EQ(near7.size(), 1u);
  EXPECT_EQ(near7[0].id, "id1004");
  // A replacement that does not fit keeps the old vector.
  EXPECT_EQ(f.db->insert("c", "id1000", V(128, 9.0f)).error().to_string(), "Vector data page full");
  EXPECT_EQ(search(*f.db, "c", vectors[0], 1)[0].score, 0.0f);
  // Wrong length: nothing registered, nothing stored.
  EXPECT_EQ(f.db->insert("c", "short", V{1}).error().to_string(),
            "Dimension mismatch: expected 128, got 1");
  EXPECT_EQ(f.db->count("c"), 5u);
  EXPECT_EQ(read_file(f.path + "-wal"), log);
  EXPECT_EQ(read_file(f.path), file);

  f.reopen();
  EXPECT_EQ(f.db->count("c"), 5u);
  EXPECT_EQ(search(*f.db, "c", vectors[0], 1)[0].id, "id1000");
  EXPECT_EQ(search(*f.db, "c", vectors[0], 1)[0].score, 0.0f);
}

TEST(Operations, DeleteThatCannotBeStoredIsRefused) {
  Fixture f;
  ASSERT_TRUE(f.db->create_collection("c", 0, std::nullopt));
  // 16-byte records with an empty id fill the page at 191; then no marker fits.
  for (int i = 0; i < 191; ++i) ASSERT_TRUE(f.db->insert("c", "", V{}));
  EXPECT_EQ(f.db->count("c"), 1u);
  auto refused = f.db->remove("c", "");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().to_string(), "Vector data page full");
  EXPECT_EQ(f.db->count("c"), 1u);
  f.reopen();
  EXPECT_EQ(f.db->count("c"), 1u);
  EXPECT_EQ(ids_of(search(*f.db, "c", V{})), std::vector<std::string>{""});
}

TEST(Operations, Metadata) {
  Fixture f;
  ASSERT_TRUE(f.db->create_collection("c", 1, "euclidean"));
  const auto doc = nlohmann::json::parse(R"({"tag": "x", "n": [1, 2.5, null]})");
  ASSERT_TRUE(f.db->insert("c", "a", V{1}, &doc));
  ASSERT_TRUE(f.db->insert("c", "b", V{2}));
  auto r = search(*f.db, "c", V{1});
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].metadata, R"({"n":[1,2.5,null],"tag":"x"})");
  EXPECT_FALSE(r[1].metadata);

  const auto bad = nlohmann::json("\xFF");
  auto refused = f.db->insert("c", "z", V{3}, &bad);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), EngineError::Kind::Metadata);
  EXPECT_EQ(refused.error().to_string().rfind("Metadata error: Serialization error: ", 0), 0u);
  EXPECT_EQ(f.db->count("c"), 2u);

  // A document too large for the metadata page stops the whole insert.
  const auto big = nlohmann::json(std::string(3100, 'x'));
  EXPECT_EQ(f.db->insert("c", "big", V{4}, &big).error().to_string(), "Metadata page full");
  EXPECT_EQ(f.db->count("c"), 2u);

  const auto other = nlohmann::json(7);
  ASSERT_TRUE(f.db->insert("c", "b", V{2}, &other));
  f.reopen();
  r = search(*f.db, "c", V{1});
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].metadata, R"({"n":[1,2.5,null],"tag":"x"})");
  EXPECT_EQ(r[1].metadata, "7");

  // A deleted document does not come back with a re-inserted id.
  ASSERT_TRUE(f.db->remove("c", "a"));
  ASSERT_TRUE(f.db->insert("c", "a", V{1}));
  f.reopen();
  r = search(*f.db, "c", V{1}, 1);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].id, "a");
  EXPECT_FALSE(r[0].metadata);
}

TEST(Operations, DrawsSkipIdsInUseAfterDeletions) {
  Fixture f;
  ASSERT_TRUE(f.db->create_collection("c", 1, "euclidean"));
  f.reopen();  // counter at 10000
  // Internal ids 10000 .. 10004.
  for (const char* id : {"a", "b", "c", "d", "e"}) ASSERT_TRUE(f.db->insert("c", id, V{0}));
  ASSERT_TRUE(f.db->insert("c", "doc_10003", V{7}));  // internal 10005
  ASSERT_TRUE(f.db->remove("c", "a"));
  ASSERT_TRUE(f.db->remove("c", "b"));
  ASSERT_TRUE(f.db->remove("c", "c"));
  for (const char* id : {"d", "e"}) ASSERT_TRUE(f.db->insert("c", id, V{float(id[0])}));
  f.reopen();  // 3 live: counter at 10003, which d, e and doc_10003 use
  ASSERT_EQ(peek_id_counter(), 10003u);
  auto generated = f.db->insert("c", std::nullopt, V{2});
  ASSERT_TRUE(generated);
  ASSERT_TRUE(f.db->insert("c", "n", V{1}));
  EXPECT_NE(*generated, "doc_10003");
  EXPECT_EQ(f.db->count("c"), 5u);
  for (const auto& [id, x] : std::vector<std::pair<std::string, float>>{
           {"d", 'd'}, {"e", 'e'}, {"doc_10003", 7}, {"n", 1}, {*generated, 2}}) {
    auto r = search(*f.db, "c", V{x}, 1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].id, id);
    EXPECT_EQ(r[0].score, 0.0f);
  }
  f.reopen();
  EXPECT_EQ(f.db->count("c"), 5u);
}

// 0 is never an internal id (an edge page means "no entry point" by it): a
// counter that wraps skips it.
TEST(Operations, InternalIdsSkipZeroWhenTheCounterWraps) {
  Fixture f;
  ASSERT_TRUE(f.db->create_collection("c", 1, "euclidean"));
  reset_id_counter(UINT64_MAX);  // saturates: the next draws are 2^64 - 1, then 0
  ASSERT_TRUE(f.db->insert("c", "a", V{1}));
  ASSERT_TRUE(f.db->insert("c", "b", V{2}));
  ASSERT_TRUE(f.db->close());
  const auto page = page_of(read_file(f.path), 1);
  std::vector<std::uint64_t> internal;
  for (std::uint16_t slot = 0; slot < 2; ++slot) {
    internal.push_back(decode_vector_record(*storage::read_record(1, page, slot))->internal_id);
  }
  EXPECT_EQ(internal, (std::vector<std::uint64_t>{UINT64_MAX, 1}));
}

}  // namespace
}  // namespace orvane::engine
