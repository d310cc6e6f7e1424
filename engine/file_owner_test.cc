// One process per file: the open locks the file for as long as the Database
// lives; a forked child can use nothing it inherited and writes nothing.
#include "engine/file_owner.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

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

TEST(FileOwnerTest, TheOpenHoldsTheLockUntilTheDatabaseGoes) {
  TestDir dir;
  const std::string path = dir.path("a.db");
  auto db = open_ok(path);
  EXPECT_FALSE(lock_is_free(path));
  ASSERT_TRUE(db->close());
  EXPECT_FALSE(lock_is_free(path));  // close keeps the database, and the lock
  ASSERT_TRUE(db->check_owner());
  db.reset();
  EXPECT_TRUE(lock_is_free(path));
}

// A log with a frame in it, as a killed process leaves it, and a lock held
// elsewhere: the open neither replays nor deletes anything.
TEST(FileOwnerTest, ALockedFileIsRefusedAndLeftUntouched) {
  TestDir dir;
  const std::string path = dir.path("a.db");
  auto db = open_ok(path);
  ASSERT_TRUE(db->create_collection("c", 2, std::nullopt));
  ASSERT_TRUE(db->insert("c", "b", V{3, 4}));
  const auto file = read_file(path), log = read_file(path + "-wal");
  ASSERT_GT(log.size(), 32u);
  auto holder = storage::PosixFile::open(path, storage::OpenMode::ReadOnly);
  db.reset();
  write_file(path, file);
  write_file(path + "-wal", log);
  ASSERT_TRUE((*holder)->try_lock_exclusive().value());
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
