// Checks that an existing file is one of our databases before anything is
// written to it or created beside it. Nothing here writes.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/catalog.h"
#include "storage/file.h"
#include "storage/header_format.h"
#include "storage/page_cache.h"

namespace orvane::engine {

// The header of a non-empty file read straight from it: the magic, the
// version (UnsupportedFormatVersion), the page size, a length of whole pages
// and a catalog page inside the file (InvalidDatabaseFile otherwise).
[[nodiscard]] storage::Result<void> validate_database_file(storage::File& file);
// The same checks on a decoded header and the file's length in bytes.
[[nodiscard]] storage::Result<void> validate_header(const storage::DatabaseHeader& header,
                                                    std::uint64_t file_size);

// The page fields of the collections about to be loaded: every non-zero
// field names a page inside the file that is not page 0, not the catalog
// page and not named by any other field, and whose type byte is its own type
// or 0 (never written). Also checks the catalog page's own type. The edge
// page is checked only for an "hnsw" index, and not when it lies past the end.
// Cost: one page fetch per field.
[[nodiscard]] storage::Result<void> validate_collection_pages(
    const std::vector<CollectionConfig>& configs, storage::PageId catalog_page,
    storage::PageCache& cache);

}  // namespace orvane::engine
