#include "storage/wal_format.h"

#include <gtest/gtest.h>

#include "storage/coding.h"
#include "storage/crc32.h"

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(WalFormatTest, HeaderBytes) {
  const auto h = encode_wal_header(4096, 0, 0xDEADBEEF, 0x01020304);
  const Bytes want = {0x83, 0x06, 0x7F, 0x37, 1, 0, 0, 0, 0,    0x10, 0,    0,    0, 0, 0, 0,
                      0xEF, 0xBE, 0xAD, 0xDE, 4, 3, 2, 1, 0x5A, 0xA9, 0x36, 0x89, 0, 0, 0, 0};
  EXPECT_EQ(Bytes(h.begin(), h.end()), want);
  const WalHeaderFields f = decode_wal_header(h.data());
  EXPECT_EQ(f.magic, kWalMagic);
  EXPECT_EQ(f.version, 1u);
  EXPECT_EQ(f.page_size, 4096u);
  EXPECT_EQ(f.sequence, 0u);
  EXPECT_EQ(f.salt1, 0xDEADBEEFu);
  EXPECT_EQ(f.salt2, 0x01020304u);
  EXPECT_EQ(f.header_crc, 0x8936A95Au);
}

TEST(WalFormatTest, FrameChecksumsKnownAnswers) {
  const Bytes image(4096, 0xAB);
  EXPECT_EQ(frame_checksum(1, 0x11223344, image), 0x5FC48139u);
  EXPECT_EQ(frame_checksum(0xFFFFFFFF, 0, image), 0x909AA3E5u);
  // The one-pass pair equals two separate sums over the concatenation.
  Bytes whole(12 + image.size(), 0);
  put_u32(whole.data(), 7);
  put_u32(whole.data() + 4, 0x11223344);
  std::copy(image.begin(), image.end(), whole.begin() + 12);
  const auto [c1, c2] = frame_checksums(7, 0x11223344, 0x55667788, image);
  EXPECT_EQ(c1, crc32(whole));
  EXPECT_EQ(c2, frame_checksum(7, 0x55667788, image));
  EXPECT_NE(c1, c2);
}

TEST(WalFormatTest, FrameHeaderBytes) {
  const Bytes image(4096, 0xAB);
  const auto h = encode_frame_header(1, 0x0807060504030201ULL, 0x11223344, 0, image);
  EXPECT_EQ(Bytes(h.begin(), h.begin() + 20),
            (Bytes{1, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(get_u32(h.data() + 20), 0x5FC48139u);
  EXPECT_EQ(get_u32(h.data() + 24), frame_checksum(1, 0, image));
}

TEST(WalFormatTest, OnlyWholeSaneCallsApply) {
  auto f = [](std::uint32_t id, bool commit, bool magic = false) {
    return FrameLocation{id, commit ? kFrameTagCommit | 2 : 2, 0, magic};
  };
  using V = std::vector<FrameLocation>;
  EXPECT_EQ(applicable_frame_count(V{}, 10), 0u);
  EXPECT_EQ(applicable_frame_count(V{f(1, false)}, 10), 0u);
  EXPECT_EQ(applicable_frame_count(V{f(1, false), f(2, true)}, 10), 2u);
  EXPECT_EQ(applicable_frame_count(V{f(1, true), f(2, false)}, 10), 1u);
  // A header image without the magic stops before its call.
  EXPECT_EQ(applicable_frame_count(V{f(1, true), f(0, false), f(2, true)}, 10), 1u);
  EXPECT_EQ(applicable_frame_count(V{f(1, true), f(0, false, true), f(2, true)}, 10), 3u);
  // Page ids up to the limit apply; beyond it the call stops.
  EXPECT_EQ(applicable_frame_count(V{f(10, true)}, 10), 1u);
  EXPECT_EQ(applicable_frame_count(V{f(1, true), f(3, false), f(11, true)}, 10), 1u);
}

TEST(WalFormatTest, LogPathBesideTheDatabase) {
  EXPECT_EQ(wal_path_for("data/vectors.db"), "data/vectors.db-wal");
  EXPECT_EQ(wal_path_for("vectors.db"), "vectors.db-wal");
  EXPECT_EQ(wal_path_for("/tmp/x"), "/tmp/x-wal");
  EXPECT_EQ(wal_path_for("dir/db/"), "dir/db-wal");
  EXPECT_EQ(wal_path_for(""), "-wal");
  EXPECT_EQ(wal_path_for("/"), "/-wal");
  EXPECT_EQ(wal_path_for("//"), "/-wal");
  EXPECT_EQ(wal_path_for("a/.."), "a/../-wal");
  EXPECT_EQ(wal_path_for("."), "./-wal");
}

}  // namespace
}  // namespace orvane::storage
