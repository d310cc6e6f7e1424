// Persistence: everything a call acknowledged is there after close and
// reopen, after a release without close, and in the files a killed process
// leaves behind (database file and log copied while the database is open).
#include "engine/database.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <thread>

#include "engine/id_counter.h"
#include "engine/random_workload.h"
#include "engine/test_support.h"
#include "index/distance.h"
#include "index/score_order.h"

namespace orvane::engine {
namespace {

using V = std::vector<float>;

void verify(Database& db, const Model& model, const std::string& when) {
  EXPECT_EQ(difference(db, model), "") << when;
}

std::shared_ptr<Database> open_copy(const TestDir& dir, const std::string& path,
                                    const std::string& name) {
  // A killed process leaves the database file and its log as they are.
  std::filesystem::copy_file(path, dir.path(name));
  if (file_exists(path + "-wal")) {
    std::filesystem::copy_file(path + "-wal", dir.path(name + "-wal"));
  }
  return open_ok(dir.path(name));
}

TEST(Persistence, RandomWorkloadSurvivesCloseReleaseAndKill) {
  for (std::uint64_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    TestDir dir;
    const std::string path = dir.path("db");
    auto db = open_ok(path);
    ASSERT_TRUE(db);
    RandomWorkload work(seed);
    Model model;
    work.create(*db, model);
    work.run(*db, model, 300);
    verify(*db, model, "live");

    {
      auto killed = open_copy(dir, path, "killed");
      ASSERT_TRUE(killed);
      verify(*killed, model, "copy of a killed process");
    }
    ASSERT_TRUE(db->close());
    work.run(*db, model, 60);  // writes after close
    {
      auto killed = open_copy(dir, path, "killed-after-close");
      ASSERT_TRUE(killed);
      verify(*killed, model, "killed after close");
    }
    db.reset();  // released without close
    db = open_ok(path);
    ASSERT_TRUE(db);
    verify(*db, model, "reopened after release");
    work.run(*db, model, 300);
    EXPECT_GT(work.refused(), 0);  // the pages did fill up
    ASSERT_TRUE(db->close());
    db.reset();
    db = open_ok(path);
    ASSERT_TRUE(db);
    verify(*db, model, "reopened after close");
  }
}

TEST(Persistence, LogIsCheckpointedAtItsThreshold) {
  TestDir dir;
  const std::string path = dir.path("db");
  auto db = open_ok(path);
  ASSERT_TRUE(db);
  const std::size_t frame = 28 + 4096;
  // 6 creations (24 frames) and 6 x 191 one-frame inserts pass 1000 frames.
  for (int c = 0; c < 6; ++c) {
    const std::string name(1, static_cast<char>('a' + c));
    ASSERT_TRUE(db->create_collection(name, 0, std::nullopt));
    for (int i = 0; i < 191; ++i) ASSERT_TRUE(db->insert(name, "", V{}));
    EXPECT_EQ(db->insert(name, "", V{}).error().to_string(), "Vector data page full");
  }
  const std::size_t log = read_file(path + "-wal").size();
  EXPECT_LT(log, 32 + 200 * frame);  // emptied once on the way
  EXPECT_EQ((log - 32) % frame, 0u);
  auto killed = open_copy(dir, path, "killed");
  ASSERT_TRUE(killed);
  for (char c = 'a'; c < 'g'; ++c) EXPECT_EQ(killed->count(std::string(1, c)), 1u);
}

// Calls from many threads: every acknowledged one is in the files a killed
// process leaves. Rounds, because a missing lock shows only when two calls
// happen to overlap.
TEST(Persistence, CallsFromManyThreads) {
  constexpr int kThreads = 16, kEach = 40, kRounds = 25;
  for (int round = 0; round < kRounds && !HasFailure(); ++round) {
    TestDir dir;
    const std::string path = dir.path("db");
    auto db = open_ok(path);
    ASSERT_TRUE(db);
    for (int t = 0; t < kThreads; ++t) {
      ASSERT_TRUE(db->create_collection("c" + std::to_string(t), 2, "euclidean"));
    }
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        const std::string mine = "c" + std::to_string(t);
        const std::string other = "c" + std::to_string((t + 1) % kThreads);
        for (int i = 0; i < kEach; ++i) {
          if (!db->insert(mine, "v" + std::to_string(i), V{float(i), float(t)})) ++failures;
          if (i % 3 == 0 && !db->remove(mine, "v" + std::to_string(i / 3))) ++failures;
          if (!db->search(other, V{1, 1}, 5)) ++failures;
          if (!db->count(other)) ++failures;
        }
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    auto killed = open_copy(dir, path, "killed");
    ASSERT_TRUE(killed);
    for (int t = 0; t < kThreads; ++t) {
      const std::string name = "c" + std::to_string(t);
      EXPECT_EQ(db->count(name), static_cast<std::uint64_t>(kEach - 14)) << "round " << round;
      EXPECT_EQ(killed->count(name), static_cast<std::uint64_t>(kEach - 14)) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace orvane::engine
