// Slotted page reads and appends on arbitrary page bytes, directly and
// through the page cache (which refuses page 0).
// Input: u8 page id selector (0: the header page), 4096 page bytes, then
// appends: u8 flags (bit 0: a u16 explicit slot follows), u16 length, that
// many record bytes.
#include <cstring>

#include "fuzz/fuzz_support.h"

using namespace orvane;
using namespace orvane::storage;
using Span = std::span<const std::uint8_t>;

static std::size_t slot_offset(Span p, std::size_t s) { return get_u16(p.data() + 16 + 4 * s); }
static std::size_t slot_length(Span p, std::size_t s) { return get_u16(p.data() + 18 + 4 * s); }

static void check_read(PageId id, Span page, std::uint32_t s) {
  const std::uint32_t slots = get_u16(page.data() + 7);
  const auto rec = read_record(id, page, static_cast<std::uint16_t>(s));
  const bool none = id == 0 || s >= slots || 16 + 4 * slots > page.size();
  FUZZ_CHECK(rec.has_value() != none);
  if (none) return;
  const std::size_t offset = slot_offset(page, s), length = slot_length(page, s);
  const bool inside = length != 0 && offset + length <= page.size();
  FUZZ_CHECK(std::ranges::equal(*rec, inside ? page.subspan(offset, length) : Span()));
}

static void check_reads(PageId id, Span page) {
  // Every slot the count covers and one beyond; a sample when the directory
  // overruns the page (no slot yields a record then); the last slot number.
  const std::uint32_t slots = get_u16(page.data() + 7);
  const std::uint32_t step = 16 + 4 * slots <= page.size() ? 1 : slots / 2;
  for (std::uint32_t s = 0; s <= slots; s += step) check_read(id, page, s);
  check_read(id, page, 0xFFFF);
}

// Appends one record to `page` (and through the cache) and checks what changed.
static void check_append(PageId id, fuzz::Bytes& page, Span record,
                         std::optional<std::uint16_t> slot, PageCache& cache) {
  const fuzz::Bytes before = page;
  const bool fits = append_fits(page, record.size(), slot);
  FUZZ_CHECK(slot || fits == record_fits(page, record.size()));
  const bool appended = append_to_page(page, record, slot);
  FUZZ_CHECK(appended == fits);
  auto via_cache = cache.append_record(id, record, slot);
  FUZZ_CHECK(via_cache.has_value() && *via_cache == (id != 0 && appended));
  if (id != 0) {
    auto cached = cache.fetch_page(id);
    FUZZ_CHECK(cached.has_value() && std::ranges::equal(std::as_const(**cached).bytes(), page));
  }
  FUZZ_CHECK(appended || page == before);
  if (!appended) return;

  const bool fresh = std::all_of(before.begin(), before.begin() + 16, [](auto b) { return !b; });
  const std::size_t header_free = fresh ? kRecordAreaStart : get_u16(before.data() + 5);
  const std::uint16_t old_count = get_u16(before.data() + 7);
  const std::size_t target = slot ? *slot : old_count;
  FUZZ_CHECK(old_count < kMaxSlots && target < kMaxSlots);
  const std::size_t entry = 16 + 4 * target, free = slot_offset(page, target);
  FUZZ_CHECK(free >= header_free && free + record.size() <= kPageSize);

  // The record goes to the header's free offset unless a record readable
  // before the append ends past it; then it overwrites none of them.
  bool record_past_free = false;
  for (std::uint16_t s = 0; s < old_count; ++s) {
    const std::size_t offset = slot_offset(before, s), length = slot_length(before, s);
    if (length == 0 || offset + length > kPageSize) continue;
    record_past_free |= offset + length > header_free;
    if (s == target || offset < kRecordAreaStart) continue;
    FUZZ_CHECK(std::memcmp(&page[offset], &before[offset], length) == 0);
  }
  FUZZ_CHECK(record_past_free || free == header_free);
  fuzz::Bytes expected = before;
  put_u16(&expected[5], static_cast<std::uint16_t>(free + record.size()));
  put_u16(&expected[7], static_cast<std::uint16_t>(old_count + (slot ? 0 : 1)));
  put_u16(&expected[entry], static_cast<std::uint16_t>(free));
  put_u16(&expected[entry + 2], static_cast<std::uint16_t>(record.size()));
  std::ranges::copy(record, expected.begin() + free);
  // With the slot entry checked, check_reads shows that the record reads back.
  FUZZ_CHECK(page == expected);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in{{data, size}};
  const PageId id = in.u8() == 0 ? 0 : 1;
  // The page, and a copy in a cache over an in-memory file of two pages.
  fuzz::Bytes file(2 * kPageSize, 0);
  std::ranges::copy(in.take(kPageSize), file.begin() + id * kPageSize);
  fuzz::Bytes page(file.begin() + id * kPageSize, file.begin() + (id + 1) * kPageSize);
  PageCache cache("fuzz.db", fuzz::mem_file(std::move(file)));

  check_reads(id, page);
  while (!in.left.empty()) {
    const auto slot = in.u8() & 1 ? std::optional(in.u16()) : std::nullopt;
    const auto record = in.take(in.u16());
    check_append(id, page, record, slot, cache);
    check_reads(id, page);
  }
  return 0;
}
