// Helpers shared by the graph tests: deterministic vectors, brute force,
// structural checks. Test code only (header, not part of the library).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <random>
#include <set>
#include <vector>

#include "index/distance.h"
#include "index/hnsw_graph.h"
#include "index/hnsw_graph_impl.h"
#include "index/score_order.h"
#include "storage/random.h"

namespace orvane::index::testing {

using Vectors = std::vector<std::vector<float>>;

// n Gaussian vectors around `clusters` random centres; unit length when
// `normalise` (so that a vector is its own best match under DotProduct).
inline Vectors clustered(std::size_t n, std::size_t dim, std::size_t clusters, std::uint64_t seed,
                         bool normalise = false, float spread = 0.35f) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> centre(0.0f, 1.0f);
  std::normal_distribution<float> noise(0.0f, spread);
  Vectors centres(clusters, std::vector<float>(dim));
  for (auto& c : centres) {
    for (float& x : c) x = centre(rng);
  }
  Vectors out(n, std::vector<float>(dim));
  for (std::size_t i = 0; i < n; ++i) {
    const auto& c = centres[rng() % clusters];
    float norm = 0.0f;
    for (std::size_t j = 0; j < dim; ++j) {
      out[i][j] = c[j] + noise(rng);
      norm += out[i][j] * out[i][j];
    }
    if (normalise) {
      for (float& x : out[i]) x /= std::sqrt(norm);
    }
  }
  return out;
}

// Ids 1..n of the k nearest stored vectors (vectors[i] has id i + 1), ties by id.
inline std::vector<std::uint64_t> brute_force(const Vectors& vectors, const std::vector<float>& q,
                                              DistanceMetric metric, std::size_t k) {
  std::vector<std::pair<float, std::uint64_t>> all;
  for (std::size_t i = 0; i < vectors.size(); ++i) {
    all.push_back({distance(metric, q.data(), vectors[i].data(), q.size()), i + 1});
  }
  std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
    return score_key(a.first) < score_key(b.first);
  });
  std::vector<std::uint64_t> ids;
  for (std::size_t i = 0; i < std::min(k, all.size()); ++i) ids.push_back(all[i].second);
  return ids;
}

inline HnswGraph build(const Vectors& vectors, DistanceMetric metric, std::uint64_t seed) {
  storage::thread_random_seed_for_testing(seed);
  HnswGraph g(vectors.empty() ? 0 : vectors[0].size(), metric);
  for (std::size_t i = 0; i < vectors.size(); ++i) EXPECT_TRUE(g.insert(i + 1, vectors[i]));
  return g;
}

// Ids reachable on layer 0 from the entry point (following only nodes).
inline std::set<std::uint64_t> reachable_layer0(const HnswGraph& g) {
  std::set<std::uint64_t> seen;
  if (!g.entry_point()) return seen;
  std::deque<std::uint64_t> todo = {*g.entry_point()};
  seen.insert(*g.entry_point());
  while (!todo.empty()) {
    const auto lists = g.neighbor_lists(todo.front());
    todo.pop_front();
    if (lists.empty()) continue;
    for (std::uint64_t n : lists[0]) {
      if (g.contains(n) && seen.insert(n).second) todo.push_back(n);
    }
  }
  return seen;
}

// List invariants: no self link, no repeated id, capacity by layer, and,
// when `allowed` is given, no id outside it (nodes, or ids left dangling).
inline void expect_lists_sound(const HnswGraph& g,
                               const std::set<std::uint64_t>* allowed = nullptr) {
  for (std::uint64_t id : g.node_ids()) {
    const auto lists = g.neighbor_lists(id);
    for (std::size_t layer = 0; layer < lists.size(); ++layer) {
      const auto& l = lists[layer];
      EXPECT_LE(l.size(), layer == 0 ? g.params().m_max0() : g.params().m) << id;
      EXPECT_EQ(std::set<std::uint64_t>(l.begin(), l.end()).size(), l.size()) << id;
      for (std::uint64_t n : l) {
        EXPECT_NE(n, id);
        if (allowed != nullptr) {
          EXPECT_TRUE(allowed->contains(n)) << id << " lists " << n;
        }
      }
    }
  }
}

inline std::set<std::uint64_t> id_set(const HnswGraph& g) {
  const auto ids = g.node_ids();
  return {ids.begin(), ids.end()};
}

// Lists name nodes only.
inline void expect_lists_name_nodes(const HnswGraph& g) {
  const auto ids = id_set(g);
  expect_lists_sound(g, &ids);
}

}  // namespace orvane::index::testing
