#include "storage/mem_file.h"

#include <gtest/gtest.h>

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(MemFileTest, BehavesLikeAFile) {
  MemFile f;
  ASSERT_TRUE(f.write_all_at(2, Bytes{7, 8}).has_value());
  EXPECT_EQ(*f.data(), (Bytes{0, 0, 7, 8}));
  Bytes b(2);
  ASSERT_TRUE(f.read_exact_at(2, b).has_value());
  EXPECT_EQ(b, (Bytes{7, 8}));
  EXPECT_EQ(f.read_exact_at(3, b).error().to_string(), "I/O error: failed to fill whole buffer");
  EXPECT_EQ(f.read_exact_at(100, b).error().to_string(), "I/O error: failed to fill whole buffer");
  ASSERT_TRUE(f.truncate(1).has_value());
  EXPECT_EQ(f.size().value(), 1u);
  const Bytes p1{1}, p2{2, 3};
  const std::span<const std::uint8_t> parts[] = {p1, p2};
  ASSERT_TRUE(f.write_all_at_v(1, parts).has_value());
  EXPECT_EQ(*f.data(), (Bytes{0, 1, 2, 3}));
}

TEST(FaultyFileTest, FailsTheNthWriteAfterWritingHalf) {
  auto mem = std::make_unique<MemFile>();
  auto data = mem->data();
  FaultyFile f(std::move(mem));
  f.fail_write_number(2);
  ASSERT_TRUE(f.write_all_at(0, Bytes{1, 1}).has_value());
  auto bad = f.write_all_at(2, Bytes{2, 2, 2, 2});
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().to_string(), "I/O error: Input/output error (os error 5)");
  EXPECT_EQ(*data, (Bytes{1, 1, 2, 2}));
  ASSERT_TRUE(f.write_all_at(0, Bytes{3}).has_value());  // only the one write fails
  EXPECT_EQ(f.writes(), 3u);

  f.fail_write_number(1);
  const Bytes a{4, 4}, b{5, 5};
  const std::span<const std::uint8_t> parts[] = {a, b};
  ASSERT_FALSE(f.write_all_at_v(4, parts).has_value());
  EXPECT_EQ(*data, (Bytes{3, 1, 2, 2, 4, 4}));

  f.fail_reads(true);
  Bytes r(1);
  EXPECT_FALSE(f.read_exact_at(0, r).has_value());
  f.fail_reads(false);
  EXPECT_TRUE(f.read_exact_at(0, r).has_value());
  f.fail_truncates(true);
  EXPECT_FALSE(f.truncate(0).has_value());
  EXPECT_EQ(data->size(), 6u);
}

}  // namespace
}  // namespace orvane::storage
