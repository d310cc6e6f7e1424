// One Database per file and process: opens of one file share it, whatever
// path names the file; a file in another's place is another database, and
// the old one's release leaves the new one's files alone.
#include "engine/open_registry.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "engine/id_counter.h"
#include "engine/test_support.h"

namespace orvane::engine {
namespace {

using V = std::vector<float>;

TEST(OpenRegistryTest, EveryPathToOneFileGivesTheSameDatabase) {
  TestDir dir;
  const std::string path = dir.path("a.db");
  OpenRegistry& registry = OpenRegistry::instance();
  const std::size_t before = registry.size();
  auto db = open_ok(path);
  ASSERT_TRUE(db->create_collection("c", 2, std::nullopt));
  std::filesystem::create_symlink(path, dir.path("link.db"));
  const std::string relative = std::filesystem::relative(path).string();
  for (const std::string& other : {path, dir.path("link.db"), relative, dir.path("./a.db")}) {
    EXPECT_EQ(open_ok(other).get(), db.get()) << other;
  }
  EXPECT_EQ(db->path(), path);  // the path of the open that made it
  auto other = open_ok(dir.path("b.db"));
  EXPECT_NE(other.get(), db.get());
  EXPECT_TRUE(other->list_collections().empty());
  EXPECT_EQ(registry.size(), before + 2);
  // The entry goes with the Database; the next open runs the open sequence.
  db.reset();
  EXPECT_EQ(registry.size(), before + 1);
  EXPECT_FALSE(file_exists(path + "-wal"));
  auto reopened = open_ok(path);
  EXPECT_TRUE(file_exists(path + "-wal"));
  EXPECT_EQ(reopened->list_collections(), std::vector<std::string>{"c"});
}

TEST(OpenRegistryTest, SharedOpenResetsTheIdCounter) {
  TestDir dir;
  auto db = open_ok(dir.path("a.db"));
  ASSERT_TRUE(db->create_collection("c", 1, std::nullopt));
  for (float f : {1.0f, 2.0f, 3.0f}) ASSERT_TRUE(db->insert("c", std::nullopt, V{f}));
  for (int i = 0; i < 50; ++i) (void)draw_id();
  auto other = open_ok(dir.path("b.db"));
  EXPECT_EQ(peek_id_counter(), 10000u);
  auto again = open_ok(dir.path("a.db"));
  EXPECT_EQ(again.get(), db.get());
  EXPECT_EQ(peek_id_counter(), 10003u);
}

TEST(OpenRegistryTest, ConcurrentOpensOfANewFileShareOneDatabase) {
  TestDir dir;
  const std::string path = dir.path("new.db");
  std::vector<std::shared_ptr<Database>> opened(8);
  std::vector<std::thread> threads;
  for (auto& slot : opened) {
    threads.emplace_back([&slot, &path] {
      auto db = Database::open(path);
      if (db) slot = *db;
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& db : opened) {
    ASSERT_TRUE(db);
    EXPECT_EQ(db.get(), opened[0].get());
  }
}

TEST(OpenRegistryTest, FileReplacedAtThePathIsAnotherDatabase) {
  TestDir dir;
  const std::string path = dir.path("a.db");
  auto old_db = open_ok(path);
  ASSERT_TRUE(old_db->create_collection("old", 2, std::nullopt));
  std::filesystem::remove(path);
  auto new_db = open_ok(path);
  ASSERT_NE(new_db.get(), old_db.get());
  EXPECT_TRUE(new_db->list_collections().empty());
  ASSERT_TRUE(new_db->create_collection("new", 2, std::nullopt));
  ASSERT_TRUE(new_db->insert("new", "n", V{2, 2}));
  // The old database goes on with its own file, through its own log, and
  // its release leaves the new one's files alone.
  ASSERT_TRUE(old_db->insert("old", "o", V{3, 3}));
  EXPECT_EQ(old_db->count("old").value(), 1u);
  const auto file = read_file(path), log = read_file(path + "-wal");
  ASSERT_GT(log.size(), 32u);
  ASSERT_TRUE(old_db->close());
  old_db.reset();
  EXPECT_EQ(read_file(path), file);
  EXPECT_EQ(read_file(path + "-wal"), log);
  new_db.reset();
  EXPECT_FALSE(file_exists(path + "-wal"));
  auto reopened = open_ok(path);
  EXPECT_EQ(reopened->list_collections(), std::vector<std::string>{"new"});
  EXPECT_EQ(reopened->count("new").value(), 1u);
}

}  // namespace
}  // namespace orvane::engine
