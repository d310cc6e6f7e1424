// The log's bytes and the rules for which frames count.
#include "storage/wal.h"

#include <gtest/gtest.h>

#include "storage/coding.h"
#include "storage/crc32.h"
#include "storage/mem_file.h"
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
  Bytes whole(12 + image.size(), 0);
  put_u32(whole.data(), 1);
  put_u32(whole.data() + 4, 0x11223344);
  std::copy(image.begin(), image.end(), whole.begin() + 12);
  EXPECT_EQ(get_u32(f.data() + 20), crc32(whole));
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

}  // namespace
}  // namespace orvane::storage
