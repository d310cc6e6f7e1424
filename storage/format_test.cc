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

std::uint16_t u16_at(const Bytes& p, std::size_t at) { return get_u16(p.data() + at); }

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

// Appends (length, explicit slot, fits) in order, then the free offset, the
// slot count and the length of one slot's record.
TEST(PageTest, AppendLimits) {
  using Appends = std::vector<std::tuple<std::size_t, Slot, bool>>;
  Appends full(256, {1, std::nullopt, true});
  full.insert(full.end(), {{0, std::nullopt, false}, {1, Slot(3), false}});
  const std::tuple<Appends, std::uint16_t, std::uint16_t, std::uint16_t, Slot> rows[] = {
      {{{3056, {}, true}, {1, {}, false}}, 4096, 1, 0, 3056},  // exactly full
      {{{3057, {}, false}, {70000, {}, false}}, 1040, 0, 0, {}},
      {{{0, {}, true}}, 1040, 1, 0, 0},  // an empty record takes a slot
      {full, 1040 + 256, 256, 255, 1},
      {{{2, Slot(0), true}}, 1042, 0, 0, {}},  // an explicit slot keeps the count
      {{{2, Slot(0), true}, {1, {}, true}}, 1043, 1, 0, 1},
      {{{3, Slot(0), true}, {5, Slot(0), true}, {1, {}, true}}, 1049, 1, 0, 1},
      {{{1, Slot(256), false}, {1, Slot(65535), false}, {1, Slot(255), true}}, 1041, 0, 0, {}},
  };
  for (const auto& [appends, free, slots, read_slot, read_length] : rows) {
    SCOPED_TRACE(free);
    Bytes p = new_page_image(1);
    for (const auto& [length, slot, fits] : appends) {
      const Bytes before = p;
      EXPECT_EQ(append_fits(p, length, slot), fits);
      EXPECT_EQ(append_to_page(p, Bytes(length, 7), slot), fits);
      EXPECT_TRUE(fits || p == before);
    }
    EXPECT_EQ(u16_at(p, 5), free);
    EXPECT_EQ(u16_at(p, 7), slots);
    const auto rec = read_record(1, p, read_slot);
    EXPECT_EQ(rec ? Slot(rec->size()) : std::nullopt, read_length);
  }
}

// Damaged headers and directories: appends never land on a record that
// reads back, and a free offset outside the record area never fits. (Reads
// of arbitrary page bytes: fuzz/page_fuzz.cc.)
TEST(PageTest, DamagedPages) {
  // Two records at 1040..1047, then free offset, slot count and slot 1 changed;
  // where the next record lands.
  const std::tuple<std::uint16_t, std::uint16_t, std::uint16_t, std::uint16_t, Slot> rows[] = {
      {1047, 2, 1044, 4, 1048},  // free offset inside the last record
      {1040, 2, 1044, 4, 1048},  // free offset at the start of the area
      {1040, 1, 1044, 4, 1044},  // a slot beyond the count holds no record
      {1040, 2, 1044, 0, 1044},  // an empty entry holds no record
      {1040, 2, 4093, 4, 1044},  // an entry past the page end holds no record
      {1060, 2, 1044, 4, 1060},  // a gap after the records stays a gap
      {0, 2, 1044, 4, {}},      {1039, 2, 1044, 4, {}}, {4097, 2, 1044, 4, {}},
  };
  for (const auto& [free, slots, slot1_offset, slot1_length, appended_at] : rows) {
    SCOPED_TRACE(free);
    Bytes p = new_page_image(1);
    ASSERT_TRUE(append_to_page(p, Bytes{1, 2, 3, 4}, std::nullopt));
    ASSERT_TRUE(append_to_page(p, Bytes{5, 6, 7, 8}, std::nullopt));
    const std::pair<int, std::uint16_t> edits[] = {
        {5, free}, {7, slots}, {20, slot1_offset}, {22, slot1_length}};
    for (auto [at, v] : edits) put_u16(p.data() + at, v);
    const Bytes before = p;
    ASSERT_EQ(append_to_page(p, Bytes{9}, std::nullopt), appended_at.has_value());
    EXPECT_TRUE(appended_at || p == before);
    if (!appended_at) continue;
    EXPECT_EQ(u16_at(p, 16 + 4 * slots), *appended_at);
    EXPECT_EQ(u16_at(p, 5), *appended_at + 1);
    for (std::uint16_t slot = 0; slot < slots; ++slot) {
      EXPECT_EQ(read_record(1, p, slot), read_record(1, before, slot));
    }
  }
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
  Bytes in(100), out(100, 0);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::uint8_t>(i * 7 + 1);
  const DatabaseHeader h = DatabaseHeader::decode(in.data());
  EXPECT_EQ(h.version, 0x867F7871u);
  EXPECT_EQ(h.next_page_id, 0xDAD3CCC5BEB7B0A9ULL);
  EXPECT_EQ(h.reserved_64, 0xD6CFC8C1u);
  EXPECT_EQ(h.reserved_68[31], static_cast<std::uint8_t>(99 * 7 + 1));
  h.encode(out.data());
  EXPECT_EQ(out, in);
}

TEST(V2Header, RoundTripsAndRefusesDamage) {
  const V2Header h{7, 3, 99, 1234567, 0};
  Bytes page(kPageSize, 0);
  h.encode(page);
  EXPECT_EQ(V2Header::decode(page).value_or(V2Header{}), h);
  // Each damage (offset, width, value), with the CRC refixed where the check
  // behind it is meant.
  const std::tuple<std::size_t, std::size_t, std::uint64_t, bool, const char*> cases[] = {
      {0, 1, 'K', false, "Invalid database file: wrong magic bytes"},
      {24, 8, 9, false, "Invalid database file: header checksum mismatch"},
      {16, 4, 3, true, "Unsupported format version: 3"},
      {20, 4, 8192, true, "Invalid database file: page size is not 4096"},
      {24, 8, 0, true, "Invalid database file: page_count 0"},
      {32, 8, 7, true, "Invalid database file: catalog root lies past page_count"},
  };
  for (const auto& [offset, width, value, refix_crc, text] : cases) {
    auto bad = page;
    for (std::size_t i = 0; i < width; ++i) bad[offset + i] = (value >> (8 * i)) & 0xFF;
    if (refix_crc) put_u32(bad.data() + 60, crc32(std::span(bad).first(60)));
    auto r = V2Header::decode(bad);
    EXPECT_EQ(r ? "decoded" : r.error().to_string(), text);
  }
}

}  // namespace
}  // namespace orvane::storage
