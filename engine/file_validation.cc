#include "engine/file_validation.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <string>
#include <unordered_map>

#include "storage/page.h"
#include "storage/try.h"

namespace orvane::engine {

namespace {

using storage::StorageError;

StorageError invalid(std::string text) {
  return StorageError::invalid_database_file(std::move(text));
}

// The page's type byte; pages are fetched through the cache, so nothing is
// read twice when the collection is loaded right after.
storage::Result<std::uint8_t> page_type(storage::PageCache& cache, storage::PageId id) {
  auto page = cache.fetch_page(id);
  ORVANE_TRY(page);
  std::shared_lock lock((*page)->mutex());
  return std::as_const(**page).bytes()[0];
}

}  // namespace

storage::Result<void> validate_header(const storage::DatabaseHeader& h, std::uint64_t file_size) {
  if (h.magic != storage::kMagic) return std::unexpected(invalid("wrong magic bytes"));
  if (h.version != 1) return std::unexpected(StorageError::unsupported_format_version(h.version));
  if (h.page_size != storage::kPageSize) {
    return std::unexpected(invalid("page size " + std::to_string(h.page_size) + " is not " +
                                   std::to_string(storage::kPageSize)));
  }
  if (file_size % storage::kPageSize != 0) {
    return std::unexpected(
        invalid("file length " + std::to_string(file_size) + " is not a whole number of pages"));
  }
  const std::uint64_t pages = file_size / storage::kPageSize;
  if (h.catalog_page_id >= pages) {
    return std::unexpected(invalid("catalog page " + std::to_string(h.catalog_page_id) +
                                   " lies past the end of the file (" + std::to_string(file_size) +
                                   " bytes)"));
  }
  return {};
}

storage::Result<void> validate_database_file(storage::File& file) {
  auto size = file.size();
  ORVANE_TRY(size);
  // The magic comes first even for a short file: it says best what the file is.
  std::array<std::uint8_t, storage::kHeaderSize> bytes{};
  const std::size_t readable = std::min<std::uint64_t>(*size, bytes.size());
  if (auto r = file.read_exact_at(0, std::span(bytes).first(readable)); !r) return r;
  if (readable < storage::kMagic.size() ||
      !std::equal(storage::kMagic.begin(), storage::kMagic.end(), bytes.begin())) {
    return std::unexpected(invalid("wrong magic bytes"));
  }
  if (*size < storage::kPageSize) {
    return std::unexpected(
        invalid("file length " + std::to_string(*size) + " is not a whole number of pages"));
  }
  return validate_header(storage::DatabaseHeader::decode(bytes.data()), *size);
}

storage::Result<void> validate_collection_pages(const std::vector<CollectionConfig>& configs,
                                                storage::PageId catalog_page,
                                                storage::PageCache& cache) {
  auto size = cache.file_size();
  ORVANE_TRY(size);
  const std::uint64_t pages = *size / storage::kPageSize;
  if (catalog_page != 0) {
    auto type = page_type(cache, catalog_page);
    ORVANE_TRY(type);
    if (*type != storage::kPageTypeCatalog && *type != 0) {
      return std::unexpected(invalid("catalog page " + std::to_string(catalog_page) +
                                     " has page type " + std::to_string(*type)));
    }
  }
  // Page id -> who uses it, for the error text.
  std::unordered_map<storage::PageId, std::string> owners;
  if (catalog_page != 0) owners.emplace(catalog_page, "the catalog");
  for (const CollectionConfig& c : configs) {
    const std::array<std::tuple<const char*, storage::PageId, std::uint8_t>, 3> fields = {{
        {"data_root_page", c.data_root_page, storage::kPageTypeVectorData},
        {"metadata_root_page", c.metadata_root_page, storage::kPageTypeMetadata},
        {"hnsw_edge_page", c.hnsw_edge_page, storage::kPageTypeHnswEdges},
    }};
    for (const auto& [field, id, expected_type] : fields) {
      if (id == 0) continue;
      // Only an "hnsw" index reads its edge page; reading one past the end
      // fails its load with the read error.
      const bool edges = expected_type == storage::kPageTypeHnswEdges;
      if (edges && (!c.uses_hnsw() || id >= pages)) continue;
      const std::string what = "collection " + c.name + ": " + field + " " + std::to_string(id);
      if (id >= pages) {
        return std::unexpected(
            invalid(what + " lies past the end of the file (" + std::to_string(*size) + " bytes)"));
      }
      auto [it, added] = owners.emplace(id, "collection " + c.name);
      if (!added) return std::unexpected(invalid(what + " is already used by " + it->second));
      auto type = page_type(cache, id);
      ORVANE_TRY(type);
      if (*type != expected_type && *type != 0) {
        return std::unexpected(invalid(what + " has page type " + std::to_string(*type)));
      }
    }
  }
  return {};
}

}  // namespace orvane::engine
