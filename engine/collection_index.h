// CollectionIndex: the index of one collection, either the exhaustive Flat
// index or the HNSW graph, behind one interface.
// Thread-safety: none of its own; the collection's lock guards it.
#pragma once

#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "index/flat_index.h"
#include "index/hnsw_graph.h"

namespace orvane::engine {

class CollectionIndex {
 public:
  CollectionIndex(bool hnsw, std::uint64_t dimension, index::DistanceMetric metric);

  // Replaces the vector of an existing id. Costs: the index's own.
  [[nodiscard]] index::IndexResult<void> insert(std::uint64_t id, std::span<const float> vector);
  [[nodiscard]] index::IndexResult<std::vector<index::ScoredId>> search(
      std::span<const float> query, std::uint64_t k) const;
  // Removes id when present; the graph's failures (an absent id) are dropped.
  void remove(std::uint64_t id);
  std::uint64_t count() const;
  bool contains(std::uint64_t id) const;

  // The graph, or null for a Flat index.
  index::HnswGraph* graph() { return std::get_if<index::HnswGraph>(&index_); }

 private:
  std::variant<index::Flat, index::HnswGraph> index_;
};

}  // namespace orvane::engine
