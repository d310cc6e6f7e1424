// Write-ahead log file format. All integers little-endian.
//
// Log header, bytes 0..31:
//   offset size field
//   0      4    magic        0x377F0683 (bytes 83 06 7F 37)
//   4      4    version      1
//   8      4    page_size    4096
//   12     4    sequence     low 32 bits of the log object's sequence
//   16     4    salt1        salt of the frames that follow
//   20     4    salt2
//   24     4    header_crc   CRC-32 of bytes 0..23 (written, never checked)
//   28     4    reserved     0
//
// Frame k starts at 32 + k * (28 + page_size):
//   offset size      field
//   0      4         page_id     page the image belongs to
//   4      8         frame_tag   bit 0: last frame of a call (commit);
//                                bits 1..63: running call number of the writer
//   12     8         reserved    0, never read
//   20     4         checksum1   CRC-32(page_id, salt1, 4 zero bytes, image)
//   24     4         checksum2   CRC-32(page_id, salt2, 4 zero bytes, image)
//   28     page_size image
//
// A frame counts only if both checksums match the salts of the log's header;
// the first frame that is cut short or mismatches ends the log. Only whole
// calls (frames up to and including a commit frame) are ever applied.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace orvane::storage {

inline constexpr std::uint32_t kWalMagic = 0x377F0683;
inline constexpr std::uint32_t kWalVersion = 1;
inline constexpr std::size_t kWalHeaderSize = 32;
inline constexpr std::size_t kWalFrameHeaderSize = 28;
static_assert(kWalFrameHeaderSize == 4 + 8 + 8 + 4 + 4);
inline constexpr std::uint64_t kCheckpointThreshold = 1000;
// frame_tag bit marking the last frame of one call (a commit).
inline constexpr std::uint64_t kFrameTagCommit = 1;

struct WalFrame {
  std::uint32_t page_id = 0;
  std::uint64_t frame_tag = 0;
  std::vector<std::uint8_t> image;
};

struct WalHeaderFields {
  std::uint32_t magic, version, page_size, sequence, salt1, salt2, header_crc;
};

// A valid frame found in a log, without its image (which stays in the file).
struct FrameLocation {
  std::uint32_t page_id = 0;
  std::uint64_t frame_tag = 0;
  std::uint64_t offset = 0;      // of the frame header in the log file
  bool image_is_header = false;  // the image starts with the database magic
};

// REQUIRES: p points at 32 readable bytes.
WalHeaderFields decode_wal_header(const std::uint8_t* p);
// The 32 header bytes with magic, version, header_crc filled in.
std::array<std::uint8_t, kWalHeaderSize> encode_wal_header(std::uint32_t page_size,
                                                           std::uint32_t sequence,
                                                           std::uint32_t salt1,
                                                           std::uint32_t salt2);

// CRC-32 of a frame: page_id, salt, four zero bytes, image.
std::uint32_t frame_checksum(std::uint32_t page_id, std::uint32_t salt,
                             std::span<const std::uint8_t> image);
// Both checksums of a frame with one pass over the image.
std::pair<std::uint32_t, std::uint32_t> frame_checksums(std::uint32_t page_id, std::uint32_t salt1,
                                                        std::uint32_t salt2,
                                                        std::span<const std::uint8_t> image);

// The 28 frame-header bytes for `image`, checksums computed.
std::array<std::uint8_t, kWalFrameHeaderSize> encode_frame_header(
    std::uint32_t page_id, std::uint64_t frame_tag, std::uint32_t salt1, std::uint32_t salt2,
    std::span<const std::uint8_t> image);

// How many leading frames form whole calls: frames up to and including the
// last commit frame before the first frame that must not be applied (a page-0
// image without the database magic, or a page id above `page_limit`).
std::size_t applicable_frame_count(std::span<const FrameLocation> frames, std::uint64_t page_limit);

// "<path>-wal": the last path component followed by "-wal"; "-wal" alone as
// the file name when the path has no ordinary last component.
std::string wal_path_for(const std::string& db_path);

}  // namespace orvane::storage
