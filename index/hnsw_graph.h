// HnswGraph: hierarchical navigable small-world graph over a collection's
// vectors. Parameters (HnswParams) are fixed at construction; the classic
// constructor uses m 16, m_max0 32, ef_construction 200, ef_search 64, and
// every graph draws levels with multiplier 1/ln m.
// Thread-safety: none of its own; insert/remove under the collection's write
// lock, search under its read lock (search keeps per-thread scratch only).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "index/errors.h"
#include "index/id_filter.h"
#include "index/metric.h"

namespace orvane::index {

struct HnswParams {
  std::uint32_t m = 16;  // list cap above layer 0; layer 0 holds 2m
  std::uint32_t ef_construction = 200;
  std::uint32_t ef_search = 64;  // default candidate list of a search
  // Ids are small dense integers (a collection's slots): each id is its own
  // node slot, with no id map (HnswNodes).
  bool dense_ids = false;

  std::uint32_t m_max0() const { return 2 * m; }
  // m in [2, 64], ef_construction and ef_search in [1, 65536].
  [[nodiscard]] IndexResult<void> check() const;
};

struct SearchOptions {
  std::uint64_t ef = 0;              // 0: the graph's ef_search
  const IdFilter* filter = nullptr;  // null: every node may be returned
  // With a filter: the caller's estimate of the fraction of nodes it allows
  // (negative: unknown). Below exact_below the search scans the allowed nodes
  // exhaustively instead of walking the graph; so does a walk that found
  // fewer than k allowed nodes.
  double filter_fraction = -1.0;
  double exact_below = 0.05;
};

class HnswGraph {
 public:
  static constexpr std::uint64_t kM = 16;
  static constexpr std::uint64_t kMMax0 = 32;
  static constexpr std::uint64_t kEfConstruction = 200;
  static constexpr std::uint64_t kEfSearch = 64;
  static constexpr double kLevelMultiplier = 0.36067376022224085;

  HnswGraph(std::uint64_t dimension, DistanceMetric metric);
  // REQUIRES: params.check() succeeds.
  HnswGraph(std::uint64_t dimension, DistanceMetric metric, const HnswParams& params);
  ~HnswGraph();
  HnswGraph(HnswGraph&&) noexcept;
  HnswGraph& operator=(HnswGraph&&) noexcept;

  std::uint64_t dimension() const;
  DistanceMetric metric() const;
  const HnswParams& params() const;
  std::optional<std::uint64_t> entry_point() const;
  std::uint64_t max_level() const;
  std::uint64_t node_count() const;
  bool contains(std::uint64_t id) const;

  [[nodiscard]] IndexResult<void> insert(std::uint64_t id, std::span<const float> vector);
  [[nodiscard]] IndexResult<std::vector<ScoredId>> search(std::span<const float> query,
                                                          std::uint64_t k) const;
  // At most k hits, ascending distance; with a filter only allowed nodes, and
  // k of them whenever k exist. Graph order among equal distances; an
  // exhaustive scan orders them by slot.
  [[nodiscard]] IndexResult<std::vector<ScoredId>> search(std::span<const float> query,
                                                          std::uint64_t k,
                                                          const SearchOptions& options) const;
  [[nodiscard]] IndexResult<void> remove(std::uint64_t id);
  // Links every node that layer 0 does not reach from the entry point into
  // the list of its nearest reached node, so that a search can find every
  // node; returns how many it linked. Cost: one traversal of layer 0, plus a
  // layer-0 search per unreached node.
  std::uint64_t link_unreached();
  // An empty graph with dense ids: room for ids below `slots` and their
  // vectors, uninitialised, for a load to fill in place; an insert of id
  // with the span's own vector then copies nothing. REQUIRES: no node yet.
  std::span<float> load_vectors(std::uint64_t slots);

  // Read-only views, in the graph's iteration order (dense slot order).
  // Costs: node_ids O(nodes); the others one lookup plus the copied lists.
  std::vector<std::uint64_t> node_ids() const;
  // The node's level, or nullopt when id is not a node.
  std::optional<std::uint64_t> node_level(std::uint64_t id) const;
  // The node's neighbour lists, layer by layer (empty when id is not a node).
  std::vector<std::vector<std::uint64_t>> neighbor_lists(std::uint64_t id) const;

  // Level of a new node from one uniform draw u in [0, 1):
  // min(floor(-ln(max(u, 2^-52)) * multiplier), max_level + 1, 12).
  static std::uint64_t level_for_draw(double u, std::uint64_t max_level,
                                      double multiplier = kLevelMultiplier);

  struct Impl;

 private:
  friend struct HnswGraphAccess;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvane::index
