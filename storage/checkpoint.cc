// Checkpoint (live log into the database file) and replay of a log left by
// an earlier run. Both apply whole calls only, in log order, so the database
// file never holds half of a call; a later frame of a page overwrites an
// earlier one. Both write the database file through a descriptor of their
// own, past the page cache.
#include <cerrno>
#include <map>

#include "storage/random.h"
#include "storage/try.h"
#include "storage/wal.h"

namespace orvane::storage {

Result<void> Wal::apply_frames(File& log, std::span<const FrameLocation> frames,
                               const std::string& db_path) {
  // A bound database file is written through its own descriptor: the path
  // may name another file by now.
  std::unique_ptr<File> opened;
  File* db = db_file_.get();
  if (db == nullptr) {
    auto o = open_file(db_path, OpenMode::WriteOnly);
    ORVANE_TRY(o);
    opened = std::move(*o);
    db = opened.get();
  }
  auto size = db->size();
  ORVANE_TRY(size);
  // A frame may name a page that its own call allocated, but never one far
  // beyond the file: at most one new page per frame.
  const std::uint64_t limit = pages_in_file(*size, page_size_) + frames.size();
  const std::size_t n = applicable_frame_count(frames, limit);
  // Only the last image of each page reaches the file, in page order: the
  // result is that of writing every frame in log order, for a fraction of
  // the writes when calls change the same pages again and again.
  std::map<std::uint32_t, std::uint64_t> last;  // page id -> frame offset
  for (std::size_t i = 0; i < n; ++i) last[frames[i].page_id] = frames[i].offset;
  // Pages with consecutive ids go out in one write.
  constexpr std::size_t kRunPages = 64;
  std::vector<std::uint8_t> run(kRunPages * page_size_);
  std::uint64_t run_first = 0;
  std::size_t run_pages = 0;
  auto write_run = [&]() -> Result<void> {
    if (run_pages == 0) return {};
    const auto bytes = std::span<const std::uint8_t>(run).first(run_pages * page_size_);
    run_pages = 0;
    if (auto r = db->write_all_at(run_first * page_size_, bytes); !r) return r;
    // The device writes this run while the next ones are read from the log.
    if (syncs()) db->start_writeback(run_first * page_size_, bytes.size());
    return {};
  };
  for (const auto& [page_id, frame_offset] : last) {
    if (run_pages == kRunPages || (run_pages != 0 && page_id != run_first + run_pages)) {
      if (auto r = write_run(); !r) return r;
    }
    if (run_pages == 0) run_first = page_id;
    const auto image = std::span<std::uint8_t>(run).subspan(run_pages * page_size_, page_size_);
    if (auto r = log.read_exact_at(frame_offset + kWalFrameHeaderSize, image); !r) return r;
    ++run_pages;
  }
  if (auto r = write_run(); !r) return r;
  // The log may be emptied only once the images are durable here.
  if (n > 0 && syncs()) return db->sync();
  return {};
}

Result<void> Wal::checkpoint(const std::string& db_path) {
  std::lock_guard lock(file_mutex_);
  if (!file_) return std::unexpected(StorageError::internal("WAL not open"));
  if (frames_.empty()) return {};
  // Frames copied into the database file must be durable in the log first:
  // a power cut may tear the pages being overwritten.
  if (auto r = sync_locked(); !r) return r;
  if (auto r = apply_frames(*file_, frames_, db_path); !r) return r;
  if (reuse_file_) {
    salt1_ = static_cast<std::uint32_t>(thread_random_next());
    salt2_ = static_cast<std::uint32_t>(thread_random_next());
  } else if (auto r = file_->truncate(0); !r) {
    return r;
  }
  if (auto r = write_wal_header(*file_); !r) return r;
  // The emptied log is made durable before new frames follow the header
  // (append_frames): old frames would otherwise pass for new ones. A log
  // that gets no frame before close deletes it needs no synchronisation:
  // whichever header survives a power cut, its frames are images the
  // database file already holds.
  header_unsynced_ = true;
  append_offset_ = kWalHeaderSize;
  frames_.clear();
  {
    std::lock_guard seq_lock(sequence_mutex_);
    sequence_ = 0;
  }
  std::lock_guard count_lock(frame_count_mutex_);
  frame_count_ = 0;
  return {};
}

Result<void> replay_leftover_wal(Wal& wal, const std::string& db_path) {
  if (!path_exists(wal.path())) return {};
  auto opened = open_file(wal.path(), OpenMode::ReadWrite);
  if (!opened) {
    if (opened.error().os_errno() == ENOENT) return {};  // gone since the test above
    return std::unexpected(opened.error());
  }
  std::unique_ptr<File> log = std::move(*opened);
  auto size = log->size();
  ORVANE_TRY(size);
  if (*size <= kWalHeaderSize) return {};
  if (auto r = wal.check_wal_header(*log); !r) {
    if (r.error().kind() != StorageError::Kind::WalCorrupted) return r;
    // Not a log of ours: nothing in it can be trusted, and the open goes on
    // with a fresh log. Failing to delete it shows up when the log is opened.
    log.reset();
    (void)remove_file(wal.path());
    return {};
  }
  // The frames were summed with the salts of the run that wrote them.
  std::array<std::uint8_t, kWalHeaderSize> h;
  if (auto r = log->read_exact_at(0, h); !r) return r;
  const WalHeaderFields fields = decode_wal_header(h.data());
  auto frames = wal.scan_frames(*log, fields.salt1, fields.salt2);
  ORVANE_TRY(frames);
  if (frames->empty()) return {};
  // The run that wrote the log may have ended before its frames were
  // durable: they are made so before any of them overwrites a page.
  if (wal.syncs()) {
    if (auto r = log->sync(); !r) return r;
  }
  if (auto r = wal.apply_frames(*log, *frames, db_path); !r) return r;
  // Emptied only once every image is in place: a failure above leaves the
  // log as it was, so the next open replays the same images again.
  if (auto r = log->truncate(0); !r) return r;
  if (auto r = wal.write_wal_header(*log); !r) return r;
  if (wal.syncs()) return log->sync();
  return {};
}

}  // namespace orvane::storage
