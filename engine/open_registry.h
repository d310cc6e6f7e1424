// OpenRegistry: the databases this process has open, keyed by the identity
// (device, inode) of their file, so that every open of one file in one
// process shares one Database: a relative path, an absolute path and a
// symbolic link to the file all reach the same object, while a file put in
// another's place at the same path is another database.
//
// An entry holds the Database weakly and goes away when the Database is
// destroyed (after its files are closed). Entries made before a fork are
// foreign in the child: a child never shares its parent's databases, and
// fork handlers detach the child from the parent's file locks (see
// after_fork_in_child in the .cc).
//
// Thread-safety: all members may be called from any thread; one mutex covers
// a lookup and the open it may lead to. ~Database calls forget(), so no
// Database handle is ever dropped while that mutex is held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "engine/database.h"
#include "engine/file_owner.h"

namespace orvane::engine {

// The id of the current process, kept current across fork by the
// registry's fork handlers. Cost: one atomic load (a system call only when
// the handlers could not be registered).
std::int64_t current_process();

class OpenRegistry {
 public:
  // A database just opened and the claim it holds on its file.
  struct Opened {
    std::shared_ptr<Database> database;
    FileOwner owner;
  };
  using OpenNew = std::function<EngineResult<Opened>(const std::string& path)>;

  // The process-wide registry (never destroyed: databases may be released
  // during exit, after static destructors have run).
  static OpenRegistry& instance();

  // The live Database of this process whose file is the one at `path`, with
  // `shared` set; or else the result of `open_new(path)`, registered under
  // the identity its owner claimed. A Database of the file that is being
  // destroyed is waited for (its lock is released only at its end). A path
  // that names no file yet, or holds a NUL byte, goes straight to open_new.
  EngineResult<std::shared_ptr<Database>> share_or_open(const std::string& path,
                                                        const OpenNew& open_new, bool& shared);
  // Drops the entry of `database`. Called by ~Database once its files are closed.
  void forget(const Database* database);
  // Number of entries (tests).
  std::size_t size() const;

  // Fork handlers (registered once, at construction).
  void before_fork();
  void after_fork_in_parent();
  void after_fork_in_child();
  std::int64_t process() const;

 private:
  OpenRegistry();

  struct Entry {
    std::weak_ptr<Database> database;
    const Database* raw = nullptr;  // identifies the entry's Database once it expired
    FileOwner owner;
  };

  mutable std::mutex mutex_;
  std::condition_variable forgotten_;  // signalled by forget()
  std::map<std::pair<std::uint64_t, std::uint64_t>, Entry> entries_;
  std::atomic<std::int64_t> process_;
  bool fork_handlers_ = false;  // set once in the constructor
};

}  // namespace orvane::engine
