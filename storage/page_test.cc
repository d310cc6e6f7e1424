#include "storage/page.h"

#include <gtest/gtest.h>

#include <numeric>

#include "storage/coding.h"

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes filled(std::size_t n, std::uint8_t v) { return Bytes(n, v); }
std::uint16_t free_offset(const Bytes& p) { return get_u16(p.data() + 5); }
std::uint16_t slot_count(const Bytes& p) { return get_u16(p.data() + 7); }

TEST(PageTest, NewPageImageBytes) {
  const Bytes p = new_page_image(kPageTypeVectorData);
  ASSERT_EQ(p.size(), 4096u);
  for (std::size_t i = 0; i < p.size(); ++i) {
    const std::uint8_t want = i == 0 ? 1 : i == 5 ? 0x10 : i == 6 ? 0x04 : 0;
    ASSERT_EQ(p[i], want) << "byte " << i;
  }
  EXPECT_EQ(kRecordAreaSize, 3056);
  EXPECT_FALSE(read_record(1, p, 0).has_value());
}

TEST(PageTest, HeaderRoundTripKeepsReservedFields) {
  Bytes p(4096, 0);
  for (std::size_t i = 0; i < 16; ++i) p[i] = static_cast<std::uint8_t>(0xA0 + i);
  const PageHeader h = PageHeader::decode(p);
  EXPECT_EQ(h.page_type, 0xA0);
  EXPECT_EQ(h.reserved_1, 0xA4A3A2A1u);
  EXPECT_EQ(h.free_offset, 0xA6A5);
  EXPECT_EQ(h.slot_count, 0xA8A7);
  EXPECT_EQ(h.reserved_9, 0xACABAAA9u);
  EXPECT_EQ(h.reserved_13, 0xAEAD);
  EXPECT_EQ(h.reserved_15, 0xAF);
  Bytes q(4096, 0);
  h.encode(q);
  EXPECT_EQ(Bytes(q.begin(), q.begin() + 16), Bytes(p.begin(), p.begin() + 16));

  // An append rewrites only free_offset and slot_count in the header.
  Bytes page = new_page_image(3);
  for (int i : {1, 2, 3, 4, 9, 10, 11, 12, 13, 14, 15}) page[i] = static_cast<std::uint8_t>(i);
  ASSERT_TRUE(append_to_page(page, Bytes{7, 7}, std::nullopt));
  for (int i : {1, 2, 3, 4, 9, 10, 11, 12, 13, 14, 15}) EXPECT_EQ(page[i], i);
  EXPECT_EQ(page[0], 3);
}

TEST(PageTest, RecordAreaFillsExactly) {
  Bytes p = new_page_image(1);
  Bytes full = filled(3056, 0x5A);
  ASSERT_TRUE(append_to_page(p, full, std::nullopt));
  EXPECT_EQ(free_offset(p), 4096);
  EXPECT_EQ(slot_count(p), 1);
  EXPECT_EQ(get_u32(p.data() + 16), 1040u + 65536u * 3056u);
  EXPECT_EQ(read_record(1, p, 0), full);
  // Nothing more fits; an empty record still does, as it needs a slot only.
  const Bytes before = p;
  EXPECT_FALSE(append_to_page(p, Bytes{1}, std::nullopt));
  EXPECT_EQ(p, before);
  EXPECT_TRUE(record_fits(p, 0));

  Bytes q = new_page_image(1);
  const Bytes fresh = q;
  EXPECT_FALSE(append_to_page(q, filled(3057, 1), std::nullopt));
  EXPECT_EQ(q, fresh);
  EXPECT_FALSE(append_to_page(q, filled(70000, 1), std::nullopt));
  EXPECT_EQ(q, fresh);
}

TEST(PageTest, RecordsSitBackToBack) {
  Bytes p = new_page_image(1);
  ASSERT_TRUE(append_to_page(p, Bytes{1, 2, 3}, std::nullopt));
  ASSERT_TRUE(append_to_page(p, Bytes{4, 5}, std::nullopt));
  EXPECT_EQ(free_offset(p), 1045);
  EXPECT_EQ(slot_count(p), 2);
  EXPECT_EQ(Bytes(p.begin() + 16, p.begin() + 24), (Bytes{0x10, 0x04, 3, 0, 0x13, 0x04, 2, 0}));
  EXPECT_EQ(Bytes(p.begin() + 1040, p.begin() + 1046), (Bytes{1, 2, 3, 4, 5, 0}));
  EXPECT_EQ(read_record(1, p, 0), (Bytes{1, 2, 3}));
  EXPECT_EQ(read_record(1, p, 1), (Bytes{4, 5}));
  EXPECT_FALSE(read_record(1, p, 2).has_value());
  // Page 0 never has records, whatever its bytes say.
  EXPECT_FALSE(read_record(0, p, 0).has_value());
}

TEST(PageTest, SlotLimitIs256) {
  Bytes p = new_page_image(1);
  for (int i = 0; i < 256; ++i) {
    ASSERT_TRUE(append_to_page(p, Bytes{static_cast<std::uint8_t>(i)}, std::nullopt)) << i;
  }
  EXPECT_EQ(slot_count(p), 256);
  EXPECT_EQ(free_offset(p), 1040 + 256);
  const Bytes before = p;
  EXPECT_FALSE(append_to_page(p, Bytes{1}, std::nullopt));
  EXPECT_FALSE(append_to_page(p, Bytes{}, std::nullopt));
  // The slot count also bounds appends with an explicit slot.
  EXPECT_FALSE(append_to_page(p, Bytes{1}, std::uint16_t{3}));
  EXPECT_EQ(p, before);
  EXPECT_EQ(read_record(1, p, 255), Bytes{255});
}

TEST(PageTest, EmptyRecordUsesASlot) {
  Bytes p = new_page_image(1);
  ASSERT_TRUE(append_to_page(p, Bytes{}, std::nullopt));
  EXPECT_EQ(slot_count(p), 1);
  EXPECT_EQ(free_offset(p), 1040);
  EXPECT_EQ(get_u32(p.data() + 16), 1040u);
  auto r = read_record(1, p, 0);
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->empty());
}

TEST(PageTest, ExplicitSlotSemantics) {
  Bytes p = new_page_image(1);
  ASSERT_TRUE(append_to_page(p, Bytes{9, 9}, std::uint16_t{0}));
  EXPECT_EQ(slot_count(p), 0);
  EXPECT_EQ(free_offset(p), 1042);
  EXPECT_EQ(get_u32(p.data() + 16), 1040u + 65536u * 2);
  EXPECT_FALSE(read_record(1, p, 0).has_value());

  // A later plain append takes slot 0 again and overwrites its entry.
  ASSERT_TRUE(append_to_page(p, Bytes{7}, std::nullopt));
  EXPECT_EQ(slot_count(p), 1);
  EXPECT_EQ(get_u32(p.data() + 16), 1042u + 65536u * 1);
  EXPECT_EQ(read_record(1, p, 0), Bytes{7});

  // The same explicit slot twice consumes space twice; the entry names the second copy.
  ASSERT_TRUE(append_to_page(p, Bytes{1, 1, 1}, std::uint16_t{0}));
  ASSERT_TRUE(append_to_page(p, Bytes{2, 2, 2}, std::uint16_t{0}));
  EXPECT_EQ(free_offset(p), 1043 + 6);
  EXPECT_EQ(slot_count(p), 1);
  EXPECT_EQ(read_record(1, p, 0), (Bytes{2, 2, 2}));
  EXPECT_EQ(Bytes(p.begin() + 1043, p.begin() + 1049), (Bytes{1, 1, 1, 2, 2, 2}));

  // Slots at 256 and beyond would land in the record area: refused.
  const Bytes before = p;
  EXPECT_FALSE(append_to_page(p, Bytes{1}, std::uint16_t{256}));
  EXPECT_FALSE(append_to_page(p, Bytes{1}, std::uint16_t{65535}));
  EXPECT_EQ(p, before);
  EXPECT_TRUE(append_to_page(p, Bytes{1}, std::uint16_t{255}));
  EXPECT_EQ(get_u32(p.data() + 16 + 4 * 255), 1049u + 65536u);
}

TEST(PageTest, DamagedDirectoryReadsAsNoneOrEmpty) {
  Bytes p = new_page_image(1);
  ASSERT_TRUE(append_to_page(p, Bytes{1, 2, 3, 4}, std::nullopt));
  // Entry running past the page end.
  put_u16(p.data() + 16, 4090);
  put_u16(p.data() + 18, 7);
  auto r = read_record(1, p, 0);
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->empty());
  // Entry ending exactly at the page end is fine.
  put_u16(p.data() + 18, 6);
  EXPECT_EQ(read_record(1, p, 0)->size(), 6u);
  // A slot count whose directory would not fit the buffer: no record.
  Bytes small(100, 0);
  put_u16(small.data() + 7, 30);
  EXPECT_FALSE(read_record(1, small, 0).has_value());
  put_u16(small.data() + 7, 21);  // 16 + 84 = 100: fits
  EXPECT_TRUE(read_record(1, small, 0).has_value());
  // Slot count beyond 256 on a damaged page: reads are bounded, appends refused.
  Bytes q = new_page_image(1);
  put_u16(q.data() + 7, 300);
  EXPECT_TRUE(read_record(1, q, 299).has_value());
  EXPECT_FALSE(record_fits(q, 0));
}

TEST(PageTest, FreeOffsetOutsideTheRecordAreaNeverFits) {
  for (std::uint16_t bad : {0, 1, 15, 1039, 4097, 65535}) {
    Bytes p = new_page_image(1);
    put_u16(p.data() + 5, bad);
    const Bytes before = p;
    EXPECT_FALSE(record_fits(p, 0)) << bad;
    EXPECT_FALSE(append_to_page(p, Bytes{1}, std::nullopt)) << bad;
    EXPECT_EQ(p, before);
  }
}

TEST(PageTest, AppendNeverOverwritesARecord) {
  // Two records at 1040..1047; then the header or directory is damaged.
  const struct {
    std::uint16_t free;
    std::uint16_t slot1_offset, slot1_length;
    std::uint16_t slots;
    std::uint16_t expected_at;
  } cases[] = {
      {1047, 1044, 4, 2, 1048},  // free offset inside the last record
      {1040, 1044, 4, 2, 1048},  // free offset at the start of the area
      {1040, 1044, 4, 1, 1044},  // a slot beyond the count holds no record
      {1040, 1044, 0, 2, 1044},  // an empty entry holds no record
      {1040, 4093, 4, 2, 1044},  // an entry past the page end holds no record
      {1060, 1044, 4, 2, 1060},  // a gap after the records stays a gap
  };
  for (const auto& c : cases) {
    Bytes p = new_page_image(1);
    ASSERT_TRUE(append_to_page(p, Bytes{1, 2, 3, 4}, std::nullopt));
    ASSERT_TRUE(append_to_page(p, Bytes{5, 6, 7, 8}, std::nullopt));
    put_u16(p.data() + 5, c.free);
    put_u16(p.data() + 7, c.slots);
    put_u16(p.data() + 20, c.slot1_offset);
    put_u16(p.data() + 22, c.slot1_length);
    const Bytes before = p;
    EXPECT_TRUE(record_fits(p, 4096 - c.expected_at)) << c.free;
    EXPECT_FALSE(record_fits(p, 4097 - c.expected_at)) << c.free;
    ASSERT_TRUE(append_to_page(p, Bytes{9}, std::nullopt));
    EXPECT_EQ(get_u16(p.data() + 16 + 4 * c.slots), c.expected_at) << c.free;
    EXPECT_EQ(free_offset(p), c.expected_at + 1) << c.free;
    for (std::uint16_t slot = 0; slot < c.slots; ++slot) {
      EXPECT_EQ(read_record(1, p, slot), read_record(1, before, slot)) << c.free;
    }
  }
}

TEST(PageTest, AllZeroHeaderCountsAsFresh) {
  Bytes p(4096, 0);
  EXPECT_TRUE(record_fits(p, 3056));
  EXPECT_FALSE(record_fits(p, 3057));
  ASSERT_TRUE(append_to_page(p, Bytes{8, 9}, std::nullopt));
  EXPECT_EQ(free_offset(p), 1042);
  EXPECT_EQ(slot_count(p), 1);
  EXPECT_EQ(p[0], 0);
  EXPECT_EQ(p[1040], 8);
  EXPECT_EQ(read_record(1, p, 0), (Bytes{8, 9}));
  // A zero free_offset with any other header byte set is damage, not a fresh page.
  Bytes q(4096, 0);
  q[0] = 1;
  EXPECT_FALSE(record_fits(q, 0));
}

TEST(PageDeathTest, HeaderOfATooSmallBufferStopsTheProcess) {
  Bytes tiny(15, 0);
  EXPECT_DEATH(PageHeader::decode(tiny), "page data too small for header");
}

}  // namespace
}  // namespace orvane::storage
