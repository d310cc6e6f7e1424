// Database::Impl: the state behind one open database.
//
// Locks, in the order they may be taken:
//   write_mutex  serialises every change of pages (one call unit at a time:
//                insert, delete, create_collection) and close; it doubles as
//                the catalog lock (header and catalog page changes).
//   map_mutex    guards `collections`; held only to look up, list or insert.
//   a collection's mutex (never two at once, never with map_mutex held).
// Page-cache and log locks are taken inside those, by the storage layer.
#pragma once

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "engine/collection.h"
#include "engine/database.h"
#include "engine/file_owner.h"
#include "engine/v2_store.h"
#include "storage/page_cache.h"
#include "storage/wal.h"

namespace orvane::engine {

struct Database::Impl {
  std::string path;           // as the caller gave it (display only)
  std::string resolved_path;  // absolute, links resolved at open: every file operation uses it
  std::shared_ptr<storage::PageCache> cache;
  std::shared_ptr<storage::Wal> wal;
  FileOwner owner;  // this process's lock on the file; a forked child is no owner

  std::mutex write_mutex;
  mutable std::shared_mutex map_mutex;
  std::unordered_map<std::string, std::shared_ptr<Collection>> collections;
  // Format 2 only (null for a classic file); its collections map is guarded
  // by map_mutex, everything else by write_mutex.
  std::unique_ptr<V2Store> v2;

  // The collection named `name`, or CollectionNotFound (WriteConflict in a
  // process that is not the owner). Takes map_mutex shared.
  EngineResult<std::shared_ptr<Collection>> find(const std::string& name) const;
  // Offers a checkpoint to the log after a committed call; the outcome is
  // dropped (a later call or close retries). REQUIRES: write_mutex held.
  void after_call();
};

// The open sequence without any process-wide bookkeeping.
EngineResult<std::unique_ptr<Database::Impl>> open_database(const std::string& path,
                                                           const OpenOptions& options);
// The rest of the open sequence for a format-2 file (engine/v2_open.cc):
// `file` is open read-write; a fresh file gets `header_page` as page 0.
EngineResult<std::unique_ptr<Database::Impl>> open_v2_database(
    const std::string& path, const std::string& resolved, std::unique_ptr<storage::PosixFile> file,
    bool fresh, std::vector<std::uint8_t> header_page, const OpenOptions& options);
// The format-2 collection named `name`: WriteConflict in a process that is
// not the owner, an error on a classic file, CollectionNotFound. Takes
// map_mutex shared.
EngineResult<std::shared_ptr<V2Collection>> find_v2(Database::Impl& db, const std::string& name);
// The log's synchronisation level for an open option.
storage::SyncLevel sync_level(Synchronous s);
// Page 0 of a new format-2 file.
std::vector<std::uint8_t> fresh_v2_header_page();
// Sets the process-wide id counter from the collections of `db`, as every
// open does. Takes map_mutex shared and each collection's lock in turn.
void reset_id_counter_from(Database::Impl& db);

}  // namespace orvane::engine
