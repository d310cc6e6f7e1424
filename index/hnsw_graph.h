// HnswGraph: hierarchical navigable small-world graph over a collection's
// vectors. Fixed parameters: m 16, m_max0 32, ef_construction 200,
// ef_search 64, level_multiplier 1/ln 16.
// Thread-safety: none of its own; insert/remove under the collection's write
// lock, search under its read lock (search keeps per-thread scratch only).
//
// PUBLIC INTERFACE (the engine relies on these signatures); internals are free.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "index/errors.h"
#include "index/metric.h"

namespace orvane::index {

class HnswGraph {
 public:
  static constexpr std::uint64_t kM = 16;
  static constexpr std::uint64_t kMMax0 = 32;
  static constexpr std::uint64_t kEfConstruction = 200;
  static constexpr std::uint64_t kEfSearch = 64;
  static constexpr double kLevelMultiplier = 0.36067376022224085;

  HnswGraph(std::uint64_t dimension, DistanceMetric metric);
  ~HnswGraph();
  HnswGraph(HnswGraph&&) noexcept;
  HnswGraph& operator=(HnswGraph&&) noexcept;

  std::uint64_t dimension() const;
  DistanceMetric metric() const;
  std::optional<std::uint64_t> entry_point() const;
  std::uint64_t max_level() const;
  std::uint64_t node_count() const;
  bool contains(std::uint64_t id) const;

  [[nodiscard]] IndexResult<void> insert(std::uint64_t id, std::span<const float> vector);
  [[nodiscard]] IndexResult<std::vector<ScoredId>> search(std::span<const float> query,
                                                          std::uint64_t k) const;
  [[nodiscard]] IndexResult<void> remove(std::uint64_t id);

  // Read-only views, in the graph's iteration order (dense slot order).
  // Costs: node_ids O(nodes); the others one lookup plus the copied lists.
  std::vector<std::uint64_t> node_ids() const;
  // The node's level, or nullopt when id is not a node.
  std::optional<std::uint64_t> node_level(std::uint64_t id) const;
  // The node's neighbour lists, layer by layer (empty when id is not a node).
  std::vector<std::vector<std::uint64_t>> neighbor_lists(std::uint64_t id) const;

  // Level of a new node from one uniform draw u in [0, 1):
  // min(floor(-ln(max(u, 2^-52)) * kLevelMultiplier), max_level + 1); at most 12.
  static std::uint64_t level_for_draw(double u, std::uint64_t max_level);

  // Benchmarks only: the layer-0 candidate-list floor of search (64 otherwise).
  void set_ef_search_for_bench(std::uint64_t ef);

  struct Impl;

 private:
  friend struct HnswGraphAccess;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvane::index
