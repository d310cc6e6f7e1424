// A log touches only its own files: it deletes only the log file it holds,
// checkpoints only into the database file it was bound to, and leaves the
// log path to another database once its own database file left its path.
#include <gtest/gtest.h>

#include <cstdio>

#include "storage/test_dir.h"
#include "storage/wal.h"
#include "storage/wal_test_util.h"

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kForeign = {'n', 'o', 't', ' ', 'o', 'u', 'r', 's'};

std::vector<ChangedPage> page(PageId id, std::uint8_t fill) { return {{id, image_of(fill)}}; }

Bytes page_of(const Bytes& file, PageId id) {
  if (file.size() < (id + 1) * kPageSize) return {};
  return Bytes(file.begin() + id * kPageSize, file.begin() + (id + 1) * kPageSize);
}

// A two-page database file at `path`, and a log bound to it.
std::unique_ptr<Wal> bound_log(const std::string& path) {
  write_file(path, Bytes(2 * kPageSize, 0));
  auto wal = std::make_unique<Wal>(path + "-wal");
  auto db = PosixFile::open(path, OpenMode::WriteOnly);
  EXPECT_TRUE(db.has_value());
  EXPECT_TRUE(wal->bind_database_file(path, std::move(*db)).has_value());
  EXPECT_TRUE(wal->open().has_value());
  return wal;
}

TEST(WalOwnershipTest, RemovesOnlyTheLogFileItHolds) {
  TestDir dir;
  const std::string path = dir.path("db-wal");
  write_file(path, kForeign);
  Wal never_opened(path);
  ASSERT_TRUE(never_opened.remove_own_file().has_value());  // holds no file
  EXPECT_EQ(read_file(path), kForeign);
  ASSERT_TRUE(remove_file(path).has_value());

  Wal wal(path);
  ASSERT_TRUE(wal.open().has_value());
  // Another file took the log's place at the path: it is left alone.
  ASSERT_TRUE(remove_file(path).has_value());
  write_file(path, kForeign);
  ASSERT_TRUE(wal.remove_own_file().has_value());
  EXPECT_EQ(read_file(path), kForeign);
  // No file at all: nothing to do.
  ASSERT_TRUE(remove_file(path).has_value());
  ASSERT_TRUE(wal.remove_own_file().has_value());

  Wal own(path);
  ASSERT_TRUE(own.open().has_value());
  ASSERT_TRUE(own.remove_own_file().has_value());
  EXPECT_FALSE(path_exists(path));
}

TEST(WalOwnershipTest, CheckpointWritesIntoTheBoundFileOnly) {
  TestDir dir;
  const std::string path = dir.path("db");
  auto wal = bound_log(path);
  ASSERT_TRUE(wal->append_frames(page(1, 0xAB)).has_value());

  // The database file is renamed and another takes its place at the path.
  ASSERT_EQ(std::rename(path.c_str(), dir.path("moved").c_str()), 0);
  write_file(path, kForeign);
  ASSERT_TRUE(wal->checkpoint(path).has_value());
  EXPECT_EQ(read_file(path), kForeign);
  EXPECT_EQ(page_of(read_file(dir.path("moved")), 1), image_of(0xAB));
  EXPECT_EQ(wal->frame_count(), 0u);
}

TEST(WalOwnershipTest, LogPathIsRecreatedOnlyBesideItsOwnDatabase) {
  TestDir dir;
  const std::string path = dir.path("db");
  const std::string log_path = path + "-wal";
  auto wal = bound_log(path);

  // Database still at its path, log deleted (as close does): a new log.
  ASSERT_TRUE(remove_file(log_path).has_value());
  ASSERT_TRUE(wal->append_frames(page(1, 0x11)).has_value());
  EXPECT_EQ(read_file(log_path).size(), 32 + kFrameSize);

  // The database file is deleted and another database lives at the path,
  // with its own log: that log is neither truncated nor written.
  ASSERT_TRUE(remove_file(path).has_value());
  ASSERT_TRUE(remove_file(log_path).has_value());
  write_file(path, kForeign);
  write_file(log_path, kForeign);
  ASSERT_TRUE(wal->append_frames(page(1, 0x22)).has_value());
  ASSERT_TRUE(wal->append_frames(page(1, 0x33)).has_value());
  EXPECT_EQ(read_file(log_path), kForeign);
  EXPECT_EQ(wal->frame_count(), 3u);  // in its own (unlinked) file
  // Nor does a missing log get recreated beside a database that is not ours.
  ASSERT_TRUE(remove_file(log_path).has_value());
  ASSERT_TRUE(wal->append_frames(page(1, 0x44)).has_value());
  EXPECT_FALSE(path_exists(log_path));
  EXPECT_EQ(wal->frame_count(), 4u);
  ASSERT_TRUE(wal->checkpoint(path).has_value());
  EXPECT_EQ(read_file(path), kForeign);
}

}  // namespace
}  // namespace orvane::storage
