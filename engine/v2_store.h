// V2Store: the format-2 state of an open database: the pager (allocation and
// call units), the catalog stream and the collections.
//
// Thread-safety: the database's write mutex guards the pager, the catalog
// and entry offsets; its map mutex guards `collections`.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "engine/errors.h"
#include "engine/v2_catalog.h"
#include "engine/v2_collection.h"
#include "storage/page_cache.h"
#include "storage/stream.h"
#include "storage/v2_header.h"
#include "storage/v2_pager.h"

namespace orvane::engine {

struct V2Store {
  std::unique_ptr<storage::V2Pager> pager;
  storage::Stream catalog;
  std::unordered_map<std::string, std::uint64_t> entry_offsets;  // live name -> catalog offset
  std::uint64_t dead_bytes = 0;                                  // of deleted entries
  std::unordered_map<std::string, std::shared_ptr<V2Collection>> collections;
};

// Loads the catalog and every live collection of a file whose page 0 holds
// `header`, marking every reachable page; the rest is free.
[[nodiscard]] EngineResult<std::unique_ptr<V2Store>> load_v2_store(
    std::shared_ptr<storage::PageCache> cache, const storage::V2Header& header);

// Checks a configuration for create.
[[nodiscard]] EngineResult<V2Config> check_v2_config(std::uint64_t dim, std::string_view metric,
                                                     const IndexSpec& index);

// The catalog as a new collection entry leaves it (compacted first when dead
// entries outweigh live ones). Writes into the pager's open unit; returns the
// entry offsets to keep once the unit commits.
struct CatalogAppend {
  std::uint64_t offset = 0;  // of the new entry
  // Every live entry's offset when the catalog was rewritten.
  std::optional<std::unordered_map<std::string, std::uint64_t>> compacted;
};
[[nodiscard]] storage::Result<CatalogAppend> append_entry(V2Store& store, storage::Stream& catalog,
                                                          const CatalogEntry& entry);

}  // namespace orvane::engine
