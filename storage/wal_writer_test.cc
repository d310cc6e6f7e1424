#include <gtest/gtest.h>

#include "storage/coding.h"
#include "storage/mem_file.h"
#include "storage/test_dir.h"
#include "storage/wal.h"
#include "storage/wal_test_util.h"

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;

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
    wal.wrap_file_for_testing([&](std::unique_ptr<File> f) {
      auto w = std::make_unique<FaultyFile>(std::move(f));
      faulty = w.get();
      return w;
    });
  }
};

TEST(WalWriterTest, OneCallIsOneWriteOfFramesEndingInACommit) {
  Logged t;
  Wal& wal = t.wal;
  ASSERT_TRUE(wal.append_frames({}).has_value());  // nothing to log
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

}  // namespace
}  // namespace orvane::storage
