// Checkpoint of the live log and replay of a log left by an earlier run.
#include <gtest/gtest.h>

#include "storage/header_format.h"
#include "storage/test_dir.h"
#include "storage/wal.h"
#include "storage/wal_test_util.h"

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint64_t kCommit = kFrameTagCommit;

Bytes header_image(std::uint64_t next_page_id) {
  Bytes page(kPageSize, 0);
  DatabaseHeader h = DatabaseHeader::fresh(77);
  h.next_page_id = next_page_id;
  h.encode(page.data());
  return page;
}

std::vector<ChangedPage> pages(std::initializer_list<std::pair<PageId, Bytes>> list) {
  std::vector<ChangedPage> out;
  for (const auto& [id, image] : list) out.push_back({id, image});
  return out;
}

// A database of `pages` pages (header, then zeros) and the path of its log.
struct Files {
  TestDir dir;
  std::string db = dir.path("db");
  std::string log = dir.path("db-wal");
  explicit Files(std::size_t pages) {
    Bytes file = header_image(pages);
    file.resize(pages * kPageSize, 0);
    write_file(db, file);
  }
};

TEST(CheckpointTest, WholeCallsGoIntoTheDatabaseAtTheThresholdAndTheLogEmpties) {
  Files f(3);
  Wal wal(f.log, kPageSize, 4);
  ASSERT_TRUE(wal.open().has_value());
  ASSERT_TRUE(wal.append_frames(pages({{0, header_image(4)}, {3, image_of(3)}})).has_value());
  ASSERT_TRUE(wal.append_frames(pages({{1, image_of(1)}})).has_value());
  ASSERT_TRUE(wal.offer_checkpoint(f.db).has_value());  // 3 frames: below the threshold
  EXPECT_EQ(read_file(f.db).size(), 3 * kPageSize);
  ASSERT_TRUE(wal.append_frames(pages({{1, image_of(0x11)}})).has_value());
  ASSERT_TRUE(wal.offer_checkpoint(f.db).has_value());
  const Bytes db = read_file(f.db);
  ASSERT_EQ(db.size(), 4 * kPageSize);
  EXPECT_EQ(page_of(db, 0), header_image(4));
  EXPECT_EQ(page_of(db, 1), image_of(0x11));  // the later frame wins
  EXPECT_EQ(page_of(db, 2), Bytes(kPageSize, 0));
  EXPECT_EQ(page_of(db, 3), image_of(3));
  EXPECT_EQ(read_file(f.log), make_log(wal.salt1(), wal.salt2(), {}));
  EXPECT_EQ(wal.frame_count(), 0u);
  ASSERT_TRUE(wal.append_frames(pages({{2, image_of(2)}})).has_value());
  EXPECT_EQ(read_file(f.log).size(), 32 + kFrameSize);  // right behind the fresh header
}

// A log left by a run whose salts differ from ours, replay not run: its
// whole call is kept, the torn call after it cut off.
TEST(CheckpointTest, AdoptedLogKeepsItsChain) {
  Files f(2);
  const Bytes whole = make_log(0x1111, 0x2222, {{1, 2 | kCommit, image_of(7)}});
  write_file(f.log,
             make_log(0x1111, 0x2222, {{1, 2 | kCommit, image_of(7)}, {3, 4, image_of(9)}}));
  Wal wal(f.log);
  ASSERT_TRUE(wal.open().has_value());
  EXPECT_EQ(wal.frame_count(), 1u);
  EXPECT_EQ(read_file(f.log), whole);
  ASSERT_TRUE(wal.append_frames(pages({{2, image_of(8)}})).has_value());
  ASSERT_TRUE(wal.checkpoint(f.db).has_value());
  const Bytes db = read_file(f.db);
  EXPECT_EQ(db.size(), 3 * kPageSize);
  EXPECT_EQ(page_of(db, 1), image_of(7));
  EXPECT_EQ(page_of(db, 2), image_of(8));
  EXPECT_EQ(read_file(f.log), make_log(0x1111, 0x2222, {}));
}

// The log stops being the only copy of a page only once the copy is durable:
// a synchronisation that fails at a barrier leaves the log as it was.
TEST(CheckpointTest, FailedBarrierLeavesTheLogAsItWas) {
  enum Fail { LogBeforeCopy, DatabaseBeforeEmptying, DatabaseInReplay };
  for (const Fail fail : {LogBeforeCopy, DatabaseBeforeEmptying, DatabaseInReplay}) {
    SCOPED_TRACE(fail);
    Files f(3);
    const Bytes db_before = read_file(f.db);
    const Bytes left = make_log(5, 6, {{1, 2 | kCommit, image_of(1)}});
    if (fail == DatabaseInReplay) write_file(f.log, left);
    Wal wal(f.log);
    auto faulty = std::make_unique<FaultyFile>(PosixFile::open(f.db, OpenMode::WriteOnly).value());
    FaultyFile* db = faulty.get();
    ASSERT_TRUE(wal.bind_database_file(f.db, std::move(faulty)).has_value());
    auto run = [&] { return fail == DatabaseInReplay ? replay_leftover_wal(wal, f.db)
                                                     : wal.checkpoint(f.db); };
    if (fail != DatabaseInReplay) {
      ASSERT_TRUE(wal.open().has_value());
      FaultyFile* log = wrap_log_file(wal);
      ASSERT_TRUE(wal.append_frames(pages({{1, image_of(1)}})).has_value());
      (fail == LogBeforeCopy ? log : db)->fail_sync_number(1);
    } else {
      db->fail_sync_number(1);
    }
    const Bytes log_before = read_file(f.log);
    auto r = run();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(), "I/O error: Input/output error (os error 5)");
    EXPECT_EQ(read_file(f.log), log_before);
    EXPECT_EQ(read_file(f.db) == db_before, fail == LogBeforeCopy);  // copied after the barrier
    EXPECT_EQ(wal.frame_count(), fail == DatabaseInReplay ? 0u : 1u);
    ASSERT_TRUE(run().has_value());
    EXPECT_EQ(page_of(read_file(f.db), 1), image_of(1));
    EXPECT_EQ(read_file(f.log).size(), kWalHeaderSize);
  }
}

// Which calls count is the log format's rule (WalFormatTest); replay bounds
// page ids by the file's pages plus the frames, writes the whole calls into
// the database file and empties the log.
TEST(ReplayTest, WholeSaneCallsGoIntoTheFile) {
  Files f(2);
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
