// Classic calls through the Database: id draws, metadata documents, refused
// calls that leave no trace, and calls from many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "engine/id_counter.h"
#include "engine/records.h"
#include "engine/test_support.h"
#include "storage/page.h"

namespace orvane::engine {
namespace {

using V = std::vector<float>;

std::vector<std::string> near(Scratch& f, const V& q, std::uint64_t k = 10) {
  return hit_texts(f.db->search("c", q, k).value());
}

TEST(Operations, MetadataAndRefusedCalls) {
  Scratch f;
  ASSERT_TRUE(f.db->create_collection("c", 1, "euclidean"));
  const auto doc = nlohmann::json::parse(R"({"tag": "x", "n": [1, 2.5, null]})");
  ASSERT_TRUE(f.db->insert("c", "a", V{1}, &doc));
  ASSERT_TRUE(f.db->insert("c", "b", V{2}));
  const std::string a = R"(a 0.000000 {"n":[1,2.5,null],"tag":"x"})";
  EXPECT_EQ(near(f, V{1}), (std::vector<std::string>{a, "b 1.000000 -"}));

  // Refused inserts and creations write nothing. A document too large for
  // the metadata page stops the whole insert.
  const auto file = read_file(f.path), log = read_file(f.path + "-wal");
  const auto bad = nlohmann::json("\xFF"), big = nlohmann::json(std::string(3100, 'x'));
  const std::tuple<V, const nlohmann::json*, const char*> refused[] = {
      {V{3}, &bad,
       "Metadata error: Serialization error: [json.exception.type_error.316] invalid UTF-8 byte "
       "at index 0: 0xFF"},
      {V{4}, &big, "Metadata page full"},
      {V{1, 2}, nullptr, "Dimension mismatch: expected 1, got 2"},
  };
  for (const auto& [v, metadata, error] : refused) {
    EXPECT_EQ(f.db->insert("c", "z", v, metadata).error().to_string(), error);
  }
  EXPECT_EQ(f.db->create_collection("c", 5, "dot").error().to_string(),
            "Collection already exists: c");
  EXPECT_EQ(f.db->create_collection("\xFF", 3, std::nullopt).error().to_string(),
            "Failed to serialize collection config: [json.exception.type_error.316] invalid "
            "UTF-8 byte at index 0: 0xFF");
  EXPECT_EQ(f.db->list_collections(), std::vector<std::string>{"c"});
  EXPECT_EQ(f.db->insert("c", "z", V{3}, &bad).error().kind(), EngineError::Kind::Metadata);
  EXPECT_EQ(read_file(f.path + "-wal"), log);
  EXPECT_EQ(read_file(f.path), file);
  EXPECT_EQ(f.db->count("c"), 2u);

  const auto seven = nlohmann::json(7);
  ASSERT_TRUE(f.db->insert("c", "b", V{2}, &seven));
  f.reopen();
  EXPECT_EQ(near(f, V{1}), (std::vector<std::string>{a, "b 1.000000 7"}));
  // A deleted document does not come back with a re-inserted id.
  ASSERT_TRUE(f.db->remove("c", "a"));
  ASSERT_TRUE(f.db->insert("c", "a", V{1}));
  f.reopen();
  EXPECT_EQ(near(f, V{1}, 1), std::vector<std::string>{"a 0.000000 -"});
}

// A generated id and the vector's internal id are two draws. 0 is never an
// internal id (an edge page means "no entry point" by it): a counter that
// wraps skips it.
TEST(Operations, IdDraws) {
  Scratch f;
  f.reopen();
  ASSERT_TRUE(f.db->create_collection("c", 1, "euclidean"));
  EXPECT_EQ(f.db->insert("c", std::nullopt, V{1}), "doc_10000");
  EXPECT_EQ(peek_id_counter(), 10002u);
  reset_id_counter(UINT64_MAX);  // saturates: the next draws are 2^64 - 1, then 0
  ASSERT_TRUE(f.db->insert("c", "a", V{1}));
  ASSERT_TRUE(f.db->insert("c", "b", V{2}));
  ASSERT_TRUE(f.db->close());
  const auto page = page_of(read_file(f.path), 1);
  for (std::uint16_t slot = 0; slot < 3; ++slot) {
    EXPECT_EQ(decode_vector_record(*storage::read_record(1, page, slot))->internal_id,
              std::vector<std::uint64_t>({10001, UINT64_MAX, 1})[slot]);
  }
}

// Every acknowledged call is in the files a killed process leaves (copied
// while the database is open). Rounds, because a missing lock shows only
// when two calls happen to overlap.
TEST(Persistence, CallsFromManyThreads) {
  constexpr int kThreads = 16, kEach = 40, kRounds = 25;
  for (int round = 0; round < kRounds && !HasFailure(); ++round) {
    Scratch f;
    for (int t = 0; t < kThreads; ++t) {
      ASSERT_TRUE(f.db->create_collection("c" + std::to_string(t), 2, "euclidean"));
    }
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        const std::string mine = "c" + std::to_string(t);
        const std::string other = "c" + std::to_string((t + 1) % kThreads);
        for (int i = 0; i < kEach; ++i) {
          if (!f.db->insert(mine, "v" + std::to_string(i), V{float(i), float(t)})) ++failures;
          if (i % 3 == 0 && !f.db->remove(mine, "v" + std::to_string(i / 3))) ++failures;
          if (!f.db->search(other, V{1, 1}, 5) || !f.db->count(other)) ++failures;
        }
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    const std::string killed = f.dir.path("killed");
    write_file(killed, read_file(f.path));
    if (file_exists(f.path + "-wal")) write_file(killed + "-wal", read_file(f.path + "-wal"));
    auto copy = open_ok(killed);
    for (int t = 0; t < kThreads; ++t) {
      const std::string name = "c" + std::to_string(t);
      EXPECT_EQ(f.db->count(name), std::uint64_t{kEach - 14}) << "round " << round;
      EXPECT_EQ(copy->count(name), std::uint64_t{kEach - 14}) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace orvane::engine
