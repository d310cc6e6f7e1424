#include "storage/page.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "storage/coding.h"

namespace orvane::storage {
namespace {

constexpr std::size_t kSlotEntrySize = 4;

bool header_all_zero(std::span<const std::uint8_t> page) {
  return std::all_of(page.begin(), page.begin() + kPageHeaderSize,
                     [](std::uint8_t b) { return b == 0; });
}

// Where the next record goes, or 0 when the header's free_offset is unusable.
// An all-zero header is a page that was never formatted (a hole in the file):
// placing a record at its free_offset 0 would overwrite the header itself.
// A damaged free_offset that lies inside a readable record moves past the
// records: an append must never overwrite one. On an intact page the free
// offset already lies at or past every record's end.
std::size_t effective_free_offset(std::span<const std::uint8_t> page, const PageHeader& h) {
  if (header_all_zero(page)) return kRecordAreaStart;
  if (h.free_offset < kRecordAreaStart || h.free_offset > page.size()) return 0;
  std::size_t free = h.free_offset;
  const std::size_t slots = std::min<std::size_t>(h.slot_count, kMaxSlots);
  for (std::size_t s = 0; s < slots; ++s) {
    const std::uint8_t* entry = page.data() + kPageHeaderSize + kSlotEntrySize * s;
    const std::size_t end = std::size_t{get_u16(entry)} + get_u16(entry + 2);
    if (get_u16(entry + 2) != 0 && end <= page.size()) free = std::max(free, end);
  }
  return free;
}

}  // namespace

PageHeader PageHeader::decode(std::span<const std::uint8_t> page) {
  if (page.size() < kPageHeaderSize) {
    std::fputs("page data too small for header\n", stderr);
    std::abort();
  }
  const std::uint8_t* p = page.data();
  PageHeader h;
  h.page_type = p[0];
  h.reserved_1 = get_u32(p + 1);
  h.free_offset = get_u16(p + 5);
  h.slot_count = get_u16(p + 7);
  h.reserved_9 = get_u32(p + 9);
  h.reserved_13 = get_u16(p + 13);
  h.reserved_15 = p[15];
  return h;
}

void PageHeader::encode(std::span<std::uint8_t> page) const {
  if (page.size() < kPageHeaderSize) {
    std::fputs("page data too small for header\n", stderr);
    std::abort();
  }
  std::uint8_t* p = page.data();
  p[0] = page_type;
  put_u32(p + 1, reserved_1);
  put_u16(p + 5, free_offset);
  put_u16(p + 7, slot_count);
  put_u32(p + 9, reserved_9);
  put_u16(p + 13, reserved_13);
  p[15] = reserved_15;
}

std::vector<std::uint8_t> new_page_image(std::uint8_t page_type) {
  std::vector<std::uint8_t> page(kPageSize, 0);
  page[0] = page_type;
  put_u16(page.data() + 5, kRecordAreaStart);
  return page;
}

std::optional<std::vector<std::uint8_t>> read_record(PageId id, std::span<const std::uint8_t> page,
                                                     std::uint16_t slot) {
  if (id == 0) return std::nullopt;  // the database header page holds no records
  const PageHeader h = PageHeader::decode(page);
  if (slot >= h.slot_count) return std::nullopt;
  if (kPageHeaderSize + kSlotEntrySize * h.slot_count > page.size()) return std::nullopt;
  const std::uint8_t* entry = page.data() + kPageHeaderSize + kSlotEntrySize * slot;
  const std::size_t offset = get_u16(entry);
  const std::size_t length = get_u16(entry + 2);
  if (length == 0 || offset + length > page.size()) return std::vector<std::uint8_t>{};
  return std::vector<std::uint8_t>(page.begin() + offset, page.begin() + offset + length);
}

bool record_fits(std::span<const std::uint8_t> page, std::size_t length) {
  if (page.size() < kRecordAreaStart) return false;
  const PageHeader h = PageHeader::decode(page);
  if (h.slot_count >= kMaxSlots) return false;
  const std::size_t free = effective_free_offset(page, h);
  if (free == 0) return false;
  return length <= page.size() - free;
}

bool append_fits(std::span<const std::uint8_t> page, std::size_t length,
                 std::optional<std::uint16_t> explicit_slot) {
  // An entry at slot 256 or beyond would land in the record area or past the page.
  if (explicit_slot && *explicit_slot >= kMaxSlots) return false;
  return record_fits(page, length);
}

bool append_to_page(std::span<std::uint8_t> page, std::span<const std::uint8_t> record,
                    std::optional<std::uint16_t> explicit_slot) {
  if (!append_fits(page, record.size(), explicit_slot)) return false;
  PageHeader h = PageHeader::decode(page);
  const std::size_t free = effective_free_offset(page, h);
  std::copy(record.begin(), record.end(), page.begin() + free);
  const std::uint16_t target = explicit_slot ? *explicit_slot : h.slot_count;
  std::uint8_t* entry = page.data() + kPageHeaderSize + kSlotEntrySize * target;
  put_u16(entry, static_cast<std::uint16_t>(free));
  put_u16(entry + 2, static_cast<std::uint16_t>(record.size()));
  h.free_offset = static_cast<std::uint16_t>(free + record.size());
  if (!explicit_slot) ++h.slot_count;
  h.encode(page);
  return true;
}

}  // namespace orvane::storage
