#include "storage/wal_format.h"

#include "storage/coding.h"
#include "storage/crc32.h"

namespace orvane::storage {
namespace {

// page_id, salt, four zero bytes: what precedes the image in a frame checksum.
std::array<std::uint8_t, 12> checksum_prefix(std::uint32_t page_id, std::uint32_t salt) {
  std::array<std::uint8_t, 12> prefix{};
  put_u32(prefix.data(), page_id);
  put_u32(prefix.data() + 4, salt);
  return prefix;
}

}  // namespace

WalHeaderFields decode_wal_header(const std::uint8_t* p) {
  return WalHeaderFields{get_u32(p),      get_u32(p + 4),  get_u32(p + 8), get_u32(p + 12),
                         get_u32(p + 16), get_u32(p + 20), get_u32(p + 24)};
}

std::array<std::uint8_t, kWalHeaderSize> encode_wal_header(std::uint32_t page_size,
                                                           std::uint32_t sequence,
                                                           std::uint32_t salt1,
                                                           std::uint32_t salt2) {
  std::array<std::uint8_t, kWalHeaderSize> h{};
  put_u32(h.data(), kWalMagic);
  put_u32(h.data() + 4, kWalVersion);
  put_u32(h.data() + 8, page_size);
  put_u32(h.data() + 12, sequence);
  put_u32(h.data() + 16, salt1);
  put_u32(h.data() + 20, salt2);
  put_u32(h.data() + 24, crc32(std::span(h.data(), 24)));
  return h;
}

std::uint32_t frame_checksum(std::uint32_t page_id, std::uint32_t salt,
                             std::span<const std::uint8_t> image) {
  const auto prefix = checksum_prefix(page_id, salt);
  return crc32(image, crc32(prefix));
}

std::pair<std::uint32_t, std::uint32_t> frame_checksums(std::uint32_t page_id, std::uint32_t salt1,
                                                        std::uint32_t salt2,
                                                        std::span<const std::uint8_t> image) {
  // The prefixes differ only by salt: sum the image once and splice it onto
  // each prefix's CRC.
  const std::uint32_t image_crc = crc32(image);
  const auto p1 = checksum_prefix(page_id, salt1);
  const auto p2 = checksum_prefix(page_id, salt2);
  return {crc32_combine(crc32(p1), image_crc, image.size()),
          crc32_combine(crc32(p2), image_crc, image.size())};
}

std::array<std::uint8_t, kWalFrameHeaderSize> encode_frame_header(
    std::uint32_t page_id, std::uint64_t frame_tag, std::uint32_t salt1, std::uint32_t salt2,
    std::span<const std::uint8_t> image) {
  std::array<std::uint8_t, kWalFrameHeaderSize> h{};
  const auto [c1, c2] = frame_checksums(page_id, salt1, salt2, image);
  put_u32(h.data(), page_id);
  put_u64(h.data() + 4, frame_tag);
  put_u32(h.data() + 20, c1);
  put_u32(h.data() + 24, c2);
  return h;
}

std::size_t applicable_frame_count(std::span<const FrameLocation> frames,
                                   std::uint64_t page_limit) {
  std::size_t whole = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const FrameLocation& f = frames[i];
    // A header image without the magic would turn the database file into
    // something no open accepts; a wild page id would grow it without bound.
    if (f.page_id == 0 && !f.image_is_header) break;
    if (f.page_id > page_limit) break;
    if (f.frame_tag & kFrameTagCommit) whole = i + 1;
  }
  return whole;
}

std::string wal_path_for(const std::string& db_path) {
  std::string dir_or_file = db_path;
  while (dir_or_file.size() > 1 && dir_or_file.back() == '/') dir_or_file.pop_back();
  if (dir_or_file.empty()) return "-wal";
  if (dir_or_file == "/") return "/-wal";
  const std::size_t slash = dir_or_file.find_last_of('/');
  const std::string last = slash == std::string::npos ? dir_or_file : dir_or_file.substr(slash + 1);
  // "." and ".." name directories, not files: the log is "-wal" inside them.
  if (last == "." || last == "..") return dir_or_file + "/-wal";
  return dir_or_file + "-wal";
}

}  // namespace orvane::storage
