// Reachability repair: links each node that layer 0 does not reach from the
// entry point into the list of its nearest reached node.
//
// A graph built by insertion and left by removals may hold nodes without
// in-links (a few per thousand after a bulk build), and a search never finds
// them. Inserting them again does not make a link stick (a neighbour's
// pruning may drop it again); a direct link does. A full list gives up a
// target that another node also points at, so the link cuts no node off.
#include <algorithm>

#include "index/hnsw_graph_impl.h"

namespace orvane::index {

std::uint64_t HnswGraph::Impl::link_unreached() {
  if (!entry_point) return 0;
  const std::uint32_t entry = nodes.find_node(*entry_point);
  const std::uint32_t n = static_cast<std::uint32_t>(nodes.slot_count());
  std::vector<bool> seen(n, false);
  std::vector<std::uint32_t> stack;
  auto spread = [&](std::uint32_t from) {
    seen[from] = true;
    stack.push_back(from);
    while (!stack.empty()) {
      const std::uint32_t s = stack.back();
      stack.pop_back();
      for (std::uint32_t t : nodes.list(s, 0)) {
        if (!seen[t] && nodes.is_node(t)) {
          seen[t] = true;
          stack.push_back(t);
        }
      }
    }
  };
  spread(entry);
  // In-degrees only once some node needs a link: a graph that is whole (the
  // usual case at open) costs one traversal.
  std::vector<std::uint32_t> in_degree;
  const std::uint32_t cap = nodes.cap(0);
  std::vector<ScoredSlot> near;
  std::vector<std::uint32_t> targets;
  std::uint64_t linked = 0;
  for (std::uint32_t u = 0; u < n; ++u) {
    if (!nodes.is_node(u) || seen[u]) continue;
    if (in_degree.empty()) {
      in_degree.assign(n, 0);
      for (std::uint32_t s = 0; s < n; ++s) {
        if (!nodes.is_node(s)) continue;
        for (std::uint32_t t : nodes.list(s, 0)) ++in_degree[t];
      }
    }
    // A search from the entry point meets reached nodes only.
    search_layer(nodes.vector(u), entry, cap, 0, near);
    for (const ScoredSlot& r : near) {
      const std::span<const std::uint32_t> list = nodes.list(r.slot, 0);
      if (list.size() < cap) {
        nodes.append(r.slot, 0, u);
      } else {
        // The target farthest from r among those with another in-link.
        std::uint32_t victim = n;
        float worst = -1.0f;
        for (std::uint32_t t : list) {
          if (in_degree[t] < 2) continue;
          const float d = dist(nodes.vector(r.slot), nodes.vector(t));
          if (victim == n || d > worst) {
            victim = t;
            worst = d;
          }
        }
        if (victim == n) continue;
        targets.assign(list.begin(), list.end());
        std::replace(targets.begin(), targets.end(), victim, u);
        nodes.replace_list(r.slot, 0, targets);
        --in_degree[victim];
      }
      ++in_degree[u];
      ++linked;
      spread(u);
      break;
    }
  }
  return linked;
}

std::uint64_t HnswGraph::link_unreached() { return impl_->link_unreached(); }

}  // namespace orvane::index
