// CallUnit: one mutating call (insert, delete, create_collection) as one unit
// of the page cache and the write-ahead log. Every page the call changes is
// logged together at commit, so a killed process keeps either the whole call
// or none of it; a call that fails puts the pages back as they were.
//
// REQUIRES: the database's write mutex is held for the unit's whole life (the
// page cache records one unit at a time).
#pragma once

#include "storage/page_cache.h"
#include "storage/wal.h"

namespace orvane::engine {

class CallUnit {
 public:
  CallUnit(storage::PageCache& cache, storage::Wal& wal);
  ~CallUnit();  // rolls back a unit that was neither committed nor rolled back
  CallUnit(const CallUnit&) = delete;
  CallUnit& operator=(const CallUnit&) = delete;

  storage::PageCache& cache() { return cache_; }
  storage::Wal& wal() { return wal_; }

  // Appends the changed pages to the log as one call. On failure the pages
  // are put back to their bytes before the call and the error returned; the
  // caller then undoes its in-memory changes. Cost: one vectored log write,
  // and a synchronisation when the log's level or `barrier` asks for one
  // (see Wal::append_frames).
  [[nodiscard]] storage::Result<void> commit(bool barrier = false);
  // Puts every changed page back to its bytes before the call.
  void rollback();

 private:
  storage::PageCache& cache_;
  storage::Wal& wal_;
  bool open_ = true;
};

}  // namespace orvane::engine
