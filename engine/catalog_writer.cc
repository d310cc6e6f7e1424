#include "engine/catalog_writer.h"

#include <algorithm>
#include <mutex>

#include "storage/page.h"
#include "storage/try.h"

namespace orvane::engine {

namespace {

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

EngineResult<std::string> encode(const CollectionConfig& config) {
  auto encoded = encode_config(config);
  if (!encoded) {
    return std::unexpected(EngineError::internal(kSerializeFailedPrefix + encoded.error()));
  }
  return std::move(*encoded);
}

}  // namespace

// Only the pages that hold records force a completed catalog record: what
// goes into them would otherwise be lost at the next open. An edge page holds
// a snapshot that re-insertion rebuilds, so a missing one is allocated anew at
// each open and the record is left as it is.
bool needs_pages(const CollectionConfig& c) {
  return c.data_root_page == 0 || c.metadata_root_page == 0;
}

EngineResult<void> check_catalog_room(storage::PageCache& cache,
                                      std::span<const CollectionConfig> pending) {
  auto fitting = catalog_room(cache, pending);
  ORVANE_TRY(fitting);
  if (*fitting < pending.size()) return std::unexpected(EngineError::internal(kCatalogFull));
  return {};
}

EngineResult<std::size_t> catalog_room(storage::PageCache& cache,
                                       std::span<const CollectionConfig> pending) {
  auto header = cache.read_header();
  if (!header) return failed(header.error());
  auto size = cache.file_size();
  if (!size) return failed(size.error());
  // The page ids allocate_page will hand out.
  storage::PageId next = storage::next_new_page(*size);
  // The records go onto a copy of the catalog page (a fresh one when there
  // is none yet), which settles both the byte and the slot limits.
  std::vector<std::uint8_t> page = storage::new_page_image(storage::kPageTypeCatalog);
  if (header->catalog_page_id != 0) {
    auto cached = cache.fetch_page(header->catalog_page_id);
    if (!cached) return failed(cached.error());
    std::shared_lock lock((*cached)->mutex());
    const auto bytes = std::as_const(**cached).bytes();
    page.assign(bytes.begin(), bytes.end());
  }
  std::size_t fitting = 0;
  for (CollectionConfig predicted : pending) {
    if (predicted.data_root_page == 0) predicted.data_root_page = next++;
    if (predicted.metadata_root_page == 0) predicted.metadata_root_page = next++;
    if (predicted.uses_hnsw() && predicted.hnsw_edge_page == 0) predicted.hnsw_edge_page = next++;
    auto encoded = encode(predicted);
    ORVANE_TRY(encoded);
    if (!storage::append_to_page(page, bytes_of(*encoded), std::nullopt)) break;
    ++fitting;
  }
  return fitting;
}

EngineResult<storage::PageId> catalog_page(storage::PageCache& cache) {
  auto header = cache.read_header();
  if (!header) return failed(header.error());
  if (header->catalog_page_id != 0) return header->catalog_page_id;
  auto id = cache.allocate_page(storage::kPageTypeCatalog);
  if (!id) return failed(id.error());
  header = cache.read_header();
  if (!header) return failed(header.error());
  header->catalog_page_id = *id;
  if (auto r = cache.write_header(*header); !r) return failed(r.error());
  return *id;
}

EngineResult<void> append_config(storage::PageCache& cache, storage::PageId catalog,
                                 const CollectionConfig& config) {
  auto encoded = encode(config);
  ORVANE_TRY(encoded);
  auto appended = cache.append_record(catalog, bytes_of(*encoded));
  if (!appended) return failed(appended.error());
  if (!*appended) return std::unexpected(EngineError::internal(kCatalogFull));
  return {};
}

EngineResult<void> write_through(CallUnit& unit, storage::PageId catalog) {
  // The log first: the in-place writes may be torn by a power cut, and then
  // the next open repairs both pages from the log.
  if (auto r = unit.commit(/*barrier=*/true); !r) return failed(r.error());
  storage::PageCache& cache = unit.cache();
  // The pages the call allocated are durable before the header that counts
  // them: an open checks the header against the file before any replay.
  // Without that, the pages stay in the log for the next checkpoint.
  if (unit.wal().sync_level() != storage::SyncLevel::Off && !cache.sync_file()) return {};
  // The header goes first: a kill between the two leaks the new pages
  // instead of handing them out a second time.
  if (cache.flush_page(0)) (void)cache.flush_page(catalog);
  return {};
}

}  // namespace orvane::engine
