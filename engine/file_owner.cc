// Claiming a database file for this process. flock, not a classic fcntl
// record lock: a record lock is dropped as soon as the process closes any
// descriptor of the file, as log replay and checkpoints do; a flock belongs
// to the one open file description that took it.
#include "engine/file_owner.h"

#include "engine/open_registry.h"

namespace orvane::engine {

bool FileOwner::here() const { return process == current_process(); }

EngineResult<void> FileOwner::check() const {
  if (!here()) return failed(storage::StorageError::write_conflict());
  return {};
}

EngineResult<FileOwner> take_ownership(storage::PosixFile& file, const std::string& path,
                                       storage::Wal& wal) {
  // A file system that cannot lock fails the open: without the lock two
  // processes could write one file and undo each other's changes.
  auto locked = file.try_lock_exclusive();
  if (!locked) return failed(locked.error());
  if (!*locked) return failed(storage::StorageError::write_conflict());
  auto identity = file.identity();
  if (!identity) return failed(identity.error());

  // A descriptor of its own (a new open file description, which neither
  // holds nor shares the lock) so that the log writes only into this file.
  auto db = storage::open_file(path, storage::OpenMode::WriteOnly);
  if (!db) return failed(db.error());
  auto db_identity = (*db)->identity();
  if (!db_identity) return failed(db_identity.error());
  // Someone replaced the file at the path while this open was reading it.
  if (*db_identity != *identity) return failed(storage::StorageError::write_conflict());
  if (auto r = wal.bind_database_file(path, std::move(*db)); !r) return failed(r.error());
  return FileOwner{*identity, file.fd(), current_process()};
}

}  // namespace orvane::engine
