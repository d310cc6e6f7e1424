// Checkpoint of the live log and replay of a log left by an earlier run.
#include <gtest/gtest.h>

#include "storage/coding.h"
#include "storage/header_format.h"
#include "storage/page.h"
#include "storage/page_cache.h"
#include "storage/test_dir.h"
#include "storage/wal.h"
#include "storage/wal_test_util.h"

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes header_image(std::uint64_t next_page_id) {
  Bytes page(kPageSize, 0);
  DatabaseHeader h = DatabaseHeader::fresh(77);
  h.next_page_id = next_page_id;
  h.encode(page.data());
  return page;
}

struct Files {
  TestDir dir;
  std::string db = dir.path("db");
  std::string log = dir.path("db-wal");
  // A database of `pages` pages: header, then zeroed pages.
  void make_db(std::size_t pages) {
    Bytes file(pages * kPageSize, 0);
    const Bytes h = header_image(pages);
    std::copy(h.begin(), h.end(), file.begin());
    write_file(db, file);
  }
};

constexpr std::uint64_t kCommit = kFrameTagCommit;

TEST(CheckpointTest, WholeCallsGoIntoTheDatabaseAndTheLogEmpties) {
  Files f;
  f.make_db(3);
  Wal wal(f.log);
  ASSERT_TRUE(wal.open().has_value());
  ASSERT_TRUE(wal.append_frames(std::vector<ChangedPage>{{0, header_image(4)}, {3, image_of(3)}})
                  .has_value());
  ASSERT_TRUE(wal.append_frames(std::vector<ChangedPage>{{1, image_of(1)}}).has_value());
  ASSERT_TRUE(wal.append_frames(std::vector<ChangedPage>{{1, image_of(0x11)}}).has_value());
  EXPECT_EQ(wal.frame_count(), 4u);
  ASSERT_TRUE(wal.checkpoint(f.db).has_value());
  const Bytes db = read_file(f.db);
  ASSERT_EQ(db.size(), 4 * kPageSize);
  EXPECT_EQ(page_of(db, 0), header_image(4));
  EXPECT_EQ(page_of(db, 1), image_of(0x11));  // the later frame wins
  EXPECT_EQ(page_of(db, 2), Bytes(kPageSize, 0));
  EXPECT_EQ(page_of(db, 3), image_of(3));
  EXPECT_EQ(read_file(f.log), make_log(wal.salt1(), wal.salt2(), {}));
  EXPECT_EQ(wal.frame_count(), 0u);

  // New frames follow the fresh header.
  ASSERT_TRUE(wal.append_frames(std::vector<ChangedPage>{{2, image_of(2)}}).has_value());
  EXPECT_EQ(read_file(f.log).size(), 32 + kFrameSize);
}

TEST(CheckpointTest, OfferCheckpointsAtTheThreshold) {
  Files f;
  f.make_db(2);
  Wal wal(f.log, kPageSize, 2);
  ASSERT_TRUE(wal.open().has_value());
  ASSERT_TRUE(wal.append_frames(std::vector<ChangedPage>{{1, image_of(1)}}).has_value());
  ASSERT_TRUE(wal.offer_checkpoint(f.db).has_value());
  EXPECT_EQ(wal.frame_count(), 1u);
  EXPECT_EQ(page_of(read_file(f.db), 1), Bytes(kPageSize, 0));
  ASSERT_TRUE(wal.append_frames(std::vector<ChangedPage>{{1, image_of(2)}}).has_value());
  ASSERT_TRUE(wal.offer_checkpoint(f.db).has_value());
  EXPECT_EQ(wal.frame_count(), 0u);
  EXPECT_EQ(page_of(read_file(f.db), 1), image_of(2));
}

TEST(CheckpointTest, AdoptedLogKeepsItsChain) {
  Files f;
  f.make_db(2);
  // A log left by a run whose salts differ from ours, replay not run: its
  // whole call is kept, the torn call after it cut off.
  const Bytes whole = make_log(0x1111, 0x2222, {{1, 2 | kCommit, image_of(7)}});
  write_file(f.log, make_log(0x1111, 0x2222,
                             {{1, 2 | kCommit, image_of(7)}, {3, 4, image_of(9)}}));
  Wal wal(f.log);
  ASSERT_TRUE(wal.open().has_value());
  EXPECT_EQ(wal.frame_count(), 1u);
  EXPECT_EQ(read_file(f.log), whole);
  ASSERT_TRUE(wal.append_frames(std::vector<ChangedPage>{{2, image_of(8)}}).has_value());
  ASSERT_TRUE(wal.checkpoint(f.db).has_value());
  const Bytes db = read_file(f.db);
  EXPECT_EQ(page_of(db, 1), image_of(7));
  EXPECT_EQ(page_of(db, 2), image_of(8));
  EXPECT_EQ(db.size(), 3 * kPageSize);
  EXPECT_EQ(read_file(f.log), make_log(0x1111, 0x2222, {}));
}

// The log stops being the only copy of a page only once the copy is durable:
// a synchronisation that fails at a barrier leaves the log as it was.
TEST(CheckpointTest, FailedBarrierLeavesTheLogAsItWas) {
  enum class Fail { LogBeforeCopy, DatabaseBeforeEmptying, DatabaseInReplay };
  for (const Fail fail :
       {Fail::LogBeforeCopy, Fail::DatabaseBeforeEmptying, Fail::DatabaseInReplay}) {
    SCOPED_TRACE(static_cast<int>(fail));
    Files f;
    f.make_db(3);
    const Bytes db_before = read_file(f.db);
    if (fail == Fail::DatabaseInReplay) {
      write_file(f.log, make_log(5, 6, {{1, 2 | kCommit, image_of(1)}}));
    }
    Wal wal(f.log);
    auto posix = PosixFile::open(f.db, OpenMode::WriteOnly);
    ASSERT_TRUE(posix.has_value());
    auto faulty_db = std::make_unique<FaultyFile>(std::move(*posix));
    FaultyFile* db = faulty_db.get();
    ASSERT_TRUE(wal.bind_database_file(f.db, std::move(faulty_db)).has_value());
    if (fail == Fail::DatabaseInReplay) {
      db->fail_sync_number(1);
      EXPECT_FALSE(replay_leftover_wal(wal, f.db).has_value());
      EXPECT_EQ(read_file(f.log), make_log(5, 6, {{1, 2 | kCommit, image_of(1)}}));
      ASSERT_TRUE(replay_leftover_wal(wal, f.db).has_value());
      EXPECT_EQ(page_of(read_file(f.db), 1), image_of(1));
      EXPECT_EQ(read_file(f.log).size(), kWalHeaderSize);
      continue;
    }
    ASSERT_TRUE(wal.open().has_value());
    FaultyFile* log = wrap_log_file(wal);
    ASSERT_TRUE(wal.append_frames(std::vector<ChangedPage>{{1, image_of(1)}}).has_value());
    const Bytes log_before = read_file(f.log);
    (fail == Fail::LogBeforeCopy ? log : db)->fail_sync_number(1);
    auto r = wal.checkpoint(f.db);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(), "I/O error: Input/output error (os error 5)");
    EXPECT_EQ(read_file(f.log), log_before);
    EXPECT_EQ(wal.frame_count(), 1u);
    if (fail == Fail::LogBeforeCopy) {
      EXPECT_EQ(read_file(f.db), db_before);  // nothing copied
    }
    ASSERT_TRUE(wal.checkpoint(f.db).has_value());
    EXPECT_EQ(page_of(read_file(f.db), 1), image_of(1));
    EXPECT_EQ(read_file(f.log).size(), kWalHeaderSize);
  }
}

// Which calls count is the log format's rule (WalFormatTest); replay bounds
// page ids by the file's pages plus the frames, writes the whole calls into
// the database file and empties the log.
TEST(ReplayTest, WholeSaneCallsGoIntoTheFile) {
  Files f;
  f.make_db(2);
  // 2 pages in the file + 3 frames: page 5 is still believable, 6 is not.
  write_file(f.log, make_log(0xAAAA, 0xBBBB,
                             {{5, 2 | kCommit, image_of(5)},
                              {1, 4, image_of(1)},
                              {6, 4 | kCommit, image_of(6)}}));
  Wal wal(f.log);
  ASSERT_TRUE(replay_leftover_wal(wal, f.db).has_value());
  const Bytes db = read_file(f.db);
  ASSERT_EQ(db.size(), 6 * kPageSize);
  EXPECT_EQ(page_of(db, 5), image_of(5));
  EXPECT_EQ(page_of(db, 1), Bytes(kPageSize, 0));
  EXPECT_EQ(read_file(f.log), make_log(wal.salt1(), wal.salt2(), {}));
}

}  // namespace
}  // namespace orvane::storage
