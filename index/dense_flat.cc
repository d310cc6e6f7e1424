// Exhaustive scan by blocks: a block of stored vectors small enough to stay
// in the core's cache is scored against a block of queries at once (several
// queries per pass), then each query's bounded heap takes the block's scores.
// A heap keyed by (score key, slot) keeps the same k, in the same order, as a
// stable sort of all live slots.
#include "index/dense_flat.h"

#include <algorithm>

#include "index/distance.h"
#include "index/score_order.h"
#include "storage/try.h"

namespace orvane::index {
namespace {

// 32 queries (16 KiB at D = 128) stay in L1 while 1 MiB of vectors sits in L2.
constexpr std::size_t kQueryBlock = 32;
constexpr std::size_t kVectorBytes = std::size_t{1} << 20;

struct Entry {
  std::uint32_t key;
  float distance;
  std::uint64_t slot;
  bool operator<(const Entry& o) const { return key != o.key ? key < o.key : slot < o.slot; }
};

// Bounded max-heap of the best `keep` entries seen, in slot order of arrival.
class TopK {
 public:
  explicit TopK(std::size_t keep) : keep_(keep) { heap_.reserve(keep); }

  // Slots arrive in ascending order, so an equal key never displaces: the
  // threshold admits strictly smaller keys once full.
  void offer(float distance, std::uint64_t slot) {
    const std::uint32_t key = score_key(distance);
    if (key >= threshold_) return;
    const Entry e{key, distance, slot};
    if (heap_.size() < keep_) {
      heap_.push_back(e);
      std::push_heap(heap_.begin(), heap_.end());
      if (heap_.size() < keep_) return;
    } else {
      std::pop_heap(heap_.begin(), heap_.end());
      heap_.back() = e;
      std::push_heap(heap_.begin(), heap_.end());
    }
    threshold_ = heap_.front().key;
  }

  std::vector<ScoredId> take() {
    std::sort_heap(heap_.begin(), heap_.end());
    std::vector<ScoredId> hits;
    hits.reserve(heap_.size());
    for (const Entry& e : heap_) hits.push_back({e.slot, e.distance});
    return hits;
  }

 private:
  std::size_t keep_;
  std::uint64_t threshold_ = std::uint64_t{1} << 32;
  std::vector<Entry> heap_;
};

}  // namespace

DenseFlat::DenseFlat(std::uint64_t dimension, DistanceMetric metric)
    : dimension_(dimension), metric_(metric) {}

void DenseFlat::reserve(std::uint64_t slots) {
  vectors_.reserve(slots * dimension_);
  live_.reserve(slots);
}

std::span<float> DenseFlat::grow(std::uint64_t count) {
  const std::size_t first = vectors_.size();
  vectors_.resize(first + count * dimension_);
  live_.resize(live_.size() + count, 0);
  return {vectors_.data() + first, count * dimension_};
}

void DenseFlat::set_live(std::uint64_t slot, bool live) {
  live_count_ += static_cast<int>(live) - static_cast<int>(live_[slot] != 0);
  live_[slot] = live ? 1 : 0;
}

IndexResult<void> DenseFlat::append(std::span<const float> vectors,
                                    std::span<const std::uint8_t> live) {
  const std::size_t count = dimension_ == 0 ? live.size() : vectors.size() / dimension_;
  if (count * dimension_ != vectors.size() || (!live.empty() && live.size() != count)) {
    return std::unexpected(VectorIndexError::invalid_parameter(
        "vector buffer of " + std::to_string(vectors.size()) + " floats for dimension " +
        std::to_string(dimension_)));
  }
  const std::uint64_t first = slot_count();
  std::span<float> dst = grow(count);
  std::copy(vectors.begin(), vectors.end(), dst.begin());
  for (std::size_t i = 0; i < count; ++i) {
    if (live.empty() || live[i] != 0) set_live(first + i, true);
  }
  return {};
}

IndexResult<void> DenseFlat::set(std::uint64_t slot, std::span<const float> vector) {
  if (vector.size() != dimension_) {
    return std::unexpected(VectorIndexError::dimension_mismatch(dimension_, vector.size()));
  }
  if (slot >= slot_count()) grow(slot + 1 - slot_count());
  std::copy(vector.begin(), vector.end(), vectors_.data() + slot * dimension_);
  set_live(slot, true);
  return {};
}

void DenseFlat::erase(std::uint64_t slot) {
  if (live(slot)) set_live(slot, false);
}

IndexResult<std::vector<ScoredId>> DenseFlat::search(std::span<const float> query,
                                                     std::uint64_t k,
                                                     const IdFilter* filter) const {
  if (query.size() != dimension_) {
    return std::unexpected(VectorIndexError::dimension_mismatch(dimension_, query.size()));
  }
  auto batch = search_batch(query, k, filter);
  ORVANE_TRY(batch);
  return std::move(batch->front());
}

IndexResult<std::vector<std::vector<ScoredId>>> DenseFlat::search_batch(
    std::span<const float> queries, std::uint64_t k, const IdFilter* filter) const {
  const std::size_t dim = dimension_;
  if (dim == 0 ? !queries.empty() : queries.size() % dim != 0 || queries.empty()) {
    return std::unexpected(VectorIndexError::dimension_mismatch(dim, queries.size()));
  }
  const std::size_t query_count = dim == 0 ? 1 : queries.size() / dim;
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(k, live_count_));
  std::vector<TopK> tops(query_count, TopK(keep));
  const std::size_t slots = live_.size();
  if (keep > 0) {
    const std::size_t block = std::max<std::size_t>(64, kVectorBytes / (4 * std::max<std::size_t>(dim, 1)));
    const std::size_t qblock = std::min(kQueryBlock, query_count);
    std::vector<float> scores(qblock * block);
    std::vector<std::uint32_t> admitted;  // offsets of the block's allowed live slots
    admitted.reserve(block);
    for (std::size_t start = 0; start < slots; start += block) {
      const std::size_t len = std::min(block, slots - start);
      admitted.clear();
      for (std::size_t i = 0; i < len; ++i) {
        if (live_[start + i] != 0 && (filter == nullptr || filter->allows(start + i))) {
          admitted.push_back(static_cast<std::uint32_t>(i));
        }
      }
      if (admitted.empty()) continue;
      // Score only the span that holds admitted slots.
      const std::size_t lo = admitted.front();
      const std::size_t hi = admitted.back() + 1;
      const float* base = vectors_.data() + (start + lo) * dim;
      for (std::size_t q0 = 0; q0 < query_count; q0 += qblock) {
        const std::size_t qn = std::min(qblock, query_count - q0);
        distance_multi(metric_, queries.data() + q0 * dim, qn, base, dim, hi - lo, scores.data());
        for (std::size_t q = 0; q < qn; ++q) {
          const float* row = scores.data() + q * (hi - lo);
          TopK& top = tops[q0 + q];
          for (std::uint32_t i : admitted) top.offer(row[i - lo], start + i);
        }
      }
    }
  }
  std::vector<std::vector<ScoredId>> results;
  results.reserve(query_count);
  for (TopK& top : tops) results.push_back(top.take());
  return results;
}

}  // namespace orvane::index
