// The open sequence: decide whether the file is new, check a file that is
// not, recover a log left by an earlier run, open the live log, load the
// collections of the catalog and reset the id counter.
#include <algorithm>
#include <unordered_set>

#include "engine/database_impl.h"
#include "engine/file_validation.h"
#include "engine/id_counter.h"
#include "storage/header_format.h"

namespace orvane::engine {

namespace {

using storage::OpenMode;
using storage::PosixFile;

std::unexpected<EngineError> failed(const storage::StorageError& e) {
  return std::unexpected<EngineError>(e);
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

// Writes the creation header into page 0 of a new (or empty) file.
storage::Result<void> initialise(storage::PageCache& cache) {
  std::vector<std::uint8_t> page(storage::kPageSize, 0);
  storage::DatabaseHeader::fresh(storage::wall_clock_seconds()).encode(page.data());
  if (auto r = cache.write_page(0, page); !r) return r;
  cache.insert_clean_page(0, std::move(page));
  return {};
}

EngineResult<void> load_collections(Database::Impl& db) {
  auto header = db.cache->read_header();
  if (!header) return failed(header.error());
  if (header->catalog_page_id == 0) return {};
  auto configs = read_catalog(*db.cache, header->catalog_page_id);
  if (!configs) return failed(configs.error());
  std::vector<CollectionConfig> kept = last_of_each_name(std::move(*configs));
  // Every page field is checked before the first page is allocated.
  if (auto r = validate_collection_pages(kept, header->catalog_page_id, *db.cache); !r) {
    return failed(r.error());
  }
  std::unique_lock lock(db.map_mutex);
  for (CollectionConfig& config : kept) {
    auto collection = Collection::materialise(config, db.cache);
    if (!collection) return std::unexpected(collection.error());
    db.collections.insert_or_assign(config.name, std::move(*collection));
  }
  return {};
}

}  // namespace

EngineResult<std::unique_ptr<Database::Impl>> open_database(const std::string& path) {
  // A NUL would cut the path short and name another file.
  if (path.find('\0') != std::string::npos) {
    return failed(
        storage::StorageError::io("path contains a NUL byte"));
  }
  auto resolved = storage::resolve_path(path);
  if (!resolved) return failed(resolved.error());

  bool fresh = false;
  if (!storage::path_exists(*resolved)) {
    auto created = PosixFile::open(*resolved, OpenMode::WriteOnlyCreateTruncate);
    if (!created) return failed(created.error());
    if (auto r = (*created)->truncate(storage::kPageSize); !r) {
      return failed(r.error());
    }
    fresh = true;
  }
  auto file = PosixFile::open(*resolved, OpenMode::ReadWrite);
  if (!file) return failed(file.error());
  auto size = (*file)->size();
  if (!size) return failed(size.error());
  if (*size == 0) {
    fresh = true;  // an existing empty file becomes a new database
  } else if (!fresh) {
    // Before anything is written to the file or created beside it.
    if (auto r = validate_database_file(**file); !r) {
      return failed(r.error());
    }
  }

  auto db = std::make_unique<Database::Impl>();
  db->path = path;
  db->resolved_path = *resolved;
  db->cache = std::make_shared<storage::PageCache>(*resolved, std::move(*file));
  db->wal = std::make_shared<storage::Wal>(storage::wal_path_for(*resolved));
  if (fresh) {
    // A log beside a new file belongs to a database that no longer exists;
    // replaying it would write foreign pages into this one.
    if (storage::path_exists(db->wal->path())) {
      if (auto r = storage::remove_file(db->wal->path()); !r) {
        return failed(r.error());
      }
    }
    if (auto r = initialise(*db->cache); !r) {
      return failed(r.error());
    }
  } else {
    // A failed replay leaves the log and the file as they are: the frames
    // in the log may be the only copy of acknowledged changes.
    if (auto r = storage::replay_leftover_wal(*db->wal, *resolved); !r) {
      return failed(r.error());
    }
    auto header = db->cache->read_header();
    if (!header) return failed(header.error());
    auto file_size = db->cache->file_size();
    if (!file_size) return failed(file_size.error());
    if (auto r = validate_header(*header, *file_size); !r) {
      return failed(r.error());
    }
  }
  if (auto r = db->wal->open(); !r) {
    return std::unexpected(EngineError::internal(kWalOpenFailedPrefix + r.error().to_string()));
  }
  if (auto r = load_collections(*db); !r) return std::unexpected(r.error());

  std::uint64_t largest = 0;
  for (const auto& [name, collection] : db->collections) {
    std::shared_lock lock(collection->mutex());
    largest = std::max(largest, collection->live_count());
  }
  reset_id_counter(largest);
  return db;
}

}  // namespace orvane::engine
