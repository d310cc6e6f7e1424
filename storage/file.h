// File: the storage engine's only view of an open file. PosixFile is the real
// one (all syscalls live in posix_file.cc); tests substitute in-memory and
// faulty files.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "storage/errors.h"

namespace orvane::storage {

class File {
 public:
  virtual ~File() = default;
  // Reads exactly buf.size() bytes at offset; EOF first is io_unexpected_eof().
  virtual Result<void> read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) = 0;
  // Writes all bytes at offset; a zero-byte write is io_write_zero().
  virtual Result<void> write_all_at(std::uint64_t offset, std::span<const std::uint8_t> buf) = 0;
  // Writes several buffers back to back starting at offset (one pwritev where possible).
  virtual Result<void> write_all_at_v(std::uint64_t offset,
                                      std::span<const std::span<const std::uint8_t>> bufs);
  virtual Result<std::uint64_t> size() = 0;
  virtual Result<void> truncate(std::uint64_t length) = 0;
  // Makes every write and truncation so far durable (fdatasync): the barrier
  // before another file may depend on these bytes.
  virtual Result<void> sync() = 0;
  // Starts writing the given range to the device without waiting for it, so
  // that a later sync() waits for less. A hint: errors surface at sync().
  virtual void start_writeback(std::uint64_t /*offset*/, std::uint64_t /*length*/) {}
  // Device and inode (0, 0 for files that have none).
  virtual Result<std::pair<std::uint64_t, std::uint64_t>> identity() {
    return std::pair<std::uint64_t, std::uint64_t>{0, 0};
  }
  // Whether the file still has a name in the file system (its link count is
  // not 0); nullopt when this file cannot tell.
  virtual std::optional<bool> linked() { return std::nullopt; }
};

// Open flags for PosixFile::open.
enum class OpenMode { ReadWrite, ReadWriteCreate, WriteOnly, WriteOnlyCreateTruncate, ReadOnly };

class PosixFile final : public File {
 public:
  // Opens path with permission bits 0666 (before umask). The path must not
  // contain NUL bytes (callers check).
  static Result<std::unique_ptr<PosixFile>> open(const std::string& path, OpenMode mode);
  ~PosixFile() override;
  Result<void> read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) override;
  Result<void> write_all_at(std::uint64_t offset, std::span<const std::uint8_t> buf) override;
  Result<void> write_all_at_v(std::uint64_t offset,
                              std::span<const std::span<const std::uint8_t>> bufs) override;
  Result<std::uint64_t> size() override;
  Result<void> truncate(std::uint64_t length) override;
  Result<void> sync() override;
  void start_writeback(std::uint64_t offset, std::uint64_t length) override;
  Result<std::pair<std::uint64_t, std::uint64_t>> identity() override;
  std::optional<bool> linked() override;
  // Advisory whole-file lock (flock LOCK_EX | LOCK_NB). False when another open
  // file description holds it; the lock goes with this object's descriptor.
  Result<bool> try_lock_exclusive();
  int fd() const { return fd_; }

 private:
  explicit PosixFile(int fd) : fd_(fd) {}
  int fd_;
};

// Test seam: an installed hook sees every file the storage engine opens by
// path (it may wrap it, to record or fail its operations), every removal and
// every directory synchronisation. None is installed outside tests.
class FileHook {
 public:
  virtual ~FileHook() = default;
  // `created`: the open made the file.
  virtual std::unique_ptr<File> opened(const std::string& path, bool created,
                                       std::unique_ptr<File> file) = 0;
  virtual void removed(const std::string& path) = 0;
  // Takes the place of the directory's fsync.
  virtual void directory_synced(const std::string& path) = 0;
};
// Installs `hook` (nullptr removes it). REQUIRES: no database is open.
void set_file_hook(FileHook* hook);
FileHook* file_hook();
// `file`, opened at `path`, as the installed hook hands it back (itself
// without a hook).
std::unique_ptr<File> hook_opened(const std::string& path, bool created,
                                  std::unique_ptr<File> file);
// PosixFile::open passed through hook_opened.
Result<std::unique_ptr<File>> open_file(const std::string& path, OpenMode mode);

// Path helpers (all syscalls of the storage engine stay in posix_file.cc).
bool path_exists(const std::string& path);          // stat succeeds
bool path_is_directory(const std::string& path);    // stat succeeds, a directory
Result<void> remove_file(const std::string& path);  // unlink
// Makes the directory entry of `path` durable (fsync of its directory), once
// after a file is created there.
Result<void> sync_directory_of(const std::string& path);
Result<std::pair<std::uint64_t, std::uint64_t>> path_identity(
    const std::string& path);  // stat dev/ino
// Absolute path with symlinks resolved. For a path that does not exist yet,
// the parent directory is resolved and the last component appended.
Result<std::string> resolve_path(const std::string& path);
// Whole seconds since the Unix epoch; 0 when the clock reads earlier.
std::uint64_t wall_clock_seconds();

// Process helpers: a database belongs to the process that opened it, never to
// a child forked from that process.
std::int64_t process_id();  // getpid
// Registers functions that fork() runs before it, and after it in the parent
// and in the child (pthread_atfork). False when they could not be registered.
bool on_fork(void (*prepare)(), void (*in_parent)(), void (*in_child)());
// Points descriptor `fd` at /dev/null (close-on-exec kept), so that this
// process no longer refers to the open file description it inherited, nor to
// the lock held through it; the descriptor stays open for its owner to close.
// Async-signal-safe, for the child side of fork(). Does nothing when /dev/null
// cannot be opened.
void detach_descriptor(int fd);

}  // namespace orvane::storage
