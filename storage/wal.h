// Wal: the write-ahead log beside the database file ("<db>-wal"). Byte
// layout in wal_format.h.
//
// States:
//   created (no file) --open--> live --checkpoint--> live, header only
//   live --append_frames--> live with frames (one whole call per append)
//   live, file unlinked by close --append_frames--> new file at the path, live
//     (a bound log whose database file left its path goes on in its own file)
//
// Invariants:
//  1. The live file holds a header followed by whole calls only: a write
//     that fails is cut off again, and open cuts a torn tail.
//  2. Frames of the live file carry the salts of its own header; salt1() and
//     salt2() are those salts (open adopts them from a kept log).
//  3. Lock order: file mutex, sequence mutex, frame_count mutex. No page
//     cache lock is ever taken inside a log operation.
//
// Thread-safety: every public operation may be called from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "storage/errors.h"
#include "storage/file.h"
#include "storage/header_format.h"
#include "storage/page_cache.h"
#include "storage/wal_format.h"

namespace orvane::storage {

// A page image to log, borrowed from its holder for the append.
struct FrameImage {
  PageId id;
  std::span<const std::uint8_t> bytes;
};

// When the log and the database file are synchronised to stable storage.
//   Off:    never.
//   Normal: at the barriers, where the log stops being the only copy of a
//           page: the log before its frames are copied into the database
//           file, the database file before the log is emptied or deleted.
//   Full:   Normal, and the log after every appended call.
enum class SyncLevel : std::uint8_t { Off, Normal, Full };

class Wal {
 public:
  // Draws salt1 then salt2 from the thread random generator. Opens nothing.
  Wal(std::string path, std::uint32_t page_size = kPageSize,
      std::uint64_t checkpoint_threshold = kCheckpointThreshold);
  ~Wal();  // closes the log file if one is held; never deletes it
  Wal(const Wal&) = delete;
  Wal& operator=(const Wal&) = delete;

  const std::string& path() const { return path_; }
  // The magic a page-0 image must start with to be applied (the classic one
  // unless set). REQUIRES: called before the log is shared with other threads.
  void set_header_magic(const std::array<std::uint8_t, 16>& magic) { header_magic_ = magic; }
  // REQUIRES: called before the log is shared with other threads.
  void set_sync_level(SyncLevel level) { sync_level_ = level; }
  SyncLevel sync_level() const { return sync_level_; }
  // A checkpoint then keeps the log file's length and starts over at its
  // header with new salts, which end the log before the first stale frame:
  // new frames overwrite pages of a file the system holds already instead
  // of extending an emptied one. REQUIRES: called before the log is shared.
  void reuse_file_after_checkpoint() { reuse_file_ = true; }
  std::uint32_t salt1() const { return salt1_; }
  std::uint32_t salt2() const { return salt2_; }
  std::uint64_t frame_count() const;
  std::uint64_t sequence() const;

  // Opens or creates the log. A new or empty log gets a fresh header; an
  // existing one must pass check_wal_header, its salts are adopted and it is
  // cut after its last whole call.
  [[nodiscard]] Result<void> open();
  [[nodiscard]] Result<void> check_wal_header(File& file);
  [[nodiscard]] Result<void> write_wal_header(File& file);
  // Valid frames of `file`, verified with the given salts (default: this object's).
  // Cost: reads the whole file; holds every valid image in memory.
  [[nodiscard]] Result<std::vector<WalFrame>> read_frames(File& file);
  [[nodiscard]] Result<std::vector<WalFrame>> read_frames(File& file, std::uint32_t salt1,
                                                          std::uint32_t salt2);
  // Ties the log to its database file: `db` is a descriptor of the file the
  // database holds open at `db_path` (the caller checked they are one file).
  // From then on checkpoint and replay write into `db` instead of opening the
  // path they are given, and the frame writer leaves the log path alone once
  // the database file is no longer at db_path (another database owns the
  // path then; its log must not be replaced). REQUIRES: called at most once,
  // before the log is shared with other threads.
  [[nodiscard]] Result<void> bind_database_file(std::string db_path, std::unique_ptr<File> db);
  // Deletes the file at path() only when it is this log's own file (the
  // device and inode of the descriptor held). Another file at the path, no
  // file, or no log held: nothing is deleted, and that is success, except for
  // a directory at the path, which fails with the I/O error unlink gives.
  [[nodiscard]] Result<void> remove_own_file();

  // Writes the whole calls of the live log into the database file (the bound
  // one, else the file at db_path), then empties the log. "WAL not open"
  // before a successful open.
  [[nodiscard]] Result<void> checkpoint(const std::string& db_path);
  // Checkpoints when frame_count >= threshold. Failure text is the storage error's.
  [[nodiscard]] Result<void> offer_checkpoint(const std::string& db_path);

  // Frame writer: appends one call's pages as frames (the last one tagged
  // kFrameTagCommit) with a single positioned write, then counts them. A log
  // file that is gone from its path is first created anew. On failure the log
  // is cut back to its previous end and the error returned. Page ids must fit
  // 32 bits and images must be page_size bytes.
  // Synchronised before it returns at level Full, and also at Normal when
  // `barrier` is set (the caller is about to write these pages in place); a
  // failed synchronisation cuts the call off again and is returned.
  [[nodiscard]] Result<void> append_frames(std::span<const ChangedPage> pages,
                                           bool barrier = false);
  // The same for images the caller holds (no copy is made).
  [[nodiscard]] Result<void> append_frames(std::span<const FrameImage> pages,
                                           bool barrier = false);
  // Synchronises the log file unless the level is Off or nothing was written
  // to it since its last synchronisation.
  [[nodiscard]] Result<void> sync();

  // Test hook: wraps the held log file (for instance in a FaultyFile).
  void wrap_file_for_testing(
      const std::function<std::unique_ptr<File>(std::unique_ptr<File>)>& wrap);

 private:
  friend Result<void> replay_leftover_wal(Wal& wal, const std::string& db_path);

  // Valid frames of `file` without their images (memory O(frames)).
  Result<std::vector<FrameLocation>> scan_frames(File& file, std::uint32_t salt1,
                                                 std::uint32_t salt2);
  // Copies the images of `frames` from `log` into the database file (the
  // bound one, else the file at db_path).
  Result<void> apply_frames(File& log, std::span<const FrameLocation> frames,
                            const std::string& db_path);
  // REQUIRES: file_mutex_ held. Recreates the log when its file left the
  // path, unless the database file left its path too.
  Result<void> ensure_log_at_path();
  // REQUIRES: file_mutex_ held.
  Result<void> sync_locked();
  // A new log file: its header and its directory entry made durable.
  Result<void> sync_new_file(File& file);
  bool syncs() const { return sync_level_ != SyncLevel::Off; }
  // True when the bound database file is no longer the file at its path.
  bool database_left_path() const;

  std::string path_;
  std::uint32_t page_size_;
  std::uint64_t checkpoint_threshold_;
  std::uint32_t salt1_ = 0, salt2_ = 0;
  std::array<std::uint8_t, 16> header_magic_ = kMagic;
  SyncLevel sync_level_ = SyncLevel::Normal;
  bool reuse_file_ = false;
  mutable std::mutex file_mutex_, sequence_mutex_, frame_count_mutex_;
  std::unique_ptr<File> file_;                               // guarded by file_mutex_
  std::pair<std::uint64_t, std::uint64_t> file_identity_{};  // device, inode of file_
  std::uint64_t append_offset_ = kWalHeaderSize;             // end of the last whole call
  // The live log's frames as written (guarded by file_mutex_): a checkpoint
  // finds them here instead of reading the log back.
  std::vector<FrameLocation> frames_;
  bool unsynced_ = false;          // file_ changed since its last synchronisation
  bool header_unsynced_ = false;   // a checkpoint's new header, synced before new frames
  std::uint64_t call_number_ = 0;  // upper bits of frame_tag
  std::uint64_t sequence_ = 0;
  std::uint64_t frame_count_ = 0;
  // Set once by bind_database_file before the log is shared; read-only after.
  std::string db_path_;
  std::unique_ptr<File> db_file_;
  std::pair<std::uint64_t, std::uint64_t> db_identity_{};
};

// Replay of a left-over log at database open, before Wal::open. Applies the
// whole calls of the log (verified with the salts of its own header) to the
// database file and then empties the log; deletes a log whose header is
// rejected; does nothing for a missing log or one of 32 bytes or less.
// Returns the storage error of a failed replay, leaving the log as it was.
[[nodiscard]] Result<void> replay_leftover_wal(Wal& wal, const std::string& db_path);

}  // namespace orvane::storage
