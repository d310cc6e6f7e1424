// Flat: exhaustive index over contiguously stored vectors.
// Thread-safety: none of its own; the collection's lock guards it.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "index/errors.h"
#include "index/metric.h"

namespace orvane::index {

class Flat {
 public:
  Flat(std::uint64_t dimension, DistanceMetric metric);

  std::uint64_t dimension() const { return dimension_; }
  DistanceMetric metric() const { return metric_; }

  // Replaces in place when id exists, else appends. O(1) id lookup.
  [[nodiscard]] IndexResult<void> insert(std::uint64_t id, std::span<const float> vector);
  // At most k results, ascending distance, ties in entry order, NaN last.
  [[nodiscard]] IndexResult<std::vector<ScoredId>> search(std::span<const float> query,
                                                          std::uint64_t k) const;
  // Moves the last entry into the hole; absent id changes nothing.
  void remove(std::uint64_t id);
  std::uint64_t count() const { return ids_.size(); }
  bool contains(std::uint64_t id) const { return position_.count(id) != 0; }

 private:
  std::uint64_t dimension_;
  DistanceMetric metric_;
  std::vector<std::uint64_t> ids_;      // entry order
  std::vector<float> vectors_;          // ids_.size() * dimension_ floats
  std::unordered_map<std::uint64_t, std::size_t> position_;
};

}  // namespace orvane::index
