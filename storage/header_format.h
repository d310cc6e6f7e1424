// Database header: the first 100 bytes of page 0.
//
//   offset size field
//   0      16   magic            "Kestrum v1" + 6 zero bytes
//   16     4    version          1
//   20     4    page_size        4096
//   24     8    next_page_id     first free page id
//   32     8    catalog_page_id  0 = no catalog yet
//   40     8    reserved
//   48     8    created_at       seconds since the Unix epoch
//   56     8    reserved
//   64     4    reserved
//   68     32   reserved
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace orvane::storage {

inline constexpr std::size_t kHeaderSize = 100;
inline constexpr std::array<std::uint8_t, 16> kMagic = {'K', 'e', 's', 't', 'r', 'u', 'm', ' ',
                                                        'v', '1', 0,   0,   0,   0,   0,   0};

static_assert(68 + 32 == kHeaderSize, "the header table ends at byte 100");

struct DatabaseHeader {
  std::array<std::uint8_t, 16> magic{};
  std::uint32_t version = 0;
  std::uint32_t page_size = 0;
  std::uint64_t next_page_id = 0;
  std::uint64_t catalog_page_id = 0;
  std::uint64_t reserved_40 = 0;
  std::uint64_t created_at = 0;
  std::uint64_t reserved_56 = 0;
  std::uint32_t reserved_64 = 0;
  std::array<std::uint8_t, 32> reserved_68{};

  // The values written when a file is created.
  static DatabaseHeader fresh(std::uint64_t created_at);
  // Reads/writes exactly kHeaderSize bytes at p.
  static DatabaseHeader decode(const std::uint8_t* p);
  void encode(std::uint8_t* p) const;
};

}  // namespace orvane::storage
