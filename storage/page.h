// Slotted page layout and the two page-level record operations.
//
// Page header (bytes 0..15):
//   0  u8  page_type     5  u16 free_offset   7  u16 slot_count
//   1  u32 reserved      9  u32 reserved      13 u16 reserved   15 u8 reserved
// Slot directory: bytes 16..1039, 256 entries of {u16 offset, u16 length}.
// Record area: bytes 1040..4095 (3056 bytes), filled upward, never reclaimed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "storage/types.h"

namespace orvane::storage {

inline constexpr std::uint16_t kPageHeaderSize = 16;
inline constexpr std::uint16_t kMaxSlots = 256;
inline constexpr std::uint16_t kRecordAreaStart = 1040;                         // 16 + 4 * 256
inline constexpr std::uint16_t kRecordAreaSize = kPageSize - kRecordAreaStart;  // 3056

static_assert(kRecordAreaStart == kPageHeaderSize + 4 * kMaxSlots);
static_assert(kRecordAreaSize == 3056);

inline constexpr std::uint8_t kPageTypeVectorData = 1;
inline constexpr std::uint8_t kPageTypeHnswEdges = 2;
inline constexpr std::uint8_t kPageTypeMetadata = 3;
inline constexpr std::uint8_t kPageTypeCatalog = 4;

struct PageHeader {
  std::uint8_t page_type = 0;
  std::uint32_t reserved_1 = 0;
  std::uint16_t free_offset = 0;
  std::uint16_t slot_count = 0;
  std::uint32_t reserved_9 = 0;
  std::uint16_t reserved_13 = 0;
  std::uint8_t reserved_15 = 0;

  static PageHeader decode(std::span<const std::uint8_t> page);  // page.size() >= 16
  void encode(std::span<std::uint8_t> page) const;
};

// A fresh page image: zeros, page_type at byte 0, free_offset 1040.
std::vector<std::uint8_t> new_page_image(std::uint8_t page_type);

// No record (nullopt), an empty record, or a copy of the record's bytes.
std::optional<std::vector<std::uint8_t>> read_record(PageId id, std::span<const std::uint8_t> page,
                                                     std::uint16_t slot);

// True when `length` more bytes would fit as a new record (slot_count < 256 and
// free_offset + length <= page size). A page whose header is all zero counts as
// fresh (records start at 1040); a free_offset outside 1040..4096 never fits.
bool record_fits(std::span<const std::uint8_t> page, std::size_t length);

// record_fits, and additionally an explicit slot must lie inside the
// directory (below 256). Exactly the test that append_to_page applies.
bool append_fits(std::span<const std::uint8_t> page, std::size_t length,
                 std::optional<std::uint16_t> explicit_slot);

// Appends `record` to the page; with `explicit_slot`, that slot's entry is
// written and slot_count stays unchanged. Returns whether it fitted; a record
// that does not fit leaves the page untouched. REQUIRES: page.size() >= 1040.
// Cost: one copy of the record.
bool append_to_page(std::span<std::uint8_t> page, std::span<const std::uint8_t> record,
                    std::optional<std::uint16_t> explicit_slot);

}  // namespace orvane::storage
