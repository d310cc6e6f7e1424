#include "storage/crc32.h"

#include <isa-l/crc.h>
#include <zlib.h>

namespace orvane::storage {

// ISA-L's reflected CRC is zlib's crc32, bit for bit, at an order of
// magnitude more bytes per second: every logged page passes through here.
std::uint32_t crc32(std::span<const std::uint8_t> data, std::uint32_t crc) {
  return ::crc32_gzip_refl(crc, data.data(), data.size());
}

std::uint32_t crc32_combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t length_b) {
  return static_cast<std::uint32_t>(::crc32_combine(crc_a, crc_b, static_cast<z_off_t>(length_b)));
}

}  // namespace orvane::storage
