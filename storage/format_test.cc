// Fixed formats: checksums, the classic file header and the format-2 header.
#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "storage/coding.h"
#include "storage/crc32.h"
#include "storage/header_format.h"
#include "storage/types.h"
#include "storage/v2_header.h"

namespace orvane::storage {
namespace {

std::span<const std::uint8_t> bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(Crc32Test, KnownAnswersAndContinuation) {
  EXPECT_EQ(crc32(bytes("")), 0u);
  EXPECT_EQ(crc32(bytes("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc32(std::vector<std::uint8_t>(32, 0)), 0x190A55ADu);
  const std::string_view s = "The quick brown fox jumps over the lazy dog";
  const std::uint32_t whole = crc32(bytes(s));
  EXPECT_EQ(whole, 0x414FA339u);
  for (std::size_t cut = 0; cut <= s.size(); ++cut) {
    const auto a = bytes(s.substr(0, cut)), b = bytes(s.substr(cut));
    EXPECT_EQ(crc32(b, crc32(a)), whole) << cut;
    EXPECT_EQ(crc32_combine(crc32(a), crc32(b), b.size()), whole) << cut;
  }
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

TEST(V2Header, RoundTripsAndRefusesDamage) {
  const V2Header h{7, 3, 99, 1234567, 0};
  std::vector<std::uint8_t> page(kPageSize, 0);
  h.encode(page);
  auto back = V2Header::decode(page);
  ASSERT_TRUE(back) << back.error().to_string();
  EXPECT_EQ(*back, h);
  // Each damage, with the CRC refixed where the check behind it is meant.
  const struct {
    std::size_t offset, width;
    std::uint64_t value;
    bool refix_crc;
    const char* text;
  } cases[] = {
      {0, 1, 'K', false, "Invalid database file: wrong magic bytes"},
      {24, 8, 9, false, "Invalid database file: header checksum mismatch"},
      {16, 4, 3, true, "Unsupported format version: 3"},
      {20, 4, 8192, true, "Invalid database file: page size is not 4096"},
      {24, 8, 0, true, "Invalid database file: page_count 0"},
      {32, 8, 7, true, "Invalid database file: catalog root lies past page_count"},
  };
  for (const auto& c : cases) {
    auto bad = page;
    for (std::size_t i = 0; i < c.width; ++i) bad[c.offset + i] = (c.value >> (8 * i)) & 0xFF;
    if (c.refix_crc) put_u32(bad.data() + 60, crc32(std::span(bad).first(60)));
    auto r = V2Header::decode(bad);
    ASSERT_FALSE(r) << c.text;
    EXPECT_EQ(r.error().to_string(), c.text);
  }
}

}  // namespace
}  // namespace orvane::storage
