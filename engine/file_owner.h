// FileOwner: one process's claim on one database file, taken by the open
// before anything is replayed or written: an exclusive flock held through the
// page cache's descriptor (so that an open in another process fails with
// WriteConflict and touches nothing), the file's identity (device, inode),
// under which the process shares the database between its opens, and the
// process that took the claim.
//
// A child forked from the owner inherits the object but not the claim: there
// here() is false, every operation of the database fails with WriteConflict
// and its release writes nothing (the parent goes on using the files).
//
// Thread-safety: a FileOwner is a value set once at open; reading it is free.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "engine/errors.h"
#include "storage/file.h"
#include "storage/wal.h"

namespace orvane::engine {

struct FileOwner {
  std::pair<std::uint64_t, std::uint64_t> identity{};  // device, inode
  int lock_fd = -1;                                    // the descriptor holding the flock
  std::int64_t process = 0;                            // the process that took the claim

  // True in the process that took the claim. Cost: one atomic load.
  bool here() const;
  // WriteConflict unless here().
  [[nodiscard]] EngineResult<void> check() const;
};

// Claims `file`, the database file at `path` opened read-write and checked:
// WriteConflict when another open file description holds its lock (another
// process). Then hands the log a descriptor of its own on this same file, so
// that checkpoints never write into a file that later takes its place at
// the path. The lock goes with `file`'s descriptor: it is held until that
// descriptor is closed (by the page cache that takes the file over).
[[nodiscard]] EngineResult<FileOwner> take_ownership(storage::PosixFile& file,
                                                     const std::string& path, storage::Wal& wal);

}  // namespace orvane::engine
