// Fixed formats: slotted pages, checksums, the classic and the format-2 header.
#include <gtest/gtest.h>

#include <string_view>

#include "storage/coding.h"
#include "storage/crc32.h"
#include "storage/header_format.h"
#include "storage/page.h"
#include "storage/v2_header.h"

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Slot = std::optional<std::uint16_t>;

std::uint16_t free_offset(const Bytes& p) { return get_u16(p.data() + 5); }
std::uint16_t slot_count(const Bytes& p) { return get_u16(p.data() + 7); }

TEST(PageTest, RecordsSitBackToBackBehindTheirDirectory) {
  Bytes p(kPageSize, 0);
  p[0] = 1;
  p[6] = 0x04;
  p[5] = 0x10;
  EXPECT_EQ(new_page_image(kPageTypeVectorData), p);
  for (int i : {1, 2, 3, 4, 9, 10, 11, 12, 13, 14, 15}) p[i] = static_cast<std::uint8_t>(i);
  ASSERT_TRUE(append_to_page(p, Bytes{1, 2, 3}, std::nullopt));
  ASSERT_TRUE(append_to_page(p, Bytes{4, 5}, std::nullopt));
  for (int i : {1, 2, 3, 4, 9, 10, 11, 12, 13, 14, 15}) EXPECT_EQ(p[i], i);  // reserved kept
  EXPECT_EQ(Bytes(p.begin() + 5, p.begin() + 9), (Bytes{0x15, 0x04, 2, 0}));
  EXPECT_EQ(Bytes(p.begin() + 16, p.begin() + 24), (Bytes{0x10, 0x04, 3, 0, 0x13, 0x04, 2, 0}));
  EXPECT_EQ(Bytes(p.begin() + 1040, p.begin() + 1046), (Bytes{1, 2, 3, 4, 5, 0}));
  EXPECT_EQ(read_record(1, p, 1), (Bytes{4, 5}));
  EXPECT_FALSE(read_record(1, p, 2).has_value());
  EXPECT_FALSE(read_record(0, p, 0).has_value());  // the header page never has records
  EXPECT_DEATH(PageHeader::decode(Bytes(15, 0)), "page data too small for header");
}

// Appends in order; each row gives whether they fit and the page after them.
TEST(PageTest, AppendLimits) {
  struct Append {
    std::size_t length;
    Slot slot;
    bool fits;
  };
  struct Row {
    std::vector<Append> appends;
    std::uint16_t free, slots, read_slot;
    std::optional<std::size_t> read_length;  // of read_record(read_slot)
  };
  std::vector<Append> full(256, Append{1, std::nullopt, true});
  full.push_back({0, std::nullopt, false});
  full.push_back({1, Slot(3), false});
  const Row rows[] = {
      {{{3056, {}, true}, {1, {}, false}}, 4096, 1, 0, 3056},  // exactly full
      {{{3057, {}, false}, {70000, {}, false}}, 1040, 0, 0, std::nullopt},
      {{{0, {}, true}}, 1040, 1, 0, 0},  // an empty record takes a slot
      {full, 1040 + 256, 256, 255, 1},
      {{{2, Slot(0), true}}, 1042, 0, 0, std::nullopt},  // an explicit slot keeps the count
      {{{2, Slot(0), true}, {1, {}, true}}, 1043, 1, 0, 1},
      {{{3, Slot(0), true}, {5, Slot(0), true}, {1, {}, true}}, 1049, 1, 0, 1},
      {{{1, Slot(256), false}, {1, Slot(65535), false}, {1, Slot(255), true}}, 1041, 0, 0, {}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(&r - rows);
    Bytes p = new_page_image(1);
    for (const Append& a : r.appends) {
      const Bytes before = p;
      EXPECT_EQ(append_fits(p, a.length, a.slot), a.fits);
      EXPECT_EQ(append_to_page(p, Bytes(a.length, 7), a.slot), a.fits);
      EXPECT_TRUE(a.fits || p == before);
    }
    EXPECT_EQ(free_offset(p), r.free);
    EXPECT_EQ(slot_count(p), r.slots);
    const auto rec = read_record(1, p, r.read_slot);
    EXPECT_EQ(rec ? std::optional<std::size_t>(rec->size()) : std::nullopt, r.read_length);
  }
}

// Damaged headers and directories: reads stay inside the page, appends never
// land on a record that reads back, and a free offset outside the record
// area never fits.
TEST(PageTest, DamagedPages) {
  // Two records at 1040..1047, then free offset, slot count and slot 1 changed.
  const struct {
    std::uint16_t free, slot1_offset, slot1_length, slots;
    std::optional<std::uint16_t> appended_at;
  } rows[] = {
      {1047, 1044, 4, 2, 1048},  // free offset inside the last record
      {1040, 1044, 4, 2, 1048},  // free offset at the start of the area
      {1040, 1044, 4, 1, 1044},  // a slot beyond the count holds no record
      {1040, 1044, 0, 2, 1044},  // an empty entry holds no record
      {1040, 4093, 4, 2, 1044},  // an entry past the page end holds no record
      {1060, 1044, 4, 2, 1060},  // a gap after the records stays a gap
      {0, 1044, 4, 2, std::nullopt},
      {1039, 1044, 4, 2, std::nullopt},
      {4097, 1044, 4, 2, std::nullopt},
  };
  for (const auto& c : rows) {
    SCOPED_TRACE(c.free);
    Bytes p = new_page_image(1);
    ASSERT_TRUE(append_to_page(p, Bytes{1, 2, 3, 4}, std::nullopt));
    ASSERT_TRUE(append_to_page(p, Bytes{5, 6, 7, 8}, std::nullopt));
    put_u16(p.data() + 5, c.free);
    put_u16(p.data() + 7, c.slots);
    put_u16(p.data() + 20, c.slot1_offset);
    put_u16(p.data() + 22, c.slot1_length);
    const Bytes before = p;
    ASSERT_EQ(append_to_page(p, Bytes{9}, std::nullopt), c.appended_at.has_value());
    if (!c.appended_at) {
      EXPECT_EQ(p, before);
      continue;
    }
    EXPECT_EQ(get_u16(p.data() + 16 + 4 * c.slots), *c.appended_at);
    EXPECT_EQ(free_offset(p), *c.appended_at + 1);
    for (std::uint16_t slot = 0; slot < c.slots; ++slot) {
      EXPECT_EQ(read_record(1, p, slot), read_record(1, before, slot));
    }
  }
  // An entry running past the page end reads as empty; one ending at it is whole.
  Bytes p = new_page_image(1);
  ASSERT_TRUE(append_to_page(p, Bytes{1, 2, 3, 4}, std::nullopt));
  put_u16(p.data() + 16, 4090);
  put_u16(p.data() + 18, 7);
  EXPECT_TRUE(read_record(1, p, 0)->empty());
  put_u16(p.data() + 18, 6);
  EXPECT_EQ(read_record(1, p, 0)->size(), 6u);
  // A slot count past 256: reads bounded by the buffer, appends refused.
  put_u16(p.data() + 7, 300);
  EXPECT_TRUE(read_record(1, p, 299).has_value());
  EXPECT_FALSE(record_fits(p, 0));
  p.resize(100);  // a directory past the buffer
  EXPECT_FALSE(read_record(1, p, 0).has_value());
  // An all-zero header is a fresh page; a zero free offset beside any other
  // header byte is damage.
  Bytes zero(kPageSize, 0);
  EXPECT_FALSE(record_fits(zero, 3057));
  ASSERT_TRUE(append_to_page(zero, Bytes{8, 9}, std::nullopt));
  EXPECT_EQ(read_record(1, zero, 0), (Bytes{8, 9}));
  zero.assign(kPageSize, 0);
  zero[0] = 1;
  EXPECT_FALSE(record_fits(zero, 0));
}

std::span<const std::uint8_t> bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(Crc32Test, KnownAnswersAndContinuation) {
  EXPECT_EQ(crc32(bytes("")), 0u);
  EXPECT_EQ(crc32(bytes("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc32(Bytes(32, 0)), 0x190A55ADu);
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
  Bytes bytes(100);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const DatabaseHeader h = DatabaseHeader::decode(bytes.data());
  EXPECT_EQ(h.version, 0x867F7871u);
  EXPECT_EQ(h.next_page_id, 0xDAD3CCC5BEB7B0A9ULL);
  EXPECT_EQ(h.reserved_64, 0xD6CFC8C1u);
  EXPECT_EQ(h.reserved_68[31], static_cast<std::uint8_t>(99 * 7 + 1));
  Bytes out(100, 0);
  h.encode(out.data());
  EXPECT_EQ(out, bytes);
}

TEST(V2Header, RoundTripsAndRefusesDamage) {
  const V2Header h{7, 3, 99, 1234567, 0};
  Bytes page(kPageSize, 0);
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
