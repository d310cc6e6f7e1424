#include "engine/v2_index.h"

#include <algorithm>
#include <cmath>

#include "index/batch_search.h"
#include "index/score_order.h"

namespace orvane::engine {
namespace {

std::variant<index::DenseFlat, index::HnswGraph> make_index(const V2Config& config) {
  if (config.index.type == "hnsw") {
    return index::HnswGraph(config.dimension, config.metric, hnsw_params(config.index));
  }
  return index::DenseFlat(config.dimension, config.metric);
}

// The allowed share below which scoring every allowed node costs fewer
// distances than a filtered walk. The walk gathers ef allowed nodes after
// about ef / f expansions of up to 2m neighbours each (f the allowed share of
// n nodes); the scan scores f * n nodes, each a sequential read where the
// walk's are random: the scan wins while f * n < 2m * ef / f, i.e. while
// f < sqrt(2m * ef / n).
double scan_threshold(const index::HnswGraph& g, const V2Index::Query& query) {
  const double n = static_cast<double>(g.node_count());
  if (n == 0) return 0.0;
  const double ef = static_cast<double>(
      std::max<std::uint64_t>(query.k, query.ef != 0 ? query.ef : g.params().ef_search));
  return std::sqrt(g.params().m_max0() * ef / n);
}

}  // namespace

index::HnswParams hnsw_params(const IndexSpec& params) {
  // Graph ids are slots: small and dense.
  return {.m = params.m,
          .ef_construction = params.ef_construction,
          .ef_search = params.ef_search,
          .dense_ids = true};
}

V2Index::V2Index(const V2Config& config)
    : index_(make_index(config)) {}

std::span<float> V2Index::load_buffer(std::uint64_t slot_count) {
  if (auto* flat = std::get_if<index::DenseFlat>(&index_)) return flat->grow(slot_count);
  // Not zeroed: the load fills every byte (free slots hold garbage the
  // graph never looks at).
  return std::get<index::HnswGraph>(index_).load_vectors(slot_count);
}

void V2Index::finish_load(std::span<const std::uint64_t> generations) {
  index::DenseFlat& flat = std::get<index::DenseFlat>(index_);
  for (std::uint64_t s = 0; s < generations.size(); ++s) {
    if (generations[s] != 0) flat.set_live(s, true);
  }
}

index::IndexResult<void> V2Index::set(std::uint64_t slot, std::span<const float> vector) {
  if (auto* flat = std::get_if<index::DenseFlat>(&index_)) return flat->set(slot, vector);
  // insert replaces a node the slot still holds.
  return std::get<index::HnswGraph>(index_).insert(slot, vector);
}

void V2Index::erase(std::uint64_t slot) {
  if (auto* flat = std::get_if<index::DenseFlat>(&index_)) return flat->erase(slot);
  index::HnswGraph& g = std::get<index::HnswGraph>(index_);
  if (g.contains(slot)) (void)g.remove(slot);
}

index::IndexResult<std::vector<std::vector<index::ScoredId>>> V2Index::search(
    std::span<const float> queries, const Query& query) const {
  if (const auto* flat = std::get_if<index::DenseFlat>(&index_)) {
    return index::search_batch(*flat, queries, query.k, query.filter, query.threads);
  }
  const index::HnswGraph& g = std::get<index::HnswGraph>(index_);
  index::SearchOptions options{.ef = query.ef,
                               .filter = query.filter,
                               .filter_fraction = query.filter_fraction};
  options.exact_below = std::max(options.exact_below, scan_threshold(g, query));
  auto hits = index::search_batch(g, queries, query.k, options, query.threads);
  if (!hits) return hits;
  // Equal scores in slot order, as the Flat index gives them: the graph's
  // own order of ties depends on its random levels.
  for (std::vector<index::ScoredId>& row : *hits) {
    std::stable_sort(row.begin(), row.end(), [](const index::ScoredId& a, const index::ScoredId& b) {
      const auto ka = index::score_key(a.distance), kb = index::score_key(b.distance);
      return ka != kb ? ka < kb : a.id < b.id;
    });
  }
  return hits;
}

index::HnswGraph V2Index::take_graph() { return std::move(std::get<index::HnswGraph>(index_)); }

void V2Index::install_graph(index::HnswGraph graph) {
  std::get<index::HnswGraph>(index_) = std::move(graph);
}

}  // namespace orvane::engine
