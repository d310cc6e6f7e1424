// Exhaustive scan. Distances are computed a block at a time into a small stack
// buffer (batched kernels score several stored vectors per instruction), and
// only the best k survive in a bounded max-heap keyed by (score key, entry
// position): the same k, in the same order, as a stable sort of all pairs.
#include "index/flat_index.h"

#include <algorithm>
#include <cstring>

#include "index/distance.h"
#include "index/score_order.h"

namespace orvane::index {
namespace {

// Big enough to amortise the call, small enough to stay in L1 with the query.
constexpr std::size_t kScanBlock = 256;

struct Candidate {
  std::uint32_t key;
  float distance;
  std::uint64_t position;
  // Positions are unique, so this is a total order; a max-heap under it holds
  // the worst survivor on top.
  bool operator<(const Candidate& o) const {
    return key != o.key ? key < o.key : position < o.position;
  }
};

}  // namespace

Flat::Flat(std::uint64_t dimension, DistanceMetric metric)
    : dimension_(dimension), metric_(metric) {}

IndexResult<void> Flat::insert(std::uint64_t id, std::span<const float> vector) {
  if (vector.size() != dimension_) {
    return std::unexpected(VectorIndexError::dimension_mismatch(dimension_, vector.size()));
  }
  const auto found = position_.find(id);
  if (found != position_.end()) {
    std::copy(vector.begin(), vector.end(), vectors_.begin() + found->second * dimension_);
    return {};
  }
  position_.emplace(id, ids_.size());
  ids_.push_back(id);
  vectors_.insert(vectors_.end(), vector.begin(), vector.end());
  return {};
}

IndexResult<std::vector<ScoredId>> Flat::search(std::span<const float> query,
                                                std::uint64_t k) const {
  if (query.size() != dimension_) {
    return std::unexpected(VectorIndexError::dimension_mismatch(dimension_, query.size()));
  }
  const std::size_t total = ids_.size();
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(k, total));
  std::vector<ScoredId> result;
  if (keep == 0) return result;

  std::vector<Candidate> heap;
  heap.reserve(keep);
  // Once the heap is full a later entry enters only with a strictly smaller
  // key: on equal keys its larger position loses, as in a stable sort.
  std::uint64_t threshold = std::uint64_t{1} << 32;
  float scores[kScanBlock];
  for (std::size_t start = 0; start < total; start += kScanBlock) {
    const std::size_t len = std::min(kScanBlock, total - start);
    distance_batch(metric_, query.data(), vectors_.data() + start * dimension_, dimension_, len,
                   scores);
    for (std::size_t i = 0; i < len; ++i) {
      const std::uint32_t key = score_key(scores[i]);
      if (key >= threshold) continue;
      const Candidate c{key, scores[i], start + i};
      if (heap.size() < keep) {
        heap.push_back(c);
        std::push_heap(heap.begin(), heap.end());
        if (heap.size() < keep) continue;
      } else {
        std::pop_heap(heap.begin(), heap.end());
        heap.back() = c;
        std::push_heap(heap.begin(), heap.end());
      }
      threshold = heap.front().key;
    }
  }
  std::sort_heap(heap.begin(), heap.end());
  result.reserve(heap.size());
  for (const Candidate& c : heap) result.push_back({ids_[c.position], c.distance});
  return result;
}

void Flat::remove(std::uint64_t id) {
  const auto found = position_.find(id);
  if (found == position_.end()) return;
  const std::size_t hole = found->second;
  const std::size_t last = ids_.size() - 1;
  position_.erase(found);
  if (hole != last) {
    ids_[hole] = ids_[last];
    position_[ids_[hole]] = hole;
    if (dimension_ != 0) {
      std::memcpy(vectors_.data() + hole * dimension_, vectors_.data() + last * dimension_,
                  dimension_ * sizeof(float));
    }
  }
  ids_.pop_back();
  vectors_.resize(last * dimension_);
}

}  // namespace orvane::index
