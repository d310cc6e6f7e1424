#include "storage/header_format.h"

#include <algorithm>

#include "storage/coding.h"
#include "storage/types.h"

namespace orvane::storage {

DatabaseHeader DatabaseHeader::fresh(std::uint64_t created_at) {
  DatabaseHeader h;
  h.magic = kMagic;
  h.version = 1;
  h.page_size = kPageSize;
  h.next_page_id = 1;  // page 0 is the header itself
  h.catalog_page_id = 0;
  h.created_at = created_at;
  return h;
}

DatabaseHeader DatabaseHeader::decode(const std::uint8_t* p) {
  DatabaseHeader h;
  std::copy_n(p, h.magic.size(), h.magic.begin());
  h.version = get_u32(p + 16);
  h.page_size = get_u32(p + 20);
  h.next_page_id = get_u64(p + 24);
  h.catalog_page_id = get_u64(p + 32);
  h.reserved_40 = get_u64(p + 40);
  h.created_at = get_u64(p + 48);
  h.reserved_56 = get_u64(p + 56);
  h.reserved_64 = get_u32(p + 64);
  std::copy_n(p + 68, h.reserved_68.size(), h.reserved_68.begin());
  return h;
}

void DatabaseHeader::encode(std::uint8_t* p) const {
  std::copy(magic.begin(), magic.end(), p);
  put_u32(p + 16, version);
  put_u32(p + 20, page_size);
  put_u64(p + 24, next_page_id);
  put_u64(p + 32, catalog_page_id);
  put_u64(p + 40, reserved_40);
  put_u64(p + 48, created_at);
  put_u64(p + 56, reserved_56);
  put_u32(p + 64, reserved_64);
  std::copy(reserved_68.begin(), reserved_68.end(), p + 68);
}

}  // namespace orvane::storage
