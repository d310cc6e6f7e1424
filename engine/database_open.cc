// The open sequence: decide whether the file is new, check a file that is
// not, recover a log left by an earlier run, open the live log, load the
// collections of the catalog and reset the id counter.
#include <algorithm>
#include <unordered_set>

#include "engine/catalog_writer.h"
#include "engine/database_impl.h"
#include "engine/file_validation.h"
#include "engine/id_counter.h"
#include "storage/header_format.h"
#include "storage/try.h"
#include "storage/v2_header.h"

namespace orvane::engine {

namespace {

using storage::OpenMode;
using storage::PosixFile;

// Every failure to recover, clear or open the log at the log path.
std::unexpected<EngineError> log_failed(const storage::StorageError& e) {
  return std::unexpected(EngineError::internal(kWalOpenFailedPrefix + e.to_string()));
}

// The last record of each name wins (it would replace the earlier ones in
// the map anyway); loading only those keeps a superseded record from
// allocating pages or failing the page checks.
std::vector<CollectionConfig> last_of_each_name(std::vector<CollectionConfig> configs) {
  std::vector<CollectionConfig> kept;
  std::unordered_set<std::string> seen;
  for (auto it = configs.rbegin(); it != configs.rend(); ++it) {
    if (seen.insert(it->name).second) kept.push_back(std::move(*it));
  }
  std::reverse(kept.begin(), kept.end());
  return kept;
}

// Page 0 of a new database: the creation header, then zeros.
std::vector<std::uint8_t> fresh_header_page() {
  std::vector<std::uint8_t> page(storage::kPageSize, 0);
  storage::DatabaseHeader::fresh(storage::wall_clock_seconds()).encode(page.data());
  return page;
}

// Writes the creation header into page 0 of a new (or empty) file.
storage::Result<void> initialise(storage::PageCache& cache, std::vector<std::uint8_t> page) {
  if (auto r = cache.write_page(0, page); !r) return r;
  cache.insert_clean_page(0, std::move(page));
  return {};
}

// A configuration to load. An unrecorded one needs pages that its catalog
// record has no room to name: it loads what its pages hold, gets no new page
// and refuses writes, which would be lost at the next open.
struct Loadable {
  CollectionConfig config;
  bool recorded = true;
};

// The configurations to load, checked before anything is written.
EngineResult<std::vector<Loadable>> read_checked_catalog(storage::PageCache& cache) {
  auto header = cache.read_header();
  if (!header) return failed(header.error());
  if (header->catalog_page_id == 0) return std::vector<Loadable>{};
  auto configs = read_catalog(cache, header->catalog_page_id);
  if (!configs) return failed(configs.error());
  std::vector<CollectionConfig> kept = last_of_each_name(std::move(*configs));
  if (auto r = validate_collection_pages(kept, header->catalog_page_id, cache); !r) {
    return failed(r.error());
  }
  // The read that loading such an edge page would fail with; failing here
  // keeps pages that this open allocates from being taken for edges.
  auto size = cache.file_size();
  if (!size) return failed(size.error());
  for (const CollectionConfig& c : kept) {
    if (c.uses_hnsw() && c.hnsw_edge_page != 0 && c.hnsw_edge_page >= *size / storage::kPageSize) {
      return std::unexpected(EngineError::internal(storage::StorageError::io_unexpected_eof().to_string()));
    }
  }
  // Records with a page field 0 are completed at load, in catalog order, as
  // long as the completed records fit the catalog page.
  std::vector<CollectionConfig> pending;
  std::copy_if(kept.begin(), kept.end(), std::back_inserter(pending), needs_pages);
  auto fitting = catalog_room(cache, pending);
  ORVANE_TRY(fitting);
  std::vector<Loadable> out;
  std::size_t completed = 0;
  for (CollectionConfig& config : kept) {
    const bool recorded = !needs_pages(config) || completed++ < *fitting;
    out.push_back({std::move(config), recorded});
  }
  return out;
}

struct OpenedFile {
  std::unique_ptr<PosixFile> file;
  bool fresh = false;                     // created by this open, or found empty: gets a new header
  std::vector<std::uint8_t> header_page;  // page 0 to write when fresh
  bool v2 = false;                        // format 2, by its magic or as asked for a new file
};

// Page 0 of the format asked for.
std::vector<std::uint8_t> fresh_page(FileFormat format) {
  return format == FileFormat::V2 ? fresh_v2_header_page() : fresh_header_page();
}

// True when a file of at least 16 bytes starts with the format-2 magic.
EngineResult<bool> starts_with_v2_magic(storage::File& file, std::uint64_t size) {
  std::array<std::uint8_t, 16> magic{};
  if (size < magic.size()) return false;
  if (auto r = file.read_exact_at(0, magic); !r) return failed(r.error());
  return storage::has_v2_magic(magic);
}

// Opens the database file, creating it when it does not exist. An existing
// non-empty file is checked before anything is written to it or created
// beside it.
EngineResult<OpenedFile> open_file(const std::string& path, FileFormat new_format, bool sync) {
  OpenedFile out;
  if (!storage::path_exists(path)) {
    auto created = storage::open_file(path, OpenMode::WriteOnlyCreateTruncate);
    if (!created) return failed(created.error());
    // A log without its database file belongs to a database that no longer
    // exists. It goes while the new file is still empty (a new database
    // again if the process is killed), never after the header is written.
    const std::string log = storage::wal_path_for(path);
    if (storage::path_exists(log)) {
      if (auto r = storage::remove_file(log); !r) return log_failed(r.error());
    }
    // The header is the file's first write: a killed process leaves an empty
    // file or a valid header, never a page of zeros that no open accepts.
    out.header_page = fresh_page(new_format);
    out.v2 = new_format == FileFormat::V2;
    if (auto r = (*created)->write_all_at(0, out.header_page); !r) return failed(r.error());
    if (sync) {
      if (auto r = (*created)->sync(); !r) return failed(r.error());
      if (auto r = storage::sync_directory_of(path); !r) return failed(r.error());
    }
    out.fresh = true;
  }
  auto file = PosixFile::open(path, OpenMode::ReadWrite);
  if (!file) return failed(file.error());
  auto size = (*file)->size();
  if (!size) return failed(size.error());
  if (*size == 0) {
    out.fresh = true;
    out.header_page = fresh_page(new_format);
    out.v2 = new_format == FileFormat::V2;
  } else if (!out.fresh) {
    auto v2 = starts_with_v2_magic(**file, *size);
    ORVANE_TRY(v2);
    out.v2 = *v2;
    // A format-2 file is checked by its own open, after its log is replayed.
    if (!out.v2) {
      if (auto r = validate_database_file(**file); !r) return failed(r.error());
    }
  }
  out.file = std::move(*file);
  return out;
}

// Brings the file up to date with the log of an earlier run, or, for a new
// file, writes its header.
EngineResult<void> prepare(Database::Impl& db, OpenedFile& opened) {
  if (opened.fresh) {
    // A log beside a new file belongs to a database that no longer exists;
    // replaying it would write foreign pages into this one.
    if (storage::path_exists(db.wal->path())) {
      if (auto r = storage::remove_file(db.wal->path()); !r) return log_failed(r.error());
    }
    if (auto r = initialise(*db.cache, std::move(opened.header_page)); !r) return failed(r.error());
    return {};
  }
  // A failed replay leaves the log and the file as they are: the frames in
  // the log may be the only copy of acknowledged changes.
  if (auto r = storage::replay_leftover_wal(*db.wal, db.resolved_path); !r) {
    return log_failed(r.error());
  }
  auto header = db.cache->read_header();
  if (!header) return failed(header.error());
  auto size = db.cache->file_size();
  if (!size) return failed(size.error());
  if (auto r = validate_header(*header, *size); !r) return failed(r.error());
  return {};
}

// Materialises the collections into the map. A record with a page field 0
// gets its pages now, and its completed record is appended to the catalog
// (written through like a creation), so that later opens find the same
// pages and what was stored in them.
// REQUIRES: the room for the completed records was checked.
EngineResult<void> load_collections(Database::Impl& db, std::vector<Loadable>& loadables) {
  CallUnit unit(*db.cache, *db.wal);
  bool completed = false;
  std::unique_lock lock(db.map_mutex);
  for (auto& [config, recorded] : loadables) {
    const bool completes = recorded && needs_pages(config);
    completed |= completes;
    auto collection = recorded ? Collection::materialise(config, db.cache)
                               : Collection::load_unrecorded(config, db.cache);
    ORVANE_TRY(collection);
    if (completes) {
      auto catalog = catalog_page(*db.cache);
      ORVANE_TRY(catalog);
      if (auto r = append_config(*db.cache, *catalog, config); !r) return r;
    }
    db.collections.insert_or_assign(config.name, std::move(*collection));
  }
  if (!completed) {
    if (auto r = unit.commit(); !r) return failed(r.error());  // nothing changed: no frames
    return {};
  }
  auto catalog = catalog_page(*db.cache);
  ORVANE_TRY(catalog);
  return write_through(unit, *catalog);
}

}  // namespace

EngineResult<std::unique_ptr<Database::Impl>> open_database(const std::string& path,
                                                           const OpenOptions& options) {
  // A NUL would cut the path short and name another file.
  if (path.find('\0') != std::string::npos) {
    return failed(storage::StorageError::io("path contains a NUL byte"));
  }
  auto resolved = storage::resolve_path(path);
  if (!resolved) return failed(resolved.error());
  const storage::SyncLevel level = sync_level(options.synchronous);
  auto opened = open_file(*resolved, options.new_file_format, level != storage::SyncLevel::Off);
  ORVANE_TRY(opened);
  if (opened->v2) {
    return open_v2_database(path, *resolved, std::move(opened->file), opened->fresh,
                            std::move(opened->header_page), options);
  }

  auto db = std::make_unique<Database::Impl>();
  db->path = path;
  db->resolved_path = *resolved;
  db->wal = std::make_shared<storage::Wal>(storage::wal_path_for(*resolved));
  db->wal->set_sync_level(level);
  // Claimed before anything is replayed or written: an open in another
  // process stops here.
  auto owner = take_ownership(*opened->file, *resolved, *db->wal);
  ORVANE_TRY(owner);
  db->owner = *owner;
  db->cache = std::make_shared<storage::PageCache>(
      *resolved, storage::hook_opened(*resolved, false, std::move(opened->file)));
  ORVANE_TRY(prepare(*db, *opened));
  auto configs = read_checked_catalog(*db->cache);
  ORVANE_TRY(configs);
  if (auto r = db->wal->open(); !r) return log_failed(r.error());

  ORVANE_TRY(load_collections(*db, *configs));
  reset_id_counter_from(*db);
  return db;
}

storage::SyncLevel sync_level(Synchronous s) {
  switch (s) {
    case Synchronous::Off:
      return storage::SyncLevel::Off;
    case Synchronous::Full:
      return storage::SyncLevel::Full;
    case Synchronous::Normal:
      break;
  }
  return storage::SyncLevel::Normal;
}

void reset_id_counter_from(Database::Impl& db) {
  std::uint64_t largest = 0;
  std::shared_lock lock(db.map_mutex);
  for (const auto& [name, collection] : db.collections) {
    std::shared_lock collection_lock(collection->mutex());
    largest = std::max(largest, collection->live_count());
  }
  if (db.v2) {
    for (const auto& [name, collection] : db.v2->collections) {
      std::shared_lock collection_lock(collection->mutex());
      largest = std::max(largest, collection->count());
    }
  }
  lock.unlock();
  reset_id_counter(largest);
}

}  // namespace orvane::engine
