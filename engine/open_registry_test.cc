// One Database per file and process: opens of one file share it, whatever
// path names the file; a file in another's place is another database, and
// the old one's release leaves the new one's files alone. One process per
// file: the open locks the file for as long as the Database lives; a forked
// child can use nothing it inherited and writes nothing.
#include "engine/open_registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "engine/id_counter.h"
#include "engine/test_support.h"

namespace orvane::engine {
namespace {

using V = std::vector<float>;

constexpr const char* kConflict = "Storage error: Write conflict: another writer is active";

// Whether another open file description of `path` could take the lock now.
bool lock_is_free(const std::string& path) {
  auto f = storage::PosixFile::open(path, storage::OpenMode::ReadOnly);
  EXPECT_TRUE(f.has_value());
  return f && (*f)->try_lock_exclusive().value_or(false);
}

template <class T>
std::string text_of(const EngineResult<T>& r) {
  return r ? "ok" : r.error().to_string();
}

// A shared open also resets the id counter, from the shared database's counts.
TEST(OpenRegistryTest, EveryPathToOneFileGivesTheSameDatabase) {
  TestDir dir;
  const std::string path = dir.path("a.db");
  OpenRegistry& registry = OpenRegistry::instance();
  const std::size_t before = registry.size();
  auto db = open_ok(path);
  ASSERT_TRUE(db->create_collection("c", 1, std::nullopt));
  for (float f : {1.0f, 2.0f, 3.0f}) ASSERT_TRUE(db->insert("c", std::nullopt, V{f}));
  auto other = open_ok(dir.path("b.db"));
  EXPECT_NE(other.get(), db.get());
  EXPECT_EQ(peek_id_counter(), 10000u);
  EXPECT_EQ(registry.size(), before + 2);
  std::filesystem::create_symlink(path, dir.path("link.db"));
  const std::string relative = std::filesystem::relative(path).string();
  for (const std::string& again : {path, dir.path("link.db"), relative, dir.path("./a.db")}) {
    (void)draw_id();
    EXPECT_EQ(open_ok(again).get(), db.get()) << again;
    EXPECT_EQ(peek_id_counter(), 10003u);
  }
  EXPECT_EQ(db->path(), path);  // the path of the open that made it
  EXPECT_EQ(registry.size(), before + 2);
  // The entry goes with the Database; the next open runs the open sequence.
  db.reset();
  EXPECT_EQ(registry.size(), before + 1);
  EXPECT_FALSE(file_exists(path + "-wal"));
  auto reopened = open_ok(path);
  EXPECT_TRUE(file_exists(path + "-wal"));
  EXPECT_EQ(reopened->count("c"), 3u);
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

// Then a log with a frame in it, as a killed process leaves it, and a lock
// held elsewhere: the open neither replays nor deletes anything.
TEST(FileOwnerTest, TheLockLastsAsLongAsTheDatabaseAndALockedFileIsLeftAlone) {
  TestDir dir;
  const std::string path = dir.path("a.db");
  auto db = open_ok(path);
  ASSERT_TRUE(db->create_collection("c", 2, std::nullopt));
  ASSERT_TRUE(db->insert("c", "b", V{3, 4}));
  const auto file = read_file(path), log = read_file(path + "-wal");
  ASSERT_GT(log.size(), 32u);
  EXPECT_FALSE(lock_is_free(path));
  ASSERT_TRUE(db->close());
  EXPECT_FALSE(lock_is_free(path));  // close keeps the database, and the lock
  ASSERT_TRUE(db->check_owner());
  db.reset();
  EXPECT_TRUE(lock_is_free(path));
  auto holder = storage::PosixFile::open(path, storage::OpenMode::ReadOnly);
  ASSERT_TRUE((*holder)->try_lock_exclusive().value());
  write_file(path, file);
  write_file(path + "-wal", log);
  EXPECT_EQ(open_error(path), kConflict);
  EXPECT_EQ(read_file(path), file);
  EXPECT_EQ(read_file(path + "-wal"), log);
  holder->reset();
  EXPECT_EQ(open_ok(path)->count("c").value(), 1u);
}

TEST(FileOwnerTest, AForkedChildCanUseNothingAndWritesNothing) {
  TestDir dir;
  const std::string path = dir.path("a.db");
  auto db = open_ok(path);
  ASSERT_TRUE(db->create_collection("c", 2, std::nullopt));
  ASSERT_TRUE(db->insert("c", "a", V{1, 2}));  // dirty pages, frames in the log
  const auto file = read_file(path), log = read_file(path + "-wal");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The number of the first check that goes wrong (0: none).
    const std::string said[] = {
        text_of(db->insert("c", "child", V{5, 6})),
        text_of(db->search("c", V{1, 2})),
        text_of(db->remove("c", "a")),
        text_of(db->count("c")),
        text_of(db->create_collection("d", 2, std::nullopt)),
        text_of(db->get_collection("c")),
        text_of(db->close()),
        text_of(db->check_owner()),
        text_of(Database::open(path)),
    };
    int wrong = 0;
    for (int i = 8; i >= 0; --i) wrong = said[i] != kConflict ? i + 1 : wrong;
    if (wrong == 0 && !db->list_collections().empty()) wrong = 20;
    db.reset();  // the child's last reference: its release must do nothing
    if (wrong == 0 && lock_is_free(path)) wrong = 21;  // the parent still holds it
    ::_exit(wrong);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the check that failed in the child";
  EXPECT_EQ(read_file(path), file);
  EXPECT_EQ(read_file(path + "-wal"), log);
  EXPECT_FALSE(lock_is_free(path));
  ASSERT_TRUE(db->insert("c", "b", V{3, 4}));
  EXPECT_EQ(db->count("c").value(), 2u);
}

}  // namespace
}  // namespace orvane::engine
