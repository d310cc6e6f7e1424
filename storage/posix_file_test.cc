#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "storage/file.h"
#include "storage/test_dir.h"

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(PosixFileTest, ReadWriteSizeTruncate) {
  TestDir dir;
  const std::string path = dir.path("f");
  EXPECT_FALSE(path_exists(path));
  auto missing = PosixFile::open(path, OpenMode::ReadWrite);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().to_string(), "I/O error: No such file or directory (os error 2)");

  auto f = PosixFile::open(path, OpenMode::ReadWriteCreate);
  ASSERT_TRUE(f.has_value()) << f.error().to_string();
  EXPECT_TRUE(path_exists(path));
  EXPECT_EQ((*f)->size().value(), 0u);
  ASSERT_TRUE((*f)->write_all_at(10, Bytes{1, 2, 3}).has_value());
  EXPECT_EQ((*f)->size().value(), 13u);
  EXPECT_EQ(read_file(path), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3}));

  Bytes buf(3);
  ASSERT_TRUE((*f)->read_exact_at(10, buf).has_value());
  EXPECT_EQ(buf, (Bytes{1, 2, 3}));
  Bytes past(4);
  auto eof = (*f)->read_exact_at(10, past);
  ASSERT_FALSE(eof.has_value());
  EXPECT_EQ(eof.error().to_string(), "I/O error: failed to fill whole buffer");
  auto far = (*f)->read_exact_at(~std::uint64_t{0} - 1, buf);
  ASSERT_FALSE(far.has_value());
  EXPECT_EQ(far.error().to_string(), "I/O error: failed to fill whole buffer");

  ASSERT_TRUE((*f)->truncate(8192).has_value());
  EXPECT_EQ((*f)->size().value(), 8192u);
  ASSERT_TRUE((*f)->truncate(2).has_value());
  EXPECT_EQ(read_file(path), (Bytes{0, 0}));
  auto huge = (*f)->truncate(~std::uint64_t{0});
  ASSERT_FALSE(huge.has_value());
  EXPECT_EQ(huge.error().os_errno(), EFBIG);
}

TEST(PosixFileTest, VectoredWriteLandsBackToBack) {
  TestDir dir;
  auto f = PosixFile::open(dir.path("v"), OpenMode::ReadWriteCreate);
  ASSERT_TRUE(f.has_value());
  // More buffers than one pwritev accepts, of varied sizes, some empty.
  std::vector<Bytes> parts;
  Bytes want(5, 0xFF);
  ASSERT_TRUE((*f)->write_all_at(0, want).has_value());
  for (int i = 0; i < 3000; ++i) {
    parts.push_back(Bytes(i % 5, static_cast<std::uint8_t>(i)));
    want.insert(want.end(), parts.back().begin(), parts.back().end());
  }
  std::vector<std::span<const std::uint8_t>> spans(parts.begin(), parts.end());
  ASSERT_TRUE((*f)->write_all_at_v(5, spans).has_value());
  EXPECT_EQ(read_file(dir.path("v")), want);
}

TEST(PosixFileTest, IdentityFollowsTheFileNotThePath) {
  TestDir dir;
  const std::string path = dir.path("i");
  auto f = PosixFile::open(path, OpenMode::ReadWriteCreate);
  ASSERT_TRUE(f.has_value());
  const auto id = (*f)->identity().value();
  EXPECT_EQ(path_identity(path).value(), id);
  ASSERT_TRUE(remove_file(path).has_value());
  EXPECT_FALSE(path_exists(path));
  EXPECT_EQ(path_identity(path).error().os_errno(), ENOENT);
  EXPECT_EQ(remove_file(path).error().to_string(),
            "I/O error: No such file or directory (os error 2)");
  auto g = PosixFile::open(path, OpenMode::ReadWriteCreate);
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ(path_identity(path).value(), (*g)->identity().value());
  EXPECT_EQ((*f)->identity().value(), id);  // the unlinked file is still ours
}

// The lock belongs to the open file description: closing it, or detaching
// the descriptor from it, lets go.
TEST(PosixFileTest, ExclusiveLockPerOpenFileDescription) {
  TestDir dir;
  const std::string path = dir.path("l");
  write_file(path, {1, 2, 3});
  for (const bool detach : {false, true}) {
    auto a = PosixFile::open(path, OpenMode::ReadWrite);
    auto b = PosixFile::open(path, OpenMode::ReadWrite);
    ASSERT_TRUE(a.has_value() && b.has_value());
    EXPECT_EQ((*a)->try_lock_exclusive().value(), true);
    EXPECT_EQ((*a)->try_lock_exclusive().value(), true);  // already ours
    EXPECT_EQ((*b)->try_lock_exclusive().value(), false);
    if (detach) {
      detach_descriptor((*a)->fd());  // the number now names /dev/null
      Bytes byte(1);
      EXPECT_EQ((*a)->read_exact_at(0, byte).error().to_string(),
                "I/O error: failed to fill whole buffer");
    } else {
      a->reset();
    }
    EXPECT_EQ((*b)->try_lock_exclusive().value(), true);
  }
  EXPECT_EQ(read_file(path), (Bytes{1, 2, 3}));
}

TEST(PosixFileTest, ResolvePath) {
  TestDir dir;
  const std::string real = std::filesystem::canonical(dir.path("")).string();
  write_file(dir.path("db"), Bytes{1});
  std::filesystem::create_symlink(dir.path("db"), dir.path("link"));
  std::filesystem::create_directory(dir.path("sub"));
  EXPECT_EQ(resolve_path(dir.path("db")).value(), real + "/db");
  EXPECT_EQ(resolve_path(dir.path("link")).value(), real + "/db");
  EXPECT_EQ(resolve_path(dir.path("sub/../new")).value(), real + "/new");
  EXPECT_EQ(resolve_path(dir.path("missing/new")).error().os_errno(), ENOENT);
  EXPECT_EQ(resolve_path("").error().os_errno(), ENOENT);
  EXPECT_EQ(resolve_path("/").value(), "/");

  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path("sub"));
  auto relative_new = resolve_path("fresh.db");
  auto relative_old = resolve_path("../db");
  std::filesystem::current_path(cwd);
  EXPECT_EQ(relative_new.value(), real + "/sub/fresh.db");
  EXPECT_EQ(relative_old.value(), real + "/db");
}

}  // namespace
}  // namespace orvane::storage
