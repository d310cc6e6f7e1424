// Calls from many threads: every acknowledged one is in the files a killed
// process leaves (database file and log copied while the database is open).
// Rounds, because a missing lock shows only when two calls happen to overlap.
#include "engine/database.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine/test_support.h"

namespace orvane::engine {
namespace {

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
          const std::vector<float> v = {float(i), float(t)};
          if (!db->insert(mine, "v" + std::to_string(i), v)) ++failures;
          if (i % 3 == 0 && !db->remove(mine, "v" + std::to_string(i / 3))) ++failures;
          if (!db->search(other, std::vector<float>{1, 1}, 5) || !db->count(other)) ++failures;
        }
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    for (const char* suffix : {"", "-wal"}) {
      if (file_exists(path + suffix))
        write_file(dir.path("killed") + suffix, read_file(path + suffix));
    }
    auto killed = open_ok(dir.path("killed"));
    ASSERT_TRUE(killed);
    for (int t = 0; t < kThreads; ++t) {
      const std::string name = "c" + std::to_string(t);
      EXPECT_EQ(db->count(name), std::uint64_t{kEach - 14}) << "round " << round;
      EXPECT_EQ(killed->count(name), std::uint64_t{kEach - 14}) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace orvane::engine
