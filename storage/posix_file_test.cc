#include <gtest/gtest.h>

#include "storage/file.h"
#include "storage/test_dir.h"

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr const char* kEof = "I/O error: failed to fill whole buffer";
constexpr const char* kNoFile = "I/O error: No such file or directory (os error 2)";

template <class R>
std::string error_of(const R& r) {
  return r ? "no error" : r.error().to_string();
}

TEST(PosixFileTest, ReadWriteSizeTruncateVectoredWrite) {
  TestDir dir;
  const std::string path = dir.path("f");
  EXPECT_EQ(error_of(PosixFile::open(path, OpenMode::ReadWrite)), kNoFile);
  auto f = PosixFile::open(path, OpenMode::ReadWriteCreate).value();
  EXPECT_EQ(f->size().value(), 0u);
  ASSERT_TRUE(f->write_all_at(10, Bytes{1, 2, 3}).has_value());
  EXPECT_EQ(f->size().value(), 13u);
  EXPECT_EQ(read_file(path), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3}));
  Bytes buf(3), past(4);
  ASSERT_TRUE(f->read_exact_at(10, buf).has_value());
  EXPECT_EQ(buf, (Bytes{1, 2, 3}));
  EXPECT_EQ(error_of(f->read_exact_at(10, past)), kEof);  // a short read is an error
  EXPECT_EQ(error_of(f->read_exact_at(~std::uint64_t{0} - 1, buf)), kEof);
  ASSERT_TRUE(f->truncate(8192).has_value());
  EXPECT_EQ(f->size().value(), 8192u);
  ASSERT_TRUE(f->truncate(2).has_value());
  EXPECT_EQ(read_file(path), (Bytes{0, 0}));
  EXPECT_EQ(error_of(f->truncate(~std::uint64_t{0})), "I/O error: File too large (os error 27)");
  // More buffers than one pwritev accepts, of varied sizes, some empty.
  std::vector<Bytes> parts;
  Bytes want = {0, 0};
  for (int i = 0; i < 3000; ++i) {
    parts.push_back(Bytes(i % 5, static_cast<std::uint8_t>(i)));
    want.insert(want.end(), parts.back().begin(), parts.back().end());
  }
  ASSERT_TRUE(
      f->write_all_at_v(2, std::vector<std::span<const std::uint8_t>>(parts.begin(), parts.end())));
  EXPECT_EQ(read_file(path), want);
}

// Identity follows the file, not the path. (The lock, and paths resolved
// through symlinks and relative to the working directory: engine open tests.)
TEST(PosixFileTest, IdentityFollowsTheFile) {
  TestDir dir;
  const std::string path = dir.path("i");
  auto f = PosixFile::open(path, OpenMode::ReadWriteCreate).value();
  const auto id = f->identity().value();
  EXPECT_EQ(path_identity(path).value(), id);
  ASSERT_TRUE(remove_file(path).has_value());
  EXPECT_FALSE(path_exists(path));
  EXPECT_EQ(error_of(path_identity(path)), kNoFile);
  EXPECT_EQ(error_of(remove_file(path)), kNoFile);
  write_file(path, std::vector<std::uint8_t>{1, 2, 3});
  EXPECT_NE(path_identity(path).value(), id);
  EXPECT_EQ(f->identity().value(), id);  // the unlinked file is still ours
}

}  // namespace
}  // namespace orvane::storage
