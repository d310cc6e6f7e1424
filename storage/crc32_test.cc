#include "storage/crc32.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace orvane::storage {
namespace {

std::span<const std::uint8_t> bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(Crc32Test, KnownAnswers) {
  EXPECT_EQ(crc32(bytes("")), 0u);
  EXPECT_EQ(crc32(bytes("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc32(bytes("a")), 0xE8B7BE43u);
  const std::vector<std::uint8_t> zeros(32, 0);
  EXPECT_EQ(crc32(zeros), 0x190A55ADu);
}

TEST(Crc32Test, ContinuationAndCombineEqualTheWholeSum) {
  const std::string_view s = "The quick brown fox jumps over the lazy dog";
  const std::uint32_t whole = crc32(bytes(s));
  EXPECT_EQ(whole, 0x414FA339u);
  for (std::size_t cut = 0; cut <= s.size(); ++cut) {
    const auto a = bytes(s.substr(0, cut));
    const auto b = bytes(s.substr(cut));
    EXPECT_EQ(crc32(b, crc32(a)), whole) << cut;
    EXPECT_EQ(crc32_combine(crc32(a), crc32(b), b.size()), whole) << cut;
  }
}

}  // namespace
}  // namespace orvane::storage
