// Classic inserts and deletes through the Database: id draws, refused calls
// that must leave no trace, metadata documents.
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
  // The nearest hits to `q` as "id score metadata".
  std::vector<std::string> near(const V& q, std::uint64_t k = 10) {
    std::vector<std::string> out;
    const auto found = db->search("c", q, k).value();
    for (const auto& r : found) {
      out.push_back(r.id + " " + std::to_string(r.score) + " " + r.metadata.value_or("-"));
    }
    return out;
  }
};

TEST(Operations, GeneratedIdAndInternalIdAreTwoDraws) {
  Fixture f;
  f.reopen();
  ASSERT_TRUE(f.db->create_collection("c", 1, std::nullopt));
  EXPECT_EQ(f.db->insert("c", std::nullopt, V{1}), "doc_10000");
  EXPECT_EQ(peek_id_counter(), 10002u);  // the vector took internal id 10001
}

TEST(Operations, RefusedInsertsLeaveNoTrace) {
  Fixture f;
  ASSERT_TRUE(f.db->create_collection("c", 128, "euclidean"));
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(f.db->insert("c", "id" + std::to_string(i), V(128, float(i))));
  const auto file = read_file(f.path), log = read_file(f.path + "-wal");
  const std::tuple<const char*, V, const char*> refused[] = {
      {"id5", V(128, 7), "Vector data page full"},  // a sixth 534-byte record does not fit
      {"id0", V(128, 9), "Vector data page full"},  // nor a replacement: the old vector stays
      {"short", V{1}, "Dimension mismatch: expected 128, got 1"},
  };
  for (const auto& [id, v, error] : refused) {
    EXPECT_EQ(f.db->insert("c", id, v).error().to_string(), error);
  }
  EXPECT_EQ(read_file(f.path + "-wal"), log);
  EXPECT_EQ(read_file(f.path), file);
  for (int pass = 0; pass < 2; ++pass, f.reopen()) {
    EXPECT_EQ(f.db->count("c"), 5u);
    EXPECT_EQ(f.near(V(128, 7), 1), std::vector<std::string>{"id4 33.941124 -"});
    EXPECT_EQ(f.near(V(128, 0), 1), std::vector<std::string>{"id0 0.000000 -"});
  }
}

TEST(Operations, Metadata) {
  Fixture f;
  ASSERT_TRUE(f.db->create_collection("c", 1, "euclidean"));
  const auto doc = nlohmann::json::parse(R"({"tag": "x", "n": [1, 2.5, null]})");
  ASSERT_TRUE(f.db->insert("c", "a", V{1}, &doc));
  ASSERT_TRUE(f.db->insert("c", "b", V{2}));
  const std::string a = R"(a 0.000000 {"n":[1,2.5,null],"tag":"x"})";
  EXPECT_EQ(f.near(V{1}), (std::vector<std::string>{a, "b 1.000000 -"}));

  const auto bad = nlohmann::json("\xFF");
  auto refused = f.db->insert("c", "z", V{3}, &bad);
  EXPECT_EQ(refused.error().kind(), EngineError::Kind::Metadata);
  EXPECT_TRUE(refused.error().to_string().starts_with("Metadata error: Serialization error: "));
  // A document too large for the metadata page stops the whole insert.
  const auto big = nlohmann::json(std::string(3100, 'x'));
  EXPECT_EQ(f.db->insert("c", "big", V{4}, &big).error().to_string(), "Metadata page full");
  EXPECT_EQ(f.db->count("c"), 2u);

  const auto seven = nlohmann::json(7);
  ASSERT_TRUE(f.db->insert("c", "b", V{2}, &seven));
  f.reopen();
  EXPECT_EQ(f.near(V{1}), (std::vector<std::string>{a, "b 1.000000 7"}));
  // A deleted document does not come back with a re-inserted id.
  ASSERT_TRUE(f.db->remove("c", "a"));
  ASSERT_TRUE(f.db->insert("c", "a", V{1}));
  f.reopen();
  EXPECT_EQ(f.near(V{1}, 1), std::vector<std::string>{"a 0.000000 -"});
}

// The counter restarts at every open at 10000 + the live count, so that its
// draws meet ids, external and internal, that are still in use.
TEST(Operations, DrawsSkipIdsInUseAfterDeletions) {
  Fixture f;
  ASSERT_TRUE(f.db->create_collection("c", 1, "euclidean"));
  f.reopen();
  for (const char* id : {"a", "b", "c", "d", "e"}) ASSERT_TRUE(f.db->insert("c", id, V{0}));
  ASSERT_TRUE(f.db->insert("c", "doc_10003", V{7}));  // internal ids 10000 .. 10005
  for (const char* id : {"a", "b", "c"}) ASSERT_TRUE(f.db->remove("c", id));
  for (const char* id : {"d", "e"}) ASSERT_TRUE(f.db->insert("c", id, V{float(id[0])}));
  f.reopen();
  ASSERT_EQ(peek_id_counter(), 10003u);
  const std::string generated = f.db->insert("c", std::nullopt, V{2}).value();
  ASSERT_TRUE(f.db->insert("c", "n", V{1}));
  EXPECT_NE(generated, "doc_10003");
  for (int pass = 0; pass < 2; ++pass, f.reopen()) {
    EXPECT_EQ(f.db->count("c"), 5u);
    for (const auto& [id, x] : std::vector<std::pair<std::string, float>>{
             {"d", 'd'}, {"e", 'e'}, {"doc_10003", 7}, {"n", 1}, {generated, 2}}) {
      EXPECT_EQ(f.near(V{x}, 1), std::vector<std::string>{id + " 0.000000 -"});
    }
  }
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
  for (std::uint16_t slot = 0; slot < 2; ++slot) {
    EXPECT_EQ(decode_vector_record(*storage::read_record(1, page, slot))->internal_id,
              slot == 0 ? UINT64_MAX : 1u);
  }
}

}  // namespace
}  // namespace orvane::engine
