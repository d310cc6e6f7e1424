// The log: its bytes, which frames count, one write per call ending in a
// commit, only its own files touched, checkpoint and replay of a left-over log.
#include <gtest/gtest.h>

#include "storage/coding.h"
#include "storage/mem_file.h"
#include "storage/test_dir.h"

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint64_t kCommit = kFrameTagCommit;
constexpr std::size_t kFrameSize = kWalFrameHeaderSize + kPageSize;

Bytes image_of(std::uint8_t fill) { return Bytes(kPageSize, fill); }

// A log file: its header, then frames (page id, tag, image fill) summed with the salts.
Bytes make_log(
    std::uint32_t salt1, std::uint32_t salt2,
    std::initializer_list<std::tuple<std::uint32_t, std::uint64_t, std::uint8_t>> frames) {
  const auto h = encode_wal_header(kPageSize, 0, salt1, salt2);
  Bytes log(h.begin(), h.end());
  for (const auto& [id, tag, fill] : frames) {
    const auto fh = encode_frame_header(id, tag, salt1, salt2, image_of(fill));
    log.insert(log.end(), fh.begin(), fh.end());
    log.resize(log.size() + kPageSize, fill);
  }
  return log;
}

TEST(WalFormatTest, HeaderAndFrameBytes) {
  const auto h = encode_wal_header(4096, 0, 0xDEADBEEF, 0x01020304);
  EXPECT_EQ(Bytes(h.begin(), h.end()),
            (Bytes{0x83, 0x06, 0x7F, 0x37, 1, 0, 0, 0, 0,    0x10, 0,    0,    0, 0, 0, 0,
                   0xEF, 0xBE, 0xAD, 0xDE, 4, 3, 2, 1, 0x5A, 0xA9, 0x36, 0x89, 0, 0, 0, 0}));
  const Bytes image(4096, 0xAB);
  const auto f = encode_frame_header(1, 0x0807060504030201ULL, 0x11223344, 0x55667788, image);
  EXPECT_EQ(Bytes(f.begin(), f.begin() + 20),
            (Bytes{1, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 0}));
  // checksum1 sums page id, salt1 and image; checksum2 the same with salt2.
  EXPECT_EQ(get_u32(f.data() + 20), 0x5FC48139u);
  EXPECT_EQ(get_u32(f.data() + 24), frame_checksum(1, 0x55667788, image));
}

TEST(WalFormatTest, OnlyWholeSaneCallsApply) {
  auto f = [](std::uint32_t id, bool commit, bool magic = false) {
    return FrameLocation{id, commit ? kCommit | 2 : 2, 0, magic};
  };
  using V = std::vector<FrameLocation>;
  const std::pair<V, std::uint64_t> rows[] = {
      {V{}, 0},
      {V{f(1, false)}, 0},
      {V{f(1, false), f(2, true)}, 2},
      {V{f(1, true), f(2, false)}, 1},
      {V{f(1, true), f(0, false), f(2, true)}, 1},  // a header image without the magic
      {V{f(1, true), f(0, false, true), f(2, true)}, 3},
      {V{f(10, true)}, 1},  // page ids up to the limit apply, beyond it the call stops
      {V{f(1, true), f(3, false), f(11, true)}, 1},
  };
  for (const auto& [frames, applicable] : rows) {
    EXPECT_EQ(applicable_frame_count(frames, 10), applicable);
  }
  const std::pair<const char*, const char*> paths[] = {
      {"data/vectors.db", "data/vectors.db-wal"}, {"dir/db/", "dir/db-wal"}, {"", "-wal"},
      {"//", "/-wal"},                            {"a/..", "a/../-wal"},     {".", "./-wal"}};
  for (const auto& [db, log] : paths) EXPECT_EQ(wal_path_for(db), log);
}

TEST(WalTest, ReadFramesStopsAtTheFirstBadFrame) {
  Wal wal("unused-wal");
  const std::uint32_t s1 = wal.salt1(), s2 = wal.salt2();
  const Bytes two = make_log(s1, s2, {{1, 2, 1}, {2, 3, 2}});
  auto frames_of = [&](Bytes log) {
    MemFile f(std::make_shared<Bytes>(std::move(log)));
    return wal.read_frames(f).value();
  };
  // A bit flipped at `at`, then cut or lengthened to `size`.
  const std::tuple<std::size_t, std::uint8_t, std::size_t, std::size_t> rows[] = {
      {0, 0, two.size(), 2},
      {0, 0, 60, 0},
      {0, 0, 32 + kFrameSize - 1, 0},
      {0, 0, two.size() - 1, 1},
      {0, 0, two.size() + 27, 2},                          // not even a frame header: ignored
      {32 + 20, 1, two.size(), 0},                         // checksum1
      {32 + kFrameSize + 24, 1, two.size(), 1},            // checksum2
      {32 + kFrameSize + 28 + 4095, 0x80, two.size(), 1},  // image
      {32 + kFrameSize, 8, two.size(), 1},                 // page id
  };
  for (auto [at, bits, size, frames] : rows) {
    Bytes log = two;
    log[at] ^= bits;
    log.resize(size, 0);
    EXPECT_EQ(frames_of(log).size(), frames) << at << " " << size;
  }
  EXPECT_TRUE(frames_of(make_log(s1 + 1, s2, {{1, 2, 1}})).empty());  // other salts
}

std::vector<ChangedPage> pages(std::initializer_list<std::pair<PageId, std::uint8_t>> list) {
  std::vector<ChangedPage> out;
  for (auto [id, fill] : list) out.push_back({id, image_of(fill)});
  return out;
}

// A database file of 3 zeroed pages and its log (what an earlier run left,
// if anything), opened unless told not to, its file behind a FaultyFile.
struct Logged {
  TestDir dir;
  std::string db = dir.path("db"), log = dir.path("db-wal");
  Wal wal;
  FaultyFile* faulty = nullptr;
  explicit Logged(SyncLevel level = SyncLevel::Normal, std::uint64_t threshold = 1000,
                  const Bytes& left_over = {}, bool open = true)
      : wal(log, kPageSize, threshold) {
    write_file(db, Bytes(3 * kPageSize, 0));
    if (!left_over.empty()) write_file(log, left_over);
    wal.set_sync_level(level);
    if (!open) return;
    EXPECT_TRUE(wal.open());
    faulty = wrap_log_file(wal);
  }
};

TEST(WalWriterTest, OneCallIsOneWriteOfFramesEndingInACommit) {
  Logged t;
  ASSERT_TRUE(t.wal.append_frames(std::span<const ChangedPage>()));  // nothing to log
  ASSERT_TRUE(t.wal.append_frames(pages({{0, 0xA0}, {5, 0xA5}, {2, 0xA2}})));
  EXPECT_EQ(t.faulty->writes(), 1u);
  ASSERT_TRUE(t.wal.append_frames(pages({{5, 0xB5}})));
  EXPECT_EQ(read_file(t.log),
            make_log(t.wal.salt1(), t.wal.salt2(),
                     {{0, 2, 0xA0}, {5, 2, 0xA5}, {2, 2 | kCommit, 0xA2}, {5, 4 | kCommit, 0xB5}}));
}

// Each level synchronises its calls; a call whose write or synchronisation
// fails is cut off again, and when even the cut fails the next call
// overwrites the remnant in place.
TEST(WalWriterTest, FailedCallIsCutOffAgain) {
  enum Fault { Write, WriteAndCut, Sync };
  // Level, barrier, synchronisations of two calls, the fault.
  const std::tuple<SyncLevel, bool, std::uint64_t, Fault> rows[] = {
      {SyncLevel::Off, true, 0, Write}, {SyncLevel::Normal, false, 0, WriteAndCut},
      {SyncLevel::Normal, true, 2, Sync}, {SyncLevel::Full, false, 2, Sync}};
  for (const auto& [level, barrier, syncs, fault] : rows) {
    SCOPED_TRACE(fault);
    Logged t(level);
    ASSERT_TRUE(t.wal.append_frames(pages({{1, 1}}), barrier));
    ASSERT_TRUE(t.wal.append_frames(pages({{2, 2}}), barrier));
    EXPECT_EQ(t.faulty->syncs(), syncs);
    const Bytes good = read_file(t.log);
    fault == Sync ? t.faulty->fail_sync_number(1) : t.faulty->fail_write_number(1);
    t.faulty->fail_truncates(fault == WriteAndCut);
    ASSERT_FALSE(t.wal.append_frames(pages({{3, 3}}), barrier));
    EXPECT_EQ(read_file(t.log) == good, fault != WriteAndCut);  // half a call was written
    EXPECT_EQ(t.wal.frame_count(), 2u);
    t.faulty->fail_truncates(false);
    ASSERT_TRUE(t.wal.append_frames(pages({{4, 4}}), barrier));
    EXPECT_EQ(read_file(t.log).size(), good.size() + kFrameSize);
    EXPECT_EQ(t.wal.read_frames(*t.faulty).value().back().page_id, 4u);
  }
}

// A log removed from its path, or replaced by another file, starts over
// there; it deletes only the file it holds. (A log bound to a database file
// that left its path leaves the path to the other database: engine open
// registry tests.)
TEST(WalOwnershipTest, PathTakenBackAndOnlyItsOwnFileDeleted) {
  Logged t;
  for (PageId id : {2, 3}) {
    ASSERT_TRUE(remove_file(t.log));
    if (id == 3) write_file(t.log, Bytes(100, 9));
    ASSERT_TRUE(t.wal.append_frames(pages({{id, 1}})));
    const Bytes log = read_file(t.log);
    ASSERT_EQ(log.size(), 32 + kFrameSize);
    EXPECT_EQ(get_u32(log.data() + 16), t.wal.salt1());
    EXPECT_EQ(get_u32(log.data() + 32), id);
  }
  ASSERT_TRUE(Wal(t.log).remove_own_file());  // holds no file
  ASSERT_TRUE(path_exists(t.log));
  ASSERT_TRUE(t.wal.remove_own_file());
  EXPECT_FALSE(path_exists(t.log));
}

// A log left by a run with other salts, replay not run: the open keeps its
// whole calls and cuts the torn one after them, and the frames that follow
// carry its salts. At the threshold the whole calls go into the database
// file, the later frame of a page winning, and the log empties.
TEST(CheckpointTest, AdoptedLogGoesIntoTheDatabaseAtTheThreshold) {
  Logged f(SyncLevel::Normal, 4, make_log(0x1111, 0x2222, {{1, 2 | kCommit, 7}, {3, 4, 9}}));
  Wal& wal = f.wal;
  EXPECT_EQ(read_file(f.log), make_log(0x1111, 0x2222, {{1, 2 | kCommit, 7}}));
  Bytes header = image_of(0xEE);  // page 0 applies only with the magic
  std::copy(kMagic.begin(), kMagic.end(), header.begin());
  ASSERT_TRUE(wal.append_frames(std::vector<ChangedPage>{{0, header}, {4, image_of(4)}}));
  ASSERT_TRUE(wal.offer_checkpoint(f.db));  // 3 frames: below the threshold
  EXPECT_EQ(read_file(f.db).size(), 3 * kPageSize);
  ASSERT_TRUE(wal.append_frames(pages({{1, 0x11}})));
  ASSERT_TRUE(wal.offer_checkpoint(f.db));
  const Bytes db = read_file(f.db);
  ASSERT_EQ(db.size(), 5 * kPageSize);
  EXPECT_EQ(page_of(db, 0), header);
  EXPECT_EQ(page_of(db, 1), image_of(0x11));
  EXPECT_EQ(page_of(db, 3), image_of(0));  // the torn call
  EXPECT_EQ(page_of(db, 4), image_of(4));
  EXPECT_EQ(read_file(f.log), make_log(0x1111, 0x2222, {}));
  EXPECT_EQ(wal.frame_count(), 0u);
  ASSERT_TRUE(wal.append_frames(pages({{2, 2}})));
  EXPECT_EQ(read_file(f.log).size(), 32 + kFrameSize);  // right behind the fresh header
}

// The log stops being the only copy of a page only once the copy is durable:
// a synchronisation that fails at a barrier leaves the log as it was. Replay
// applies the whole calls of a left-over log (which calls count is the log
// format's rule; page ids up to the file's pages plus the frames).
TEST(CheckpointTest, FailedBarrierLeavesTheLogAsItWas) {
  enum Fail { LogBeforeCopy, DatabaseBeforeEmptying, DatabaseInReplay };
  for (const Fail fail : {LogBeforeCopy, DatabaseBeforeEmptying, DatabaseInReplay}) {
    SCOPED_TRACE(fail);
    const bool replay = fail == DatabaseInReplay;
    // 3 pages in the file + 3 frames: page 6 is still believable, 7 is not.
    const Bytes left = make_log(5, 6, {{1, 2, 1}, {6, 2 | kCommit, 6}, {7, 4 | kCommit, 7}});
    Logged f(SyncLevel::Normal, 1000, replay ? left : Bytes{}, !replay);
    auto faulty = std::make_unique<FaultyFile>(PosixFile::open(f.db, OpenMode::WriteOnly).value());
    FaultyFile* db = faulty.get();
    ASSERT_TRUE(f.wal.bind_database_file(f.db, std::move(faulty)));
    ASSERT_TRUE(replay || f.wal.append_frames(pages({{1, 1}})));
    (fail == LogBeforeCopy ? f.faulty : db)->fail_sync_number(1);
    auto run = [&] { return replay ? replay_leftover_wal(f.wal, f.db) : f.wal.checkpoint(f.db); };
    const Bytes log_before = read_file(f.log);
    auto r = run();
    EXPECT_EQ(r ? "done" : r.error().to_string(), "I/O error: Input/output error (os error 5)");
    EXPECT_EQ(read_file(f.log), log_before);
    const Bytes file = read_file(f.db);
    EXPECT_EQ(page_of(file, 1) == image_of(1), fail != LogBeforeCopy);
    EXPECT_EQ(file.size(), (replay ? 7 : 3) * kPageSize);
    EXPECT_EQ(f.wal.frame_count(), replay ? 0u : 1u);
    ASSERT_TRUE(run());
    EXPECT_EQ(page_of(read_file(f.db), 1), image_of(1));
    EXPECT_EQ(read_file(f.log).size(), kWalHeaderSize);
  }
}

}  // namespace
}  // namespace orvane::storage
