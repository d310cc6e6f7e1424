// Insertion: capped level, single closest entry per layer, diversity
// selection without back-filling.
//
// A back link to a list that is already full re-selects that list from its
// current nodes plus the new one (same diversity test, the far node as the
// base). Refusing the link instead would freeze every list once it filled,
// leaving late nodes with out-links only and unreachable from the rest.
#include <algorithm>
#include <cassert>

#include "index/hnsw_graph_impl.h"
#include "storage/random.h"

namespace orvane::index {

void HnswGraph::Impl::select_neighbors(std::span<const ScoredSlot> candidates, std::uint32_t cap,
                                       std::vector<ScoredSlot>& out) const {
  assert(cap <= HnswNodes::kMaxCap0);
  out.clear();
  // Distances from a candidate to the kept nodes are scored in one batch (a
  // single distance is latency-bound, a batch is not); deciding on them in
  // order afterwards gives the same choice as stopping at the first rejection.
  const float* kept[HnswNodes::kMaxCap0];
  float d[HnswNodes::kMaxCap0];
  for (const ScoredSlot& c : candidates) {
    if (out.size() >= cap) break;
    const std::size_t n = out.size();
    if (n > 0) distance_batch_ptrs(metric, nodes.vector(c.slot), kept, nodes.dimension(), n, d);
    bool rejected = false;
    for (std::size_t i = 0; i < n && !rejected; ++i) rejected = d[i] < c.distance;
    if (rejected) continue;
    kept[n] = nodes.vector(c.slot);
    out.push_back(c);
  }
}

void HnswGraph::Impl::reselect(std::uint32_t far, std::uint32_t layer, std::uint32_t added) {
  constexpr std::size_t kPool = HnswNodes::kMaxCap0 + 1;
  ScoredSlot pool[kPool];
  const float* vectors[kPool];
  float distances[kPool];
  std::size_t n = 0;
  for (std::uint32_t s : nodes.list(far, layer)) {
    if (!nodes.is_node(s)) continue;  // a dangling id is no candidate
    pool[n] = {s, 0.0f};
    vectors[n++] = nodes.vector(s);
  }
  pool[n] = {added, 0.0f};
  vectors[n++] = nodes.vector(added);
  distance_batch_ptrs(metric, nodes.vector(far), vectors, nodes.dimension(), n, distances);
  // Insertion sort: stable (equal distances keep list order, the new node
  // last) and allocation-free for these few entries.
  for (std::size_t i = 0; i < n; ++i) {
    const ScoredSlot item{pool[i].slot, distances[i]};
    const std::uint32_t key = distance_order_key(item.distance);
    std::size_t j = i;
    for (; j > 0 && distance_order_key(pool[j - 1].distance) > key; --j) pool[j] = pool[j - 1];
    pool[j] = item;
  }
  std::vector<ScoredSlot>& kept = scratch.kept;
  select_neighbors(std::span<const ScoredSlot>(pool, n), nodes.cap(layer), kept);
  std::uint32_t slots[HnswNodes::kMaxCap0];
  for (std::size_t i = 0; i < kept.size(); ++i) slots[i] = kept[i].slot;
  nodes.replace_list(far, layer, std::span<const std::uint32_t>(slots, kept.size()));
}

IndexResult<void> HnswGraph::Impl::insert(std::uint64_t id, std::span<const float> vector) {
  if (vector.size() != nodes.dimension()) {
    return std::unexpected(VectorIndexError::dimension_mismatch(nodes.dimension(), vector.size()));
  }
  if (nodes.find_node(id) != HnswNodes::kNoSlot) {
    if (auto removed = remove(id); !removed) return removed;
  }
  const auto level = static_cast<std::uint32_t>(
      HnswGraph::level_for_draw(storage::thread_random_unit(), max_level, level_multiplier));

  std::uint32_t ep = HnswNodes::kNoSlot;
  if (entry_point) {
    ep = nodes.find_node(*entry_point);
    if (ep == HnswNodes::kNoSlot) {
      return std::unexpected(VectorIndexError::vector_not_found(*entry_point));
    }
  }
  const std::uint32_t slot = nodes.begin_node(id, vector, level);
  if (!entry_point) {
    entry_point = id;
    max_level = level;
    nodes.publish(slot);
    return {};
  }

  // The stored copy is the query: it stays put, since no slot is created below.
  const float* query = nodes.vector(slot);
  std::vector<ScoredSlot>& w = scratch.found;
  for (std::uint64_t layer = max_level; layer > level; --layer) {
    search_layer(query, ep, 1, static_cast<std::uint32_t>(layer), w);
    if (!w.empty()) ep = w.front().slot;
  }
  std::vector<ScoredSlot>& selected = scratch.selected;
  for (std::uint32_t lc = static_cast<std::uint32_t>(std::min<std::uint64_t>(max_level, level));;
       --lc) {
    search_layer(query, ep, params.ef_construction, lc, w);
    const std::uint32_t cap = nodes.cap(lc);
    std::span<const ScoredSlot> chosen = w;
    if (w.size() > cap) {
      select_neighbors(w, cap, selected);
      chosen = selected;
    }
    for (const ScoredSlot& s : chosen) {
      if (s.slot == slot) continue;
      if (nodes.list(slot, lc).size() < cap && !nodes.list_contains(slot, lc, s.slot)) {
        nodes.append(slot, lc, s.slot);
      }
      if (nodes.list_count(s.slot) <= lc || nodes.list_contains(s.slot, lc, slot)) continue;
      if (nodes.list(s.slot, lc).size() < cap) {
        nodes.append(s.slot, lc, slot);
      } else {
        reselect(s.slot, lc, slot);
      }
    }
    if (!w.empty()) ep = w.front().slot;
    if (lc == 0) break;
  }
  if (max_level < level) {
    entry_point = id;
    max_level = level;
  }
  nodes.publish(slot);
  return {};
}

}  // namespace orvane::index
