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
  return f && (*f)->try_lock_exclusive().value_or(false);
}

// A shared open also resets the id counter, from the shared database's counts.
TEST(OpenRegistryTest, EveryPathToOneFileGivesTheSameDatabase) {
  Scratch f;
  const std::size_t before = OpenRegistry::instance().size();
  ASSERT_TRUE(f.db->create_collection("c", 1, std::nullopt));
  for (float x : {1.0f, 2.0f, 3.0f}) ASSERT_TRUE(f.db->insert("c", std::nullopt, V{x}));
  auto other = open_ok(f.dir.path("b.db"));
  EXPECT_NE(other.get(), f.db.get());
  EXPECT_EQ(peek_id_counter(), 10000u);
  std::filesystem::create_symlink(f.path, f.dir.path("link"));
  const std::string relative = std::filesystem::relative(f.path).string();
  for (const std::string& again : {f.path, f.dir.path("link"), relative, f.dir.path("./db")}) {
    (void)draw_id();
    EXPECT_EQ(open_ok(again).get(), f.db.get()) << again;
    EXPECT_EQ(peek_id_counter(), 10003u);
  }
  EXPECT_EQ(f.db->path(), f.path);  // the path of the open that made it
  EXPECT_EQ(OpenRegistry::instance().size(), before + 1);
  // The entry goes with the Database; the next open runs the open sequence.
  f.db.reset();
  EXPECT_EQ(OpenRegistry::instance().size(), before);
  EXPECT_FALSE(file_exists(f.path + "-wal"));
  f.db = open_ok(f.dir.path("link"));  // the log goes beside the file, not the link
  EXPECT_EQ(f.db->path(), f.dir.path("link"));
  EXPECT_TRUE(file_exists(f.path + "-wal"));
  EXPECT_FALSE(file_exists(f.dir.path("link-wal")));
  EXPECT_EQ(f.db->count("c"), 3u);
  f.db.reset();
  EXPECT_FALSE(file_exists(f.path + "-wal"));
}

TEST(OpenRegistryTest, ConcurrentOpensOfANewFileShareOneDatabase) {
  TestDir dir;
  std::vector<std::shared_ptr<Database>> opened(8);
  std::vector<std::thread> threads;
  for (auto& slot : opened) threads.emplace_back([&] { slot = open_ok(dir.path("db")); });
  for (auto& t : threads) t.join();
  for (const auto& db : opened) EXPECT_TRUE(db && db == opened[0]);
}

TEST(OpenRegistryTest, FileReplacedAtThePathIsAnotherDatabase) {
  Scratch f;
  ASSERT_TRUE(f.db->create_collection("old", 2, std::nullopt));
  std::filesystem::remove(f.path);
  auto new_db = open_ok(f.path);
  EXPECT_TRUE(new_db->list_collections().empty());
  ASSERT_TRUE(new_db->create_collection("new", 2, std::nullopt));
  ASSERT_TRUE(new_db->insert("new", "n", V{2, 2}));
  // The old database goes on with its own file, through its own log, and
  // its release leaves the new one's files alone.
  ASSERT_TRUE(f.db->insert("old", "o", V{3, 3}));
  const auto file = read_file(f.path), log = read_file(f.path + "-wal");
  ASSERT_GT(log.size(), 32u);
  f.db.reset();
  EXPECT_EQ(read_file(f.path), file);
  EXPECT_EQ(read_file(f.path + "-wal"), log);
  new_db.reset();
  EXPECT_FALSE(file_exists(f.path + "-wal"));
  f.reopen();
  EXPECT_EQ(f.db->count("new").value(), 1u);
}

// Then a log with a frame in it, as a killed process leaves it, and a lock
// held elsewhere: the open neither replays nor deletes anything.
TEST(FileOwnerTest, TheLockLastsAsLongAsTheDatabaseAndALockedFileIsLeftAlone) {
  Scratch f;
  ASSERT_TRUE(f.db->create_collection("c", 2, std::nullopt));
  ASSERT_TRUE(f.db->insert("c", "b", V{3, 4}));
  const auto file = read_file(f.path), log = read_file(f.path + "-wal");
  ASSERT_GT(log.size(), 32u);
  EXPECT_FALSE(lock_is_free(f.path));
  ASSERT_TRUE(f.db->close());
  EXPECT_FALSE(lock_is_free(f.path));  // close keeps the database, and the lock
  f.db.reset();
  EXPECT_TRUE(lock_is_free(f.path));
  auto holder = storage::PosixFile::open(f.path, storage::OpenMode::ReadOnly);
  ASSERT_TRUE((*holder)->try_lock_exclusive().value());
  write_file(f.path, file);
  write_file(f.path + "-wal", log);
  EXPECT_EQ(open_error(f.path), kConflict);
  EXPECT_EQ(read_file(f.path), file);
  EXPECT_EQ(read_file(f.path + "-wal"), log);
  holder->reset();
  f.reopen();
  EXPECT_EQ(f.db->count("c").value(), 1u);
}

TEST(FileOwnerTest, AForkedChildCanUseNothingAndWritesNothing) {
  Scratch f;
  auto& db = f.db;
  ASSERT_TRUE(db->create_collection("c", 2, std::nullopt));
  ASSERT_TRUE(db->insert("c", "a", V{1, 2}));  // dirty pages, frames in the log
  const auto file = read_file(f.path), log = read_file(f.path + "-wal");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The child exits with the number of the first check that went wrong.
    auto text_of = [](const auto& r) { return r ? std::string("ok") : r.error().to_string(); };
    const std::string said[] = {
        text_of(db->insert("c", "child", V{5, 6})),
        text_of(db->search("c", V{1, 2})),
        text_of(db->remove("c", "a")),
        text_of(db->count("c")),
        text_of(db->create_collection("d", 2, std::nullopt)),
        text_of(db->get_collection("c")),
        text_of(db->close()),
        text_of(db->check_owner()),
        text_of(Database::open(f.path)),
    };
    int wrong = 0;
    for (int i = 8; i >= 0; --i) wrong = said[i] != kConflict ? i + 1 : wrong;
    if (wrong == 0 && !db->list_collections().empty()) wrong = 20;
    db.reset();  // the child's last reference: its release must do nothing
    if (wrong == 0 && lock_is_free(f.path)) wrong = 21;  // the parent still holds it
    ::_exit(wrong);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the check that failed in the child";
  EXPECT_EQ(read_file(f.path), file);
  EXPECT_EQ(read_file(f.path + "-wal"), log);
  EXPECT_FALSE(lock_is_free(f.path));
  ASSERT_TRUE(db->insert("c", "b", V{3, 4}));
  EXPECT_EQ(db->count("c").value(), 2u);
}

}  // namespace
}  // namespace orvane::engine
