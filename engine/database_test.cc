// Calls from many threads, in the files a killed process leaves behind
// (database file and log copied while the database is open).
#include "engine/database.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine/test_support.h"

namespace orvane::engine {
namespace {

using V = std::vector<float>;

std::shared_ptr<Database> open_copy(const TestDir& dir, const std::string& path,
                                    const std::string& name) {
  // A killed process leaves the database file and its log as they are.
  std::filesystem::copy_file(path, dir.path(name));
  if (file_exists(path + "-wal")) {
    std::filesystem::copy_file(path + "-wal", dir.path(name + "-wal"));
  }
  return open_ok(dir.path(name));
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
