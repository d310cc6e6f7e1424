// Layer search and the layered query.
//
// The visited set is the per-thread epoch table: a node is scored at most once
// per layer search, and a node already scored is passed over when met again,
// so no id is admitted twice. The unvisited neighbours of an expanded node are
// gathered first and scored in one batch; admission then runs over them in
// list order, which gives exactly the result of scoring them one by one.
//
// A filtered walk admits candidates exactly as an unfiltered one but keeps
// only allowed nodes as results: the graph stays connected through the nodes
// the filter rejects, and the walk stops only once ef allowed nodes are found.
#include <algorithm>

#include "index/hnsw_graph_impl.h"
#include "index/hnsw_visited.h"
#include "index/score_order.h"

namespace orvane::index {

template <bool kFiltered>
void HnswGraph::Impl::search_layer_impl(const float* query, std::uint32_t entry, std::uint64_t ef,
                                        std::uint32_t layer, const IdFilter* filter,
                                        std::vector<ScoredSlot>& out) const {
  SearchScratch& scratch = SearchScratch::begin(nodes.slot_count());
  CandidateHeap candidates(scratch.candidates());
  ResultHeap results(out);
  const std::size_t dim = nodes.dimension();
  // Prefetch the head of each vector; the hardware streams the rest of a long one.
  const std::size_t prefetch_floats = std::min<std::size_t>(dim, 128);
  auto allowed = [&](std::uint32_t slot) {
    if constexpr (kFiltered) return filter->allows(nodes.id(slot));
    return true;
  };

  const float entry_distance = dist(query, nodes.vector(entry));
  scratch.mark(entry);
  candidates.push({entry, entry_distance});
  if (allowed(entry)) results.push({entry, entry_distance});

  const float* vectors[HnswNodes::kMaxCap0];
  std::uint32_t slots[HnswNodes::kMaxCap0];
  float distances[HnswNodes::kMaxCap0];
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
        if (!allowed(slots[i])) continue;
        results.push({slots[i], d});
        while (results.size() > ef) results.pop();
      }
    }
  }
  results.into_sorted();
}

template void HnswGraph::Impl::search_layer_impl<false>(const float*, std::uint32_t,
                                                        std::uint64_t, std::uint32_t,
                                                        const IdFilter*,
                                                        std::vector<ScoredSlot>&) const;

std::vector<ScoredId> HnswGraph::Impl::scan_allowed(const float* query, std::uint64_t k,
                                                    const IdFilter& filter) const {
  // Distances are scored a block of allowed nodes at a time; the bounded heap
  // keyed by (score, slot) keeps the first k of a stable sort in slot order.
  constexpr std::size_t kBlock = 64;
  struct Entry {
    std::uint32_t key;
    std::uint32_t slot;
    float distance;
    bool operator<(const Entry& o) const { return key != o.key ? key < o.key : slot < o.slot; }
  };
  std::vector<Entry> heap;
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(k, nodes.node_count()));
  if (keep == 0) return {};
  heap.reserve(keep);
  const float* vectors[kBlock];
  std::uint32_t slots[kBlock];
  float distances[kBlock];
  std::size_t n = 0;
  auto flush = [&] {
    distance_batch_ptrs(metric, query, vectors, nodes.dimension(), n, distances);
    for (std::size_t i = 0; i < n; ++i) {
      const Entry e{score_key(distances[i]), slots[i], distances[i]};
      if (heap.size() < keep) {
        heap.push_back(e);
        std::push_heap(heap.begin(), heap.end());
      } else if (e < heap.front()) {
        std::pop_heap(heap.begin(), heap.end());
        heap.back() = e;
        std::push_heap(heap.begin(), heap.end());
      }
    }
    n = 0;
  };
  const auto slot_count = static_cast<std::uint32_t>(nodes.slot_count());
  for (std::uint32_t s = 0; s < slot_count; ++s) {
    if (!nodes.is_node(s) || !filter.allows(nodes.id(s))) continue;
    vectors[n] = nodes.vector(s);
    slots[n++] = s;
    if (n == kBlock) flush();
  }
  if (n > 0) flush();
  std::sort_heap(heap.begin(), heap.end());
  std::vector<ScoredId> hits;
  hits.reserve(heap.size());
  for (const Entry& e : heap) hits.push_back({nodes.id(e.slot), e.distance});
  return hits;
}

IndexResult<std::vector<ScoredId>> HnswGraph::Impl::search(std::span<const float> query,
                                                           std::uint64_t k,
                                                           const SearchOptions& options) const {
  if (query.size() != nodes.dimension()) {
    return std::unexpected(VectorIndexError::dimension_mismatch(nodes.dimension(), query.size()));
  }
  std::vector<ScoredId> hits;
  if (!entry_point) return hits;
  std::uint32_t ep = nodes.find_node(*entry_point);
  if (ep == HnswNodes::kNoSlot) {
    return std::unexpected(VectorIndexError::vector_not_found(*entry_point));
  }
  const IdFilter* filter = options.filter;
  if (filter != nullptr && options.filter_fraction >= 0.0 &&
      options.filter_fraction < options.exact_below) {
    return scan_allowed(query.data(), k, *filter);
  }
  std::vector<ScoredSlot> w;
  for (std::uint64_t layer = max_level; layer >= 1; --layer) {
    search_layer(query.data(), ep, 1, static_cast<std::uint32_t>(layer), w);
    if (!w.empty()) ep = w.front().slot;
  }
  const std::uint64_t ef = std::max(k, options.ef != 0 ? options.ef : params.ef_search);
  if (filter == nullptr) {
    search_layer(query.data(), ep, ef, 0, w);
  } else {
    search_layer_impl<true>(query.data(), ep, ef, 0, filter, w);
    // Fewer than k allowed nodes reached: the scan finds every allowed one.
    if (w.size() < k) return scan_allowed(query.data(), k, *filter);
  }
  const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(k, w.size()));
  hits.reserve(count);
  for (std::size_t i = 0; i < count; ++i) hits.push_back({nodes.id(w[i].slot), w[i].distance});
  return hits;
}

}  // namespace orvane::index
