#include "index/hnsw_graph.h"

#include <algorithm>
#include <cmath>

#include "index/hnsw_graph_impl.h"

namespace orvane::index {

IndexResult<void> HnswParams::check() const {
  if (m < 2 || m > 64) {
    return std::unexpected(VectorIndexError::invalid_parameter("m must be between 2 and 64"));
  }
  if (ef_construction < 1 || ef_construction > 65536) {
    return std::unexpected(
        VectorIndexError::invalid_parameter("ef_construction must be between 1 and 65536"));
  }
  if (ef_search < 1 || ef_search > 65536) {
    return std::unexpected(
        VectorIndexError::invalid_parameter("ef_search must be between 1 and 65536"));
  }
  return {};
}

HnswGraph::HnswGraph(std::uint64_t dimension, DistanceMetric metric)
    : HnswGraph(dimension, metric, HnswParams{}) {}
HnswGraph::HnswGraph(std::uint64_t dimension, DistanceMetric metric, const HnswParams& params)
    : impl_(std::make_unique<Impl>(dimension, metric, params)) {}
HnswGraph::~HnswGraph() = default;
HnswGraph::HnswGraph(HnswGraph&&) noexcept = default;
HnswGraph& HnswGraph::operator=(HnswGraph&&) noexcept = default;

std::uint64_t HnswGraph::dimension() const { return impl_->nodes.dimension(); }
DistanceMetric HnswGraph::metric() const { return impl_->metric; }
const HnswParams& HnswGraph::params() const { return impl_->params; }
std::optional<std::uint64_t> HnswGraph::entry_point() const { return impl_->entry_point; }
std::uint64_t HnswGraph::max_level() const { return impl_->max_level; }
std::uint64_t HnswGraph::node_count() const { return impl_->nodes.node_count(); }
bool HnswGraph::contains(std::uint64_t id) const {
  return impl_->nodes.find_node(id) != HnswNodes::kNoSlot;
}

IndexResult<void> HnswGraph::insert(std::uint64_t id, std::span<const float> vector) {
  return impl_->insert(id, vector);
}
IndexResult<std::vector<ScoredId>> HnswGraph::search(std::span<const float> query,
                                                     std::uint64_t k) const {
  return impl_->search(query, k, SearchOptions{});
}
IndexResult<std::vector<ScoredId>> HnswGraph::search(std::span<const float> query,
                                                     std::uint64_t k,
                                                     const SearchOptions& options) const {
  return impl_->search(query, k, options);
}
IndexResult<void> HnswGraph::remove(std::uint64_t id) { return impl_->remove(id); }
std::span<float> HnswGraph::load_vectors(std::uint64_t slots) {
  return impl_->nodes.load_vectors(slots);
}

std::vector<std::uint64_t> HnswGraph::node_ids() const {
  const HnswNodes& nodes = impl_->nodes;
  std::vector<std::uint64_t> ids;
  ids.reserve(nodes.node_count());
  for (std::uint32_t s = 0; s < nodes.slot_count(); ++s) {
    if (nodes.is_node(s)) ids.push_back(nodes.id(s));
  }
  return ids;
}

std::optional<std::uint64_t> HnswGraph::node_level(std::uint64_t id) const {
  const std::uint32_t slot = impl_->nodes.find_node(id);
  if (slot == HnswNodes::kNoSlot) return std::nullopt;
  return impl_->nodes.level(slot);
}

std::vector<std::vector<std::uint64_t>> HnswGraph::neighbor_lists(std::uint64_t id) const {
  const HnswNodes& nodes = impl_->nodes;
  std::vector<std::vector<std::uint64_t>> lists;
  const std::uint32_t slot = nodes.find_node(id);
  if (slot == HnswNodes::kNoSlot) return lists;
  for (std::uint32_t layer = 0; layer < nodes.list_count(slot); ++layer) {
    std::vector<std::uint64_t>& out = lists.emplace_back();
    for (std::uint32_t target : nodes.list(slot, layer)) out.push_back(nodes.id(target));
  }
  return lists;
}

std::uint64_t HnswGraph::level_for_draw(double u, std::uint64_t max_level, double multiplier) {
  // The clamp keeps -ln finite (at most 36.05), so with a multiplier of at
  // most 1/ln 2 the conversion below never leaves the integer range.
  const double clamped = std::max(u, 0x1p-52);
  const auto level = static_cast<std::uint64_t>(std::floor(-std::log(clamped) * multiplier));
  return std::min({level, max_level + 1, std::uint64_t{HnswNodes::kMaxLevel}});
}

}  // namespace orvane::index
