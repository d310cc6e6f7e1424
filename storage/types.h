// Basic storage types shared by every layer.
#pragma once

#include <cstdint>

namespace orvane::storage {

using PageId = std::uint64_t;

inline constexpr std::uint32_t kPageSize = 4096;
inline constexpr std::uint64_t kCacheCapacity = 16384;

// The pages a file of `file_size` bytes spans, a torn last page included.
constexpr std::uint64_t pages_in_file(std::uint64_t file_size,
                                      std::uint32_t page_size = kPageSize) {
  return file_size / page_size + (file_size % page_size != 0 ? 1 : 0);
}

// The id the page cache gives the next page it allocates in a file of
// `file_size` bytes: right after the end of the file, never the header page.
// The header's next_page_id is not consulted: it lags behind a file that was
// never flushed, and one past the end of the file can only be damage.
constexpr PageId next_new_page(std::uint64_t file_size, std::uint32_t page_size = kPageSize) {
  const std::uint64_t pages = pages_in_file(file_size, page_size);
  return pages > 1 ? pages : 1;
}

}  // namespace orvane::storage
