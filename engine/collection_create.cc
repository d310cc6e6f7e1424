// create_collection: checks that the catalog record will fit, allocates the
// collection's pages, records it in the catalog and writes the header and
// the catalog page to the file, all as one call unit. A creation that fails
// leaves no collection behind (the map, the catalog and the header are as
// before; pages written to the file stay allocated and unused).
#include "engine/collection.h"
#include "engine/database_impl.h"
#include "storage/page.h"

namespace orvane::engine {

namespace {

std::unexpected<EngineError> failed(const storage::StorageError& e) {
  return std::unexpected<EngineError>(e);
}

EngineError serialize_failed(const std::string& message) {
  return EngineError::internal(kSerializeFailedPrefix + message);
}

// Refuses a creation whose catalog record cannot be encoded or would not fit,
// before any page is allocated. The record is encoded with the page ids the
// allocations will hand out, so its length is the one appended later.
EngineResult<void> check_catalog_room(storage::PageCache& cache, const CollectionConfig& config) {
  auto header = cache.read_header();
  if (!header) return failed(header.error());
  auto size = cache.file_size();
  if (!size) return failed(size.error());
  const std::uint64_t file_pages = (*size + storage::kPageSize - 1) / storage::kPageSize;
  const storage::PageId next = std::max<storage::PageId>({header->next_page_id, file_pages, 1});
  CollectionConfig predicted = config;
  predicted.data_root_page = next;
  predicted.metadata_root_page = next + 1;
  auto encoded = encode_config(predicted);
  if (!encoded) return std::unexpected(serialize_failed(encoded.error()));
  bool fits = encoded->size() <= storage::kRecordAreaSize;
  if (header->catalog_page_id != 0) {
    auto page = cache.fetch_page(header->catalog_page_id);
    if (!page) return failed(page.error());
    std::shared_lock lock((*page)->mutex());
    fits = storage::record_fits(std::as_const(**page).bytes(), encoded->size());
  }
  if (!fits) return std::unexpected(EngineError::internal(kCatalogFull));
  return {};
}

// The catalog page, allocated on first use.
storage::Result<storage::PageId> catalog_page(storage::PageCache& cache) {
  auto header = cache.read_header();
  if (!header) return std::unexpected(header.error());
  if (header->catalog_page_id != 0) return header->catalog_page_id;
  auto id = cache.allocate_page(storage::kPageTypeCatalog);
  if (!id) return id;
  header = cache.read_header();
  if (!header) return std::unexpected(header.error());
  header->catalog_page_id = *id;
  if (auto r = cache.write_header(*header); !r) return std::unexpected(r.error());
  return id;
}

// After a rollback, writes the restored bytes of `ids` back to the file, in
// case a flush had already written the new ones (best effort).
void rewrite_pages(storage::PageCache& cache, std::initializer_list<storage::PageId> ids) {
  for (storage::PageId id : ids) {
    auto page = cache.fetch_page(id);
    if (!page) continue;
    std::shared_lock lock((*page)->mutex());
    (void)cache.write_page(id, std::as_const(**page).bytes());
  }
}

}  // namespace

EngineResult<std::uint64_t> Database::create_collection(const std::string& name,
                                                        std::uint64_t dim,
                                                        std::optional<std::string_view> distance) {
  Impl& db = *impl_;
  std::lock_guard write(db.write_mutex);
  {
    std::shared_lock lock(db.map_mutex);
    if (db.collections.contains(name)) {
      return std::unexpected(EngineError::collection_already_exists(name));
    }
  }
  CollectionConfig config;
  config.name = name;
  config.dimension = dim;
  config.distance = metric_from_argument(distance);
  if (auto r = check_catalog_room(*db.cache, config); !r) return std::unexpected(r.error());

  CallUnit unit(*db.cache, *db.wal);
  auto collection = Collection::materialise(config, db.cache);
  if (!collection) return std::unexpected(collection.error());
  auto catalog = catalog_page(*db.cache);
  if (!catalog) return failed(catalog.error());
  auto encoded = encode_config(config);
  if (!encoded) return std::unexpected(serialize_failed(encoded.error()));
  auto appended = db.cache->append_record(
      *catalog, std::span(reinterpret_cast<const std::uint8_t*>(encoded->data()), encoded->size()));
  if (!appended) return failed(appended.error());
  if (!*appended) return std::unexpected(EngineError::internal(kCatalogFull));

  // The header goes to the file before the catalog page: a kill between the
  // two leaks the new pages instead of handing them out a second time.
  auto flushed = db.cache->flush_page(0);
  if (flushed) flushed = db.cache->flush_page(*catalog);
  if (flushed) flushed = unit.commit();
  if (!flushed) {
    unit.rollback();
    rewrite_pages(*db.cache, {0, *catalog});
    return failed(flushed.error());
  }
  {
    std::unique_lock lock(db.map_mutex);
    db.collections.emplace(name, std::move(*collection));
  }
  db.after_call();
  return dim;
}

}  // namespace orvane::engine
