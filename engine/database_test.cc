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
#include "engine/test_support.h"
#include "index/distance.h"
#include "index/score_order.h"

namespace orvane::engine {
namespace {

using index::DistanceMetric;
using V = std::vector<float>;

// What the collections must hold, with the data page's use, so that a page
// that fills up is predicted exactly.
struct ModelCollection {
  std::string name;
  std::uint64_t dim;
  std::optional<std::string_view> argument;
  DistanceMetric metric;
  V query;
  std::map<std::string, V> live;
  std::size_t bytes = 0, slots = 0;

  bool fits(std::size_t length) const { return slots < 256 && bytes + length <= 3056; }
};

std::uint32_t bits(float f) {
  std::uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

void verify(Database& db, const std::vector<ModelCollection>& model, const std::string& when) {
  SCOPED_TRACE(when);
  std::vector<std::string> names;
  for (const auto& c : model) names.push_back(c.name);
  auto listed = db.list_collections();
  std::sort(listed.begin(), listed.end());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(listed, names);
  for (const auto& c : model) {
    auto count = db.count(c.name);
    ASSERT_TRUE(count) << c.name << ": " << count.error().to_string();
    ASSERT_EQ(*count, c.live.size()) << c.name;
    auto found = db.search(c.name, c.query, c.live.size() + 5);
    ASSERT_TRUE(found) << found.error().to_string();
    ASSERT_EQ(found->size(), c.live.size()) << c.name;
    for (std::size_t i = 0; i < found->size(); ++i) {
      const SearchResult& r = (*found)[i];
      auto it = c.live.find(r.id);
      ASSERT_NE(it, c.live.end()) << c.name << " has " << r.id;
      const float expected = index::distance(c.metric, c.query.data(), it->second.data(), c.dim);
      EXPECT_EQ(bits(r.score), bits(expected)) << c.name << " " << r.id;
      if (i > 0) {
        EXPECT_LE(index::score_key((*found)[i - 1].score), index::score_key(r.score));
      }
    }
  }
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

class RandomWorkload {
 public:
  RandomWorkload(std::uint64_t seed) : rng_(seed) {}

  void create(Database& db, std::vector<ModelCollection>& model) {
    model = {{"cos", 3, std::nullopt, DistanceMetric::Cosine, {}, {}},
             {"euc", 2, "euclidean", DistanceMetric::Euclidean, {}, {}},
             {"dot", 4, "dot", DistanceMetric::DotProduct, {}, {}},
             {"one", 1, "euclidean", DistanceMetric::Euclidean, {}, {}}};
    for (auto& c : model) {
      c.query = vec(c.dim);
      ASSERT_TRUE(db.create_collection(c.name, c.dim, c.argument));
    }
  }

  void run(Database& db, std::vector<ModelCollection>& model, int steps) {
    for (int step = 0; step < steps; ++step) {
      ModelCollection& c = model[pick(model.size())];
      const int kind = static_cast<int>(pick(100));
      if (kind < 55) {
        const bool generated = kind < 15;
        std::string id = "k" + std::to_string(pick(60));
        if (generated) {
          // The first number whose id is not taken (the counter is reset at
          // every open and may point at ids in use).
          for (std::uint64_t n = peek_id_counter();; ++n) {
            id = "doc_" + std::to_string(n);
            if (!c.live.contains(id)) break;
          }
        }
        const V v = vec(c.dim);
        const std::size_t length = 16 + id.size() + 4 * c.dim;
        auto r = db.insert(c.name, generated ? std::nullopt : std::optional(id), v);
        if (c.fits(length)) {
          ASSERT_TRUE(r) << step << ": " << r.error().to_string();
          ASSERT_EQ(*r, id);
          c.live[id] = v;
          c.bytes += length;
          ++c.slots;
        } else {
          ASSERT_FALSE(r) << step;
          ASSERT_EQ(r.error().to_string(), "Vector data page full");
          ++refused_;
        }
      } else if (kind < 90 && !c.live.empty()) {
        auto it = std::next(c.live.begin(), static_cast<std::ptrdiff_t>(pick(c.live.size())));
        const std::string id = it->first;
        auto r = db.remove(c.name, id);
        if (c.fits(4 + id.size())) {
          ASSERT_TRUE(r) << step << ": " << r.error().to_string();
          c.live.erase(id);
          c.bytes += 4 + id.size();
          ++c.slots;
        } else {
          ASSERT_FALSE(r) << step;
          ASSERT_EQ(r.error().to_string(), "Vector data page full");
          ++refused_;
        }
      } else {
        ASSERT_TRUE(db.remove(c.name, "nobody"));
      }
    }
  }

  // Calls refused because a data page was full.
  int refused() const { return refused_; }

 private:
  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }
  V vec(std::uint64_t dim) {
    std::uniform_real_distribution<float> u(-10.0f, 10.0f);
    V v(dim);
    for (float& x : v) x = u(rng_);
    return v;
  }
  std::mt19937_64 rng_;
  int refused_ = 0;
};

TEST(Persistence, RandomWorkloadSurvivesCloseReleaseAndKill) {
  for (std::uint64_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE(seed);
    TestDir dir;
    const std::string path = dir.path("db");
    auto db = open_ok(path);
    ASSERT_TRUE(db);
    RandomWorkload work(seed);
    std::vector<ModelCollection> model;
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

TEST(Persistence, ReopenKeepsEveryMetricsResultsBitForBit) {
  TestDir dir;
  const std::string path = dir.path("db");
  auto db = open_ok(path);
  ASSERT_TRUE(db);
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  auto vec = [&] {
    V v(8);
    for (float& x : v) x = u(rng);
    return v;
  };
  const std::vector<std::pair<std::string, std::optional<std::string_view>>> metrics = {
      {"c", std::nullopt}, {"e", "euclidean"}, {"d", "dot"}};
  std::vector<V> queries;
  for (int i = 0; i < 5; ++i) queries.push_back(vec());
  for (const auto& [name, argument] : metrics) {
    ASSERT_TRUE(db->create_collection(name, 8, argument));
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(db->insert(name, "v" + std::to_string(i), vec()));
    for (int i = 0; i < 40; i += 7) ASSERT_TRUE(db->remove(name, "v" + std::to_string(i)));
    for (int i = 1; i < 40; i += 9) ASSERT_TRUE(db->insert(name, "v" + std::to_string(i), vec()));
  }
  auto results = [&](Database& d) {
    std::vector<std::vector<std::pair<std::string, std::uint32_t>>> all;
    for (const auto& m : metrics) {
      for (const V& q : queries) {
        auto r = d.search(m.first, q, 50);
        EXPECT_TRUE(r);
        auto& out = all.emplace_back();
        for (const auto& x : *r) out.emplace_back(x.id, bits(x.score));
      }
    }
    return all;
  };
  const auto before = results(*db);
  EXPECT_EQ(before[0].size(), 35u);  // 40, less 6 deleted, plus v28 again
  ASSERT_TRUE(db->close());
  db.reset();
  db = open_ok(path);
  ASSERT_TRUE(db);
  EXPECT_EQ(results(*db), before);
}

TEST(Persistence, KilledProcessKeepsAcknowledgedCalls) {
  TestDir dir;
  const std::string path = dir.path("db");
  auto db = open_ok(path);
  ASSERT_TRUE(db);
  ASSERT_TRUE(db->create_collection("a", 2, "euclidean"));
  ASSERT_TRUE(db->insert("a", "x", V{1, 2}));
  ASSERT_TRUE(db->insert("a", "y", V{3, 4}));
  ASSERT_TRUE(db->remove("a", "x"));
  ASSERT_TRUE(db->create_collection("b", 1, std::nullopt));
  ASSERT_TRUE(db->insert("b", "z", V{1}));
  // Nothing but the catalog and header was written to the file itself.
  auto killed = open_copy(dir, path, "killed");
  ASSERT_TRUE(killed);
  EXPECT_EQ(killed->count("a"), 1u);
  EXPECT_EQ(ids_of(killed->search("a", V{1, 2}).value()), std::vector<std::string>{"y"});
  EXPECT_EQ(killed->count("b"), 1u);
  // Without its log, the copy still has both collections (their creation
  // wrote the header and the catalog page at once), but not the vectors.
  std::filesystem::copy_file(path, dir.path("no-log"));
  auto bare = open_ok(dir.path("no-log"));
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->count("a"), 0u);
  EXPECT_EQ(bare->count("b"), 0u);
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

TEST(Persistence, CallsFromManyThreads) {
  TestDir dir;
  const std::string path = dir.path("db");
  auto db = open_ok(path);
  ASSERT_TRUE(db);
  constexpr int kThreads = 4, kEach = 40;
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
    EXPECT_EQ(db->count(name), static_cast<std::uint64_t>(kEach - 14));
    EXPECT_EQ(killed->count(name), static_cast<std::uint64_t>(kEach - 14));
  }
}

}  // namespace
}  // namespace orvane::engine
