#include "storage/v2_header.h"

#include <algorithm>

#include "storage/coding.h"
#include "storage/crc32.h"
#include "storage/types.h"

namespace orvane::storage {

void V2Header::encode(std::span<std::uint8_t> page) const {
  std::uint8_t* p = page.data();
  std::fill(p, p + kV2HeaderSize, std::uint8_t{0});
  std::copy(kV2Magic.begin(), kV2Magic.end(), p);
  put_u32(p + 16, kV2Version);
  put_u32(p + 20, kPageSize);
  put_u64(p + 24, page_count);
  put_u64(p + 32, catalog_root);
  put_u64(p + 40, change_counter);
  put_u64(p + 48, created_at);
  put_u32(p + 56, flags);
  put_u32(p + 60, crc32(page.first(60)));
}

bool has_v2_magic(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= kV2Magic.size() && std::equal(kV2Magic.begin(), kV2Magic.end(), bytes.begin());
}

Result<V2Header> V2Header::decode(std::span<const std::uint8_t> page) {
  auto invalid = [](const char* text) {
    return std::unexpected(StorageError::invalid_database_file(text));
  };
  if (page.size() < kV2HeaderSize || !has_v2_magic(page)) return invalid("wrong magic bytes");
  const std::uint8_t* p = page.data();
  if (get_u32(p + 60) != crc32(page.first(60))) return invalid("header checksum mismatch");
  if (get_u32(p + 16) != kV2Version) {
    return std::unexpected(StorageError::unsupported_format_version(get_u32(p + 16)));
  }
  if (get_u32(p + 20) != kPageSize) return invalid("page size is not 4096");
  V2Header h;
  h.page_count = get_u64(p + 24);
  h.catalog_root = get_u64(p + 32);
  h.change_counter = get_u64(p + 40);
  h.created_at = get_u64(p + 48);
  h.flags = get_u32(p + 56);
  if (h.page_count == 0) return invalid("page_count 0");
  if (h.catalog_root >= h.page_count) return invalid("catalog root lies past page_count");
  return h;
}

}  // namespace orvane::storage
