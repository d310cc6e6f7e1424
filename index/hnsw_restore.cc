// The open rule: an old snapshot plus the current slots give a graph holding
// exactly the live slots.
//
// Kept nodes are built straight from the image. A kept node that listed a
// stale one (its slot freed or rewritten since) re-selects that list from its
// other targets plus the stale node's kept targets on the same layer, the
// repair that keeps its neighbourhood connected. A stale entry point hands
// over to the first kept node of the highest level. Missing live slots are
// then inserted, and finally every node that layer 0 does not reach from the
// entry point is linked from its nearest reached node, so that a search can
// find every stored vector.
#include <algorithm>

#include "index/hnsw_graph_impl.h"
#include "index/hnsw_snapshot.h"
#include "index/hnsw_snapshot_parse.h"

namespace orvane::index {
namespace {

// Working memory of the repairs, reused across lists: `mark[t] == epoch`
// when t is already a candidate of the current list.
struct RepairScratch {
  std::vector<std::uint32_t> mark;
  std::uint32_t epoch = 0;
  std::vector<std::uint32_t> ids;
  std::vector<const float*> vectors;
  std::vector<float> distances;
};

// Re-selects one kept node's list after stale targets dropped out of it.
void repair_list(HnswGraph::Impl& g, const ParsedSnapshot& p, const std::vector<bool>& keep,
                 std::uint64_t s, std::uint32_t layer, RepairScratch& w) {
  const std::uint32_t base = g.nodes.find_node(s);
  w.ids.clear();
  ++w.epoch;
  auto add = [&](std::uint32_t t) {
    if (t != s && keep[t] && p.levels[t] >= layer && w.mark[t] != w.epoch) {
      w.mark[t] = w.epoch;
      w.ids.push_back(t);
    }
  };
  for (std::uint32_t t : p.list(s, layer)) {
    if (keep[t]) {
      add(t);
    } else {
      for (std::uint32_t u : p.list(t, layer)) add(u);
    }
  }
  // One batch of distances: a single distance is latency-bound.
  w.vectors.clear();
  for (std::uint32_t& t : w.ids) {
    t = g.nodes.find_node(t);  // from here on the graph's node slot
    w.vectors.push_back(g.nodes.vector(t));
  }
  w.distances.resize(w.ids.size());
  distance_batch_ptrs(g.metric, g.nodes.vector(base), w.vectors.data(), g.nodes.dimension(),
                      w.ids.size(), w.distances.data());
  std::vector<ScoredSlot> candidates;
  candidates.reserve(w.ids.size());
  for (std::size_t i = 0; i < w.ids.size(); ++i) {
    candidates.push_back({w.ids[i], w.distances[i]});
  }
  std::stable_sort(candidates.begin(), candidates.end(), [](ScoredSlot a, ScoredSlot b) {
    return distance_order_key(a.distance) < distance_order_key(b.distance);
  });
  std::vector<ScoredSlot> chosen;
  g.select_neighbors(candidates, g.nodes.cap(layer), chosen);
  std::vector<std::uint32_t> slots;
  for (const ScoredSlot& c : chosen) slots.push_back(c.slot);
  g.nodes.replace_list(base, layer, slots);
}

// Links each node that layer 0 does not reach from the entry point into the
// list of its nearest reached node. A graph built by insertion and left by
// removals may hold nodes without in-links, and inserting them again does
// not make a link stick (a neighbour's pruning may drop it again); a direct
// link does. A full list gives up a target that another node also points at,
// so the link cuts no node off. Cost: one pass over layer 0, plus a layer-0
// search per unreached node.
void link_unreached(HnswGraph::Impl& g) {
  HnswNodes& nodes = g.nodes;
  if (!g.entry_point) return;
  const std::uint32_t entry = nodes.find_node(*g.entry_point);
  const std::uint32_t n = static_cast<std::uint32_t>(nodes.slot_count());
  std::vector<std::uint32_t> in_degree(n, 0);
  for (std::uint32_t s = 0; s < n; ++s) {
    if (!nodes.is_node(s)) continue;
    for (std::uint32_t t : nodes.list(s, 0)) ++in_degree[t];
  }
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
  const std::uint32_t cap = nodes.cap(0);
  std::vector<ScoredSlot> near;
  std::vector<std::uint32_t> targets;
  for (std::uint32_t u = 0; u < n; ++u) {
    if (!nodes.is_node(u) || seen[u]) continue;
    // A search from the entry point meets reached nodes only.
    g.search_layer(nodes.vector(u), entry, cap, 0, near);
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
          const float d = g.dist(nodes.vector(r.slot), nodes.vector(t));
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
      spread(u);
      break;
    }
  }
}

}  // namespace

IndexResult<RestoredHnsw> restore_hnsw(std::span<const std::uint8_t> bytes,
                                       std::uint64_t dimension, DistanceMetric metric,
                                       const HnswParams& params, std::span<const float> vectors,
                                       std::span<const std::uint64_t> generations) {
  if (dimension != 0 && vectors.size() / dimension < generations.size()) {
    return std::unexpected(VectorIndexError::invalid_parameter(
        "vectors for " + std::to_string(vectors.size() / dimension) + " slots, generations for " +
        std::to_string(generations.size())));
  }
  RestoredHnsw out{HnswGraph(dimension, metric, params), 0, 0, 0, std::nullopt};
  HnswGraph::Impl& g = HnswGraphAccess::impl(out.graph);
  std::vector<bool> keep(generations.size(), false);
  auto parsed = parse_snapshot(bytes, params.m);
  if (!parsed) {
    out.snapshot_error = parsed.error();
  } else {
    const ParsedSnapshot& p = *parsed;
    keep.resize(std::max<std::uint64_t>(p.slots, generations.size()), false);
    for (std::uint64_t s = 0; s < p.slots; ++s) {
      if (p.generations[s] == 0) continue;
      keep[s] = s < generations.size() && generations[s] == p.generations[s];
      ++(keep[s] ? out.kept : out.removed);
    }
    p.build(g, vectors, &keep);
    if (out.removed > 0) {
      RepairScratch scratch;
      scratch.mark.assign(p.slots, 0);
      for (std::uint64_t s = 0; s < p.slots; ++s) {
        if (!keep[s]) continue;
        for (std::uint32_t layer = 0; layer <= p.levels[s]; ++layer) {
          for (std::uint32_t t : p.list(s, layer)) {
            if (keep[t]) continue;
            repair_list(g, p, keep, s, layer, scratch);
            break;
          }
        }
      }
    }
    if (!g.entry_point && out.kept > 0) {
      std::uint64_t best = p.slots;
      for (std::uint64_t s = 0; s < p.slots; ++s) {
        if (keep[s] && (best == p.slots || p.levels[s] > p.levels[best])) best = s;
      }
      g.entry_point = best;
      g.max_level = p.levels[best];
    }
  }
  const std::size_t dim = static_cast<std::size_t>(dimension);
  for (std::uint64_t s = 0; s < generations.size(); ++s) {
    if (generations[s] == 0 || keep[s]) continue;
    if (auto r = g.insert(s, vectors.subspan(s * dim, dim)); !r) return std::unexpected(r.error());
    ++out.inserted;
  }
  link_unreached(g);
  return out;
}

}  // namespace orvane::index
