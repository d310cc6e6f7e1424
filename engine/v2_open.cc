// The open sequence of a format-2 file: claim the file, replay a log left by
// an earlier run, check the header, load catalog and collections (every
// page reachable from the header is marked; the rest is free), then open the
// live log. Nothing is written before the file has passed its checks, except
// the replay of frames that an earlier run committed.
#include <algorithm>

#include "engine/database_impl.h"
#include "engine/id_counter.h"
#include "storage/try.h"
#include "storage/v2_header.h"
#include "storage/wal_format.h"

namespace orvane::engine {
namespace {

// The log holds at most this many frames before it is checkpointed. A short
// log is reused from its start, so appends stop growing the file (which
// would cost every synchronisation an inode write); and at most half of the
// cache's budget, so that the pages waiting for a checkpoint (which cannot
// be evicted) leave room for clean ones.
std::uint64_t checkpoint_frames(const OpenOptions& options) {
  return std::clamp<std::uint64_t>(options.cache_budget_bytes / storage::kPageSize / 2, 256,
                                   storage::kCheckpointThreshold);
}

std::uint64_t cache_pages(const OpenOptions& options) {
  return std::max<std::uint64_t>(64, options.cache_budget_bytes / storage::kPageSize);
}

}  // namespace

std::vector<std::uint8_t> fresh_v2_header_page() {
  std::vector<std::uint8_t> page(storage::kPageSize, 0);
  storage::V2Header h;
  h.created_at = storage::wall_clock_seconds();
  h.encode(page);
  return page;
}

EngineResult<std::unique_ptr<Database::Impl>> open_v2_database(
    const std::string& path, const std::string& resolved, std::unique_ptr<storage::PosixFile> file,
    bool fresh, std::vector<std::uint8_t> header_page, const OpenOptions& options) {
  auto db = std::make_unique<Database::Impl>();
  db->path = path;
  db->resolved_path = resolved;
  db->wal = std::make_shared<storage::Wal>(storage::wal_path_for(resolved), storage::kPageSize,
                                           checkpoint_frames(options));
  db->wal->set_header_magic(storage::kV2Magic);
  db->wal->set_sync_level(sync_level(options.synchronous));
  db->wal->reuse_file_after_checkpoint();
  auto owner = take_ownership(*file, resolved, *db->wal);
  ORVANE_TRY(owner);
  db->owner = *owner;
  db->cache = std::make_shared<storage::PageCache>(
      resolved, storage::hook_opened(resolved, false, std::move(file)), storage::kPageSize,
      cache_pages(options));
  storage::PageCache& cache = *db->cache;
  if (fresh) {
    // A log beside a new file belongs to a database that no longer exists.
    if (storage::path_exists(db->wal->path())) {
      if (auto r = storage::remove_file(db->wal->path()); !r) return failed(r.error());
    }
    if (auto r = cache.write_page(0, header_page); !r) return failed(r.error());
    cache.insert_clean_page(0, std::move(header_page));
  } else if (auto r = storage::replay_leftover_wal(*db->wal, resolved); !r) {
    return failed(r.error());
  }
  // A file cut short of its first page is damaged, not unreadable.
  auto whole = cache.file_size();
  if (!whole) return failed(whole.error());
  if (*whole < storage::kPageSize) {
    return failed(storage::StorageError::invalid_database_file(
        "the file ends inside its header page (" + std::to_string(*whole) + " bytes)"));
  }
  auto page0 = cache.fetch_page(0);
  if (!page0) return failed(page0.error());
  storage::Result<storage::V2Header> header = [&] {
    std::shared_lock lock((*page0)->mutex());
    return storage::V2Header::decode(std::as_const(**page0).bytes());
  }();
  page0->reset();
  if (!header) return failed(header.error());
  auto size = cache.file_size();
  if (!size) return failed(size.error());
  if (*size / storage::kPageSize < header->page_count) {
    return failed(storage::StorageError::invalid_database_file(
        "page_count " + std::to_string(header->page_count) + " lies past the end of the file (" +
        std::to_string(*size) + " bytes)"));
  }
  auto store = load_v2_store(db->cache, *header);
  ORVANE_TRY(store);
  db->v2 = std::move(*store);
  if (auto r = db->wal->open(); !r) {
    return std::unexpected(EngineError::internal(kWalOpenFailedPrefix + r.error().to_string()));
  }
  reset_id_counter_from(*db);
  return db;
}

}  // namespace orvane::engine
