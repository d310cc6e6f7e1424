// Writing configurations into the catalog page, shared by create_collection
// and by the open (which completes records whose page fields are 0).
//
// REQUIRES for all: the database's write mutex held (or the open, which owns
// the database alone); the changes belong to the caller's call unit.
#pragma once

#include <span>

#include "engine/call_unit.h"
#include "engine/catalog.h"
#include "engine/errors.h"
#include "storage/page_cache.h"

namespace orvane::engine {

// True when materialising `config` allocates a page (a page field it needs is 0).
bool needs_pages(const CollectionConfig& config);

// Refuses, before any page is allocated, configurations whose records would
// not be encodable ("Failed to serialize collection config: ...") or would
// not all fit the catalog page ("Catalog page full — ..."). Each record is
// encoded with the page ids that the allocations will hand out, in order, so
// its length is the one appended later. Reads only.
[[nodiscard]] EngineResult<void> check_catalog_room(storage::PageCache& cache,
                                                    std::span<const CollectionConfig> pending);
// How many of `pending`, taken in order, fit the catalog page (same
// prediction as above); an unencodable record is still an error.
[[nodiscard]] EngineResult<std::size_t> catalog_room(storage::PageCache& cache,
                                                     std::span<const CollectionConfig> pending);

// The catalog page, allocated (type 4) and entered in the header on first use.
[[nodiscard]] EngineResult<storage::PageId> catalog_page(storage::PageCache& cache);

// Appends the configuration's record to the catalog page.
[[nodiscard]] EngineResult<void> append_config(storage::PageCache& cache, storage::PageId catalog,
                                               const CollectionConfig& config);

// Commits the unit, with the log synchronised (unless its level is Off),
// then synchronises the database file (the pages the call allocated) and
// writes page 0 and the catalog page in place. A failed commit rolls the
// unit back and writes nothing. Once committed the call is kept whatever the
// in-place writes do: the log holds both pages, and a page left dirty is
// written again by the next checkpoint or close.
[[nodiscard]] EngineResult<void> write_through(CallUnit& unit, storage::PageId catalog);

}  // namespace orvane::engine
