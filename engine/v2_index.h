// V2Index: the index of a format-2 collection, keyed by slot number:
// index::DenseFlat for "flat", index::HnswGraph with the collection's m,
// ef_construction and ef_search for "hnsw". Hits name slots.
//
// Loading at open is one sequential read: the vectors stream goes straight
// into load_buffer(), the index's own array (Flat: its rows; HNSW: the
// graph's node vectors, a node's slot being its collection slot). Flat then
// makes the live slots its contents with finish_load(); HNSW takes the graph
// out (take_graph), has the open rule restore it from its image, and
// installs the result (install_graph).
//
// Thread-safety: none of its own. set/erase/install under the collection's
// exclusive lock; search is const and may run on many threads at once under
// the shared lock (each search keeps per-thread scratch only).
#pragma once

#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "engine/v2_catalog.h"
#include "index/dense_flat.h"
#include "index/errors.h"
#include "index/hnsw_graph.h"
#include "index/id_filter.h"

namespace orvane::engine {

// The graph parameters of a configuration.
index::HnswParams hnsw_params(const IndexSpec& params);

class V2Index {
 public:
  // REQUIRES: for "hnsw", hnsw_params(config.index).check() succeeds.
  explicit V2Index(const V2Config& config);

  // Memory for slot_count vectors (slot s at s * dimension), to be filled
  // by the load. REQUIRES: nothing loaded or set yet.
  std::span<float> load_buffer(std::uint64_t slot_count);
  // Flat: makes exactly the slots whose generation is not 0 live. Cost
  // O(slots). REQUIRES: a Flat index.
  void finish_load(std::span<const std::uint64_t> generations);

  // Stores the slot's vector (replacing what it held).
  [[nodiscard]] index::IndexResult<void> set(std::uint64_t slot, std::span<const float> vector);
  // Frees the slot; nothing when it holds no vector.
  void erase(std::uint64_t slot);

  struct Query {
    std::uint64_t k = 10;
    std::uint32_t ef = 0;                    // HNSW candidate list; 0: the collection's ef_search
    const index::IdFilter* filter = nullptr; // null: every slot may be returned
    double filter_fraction = -1.0;           // estimated share of live slots allowed; < 0 unknown
    std::uint32_t threads = 0;               // 0: every core
  };
  // One hit list per query (queries: a multiple of the dimension), each at
  // most k slots by ascending distance; Flat is exact (ties by slot), HNSW
  // approximate. With a filter only allowed slots, and k of them whenever k
  // exist; HNSW scores every allowed slot instead of walking the graph (an
  // exact answer) when the filter's share makes that the fewer distances.
  [[nodiscard]] index::IndexResult<std::vector<std::vector<index::ScoredId>>> search(
      std::span<const float> queries, const Query& query) const;

  // The graph, or null for a Flat index (graph snapshots).
  index::HnswGraph* graph() { return std::get_if<index::HnswGraph>(&index_); }
  const index::HnswGraph* graph() const { return std::get_if<index::HnswGraph>(&index_); }
  // The graph with its loaded vectors, for the open rule; install_graph
  // puts the restored one back. REQUIRES: an HNSW index.
  index::HnswGraph take_graph();
  // Replaces the graph by one restored from a snapshot. REQUIRES: an HNSW
  // index, the graph built with this collection's dimension, metric and m.
  void install_graph(index::HnswGraph graph);

 private:
  std::variant<index::DenseFlat, index::HnswGraph> index_;
};

}  // namespace orvane::engine
