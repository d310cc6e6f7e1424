// Test helpers for graphs: deterministic data, exact answers, invariants.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "index/batch_search.h"
#include "index/dense_flat.h"
#include "index/hnsw_graph.h"
#include "index/hnsw_graph_impl.h"
#include "storage/random.h"

namespace orvane::index::testing {

using Vectors = std::vector<std::vector<float>>;
using Ids = std::vector<std::uint64_t>;
using Lists = std::vector<Ids>;

// Gaussian clusters; unit length makes a vector its own best DotProduct match.
inline Vectors clustered(std::size_t n, std::size_t dim, std::size_t clusters, std::uint64_t seed,
                         bool normalise = false, float spread = 0.35f) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> centre(0.0f, 1.0f), noise(0.0f, spread);
  Vectors centres(clusters, std::vector<float>(dim)), out(n, std::vector<float>(dim));
  for (auto& c : centres) std::generate(c.begin(), c.end(), [&] { return centre(rng); });
  for (auto& v : out) {
    const auto& c = centres[rng() % clusters];
    for (std::size_t j = 0; j < dim; ++j) v[j] = c[j] + noise(rng);
    const float norm = std::sqrt(std::inner_product(v.begin(), v.end(), v.begin(), 0.0f));
    for (float& x : v) x /= normalise ? norm : 1.0f;
  }
  return out;
}

inline std::vector<float> flatten(const Vectors& rows) {
  std::vector<float> out;
  for (const auto& r : rows) out.insert(out.end(), r.begin(), r.end());
  return out;
}

// vectors[i] inserted as id i + 1, levels drawn after `seed`.
inline HnswGraph build(const Vectors& vectors, DistanceMetric metric, std::uint64_t seed,
                       const HnswParams& params = {}) {
  storage::thread_random_seed_for_testing(seed);
  HnswGraph g(vectors.empty() ? 0 : vectors[0].size(), metric, params);
  for (std::size_t i = 0; i < vectors.size(); ++i) EXPECT_TRUE(g.insert(i + 1, vectors[i]));
  return g;
}

// One-dimensional, Euclidean: ids 1..n at the given positions, the rest at their id.
inline HnswGraph line_graph(std::size_t n, std::uint64_t seed, std::vector<float> positions = {}) {
  for (std::size_t i = positions.size(); i < n; ++i) positions.push_back(i + 1.0f);
  Vectors vectors;
  for (float p : positions) vectors.push_back({p});
  return build(vectors, DistanceMetric::Euclidean, seed);
}

// Gives a node exactly these lists (ids without a node become dangling links).
inline void set_lists(HnswGraph& g, std::uint64_t id, const Lists& lists) {
  HnswNodes& nodes = HnswGraphAccess::impl(g).nodes;
  const std::uint32_t slot = nodes.find_node(id);
  nodes.reset_lists(slot, static_cast<std::uint32_t>(lists.size()));
  for (std::uint32_t layer = 0; layer < lists.size(); ++layer) {
    std::vector<std::uint32_t> targets;
    for (std::uint64_t t : lists[layer]) targets.push_back(nodes.slot_for_link(t));
    nodes.replace_list(slot, layer, targets);
  }
}

// The ids of a search's hits, which must be distinct and in ascending distance.
inline Ids ids_of(const std::vector<ScoredId>& hits) {
  Ids ids;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    ids.push_back(hits[i].id);
    const float before = i == 0 ? -INFINITY : hits[i - 1].distance;
    EXPECT_LE(distance_order_key(before), distance_order_key(hits[i].distance));
  }
  EXPECT_EQ(std::set<std::uint64_t>(ids.begin(), ids.end()).size(), ids.size());
  return ids;
}

// Ids with their distances' bits (one value for any NaN), comparable at once.
using Seen = std::vector<std::pair<std::uint64_t, std::uint32_t>>;
inline Seen seen(const std::vector<ScoredId>& hits) {
  Seen out;
  for (const ScoredId& h : hits) out.push_back({h.id, distance_order_key(h.distance)});
  return out;
}

// The exact answer for build()'s graph: vectors[i] at slot i + 1, slot 0 free.
inline DenseFlat exact(const Vectors& vectors, DistanceMetric metric) {
  DenseFlat flat(vectors.at(0).size(), metric);
  EXPECT_TRUE(flat.append(std::vector<float>(vectors[0].size()), std::vector<std::uint8_t>{0}));
  EXPECT_TRUE(flat.append(flatten(vectors)));
  return flat;
}

// Recall@10 of batches (3 threads for the graph, all for the exact answer),
// which must give each query its own search's result. Every search returns
// only allowed ids, as many as exist.
inline double recall(const HnswGraph& g, const DenseFlat& exact, const Vectors& queries,
                     const SearchOptions& options) {
  const auto hits = search_batch(g, flatten(queries), 10, options, 3).value();
  const auto want = search_batch(exact, flatten(queries), 10, options.filter, 0).value();
  std::size_t found = 0, wanted = 0;
  for (std::size_t q = 0; q < queries.size(); ++q) {
    EXPECT_EQ(seen(hits.at(q)), seen(g.search(queries[q], 10, options).value()));
    EXPECT_EQ(seen(want.at(q)), seen(exact.search(queries[q], 10, options.filter).value()));
    EXPECT_EQ(ids_of(hits[q]).size(), ids_of(want[q]).size());
    for (const ScoredId& h : hits[q]) {
      EXPECT_TRUE(!options.filter || options.filter->allows(h.id)) << h.id;
      for (const ScoredId& w : want[q]) found += w.id == h.id;
    }
    wanted += want[q].size();
  }
  return wanted == 0 ? 1.0 : static_cast<double>(found) / static_cast<double>(wanted);
}

inline std::map<std::uint64_t, Lists> all_lists(const HnswGraph& g) {
  std::map<std::uint64_t, Lists> out;
  for (std::uint64_t id : g.node_ids()) out[id] = g.neighbor_lists(id);
  return out;
}

inline std::set<std::uint64_t> id_set(const HnswGraph& g) {
  const auto ids = g.node_ids();
  return {ids.begin(), ids.end()};
}

// Ids reachable on layer 0 from the entry point (following only nodes).
inline std::set<std::uint64_t> reachable_layer0(const HnswGraph& g) {
  std::set<std::uint64_t> reached;
  Ids todo(g.entry_point() ? 1 : 0, g.entry_point().value_or(0));
  while (!todo.empty()) {
    const std::uint64_t id = todo.back();
    todo.pop_back();
    if (!g.contains(id) || !reached.insert(id).second) continue;
    const Lists lists = g.neighbor_lists(id);
    todo.insert(todo.end(), lists[0].begin(), lists[0].end());
  }
  return reached;
}

// No self link, no repeat, capacity by layer, and only ids `allowed` (if given).
inline void expect_lists_sound(const HnswGraph& g,
                               const std::optional<std::set<std::uint64_t>>& allowed = {}) {
  for (const auto& [id, lists] : all_lists(g)) {
    for (std::size_t layer = 0; layer < lists.size(); ++layer) {
      const Ids& l = lists[layer];
      EXPECT_LE(l.size(), layer == 0 ? g.params().m_max0() : g.params().m) << id;
      EXPECT_EQ(std::set<std::uint64_t>(l.begin(), l.end()).size(), l.size()) << id;
      for (std::uint64_t n : l) {
        EXPECT_NE(n, id);
        EXPECT_TRUE(!allowed || allowed->contains(n)) << id << " lists " << n;
      }
    }
  }
}

}  // namespace orvane::index::testing
