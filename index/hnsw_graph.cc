#include "index/hnsw_graph.h"

#include <algorithm>
#include <cmath>

#include "index/hnsw_graph_impl.h"

namespace orvane::index {

HnswGraph::HnswGraph(std::uint64_t dimension, DistanceMetric metric)
    : impl_(std::make_unique<Impl>(dimension, metric)) {}
HnswGraph::~HnswGraph() = default;
HnswGraph::HnswGraph(HnswGraph&&) noexcept = default;
HnswGraph& HnswGraph::operator=(HnswGraph&&) noexcept = default;

std::uint64_t HnswGraph::dimension() const { return impl_->nodes.dimension(); }
DistanceMetric HnswGraph::metric() const { return impl_->metric; }
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
  return impl_->search(query, k);
}
IndexResult<void> HnswGraph::remove(std::uint64_t id) { return impl_->remove(id); }

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

std::uint64_t HnswGraph::level_for_draw(double u, std::uint64_t max_level) {
  // The clamp keeps -ln finite; with it the level is at most 12, so the
  // conversion below never sees a value outside the integer range.
  const double clamped = std::max(u, 0x1p-52);
  const auto level = static_cast<std::uint64_t>(std::floor(-std::log(clamped) * kLevelMultiplier));
  return std::min(level, max_level + 1);
}

void HnswGraph::set_ef_search_for_bench(std::uint64_t ef) { impl_->ef_search = ef; }

}  // namespace orvane::index
