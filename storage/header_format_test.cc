#include "storage/header_format.h"

#include <gtest/gtest.h>

#include <vector>

namespace orvane::storage {
namespace {

TEST(DatabaseHeaderTest, FreshHeaderBytes) {
  std::vector<std::uint8_t> page(4096, 0xEE);
  DatabaseHeader::fresh(0x0102030405060708ULL).encode(page.data());
  // clang-format off
  const std::vector<std::uint8_t> want = {
      'K', 'e', 's', 't', 'r', 'u', 'm', ' ', 'v', '1', 0, 0, 0, 0, 0, 0,  // magic
      1,   0,   0,   0,                                                    // version
      0,   0x10, 0,  0,                                                    // page_size
      1,   0,   0,   0,   0,   0,   0,   0,                                // next_page_id
      0,   0,   0,   0,   0,   0,   0,   0,                                // catalog_page_id
      0,   0,   0,   0,   0,   0,   0,   0,                                // reserved
      8,   7,   6,   5,   4,   3,   2,   1,                                // created_at
  };
  // clang-format on
  ASSERT_EQ(std::vector<std::uint8_t>(page.begin(), page.begin() + 56), want);
  for (std::size_t i = 56; i < 100; ++i) EXPECT_EQ(page[i], 0) << i;
  // Bytes past the header are left alone.
  for (std::size_t i = 100; i < page.size(); ++i) ASSERT_EQ(page[i], 0xEE) << i;
}

TEST(DatabaseHeaderTest, DecodeEncodeCarriesReservedFields) {
  std::vector<std::uint8_t> bytes(100);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const DatabaseHeader h = DatabaseHeader::decode(bytes.data());
  EXPECT_EQ(h.version, 0x867F7871u);
  EXPECT_EQ(h.next_page_id, 0xDAD3CCC5BEB7B0A9ULL);
  EXPECT_EQ(h.reserved_64, 0xD6CFC8C1u);
  EXPECT_EQ(h.reserved_68[31], static_cast<std::uint8_t>(99 * 7 + 1));
  std::vector<std::uint8_t> out(100, 0);
  h.encode(out.data());
  EXPECT_EQ(out, bytes);
}

}  // namespace
}  // namespace orvane::storage
