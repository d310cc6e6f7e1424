// Format-2 database header: the first 64 bytes of page 0 (the rest is zero).
//
//   offset size field
//   0      16   magic            "orvane format 2" + one zero byte
//   16     4    version          2
//   20     4    page_size        4096
//   24     8    page_count       pages in the file (the next page past the end)
//   32     8    catalog_root     directory page of the catalog stream (0 = none)
//   40     8    change_counter   stamp limit: no committed call used a
//                                 larger stamp (V2Pager::unit_counter)
//   48     8    created_at       seconds since the Unix epoch
//   56     4    flags            0
//   60     4    crc              CRC-32 of bytes 0..60
//
// The magic differs from the classic one in its first byte, so a reader of
// the classic format refuses the file as not a database.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "storage/errors.h"

namespace orvane::storage {

inline constexpr std::size_t kV2HeaderSize = 64;
inline constexpr std::array<std::uint8_t, 16> kV2Magic = {'o', 'r', 'v', 'a', 'n', 'e', ' ', 'f',
                                                          'o', 'r', 'm', 'a', 't', ' ', '2', 0};
inline constexpr std::uint32_t kV2Version = 2;

struct V2Header {
  std::uint64_t page_count = 1;
  std::uint64_t catalog_root = 0;
  std::uint64_t change_counter = 0;
  std::uint64_t created_at = 0;
  std::uint32_t flags = 0;

  // Writes the 64 header bytes (magic, version, page size and CRC included).
  void encode(std::span<std::uint8_t> page) const;
  // Checks magic, CRC, version and page size of a page-0 image (at least 64
  // bytes); "invalid database file: ..." or "unsupported format version".
  [[nodiscard]] static Result<V2Header> decode(std::span<const std::uint8_t> page);
  bool operator==(const V2Header&) const = default;
};

// True when `bytes` begins with the format-2 magic.
bool has_v2_magic(std::span<const std::uint8_t> bytes);

}  // namespace orvane::storage
