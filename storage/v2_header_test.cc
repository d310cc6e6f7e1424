#include "storage/v2_header.h"

#include <gtest/gtest.h>

#include <vector>

#include "storage/coding.h"
#include "storage/crc32.h"
#include "storage/types.h"

namespace orvane::storage {
namespace {

std::vector<std::uint8_t> encoded(const V2Header& h) {
  std::vector<std::uint8_t> page(kPageSize, 0);
  h.encode(page);
  return page;
}

TEST(V2Header, RoundTripsAndRefusesDamage) {
  const V2Header h{7, 3, 99, 1234567, 0};
  auto page = encoded(h);
  auto back = V2Header::decode(page);
  ASSERT_TRUE(back) << back.error().to_string();
  EXPECT_EQ(*back, h);

  // Each damage, with the CRC refixed where the check behind it is meant.
  struct Case {
    std::size_t offset;
    std::uint32_t value;
    bool refix_crc;
    const char* text;
  };
  const Case cases[] = {
      {0, 'K', false, "Invalid database file: wrong magic bytes"},
      {24, 9, false, "Invalid database file: header checksum mismatch"},
      {16, 3, true, "Unsupported format version: 3"},
      {20, 8192, true, "Invalid database file: page size is not 4096"},
      {24, 0, true, "Invalid database file: page_count 0"},
      {32, 7, true, "Invalid database file: catalog root lies past page_count"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto bad = page;
    if (c.offset == 0) {
      bad[0] = static_cast<std::uint8_t>(c.value);
    } else if (c.offset == 24 || c.offset == 32) {
      put_u64(bad.data() + c.offset, c.value);
    } else {
      put_u32(bad.data() + c.offset, c.value);
    }
    if (c.refix_crc) put_u32(bad.data() + 60, crc32(std::span(bad).first(60)));
    auto r = V2Header::decode(bad);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), c.text);
  }
}

}  // namespace
}  // namespace orvane::storage
