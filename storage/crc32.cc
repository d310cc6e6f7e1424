#include "storage/crc32.h"

#include <zlib.h>

#include <algorithm>

namespace orvane::storage {

std::uint32_t crc32(std::span<const std::uint8_t> data, std::uint32_t crc) {
  uLong c = crc;
  // zlib takes a uInt length: feed very large spans in pieces.
  while (!data.empty()) {
    const std::size_t n = std::min<std::size_t>(data.size(), 1u << 30);
    c = ::crc32(c, data.data(), static_cast<uInt>(n));
    data = data.subspan(n);
  }
  return static_cast<std::uint32_t>(c);
}

std::uint32_t crc32_combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t length_b) {
  return static_cast<std::uint32_t>(::crc32_combine(crc_a, crc_b, static_cast<z_off_t>(length_b)));
}

}  // namespace orvane::storage
