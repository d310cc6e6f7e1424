#include "storage/header_format.h"

#include <gtest/gtest.h>

#include <vector>

namespace orvane::storage {
namespace {

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
