// V2Collection: a format-2 collection: its slots, vectors and heap streams,
// the in-memory slot table, id map and free space, its index (keyed by slot
// number) and its metadata columns (keyed by slot, for filters).
//
// Slot record (24 bytes, slot i at 24 * i of the slots stream):
//   0  u64 generation  0 = free slot; else the change counter of the call
//                      that wrote the slot (unique for each write of a slot)
//   8  u64 heap offset of the slot's id bytes, then its metadata JSON
//   16 u32 id length   20 u32 metadata length (0 = none)
// Slot i's vector: dimension float32 values at 4 * dimension * i of the
// vectors stream.
//
// Writes follow validate -> write pages -> commit -> apply: prepare_* check
// everything and write pages inside the pager's open unit, returning a
// Pending change; apply() makes memory agree once the unit committed and
// cannot fail; discard() forgets a change whose unit rolled back.
//
// Thread-safety: mutex() guards everything; readers hold it shared, writers
// exclusively and also the database's write mutex.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <shared_mutex>
#include <span>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/errors.h"
#include "engine/heap_space.h"
#include "engine/id_table.h"
#include "engine/metadata_columns.h"
#include "engine/v2_catalog.h"
#include "engine/v2_index.h"
#include "storage/stream.h"
#include "storage/v2_pager.h"

namespace orvane::engine {

inline constexpr std::uint64_t kSlotSize = 24;
inline constexpr std::uint64_t kMaxSlots = (std::uint64_t{1} << 32) - 2;  // the id table's 32-bit entries

// The slots a collection's streams hold: those with a whole slot record and
// a whole vector. The streams grow by whole pages, so the last slots are
// free room.
inline std::uint64_t slots_held(std::uint64_t slot_stream_bytes, std::uint64_t vector_stream_bytes,
                                std::uint64_t dimension) {
  std::uint64_t n = slot_stream_bytes / kSlotSize;
  if (dimension != 0) n = std::min(n, vector_stream_bytes / (4 * dimension));
  return std::min(n, kMaxSlots);
}

struct SlotRecord {
  std::uint64_t generation = 0;
  std::uint64_t heap_offset = 0;
  std::uint32_t id_length = 0;
  std::uint32_t metadata_length = 0;
};

class V2Collection {
 public:
  // Opens the streams of a live catalog entry (marking their pages
  // reachable) and loads slots, ids and vectors.
  [[nodiscard]] static EngineResult<std::shared_ptr<V2Collection>> load(storage::V2Pager& pager,
                                                                        const CatalogEntry& entry);
  // An empty collection (create).
  V2Collection(std::string name, V2Config config);

  const std::string& name() const { return name_; }
  const V2Config& config() const { return config_; }
  std::shared_mutex& mutex() const { return mutex_; }
  // REQUIRES: mutex() held (shared or exclusive).
  std::uint64_t count() const { return ids_.size(); }
  StreamRoots roots() const;
  std::vector<storage::PageId> pages() const;  // every page of every stream

  // A prepared change: the streams as the unit left them and what memory
  // must do once the unit commits.
  struct Row {
    std::uint64_t slot;
    SlotRecord record;
    std::string id;
    const float* vector;             // into the caller's batch
    const std::string* metadata;     // into the caller's batch; null: none
  };
  struct Pending {
    storage::Stream slots, vectors, heap;
    std::uint64_t slot_count = 0;      // the slots the streams hold after the call
    std::uint64_t next_new = 0;        // slots from here to slot_count are free
    std::vector<Row> rows;             // slots written, ascending
    std::vector<std::uint64_t> freed;  // slots freed
    std::vector<std::string> ids;      // an add's ids in batch order
    StreamRoots roots() const;
  };
  // REQUIRES: mutex() exclusive, a unit open on `pager`.
  [[nodiscard]] EngineResult<std::unique_ptr<Pending>> prepare_add(
      storage::V2Pager& pager, std::span<const float> vectors, std::uint64_t rows,
      std::span<const std::string> ids, std::span<const std::optional<std::string>> metadata,
      WriteMode mode);
  // The given ids (unknown ones are skipped) and, when filter is not null,
  // every live slot it matches.
  [[nodiscard]] EngineResult<std::unique_ptr<Pending>> prepare_remove(
      storage::V2Pager& pager, std::span<const std::string> ids, const Filter* filter);
  // After the unit committed. Cannot fail.
  void apply(Pending& change);
  // After the unit rolled back.
  void discard(Pending& change);

  // Reads. REQUIRES: mutex() held shared.
  // `queries` holds nq * dimension floats; ef 0: the collection's
  // ef_search; threads 0: every core; filter may be null. Rows are
  // min(k, count()) wide. The queries run on the index in parallel; ids and
  // metadata are then read on this thread.
  [[nodiscard]] EngineResult<BatchSearchResult> search_batch(
      storage::PageCache& cache, std::span<const float> queries, std::uint64_t nq,
      std::uint64_t k, const Filter* filter, std::uint32_t ef, std::uint32_t threads,
      bool metadata) const;
  // Every live id, in slot order.
  std::vector<std::string> live_ids() const;
  [[nodiscard]] EngineResult<GetResult> get(storage::PageCache& cache,
                                            std::span<const std::string> ids,
                                            bool include_vectors) const;
  CollectionInfo info() const;

  // Releases every page of the collection in the open unit (delete).
  void release_pages(storage::V2Pager& pager) const;

  // Graph persistence (engine/v2_graph_store.h). REQUIRES: mutex() held.
  // The HNSW graph, null for a Flat collection.
  const index::HnswGraph* hnsw() const { return index_.graph(); }
  // Links the graph's unreached nodes before an image is written, so that
  // an open of that image has nothing to link. REQUIRES: mutex() exclusive.
  void link_graph() {
    if (index::HnswGraph* graph = index_.graph()) graph->link_unreached();
  }
  // Each slot's generation, 0 for a free slot.
  std::vector<std::uint64_t> generations() const;
  const storage::Stream& graph_stream() const { return graph_; }
  // Nodes inserted or removed since the graph stream was written (every node
  // when it holds no usable image).
  std::uint64_t graph_changes() const { return graph_changes_; }
  // Once the unit that names `stream` committed. REQUIRES: mutex() exclusive.
  void graph_saved(storage::Stream stream) {
    graph_ = std::move(stream);
    graph_changes_ = 0;
  }

 private:
  [[nodiscard]] storage::Result<std::optional<std::string>> read_metadata(
      storage::PageCache& cache, std::uint64_t slot) const;
  // The live slots `filter` matches, ascending.
  std::vector<std::uint64_t> matching_slots(const Filter& filter) const;
  // Loading.
  [[nodiscard]] EngineResult<void> load_slots(storage::PageCache& cache);
  // Ids into the id map, metadata into the columns.
  [[nodiscard]] EngineResult<void> load_ids(storage::PageCache& cache);
  [[nodiscard]] EngineResult<void> load_vectors(storage::PageCache& cache);
  // Writes the rows' slot records, vectors and heap records into `p`'s streams.
  [[nodiscard]] storage::Result<void> write_rows(storage::V2Pager& pager, Pending& p) const;

  std::string name_;
  V2Config config_;
  storage::Stream slots_, vectors_, heap_;
  storage::Stream graph_;
  std::vector<SlotRecord> slot_table_;
  std::vector<std::string> slot_ids_;  // empty for a free slot
  IdTable ids_{&slot_ids_};
  std::set<std::uint64_t> free_slots_;
  HeapSpace heap_space_;
  V2Index index_;
  MetadataColumns columns_;
  std::uint64_t graph_changes_ = 0;
  mutable std::shared_mutex mutex_;
};

}  // namespace orvane::engine
