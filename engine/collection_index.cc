#include "engine/collection_index.h"

namespace orvane::engine {

namespace {

std::variant<index::Flat, index::HnswGraph> make_index(bool hnsw, std::uint64_t dimension,
                                                       index::DistanceMetric metric) {
  if (hnsw) return index::HnswGraph(dimension, metric);
  return index::Flat(dimension, metric);
}

}  // namespace

CollectionIndex::CollectionIndex(bool hnsw, std::uint64_t dimension, index::DistanceMetric metric)
    : index_(make_index(hnsw, dimension, metric)) {}

index::IndexResult<void> CollectionIndex::insert(std::uint64_t id, std::span<const float> vector) {
  return std::visit([&](auto& ix) { return ix.insert(id, vector); }, index_);
}

index::IndexResult<std::vector<index::ScoredId>> CollectionIndex::search(
    std::span<const float> query, std::uint64_t k) const {
  return std::visit([&](const auto& ix) { return ix.search(query, k); }, index_);
}

void CollectionIndex::remove(std::uint64_t id) {
  if (auto* flat = std::get_if<index::Flat>(&index_)) {
    flat->remove(id);
  } else {
    (void)std::get<index::HnswGraph>(index_).remove(id);
  }
}

std::uint64_t CollectionIndex::count() const {
  if (const auto* flat = std::get_if<index::Flat>(&index_)) return flat->count();
  return std::get<index::HnswGraph>(index_).node_count();
}

bool CollectionIndex::contains(std::uint64_t id) const {
  return std::visit([&](const auto& ix) { return ix.contains(id); }, index_);
}

}  // namespace orvane::engine
