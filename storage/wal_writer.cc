// Frame writer: after each call the engine logs every page the call changed,
// so that a killed process loses no acknowledged change. One call's frames go
// out in one vectored write at the end of the last whole call; the last
// frame carries the commit bit, so a call is either whole in the log or cut.
#include <algorithm>
#include <limits>

#include "storage/try.h"
#include "storage/wal.h"

namespace orvane::storage {

Result<void> Wal::ensure_log_at_path() {
  // One query of the link count per call rather than a look-up of the path:
  // the log loses its last name when it is deleted or another file is
  // renamed over it.
  if (file_->linked() == true) return {};
  auto at_path = path_identity(path_);
  if (at_path && *at_path == file_identity_) return {};
  // Our database file was deleted or replaced at its path: the log path now
  // belongs to whatever database is there. Our frames go on into our own
  // file, which is what our checkpoint reads.
  if (database_left_path()) return {};
  // close() unlinks the log after a checkpoint; frames written to the
  // unlinked file would be lost with the process, so start a new file.
  auto opened = open_file(path_, OpenMode::ReadWriteCreate);
  ORVANE_TRY(opened);
  std::unique_ptr<File> file = std::move(*opened);
  if (auto r = file->truncate(0); !r) return r;
  if (auto r = write_wal_header(*file); !r) return r;
  if (auto r = sync_new_file(*file); !r) return r;
  auto identity = file->identity();
  ORVANE_TRY(identity);
  file_ = std::move(file);
  file_identity_ = *identity;
  append_offset_ = kWalHeaderSize;
  frames_.clear();
  unsynced_ = false;
  header_unsynced_ = false;
  std::lock_guard count_lock(frame_count_mutex_);
  frame_count_ = 0;
  return {};
}

Result<void> Wal::append_frames(std::span<const ChangedPage> pages, bool barrier) {
  std::vector<FrameImage> images;
  images.reserve(pages.size());
  for (const ChangedPage& p : pages) images.push_back({p.id, p.bytes});
  return append_frames(std::span<const FrameImage>(images), barrier);
}

Result<void> Wal::append_frames(std::span<const FrameImage> pages, bool barrier) {
  if (pages.empty()) return {};
  for (const FrameImage& p : pages) {
    if (p.id > std::numeric_limits<std::uint32_t>::max()) {
      return std::unexpected(
          StorageError::internal("page id too large for a log frame: " + std::to_string(p.id)));
    }
    if (p.bytes.size() != page_size_) {
      return std::unexpected(
          StorageError::internal("page image of " + std::to_string(p.bytes.size()) +
                                 " bytes, expected " + std::to_string(page_size_)));
    }
  }
  std::lock_guard lock(file_mutex_);
  if (!file_) return std::unexpected(StorageError::internal("WAL not open"));
  if (auto r = ensure_log_at_path(); !r) return r;
  if (header_unsynced_) {
    if (syncs()) {
      if (auto r = file_->sync(); !r) return r;
    }
    header_unsynced_ = false;
  }

  const std::uint64_t call = ++call_number_;
  std::vector<std::array<std::uint8_t, kWalFrameHeaderSize>> headers;
  std::vector<std::span<const std::uint8_t>> bufs;
  headers.reserve(pages.size());
  bufs.reserve(2 * pages.size());
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const bool last = i + 1 == pages.size();
    const std::uint64_t tag = (call << 1) | (last ? kFrameTagCommit : 0);
    headers.push_back(encode_frame_header(static_cast<std::uint32_t>(pages[i].id), tag, salt1_,
                                          salt2_, pages[i].bytes));
    bufs.emplace_back(headers.back());
    bufs.emplace_back(pages[i].bytes);
  }
  if (auto r = file_->write_all_at_v(append_offset_, bufs); !r) {
    // Whatever part of the call reached the file must not be mistaken for
    // the start of the next call's frames: cut it off (best effort; a
    // remnant has no commit frame and open would cut it too).
    (void)file_->truncate(append_offset_);
    return r;
  }
  unsynced_ = true;
  if (sync_level_ == SyncLevel::Full || barrier) {
    if (auto r = sync_locked(); !r) {
      // Not acknowledged, so not kept: a later sync must not make it durable.
      (void)file_->truncate(append_offset_);
      return r;
    }
  }
  const std::uint64_t frame_size = kWalFrameHeaderSize + page_size_;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const bool last = i + 1 == pages.size();
    const bool magic = std::equal(header_magic_.begin(), header_magic_.end(), pages[i].bytes.begin());
    frames_.push_back({static_cast<std::uint32_t>(pages[i].id),
                       (call << 1) | (last ? kFrameTagCommit : 0), append_offset_ + i * frame_size,
                       magic});
  }
  append_offset_ += pages.size() * frame_size;
  std::lock_guard count_lock(frame_count_mutex_);
  frame_count_ += pages.size();
  return {};
}

}  // namespace orvane::storage
