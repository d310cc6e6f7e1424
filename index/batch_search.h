// Batch searches over many queries, spread over threads. Each query's result
// is exactly what the index's own search returns for it; searches are const
// and keep per-thread scratch, so the threads share the index read-only.
// REQUIRES: nothing writes the index during the call.
// queries: query_count * dimension floats; threads: 0 = every hardware thread.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "index/dense_flat.h"
#include "index/errors.h"
#include "index/hnsw_graph.h"

namespace orvane::index {

// A filtered batch that the options send to an exhaustive scan (filter
// fraction below exact_below) copies the allowed nodes' vectors once and
// scans them for a block of queries per pass, with the same result.
[[nodiscard]] IndexResult<std::vector<std::vector<ScoredId>>> search_batch(
    const HnswGraph& graph, std::span<const float> queries, std::uint64_t k,
    const SearchOptions& options, std::size_t threads = 0);

// Each thread scans the vectors for its own block of queries, several queries
// per pass (DenseFlat::search_batch).
[[nodiscard]] IndexResult<std::vector<std::vector<ScoredId>>> search_batch(
    const DenseFlat& flat, std::span<const float> queries, std::uint64_t k,
    const IdFilter* filter, std::size_t threads = 0);

}  // namespace orvane::index
