// The log: its bytes, which frames count, one write per call ending in a
// commit, and only its own files touched (it deletes only the log file it
// holds, checkpoints only into the database file it was bound to, and leaves
// the log path to another database once its own database file left its path).
#include <gtest/gtest.h>

#include <cstdio>

#include "storage/coding.h"
#include "storage/mem_file.h"
#include "storage/test_dir.h"
#include "storage/wal.h"
#include "storage/wal_test_util.h"

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;

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
    return FrameLocation{id, commit ? kFrameTagCommit | 2 : 2, 0, magic};
  };
  using V = std::vector<FrameLocation>;
  const struct {
    V frames;
    std::uint64_t applicable;
  } rows[] = {
      {V{}, 0},
      {V{f(1, false)}, 0},
      {V{f(1, false), f(2, true)}, 2},
      {V{f(1, true), f(2, false)}, 1},
      {V{f(1, true), f(0, false), f(2, true)}, 1},  // a header image without the magic
      {V{f(1, true), f(0, false, true), f(2, true)}, 3},
      {V{f(10, true)}, 1},  // page ids up to the limit apply, beyond it the call stops
      {V{f(1, true), f(3, false), f(11, true)}, 1},
  };
  for (const auto& r : rows) EXPECT_EQ(applicable_frame_count(r.frames, 10), r.applicable);
}

TEST(WalFormatTest, LogPathBesideTheDatabase) {
  const std::pair<const char*, const char*> rows[] = {
      {"data/vectors.db", "data/vectors.db-wal"}, {"dir/db/", "dir/db-wal"}, {"", "-wal"},
      {"//", "/-wal"},                            {"a/..", "a/../-wal"},     {".", "./-wal"}};
  for (const auto& [db, log] : rows) EXPECT_EQ(wal_path_for(db), log);
}

TEST(WalTest, ReadFramesStopsAtTheFirstBadFrame) {
  Wal wal("unused-wal");
  const std::uint32_t s1 = wal.salt1(), s2 = wal.salt2();
  const Bytes two = make_log(s1, s2, {{1, 2, image_of(1)}, {2, 3, image_of(2)}});
  auto frames_of = [&](Bytes log) {
    MemFile f;
    *f.data() = std::move(log);
    return wal.read_frames(f).value();
  };
  auto flipped = [&](std::size_t at, std::uint8_t bits) {
    Bytes b = two;
    b[at] ^= bits;
    return b;
  };
  const auto all = frames_of(two);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].page_id, 2u);
  EXPECT_EQ(all[1].frame_tag, 3u);
  EXPECT_EQ(all[1].image, image_of(2));
  const struct {
    Bytes log;
    std::size_t frames;
  } rows[] = {
      {Bytes(two.begin(), two.begin() + 60), 0},
      {Bytes(two.begin(), two.begin() + 32 + kFrameSize - 1), 0},
      {Bytes(two.begin(), two.end() - 1), 1},
      {flipped(32 + 20, 1), 0},                          // checksum1
      {flipped(32 + kFrameSize + 24, 1), 1},             // checksum2
      {flipped(32 + kFrameSize + 28 + 4095, 0x80), 1},   // image
      {flipped(32 + kFrameSize, 8), 1},                  // page id
      {make_log(s1 + 1, s2, {{1, 2, image_of(1)}}), 0},  // other salts
  };
  for (const auto& r : rows) EXPECT_EQ(frames_of(r.log).size(), r.frames);
  Bytes longer = two;
  longer.resize(two.size() + 27, 0);  // not even a frame header: ignored
  EXPECT_EQ(frames_of(longer).size(), 2u);
}

std::vector<ChangedPage> pages(std::initializer_list<std::pair<PageId, std::uint8_t>> list) {
  std::vector<ChangedPage> out;
  for (auto [id, fill] : list) out.push_back({id, image_of(fill)});
  return out;
}

// A log whose file the test can make fail.
struct Logged {
  TestDir dir;
  Wal wal{dir.path("db-wal")};
  FaultyFile* faulty = nullptr;
  explicit Logged(SyncLevel level = SyncLevel::Normal) {
    wal.set_sync_level(level);
    EXPECT_TRUE(wal.open().has_value());
    faulty = wrap_log_file(wal);
  }
};

TEST(WalWriterTest, OneCallIsOneWriteOfFramesEndingInACommit) {
  Logged t;
  Wal& wal = t.wal;
  ASSERT_TRUE(wal.append_frames(std::span<const ChangedPage>()).has_value());  // nothing to log
  ASSERT_TRUE(wal.append_frames(pages({{0, 0xA0}, {5, 0xA5}, {2, 0xA2}})).has_value());
  EXPECT_EQ(t.faulty->writes(), 1u);
  ASSERT_TRUE(wal.append_frames(pages({{5, 0xB5}})).has_value());
  EXPECT_EQ(wal.frame_count(), 4u);
  EXPECT_EQ(read_file(wal.path()), make_log(wal.salt1(), wal.salt2(),
                                            {{0, 2, image_of(0xA0)},
                                             {5, 2, image_of(0xA5)},
                                             {2, 2 | kFrameTagCommit, image_of(0xA2)},
                                             {5, 4 | kFrameTagCommit, image_of(0xB5)}}));
}

TEST(WalWriterTest, FailedWriteIsCutOffAgain) {
  Logged t;
  Wal& wal = t.wal;
  FaultyFile* faulty = t.faulty;
  ASSERT_TRUE(wal.append_frames(pages({{1, 1}})).has_value());
  const Bytes good = read_file(wal.path());
  faulty->fail_write_number(1);
  auto r = wal.append_frames(pages({{2, 2}, {3, 3}}));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(read_file(wal.path()), good);  // half a call was written, then cut
  EXPECT_EQ(wal.frame_count(), 1u);

  // When even the cut fails, the next call overwrites the remnant in place.
  faulty->fail_write_number(1);
  faulty->fail_truncates(true);
  ASSERT_FALSE(wal.append_frames(pages({{2, 2}, {3, 3}})).has_value());
  EXPECT_GT(read_file(wal.path()).size(), good.size());
  faulty->fail_truncates(false);
  ASSERT_TRUE(wal.append_frames(pages({{4, 4}})).has_value());
  const Bytes log = read_file(wal.path());
  ASSERT_EQ(log.size(), 32 + 2 * kFrameSize);
  const auto frames = wal.read_frames(*faulty).value();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].page_id, 4u);
  EXPECT_TRUE(frames[1].frame_tag & kFrameTagCommit);
}

TEST(WalWriterTest, EachLevelSynchronisesItsCallsAndAFailedSyncCutsTheCallOff) {
  struct Case {
    SyncLevel level;
    bool barrier;
    std::uint64_t syncs;  // for two calls
  };
  for (const Case c : {Case{SyncLevel::Off, true, 0}, Case{SyncLevel::Normal, false, 0},
                       Case{SyncLevel::Normal, true, 2}, Case{SyncLevel::Full, false, 2}}) {
    SCOPED_TRACE(static_cast<int>(c.level) * 2 + c.barrier);
    Logged t(c.level);
    Wal& wal = t.wal;
    FaultyFile* faulty = t.faulty;
    ASSERT_TRUE(wal.append_frames(pages({{1, 1}}), c.barrier).has_value());
    ASSERT_TRUE(wal.append_frames(pages({{2, 2}}), c.barrier).has_value());
    EXPECT_EQ(faulty->syncs(), c.syncs);
    if (c.syncs == 0) continue;
    const Bytes good = read_file(wal.path());
    faulty->fail_sync_number(1);
    auto r = wal.append_frames(pages({{3, 3}}), c.barrier);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(read_file(wal.path()), good);  // not acknowledged, not kept
    EXPECT_EQ(wal.frame_count(), 2u);
    ASSERT_TRUE(wal.append_frames(pages({{4, 4}}), c.barrier).has_value());
    EXPECT_EQ(read_file(wal.path()).size(), good.size() + kFrameSize);
  }
}

TEST(WalWriterTest, LogRemovedFromItsPathIsCreatedAnew) {
  TestDir dir;
  Wal wal(dir.path("db-wal"));
  ASSERT_TRUE(wal.open().has_value());
  ASSERT_TRUE(wal.append_frames(pages({{1, 1}})).has_value());
  ASSERT_TRUE(remove_file(wal.path()).has_value());
  ASSERT_TRUE(wal.append_frames(pages({{2, 2}})).has_value());
  const Bytes log = read_file(wal.path());
  ASSERT_EQ(log.size(), 32 + kFrameSize);
  EXPECT_EQ(get_u32(log.data() + 16), wal.salt1());
  EXPECT_EQ(get_u32(log.data() + 32), 2u);
  EXPECT_EQ(wal.frame_count(), 1u);

  // Replaced by some other file: that file is started over as our log.
  write_file(dir.path("other"), Bytes(100, 9));
  std::filesystem::rename(dir.path("other"), wal.path());
  ASSERT_TRUE(wal.append_frames(pages({{3, 3}})).has_value());
  const Bytes replaced = read_file(wal.path());
  ASSERT_EQ(replaced.size(), 32 + kFrameSize);
  EXPECT_EQ(get_u32(replaced.data() + 32), 3u);
}

const Bytes kForeign = {'n', 'o', 't', ' ', 'o', 'u', 'r', 's'};

std::vector<ChangedPage> page(PageId id, std::uint8_t fill) { return {{id, image_of(fill)}}; }

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
  ASSERT_TRUE(wal->append_frames(page(1, 0x11)).has_value());
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
