// CRC-32/ISO-HDLC (zlib's crc32: reflected 0xEDB88320, init and final
// complement 0xFFFFFFFF). Thread-safe, no state; the instructions are chosen
// at run time.
#pragma once

#include <cstdint>
#include <span>

namespace orvane::storage {

// CRC of `data` continued from `crc` (0 starts a new checksum).
std::uint32_t crc32(std::span<const std::uint8_t> data, std::uint32_t crc = 0);

// CRC of A followed by B, given crc(A), crc(B) and B's length. O(log length).
std::uint32_t crc32_combine(std::uint32_t crc_a, std::uint32_t crc_b, std::uint64_t length_b);

}  // namespace orvane::storage
