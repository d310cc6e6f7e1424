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

  // (see hnsw internals for node access used by edge persistence and tests)
 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvane::index
