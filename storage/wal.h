// Wal: the write-ahead log beside the database file ("<db>-wal").
//
// Header (32 bytes): magic 0x377F0683, version 1, page_size, sequence (low 32),
// salt1, salt2, header_crc = CRC-32(bytes 0..23), reserved 0.
// Frame: 28-byte header {u32 page_id, u64 frame_tag, 8 reserved, u32 checksum1,
// u32 checksum2} + page image. checksumN = CRC-32(page_id, saltN, 4 zero bytes, image).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "storage/errors.h"
#include "storage/file.h"
#include "storage/page_cache.h"

namespace orvane::storage {

inline constexpr std::uint32_t kWalMagic = 0x377F0683;
inline constexpr std::uint32_t kWalVersion = 1;
inline constexpr std::size_t kWalHeaderSize = 32;
inline constexpr std::size_t kWalFrameHeaderSize = 28;
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

// "<path>-wal": the last path component followed by "-wal"; "-wal" alone when
// the path has no ordinary last component.
std::string wal_path_for(const std::string& db_path);

// CRC-32 of a frame: page_id, salt, four zero bytes, image.
std::uint32_t frame_checksum(std::uint32_t page_id, std::uint32_t salt,
                             std::span<const std::uint8_t> image);

class Wal {
 public:
  // Draws salt1 then salt2 from the thread random generator.
  Wal(std::string path, std::uint32_t page_size = kPageSize,
      std::uint64_t checkpoint_threshold = kCheckpointThreshold);
  ~Wal();

  const std::string& path() const { return path_; }
  std::uint32_t salt1() const { return salt1_; }
  std::uint32_t salt2() const { return salt2_; }
  std::uint64_t frame_count() const;
  std::uint64_t sequence() const;

  [[nodiscard]] Result<void> open();
  [[nodiscard]] Result<void> check_wal_header(File& file);
  [[nodiscard]] Result<void> write_wal_header(File& file);
  // Valid frames of `file`, verified with the given salts (default: this object's).
  [[nodiscard]] Result<std::vector<WalFrame>> read_frames(File& file);
  [[nodiscard]] Result<std::vector<WalFrame>> read_frames(File& file, std::uint32_t salt1,
                                                          std::uint32_t salt2);
  [[nodiscard]] Result<void> checkpoint(const std::string& db_path);
  // Checkpoints when frame_count >= threshold. Failure text is the storage error's.
  [[nodiscard]] Result<void> offer_checkpoint(const std::string& db_path);

  // Frame writer: appends one call's pages as frames (the last one tagged
  // kFrameTagCommit) with a single positioned write, then counts them.
  [[nodiscard]] Result<void> append_frames(std::span<const ChangedPage> pages);

 private:
  std::string path_;
  std::uint32_t page_size_;
  std::uint64_t checkpoint_threshold_;
  std::uint32_t salt1_ = 0, salt2_ = 0;
  mutable std::mutex file_mutex_, sequence_mutex_, frame_count_mutex_;
  std::unique_ptr<PosixFile> file_;
  std::uint64_t sequence_ = 0;
  std::uint64_t frame_count_ = 0;
  std::uint64_t append_offset_ = kWalHeaderSize;
};

// Replay of a left-over log at database open (returns whether frames were applied).
[[nodiscard]] Result<void> replay_leftover_wal(Wal& wal, const std::string& db_path);

}  // namespace orvane::storage
