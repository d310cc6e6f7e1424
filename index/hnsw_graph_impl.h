// Internal state and algorithms of HnswGraph, shared by its translation units
// (hnsw_graph.cc, hnsw_search.cc, hnsw_insert.cc, hnsw_delete.cc), edge
// persistence and tests. Not part of the public interface.
//
// Everything below works on dense slots (see HnswNodes); ids appear only at
// the edges (arguments, results, entry point).
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "index/distance.h"
#include "index/hnsw_graph.h"
#include "index/hnsw_heap.h"
#include "index/hnsw_nodes.h"

namespace orvane::index {

struct HnswGraph::Impl {
  Impl(std::uint64_t dim, DistanceMetric m, const HnswParams& p)
      : nodes(dim, p.m_max0(), p.m, p.dense_ids), metric(m), params(p), level_multiplier(1.0 / std::log(p.m)) {}

  float dist(const float* a, const float* b) const {
    return distance(metric, a, b, nodes.dimension());
  }

  // Greedy best-first search of one layer from a node slot; `out` receives at
  // most ef entries in ascending order of distance, never a slot twice.
  // With a filter the walk passes through every node but `out` keeps only
  // the allowed ones, and the walk goes on while fewer than ef are found.
  // REQUIRES: nodes.is_node(entry), ef >= 1. Uses the thread's SearchScratch.
  void search_layer(const float* query, std::uint32_t entry, std::uint64_t ef, std::uint32_t layer,
                    std::vector<ScoredSlot>& out) const {
    search_layer_impl<false>(query, entry, ef, layer, nullptr, out);
  }
  template <bool kFiltered>
  void search_layer_impl(const float* query, std::uint32_t entry, std::uint64_t ef,
                         std::uint32_t layer, const IdFilter* filter,
                         std::vector<ScoredSlot>& out) const;
  // The k nearest allowed nodes by exhaustive scan; ties by slot.
  std::vector<ScoredId> scan_allowed(const float* query, std::uint64_t k,
                                     const IdFilter& filter) const;

  // Diversity selection over candidates sorted by distance to a base vector:
  // keeps c unless some already kept s has distance(c, s) < c.distance; stops
  // at cap (REQUIRES: cap <= 32). No back-filling.
  void select_neighbors(std::span<const ScoredSlot> candidates, std::uint32_t cap,
                        std::vector<ScoredSlot>& out) const;

  // Back link from `far` to `added` on `layer` when far's list is full:
  // re-selects far's list from its nodes plus `added`.
  void reselect(std::uint32_t far, std::uint32_t layer, std::uint32_t added);

  IndexResult<void> insert(std::uint64_t id, std::span<const float> vector);
  IndexResult<void> remove(std::uint64_t id);
  std::uint64_t link_unreached();
  IndexResult<std::vector<ScoredId>> search(std::span<const float> query, std::uint64_t k,
                                            const SearchOptions& options) const;

  HnswNodes nodes;
  DistanceMetric metric;
  HnswParams params;
  double level_multiplier;
  // Working lists of insert, kept to spare allocations (insert is exclusive).
  struct InsertScratch {
    std::vector<ScoredSlot> found;
    std::vector<ScoredSlot> selected;
    std::vector<ScoredSlot> kept;
  } scratch;
  std::optional<std::uint64_t> entry_point;
  std::uint64_t max_level = 0;
};

// The one door to a graph's internals, for edge persistence and tests.
struct HnswGraphAccess {
  static HnswGraph::Impl& impl(HnswGraph& graph) { return *graph.impl_; }
  static const HnswGraph::Impl& impl(const HnswGraph& graph) { return *graph.impl_; }
};

}  // namespace orvane::index
