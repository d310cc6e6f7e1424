#include "storage/wal.h"

#include <gtest/gtest.h>

#include "storage/coding.h"
#include "storage/crc32.h"
#include "storage/mem_file.h"
#include "storage/random.h"
#include "storage/test_dir.h"
#include "storage/wal_test_util.h"

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(WalTest, NewLogIsExactly32Bytes) {
  TestDir dir;
  thread_random_seed_for_testing(12345);
  std::uint64_t state = 12345;
  const auto s1 = static_cast<std::uint32_t>(wyrand_step(state));
  const auto s2 = static_cast<std::uint32_t>(wyrand_step(state));
  Wal wal(dir.path("db-wal"));
  EXPECT_EQ(wal.salt1(), s1);
  EXPECT_EQ(wal.salt2(), s2);
  EXPECT_FALSE(path_exists(wal.path()));  // nothing before open
  ASSERT_TRUE(wal.open().has_value());
  const Bytes log = read_file(wal.path());
  ASSERT_EQ(log.size(), 32u);
  EXPECT_EQ(Bytes(log.begin(), log.begin() + 16),
            (Bytes{0x83, 0x06, 0x7F, 0x37, 1, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(get_u32(log.data() + 16), s1);
  EXPECT_EQ(get_u32(log.data() + 20), s2);
  EXPECT_EQ(get_u32(log.data() + 24), crc32(std::span(log.data(), 24)));
  EXPECT_EQ(get_u32(log.data() + 28), 0u);
  EXPECT_EQ(wal.frame_count(), 0u);
  EXPECT_EQ(wal.sequence(), 0u);
}

TEST(WalTest, HeaderRejectionTexts) {
  Wal wal("unused-wal");
  auto check = [&](std::uint32_t magic, std::uint32_t version) {
    MemFile f;
    Bytes h = make_log(1, 2, {});
    put_u32(h.data(), magic);
    put_u32(h.data() + 4, version);
    *f.data() = h;
    auto r = wal.check_wal_header(f);
    return r ? std::string("accepted") : r.error().to_string();
  };
  EXPECT_EQ(check(0x377F0682, 1), "WAL corrupted: Invalid WAL magic: 0x377F0682");
  EXPECT_EQ(check(1, 1), "WAL corrupted: Invalid WAL magic: 0x00000001");
  EXPECT_EQ(check(0xABCD, 1), "WAL corrupted: Invalid WAL magic: 0x0000ABCD");
  EXPECT_EQ(check(kWalMagic, 2), "WAL corrupted: Unsupported WAL version: 2");
  EXPECT_EQ(check(kWalMagic, 0), "WAL corrupted: Unsupported WAL version: 0");
  EXPECT_EQ(check(kWalMagic, 1), "accepted");

  // page_size and header_crc are not examined.
  MemFile f;
  *f.data() = make_log(1, 2, {});
  put_u32(f.data()->data() + 8, 512);
  put_u32(f.data()->data() + 24, 0);
  EXPECT_TRUE(wal.check_wal_header(f).has_value());
  f.data()->resize(31);
  EXPECT_EQ(wal.check_wal_header(f).error().to_string(), "I/O error: failed to fill whole buffer");
}

TEST(WalTest, ReadFramesStopsAtTheFirstBadFrame) {
  Wal wal("unused-wal");
  const std::uint32_t s1 = wal.salt1(), s2 = wal.salt2();
  auto frames_of = [&](const Bytes& log) {
    MemFile f;
    *f.data() = log;
    return wal.read_frames(f).value();
  };
  const Bytes two = make_log(s1, s2, {{1, 2, image_of(1)}, {2, 3, image_of(2)}});
  ASSERT_EQ(two.size(), 32 + 2 * kFrameSize);
  auto all = frames_of(two);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].page_id, 1u);
  EXPECT_EQ(all[0].frame_tag, 2u);
  EXPECT_EQ(all[0].image, image_of(1));
  EXPECT_EQ(all[1].page_id, 2u);
  EXPECT_EQ(all[1].frame_tag, 3u);

  EXPECT_TRUE(frames_of(Bytes(two.begin(), two.begin() + 59)).empty());
  EXPECT_TRUE(frames_of(Bytes(two.begin(), two.begin() + 60)).empty());
  EXPECT_TRUE(frames_of(Bytes(two.begin(), two.begin() + 32 + kFrameSize - 1)).empty());
  EXPECT_EQ(frames_of(Bytes(two.begin(), two.begin() + 32 + kFrameSize)).size(), 1u);
  EXPECT_EQ(frames_of(Bytes(two.begin(), two.end() - 1)).size(), 1u);
  Bytes longer = two;
  longer.resize(two.size() + 27, 0);  // not even a frame header: ignored
  EXPECT_EQ(frames_of(longer).size(), 2u);

  // checksum2 alone wrong ends the list, and so does checksum1 alone.
  Bytes bad2 = two;
  bad2[32 + kFrameSize + 24] ^= 1;
  EXPECT_EQ(frames_of(bad2).size(), 1u);
  Bytes bad1 = two;
  bad1[32 + 20] ^= 1;
  EXPECT_TRUE(frames_of(bad1).empty());
  Bytes bad_image = two;
  bad_image[32 + kFrameSize + 28 + 4095] ^= 0x80;
  EXPECT_EQ(frames_of(bad_image).size(), 1u);
  // A changed page id is caught by the checksums too.
  Bytes bad_id = two;
  bad_id[32 + kFrameSize] = 9;
  EXPECT_EQ(frames_of(bad_id).size(), 1u);
  // Frames summed with other salts are not ours.
  EXPECT_TRUE(frames_of(make_log(s1 + 1, s2, {{1, 2, image_of(1)}})).empty());
  MemFile other;
  *other.data() = make_log(s1 + 1, s2, {{1, 2, image_of(1)}});
  EXPECT_EQ(wal.read_frames(other, s1 + 1, s2).value().size(), 1u);

  MemFile failing_inner;
  *failing_inner.data() = two;
  FaultyFile failing(std::make_unique<MemFile>(failing_inner.data()));
  failing.fail_reads(true);
  EXPECT_EQ(wal.read_frames(failing).error().to_string(),
            "I/O error: Input/output error (os error 5)");
}

TEST(WalTest, OpenExistingLogs) {
  TestDir dir;
  const std::string path = dir.path("db-wal");
  for (std::size_t n : {1, 31}) {
    write_file(path, Bytes(n, 0x83));
    Wal wal(path);
    auto r = wal.open();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().to_string(), "I/O error: failed to fill whole buffer");
    EXPECT_EQ(read_file(path), Bytes(n, 0x83));
    EXPECT_EQ(wal.checkpoint("db").error().to_string(), "WAL not open");
  }
  {
    write_file(path, Bytes(32, 0));
    Wal wal(path);
    EXPECT_EQ(wal.open().error().to_string(), "WAL corrupted: Invalid WAL magic: 0x00000000");
  }
  {
    write_file(path, {});
    Wal wal(path);
    ASSERT_TRUE(wal.open().has_value());
    const Bytes log = read_file(path);
    ASSERT_EQ(log.size(), 32u);
    EXPECT_EQ(get_u32(log.data() + 16), wal.salt1());
  }
  {
    // A valid header-only log stays byte for byte; its salts become ours.
    const Bytes header = make_log(0x0A0B0C0D, 0x01020304, {});
    write_file(path, header);
    Wal wal(path);
    ASSERT_TRUE(wal.open().has_value());
    EXPECT_EQ(read_file(path), header);
    EXPECT_EQ(wal.salt1(), 0x0A0B0C0Du);
    EXPECT_EQ(wal.salt2(), 0x01020304u);
  }
  {
    // Whole calls are kept and counted; the torn call after them is cut.
    const Bytes log = make_log(5, 6,
                               {{1, 2, image_of(1)},
                                {2, 2 | kFrameTagCommit, image_of(2)},
                                {3, 4, image_of(3)},
                                {4, 4 | kFrameTagCommit, image_of(4)}});
    write_file(path, Bytes(log.begin(), log.end() - 100));
    Wal wal(path);
    ASSERT_TRUE(wal.open().has_value());
    EXPECT_EQ(read_file(path), Bytes(log.begin(), log.begin() + 32 + 2 * kFrameSize));
    EXPECT_EQ(wal.frame_count(), 2u);
  }
}

TEST(WalTest, CheckpointAndOfferBeforeAndAfterOpen) {
  TestDir dir;
  Wal wal(dir.path("db-wal"));
  EXPECT_EQ(wal.checkpoint(dir.path("db")).error().to_string(), "WAL not open");
  EXPECT_EQ(wal.checkpoint(dir.path("db")).error().kind(), StorageError::Kind::Internal);
  EXPECT_TRUE(wal.offer_checkpoint(dir.path("db")).has_value());  // 0 < 1000: nothing done
  ASSERT_TRUE(wal.open().has_value());
  const Bytes before = read_file(wal.path());
  // Header only: nothing to do, even without a database file.
  EXPECT_TRUE(wal.checkpoint(dir.path("no-such-db")).has_value());
  EXPECT_EQ(read_file(wal.path()), before);
}

}  // namespace
}  // namespace orvane::storage
