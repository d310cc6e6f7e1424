// Layer search and the layered query.
//
// The visited set is the per-thread epoch table: a node is scored at most once
// per layer search, and a node already scored is passed over when met again,
// so no id is admitted twice. The unvisited neighbours of an expanded node are
// gathered first and scored in one batch; admission then runs over them in
// list order, which gives exactly the result of scoring them one by one.
#include <algorithm>

#include "index/hnsw_graph_impl.h"
#include "index/hnsw_visited.h"

namespace orvane::index {

void HnswGraph::Impl::search_layer(const float* query, std::uint32_t entry, std::uint64_t ef,
                                   std::uint32_t layer, std::vector<ScoredSlot>& out) const {
  SearchScratch& scratch = SearchScratch::begin(nodes.slot_count());
  CandidateHeap candidates(scratch.candidates());
  ResultHeap results(out);
  const std::size_t dim = nodes.dimension();
  // Prefetch the head of each vector; the hardware streams the rest of a long one.
  const std::size_t prefetch_floats = std::min<std::size_t>(dim, 128);

  const float entry_distance = dist(query, nodes.vector(entry));
  scratch.mark(entry);
  candidates.push({entry, entry_distance});
  results.push({entry, entry_distance});

  const float* vectors[HnswNodes::kCap0];
  std::uint32_t slots[HnswNodes::kCap0];
  float distances[HnswNodes::kCap0];
  while (!candidates.empty()) {
    const ScoredSlot c = candidates.pop();
    if (!results.empty() && results.size() >= ef && c.distance > results.top().distance) break;
    // The next candidate's list is read after this one's neighbours are
    // scored: start loading it now.
    if (!candidates.empty()) nodes.prefetch_list(candidates.top().slot, layer);
    if (nodes.list_count(c.slot) <= layer) continue;

    const auto list = nodes.list(c.slot, layer);
    for (std::uint32_t e : list) {
      scratch.prefetch(e);
      nodes.prefetch_state(e);
    }
    std::size_t n = 0;
    for (std::uint32_t e : list) {
      if (e == c.slot || scratch.visited(e) || !nodes.is_node(e)) continue;
      scratch.mark(e);
      vectors[n] = nodes.vector(e);
      for (std::size_t off = 0; off < prefetch_floats; off += 16) {
        __builtin_prefetch(vectors[n] + off);
      }
      slots[n++] = e;
    }
    if (n == 0) continue;
    distance_batch_ptrs(metric, query, vectors, dim, n, distances);
    for (std::size_t i = 0; i < n; ++i) {
      const float d = distances[i];
      if (results.size() < ef || (!results.empty() && d < results.top().distance)) {
        candidates.push({slots[i], d});
        // A new nearest candidate is expanded next: start loading its list.
        if (candidates.top().slot == slots[i]) nodes.prefetch_list(slots[i], layer);
        results.push({slots[i], d});
        while (results.size() > ef) results.pop();
      }
    }
  }
  results.into_sorted();
}

IndexResult<std::vector<ScoredId>> HnswGraph::Impl::search(std::span<const float> query,
                                                           std::uint64_t k) const {
  if (query.size() != nodes.dimension()) {
    return std::unexpected(VectorIndexError::dimension_mismatch(nodes.dimension(), query.size()));
  }
  std::vector<ScoredId> hits;
  if (!entry_point) return hits;
  std::uint32_t ep = nodes.find_node(*entry_point);
  if (ep == HnswNodes::kNoSlot) {
    return std::unexpected(VectorIndexError::vector_not_found(*entry_point));
  }
  std::vector<ScoredSlot> w;
  for (std::uint64_t layer = max_level; layer >= 1; --layer) {
    search_layer(query.data(), ep, 1, static_cast<std::uint32_t>(layer), w);
    if (!w.empty()) ep = w.front().slot;
  }
  search_layer(query.data(), ep, std::max(k, ef_search), 0, w);
  const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(k, w.size()));
  hits.reserve(count);
  for (std::size_t i = 0; i < count; ++i) hits.push_back({nodes.id(w[i].slot), w[i].distance});
  return hits;
}

}  // namespace orvane::index
