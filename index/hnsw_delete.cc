// Removal: physical and immediate, no repair. Only the nodes named in the
// removed node's own lists are visited, so a one-way link to it survives as a
// dangling id that searches pass over.
#include <vector>

#include "index/hnsw_graph_impl.h"

namespace orvane::index {

IndexResult<void> HnswGraph::Impl::remove(std::uint64_t id) {
  const std::uint32_t slot = nodes.find_node(id);
  if (slot == HnswNodes::kNoSlot) return std::unexpected(VectorIndexError::vector_not_found(id));

  // Copy first: erasing from the neighbours' lists never touches this node's
  // own lists, but the copy keeps the walk independent of that fact.
  const std::uint32_t level = nodes.level(slot);
  std::vector<std::vector<std::uint32_t>> lists(level + 1);
  for (std::uint32_t layer = 0; layer <= level && layer < nodes.list_count(slot); ++layer) {
    const auto l = nodes.list(slot, layer);
    lists[layer].assign(l.begin(), l.end());
  }
  for (std::uint32_t layer = 0; layer <= level; ++layer) {
    for (std::uint32_t n : lists[layer]) {
      if (nodes.is_node(n) && nodes.list_count(n) > layer) nodes.erase_all(n, layer, slot);
    }
  }
  nodes.drop_node(slot);

  if (entry_point == id) {
    // The new entry point is a node of the highest remaining level, so that
    // a search starts where every layer can be walked.
    const std::uint32_t first = nodes.first_node();
    if (first != HnswNodes::kNoSlot) {
      max_level = nodes.max_node_level();
      std::uint32_t top = first;
      while (!nodes.is_node(top) || nodes.level(top) != max_level) ++top;
      entry_point = nodes.id(top);
    } else {
      entry_point.reset();
      max_level = 0;
    }
  }
  return {};
}

}  // namespace orvane::index
