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

  // The collection named `name`, or CollectionNotFound (WriteConflict in a
  // process that is not the owner). Takes map_mutex shared.
  EngineResult<std::shared_ptr<Collection>> find(const std::string& name) const;
  // Offers a checkpoint to the log after a committed call; the outcome is
  // dropped (a later call or close retries). REQUIRES: write_mutex held.
  void after_call();
};

// The open sequence without any process-wide bookkeeping.
EngineResult<std::unique_ptr<Database::Impl>> open_database(const std::string& path);
// Sets the process-wide id counter from the collections of `db`, as every
// open does. Takes map_mutex shared and each collection's lock in turn.
void reset_id_counter_from(Database::Impl& db);

}  // namespace orvane::engine
