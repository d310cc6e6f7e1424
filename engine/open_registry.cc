// The registry of open databases. Two opens of one file in one process
// would each replay and truncate the log the other appends to, each rewrite
// its own dirty pages over the other's at release, and each see only its own
// changes: so every open of a file that is already open here shares the
// Database that has it.
//
// Fork: a child gets a copy of the registry and of every Database, and it
// shares the parent's open file descriptions, the locked one included. The
// child handler records the new process id (so that the copies know they are
// not the owner) and points each inherited lock descriptor at /dev/null, so
// that a long-lived child does not keep the parent's lock alive after the
// parent let go of the file.
#include "engine/open_registry.h"

#include <optional>

namespace orvane::engine {
namespace {

void prepare_fork() { OpenRegistry::instance().before_fork(); }
void parent_after_fork() { OpenRegistry::instance().after_fork_in_parent(); }
void child_after_fork() { OpenRegistry::instance().after_fork_in_child(); }

}  // namespace

std::int64_t current_process() { return OpenRegistry::instance().process(); }

OpenRegistry& OpenRegistry::instance() {
  static OpenRegistry* const registry = new OpenRegistry();
  return *registry;
}

OpenRegistry::OpenRegistry() : process_(storage::process_id()) {
  fork_handlers_ = storage::on_fork(prepare_fork, parent_after_fork, child_after_fork);
}

std::int64_t OpenRegistry::process() const {
  return fork_handlers_ ? process_.load(std::memory_order_relaxed) : storage::process_id();
}

EngineResult<std::shared_ptr<Database>> OpenRegistry::share_or_open(const std::string& path,
                                                                    const OpenNew& open_new,
                                                                    bool& shared) {
  // Declared before the lock, so that a handle is never dropped while the
  // lock is held (~Database takes it).
  std::shared_ptr<Database> found;
  std::optional<EngineResult<Opened>> opened;
  {
    std::unique_lock lock(mutex_);
    const std::int64_t self = process();
    // A NUL would cut the path short and name another file: the open
    // refuses such a path.
    while (path.find('\0') == std::string::npos) {
      auto identity = storage::path_identity(path);
      if (!identity) break;
      auto it = entries_.find(*identity);
      if (it == entries_.end() || it->second.owner.process != self) break;
      found = it->second.database.lock();
      if (found) break;
      // Its Database is being destroyed and still holds the lock.
      forgotten_.wait(lock);
    }
    if (!found) {
      opened = open_new(path);
      if (*opened) {
        const Opened& o = **opened;
        entries_.insert_or_assign(o.owner.identity, Entry{o.database, o.database.get(), o.owner});
      }
    }
  }
  shared = found != nullptr;
  if (found) return found;
  if (!*opened) return std::unexpected(opened->error());
  return std::move((*opened)->database);
}

void OpenRegistry::forget(const Database* database) {
  {
    std::lock_guard lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->second.raw == database) {
        entries_.erase(it);
        break;
      }
    }
  }
  forgotten_.notify_all();
}

std::size_t OpenRegistry::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

// The registry's lock is taken across fork so that the child's copy of the
// table is not caught half-changed.
void OpenRegistry::before_fork() { mutex_.lock(); }

void OpenRegistry::after_fork_in_parent() { mutex_.unlock(); }

void OpenRegistry::after_fork_in_child() {
  // The child has one thread; only async-signal-safe work happens here.
  process_.store(storage::process_id(), std::memory_order_relaxed);
  for (auto& [identity, entry] : entries_) {
    // A live Database still holds its lock descriptor open; an expired one
    // may have closed it, and the number may name another file by now.
    if (entry.owner.lock_fd >= 0 && !entry.database.expired()) {
      storage::detach_descriptor(entry.owner.lock_fd);
    }
    entry.owner.lock_fd = -1;
  }
  mutex_.unlock();
}

}  // namespace orvane::engine
