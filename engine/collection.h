// Collection: the engine-side state of one collection: its configuration, its
// index, the id maps (external <-> internal), its metadata store and a handle
// to the database's page cache. Owned by the database's collections map and
// shared with the operations working on it.
//
// Invariant: between calls, the index, the id maps and the metadata store
// equal what a replay of the collection's pages produces, except for the ids
// that inserts of a wrong length registered without a vector. Any other call
// that fails leaves both exactly as they were.
//
// Thread-safety: mutex() guards everything; the methods below state whether
// they need it shared or exclusive. Changes also REQUIRE the database's write
// mutex (one call unit at a time).
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/call_unit.h"
#include "engine/catalog.h"
#include "engine/collection_index.h"
#include "engine/database.h"
#include "engine/errors.h"
#include "engine/metadata_store.h"
#include "engine/records.h"
#include "storage/page_cache.h"

namespace orvane::engine {

class Collection {
 public:
  // Turns a configuration into a live collection: allocates the pages whose
  // field is 0 (in the order data, metadata, and edges for an "hnsw" index;
  // the ids are written into `config`), builds the empty index and replays the
  // vector data page, the metadata page and the edge page.
  // REQUIRES: every non-zero page field names a page of the file.
  [[nodiscard]] static EngineResult<std::shared_ptr<Collection>> materialise(
      CollectionConfig& config, std::shared_ptr<storage::PageCache> cache);

  // Loads a collection whose record lacks a page it needs and whose completed
  // record does not fit the catalog: replays the pages it names, allocates
  // none, and refuses every write with "Catalog page full — ...".
  [[nodiscard]] static EngineResult<std::shared_ptr<Collection>> load_unrecorded(
      const CollectionConfig& config, std::shared_ptr<storage::PageCache> cache);

  const CollectionConfig& config() const { return config_; }
  std::shared_mutex& mutex() const { return mutex_; }

  // REQUIRES: mutex() held shared.
  std::uint64_t live_count() const { return index_.count(); }
  // At most top_k results in ascending score; scores are the metric's
  // distances, unchanged. Cost: the index's search plus the kept results' ids
  // and metadata.
  [[nodiscard]] EngineResult<std::vector<SearchResult>> search(std::span<const float> query,
                                                               std::uint64_t top_k) const;

  // Every vector the index holds, with its id and metadata, in the order the
  // data page holds them. REQUIRES: mutex() held shared. Cost: one pass over
  // the data page (a collection holds one page).
  struct Stored {
    std::string id;
    std::vector<float> vector;
    std::optional<std::string> metadata;  // compact JSON text
  };
  [[nodiscard]] EngineResult<std::vector<Stored>> stored() const;

  // REQUIRES: mutex() held exclusively and `unit` open; both calls end the
  // unit (committed on success, rolled back on failure).
  // Inserts or replaces the vector of `id` (generated "doc_N" when absent).
  [[nodiscard]] EngineResult<std::string> insert(std::optional<std::string> id,
                                                 std::span<const float> vector,
                                                 const nlohmann::json* metadata, CallUnit& unit);
  // Deletes the vector of `id`; an unknown id changes nothing in memory.
  [[nodiscard]] EngineResult<void> remove(const std::string& id, CallUnit& unit);

 private:
  Collection(CollectionConfig config, std::shared_ptr<storage::PageCache> cache);

  // Replays the pages the configuration names (materialise only).
  [[nodiscard]] EngineResult<void> load();
  [[nodiscard]] storage::Result<void> replay_vector_page();
  [[nodiscard]] storage::Result<void> replay_metadata_page();
  void apply_vector(DecodedVector&& record);

  // Insert helpers.
  std::string draw_external_id() const;
  std::uint64_t draw_internal_id() const;
  [[nodiscard]] EngineResult<bool> fits(storage::PageId page, std::size_t length) const;
  // The latest vector of `id` that the vector data page holds, if any.
  std::optional<DecodedVector> vector_on_page(const std::string& id) const;
  void forget(const std::string& id);

  CollectionConfig config_;
  std::shared_ptr<storage::PageCache> cache_;
  CollectionIndex index_;
  std::unordered_map<std::string, std::uint64_t> ids_;        // external -> internal
  std::unordered_map<std::uint64_t, std::string> externals_;  // internal -> external
  MetadataStore metadata_;
  bool recorded_ = true;  // false: load_unrecorded
  mutable std::shared_mutex mutex_;
};

}  // namespace orvane::engine
