// The open rule: an old snapshot plus the current slots give a graph holding
// exactly the live slots.
//
// Kept nodes are built straight from the image. A kept node that listed a
// stale one (its slot freed or rewritten since) re-selects that list from its
// other targets plus the stale node's kept targets on the same layer, the
// repair that keeps its neighbourhood connected. A stale entry point hands
// over to the first kept node of the highest level. Missing live slots are
// then inserted, and finally every node that layer 0 does not reach from the
// entry point is linked from its nearest reached node (HnswGraph::
// link_unreached), so that a search can find every stored vector.
#include <algorithm>

#include "index/hnsw_graph_impl.h"
#include "index/hnsw_snapshot.h"
#include "index/hnsw_snapshot_parse.h"
#include "storage/try.h"

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
  HnswParams dense = params;
  dense.dense_ids = true;
  HnswGraph graph(dimension, metric, dense);
  const std::span<float> own = graph.load_vectors(generations.size());
  std::copy_n(vectors.begin(), own.size(), own.begin());
  return restore_hnsw(bytes, std::move(graph), generations);
}

IndexResult<RestoredHnsw> restore_hnsw(std::span<const std::uint8_t> bytes, HnswGraph graph,
                                       std::span<const std::uint64_t> generations) {
  RestoredHnsw out{std::move(graph), 0, 0, 0, 0, std::nullopt};
  HnswGraph::Impl& g = HnswGraphAccess::impl(out.graph);
  const std::size_t dim = g.nodes.dimension();
  if (g.nodes.node_count() != 0 || g.nodes.slot_count() < generations.size()) {
    return std::unexpected(VectorIndexError::invalid_parameter(
        "the graph must be empty with vectors for " + std::to_string(generations.size()) +
        " slots"));
  }
  const std::span<const float> vectors(g.nodes.vector(0), g.nodes.slot_count() * dim);
  std::vector<bool> keep(generations.size(), false);
  auto parsed = parse_snapshot(bytes, g.params.m);
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
  for (std::uint64_t s = 0; s < generations.size(); ++s) {
    if (generations[s] == 0 || keep[s]) continue;
    ORVANE_TRY(g.insert(s, vectors.subspan(s * dim, dim)));
    ++out.inserted;
  }
  out.linked = g.link_unreached();
  return out;
}

}  // namespace orvane::index
