// Slotted page reader and writer on arbitrary page bytes.
//
// Input: u8 page id selector (0 reads as the header page), 4096 page bytes,
// then appends: u8 flags (bit 0: explicit slot follows as u16), u16 length,
// that many record bytes.
//
// Properties: read_record yields nothing, an empty record, or exactly the
// bytes its slot entry names inside the page; record_fits and append_fits
// agree with append_to_page; an append that does not fit changes nothing; an
// append that fits changes only the header's free_offset and slot_count, its
// slot entry and its record bytes, which lie at the free offset or, when a
// damaged free offset lies inside records, past them, never over a record
// that reads before the append; the record reads back; the page cache's
// append_record does exactly what append_to_page does (and refuses page 0).
#include <cstring>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "storage/coding.h"
#include "storage/mem_file.h"
#include "storage/page.h"
#include "storage/page_cache.h"

namespace {

using namespace orvane;
using storage::get_u16;
using storage::kPageSize;

void check_read(storage::PageId id, std::span<const std::uint8_t> page, std::uint32_t s) {
  const std::uint32_t slots = get_u16(page.data() + 7);
  const auto rec = storage::read_record(id, page, static_cast<std::uint16_t>(s));
  if (id == 0 || s >= slots || 16 + 4 * slots > page.size()) {
    FUZZ_CHECK(!rec);
    return;
  }
  FUZZ_CHECK(rec.has_value());
  const std::size_t offset = get_u16(page.data() + 16 + 4 * s);
  const std::size_t length = get_u16(page.data() + 18 + 4 * s);
  if (length == 0 || offset + length > page.size()) {
    FUZZ_CHECK(rec->empty());
  } else {
    FUZZ_CHECK(rec->size() == length);
    FUZZ_CHECK(std::memcmp(rec->data(), page.data() + offset, length) == 0);
  }
}

void check_reads(storage::PageId id, std::span<const std::uint8_t> page) {
  const std::uint32_t slots = get_u16(page.data() + 7);
  if (16 + 4 * slots <= page.size()) {
    // Every slot the count covers, and one beyond it.
    for (std::uint32_t s = 0; s <= slots; ++s) check_read(id, page, s);
  } else {
    // A directory larger than the page: sampled, since no slot yields a record.
    for (std::uint32_t s : {0u, slots / 2, slots - 1}) check_read(id, page, s);
  }
  check_read(id, page, 0xFFFF);
}

// Appends one record to `page` and checks what changed.
void check_append(storage::PageId id, std::vector<std::uint8_t>& page,
                  std::span<const std::uint8_t> record, std::optional<std::uint16_t> slot,
                  storage::PageCache& cache) {
  const std::vector<std::uint8_t> before = page;
  const bool fits = storage::append_fits(page, record.size(), slot);
  if (!slot) FUZZ_CHECK(fits == storage::record_fits(page, record.size()));
  const bool appended = storage::append_to_page(page, record, slot);
  FUZZ_CHECK(appended == fits);

  auto via_cache = cache.append_record(id, record, slot);
  FUZZ_CHECK(via_cache.has_value());
  FUZZ_CHECK(*via_cache == (id != 0 && appended));
  if (id != 0) {
    auto cached = cache.fetch_page(id);
    FUZZ_CHECK(cached.has_value());
    const auto cached_bytes = std::as_const(**cached).bytes();
    FUZZ_CHECK(std::equal(cached_bytes.begin(), cached_bytes.end(), page.begin(), page.end()));
  }

  if (!appended) {
    FUZZ_CHECK(page == before);
    return;
  }
  const bool fresh =
      std::all_of(before.begin(), before.begin() + 16, [](std::uint8_t b) { return b == 0; });
  const std::size_t header_free = fresh ? storage::kRecordAreaStart : get_u16(before.data() + 5);
  const std::uint16_t old_count = get_u16(before.data() + 7);
  FUZZ_CHECK(old_count < storage::kMaxSlots);
  const std::uint16_t target = slot ? *slot : old_count;
  FUZZ_CHECK(target < storage::kMaxSlots);
  const std::size_t entry = 16 + 4 * std::size_t{target};
  const std::size_t free = get_u16(page.data() + entry);
  FUZZ_CHECK(free >= header_free && free + record.size() <= kPageSize);

  // The record goes to the header's free offset unless a record readable
  // before the append ends past it; then it overwrites none of them.
  bool record_past_free = false;
  for (std::uint16_t s = 0; s < old_count; ++s) {
    const std::size_t offset = get_u16(before.data() + 16 + 4 * s);
    const std::size_t length = get_u16(before.data() + 18 + 4 * s);
    if (length == 0 || offset + length > kPageSize) continue;
    record_past_free |= offset + length > header_free;
    if (s == target || offset < storage::kRecordAreaStart) continue;
    FUZZ_CHECK(std::memcmp(page.data() + offset, before.data() + offset, length) == 0);
  }
  if (!record_past_free) FUZZ_CHECK(free == header_free);

  for (std::size_t i = 0; i < kPageSize; ++i) {
    const bool header_field = i >= 5 && i < 9;
    const bool entry_bytes = i >= entry && i < entry + 4;
    const bool record_bytes = i >= free && i < free + record.size();
    if (!header_field && !entry_bytes && !record_bytes) FUZZ_CHECK(page[i] == before[i]);
  }
  FUZZ_CHECK(get_u16(page.data() + 5) == free + record.size());
  FUZZ_CHECK(get_u16(page.data() + 7) == old_count + (slot ? 0 : 1));
  FUZZ_CHECK(get_u16(page.data() + entry) == free);
  FUZZ_CHECK(get_u16(page.data() + entry + 2) == record.size());
  FUZZ_CHECK(std::memcmp(page.data() + free, record.data(), record.size()) == 0);
  if (id != 0 && target < get_u16(page.data() + 7)) {
    const auto back = storage::read_record(id, page, target);
    FUZZ_CHECK(back && std::equal(back->begin(), back->end(), record.begin(), record.end()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in(data, size);
  const storage::PageId id = in.u8() == 0 ? 0 : 1;
  std::vector<std::uint8_t> page = in.take_padded(kPageSize);

  // The same page in a cache over an in-memory file of two pages.
  auto file = std::make_unique<storage::MemFile>();
  auto& file_bytes = *file->data();
  file_bytes.assign(2 * kPageSize, 0);
  std::copy(page.begin(), page.end(), file_bytes.begin() + id * kPageSize);
  storage::PageCache cache("fuzz.db", std::move(file));

  check_reads(id, page);
  while (in.remaining() > 0) {
    const std::uint8_t flags = in.u8();
    std::optional<std::uint16_t> slot;
    if (flags & 1) slot = in.u16();
    const auto record = in.take(in.u16());
    check_append(id, page, record, slot, cache);
    check_reads(id, page);
  }
  return 0;
}
