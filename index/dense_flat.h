// DenseFlat: exhaustive index over vectors stored by slot.
//
// Slot i's vector lies at i * dimension in one array, with a live flag per
// slot, so a collection whose slots are stored the same way loads with one
// copy (or a read straight into grow()'s span). Hits name slots
// (ScoredId::id is the slot). Order: ascending distance, ties by slot, NaN
// after every number.
// Thread-safety: none of its own; searches are const and may run
// concurrently when nothing writes (they use thread-local scratch only).
// Memory: slot_count * (4 * dimension + 1) bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "index/errors.h"
#include "index/float_buffer.h"
#include "index/id_filter.h"
#include "index/metric.h"

namespace orvane::index {

class DenseFlat {
 public:
  DenseFlat(std::uint64_t dimension, DistanceMetric metric);

  std::uint64_t dimension() const { return dimension_; }
  DistanceMetric metric() const { return metric_; }
  // Slots held, live or free; slot ids are below this.
  std::uint64_t slot_count() const { return live_.size(); }
  std::uint64_t live_count() const { return live_count_; }
  bool live(std::uint64_t slot) const { return slot < live_.size() && live_[slot] != 0; }
  // REQUIRES: slot < slot_count().
  std::span<const float> vector(std::uint64_t slot) const {
    return {vectors_.data() + slot * dimension_, dimension_};
  }

  void reserve(std::uint64_t slots);
  // Adds `count` free slots at the end and returns their vector memory, to be
  // filled by the caller (then set_live). Cost: O(count * dimension).
  std::span<float> grow(std::uint64_t count);
  // REQUIRES: slot < slot_count().
  void set_live(std::uint64_t slot, bool live);
  // Appends vectors.size() / dimension slots from one contiguous buffer; all
  // live unless `live` (one byte per slot, non-zero = live) says otherwise.
  [[nodiscard]] IndexResult<void> append(std::span<const float> vectors,
                                         std::span<const std::uint8_t> live = {});
  // Stores the vector in `slot` and marks it live, growing with free slots.
  [[nodiscard]] IndexResult<void> set(std::uint64_t slot, std::span<const float> vector);
  // Frees the slot (nothing when it is not live).
  void erase(std::uint64_t slot);

  // At most k live slots (allowed by the filter, when given).
  [[nodiscard]] IndexResult<std::vector<ScoredId>> search(std::span<const float> query,
                                                          std::uint64_t k,
                                                          const IdFilter* filter = nullptr) const;
  // One result list per query (queries: query_count * dimension floats), each
  // exactly what search() returns; stored vectors are read once per block of
  // queries instead of once per query.
  [[nodiscard]] IndexResult<std::vector<std::vector<ScoredId>>> search_batch(
      std::span<const float> queries, std::uint64_t k, const IdFilter* filter = nullptr) const;

 private:
  std::uint64_t dimension_;
  DistanceMetric metric_;
  std::uint64_t live_count_ = 0;
  // slot_count * dimension; a free slot's vector is unspecified.
  FloatBuffer vectors_;
  std::vector<std::uint8_t> live_;   // one per slot
};

}  // namespace orvane::index
